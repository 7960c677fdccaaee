// UsbTransport: how every HAL, unit, control and stream reaches the USB device. The adapter
// implements it: synchronous URBs with a time-out, IRPs for the lower driver, port status, reset
// and cycle, the bus frame number and the busy count that keeps the device from idling.
//
// The device-gone latch: once a URB answers STATUS_DEVICE_NOT_CONNECTED, the port reports the
// device disconnected, or the port was cycled, every SubmitUrbSync fails at once with
// STATUS_UNSUCCESSFUL without reaching the bus, and CheckPortStatus answers TRUE without asking.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>
#include <win/usb.h>

// {4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}
DEFINE_GUID(IID_UsbTransport, 0x4E0BFAF2, 0x66CC, 0x40AC, 0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF);

// How long SubmitUrbSync waits for the device before it cancels the URB: 500 ms in 100 ns units.
constexpr LONGLONG UsbTransportUrbTimeout100ns = 5'000'000;

class UsbTransport : public IUnknown {
public:
    // Operations in table order.

    // The whole configuration descriptor (wTotalLength bytes), kept by the adapter; null before
    // the start read it.
    STDMETHOD_(PUSB_CONFIGURATION_DESCRIPTOR, GetConfigurationDescriptor)() PURE;
    STDMETHOD_(USBD_CONFIGURATION_HANDLE, GetConfigurationHandle)() PURE;
    // bInterfaceNumber of the AudioControl interface.
    STDMETHOD_(UCHAR, GetControlInterfaceNumber)() PURE;
    // Writes the device-present byte; STATUS_SUCCESS.
    STDMETHOD(SetDevicePresent)(UCHAR Present) PURE;
    // IofCallDriver to the lower device object. Resident: callable at DISPATCH_LEVEL.
    STDMETHOD(CallLowerDriver)(PIRP Irp) PURE;
    // Sends Urb and waits for it; a URB the device does not finish within 500 ms is cancelled and
    // answers the cancelled IRP's status. Device gone: STATUS_UNSUCCESSFUL at once. PASSIVE_LEVEL.
    STDMETHOD(SubmitUrbSync)(PURB Urb) PURE;
    // *CurrentFrame := the bus frame number (1 ms frames), 0 when the bus cannot tell. The status
    // carries no meaning. Resident.
    STDMETHOD(QueryBusTime)(PULONG CurrentFrame) PURE;
    // An IRP with room for the lower stack and the driver's own location; null without memory.
    STDMETHOD_(PIRP, AllocateIrp)() PURE;
    // IoFreeIrp; STATUS_SUCCESS. Resident.
    STDMETHOD(FreeIrp)(PIRP Irp) PURE;
    // 1 on a high-speed bus. Resident.
    STDMETHOD_(UCHAR, IsHighSpeed)() PURE;
    // Asks the hub for the port's state (resetting the port once when it answers that the device
    // is missing, and cycling it when it says so twice); TRUE when the device is gone. PASSIVE_LEVEL.
    STDMETHOD_(BOOLEAN, CheckPortStatus)() PURE;
    // Cycles the port once per adapter (the bus driver enumerates the device anew); TRUE when the
    // device is gone, which is always after the first call. PASSIVE_LEVEL.
    STDMETHOD_(BOOLEAN, CyclePort)() PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetLowerDeviceObject)() PURE;
    // The busy count of the running USB streams; a busy device never idles. Both answer the new
    // count.
    STDMETHOD_(LONG, AddBusy)() PURE;
    STDMETHOD_(LONG, ReleaseBusy)() PURE;
    // Chooses, creates and aggregates the HAL that fits the device.
    STDMETHOD(CreateAudioHal)() PURE;

protected:
    ~UsbTransport() = default;
};
typedef UsbTransport* PUSBTRANSPORT;
