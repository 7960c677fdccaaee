// A lock object around a kernel mutex (level 0), embedded in its owner. Recursive for the owning
// thread, as kernel mutexes are. For PASSIVE_LEVEL callers; UnlockResident serves non-paged paths.
#pragma once

#include <win/kernel.h>

class KernelMutex {
public:
    KernelMutex();

    KernelMutex(const KernelMutex&) = delete;
    KernelMutex& operator=(const KernelMutex&) = delete;

    // Operations in table order.
    // Waits for the mutex without a time-out; answers TRUE.
    virtual BOOLEAN Lock();
    // Answers FALSE (ReturnFalse).
    virtual BOOLEAN ReservedFalse1();
    // Releases the mutex; answers TRUE.
    virtual BOOLEAN Unlock();
    // Answers FALSE (ReturnFalse).
    virtual BOOLEAN ReservedFalse2();
    // Takes the mutex only when it is free at once (or already ours); TRUE when taken.
    virtual BOOLEAN TryLock();
    // Unlock for resident code paths.
    virtual BOOLEAN UnlockResident();

private:
    // The shared body of the operations that answer false.
    static BOOLEAN ReturnFalse();

    KMUTEX m_Mutex;
};
