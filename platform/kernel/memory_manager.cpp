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
#include <vector>

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

// A section object's body: pages of its own in the arena, given back when the last reference
// (handles, views) goes.
struct SectionBody {
    void* pages;
    size_t bytes;
};

void DestroySection(void* body) {
    auto* section = static_cast<SectionBody*>(body);
    if (section->pages != nullptr) sim::arena::Release(section->pages, section->bytes);
}

_OBJECT_TYPE g_sectionType{{.name = "Section", .destroy = DestroySection}};
POBJECT_TYPE g_sectionTypePointer = &g_sectionType;

// A view of a section in a process; it holds a reference on the section.
struct View {
    PEPROCESS process;
    SectionBody* section;
    size_t bytes;
};

struct State {
    std::mutex lock;
    std::map<uintptr_t, Mapping> user;  // by the user address of the MDL's first byte
    std::map<PMDL, MdlRecord> mdls;     // live MDLs
    std::map<uintptr_t, View> views;    // section views in processes, by user address
    std::map<uintptr_t, SectionBody*> systemViews;  // section views in system space
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
    for (const auto& [address, view] : s.views) count += process == nullptr || view.process == process;
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

void UnmapProcessViews(PEPROCESS process) {
    std::vector<SectionBody*> released;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto it = s.views.begin(); it != s.views.end();) {
            if (it->second.process != process) {
                ++it;
                continue;
            }
            munmap(reinterpret_cast<void*>(it->first), it->second.bytes);
            released.push_back(it->second.section);
            it = s.views.erase(it);
        }
    }
    for (SectionBody* section : released) ObDereferenceObject(section);
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
    UNREFERENCED_PARAMETER(BugCheckOnFailure);  // only kernel mappings honour it, and they cannot fail here
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
        // A user-mode mapping that fails raises an exception whatever BugCheckOnFailure says. The
        // machine has no structured exception handling, so nothing can catch it: it stops here.
        sim::BugCheck("KMODE_EXCEPTION_NOT_HANDLED",
                      "user mapping of MDL %p (%zu bytes) in process %s failed and raised an exception",
                      static_cast<void*>(mdl), bytes, process->name.c_str());
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

// ---------------------------------------------------------------------------------------------
// Sections

extern "C" {
POBJECT_TYPE* MmSectionObjectType = &g_sectionTypePointer;
}

KV_EXTERN_C NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection,
                                     ULONG AllocationAttributes, HANDLE FileHandle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ZwCreateSection at IRQL %u", KeGetCurrentIrql());
    }
    if (SectionHandle == nullptr) return STATUS_INVALID_PARAMETER_1;
    *SectionHandle = nullptr;
    if (FileHandle != nullptr) return STATUS_INVALID_PARAMETER;  // only pagefile-backed sections
    if (MaximumSize == nullptr || MaximumSize->QuadPart <= 0 || MaximumSize->QuadPart > (int64_t{1} << 32)) {
        return STATUS_INVALID_PARAMETER_4;
    }
    if (SectionPageProtection != PAGE_READWRITE || (AllocationAttributes & SEC_COMMIT) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t bytes = ROUND_TO_PAGES(static_cast<uint64_t>(MaximumSize->QuadPart));
    void* pages = sim::arena::Allocate(bytes);
    if (pages == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(pages, 0, bytes);
    auto* section = static_cast<SectionBody*>(sim::ob::CreateObject(g_sectionTypePointer, sizeof(SectionBody)));
    if (section == nullptr) {
        sim::arena::Release(pages, bytes);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    section->pages = pages;
    section->bytes = bytes;
    const bool kernel = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    *SectionHandle = sim::ob::InsertHandle(kernel ? sim::ob::kKernelTable : sim::ob::CurrentHandleTable(), section,
                                           DesiredAccess);
    ObDereferenceObject(section);  // the handle holds it
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS MmMapViewInSystemSpace(PVOID Section, PVOID* MappedBase, PSIZE_T ViewSize) {
    if (Section == nullptr || !sim::ob::IsObject(Section) || sim::ob::TypeOf(Section) != g_sectionTypePointer) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "MmMapViewInSystemSpace of %p, which is not a section",
                      Section);
    }
    if (MappedBase == nullptr || ViewSize == nullptr) return STATUS_INVALID_PARAMETER;
    auto* section = static_cast<SectionBody*>(Section);
    if (*ViewSize != 0 && *ViewSize != section->bytes) return STATUS_INVALID_VIEW_SIZE;
    ObReferenceObject(section);
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.systemViews[reinterpret_cast<uintptr_t>(section->pages)] = section;
    *MappedBase = section->pages;
    *ViewSize = section->bytes;
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS MmUnmapViewInSystemSpace(PVOID MappedBase) {
    SectionBody* section = nullptr;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.systemViews.find(reinterpret_cast<uintptr_t>(MappedBase));
        if (it != s.systemViews.end()) {
            section = it->second;
            s.systemViews.erase(it);
        }
    }
    if (section == nullptr) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "MmUnmapViewInSystemSpace of %p, which is no system view",
                      MappedBase);
    }
    ObDereferenceObject(section);
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                                        SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                        SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect) {
    UNREFERENCED_PARAMETER(ZeroBits);
    UNREFERENCED_PARAMETER(CommitSize);
    UNREFERENCED_PARAMETER(InheritDisposition);
    UNREFERENCED_PARAMETER(AllocationType);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ZwMapViewOfSection at IRQL %u", KeGetCurrentIrql());
    }
    if (ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
    if (BaseAddress == nullptr || *BaseAddress != nullptr || ViewSize == nullptr) return STATUS_INVALID_PARAMETER;
    if (SectionOffset != nullptr && SectionOffset->QuadPart != 0) return STATUS_INVALID_PARAMETER;
    if (Win32Protect != PAGE_READWRITE) return STATUS_INVALID_PARAMETER;
    PEPROCESS process = sim::io::CurrentProcess();
    if (process == sim::io::SystemProcess()) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "ZwMapViewOfSection into the system process: the caller runs in no user process");
    }
    if (process->dead) return STATUS_PROCESS_IS_TERMINATING;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(SectionHandle, SECTION_MAP_READ | SECTION_MAP_WRITE,
                                                g_sectionTypePointer, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* section = static_cast<SectionBody*>(object);
    if (*ViewSize != 0 && *ViewSize != section->bytes) {
        ObDereferenceObject(section);
        return STATUS_INVALID_VIEW_SIZE;
    }
    State& s = TheState();
    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        fail = s.failNth != 0 && --s.failNth == 0;
    }
    void* user = MAP_FAILED;
    if (!fail) {
        // A 32-bit process sees only addresses below 4 GB.
        const int flags = MAP_SHARED | (process->is32bit ? MAP_32BIT : 0);
        user = mmap(nullptr, section->bytes, PROT_READ | PROT_WRITE, flags, sim::arena::File(),
                    static_cast<off_t>(sim::arena::OffsetOf(section->pages)));
        if (user != MAP_FAILED && process->is32bit &&
            reinterpret_cast<uint64_t>(user) + section->bytes > kFourGigabytes) {
            munmap(user, section->bytes);
            user = MAP_FAILED;
        }
    }
    if (user == MAP_FAILED) {
        ObDereferenceObject(section);
        return STATUS_NO_MEMORY;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    s.views[reinterpret_cast<uintptr_t>(user)] = View{.process = process, .section = section, .bytes = section->bytes};
    *BaseAddress = user;
    *ViewSize = section->bytes;
    return STATUS_SUCCESS;  // the view keeps the reference
}

KV_EXTERN_C NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ZwUnmapViewOfSection at IRQL %u", KeGetCurrentIrql());
    }
    if (ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
    PEPROCESS process = sim::io::CurrentProcess();
    // A process that has ended took its views with it.
    if (process->dead) return STATUS_PROCESS_IS_TERMINATING;
    SectionBody* section = nullptr;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.views.find(reinterpret_cast<uintptr_t>(BaseAddress));
        if (it == s.views.end() || it->second.process != process) return STATUS_NOT_MAPPED_VIEW;
        munmap(BaseAddress, it->second.bytes);
        section = it->second.section;
        s.views.erase(it);
    }
    ObDereferenceObject(section);
    return STATUS_SUCCESS;
}
