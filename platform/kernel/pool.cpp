// The kernel pool. Every block is registered by address with its tag, type, size and the code that
// allocated it, so a free is checked before any byte of the block is touched: a double free, a
// pointer that is not a block start, a wrong tag or a wrong IRQL stops the machine with the culprit
// named. New blocks are filled with one pattern, freed blocks with another. Without AddressSanitizer
// a guard after each block catches overruns at free, and freed blocks wait in a quarantine whose
// pattern is checked before the memory is released (a write after free). Under AddressSanitizer
// blocks are exact-size and freed at once, so it catches overruns and uses after free itself.
#include "pool_internal.h"

#include "lock_order.h"
#include "memory_internal.h"
#include "page_arena.h"
#include "scheduler.h"
#include "symbols.h"

#include <sim/pool.h>
#include <sim/verifier.h>
#include <win/kernel.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace sim::pool {
namespace {

constexpr uint8_t kNewFill = 0xA5;
constexpr uint8_t kFreedFill = 0xDE;
constexpr uint8_t kGuardFill = 0xFD;
constexpr SIZE_T kPageBytes = 4096;
// Larger requests fail the way an exhausted pool does.
constexpr SIZE_T kMaxBlockBytes = SIZE_T{1} << 30;
// Freed blocks remembered for double-free reports (and, without ASan, kept as quarantine).
constexpr size_t kFreedRecords = 8192;
constexpr size_t kQuarantineBytes = size_t{32} << 20;
constexpr size_t kReportedSizes = 8;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
constexpr SIZE_T kGuardBytes = kAddressSanitizer ? 0 : 16;

struct Block {
    SIZE_T bytes;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;
    const void* caller;
    bool kept;
    bool arena;  // whole pages from the page arena, followed by a guard page instead of guard bytes
};

struct FreedBlock {
    uintptr_t address;
    SIZE_T bytes;
    ULONG tag;
    const void* freedBy;
    bool arena;
};

struct Lookaside {
    ULONG tag;
    bool paged;
    uint64_t serial;
    bool kept;
};

struct State {
    std::mutex lock;
    std::map<uintptr_t, Block> live;
    std::deque<FreedBlock> freed;  // oldest first
    size_t freedBytes = 0;
    std::map<uintptr_t, Lookaside> lookasides;
    std::map<ULONG, Usage> byTag;
    std::map<uint32_t, Usage> byType;
    Usage total;
    uint64_t blockSerial = 0;
    uint64_t lookasideSerial = 0;
    uint64_t attempts = 0;
    uint64_t injected = 0;
    uint64_t nthRemaining = 0;  // 0: no FailNthAllocation armed
    ULONG nthTag = 0;
    std::set<ULONG> failingTags;
    std::set<ULONG> exemptTags;
    int keepScopes = 0;
};

State& TheState() {
    static State* state = new State();  // lives as long as the process; threads may outlive main
    return *state;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

bool IsValidType(POOL_TYPE type) {
    switch (type) {
        case NonPagedPool:
        case PagedPool:
        case NonPagedPoolCacheAligned:
        case PagedPoolCacheAligned:
            return true;
        case NonPagedPoolNx:
        case NonPagedPoolNxCacheAligned:
            return SystemNonPagedType() == NonPagedPoolNx;  // the type exists from Windows 8 on
        default:
            return false;
    }
}

SIZE_T AlignmentOf(POOL_TYPE type, SIZE_T bytes) {
    if (bytes >= kPageBytes) return kPageBytes;
    return (type & NonPagedPoolCacheAligned) != 0 ? 64 : 16;
}

void Charge(Usage& u, SIZE_T bytes) {
    u.bytes += bytes;
    u.blocks += 1;
    u.allocations += 1;
    u.peakBytes = std::max(u.peakBytes, u.bytes);
    u.peakBlocks = std::max(u.peakBlocks, u.blocks);
}

void Credit(Usage& u, SIZE_T bytes) {
    u.bytes -= bytes;
    u.blocks -= 1;
}

// Formats into a fixed buffer so a bug check can be raised after the lock is dropped.
struct Message {
    char text[512];
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }
};

std::string Describe(const void* code) {
    if (code == nullptr) return "an unknown caller";
    Dl_info info{};
    if (dladdr(code, &info) == 0) {
        char text[32];
        std::snprintf(text, sizeof(text), "%p", code);
        return text;
    }
    char text[64];
    if (info.dli_sname != nullptr) {
        std::snprintf(text, sizeof(text), "+0x%zx",
                      static_cast<size_t>(static_cast<const char*>(code) - static_cast<const char*>(info.dli_saddr)));
        return sim::ke::Demangle(info.dli_sname) + text;
    }
    const char* module = info.dli_fname != nullptr ? info.dli_fname : "?";
    if (const char* slash = std::strrchr(module, '/')) module = slash + 1;
    std::snprintf(text, sizeof(text), "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(code) - static_cast<const char*>(info.dli_fbase)));
    return std::string(module) + text;
}

// Releases the oldest freed blocks beyond the quarantine's limits; without ASan their freed
// pattern must still be intact.
void TrimFreed(State& s) {
    while (s.freed.size() > kFreedRecords || s.freedBytes > kQuarantineBytes) {
        FreedBlock oldest = s.freed.front();
        s.freed.pop_front();
        if (kAddressSanitizer) continue;
        s.freedBytes -= oldest.bytes;
        auto* bytes = reinterpret_cast<uint8_t*>(oldest.address);
        if (oldest.arena) {
            // Its pages were inaccessible since the free: a late access faulted already.
            sim::arena::Release(bytes, oldest.bytes);
            continue;
        }
        for (SIZE_T i = 0; i < oldest.bytes; ++i) {
            if (bytes[i] != kFreedFill) {
                sim::BugCheck("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
                              "pool block %p (tag %s, %zu bytes) was written at offset %zu after it was freed",
                              bytes, TagText(oldest.tag).c_str(), static_cast<size_t>(oldest.bytes),
                              static_cast<size_t>(i));
            }
        }
        std::free(bytes);
    }
}

// Explains why p is not a live block: freed already, inside a block, or foreign.
void DiagnoseBadFree(State& s, uintptr_t address, Message& m) {
    for (auto it = s.freed.rbegin(); it != s.freed.rend(); ++it) {
        if (it->address == address) {
            m.Format("double free of %p (tag %s, %zu bytes), freed first by %s", reinterpret_cast<void*>(address),
                     TagText(it->tag).c_str(), static_cast<size_t>(it->bytes), Describe(it->freedBy).c_str());
            return;
        }
    }
    auto above = s.live.upper_bound(address);
    if (above != s.live.begin()) {
        auto below = std::prev(above);
        if (address < below->first + below->second.bytes) {
            m.Format("free of %p, which points %zu bytes into the pool block %p (tag %s, %zu bytes)",
                     reinterpret_cast<void*>(address), static_cast<size_t>(address - below->first),
                     reinterpret_cast<void*>(below->first), TagText(below->second.tag).c_str(),
                     static_cast<size_t>(below->second.bytes));
            return;
        }
    }
    m.Format("free of %p, which is not a pool block", reinterpret_cast<void*>(address));
}

}  // namespace

namespace detail {

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (!IsValidType(type)) {
        sim::BugCheck("BAD_POOL_CALLER", "allocation with pool type %d, which the pool does not serve (tag %s)",
                      static_cast<int>(type), TagText(tag).c_str());
    }
    if (IsPaged(type) && irql > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool allocation at IRQL %u (tag %s, %zu bytes) by %s", irql,
                      TagText(tag).c_str(), static_cast<size_t>(bytes), Describe(caller).c_str());
    }
    if (irql > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "pool allocation at IRQL %u (tag %s) by %s", irql, TagText(tag).c_str(),
                      Describe(caller).c_str());
    }
    if (tag == 0) {
        sim::BugCheck("BAD_POOL_CALLER", "pool allocation of %zu bytes with tag 0 by %s", static_cast<size_t>(bytes),
                      Describe(caller).c_str());
    }
    if (bytes == 0) {
        sim::BugCheck("BAD_POOL_CALLER", "pool allocation of zero bytes (tag %s) by %s", TagText(tag).c_str(),
                      Describe(caller).c_str());
    }

    State& s = TheState();
    bool kept = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.attempts += 1;
        bool injected = s.failingTags.count(tag) != 0;
        if (!injected && s.nthRemaining != 0 && (s.nthTag == 0 || s.nthTag == tag)) {
            injected = --s.nthRemaining == 0;
        }
        if (injected || bytes > kMaxBlockBytes) {
            s.injected += injected ? 1 : 0;
            s.byTag[tag].failures += 1;
            s.byType[type].failures += 1;
            s.total.failures += 1;
            return nullptr;
        }
        kept = s.keepScopes > 0;
    }

    // Whole pages come from the page arena, so that they can be mapped into a process as a real
    // alias; a guard page follows them.
    const bool arena = bytes % kPageBytes == 0;
    void* memory = nullptr;
    if (arena) {
        memory = sim::arena::Allocate(bytes);
    } else if (posix_memalign(&memory, AlignmentOf(type, bytes), bytes + kGuardBytes) != 0) {
        memory = nullptr;
    }
    if (memory == nullptr) {
        std::lock_guard<std::mutex> guard(s.lock);
        s.byTag[tag].failures += 1;
        s.byType[type].failures += 1;
        s.total.failures += 1;
        return nullptr;
    }
    std::memset(memory, kNewFill, bytes);
    if (!arena) std::memset(static_cast<uint8_t*>(memory) + bytes, kGuardFill, kGuardBytes);

    std::lock_guard<std::mutex> guard(s.lock);
    s.live[reinterpret_cast<uintptr_t>(memory)] = Block{.bytes = bytes,
                                                        .tag = tag,
                                                        .type = type,
                                                        .serial = ++s.blockSerial,
                                                        .caller = caller,
                                                        .kept = kept,
                                                        .arena = arena};
    Charge(s.byTag[tag], bytes);
    Charge(s.byType[type], bytes);
    Charge(s.total, bytes);
    return memory;
}

void Free(PVOID p, ULONG tag, const void* caller) {
    if (p == nullptr) sim::BugCheck("BAD_POOL_CALLER", "free of a null pointer by %s", Describe(caller).c_str());
    KIRQL irql = KeGetCurrentIrql();
    auto address = reinterpret_cast<uintptr_t>(p);
    State& s = TheState();
    Message m{};
    {
        std::unique_lock<std::mutex> guard(s.lock);
        auto it = s.live.find(address);
        if (it == s.live.end()) {
            DiagnoseBadFree(s, address, m);
            guard.unlock();
            sim::BugCheck("BAD_POOL_CALLER", "%s (by %s)", m.text, Describe(caller).c_str());
        }
        const Block block = it->second;
        const char* rule = "BAD_POOL_CALLER";
        if (tag != 0 && (tag & ~PROTECTED_POOL) != (block.tag & ~PROTECTED_POOL)) {
            m.Format("free of %p with tag %s, allocated with tag %s", p, TagText(tag).c_str(),
                     TagText(block.tag).c_str());
        } else if (IsPaged(block.type) && irql > APC_LEVEL) {
            rule = "IRQL_NOT_LESS_OR_EQUAL";
            m.Format("free of paged pool %p (tag %s) at IRQL %u", p, TagText(block.tag).c_str(), irql);
        } else if (irql > DISPATCH_LEVEL) {
            rule = "IRQL_NOT_LESS_OR_EQUAL";
            m.Format("free of pool %p (tag %s) at IRQL %u", p, TagText(block.tag).c_str(), irql);
        } else {
            auto list = s.lookasides.lower_bound(address);
            if (list != s.lookasides.end() && list->first < address + block.bytes) {
                m.Format("free of %p (tag %s), which holds the live lookaside list %p (tag %s)", p,
                         TagText(block.tag).c_str(), reinterpret_cast<void*>(list->first),
                         TagText(list->second.tag).c_str());
            }
        }
        if (m.text[0] != 0) {
            guard.unlock();
            sim::BugCheck(rule, "%s (by %s)", m.text, Describe(caller).c_str());
        }
        auto* bytes = static_cast<uint8_t*>(p);
        if (block.arena) {
            std::string mappings;
            if (sim::mm::detail::UserMappingsOver(p, block.bytes, &mappings) != 0) {
                guard.unlock();
                sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                              "free of pool block %p (tag %s, %zu bytes) while it is mapped into a process:%s (by %s)",
                              p, TagText(block.tag).c_str(), static_cast<size_t>(block.bytes), mappings.c_str(),
                              Describe(caller).c_str());
            }
        }
        for (SIZE_T i = 0; i < (block.arena ? 0 : kGuardBytes); ++i) {
            if (bytes[block.bytes + i] != kGuardFill) {
                guard.unlock();
                sim::BugCheck("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
                              "pool block %p (tag %s, %zu bytes) was written past its end (by %s)", p,
                              TagText(block.tag).c_str(), static_cast<size_t>(block.bytes),
                              Describe(block.caller).c_str());
            }
        }
        // Locks, timers, DPCs and waited-on objects embedded in the block stop existing with it.
        sim::lockorder::ForgetRange(p, block.bytes);
        sim::ke::CheckFreedMemory(p, block.bytes);
        s.live.erase(it);
        Credit(s.byTag[block.tag], block.bytes);
        Credit(s.byType[block.type], block.bytes);
        Credit(s.total, block.bytes);
        s.freed.push_back(FreedBlock{
            .address = address, .bytes = block.bytes, .tag = block.tag, .freedBy = caller, .arena = block.arena});
        if (block.arena) {
            if (kAddressSanitizer) {
                sim::arena::Release(p, block.bytes);
            } else {
                sim::arena::Retire(p, block.bytes);
                s.freedBytes += block.bytes;
            }
        } else if (kAddressSanitizer) {
            std::free(p);
        } else {
            std::memset(p, kFreedFill, block.bytes);
            s.freedBytes += block.bytes;
        }
        TrimFreed(s);
    }
}

bool FindBlock(const void* address, uintptr_t* start, SIZE_T* bytes, POOL_TYPE* type, bool* arena) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    auto a = reinterpret_cast<uintptr_t>(address);
    auto above = s.live.upper_bound(a);
    if (above == s.live.begin()) return false;
    auto block = std::prev(above);
    if (a >= block->first + block->second.bytes) return false;
    *start = block->first;
    *bytes = block->second.bytes;
    *type = block->second.type;
    *arena = block->second.arena;
    return true;
}

void RegisterLookaside(const void* list, ULONG tag, bool paged) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.lookasides[reinterpret_cast<uintptr_t>(list)] = Lookaside{
        .tag = tag, .paged = paged, .serial = ++s.lookasideSerial, .kept = s.keepScopes > 0};
}

bool IsLookasideLive(const void* list) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.lookasides.count(reinterpret_cast<uintptr_t>(list)) != 0;
}

bool UnregisterLookaside(const void* list) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.lookasides.erase(reinterpret_cast<uintptr_t>(list)) != 0;
}

}  // namespace detail

POOL_TYPE SystemNonPagedType() { return RtlIsNtDdiVersionAvailable(0x06020000) ? NonPagedPoolNx : NonPagedPool; }

Usage TagUsage(ULONG tag) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.byTag.find(tag);
    return it == s.byTag.end() ? Usage{} : it->second;
}

Usage TypeUsage(POOL_TYPE type) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.byType.find(type);
    return it == s.byType.end() ? Usage{} : it->second;
}

Usage TotalUsage() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.total;
}

void ResetPeaks() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    auto reset = [](Usage& u) {
        u.peakBytes = u.bytes;
        u.peakBlocks = u.blocks;
    };
    for (auto& [tag, u] : s.byTag) reset(u);
    for (auto& [type, u] : s.byType) reset(u);
    reset(s.total);
}

bool QueryBlock(const void* p, BlockInfo* info) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.live.find(reinterpret_cast<uintptr_t>(p));
    if (it == s.live.end()) return false;
    if (info != nullptr) *info = BlockInfo{.tag = it->second.tag, .type = it->second.type, .bytes = it->second.bytes};
    return true;
}

void FailNthAllocation(uint64_t n, ULONG tag) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.nthRemaining = n;
    s.nthTag = tag;
}

void FailAllocationsWithTag(ULONG tag) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failingTags.insert(tag);
}

void DisarmFaults() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.nthRemaining = 0;
    s.nthTag = 0;
    s.failingTags.clear();
}

bool FaultArmed() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.nthRemaining != 0 || !s.failingTags.empty();
}

uint64_t AllocationAttempts() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.attempts;
}

uint64_t InjectedFailures() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.injected;
}

Snapshot TakeSnapshot() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return Snapshot{.blockSerial = s.blockSerial, .lookasideSerial = s.lookasideSerial};
}

LeakReport LeaksSince(const Snapshot& snapshot) {
    struct Found {
        uint64_t serial;
        SIZE_T bytes;
        const void* caller;
    };
    std::map<ULONG, std::vector<Found>> byTag;
    LeakReport report;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& [address, block] : s.live) {
            if (block.serial <= snapshot.blockSerial || block.kept || s.exemptTags.count(block.tag) != 0) continue;
            byTag[block.tag].push_back(Found{.serial = block.serial, .bytes = block.bytes, .caller = block.caller});
        }
        for (const auto& [address, list] : s.lookasides) {
            if (list.serial <= snapshot.lookasideSerial || list.kept) continue;
            report.lookasideLists.push_back(LeakedLookaside{
                .list = reinterpret_cast<const void*>(address), .tag = list.tag, .paged = list.paged});
        }
    }
    for (auto& [tag, found] : byTag) {
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.serial < b.serial; });
        LeakedTag leaked;
        leaked.tag = tag;
        leaked.allocatedBy = Describe(found.front().caller);
        for (const Found& f : found) {
            leaked.blocks += 1;
            leaked.bytes += f.bytes;
            if (leaked.sizes.size() < kReportedSizes) leaked.sizes.push_back(f.bytes);
        }
        report.tags.push_back(std::move(leaked));
    }
    return report;
}

std::string LeakReport::ToString() const {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    for (const LeakedTag& t : tags) {
        blocks += t.blocks;
        bytes += t.bytes;
    }
    char line[256];
    std::snprintf(line, sizeof(line), "pool left allocated: %" PRIu64 " blocks, %" PRIu64 " bytes\n", blocks, bytes);
    std::string text = line;
    for (const LeakedTag& t : tags) {
        std::snprintf(line, sizeof(line), "  tag \"%s\": %" PRIu64 " blocks, %" PRIu64 " bytes (sizes",
                      TagText(t.tag).c_str(), t.blocks, t.bytes);
        text += line;
        for (SIZE_T size : t.sizes) {
            text += ' ';
            text += std::to_string(size);
        }
        if (t.blocks > t.sizes.size()) text += " ...";
        text += "), first allocated by " + t.allocatedBy + "\n";
    }
    for (const LeakedLookaside& l : lookasideLists) {
        std::snprintf(line, sizeof(line), "  %s lookaside list %p (tag \"%s\") not deleted\n",
                      l.paged ? "paged" : "non-paged", l.list, TagText(l.tag).c_str());
        text += line;
    }
    return text;
}

void CheckNoLeaksSince(const Snapshot& snapshot, const char* owner) {
    LeakReport report = LeaksSince(snapshot);
    if (report.Empty()) return;
    sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "%s did not free its pool: %s", owner,
                  report.ToString().c_str());
}

ExpectNoLeakCheck::ExpectNoLeakCheck() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.keepScopes += 1;
}

ExpectNoLeakCheck::~ExpectNoLeakCheck() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.keepScopes -= 1;
}

void ExemptTag(ULONG tag) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.exemptTags.insert(tag);
}

std::string TagText(ULONG tag) {
    std::string text;
    int length = 4;
    while (length > 0 && ((tag >> (8 * (length - 1))) & 0xFF) == 0) --length;
    for (int i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

}  // namespace sim::pool

KV_EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return sim::pool::detail::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

KV_EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { sim::pool::detail::Free(P, Tag, __builtin_return_address(0)); }

KV_EXTERN_C VOID ExFreePool(PVOID P) { sim::pool::detail::Free(P, 0, __builtin_return_address(0)); }
