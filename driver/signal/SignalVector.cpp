// Vector fills, copies and element-wise arithmetic on float vectors.
#include "driver/signal/SignalGeneric.h"
#include "driver/signal/SignalKernels.h"

#include <emmintrin.h>

#include <bit>
#include <cstring>

namespace {

constexpr LONG64 kFloatBytes = sizeof(float);

// dst[i] = op(src[i]) four at a time, then the tail one at a time through the same operation.
template <typename Op>
inline VOID MapFloat(const float* src, float* dst, LONG len, Op op) {
    LONG64 i = 0;
    for (; i + 4 <= len; i += 4) _mm_storeu_ps(dst + i, op(_mm_loadu_ps(src + i)));
    for (; i < len; ++i) _mm_storeu_si32(dst + i, _mm_castps_si128(op(_mm_castsi128_ps(_mm_loadu_si32(src + i)))));
}

template <typename Op>
inline VOID MapFloat2(const float* a, const float* b, float* dst, LONG len, Op op) {
    LONG64 i = 0;
    for (; i + 4 <= len; i += 4) _mm_storeu_ps(dst + i, op(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    for (; i < len; ++i) {
        const __m128 x = _mm_castsi128_ps(_mm_loadu_si32(a + i));
        const __m128 y = _mm_castsi128_ps(_mm_loadu_si32(b + i));
        _mm_storeu_si32(dst + i, _mm_castps_si128(op(x, y)));
    }
}

VOID MulBy(const float* src, float value, float* dst, LONG len) {
    const __m128 v = _mm_set1_ps(value);
    MapFloat(src, dst, len, [v](__m128 x) { return _mm_mul_ps(x, v); });
}

// The running extreme: each element that compares greater (Max) or less (Min) replaces it, so a
// NaN element is passed over and a NaN first element stays the result.
template <bool Max>
float Extreme(const float* src, LONG len) {
    auto pick = [](__m128 x, __m128 running) { return Max ? _mm_max_ps(x, running) : _mm_min_ps(x, running); };
    __m128 running = _mm_set1_ps(LoadElement(src));
    LONG64 i = 0;
    for (; i + 4 <= len; i += 4) running = pick(_mm_loadu_ps(src + i), running);
    for (; i < len; ++i) running = pick(_mm_set1_ps(LoadElement(src + i)), running);
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, running);
    float result = lanes[0];
    for (int k = 1; k < 4; ++k) {
        if (Max ? lanes[k] > result : lanes[k] < result) result = lanes[k];
    }
    return result;
}

}  // namespace

SignalStatus ZeroFloat_Generic(float* dst, LONG len) {
    if (dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    ZeroBytesKernel(dst, kFloatBytes * len);
    return StatusOk;
}

SignalStatus FillFloat_Generic(float value, float* dst, LONG len) {
    if (dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    Fill32Kernel(std::bit_cast<ULONG>(value), dst, len);
    return StatusOk;
}

SignalStatus CopyFloat_Generic(const float* src, float* dst, LONG len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    copyBytes(src, dst, kFloatBytes * len);
    return StatusOk;
}

SignalStatus MoveFloat_Generic(const float* src, float* dst, LONG len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    if (src != dst) std::memmove(dst, src, static_cast<size_t>(kFloatBytes * len));  // either direction
    return StatusOk;
}

SignalStatus MulConstFloat_Generic(const float* src, float value, float* dst, LONG len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    if (value == 1.0f) {
        if (src != dst) copyBytes(src, dst, kFloatBytes * len);
    } else if (value == 0.0f) {
        ZeroBytesKernel(dst, kFloatBytes * len);  // NaN and infinite elements become +0.0 as well
    } else {
        MulBy(src, value, dst, len);
    }
    return StatusOk;
}

SignalStatus MulConstFloatInPlace_Generic(float value, float* srcDst, LONG len) {
    if (srcDst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    if (value == 1.0f) return StatusOk;
    if (value == 0.0f) {
        ZeroBytesKernel(srcDst, kFloatBytes * len);
    } else {
        MulBy(srcDst, value, srcDst, len);
    }
    return StatusOk;
}

SignalStatus DivConstFloatInPlace_Generic(float value, float* srcDst, LONG len) {
    if (srcDst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    if (value == 0.0f) return StatusDivByZero;
    // A multiplication by the rounded reciprocal, not a division.
    return MulConstFloat_Generic(srcDst, 1.0f / value, srcDst, len);
}

SignalStatus AddConstFloatInPlace_Generic(float value, float* srcDst, LONG len) {
    if (srcDst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    if (value == 0.0f) return StatusOk;
    const __m128 v = _mm_set1_ps(value);
    MapFloat(srcDst, srcDst, len, [v](__m128 x) { return _mm_add_ps(x, v); });
    return StatusOk;
}

SignalStatus AddFloat_Generic(const float* a, const float* b, float* dst, LONG len) {
    if (a == nullptr || b == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MapFloat2(a, b, dst, len, [](__m128 x, __m128 y) { return _mm_add_ps(x, y); });
    return StatusOk;
}

SignalStatus AbsFloatInPlace_Generic(float* srcDst, LONG len) {
    if (srcDst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    MapFloat(srcDst, srcDst, len, [magnitude](__m128 x) { return _mm_and_ps(x, magnitude); });
    return StatusOk;
}

SignalStatus MaxFloat_Generic(const float* src, LONG len, float* pMax) {
    if (src == nullptr || pMax == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    *pMax = Extreme<true>(src, len);
    return StatusOk;
}

SignalStatus MinFloat_Generic(const float* src, LONG len, float* pMin) {
    if (src == nullptr || pMin == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    *pMin = Extreme<false>(src, len);
    return StatusOk;
}
