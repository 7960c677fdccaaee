// Test main for every suite: death tests re-execute the binary (threads are running), and the
// verifier's per-test checks are installed as listeners.
#include "support/pool_leak_listener.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new kvtest::PoolLeakListener);
    return RUN_ALL_TESTS();
}
