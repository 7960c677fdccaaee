// Spin locks: real mutual exclusion between host threads. The lock word holds its owner (a
// per-thread token), so a second acquisition by the owner and a release by anyone else are
// caught at once instead of spinning forever or corrupting the lock.
#include "lock_order.h"

#include <sim/verifier.h>
#include <win/kernel.h>

#include <sched.h>

#include <atomic>

namespace {

thread_local char t_ownerToken;

ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(&t_ownerToken); }

const char* KindName(sim::lockorder::LockKind kind) {
    return kind == sim::lockorder::LockKind::QueuedSpinLock ? "queued spin lock" : "spin lock";
}

void RequireDispatch(const char* routine) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "%s called at IRQL %u, below DISPATCH_LEVEL", routine,
                      KeGetCurrentIrql());
    }
}

// oldIrql: what the acquiring routine returns to its caller, which must hand it back at release.
void Acquire(PKSPIN_LOCK lock, sim::lockorder::LockKind kind, int oldIrql = -1) {
    if (lock == nullptr) sim::BugCheck("SPIN_LOCK_INVALID", "acquisition of a null %s", KindName(kind));
    std::atomic_ref<ULONG_PTR> word(*lock);
    ULONG_PTR me = Me();
    if (word.load(std::memory_order_relaxed) == me) {
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED", "%s %p acquired twice by the same thread", KindName(kind),
                      static_cast<void*>(lock));
    }
    sim::lockorder::Acquiring(lock, kind);
    for (unsigned attempt = 0;; ++attempt) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) break;
        if (attempt >= 64) sched_yield();
    }
    sim::lockorder::Acquired(lock, kind, oldIrql);
}

void Release(PKSPIN_LOCK lock, sim::lockorder::LockKind kind) {
    if (lock == nullptr) sim::BugCheck("SPIN_LOCK_NOT_OWNED", "release of a null %s", KindName(kind));
    std::atomic_ref<ULONG_PTR> word(*lock);
    ULONG_PTR owner = word.load(std::memory_order_relaxed);
    if (owner != Me()) {
        sim::BugCheck("SPIN_LOCK_NOT_OWNED", "release of %s %p, which %s", KindName(kind), static_cast<void*>(lock),
                      owner == 0 ? "is not held" : "another thread holds");
    }
    sim::lockorder::Released(lock);
    word.store(0, std::memory_order_release);
}

}  // namespace

KV_EXTERN_C VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_relaxed);
    sim::lockorder::Forget(SpinLock);
}

KV_EXTERN_C KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Acquire(SpinLock, sim::lockorder::LockKind::SpinLock, old);
    return old;
}

KV_EXTERN_C VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    // Handing back another IRQL than the acquisition returned leaves the processor at the wrong
    // level: too low breaks the caller's own raise, too high never comes down.
    int acquiredFrom = sim::lockorder::OldIrqlOf(SpinLock);
    if (acquiredFrom >= 0 && acquiredFrom != NewIrql) {
        sim::BugCheck("IRQL_UNEXPECTED_VALUE",
                      "KeReleaseSpinLock of spin lock %p with old IRQL %u, but KeAcquireSpinLock returned %d",
                      static_cast<void*>(SpinLock), NewIrql, acquiredFrom);
    }
    Release(SpinLock, sim::lockorder::LockKind::SpinLock);
    KeLowerIrql(NewIrql);
}

KV_EXTERN_C VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    Acquire(SpinLock, sim::lockorder::LockKind::SpinLock);
}

KV_EXTERN_C VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    Release(SpinLock, sim::lockorder::LockKind::SpinLock);
}

KV_EXTERN_C VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Acquire(SpinLock, sim::lockorder::LockKind::QueuedSpinLock);
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = old;
}

KV_EXTERN_C VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KIRQL old = LockHandle->OldIrql;
    Release(LockHandle->LockQueue.Lock, sim::lockorder::LockKind::QueuedSpinLock);
    LockHandle->LockQueue.Lock = nullptr;
    KeLowerIrql(old);
}

KV_EXTERN_C VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    RequireDispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    Acquire(SpinLock, sim::lockorder::LockKind::QueuedSpinLock);
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = DISPATCH_LEVEL;
}

KV_EXTERN_C VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    RequireDispatch("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    Release(LockHandle->LockQueue.Lock, sim::lockorder::LockKind::QueuedSpinLock);
    LockHandle->LockQueue.Lock = nullptr;
}
