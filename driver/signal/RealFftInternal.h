// Internal pieces of the real FFT: the sine tables, the complex bit reversal, the in-cache complex
// FFT and the large-order plan with its table and buffer sizes.
//
// Complex data are interleaved (re, im) pairs.
#pragma once

#include "driver/signal/RealFft.h"

constexpr LONG RealFftBuiltinSineCount = 257;
// sin(2 pi k / 1024), k = 0..256, nearest singles.
extern const float RealFftBuiltinSine[RealFftBuiltinSineCount];

// Largest complex length of the in-cache FFT (order 11 is 2048 reals).
constexpr ULONG64 FftInCacheMaxPoints = 1024;

// A quarter-wave sine table: sin(2 pi k / n) = values[k x step] for k = 0..n/4.
struct FftSineTable {
    const float* values;
    ULONG64 step;
    ULONG64 n;

    float QuarterSin(ULONG64 k) const { return values[k * step]; }
    // cos and sin of 2 pi a / n for any a (taken modulo n).
    VOID CosSin(ULONG64 a, float* pCos, float* pSin) const;
};

constexpr ULONG64 Align32(ULONG64 bytes) { return (bytes + 31) & ~31ull; }

// The low `bits` bits of value in reverse order.
inline ULONG64 FftReverseBits(ULONG64 value, LONG bits) {
    ULONG64 reversed = 0;
    for (LONG b = 0; b < bits; ++b) {
        reversed = (reversed << 1) | (value & 1);
        value >>= 1;
    }
    return reversed;
}

// Bit reversal of h complex values (h a power of two, at least 8), in place when src == dst.
// The table holds the reversals of the middle log2(h/4) index bits: swap pairs from the start,
// 0-terminated, and the indices that are their own reversal from the end, 0-terminated.
constexpr ULONG64 FftBitReversalBytes(ULONG64 h) { return h + 4; }
VOID FftBuildBitReversal(LONG* table, ULONG64 h);
VOID FftBitReverse(const float* src, float* dst, ULONG64 h, const LONG* table);

// Radix-4 twiddles of the in-cache FFT of h points (8 <= h <= 1024): for every twiddled pass and
// every four butterflies, cos and sin of k, 2k and 3k steps as six vectors of four.
constexpr ULONG64 FftInCacheTwiddleBytes(ULONG64 h) { return Align32(8 * h + 8); }
VOID FftBuildInCacheTwiddles(float* out, ULONG64 h, const FftSineTable& table);

// Complex FFT of h points (8 <= h <= 1024) in place; the input is in bit-reversed order, the output
// in natural order. With scale non-null every output is multiplied by *scale.
VOID FftInCache(float* data, ULONG64 h, const float* twiddles, bool inverse, const float* scale);
// The same transform from input in natural order (src == dst runs in place); the permutation is
// folded into the first pass (below 16 points it uses the bit-reversal table).
VOID FftInCacheNatural(const float* src, float* dst, ULONG64 h, const float* twiddles, const LONG* bitReversal,
                       bool inverse, const float* scale);

// The same transform with four independent columns side by side: element j of column c is at
// work[8j + c] (re) and work[8j + 4 + c] (im).
VOID FftColumns4(float* work, ULONG64 h, const float* twiddles, bool inverse);

// Large-order complex FFT, h = 2^o with o = 11..29 (orders 12..30): a chain of split levels, each
// 2^s column transforms over 2^(o-s) rows, ending in a base of at most 1024 points or in 1024-point
// transforms joined by radix-2 passes (2048 or 4096 points).
constexpr LONG FftMaxSplitLevels = 3;
struct FftLargePlan {
    LONG levels;                         // split levels, outermost first
    LONG levelOrder[FftMaxSplitLevels];  // log2 of the points of the level
    LONG levelSplit[FftMaxSplitLevels];  // log2 of the points of its column transforms
    LONG baseOrder;                      // log2 of the points of the base
};
VOID FftMakeLargePlan(LONG o, FftLargePlan* plan);

// Sizes in bytes of the large-order plan: tables (inside the RealFftSpec), set-up scratch and the
// work buffer (both without alignment slack).
struct FftLargeSizes {
    ULONG64 tables;
    ULONG64 setup;
    ULONG64 work;
};
FftLargeSizes FftLargePlanSizes(LONG o);

// Lays out and fills the plan's tables from area (32-byte aligned, FftLargePlanSizes().tables bytes).
VOID FftBuildLargeTables(RealFftSpec* spec, LONG o, BYTE* area, const FftSineTable& table);

// The large-order transform in place on bit-reversed input; work holds FftLargePlanSizes().work
// bytes, 32-byte aligned.
VOID FftLarge(float* data, const RealFftSpec* spec, LONG o, bool inverse, const float* scale, float* work);
