// Internals of the scheduler shared by the kernel's dispatcher, timer, DPC and thread code.
//
// One lock (Machine::lock) guards the members of the machine, the count of running members,
// every dispatcher object's state and wait list, the deadline queue and the DPC queue. Functions
// named ...Locked expect it held. A member that is not waiting in the kernel is running; in
// virtual mode the clock moves only when no member runs, and the member that blocks last fires
// the earliest deadlines itself, so whoever they release is running before the lock is dropped.
#pragma once

#include "scheduler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim::ke {

struct SimThread;

// A thread waiting on one object: linked into the object's DISPATCHER_HEADER::WaitListHead.
struct WaitBlock {
    LIST_ENTRY link;
    SimThread* thread;
    DISPATCHER_HEADER* object;
};

struct DeadlineKey {
    Time due;
    uint64_t seq;  // insertion order among equal due times
    auto operator<=>(const DeadlineKey&) const = default;
};

enum class DeadlineKind { ThreadTimeout, Timer, Work };

struct Deadline {
    DeadlineKind kind;
    SimThread* thread = nullptr;  // ThreadTimeout
    KTIMER* timer = nullptr;      // Timer
    uint64_t workId = 0;          // Work
    std::function<void()> work{};  // Work
};

struct SimThread {
    PKTHREAD object = nullptr;  // the thread object this record lives in
    std::string name;
    bool system = false;  // created by PsCreateSystemThread
    const void* startRoutine = nullptr;  // of a system thread
    bool ended = false;
    KPRIORITY priority = 8;
    std::condition_variable wake;

    // State, changed under the machine lock.
    bool running = true;
    bool woken = false;
    // The current wait.
    bool idleWait = false;
    const char* waitKind = "";
    WAIT_TYPE waitType = WaitAny;
    ULONG waitCount = 0;
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    bool hasDeadline = false;
    DeadlineKey deadline{};
    NTSTATUS result = STATUS_SUCCESS;
};

// An entry of the DPC thread's queue: a driver DPC, platform work or a flush marker.
struct DpcItem {
    KDPC* dpc = nullptr;
    std::function<void()> work{};
    KEVENT* flushDone = nullptr;
};

struct SignalRecord {
    std::string by;
    Time at;
};

struct Machine {
    std::mutex lock;

    // Clock. In virtual mode `now` is the time; in real-time mode it is derived from the host clock.
    std::atomic<Time> now{0};
    std::atomic<bool> realTime{false};
    double speed = 1.0;
    Time realTimeBase = 0;
    std::chrono::steady_clock::time_point hostBase;
    bool tickerRunning = false;
    std::condition_variable tickerWake;

    std::vector<SimThread*> members;
    int running = 0;
    size_t systemThreads = 0;

    std::map<DeadlineKey, Deadline> deadlines;
    uint64_t nextSeq = 1;
    std::map<uint64_t, DeadlineKey> scheduledWork;  // work id -> its deadline

    std::deque<DpcItem> dpcQueue;
    bool dpcRunning = false;
    KEVENT dpcWork;  // synchronization event the DPC thread waits on

    std::map<uintptr_t, SignalRecord> lastSignal;  // dispatcher object -> who signalled it last

    int64_t timerResolutionRequests = 0;
    ULONG timerResolution = 0;  // 100 ns units while requests are active
};

// Intrusive wait lists.
inline void ListInit(LIST_ENTRY* head) { head->Flink = head->Blink = head; }
inline void ListInsertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}
inline void ListRemove(LIST_ENTRY* entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
}

// The machine, started on first use.
Machine& M();
// The calling thread's record; joins the machine on first use.
SimThread* Self();
// The calling thread's record, or null when it has not joined.
SimThread* SelfIfMember();
// Name for dumps: the member's name or the host thread id.
std::string CurrentThreadName();
// Makes the calling host thread the given member (threads the kernel starts itself).
void SetSelf(SimThread* thread);
// True inside an IdleWaitScope.
bool IdleWaits();

Time NowLocked(Machine& m);
// Interrupt time from a relative (negative) or absolute (positive, system time) due time.
Time DueFromTimeout(Machine& m, LONGLONG timeout);
constexpr LONGLONG kSystemTimeBase = 133'485'408'000'000'000LL;  // 2024-01-01 00:00 UTC

DeadlineKey InsertDeadlineLocked(Machine& m, Time due, Deadline deadline);
void RemoveDeadlineLocked(Machine& m, const DeadlineKey& key);

// Blocks the calling member until another thread or a deadline wakes it; returns its result.
NTSTATUS BlockLocked(Machine& m, std::unique_lock<std::mutex>& lk, SimThread* self);
// Ends a thread's wait with status: unlinks its wait blocks, cancels its deadline, marks it running.
void WakeLocked(Machine& m, SimThread* thread, NTSTATUS status);
// After the running count dropped: in virtual mode fires deadlines until someone runs; reports a
// deadlock when nobody can ever run again.
void AdvanceLocked(Machine& m);
// Adds a member (running) / removes one.
void AddMemberLocked(Machine& m, SimThread* thread);
void RemoveMemberLocked(Machine& m, SimThread* thread);

// Dispatcher objects (dispatcher.cpp).
constexpr UCHAR kHeaderSignature = 0xD1;  // DISPATCHER_HEADER::Signature of an initialised object
void InitHeader(DISPATCHER_HEADER* header, KOBJECTS type, size_t size, LONG state);
void RecordSignalLocked(Machine& m, const void* object);
// Wakes every waiter of header whose wait is now satisfied.
void SignalLocked(Machine& m, DISPATCHER_HEADER* header);
void SetEventLocked(Machine& m, KEVENT* event);
std::string DescribeObjectLocked(Machine& m, DISPATCHER_HEADER* header);
// The full wait: immediate check, then block until satisfied or deadline (null: no deadline).
NTSTATUS WaitLocked(Machine& m, std::unique_lock<std::mutex>& lk, SimThread* self, ULONG count,
                    DISPATCHER_HEADER* const* objects, WAIT_TYPE type, const Time* deadline, const char* kind);

// Timers and DPCs.
void TimerExpiredLocked(Machine& m, KTIMER* timer);
void QueueDpcItemLocked(Machine& m, DpcItem item);
bool InsertDpcLocked(Machine& m, KDPC* dpc, PVOID argument1, PVOID argument2);
void StartDpcThread(Machine& m);

// Threads (threads.cpp).
// Starts a detached host thread running run.
bool LaunchHostThread(std::function<void()> run);
PKTHREAD NewThreadObject(const char* name, bool system);
// Ends the calling simulated thread: checks its IRQL and locks, signals its object, leaves.
void EndCurrentThread();

}  // namespace sim::ke

// A thread object: waitable (signalled when the thread ends) and carrying the thread's record.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    sim::ke::SimThread sim;
};
struct _ETHREAD {
    _KTHREAD Tcb;
};
