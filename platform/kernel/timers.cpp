// Kernel timers on the machine's deadline queue, the time queries and the timer resolution.
#include "scheduler_core.h"

#include <sim/verifier.h>

#include <algorithm>

namespace sim::ke {
namespace {

constexpr ULONG kTimeIncrement = 156'250;         // 15.625 ms clock tick, 100 ns units
constexpr ULONG kMinimumResolution = 5'000;       // 0.5 ms
constexpr ULONG kDefaultResolution = kTimeIncrement;

KTIMER* CheckedTimer(PKTIMER timer, const char* routine) {
    if (timer == nullptr || timer->Header.Signature != kHeaderSignature ||
        (timer->Header.Type != TimerNotificationObject &&
                             timer->Header.Type != TimerSynchronizationObject)) {
        sim::BugCheck("INVALID_DISPATCHER_OBJECT", "%s on %p, which is not an initialised timer", routine,
                      static_cast<void*>(timer));
    }
    return timer;
}

void RequireAtMostDispatch(const char* routine) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u", routine, KeGetCurrentIrql());
    }
}

void ArmLocked(Machine& m, KTIMER* timer, Time due) {
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = 1;
    DeadlineKey key = InsertDeadlineLocked(m, due, Deadline{.kind = DeadlineKind::Timer, .timer = timer});
    timer->QueueSequence = key.seq;
}

void DisarmLocked(Machine& m, KTIMER* timer) {
    RemoveDeadlineLocked(m, DeadlineKey{static_cast<Time>(timer->DueTime.QuadPart), timer->QueueSequence});
    timer->Header.Inserted = 0;
}

}  // namespace

void TimerExpiredLocked(Machine& m, KTIMER* timer) {
    Time due = static_cast<Time>(timer->DueTime.QuadPart);
    Time now = NowLocked(m);
    timer->Header.Inserted = 0;
    m.lastSignal[reinterpret_cast<uintptr_t>(timer)] = SignalRecord{"its expiry", now};
    timer->Header.SignalState = 1;
    SignalLocked(m, &timer->Header);
    if (timer->Period > 0) {
        // The next expiry keeps the period exact; a timer that fell behind (real-time mode) skips
        // ahead instead of firing a burst.
        Time next = due + static_cast<Time>(timer->Period) * sim::machine::kMillisecond;
        if (next <= now) next = now + static_cast<Time>(timer->Period) * sim::machine::kMillisecond;
        ArmLocked(m, timer, next);
    }
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = kSystemTimeBase + now;
        InsertDpcLocked(m, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                        reinterpret_cast<PVOID>(static_cast<LONG_PTR>(systemTime.HighPart)));
    }
}

}  // namespace sim::ke

using namespace sim::ke;

KV_EXTERN_C VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

KV_EXTERN_C VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    if (Type != NotificationTimer && Type != SynchronizationTimer) {
        sim::BugCheck("INVALID_PARAMETER", "KeInitializeTimerEx of %p with type %d", static_cast<void*>(Timer), Type);
    }
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    for (auto& [key, d] : m.deadlines) {
        if (d.kind == DeadlineKind::Timer && d.timer == Timer) {
            sim::BugCheck("TIMER_OR_DPC_INVALID", "KeInitializeTimerEx of timer %p while it is set",
                          static_cast<void*>(Timer));
        }
    }
    InitHeader(&Timer->Header, Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject,
               sizeof(KTIMER), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->QueueSequence = 0;
    Timer->Reserved = 0;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    m.lastSignal.erase(reinterpret_cast<uintptr_t>(Timer));
}

KV_EXTERN_C BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

KV_EXTERN_C BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    RequireAtMostDispatch("KeSetTimerEx");
    if (Period < 0) sim::BugCheck("INVALID_PARAMETER", "KeSetTimerEx of %p with period %d ms", static_cast<void*>(Timer), Period);
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedTimer(Timer, "KeSetTimerEx");
    bool wasSet = Timer->Header.Inserted != 0;
    if (wasSet) DisarmLocked(m, Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    Time due = DueFromTimeout(m, DueTime.QuadPart);
    ArmLocked(m, Timer, due);
    if (due <= NowLocked(m)) {
        // Already due: expire now rather than at the next time jump.
        DisarmLocked(m, Timer);
        TimerExpiredLocked(m, Timer);
    }
    return wasSet ? TRUE : FALSE;
}

KV_EXTERN_C BOOLEAN KeCancelTimer(PKTIMER Timer) {
    RequireAtMostDispatch("KeCancelTimer");
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedTimer(Timer, "KeCancelTimer");
    if (Timer->Header.Inserted == 0) return FALSE;
    DisarmLocked(m, Timer);
    return TRUE;
}

KV_EXTERN_C BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedTimer(Timer, "KeReadStateTimer");
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Time

KV_EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kSystemTimeBase + sim::machine::Now();
}

KV_EXTERN_C ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(sim::machine::Now()); }

KV_EXTERN_C VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = sim::machine::Now() / kTimeIncrement;
}

KV_EXTERN_C ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

KV_EXTERN_C LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10'000'000;  // 1 count = 100 ns
    LARGE_INTEGER counter;
    counter.QuadPart = sim::machine::Now();
    return counter;
}

KV_EXTERN_C VOID KeStallExecutionProcessor(ULONG MicroSeconds) { UNREFERENCED_PARAMETER(MicroSeconds); }

KV_EXTERN_C ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    if (SetResolution) {
        ULONG wanted = std::clamp(DesiredTime, kMinimumResolution, kDefaultResolution);
        m.timerResolution = m.timerResolutionRequests == 0 ? wanted : std::min(m.timerResolution, wanted);
        ++m.timerResolutionRequests;
    } else {
        if (m.timerResolutionRequests == 0) {
            sim::BugCheck("TIMER_RESOLUTION_UNBALANCED",
                          "ExSetTimerResolution release (SetResolution FALSE) without an outstanding request");
        }
        if (--m.timerResolutionRequests == 0) m.timerResolution = 0;
    }
    return m.timerResolutionRequests > 0 ? m.timerResolution : kDefaultResolution;
}

namespace sim::machine {

ULONG CurrentTimerResolution() {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return m.timerResolutionRequests > 0 ? m.timerResolution : kDefaultResolution;
}

}  // namespace sim::machine
