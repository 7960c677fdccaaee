// Driver, device and file objects: creation and deletion, device stacks, device names, and the
// table of loaded modules that attributes code addresses to drivers.
#include "io_manager.h"
#include "object_manager.h"

#include <sim/verifier.h>

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace sim::io {
namespace {

// Pattern written over a device extension when its device object is deleted: code that still
// reads the extension afterwards sees garbage instead of plausible pointers.
constexpr int kDeletedExtensionFill = 0xDE;

struct ObjectTables {
    std::mutex lock;
    std::set<PDEVICE_OBJECT> liveDevices;  // created and not deleted
    std::set<PDEVICE_OBJECT> allDevices;   // not freed yet (deleted ones stay while referenced)
    std::map<std::u16string, PDEVICE_OBJECT> names;  // upper-cased device names
    std::map<const void*, std::string> modules;
};

ObjectTables& Tables() {
    static ObjectTables* tables = new ObjectTables();  // lives as long as the process
    return *tables;
}

std::u16string Upper(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

void DestroyDevice(void* body) {
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        Tables().allDevices.erase(device);
    }
    delete device->DeviceObjectExtension;
    device->DeviceObjectExtension = nullptr;
}

void DestroyDriver(void* body) {
    auto* driver = static_cast<PDRIVER_OBJECT>(body);
    delete[] driver->DriverName.Buffer;
    if (driver->DriverExtension != nullptr) delete[] driver->DriverExtension->ServiceKeyName.Buffer;
}

void DestroyFile(void* body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    if (file->DeviceObject != nullptr) {
        {
            std::lock_guard<std::mutex> guard(Tables().lock);
            file->DeviceObject->DeviceObjectExtension->openFiles--;
        }
        ObDereferenceObject(file->DeviceObject);
    }
    // A file opened relative to another keeps that one alive until it goes.
    if (file->RelatedFileObject != nullptr) ObDereferenceObject(file->RelatedFileObject);
}

_OBJECT_TYPE g_deviceType{{"Device", DestroyDevice}};
_OBJECT_TYPE g_driverType{{"Driver", DestroyDriver}};
// The last handle of a file closes it as the I/O manager does: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE.
void CloseFileOfLastHandle(void* body) { SendCleanupAndClose(static_cast<PFILE_OBJECT>(body)); }

_OBJECT_TYPE g_fileType{{.name = "File", .destroy = DestroyFile, .lastHandleClosed = CloseFileOfLastHandle}};
POBJECT_TYPE g_deviceTypePointer = &g_deviceType;
POBJECT_TYPE g_driverTypePointer = &g_driverType;
POBJECT_TYPE g_fileTypePointer = &g_fileType;

PWSTR CopyToNewBuffer(std::u16string_view text, USHORT* length, USHORT* maximumLength) {
    auto* buffer = new WCHAR[text.size() + 1];
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    *length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    *maximumLength = static_cast<USHORT>(*length + sizeof(WCHAR));
    return buffer;
}

}  // namespace

std::string Narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string Wide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<unsigned char>(c));
    return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string DriverNameOf(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "(no driver)";
    return Narrow(FromUnicodeString(&driver->DriverName));
}

std::string DriverNameOf(PDEVICE_OBJECT device) {
    if (device == nullptr) return "(no device)";
    return DriverNameOf(device->DriverObject);
}

_DEVOBJ_EXTENSION* CheckedDevice(PDEVICE_OBJECT device, const char* caller, bool allowDeleted) {
    {
        ObjectTables& t = Tables();
        std::lock_guard<std::mutex> guard(t.lock);
        if (device == nullptr || t.allDevices.count(device) == 0) {
            sim::BugCheck("INVALID_DEVICE_OBJECT", "%s: %p is not a device object that exists", caller,
                          static_cast<void*>(device));
        }
    }
    _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    if (ext->deleted && !allowDeleted) {
        sim::BugCheck("INVALID_DEVICE_OBJECT", "%s: device object %p of %s was deleted", caller,
                      static_cast<void*>(device), DriverNameOf(device).c_str());
    }
    return ext;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name, std::u16string_view serviceKey) {
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto* driver = static_cast<PDRIVER_OBJECT>(sim::ob::CreateObject(*IoDriverObjectType, size));
    if (driver == nullptr) return nullptr;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    driver->DriverName.Buffer = CopyToNewBuffer(name, &driver->DriverName.Length, &driver->DriverName.MaximumLength);
    UNICODE_STRING& service = driver->DriverExtension->ServiceKeyName;
    service.Buffer = CopyToNewBuffer(serviceKey, &service.Length, &service.MaximumLength);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    size_t left = DeviceCount(driver);
    if (left != 0) {
        sim::BugCheck("DRIVER_UNLOADED_WITH_DEVICES", "%s is deleted with %zu device objects left",
                      DriverNameOf(driver).c_str(), left);
    }
    ObDereferenceObject(driver);
}

PDRIVER_OBJECT BusDriver() {
    static PDRIVER_OBJECT bus = [] {
        PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\SimBus", u"SimBus");
        for (auto& entry : driver->MajorFunction) entry = BusDeviceDispatch;
        return driver;
    }();
    return bus;
}

size_t DeviceCount(PDRIVER_OBJECT driver) {
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    size_t count = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) ++count;
    return count;
}

PDEVICE_OBJECT FindNamedDevice(std::u16string_view name) {
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.names.find(Upper(name));
    return it == t.names.end() ? nullptr : it->second;
}

void RegisterModule(const void* moduleBase, std::string name) {
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    t.modules[moduleBase] = std::move(name);
}

void UnregisterModule(const void* moduleBase) {
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    t.modules.erase(moduleBase);
}

const void* ModuleOf(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.modules.count(info.dli_fbase) != 0 ? info.dli_fbase : nullptr;
}

std::string ModuleName(const void* moduleBase) {
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.modules.find(moduleBase);
    return it == t.modules.end() ? std::string("the platform or test code") : it->second;
}

int OpenFilesOnStack(PDEVICE_OBJECT bottom) {
    std::lock_guard<std::mutex> guard(Tables().lock);
    int open = 0;
    for (PDEVICE_OBJECT d = bottom; d != nullptr; d = d->AttachedDevice) open += d->DeviceObjectExtension->openFiles;
    return open;
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName) {
    size_t nameBytes = (fileName.size() + 1) * sizeof(WCHAR);
    auto* file = static_cast<PFILE_OBJECT>(sim::ob::CreateObject(*IoFileObjectType, sizeof(FILE_OBJECT) + nameBytes));
    if (file == nullptr) return nullptr;
    file->Type = IO_TYPE_FILE;
    file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    file->DeviceObject = device;
    ObReferenceObject(device);
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        device->DeviceObjectExtension->openFiles++;
    }
    auto* name = reinterpret_cast<PWCHAR>(file + 1);
    std::memcpy(name, fileName.data(), fileName.size() * sizeof(WCHAR));
    name[fileName.size()] = 0;
    file->FileName.Buffer = name;
    file->FileName.Length = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>(nameBytes);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    file->IrpList.Flink = file->IrpList.Blink = &file->IrpList;
    return file;
}

}  // namespace sim::io

extern "C" {
POBJECT_TYPE* IoDeviceObjectType = &sim::io::g_deviceTypePointer;
POBJECT_TYPE* IoDriverObjectType = &sim::io::g_driverTypePointer;
POBJECT_TYPE* IoFileObjectType = &sim::io::g_fileTypePointer;
}

using namespace sim::io;

KV_EXTERN_C NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                    DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT* DeviceObject) {
    PAGED_CODE();
    if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    *DeviceObject = nullptr;
    std::u16string name = FromUnicodeString(DeviceName);
    ObjectTables& t = Tables();
    if (!name.empty()) {
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.names.count(Upper(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t extensionSize = (static_cast<size_t>(DeviceExtensionSize) + 15) & ~size_t{15};
    auto* device =
        static_cast<PDEVICE_OBJECT>(sim::ob::CreateObject(*IoDeviceObjectType, sizeof(DEVICE_OBJECT) + extensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<PVOID>(device + 1) : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Queue.ListEntry.Flink = device->Queue.ListEntry.Blink = &device->Queue.ListEntry;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    auto* ext = new _DEVOBJ_EXTENSION();
    ext->Size = sizeof(_DEVOBJ_EXTENSION);
    ext->DeviceObject = device;
    ext->name = name;
    device->DeviceObjectExtension = ext;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (!name.empty()) t.names[Upper(name)] = device;
        t.liveDevices.insert(device);
        t.allDevices.insert(device);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

KV_EXTERN_C VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    _DEVOBJ_EXTENSION* ext = CheckedDevice(DeviceObject, "IoDeleteDevice");
    ObjectTables& t = Tables();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        // A device may be deleted while the one above still is attached (a filter leaving during
        // removal before the driver above detaches); the attachment keeps its memory alive.
        if (ext->AttachedTo != nullptr) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "IoDeleteDevice of %p (%s) while it is still attached to %p: IoDetachDevice first",
                          static_cast<void*>(DeviceObject), DriverNameOf(DeviceObject).c_str(),
                          static_cast<void*>(ext->AttachedTo));
        }
        ext->deleted = true;
        if (!ext->name.empty()) t.names.erase(Upper(ext->name));
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
        t.liveDevices.erase(DeviceObject);
    }
    if (DeviceObject->DeviceExtension != nullptr) {
        std::memset(DeviceObject->DeviceExtension, kDeletedExtensionFill,
                    DeviceObject->Size - sizeof(DEVICE_OBJECT));
    }
    ObDereferenceObject(DeviceObject);
}

KV_EXTERN_C PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    _DEVOBJ_EXTENSION* source = CheckedDevice(SourceDevice, "IoAttachDeviceToDeviceStack");
    CheckedDevice(TargetDevice, "IoAttachDeviceToDeviceStack");
    ObjectTables& t = Tables();
    std::lock_guard<std::mutex> guard(t.lock);
    if (source->AttachedTo != nullptr || SourceDevice->AttachedDevice != nullptr) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "device %p (%s) is attached to a stack already",
                      static_cast<void*>(SourceDevice), DriverNameOf(SourceDevice).c_str());
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    if (top->DeviceObjectExtension->deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    source->AttachedTo = top;
    ObReferenceObject(top);  // held by the attachment
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

KV_EXTERN_C VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckedDevice(TargetDevice, "IoDetachDevice", true);
    {
        ObjectTables& t = Tables();
        std::lock_guard<std::mutex> guard(t.lock);
        PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
        if (upper == nullptr) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoDetachDevice of %p (%s): nothing is attached to it",
                          static_cast<void*>(TargetDevice), DriverNameOf(TargetDevice).c_str());
        }
        upper->DeviceObjectExtension->AttachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
    }
    ObDereferenceObject(TargetDevice);  // the attachment's reference
}

KV_EXTERN_C PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    CheckedDevice(DeviceObject, "IoGetAttachedDevice");
    std::lock_guard<std::mutex> guard(Tables().lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

KV_EXTERN_C PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    CheckedDevice(DeviceObject, "IoGetAttachedDeviceReference");
    std::lock_guard<std::mutex> guard(Tables().lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    ObReferenceObject(top);
    return top;
}

KV_EXTERN_C PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    _DEVOBJ_EXTENSION* ext = CheckedDevice(DeviceObject, "IoGetLowerDeviceObject");
    std::lock_guard<std::mutex> guard(Tables().lock);
    PDEVICE_OBJECT lower = ext->AttachedTo;
    if (lower != nullptr) ObReferenceObject(lower);
    return lower;
}

KV_EXTERN_C PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    if (FileObject == nullptr || FileObject->DeviceObject == nullptr) return nullptr;
    return IoGetAttachedDevice(FileObject->DeviceObject);
}
