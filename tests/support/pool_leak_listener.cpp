#include "support/pool_leak_listener.h"

#include <sim/machine.h>
#include <sim/mm.h>
#include <sim/verifier.h>

namespace kvtest {

void PoolLeakListener::OnTestStart(const testing::TestInfo& info) {
    (void)info;
    m_Start = sim::pool::TakeSnapshot();
    m_Threads = sim::machine::SystemThreadsRunning();
    m_TimerRequests = sim::machine::TimerResolutionRequests();
    m_Callbacks = sim::machine::CallbackRegistrations();
    m_UserMappings = sim::mm::UserMappingCount();
}

void PoolLeakListener::OnTestEnd(const testing::TestInfo& info) {
    if (sim::pool::FaultArmed()) {
        sim::pool::DisarmFaults();
        ADD_FAILURE() << "the test left a pool fault armed";
    }
    if (sim::mm::FaultArmed()) {
        sim::mm::DisarmFaults();
        ADD_FAILURE() << "the test left a user-mapping fault armed";
    }
    // A test runs at PASSIVE_LEVEL and must end there: a raise without its lower, or a spin lock
    // never released, would wreck every test after it.
    std::string raised = sim::ReturnToPassiveLevel();
    if (!raised.empty()) ADD_FAILURE() << "the test ended above PASSIVE_LEVEL: " << raised;
    // Kernel balances: what a test starts it must also end.
    if (sim::machine::SystemThreadsRunning() != m_Threads)
        ADD_FAILURE() << "the test left system threads running";
    if (sim::machine::TimerResolutionRequests() != m_TimerRequests)
        ADD_FAILURE() << "the test left timer-resolution requests outstanding";
    if (sim::machine::CallbackRegistrations() != m_Callbacks)
        ADD_FAILURE() << "the test left callback registrations in place";
    if (sim::mm::UserMappingCount() != m_UserMappings)
        ADD_FAILURE() << "the test left user mappings of locked pages in place";
    // A test that failed already may have returned early; its leaks would only add noise.
    if (info.result() != nullptr && info.result()->Failed()) return;
    sim::pool::LeakReport report = sim::pool::LeaksSince(m_Start);
    if (!report.Empty()) ADD_FAILURE() << "the test leaked: " << report.ToString();
}

}  // namespace kvtest
