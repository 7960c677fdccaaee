// Lookaside lists. The machine keeps no entries cached: every allocation comes from the pool with
// the list's tag and every free goes back to it, so accounting, fault injection, fill patterns and
// AddressSanitizer see each entry. The record's counters are kept as the system keeps them.
#include "pool_internal.h"

#include <sim/pool.h>
#include <sim/verifier.h>
#include <win/kernel.h>

namespace {

void Initialize(GENERAL_LOOKASIDE* l, const char* routine, POOL_TYPE type, PALLOCATE_FUNCTION allocate,
                PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, bool paged) {
    if (l == nullptr) sim::BugCheck("BAD_POOL_CALLER", "%s of a null lookaside list", routine);
    if (sim::pool::detail::IsLookasideLive(l)) {
        sim::BugCheck("BAD_POOL_CALLER", "%s of lookaside list %p (tag %s), which is live already", routine, l,
                      sim::pool::TagText(l->Tag).c_str());
    }
    if ((flags & ~ULONG{POOL_NX_ALLOCATION}) != 0) {
        sim::BugCheck("BAD_POOL_CALLER", "%s with unsupported flags 0x%X", routine, flags);
    }
    if (size == 0 || size > MAXULONG) {
        sim::BugCheck("BAD_POOL_CALLER", "%s with entry size %zu", routine, static_cast<size_t>(size));
    }
    if (paged && KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("BAD_POOL_CALLER", "%s at IRQL %u", routine, KeGetCurrentIrql());
    }
    *l = GENERAL_LOOKASIDE{};
    l->Depth = 0;
    l->MaximumDepth = 0;
    l->Type = paged ? PagedPool : (flags & POOL_NX_ALLOCATION) != 0 ? sim::pool::SystemNonPagedType() : type;
    l->Tag = tag;
    l->Size = static_cast<ULONG>(size);
    l->Allocate = allocate;
    l->Free = free;
    l->ListEntry.Flink = &l->ListEntry;
    l->ListEntry.Blink = &l->ListEntry;
    sim::pool::detail::RegisterLookaside(l, tag, paged);
}

void RequireLive(GENERAL_LOOKASIDE* l, const char* routine, bool paged) {
    if (l == nullptr || !sim::pool::detail::IsLookasideLive(l)) {
        sim::BugCheck("BAD_POOL_CALLER", "%s on lookaside list %p, which is not initialised or was deleted",
                      routine, static_cast<void*>(l));
    }
    if (paged && KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("BAD_POOL_CALLER", "%s on paged lookaside list %p (tag %s) at IRQL %u", routine,
                      static_cast<void*>(l), sim::pool::TagText(l->Tag).c_str(), KeGetCurrentIrql());
    }
}

PVOID AllocateEntry(GENERAL_LOOKASIDE* l, const void* caller) {
    InterlockedIncrement(&l->TotalAllocates);
    InterlockedIncrement(&l->AllocateMisses);
    if (l->Allocate != nullptr) return l->Allocate(l->Type, l->Size, l->Tag);
    return sim::pool::detail::Allocate(l->Type, l->Size, l->Tag, caller);
}

void FreeEntry(GENERAL_LOOKASIDE* l, PVOID entry, const void* caller) {
    InterlockedIncrement(&l->TotalFrees);
    InterlockedIncrement(&l->FreeMisses);
    if (l->Free != nullptr) {
        l->Free(entry);
    } else {
        // The list's tag: an entry of another list is caught here.
        sim::pool::detail::Free(entry, l->Tag, caller);
    }
}

void Delete(GENERAL_LOOKASIDE* l, const char* routine, bool paged) {
    RequireLive(l, routine, paged);
    sim::pool::detail::UnregisterLookaside(l);
}

}  // namespace

KV_EXTERN_C VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                 PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                 USHORT Depth) {
    UNREFERENCED_PARAMETER(Depth);
    Initialize(Lookaside != nullptr ? &Lookaside->L : nullptr, "ExInitializeNPagedLookasideList", NonPagedPool,
               Allocate, Free, Flags, Size, Tag, false);
}

KV_EXTERN_C PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    GENERAL_LOOKASIDE* l = Lookaside != nullptr ? &Lookaside->L : nullptr;
    RequireLive(l, "ExAllocateFromNPagedLookasideList", false);
    return AllocateEntry(l, __builtin_return_address(0));
}

KV_EXTERN_C VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    GENERAL_LOOKASIDE* l = Lookaside != nullptr ? &Lookaside->L : nullptr;
    RequireLive(l, "ExFreeToNPagedLookasideList", false);
    FreeEntry(l, Entry, __builtin_return_address(0));
}

KV_EXTERN_C VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    Delete(Lookaside != nullptr ? &Lookaside->L : nullptr, "ExDeleteNPagedLookasideList", false);
}

KV_EXTERN_C VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                USHORT Depth) {
    UNREFERENCED_PARAMETER(Depth);
    Initialize(Lookaside != nullptr ? &Lookaside->L : nullptr, "ExInitializePagedLookasideList", PagedPool,
               Allocate, Free, Flags, Size, Tag, true);
}

KV_EXTERN_C PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    GENERAL_LOOKASIDE* l = Lookaside != nullptr ? &Lookaside->L : nullptr;
    RequireLive(l, "ExAllocateFromPagedLookasideList", true);
    return AllocateEntry(l, __builtin_return_address(0));
}

KV_EXTERN_C VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    GENERAL_LOOKASIDE* l = Lookaside != nullptr ? &Lookaside->L : nullptr;
    RequireLive(l, "ExFreeToPagedLookasideList", true);
    FreeEntry(l, Entry, __builtin_return_address(0));
}

KV_EXTERN_C VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    Delete(Lookaside != nullptr ? &Lookaside->L : nullptr, "ExDeletePagedLookasideList", true);
}
