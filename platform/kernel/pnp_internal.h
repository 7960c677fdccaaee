// Internals of the PnP manager shared by its device nodes, device interfaces and device properties.
#pragma once

#include "io_manager.h"

#include <sim/pnp.h>

#include <atomic>
#include <string>

namespace sim::pnp {

struct DeviceNode {
    DeviceDescription description;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string pdoName;         // "\Device\USBPDO-n"
    std::u16string enumPath;        // "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>\<instance>"
    std::u16string driverKeyName;   // "{class}\NNNN"
    std::u16string hwProfilePath;   // the device key under the current hardware profile
    Driver* driver = nullptr;       // after a successful AddDevice
    LONG_PTR baseReferences = 0;    // references on the PDO held by the PnP manager itself
    bool removed = false;           // IRP_MN_REMOVE_DEVICE completed
    // IRP_MN_START_DEVICE succeeded, no removal since; read by tests on their own thread while
    // the PnP manager's thread removes the device.
    std::atomic<bool> started = false;
};

// The node of a physical device object; anything else is a bug check naming caller.
DeviceNode* NodeOf(PDEVICE_OBJECT device, const char* caller);

// "USB\VID_1&PID_2" + "5&1&0&1" -> "USB#VID_1&PID_2#5&1&0&1"
std::u16string InstancePathForLink(const DeviceNode& node);
// Enabled interfaces of the physical device object, one link per line.
std::u16string EnabledInterfacesOf(PDEVICE_OBJECT pdo, size_t* count);
// The device's interface links stay registered after the device is gone; they no longer name it.
void ForgetInterfacesOf(PDEVICE_OBJECT pdo);

// "{4d36e96c-e325-11ce-bfc1-08002be10318}" (lower case, as interface links and keys write it)
std::u16string GuidText(const GUID& guid, bool upperCase);

constexpr const char16_t* kEnumRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char16_t* kClassRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr const char16_t* kHwProfileRoot =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";
constexpr const char16_t* kServicesRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

}  // namespace sim::pnp
