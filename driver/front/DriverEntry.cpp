// The driver's entry and its add-device routine.
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"

UNICODE_STRING AsioReferenceString;
UNICODE_STRING EnumReferenceString;
UNICODE_STRING AsioFileName;

KV_EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    if (!RtlIsNtDdiVersionAvailable(MinimumNtddiVersion)) return STATUS_UNSUCCESSFUL;
    // Data pool is non-executable wherever the system has such pool.
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);

    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        // These four are ours; every other request stays with the port-class library.
        DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    }

    RtlInitUnicodeString(&AsioReferenceString, KV_WIDE("KLASIOPrivateInterface"));
    RtlInitUnicodeString(&EnumReferenceString, KV_WIDE("KLEnumPrivateInterface"));
    RtlInitUnicodeString(&AsioFileName, KV_WIDE("\\KLASIOPrivateInterface"));
    return status;
}

// Creates the adapter's functional device object and registers both private interfaces (enabled
// later by the start). The interfaces are registered before the device object exists: the
// port-class library has no way to take back a device it added, so whatever can fail comes first,
// and a failure leaves nothing behind (no device, no link, no reference on the lower device).
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    // The top of the stack before our device joins it: the lower device object, referenced.
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(PhysicalDeviceObject);

    // A failed enumeration interface does not fail the add; the start fails on it later.
    UNICODE_STRING enumLink = {};
    bool enumRegistered = NT_SUCCESS(
        IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_KLEnumPrivateInterface, &EnumReferenceString, &enumLink));
    UNICODE_STRING asioLink = {};
    NTSTATUS status =
        IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_KLASIOPrivateInterface, &AsioReferenceString, &asioLink);
    if (NT_SUCCESS(status)) {
        status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, MaxAdapterSubdevices,
                                    AdapterDeviceExtensionSize);
        if (!NT_SUCCESS(status)) RtlFreeUnicodeString(&asioLink);
    }
    if (!NT_SUCCESS(status)) {
        if (enumRegistered) RtlFreeUnicodeString(&enumLink);
        ObDereferenceObject(lower);
        return status;
    }

    // Our device is the new top of the stack.
    PDEVICE_OBJECT functional = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    ObDereferenceObject(functional);

    AdapterDeviceExtension* extension = GetAdapterExtension(functional);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->FunctionalDeviceObject = functional;
    extension->LowerDeviceObject = lower;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    if (enumRegistered) {
        extension->EnumSymbolicLink = enumLink;
        extension->EnumInterfaceRegistered = TRUE;
    }
    extension->AsioSymbolicLink = asioLink;
    extension->AsioInterfaceRegistered = TRUE;
    return status;
}
