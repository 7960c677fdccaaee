#include "driver/engine/uac2/Uac2Terminals.h"

#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"
#include "driver/engine/uac2/Uac2Units.h"

namespace {

constexpr USHORT UsbStreamingTerminal = 0x0101;
// bmControls: the readable bit of the connector control.
constexpr USHORT ConnectorReadableBit = 0x4;

constexpr ULONG ConnectorSelector = 2;
constexpr ULONG TerminalTypeSelector = 8;
// The connector control's answer: bNrChannels, bmChannelConfig, iChannelNames.
constexpr ULONG ConnectorAnswerBytes = 6;

constexpr ULONG JackColors[16] = {0,        0,        0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
                                  0x800080, 0xFF0080, 0,        0,        0,        0,        0xFFFFFF, 0};

NTSTATUS ClassTerminalRequest(AdapterCommon* Hal, UCHAR TerminalId, BOOLEAN In, bool Range, USHORT Value,
                              PVOID Buffer, ULONG Length, PULONG Received) {
    return SendUac2UnitRequest(Hal, In, Range ? Uac2RequestRange : Uac2RequestCur, Value, TerminalId, Buffer, Length,
                               Received);
}

bool DeclaresJacks(const UCHAR* Descriptor, ULONG ControlsOffset) {
    return Descriptor != nullptr && ReadLe16(Descriptor + 4) != UsbStreamingTerminal &&
           (ReadLe16(Descriptor + ControlsOffset) & ConnectorReadableBit) != 0;
}

JackRecord ClassJackRecord(ULONG ChannelMapping, ULONG Configuration) {
    JackRecord record = {};
    record.ChannelMapping = ChannelMapping;
    record.Color = JackColors[(Configuration >> 12) & 0xF];
    record.ConnectionType = (Configuration >> 16) & 0xFF;
    record.GeoLocation = (Configuration >> 24) & 0xF;
    record.GenLocation = Configuration >> 28;
    record.IsConnected = ((Configuration >> 8) & 0xF) != 0 ? 1 : 0;
    return record;
}

// Presence from the connector control: a jack is connected when its channels are in the mask.
// A failed read counts as no channel and is answered after the copy.
NTSTATUS DescribeClassJacks(AdapterCommon* Hal, UCHAR TerminalId, JackRecord* Records, ULONG Count, PVOID Buffer) {
    UCHAR answer[ConnectorAnswerBytes] = {};
    const NTSTATUS status = ClassTerminalRequest(Hal, TerminalId, TRUE, false,
                                                 static_cast<USHORT>(ConnectorSelector << 8), answer, sizeof(answer),
                                                 nullptr);
    const ULONG mask = NT_SUCCESS(status) ? ReadLe32(answer + 1) : 0;
    auto* out = static_cast<JackRecord*>(Buffer);
    for (ULONG i = 0; i < Count; ++i) {
        Records[i].IsConnected = (Records[i].ChannelMapping & mask) != 0 ? 1 : 0;
        RtlCopyMemory(&out[i], &Records[i], sizeof(JackRecord));
    }
    return status;
}

}  // namespace

ULONG Uac2InputTypeOfCode(USHORT Code) {
    if (Code == UsbStreamingTerminal) return EndpointTypeCode(EndpointType::Stream);
    if (Code >= 0x0201 && Code <= 0x0206) return EndpointTypeCode(EndpointType::Mic);
    if (Code == 0x0401 || Code == 0x0402) return EndpointTypeCode(EndpointType::HandSet);
    if (Code >= 0x0403 && Code <= 0x0405) return EndpointTypeCode(EndpointType::Speakerphone);
    if (Code == 0x0603) return EndpointTypeCode(EndpointType::Line);
    if (Code == 0x0605) return EndpointTypeCode(EndpointType::Spdif);
    return EndpointTypeCode(EndpointType::Aux);
}

// ---- Uac2Terminal ----

template <class Base, const Uac2TerminalLayout& Layout>
NTSTATUS Uac2Terminal<Base, Layout>::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_Uac2TerminalExtra)) {
        const KernelInterface answers[] = {{IID_Uac2TerminalExtra, static_cast<Uac2TerminalExtra*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return Base::NonDelegatingQueryInterface(InterfaceId, Interface);
}

template <class Base, const Uac2TerminalLayout& Layout>
NTSTATUS Uac2Terminal<Base, Layout>::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return this->InitTerminal(Descriptor, Hal, ControlHal, Layout.Subtype, Layout.Bytes);
}

template <class Base, const Uac2TerminalLayout& Layout>
NTSTATUS Uac2Terminal<Base, Layout>::GetClockSourceId(PULONG Id) {
    const UCHAR* d = this->GetDescriptor();
    if (Id == nullptr || d == nullptr || d[2] != Layout.Subtype) return STATUS_INVALID_PARAMETER;
    *Id = d[Layout.ClockOffset];
    return STATUS_SUCCESS;
}

template <class Base, const Uac2TerminalLayout& Layout>
NTSTATUS Uac2Terminal<Base, Layout>::TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer,
                                                     ULONG Length, PULONG Received) {
    return ClassTerminalRequest(this->GetHal(), this->GetTerminalId(), In, Kind == TerminalRequestKind::Range, Value,
                                Buffer, Length, Received);
}

template <class Base, const Uac2TerminalLayout& Layout>
bool Uac2Terminal<Base, Layout>::HasJacks() const {
    return DeclaresJacks(this->GetDescriptor(), Layout.ControlsOffset);
}

template <class Base, const Uac2TerminalLayout& Layout>
JackRecord Uac2Terminal<Base, Layout>::JackRecordOf(ULONG ChannelMapping, ULONG Configuration) const {
    return ClassJackRecord(ChannelMapping, Configuration);
}

template <class Base, const Uac2TerminalLayout& Layout>
NTSTATUS Uac2Terminal<Base, Layout>::DescribeJacks(JackRecord* Records, ULONG Count, PVOID Buffer) {
    return DescribeClassJacks(this->GetHal(), this->GetTerminalId(), Records, Count, Buffer);
}

template class Uac2Terminal<InputTerminal, Uac2InputTerminalLayout>;
template class Uac2Terminal<OutputTerminal, Uac2OutputTerminalLayout>;

// ---- Uac2InputTerminal ----

NTSTATUS Uac2InputTerminal::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    if (ControlSelector != ConnectorSelector || Channel != 0) return STATUS_UNSUCCESSFUL;
    return InputTerminal::HandleStatusInterrupt(ControlSelector, Channel, ControlId);
}

ULONG Uac2InputTerminal::InputTypeOf(USHORT Code) const { return Uac2InputTypeOfCode(Code); }

ULONG Uac2InputTerminal::PinEndpointTypeOf(USHORT Code) const { return Uac2InputTypeOfCode(Code); }

// ---- Uac2OutputTerminal ----

NTSTATUS Uac2OutputTerminal::HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) {
    PAGED_CODE();
    if (ControlSelector == TerminalTypeSelector) {
        return OutputTerminal::HandleStatusInterrupt(ControlSelector, Channel, ControlId);
    }
    if (ControlSelector != ConnectorSelector) return STATUS_UNSUCCESSFUL;
    RefreshKind(NodeKindCode(NodeKind::TerminalType), true, nullptr);
    RefreshKind(NodeKindCode(NodeKind::OutputConnector), false, nullptr);
    if (ControlId != nullptr) GetOutputControlId(ControlId);
    return STATUS_SUCCESS;
}

ULONG Uac2OutputTerminal::ListedTypeOf(USHORT Code) const { return Uac1OutputTypeOfCode(Code, true); }

ULONG Uac2OutputTerminal::TypesOffered(ULONG Announced) const {
    // More types than the connectors hold: the list is not believed, the terminal keeps its own.
    return Announced <= TerminalMaxTypes ? Announced : 0;
}
