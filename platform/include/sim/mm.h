// Simulation control of the memory manager: user mappings of locked pages and their faults.
#pragma once

#include <win/kernel.h>

#include <cstddef>
#include <cstdint>

namespace sim::mm {

// User mappings (MmMapLockedPagesSpecifyCache with UserMode, and section views) that exist in
// process, or in every process when process is null.
size_t UserMappingCount(PEPROCESS process = nullptr);

// Fault injection: the nth user mapping or section view from now fails (n = 1: the next one), once.
void FailNthUserMapping(uint64_t n);
void DisarmFaults();
bool FaultArmed();

}  // namespace sim::mm
