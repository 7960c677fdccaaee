#include "driver/engine/models/R7T3Units.h"

#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"
#include "driver/engine/uac1/Uac1MixerUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

// FEATURE_UNIT offsets.
constexpr ULONG UnitIdOffset = 3;
constexpr ULONG SourceIdOffset = 4;
constexpr ULONG ControlSizeOffset = 5;
constexpr ULONG FixedBytes = 7;  // through iFeature
// OUTPUT_TERMINAL: bSourceID.
constexpr ULONG OutputSourceOffset = 7;
constexpr USHORT UsbStreamingTerminalType = 0x0101;

constexpr SHORT DeviceSilence = static_cast<SHORT>(-32768);
constexpr LONGLONG dB = 65536;
constexpr LONGLONG StepOf1_5dB = 3 * dB / 2;  // 98304

// A value to send, kept inside the device's field and off its silence value: a wrapped value
// would turn a boost into a cut.
SHORT Saturate16(LONGLONG Value) {
    if (Value > 32767) return 32767;
    if (Value < -32767) return -32767;
    return static_cast<SHORT>(Value);
}

// Division whose fraction is discarded toward zero (C++ integer division).
LONGLONG Trunc(LONGLONG Numerator, LONGLONG Denominator) { return Numerator / Denominator; }

// ---- R7T3 unit 9: the table of real (A) and device (B) values, 1/256 dB ----
struct TableRow {
    SHORT Real;
    SHORT Device;
};
// clang-format off
constexpr TableRow R7T3Table[] = {
    {0, 0},         {-192, -256},   {-256, -512},   {-320, -768},   {-386, -1024},  {-455, -1280},
    {-527, -1536},  {-599, -1792},  {-676, -2048},  {-752, -2304},  {-835, -2560},  {-916, -2816},
    {-1006, -3072}, {-1096, -3328}, {-1193, -3584}, {-1290, -3840}, {-1395, -4096}, {-1503, -4352},
    {-1618, -4608}, {-1736, -4864}, {-1866, -5120}, {-1999, -5376}, {-2145, -5632}, {-2296, -5888},
    {-2465, -6144}, {-2637, -6400}, {-2816, -6656}, {-3046, -6912}, {-3277, -7168}, {-3533, -7424},
    {-3840, -7680}, {-4198, -7936}, {-4582, -8192}, {-5120, -8448}, {-5767, -8704}, {-6707, -8960},
    {-8294, -9216}, {-32768, -9472},
};
// clang-format on
constexpr ULONG R7T3TableRows = sizeof(R7T3Table) / sizeof(R7T3Table[0]);
static_assert(R7T3TableRows == 38);

LONG R7T3Unit9Read(SHORT Device) {
    // The first row whose device value lies below gives the real value of the row before it.
    for (ULONG k = 1; k < R7T3TableRows; ++k) {
        if (Device > R7T3Table[k].Device) return static_cast<LONG>(R7T3Table[k - 1].Real) * 256;
    }
    return static_cast<LONG>(Device) * 256;
}

SHORT R7T3Unit9Write(LONG Level) {
    const LONG h = Level >> 8;
    for (const TableRow& row : R7T3Table) {
        if (h >= row.Real) return row.Device;
    }
    return R7T3Table[R7T3TableRows - 1].Device;  // below every row: the bottom step
}

// ---- R7T3 units 10 to 12 ----
// The device steps in whole dB (value e x 256) and the unit reports -6 to +33 dB in 1.5 dB steps.
// Setting sends e = trunc((v - 6 dB) / 1.5 dB) - 15, which maps that range onto the whole device
// values -23 to 3. Reading is its exact inverse, v = 6 dB + 1.5 dB x (e + 15), so every value on
// the reported grid reads back as it was set. The other reading rule the device has been described
// with (1.5e + 6.5 dB) lands 0.5 dB off that grid and 22.5 dB below what was set: a control
// built on it would never show its own value again.
constexpr LONGLONG Unit10Offset = 6 * dB;
constexpr LONGLONG Unit10Steps = 15;

LONG R7T3Unit10Read(SHORT Device) {
    const LONGLONG e = Device >> 8;
    return static_cast<LONG>(Unit10Offset + StepOf1_5dB * (e + Unit10Steps));
}

SHORT R7T3Unit10Write(LONG Level) {
    const LONGLONG e = Trunc(static_cast<LONGLONG>(Level) - Unit10Offset, StepOf1_5dB) - Unit10Steps;
    return Saturate16(e * 256);
}

// ---- R7T3 units 13, 14: 1.5 dB per device dB, +6 dB ----
// Computed in 32 bits: in 16 bits device values beyond +81 dB or -89 dB wrap to the other sign.
LONG R7T3Unit13Read(SHORT Device) {
    const LONGLONG e = Device >> 8;
    return static_cast<LONG>((e + 4) * 384 * 256);
}

SHORT R7T3Unit13Write(LONG Level) {
    const LONGLONG e = Trunc(static_cast<LONGLONG>(Level) + 36 * dB, StepOf1_5dB) - 28;
    return Saturate16(e * 256);
}

// ---- R7U5 unit 9: 192 device units per dB, 0 dB at -16 ----
LONG R7U5Unit9Read(SHORT Device) { return static_cast<LONG>(Trunc(static_cast<LONGLONG>(Device) + 16, 192) * dB); }

SHORT R7U5Unit9Write(LONG Level) {
    const LONGLONG d = (-static_cast<LONGLONG>(Level)) >> 16;
    return Saturate16(-16 - 192 * d);
}

// ---- R7U5 unit 10: the class's own 1/256 dB ----
LONG R7U5Unit10Read(SHORT Device) { return static_cast<LONG>(Device) * 256; }

SHORT R7U5Unit10Write(LONG Level) { return Saturate16(Level >> 8); }

// ---- R7U5 unit 13: 384 device units per 1.5 dB step, 0 dB at 3456, -13.5 dB at 0 ----
constexpr LONGLONG Unit13Bottom = -27 * dB / 2;  // -13.5 dB

LONG R7U5Unit13Read(SHORT Device) {
    return static_cast<LONG>(Trunc(static_cast<LONGLONG>(Device) - 3456, 384) * StepOf1_5dB);
}

SHORT R7U5Unit13Write(LONG Level) {
    // The device's scale starts at -13.5 dB: anything below is its bottom, 0 (an unsigned division
    // of the negative distance would send a large positive value instead).
    if (Level < Unit13Bottom) return 0;
    return Saturate16((static_cast<LONGLONG>(Level) - Unit13Bottom) / StepOf1_5dB * 384);
}

constexpr UCHAR Bass = static_cast<UCHAR>(FeatureSelector::Bass);
constexpr UCHAR Treble = static_cast<UCHAR>(FeatureSelector::Treble);

template <class Control>
NTSTATUS AddUnitControl(UnitNode* Unit, AudioHal* Hal, Control* Created) {
    NTSTATUS status = Hal->AddNode(Created);
    if (NT_SUCCESS(status)) status = Unit->AddControl(Created);
    return status;
}

// The model terminals ask the device nothing: it has no jack or output-type tables.
NTSTATUS RefuseTerminalRequest(PULONG Received) {
    if (Received != nullptr) *Received = 0;
    return STATUS_NOT_SUPPORTED;
}

// Initialises a new connector (no reference taken yet) with the pin record of Direction and Type,
// puts it on the HAL's node list and Terminal's controls; the creation reference is dropped.
template <class Connector>
NTSTATUS AddConnector(UnitNode* Terminal, PUNKNOWN TerminalUnit, AdapterCommon* Hal, Connector* Created,
                      ULONG Direction, ULONG Type,
                      NTSTATUS (Connector::*Init)(PUNKNOWN TerminalUnit, const EndpointInfo* PinRecord)) {
    Created->NonDelegatingAddRef();
    EndpointInfo record = {};
    NTSTATUS status = Hal->GetEndpointCaps(Direction, Type, &record);
    if (NT_SUCCESS(status)) status = (Created->*Init)(TerminalUnit, &record);
    if (NT_SUCCESS(status)) status = AddUnitControl(Terminal, static_cast<AudioHal*>(Hal), Created);
    Created->Release();
    return status;
}

}  // namespace

const ModelLevelRule R7T3Unit9Rule = {R7T3Unit9Read, R7T3Unit9Write, 0, -33 * 65536, 8192};
const ModelLevelRule R7T3Unit10Rule = {R7T3Unit10Read, R7T3Unit10Write, 33 * 65536, -6 * 65536, 0x18000};
const ModelLevelRule R7T3Unit13Rule = {R7T3Unit13Read, R7T3Unit13Write, 0x168000, -36 * 65536, 0x18000};
const ModelLevelRule R7U5Unit9Rule = {R7U5Unit9Read, R7U5Unit9Write, 0, -37 * 65536, 0x10000};
const ModelLevelRule R7U5Unit10Rule = {R7U5Unit10Read, R7U5Unit10Write, 0x168000, 0, 0x18000};
const ModelLevelRule R7U5Unit13Rule = {R7U5Unit13Read, R7U5Unit13Write, 0x90001, -884736, 0x18000};

const ModelUnitTraits R7T3UnitTraits = {R7T3ControlTag, true};
const ModelUnitTraits R7U5UnitTraits = {R7U5Tag, false};

// ---------------------------------------------------------------------------------------------
// Model feature units

ModelFeatureUnit::ModelFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, const ModelUnitTraits& Traits,
                                   const ModelLevelRule& Rule)
    : UnitNode(UnknownOuter, Id), m_Traits(Traits), m_Rule(Rule) {}

NTSTATUS ModelFeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
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

bool ModelFeatureUnit::IsFeatureDescriptor() const {
    return IsUac1FeatureDescriptor(GetDescriptor(), GetDescriptorLength());
}

ULONG ModelFeatureUnit::DescriptorChannels() const {
    return Uac1FeatureDescriptorChannels(GetDescriptor(), GetDescriptorLength());
}

// Vendor selectors are not modelled: only the descriptor's standard controls.
bool ModelFeatureUnit::Declares(ULONG ControlSelector, ULONG Channel) const {
    return IsFeatureDescriptor() && Uac1FeatureDeclares(GetDescriptor(), GetDescriptorLength(), ControlSelector, Channel);
}

bool ModelFeatureUnit::HasControl(ULONG ControlSelector) const {
    if (!IsFeatureDescriptor()) return false;
    for (ULONG channel = 0; channel <= DescriptorChannels(); ++channel) {
        if (Declares(ControlSelector, channel)) return true;
    }
    return false;
}

bool ModelFeatureUnit::IsOneByte(ULONG ControlSelector) const {
    return m_Traits.OneByteTones && ControlSelector >= Bass && ControlSelector <= Treble;
}

NTSTATUS ModelFeatureUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || !IsUac1UnitDescriptor(Descriptor, Uac1FeatureUnitSubtype, FixedBytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG controlSize = Descriptor[ControlSizeOffset];
    if (controlSize == 0 || Descriptor[0] < FixedBytes + controlSize) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (NT_SUCCESS(status)) status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS ModelFeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    const UCHAR* d = GetDescriptor();
    m_Id = d[UnitIdOffset];
    m_Kind = Uac1FeatureUnitSubtype;
    const ULONG source = d[SourceIdOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;

    auto* hal = static_cast<AudioHal*>(Hal);
    const PDEVICE_OBJECT device = Hal->GetDeviceObject();
    const ULONG tag = m_Traits.ControlTag;
    static constexpr ULONG order[] = {1, 2, 3, 4, 5, 7, 10};
    for (ULONG selector : order) {
        if (!HasControl(selector)) continue;
        const ULONG id = Hal->GetNodeCount();
        AudioNode* node = nullptr;
        if (selector == 2 || (selector >= 3 && selector <= 5)) {
            LevelControlBase* c = nullptr;
            if (selector == 2) {
                c = new (ExDefaultNonPagedPoolType, tag) VolumeControl(nullptr, id);
            } else {
                const ToneBand band = selector == 3 ? ToneBand::Bass : selector == 4 ? ToneBand::Mid : ToneBand::Treble;
                c = new (ExDefaultNonPagedPoolType, tag) ToneControl(nullptr, id, band);
            }
            if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            c->NonDelegatingAddRef();
            status = c->InitFeatureLevel(AsUnit(), selector, device);
            node = c;
        } else {
            FeatureSwitchControl* c = nullptr;
            if (selector == 1) {
                c = new (ExDefaultNonPagedPoolType, tag) MuteControl(nullptr, id);
            } else if (selector == 7) {
                c = new (ExDefaultNonPagedPoolType, tag) AgcControl(nullptr, id);
            } else {
                c = new (ExDefaultNonPagedPoolType, tag) LoudnessControl(nullptr, id);
            }
            if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            c->NonDelegatingAddRef();
            status = c->InitFeatureSwitch(AsUnit(), selector, device);
            node = c;
        }
        if (NT_SUCCESS(status)) status = AddUnitControl(this, hal, node);
        node->Release();  // the creation reference; the lists keep theirs
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ModelFeatureUnit::SwitchChannelCount(ULONG ControlSelector, PULONG Count) {
    UNREFERENCED_PARAMETER(ControlSelector);
    if (Count == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    *Count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS ModelFeatureUnit::LevelChannelCount(ULONG ControlSelector, PULONG Count) {
    if (Count == nullptr || !IsFeatureDescriptor()) return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    for (ULONG channel = 1; channel <= DescriptorChannels(); ++channel) {
        if (Declares(ControlSelector, channel)) ++count;
    }
    if (count == 0 && Declares(ControlSelector, 0)) count = 1;
    *Count = count;
    return count != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ModelFeatureUnit::LevelChannel(ULONG ControlSelector, ULONG Index, PUCHAR Number) {
    ULONG count = 0;
    if (!NT_SUCCESS(LevelChannelCount(ControlSelector, &count)) || Index >= count) return STATUS_INVALID_PARAMETER;
    const ULONG channel = count > 1 ? Index + 1 : 0;
    if (!Declares(ControlSelector, channel)) return STATUS_INVALID_PARAMETER;
    *Number = static_cast<UCHAR>(channel);
    return STATUS_SUCCESS;
}

NTSTATUS ModelFeatureUnit::Request(ULONG ControlSelector, UCHAR Code, UCHAR Channel, PVOID Buffer, ULONG Length) {
    const Uac1UnitRequest request = {
        URB_FUNCTION_CLASS_INTERFACE,
        static_cast<BOOLEAN>((Code & 0x80) != 0 ? TRUE : FALSE),
        Code,
        static_cast<USHORT>((ControlSelector & 0xFF) << 8 | Channel),
        GetDescriptor()[UnitIdOffset],
    };
    return SendUac1UnitRequest(GetHal(), request, Buffer, Length);
}

NTSTATUS ModelFeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) {
    PAGED_CODE();
    if (Channel != 0 || Value == nullptr || !Declares(ControlSelector, 0)) return STATUS_INVALID_PARAMETER;
    UCHAR answer = 0;
    const NTSTATUS status = Request(ControlSelector, Uac1GetCur, 0, &answer, 1);
    if (NT_SUCCESS(status)) *Value = answer;
    return status;
}

NTSTATUS ModelFeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel != 0 || !Declares(ControlSelector, 0)) return STATUS_INVALID_PARAMETER;
    return Request(ControlSelector, Uac1SetCur, 0, &Value, 1);
}

NTSTATUS ModelFeatureUnit::GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = LevelChannel(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR answer[2] = {};
    if (IsOneByte(ControlSelector)) {
        status = Request(ControlSelector, Uac1GetCur, number, answer, 1);
        if (NT_SUCCESS(status)) *Value = static_cast<LONG>(static_cast<signed char>(answer[0])) * 16384;
        return status;
    }
    status = Request(ControlSelector, Uac1GetCur, number, answer, 2);
    if (!NT_SUCCESS(status)) return status;
    const SHORT device = static_cast<SHORT>(ReadLe16(answer));
    *Value = device == DeviceSilence ? LevelSilence : m_Rule.Read(device);
    return STATUS_SUCCESS;
}

NTSTATUS ModelFeatureUnit::SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) {
    PAGED_CODE();
    UCHAR number = 0;
    NTSTATUS status = LevelChannel(ControlSelector, Channel, &number);
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2] = {};
    if (IsOneByte(ControlSelector)) {
        LONG device = Value >> 14;
        if (device > 127) device = 127;
        if (device < -128) device = -128;
        bytes[0] = static_cast<UCHAR>(device);
        return Request(ControlSelector, Uac1SetCur, number, bytes, 1);
    }
    const SHORT device = Value == LevelSilence ? DeviceSilence : m_Rule.Write(Value);
    bytes[0] = static_cast<UCHAR>(static_cast<USHORT>(device) & 0xFF);
    bytes[1] = static_cast<UCHAR>(static_cast<USHORT>(device) >> 8);
    return Request(ControlSelector, Uac1SetCur, number, bytes, 2);
}

NTSTATUS ModelFeatureUnit::GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    PAGED_CODE();
    if (Maximum == nullptr || Minimum == nullptr || Resolution == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR number = 0;
    NTSTATUS status = LevelChannel(ControlSelector, 0, &number);
    if (!NT_SUCCESS(status)) return status;
    const bool oneByte = IsOneByte(ControlSelector);
    const UCHAR codes[3] = {Uac1GetMax, Uac1GetMin, Uac1GetRes};
    LONG values[3] = {};
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR answer[2] = {};
        status = Request(ControlSelector, codes[i], number, answer, oneByte ? 1 : 2);
        if (!NT_SUCCESS(status)) return status;
        values[i] = static_cast<LONG>(static_cast<signed char>(answer[0])) * 16384;
    }
    // Two-byte levels report the unit's own range whatever the device answered.
    *Maximum = oneByte ? values[0] : m_Rule.Maximum;
    *Minimum = oneByte ? values[1] : m_Rule.Minimum;
    *Resolution = oneByte ? values[2] : m_Rule.Resolution;
    return STATUS_SUCCESS;
}

NTSTATUS ModelFeatureUnit::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    UNREFERENCED_PARAMETER(ControlId);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Model terminals

NTSTATUS ModelInputTerminal::TerminalRequest(BOOLEAN, TerminalRequestKind, USHORT, PVOID, ULONG, PULONG Received) {
    return RefuseTerminalRequest(Received);
}

NTSTATUS ModelInputTerminal::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    m_Id = GetTerminalId();
    m_Kind = Uac1InputTerminalSubtype;
    auto* connector = new (ExDefaultNonPagedPoolType, m_ControlTag) InputConnectorControl(nullptr, Hal->GetNodeCount());
    if (connector == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return AddConnector(this, AsUnit(), Hal, connector, 1, EndpointTypeOfInputTerminal(GetUsbTerminalType()),
                        &InputConnectorControl::InitInputConnector);
}

NTSTATUS ModelOutputTerminal::TerminalRequest(BOOLEAN, TerminalRequestKind, USHORT, PVOID, ULONG, PULONG Received) {
    return RefuseTerminalRequest(Received);
}

NTSTATUS ModelOutputTerminal::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    m_Id = GetTerminalId();
    m_Kind = Uac1OutputTerminalSubtype;
    const ULONG source = GetDescriptor()[OutputSourceOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;
    const USHORT code = GetUsbTerminalType();
    // The streaming terminal at the end of a capture path keeps the stream type, as the class's
    // own terminal does: as a speaker it would give the capture engine's filter a render pin.
    const ULONG type = code == UsbStreamingTerminalType ? Uac1OutputTypeOfCode(code, true)
                                                        : EndpointTypeOfOutputTerminal(code);
    SetTypes(&type, &code, 1);

    auto* connector = new (ExDefaultNonPagedPoolType, m_ControlTag) OutputConnectorControl(nullptr, Hal->GetNodeCount());
    if (connector == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    connector->SetTypeIndex(0);
    return AddConnector(this, AsUnit(), Hal, connector, 0, type, &OutputConnectorControl::InitOutputConnector);
}

// ---------------------------------------------------------------------------------------------
// Unit factories

NTSTATUS AddR7T3Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    PAGED_CODE();
    const UCHAR id = Descriptor[UnitIdOffset];
    switch (Subtype) {
    case Uac1InputTerminalSubtype: return AddNewUnit<R7T3InputTerminal>(Hal, Descriptor);
    case Uac1OutputTerminalSubtype: return AddNewUnit<R7T3OutputTerminal>(Hal, Descriptor);
    case Uac1MixerUnitSubtype: return AddNewUnit<MixerUnit>(Hal, Descriptor);
    case Uac1SelectorUnitSubtype: return AddNewUnit<SelectorUnit>(Hal, Descriptor);
    case Uac1FeatureUnitSubtype:
        if (id == 9) return AddNewUnit<R7T3FeatureUnit9>(Hal, Descriptor);
        if (id >= 10 && id <= 12) return AddNewUnit<R7T3FeatureUnit10>(Hal, Descriptor);
        if (id == 13 || id == 14) return AddNewUnit<R7T3FeatureUnit13>(Hal, Descriptor);
        return AddNewUnit<FeatureUnit>(Hal, Descriptor);
    default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS AddR7U5Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    PAGED_CODE();
    const UCHAR id = Descriptor[UnitIdOffset];
    switch (Subtype) {
    case Uac1InputTerminalSubtype: return AddNewUnit<R7U5InputTerminal>(Hal, Descriptor);
    case Uac1OutputTerminalSubtype: return AddNewUnit<R7U5OutputTerminal>(Hal, Descriptor);
    case Uac1MixerUnitSubtype: return AddNewUnit<MixerUnit>(Hal, Descriptor);
    case Uac1SelectorUnitSubtype: return AddNewUnit<SelectorUnit>(Hal, Descriptor);
    case Uac1FeatureUnitSubtype:
        if (id == 9) return AddNewUnit<R7U5FeatureUnit9>(Hal, Descriptor);
        if (id == 10) return AddNewUnit<R7U5FeatureUnit10>(Hal, Descriptor);
        if (id == 13) return AddNewUnit<R7U5FeatureUnit13>(Hal, Descriptor);
        return AddNewUnit<FeatureUnit>(Hal, Descriptor);
    default: return STATUS_UNSUCCESSFUL;
    }
}
