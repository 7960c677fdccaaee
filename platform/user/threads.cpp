// CreateThread: user threads are members of the machine from their first instruction and run in
// the creating process; their handles are waitable thread objects.
#include "user_internal.h"

#include "../kernel/scheduler.h"

#include <win/ke.h>

#include <atomic>
#include <cstdio>

using namespace sim::user;

namespace {

std::atomic<DWORD> g_nextThreadId{0x1000};
thread_local DWORD t_threadId = 0;

UserThread* ThreadOf(HANDLE handle) {
    HandleEntry entry{};
    if (!LookUpHandle(CurrentProcess(), handle, &entry) || entry.kind != HandleKind::Thread) return nullptr;
    return static_cast<UserThread*>(entry.object);
}

}  // namespace

KV_EXTERN_C DWORD WINAPI GetCurrentThreadId(void) {
    if (t_threadId == 0) t_threadId = g_nextThreadId++;
    return t_threadId;
}

KV_EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                       LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                       DWORD dwCreationFlags, LPDWORD lpThreadId) {
    UNREFERENCED_PARAMETER(lpThreadAttributes);
    UNREFERENCED_PARAMETER(dwStackSize);
    if (lpStartAddress == nullptr || dwCreationFlags != 0) return FailWith<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    if (ShouldFail(Failure::CreateThread)) return FailWith<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    Process* process = CurrentProcess();
    auto* record = new UserThread();
    DWORD id = g_nextThreadId++;
    process->runningThreads++;
    char name[96];
    std::snprintf(name, sizeof(name), "user thread %u of %s", id, process->name.c_str());
    PKTHREAD thread = sim::ke::CreateThread(name, [process, record, id, lpStartAddress, lpParameter] {
        ProcessScope scope(process);
        t_threadId = id;
        record->exitCode = lpStartAddress(lpParameter);
        record->Release();
        process->runningThreads--;
    });
    if (thread == nullptr) {
        process->runningThreads--;
        delete record;  // the thread never ran
        return FailWith<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    record->thread = thread;  // the creation's reference, dropped when the handle closes
    HANDLE handle = sim::ob::InsertHandle(process->table, thread);
    RememberHandle(process, handle, HandleKind::Thread, record);
    if (lpThreadId != nullptr) *lpThreadId = id;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

KV_EXTERN_C BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    UserThread* thread = ThreadOf(hThread);
    if (thread == nullptr) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    bool valid = (nPriority >= THREAD_PRIORITY_LOWEST && nPriority <= THREAD_PRIORITY_HIGHEST) ||
                 nPriority == THREAD_PRIORITY_TIME_CRITICAL || nPriority == THREAD_PRIORITY_IDLE;
    if (!valid) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    thread->priority = nPriority;
    // A normal-class process: base 8, time-critical 15, idle 1.
    KPRIORITY kernel = nPriority == THREAD_PRIORITY_TIME_CRITICAL ? 15 : nPriority == THREAD_PRIORITY_IDLE ? 1 : 8 + nPriority;
    KeSetPriorityThread(thread->thread, kernel);
    return TRUE;
}

KV_EXTERN_C int WINAPI GetThreadPriority(HANDLE hThread) {
    UserThread* thread = ThreadOf(hThread);
    if (thread == nullptr) return FailWith(ERROR_INVALID_HANDLE, THREAD_PRIORITY_ERROR_RETURN);
    return thread->priority.load();
}

KV_EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    UserThread* thread = ThreadOf(hThread);
    if (thread == nullptr || lpExitCode == nullptr) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    *lpExitCode = thread->exitCode.load();
    return TRUE;
}
