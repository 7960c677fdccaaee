// The terminals of a UAC 2.0 AudioControl interface: the UAC 1.0 terminal units speaking class
// requests instead of the family's vendor requests.
//
// A terminal has jacks when it is no USB streaming terminal and its bmControls declare the
// connector control readable; the jack list is GET CUR of the connector control on channel 0xFF
// (count byte, then 8 bytes per jack) and a device that refuses it is refused. An output terminal
// with jacks asks the terminal-type control (selector 8) for the types it can be switched to
// (RANGE: one 2-byte sub-range per type, at most TerminalMaxTypes, else the terminal offers its
// own type only). Jack presence is the connector control's bmChannelConfig.
//
// Both answer Uac2TerminalExtra: the clock source that drives the terminal.
#pragma once

#include "driver/engine/uac1/Uac1Terminals.h"

#include <win/kernel.h>
#include <win/unknown.h>

// {6A1F3E52-9C0B-4D7E-8E25-3B94C1D07A6F}
DEFINE_GUID(IID_Uac2TerminalExtra, 0x6A1F3E52, 0x9C0B, 0x4D7E, 0x8E, 0x25, 0x3B, 0x94, 0xC1, 0xD0, 0x7A, 0x6F);

class Uac2TerminalExtra : public IUnknown {
public:
    // bCSourceID. STATUS_INVALID_PARAMETER for a null Id or without the terminal's descriptor.
    STDMETHOD(GetClockSourceId)(PULONG Id) PURE;

protected:
    ~Uac2TerminalExtra() = default;
};

// Endpoint types of USB terminal types, as the release-2 terminals map them.
ULONG Uac2InputTypeOfCode(USHORT Code);

// What both release-2 terminals add to their UAC 1.0 class: class requests, jacks from the connector
// control, the clock source. Layout: the terminal's subtype, its descriptor's bytes and the
// offsets of bCSourceID and bmControls.
struct Uac2TerminalLayout {
    UCHAR Subtype;
    ULONG Bytes;
    ULONG ClockOffset;
    ULONG ControlsOffset;
};

template <class Base, const Uac2TerminalLayout& Layout>
class Uac2Terminal : public Base, public Uac2TerminalExtra {
public:
    using Base::AnswerQuery;
    using Base::GetOuterUnknown;
    DECLARE_KERNEL_UNKNOWN();

    Uac2Terminal(PUNKNOWN UnknownOuter, ULONG Id) : Base(UnknownOuter, Id) {}

    // Descriptor: the terminal's descriptor whose bLength the caller has bounded.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    STDMETHODIMP GetClockSourceId(PULONG Id) override;

protected:
    using TerminalRequestKind = typename Base::TerminalRequestKind;
    NTSTATUS TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer, ULONG Length,
                             PULONG Received) override;
    bool HasJacks() const override;
    JackRecord JackRecordOf(ULONG ChannelMapping, ULONG Configuration) const override;
    NTSTATUS DescribeJacks(JackRecord* Records, ULONG Count, PVOID Buffer) override;
};

inline constexpr Uac2TerminalLayout Uac2InputTerminalLayout = {
    .Subtype = 2, .Bytes = 17, .ClockOffset = 7, .ControlsOffset = 14};
inline constexpr Uac2TerminalLayout Uac2OutputTerminalLayout = {
    .Subtype = 3, .Bytes = 12, .ClockOffset = 8, .ControlsOffset = 9};

class Uac2InputTerminal : public Uac2Terminal<InputTerminal, Uac2InputTerminalLayout> {
public:
    using Uac2Terminal::Uac2Terminal;

    // Only the connector control of channel 0 (else STATUS_UNSUCCESSFUL).
    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;

protected:
    ULONG InputTypeOf(USHORT Code) const override;
    ULONG PinEndpointTypeOf(USHORT Code) const override;
};

class Uac2OutputTerminal : public Uac2Terminal<OutputTerminal, Uac2OutputTerminalLayout> {
public:
    using Uac2Terminal::Uac2Terminal;

    // The connector control (jacks) or the terminal-type control (the device switched its type);
    // any other selector: STATUS_UNSUCCESSFUL.
    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;

protected:
    ULONG TypesOffered(ULONG Announced) const override;
    // A USB streaming entry of the type list keeps the stream type, as the terminal's own type does.
    ULONG ListedTypeOf(USHORT Code) const override;
};
