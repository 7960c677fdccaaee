// Simulation control of the kernel pool: accounting, fault injection and leak reports.
#pragma once

#include <win/ex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim::pool {

// Outstanding bytes and blocks with their peaks, and how many allocations were made or refused.
struct Usage {
    uint64_t bytes = 0;
    uint64_t blocks = 0;
    uint64_t peakBytes = 0;
    uint64_t peakBlocks = 0;
    uint64_t allocations = 0;  // successful
    uint64_t failures = 0;     // refused: injected faults and sizes the pool cannot serve
};

// The non-paged type the system's own components allocate from: NonPagedPoolNx where the
// machine's version has it (Windows 8 on), NonPagedPool before.
POOL_TYPE SystemNonPagedType();

Usage TagUsage(ULONG tag);
// By the exact type passed at allocation (NonPagedPoolNx and NonPagedPool count apart).
Usage TypeUsage(POOL_TYPE type);
Usage TotalUsage();
// Peaks restart from the current values.
void ResetPeaks();

struct BlockInfo {
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    SIZE_T bytes = 0;
};
// False unless p is the start of a live pool block.
bool QueryBlock(const void* p, BlockInfo* info);

// Fault injection. Counting starts with the next allocation: n = 1 fails the next one. With a
// non-zero tag only allocations with that tag count. The fault fires once, then disarms.
void FailNthAllocation(uint64_t n, ULONG tag = 0);
// Every allocation with the tag fails until DisarmFaults.
void FailAllocationsWithTag(ULONG tag);
void DisarmFaults();
// True while a FailNthAllocation fault has not fired yet, or a tag is failing.
bool FaultArmed();
// Monotonic counters since the process started.
uint64_t AllocationAttempts();
uint64_t InjectedFailures();

// Outstanding allocations. A snapshot marks a point in time; a report lists by tag what was
// allocated after it and is still outstanding (blocks freed since do not matter), and the
// lookaside lists initialised after it and not deleted.
struct Snapshot {
    uint64_t blockSerial = 0;
    uint64_t lookasideSerial = 0;
};
Snapshot TakeSnapshot();

struct LeakedTag {
    ULONG tag = 0;
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    std::vector<SIZE_T> sizes;  // of the first few blocks, oldest first
    std::string allocatedBy;    // code that allocated the oldest block
};
struct LeakedLookaside {
    const void* list = nullptr;
    ULONG tag = 0;
    bool paged = false;
};
struct LeakReport {
    std::vector<LeakedTag> tags;  // ordered by tag
    std::vector<LeakedLookaside> lookasideLists;
    bool Empty() const { return tags.empty() && lookasideLists.empty(); }
    std::string ToString() const;
};
LeakReport LeaksSince(const Snapshot& snapshot);
// Bug check naming the owner (for example the driver being unloaded) when anything is left.
void CheckNoLeaksSince(const Snapshot& snapshot, const char* owner);

// Blocks and lookaside lists created while one of these exists are left out of leak reports:
// for what a test or the machine deliberately keeps.
class ExpectNoLeakCheck {
public:
    ExpectNoLeakCheck();
    ~ExpectNoLeakCheck();
    ExpectNoLeakCheck(const ExpectNoLeakCheck&) = delete;
    ExpectNoLeakCheck& operator=(const ExpectNoLeakCheck&) = delete;
};
// Leaves every block with the tag out of leak reports, for the rest of the process.
void ExemptTag(ULONG tag);

// "Lis" for 0x0073694C; bytes that are not printable appear as \xNN.
std::string TagText(ULONG tag);

}  // namespace sim::pool
