// Aligned blocks through the allocator hooks, and the dispatch stubs.
#include "signal_test_util.h"

#include "driver/signal/SignalDispatch.h"
#include "driver/signal/SignalMemory.h"

#include <sim/pool.h>

#include <cstdint>

namespace {

TEST(SignalMemory, AlignedBlockSitsInsideItsPoolBlockWithTheRawPointerBelow) {
    for (LONG n : {1, 7, 32, 33, 1000, 65536}) {
        SCOPED_TRACE(n);
        void* p = AllocAligned(n);
        ASSERT_NE(p, nullptr);
        const auto address = reinterpret_cast<uintptr_t>(p);
        EXPECT_EQ(address % 32, 0u);
        void* raw = static_cast<void**>(p)[-1];
        const uintptr_t rawAddress = reinterpret_cast<uintptr_t>(raw);
        EXPECT_GE(address - rawAddress, 8u);
        EXPECT_LE(address - rawAddress, 39u);
        sim::pool::BlockInfo info;
        ASSERT_TRUE(sim::pool::QueryBlock(raw, &info));
        EXPECT_EQ(info.bytes, static_cast<SIZE_T>(n) + 40);
        EXPECT_EQ(info.tag, SignalPoolTag);
        EXPECT_EQ(info.type & 1, 0) << "non-paged";
        EXPECT_LE(address + static_cast<uintptr_t>(n), rawAddress + info.bytes);
        FreeAligned(p);
        EXPECT_FALSE(sim::pool::QueryBlock(raw, &info));
    }
}

TEST(SignalMemory, NothingIsAllocatedForEmptyRequestsAndFailuresPassThrough) {
    const uint64_t before = sim::pool::AllocationAttempts();
    EXPECT_EQ(AllocAligned(0), nullptr);
    EXPECT_EQ(AllocAligned(-5), nullptr);
    EXPECT_EQ(sim::pool::AllocationAttempts(), before);
    FreeAligned(nullptr);

    sim::pool::FailNthAllocation(1, SignalPoolTag);
    EXPECT_EQ(AllocAligned(64), nullptr);
    sim::pool::DisarmFaults();
}

TEST(SignalMemory, HooksAllocateUnderTheLibraryTag) {
    EXPECT_EQ(AllocatorHooks.Reallocate(nullptr, 16), nullptr);
    void* array = AllocatorHooks.AllocateArray(3, 24);
    ASSERT_NE(array, nullptr);
    sim::pool::BlockInfo info;
    ASSERT_TRUE(sim::pool::QueryBlock(array, &info));
    EXPECT_EQ(info.bytes, 72u);
    EXPECT_EQ(info.tag, SignalPoolTag);
    AllocatorHooks.Free(array);
    // A product beyond 64 bits is refused, not wrapped into a small block.
    EXPECT_EQ(SignalAllocArray(0xFFFFFFFF, 0x0000000100000001ull + (1ull << 63)), nullptr);
}

// Every operation runs the generic column, whatever the processor, and the stub reads the class
// on every call.
TEST(SignalDispatch, EveryColumnRunsTheGenericImplementation) {
    EXPECT_EQ(CpuClass, 0);
    for (const auto* row : {&SignalDispatchTable2.MaxFloat.column, &SignalDispatchTable2.MinFloat.column}) {
        for (LONG c = 1; c < CpuClassCount; ++c) EXPECT_EQ((*row)[c], (*row)[0]);
    }
    EXPECT_EQ(SignalDispatchTable1.ConvertFloatToInt16.column[3], &ConvertFloatToInt16_Generic);
    EXPECT_EQ(SignalDispatchTable2.PowFloat.column[0], &PowFloat_Generic);
    const float v[3] = {1.0f, 3.0f, 2.0f};
    float hi = 0;
    for (LONG cls : {0, 1, 2, 3}) {
        CpuClass = cls;
        EXPECT_EQ(MaxFloat(v, 3, &hi), StatusOk);
        EXPECT_EQ(hi, 3.0f);
    }
    CpuClass = 0;
}

}  // namespace
