// Events, kernel mutexes, semaphores and the wait rules drivers rely on.
#include "kernel_helpers.h"

#include <atomic>
#include <vector>

using namespace kernel_test;

namespace {

// Polls object from another member thread; releases a mutex the poll acquired.
NTSTATUS PollFromOtherThread(PVOID object) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Join(Start([&] {
        status = Poll(object);
        if (status == STATUS_WAIT_0 && static_cast<DISPATCHER_HEADER*>(object)->Type == MutantObject) {
            KeReleaseMutex(static_cast<PKMUTEX>(object), FALSE);
        }
    }));
    return status;
}

std::vector<LONG> States(std::vector<KEVENT>& events) {
    std::vector<LONG> states;
    for (KEVENT& e : events) states.push_back(KeReadStateEvent(&e));
    return states;
}

struct WaitCase {
    const char* name;
    EVENT_TYPE type;
    WAIT_TYPE waitType;
    ULONG count;
    std::vector<ULONG> signalled;
    NTSTATUS expected;
    std::vector<ULONG> signalledAfter;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class WaitRules : public testing::TestWithParam<WaitCase> {};

// A poll (zero time-out) is also allowed at DISPATCH_LEVEL, where DPCs use it, with the same result.
TEST_P(WaitRules, PollGivesStatusAndConsumesOnlyWhatTheRulesSay) {
    const WaitCase& c = GetParam();
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
        std::vector<KEVENT> events(c.count);
        std::vector<PVOID> objects;
        for (KEVENT& e : events) {
            KeInitializeEvent(&e, c.type, FALSE);
            objects.push_back(&e);
        }
        for (ULONG i : c.signalled) KeSetEvent(&events[i], 0, FALSE);
        std::vector<KWAIT_BLOCK> blocks(MAXIMUM_WAIT_OBJECTS);
        LARGE_INTEGER zero{};
        KIRQL old;
        KeRaiseIrql(irql, &old);
        NTSTATUS status = KeWaitForMultipleObjects(c.count, objects.data(), c.waitType, Executive, KernelMode, FALSE,
                                                   &zero, blocks.data());
        KeLowerIrql(old);
        EXPECT_EQ(status, c.expected) << "IRQL " << int{irql};
        std::vector<LONG> expectedStates(c.count, 0);
        for (ULONG i : c.signalledAfter) expectedStates[i] = 1;
        EXPECT_EQ(States(events), expectedStates) << "IRQL " << int{irql};
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, WaitRules,
    testing::Values(
        WaitCase{"AnyLowestIndexWins", NotificationEvent, WaitAny, 3, {1, 2}, STATUS_WAIT_1, {1, 2}},
        WaitCase{"AnyAllSignalled", NotificationEvent, WaitAny, 3, {0, 1, 2}, STATUS_WAIT_0, {0, 1, 2}},
        WaitCase{"AnySynchronizationResetsOnlyTheWinner", SynchronizationEvent, WaitAny, 3, {0, 2}, STATUS_WAIT_0, {2}},
        WaitCase{"AnyNoneSignalledTimesOut", SynchronizationEvent, WaitAny, 3, {}, STATUS_TIMEOUT, {}},
        WaitCase{"AnyLastOfSixtyFour", SynchronizationEvent, WaitAny, 64, {63}, STATUS_WAIT_63, {}},
        WaitCase{"AllMissingOneConsumesNothing", SynchronizationEvent, WaitAll, 2, {0}, STATUS_TIMEOUT, {0}},
        WaitCase{"AllSynchronizationResetsEvery", SynchronizationEvent, WaitAll, 3, {0, 1, 2}, STATUS_WAIT_0, {}},
        WaitCase{"AllNotificationKeepsState", NotificationEvent, WaitAll, 3, {0, 1, 2}, STATUS_WAIT_0, {0, 1, 2}}),
    [](const testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

TEST(KernelWait, BlockedWaitsWakeWithTheRightStatus) {
    // WaitAny woken by the object at index 2; WaitAll woken only by the last missing object.
    for (WAIT_TYPE type : {WaitAny, WaitAll}) {
        KEVENT events[3];
        PVOID objects[3];
        for (int i = 0; i < 3; ++i) {
            KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
            objects[i] = &events[i];
        }
        if (type == WaitAll) {
            KeSetEvent(&events[0], 0, FALSE);
            KeSetEvent(&events[1], 0, FALSE);
        }
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        PKTHREAD waiter = Start([&] {
            status = KeWaitForMultipleObjects(3, objects, type, Executive, KernelMode, FALSE, nullptr, nullptr);
        });
        Delay(kMillisecond);  // the waiter blocks
        EXPECT_EQ(status.load(), STATUS_PENDING);
        KeSetEvent(&events[2], 0, FALSE);
        Join(waiter);
        EXPECT_EQ(status.load(), type == WaitAny ? STATUS_WAIT_0 + 2 : STATUS_WAIT_0);
        for (KEVENT& e : events) EXPECT_EQ(KeReadStateEvent(&e), 0) << "type " << type;
    }
}

TEST(KernelEvent, SetAndResetReturnThePreviousState) {
    struct Step {
        enum { Set, Reset, Clear } op;
        LONG returned;  // ignored for Clear
        LONG stateAfter;
    };
    const Step script[] = {{Step::Set, 0, 1}, {Step::Set, 1, 1}, {Step::Reset, 1, 0},
                           {Step::Reset, 0, 0}, {Step::Set, 0, 1}, {Step::Clear, 0, 0}};
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        for (const Step& s : script) {
            switch (s.op) {
                case Step::Set: EXPECT_EQ(KeSetEvent(&event, 0, FALSE), s.returned); break;
                case Step::Reset: EXPECT_EQ(KeResetEvent(&event), s.returned); break;
                case Step::Clear: KeClearEvent(&event); break;
            }
            EXPECT_EQ(KeReadStateEvent(&event), s.stateAfter);
        }
    }
}

TEST(KernelEvent, NotificationReleasesEveryWaiterSynchronizationOne) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> woken{0};
        std::vector<PKTHREAD> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(Start([&] {
                if (Wait(&event, 100 * kMillisecond) == STATUS_WAIT_0) ++woken;
            }));
        }
        Delay(kMillisecond);
        KeSetEvent(&event, 0, FALSE);
        for (PKTHREAD t : waiters) Join(t);
        EXPECT_EQ(woken.load(), type == NotificationEvent ? 3 : 1);
        EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
    }
}

TEST(KernelMutex, RecursiveForTheOwnerExclusiveForOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    ASSERT_EQ(Wait(&mutex, kSecond), STATUS_WAIT_0);
    ASSERT_EQ(Poll(&mutex), STATUS_WAIT_0);  // recursion
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(PollFromOtherThread(&mutex), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(PollFromOtherThread(&mutex), STATUS_TIMEOUT);  // still held once
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(PollFromOtherThread(&mutex), STATUS_WAIT_0);
}

TEST(KernelMutex, ReleaseHandsOwnershipToTheWaiter) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(Poll(&mutex), STATUS_WAIT_0);
    std::atomic<LONG> stateSeenByWaiter{99};
    PKTHREAD waiter = Start([&] {
        ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        stateSeenByWaiter = KeReadStateMutex(&mutex);
        KeReleaseMutex(&mutex, FALSE);
    });
    Delay(kMillisecond);
    EXPECT_EQ(stateSeenByWaiter.load(), 99);
    KeReleaseMutex(&mutex, FALSE);
    Join(waiter);
    EXPECT_EQ(stateSeenByWaiter.load(), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(KernelSemaphore, CountsDownOnWaitsAndUpOnRelease) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(Poll(&semaphore), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&semaphore), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

}  // namespace
