// The plug-and-play handler: removal and surprise removal take the adapter's engines off the
// port-class device and the private interfaces away; everything else goes to the port-class
// library.
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/InterfaceRef.h"

namespace {

// Removes every engine's wave subdevice and its connection; a failure ends the walk.
void RemoveEngineMiniports(PDEVICE_OBJECT DeviceObject, AdapterCommon* Adapter, bool ReportFailure) {
    for (ULONG index = 0;; ++index) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(Adapter->GetStreamEngine(index, &engine)) || engine == nullptr) break;
        if (!NT_SUCCESS(engine->RemoveMiniport(DeviceObject))) {
            if (ReportFailure) DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", static_cast<int>(index));
            break;
        }
    }
}

void DisableInterface(PUNICODE_STRING Link, PUCHAR Enabled) {
    if (!*Enabled) return;
    IoSetDeviceInterfaceState(Link, FALSE);
    *Enabled = FALSE;
}

void FreeInterfaceLink(PUNICODE_STRING Link, PUCHAR Registered) {
    if (!*Registered) return;
    RtlFreeUnicodeString(Link);
    *Registered = FALSE;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, AdapterDeviceExtension* Extension) {
    DisableInterface(&Extension->AsioSymbolicLink, &Extension->AsioInterfaceEnabled);
    FreeInterfaceLink(&Extension->AsioSymbolicLink, &Extension->AsioInterfaceRegistered);
    DisableInterface(&Extension->EnumSymbolicLink, &Extension->EnumInterfaceEnabled);
    FreeInterfaceLink(&Extension->EnumSymbolicLink, &Extension->EnumInterfaceRegistered);

    if (Extension->Adapter != nullptr) {
        Extension->Adapter->Stop();
        // The engines are walked only on an adapter that still answers for itself.
        InterfaceRef<IUnknown> adapterUnknown;
        if (NT_SUCCESS(Extension->Adapter->QueryInterface(IID_IUnknown, adapterUnknown.ReceiveVoid()))) {
            RemoveEngineMiniports(DeviceObject, Extension->Adapter, true);
        }
    }

    // A successful removal deletes the device object and its extension: keep what comes after.
    PADAPTERCOMMON adapter = Extension->Adapter;
    PDEVICE_OBJECT lower = Extension->LowerDeviceObject;
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) return status;
    ObDereferenceObject(lower);
    if (adapter != nullptr) adapter->Release();
    return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, AdapterDeviceExtension* Extension) {
    // Filters an application still holds stay open; the streams they ask for from now on are refused.
    Extension->SurpriseRemoved = TRUE;
    if (Extension->Adapter != nullptr) {
        InterfaceRef<IUnknown> adapterUnknown;
        if (NT_SUCCESS(Extension->Adapter->QueryInterface(IID_IUnknown, adapterUnknown.ReceiveVoid()))) {
            Extension->Adapter->Stop();
            RemoveEngineMiniports(DeviceObject, Extension->Adapter, false);
        }
    }
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    // The links stay registered until the removal frees them.
    DisableInterface(&Extension->AsioSymbolicLink, &Extension->AsioInterfaceEnabled);
    DisableInterface(&Extension->EnumSymbolicLink, &Extension->EnumInterfaceEnabled);
    return status;
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    // Wake a selectively suspended device before anything touches it.
    if (minor != IRP_MN_START_DEVICE && extension->Adapter != nullptr) extension->Adapter->WaitIdle();

    switch (minor) {
        case IRP_MN_REMOVE_DEVICE: return RemoveDevice(DeviceObject, Irp, extension);
        case IRP_MN_SURPRISE_REMOVAL: return SurpriseRemoveDevice(DeviceObject, Irp, extension);
        default: return PcDispatchIrp(DeviceObject, Irp);
    }
}
