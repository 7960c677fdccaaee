// The port-class adapter: the driver object's dispatch table, the adapter's functional device
// object with the library's context at the start of its extension, and the PnP and power
// handling of PcDispatchIrp.
#include "portcls_internal.h"

#include "../kernel/io_manager.h"

#include <sim/verifier.h>

#include <cstring>

namespace sim::portcls {
namespace {

constexpr uint64_t kContextMagic = 0x4543495645444350ull;  // "PCDEVICE"

// The first bytes of the library's reserved part of the device extension.
struct ExtensionHeader {
    uint64_t magic;
    PcDevice* device;
};
static_assert(sizeof(ExtensionHeader) <= PORT_CLASS_DEVICE_EXTENSION_SIZE);

ExtensionHeader* HeaderOf(PDEVICE_OBJECT device) { return static_cast<ExtensionHeader*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PcDevice* d, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d->lower, irp);
}

// Sends the request down with the current parameters and waits until the lower stack is done;
// the IRP is this device's again afterwards.
NTSTATUS ForwardAndWait(PcDevice* d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return sim::io::SendAndWait(d->lower, irp);
}

void DeleteContext(PcDevice* d) {
    d->~PcDevice();
    ExFreePoolWithTag(d, kDeviceTag);
}

NTSTATUS StartDevice(PcDevice* d, PDEVICE_OBJECT fdo, PIRP irp) {
    NTSTATUS status = ForwardAndWait(d, irp);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PRESOURCELIST resources = nullptr;
    status = PcNewResourceList(&resources, nullptr, PagedPool, stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                               stack->Parameters.StartDevice.AllocatedResources);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    status = d->startDevice(fdo, irp, resources);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "the StartDevice routine of %s returned at IRQL %u",
                      sim::io::DriverNameOf(fdo).c_str(), KeGetCurrentIrql());
    }
    resources->Release();
    if (NT_SUCCESS(status)) {
        d->started = true;
        d->powerState = PowerDeviceD0;
        PoSetPowerState(fdo, DevicePowerState, POWER_STATE{.DeviceState = PowerDeviceD0});
    }
    return Complete(irp, status);
}

NTSTATUS RemoveDevice(PcDevice* d, PDEVICE_OBJECT fdo, PIRP irp) {
    ReleaseRegistrations(d);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = d->lower;
    NTSTATUS status = PassDown(d, irp);
    IoDetachDevice(lower);
    HeaderOf(fdo)->magic = 0;
    DeleteContext(d);
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS DispatchPnp(PcDevice* d, PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(d, fdo, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(d, fdo, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            d->surpriseRemoved = true;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(d, irp);
        case IRP_MN_STOP_DEVICE:
            d->started = false;
            [[fallthrough]];
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(d, irp);
        case IRP_MN_QUERY_CAPABILITIES: {
            NTSTATUS status = ForwardAndWait(d, irp);
            PADAPTERPOWERMANAGEMENT power;
            {
                std::lock_guard<std::mutex> guard(d->lock);
                power = d->power;
                if (power != nullptr) power->AddRef();
            }
            if (NT_SUCCESS(status) && power != nullptr) {
                status = power->QueryDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
            }
            if (power != nullptr) power->Release();
            return Complete(irp, status);
        }
        default:
            return PassDown(d, irp);
    }
}

// Tells every registered subdevice's miniport that answers IPowerNotify about the new state.
void NotifyMiniports(PcDevice* d, POWER_STATE state) {
    std::vector<PPORT> ports;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        for (const RegisteredSubdevice& s : d->subdevices) {
            s.port->AddRef();
            ports.push_back(s.port);
        }
    }
    for (PPORT port : ports) {
        PortSelf* self = PortSelfOf(port);
        PUNKNOWN miniport = self != nullptr ? self->Miniport() : nullptr;
        PPOWERNOTIFY notify = nullptr;
        if (miniport != nullptr &&
            NT_SUCCESS(miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))) &&
            notify != nullptr) {
            notify->PowerChangeNotify(state);
            notify->Release();
        }
        port->Release();
    }
}

// Tells the adapter and the miniports about a new device power state and records it: powering
// down, the miniports hear first (they save what they need while the device still runs); powering
// up, the adapter comes first.
void ChangePowerState(PcDevice* d, PDEVICE_OBJECT fdo, POWER_STATE state) {
    const bool down = state.DeviceState > d->powerState;
    if (down) NotifyMiniports(d, state);
    PADAPTERPOWERMANAGEMENT power;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        power = d->power;
        if (power != nullptr) power->AddRef();
    }
    if (power != nullptr) {
        power->PowerChangeState(state);
        power->Release();
    }
    d->powerState = state.DeviceState;
    PoSetPowerState(fdo, DevicePowerState, state);
    if (!down) NotifyMiniports(d, state);
}

NTSTATUS DispatchPower(PcDevice* d, PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool deviceState = stack->Parameters.Power.Type == DevicePowerState;
    if (stack->MinorFunction == IRP_MN_SET_POWER && deviceState) {
        POWER_STATE state = stack->Parameters.Power.State;
        if (state.DeviceState < d->powerState) {
            // Powering up: the lower stack first, then the adapter.
            NTSTATUS status = ForwardAndWait(d, irp);
            if (NT_SUCCESS(status)) ChangePowerState(d, fdo, state);
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
        if (state.DeviceState > d->powerState) ChangePowerState(d, fdo, state);
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_QUERY_POWER && deviceState) {
        NTSTATUS status = STATUS_SUCCESS;
        PADAPTERPOWERMANAGEMENT power;
        {
            std::lock_guard<std::mutex> guard(d->lock);
            power = d->power;
            if (power != nullptr) power->AddRef();
        }
        if (power != nullptr) {
            status = power->QueryPowerChangeState(stack->Parameters.Power.State);
            power->Release();
        }
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(d->lower, irp);
}

VOID PcUnload(PDRIVER_OBJECT) {}

}  // namespace

PcDevice* FindPcDevice(PDEVICE_OBJECT device) {
    if (device == nullptr || device->DeviceExtension == nullptr ||
        device->Size < sizeof(DEVICE_OBJECT) + sizeof(ExtensionHeader)) {
        return nullptr;
    }
    ExtensionHeader* header = HeaderOf(device);
    return header->magic == kContextMagic ? header->device : nullptr;
}

PcDevice* PcDeviceOf(PDEVICE_OBJECT device, const char* caller) {
    sim::io::CheckedDevice(device, caller);
    PcDevice* d = FindPcDevice(device);
    if (d == nullptr) {
        sim::BugCheck("PORTCLS_INVALID_DEVICE", "%s: device %p of %s is not a port-class adapter device", caller,
                      static_cast<void*>(device), sim::io::DriverNameOf(device).c_str());
    }
    return d;
}

bool IsPortClassDevice(PDEVICE_OBJECT device) { return FindPcDevice(device) != nullptr; }

PUNKNOWN AdapterPowerManagement(PDEVICE_OBJECT device) {
    PcDevice* d = PcDeviceOf(device, "AdapterPowerManagement");
    std::lock_guard<std::mutex> guard(d->lock);
    return d->power;
}

DEVICE_POWER_STATE PowerState(PDEVICE_OBJECT device) { return PcDeviceOf(device, "PowerState")->powerState; }

}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                               PDRIVER_ADD_DEVICE AddDevice) {
    UNREFERENCED_PARAMETER(RegistryPathName);
    if (DriverObject == nullptr || AddDevice == nullptr) return STATUS_INVALID_PARAMETER;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = PcUnload;
    for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_SECURITY,
                        IRP_MJ_SET_SECURITY}) {
        DriverObject->MajorFunction[major] = PcDispatchIrp;
    }
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                        PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize) {
    PAGED_CODE();
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr || MaxObjects == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceExtensionSize == 0) DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) return STATUS_INVALID_PARAMETER;
    sim::io::CheckedDevice(PhysicalDeviceObject, "PcAddAdapterDevice");

    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PcDevice), kDeviceTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* d = new (memory) PcDevice();
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        d->~PcDevice();
        ExFreePoolWithTag(memory, kDeviceTag);
        return status;
    }
    d->fdo = fdo;
    d->pdo = PhysicalDeviceObject;
    d->startDevice = StartDevice;
    d->maxObjects = MaxObjects;
    d->lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (d->lower == nullptr) {
        IoDeleteDevice(fdo);
        d->~PcDevice();
        ExFreePoolWithTag(memory, kDeviceTag);
        return STATUS_NO_SUCH_DEVICE;
    }
    *static_cast<ExtensionHeader*>(fdo->DeviceExtension) = ExtensionHeader{kContextMagic, d};
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PcDevice* d = PcDeviceOf(DeviceObject, "PcDispatchIrp");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPnp(d, DeviceObject, Irp);
        case IRP_MJ_POWER:
            return DispatchPower(d, DeviceObject, Irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return PassDown(d, Irp);
        case IRP_MJ_CREATE:
            return DispatchKsCreate(d, Irp);
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return DispatchKsClose(d, Irp);
        case IRP_MJ_DEVICE_CONTROL:
            return DispatchKsDeviceControl(d, Irp);
        default:
            Irp->IoStatus.Information = 0;
            return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

KV_EXTERN_C NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Status == STATUS_PENDING) {
        IoMarkIrpPending(Irp);
        return Status;
    }
    return Complete(Irp, Status);
}

KV_EXTERN_C NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext) {
    PAGED_CODE();
    if (Unknown == nullptr) return STATUS_INVALID_PARAMETER;
    PcDevice* d = PcDeviceOf(static_cast<PDEVICE_OBJECT>(pvContext), "PcRegisterAdapterPowerManagement");
    PADAPTERPOWERMANAGEMENT power = nullptr;
    NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) return status;
    PADAPTERPOWERMANAGEMENT previous;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        previous = d->power;
        d->power = power;
    }
    if (previous != nullptr) previous->Release();
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    PcDevice* d = PcDeviceOf(static_cast<PDEVICE_OBJECT>(DeviceObject), "PcGetDeviceProperty");
    return IoGetDeviceProperty(d->pdo, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
}

namespace {
std::mutex g_contentLock;
sim::portcls::ForwardedContent g_lastContent;
}  // namespace

KV_EXTERN_C NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward) {
    UNREFERENCED_PARAMETER(Reserved);
    if (DrmForward == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_contentLock);
    g_lastContent = {true, ContentId, DrmForward->DeviceObject, DrmForward->FileObject};
    return STATUS_SUCCESS;
}

namespace sim::portcls {
ForwardedContent LastForwardedContent() {
    std::lock_guard<std::mutex> guard(g_contentLock);
    return g_lastContent;
}
}  // namespace sim::portcls
