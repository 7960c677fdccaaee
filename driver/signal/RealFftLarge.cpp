// Large-order complex FFT (2048 to 2^29 points) on bit-reversed input.
//
// A split level of 2^o points views the data as 2^s rows of 2^(o-s) points. The rows hold
// bit-reversed subsequences, so each is transformed in place by the next level; then every column
// (one point of each row) is rotated by its grid twiddles and transformed by a 2^s-point FFT, four
// columns at a time in the work buffer. The chain of levels ends in an in-cache transform of at
// most 1024 points, or in 1024-point transforms joined by radix-2 passes (2048 or 4096 points).
#include "driver/signal/RealFftInternal.h"
#include "driver/signal/RealFftSimd.h"

#include <bit>

using namespace fftsimd;

namespace {

// log2 of the column-transform length of a level of 2^o points; 0 ends the chain in a
// 2048/4096-point base.
LONG SplitOf(LONG o) {
    if (o <= 12) return 0;
    if (o == 13) return 5;
    if (o == 14) return 6;
    if (o == 15) return 7;
    if (o <= 18) return 8;
    if (o <= 22) return 10;
    if (o <= 24) return 8;
    return 10;
}

constexpr LONG kInCacheOrder = 10;  // log2 of FftInCacheMaxPoints

ULONG64 Pow2(LONG e) { return 1ull << e; }

}  // namespace

VOID FftMakeLargePlan(LONG o, FftLargePlan* plan) {
    plan->levels = 0;
    while (o > kInCacheOrder && SplitOf(o) > 0) {
        plan->levelOrder[plan->levels] = o;
        plan->levelSplit[plan->levels] = SplitOf(o);
        o -= SplitOf(o);
        ++plan->levels;
    }
    plan->baseOrder = o;
}

FftLargeSizes FftLargePlanSizes(LONG o) {
    FftLargePlan plan;
    FftMakeLargePlan(o, &plan);
    FftLargeSizes sizes{};
    if (plan.baseOrder <= kInCacheOrder) {
        sizes.tables = FftInCacheTwiddleBytes(Pow2(plan.baseOrder));
    } else {
        sizes.tables = Align32(2 * Pow2(plan.baseOrder)) + FftInCacheTwiddleBytes(FftInCacheMaxPoints);
    }
    for (LONG level = 0; level < plan.levels; ++level) {
        const LONG s = plan.levelSplit[level];
        sizes.tables += 8 * Pow2(plan.levelOrder[level]) + FftInCacheTwiddleBytes(Pow2(s));
        sizes.setup += Align32(Pow2(s) + 4) + 32 * Pow2(s);
        if (32 * Pow2(s) > sizes.work) sizes.work = 32 * Pow2(s);
    }
    return sizes;
}

VOID FftBuildLargeTables(RealFftSpec* spec, LONG o, BYTE* area, const FftSineTable& table) {
    FftLargePlan plan;
    FftMakeLargePlan(o, &plan);
    for (LONG level = 0; level < plan.levels; ++level) {
        const LONG s = plan.levelSplit[level];
        const ULONG64 rows = Pow2(s);
        const ULONG64 columns = Pow2(plan.levelOrder[level] - s);
        const ULONG64 step = table.n >> plan.levelOrder[level];
        // Row b holds the subsequence r = reverse(b); point k1 of it turns by w^(r x k1). Stored per
        // group of four columns and per row as [cos x4, sin x4].
        float* grid = reinterpret_cast<float*>(area);
        for (ULONG64 k1 = 0; k1 < columns; ++k1) {
            for (ULONG64 b = 0; b < rows; ++b) {
                float* entry = grid + ((k1 / 4) * rows + b) * 8 + (k1 & 3);
                table.CosSin(FftReverseBits(b, s) * k1 * step, &entry[0], &entry[4]);
            }
        }
        spec->levelTwiddles[level] = grid;
        area += 8 * rows * columns;
        spec->columnTwiddles[level] = reinterpret_cast<float*>(area);
        FftBuildInCacheTwiddles(spec->columnTwiddles[level], rows, table);
        area += FftInCacheTwiddleBytes(rows);
    }
    spec->blockTwiddles = reinterpret_cast<float*>(area);
    if (plan.baseOrder <= kInCacheOrder) {
        FftBuildInCacheTwiddles(spec->blockTwiddles, Pow2(plan.baseOrder), table);
        return;
    }
    FftBuildInCacheTwiddles(spec->blockTwiddles, FftInCacheMaxPoints, table);
    area += FftInCacheTwiddleBytes(FftInCacheMaxPoints);
    // Combining twiddles w^j of the base length for j below a quarter of it, as (cos, sin) pairs;
    // the second quarter follows by a quarter turn.
    float* combine = reinterpret_cast<float*>(area);
    const ULONG64 points = Pow2(plan.baseOrder);
    const ULONG64 step = table.n / points;
    for (ULONG64 j = 0; j < points / 4; ++j) table.CosSin(j * step, &combine[2 * j], &combine[2 * j + 1]);
    spec->combineTwiddles = combine;
}

namespace {

// Twiddles w^j for j = first, first + stride, .. (four of them, stride 1 or 2) as cosine and sine
// vectors, straight from the quarter-turn table of (cos, sin) pairs by shuffles: gathering them
// lane by lane into memory and loading that as a vector stalls on store forwarding. The four lie in
// one quarter (each group of four outputs starts inside one); beyond the first quarter,
// w^j = -i w^(j - quarter).
inline VOID CombineTwiddles(const float* combine, ULONG64 first, ULONG64 stride, ULONG64 quarter, Vec* c, Vec* s) {
    const bool second = first >= quarter;
    const float* p = combine + 2 * (second ? first - quarter : first);
    Vec cosines, sines;
    if (stride == 1) {
        LoadSplit(p, &cosines, &sines);
    } else {  // every other pair of eight
        const Vec even0 = _mm_shuffle_ps(Load(p), Load(p + 4), _MM_SHUFFLE(1, 0, 1, 0));
        const Vec even1 = _mm_shuffle_ps(Load(p + 8), Load(p + 12), _MM_SHUFFLE(1, 0, 1, 0));
        cosines = _mm_shuffle_ps(even0, even1, _MM_SHUFFLE(2, 0, 2, 0));
        sines = _mm_shuffle_ps(even0, even1, _MM_SHUFFLE(3, 1, 3, 1));
    }
    if (second) {
        *c = FlipSigns(sines, Splat(-0.0f));
        *s = cosines;
    } else {
        *c = cosines;
        *s = sines;
    }
}

// Radix-2 passes joining 1024-point transforms into a base of 2^o points (o = 11 or 12).
template <bool kInverse>
VOID CombineBase(float* data, LONG o, const float* combine, const float* scale) {
    const ULONG64 points = Pow2(o);
    const ULONG64 quarter = points / 4;
    for (ULONG64 span = 2 * FftInCacheMaxPoints; span <= points; span *= 2) {
        const bool last = span == points;
        const ULONG64 half = span / 2;
        const ULONG64 stride = points / span;  // 1 or 2
        for (ULONG64 g = 0; g < points; g += span) {
            for (ULONG64 k = 0; k < half; k += 4) {
                Vec c, s;
                CombineTwiddles(combine, k * stride, stride, quarter, &c, &s);
                float* pa = data + 2 * (g + k);
                float* pb = pa + 2 * half;
                Vec ar, ai, br, bi;
                LoadSplit(pa, &ar, &ai);
                LoadSplit(pb, &br, &bi);
                Rotate<kInverse>(&br, &bi, c, s);
                Vec xr = Add(ar, br), xi = Add(ai, bi);
                Vec yr = Sub(ar, br), yi = Sub(ai, bi);
                if (last && scale != nullptr) {
                    const Vec f = Splat(*scale);
                    xr = Mul(xr, f);
                    xi = Mul(xi, f);
                    yr = Mul(yr, f);
                    yi = Mul(yi, f);
                }
                StoreInterleaved(pa, xr, xi);
                StoreInterleaved(pb, yr, yi);
            }
        }
    }
}

template <bool kInverse>
VOID Base(float* data, const RealFftSpec* spec, LONG o, const float* scale) {
    if (o <= kInCacheOrder) {
        FftInCache(data, Pow2(o), spec->blockTwiddles, kInverse, scale);
        return;
    }
    for (ULONG64 block = 0; block < Pow2(o - kInCacheOrder); ++block) {
        FftInCache(data + 2 * FftInCacheMaxPoints * block, FftInCacheMaxPoints, spec->blockTwiddles, kInverse, nullptr);
    }
    CombineBase<kInverse>(data, o, spec->combineTwiddles, scale);
}

template <bool kInverse>
VOID Level(float* data, const RealFftSpec* spec, const FftLargePlan& plan, LONG level, const float* scale,
           float* work) {
    // The level count never exceeds the plan's arrays; the second test also bounds the recursion.
    if (level >= plan.levels || level >= FftMaxSplitLevels) {
        Base<kInverse>(data, spec, plan.baseOrder, scale);
        return;
    }
    const LONG s = plan.levelSplit[level];
    const ULONG64 rows = Pow2(s);
    const ULONG64 columns = Pow2(plan.levelOrder[level] - s);
    for (ULONG64 b = 0; b < rows; ++b) Level<kInverse>(data + 2 * b * columns, spec, plan, level + 1, nullptr, work);

    const float* grid = spec->levelTwiddles[level];
    const Vec f = Splat(scale != nullptr ? *scale : 1.0f);
    for (ULONG64 k1 = 0; k1 < columns; k1 += 4) {
        const float* w = grid + (k1 / 4) * rows * 8;
        for (ULONG64 b = 0; b < rows; ++b) {
            Vec re, im;
            LoadSplit(data + 2 * (b * columns + k1), &re, &im);
            Rotate<kInverse>(&re, &im, Load(w + 8 * b), Load(w + 8 * b + 4));
            Store(work + 8 * b, re);
            Store(work + 8 * b + 4, im);
        }
        FftColumns4(work, rows, spec->columnTwiddles[level], kInverse);
        for (ULONG64 b = 0; b < rows; ++b) {
            Vec re = Load(work + 8 * b);
            Vec im = Load(work + 8 * b + 4);
            if (scale != nullptr) {
                re = Mul(re, f);
                im = Mul(im, f);
            }
            StoreInterleaved(data + 2 * (b * columns + k1), re, im);
        }
    }
}

}  // namespace

VOID FftLarge(float* data, const RealFftSpec* spec, LONG o, bool inverse, const float* scale, float* work) {
    FftLargePlan plan;
    FftMakeLargePlan(o, &plan);
    if (inverse) {
        Level<true>(data, spec, plan, 0, scale, work);
    } else {
        Level<false>(data, spec, plan, 0, scale, work);
    }
}
