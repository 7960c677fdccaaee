// Simulation control of the Plug and Play manager: load a driver module and call its entry, create
// a device node for a bus device (physical device object, hardware identifiers, registry keys),
// drive it through add-device, start, query-interface, stop, surprise removal and removal, and
// unload the driver with the verifier's leak and balance checks. Every call runs the requests on
// the calling thread at PASSIVE_LEVEL and waits for their completion.
#pragma once

#include <sim/io.h>
#include <sim/machine.h>
#include <win/io.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::pnp {

struct Driver;
struct DeviceNode;

// {4D36E96C-E325-11CE-BFC1-08002BE10318}: the media device class of audio devices.
inline constexpr GUID kMediaClassGuid = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Loads the module at path (dlopen, RTLD_LOCAL) and calls its exported DriverEntry with a new
// driver object "\Driver\<service>" and the registry path
// "\Registry\Machine\SYSTEM\CurrentControlSet\Services\<service>". Answers DriverEntry's status;
// *driver is set on success. A failing entry leaves nothing loaded.
NTSTATUS LoadDriver(const std::string& path, std::u16string_view service, Driver** driver);
// The same for a driver whose code is linked into the calling program.
NTSTATUS LoadLinkedDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, Driver** driver);
// Calls DriverUnload and then checks that the driver left nothing behind: no device objects, IRPs
// or work items of its code, no pool allocated since the load, and the kernel's balances (handles,
// timer resolution requests, callback registrations, system threads) as they were at the load.
// A violation is a bug check naming the driver. Unloads the module.
void UnloadDriver(Driver* driver);
PDRIVER_OBJECT DriverObjectOf(Driver* driver);

// How a bus device looks to the PnP manager.
struct DeviceDescription {
    std::u16string deviceId = u"USB\\VID_0000&PID_0000";  // enumerator\device: the Enum tree path
    std::u16string instanceId = u"5&1A2B3C4D&0&1";
    std::vector<std::u16string> hardwareIds;  // empty: deviceId&REV_0100, deviceId
    std::vector<std::u16string> compatibleIds;
    std::u16string description = u"USB Audio Device";
    std::u16string manufacturer = u"(Generic USB Audio)";
    std::u16string service = u"KV-380D";
    GUID classGuid = kMediaClassGuid;
    std::u16string className = u"MEDIA";
    ULONG address = 1;  // port number on the hub
    // Requests that reach the physical device object other than the PnP and power requests the
    // bus answers itself (IRP_MN_QUERY_INTERFACE and internal device control go here). Without
    // one, PnP requests complete with their status unchanged and others fail.
    sim::io::BusDispatch dispatch;
    sim::io::Completion completion = sim::io::Completion::Asynchronous;
};

// Creates the physical device object and the device's keys: "Enum\<deviceId>\<instanceId>" with
// "Device Parameters", and the driver key "Control\Class\{class}\NNNN".
DeviceNode* CreateDevice(const DeviceDescription& description);
// The driver's AddDevice with the physical device object.
NTSTATUS AddDevice(Driver* driver, DeviceNode* node);
// IRP_MN_START_DEVICE (resources may be null, as for USB devices).
NTSTATUS StartDevice(DeviceNode* node, PCM_RESOURCE_LIST raw = nullptr, PCM_RESOURCE_LIST translated = nullptr);
// IRP_MN_QUERY_INTERFACE sent to the top of the device's stack.
NTSTATUS QueryInterface(DeviceNode* node, const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                        PVOID specificData = nullptr);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (or IRP_MN_CANCEL_STOP_DEVICE when refused).
NTSTATUS StopDevice(DeviceNode* node);
NTSTATUS SurpriseRemoveDevice(DeviceNode* node);
// IRP_MN_REMOVE_DEVICE; afterwards no interface of the device may still be enabled.
NTSTATUS RemoveDevice(DeviceNode* node);
// Any IRP_MJ_PNP request; setup fills the request's stack location.
NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void*) = nullptr,
                        void* context = nullptr, ULONG_PTR* information = nullptr);
// A device power IRP (IRP_MN_SET_POWER) through the device's stack, as PoRequestPowerIrp sends it.
NTSTATUS SetDevicePower(DeviceNode* node, DEVICE_POWER_STATE state);
// Deletes the physical device object (the device is gone from the bus). Nothing may be attached.
void DeleteDevice(DeviceNode* node);

PDEVICE_OBJECT PhysicalDeviceObject(DeviceNode* node);
// IRP_MN_START_DEVICE succeeded and no removal came since.
bool IsStarted(DeviceNode* node);

// ---- Devices the PnP manager enumerates on its own ----
// What the PnP manager does for a device its bus reports: the driver loaded for the description's
// service adds the device and starts it. STATUS_NO_SUCH_DEVICE when no driver of that service is
// loaded (the device stays without a function driver); otherwise AddDevice's or the start's status.
NTSTATUS EnumerateDevice(DeviceNode* node);
// The bus no longer reports the node's device (a port cycle, the device left): on the PnP manager's
// own thread the stack gets IRP_MN_SURPRISE_REMOVAL at once and IRP_MN_REMOVE_DEVICE as soon as no
// file is open on any device of the stack (the applications closed their handles). Then `removed`
// runs on that thread: the bus deletes the physical device object there (DeleteDevice) and answers
// the node of the device it enumerated in its place, or null; a new node is enumerated as
// EnumerateDevice does.
void ReportDeviceMissing(DeviceNode* node, std::function<DeviceNode*()> removed);
// Waits in the machine until the PnP manager's thread has no report left to act on, for at most
// limit (100 ns units); false when it still has one.
bool WaitForIdle(sim::machine::Time limit);
// "Enum\<deviceId>\<instanceId>" and the driver key's absolute paths.
std::u16string EnumKeyPath(DeviceNode* node);
std::u16string DriverKeyPath(DeviceNode* node);

// Device interfaces registered with IoRegisterDeviceInterface.
struct InterfaceInfo {
    std::u16string symbolicLink;  // "\??\USB#VID_...#<instance>#{guid}\<reference>"
    GUID classGuid{};
    std::u16string referenceString;
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    bool enabled = false;
    int enables = 0;   // successful enables
    int disables = 0;  // successful disables
};
// Interfaces of the class (all classes when null); enabled ones only when enabledOnly.
std::vector<InterfaceInfo> Interfaces(const GUID* classGuid = nullptr, bool enabledOnly = true);

}  // namespace sim::pnp
