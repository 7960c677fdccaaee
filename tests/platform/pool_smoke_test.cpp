#include <gtest/gtest.h>
#include <win/kernel.h>

TEST(PoolSmoke, AllocatesAndFrees) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 64, 'tseT');
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, 'tseT');
}
