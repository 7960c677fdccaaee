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
// IRP_MJ_DEVICE_CONTROL on the file with the code's transfer method. METHOD_BUFFERED sends one
// system buffer of max(inLength, outLength) bytes holding the input followed by
// kSystemBufferPoison, and copies Information bytes back on success or warning when outLength is
// not 0; Information above a non-zero outLength there stops the machine. Waits for completion;
// *information receives IoStatus.Information. The IRP carries the calling thread's process.
NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information);

// Processes that requests come from. The machine starts with the system process (64-bit), whose
// handle table is the kernel's. Every other process has a handle table of its own (its handle
// values are invalid in any other process) and its own user mappings of locked pages. A process
// is an object: drivers may keep it referenced (ObReferenceObject) past its death.
PEPROCESS SystemProcess();
PEPROCESS CreateProcess(std::string_view name, bool is32bit);
// The process dies: its handles are closed in its own context (the last handle of a file sends
// IRP_MJ_CLEANUP and IRP_MJ_CLOSE), then a user mapping of locked pages still left in it stops
// the machine. Drops the reference CreateProcess gave.
void DestroyProcess(PEPROCESS process);
bool Is32bitProcess(PEPROCESS process);
std::string ProcessName(PEPROCESS process);
size_t HandleCount(PEPROCESS process);
// Makes process (not one that has ended) the calling thread's current process and handle table
// for the scope's life.
class ProcessScope {
public:
    explicit ProcessScope(PEPROCESS process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    PEPROCESS m_previous;
};

// User mode of the current process (inside a ProcessScope): objects reached through its handles.
// An event (auto-reset unless manualReset) whose handle grants access; null without memory.
HANDLE CreateUserEvent(bool manualReset, bool signalled, ACCESS_MASK access = EVENT_ALL_ACCESS);
NTSTATUS SetUserEvent(HANDLE event);
// Waits on the object of a handle (timeout in 100 ns units, negative relative; null: forever).
NTSTATUS WaitForUserObject(HANDLE handle, PLARGE_INTEGER timeout = nullptr);
// OpenFile, with the file held by a new handle of the process.
NTSTATUS OpenFileHandle(std::u16string_view path, HANDLE* handle);
// DeviceIoControl on the file of a handle.
NTSTATUS DeviceIoControl(HANDLE file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information);
// Closes a handle of the process; a file's last handle closes the file.
NTSTATUS CloseUserHandle(HANDLE handle);
// A second handle of the current process's object in process target, with the same access
// (DuplicateHandle); null when handle names nothing.
HANDLE DuplicateUserHandle(HANDLE handle, PEPROCESS target);

// The byte the system buffer of a METHOD_BUFFERED request holds after its input: a driver that
// answers more than it wrote hands these bytes to the caller.
inline constexpr unsigned char kSystemBufferPoison = 0xBD;

// IRP tracker: IRPs that exist (allocated, not freed), and a listing for messages.
size_t LiveIrpCount();
std::string DescribeLiveIrps();

}  // namespace sim::io
