// Memory manager: memory descriptor lists (MDLs) and mappings of locked pages into the system
// or into the current process.
#pragma once

#include <win/io.h>
#include <win/ntdef.h>

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((BYTE_OFFSET(Va) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

// The descriptor; the page frame numbers of its pages follow it.
struct _MDL {
    struct _MDL* Next;
    CSHORT Size;  // bytes of the record and its page frame numbers
    CSHORT MdlFlags;  // MDL_*
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;  // page-aligned
    ULONG ByteCount;
    ULONG ByteOffset;  // of the first byte within the first page
};
static_assert(sizeof(MDL) == 48 && offsetof(MDL, Size) == 8 && offsetof(MDL, MdlFlags) == 10 &&
              offsetof(MDL, Process) == 16 && offsetof(MDL, MappedSystemVa) == 24 && offsetof(MDL, StartVa) == 32 &&
              offsetof(MDL, ByteCount) == 40 && offsetof(MDL, ByteOffset) == 44);

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_WRITE_OPERATION 0x0080
#define MDL_MAPPING_CAN_FAIL 0x2000

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6,
    MmNotMapped = -1,
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32,
} MM_PAGE_PRIORITY;

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

// An MDL (from non-paged pool) for Length bytes at VirtualAddress. With Irp and not
// SecondaryBuffer it becomes Irp->MdlAddress. Null without pool or for a length of 0.
KV_EXTERN_C PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                               PIRP Irp);
// The MDL must not be mapped into a process any more.
KV_EXTERN_C VOID IoFreeMdl(PMDL Mdl);
// Describes the pages of a non-paged buffer and records its system address.
KV_EXTERN_C VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// KernelMode: the system address of the pages. UserMode (at or below APC_LEVEL): maps the pages
// again in the current process and answers the user address of the MDL's first byte (the caller
// unmaps with MmUnmapLockedPages in the same process). A user mapping that fails raises an
// exception, which this machine cannot catch: it stops.
KV_EXTERN_C PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                               MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                               ULONG BugCheckOnFailure, ULONG Priority);
KV_EXTERN_C VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if ((Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}

// Sections: memory of their own (only pagefile-backed sections, SEC_COMMIT), shown through views
// in the system and in processes. A view in a process goes with the process's end; every failure
// is a status.
#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_EXTEND_SIZE 0x0010
#define SECTION_ALL_ACCESS \
    (STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_WRITE | SECTION_MAP_READ | SECTION_MAP_EXECUTE | \
     SECTION_EXTEND_SIZE)
#define SEC_COMMIT 0x8000000
#define PAGE_READWRITE 0x04

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()

typedef enum _SECTION_INHERIT {
    ViewShare = 1,
    ViewUnmap = 2,
} SECTION_INHERIT;

KV_KERNEL_DATA POBJECT_TYPE* MmSectionObjectType;

// A section of MaximumSize bytes (rounded up to pages, zeroed); FileHandle must be null.
KV_EXTERN_C NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection,
                                     ULONG AllocationAttributes, HANDLE FileHandle);
// A view of the whole section (offset 0; *ViewSize 0 or the section's size) in the current process
// (ProcessHandle NtCurrentProcess()); *BaseAddress must be null on entry.
KV_EXTERN_C NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                                        SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                        SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect);
KV_EXTERN_C NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
// A view of the whole section in system space, from a referenced section object.
KV_EXTERN_C NTSTATUS MmMapViewInSystemSpace(PVOID Section, PVOID* MappedBase, PSIZE_T ViewSize);
KV_EXTERN_C NTSTATUS MmUnmapViewInSystemSpace(PVOID MappedBase);
