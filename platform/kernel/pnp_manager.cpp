// The PnP manager: loads driver modules and calls their entry, creates device nodes for bus
// devices with their physical device objects and registry keys, sends the PnP requests of a
// device's life through its stack, and checks at unload that a driver left nothing behind.
#include "io_irp.h"
#include "object_manager.h"
#include "pnp_internal.h"
#include "registry_store.h"
#include "scheduler.h"

#include <sim/machine.h>
#include <sim/pool.h>
#include <sim/verifier.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace sim::pnp {

struct Driver {
    std::u16string service;
    std::string name;  // "\Driver\<service>", narrow, for messages
    void* module = nullptr;  // dlopen handle; null for linked drivers
    const void* moduleBase = nullptr;
    std::u16string registryPath;
    PDRIVER_OBJECT object = nullptr;
    sim::pool::Snapshot pool;
    size_t handles = 0;
    int64_t timerResolutionRequests = 0;
    size_t callbackRegistrations = 0;
    size_t systemThreads = 0;
    uint64_t permanentObjects = 0;  // serial of the first permanent object made after the load
};

namespace {

using sim::io::Narrow;

std::atomic<int> g_nextPdoNumber{1};

// Loaded drivers by service name: the driver the PnP manager adds to a device it enumerates.
std::mutex g_driversLock;
std::map<std::u16string, Driver*>& DriversByService() {
    static auto* drivers = new std::map<std::u16string, Driver*>();
    return *drivers;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
    return text;
}

void CheckPassive(const char* what, const std::string& driver) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s of %s returned at IRQL %u", what, driver.c_str(),
                      KeGetCurrentIrql());
    }
}

NTSTATUS SetValue(const sim::registry::KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                  size_t size) {
    return sim::registry::Store::Instance().SetValue(key, name, type, data, size);
}

NTSTATUS SetText(const sim::registry::KeyRef& key, std::u16string_view name, std::u16string_view text) {
    std::u16string terminated(text);
    terminated.push_back(0);
    return SetValue(key, name, REG_SZ, terminated.data(), terminated.size() * sizeof(WCHAR));
}

NTSTATUS SetMultiText(const sim::registry::KeyRef& key, std::u16string_view name,
                      const std::vector<std::u16string>& texts) {
    std::u16string all;
    for (auto& text : texts) {
        all += text;
        all.push_back(0);
    }
    all.push_back(0);
    return SetValue(key, name, REG_MULTI_SZ, all.data(), all.size() * sizeof(WCHAR));
}

sim::registry::KeyRef CreateKeyPath(const std::u16string& path) {
    sim::registry::KeyRef key;
    NTSTATUS status = sim::registry::Store::Instance().CreatePath(path, &key);
    if (!NT_SUCCESS(status)) {
        sim::BugCheck("NOT_SIMULATED", "the PnP manager cannot create the key %s (0x%08X)", Narrow(path).c_str(),
                      static_cast<unsigned>(status));
    }
    return key;
}

// The first free "NNNN" below the class key.
std::u16string NextDriverKeyName(const GUID& classGuid) {
    std::u16string classPath = std::u16string(kClassRoot) + GuidText(classGuid, false);
    for (int index = 0; index < 10000; ++index) {
        char number[8];
        std::snprintf(number, sizeof(number), "%04d", index);
        std::u16string candidate = classPath + u"\\" + sim::io::Wide(number);
        sim::registry::KeyRef existing;
        if (!NT_SUCCESS(sim::registry::Store::Instance().Open(nullptr, candidate, &existing))) {
            return GuidText(classGuid, false) + u"\\" + sim::io::Wide(number);
        }
    }
    sim::BugCheck("NOT_SIMULATED", "no free driver key below %s", Narrow(classPath).c_str());
}

void WriteDeviceKeys(DeviceNode& node) {
    const DeviceDescription& d = node.description;
    sim::registry::KeyRef device = CreateKeyPath(node.enumPath);
    SetMultiText(device, u"HardwareID", d.hardwareIds);
    if (!d.compatibleIds.empty()) SetMultiText(device, u"CompatibleIDs", d.compatibleIds);
    SetText(device, u"DeviceDesc", d.description);
    SetText(device, u"Mfg", d.manufacturer);
    SetText(device, u"Service", d.service);
    SetText(device, u"Class", d.className);
    SetText(device, u"ClassGUID", GuidText(d.classGuid, true));
    SetText(device, u"Driver", node.driverKeyName);
    ULONG configFlags = 0;
    SetValue(device, u"ConfigFlags", REG_DWORD, &configFlags, sizeof(configFlags));
    CreateKeyPath(node.enumPath + u"\\Device Parameters");
    sim::registry::KeyRef driverKey = CreateKeyPath(std::u16string(kClassRoot) + node.driverKeyName);
    SetText(driverKey, u"DriverDesc", d.description);
    SetText(driverKey, u"MatchingDeviceId", d.hardwareIds.empty() ? d.deviceId : d.hardwareIds.back());
    SetText(driverKey, u"ProviderName", d.manufacturer);
}

NTSTATUS AnswerQueryId(DeviceNode* node, PIO_STACK_LOCATION stack, ULONG_PTR* information) {
    const DeviceDescription& d = node->description;
    std::u16string text;
    switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: text = d.deviceId; text.push_back(0); break;
        case BusQueryInstanceID: text = d.instanceId; text.push_back(0); break;
        case BusQueryHardwareIDs:
        case BusQueryCompatibleIDs:
            for (auto& id : stack->Parameters.QueryId.IdType == BusQueryHardwareIDs ? d.hardwareIds : d.compatibleIds) {
                text += id;
                text.push_back(0);
            }
            text.push_back(0);
            break;
        default: return STATUS_NOT_SUPPORTED;
    }
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(WCHAR), 'dIpP'));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    *information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

// The bus driver's side of a device node: PnP and power requests are answered here, everything
// else (and IRP_MN_QUERY_INTERFACE) goes to the description's dispatch.
NTSTATUS PdoDispatch(DeviceNode* node, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const sim::io::BusDispatch& custom = node->description.dispatch;
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            switch (stack->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                case IRP_MN_REMOVE_DEVICE:
                    return sim::io::Finish(device, irp, STATUS_SUCCESS);
                case IRP_MN_QUERY_CAPABILITIES: {
                    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
                    if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                        return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);
                    }
                    caps->Removable = 1;
                    caps->DeviceD2 = 1;
                    caps->Address = node->description.address;
                    caps->UINumber = node->description.address;
                    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
                    caps->SystemWake = PowerSystemUnspecified;
                    caps->DeviceWake = PowerDeviceUnspecified;
                    return sim::io::Finish(device, irp, STATUS_SUCCESS);
                }
                case IRP_MN_QUERY_ID: {
                    ULONG_PTR information = 0;
                    NTSTATUS status = AnswerQueryId(node, stack, &information);
                    if (status == STATUS_NOT_SUPPORTED) status = irp->IoStatus.Status;
                    return sim::io::Finish(device, irp, status, information);
                }
                default:
                    if (custom) return custom(device, irp);
                    return sim::io::Finish(device, irp, irp->IoStatus.Status, irp->IoStatus.Information);
            }
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
                if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
                    PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
                }
                return sim::io::Finish(device, irp, STATUS_SUCCESS);
            }
            if (custom) return custom(device, irp);
            return sim::io::Finish(device, irp, STATUS_NOT_SUPPORTED);
        case IRP_MJ_SYSTEM_CONTROL:
            return sim::io::Finish(device, irp, irp->IoStatus.Status, irp->IoStatus.Information);
        default:
            if (custom) return custom(device, irp);
            return sim::io::Finish(device, irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

struct PnpRequest {
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    void (*setup)(PIO_STACK_LOCATION, void*) = nullptr;
    void* context = nullptr;
};

// Sends one request to the top of the node's stack and waits for it.
NTSTATUS Send(DeviceNode* node, const PnpRequest& request, ULONG_PTR* information) {
    PAGED_CODE();
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    PIRP irp = sim::io::AllocateIrp(top->StackSize, nullptr);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    if (request.setup != nullptr) request.setup(next, request.context);
    NTSTATUS status = sim::io::SendAndWait(top, irp);
    CheckPassive("a PnP dispatch routine", sim::io::DriverNameOf(top));
    if (information != nullptr) *information = irp->IoStatus.Information;
    sim::io::FreeIrp(irp, "PnP request done");
    ObDereferenceObject(top);
    return status;
}

LONG_PTR OutsideReferences(DeviceNode* node) {
    return sim::ob::ReferenceCount(node->pdo) - node->baseReferences - node->pdo->DeviceObjectExtension->openFiles;
}

void CheckNothingAttached(DeviceNode* node, const char* after) {
    if (node->pdo->AttachedDevice != nullptr) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "after %s device %p of %s is still attached to the "
                      "physical device object %s", after, static_cast<void*>(node->pdo->AttachedDevice),
                      sim::io::DriverNameOf(node->pdo->AttachedDevice).c_str(), Narrow(node->pdoName).c_str());
    }
    LONG_PTR extra = OutsideReferences(node);
    if (extra != 0) {
        sim::BugCheck("REFERENCE_BY_POINTER", "after %s the physical device object %s still has %ld references "
                      "that drivers took (a lower device reference was not dropped)", after,
                      Narrow(node->pdoName).c_str(), static_cast<long>(extra));
    }
}

NTSTATUS LoadCommon(PDRIVER_INITIALIZE entry, std::u16string_view service, void* module, const void* base,
                    Driver** out) {
    PAGED_CODE();
    auto* driver = new Driver();
    driver->service = std::u16string(service);
    driver->name = "\\Driver\\" + Narrow(service);
    driver->module = module;
    driver->moduleBase = base;
    driver->registryPath = std::u16string(kServicesRoot) + driver->service;
    sim::registry::KeyRef serviceKey = CreateKeyPath(driver->registryPath);
    SetValue(serviceKey, u"ImagePath", REG_EXPAND_SZ, u"\\SystemRoot\\System32\\drivers\\driver.sys",
             sizeof(u"\\SystemRoot\\System32\\drivers\\driver.sys"));
    ULONG type = 1;  // kernel driver
    SetValue(serviceKey, u"Type", REG_DWORD, &type, sizeof(type));

    driver->pool = sim::pool::TakeSnapshot();
    driver->handles = sim::ob::OpenHandleCount(sim::ob::kKernelTable);
    driver->timerResolutionRequests = sim::machine::TimerResolutionRequests();
    driver->callbackRegistrations = sim::machine::CallbackRegistrations();
    driver->systemThreads = sim::machine::SystemThreadsRunning();
    driver->permanentObjects = sim::ob::PermanentSerial();

    driver->object = sim::io::CreateDriverObject(u"\\Driver\\" + driver->service, driver->service);
    driver->object->DriverInit = entry;
    driver->object->DriverStart = const_cast<void*>(base);
    for (auto& dispatch : driver->object->MajorFunction) dispatch = InvalidDeviceRequest;

    UNICODE_STRING registryPath{static_cast<USHORT>(driver->registryPath.size() * sizeof(WCHAR)),
                                static_cast<USHORT>(driver->registryPath.size() * sizeof(WCHAR)),
                                driver->registryPath.data()};
    NTSTATUS status = entry(driver->object, &registryPath);
    CheckPassive("DriverEntry", driver->name);
    if (!NT_SUCCESS(status)) {
        // A failed load must leave as little behind as an unload; DriverUnload is not called.
        driver->object->DriverUnload = nullptr;
        UnloadDriver(driver);
        return status;
    }
    {
        std::lock_guard guard(g_driversLock);
        DriversByService()[driver->service] = driver;
    }
    *out = driver;
    return status;
}

// ---- The PnP manager's own thread: acts on what buses report, one report at a time ----

struct Report {
    DeviceNode* node = nullptr;
    std::function<DeviceNode*()> removed;
};

struct ReportQueue {
    std::mutex lock;
    std::deque<Report> reports;
    bool busy = false;               // a thread runs (it ends when the queue is empty)
    std::vector<PKTHREAD> threads;   // started, referenced until WaitForIdle waits for them
};

ReportQueue& Reports() {
    static auto* queue = new ReportQueue();
    return *queue;
}

int OpenFiles(DeviceNode* node) { return sim::io::OpenFilesOnStack(node->pdo); }

void ActOnMissing(const Report& report) {
    SurpriseRemoveDevice(report.node);
    // The stack is removed once the applications closed what they had open on it.
    while (OpenFiles(report.node) != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -sim::machine::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    if (report.node->driver != nullptr) RemoveDevice(report.node);
    DeviceNode* replacement = report.removed ? report.removed() : nullptr;
    if (replacement != nullptr) EnumerateDevice(replacement);
}

void RunReports() {
    ReportQueue& queue = Reports();
    for (;;) {
        Report report;
        {
            std::lock_guard guard(queue.lock);
            if (queue.reports.empty()) {
                queue.busy = false;
                return;
            }
            report = std::move(queue.reports.front());
            queue.reports.pop_front();
        }
        ActOnMissing(report);
    }
}

// Waits for a thread that has ended its work and drops the reference StartThread gave.
void JoinThread(PKTHREAD thread) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

}  // namespace

DeviceNode* NodeOf(PDEVICE_OBJECT device, const char* caller) {
    _DEVOBJ_EXTENSION* ext = sim::io::CheckedDevice(device, caller);
    if (ext->node == nullptr) {
        sim::BugCheck("PNP_DETECTED_FATAL_ERROR", "%s: device %p of %s is not a physical device object", caller,
                      static_cast<void*>(device), sim::io::DriverNameOf(device).c_str());
    }
    return ext->node;
}

NTSTATUS LoadDriver(const std::string& path, std::u16string_view service, Driver** driver) {
    *driver = nullptr;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "PnP manager: cannot load %s: %s\n", path.c_str(), dlerror());
        return STATUS_UNSUCCESSFUL;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    Dl_info where{};
    if (entry == nullptr || dladdr(reinterpret_cast<void*>(entry), &where) == 0) {
        std::fprintf(stderr, "PnP manager: %s exports no DriverEntry\n", path.c_str());
        dlclose(module);
        return STATUS_UNSUCCESSFUL;
    }
    sim::io::RegisterModule(where.dli_fbase, "\\Driver\\" + Narrow(service));
    return LoadCommon(entry, service, module, where.dli_fbase, driver);
}

NTSTATUS LoadLinkedDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, Driver** driver) {
    *driver = nullptr;
    return LoadCommon(entry, service, nullptr, nullptr, driver);
}

void UnloadDriver(Driver* driver) {
    PAGED_CODE();
    {
        std::lock_guard guard(g_driversLock);
        auto it = DriversByService().find(driver->service);
        if (it != DriversByService().end() && it->second == driver) DriversByService().erase(it);
    }
    const char* name = driver->name.c_str();
    size_t devices = sim::io::DeviceCount(driver->object);
    if (devices != 0) {
        sim::BugCheck("DRIVER_UNLOADED_WITH_DEVICES", "%s is unloaded with %zu device objects left", name, devices);
    }
    if (driver->object->DriverUnload != nullptr) {
        driver->object->DriverUnload(driver->object);
        CheckPassive("DriverUnload", driver->name);
    }
    if (driver->moduleBase != nullptr) {
        std::string listing;
        if (size_t irps = sim::io::IrpsOfModule(driver->moduleBase, &listing)) {
            sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", "%s is unloaded with %zu IRPs of "
                          "its code not freed:%s", name, irps, listing.c_str());
        }
        if (size_t items = sim::io::WorkItemsOfModule(driver->moduleBase, &listing)) {
            sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                          "%s is unloaded with %zu work items of its code not freed:%s", name, items, listing.c_str());
        }
        // Once the module is closed, a timer or DPC that leads into it would run unmapped code.
        std::vector<std::string> pending = sim::ke::TimersAndDpcsOfModule(driver->moduleBase);
        if (!pending.empty()) {
            sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                          "%s is unloaded with %zu timers or DPCs of its code pending: %s", name, pending.size(),
                          Join(pending).c_str());
        }
        std::vector<std::string> threads = sim::ke::SystemThreadsOfModule(driver->moduleBase);
        if (!threads.empty()) {
            sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                          "%s is unloaded with %zu system threads still running: %s", name, threads.size(),
                          Join(threads).c_str());
        }
    }
    size_t handles = sim::ob::OpenHandleCount(sim::ob::kKernelTable);
    if (handles > driver->handles) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "%s is unloaded with %zu kernel handles left open",
                      name, handles - driver->handles);
    }
    int64_t resolution = sim::machine::TimerResolutionRequests();
    if (resolution != driver->timerResolutionRequests) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "%s is unloaded with %lld timer resolution requests not released", name,
                      static_cast<long long>(resolution - driver->timerResolutionRequests));
    }
    size_t callbacks = sim::machine::CallbackRegistrations();
    if (callbacks > driver->callbackRegistrations) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "%s is unloaded with %zu callback registrations left",
                      name, callbacks - driver->callbackRegistrations);
    }
    std::string permanent;
    if (size_t objects = sim::ob::PermanentObjectsSince(driver->permanentObjects, &permanent)) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "%s is unloaded with %zu permanent objects left, never made temporary:%s", name, objects,
                      permanent.c_str());
    }
    size_t threads = sim::machine::SystemThreadsRunning();
    if (threads > driver->systemThreads) {
        sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                      "%s is unloaded with %zu system threads still running", name, threads - driver->systemThreads);
    }
    sim::pool::CheckNoLeaksSince(driver->pool, name);
    sim::io::DeleteDriverObject(driver->object);
    if (driver->moduleBase != nullptr) sim::io::UnregisterModule(driver->moduleBase);
    if (driver->module != nullptr) dlclose(driver->module);
    delete driver;
}

PDRIVER_OBJECT DriverObjectOf(Driver* driver) { return driver->object; }

DeviceNode* CreateDevice(const DeviceDescription& description) {
    PAGED_CODE();
    auto* node = new DeviceNode();
    node->description = description;
    DeviceDescription& d = node->description;
    if (d.hardwareIds.empty()) d.hardwareIds = {d.deviceId + u"&REV_0100", d.deviceId};
    node->enumPath = std::u16string(kEnumRoot) + d.deviceId + u"\\" + d.instanceId;
    node->hwProfilePath = std::u16string(kHwProfileRoot) + u"Enum\\" + d.deviceId + u"\\" + d.instanceId;
    node->pdoName = u"\\Device\\USBPDO-" + sim::io::Wide(std::to_string(g_nextPdoNumber++));

    // The driver key stays the device's across plugs, as Windows keeps it in the device key.
    sim::registry::KeyRef existing;
    sim::registry::ValueEntry driverValue;
    if (NT_SUCCESS(sim::registry::Store::Instance().Open(nullptr, node->enumPath, &existing)) &&
        NT_SUCCESS(sim::registry::Store::Instance().GetValue(existing, u"Driver", &driverValue)) &&
        driverValue.data.size() >= 2 * sizeof(WCHAR)) {
        node->driverKeyName.assign(reinterpret_cast<const WCHAR*>(driverValue.data.data()),
                                   driverValue.data.size() / sizeof(WCHAR) - 1);
    } else {
        node->driverKeyName = NextDriverKeyName(d.classGuid);
    }
    WriteDeviceKeys(*node);

    node->pdo = sim::io::CreateBusDevice(
        [node](PDEVICE_OBJECT device, PIRP irp) { return PdoDispatch(node, device, irp); }, d.completion,
        node->pdoName);
    if (node->pdo == nullptr) sim::BugCheck("NOT_SIMULATED", "cannot create a physical device object");
    node->pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    node->pdo->DeviceObjectExtension->node = node;
    node->baseReferences = sim::ob::ReferenceCount(node->pdo);
    return node;
}

NTSTATUS AddDevice(Driver* driver, DeviceNode* node) {
    PAGED_CODE();
    PDRIVER_ADD_DEVICE addDevice = driver->object->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = addDevice(driver->object, node->pdo);
    CheckPassive("AddDevice", driver->name);
    if (!NT_SUCCESS(status)) {
        CheckNothingAttached(node, "a failing AddDevice");
        return status;
    }
    for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
        if ((d->Flags & DO_DEVICE_INITIALIZING) != 0) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "AddDevice of %s returned with DO_DEVICE_INITIALIZING still set on device %p", driver->name.c_str(),
                          static_cast<void*>(d));
        }
    }
    node->driver = driver;
    return status;
}

NTSTATUS StartDevice(DeviceNode* node, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated) {
    struct Resources {
        PCM_RESOURCE_LIST raw;
        PCM_RESOURCE_LIST translated;
    } resources{raw, translated};
    PnpRequest request{.minor = IRP_MN_START_DEVICE,
                       .setup =
                           [](PIO_STACK_LOCATION stack, void* context) {
                               auto* r = static_cast<Resources*>(context);
                               stack->Parameters.StartDevice.AllocatedResources = r->raw;
                               stack->Parameters.StartDevice.AllocatedResourcesTranslated = r->translated;
                           },
                       .context = &resources};
    const NTSTATUS status = Send(node, request, nullptr);
    node->started = NT_SUCCESS(status);
    return status;
}

NTSTATUS QueryInterface(DeviceNode* node, const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                        PVOID specificData) {
    struct Query {
        const GUID* type;
        USHORT size;
        USHORT version;
        PINTERFACE interface;
        PVOID specific;
    } query{&type, size, version, interface, specificData};
    PnpRequest request{.minor = IRP_MN_QUERY_INTERFACE,
                       .setup =
                           [](PIO_STACK_LOCATION stack, void* context) {
                               auto* q = static_cast<Query*>(context);
                               stack->Parameters.QueryInterface.InterfaceType = q->type;
                               stack->Parameters.QueryInterface.Size = q->size;
                               stack->Parameters.QueryInterface.Version = q->version;
                               stack->Parameters.QueryInterface.Interface = q->interface;
                               stack->Parameters.QueryInterface.InterfaceSpecificData = q->specific;
                           },
                       .context = &query};
    return Send(node, request, nullptr);
}

NTSTATUS StopDevice(DeviceNode* node) {
    NTSTATUS status = Send(node, PnpRequest{.minor = IRP_MN_QUERY_STOP_DEVICE}, nullptr);
    if (!NT_SUCCESS(status)) {
        Send(node, PnpRequest{.minor = IRP_MN_CANCEL_STOP_DEVICE}, nullptr);
        return status;
    }
    return Send(node, PnpRequest{.minor = IRP_MN_STOP_DEVICE}, nullptr);
}

NTSTATUS SurpriseRemoveDevice(DeviceNode* node) {
    node->started = false;
    return Send(node, PnpRequest{.minor = IRP_MN_SURPRISE_REMOVAL}, nullptr);
}

NTSTATUS RemoveDevice(DeviceNode* node) {
    NTSTATUS status = Send(node, PnpRequest{.minor = IRP_MN_REMOVE_DEVICE}, nullptr);
    if (!NT_SUCCESS(status)) return status;
    node->removed = true;
    node->started = false;
    node->driver = nullptr;
    CheckNothingAttached(node, "IRP_MN_REMOVE_DEVICE");
    size_t enabled = 0;
    std::u16string links = EnabledInterfacesOf(node->pdo, &enabled);
    if (enabled != 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "after IRP_MN_REMOVE_DEVICE %zu device interfaces of %s are still enabled:%s", enabled,
                      Narrow(node->pdoName).c_str(), Narrow(links).c_str());
    }
    return status;
}

NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void*), void* context,
                        ULONG_PTR* information) {
    return Send(node, PnpRequest{.minor = minor, .setup = setup, .context = context}, information);
}

NTSTATUS SetDevicePower(DeviceNode* node, DEVICE_POWER_STATE state) {
    PAGED_CODE();
    struct Done {
        KEVENT event;
        NTSTATUS status;
    } done{};
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(
        node->pdo, IRP_MN_SET_POWER, power,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
            auto* d = static_cast<Done*>(context);
            d->status = ioStatus->Status;
            KeSetEvent(&d->event, IO_NO_INCREMENT, FALSE);
        },
        &done, nullptr);
    if (!NT_SUCCESS(status)) return status;
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    return done.status;
}

void DeleteDevice(DeviceNode* node) {
    PAGED_CODE();
    if (node->pdo->AttachedDevice != nullptr) {
        sim::BugCheck("PNP_DETECTED_FATAL_ERROR", "%s leaves the bus while device %p of %s is attached: remove it first",
                      Narrow(node->pdoName).c_str(), static_cast<void*>(node->pdo->AttachedDevice),
                      sim::io::DriverNameOf(node->pdo->AttachedDevice).c_str());
    }
    ForgetInterfacesOf(node->pdo);
    node->pdo->DeviceObjectExtension->node = nullptr;
    sim::io::DeleteBusDevice(node->pdo);
    delete node;
}

PDEVICE_OBJECT PhysicalDeviceObject(DeviceNode* node) { return node->pdo; }
bool IsStarted(DeviceNode* node) { return node->started; }

NTSTATUS EnumerateDevice(DeviceNode* node) {
    PAGED_CODE();
    Driver* driver = nullptr;
    {
        std::lock_guard guard(g_driversLock);
        auto it = DriversByService().find(node->description.service);
        if (it != DriversByService().end()) driver = it->second;
    }
    if (driver == nullptr) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS status = AddDevice(driver, node);
    return NT_SUCCESS(status) ? StartDevice(node) : status;
}

void ReportDeviceMissing(DeviceNode* node, std::function<DeviceNode*()> removed) {
    ReportQueue& queue = Reports();
    std::lock_guard guard(queue.lock);
    queue.reports.push_back(Report{.node = node, .removed = std::move(removed)});
    if (queue.busy) return;
    queue.busy = true;
    // Started under the lock, so WaitForIdle never sees the thread idle before it is listed.
    queue.threads.push_back(sim::machine::StartThread("PnP manager", RunReports));
}

bool WaitForIdle(sim::machine::Time limit) {
    ReportQueue& queue = Reports();
    const bool idle = sim::machine::RunUntil(
        [&queue] {
            std::lock_guard guard(queue.lock);
            return !queue.busy;
        },
        limit);
    if (!idle) return false;
    std::vector<PKTHREAD> threads;
    {
        std::lock_guard guard(queue.lock);
        threads.swap(queue.threads);
    }
    // Each has ended its work (busy was cleared); it may still be returning.
    for (PKTHREAD thread : threads) JoinThread(thread);
    return true;
}
std::u16string EnumKeyPath(DeviceNode* node) { return node->enumPath; }
std::u16string DriverKeyPath(DeviceNode* node) { return std::u16string(kClassRoot) + node->driverKeyName; }

}  // namespace sim::pnp
