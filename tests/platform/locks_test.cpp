// Spin locks exclude each other across threads; the lock-order verifier forgets re-initialised
// and freed locks.
#include "../../platform/kernel/lock_order.h"
#include "kernel_helpers.h"

#include <vector>

using namespace kernel_test;

namespace {

enum class Form { Classic, AtDpcLevel, InStackQueued };

void LockedIncrement(KSPIN_LOCK* lock, Form form, long* counter) {
    switch (form) {
        case Form::Classic: {
            KIRQL old;
            KeAcquireSpinLock(lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            ++*counter;
            KeReleaseSpinLock(lock, old);
            break;
        }
        case Form::AtDpcLevel: {
            KIRQL old = KeRaiseIrqlToDpcLevel();
            KeAcquireSpinLockAtDpcLevel(lock);
            ++*counter;
            KeReleaseSpinLockFromDpcLevel(lock);
            KeLowerIrql(old);
            break;
        }
        case Form::InStackQueued: {
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(lock, &handle);
            ++*counter;
            KeReleaseInStackQueuedSpinLock(&handle);
            break;
        }
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class SpinLockForm : public testing::TestWithParam<Form> {};

TEST_P(SpinLockForm, ExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately not atomic: the lock must order every access
    constexpr int kThreads = 4;
    constexpr int kIterations = 20'000;
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(Start([&] {
            for (int i = 0; i < kIterations; ++i) LockedIncrement(&lock, GetParam(), &counter);
        }));
    }
    for (PKTHREAD t : threads) Join(t);
    EXPECT_EQ(counter, kThreads * kIterations);
}

INSTANTIATE_TEST_SUITE_P(Kernel, SpinLockForm, testing::Values(Form::Classic, Form::AtDpcLevel, Form::InStackQueued),
                         [](const testing::TestParamInfo<Form>& info) {
                             switch (info.param) {
                                 case Form::Classic: return "Classic";
                                 case Form::AtDpcLevel: return "AtDpcLevel";
                                 case Form::InStackQueued: return "InStackQueued";
                             }
                             return "";
                         });

void TakeInOrder(KSPIN_LOCK* first, KSPIN_LOCK* second) {
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
}

TEST(LockOrder, ForgottenLocksMayBeTakenInTheOtherOrder) {
    struct Case {
        const char* name;
        void (*forget)(KSPIN_LOCK* locks);
    };
    const Case cases[] = {
        {"re-initialised", [](KSPIN_LOCK* locks) { KeInitializeSpinLock(&locks[0]); }},
        {"freed", [](KSPIN_LOCK* locks) { sim::lockorder::ForgetRange(locks, 2 * sizeof(KSPIN_LOCK)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KSPIN_LOCK locks[2];
        KeInitializeSpinLock(&locks[0]);
        KeInitializeSpinLock(&locks[1]);
        TakeInOrder(&locks[0], &locks[1]);
        TakeInOrder(&locks[0], &locks[1]);  // the same order again is fine
        c.forget(locks);
        TakeInOrder(&locks[1], &locks[0]);
        sim::lockorder::ForgetRange(locks, sizeof locks);
    }
}

TEST(LockOrder, MutexHeldAcrossASpinLockIsTracked) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ASSERT_EQ(Poll(&mutex), STATUS_WAIT_0);
    EXPECT_TRUE(sim::lockorder::IsHeld(&mutex));
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(sim::lockorder::HeldCount(), 2u);
    KeReleaseSpinLock(&lock, old);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(sim::lockorder::HeldCount(), 0u);
    sim::lockorder::ForgetRange(&mutex, sizeof mutex);
    sim::lockorder::Forget(&lock);
}

}  // namespace
