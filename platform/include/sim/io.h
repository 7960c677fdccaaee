// Simulation control of the I/O manager: lower "bus" device objects built by platform code (the
// USB host controller is one), how they complete requests, files opened on devices, the process a
// request comes from, and what the IRP tracker of the verifier knows.
#pragma once

#include <sim/machine.h>
#include <win/io.h>

#include <functional>
#include <string>
#include <string_view>

namespace sim::io {

// How a bus device completes the requests it answers. Asynchronous (the default) marks the IRP
// pending, answers STATUS_PENDING and completes it later at DISPATCH_LEVEL on the DPC thread;
// Synchronous completes it inside IofCallDriver. Callers must handle both.
enum class Completion { Asynchronous, Synchronous };

// Called for every IRP that reaches the bus device, with the device's stack location current.
// It answers as a dispatch routine does: usually through Finish, FinishAt or Hold.
using BusDispatch = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

// A device object of the platform's bus driver ("\Driver\SimBus"). name may be empty (unnamed).
PDEVICE_OBJECT CreateBusDevice(BusDispatch dispatch, Completion mode = Completion::Asynchronous,
                               std::u16string_view name = {});
// The device must not have a device attached on top any more.
void DeleteBusDevice(PDEVICE_OBJECT device);
void SetCompletionMode(PDEVICE_OBJECT device, Completion mode);
Completion CompletionMode(PDEVICE_OBJECT device);
bool IsBusDevice(PDEVICE_OBJECT device);

// Inside a BusDispatch: completes irp with status and information as the device's mode says and
// answers what the dispatch routine returns (status, or STATUS_PENDING).
NTSTATUS Finish(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Inside a BusDispatch: completes irp at simulated time `due` (interrupt time, 100 ns units) on
// the DPC thread; answers STATUS_PENDING.
NTSTATUS FinishAt(sim::machine::Time due, PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Inside a BusDispatch: keeps irp pending until Release or until it is cancelled; a cancelled IRP
// is completed with STATUS_CANCELLED in the canceller's context (after onCancel, if given).
// Answers STATUS_PENDING.
NTSTATUS Hold(PIRP irp, std::function<void(PIRP)> onCancel = {});
// Completes a held IRP (on the DPC thread); false when it was cancelled or is not held.
bool Release(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
size_t HeldIrpCount();

// Files. Path: a device name ("\Device\X"), or a symbolic link of a device interface
// ("\??\USB#...#{guid}\Ref"), optionally followed by more path. IRP_MJ_CREATE reaches the top of
// the device's stack with FILE_OBJECT.FileName = the rest of the path ("\Ref..."); the caller
// waits for the request's completion. On success *file holds the file object (one reference).
NTSTATUS OpenFile(std::u16string_view path, PFILE_OBJECT* file);
// A create relative to an open file (kernel-streaming pins open on their filter): the new file
// object's RelatedFileObject is related and its FileName is name, whose bytes may carry binary
// data after a text prefix. Otherwise as OpenFile.
NTSTATUS OpenRelatedFile(PFILE_OBJECT related, std::u16string_view name, PFILE_OBJECT* file);
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE, then drops the caller's reference.
NTSTATUS CloseFile(PFILE_OBJECT file);
// IRP_MJ_DEVICE_CONTROL on the file with the code's transfer method (METHOD_BUFFERED copies
// back min(Information, outLength) bytes). Waits for completion; *information receives
// IoStatus.Information.
NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information);

// Processes that requests come from. The machine starts with the system process (64-bit).
PEPROCESS SystemProcess();
PEPROCESS CreateProcess(std::string_view name, bool is32bit);
void DestroyProcess(PEPROCESS process);
bool Is32bitProcess(PEPROCESS process);
// Makes process the calling thread's current process for the scope's life.
class ProcessScope {
public:
    explicit ProcessScope(PEPROCESS process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    PEPROCESS m_previous;
};

// IRP tracker: IRPs that exist (allocated, not freed), and a listing for messages.
size_t LiveIrpCount();
std::string DescribeLiveIrps();

}  // namespace sim::io
