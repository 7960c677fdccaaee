#include "driver/engine/base/KernelMutex.h"

BOOLEAN KernelMutex::ReturnFalse() { return FALSE; }

KernelMutex::KernelMutex() { KeInitializeMutex(&m_Mutex, 0); }

BOOLEAN KernelMutex::Lock() {
    PAGED_CODE();
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
    return TRUE;
}

BOOLEAN KernelMutex::ReservedFalse1() { return ReturnFalse(); }

BOOLEAN KernelMutex::Unlock() {
    PAGED_CODE();
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

BOOLEAN KernelMutex::ReservedFalse2() { return ReturnFalse(); }

BOOLEAN KernelMutex::TryLock() {
    PAGED_CODE();
    LARGE_INTEGER noWait{};
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS;
}

BOOLEAN KernelMutex::UnlockResident() {
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}
