// A small port-class adapter driver, built as a loadable module like the real one, for the PnP
// manager's tests. It registers one device interface in AddDevice, enables it at start, answers
// create, close and an echo control code on the interface's file name, writes what it saw into
// its registry keys, and can make the mistakes the verifier must catch: faults are bits of the
// service key's "Parameters\Faults" value.
#include <win/kernel.h>
#include <win/portcls.h>

#include "test_driver_protocol.h"

namespace {

struct TestExtension {
    PDEVICE_OBJECT lower;  // one reference, dropped at removal
    PDEVICE_OBJECT pdo;
    UNICODE_STRING link;
    BOOLEAN linkRegistered;
    BOOLEAN linkEnabled;
    ULONG starts;
    PIRP leakedIrp;
};

ULONG g_faults = 0;
// What the unload faults leave behind: a timer with its DPC, a DPC queued by DriverUnload.
KTIMER g_timer;
KDPC g_timerDpc;
KDPC g_unloadDpc;
PDRIVER_UNLOAD g_portClassUnload = nullptr;
UNICODE_STRING g_referenceString = RTL_CONSTANT_STRING(u"TestInterface");
UNICODE_STRING g_fileName = RTL_CONSTANT_STRING(u"\\TestInterface");

TestExtension* ExtensionOf(PDEVICE_OBJECT fdo) {
    return reinterpret_cast<TestExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) + PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

ULONG ReadFaults(PUNICODE_STRING registryPath) {
    WCHAR path[300];
    RtlStringCchPrintfW(path, RTL_NUMBER_OF(path), u"%wZ\\Parameters", registryPath);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;
    UNICODE_STRING valueName = RTL_CONSTANT_STRING(u"Faults");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)] = {};
    ULONG length = 0;
    ULONG faults = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length))) {
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (info->DataLength == sizeof(ULONG)) RtlCopyMemory(&faults, info->Data, sizeof(ULONG));
    }
    ZwClose(key);
    return faults;
}

NTSTATUS WriteValue(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    return ZwSetValueKey(key, &valueName, 0, type, data, size);
}

// Sends the test control code to the lower device and waits for it, as a driver asks its bus.
NTSTATUS AskLowerDevice(TestExtension* ext, ULONG* answer) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kTestLowerControlCode, ext->lower, nullptr, 0, answer, sizeof(ULONG),
                                             TRUE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = answer;
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(resources);
    TestExtension* ext = ExtensionOf(fdo);
    ULONG irql = KeGetCurrentIrql();
    ext->starts++;

    ULONG answer = 0;
    NTSTATUS lowerStatus = AskLowerDevice(ext, &answer);

    // The first hardware identifier, as the PnP manager reports it.
    WCHAR ids[200] = {};
    ULONG idsLength = 0;
    NTSTATUS status = PcGetDeviceProperty(fdo, DevicePropertyHardwareID, sizeof(ids) - sizeof(WCHAR), ids, &idsLength);
    if (!NT_SUCCESS(status)) return status;

    HANDLE key = nullptr;
    status = IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    WriteValue(key, u"Starts", REG_DWORD, &ext->starts, sizeof(ULONG));
    WriteValue(key, u"StartIrql", REG_DWORD, &irql, sizeof(ULONG));
    WriteValue(key, u"LowerStatus", REG_DWORD, &lowerStatus, sizeof(ULONG));
    WriteValue(key, u"LowerAnswer", REG_DWORD, &answer, sizeof(ULONG));
    size_t idLength = 0;
    RtlStringCchLengthW(ids, RTL_NUMBER_OF(ids), &idLength);
    WriteValue(key, u"HardwareId", REG_SZ, ids, static_cast<ULONG>((idLength + 1) * sizeof(WCHAR)));
    if ((g_faults & kFaultLeakHandle) == 0) ZwClose(key);

    // A setting below the driver key, through the port-class registry key.
    PREGISTRYKEY driverKey = nullptr;
    status = PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, fdo, nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status)) return status;
    PREGISTRYKEY settings = nullptr;
    UNICODE_STRING settingsName = RTL_CONSTANT_STRING(u"Settings");
    ULONG disposition = 0;
    status = driverKey->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &settingsName, REG_OPTION_NON_VOLATILE, &disposition);
    driverKey->Release();
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING startsName = RTL_CONSTANT_STRING(u"StartCount");
    status = settings->SetValueKey(&startsName, REG_DWORD, &ext->starts, sizeof(ULONG));
    settings->Release();
    if (!NT_SUCCESS(status)) return status;

    if ((g_faults & kFaultLeakIrp) != 0 && ext->leakedIrp == nullptr) ext->leakedIrp = IoAllocateIrp(2, FALSE);
    if ((g_faults & kFaultKeepWorkItem) != 0) IoAllocateWorkItem(fdo);

    status = IoSetDeviceInterfaceState(&ext->link, TRUE);
    if (NT_SUCCESS(status)) ext->linkEnabled = TRUE;
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(pdo);
    NTSTATUS status = PcAddAdapterDevice(driver, pdo, StartDevice, 4,
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(TestExtension));
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(lower);
        return status;
    }
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(fdo);
    TestExtension* ext = ExtensionOf(fdo);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->lower = lower;
    ext->pdo = pdo;
    status = IoRegisterDeviceInterface(pdo, &kTestInterfaceClass, &g_referenceString, &ext->link);
    if (NT_SUCCESS(status)) ext->linkRegistered = TRUE;
    if ((g_faults & kFaultFailAddDevice) != 0) return STATUS_UNSUCCESSFUL;  // undoes nothing
    return status;
}

void ReleaseInterface(TestExtension* ext) {
    if (ext->linkEnabled && (g_faults & kFaultKeepInterfaceEnabled) == 0) {
        IoSetDeviceInterfaceState(&ext->link, FALSE);
        ext->linkEnabled = FALSE;
    }
    if (ext->linkRegistered) {
        RtlFreeUnicodeString(&ext->link);
        ext->linkRegistered = FALSE;
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor != IRP_MN_REMOVE_DEVICE) return PcDispatchIrp(fdo, irp);
    // Copied first: port-class deletes the device object, extension included.
    TestExtension* ext = ExtensionOf(fdo);
    ReleaseInterface(ext);
    PDEVICE_OBJECT lower = ext->lower;
    PIRP leaked = ext->leakedIrp;
    UNREFERENCED_PARAMETER(leaked);
    NTSTATUS status = PcDispatchIrp(fdo, irp);
    if (NT_SUCCESS(status) && (g_faults & kFaultKeepLowerReference) == 0) ObDereferenceObject(lower);
    return status;
}

bool IsTestFile(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file != nullptr && RtlEqualUnicodeString(&file->FileName, &g_fileName, TRUE);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT fdo, PIRP irp) {
    if (!IsTestFile(irp)) return PcDispatchIrp(fdo, irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    bool create = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    file->FsContext = create ? ExtensionOf(fdo) : nullptr;
    return CompleteWith(irp, STATUS_SUCCESS, 0);
}

// The echo code answers the input reversed; a size query (no output buffer) gets
// STATUS_BUFFER_OVERFLOW with the size needed, an output buffer too small STATUS_BUFFER_TOO_SMALL.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    if (!IsTestFile(irp)) return PcDispatchIrp(fdo, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != kTestEchoControlCode) {
        return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
    }
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (out == 0 && in != 0) return CompleteWith(irp, STATUS_BUFFER_OVERFLOW, in);
    if (out < in) return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < in / 2; ++i) {
        UCHAR t = buffer[i];
        buffer[i] = buffer[in - 1 - i];
        buffer[in - 1 - i] = t;
    }
    return CompleteWith(irp, STATUS_SUCCESS, in);
}

VOID TimerDpcRoutine(PKDPC, PVOID, PVOID, PVOID) {}

VOID UnloadDpcRoutine(PKDPC, PVOID, PVOID, PVOID) {}

VOID UnloadQueueingADpc(PDRIVER_OBJECT driver) {
    g_portClassUnload(driver);
    KeInsertQueueDpc(&g_unloadDpc, nullptr, nullptr);  // and no KeFlushQueuedDpcs
}

VOID LingeringThread(PVOID) {
    LARGE_INTEGER hour;
    hour.QuadPart = -36'000'000'000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &hour);
}

NTSTATUS LeaveUnloadFaults(PDRIVER_OBJECT driver) {
    if ((g_faults & kFaultKeepTimerSet) != 0) {
        KeInitializeDpc(&g_timerDpc, TimerDpcRoutine, nullptr);
        KeInitializeTimer(&g_timer);
        LARGE_INTEGER hour;
        hour.QuadPart = -36'000'000'000LL;
        KeSetTimer(&g_timer, hour, &g_timerDpc);
    }
    if ((g_faults & kFaultQueueDpcAtUnload) != 0) {
        KeInitializeDpc(&g_unloadDpc, UnloadDpcRoutine, nullptr);
        g_portClassUnload = driver->DriverUnload;
        driver->DriverUnload = UnloadQueueingADpc;
    }
    if ((g_faults & kFaultKeepSystemThread) != 0) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE thread = nullptr;
        NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                               LingeringThread, nullptr);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(thread);
    }
    return STATUS_SUCCESS;
}

}  // namespace

KV_EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    g_faults = ReadFaults(RegistryPath);
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (!NT_SUCCESS(status)) return status;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return LeaveUnloadFaults(DriverObject);
}
