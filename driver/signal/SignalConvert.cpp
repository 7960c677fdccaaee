// Sample conversions between int16, packed int24, int32 and float.
//
// The results never depend on the caller's MXCSR: a call that rounds holds round-to-nearest-even
// without denormals-are-zero for its duration (MxcsrScope), truncation uses cvttps2dq, and ties
// away from zero are fixed up exactly. With a scale, x x 2^-scale is exact in single precision as
// long as |scale| <= 100 (neither the product nor a result that can round away from 0 is
// subnormal); larger scales take an exact double path. int16 and int24 convert to float exactly;
// int32 rounds to nearest even.
#include "driver/signal/SignalFpu.h"
#include "driver/signal/SignalGeneric.h"
#include "driver/signal/SignalKernels.h"

#include <emmintrin.h>

#include <bit>
#include <cstring>

namespace {

enum class Rounding { TowardZero, NearestEven, NearestAway };

constexpr LONG kMaxFloatScale = 100;  // |scale| up to which the single-precision product is exact
// For the whole call: round to nearest even and no denormals-are-zero, whatever the caller runs.
constexpr ULONG kConvertMxcsrMask = MxcsrRoundingMask | MxcsrDenormalsAreZero;

// The single with bit pattern 0x3F800000 - scale x 2^23: 2^-scale for -127 <= scale <= 126, and
// 0.0 for 127.
float SinglePowerOfTwo(LONG scale) {
    return std::bit_cast<float>(static_cast<ULONG>(0x3F800000 - scale * (1 << 23)));
}

// 2^-scale as a double, as repeated halving or doubling of 1.0 under round-to-nearest gives it,
// whatever the scale: 0 below the smallest subnormal, +inf beyond the largest power.
double DoublePowerOfTwo(LONG scale) {
    if (scale > 1074) return 0.0;
    if (scale < -1023) return __builtin_inf();
    if (scale > 1022) return std::bit_cast<double>(1ull << (1074 - scale));  // subnormal
    return std::bit_cast<double>(static_cast<ULONGLONG>(1023 - scale) << 52);
}

LONG ClampLong(LONG value, LONG lo, LONG hi) { return value < lo ? lo : (value > hi ? hi : value); }

inline __m128i LoadInts(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline VOID StoreInts(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Four floats to int32 by the rule, for lanes inside the int32 range; outside it (and for NaN)
// the lane holds 0x80000000. MXCSR is at round-to-nearest-even.
template <Rounding R>
inline __m128i ToInteger(__m128 v) {
    if constexpr (R == Rounding::TowardZero) {
        return _mm_cvttps_epi32(v);
    } else {
        const __m128i nearest = _mm_cvtps_epi32(v);
        if constexpr (R == Rounding::NearestEven) return nearest;
        // A tie went to its even neighbour; move it away from zero instead. The difference is
        // exact: below 2^24 both are exact, above it every float is an integer.
        const __m128 diff = _mm_sub_ps(v, _mm_cvtepi32_ps(nearest));
        const __m128 zero = _mm_setzero_ps();
        const __m128i up = _mm_castps_si128(_mm_and_ps(_mm_cmpeq_ps(diff, _mm_set1_ps(0.5f)), _mm_cmpgt_ps(v, zero)));
        const __m128i down = _mm_castps_si128(_mm_and_ps(_mm_cmpeq_ps(diff, _mm_set1_ps(-0.5f)), _mm_cmplt_ps(v, zero)));
        return _mm_add_epi32(_mm_sub_epi32(nearest, up), down);  // masks are -1 where set
    }
}

inline __m128 NaNToZero(__m128 v) { return _mm_and_ps(v, _mm_cmpord_ps(v, v)); }

// Exact rounding of a double already clamped into [lo, hi] (integers), by the given mode.
LONG64 RoundClampedDouble(double y, LONG rndMode) {
    const LONG64 truncated = static_cast<LONG64>(y);
    const double fraction = y - static_cast<double>(truncated);  // exact
    const double absFraction = fraction < 0.0 ? -fraction : fraction;
    bool away;
    if (rndMode == 0) {
        away = false;
    } else if (rndMode == 1) {
        away = absFraction > 0.5 || (absFraction == 0.5 && (truncated & 1) != 0);
    } else {
        away = absFraction >= 0.5;
    }
    if (!away) return truncated;
    return fraction < 0.0 ? truncated - 1 : truncated + 1;
}

// Scales beyond the single-precision range: y = x x 2^-scale in double.
LONG64 ScaledDoubleToInteger(float x, double factor, LONG rndMode, double lo, double hi, LONG64 nanValue) {
    const double y = static_cast<double>(x) * factor;
    if (y != y) return nanValue;
    return RoundClampedDouble(y < lo ? lo : (y > hi ? hi : y), rndMode);
}

constexpr LONG ModeNumber(Rounding r) { return r == Rounding::TowardZero ? 0 : (r == Rounding::NearestEven ? 1 : 2); }

// Runs kernel over whole groups of Group elements, then over the tail through zero-padded local
// buffers, so the tail takes exactly the same path.
template <LONG Group, typename Src, typename Dst, LONG DstPerElement = 1, typename Kernel>
inline VOID ForGroups(const Src* src, Dst* dst, LONG len, Kernel kernel) {
    LONG64 i = 0;
    for (; i + Group <= len; i += Group) kernel(src + i, dst + i * DstPerElement);
    if (i < len) {
        Src in[Group] = {};
        Dst out[Group * DstPerElement];
        const size_t count = static_cast<size_t>(len - i);
        std::memcpy(in, src + i, sizeof(Src) * count);
        kernel(in, out);
        std::memcpy(dst + i * DstPerElement, out, sizeof(Dst) * DstPerElement * count);
    }
}

// ---- float to int16 ----

// Eight floats to int16: NaN to 0, the top clamped in float, the bottom saturated by the pack.
template <Rounding R, bool Scaled>
inline VOID FloatToInt16Eight(const float* src, SHORT* dst, __m128 factor) {
    const __m128 top = _mm_set1_ps(32767.0f);
    __m128 lo = _mm_loadu_ps(src);
    __m128 hi = _mm_loadu_ps(src + 4);
    if (Scaled) {
        lo = _mm_mul_ps(lo, factor);
        hi = _mm_mul_ps(hi, factor);
    }
    lo = _mm_min_ps(NaNToZero(lo), top);
    hi = _mm_min_ps(NaNToZero(hi), top);
    StoreInts(dst, _mm_packs_epi32(ToInteger<R>(lo), ToInteger<R>(hi)));
}

// Two groups of eight per step: independent work for the out-of-order core to overlap.
template <Rounding R, bool Scaled>
inline VOID FloatToInt16Sixteen(const float* src, SHORT* dst, __m128 factor) {
    FloatToInt16Eight<R, Scaled>(src, dst, factor);
    FloatToInt16Eight<R, Scaled>(src + 8, dst + 8, factor);
}

template <Rounding R>
VOID FloatToInt16(const float* src, SHORT* dst, LONG len, LONG scale) {
    if (scale == 0) {
        ForGroups<16>(src, dst, len, [](const float* s, SHORT* d) { FloatToInt16Sixteen<R, false>(s, d, __m128{}); });
    } else if (scale >= -kMaxFloatScale && scale <= kMaxFloatScale) {
        const __m128 f = _mm_set1_ps(SinglePowerOfTwo(scale));
        ForGroups<16>(src, dst, len, [f](const float* s, SHORT* d) { FloatToInt16Sixteen<R, true>(s, d, f); });
    } else {
        const double factor = DoublePowerOfTwo(scale);
        for (LONG i = 0; i < len; ++i) {
            const LONG64 value =
                ScaledDoubleToInteger(LoadElement(src + i), factor, ModeNumber(R), -32768.0, 32767.0, 0);
            StoreElement(dst + i, static_cast<SHORT>(value));
        }
    }
}

// ---- float to int32 ----

// Four floats to int32: 2^31 and above become 0x7FFFFFFF (the lane held 0x80000000); a NaN gives
// 0 in modes 0 and 1 and 0x80000000 in the other mode.
template <Rounding R, bool Scaled>
inline VOID FloatToInt32Four(const float* src, LONG* dst, __m128 factor) {
    __m128 v = _mm_loadu_ps(src);
    if (Scaled) v = _mm_mul_ps(v, factor);
    if (R != Rounding::NearestAway) v = NaNToZero(v);
    const __m128i high = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f)));
    StoreInts(dst, _mm_xor_si128(ToInteger<R>(v), high));
}

template <Rounding R>
VOID FloatToInt32(const float* src, LONG* dst, LONG len, LONG scale) {
    if (scale == 0) {
        ForGroups<4>(src, dst, len, [](const float* s, LONG* d) { FloatToInt32Four<R, false>(s, d, __m128{}); });
    } else if (scale >= -kMaxFloatScale && scale <= kMaxFloatScale) {
        const __m128 f = _mm_set1_ps(SinglePowerOfTwo(scale));
        ForGroups<4>(src, dst, len, [f](const float* s, LONG* d) { FloatToInt32Four<R, true>(s, d, f); });
    } else {
        const double factor = DoublePowerOfTwo(scale);
        const LONG64 nanValue = R == Rounding::NearestAway ? -2147483648ll : 0;
        for (LONG i = 0; i < len; ++i) {
            const LONG64 value = ScaledDoubleToInteger(LoadElement(src + i), factor, ModeNumber(R), -2147483648.0,
                                                       2147483647.0, nanValue);
            StoreElement(dst + i, static_cast<LONG>(value));
        }
    }
}

// ---- float to packed int24 ----

// Four floats to int32 lanes whose low 24 bits are the sample: clamped with NaN kept, so a NaN
// becomes 0x80000000, whose low 24 bits are 0.
template <bool Scaled>
inline __m128i FloatToInt24Four(const float* src, __m128 factor) {
    __m128 v = _mm_loadu_ps(src);
    if (Scaled) v = _mm_mul_ps(v, factor);
    v = _mm_max_ps(_mm_set1_ps(-8388608.0f), v);  // the second operand is returned for a NaN
    v = _mm_min_ps(_mm_set1_ps(8388607.0f), v);
    return _mm_cvtps_epi32(v);
}

// Packs the low 24 bits of each pair of lanes into the low 6 bytes of its 64-bit half: even
// sample in bytes 0..2, odd sample in bytes 3..5, bytes 6..7 zero.
inline __m128i PackInt24Pairs(__m128i samples) {
    const __m128i even = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i odd = _mm_set1_epi64x(0x0000FFFFFF000000ll);  // bits 24..47 after the shift
    return _mm_or_si128(_mm_and_si128(samples, even), _mm_and_si128(_mm_srli_epi64(samples, 8), odd));
}

// Sixteen samples into 48 bytes as eight 8-byte stores 6 bytes apart: each store's two spare bytes
// are overwritten by the next one, and the last writes 2 bytes past the group (see FloatToInt24).
template <bool Scaled>
inline VOID FloatToInt24Sixteen(const float* src, UCHAR* dst, __m128 factor) {
    for (LONG k = 0; k < 4; ++k) {
        const __m128i pairs = PackInt24Pairs(FloatToInt24Four<Scaled>(src + 4 * k, factor));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 12 * k), pairs);
        // movhps: the unaligned-safe store of the high half.
        _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 12 * k + 6), _mm_castsi128_ps(pairs));
    }
}

template <bool Scaled>
VOID FloatToInt24(const float* src, UCHAR* dst, LONG len, float factor) {
    const __m128 f = _mm_set1_ps(factor);
    // A group writes 2 bytes of the next sample, so in place only while one follows; the last 1..16
    // samples go through a local buffer.
    LONG64 i = 0;
    for (; i + 16 < len; i += 16) FloatToInt24Sixteen<Scaled>(src + i, dst + 3 * i, f);
    float in[16] = {};
    UCHAR out[48 + 2];
    const size_t count = static_cast<size_t>(len - i);
    std::memcpy(in, src + i, sizeof(float) * count);
    FloatToInt24Sixteen<Scaled>(in, out, f);
    std::memcpy(dst + 3 * i, out, 3 * count);
}

// ---- int to float ----

// Eight int16 to float. Each sample enters the top half of a lane (x 2^16, exact) and the factor
// carries the 2^-16 back, so one multiply does both; where 2^-(scale + 16) is no longer a normal
// single, the samples are sign-extended instead.
template <bool TopHalf>
inline VOID Int16ToFloatEight(const SHORT* src, float* dst, __m128 factor) {
    const __m128i v = LoadInts(src);
    __m128i lo;
    __m128i hi;
    if (TopHalf) {
        lo = _mm_unpacklo_epi16(_mm_setzero_si128(), v);
        hi = _mm_unpackhi_epi16(_mm_setzero_si128(), v);
    } else {
        lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    }
    _mm_storeu_ps(dst, _mm_mul_ps(_mm_cvtepi32_ps(lo), factor));
    _mm_storeu_ps(dst + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), factor));
}

template <bool TopHalf>
inline VOID Int16ToFloatSixteen(const SHORT* src, float* dst, __m128 factor) {
    Int16ToFloatEight<TopHalf>(src, dst, factor);
    Int16ToFloatEight<TopHalf>(src + 8, dst + 8, factor);
}

// float(src) x factor; cvtdq2ps rounds to nearest even (MXCSR held there by the caller).
template <bool Scaled>
inline VOID Int32ToFloatFour(const LONG* src, float* dst, __m128 factor) {
    __m128 v = _mm_cvtepi32_ps(LoadInts(src));
    if (Scaled) v = _mm_mul_ps(v, factor);
    _mm_storeu_ps(dst, v);
}

// Eight packed samples; base points one byte before the first. A 16-byte load at sample k's
// byte - 1 holds sample k in the top 24 bits of lane 0 and sample k + 4 in those of lane 3; four
// such loads and two rounds of shuffles gather them in order, then an arithmetic shift
// sign-extends. Reads bytes base .. base + 24.
inline VOID Int24ToFloatEight(const UCHAR* base, float* dst) {
    const __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(base));
    const __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(base + 3));
    const __m128 c = _mm_loadu_ps(reinterpret_cast<const float*>(base + 6));
    const __m128 d = _mm_loadu_ps(reinterpret_cast<const float*>(base + 9));
    const __m128 ab = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 0, 3, 0));  // samples 0 4 1 5
    const __m128 cd = _mm_shuffle_ps(c, d, _MM_SHUFFLE(3, 0, 3, 0));  // samples 2 6 3 7
    const __m128i lo = _mm_castps_si128(_mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i hi = _mm_castps_si128(_mm_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 1, 3, 1)));
    _mm_storeu_ps(dst, _mm_cvtepi32_ps(_mm_srai_epi32(lo, 8)));
    _mm_storeu_ps(dst + 4, _mm_cvtepi32_ps(_mm_srai_epi32(hi, 8)));
}

inline VOID Int24ToFloatSixteen(const UCHAR* base, float* dst) {
    Int24ToFloatEight(base, dst);
    Int24ToFloatEight(base + 24, dst + 8);
}

// Up to 16 samples through a local copy with the leading byte the kernel reads.
VOID Int24ToFloatPadded(const UCHAR* src, float* dst, size_t count) {
    UCHAR in[1 + 48] = {};
    float out[16];
    std::memcpy(in + 1, src, 3 * count);
    Int24ToFloatSixteen(in, out);
    std::memcpy(dst, out, sizeof(float) * count);
}

}  // namespace

SignalStatus ConvertFloatToInt16_Generic(const float* src, SHORT* dst, LONG len, LONG rndMode, LONG scale) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MxcsrScope nearest(kConvertMxcsrMask);
    switch (rndMode) {
        case 0: FloatToInt16<Rounding::TowardZero>(src, dst, len, scale); break;
        case 1: FloatToInt16<Rounding::NearestEven>(src, dst, len, scale); break;
        default: FloatToInt16<Rounding::NearestAway>(src, dst, len, scale); break;
    }
    return StatusOk;
}

SignalStatus ConvertFloatToInt32_Generic(const float* src, LONG* dst, LONG len, LONG rndMode, LONG scale) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MxcsrScope nearest(kConvertMxcsrMask);
    switch (rndMode) {
        case 0: FloatToInt32<Rounding::TowardZero>(src, dst, len, scale); break;
        case 1: FloatToInt32<Rounding::NearestEven>(src, dst, len, scale); break;
        default: FloatToInt32<Rounding::NearestAway>(src, dst, len, scale); break;
    }
    return StatusOk;
}

SignalStatus ConvertFloatToInt24_Generic(const float* src, UCHAR* dst, LONG len, LONG scale) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MxcsrScope nearest(kConvertMxcsrMask);
    if (scale == 0) {
        FloatToInt24<false>(src, dst, len, 1.0f);
    } else {
        // The factor is formed in single precision from the clamped scale; 127 gives 0.0.
        FloatToInt24<true>(src, dst, len, SinglePowerOfTwo(ClampLong(scale, -127, 127)));
    }
    return StatusOk;
}

SignalStatus ConvertInt16ToFloat_Generic(const SHORT* src, float* dst, LONG len, LONG scale) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    // Exact for every clamped scale: no rounding, so no MXCSR dependence.
    const LONG s = scale == 0 ? 0 : ClampLong(scale, -112, 126);
    if (s + 16 <= 126) {
        const __m128 factor = _mm_set1_ps(SinglePowerOfTwo(s + 16));
        ForGroups<16>(src, dst, len, [factor](const SHORT* in, float* out) { Int16ToFloatSixteen<true>(in, out, factor); });
    } else {
        const __m128 factor = _mm_set1_ps(SinglePowerOfTwo(s));
        ForGroups<16>(src, dst, len, [factor](const SHORT* in, float* out) { Int16ToFloatSixteen<false>(in, out, factor); });
    }
    return StatusOk;
}

SignalStatus ConvertInt32ToFloatScaled_Generic(const LONG* src, float* dst, LONG len, LONG scale) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MxcsrScope nearest(kConvertMxcsrMask);
    if (scale == 0) {
        ForGroups<4>(src, dst, len, [](const LONG* s, float* d) { Int32ToFloatFour<false>(s, d, __m128{}); });
    } else {
        const __m128 f = _mm_set1_ps(SinglePowerOfTwo(ClampLong(scale, -96, 126)));
        ForGroups<4>(src, dst, len, [f](const LONG* s, float* d) { Int32ToFloatFour<true>(s, d, f); });
    }
    return StatusOk;
}

SignalStatus ConvertInt32ToFloat_Generic(const LONG* src, float* dst, LONG len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    MxcsrScope nearest(kConvertMxcsrMask);
    ForGroups<4>(src, dst, len, [](const LONG* s, float* d) { Int32ToFloatFour<false>(s, d, __m128{}); });
    return StatusOk;
}

SignalStatus ConvertInt24ToFloat_Generic(const UCHAR* src, float* dst, LONG len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;
    // Groups of 16 samples (48 bytes). The kernel reads one byte before its group, so the first
    // group and the tail go through a padded copy. Every value is exact.
    const LONG64 first = len < 16 ? len : 16;
    Int24ToFloatPadded(src, dst, static_cast<size_t>(first));
    LONG64 i = first;
    for (; i + 16 <= len; i += 16) Int24ToFloatSixteen(src + 3 * i - 1, dst + i);
    if (i < len) Int24ToFloatPadded(src + 3 * i, dst + i, static_cast<size_t>(len - i));
    return StatusOk;
}
