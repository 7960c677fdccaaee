// Dispatcher objects (events, kernel mutexes, semaphores, and the common wait paths for timers
// and threads) and the waits: KeWaitForSingleObject, KeWaitForMultipleObjects,
// KeDelayExecutionThread.
#include "lock_order.h"
#include "scheduler_core.h"

#include <sim/verifier.h>

#include <cinttypes>
#include <cstdio>

namespace sim::ke {
namespace {

const char* TypeName(UCHAR type) {
    switch (type) {
        case EventNotificationObject: return "notification event";
        case EventSynchronizationObject: return "synchronization event";
        case MutantObject: return "kernel mutex";
        case SemaphoreObject: return "semaphore";
        case ThreadObject: return "thread";
        case TimerNotificationObject: return "notification timer";
        case TimerSynchronizationObject: return "synchronization timer";
        default: return "unknown object";
    }
}

bool IsWaitable(UCHAR type) {
    switch (type) {
        case EventNotificationObject:
        case EventSynchronizationObject:
        case MutantObject:
        case SemaphoreObject:
        case ThreadObject:
        case TimerNotificationObject:
        case TimerSynchronizationObject: return true;
        default: return false;
    }
}

DISPATCHER_HEADER* CheckedHeader(PVOID object, const char* routine) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    if (header == nullptr || header->Signature != kHeaderSignature || !IsWaitable(header->Type)) {
        sim::BugCheck("INVALID_DISPATCHER_OBJECT", "%s on %p, which is not an initialised dispatcher object", routine,
                      object);
    }
    return header;
}

DISPATCHER_HEADER* CheckedHeader(PVOID object, const char* routine, UCHAR type1, UCHAR type2) {
    DISPATCHER_HEADER* header = CheckedHeader(object, routine);
    if (header->Type != type1 && header->Type != type2) {
        sim::BugCheck("INVALID_DISPATCHER_OBJECT", "%s on %p, which is a %s", routine, object, TypeName(header->Type));
    }
    return header;
}

void RequireAtMostDispatch(const char* routine) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u", routine, KeGetCurrentIrql());
    }
}

bool SignalledFor(const DISPATCHER_HEADER* header, const SimThread* thread) {
    if (header->Type == MutantObject) {
        return header->SignalState > 0 ||
               reinterpret_cast<const KMUTEX*>(header)->OwnerThread == thread->object;
    }
    return header->SignalState > 0;
}

// The side effect of a satisfied wait on one object.
void Consume(DISPATCHER_HEADER* header, SimThread* thread) {
    switch (header->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject: header->SignalState = 0; break;
        case SemaphoreObject: --header->SignalState; break;
        case MutantObject: {
            auto* mutex = reinterpret_cast<KMUTEX*>(header);
            if (header->SignalState == INT32_MIN + 1) {
                sim::BugCheck("MUTEX_LEVEL_NUMBER_VIOLATION", "kernel mutex %p acquired recursively too often",
                              static_cast<void*>(mutex));
            }
            mutex->OwnerThread = thread->object;
            --header->SignalState;
            break;
        }
        default: break;
    }
}

// Checks whether the wait is satisfied now; if so applies its side effects and gives the status.
bool Satisfy(SimThread* thread, ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, NTSTATUS* status) {
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (SignalledFor(objects[i], thread)) {
                Consume(objects[i], thread);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    if (count == 0) return false;
    for (ULONG i = 0; i < count; ++i) {
        if (!SignalledFor(objects[i], thread)) return false;
    }
    for (ULONG i = 0; i < count; ++i) Consume(objects[i], thread);
    *status = STATUS_WAIT_0;
    return true;
}

std::string FormatTime(Time t) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%07" PRId64 " s", t / 10'000'000, t % 10'000'000);
    return text;
}

NTSTATUS WaitCommon(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql > APC_LEVEL && !poll)) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s with %s at IRQL %u", routine,
                      timeout == nullptr ? "no time-out" : poll ? "a zero time-out" : "a non-zero time-out", irql);
    }
    SimThread* self = Self();
    Machine& m = M();
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    NTSTATUS status;
    {
        std::unique_lock<std::mutex> lk(m.lock);
        for (ULONG i = 0; i < count; ++i) {
            headers[i] = CheckedHeader(objects[i], routine);
            for (ULONG j = 0; type == WaitAll && j < i; ++j) {
                if (headers[j] == headers[i]) {
                    sim::BugCheck("INVALID_PARAMETER", "%s (wait all) names object %p twice", routine, objects[i]);
                }
            }
            // A blocking wait for a mutex is an acquisition attempt: check its order now, before
            // a real inversion could hang.
            if (!poll && headers[i]->Type == MutantObject && !lockorder::IsHeld(headers[i])) {
                lockorder::Acquiring(headers[i], lockorder::LockKind::Mutex);
            }
        }
        Time due = 0;
        if (timeout != nullptr) due = DueFromTimeout(m, timeout->QuadPart);
        status = WaitLocked(m, lk, self, count, headers, type, timeout != nullptr ? &due : nullptr, routine);
    }
    // Mutexes the wait acquired are now held by this thread.
    auto acquired = [&](ULONG i) {
        if (headers[i]->Type == MutantObject && !lockorder::IsHeld(headers[i])) {
            lockorder::Acquired(headers[i], lockorder::LockKind::Mutex);
        }
    };
    if (type == WaitAny && status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(count)) {
        acquired(static_cast<ULONG>(status - STATUS_WAIT_0));
    } else if (type == WaitAll && status == STATUS_WAIT_0) {
        for (ULONG i = 0; i < count; ++i) acquired(i);
    }
    return status;
}

}  // namespace

void InitHeader(DISPATCHER_HEADER* header, KOBJECTS type, size_t size, LONG state) {
    header->Type = static_cast<UCHAR>(type);
    header->Signature = kHeaderSignature;
    header->Size = static_cast<UCHAR>(size / 4 > 0xFF ? 0xFF : size / 4);
    header->Inserted = 0;
    header->SignalState = state;
    ListInit(&header->WaitListHead);
}

void RecordSignalLocked(Machine& m, const void* object) {
    m.lastSignal[reinterpret_cast<uintptr_t>(object)] = SignalRecord{CurrentThreadName(), NowLocked(m)};
}

void SignalLocked(Machine& m, DISPATCHER_HEADER* header) {
    bool woke = true;
    while (woke && header->SignalState > 0) {
        woke = false;
        for (LIST_ENTRY* e = header->WaitListHead.Flink; e != &header->WaitListHead; e = e->Flink) {
            SimThread* thread = CONTAINING_RECORD(e, WaitBlock, link)->thread;
            DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
            for (ULONG i = 0; i < thread->waitCount; ++i) objects[i] = thread->blocks[i].object;
            NTSTATUS status;
            if (Satisfy(thread, thread->waitCount, objects, thread->waitType, &status)) {
                WakeLocked(m, thread, status);  // unlinks its blocks: walk again from the head
                woke = true;
                break;
            }
        }
    }
}

void SetEventLocked(Machine& m, KEVENT* event) {
    if (event->Header.SignalState == 0) {
        event->Header.SignalState = 1;
        SignalLocked(m, &event->Header);
    }
}

std::string DescribeObjectLocked(Machine& m, DISPATCHER_HEADER* header) {
    char text[256];
    int n = std::snprintf(text, sizeof text, "%s %p: ", TypeName(header->Type), static_cast<void*>(header));
    std::string out(text, static_cast<size_t>(n));
    switch (header->Type) {
        case MutantObject: {
            auto* mutex = reinterpret_cast<KMUTEX*>(header);
            if (mutex->OwnerThread == nullptr) {
                out += "free";
            } else {
                out += "owned by " + mutex->OwnerThread->sim.name + " (depth " +
                       std::to_string(1 - header->SignalState) + ")";
            }
            break;
        }
        case SemaphoreObject:
            out += "count " + std::to_string(header->SignalState) + " of " +
                   std::to_string(reinterpret_cast<KSEMAPHORE*>(header)->Limit);
            break;
        case ThreadObject: {
            auto* thread = reinterpret_cast<KTHREAD*>(header);
            out += thread->sim.name + (header->SignalState > 0 ? ", ended" : ", not ended");
            break;
        }
        case TimerNotificationObject:
        case TimerSynchronizationObject: {
            out += header->SignalState > 0 ? "signalled" : "not signalled";
            auto* timer = reinterpret_cast<KTIMER*>(header);
            out += header->Inserted ? ", set to expire at " + FormatTime(static_cast<Time>(timer->DueTime.QuadPart))
                                    : std::string(", not set");
            break;
        }
        default: out += header->SignalState > 0 ? "signalled" : "not signalled"; break;
    }
    auto last = m.lastSignal.find(reinterpret_cast<uintptr_t>(header));
    if (last == m.lastSignal.end()) {
        out += "; never signalled";
    } else {
        out += "; last signalled by " + last->second.by + " at " + FormatTime(last->second.at);
    }
    return out;
}

NTSTATUS WaitLocked(Machine& m, std::unique_lock<std::mutex>& lk, SimThread* self, ULONG count,
                    DISPATCHER_HEADER* const* objects, WAIT_TYPE type, const Time* deadline, const char* kind) {
    NTSTATUS status;
    if (Satisfy(self, count, objects, type, &status)) return status;
    if (deadline != nullptr && *deadline <= NowLocked(m)) return STATUS_TIMEOUT;
    for (ULONG i = 0; i < count; ++i) {
        self->blocks[i].thread = self;
        self->blocks[i].object = objects[i];
        ListInsertTail(&objects[i]->WaitListHead, &self->blocks[i].link);
    }
    self->waitCount = count;
    self->waitType = type;
    self->waitKind = kind;
    self->idleWait = IdleWaits();
    self->hasDeadline = deadline != nullptr;
    if (deadline != nullptr) {
        self->deadline = InsertDeadlineLocked(m, *deadline, Deadline{.kind = DeadlineKind::ThreadTimeout, .thread = self});
    }
    return BlockLocked(m, lk, self);
}

}  // namespace sim::ke

using namespace sim::ke;

// ---------------------------------------------------------------------------------------------
// Events

KV_EXTERN_C VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        sim::BugCheck("INVALID_PARAMETER", "KeInitializeEvent of %p with type %d", static_cast<void*>(Event), Type);
    }
    InitHeader(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
               sizeof(KEVENT), State ? 1 : 0);
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.lastSignal.erase(reinterpret_cast<uintptr_t>(Event));
}

KV_EXTERN_C LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    RequireAtMostDispatch("KeSetEvent");
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Event, "KeSetEvent", EventNotificationObject, EventSynchronizationObject);
    LONG previous = Event->Header.SignalState;
    RecordSignalLocked(m, Event);
    SetEventLocked(m, Event);
    return previous;
}

KV_EXTERN_C LONG KeResetEvent(PRKEVENT Event) {
    RequireAtMostDispatch("KeResetEvent");
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Event, "KeResetEvent", EventNotificationObject, EventSynchronizationObject);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

KV_EXTERN_C VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

KV_EXTERN_C LONG KeReadStateEvent(PRKEVENT Event) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Event, "KeReadStateEvent", EventNotificationObject, EventSynchronizationObject);
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Kernel mutexes: recursive for their owner, released only by it.

KV_EXTERN_C VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    InitHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
    ListInit(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    sim::lockorder::Forget(Mutex);
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.lastSignal.erase(reinterpret_cast<uintptr_t>(Mutex));
}

KV_EXTERN_C LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    RequireAtMostDispatch("KeReleaseMutex");
    SimThread* self = Self();
    Machine& m = M();
    LONG previous;
    bool released = false;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        CheckedHeader(Mutex, "KeReleaseMutex", MutantObject, MutantObject);
        if (Mutex->OwnerThread != self->object) {
            std::string owner = Mutex->OwnerThread != nullptr ? Mutex->OwnerThread->sim.name : std::string("nobody");
            sim::BugCheck("MUTEX_NOT_OWNED", "KeReleaseMutex of kernel mutex %p by %s, but it is owned by %s",
                          static_cast<void*>(Mutex), self->name.c_str(), owner.c_str());
        }
        previous = Mutex->Header.SignalState;
        RecordSignalLocked(m, Mutex);
        if (++Mutex->Header.SignalState == 1) {
            Mutex->OwnerThread = nullptr;
            released = true;
            SignalLocked(m, &Mutex->Header);
        }
    }
    if (released) sim::lockorder::Released(Mutex);
    return previous;
}

KV_EXTERN_C LONG KeReadStateMutex(PRKMUTEX Mutex) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Mutex, "KeReadStateMutex", MutantObject, MutantObject);
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Semaphores

KV_EXTERN_C VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Limit <= 0 || Count < 0 || Count > Limit) {
        sim::BugCheck("INVALID_PARAMETER", "KeInitializeSemaphore of %p with count %d and limit %d",
                      static_cast<void*>(Semaphore), Count, Limit);
    }
    InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.lastSignal.erase(reinterpret_cast<uintptr_t>(Semaphore));
}

KV_EXTERN_C LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    RequireAtMostDispatch("KeReleaseSemaphore");
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Semaphore, "KeReleaseSemaphore", SemaphoreObject, SemaphoreObject);
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        sim::BugCheck("SEMAPHORE_LIMIT_EXCEEDED", "KeReleaseSemaphore of %p by %d: count %d, limit %d",
                      static_cast<void*>(Semaphore), Adjustment, previous, Semaphore->Limit);
    }
    Semaphore->Header.SignalState += Adjustment;
    RecordSignalLocked(m, Semaphore);
    SignalLocked(m, &Semaphore->Header);
    return previous;
}

KV_EXTERN_C LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedHeader(Semaphore, "KeReadStateSemaphore", SemaphoreObject, SemaphoreObject);
    return Semaphore->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits

KV_EXTERN_C NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    return WaitCommon(1, &Object, WaitAny, Timeout, "KeWaitForSingleObject");
}

KV_EXTERN_C NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        sim::BugCheck("MAXIMUM_WAIT_OBJECTS_EXCEEDED", "KeWaitForMultipleObjects on %u objects %s", Count,
                      WaitBlockArray == nullptr ? "without a wait block array" : "");
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        sim::BugCheck("INVALID_PARAMETER", "KeWaitForMultipleObjects with wait type %d", WaitType);
    }
    return WaitCommon(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

KV_EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread at IRQL %u", KeGetCurrentIrql());
    }
    if (Interval == nullptr) sim::BugCheck("INVALID_PARAMETER", "KeDelayExecutionThread without an interval");
    SimThread* self = Self();
    if (Interval->QuadPart == 0) return STATUS_SUCCESS;
    Machine& m = M();
    std::unique_lock<std::mutex> lk(m.lock);
    Time due = DueFromTimeout(m, Interval->QuadPart);
    WaitLocked(m, lk, self, 0, nullptr, WaitAny, &due, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

KV_EXTERN_C VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                              ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
    sim::BugCheck(BugCheckCode == DRIVER_VERIFIER_DETECTED_VIOLATION ? "DRIVER_VERIFIER_DETECTED_VIOLATION" : "KeBugCheckEx",
                  "code 0x%lX, parameters 0x%llX 0x%llX 0x%llX 0x%llX", static_cast<unsigned long>(BugCheckCode),
                  static_cast<unsigned long long>(BugCheckParameter1), static_cast<unsigned long long>(BugCheckParameter2),
                  static_cast<unsigned long long>(BugCheckParameter3), static_cast<unsigned long long>(BugCheckParameter4));
}
