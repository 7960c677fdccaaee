// Processes: the system process and user processes with handle tables of their own, the calling
// thread's current process (ProcessScope, KeStackAttachProcess), a process's death (its handles
// are closed in its own context; a user mapping left afterwards stops the machine), and the
// user-mode objects tests create through a process's handles (events, files).
#include "processes.h"

#include "io_manager.h"
#include "memory_internal.h"

#include <sim/verifier.h>

#include <new>
#include <vector>

namespace sim::io {
namespace {

void DestroyProcessObject(void* body) { static_cast<_EPROCESS*>(body)->~_EPROCESS(); }

_OBJECT_TYPE g_processType{{.name = "Process", .destroy = DestroyProcessObject}};
POBJECT_TYPE g_processTypePointer = &g_processType;

// The calling thread's process: null stands for the system process.
thread_local PEPROCESS t_process = nullptr;
// KeStackAttachProcess states of the calling thread, innermost last.
thread_local std::vector<PRKAPC_STATE> t_attachments;

constexpr ULONG_PTR kApcStateMagic = 0x4B41504353544154ull;  // marks a state an attach filled

PEPROCESS NewProcess(std::string_view name, bool is32bit, sim::ob::HandleTableId handles) {
    void* body = sim::ob::CreateObject(g_processTypePointer, sizeof(_EPROCESS));
    if (body == nullptr) sim::BugCheck("NO_MEMORY", "no host memory for process %.*s", int(name.size()), name.data());
    auto* process = new (body) _EPROCESS();
    process->name = std::string(name);
    process->is32bit = is32bit;
    process->handles = handles;
    return process;
}

// Makes process the calling thread's current process and handle table.
void Enter(PEPROCESS process) {
    t_process = process == SystemProcess() ? nullptr : process;
    sim::ob::SetCurrentHandleTable(CurrentProcess()->handles);
}

}  // namespace

PEPROCESS SystemProcess() {
    static PEPROCESS system = NewProcess("System", false, sim::ob::kKernelTable);  // never freed
    return system;
}

PEPROCESS CurrentProcess() { return t_process != nullptr ? t_process : SystemProcess(); }

PEPROCESS CheckedProcess(PEPROCESS process, const char* caller) {
    if (process == nullptr || !sim::ob::IsObject(process) || sim::ob::TypeOf(process) != g_processTypePointer) {
        sim::BugCheck("INVALID_PROCESS_ATTACH_ATTEMPT", "%s of %p, which is not a process object", caller,
                      static_cast<void*>(process));
    }
    return process;
}

PEPROCESS CreateProcess(std::string_view name, bool is32bit) {
    return NewProcess(name, is32bit, sim::ob::CreateHandleTable());
}

void DestroyProcess(PEPROCESS process) {
    CheckedProcess(process, "DestroyProcess");
    if (process == SystemProcess()) return;
    if (process->dead) sim::BugCheck("INVALID_PROCESS_ATTACH_ATTEMPT", "process %s destroyed twice", process->name.c_str());
    {
        // The handles are run down in the dying process's own context, so that what drivers do
        // when its files close (unmap memory from it, drop its events) happens there.
        ProcessScope scope(process);
        sim::ob::DestroyHandleTable(process->handles);
        process->dead = true;
    }
    // Section views go with the address space; locked pages mapped by a driver must be gone.
    sim::mm::detail::UnmapProcessViews(process);
    std::string listing;
    if (size_t left = sim::mm::detail::UserMappingsOf(process, &listing)) {
        sim::BugCheck("DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS",
                      "process %s ended with %zu user mapping(s) of locked pages left:%s", process->name.c_str(), left,
                      listing.c_str());
    }
    ObDereferenceObject(process);
}

bool Is32bitProcess(PEPROCESS process) { return process != nullptr && process->is32bit; }

std::string ProcessName(PEPROCESS process) { return CheckedProcess(process, "ProcessName")->name; }

size_t HandleCount(PEPROCESS process) { return sim::ob::OpenHandleCount(CheckedProcess(process, "HandleCount")->handles); }

ProcessScope::ProcessScope(PEPROCESS process) : m_previous(CurrentProcess()) {
    CheckedProcess(process, "ProcessScope");
    if (process->dead) {
        sim::BugCheck("INVALID_PROCESS_ATTACH_ATTEMPT", "a thread enters process %s, which has ended",
                      process->name.c_str());
    }
    Enter(process);
}

ProcessScope::~ProcessScope() { Enter(m_previous); }

HANDLE CreateUserEvent(bool manualReset, bool signalled, ACCESS_MASK access) {
    auto* event = static_cast<PKEVENT>(sim::ob::CreateObject(*ExEventObjectType, sizeof(KEVENT)));
    if (event == nullptr) return nullptr;
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, signalled ? TRUE : FALSE);
    HANDLE handle = sim::ob::InsertHandle(CurrentProcess()->handles, event, access);
    ObDereferenceObject(event);  // the handle holds it
    return handle;
}

NTSTATUS WaitForUserObject(HANDLE handle, PLARGE_INTEGER timeout) {
    PVOID object = nullptr;
    NTSTATUS status = sim::ob::ReferenceByHandle(CurrentProcess()->handles, handle, nullptr, &object);
    if (!NT_SUCCESS(status)) return status;
    status = KeWaitForSingleObject(object, UserRequest, UserMode, FALSE, timeout);
    ObDereferenceObject(object);
    return status;
}

NTSTATUS SetUserEvent(HANDLE handle) {
    PVOID object = nullptr;
    NTSTATUS status = sim::ob::ReferenceByHandle(CurrentProcess()->handles, handle, *ExEventObjectType, &object);
    if (!NT_SUCCESS(status)) return status;
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS OpenFileHandle(std::u16string_view path, HANDLE* handle) {
    *handle = nullptr;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = OpenFile(path, &file);
    if (!NT_SUCCESS(status)) return status;
    *handle = sim::ob::InsertHandle(CurrentProcess()->handles, file, GENERIC_READ | GENERIC_WRITE);
    ObDereferenceObject(file);  // the handle holds it
    return status;
}

NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information) {
    if (information != nullptr) *information = 0;
    PVOID file = nullptr;
    NTSTATUS status = sim::ob::ReferenceByHandle(CurrentProcess()->handles, handle, *IoFileObjectType, &file);
    if (!NT_SUCCESS(status)) return status;
    status = DeviceIoControl(static_cast<PFILE_OBJECT>(file), code, in, inLength, out, outLength, information);
    ObDereferenceObject(file);
    return status;
}

NTSTATUS CloseUserHandle(HANDLE handle) { return sim::ob::CloseHandle(CurrentProcess()->handles, handle); }

HANDLE DuplicateUserHandle(HANDLE handle, PEPROCESS target) {
    CheckedProcess(target, "DuplicateUserHandle");
    PVOID object = nullptr;
    ACCESS_MASK granted = 0;
    if (!NT_SUCCESS(sim::ob::ReferenceByHandle(CurrentProcess()->handles, handle, nullptr, &object, &granted))) {
        return nullptr;
    }
    HANDLE duplicate = sim::ob::InsertHandle(target->handles, object, granted);
    ObDereferenceObject(object);
    return duplicate;
}

}  // namespace sim::io

using namespace sim::io;

extern "C" {
POBJECT_TYPE* PsProcessType = &g_processTypePointer;
}

KV_EXTERN_C PEPROCESS IoGetCurrentProcess(void) { return CurrentProcess(); }

KV_EXTERN_C VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeStackAttachProcess at IRQL %u", KeGetCurrentIrql());
    }
    auto* process = CheckedProcess(reinterpret_cast<PEPROCESS>(Process), "KeStackAttachProcess");
    if (ApcState == nullptr) sim::BugCheck("INVALID_PROCESS_ATTACH_ATTEMPT", "KeStackAttachProcess without a state");
    *ApcState = KAPC_STATE{};
    ApcState->ApcListHead[0].Flink = reinterpret_cast<PLIST_ENTRY>(kApcStateMagic);
    ApcState->Process = reinterpret_cast<PKPROCESS>(CurrentProcess());
    t_attachments.push_back(ApcState);
    Enter(process);
}

KV_EXTERN_C VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
    if (ApcState == nullptr || t_attachments.empty() || t_attachments.back() != ApcState ||
        ApcState->ApcListHead[0].Flink != reinterpret_cast<PLIST_ENTRY>(kApcStateMagic)) {
        sim::BugCheck("INVALID_PROCESS_DETACH_ATTEMPT",
                      "KeUnstackDetachProcess with state %p, which is not the innermost attachment of the thread "
                      "(%zu attachment(s) open)",
                      static_cast<void*>(ApcState), t_attachments.size());
    }
    t_attachments.pop_back();
    ApcState->ApcListHead[0].Flink = nullptr;
    Enter(reinterpret_cast<PEPROCESS>(ApcState->Process));
}
