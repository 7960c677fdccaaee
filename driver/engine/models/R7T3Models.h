// R7T3AudioHal and R7U5AudioHal: the HALs of two UAC 1.0 device models whose feature units report
// volume in scales of their own and whose terminals have no jack or output-type tables. Both walk
// the AudioControl interface with the UAC 1.0 walker and their own unit classes (R7T3Units.h) and
// the AudioStreaming interfaces with the UAC 1.0 walker; they read no chip identifier and restore
// no device state. R7U5 devices of one vendor declare their headphone output (terminal 6) as a
// speaker: the walk corrects the descriptor before the terminal is created.
//
// Neither object hands out a DeviceModel interface: IID_IUnknown, AdapterCommon and
// IAdapterPowerManagement only.
#pragma once

#include "driver/engine/models/R7T3Units.h"
#include "driver/engine/uac1/Uac1AudioHal.h"

// Capability values of the endpoint record.
constexpr ULONG R7T3Capabilities = 0x3FE02F;
constexpr ULONGLONG R7T3CapabilityValue = 12;
constexpr ULONG R7U5Capabilities = 0xF;
constexpr ULONG R7U5HeadsetCapabilities = 0x24;  // VID 0x1B1C PID 0x0A06
// The vendor whose R7U5 devices drive headphones at terminal 6.
constexpr USHORT R7U5HeadphoneVendor = 0x1B1C;
constexpr USHORT R7U5HeadsetProduct = 0x0A06;

NTSTATUS CreateR7T3AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateR7U5AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

// What the two models share: the interfaces handed out, Identify, no device state to restore.
class R7ModelAudioHal : public Uac1AudioHal {
public:
    R7ModelAudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
        : Uac1AudioHal(UnknownOuter, VendorId, ProductId) {}

    // IID_IUnknown, AdapterCommon, IAdapterPowerManagement; anything else STATUS_INVALID_PARAMETER
    // with a null *Interface.
    NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    // The model's capability record, then the walks of the AudioControl and AudioStreaming
    // interfaces.
    STDMETHODIMP Identify() override;
    STDMETHODIMP RestoreDeviceState() override { return STATUS_SUCCESS; }

protected:
    virtual void SetCapabilities() = 0;
};

class R7T3AudioHal : public R7ModelAudioHal {
public:
    using R7ModelAudioHal::R7ModelAudioHal;
    const Uac1WalkPolicy& WalkPolicy() const override;

protected:
    void SetCapabilities() override;
};

class R7U5AudioHal : public R7ModelAudioHal {
public:
    using R7ModelAudioHal::R7ModelAudioHal;
    const Uac1WalkPolicy& WalkPolicy() const override;

protected:
    void SetCapabilities() override;
};
