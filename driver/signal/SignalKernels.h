// Internal memory kernels of the signal library (no dispatch entry).
#pragma once

#include "driver/signal/SignalStatus.h"

#include <cstring>

// Zero-fills byteCount bytes; a count below 1 does nothing.
VOID ZeroBytesKernel(PVOID dst, LONG64 byteCount);
// Forward copy of byteCount bytes; the ranges must not overlap.
VOID copyBytes(PCVOID src, PVOID dst, LONG64 byteCount);
// Stores the 32-bit pattern value count times.
VOID Fill32Kernel(ULONG value, PVOID dst, LONG64 count);
// dst null -8, len < 1 -6, else fills len words with value.
SignalStatus fillInt32Checked(LONG value, LONG* dst, LONG len);

// One element at any byte alignment: callers' vectors are not required to be 4-byte aligned.
template <typename T>
inline T LoadElement(const T* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <typename T>
inline VOID StoreElement(T* p, T value) {
    std::memcpy(p, &value, sizeof(T));
}
