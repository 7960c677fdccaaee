// DPCs and platform dispatch work: one queue served in order by the machine's DPC thread, one
// item at a time, at DISPATCH_LEVEL.
#include "lock_order.h"
#include "scheduler_core.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <algorithm>

namespace sim::ke {
namespace {

KDPC* CheckedDpc(PRKDPC dpc, const char* routine) {
    if (dpc == nullptr || dpc->Type != DpcObject) {
        sim::BugCheck("TIMER_OR_DPC_INVALID", "%s on %p, which is not an initialised DPC", routine,
                      static_cast<void*>(dpc));
    }
    return dpc;
}

void CheckAfterRoutine(const std::string& what) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s returned at IRQL %u instead of DISPATCH_LEVEL", what.c_str(),
                      KeGetCurrentIrql());
    }
    if (sim::lockorder::HeldCount() != 0) {
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED", "%s returned holding %s", what.c_str(),
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
            CheckAfterRoutine("DPC routine " + SymbolName(reinterpret_cast<const void*>(routine)));
        } else {
            item.work();
            CheckAfterRoutine("dispatch work");
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
