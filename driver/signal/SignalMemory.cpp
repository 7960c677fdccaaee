// Allocator hooks and aligned blocks of the signal library.
#include "driver/signal/SignalMemory.h"

#include <win/ex.h>

namespace {

constexpr ULONG kAlignedAlignment = 32;  // bytes
constexpr ULONG kAlignedOverhead = 40;   // bytes: room for the raw pointer plus the alignment slack

PVOID NoReallocate(PVOID, ULONG) { return nullptr; }

}  // namespace

PVOID SignalAlloc(ULONG size) { return ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, size, SignalPoolTag); }

PVOID SignalAllocArray(ULONG count, ULONGLONG size) {
    ULONGLONG bytes = 0;
    if (__builtin_mul_overflow(static_cast<ULONGLONG>(count), size, &bytes)) return nullptr;
    return ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, bytes, SignalPoolTag);
}

VOID SignalFree(PVOID block) { ExFreePoolWithTag(block, SignalPoolTag); }

const SignalAllocatorHooks AllocatorHooks = {
    .Allocate = SignalAlloc,
    .AllocateArray = SignalAllocArray,
    .Reallocate = NoReallocate,
    .Free = SignalFree,
};

PVOID AllocAligned(LONG n) {
    if (n < 1) return nullptr;
    // n <= 0x7FFFFFFF, so n + 40 fits a ULONG.
    PVOID raw = AllocatorHooks.Allocate(static_cast<ULONG>(n) + kAlignedOverhead);
    if (raw == nullptr) return nullptr;
    // First 32-byte boundary at least 8 bytes above the raw block.
    const ULONG_PTR aligned =
        (reinterpret_cast<ULONG_PTR>(raw) + kAlignedOverhead - 1) & ~static_cast<ULONG_PTR>(kAlignedAlignment - 1);
    reinterpret_cast<PVOID*>(aligned)[-1] = raw;
    return reinterpret_cast<PVOID>(aligned);
}

VOID FreeAligned(PVOID p) {
    if (p == nullptr) return;
    AllocatorHooks.Free(static_cast<PVOID*>(p)[-1]);
}
