// The machine's scheduler: members, the clock, the deadline queue, blocking and waking, time
// jumps in virtual mode, the real-time ticker and deadlock detection.
#include "scheduler_core.h"

#include <sim/verifier.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <thread>

namespace sim::ke {
namespace {

thread_local SimThread* t_self = nullptr;
thread_local bool t_idleWaits = false;

bool IsProcessMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

void LeaveForeign(SimThread* thread);

// A host thread that joined on its own leaves when it ends (the process main thread never does:
// its end is the end of the process).
struct ForeignMembership {
    SimThread* thread = nullptr;
    ~ForeignMembership() {
        if (thread != nullptr) LeaveForeign(thread);
    }
};
thread_local ForeignMembership t_foreign;

SimThread* JoinForeign() {
    Machine& m = M();
    bool main = IsProcessMainThread();
    char name[64];
    if (main) {
        std::snprintf(name, sizeof name, "main thread");
    } else {
        std::snprintf(name, sizeof name, "host thread %ld", static_cast<long>(syscall(SYS_gettid)));
    }
    PKTHREAD object = NewThreadObject(name, false);
    if (object == nullptr) sim::BugCheck("NO_MORE_SYSTEM_PTES", "no memory for the record of %s", name);
    SimThread* self = &object->sim;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        AddMemberLocked(m, self);
    }
    t_self = self;
    if (!main) t_foreign.thread = self;
    return self;
}

void LeaveForeign(SimThread* thread) {
    Machine& m = M();
    {
        std::lock_guard<std::mutex> guard(m.lock);
        thread->ended = true;
        thread->object->Header.SignalState = 1;
        SignalLocked(m, &thread->object->Header);
        RemoveMemberLocked(m, thread);
    }
    t_self = nullptr;
    ObDereferenceObject(thread->object);
}

std::string FormatTime(Time t) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%07" PRId64 " s", t / 10'000'000, t % 10'000'000);
    return text;
}

std::string DumpThreadsLocked(Machine& m) {
    std::string text = "machine time " + FormatTime(NowLocked(m)) + (m.realTime ? " (real-time mode)" : "") + ", " +
                       std::to_string(m.members.size()) + " threads, " + std::to_string(m.running) + " running, " +
                       std::to_string(m.deadlines.size()) + " deadlines pending\n";
    for (SimThread* t : m.members) {
        char head[160];
        std::snprintf(head, sizeof head, "  %s (thread %p, priority %d): ", t->name.c_str(),
                      static_cast<void*>(t->object), t->priority);
        text += head;
        if (t->running) {
            text += "running\n";
            continue;
        }
        text += std::string("waiting in ") + t->waitKind;
        if (t->waitCount > 1) text += t->waitType == WaitAll ? " (wait all)" : " (wait any)";
        if (t->idleWait) text += " (idle, waiting for work)";
        text += t->hasDeadline ? " until " + FormatTime(t->deadline.due) : std::string(" with no time-out");
        text += "\n";
        for (ULONG i = 0; i < t->waitCount; ++i) {
            text += "    [" + std::to_string(i) + "] " + DescribeObjectLocked(m, t->blocks[i].object) + "\n";
        }
    }
    return text;
}

void CheckDeadlockLocked(Machine& m) {
    bool stuck = std::any_of(m.members.begin(), m.members.end(),
                             [](SimThread* t) { return !t->running && !t->idleWait; });
    if (stuck) {
        std::string dump = DumpThreadsLocked(m);
        sim::BugCheck("DEADLOCK",
                      "every thread of the machine waits and no deadline is pending, so none can ever run "
                      "again (host threads count once they call into the kernel; start test threads with "
                      "sim::machine::StartThread):\n%s",
                      dump.c_str());
    }
}

void FireDueLocked(Machine& m, Time upTo) {
    while (!m.deadlines.empty() && m.deadlines.begin()->first.due <= upTo) {
        auto node = m.deadlines.extract(m.deadlines.begin());
        Deadline& d = node.mapped();
        switch (d.kind) {
            case DeadlineKind::ThreadTimeout:
                d.thread->hasDeadline = false;
                WakeLocked(m, d.thread, STATUS_TIMEOUT);
                break;
            case DeadlineKind::Timer:
                TimerExpiredLocked(m, d.timer);
                break;
            case DeadlineKind::Work:
                m.scheduledWork.erase(d.workId);
                QueueDpcItemLocked(m, DpcItem{.work = std::move(d.work)});
                break;
        }
    }
}

Time RealTimeNowLocked(Machine& m) {
    auto elapsed = std::chrono::steady_clock::now() - m.hostBase;
    double units = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 100.0;
    return m.realTimeBase + static_cast<Time>(units * m.speed);
}

void TickerLoop() {
    Machine& m = M();
    std::unique_lock<std::mutex> lk(m.lock);
    while (m.realTime) {
        FireDueLocked(m, NowLocked(m));
        if (m.running == 0 && m.deadlines.empty()) CheckDeadlockLocked(m);
        auto wakeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        if (!m.deadlines.empty()) {
            double hostUnits = static_cast<double>(m.deadlines.begin()->first.due - m.realTimeBase) / m.speed;
            auto due = m.hostBase + std::chrono::nanoseconds(static_cast<int64_t>(hostUnits * 100.0));
            wakeAt = std::min(wakeAt, due);
        }
        m.tickerWake.wait_until(lk, wakeAt);
    }
    m.tickerRunning = false;
}

Machine* StartMachine() {
    auto* m = new Machine();  // lives as long as the process; threads may still be parked at exit
    InitHeader(&m->dpcWork.Header, EventSynchronizationObject, sizeof(KEVENT), 0);
    StartDpcThread(*m);
    return m;
}

}  // namespace

Machine& M() {
    static Machine* machine = StartMachine();
    return *machine;
}

SimThread* Self() { return t_self != nullptr ? t_self : JoinForeign(); }
SimThread* SelfIfMember() { return t_self; }

void SetSelf(SimThread* thread) { t_self = thread; }

std::string CurrentThreadName() {
    if (t_self != nullptr) return t_self->name;
    return "host thread " + std::to_string(static_cast<long>(syscall(SYS_gettid)));
}

IdleWaitScope::IdleWaitScope() : m_previous(t_idleWaits) { t_idleWaits = true; }
IdleWaitScope::~IdleWaitScope() { t_idleWaits = m_previous; }
bool IdleWaits() { return t_idleWaits; }

Time NowLocked(Machine& m) { return m.realTime ? RealTimeNowLocked(m) : m.now.load(std::memory_order_relaxed); }

Time DueFromTimeout(Machine& m, LONGLONG timeout) {
    if (timeout > 0) return timeout - kSystemTimeBase;
    Time now = NowLocked(m);
    if (timeout < -(INT64_MAX - now)) return INT64_MAX;
    return now - timeout;
}

DeadlineKey InsertDeadlineLocked(Machine& m, Time due, Deadline deadline) {
    DeadlineKey key{due, m.nextSeq++};
    m.deadlines.emplace(key, std::move(deadline));
    if (m.realTime && m.deadlines.begin()->first == key) m.tickerWake.notify_one();
    return key;
}

void RemoveDeadlineLocked(Machine& m, const DeadlineKey& key) { m.deadlines.erase(key); }

NTSTATUS BlockLocked(Machine& m, std::unique_lock<std::mutex>& lk, SimThread* self) {
    self->running = false;
    self->woken = false;
    --m.running;
    if (m.running == 0) AdvanceLocked(m);
    while (!self->woken) self->wake.wait(lk);
    return self->result;
}

void WakeLocked(Machine& m, SimThread* thread, NTSTATUS status) {
    for (ULONG i = 0; i < thread->waitCount; ++i) ListRemove(&thread->blocks[i].link);
    thread->waitCount = 0;
    if (thread->hasDeadline) {
        RemoveDeadlineLocked(m, thread->deadline);
        thread->hasDeadline = false;
    }
    thread->result = status;
    thread->woken = true;
    thread->running = true;
    ++m.running;
    thread->wake.notify_one();
}

void AdvanceLocked(Machine& m) {
    while (m.running == 0) {
        if (m.deadlines.empty()) {
            CheckDeadlockLocked(m);
            return;
        }
        if (m.realTime) return;  // the ticker fires deadlines by host time
        Time due = m.deadlines.begin()->first.due;
        if (due > m.now.load(std::memory_order_relaxed)) m.now.store(due, std::memory_order_relaxed);
        FireDueLocked(m, due);
    }
}

void AddMemberLocked(Machine& m, SimThread* thread) {
    thread->running = true;
    m.members.push_back(thread);
    ++m.running;
}

void RemoveMemberLocked(Machine& m, SimThread* thread) {
    m.members.erase(std::remove(m.members.begin(), m.members.end(), thread), m.members.end());
    if (thread->running) {
        thread->running = false;
        --m.running;
        if (m.running == 0) AdvanceLocked(m);
    }
}

void CheckFreedMemory(const void* p, size_t size) {
    auto begin = reinterpret_cast<uintptr_t>(p);
    uintptr_t end = begin + size;
    auto inside = [&](const void* q) {
        auto a = reinterpret_cast<uintptr_t>(q);
        return a >= begin && a < end;
    };
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    for (auto& [key, d] : m.deadlines) {
        if (d.kind == DeadlineKind::Timer && inside(d.timer)) {
            sim::BugCheck("TIMER_OR_DPC_INVALID", "memory %p (%zu bytes) freed while timer %p in it is set", p, size,
                          static_cast<void*>(d.timer));
        }
    }
    for (auto& item : m.dpcQueue) {
        if (item.dpc != nullptr && inside(item.dpc)) {
            sim::BugCheck("TIMER_OR_DPC_INVALID", "memory %p (%zu bytes) freed while DPC %p in it is queued", p, size,
                          static_cast<void*>(item.dpc));
        }
    }
    for (SimThread* t : m.members) {
        for (ULONG i = 0; i < t->waitCount; ++i) {
            if (inside(t->blocks[i].object)) {
                sim::BugCheck("INVALID_DISPATCHER_OBJECT", "memory %p (%zu bytes) freed while %s waits on object %p in it",
                              p, size, t->name.c_str(), static_cast<void*>(t->blocks[i].object));
            }
        }
    }
    m.lastSignal.erase(m.lastSignal.lower_bound(begin), m.lastSignal.lower_bound(end));
}

}  // namespace sim::ke

namespace sim::machine {

using namespace sim::ke;

Time Now() {
    Machine& m = M();
    if (!m.realTime.load()) return m.now.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(m.lock);
    return NowLocked(m);
}

ClockMode Mode() { return M().realTime.load() ? ClockMode::RealTime : ClockMode::Virtual; }

void SetVirtualTime() {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    if (!m.realTime) return;
    m.now.store(RealTimeNowLocked(m), std::memory_order_relaxed);
    m.realTime = false;
    m.tickerWake.notify_all();
    if (m.running == 0) AdvanceLocked(m);
}

void SetRealTime(double speed) {
    if (!(speed > 0)) sim::BugCheck("INVALID_PARAMETER", "real-time speed %f is not positive", speed);
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.realTimeBase = NowLocked(m);
    m.hostBase = std::chrono::steady_clock::now();
    m.speed = speed;
    m.realTime = true;
    if (!m.tickerRunning) {
        m.tickerRunning = true;
        std::thread(TickerLoop).detach();
    }
    m.tickerWake.notify_all();
}

bool RunUntil(const std::function<bool()>& predicate, Time limit) {
    SimThread* self = Self();
    if (KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "RunUntil at IRQL %u", KeGetCurrentIrql());
    }
    Machine& m = M();
    Time end;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        end = NowLocked(m) + std::max<Time>(limit, 0);
    }
    for (;;) {
        if (predicate()) return true;
        std::unique_lock<std::mutex> lk(m.lock);
        Time now = NowLocked(m);
        if (now >= end) {
            lk.unlock();
            return predicate();
        }
        Time due = std::min(now + kMillisecond, end);
        WaitLocked(m, lk, self, 0, nullptr, WaitAny, &due, "RunUntil");
    }
}

void RunFor(Time duration) {
    RunUntil([] { return false; }, duration);
}

PKTHREAD StartThread(const char* name, std::function<void()> body) { return CreateThread(name, std::move(body)); }

std::string DumpThreads() {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return DumpThreadsLocked(m);
}

size_t SystemThreadsRunning() {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return m.systemThreads;
}

int64_t TimerResolutionRequests() {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return m.timerResolutionRequests;
}

KPRIORITY ThreadPriority(PKTHREAD thread) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    return thread->sim.priority;
}

}  // namespace sim::machine
