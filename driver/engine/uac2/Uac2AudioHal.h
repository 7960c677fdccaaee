// Uac2AudioHal: the HAL of a USB Audio Class 2.0 device (AudioControl protocol 0x20). It is the
// UAC 1.0 HAL (unit list, control-interface search, unit graph check and connection, stream path
// adjustments, terminal-type listeners, power changes, engine renaming) with the release-2 walks:
// clock sources, units and terminals from the AudioControl interface, streams through the clock
// that drives their terminal. Its status thread reads the AudioControl interrupt endpoint's 6-byte
// messages (and keeps a read pending on the interface's bulk IN endpoint when there is one); a
// message about a control of the AudioControl interface re-reads that control and announces it.
#pragma once

#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac2/Uac2StreamBuilder.h"

// "UAC2": the HAL object, its unit list, the unit objects, the status thread's events, buffers and
// requests (non-paged), the rate array and walk table (paged).
constexpr ULONG Uac2AudioHalTag = '2CAU';
// The status thread's scheduling priority.
constexpr KPRIORITY Uac2StatusThreadPriority = 16;
// A UAC 2.0 interrupt message: bInfo, bAttribute, wValue, wIndex.
constexpr ULONG Uac2StatusMessageBytes = 6;
// Bytes of each read on the AudioControl interface's bulk IN endpoint.
constexpr ULONG Uac2BulkReadBytes = 512;

// Creates the HAL with UnknownOuter (the adapter) and hands out its inner unknown with one
// reference. STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateUac2AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

class Uac2AudioHal : public Uac1AudioHal, public Uac2StreamSite {
public:
    Uac2AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

    // ---- DeviceModel ----
    // The AudioControl interface (protocol 0x20) into clock sources, units and terminals, then
    // the unit graph check and connection. STATUS_INVALID_PARAMETER: not such an interface, a
    // descriptor shorter than its fields, a unit graph with a cycle; STATUS_UNSUCCESSFUL: a
    // bLength that cannot be walked, or a unit no model takes (effect, processing, clock selector,
    // clock multiplier); a unit's Init failure as it came (a feature unit without mute, a refused
    // jack list).
    STDMETHODIMP BuildTopology(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) override;
    // Uac2BuildStreams from FirstStreaming (none: nothing to build), then the terminal-type
    // listeners.
    STDMETHODIMP BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstStreaming,
                              ULONG Length) override;

    // ---- AdapterCommon ----
    // The AudioControl walk, then the AudioStreaming walk; the first failure.
    STDMETHODIMP Identify() override;
    STDMETHODIMP GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) override;

    // ---- Uac2StreamSite ----
    AudioHal& StreamHal() override { return *this; }
    NTSTATUS ResolveTerminal(ULONG TerminalLink, ULONG* Direction, ULONG* TerminalControlId,
                             ULONG* ClockControlId) override;
    // Capture paths pass their mixers through before the UAC 1.0 adjustments.
    NTSTATUS AdjustStreamPath(StreamEngine* Stream) override;

    // A status message about control ControlSelector, channel Channel, of entity EntityId: the
    // unit re-reads it; a unit announces the control it names, a terminal's connector change
    // re-runs every engine's InstallMiniport.
    NTSTATUS NotifyUnitChange(ULONG EntityId, ULONG ControlSelector, ULONG Channel);

    BOOLEAN HasBulkPipe() const { return m_BulkPipe != Uac1NoStatusPipe; }

protected:
    void RunStatusThread() override;
    // "UpdateMiniportDelay" milliseconds, when the setting exists.
    void PauseBeforeReinstall() override;
    // A UAC 2.0 start without its status request fails: STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS StartWithoutStatusRequest() override { return STATUS_INSUFFICIENT_RESOURCES; }

private:
    // One pending read of the status thread: its IRP, request, buffer and completion event.
    struct StatusRead;
    NTSTATUS SubmitRead(StatusRead& Read);
    void HandleMessage(const UCHAR* Message, ULONG Received);
};
