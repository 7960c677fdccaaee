// DPCs and platform dispatch work: one queue served in order by the machine's DPC thread, one
// item at a time, at DISPATCH_LEVEL.
#include "lock_order.h"
#include "scheduler_core.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <algorithm>
#include <cstdio>

namespace sim::ke {
namespace {

KDPC* CheckedDpc(PRKDPC dpc, const char* routine) {
    if (dpc == nullptr || dpc->Type != DpcObject) {
        sim::BugCheck("TIMER_OR_DPC_INVALID", "%s on %p, which is not an initialised DPC", routine,
                      static_cast<void*>(dpc));
    }
    return dpc;
}

// routine: the DPC routine that ran, or null for platform dispatch work.
void CheckAfterRoutine(PKDEFERRED_ROUTINE routine) {
    auto what = [routine] {
        return routine == nullptr ? std::string("dispatch work")
                                  : "the DPC routine " + RoutineName(reinterpret_cast<const void*>(routine));
    };
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_UNEXPECTED_VALUE", "%s returned at IRQL %u, but was called at DISPATCH_LEVEL",
                      what().c_str(), KeGetCurrentIrql());
    }
    if (sim::lockorder::HeldCount() != 0) {
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED", "%s returned holding %s", what().c_str(),
                      sim::lockorder::DescribeFirstHeld());
    }
}

void DpcThreadMain(SimThread* self) {
    SetSelf(self);
    Machine& m = M();
    std::unique_lock<std::mutex> lk(m.lock);
    for (;;) {
        while (m.dpcQueue.empty()) {
            IdleWaitScope idle;
            DISPATCHER_HEADER* work = &m.dpcWork.Header;
            WaitLocked(m, lk, self, 1, &work, WaitAny, nullptr, "the DPC queue");
        }
        DpcItem item = std::move(m.dpcQueue.front());
        m.dpcQueue.pop_front();
        if (item.flushDone != nullptr) {
            SetEventLocked(m, item.flushDone);
            continue;
        }
        PKDEFERRED_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        PVOID argument1 = nullptr;
        PVOID argument2 = nullptr;
        if (item.dpc != nullptr) {
            routine = item.dpc->DeferredRoutine;
            context = item.dpc->DeferredContext;
            argument1 = item.dpc->SystemArgument1;
            argument2 = item.dpc->SystemArgument2;
            item.dpc->DpcData = nullptr;  // may be queued again from now on
        }
        m.dpcRunning = true;
        lk.unlock();
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        if (routine != nullptr) {
            routine(item.dpc, context, argument1, argument2);
            CheckAfterRoutine(routine);
        } else {
            item.work();
            CheckAfterRoutine(nullptr);
        }
        KeLowerIrql(old);
        item.work = nullptr;
        lk.lock();
        m.dpcRunning = false;
    }
}

}  // namespace

void QueueDpcItemLocked(Machine& m, DpcItem item) {
    m.dpcQueue.push_back(std::move(item));
    SetEventLocked(m, &m.dpcWork);
}

bool InsertDpcLocked(Machine& m, KDPC* dpc, PVOID argument1, PVOID argument2) {
    if (dpc->DpcData != nullptr) return false;
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    QueueDpcItemLocked(m, DpcItem{.dpc = dpc});
    return true;
}

void StartDpcThread(Machine& m) {
    PKTHREAD object = NewThreadObject("DPC thread", false);
    if (object == nullptr) sim::BugCheck("NO_MORE_SYSTEM_PTES", "no memory for the DPC thread");
    SimThread* self = &object->sim;
    self->priority = HIGH_PRIORITY;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        AddMemberLocked(m, self);
    }
    if (!LaunchHostThread([self] { DpcThreadMain(self); })) {
        sim::BugCheck("NO_MORE_SYSTEM_PTES", "the host cannot start the DPC thread");
    }
}

void QueueDispatchWork(std::function<void()> work) {
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    QueueDpcItemLocked(m, DpcItem{.work = std::move(work)});
}

ScheduledWorkId ScheduleDispatchWork(Time due, std::function<void()> work) {
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    if (due <= NowLocked(m)) {
        QueueDpcItemLocked(m, DpcItem{.work = std::move(work)});
        return m.nextSeq++;
    }
    uint64_t id = m.nextSeq;  // the deadline's own sequence number
    DeadlineKey key = InsertDeadlineLocked(m, due, Deadline{.kind = DeadlineKind::Work, .workId = id, .work = std::move(work)});
    m.scheduledWork.emplace(key.seq, key);
    return key.seq;
}

std::vector<std::string> TimersAndDpcsOfModule(const void* moduleBase) {
    struct Pending {
        const void* timer;  // null for a queued DPC
        const KDPC* dpc;
        const void* routine;
        Time due;
    };
    std::vector<Pending> pending;
    Time now;
    {
        Machine& m = M();
        std::lock_guard<std::mutex> guard(m.lock);
        now = NowLocked(m);
        for (auto& [key, deadline] : m.deadlines) {
            if (deadline.kind != DeadlineKind::Timer) continue;
            const KDPC* dpc = deadline.timer->Dpc;
            pending.push_back(Pending{deadline.timer, dpc,
                                      dpc != nullptr ? reinterpret_cast<const void*>(dpc->DeferredRoutine) : nullptr,
                                      key.due});
        }
        for (const DpcItem& item : m.dpcQueue) {
            if (item.dpc == nullptr) continue;
            pending.push_back(Pending{nullptr, item.dpc, reinterpret_cast<const void*>(item.dpc->DeferredRoutine), 0});
        }
    }
    // The loader's lock is not taken under the machine's.
    auto inModule = [moduleBase](const void* address) {
        Dl_info info{};
        return address != nullptr && dladdr(address, &info) != 0 && info.dli_fbase == moduleBase;
    };
    std::vector<std::string> found;
    for (const Pending& p : pending) {
        if (!inModule(p.timer) && !inModule(p.dpc) && !inModule(p.routine)) continue;
        char text[160];
        if (p.timer != nullptr) {
            std::snprintf(text, sizeof text, "timer %p set to expire in %lld ms", p.timer,
                          static_cast<long long>((p.due - now) / sim::machine::kMillisecond));
        } else {
            std::snprintf(text, sizeof text, "DPC %p queued", static_cast<const void*>(p.dpc));
        }
        std::string line = text;
        if (p.routine != nullptr) line += " with the DPC routine " + RoutineName(p.routine);
        found.push_back(line);
    }
    return found;
}

bool CancelScheduledWork(ScheduledWorkId id) {
    Machine& m = M();
    decltype(m.deadlines)::node_type cancelled;  // destroyed after the lock: the work may own pool
    std::lock_guard<std::mutex> guard(m.lock);
    auto it = m.scheduledWork.find(id);
    if (it == m.scheduledWork.end()) return false;
    cancelled = m.deadlines.extract(it->second);
    m.scheduledWork.erase(it);
    return true;
}

}  // namespace sim::ke

using namespace sim::ke;

KV_EXTERN_C VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    for (const DpcItem& item : m.dpcQueue) {
        if (item.dpc == Dpc) {
            sim::BugCheck("TIMER_OR_DPC_INVALID", "KeInitializeDpc of DPC %p while it is queued", static_cast<void*>(Dpc));
        }
    }
    Dpc->Type = DpcObject;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->Reserved = 0;
    ListInit(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

KV_EXTERN_C BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Self();
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedDpc(Dpc, "KeInsertQueueDpc");
    return InsertDpcLocked(m, Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

KV_EXTERN_C BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Machine& m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    CheckedDpc(Dpc, "KeRemoveQueueDpc");
    if (Dpc->DpcData == nullptr) return FALSE;
    auto it = std::find_if(m.dpcQueue.begin(), m.dpcQueue.end(), [Dpc](const DpcItem& item) { return item.dpc == Dpc; });
    if (it != m.dpcQueue.end()) m.dpcQueue.erase(it);
    Dpc->DpcData = nullptr;
    return TRUE;
}

KV_EXTERN_C VOID KeFlushQueuedDpcs(void) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeFlushQueuedDpcs at IRQL %u", KeGetCurrentIrql());
    }
    SimThread* self = Self();
    Machine& m = M();
    std::unique_lock<std::mutex> lk(m.lock);
    if (m.dpcQueue.empty() && !m.dpcRunning) return;
    KEVENT done;
    InitHeader(&done.Header, EventNotificationObject, sizeof(KEVENT), 0);
    QueueDpcItemLocked(m, DpcItem{.flushDone = &done});
    DISPATCHER_HEADER* header = &done.Header;
    WaitLocked(m, lk, self, 1, &header, WaitAny, nullptr, "KeFlushQueuedDpcs");
}
