// The machine's clock: time-outs in virtual time, RunUntil, real-time mode, the time queries and
// the timer resolution balance.
#include "kernel_helpers.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace kernel_test;
using sim::machine::kMicrosecond;
using sim::machine::Now;

namespace {

struct TimeoutCase {
    const char* name;
    enum { Relative, Absolute, AbsolutePast, Zero } kind;
    Time amount;
    Time expectedAdvance;
};

class KernelTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(KernelTimeout, UnsignalledWaitTimesOutAfterExactlyItsTimeout) {
    const TimeoutCase& c = GetParam();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout{};
    switch (c.kind) {
        case TimeoutCase::Relative: timeout = kernel_test::Relative(c.amount); break;
        case TimeoutCase::Absolute: timeout = AbsoluteIn(c.amount); break;
        case TimeoutCase::AbsolutePast: timeout = AbsoluteIn(-c.amount); break;
        case TimeoutCase::Zero: break;
    }
    Time before = Now();
    const auto wallBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    const auto wall = std::chrono::steady_clock::now() - wallBefore;
    EXPECT_EQ(Now() - before, c.expectedAdvance);
    // The host never sleeps for a virtual time-out: a long one returns well before its length.
    if (c.expectedAdvance >= 100 * kMillisecond) {
        EXPECT_LT(wall, std::chrono::microseconds(c.expectedAdvance / kMicrosecond / 2));
    }
}

// A 500 ms time-out costs no wall time: virtual time jumps when every thread waits.
INSTANTIATE_TEST_SUITE_P(
    Kernel, KernelTimeout,
    testing::Values(TimeoutCase{"Relative500ms", TimeoutCase::Relative, 500 * kMillisecond, 500 * kMillisecond},
                    TimeoutCase{"Relative1us", TimeoutCase::Relative, 10, 10},
                    TimeoutCase{"Absolute200ms", TimeoutCase::Absolute, 200 * kMillisecond, 200 * kMillisecond},
                    TimeoutCase{"AbsoluteInThePast", TimeoutCase::AbsolutePast, kSecond, 0},
                    TimeoutCase{"ZeroPolls", TimeoutCase::Zero, 0, 0}),
    [](const testing::TestParamInfo<TimeoutCase>& info) { return info.param.name; });

TEST(KernelClock, DelayAdvancesExactlyAndSignalBeatsTimeout) {
    Time before = Now();
    Delay(30 * kMillisecond);
    EXPECT_EQ(Now() - before, 30 * kMillisecond);

    // A thread that wakes at 20 ms sets the event the main thread waits on with a 50 ms time-out.
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PKTHREAD setter = Start([&] {
        Delay(20 * kMillisecond);
        KeSetEvent(&event, 0, FALSE);
    });
    before = Now();
    EXPECT_EQ(Wait(&event, 50 * kMillisecond), STATUS_WAIT_0);
    EXPECT_EQ(Now() - before, 20 * kMillisecond);
    Join(setter);
}

TEST(KernelClock, TimeDoesNotMoveBetweenASignalAndTheWokenThreadRunning) {
    // The woken thread answers at once; if time could jump before it runs, the main thread's
    // short time-out would expire first.
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 200;
    PKTHREAD echo = Start([&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    Time before = Now();
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        ASSERT_EQ(Wait(&pong, 10), STATUS_WAIT_0) << "round " << i;
    }
    EXPECT_EQ(Now(), before);
    Join(echo);
}

TEST(KernelClock, AHostThreadHoldsTimeStillWhileItRunsAndLeavesWhenItEnds) {
    KEVENT joined;
    KeInitializeEvent(&joined, NotificationEvent, FALSE);
    std::atomic<bool> workDone{false};
    std::thread host([&] {
        KeSetEvent(&joined, 0, FALSE);  // the first call joins the machine
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // host work while running
        workDone = true;
    });
    // Not a kernel wait: until its first call the host thread is no member, so a wait here would
    // be a deadlock.
    while (KeReadStateEvent(&joined) == 0) std::this_thread::yield();
    Time before = Now();
    Delay(5 * kMillisecond);  // can only expire once the host thread has ended and left
    EXPECT_TRUE(workDone.load());
    EXPECT_EQ(Now() - before, 5 * kMillisecond);
    host.join();
    EXPECT_EQ(sim::machine::DumpThreads().find("host thread"), std::string::npos);
}

TEST(KernelClock, RunUntilChecksEveryMillisecondAndStopsAtTheLimit) {
    std::atomic<bool> done{false};
    PKTHREAD worker = Start([&] {
        Delay(30 * kMillisecond + 5'000);  // 30.5 ms
        done = true;
    });
    Time before = Now();
    EXPECT_TRUE(sim::machine::RunUntil([&] { return done.load(); }, kSecond));
    EXPECT_EQ(Now() - before, 31 * kMillisecond);  // seen at the next millisecond check
    Join(worker);

    before = Now();
    EXPECT_FALSE(sim::machine::RunUntil([] { return false; }, 250 * kMillisecond));
    EXPECT_EQ(Now() - before, 250 * kMillisecond);
}

TEST(KernelClock, RealTimeModeFollowsTheHostClock) {
    sim::machine::SetRealTime(100.0);
    EXPECT_EQ(sim::machine::Mode(), sim::machine::ClockMode::RealTime);
    Time before = Now();
    Delay(500 * kMillisecond);  // about 5 ms of host time
    EXPECT_GE(Now() - before, 500 * kMillisecond);
    // The clock moves with the host clock even while a member runs.
    before = Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(Now() - before, 0);
    sim::machine::SetVirtualTime();
    EXPECT_EQ(sim::machine::Mode(), sim::machine::ClockMode::Virtual);
    before = Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(Now(), before);  // virtual time holds still while a member runs
}

TEST(KernelClock, QueriesReadTheOneClock) {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER system{};
    LARGE_INTEGER ticks{};
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    KeQuerySystemTime(&system);
    KeQueryTickCount(&ticks);
    ULONGLONG interrupt = KeQueryInterruptTime();
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    EXPECT_EQ(static_cast<ULONGLONG>(counter.QuadPart), interrupt);
    EXPECT_EQ(system.QuadPart - static_cast<LONGLONG>(interrupt), 133'485'408'000'000'000LL);
    EXPECT_EQ(ticks.QuadPart, static_cast<LONGLONG>(interrupt / KeQueryTimeIncrement()));
}

TEST(KernelClock, TimerResolutionRequestsAreCounted) {
    const int64_t base = sim::machine::TimerResolutionRequests();
    EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
    EXPECT_EQ(ExSetTimerResolution(1'000, TRUE), 5'000u);  // clamped to the finest resolution
    EXPECT_EQ(sim::machine::TimerResolutionRequests(), base + 2);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 5'000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156'250u);
    EXPECT_EQ(sim::machine::TimerResolutionRequests(), base);
    EXPECT_EQ(sim::machine::CurrentTimerResolution(), 156'250u);
}

}  // namespace
