// Memory of the signal library: the allocator hooks (non-paged pool under the library's own tag)
// and 32-byte aligned blocks built on them.
#pragma once

#include <win/ntdef.h>

// Pool tag of every block the library allocates ("KvSg" in a pool dump); used for nothing else.
constexpr ULONG SignalPoolTag = 'gSvK';

// size in bytes; null on failure.
PVOID SignalAlloc(ULONG size);
// count x size bytes, not zeroed; null on failure or when the product does not fit 64 bits.
PVOID SignalAllocArray(ULONG count, ULONGLONG size);
// Returns a block from SignalAlloc or SignalAllocArray to the pool.
VOID SignalFree(PVOID block);

// The library's memory functions, one static table that is never changed.
struct SignalAllocatorHooks {
    PVOID (*Allocate)(ULONG size);
    PVOID (*AllocateArray)(ULONG count, ULONGLONG size);
    PVOID (*Reallocate)(PVOID block, ULONG size);  // always null: the library never grows a block
    VOID (*Free)(PVOID block);
};

extern const SignalAllocatorHooks AllocatorHooks;

// At least n bytes on a 32-byte boundary, or null (also for n < 1). The raw block pointer lives in
// the 8 bytes below the returned address; free only with FreeAligned.
PVOID AllocAligned(LONG n);
// Frees a block from AllocAligned; null does nothing.
VOID FreeAligned(PVOID p);
