#include "driver/engine/uac1/Uac1FeatureUnit.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"
#include "driver/engine/controls/VendorControl.h"

namespace {

// FEATURE_UNIT offsets.
constexpr ULONG UnitIdOffset = 3;
constexpr ULONG SourceIdOffset = 4;
constexpr ULONG ControlSizeOffset = 5;
constexpr ULONG ControlsOffset = 6;
// bLength, type, subtype, unit, source, bControlSize and iFeature.
constexpr ULONG FixedBytes = 7;

constexpr ULONG SelectorCode(FeatureSelector Selector) { return static_cast<ULONG>(Selector); }

bool IsVendorSelector(ULONG ControlSelector) { return (ControlSelector & SelectorCode(FeatureSelector::VendorFlag)) != 0; }

// Bass, mid and treble travel as one byte in 1/4 dB; every other level as two bytes in 1/256 dB.
bool IsOneByteLevel(ULONG ControlSelector) {
    return ControlSelector >= SelectorCode(FeatureSelector::Bass) && ControlSelector <= SelectorCode(FeatureSelector::Treble);
}

// Surround channels in the device's order: 5 and 7, 6 and 8 trade places when the unit has both.
UCHAR DeviceChannel(ULONG Channel, ULONG UnitChannels) {
    if ((Channel == 5 || Channel == 6) && Channel + 2 <= UnitChannels) return static_cast<UCHAR>(Channel + 2);
    if (Channel == 7 || Channel == 8) return static_cast<UCHAR>(Channel - 2);
    return static_cast<UCHAR>(Channel);
}

LONG LevelOfDevice(const UCHAR* Bytes, bool OneByte) {
    if (OneByte) return static_cast<LONG>(static_cast<signed char>(Bytes[0])) * 16384;
    return static_cast<LONG>(static_cast<SHORT>(ReadLe16(Bytes))) * 256;
}

template <class Control>
NTSTATUS AddFeatureControl(FeatureUnit* Unit, AudioHal* Hal, Control* Created) {
    NTSTATUS status = Hal->AddNode(Created);
    if (NT_SUCCESS(status)) status = Unit->AddControl(Created);
    return status;
}

}  // namespace

FeatureUnit::FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : UnitNode(UnknownOuter, Id), m_pExtension(nullptr), m_ExtensionLength(0) {}

FeatureUnit::~FeatureUnit() {
    if (m_pExtension != nullptr) ExFreePoolWithTag(m_pExtension, Uac1UnitTag);
}

NTSTATUS FeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    NTSTATUS status = UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    if (NT_SUCCESS(status)) return status;
    const KernelInterface answers[] = {
        {IID_FeatureUnitChannels, static_cast<FeatureUnitChannels*>(this)},
        {IID_FeatureUnitRanges, static_cast<FeatureUnitRanges*>(this)},
    };
    if (IsEqualGUID(InterfaceId, IID_FeatureUnitChannels) || IsEqualGUID(InterfaceId, IID_FeatureUnitRanges)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return status;
}

bool IsUac1FeatureDescriptor(const UCHAR* Descriptor, ULONG Length) {
    return Descriptor != nullptr && Length >= FixedBytes + 1 && Descriptor[2] == Uac1FeatureUnitSubtype &&
           Descriptor[ControlSizeOffset] != 0 && Length >= FixedBytes + Descriptor[ControlSizeOffset];
}

ULONG Uac1FeatureDescriptorChannels(const UCHAR* Descriptor, ULONG Length) {
    return (Length - FixedBytes) / Descriptor[ControlSizeOffset] - 1;
}

bool Uac1FeatureDeclares(const UCHAR* Descriptor, ULONG Length, ULONG ControlSelector, ULONG Channel) {
    if (Channel > Uac1FeatureDescriptorChannels(Descriptor, Length)) return false;
    const ULONG size = Descriptor[ControlSizeOffset];
    const UCHAR* entry = Descriptor + ControlsOffset + Channel * size;
    const ULONG bits = size == 1 ? entry[0] : ReadLe16(entry);
    // Selector n is bit n - 1 of a 16-bit entry.
    return ControlSelector >= 1 && ControlSelector <= 16 && (bits & (1u << (ControlSelector - 1))) != 0;
}

bool FeatureUnit::IsFeatureDescriptor() const { return IsUac1FeatureDescriptor(GetDescriptor(), GetDescriptorLength()); }

ULONG FeatureUnit::DescriptorChannels() const {
    return Uac1FeatureDescriptorChannels(GetDescriptor(), GetDescriptorLength());
}

ULONG FeatureUnit::ExtensionChannels() const {
    if (m_pExtension == nullptr) return 0;
    return (m_ExtensionLength - FeatureExtensionEntriesOffset) / FeatureExtensionEntrySize - 1;
}

bool FeatureUnit::Declares(ULONG ControlSelector, ULONG Channel) const {
    if (!IsVendorSelector(ControlSelector)) {
        return Uac1FeatureDeclares(GetDescriptor(), GetDescriptorLength(), ControlSelector, Channel);
    }
    if (m_pExtension == nullptr || Channel > ExtensionChannels()) return false;
    const ULONG bits = ReadLe16(m_pExtension + FeatureExtensionEntriesOffset + Channel * FeatureExtensionEntrySize);
    const ULONG bit = ControlSelector & ~SelectorCode(FeatureSelector::VendorFlag);
    // Vendor selector 0x80 + n is bit n - 1 of the extension entry.
    return bit >= 1 && bit <= 16 && (bits & (1u << (bit - 1))) != 0;
}

bool FeatureUnit::HasControl(ULONG ControlSelector) const {
    if (!IsFeatureDescriptor()) return false;
    const ULONG channels = IsVendorSelector(ControlSelector) ? ExtensionChannels() : DescriptorChannels();
    if (IsVendorSelector(ControlSelector) && m_pExtension == nullptr) return false;
    for (ULONG channel = 0; channel <= channels; ++channel) {
        if (Declares(ControlSelector, channel)) return true;
    }
    return false;
}

NTSTATUS FeatureUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitUnit(Descriptor, Hal, ControlHal, true);
}

NTSTATUS FeatureUnit::InitWithoutExtension(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitUnit(Descriptor, Hal, ControlHal, false);
}

NTSTATUS FeatureUnit::InitUnit(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal,
                               bool ReadsExtension) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || !IsUac1UnitDescriptor(Descriptor, Uac1FeatureUnitSubtype, FixedBytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The master entry must lie inside the descriptor, and a zero entry size holds no control.
    const ULONG controlSize = Descriptor[ControlSizeOffset];
    if (controlSize == 0 || Descriptor[0] < FixedBytes + controlSize) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (!NT_SUCCESS(status)) return status;
    if (ReadsExtension) ReadExtension(Hal);
    status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

void FeatureUnit::ReadExtension(AdapterCommon* Hal) {
    const UCHAR unitId = GetDescriptor()[UnitIdOffset];
    UCHAR lengthBytes[2] = {};
    Uac1UnitRequest request = {URB_FUNCTION_CLASS_INTERFACE, TRUE, Uac1GetMem,
                               static_cast<USHORT>(FeatureExtensionLengthOffset), unitId};
    if (!NT_SUCCESS(SendUac1UnitRequest(Hal, request, lengthBytes, sizeof(lengthBytes)))) return;
    const ULONG length = ReadLe16(lengthBytes);
    // A block without its header and master entry describes nothing.
    if (length < FeatureExtensionEntriesOffset + FeatureExtensionEntrySize) return;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, length, Uac1UnitTag));
    if (block == nullptr) return;
    RtlZeroMemory(block, length);
    request.Value = 0;
    ULONG received = 0;
    const NTSTATUS status = SendUac1UnitRequest(Hal, request, block, length, &received);
    // Only what arrived is read later; an entry size other than 2 is not understood.
    if (!NT_SUCCESS(status) || received < FeatureExtensionEntriesOffset + FeatureExtensionEntrySize ||
        block[FeatureExtensionEntrySizeOffset] != FeatureExtensionEntrySize) {
        ExFreePoolWithTag(block, Uac1UnitTag);
        return;
    }
    m_pExtension = block;
    m_ExtensionLength = received;
}

NTSTATUS FeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    return CreateControlsWithTag(Hal, Uac1UnitTag);
}

NTSTATUS FeatureUnit::NewVendorControl(ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                                       PDEVICE_OBJECT SettingsDevice, AudioNode** Created) {
    PAGED_CODE();
    *Created = nullptr;
    auto* c = new (ExDefaultNonPagedPoolType, PoolTag) VendorControlNode(nullptr, ControlId);
    if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    c->NonDelegatingAddRef();
    *Created = c;
    return c->InitVendor(AsUnit(), ControlSelector, SettingsDevice);
}

NTSTATUS FeatureUnit::TakeIdAndSource(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    const UCHAR* d = GetDescriptor();
    m_Id = d[UnitIdOffset];
    m_Kind = Uac1FeatureUnitSubtype;
    const ULONG source = d[SourceIdOffset];
    return SetSources(1, &source);
}

NTSTATUS FeatureUnit::CreateControlsWithTag(AdapterCommon* Hal, ULONG PoolTag) {
    PAGED_CODE();
    NTSTATUS status = TakeIdAndSource(Hal);
    if (!NT_SUCCESS(status)) return status;

    // Every HAL is an AudioHal: its node list takes the controls.
    auto* hal = static_cast<AudioHal*>(Hal);
    const PDEVICE_OBJECT device = Hal->GetDeviceObject();
    ULONG nextId = Hal->GetNodeCount();

    if (!HasControl(SelectorCode(FeatureSelector::Mute))) return STATUS_INSUFFICIENT_RESOURCES;
    static constexpr ULONG order[] = {1, 2, 3, 4, 5, 7, 10, 0x8B, 0x8C};
    for (ULONG selector : order) {
        if (!HasControl(selector)) continue;
        AudioNode* node = nullptr;
        switch (selector) {
            case 1: {
                auto* c = new (ExDefaultNonPagedPoolType, PoolTag) MuteControl(nullptr, nextId);
                if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
                c->NonDelegatingAddRef();
                status = c->InitFeatureSwitch(AsUnit(), selector, device);
                node = c;
                break;
            }
            case 2: {
                auto* c = new (ExDefaultNonPagedPoolType, PoolTag) VolumeControl(nullptr, nextId);
                if (c == nullptr) continue;
                c->NonDelegatingAddRef();
                status = c->InitFeatureLevel(AsUnit(), selector, device);
                node = c;
                break;
            }
            case 3:
            case 4:
            case 5: {
                const ToneBand band = selector == 3 ? ToneBand::Bass : selector == 4 ? ToneBand::Mid : ToneBand::Treble;
                auto* c = new (ExDefaultNonPagedPoolType, PoolTag) ToneControl(nullptr, nextId, band);
                if (c == nullptr) continue;
                c->NonDelegatingAddRef();
                status = c->InitFeatureLevel(AsUnit(), selector, device);
                node = c;
                break;
            }
            case 7:
            case 10: {
                FeatureSwitchControl* c = nullptr;
                if (selector == 7) {
                    c = new (ExDefaultNonPagedPoolType, PoolTag) AgcControl(nullptr, nextId);
                } else {
                    c = new (ExDefaultNonPagedPoolType, PoolTag) LoudnessControl(nullptr, nextId);
                }
                if (c == nullptr) continue;
                c->NonDelegatingAddRef();
                status = c->InitFeatureSwitch(AsUnit(), selector, device);
                node = c;
                break;
            }
            default:
                status = NewVendorControl(selector, nextId, PoolTag, device, &node);
                if (node == nullptr) continue;
                break;
        }
        if (NT_SUCCESS(status)) status = AddFeatureControl(this, hal, node);
        node->Release();  // the creation reference; the lists keep theirs
        if (!NT_SUCCESS(status)) return status;
        ++nextId;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::GetChannelCount(ULONG ControlSelector, PULONG Count) {
    if (Count == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    ULONG channels = 0;
    if (IsVendorSelector(ControlSelector)) {
        if (m_pExtension == nullptr) return STATUS_INVALID_PARAMETER;
        channels = ExtensionChannels();
    } else {
        channels = DescriptorChannels();
    }
    ULONG count = 0;
    for (ULONG channel = 1; channel <= channels; ++channel) {
        if (Declares(ControlSelector, channel)) ++count;
    }
    if (count == 0 && Declares(ControlSelector, 0)) count = 1;
    *Count = count;
    return count != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS FeatureUnit::ChannelNumber(ULONG ControlSelector, ULONG Index, PUCHAR Number) {
    ULONG count = 0;
    NTSTATUS status = GetChannelCount(ControlSelector, &count);
    if (!NT_SUCCESS(status)) return status;
    if (Index >= count) return STATUS_INVALID_PARAMETER;
    ULONG channel = count > 1 ? Index + 1 : Index;
    if (!Declares(ControlSelector, channel)) {
        if (count > 1) return STATUS_INVALID_PARAMETER;
        // A control on one channel that the master does not carry sits on channel 1.
        ++channel;
        if (!Declares(ControlSelector, channel)) return STATUS_INVALID_PARAMETER;
    }
    const ULONG unitChannels = IsVendorSelector(ControlSelector) ? ExtensionChannels() : DescriptorChannels();
    *Number = DeviceChannel(channel, unitChannels);
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::Request(ULONG ControlSelector, UCHAR Code, UCHAR Channel, PVOID Buffer, ULONG Length) {
    const Uac1UnitRequest request = {
        static_cast<USHORT>(IsVendorSelector(ControlSelector) ? URB_FUNCTION_VENDOR_INTERFACE
                                                              : URB_FUNCTION_CLASS_INTERFACE),
        static_cast<BOOLEAN>((Code & 0x80) != 0 ? TRUE : FALSE),
        Code,
        static_cast<USHORT>((ControlSelector & 0xFF) << 8 | Channel),
        GetDescriptor()[UnitIdOffset],
    };
    return SendUac1UnitRequest(GetHal(), request, Buffer, Length);
}

NTSTATUS FeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR answer = 0;
    status = Request(ControlSelector, Uac1GetCur, number, &answer, 1);
    if (NT_SUCCESS(status)) *Value = answer;
    return status;
}

NTSTATUS FeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    return Request(ControlSelector, Uac1SetCur, number, &Value, 1);
}

NTSTATUS FeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    const bool oneByte = !IsVendorSelector(ControlSelector) && IsOneByteLevel(ControlSelector);
    UCHAR answer[2] = {};
    status = Request(ControlSelector, Uac1GetCur, number, answer, oneByte ? 1 : 2);
    if (NT_SUCCESS(status)) *Value = LevelOfDevice(answer, oneByte);
    return status;
}

NTSTATUS FeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2] = {};
    if (!IsVendorSelector(ControlSelector) && IsOneByteLevel(ControlSelector)) {
        // Saturated: a wrapped byte would turn a large boost into a cut.
        LONG device = Value >> 14;
        if (device > 127) device = 127;
        if (device < -128) device = -128;
        bytes[0] = static_cast<UCHAR>(device);
        return Request(ControlSelector, Uac1SetCur, number, bytes, 1);
    }
    // Saturated likewise; 0x8000 is the class's negative infinity.
    LONG device = Value == LevelSilence ? -32768 : Value >> 8;
    if (device > 32767) device = 32767;
    if (device < -32768) device = -32768;
    bytes[0] = static_cast<UCHAR>(device);
    bytes[1] = static_cast<UCHAR>(static_cast<ULONG>(device) >> 8);
    return Request(ControlSelector, Uac1SetCur, number, bytes, 2);
}

NTSTATUS FeatureUnit::GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    PAGED_CODE();
    if (Maximum == nullptr || Minimum == nullptr || Resolution == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    if (!NT_SUCCESS(GetChannelCount(ControlSelector, &count))) count = 0;
    UCHAR channel = 0;
    for (ULONG c = 1; c <= count; ++c) {
        if (Declares(ControlSelector, c)) {
            channel = static_cast<UCHAR>(c);
            break;
        }
    }
    const bool oneByte = !IsVendorSelector(ControlSelector) && IsOneByteLevel(ControlSelector);
    const UCHAR codes[3] = {Uac1GetMax, Uac1GetMin, Uac1GetRes};
    LONG values[3] = {};
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR answer[2] = {};
        const NTSTATUS status = Request(ControlSelector, codes[i], channel, answer, oneByte ? 1 : 2);
        if (!NT_SUCCESS(status)) return status;
        values[i] = LevelOfDevice(answer, oneByte);
    }
    *Maximum = values[0];
    *Minimum = values[1];
    *Resolution = values[2];
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    UNREFERENCED_PARAMETER(ControlId);
    return STATUS_SUCCESS;
}
