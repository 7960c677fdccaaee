// Output terminal 3 of the R7T5: one jack block the device switches between speaker, headphone and
// S/PDIF output by vendor registers (not by the family's output-type requests). The types offered
// follow the "SupportHPOut" and "SupportSpdifOut" switches; the choice is stored under
// "UACUnit03", and each type describes its jacks from a table of its own.
#pragma once

#include "driver/engine/uac1/Uac1Terminals.h"

class R7T5AudioHal;
class Uac1AudioHal;

// The jack records of one type: three for the speaker outputs, one for headphone and S/PDIF.
constexpr ULONG R7T5SpeakerJacks = 3;

class R7T5OutputTerminal : public OutputTerminal {
public:
    R7T5OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);

    // Types: speaker, then headphone when SupportHPOut, then S/PDIF when SupportSpdifOut. After the
    // terminal's controls exist the device's registers are set for the current type. The HAL
    // (Hal) must be the R7T5 HAL, which writes the registers.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal, UCHAR SupportSpdifOut,
                  UCHAR SupportHPOut);
    // One output connector per type and, with two types or more, a terminal-type control. The
    // stored type counts only when it is one of the list.
    NTSTATUS CreateControls(AdapterCommon* Hal) override;

    // TerminalInfo (the type list and current type are the base's). A listed type: the registers of the type (2, 1, 0 in that order), stored; an unlisted one:
    // STATUS_UNSUCCESSFUL.
    STDMETHODIMP SelectType(ULONG Type) override;
    // Index: a position in the type list; past it STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetJackCount(PULONG Count, ULONG Index) override;
    // The type's records, connected when "SetJackConnect" is set or the type is current; a buffer
    // that cannot hold them all: STATUS_INVALID_PARAMETER, nothing written.
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) override;

    // The output connectors read their jacks again; the id of the last is reported.
    NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) override;

private:
    // Registers 2, 1 and 0 for Type; the device's answers are not examined.
    void WriteTypeRegisters(ULONG Type);

    R7T5AudioHal* m_pHal;  // no reference: the HAL owns this unit
};

// The R7T5 walk's output terminal 3, with the output types the HAL's switches allow.
NTSTATUS AddR7T5OutputTerminal(Uac1AudioHal& Hal, const UCHAR* Descriptor);
