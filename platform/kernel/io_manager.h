// Internals of the I/O manager shared by the I/O, PnP, power and port-class code of the platform.
#pragma once

#include <sim/io.h>
#include <win/kernel.h>

#include <functional>
#include <string>
#include <string_view>

namespace sim::pnp {
struct DeviceNode;
}

namespace sim::io {
struct BusDevice;
}

// What the I/O manager keeps about a device object (DEVICE_OBJECT.DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
    CSHORT Type = IO_TYPE_DEVICE;
    USHORT Size = 0;
    PDEVICE_OBJECT DeviceObject = nullptr;
    PDEVICE_OBJECT AttachedTo = nullptr;  // the device this one is attached on top of
    bool deleted = false;
    std::u16string name;                       // "\Device\..." or empty
    sim::pnp::DeviceNode* node = nullptr;      // set on physical device objects of the PnP manager
    sim::io::BusDevice* bus = nullptr;         // set on the platform's bus devices
    DEVICE_POWER_STATE powerState = PowerDeviceD0;  // as the last PoSetPowerState said
    int openFiles = 0;                              // file objects opened on this device
};

namespace sim::io {

std::string Narrow(std::u16string_view text);
std::u16string Wide(std::string_view text);
std::u16string FromUnicodeString(PCUNICODE_STRING string);
// "\Driver\X" of the device's driver, or "(no driver)".
std::string DriverNameOf(PDEVICE_OBJECT device);
std::string DriverNameOf(PDRIVER_OBJECT driver);
// Stops with a bug check unless device is a device object that was not deleted (or, with
// allowDeleted, one deleted but still referenced).
_DEVOBJ_EXTENSION* CheckedDevice(PDEVICE_OBJECT device, const char* caller, bool allowDeleted = false);

// Driver objects. The platform's own bus driver exists from first use.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name, std::u16string_view serviceKey);
void DeleteDriverObject(PDRIVER_OBJECT driver);
PDRIVER_OBJECT BusDriver();
// Every major function of the bus driver: hands the IRP to the device's BusDispatch.
NTSTATUS BusDeviceDispatch(PDEVICE_OBJECT device, PIRP irp);
// Device objects of driver that were created and not deleted.
size_t DeviceCount(PDRIVER_OBJECT driver);
PDEVICE_OBJECT FindNamedDevice(std::u16string_view name);

// Loaded modules: code addresses are attributed to the module they lie in, so the tracker can
// say which driver allocated an IRP or a work item. moduleBase is dladdr's dli_fbase.
void RegisterModule(const void* moduleBase, std::string name);
void UnregisterModule(const void* moduleBase);
// The base of the registered module that holds address, or null.
const void* ModuleOf(const void* address);
std::string ModuleName(const void* moduleBase);

// IRPs allocated by code of the module that still exist; a listing goes to *listing.
size_t IrpsOfModule(const void* moduleBase, std::string* listing);
// Runs work at PASSIVE_LEVEL on a system worker thread (the power manager's requests).
void QueuePassiveWork(std::function<void()> work);
// Work items allocated by code of the module and not freed; a listing goes to *listing.
size_t WorkItemsOfModule(const void* moduleBase, std::string* listing);

// File objects open on the device or on any device attached above it.
int OpenFilesOnStack(PDEVICE_OBJECT bottom);

// Sends irp, whose next stack location the caller filled, to device and waits (PASSIVE_LEVEL)
// for its completion. The IRP stays the caller's. A dispatch routine that answers a status
// other than STATUS_PENDING must have completed the IRP with that same status.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp);

// Resolves "\??\<interface link without reference string>[\rest]" of an enabled device interface
// to its physical device object and the file name below the device ("\rest").
NTSTATUS ResolveInterfacePath(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* rest);

// File objects: one reference for the caller; the file keeps its device referenced. fileName is
// copied into the object.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);

// The calling thread's process.
PEPROCESS CurrentProcess();
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE on a file, as when its last handle closes (no reference dropped).
NTSTATUS SendCleanupAndClose(PFILE_OBJECT file);
// A buffered request with an output buffer answered with Information above outLength on success
// or warning stops the machine (the copy-back would overrun the caller's buffer).
void CheckBufferedInformation(PIRP irp, ULONG code, ULONG outLength);

// Pool tags of the I/O manager's own allocations.
constexpr ULONG kIrpTag = ' prI';           // "Irp "
constexpr ULONG kSystemBufferTag = 'fBoI';  // "IoBf"
constexpr ULONG kWorkItemTag = 'kWoI';      // "IoWk"
// Symbolic link names handed to drivers are freed with RtlFreeUnicodeString: the runtime's tag.
constexpr ULONG kLinkTag = 'grtS';  // "Strg"

}  // namespace sim::io
