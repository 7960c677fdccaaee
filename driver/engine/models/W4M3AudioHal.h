// W4M3AudioHal: the HAL of the W4M3 model, whose playback runs through host-side effects. Its
// walks are the UAC 1.0 walks with the model's policy: every feature unit is a W4M3FeatureUnit
// (which owns the effect controls), every render interface gets a W4M3PlaybackStream, and render
// formats are offered as eight channels, which the stream turns into the device's two on the way
// out. No UAC 1.0 device rules by vendor and product apply.
//
// The object answers AdapterCommon and IAdapterPowerManagement only; its DeviceModel table serves
// its own walks.
#pragma once

#include "driver/engine/uac1/Uac1AudioHal.h"

#include "driver/engine/models/W4M3FeatureUnit.h"

// "W4M3": the HAL object (as the feature unit's controls).
constexpr ULONG W4M3HalTag = W4M3Tag;

// The two capability sets of the model, one per variant of the device (see Identify).
// Full speed: the first set (one vendor and product differ in bit 12 of the capabilities and bit
// 0 of the flags); high speed: the second set.
constexpr ULONG W4M3FullSpeedCapabilities = 0x3E1084;
constexpr ULONG W4M3FullSpeedFlags = 0x40;
constexpr USHORT W4M3OtherFirstSetVendor = 0x17EF;
constexpr USHORT W4M3OtherFirstSetProduct = 0x6073;
constexpr ULONG W4M3OtherFirstSetCapabilities = 0x3E0084;
constexpr ULONG W4M3OtherFirstSetFlags = 0x41;
constexpr ULONG W4M3HighSpeedCapabilities = 0x20006;
constexpr ULONGLONG W4M3HighSpeedValue = 8;

NTSTATUS CreateW4M3AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

class W4M3AudioHal : public Uac1AudioHal {
public:
    W4M3AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

    // IID_IUnknown, AdapterCommon and IAdapterPowerManagement; anything else
    // STATUS_INVALID_PARAMETER with a null out pointer.
    NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;

    // The capability record of the device's variant, then the walks and the restore.
    STDMETHODIMP Identify() override;
    const Uac1WalkPolicy& WalkPolicy() const override;
};
