// Interleaving float planes into frames and back. Samples move as 32-bit patterns (integer
// registers only), so the operations serve any 32-bit sample type.
#include "driver/signal/SignalGeneric.h"

#include <emmintrin.h>

#include <cstring>

namespace {

constexpr LONG kFrameBlock = 256;  // frames per pass over a group of channels, to stay in cache

bool IsAligned16(const void* p) { return (reinterpret_cast<ULONG_PTR>(p) & 15) == 0; }

inline __m128i Load(const float* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline VOID Store(float* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// 4 x 4 transpose of 32-bit lanes: row r of the result is lane r of each input.
inline VOID Transpose4(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
    const __m128i t1 = _mm_unpacklo_epi32(r2, r3);
    const __m128i t2 = _mm_unpackhi_epi32(r0, r1);
    const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
    r0 = _mm_unpacklo_epi64(t0, t1);
    r1 = _mm_unpackhi_epi64(t0, t1);
    r2 = _mm_unpacklo_epi64(t2, t3);
    r3 = _mm_unpackhi_epi64(t2, t3);
}

inline VOID CopyWord(const float* src, float* dst) {
    _mm_storeu_si32(dst, _mm_loadu_si32(src));
}

VOID InterleaveTwo(const float* p0, const float* p1, LONG len, float* dst) {
    LONG64 i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128i a = Load(p0 + i);
        const __m128i b = Load(p1 + i);
        Store(dst + 2 * i, _mm_unpacklo_epi32(a, b));
        Store(dst + 2 * i + 4, _mm_unpackhi_epi32(a, b));
    }
    for (; i < len; ++i) {
        CopyWord(p0 + i, dst + 2 * i);
        CopyWord(p1 + i, dst + 2 * i + 1);
    }
}

VOID DeinterleaveTwo(const float* src, LONG len, float* p0, float* p1) {
    LONG64 i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128i a = Load(src + 2 * i);      // l0 r0 l1 r1
        const __m128i b = Load(src + 2 * i + 4);  // l2 r2 l3 r3
        const __m128i lo = _mm_unpacklo_epi32(a, b);  // l0 l2 r0 r2
        const __m128i hi = _mm_unpackhi_epi32(a, b);  // l1 l3 r1 r3
        Store(p0 + i, _mm_unpacklo_epi32(lo, hi));
        Store(p1 + i, _mm_unpackhi_epi32(lo, hi));
    }
    for (; i < len; ++i) {
        CopyWord(src + 2 * i, p0 + i);
        CopyWord(src + 2 * i + 1, p1 + i);
    }
}

// Frames [begin, end) of channels c..c+3 into the interleaved buffer of n channels.
VOID InterleaveFour(const float* const* planes, LONG64 c, LONG64 n, LONG64 begin, LONG64 end, float* dst) {
    const float* p0 = planes[c];
    const float* p1 = planes[c + 1];
    const float* p2 = planes[c + 2];
    const float* p3 = planes[c + 3];
    LONG64 i = begin;
    for (; i + 4 <= end; i += 4) {
        __m128i r0 = Load(p0 + i), r1 = Load(p1 + i), r2 = Load(p2 + i), r3 = Load(p3 + i);
        Transpose4(r0, r1, r2, r3);
        float* out = dst + i * n + c;
        Store(out, r0);
        Store(out + n, r1);
        Store(out + 2 * n, r2);
        Store(out + 3 * n, r3);
    }
    for (; i < end; ++i) {
        float* out = dst + i * n + c;
        CopyWord(p0 + i, out);
        CopyWord(p1 + i, out + 1);
        CopyWord(p2 + i, out + 2);
        CopyWord(p3 + i, out + 3);
    }
}

VOID DeinterleaveFour(const float* src, LONG64 c, LONG64 n, LONG64 begin, LONG64 end, float* const* planes) {
    float* p0 = planes[c];
    float* p1 = planes[c + 1];
    float* p2 = planes[c + 2];
    float* p3 = planes[c + 3];
    LONG64 i = begin;
    for (; i + 4 <= end; i += 4) {
        const float* in = src + i * n + c;
        __m128i r0 = Load(in), r1 = Load(in + n), r2 = Load(in + 2 * n), r3 = Load(in + 3 * n);
        Transpose4(r0, r1, r2, r3);
        Store(p0 + i, r0);
        Store(p1 + i, r1);
        Store(p2 + i, r2);
        Store(p3 + i, r3);
    }
    for (; i < end; ++i) {
        const float* in = src + i * n + c;
        CopyWord(in, p0 + i);
        CopyWord(in + 1, p1 + i);
        CopyWord(in + 2, p2 + i);
        CopyWord(in + 3, p3 + i);
    }
}

// Checks every plane pointer before anything is written: null gives -8, misalignment sets the
// warning.
template <typename Plane>
SignalStatus CheckPlanes(Plane const* planes, LONG n, SignalStatus result) {
    for (LONG c = 0; c < n; ++c) {
        if (planes[c] == nullptr) return StatusNullPointer;
        if (!IsAligned16(planes[c])) result = WarnMisaligned;
    }
    return result;
}

}  // namespace

SignalStatus InterleaveFloat_Generic(const float* const* planes, LONG nChannels, LONG len, float* dst) {
    if (planes == nullptr || dst == nullptr) return StatusNullPointer;
    if (nChannels < 1) return StatusBadChannelCount;
    if (len < 1) return StatusBadLength;
    const SignalStatus result = CheckPlanes(planes, nChannels, IsAligned16(dst) ? StatusOk : WarnMisaligned);
    if (result < 0) return result;

    const LONG n = nChannels;
    if (n == 1) {
        std::memcpy(dst, planes[0], sizeof(float) * static_cast<size_t>(len));
    } else if (n == 2) {
        InterleaveTwo(planes[0], planes[1], len, dst);
    } else {
        for (LONG64 begin = 0; begin < len; begin += kFrameBlock) {
            const LONG64 end = len - begin > kFrameBlock ? begin + kFrameBlock : len;
            LONG64 c = 0;
            for (; c + 4 <= n; c += 4) InterleaveFour(planes, c, n, begin, end, dst);
            for (; c < n; ++c) {
                const float* p = planes[c];
                for (LONG64 i = begin; i < end; ++i) CopyWord(p + i, dst + i * n + c);
            }
        }
    }
    return result;
}

SignalStatus DeinterleaveFloat_Generic(const float* src, LONG nChannels, LONG len, float* const* planes) {
    if (src == nullptr || planes == nullptr) return StatusNullPointer;
    if (nChannels < 1) return StatusBadChannelCount;
    if (len < 1) return StatusBadLength;
    const SignalStatus result = CheckPlanes(planes, nChannels, IsAligned16(src) ? StatusOk : WarnMisaligned);
    if (result < 0) return result;

    const LONG n = nChannels;
    if (n == 1) {
        std::memcpy(planes[0], src, sizeof(float) * static_cast<size_t>(len));
    } else if (n == 2) {
        DeinterleaveTwo(src, len, planes[0], planes[1]);
    } else {
        for (LONG64 begin = 0; begin < len; begin += kFrameBlock) {
            const LONG64 end = len - begin > kFrameBlock ? begin + kFrameBlock : len;
            LONG64 c = 0;
            for (; c + 4 <= n; c += 4) DeinterleaveFour(src, c, n, begin, end, planes);
            for (; c < n; ++c) {
                float* p = planes[c];
                for (LONG64 i = begin; i < end; ++i) CopyWord(src + i * n + c, p + i);
            }
        }
    }
    return result;
}
