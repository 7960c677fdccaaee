// Lookaside lists: entries come from the pool under the list's tag, faults apply, misuse stops.
#include <gtest/gtest.h>
#include <sim/pool.h>
#include <win/kernel.h>

namespace {

constexpr ULONG kTag = 'kooL';  // "Look"

TEST(Lookaside, NonPagedEntriesArePoolBlocksWithTheListsTagAndType) {
    struct Case {
        ULONG flags;
        POOL_TYPE type;
    };
    for (const Case& c : {Case{0, NonPagedPool}, Case{POOL_NX_ALLOCATION, NonPagedPoolNx}}) {
        SCOPED_TRACE(c.flags);
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, c.flags, 72, kTag, 0);
        void* a = ExAllocateFromNPagedLookasideList(&list);
        void* b = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        sim::pool::BlockInfo info;
        ASSERT_TRUE(sim::pool::QueryBlock(a, &info));
        EXPECT_EQ(info.tag, kTag);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.bytes, 72u);
        EXPECT_EQ(sim::pool::TagUsage(kTag).blocks, 2u);
        ExFreeToNPagedLookasideList(&list, a);
        ExFreeToNPagedLookasideList(&list, b);
        // Nothing is cached: the pool has every entry back.
        EXPECT_EQ(sim::pool::TagUsage(kTag).blocks, 0u);
        EXPECT_EQ(list.L.TotalAllocates, 2u);
        EXPECT_EQ(list.L.TotalFrees, 2u);
        ExDeleteNPagedLookasideList(&list);
    }
}

TEST(Lookaside, PagedEntriesComeFromPagedPool) {
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 300, kTag, 0);
    void* entry = ExAllocateFromPagedLookasideList(&list);
    sim::pool::BlockInfo info;
    ASSERT_TRUE(sim::pool::QueryBlock(entry, &info));
    EXPECT_EQ(info.type, PagedPool);
    ExFreeToPagedLookasideList(&list, entry);
    ExDeletePagedLookasideList(&list);
}

int g_allocateCalls;
int g_freeCalls;

TEST(Lookaside, OwnRoutinesAllocateAndFree) {
    g_allocateCalls = 0;
    g_freeCalls = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(
        &list,
        [](POOL_TYPE type, SIZE_T bytes, ULONG tag) -> PVOID {
            ++g_allocateCalls;
            return ExAllocatePoolWithTag(type, bytes, tag);
        },
        [](PVOID entry) {
            ++g_freeCalls;
            ExFreePool(entry);
        },
        POOL_NX_ALLOCATION, 40, kTag, 0);
    ExFreeToNPagedLookasideList(&list, ExAllocateFromNPagedLookasideList(&list));
    EXPECT_EQ(g_allocateCalls, 1);
    EXPECT_EQ(g_freeCalls, 1);
    ExDeleteNPagedLookasideList(&list);
}

TEST(Lookaside, FaultsOnTheListsTagFailItsAllocations) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, kTag, 0);
    sim::pool::FailNthAllocation(2, kTag);
    void* first = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    ExFreeToNPagedLookasideList(&list, first);
    ExDeleteNPagedLookasideList(&list);
}

TEST(Lookaside, ListNotDeletedAppearsInTheLeakReport) {
    const sim::pool::Snapshot start = sim::pool::TakeSnapshot();
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
    sim::pool::LeakReport report = sim::pool::LeaksSince(start);
    ASSERT_EQ(report.lookasideLists.size(), 1u);
    EXPECT_EQ(report.lookasideLists[0].list, &list);
    EXPECT_EQ(report.lookasideLists[0].tag, kTag);
    EXPECT_NE(report.ToString().find("non-paged lookaside list"), std::string::npos);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(sim::pool::LeaksSince(start).Empty());
}

struct Misuse {
    const char* name;
    void (*statement)();
    const char* expected;
};

class LookasideVerifier : public testing::TestWithParam<Misuse> {};

TEST_P(LookasideVerifier, StopsTheMachine) { EXPECT_DEATH(GetParam().statement(), GetParam().expected); }

const Misuse kMisuses[] = {
    {"AllocationAfterDelete",
     [] {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
         ExDeleteNPagedLookasideList(&list);
         ExAllocateFromNPagedLookasideList(&list);
     },
     "BUGCHECK BAD_POOL_CALLER: ExAllocateFromNPagedLookasideList on lookaside list 0x[0-9a-f]+, which is not "
     "initialised or was deleted"},
    {"DeletedTwice",
     [] {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
         ExDeleteNPagedLookasideList(&list);
         ExDeleteNPagedLookasideList(&list);
     },
     "BUGCHECK BAD_POOL_CALLER: ExDeleteNPagedLookasideList on lookaside list"},
    {"InitialisedTwice",
     [] {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
     },
     "BUGCHECK BAD_POOL_CALLER: ExInitializeNPagedLookasideList of lookaside list 0x[0-9a-f]+ \\(tag Look\\), "
     "which is live already"},
    {"EntryFreedToAnotherList",
     [] {
         NPAGED_LOOKASIDE_LIST a;
         NPAGED_LOOKASIDE_LIST b;
         ExInitializeNPagedLookasideList(&a, nullptr, nullptr, 0, 16, 'AtsL', 0);
         ExInitializeNPagedLookasideList(&b, nullptr, nullptr, 0, 16, 'BtsL', 0);
         ExFreeToNPagedLookasideList(&b, ExAllocateFromNPagedLookasideList(&a));
     },
     "BUGCHECK BAD_POOL_CALLER: free of 0x[0-9a-f]+ with tag LstB, allocated with tag LstA"},
    {"PagedAllocationAtDispatchLevel",
     [] {
         PAGED_LOOKASIDE_LIST list;
         ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExAllocateFromPagedLookasideList(&list);
     },
     "BUGCHECK BAD_POOL_CALLER: ExAllocateFromPagedLookasideList on paged lookaside list 0x[0-9a-f]+ \\(tag "
     "Look\\) at IRQL 2"},
#if defined(__SANITIZE_ADDRESS__)
    {"UseAfterFreeToTheList",
     [] {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
         auto* volatile entry = static_cast<volatile char*>(ExAllocateFromNPagedLookasideList(&list));
         ExFreeToNPagedLookasideList(&list, const_cast<char*>(entry));
         entry[0] = 1;
     },
     "heap-use-after-free"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Lookaside, LookasideVerifier, testing::ValuesIn(kMisuses),
                         [](const testing::TestParamInfo<Misuse>& info) { return info.param.name; });

}  // namespace
