// User processes: the process a thread runs in, its handle records and heap, the last error, the
// status-to-error table, injected failures, CloseHandle and the process heap.
#include "user_internal.h"

#include "../kernel/io_manager.h"
#include "../kernel/processes.h"

#include <sim/verifier.h>
#include <win/ke.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace sim::user {
namespace {

thread_local Process* t_process = nullptr;
thread_local DWORD t_lastError = 0;

struct Failures {
    std::mutex lock;
    int nth[static_cast<int>(Failure::Count)] = {};
    ULONG ioctlCode = 0;
};

Failures& TheFailures() {
    static auto* failures = new Failures();
    return *failures;
}

std::atomic<size_t> g_criticalSections{0};

}  // namespace

void CountCriticalSection(int delta) { g_criticalSections += static_cast<size_t>(delta); }
size_t CriticalSectionCount() { return g_criticalSections.load(); }

Process* CreateProcess(std::string_view name, bool is32bit) {
    auto* process = new Process();
    process->name = std::string(name);
    process->kernelProcess = sim::io::CreateProcess(name, is32bit);
    process->table = process->kernelProcess->handles;  // the kernel sees the same handles
    return process;
}

size_t DestroyProcess(Process* process) {
    if (process == nullptr) return 0;
    if (process->runningThreads.load() != 0) {
        sim::BugCheck("PROCESS_HAS_THREADS", "process %s ends with %d thread(s) still running", process->name.c_str(),
                      process->runningThreads.load());
    }
    size_t left = 0;
    {
        ProcessScope scope(process);
        std::vector<HANDLE> open;
        {
            std::lock_guard<std::mutex> guard(process->lock);
            for (const auto& [handle, entry] : process->handles) open.push_back(handle);
        }
        left = open.size();
        for (HANDLE handle : open) CloseHandle(handle);
        std::lock_guard<std::mutex> guard(process->lock);
        left += process->keys.size();
        process->keys.clear();
    }
    for (auto& [block, size] : process->heap) std::free(block);
    sim::io::DestroyProcess(process->kernelProcess);
    if (t_process == process) t_process = nullptr;
    delete process;
    return left;
}

Process* DefaultProcess() {
    static Process* process = CreateProcess("host", false);
    return process;
}

Process* CurrentProcess() { return t_process != nullptr ? t_process : DefaultProcess(); }
const std::string& NameOf(Process* process) { return process->name; }
PEPROCESS KernelProcessOf(Process* process) { return process->kernelProcess; }

ProcessScope::ProcessScope(Process* process)
    : m_previous(t_process), m_previousTable(sim::ob::CurrentHandleTable()), m_kernel(process->kernelProcess) {
    t_process = process;
    sim::ob::SetCurrentHandleTable(process->table);
}

ProcessScope::~ProcessScope() {
    t_process = m_previous;
    sim::ob::SetCurrentHandleTable(m_previousTable);
}

size_t OpenHandleCount(Process* process) {
    std::lock_guard<std::mutex> guard(process->lock);
    return process->handles.size() + process->keys.size();
}

size_t RunningThreadCount(Process* process) { return static_cast<size_t>(process->runningThreads.load()); }

size_t HeapBlockCount(Process* process) {
    std::lock_guard<std::mutex> guard(process->lock);
    return process->heap.size();
}

void RememberHandle(Process* process, HANDLE handle, HandleKind kind, void* object) {
    std::lock_guard<std::mutex> guard(process->lock);
    process->handles[handle] = HandleEntry{.kind = kind, .object = object};
}

bool LookUpHandle(Process* process, HANDLE handle, HandleEntry* entry) {
    std::lock_guard<std::mutex> guard(process->lock);
    auto found = process->handles.find(handle);
    if (found == process->handles.end()) return false;
    *entry = found->second;
    return true;
}

bool ForgetHandle(Process* process, HANDLE handle, HandleEntry* entry) {
    {
        std::lock_guard<std::mutex> guard(process->lock);
        auto found = process->handles.find(handle);
        if (found == process->handles.end()) return false;
        *entry = found->second;
        process->handles.erase(found);
    }
    sim::ob::CloseHandle(process->table, handle);
    return true;
}

void FailNth(Failure kind, int nth) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    f.nth[static_cast<int>(kind)] = nth;
    if (kind == Failure::DeviceIoControl) f.ioctlCode = 0;
}

void FailDeviceIoControlCode(ULONG code, int nth) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    f.nth[static_cast<int>(Failure::DeviceIoControl)] = nth;
    f.ioctlCode = code;
}

void ClearFailures() {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    for (int& n : f.nth) n = 0;
    f.ioctlCode = 0;
}

bool FailureArmed() {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    for (int n : f.nth) {
        if (n != 0) return true;
    }
    return false;
}

bool ShouldFail(Failure kind, ULONG code) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    int& n = f.nth[static_cast<int>(kind)];
    if (n == 0) return false;
    if (kind == Failure::DeviceIoControl && f.ioctlCode != 0 && f.ioctlCode != code) return false;
    return --n == 0;
}

ULONG ErrorFromStatus(NTSTATUS status) {
    struct Row {
        NTSTATUS status;
        ULONG error;
    };
    static constexpr Row kTable[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    };
    for (const Row& row : kTable) {
        if (row.status == status) return row.error;
    }
    return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace sim::user

using namespace sim::user;

KV_EXTERN_C DWORD WINAPI GetLastError(void) { return t_lastError; }
KV_EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

KV_EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject) {
    Process* process = CurrentProcess();
    ProcessScope scope(process);
    HandleEntry entry{};
    if (!ForgetHandle(process, hObject, &entry)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    // A file's last handle sends its cleanup and close (the object manager does).
    if (entry.kind == HandleKind::Thread) {
        auto* thread = static_cast<UserThread*>(entry.object);
        ObDereferenceObject(thread->thread);
        thread->Release();
    }
    return TRUE;
}

KV_EXTERN_C HANDLE WINAPI GetProcessHeap(void) { return reinterpret_cast<HANDLE>(CurrentProcess()); }

KV_EXTERN_C LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    auto* process = static_cast<Process*>(hHeap);
    if (process == nullptr) return FailWith<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
    if (ShouldFail(Failure::HeapAlloc)) return FailWith<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    void* block = std::malloc(dwBytes == 0 ? 1 : dwBytes);
    if (block == nullptr) return FailWith<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    // Fresh blocks carry a pattern unless zeroing is asked for, so reads of unset bytes show.
    std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xBA, dwBytes);
    std::lock_guard<std::mutex> guard(process->lock);
    process->heap[block] = dwBytes;
    return block;
}

KV_EXTERN_C BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    UNREFERENCED_PARAMETER(dwFlags);
    auto* process = static_cast<Process*>(hHeap);
    if (lpMem == nullptr) return TRUE;
    {
        std::lock_guard<std::mutex> guard(process->lock);
        auto found = process->heap.find(lpMem);
        if (found == process->heap.end()) {
            sim::BugCheck("HEAP_CORRUPTION", "HeapFree of %p, which is no block of process %s", lpMem,
                          process->name.c_str());
        }
        std::memset(lpMem, 0xFE, found->second);
        process->heap.erase(found);
    }
    std::free(lpMem);
    return TRUE;
}
