// Each misuse of the pool stops the machine with a bug check that names the culprit.
#include <gtest/gtest.h>
#include <win/kernel.h>

#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr ULONG kTag = 'tseT';  // "Test"

void RaiseTo(KIRQL level) {
    KIRQL old;
    KeRaiseIrql(level, &old);
}

// Frees and allocates enough blocks that every earlier freed block leaves the quarantine.
void ChurnThePool() {
    for (int i = 0; i < 10000; ++i) ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'nrhC'));
}

struct Misuse {
    const char* name;
    void (*statement)();
    const char* expected;  // regular expression for the report
};

class PoolVerifier : public testing::TestWithParam<Misuse> {};

TEST_P(PoolVerifier, StopsTheMachineNamingTheCulprit) {
    EXPECT_DEATH(GetParam().statement(), GetParam().expected);
}

const Misuse kMisuses[] = {
    {"PagedAllocationAtDispatchLevel",
     [] {
         RaiseTo(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 8, kTag);
     },
     "BUGCHECK IRQL_NOT_LESS_OR_EQUAL: paged pool allocation at IRQL 2 \\(tag Test, 8 bytes\\)"},
    {"PagedFreeAtDispatchLevel",
     [] {
         void* p = ExAllocatePoolWithTag(PagedPoolCacheAligned, 8, kTag);
         RaiseTo(DISPATCH_LEVEL);
         ExFreePool(p);
     },
     "BUGCHECK IRQL_NOT_LESS_OR_EQUAL: free of paged pool .* \\(tag Test\\) at IRQL 2"},
    {"AllocationAboveDispatchLevel",
     [] {
         RaiseTo(CLOCK_LEVEL);
         ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
     },
     "BUGCHECK IRQL_NOT_LESS_OR_EQUAL: pool allocation at IRQL 13 \\(tag Test\\)"},
    {"DoubleFree",
     [] {
         void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
         ExFreePoolWithTag(p, kTag);
         ExFreePoolWithTag(p, kTag);
     },
     "BUGCHECK BAD_POOL_CALLER: double free of 0x[0-9a-f]+ \\(tag Test, 8 bytes\\), freed first by"},
    {"WrongTag",
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), 'gnrW'); },
     "BUGCHECK BAD_POOL_CALLER: free of 0x[0-9a-f]+ with tag Wrng, allocated with tag Test"},
    {"ForeignPointer",
     [] {
         static ULONG notPool;
         ExFreePool(&notPool);
     },
     "BUGCHECK BAD_POOL_CALLER: free of 0x[0-9a-f]+, which is not a pool block"},
    {"PointerIntoABlock",
     [] { ExFreePool(static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag)) + 8); },
     "BUGCHECK BAD_POOL_CALLER: free of 0x[0-9a-f]+, which points 8 bytes into the pool block 0x[0-9a-f]+ "
     "\\(tag Test, 32 bytes\\)"},
    {"NullPointer", [] { ExFreePool(nullptr); }, "BUGCHECK BAD_POOL_CALLER: free of a null pointer"},
    {"TagZero", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0); },
     "BUGCHECK BAD_POOL_CALLER: pool allocation of 8 bytes with tag 0"},
    {"ZeroBytes", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag); },
     "BUGCHECK BAD_POOL_CALLER: pool allocation of zero bytes \\(tag Test\\)"},
    {"MustSucceedPool", [] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTag); },
     "BUGCHECK BAD_POOL_CALLER: allocation with pool type 2"},
    {"FreeOfPoolHoldingALiveLookasideList",
     [] {
         void* block = ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, sizeof(NPAGED_LOOKASIDE_LIST), kTag);
         auto* list = new (block) NPAGED_LOOKASIDE_LIST;
         ExInitializeNPagedLookasideList(list, nullptr, nullptr, POOL_NX_ALLOCATION, 64, 'tsiL', 0);
         ExFreePool(block);
     },
     "BUGCHECK BAD_POOL_CALLER: free of 0x[0-9a-f]+ \\(tag Test\\), which holds the live lookaside list "
     "0x[0-9a-f]+ \\(tag List\\)"},
    {"WritePastTheEnd",
     [] {
         auto* volatile p = static_cast<volatile char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTag));
         p[20] = 1;
         ExFreePool(const_cast<char*>(p));
     },
     kAddressSanitizer ? "heap-buffer-overflow"
                       : "BUGCHECK SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: pool block 0x[0-9a-f]+ \\(tag Test, 20 "
                         "bytes\\) was written past its end"},
    {"WriteAfterFree",
     [] {
         auto* volatile p = static_cast<volatile char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTag));
         ExFreePool(const_cast<char*>(p));
         p[5] = 1;
         ChurnThePool();
     },
     kAddressSanitizer ? "heap-use-after-free"
                       : "BUGCHECK SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: pool block 0x[0-9a-f]+ \\(tag Test, 20 "
                         "bytes\\) was written at offset 5 after it was freed"},
};

INSTANTIATE_TEST_SUITE_P(Pool, PoolVerifier, testing::ValuesIn(kMisuses),
                         [](const testing::TestParamInfo<Misuse>& info) { return info.param.name; });

TEST(PoolVerifierCleanUse, ChurnLeavesNoReport) {
    // The quarantine releases intact freed blocks silently.
    ChurnThePool();
}

}  // namespace
