// Pool accounting, alignment, fill, fault injection and leak reports.
#include "support/pool_faults.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sim/pool.h>
#include <win/kernel.h>

#include <thread>
#include <vector>

namespace {

// Tags no other test uses, so usage figures start from zero in each test.
constexpr ULONG kTagA = 'AtsT';
constexpr ULONG kTagB = 'BtsT';

struct Case {
    const char* name;
    POOL_TYPE type;
    SIZE_T bytes;
    uintptr_t alignment;
};

class PoolTypes : public testing::TestWithParam<Case> {};

TEST_P(PoolTypes, AlignsFillsAndAccountsByTagAndType) {
    const Case& c = GetParam();
    const ULONG tag = 'PtsT';
    const sim::pool::Usage tagBefore = sim::pool::TagUsage(tag);
    const sim::pool::Usage typeBefore = sim::pool::TypeUsage(c.type);

    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(c.type, c.bytes, tag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
    // Not zeroed: code that forgets to initialise reads the pattern.
    for (SIZE_T i = 0; i < c.bytes; ++i) ASSERT_EQ(p[i], 0xA5) << "byte " << i;
    p[c.bytes - 1] = 0;  // the whole block is usable

    sim::pool::BlockInfo info;
    ASSERT_TRUE(sim::pool::QueryBlock(p, &info));
    EXPECT_EQ(info.tag, tag);
    EXPECT_EQ(info.type, c.type);
    EXPECT_EQ(info.bytes, c.bytes);
    EXPECT_EQ(sim::pool::TagUsage(tag).bytes, tagBefore.bytes + c.bytes);
    EXPECT_EQ(sim::pool::TagUsage(tag).blocks, tagBefore.blocks + 1);
    EXPECT_EQ(sim::pool::TypeUsage(c.type).bytes, typeBefore.bytes + c.bytes);

    ExFreePoolWithTag(p, tag);
    EXPECT_FALSE(sim::pool::QueryBlock(p, &info));
    const sim::pool::Usage tagAfter = sim::pool::TagUsage(tag);
    EXPECT_EQ(tagAfter.bytes, tagBefore.bytes);
    EXPECT_EQ(tagAfter.blocks, tagBefore.blocks);
    EXPECT_EQ(tagAfter.allocations, tagBefore.allocations + 1);
    EXPECT_EQ(sim::pool::TypeUsage(c.type).bytes, typeBefore.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, PoolTypes,
    testing::Values(Case{"NonPaged", NonPagedPool, 24, 16}, Case{"Paged", PagedPool, 1, 16},
                    Case{"NonPagedNx", NonPagedPoolNx, 100, 16},
                    Case{"NonPagedCacheAligned", NonPagedPoolCacheAligned, 24, 64},
                    Case{"NonPagedNxCacheAligned", NonPagedPoolNxCacheAligned, 65, 64},
                    Case{"PagedCacheAligned", PagedPoolCacheAligned, 3, 64},
                    Case{"NonPagedPage", NonPagedPoolNx, 4096, 4096}, Case{"PagedPages", PagedPool, 9000, 4096}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Pool, PeaksFollowTheHighestUseUntilReset) {
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 50, kTagA);
    ExFreePool(a);
    sim::pool::Usage u = sim::pool::TagUsage(kTagA);
    EXPECT_EQ(u.bytes, 50u);
    EXPECT_EQ(u.peakBytes, 150u);
    EXPECT_EQ(u.peakBlocks, 2u);
    sim::pool::ResetPeaks();
    EXPECT_EQ(sim::pool::TagUsage(kTagA).peakBytes, 50u);
    ExFreePool(b);
}

TEST(Pool, RequestsBeyondThePoolFailWithoutBugCheck) {
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T{1} << 40, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, ~SIZE_T{0}, kTagA), nullptr);
    EXPECT_EQ(sim::pool::TagUsage(kTagA).failures, 2u);
}

TEST(Pool, ConcurrentUseKeepsAccountsExact) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::vector<void*> held;
            for (int i = 0; i < kRounds; ++i) {
                held.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8 + (i + t) % 64, kTagB));
                if (i % 3 == 2) {
                    ExFreePoolWithTag(held.front(), kTagB);
                    held.erase(held.begin());
                }
            }
            for (void* p : held) ExFreePool(p);
        });
    }
    for (std::thread& t : threads) t.join();
    const sim::pool::Usage u = sim::pool::TagUsage(kTagB);
    EXPECT_EQ(u.blocks, 0u);
    EXPECT_EQ(u.bytes, 0u);
    EXPECT_EQ(u.allocations, uint64_t{kThreads} * kRounds);
}

// Fault injection: which of a sequence of allocations fail.
struct FaultCase {
    const char* name;
    void (*arm)();
    std::vector<ULONG> tags;     // allocated in this order
    std::vector<bool> failures;  // expected result of each
    bool armedAfter;
};

class PoolFaults : public testing::TestWithParam<FaultCase> {
protected:
    void TearDown() override { sim::pool::DisarmFaults(); }
};

TEST_P(PoolFaults, FailExactlyTheChosenAllocations) {
    const FaultCase& c = GetParam();
    const uint64_t attempts = sim::pool::AllocationAttempts();
    const uint64_t injected = sim::pool::InjectedFailures();
    c.arm();
    uint64_t expectedFailures = 0;
    for (size_t i = 0; i < c.tags.size(); ++i) {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, c.tags[i]);
        EXPECT_EQ(p == nullptr, c.failures[i]) << "allocation " << i + 1;
        if (p != nullptr) ExFreePool(p);
        expectedFailures += c.failures[i] ? 1 : 0;
    }
    EXPECT_EQ(sim::pool::AllocationAttempts() - attempts, c.tags.size());
    EXPECT_EQ(sim::pool::InjectedFailures() - injected, expectedFailures);
    EXPECT_EQ(sim::pool::FaultArmed(), c.armedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, PoolFaults,
    testing::Values(
        FaultCase{"FirstAllocation", [] { sim::pool::FailNthAllocation(1); }, {kTagA, kTagA}, {true, false}, false},
        FaultCase{"ThirdOfAnyTag", [] { sim::pool::FailNthAllocation(3); },
                  {kTagA, kTagB, kTagA, kTagB}, {false, false, true, false}, false},
        FaultCase{"SecondOfOneTag", [] { sim::pool::FailNthAllocation(2, kTagB); },
                  {kTagB, kTagA, kTagA, kTagB, kTagB}, {false, false, false, true, false}, false},
        FaultCase{"NotReachedYet", [] { sim::pool::FailNthAllocation(5); }, {kTagA, kTagA}, {false, false}, true},
        FaultCase{"EveryAllocationOfATag", [] { sim::pool::FailAllocationsWithTag(kTagA); },
                  {kTagA, kTagB, kTagA, kTagA}, {true, false, true, true}, true}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST(PoolFaultsDisarm, EndsEveryFault) {
    sim::pool::FailAllocationsWithTag(kTagA);
    sim::pool::FailNthAllocation(1);
    sim::pool::DisarmFaults();
    EXPECT_FALSE(sim::pool::FaultArmed());
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

// Allocates three blocks and frees them. On a failure it frees what it got, except that with
// `leakOnFailure` the first block is only parked in g_leaked.
void* g_leaked = nullptr;

bool ThreeBlocks(bool leakOnFailure) {
    void* blocks[3] = {};
    for (int i = 0; i < 3; ++i) {
        blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, 8, i == 1 ? kTagB : kTagA);
        if (blocks[i] == nullptr) {
            for (int j = 0; j < i; ++j) {
                if (leakOnFailure && j == 0) {
                    g_leaked = blocks[j];
                } else {
                    ExFreePool(blocks[j]);
                }
            }
            return false;
        }
    }
    for (void* block : blocks) ExFreePool(block);
    return true;
}

TEST(PoolFaultHelper, FailsEachAllocationInTurnAndCountsThem) {
    EXPECT_EQ(kvtest::ExpectCleanAllocationFailures([] { return ThreeBlocks(false); }), 3u);
    EXPECT_EQ(kvtest::ExpectCleanAllocationFailures([] { return ThreeBlocks(false); }, kTagB), 1u);
}

TEST(PoolFaultHelper, ReportsALeakyFailurePath) {
    EXPECT_NONFATAL_FAILURE(kvtest::ExpectCleanAllocationFailures([] { return ThreeBlocks(true); }),
                            "tag \"TstA\": 1 blocks, 8 bytes");
    ExFreePool(g_leaked);
}

TEST(PoolFaultHelper, ReportsSuccessDespiteAFailedAllocation) {
    EXPECT_NONFATAL_FAILURE(kvtest::ExpectCleanAllocationFailures([] {
        ThreeBlocks(false);
        return true;
    }),
                            "still reported success");
}

// Leak reports.
TEST(PoolLeaks, ReportListsWhatWasAllocatedSinceTheSnapshotByTag) {
    void* older = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);  // outstanding before the snapshot
    const sim::pool::Snapshot start = sim::pool::TakeSnapshot();
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 40, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
    void* freed = ExAllocatePoolWithTag(NonPagedPoolNx, 99, kTagB);
    ExFreePool(freed);
    ExFreePool(older);  // freeing what was there before is no leak and hides nothing

    sim::pool::LeakReport report = sim::pool::LeaksSince(start);
    ASSERT_EQ(report.tags.size(), 2u);
    EXPECT_EQ(report.tags[0].tag, kTagA);
    EXPECT_EQ(report.tags[0].blocks, 2u);
    EXPECT_EQ(report.tags[0].bytes, 64u);
    EXPECT_EQ(report.tags[0].sizes, (std::vector<SIZE_T>{24, 40}));
    EXPECT_EQ(report.tags[1].tag, kTagB);
    EXPECT_EQ(report.tags[1].bytes, 7u);
    const std::string text = report.ToString();
    EXPECT_NE(text.find("3 blocks, 71 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("tag \"TstA\": 2 blocks, 64 bytes (sizes 24 40)"), std::string::npos) << text;

    ExFreePool(a1);
    ExFreePool(a2);
    ExFreePool(b);
    EXPECT_TRUE(sim::pool::LeaksSince(start).Empty());
}

TEST(PoolLeaks, KeptBlocksAndExemptTagsStayOutOfReports) {
    const sim::pool::Snapshot start = sim::pool::TakeSnapshot();
    void* kept;
    {
        sim::pool::ExpectNoLeakCheck keep;
        kept = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    }
    void* exempt = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'XtsT');
    sim::pool::ExemptTag('XtsT');
    void* counted = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);

    sim::pool::LeakReport report = sim::pool::LeaksSince(start);
    ASSERT_EQ(report.tags.size(), 1u);
    EXPECT_EQ(report.tags[0].blocks, 1u);
    ExFreePool(kept);
    ExFreePool(exempt);
    ExFreePool(counted);
}

TEST(PoolLeaks, UnloadCheckNamesTheOwnerAndTheTag) {
    const sim::pool::Snapshot start = sim::pool::TakeSnapshot();
    sim::pool::CheckNoLeaksSince(start, "nothing");  // nothing left: returns
    EXPECT_DEATH(
        {
            ExAllocatePoolWithTag(NonPagedPoolNx, 48, 'kaeL');
            sim::pool::CheckNoLeaksSince(start, "KV-380D.sys");
        },
        "BUGCHECK DRIVER_VERIFIER_DETECTED_VIOLATION: KV-380D.sys did not free its pool: .*tag \"Leak\": 1 blocks, "
        "48 bytes");
}

TEST(PoolTags, PrintAsTextWithoutTrailingZeros) {
    EXPECT_EQ(sim::pool::TagText(0x0073694C), "Lis");
    EXPECT_EQ(sim::pool::TagText('tseT'), "Test");
    EXPECT_EQ(sim::pool::TagText(0x0001614C), "La\\x01");
}

}  // namespace
