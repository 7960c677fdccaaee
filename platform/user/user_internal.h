// Internal state of simulated user mode shared by the Win32 families: a process's handles with
// what each names, its heap blocks, and the injected failures.
#pragma once

#include "../kernel/object_manager.h"
#include "../kernel/registry_store.h"

#include <sim/user.h>
#include <win/win32.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace sim::user {

enum class HandleKind { File, Event, Thread, Key, DeviceInfoSet };

struct UserThread {
    PKTHREAD thread = nullptr;  // one reference, held until the last handle is closed
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    std::atomic<int> owners{2};  // the handle and the running thread; the last one deletes it

    void Release() {
        if (--owners == 0) delete this;
    }
};

struct HandleEntry {
    HandleKind kind;
    void* object;  // Thread: UserThread*; others: null
};

struct Process {
    std::string name;
    PEPROCESS kernelProcess = nullptr;
    sim::ob::HandleTableId table = 0;
    std::mutex lock;
    std::map<HANDLE, HandleEntry> handles;
    std::map<void*, size_t> heap;
    std::map<HKEY, sim::registry::KeyRef> keys;  // open registry keys
    ULONG_PTR nextKey = 0x100;
    std::atomic<int> runningThreads{0};
};

// Records a handle the object manager gave out in the current process.
void RememberHandle(Process* process, HANDLE handle, HandleKind kind, void* object);
// The entry of a handle of the process; false when the handle is not one of its handles.
bool LookUpHandle(Process* process, HANDLE handle, HandleEntry* entry);
// Forgets a handle's record and closes it in the object manager's table.
bool ForgetHandle(Process* process, HANDLE handle, HandleEntry* entry);

void CountCriticalSection(int delta);

// True when an armed failure of this kind fires now (counting down its nth).
bool ShouldFail(Failure kind, ULONG code = 0);

// Sets the calling thread's last error and answers value, for one-line error returns.
template <class T>
T FailWith(DWORD error, T value) {
    SetLastError(error);
    return value;
}

}  // namespace sim::user
