// Scheduler services for the rest of the simulated platform (not for drivers): work that runs at
// DISPATCH_LEVEL on the machine's DPC thread, events at a future simulated time, simulated
// threads, and the verifier hook for freed memory.
#pragma once

#include <sim/machine.h>
#include <win/kernel.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::ke {

using Time = sim::machine::Time;

// Queues work behind the DPCs already queued; it runs at DISPATCH_LEVEL on the DPC thread.
void QueueDispatchWork(std::function<void()> work);

// Queues work on the DPC thread when the clock reaches due (interrupt time, 100 ns units).
// A due time already reached queues it at once. Returns an id for CancelScheduledWork (never 0).
using ScheduledWorkId = uint64_t;
ScheduledWorkId ScheduleDispatchWork(Time due, std::function<void()> work);
// True when the work had not been queued yet (it never will be).
bool CancelScheduledWork(ScheduledWorkId id);

// Starts a simulated thread that is a member of the machine from its first instruction and runs
// body at PASSIVE_LEVEL. The caller receives one reference to the thread object, which is
// signalled when the thread ends. Returns null when the host cannot start a thread.
PKTHREAD CreateThread(const char* name, std::function<void()> body);

// Waits inside this scope are a service thread waiting for work (a worker with an empty queue):
// they do not count as a deadlock when every other member is blocked.
class IdleWaitScope {
public:
    IdleWaitScope();
    ~IdleWaitScope();
    IdleWaitScope(const IdleWaitScope&) = delete;
    IdleWaitScope& operator=(const IdleWaitScope&) = delete;

private:
    bool m_previous;
};

// Set timers and queued DPCs that still lead into the module loaded at moduleBase (dladdr's
// dli_fbase): the timer, the DPC or its routine lies in the module. One description each, for
// the verifier's check before the module is unloaded.
std::vector<std::string> TimersAndDpcsOfModule(const void* moduleBase);
// Running system threads whose start routine lies in the module loaded at moduleBase.
std::vector<std::string> SystemThreadsOfModule(const void* moduleBase);

// Pool calls this before releasing [p, p + size): a queued timer or DPC, or an object some thread
// waits on, inside the block is a bug check. Also forgets what the kernel recorded about it.
void CheckFreedMemory(const void* p, size_t size);

}  // namespace sim::ke
