// R7T5AudioHal: the HAL of the R7T5 model. Before the walks it rewrites the adapter's copy of the
// configuration for the registry switches and the vendor/product quirks; it keeps a shadow of six
// 16-bit device registers written with HID output reports (and written back at every return to
// D0); instead of the interrupt-endpoint status thread it may run a 50 ms poll of a HID input
// report that drives the render engine's playback guard.
#pragma once

#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/models/R7T5Switches.h"
#include "driver/engine/uac1/Uac1AudioHal.h"

constexpr ULONG R7T5RegisterCount = 6;
// Priority of the poll thread, and its period in 100 ns units.
constexpr KPRIORITY R7T5PollPriority = 16;
constexpr LONGLONG R7T5PollPeriod = 50 * 10000;
// Readings of the status report the poll decides on (1.5 s).
constexpr ULONG R7T5PollHistory = 30;
// Bytes of the requests the HAL builds.
constexpr ULONG R7T5RequestBytes = 136;
// The device whose status report the poll reads, with the playback guard and the forced line
// monitor mute.
constexpr USHORT R7T5PollVendorId = 0x1E7D;
constexpr USHORT R7T5PollProductId = 0x3750;
// The line monitor feature unit the poll mutes.
constexpr ULONG R7T5LineMonitorId = 11;

class R7T5LineMonitorUnit;

struct DeviceRegister {
    USHORT Value;
    USHORT Flags;  // bit 0: cleared by every successful write; bit 1: written back at D0
};
static_assert(sizeof(DeviceRegister) == 4);

NTSTATUS CreateR7T5AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

class R7T5AudioHal : public Uac1AudioHal {
public:
    R7T5AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
    // Ends a running poll and releases the playback guard.
    ~R7T5AudioHal() override;

    // Register Register := (shadow AND NOT Mask) OR (Value AND Mask), or Value under 0xFFFF, with one
    // HID output report; the shadow keeps what was written. Serialised, so writers of different
    // bits of one register never lose each other's bits. STATUS_UNSUCCESSFUL for a register above
    // 5; a zero mask sends nothing.
    NTSTATUS WriteDeviceRegister(ULONG Register, USHORT Value, USHORT Mask);

    // Register 5's bits 12-13 pulsed, then registers 0 to 4 written back from the shadow.
    STDMETHODIMP RestoreDeviceState() override;
    STDMETHODIMP Start() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Identify() override;
    const Uac1WalkPolicy& WalkPolicy() const override;

    // After UpdateMiniports removed and renamed Engine: the terminal is announced again (every
    // engine installs); when that fails, Engine is installed again under PreviousName (the type
    // change is undone, so the name goes back with it) and the failure is the result.
    NTSTATUS InstallRenamedEngine(StreamEngine* Engine, ULONG UnitId, PCWSTR PreviousName) override;

    // The guard pass and the channel-swap pass over the render engines (the walk's last step).
    NTSTATUS AddRenderStages();
    // The walk made Unit as the line monitor (no reference: the unit list holds it).
    void KeepLineMonitor(R7T5LineMonitorUnit* Unit) { m_pLineMonitor = Unit; }

    // ---- State, for inspection ----
    const DeviceRegister& Register(ULONG Index) const { return m_RegisterShadow[Index]; }
    const R7T5Switches& Switches() const { return m_Switches; }
    bool PollEnabled() const { return m_PollEnabled != 0; }
    bool PollRunning() const { return m_PollRunning != 0; }
    ULONG PollState() const { return m_PollState; }
    FormatPolicy* Guard() const { return m_pFormatPolicy; }
    // Unit 11 when it is the walk's line monitor; null when it is absent or of another class.
    R7T5LineMonitorUnit* LineMonitor();

private:
    void ReadSwitches();
    void ApplyQuirks(UCHAR VariantA, UCHAR VariantB);
    NTSTATUS ReadVariant(UsbTransport* Transport, PURB Urb, USHORT Index, PUCHAR Byte);
    // One status report; FALSE when it could not be read.
    bool ReadReport(PURB Urb, PUCHAR Report);
    void RunPoll();
    // WriteDeviceRegister with m_RegisterLock held by the caller.
    NTSTATUS WriteRegisterLocked(ULONG Register, USHORT Value, USHORT Mask);
    // The poll's decision on one more reading: the guard's mode and the line monitor's force.
    void DecidePoll(const UCHAR* History);
    void ForceLineMonitorMute(UCHAR Flag);
    static KSTART_ROUTINE R7T5PollThread;

    DeviceRegister m_RegisterShadow[R7T5RegisterCount];
    UCHAR m_PollEnabled;
    UCHAR m_PollRunning;
    KTIMER m_PollTimer;
    R7T5Switches m_Switches;
    FormatPolicy* m_pFormatPolicy;  // one reference; the guard of the render engine
    R7T5LineMonitorUnit* m_pLineMonitor;  // no reference; null without one
    KernelMutex m_RegisterLock;     // a leaf: compute, send and shadow update of a register write; the whole restore
    ULONG m_PollState;              // 0 pass, 1 quarter gain, 2 silence
};
