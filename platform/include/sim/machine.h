// Control of the simulated machine: its clock, clock modes, waiting for conditions, the thread
// dump and the verifier balances of the kernel's scheduler, timers and callbacks.
//
// The machine starts on first use. Every host thread that calls into the kernel joins it and
// counts as running until it waits in the kernel; in virtual mode the clock only moves when
// every member waits, and then jumps to the earliest deadline.
#pragma once

#include <win/ke.h>

#include <cstdint>
#include <functional>
#include <string>

namespace sim::machine {

// Simulated time in 100 ns units since the machine started (the interrupt time).
using Time = int64_t;
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

Time Now();

enum class ClockMode { Virtual, RealTime };
ClockMode Mode();
// Virtual mode (the default): time jumps to the next deadline when every member waits.
void SetVirtualTime();
// Real-time mode: simulated time follows the host clock multiplied by speed (> 0).
void SetRealTime(double speed);

// Waits in the machine until predicate() is true, re-checking every simulated millisecond, for
// at most limit (100 ns units). Returns the last result of predicate(). At or below APC_LEVEL.
bool RunUntil(const std::function<bool()>& predicate, Time limit);
// Lets the machine run for duration (100 ns units) while the caller waits.
void RunFor(Time duration);

// Starts a host thread that is a member of the machine from its first instruction (use it instead
// of std::thread for test threads that call into the kernel). The thread runs at PASSIVE_LEVEL
// and leaves the machine when body returns. The returned thread object holds one reference for the
// caller (ObDereferenceObject); it is signalled when the thread ends.
PKTHREAD StartThread(const char* name, std::function<void()> body);

// One line per member of the machine: its name, state and, when it waits, each object it waits on
// (address, kind, state, who signalled it last) and its deadline.
std::string DumpThreads();

// Verifier balances.
size_t SystemThreadsRunning();          // PsCreateSystemThread threads that have not ended
int64_t TimerResolutionRequests();      // ExSetTimerResolution requests not yet released
ULONG CurrentTimerResolution();         // 100 ns units
size_t CallbackRegistrations();         // ExRegisterCallback registrations not yet removed
KPRIORITY ThreadPriority(PKTHREAD thread);

}  // namespace sim::machine
