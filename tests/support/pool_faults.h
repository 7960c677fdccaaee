// Proves that every allocation failure of an operation is handled cleanly.
#pragma once

#include <win/ex.h>

#include <cstdint>
#include <functional>

namespace kvtest {

// Runs `attempt` once failing its first pool allocation, once failing its second, and so on, then
// once with no fault. Each run with a fault must answer false and leave no pool behind; the run
// without one must answer true. `attempt` releases whatever it made before it returns. With a
// non-zero tag only allocations with that tag are failed and counted. Answers how many allocations
// the successful run made.
uint64_t ExpectCleanAllocationFailures(const std::function<bool()>& attempt, ULONG tag = 0);

}  // namespace kvtest
