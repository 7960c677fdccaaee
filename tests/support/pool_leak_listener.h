// Fails a test that leaves pool blocks or lookaside lists behind that it did not have at its
// start, with the report by tag, one that leaves a pool fault armed, one that ends above
// PASSIVE_LEVEL, and one that leaves system threads, timer-resolution requests or callback
// registrations or user mappings of locked pages behind.
#pragma once

#include <gtest/gtest.h>
#include <sim/pool.h>

namespace kvtest {

class PoolLeakListener : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo& info) override;
    void OnTestEnd(const testing::TestInfo& info) override;

private:
    sim::pool::Snapshot m_Start;
    size_t m_Threads = 0;
    int64_t m_TimerRequests = 0;
    size_t m_Callbacks = 0;
    size_t m_UserMappings = 0;
};

}  // namespace kvtest
