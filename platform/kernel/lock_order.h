// Lock-order verifier: records which locks each thread holds and, whenever a lock is taken while
// others are held, the order held -> taken between lock classes (a lock's address). The first
// acquisition that closes a cycle is a bug check naming the locks and where each order was seen.
#pragma once

#include <cstddef>

namespace sim::lockorder {

enum class LockKind { SpinLock, QueuedSpinLock, Mutex };

// Before a blocking acquisition: adds the orders held -> lock and checks for a cycle.
void Acquiring(const void* lock, LockKind kind);
// After the acquisition: the calling thread now holds lock. oldIrql: the IRQL the acquisition
// returned to its caller (KeAcquireSpinLock), or -1 when it returned none.
void Acquired(const void* lock, LockKind kind, int oldIrql = -1);
// The calling thread no longer holds lock; returns the oldIrql recorded at its acquisition.
int Released(const void* lock);
// The old IRQL recorded when the calling thread acquired lock, or -1.
int OldIrqlOf(const void* lock);
// True when the calling thread holds lock.
bool IsHeld(const void* lock);
// Locks the calling thread holds.
size_t HeldCount();
// True when the calling thread holds a spin lock (of either form).
bool HoldsSpinLock();
// Describes the first lock the calling thread holds ("spin lock 0x..."), or "" when none.
const char* DescribeFirstHeld();
// Forgets every lock the calling thread holds, without releasing any (the test harness, after a
// test that ended holding locks).
void DropAllHeld();

// Forgets every order recorded for one lock (re-initialised) or for every lock in a memory block
// (freed).
void Forget(const void* lock);
void ForgetRange(const void* p, size_t size);

}  // namespace sim::lockorder
