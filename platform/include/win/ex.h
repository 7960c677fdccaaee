// Executive: pool, lookaside lists, debug output.
#pragma once

#include <win/ntdef.h>

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// A driver that opts in to non-executable pool allocates its data from ExDefaultNonPagedPoolType:
// NonPagedPool until ExInitializeDriverRuntime(DrvRtPoolNxOptIn), which switches it to
// NonPagedPoolNx on the systems that have that type (Windows 8 and later); earlier systems know
// no such type and stop the machine when asked for it.
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPool;
#define DrvRtPoolNxOptIn 0x00000001u
KV_EXTERN_C BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
inline VOID ExInitializeDriverRuntime(ULONG RuntimeFlags) {
    constexpr ULONG kFirstWithNxPool = 0x06020000;
    if ((RuntimeFlags & DrvRtPoolNxOptIn) != 0 && RtlIsNtDdiVersionAvailable(kFirstWithNxPool)) {
        ExDefaultNonPagedPoolType = NonPagedPoolNx;
    }
}

// Pool type flags accepted by the lookaside initialisers.
#define POOL_NX_ALLOCATION 512
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

// The bit the pool keeps for protected tags; tags compare without it on free.
#define PROTECTED_POOL 0x80000000u

// Blocks of fewer bytes than a page are 16-byte aligned (64 for the cache-aligned types); blocks
// of a page or more are page aligned. Fresh blocks are not zeroed.
KV_EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
KV_EXTERN_C VOID ExFreePool(PVOID P);
KV_EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// Lookaside lists. The x64 record is one 128-byte, cache-aligned general lookaside.
typedef union alignas(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
} SLIST_HEADER, *PSLIST_HEADER;
static_assert(sizeof(SLIST_HEADER) == 16);

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);
struct _LOOKASIDE_LIST_EX;
typedef PVOID (*PALLOCATE_FUNCTION_EX)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                       struct _LOOKASIDE_LIST_EX* Lookaside);
typedef VOID (*PFREE_FUNCTION_EX)(PVOID Buffer, struct _LOOKASIDE_LIST_EX* Lookaside);

typedef struct alignas(64) _GENERAL_LOOKASIDE {
    union {
        SLIST_HEADER ListHead;
        SINGLE_LIST_ENTRY SingleListHead;
    };
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    union {
        ULONG AllocateMisses;
        ULONG AllocateHits;
    };
    ULONG TotalFrees;
    union {
        ULONG FreeMisses;
        ULONG FreeHits;
    };
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    union {
        PALLOCATE_FUNCTION_EX AllocateEx;
        PALLOCATE_FUNCTION Allocate;
    };
    union {
        PFREE_FUNCTION_EX FreeEx;
        PFREE_FUNCTION Free;
    };
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    union {
        ULONG LastAllocateMisses;
        ULONG LastAllocateHits;
    };
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;
static_assert(sizeof(GENERAL_LOOKASIDE) == 0x80 && alignof(GENERAL_LOOKASIDE) == 64);
static_assert(offsetof(GENERAL_LOOKASIDE, Depth) == 0x10 && offsetof(GENERAL_LOOKASIDE, Type) == 0x24 &&
              offsetof(GENERAL_LOOKASIDE, Tag) == 0x28 && offsetof(GENERAL_LOOKASIDE, Size) == 0x2C &&
              offsetof(GENERAL_LOOKASIDE, Allocate) == 0x30 && offsetof(GENERAL_LOOKASIDE, Free) == 0x38 &&
              offsetof(GENERAL_LOOKASIDE, ListEntry) == 0x40 && offsetof(GENERAL_LOOKASIDE, Future) == 0x58);

typedef struct alignas(64) _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 0x80 && alignof(NPAGED_LOOKASIDE_LIST) == 64);

typedef struct alignas(64) _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;
static_assert(sizeof(PAGED_LOOKASIDE_LIST) == 0x80 && alignof(PAGED_LOOKASIDE_LIST) == 64);

// Allocate and Free may be null for the pool's own routines. Flags may hold POOL_NX_ALLOCATION.
// Depth is a hint; entries always come from and go back to the pool, so every entry is
// accounted for under the list's tag.
KV_EXTERN_C VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                 PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                 USHORT Depth);
#ifdef _WIN32
// On x64 these two run inline over the kernel's interlocked list routines.
KV_EXTERN_C PSINGLE_LIST_ENTRY ExpInterlockedPopEntrySList(PSLIST_HEADER ListHead);
KV_EXTERN_C PSINGLE_LIST_ENTRY ExpInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSINGLE_LIST_ENTRY ListEntry);
// The list's depth is the low 16 bits of the header's first quadword.
inline USHORT ExQueryDepthSList(PSLIST_HEADER ListHead) { return static_cast<USHORT>(ListHead->Alignment & 0xFFFF); }

inline PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    Lookaside->L.TotalAllocates += 1;
    PVOID entry = ExpInterlockedPopEntrySList(&Lookaside->L.ListHead);
    if (entry == nullptr) {
        Lookaside->L.AllocateMisses += 1;
        entry = Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
    }
    return entry;
}

inline VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    Lookaside->L.TotalFrees += 1;
    if (ExQueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
        Lookaside->L.FreeMisses += 1;
        Lookaside->L.Free(Entry);
    } else {
        ExpInterlockedPushEntrySList(&Lookaside->L.ListHead, static_cast<PSINGLE_LIST_ENTRY>(Entry));
    }
}
#else
KV_EXTERN_C PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
KV_EXTERN_C VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
#endif
KV_EXTERN_C VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);

KV_EXTERN_C VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                USHORT Depth);
KV_EXTERN_C PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
KV_EXTERN_C VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
KV_EXTERN_C VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);

KV_EXTERN_C ULONG DbgPrint(PCSTR Format, ...);
