// System threads and simulated threads: thread objects (waitable, signalled at the end), thread
// creation on host threads, termination, priorities, and the thread and event object types.
#include "lock_order.h"
#include "object_manager.h"
#include "scheduler_core.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

namespace sim::ke {
namespace {

void DestroyThreadObject(void* body) {
    auto* thread = static_cast<KTHREAD*>(body);
    {
        Machine& m = M();
        std::lock_guard<std::mutex> guard(m.lock);
        m.lastSignal.erase(reinterpret_cast<uintptr_t>(body));
    }
    thread->sim.~SimThread();
}

void DestroyEventObject(void* body) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    auto* event = static_cast<KEVENT*>(body);
    if (event->Header.WaitListHead.Flink != nullptr && event->Header.WaitListHead.Flink != &event->Header.WaitListHead) {
        sim::BugCheck("INVALID_DISPATCHER_OBJECT", "event object %p deleted while a thread waits on it", body);
    }
    m.lastSignal.erase(reinterpret_cast<uintptr_t>(body));
}

_OBJECT_TYPE g_threadType{{.name = "Thread", .destroy = DestroyThreadObject}};
_OBJECT_TYPE g_eventType{{.name = "Event", .destroy = DestroyEventObject}};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;

std::atomic<uintptr_t> g_nextThreadId{0x100};

struct HostStart {
    std::function<void()> run;
};

void* HostThreadMain(void* argument) {
    std::unique_ptr<HostStart> start(static_cast<HostStart*>(argument));
    start->run();
    return nullptr;
}

KTHREAD* CheckedThread(PKTHREAD thread, const char* routine) {
    if (thread == nullptr || !sim::ob::IsObject(thread) || sim::ob::TypeOf(thread) != *PsThreadType) {
        sim::BugCheck("INVALID_PARAMETER", "%s on %p, which is not a thread object", routine, static_cast<void*>(thread));
    }
    return thread;
}

// Adds a member for a thread the kernel starts and launches it; the member runs from now on, so
// the clock cannot move between creation and the thread's first instruction.
bool LaunchMember(PKTHREAD object, std::function<void()> body) {
    Machine& m = M();
    SimThread* self = &object->sim;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        AddMemberLocked(m, self);
        if (self->system) ++m.systemThreads;
    }
    bool started = LaunchHostThread([self, body = std::move(body)] {
        SetSelf(self);
        // The member ends when the body returns or once PsTerminateSystemThread has unwound the
        // body's frames: whoever waits on the thread object resumes only after the thread has
        // left the code that started it (a driver module may be unloaded right after).
        struct EndOnExit {
            ~EndOnExit() { EndCurrentThread(); }
        } end;
        body();
    });
    if (!started) {
        std::lock_guard<std::mutex> guard(m.lock);
        if (self->system) --m.systemThreads;
        RemoveMemberLocked(m, self);
    }
    return started;
}

}  // namespace

bool LaunchHostThread(std::function<void()> run) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* start = new HostStart{std::move(run)};
    pthread_t id;
    int error = pthread_create(&id, &attributes, HostThreadMain, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete start;
        return false;
    }
    return true;
}

PKTHREAD NewThreadObject(const char* name, bool system) {
    auto* thread = static_cast<KTHREAD*>(sim::ob::CreateObject(*PsThreadType, sizeof(KTHREAD)));
    if (thread == nullptr) return nullptr;
    InitHeader(&thread->Header, ThreadObject, sizeof(KTHREAD), 0);
    new (&thread->sim) SimThread();
    thread->sim.object = thread;
    thread->sim.name = name;
    thread->sim.system = system;
    return thread;
}

void EndCurrentThread() {
    SimThread* self = SelfIfMember();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_GT_ZERO_AT_SYSTEM_SERVICE", "%s ended at IRQL %u", self->name.c_str(), KeGetCurrentIrql());
    }
    if (sim::lockorder::HeldCount() != 0) {
        sim::BugCheck("THREAD_TERMINATE_HELD_MUTEX", "%s ended holding %s", self->name.c_str(),
                      sim::lockorder::DescribeFirstHeld());
    }
    Machine& m = M();
    {
        std::lock_guard<std::mutex> guard(m.lock);
        self->ended = true;
        self->object->Header.SignalState = 1;
        RecordSignalLocked(m, self->object);
        SignalLocked(m, &self->object->Header);
        if (self->system) --m.systemThreads;
        RemoveMemberLocked(m, self);
    }
    SetSelf(nullptr);
    ObDereferenceObject(self->object);  // the reference the running thread held
}

std::vector<std::string> SystemThreadsOfModule(const void* moduleBase) {
    std::vector<const void*> routines;
    {
        Machine& m = M();
        std::lock_guard<std::mutex> guard(m.lock);
        for (SimThread* thread : m.members) {
            if (thread->system && !thread->ended) routines.push_back(thread->startRoutine);
        }
    }
    std::vector<std::string> found;
    for (const void* routine : routines) {
        Dl_info info{};
        if (dladdr(routine, &info) == 0 || info.dli_fbase != moduleBase) continue;
        found.push_back("system thread started at " + RoutineName(routine));
    }
    return found;
}

PKTHREAD CreateThread(const char* name, std::function<void()> body) {
    Self();
    PKTHREAD object = NewThreadObject(name, false);
    if (object == nullptr) return nullptr;
    ObReferenceObject(object);  // the caller's
    if (!LaunchMember(object, std::move(body))) {
        ObDereferenceObject(object);
        ObDereferenceObject(object);
        return nullptr;
    }
    return object;
}

}  // namespace sim::ke

using namespace sim::ke;

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
}

KV_EXTERN_C NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread at IRQL %u", KeGetCurrentIrql());
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    Self();
    std::string name = "system thread " + SymbolName(reinterpret_cast<const void*>(StartRoutine));
    PKTHREAD object = NewThreadObject(name.c_str(), true);
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    object->sim.startRoutine = reinterpret_cast<const void*>(StartRoutine);
    bool kernelHandle = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    HANDLE handle = sim::ob::InsertHandle(kernelHandle ? sim::ob::kKernelTable : sim::ob::CurrentHandleTable(), object);
    if (!LaunchMember(object, [StartRoutine, StartContext] { StartRoutine(StartContext); })) {
        ZwClose(handle);
        ObDereferenceObject(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the system process
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(g_nextThreadId.fetch_add(4));
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    UNREFERENCED_PARAMETER(ExitStatus);
    SimThread* self = SelfIfMember();
    if (self == nullptr || !self->system) {
        sim::BugCheck("INVALID_PARAMETER", "PsTerminateSystemThread called by %s, which is not a system thread",
                      CurrentThreadName().c_str());
    }
    pthread_exit(nullptr);  // the member ends as the unwinding leaves LaunchMember's body
}

KV_EXTERN_C PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(Self()->object); }

KV_EXTERN_C PKTHREAD KeGetCurrentThread(void) { return Self()->object; }

KV_EXTERN_C KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    CheckedThread(Thread, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) {
        sim::BugCheck("INVALID_PARAMETER", "KeSetPriorityThread of %s to %d", Thread->sim.name.c_str(), Priority);
    }
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    KPRIORITY old = Thread->sim.priority;
    Thread->sim.priority = Priority;
    return old;
}

KV_EXTERN_C KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    CheckedThread(Thread, "KeQueryPriorityThread");
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return Thread->sim.priority;
}
