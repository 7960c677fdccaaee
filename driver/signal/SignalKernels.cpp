// Memory kernels shared by the vector operations and the FIR set-up.
#include "driver/signal/SignalKernels.h"

#include <cstring>

VOID ZeroBytesKernel(PVOID dst, LONG64 byteCount) {
    if (byteCount < 1) return;
    std::memset(dst, 0, static_cast<size_t>(byteCount));
}

VOID copyBytes(PCVOID src, PVOID dst, LONG64 byteCount) {
    if (byteCount < 1) return;
    std::memcpy(dst, src, static_cast<size_t>(byteCount));
}

VOID Fill32Kernel(ULONG value, PVOID dst, LONG64 count) {
    // Byte-wise stores of the pattern: dst need not be 4-byte aligned.
    auto* p = static_cast<UCHAR*>(dst);
    for (LONG64 i = 0; i < count; ++i) std::memcpy(p + 4 * i, &value, 4);
}

SignalStatus fillInt32Checked(LONG value, LONG* dst, LONG len) {
    if (dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    Fill32Kernel(static_cast<ULONG>(value), dst, len);
    return StatusOk;
}
