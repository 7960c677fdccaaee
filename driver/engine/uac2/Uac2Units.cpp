#include "driver/engine/uac2/Uac2Units.h"

#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/controls/MixerControl.h"
#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG UnitIdOffset = 3;
// FEATURE_UNIT: bSourceID, then 4 bytes of bmaControls per entry (master first), then iFeature.
constexpr ULONG FeatureSourceOffset = 4;
constexpr ULONG FeatureControlsOffset = 5;
constexpr ULONG FeatureEntryBytes = 4;
constexpr ULONG FeatureFixedBytes = 6;
// MIXER_UNIT and SELECTOR_UNIT: bNrInPins at 4; EXTENSION_UNIT: at 6. Source ids follow.
constexpr ULONG MixerInputPinsOffset = 4;
constexpr ULONG ExtensionInputPinsOffset = 6;
constexpr ULONG ClockDescriptorBytes = 8;
// CLOCK_SOURCE bmControls: bits 1..0 the frequency control (01 read-only, 11 host programmable).
constexpr ULONG ClockControlsOffset = 5;
constexpr UCHAR Uac2ControlAccessMask = 0x03;
constexpr UCHAR Uac2ControlProgrammable = 0x03;

// RANGE blocks: wNumSubRanges, then MIN, MAX, RES per sub-range.
constexpr ULONG RangeHeaderBytes = 2;
constexpr ULONG FrequencySubRangeBytes = 12;  // three u32
constexpr ULONG OneByteLevelRangeBytes = 5;   // one sub-range of three i8
constexpr ULONG TwoByteLevelRangeBytes = 8;   // one sub-range of three i16

constexpr ULONG MuteSelector = 1;
constexpr ULONG VolumeSelector = 2;
constexpr ULONG BassSelector = 3;
constexpr ULONG MidSelector = 4;
constexpr ULONG TrebleSelector = 5;
constexpr ULONG AgcSelector = 7;
constexpr ULONG LoudnessSelector = 10;
constexpr ULONG InputGainPadSelector = 12;
constexpr ULONG ExtendedSwitchSelector = 0x90;
constexpr ULONG ExtendedGainSelector = 0x82;
// Highest plain selector a 32-bit entry holds a pair for.
constexpr ULONG MaxPlainSelector = 16;

bool IsExtended(ULONG ControlSelector) { return (ControlSelector & Uac2ExtendedSelectorFlag) != 0; }

bool IsOneByteLevel(ULONG ControlSelector) {
    return !IsExtended(ControlSelector) && ControlSelector >= BassSelector && ControlSelector <= TrebleSelector;
}

LONG LevelOfDevice(const UCHAR* Bytes, bool OneByte) {
    if (OneByte) return static_cast<LONG>(static_cast<signed char>(Bytes[0])) * 16384;
    return static_cast<LONG>(static_cast<SHORT>(ReadLe16(Bytes))) * 256;
}

bool IsClassDescriptor(const UCHAR* Descriptor, UCHAR Subtype, ULONG MinimumLength) {
    return Descriptor != nullptr && Descriptor[0] >= MinimumLength && Descriptor[1] == Uac1ClassInterfaceType &&
           Descriptor[2] == Subtype;
}

// The Count source ids from Descriptor[At] as Unit's sources.
NTSTATUS SetSourcesFrom(AudioNode* Unit, const UCHAR* Descriptor, ULONG At, ULONG Count) {
    if (Count == 0) return Unit->SetSources(0, nullptr);
    auto* ids = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, Count * sizeof(ULONG), Uac2UnitTag));
    if (ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < Count; ++i) ids[i] = Descriptor[At + i];
    const NTSTATUS status = Unit->SetSources(Count, ids);
    ExFreePoolWithTag(ids, Uac2UnitTag);
    return status;
}

}  // namespace

NTSTATUS SendUac2UnitRequest(AdapterCommon* Hal, BOOLEAN In, UCHAR Request, USHORT Value, UCHAR EntityId,
                             PVOID Buffer, ULONG Length, PULONG Received) {
    const Uac1UnitRequest request = {URB_FUNCTION_CLASS_INTERFACE, In, Request, Value, EntityId};
    return SendUac1UnitRequest(Hal, request, Buffer, Length, Received);
}

NTSTATUS RefreshOnlyControl(UnitNode* Unit, PULONG ControlId) {
    PAGED_CODE();
    ULONG count = 0;
    AudioNode* control = nullptr;
    if (ControlId == nullptr || !NT_SUCCESS(Unit->GetControlCount(&count)) || count != 1 ||
        !NT_SUCCESS(Unit->GetControl(0, &control))) {
        return STATUS_UNSUCCESSFUL;
    }
    // The notice that follows carries the value the device has now.
    control->RefreshValues();
    *ControlId = control->GetId();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// ClockSource

ClockSource::ClockSource(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id), m_OfferedRates(0) {}

NTSTATUS ClockSource::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_SampleRateControl)) {
        const KernelInterface answers[] = {{IID_SampleRateControl, static_cast<SampleRateControl*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS ClockSource::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr ||
        !IsClassDescriptor(Descriptor, Uac2ClockSourceSubtype, ClockDescriptorBytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (!NT_SUCCESS(status)) return status;
    m_Id = Descriptor[UnitIdOffset];
    m_Kind = Uac2ClockSourceSubtype;
    status = SetSources(0, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* control = new (ExDefaultNonPagedPoolType, Uac2UnitTag) SampleRateControlNode(nullptr, ControlHal->GetNodeCount());
    if (control == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    control->NonDelegatingAddRef();
    status = AdoptControl(ControlHal, control, control->InitSampleRate(static_cast<AudioNode*>(this)));
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS ClockSource::Request(BOOLEAN In, UCHAR Code, ULONG ControlSelector, PVOID Buffer, ULONG Length,
                              PULONG Received) {
    if (GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    return SendUac2UnitRequest(GetHal(), In, Code, static_cast<USHORT>(ControlSelector << 8),
                               GetDescriptor()[UnitIdOffset], Buffer, Length, Received);
}

NTSTATUS ClockSource::GetRateCount(PULONG Count) {
    PAGED_CODE();
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR block[RangeHeaderBytes + FrequencySubRangeBytes] = {};
    ULONG received = 0;
    NTSTATUS status = Request(TRUE, Uac2RequestRange, Uac2ClockFrequencySelector, block, sizeof(block), &received);
    if (!NT_SUCCESS(status)) return status;
    if (received < RangeHeaderBytes) return STATUS_UNSUCCESSFUL;
    *Count = ReadLe16(block);
    return STATUS_SUCCESS;
}

NTSTATUS ClockSource::GetRates(PULONG Count, PULONG Rates) {
    PAGED_CODE();
    if (Count == nullptr || Rates == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG room = *Count;
    RtlZeroMemory(Rates, room * sizeof(ULONG));
    ULONG announced = 0;
    NTSTATUS status = GetRateCount(&announced);
    if (!NT_SUCCESS(status)) return status;
    const ULONG wanted = announced < room ? announced : room;
    *Count = 0;
    if (wanted == 0) return STATUS_SUCCESS;
    // wanted <= 0xFFFF sub-ranges: the block stays far below 32 bits.
    const ULONG bytes = RangeHeaderBytes + FrequencySubRangeBytes * wanted;
    if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, bytes, Uac2UnitTag));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, bytes);
    ULONG received = 0;
    status = Request(TRUE, Uac2RequestRange, Uac2ClockFrequencySelector, block, bytes, &received);
    if (NT_SUCCESS(status)) {
        // Only the sub-ranges that arrived whole are read.
        const ULONG arrived = received >= RangeHeaderBytes ? (received - RangeHeaderBytes) / FrequencySubRangeBytes : 0;
        const ULONG count = arrived < wanted ? arrived : wanted;
        for (ULONG i = 0; i < count; ++i) {
            const UCHAR* range = block + RangeHeaderBytes + i * FrequencySubRangeBytes;
            const ULONG minimum = ReadLe32(range);
            const ULONG maximum = ReadLe32(range + 4);
            const ULONG resolution = ReadLe32(range + 8);
            if (minimum == maximum && resolution == 0) {
                Rates[i] = maximum;
            } else {
                status = STATUS_INVALID_PARAMETER;  // not one rate: left 0
            }
        }
        *Count = count;
    }
    ExFreePoolWithTag(block, Uac2UnitTag);
    return status;
}

// A clock whose frequency the host cannot set (the control is read-only or absent) or that offers
// one rate is not sent a SET: it runs at its own rate, which must be the one asked for when the
// clock answers it. A SET the clock refuses is still a success when the clock already runs at the
// rate.
NTSTATUS ClockSource::SetRate(ULONG Rate) {
    PAGED_CODE();
    const UCHAR* descriptor = GetDescriptor();
    if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    const bool settable = (descriptor[ClockControlsOffset] & Uac2ControlAccessMask) == Uac2ControlProgrammable;
    // The number of rates is read once (and again after the clock announced a change).
    if (settable && m_OfferedRates == 0 && !NT_SUCCESS(GetRateCount(&m_OfferedRates))) m_OfferedRates = 0;
    const bool fixed = !settable || m_OfferedRates == 1;
    ULONG current = 0;
    if (fixed) {
        if (!NT_SUCCESS(GetRate(&current))) return STATUS_SUCCESS;  // nothing known against the rate
        return current == Rate ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    }
    UCHAR bytes[4] = {static_cast<UCHAR>(Rate), static_cast<UCHAR>(Rate >> 8), static_cast<UCHAR>(Rate >> 16),
                      static_cast<UCHAR>(Rate >> 24)};
    const NTSTATUS status = Request(FALSE, Uac2RequestCur, Uac2ClockFrequencySelector, bytes, sizeof(bytes), nullptr);
    if (!NT_SUCCESS(status) && NT_SUCCESS(GetRate(&current)) && current == Rate) return STATUS_SUCCESS;
    return status;
}

NTSTATUS ClockSource::GetRate(PULONG Rate) {
    PAGED_CODE();
    if (Rate == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR bytes[4] = {};
    const NTSTATUS status = Request(TRUE, Uac2RequestCur, Uac2ClockFrequencySelector, bytes, sizeof(bytes), nullptr);
    if (NT_SUCCESS(status)) *Rate = ReadLe32(bytes);
    return status;
}

NTSTATUS ClockSource::IsClockValid(PUCHAR Valid) {
    PAGED_CODE();
    if (Valid == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR value = 0;
    const NTSTATUS status = Request(TRUE, Uac2RequestCur, Uac2ClockValidSelector, &value, 1, nullptr);
    if (NT_SUCCESS(status)) *Valid = value;
    return status;
}

NTSTATUS ClockSource::Init(ULONG RateCount, const ULONG* Rates) {
    UNREFERENCED_PARAMETER(RateCount);
    UNREFERENCED_PARAMETER(Rates);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS ClockSource::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    UNREFERENCED_PARAMETER(ControlSelector);
    UNREFERENCED_PARAMETER(Channel);
    m_OfferedRates = 0;
    return RefreshOnlyControl(this, ControlId);
}

// ---------------------------------------------------------------------------------------------
// Uac2FeatureUnit

Uac2FeatureUnit::Uac2FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : UnitNode(UnknownOuter, Id), m_pExtended(nullptr), m_ExtendedSize(0), m_ControlCount(0), m_Selectors{},
      m_Controls{} {}

Uac2FeatureUnit::~Uac2FeatureUnit() {
    if (m_pExtended != nullptr) ExFreePoolWithTag(m_pExtended, Uac2UnitTag);
}

NTSTATUS Uac2FeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_FeatureUnitChannels) || IsEqualGUID(InterfaceId, IID_FeatureUnitRanges)) {
        const KernelInterface answers[] = {
            {IID_FeatureUnitChannels, static_cast<FeatureUnitChannels*>(this)},
            {IID_FeatureUnitRanges, static_cast<FeatureUnitRanges*>(this)},
        };
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

bool Uac2FeatureUnit::IsFeatureDescriptor() const {
    return GetDescriptor() != nullptr && GetDescriptorLength() >= FeatureFixedBytes + FeatureEntryBytes &&
           GetDescriptor()[2] == Uac2FeatureUnitSubtype;
}

ULONG Uac2FeatureUnit::DescriptorEntries() const {
    return (GetDescriptorLength() - FeatureFixedBytes) / FeatureEntryBytes;
}

ULONG Uac2FeatureUnit::ExtendedEntries() const {
    return m_pExtended != nullptr ? (m_ExtendedSize - Uac2ExtendedEntriesOffset) / FeatureEntryBytes : 0;
}

bool Uac2FeatureUnit::Declares(ULONG ControlSelector, ULONG Channel, Access Need) const {
    ULONG bits = 0;
    const ULONG selector = ControlSelector & ~Uac2ExtendedSelectorFlag;
    if (IsExtended(ControlSelector)) {
        // A channel past the block's entries has no control.
        if (Channel >= ExtendedEntries()) return false;
        bits = ReadLe32(m_pExtended + Uac2ExtendedEntriesOffset + Channel * FeatureEntryBytes);
    } else {
        // Nor does one whose entry would run past the descriptor.
        if (Channel >= DescriptorEntries()) return false;
        bits = ReadLe32(GetDescriptor() + FeatureControlsOffset + Channel * FeatureEntryBytes);
    }
    if (selector < 1 || selector > MaxPlainSelector) return false;
    const ULONG pair = (bits >> (2 * selector - 2)) & 0x3;
    switch (Need) {
        case Access::Read: return (pair & 0x1) != 0;
        case Access::Write: return (pair & 0x2) != 0;
        default: return pair != 0;
    }
}

bool Uac2FeatureUnit::HasControl(ULONG ControlSelector) const {
    if (!IsFeatureDescriptor()) return false;
    const ULONG entries = IsExtended(ControlSelector) ? ExtendedEntries() : DescriptorEntries();
    for (ULONG channel = 0; channel < entries; ++channel) {
        if (Declares(ControlSelector, channel, Access::Any)) return true;
    }
    return false;
}

NTSTATUS Uac2FeatureUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr ||
        !IsClassDescriptor(Descriptor, Uac2FeatureUnitSubtype, FeatureFixedBytes + FeatureEntryBytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (!NT_SUCCESS(status)) return status;
    ReadExtendedBlock(Hal);
    status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

void Uac2FeatureUnit::ReadExtendedBlock(AdapterCommon* Hal) {
    PAGED_CODE();
    const UCHAR unit = GetDescriptor()[UnitIdOffset];
    UCHAR sizeBytes[2] = {};
    if (!NT_SUCCESS(SendUac2UnitRequest(Hal, TRUE, Uac2RequestMem, static_cast<USHORT>(Uac2ExtendedSizeOffset), unit,
                                        sizeBytes, sizeof(sizeBytes)))) {
        return;
    }
    // A size that does not cover the header and one entry describes nothing.
    const ULONG size = ReadLe16(sizeBytes);
    if (size < Uac2ExtendedEntriesOffset + FeatureEntryBytes) return;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, size, Uac2UnitTag));
    if (block == nullptr) return;
    RtlZeroMemory(block, size);
    // The whole block must arrive: entries cut short would be read as other controls.
    if (!NT_SUCCESS(SendUac2UnitRequest(Hal, TRUE, Uac2RequestMem, 0, unit, block, size))) {
        ExFreePoolWithTag(block, Uac2UnitTag);
        return;
    }
    m_pExtended = block;
    m_ExtendedSize = size;
}

template <class Control, class Initialise>
NTSTATUS Uac2FeatureUnit::AddControlFor(ULONG ControlSelector, AdapterCommon* Hal, ULONG* NextId, Control* Created,
                                        Initialise Init) {
    // An allocation failure leaves this control out.
    if (Created == nullptr) return STATUS_SUCCESS;
    Created->NonDelegatingAddRef();
    AudioNode* node = Created;
    const NTSTATUS status = AdoptControl(Hal, node, Init(Created));
    if (!NT_SUCCESS(status)) return status;
    if (m_ControlCount < Uac2FeatureMaxControls) {
        m_Selectors[m_ControlCount] = ControlSelector;
        m_Controls[m_ControlCount++] = node;
    }
    ++*NextId;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2FeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    const UCHAR* d = GetDescriptor();
    m_Id = d[UnitIdOffset];
    m_Kind = Uac2FeatureUnitSubtype;
    const ULONG source = d[FeatureSourceOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;
    if (!HasControl(MuteSelector)) {
        DbgPrint("Uac2FeatureUnit::CreateControls: feature unit %u without mute control\n", m_Id);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const PDEVICE_OBJECT device = Hal->GetDeviceObject();
    const PUNKNOWN unit = AsUnit();
    ULONG nextId = Hal->GetNodeCount();
    auto level = [&](LevelControlBase* c, ULONG selector) { return c->InitFeatureLevel(unit, selector, device); };
    auto onOff = [&](SwitchControlBase* c, ULONG selector) { return c->InitFeatureSwitch(unit, selector, device); };

    // The mute is required: without it (or without memory for it) the unit is refused.
    auto* mute = new (ExDefaultNonPagedPoolType, Uac2UnitTag) MuteControl(nullptr, nextId);
    if (mute == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = AddControlFor(MuteSelector, Hal, &nextId, mute, [&](auto* c) { return onOff(c, MuteSelector); });
    for (ULONG selector : {VolumeSelector, BassSelector, MidSelector, TrebleSelector, AgcSelector, LoudnessSelector,
                           InputGainPadSelector, ExtendedSwitchSelector, ExtendedGainSelector}) {
        if (!NT_SUCCESS(status)) break;
        if (!HasControl(selector)) continue;
        const ULONG id = nextId;
        switch (selector) {
            case VolumeSelector:
                status = AddControlFor(selector, Hal, &nextId, new (ExDefaultNonPagedPoolType, Uac2UnitTag) VolumeControl(nullptr, id),
                                       [&](auto* c) { return level(c, selector); });
                break;
            case BassSelector:
            case MidSelector:
            case TrebleSelector: {
                const ToneBand band = selector == BassSelector  ? ToneBand::Bass
                                      : selector == MidSelector ? ToneBand::Mid
                                                                : ToneBand::Treble;
                status = AddControlFor(selector, Hal, &nextId,
                                       new (ExDefaultNonPagedPoolType, Uac2UnitTag) ToneControl(nullptr, id, band),
                                       [&](auto* c) { return level(c, selector); });
                break;
            }
            case AgcSelector:
                status = AddControlFor(selector, Hal, &nextId, new (ExDefaultNonPagedPoolType, Uac2UnitTag) AgcControl(nullptr, id),
                                       [&](auto* c) { return onOff(c, selector); });
                break;
            case LoudnessSelector:
                status = AddControlFor(selector, Hal, &nextId,
                                       new (ExDefaultNonPagedPoolType, Uac2UnitTag) LoudnessControl(nullptr, id),
                                       [&](auto* c) { return onOff(c, selector); });
                break;
            case InputGainPadSelector:
                status = AddControlFor(selector, Hal, &nextId,
                                       new (ExDefaultNonPagedPoolType, Uac2UnitTag) DeviceLevelControl(nullptr, id),
                                       [&](auto* c) { return level(c, selector); });
                break;
            case ExtendedSwitchSelector:
                status = AddControlFor(selector, Hal, &nextId,
                                       new (ExDefaultNonPagedPoolType, Uac2UnitTag) DeviceSwitchControl(nullptr, id),
                                       [&](auto* c) { return onOff(c, selector); });
                break;
            default:  // ExtendedGainSelector, created last
                status = AddControlFor(selector, Hal, &nextId,
                                       new (ExDefaultNonPagedPoolType, Uac2UnitTag) GainVolumeControl(nullptr, id),
                                       [&](auto* c) { return c->InitGainVolume(unit, selector, device); });
                break;
        }
    }
    return status;
}

NTSTATUS Uac2FeatureUnit::GetChannelCount(ULONG ControlSelector, PULONG Count) {
    if (Count == nullptr || !IsFeatureDescriptor() || (IsExtended(ControlSelector) && m_pExtended == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG entries = IsExtended(ControlSelector) ? ExtendedEntries() : DescriptorEntries();
    ULONG count = 0;
    for (ULONG channel = 1; channel < entries; ++channel) {
        if (Declares(ControlSelector, channel, Access::Any)) ++count;
    }
    if (count == 0 && Declares(ControlSelector, 0, Access::Any)) count = 1;
    *Count = count;
    return count != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac2FeatureUnit::ChannelNumber(ULONG ControlSelector, ULONG Index, Access Need, PUCHAR Number) {
    ULONG count = 0;
    NTSTATUS status = GetChannelCount(ControlSelector, &count);
    if (!NT_SUCCESS(status)) return status;
    if (Index >= count) return STATUS_INVALID_PARAMETER;
    ULONG channel = count > 1 ? Index + 1 : Index;
    if (!Declares(ControlSelector, channel, Need)) {
        // A control on one channel that the master does not carry sits on channel 1.
        if (count > 1 || IsExtended(ControlSelector)) return STATUS_INVALID_PARAMETER;
        ++channel;
        if (!Declares(ControlSelector, channel, Need)) return STATUS_INVALID_PARAMETER;
    }
    *Number = static_cast<UCHAR>(channel);
    return STATUS_SUCCESS;
}

NTSTATUS Uac2FeatureUnit::Request(BOOLEAN In, UCHAR Code, ULONG ControlSelector, UCHAR Channel, PVOID Buffer,
                                  ULONG Length) {
    return SendUac2UnitRequest(GetHal(), In, Code, static_cast<USHORT>((ControlSelector & 0xFF) << 8 | Channel),
                               GetDescriptor()[UnitIdOffset], Buffer, Length);
}

NTSTATUS Uac2FeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) {
    PAGED_CODE();
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, Access::Read, &number);
    if (!NT_SUCCESS(status)) return status;
    UCHAR answer = 0;
    status = Request(TRUE, Uac2RequestCur, ControlSelector, number, &answer, 1);
    if (NT_SUCCESS(status)) *Value = answer;
    return status;
}

NTSTATUS Uac2FeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, Access::Write, &number);
    if (!NT_SUCCESS(status)) return status;
    return Request(FALSE, Uac2RequestCur, ControlSelector, number, &Value, 1);
}

NTSTATUS Uac2FeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) {
    PAGED_CODE();
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, Access::Read, &number);
    if (!NT_SUCCESS(status)) return status;
    const bool oneByte = IsOneByteLevel(ControlSelector);
    UCHAR answer[2] = {};
    status = Request(TRUE, Uac2RequestCur, ControlSelector, number, answer, oneByte ? 1 : 2);
    if (NT_SUCCESS(status)) *Value = LevelOfDevice(answer, oneByte);
    return status;
}

NTSTATUS Uac2FeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = ChannelNumber(ControlSelector, Channel, Access::Write, &number);
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2] = {};
    if (IsOneByteLevel(ControlSelector)) {
        // Saturated: a wrapped byte would turn a large boost into a cut.
        LONG device = Value >> 14;
        if (device > 127) device = 127;
        if (device < -128) device = -128;
        bytes[0] = static_cast<UCHAR>(device);
        return Request(FALSE, Uac2RequestCur, ControlSelector, number, bytes, 1);
    }
    // 0x8000 is the class's silence.
    LONG device = Value == LevelSilence ? -32768 : Value >> 8;
    if (device > 32767) device = 32767;
    if (device < -32768) device = -32768;
    bytes[0] = static_cast<UCHAR>(device);
    bytes[1] = static_cast<UCHAR>(static_cast<ULONG>(device) >> 8);
    return Request(FALSE, Uac2RequestCur, ControlSelector, number, bytes, 2);
}

NTSTATUS Uac2FeatureUnit::GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    PAGED_CODE();
    if (Maximum == nullptr || Minimum == nullptr || Resolution == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    if (!NT_SUCCESS(GetChannelCount(ControlSelector, &count))) count = 0;
    UCHAR channel = 0;
    for (ULONG c = 1; c <= count; ++c) {
        if (Declares(ControlSelector, c, Access::Any)) {
            channel = static_cast<UCHAR>(c);
            break;
        }
    }
    const bool oneByte = IsOneByteLevel(ControlSelector);
    UCHAR block[TwoByteLevelRangeBytes] = {};
    const ULONG length = oneByte ? OneByteLevelRangeBytes : TwoByteLevelRangeBytes;
    const NTSTATUS status = Request(TRUE, Uac2RequestRange, ControlSelector, channel, block, length);
    if (!NT_SUCCESS(status)) return status;
    if (ReadLe16(block) != 1) return STATUS_UNSUCCESSFUL;
    const ULONG width = oneByte ? 1 : 2;
    const LONG minimum = LevelOfDevice(block + RangeHeaderBytes, oneByte);
    const LONG maximum = LevelOfDevice(block + RangeHeaderBytes + width, oneByte);
    const LONG resolution = LevelOfDevice(block + RangeHeaderBytes + 2 * width, oneByte);
    *Maximum = maximum;
    *Minimum = minimum;
    *Resolution = resolution;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2FeatureUnit::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Channel);
    if (ControlId == nullptr || !HasControl(ControlSelector)) return STATUS_UNSUCCESSFUL;
    // The control of that very selector: two controls of one kind (volume and the extended gain)
    // must not stand in for each other.
    for (ULONG i = 0; i < m_ControlCount; ++i) {
        if (m_Selectors[i] != ControlSelector) continue;
        m_Controls[i]->RefreshValues();
        *ControlId = m_Controls[i]->GetId();
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------------------------
// Uac2SelectorUnit

Uac2SelectorUnit::Uac2SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id) : SelectorUnit(UnknownOuter, Id) {}

NTSTATUS Uac2SelectorUnit::GetSelected(PULONG Selection) {
    PAGED_CODE();
    ULONG inputs = 0;
    if (Selection == nullptr || !NT_SUCCESS(GetSourceCount(&inputs))) return STATUS_INVALID_PARAMETER;
    UCHAR answer = 0;
    const NTSTATUS status =
        SendUac2UnitRequest(GetHal(), TRUE, Uac2RequestCur, 0x0100, GetDescriptor()[UnitIdOffset], &answer, 1);
    if (NT_SUCCESS(status)) *Selection = answer;
    return status;
}

NTSTATUS Uac2SelectorUnit::SetSelected(ULONG Input) {
    PAGED_CODE();
    ULONG inputs = 0;
    if (!NT_SUCCESS(GetSourceCount(&inputs)) || Input < 1 || Input > inputs) return STATUS_INVALID_PARAMETER;
    UCHAR value = static_cast<UCHAR>(Input);
    return SendUac2UnitRequest(GetHal(), FALSE, Uac2RequestCur, 0x0100, GetDescriptor()[UnitIdOffset], &value, 1);
}

NTSTATUS Uac2SelectorUnit::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    UNREFERENCED_PARAMETER(ControlSelector);
    UNREFERENCED_PARAMETER(Channel);
    return RefreshOnlyControl(this, ControlId);
}

// ---------------------------------------------------------------------------------------------
// PlainUnit

PlainUnit::PlainUnit(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}

NTSTATUS PlainUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    const UCHAR subtype = Descriptor[0] >= 3 ? Descriptor[2] : 0;
    const ULONG pinsAt = subtype == Uac2ExtensionUnitSubtype ? ExtensionInputPinsOffset : MixerInputPinsOffset;
    if ((subtype != Uac2MixerUnitSubtype && subtype != Uac2ExtensionUnitSubtype) ||
        !IsClassDescriptor(Descriptor, subtype, pinsAt + 1) || Descriptor[0] < pinsAt + 1 + Descriptor[pinsAt]) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (!NT_SUCCESS(status)) return status;
    m_Id = Descriptor[UnitIdOffset];
    m_Kind = subtype;
    status = SetSourcesFrom(this, Descriptor, pinsAt + 1, Descriptor[pinsAt]);
    if (!NT_SUCCESS(status)) return status;
    auto* mixer = new (ExDefaultNonPagedPoolType, Uac2UnitTag) MixerControlNode(nullptr, ControlHal->GetNodeCount());
    if (mixer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    mixer->NonDelegatingAddRef();
    status = AdoptControl(ControlHal, static_cast<AudioNode*>(mixer), mixer->InitMixer(static_cast<AudioNode*>(this)));
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS PlainUnit::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    UNREFERENCED_PARAMETER(ControlSelector);
    UNREFERENCED_PARAMETER(Channel);
    return RefreshOnlyControl(this, ControlId);
}
