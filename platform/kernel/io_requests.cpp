// Requests the I/O manager builds: threaded device-control and file-system requests, and the
// file operations of the simulation (open, close, device control on a file); the processes
// that requests come from.
#include "io_irp.h"
#include <sim/pool.h>
#include "io_manager.h"
#include "object_manager.h"
#include "processes.h"

#include <sim/verifier.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace sim::io {
namespace {

// Fills the system buffer of a buffered request; false without pool.
bool AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    ULONG length = std::max(inputLength, outputLength);
    if (length == 0) return true;
    void* buffer = ExAllocatePoolWithTag(sim::pool::SystemNonPagedType(), length, kSystemBufferTag);
    if (buffer == nullptr) return false;
    // What the caller did not send is poison, not zeros: a driver that answers bytes it never
    // wrote shows in the caller's buffer.
    std::memset(buffer, kSystemBufferPoison, length);
    if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (output != nullptr && outputLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
    irp->UserBuffer = output;
    return true;
}

[[noreturn]] void DirectIoNotSimulated(ULONG code) {
    sim::BugCheck("NOT_SIMULATED", "control code 0x%08X uses a direct transfer method; the simulated I/O manager "
                  "carries buffered and neither methods only", static_cast<unsigned>(code));
}

// Fills the next stack location of a device-control request and its buffers.
bool SetUpDeviceControl(PIRP irp, ULONG code, bool internal, const void* in, ULONG inLength, void* out,
                        ULONG outLength) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED:
            return AttachSystemBuffer(irp, in, inLength, out, outLength);
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
            irp->UserBuffer = out;
            return true;
        default:
            DirectIoNotSimulated(code);
    }
}

KPROCESSOR_MODE ModeOfCaller() { return CurrentProcess() == SystemProcess() ? KernelMode : UserMode; }

// "\??\..." names a device interface, anything else a named device object.
NTSTATUS ResolvePath(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* rest) {
    if (path.substr(0, 4) == u"\\??\\") return ResolveInterfacePath(path, device, rest);
    for (size_t end = path.size(); end > 0; end = path.rfind(u'\\', end - 1)) {
        if (PDEVICE_OBJECT found = FindNamedDevice(path.substr(0, end))) {
            *device = found;
            *rest = std::u16string(path.substr(end));
            return STATUS_SUCCESS;
        }
        if (end == 0) break;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// An IRP for a request on file: sent to the top of the file's device stack.
PIRP FileIrp(PFILE_OBJECT file, PDEVICE_OBJECT target, UCHAR major) {
    PIRP irp = AllocateIrp(target->StackSize, nullptr);
    if (irp == nullptr) return nullptr;
    irp->RequestorMode = ModeOfCaller();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    return irp;
}

NTSTATUS SendFileIrp(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = FileIrp(file, target, major);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        status = SendAndWait(target, irp);
        FreeIrp(irp, "file request done");
    }
    ObDereferenceObject(target);
    return status;
}

}  // namespace

NTSTATUS OpenFile(std::u16string_view path, PFILE_OBJECT* file) {
    PAGED_CODE();
    *file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::u16string rest;
    NTSTATUS status = ResolvePath(path, &device, &rest);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT created = CreateFileObject(device, rest);
    if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = SendFileIrp(created, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(created);
        return status;
    }
    *file = created;
    return status;
}

NTSTATUS OpenRelatedFile(PFILE_OBJECT related, std::u16string_view name, PFILE_OBJECT* file) {
    PAGED_CODE();
    *file = nullptr;
    if (related->DeviceObject->DeviceObjectExtension->deleted) return STATUS_NO_SUCH_DEVICE;
    PFILE_OBJECT created = CreateFileObject(related->DeviceObject, name);
    if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(related);
    created->RelatedFileObject = related;
    NTSTATUS status = SendFileIrp(created, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(created);
        return status;
    }
    *file = created;
    return status;
}

NTSTATUS SendCleanupAndClose(PFILE_OBJECT file) {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    // A device deleted while the file was open (surprise removal) gets no more requests.
    if (!file->DeviceObject->DeviceObjectExtension->deleted) {
        SendFileIrp(file, IRP_MJ_CLEANUP);
        if (!file->DeviceObject->DeviceObjectExtension->deleted) status = SendFileIrp(file, IRP_MJ_CLOSE);
    }
    return status;
}

NTSTATUS CloseFile(PFILE_OBJECT file) {
    NTSTATUS status = SendCleanupAndClose(file);
    ObDereferenceObject(file);
    return status;
}

void CheckBufferedInformation(PIRP irp, ULONG code, ULONG outLength) {
    // Without an output buffer nothing is copied: a size query answers the size it needs.
    if (outLength == 0 || irp->IoStatus.Information <= outLength) return;
    sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "buffered request 0x%08X completed with status 0x%08X and Information %llu, above its output "
                  "length %u: the I/O manager would copy system-buffer bytes past the caller's buffer",
                  static_cast<unsigned>(code), static_cast<unsigned>(irp->IoStatus.Status),
                  static_cast<unsigned long long>(irp->IoStatus.Information), static_cast<unsigned>(outLength));
}

NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information) {
    PAGED_CODE();
    if (information != nullptr) *information = 0;
    if (file->DeviceObject->DeviceObjectExtension->deleted) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = FileIrp(file, target, IRP_MJ_DEVICE_CONTROL);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr && SetUpDeviceControl(irp, code, false, in, inLength, out, outLength)) {
        status = SendAndWait(target, irp);
        ULONG_PTR done = irp->IoStatus.Information;
        if (information != nullptr) *information = done;
        if ((irp->Flags & IRP_BUFFERED_IO) != 0 && !NT_ERROR(status)) {
            CheckBufferedInformation(irp, code, outLength);
            if ((irp->Flags & IRP_INPUT_OPERATION) != 0) std::memcpy(out, irp->AssociatedIrp.SystemBuffer, done);
        }
    }
    if (irp != nullptr) {
        if (irp->AssociatedIrp.SystemBuffer != nullptr) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        FreeIrp(irp, "file request done");
    }
    ObDereferenceObject(target);
    return status;
}

}  // namespace sim::io

using namespace sim::io;

KV_EXTERN_C PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock) {
    CheckedDevice(DeviceObject, "IoBuildDeviceIoControlRequest");
    PIRP irp = AllocateIrp(DeviceObject->StackSize, ModuleOf(__builtin_return_address(0)));
    if (irp == nullptr) return nullptr;
    if (!SetUpDeviceControl(irp, IoControlCode, InternalDeviceIoControl != FALSE, InputBuffer, InputBufferLength,
                            OutputBuffer, OutputBufferLength)) {
        FreeIrp(irp, "freed: no pool for its system buffer");
        return nullptr;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    MarkThreaded(irp, ThreadedIrp{.outputLength = OutputBufferLength, .controlCode = IoControlCode});
    return irp;
}

KV_EXTERN_C PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                              ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    CheckedDevice(DeviceObject, "IoBuildSynchronousFsdRequest");
    if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE && MajorFunction != IRP_MJ_FLUSH_BUFFERS &&
        MajorFunction != IRP_MJ_SHUTDOWN) {
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, ModuleOf(__builtin_return_address(0)));
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    ULONG outputLength = 0;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) next->Parameters.Read.ByteOffset = *StartingOffset;
        if ((DeviceObject->Flags & DO_DIRECT_IO) != 0) {
            sim::BugCheck("NOT_SIMULATED", "IoBuildSynchronousFsdRequest for a direct-I/O device");
        }
        if ((DeviceObject->Flags & DO_BUFFERED_IO) != 0) {
            bool read = MajorFunction == IRP_MJ_READ;
            if (!AttachSystemBuffer(irp, read ? nullptr : Buffer, read ? 0 : Length, read ? Buffer : nullptr,
                                    read ? Length : 0)) {
                FreeIrp(irp, "freed: no pool for its system buffer");
                return nullptr;
            }
            outputLength = read ? Length : 0;
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    MarkThreaded(irp, ThreadedIrp{.outputLength = outputLength});
    return irp;
}

KV_EXTERN_C PEPROCESS IoGetRequestorProcess(PIRP Irp) { return RequestorProcess(Irp); }

KV_EXTERN_C BOOLEAN IoIs32bitProcess(PIRP Irp) {
    if (Irp == nullptr) return Is32bitProcess(CurrentProcess()) ? TRUE : FALSE;
    return IrpFromIs32bitProcess(Irp) ? TRUE : FALSE;
}
