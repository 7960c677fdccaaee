// The SSE control and status register (MXCSR): rounding control, flush-to-zero, denormals-are-zero.
// Access goes through the compiler's intrinsics, which every x64 compiler for the target offers
// (there is no inline assembly there). A signal fence on each side keeps the compiler from moving
// memory accesses of the floating-point work across a change of mode.
#pragma once

#include <win/ntdef.h>

#include <atomic>
#include <xmmintrin.h>

constexpr ULONG MxcsrRoundingMask = 0x6000;     // rounding control: 0 nearest even
constexpr ULONG MxcsrFlushToZero = 0x8000;
constexpr ULONG MxcsrDenormalsAreZero = 0x0040;

inline ULONG ReadMxcsr() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const ULONG value = _mm_getcsr();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return value;
}

inline VOID WriteMxcsr(ULONG value) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    _mm_setcsr(value);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Clears the given MXCSR control bits for its scope when any of them is set, and reloads the
// caller's whole register (control and flags) on leaving when it changed it.
class MxcsrScope {
public:
    explicit MxcsrScope(ULONG clearMask) : m_Saved(ReadMxcsr()), m_Changed((m_Saved & clearMask) != 0) {
        if (m_Changed) WriteMxcsr(m_Saved & ~clearMask);
    }
    ~MxcsrScope() {
        if (m_Changed) WriteMxcsr(m_Saved);
    }
    MxcsrScope(const MxcsrScope&) = delete;
    MxcsrScope& operator=(const MxcsrScope&) = delete;

private:
    ULONG m_Saved;
    bool m_Changed;
};
