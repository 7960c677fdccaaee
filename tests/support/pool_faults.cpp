#include "support/pool_faults.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

namespace kvtest {

uint64_t ExpectCleanAllocationFailures(const std::function<bool()>& attempt, ULONG tag) {
    constexpr uint64_t kMaxAllocations = 100000;
    for (uint64_t n = 1; n <= kMaxAllocations; ++n) {
        SCOPED_TRACE(testing::Message() << "failing allocation " << n << " of tag \"" << sim::pool::TagText(tag)
                                        << "\"");
        sim::pool::Snapshot before = sim::pool::TakeSnapshot();
        uint64_t injected = sim::pool::InjectedFailures();
        sim::pool::FailNthAllocation(n, tag);
        bool succeeded = attempt();
        bool fired = sim::pool::InjectedFailures() != injected;
        sim::pool::DisarmFaults();
        sim::pool::LeakReport report = sim::pool::LeaksSince(before);
        EXPECT_TRUE(report.Empty()) << report.ToString();
        if (!fired) {
            EXPECT_TRUE(succeeded) << "the run without a fault failed";
            return n - 1;
        }
        EXPECT_FALSE(succeeded) << "an allocation failed and the operation still reported success";
        if (succeeded || !report.Empty()) return n;  // one report is enough
    }
    ADD_FAILURE() << "more than " << kMaxAllocations << " allocations";
    return kMaxAllocations;
}

}  // namespace kvtest
