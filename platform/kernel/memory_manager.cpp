// Memory descriptor lists and mappings of locked pages. A user mapping is a real second mapping
// of the pool block's pages (from the page arena's memory file) in the current process: what the
// process writes, the kernel reads at the block's address, and after the unmap an access faults.
// The verifier stops a mapping that would show memory beyond one pool block, an unmap from
// another process, an MDL freed while mapped, and a pool block freed while mapped.
#include "memory_internal.h"
#include "page_arena.h"
#include "pool_internal.h"
#include "processes.h"

#include <sim/io.h>
#include <sim/mm.h>
#include <sim/pool.h>
#include <sim/verifier.h>

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim::mm {
namespace {

constexpr ULONG kMdlTag = ' ldM';  // "Mdl "
constexpr uint64_t kFourGigabytes = uint64_t{1} << 32;

struct Mapping {
    PEPROCESS process;
    PMDL mdl;
    uintptr_t userPages;    // page-aligned start of the second mapping
    uintptr_t kernelPages;  // page-aligned start of the pages it shows
    size_t bytes;           // whole pages
};

struct MdlRecord {
    size_t userMappings = 0;
};

struct State {
    std::mutex lock;
    std::map<uintptr_t, Mapping> user;  // by the user address of the MDL's first byte
    std::map<PMDL, MdlRecord> mdls;     // live MDLs
    uint64_t failNth = 0;
};

State& TheState() {
    static State* state = new State();  // lives as long as the process
    return *state;
}

std::string Describe(const Mapping& m) {
    char text[160];
    std::snprintf(text, sizeof(text), " %p (%zu bytes of pool pages %p, MDL %p, process %s)",
                  reinterpret_cast<void*>(m.userPages), m.bytes, reinterpret_cast<void*>(m.kernelPages),
                  static_cast<void*>(m.mdl), m.process->name.c_str());
    return text;
}

void CheckLiveMdl(State& s, PMDL mdl, const char* caller) {
    if (mdl == nullptr || s.mdls.count(mdl) == 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "%s of %p, which is not an MDL from IoAllocateMdl", caller,
                      static_cast<void*>(mdl));
    }
}

void CheckAtMostApcLevel(const char* caller) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s of a user mapping at IRQL %u", caller, KeGetCurrentIrql());
    }
}

// The pages [start, start + bytes) may be shown to a process only when they all belong to one
// pool block of whole pages: anything else shows other blocks or memory that is not pool at all.
void CheckExposesOneBlock(const void* firstByte, uintptr_t start, size_t bytes) {
    uintptr_t blockStart = 0;
    SIZE_T blockBytes = 0;
    POOL_TYPE type = NonPagedPool;
    bool arena = false;
    if (!sim::pool::detail::FindBlock(firstByte, &blockStart, &blockBytes, &type, &arena)) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "user mapping of %zu bytes at %p, which is not the memory of a pool block", bytes, firstByte);
    }
    if (!arena) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "user mapping of pool block %p (%zu bytes) would show the process other pool blocks that "
                      "share its pages: map page-aligned blocks of whole pages",
                      reinterpret_cast<void*>(blockStart), static_cast<size_t>(blockBytes));
    }
    if (start < blockStart || start + bytes > blockStart + blockBytes) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "user mapping of %zu bytes at %p runs past the end of its pool block (%zu bytes)", bytes,
                      reinterpret_cast<void*>(start), static_cast<size_t>(blockBytes));
    }
}

}  // namespace

size_t UserMappingCount(PEPROCESS process) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    size_t count = 0;
    for (const auto& [address, mapping] : s.user) count += process == nullptr || mapping.process == process;
    return count;
}

void FailNthUserMapping(uint64_t n) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth = n;
}

void DisarmFaults() { FailNthUserMapping(0); }

bool FaultArmed() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.failNth != 0;
}

namespace detail {

size_t UserMappingsOf(PEPROCESS process, std::string* listing) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    size_t count = 0;
    for (const auto& [address, mapping] : s.user) {
        if (mapping.process != process) continue;
        ++count;
        if (listing != nullptr) *listing += Describe(mapping);
    }
    return count;
}

size_t UserMappingsOver(const void* address, size_t bytes, std::string* listing) {
    auto start = reinterpret_cast<uintptr_t>(address);
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    size_t count = 0;
    for (const auto& [user, mapping] : s.user) {
        if (mapping.kernelPages >= start + bytes || mapping.kernelPages + mapping.bytes <= start) continue;
        ++count;
        if (listing != nullptr) *listing += Describe(mapping);
    }
    return count;
}

}  // namespace detail

}  // namespace sim::mm

using namespace sim::mm;

KV_EXTERN_C PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                               PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoAllocateMdl at IRQL %u", KeGetCurrentIrql());
    }
    if (Length == 0) return nullptr;
    SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    SIZE_T size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    if (size > 0x7FFF) return nullptr;  // MDL.Size is a CSHORT
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(sim::pool::SystemNonPagedType(), size, kMdlTag));
    if (mdl == nullptr) return nullptr;
    std::memset(static_cast<void*>(mdl), 0, size);
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (SecondaryBuffer == FALSE || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) last = last->Next;
            last->Next = mdl;
        }
    }
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.mdls[mdl] = MdlRecord{};
    return mdl;
}

KV_EXTERN_C VOID IoFreeMdl(PMDL Mdl) {
    {
        State& s = TheState();
        std::unique_lock<std::mutex> guard(s.lock);
        CheckLiveMdl(s, Mdl, "IoFreeMdl");
        if (size_t mapped = s.mdls[Mdl].userMappings) {
            std::string listing;
            for (const auto& [user, mapping] : s.user) {
                if (mapping.mdl == Mdl) listing += Describe(mapping);
            }
            guard.unlock();
            sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                          "IoFreeMdl of MDL %p while %zu user mapping(s) of it exist:%s", static_cast<void*>(Mdl),
                          mapped, listing.c_str());
        }
        s.mdls.erase(Mdl);
    }
    ExFreePoolWithTag(Mdl, kMdlTag);
}

KV_EXTERN_C VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.lock);
        CheckLiveMdl(s, mdl, "MmBuildMdlForNonPagedPool");
    }
    uintptr_t blockStart = 0;
    SIZE_T blockBytes = 0;
    POOL_TYPE type = NonPagedPool;
    bool arena = false;
    if (sim::pool::detail::FindBlock(MmGetMdlVirtualAddress(mdl), &blockStart, &blockBytes, &type, &arena) &&
        (type & 1) != 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmBuildMdlForNonPagedPool of MDL %p, which describes paged pool block %p",
                      static_cast<void*>(mdl), reinterpret_cast<void*>(blockStart));
    }
    auto* frames = reinterpret_cast<PPFN_NUMBER>(mdl + 1);
    SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (SIZE_T i = 0; i < pages; ++i) frames[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

KV_EXTERN_C PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                               MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                               ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    State& s = TheState();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        CheckLiveMdl(s, mdl, "MmMapLockedPagesSpecifyCache");
    }
    if ((mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)) == 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmMapLockedPagesSpecifyCache of MDL %p, whose pages are not locked", static_cast<void*>(mdl));
    }
    if (AccessMode == KernelMode) {
        if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
            sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "MmMapLockedPagesSpecifyCache at IRQL %u", KeGetCurrentIrql());
        }
        if ((mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) == 0) {
            mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
            mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        }
        return mdl->MappedSystemVa;
    }

    CheckAtMostApcLevel("MmMapLockedPagesSpecifyCache");
    PEPROCESS process = sim::io::CurrentProcess();
    if (process == sim::io::SystemProcess()) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "user mapping of MDL %p in the system process: the caller runs in no user process",
                      static_cast<void*>(mdl));
    }
    auto kernelPages = reinterpret_cast<uintptr_t>(mdl->StartVa);
    size_t bytes = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount) * PAGE_SIZE;
    CheckExposesOneBlock(MmGetMdlVirtualAddress(mdl), kernelPages, bytes);

    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        fail = s.failNth != 0 && --s.failNth == 0;
    }
    void* user = MAP_FAILED;
    if (!fail) {
        // A 32-bit process sees only addresses below 4 GB.
        int flags = MAP_SHARED | (process->is32bit ? MAP_32BIT : 0);
        user = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, sim::arena::File(),
                    static_cast<off_t>(sim::arena::OffsetOf(mdl->StartVa)));
        if (user != MAP_FAILED && process->is32bit && reinterpret_cast<uint64_t>(user) + bytes > kFourGigabytes) {
            munmap(user, bytes);
            user = MAP_FAILED;
        }
    }
    if (user == MAP_FAILED) {
        if (BugCheckOnFailure != FALSE) {
            sim::BugCheck("NO_MORE_SYSTEM_PTES", "user mapping of MDL %p (%zu bytes) in process %s failed",
                          static_cast<void*>(mdl), bytes, process->name.c_str());
        }
        return nullptr;
    }
    auto userAddress = reinterpret_cast<uintptr_t>(user) + mdl->ByteOffset;
    std::lock_guard<std::mutex> guard(s.lock);
    s.user[userAddress] = Mapping{.process = process,
                                  .mdl = mdl,
                                  .userPages = reinterpret_cast<uintptr_t>(user),
                                  .kernelPages = kernelPages,
                                  .bytes = bytes};
    s.mdls[mdl].userMappings += 1;
    return reinterpret_cast<PVOID>(userAddress);
}

KV_EXTERN_C VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    State& s = TheState();
    std::unique_lock<std::mutex> guard(s.lock);
    CheckLiveMdl(s, mdl, "MmUnmapLockedPages");
    auto it = s.user.find(reinterpret_cast<uintptr_t>(BaseAddress));
    if (it == s.user.end()) {
        if (BaseAddress == mdl->MappedSystemVa) {
            // The system mapping: nothing to undo but the flag.
            mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
            return;
        }
        guard.unlock();
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmUnmapLockedPages of %p, which is no mapping of MDL %p", BaseAddress, static_cast<void*>(mdl));
    }
    Mapping mapping = it->second;
    PEPROCESS current = sim::io::CurrentProcess();
    if (mapping.mdl != mdl) {
        guard.unlock();
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmUnmapLockedPages of %p with MDL %p; it maps MDL %p", BaseAddress, static_cast<void*>(mdl),
                      static_cast<void*>(mapping.mdl));
    }
    if (mapping.process != current) {
        guard.unlock();
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmUnmapLockedPages of %p in process %s; it is mapped in process %s (attach to it first)",
                      BaseAddress, current->name.c_str(), mapping.process->name.c_str());
    }
    guard.unlock();
    CheckAtMostApcLevel("MmUnmapLockedPages");
    guard.lock();
    s.user.erase(reinterpret_cast<uintptr_t>(BaseAddress));
    s.mdls[mdl].userMappings -= 1;
    munmap(reinterpret_cast<void*>(mapping.userPages), mapping.bytes);
}
