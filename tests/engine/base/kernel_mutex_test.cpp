// KernelMutex: recursive for its owner, exclusive for every other thread.
#include "driver/engine/base/KernelMutex.h"

#include <gtest/gtest.h>
#include <sim/machine.h>

#include <atomic>
#include <functional>

namespace {

void RunOnMachineThread(std::function<void()> body) {
    PKTHREAD thread = sim::machine::StartThread("mutex test", std::move(body));
    ASSERT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

TEST(KernelMutex, RecursiveForTheOwnerAndRefusedToOthersUntilFullyUnlocked) {
    KernelMutex mutex;
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.TryLock());
    bool otherTook = true;
    RunOnMachineThread([&] { otherTook = mutex.TryLock(); });
    EXPECT_FALSE(otherTook);

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.UnlockResident());
    RunOnMachineThread([&] { otherTook = mutex.TryLock(); });
    EXPECT_FALSE(otherTook) << "one level still held";

    EXPECT_TRUE(mutex.Unlock());
    RunOnMachineThread([&] {
        otherTook = mutex.TryLock();
        if (otherTook) mutex.Unlock();
    });
    EXPECT_TRUE(otherTook);
    EXPECT_FALSE(mutex.ReservedFalse1());
    EXPECT_FALSE(mutex.ReservedFalse2());
}

TEST(KernelMutex, LockWaitsUntilTheOwnerUnlocks) {
    KernelMutex mutex;
    mutex.Lock();
    std::atomic<bool> acquired{false};
    PKTHREAD waiter = sim::machine::StartThread("waiter", [&] {
        mutex.Lock();
        acquired = true;
        mutex.Unlock();
    });
    sim::machine::RunFor(10 * sim::machine::kMillisecond);
    EXPECT_FALSE(acquired);
    mutex.Unlock();
    EXPECT_EQ(KeWaitForSingleObject(waiter, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(acquired);
    ObDereferenceObject(waiter);
}

}  // namespace
