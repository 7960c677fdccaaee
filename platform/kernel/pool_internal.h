// Pool internals shared with the lookaside lists.
#pragma once

#include <win/ex.h>

#include <cstdint>

namespace sim::pool::detail {

// `caller` is the code address the block is charged to in leak reports.
PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller);
// Tag 0 skips the tag check (ExFreePool).
void Free(PVOID p, ULONG tag, const void* caller);

// The live block that holds address: its start, size, type and whether it is arena pages.
bool FindBlock(const void* address, uintptr_t* start, SIZE_T* bytes, POOL_TYPE* type, bool* arena);

// Live lookaside lists, so that leak reports list the ones never deleted and a free of pool that
// still holds a live list is caught.
void RegisterLookaside(const void* list, ULONG tag, bool paged);
// False when the list is not live (never initialised, or deleted already).
bool IsLookasideLive(const void* list);
bool UnregisterLookaside(const void* list);

}  // namespace sim::pool::detail
