// DeviceModel: the first interface of every HAL class that has a device model. The adapter hands
// it out on behalf of its HAL; terminal-type controls call UpdateMiniports after a type change.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>
#include <win/usb.h>

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
DEFINE_GUID(IID_DeviceModel, 0xB00C6788, 0x253F, 0x4638, 0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A);

class DeviceModel : public IUnknown {
public:
    // Operations in table order.

    // Re-installs the wave subdevice of every engine whose terminal type changed.
    STDMETHOD(UpdateMiniports)(ULONG UnitId) PURE;
    // The HAL's change-notice callback object; STATUS_UNSUCCESSFUL for a null CallbackObject.
    STDMETHOD(GetCallbackObject)(PCALLBACK_OBJECT* CallbackObject) PURE;
    // Walks the AudioControl interface; Length: bytes from Interface to the end of the configuration.
    STDMETHOD(BuildTopology)(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) PURE;
    // Walks the AudioStreaming interfaces from FirstStreaming; Length as above.
    STDMETHOD(BuildStreams)(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstStreaming,
                            ULONG Length) PURE;
    // Writes a model's device registers back after power-up.
    STDMETHOD(RestoreDeviceState)() PURE;

protected:
    ~DeviceModel() = default;
};
typedef DeviceModel* PDEVICEMODEL;
