// Kernel timers, DPCs and platform work on the DPC thread.
#include "../../platform/kernel/scheduler.h"
#include "kernel_helpers.h"

#include <atomic>
#include <vector>

using namespace kernel_test;
using sim::machine::Now;

namespace {

void CountDpc(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(context); }

struct TimerCase {
    const char* name;
    TIMER_TYPE type;
    bool absolute;
    Time due;
    LONG periodMs;
    Time runFor;
    int expectedDpcs;
    BOOLEAN expectedState;
};

class KernelTimer : public testing::TestWithParam<TimerCase> {};

TEST_P(KernelTimer, ExpiresOnScheduleInVirtualTime) {
    const TimerCase& c = GetParam();
    std::atomic<int> count{0};
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &count);
    KTIMER timer;
    KeInitializeTimerEx(&timer, c.type);
    EXPECT_FALSE(KeSetTimerEx(&timer, c.absolute ? AbsoluteIn(c.due) : Relative(c.due), c.periodMs, &dpc));
    Delay(c.runFor);
    KeFlushQueuedDpcs();
    EXPECT_EQ(count.load(), c.expectedDpcs);
    EXPECT_EQ(KeReadStateTimer(&timer), c.expectedState);
    EXPECT_EQ(KeCancelTimer(&timer), c.periodMs > 0 || c.expectedDpcs == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, KernelTimer,
    testing::Values(
        TimerCase{"Periodic10msForOneSecond", NotificationTimer, false, 10 * kMillisecond, 10, kSecond, 100, TRUE},
        TimerCase{"PeriodicFirstDueOffPeriod", NotificationTimer, false, 25 * kMillisecond, 10, 100 * kMillisecond, 8, TRUE},
        TimerCase{"OneShotRelative", NotificationTimer, false, 50 * kMillisecond, 0, 100 * kMillisecond, 1, TRUE},
        TimerCase{"OneShotAbsoluteNotYetDue", NotificationTimer, true, 40 * kMillisecond, 0, 39 * kMillisecond, 0, FALSE},
        TimerCase{"SynchronizationStaysSignalledWithoutWaiters", SynchronizationTimer, false, kMillisecond, 0,
                  2 * kMillisecond, 1, TRUE}),
    [](const testing::TestParamInfo<TimerCase>& info) { return info.param.name; });

TEST(KernelTimerControl, ResetAndCancelReportWhetherTheTimerWasSet) {
    std::atomic<int> count{0};
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &count);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kMillisecond), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(20 * kMillisecond), &dpc));  // re-set: only the new due time counts
    Time before = Now();
    EXPECT_EQ(Wait(&timer, kSecond), STATUS_WAIT_0);
    EXPECT_EQ(Now() - before, 20 * kMillisecond);
    KeFlushQueuedDpcs();
    EXPECT_EQ(count.load(), 1);

    EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kMillisecond), &dpc));
    EXPECT_FALSE(KeReadStateTimer(&timer));  // setting clears the signal
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    Delay(50 * kMillisecond);
    KeFlushQueuedDpcs();
    EXPECT_EQ(count.load(), 1);
}

TEST(KernelTimerControl, SatisfiedWaitResetsASynchronizationTimerOnly) {
    for (TIMER_TYPE type : {NotificationTimer, SynchronizationTimer}) {
        KTIMER timer;
        KeInitializeTimerEx(&timer, type);
        KeSetTimer(&timer, Relative(5 * kMillisecond), nullptr);
        EXPECT_EQ(Wait(&timer, kSecond), STATUS_WAIT_0);
        EXPECT_EQ(KeReadStateTimer(&timer), type == NotificationTimer ? TRUE : FALSE);
    }
}

struct OrderContext {
    int id;
    KSPIN_LOCK* gate;
    std::vector<int>* order;
    std::vector<KIRQL>* irqls;
    std::vector<PKTHREAD>* threads;
};

void RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<OrderContext*>(context);
    if (c->id == 0) {
        // Holds the DPC thread until the test has arranged the queue.
        KeAcquireSpinLockAtDpcLevel(c->gate);
        KeReleaseSpinLockFromDpcLevel(c->gate);
    }
    c->order->push_back(c->id);
    c->irqls->push_back(KeGetCurrentIrql());
    c->threads->push_back(KeGetCurrentThread());
}

TEST(KernelDpc, RunInQueueOrderAtDispatchOnTheDpcThread) {
    KSPIN_LOCK gate;
    KeInitializeSpinLock(&gate);
    std::vector<int> order;
    std::vector<KIRQL> irqls;
    std::vector<PKTHREAD> threads;
    OrderContext contexts[5];
    KDPC dpcs[5];
    for (int i = 0; i < 5; ++i) {
        contexts[i] = {i, &gate, &order, &irqls, &threads};
        KeInitializeDpc(&dpcs[i], RecordDpc, &contexts[i]);
    }
    KIRQL old;
    KeAcquireSpinLock(&gate, &old);
    for (KDPC& dpc : dpcs) EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpcs[3], nullptr, nullptr));  // already queued
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcs[2]));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpcs[2]));
    KeReleaseSpinLock(&gate, old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3, 4}));
    EXPECT_EQ(irqls, std::vector<KIRQL>(4, DISPATCH_LEVEL));
    for (PKTHREAD t : threads) {
        EXPECT_NE(t, KeGetCurrentThread());
        EXPECT_EQ(t, threads[0]);
    }
    EXPECT_TRUE(KeInsertQueueDpc(&dpcs[2], nullptr, nullptr));  // may be queued again once run or removed
    KeFlushQueuedDpcs();
    EXPECT_EQ(order.back(), 2);
}

TEST(KernelDpc, ScheduledWorkRunsAtItsTimeAndCanBeCancelled) {
    Time start = Now();
    std::atomic<Time> ranAt{-1};
    std::atomic<KIRQL> irql{0};
    std::atomic<bool> cancelledRan{false};
    sim::ke::ScheduleDispatchWork(start + 5 * kMillisecond, [&] {
        ranAt = Now();
        irql = KeGetCurrentIrql();
    });
    auto cancelled = sim::ke::ScheduleDispatchWork(start + 6 * kMillisecond, [&] { cancelledRan = true; });
    EXPECT_TRUE(sim::ke::CancelScheduledWork(cancelled));
    EXPECT_FALSE(sim::ke::CancelScheduledWork(cancelled));
    Delay(10 * kMillisecond);
    KeFlushQueuedDpcs();
    EXPECT_EQ(ranAt.load(), start + 5 * kMillisecond);
    EXPECT_EQ(irql.load(), DISPATCH_LEVEL);
    EXPECT_FALSE(cancelledRan.load());
}

}  // namespace
