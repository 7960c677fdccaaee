// The test main's per-test checks fail a test that ends above PASSIVE_LEVEL and return the thread
// to PASSIVE_LEVEL, so the tests after it start clean.
#include "support/pool_leak_listener.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <win/kernel.h>

namespace {

KSPIN_LOCK g_lock;

// Runs the listener around a "test" that leaves the thread as raise says.
void EndATest(void (*raise)()) {
    kvtest::PoolLeakListener listener;
    const testing::TestInfo& info = *testing::UnitTest::GetInstance()->current_test_info();
    listener.OnTestStart(info);
    raise();
    listener.OnTestEnd(info);
}

TEST(VerifierListener, FailsATestThatEndsRaised) {
    EXPECT_NONFATAL_FAILURE(EndATest([] { KeRaiseIrqlToDpcLevel(); }),
                            "the test ended above PASSIVE_LEVEL: IRQL 2");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(VerifierListener, FailsATestThatEndsHoldingASpinLock) {
    EXPECT_NONFATAL_FAILURE(EndATest([] {
                                KeInitializeSpinLock(&g_lock);
                                KIRQL old;
                                KeAcquireSpinLock(&g_lock, &old);
                            }),
                            "the test ended above PASSIVE_LEVEL: IRQL 2, holding spin lock 0x");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The thread holds nothing any more: lowering again is no bug check.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old);
}

TEST(VerifierListener, PassesATestThatEndsAtPassiveLevel) { EndATest([] {}); }

}  // namespace
