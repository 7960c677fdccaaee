// Events, waits, Sleep, critical sections and timeGetTime: the kernel's dispatcher objects seen
// through a process's handles, on the machine's clock.
#include "user_internal.h"

#include "../kernel/scheduler.h"

#include <win/ex.h>
#include <win/ke.h>

#include <cstdlib>
#include <new>

using namespace sim::user;

namespace {

LARGE_INTEGER RelativeTimeout(DWORD milliseconds) {
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
    return timeout;
}

// The event a handle of the current process names, with one reference; null when it is none.
PRKEVENT ReferenceEvent(Process* process, HANDLE handle) {
    void* body = nullptr;
    if (!NT_SUCCESS(sim::ob::ReferenceByHandle(process->table, handle, *ExEventObjectType, &body))) return nullptr;
    return static_cast<PRKEVENT>(body);
}

}  // namespace

KV_EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                       LPCSTR lpName) {
    UNREFERENCED_PARAMETER(lpEventAttributes);
    if (lpName != nullptr) return FailWith<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);  // only unnamed events
    if (ShouldFail(Failure::CreateEvent)) return FailWith<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    Process* process = CurrentProcess();
    auto* event = static_cast<PRKEVENT>(sim::ob::CreateObject(*ExEventObjectType, sizeof(KEVENT)));
    if (event == nullptr) return FailWith<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    KeInitializeEvent(event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? TRUE : FALSE);
    HANDLE handle = sim::ob::InsertHandle(process->table, event, EVENT_ALL_ACCESS);
    ObDereferenceObject(event);  // the handle holds it
    RememberHandle(process, handle, HandleKind::Event, nullptr);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

KV_EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent) {
    PRKEVENT event = ReferenceEvent(CurrentProcess(), hEvent);
    if (event == nullptr) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    KeSetEvent(event, 0, FALSE);
    ObDereferenceObject(event);
    return TRUE;
}

KV_EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent) {
    PRKEVENT event = ReferenceEvent(CurrentProcess(), hEvent);
    if (event == nullptr) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    KeClearEvent(event);
    ObDereferenceObject(event);
    return TRUE;
}

KV_EXTERN_C DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    Process* process = CurrentProcess();
    PVOID objects[MAXIMUM_WAIT_OBJECTS] = {};
    for (DWORD i = 0; i < nCount; ++i) {
        if (!NT_SUCCESS(sim::ob::ReferenceByHandle(process->table, lpHandles[i], nullptr, &objects[i]))) {
            for (DWORD j = 0; j < i; ++j) ObDereferenceObject(objects[j]);
            return FailWith(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
    }
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    LARGE_INTEGER timeout = RelativeTimeout(dwMilliseconds);
    NTSTATUS status = KeWaitForMultipleObjects(nCount, objects, bWaitAll ? WaitAll : WaitAny, UserRequest, UserMode,
                                               FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout, blocks);
    for (DWORD i = 0; i < nCount; ++i) ObDereferenceObject(objects[i]);
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (status >= STATUS_WAIT_0 && status < static_cast<NTSTATUS>(STATUS_WAIT_0 + nCount)) {
        return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
    }
    return FailWith(ERROR_INVALID_PARAMETER, WAIT_FAILED);
}

KV_EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

KV_EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds) {
    LARGE_INTEGER interval = RelativeTimeout(dwMilliseconds);
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

KV_EXTERN_C DWORD WINAPI timeGetTime(void) { return static_cast<DWORD>(KeQueryInterruptTime() / 10'000); }

// A critical section is a kernel mutex (recursive for its owner, released only by it), so a
// thread waiting for it waits in the machine and takes part in the lock-order checks.
KV_EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    auto* mutex = static_cast<PRKMUTEX>(std::aligned_alloc(16, (sizeof(KMUTEX) + 15) & ~size_t{15}));
    if (mutex == nullptr) std::abort();  // the published call cannot fail
    KeInitializeMutex(mutex, 0);
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->LockSemaphore = mutex;
    CountCriticalSection(1);
}

KV_EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    KeWaitForSingleObject(lpCriticalSection->LockSemaphore, Executive, UserMode, FALSE, nullptr);
    ++lpCriticalSection->RecursionCount;
    lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

KV_EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
    KeReleaseMutex(static_cast<PRKMUTEX>(lpCriticalSection->LockSemaphore), FALSE);
}

KV_EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    void* mutex = lpCriticalSection->LockSemaphore;
    if (mutex == nullptr) return;
    sim::ke::CheckFreedMemory(mutex, sizeof(KMUTEX));
    std::free(mutex);
    lpCriticalSection->LockSemaphore = nullptr;
    CountCriticalSection(-1);
}
