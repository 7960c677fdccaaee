// The SSE control and status register (MXCSR): rounding control, flush-to-zero, denormals-are-zero.
// Access goes through volatile asm with a memory clobber so floating-point work is not moved across
// a change of mode.
#pragma once

#include <win/ntdef.h>

constexpr ULONG MxcsrRoundingMask = 0x6000;     // rounding control: 0 nearest even
constexpr ULONG MxcsrFlushToZero = 0x8000;
constexpr ULONG MxcsrDenormalsAreZero = 0x0040;

inline ULONG ReadMxcsr() {
    ULONG value;
    __asm__ volatile("stmxcsr %0" : "=m"(value) : : "memory");
    return value;
}

inline VOID WriteMxcsr(ULONG value) { __asm__ volatile("ldmxcsr %0" : : "m"(value) : "memory"); }

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
