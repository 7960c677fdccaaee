// Helpers of the signal tests: bit views of floats, exact-size buffers at chosen offsets, and
// MXCSR settings around a call.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <xmmintrin.h>

namespace sigtest {

inline uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }
inline float FromBits(uint32_t b) { return std::bit_cast<float>(b); }
inline float QuietNaN() { return FromBits(0x7FC00000); }

// `bytes` bytes that end exactly where the heap block ends (AddressSanitizer reports any byte
// written or read past them), starting `offset` bytes into the block; the bytes in front are a
// guard that Intact() checks.
class ExactBuffer {
public:
    ExactBuffer(size_t bytes, size_t offset) : m_Bytes(bytes), m_Offset(offset) {
        m_Block = static_cast<unsigned char*>(std::malloc(offset + bytes + (offset + bytes == 0)));
        std::memset(m_Block, kGuard, offset + bytes);
    }
    ~ExactBuffer() { std::free(m_Block); }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;

    template <typename T>
    T* As() const { return reinterpret_cast<T*>(m_Block + m_Offset); }
    size_t Bytes() const { return m_Bytes; }
    // Element i of type T at any alignment.
    template <typename T>
    T Get(size_t i) const {
        T v;
        std::memcpy(&v, m_Block + m_Offset + i * sizeof(T), sizeof(T));
        return v;
    }
    template <typename T>
    void Set(size_t i, T v) {
        std::memcpy(m_Block + m_Offset + i * sizeof(T), &v, sizeof(T));
    }
    bool Intact() const {
        for (size_t i = 0; i < m_Offset; ++i) {
            if (m_Block[i] != kGuard) return false;
        }
        return true;
    }

private:
    static constexpr unsigned char kGuard = 0xCD;
    unsigned char* m_Block;
    size_t m_Bytes;
    size_t m_Offset;
};

inline uint32_t GetMxcsr() { return _mm_getcsr(); }
inline void SetMxcsr(uint32_t v) { _mm_setcsr(v); }

constexpr uint32_t kMxcsrDefault = 0x1F80;  // all exceptions masked, nearest, no FTZ/DAZ
constexpr uint32_t kRoundNearest = 0x0000;
constexpr uint32_t kRoundDown = 0x2000;
constexpr uint32_t kRoundUp = 0x4000;
constexpr uint32_t kRoundTowardZero = 0x6000;
constexpr uint32_t kFlushToZero = 0x8000;
constexpr uint32_t kDenormalsAreZero = 0x0040;

// The caller modes a conversion must not depend on: every rounding control, flush-to-zero as the
// engine's data path runs, and denormals-are-zero.
constexpr uint32_t kCallerModes[] = {kRoundNearest, kRoundDown, kRoundUp, kRoundTowardZero,
                                     kRoundTowardZero | kFlushToZero, kRoundNearest | kFlushToZero,
                                     kRoundUp | kDenormalsAreZero};

// Runs fn with MXCSR set to the default plus `mode` and restores the default afterwards.
template <typename Fn>
auto WithMxcsr(uint32_t mode, Fn fn) {
    const uint32_t saved = GetMxcsr();
    SetMxcsr(kMxcsrDefault | mode);
    struct Restore {
        uint32_t v;
        ~Restore() { SetMxcsr(v); }
    } restore{saved};
    return fn();
}

}  // namespace sigtest
