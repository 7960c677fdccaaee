// In-cache radix-4 complex FFT of 8 to 1024 points.
//
// Between passes the data sit in blocks of four complex values, [re0 re1 re2 re3 im0 im1 im2 im3],
// so every butterfly runs four wide; the last pass writes interleaved pairs again (scaled when asked).
// Two entries: one for input already in bit-reversed order (the large-order path permutes the whole
// array first), and one for input in natural order, whose first pass reads each butterfly's inputs
// straight from their natural positions and so does the permutation on the way (in place or not).
#include "driver/signal/RealFftInternal.h"
#include "driver/signal/RealFftSimd.h"

#include <xmmintrin.h>

#include <bit>

using namespace fftsimd;

namespace {

const float kSqrtHalf = 0.70710677f;

// Where a pass leaves its results: in the block layout, or as interleaved pairs after the last pass.
enum class Output { Blocks, Pairs, ScaledPairs };

template <Output kOut>
inline VOID Emit(float* p, Vec re, Vec im, Vec scale) {
    if constexpr (kOut == Output::ScaledPairs) {
        re = Mul(re, scale);
        im = Mul(im, scale);
    }
    if constexpr (kOut == Output::Blocks) {
        Store(p, re);
        Store(p + 4, im);
    } else {
        StoreInterleaved(p, re, im);
    }
}

// Runs fn with the output kind of a pass: blocks unless it is the last one.
template <typename Fn>
inline VOID WithOutput(bool last, const float* scale, Fn fn) {
    if (!last) {
        fn.template operator()<Output::Blocks>(Splat(1.0f));
    } else if (scale == nullptr) {
        fn.template operator()<Output::Pairs>(Splat(1.0f));
    } else {
        fn.template operator()<Output::ScaledPairs>(Splat(*scale));
    }
}

// First pass on bit-reversed input: a radix-4 butterfly inside each block (positions 0, 1, 2, 3
// hold the sub-transforms 0, 2, 1, 3), converting interleaved pairs to the block layout.
template <bool kInverse>
VOID FirstRadix4Pass(float* data, ULONG64 blocks) {
    const Vec oddSigns = _mm_setr_ps(0.0f, -0.0f, 0.0f, -0.0f);
    const Vec reSigns = kInverse ? _mm_setr_ps(0.0f, -0.0f, -0.0f, 0.0f) : _mm_setr_ps(0.0f, 0.0f, -0.0f, -0.0f);
    const Vec imSigns = kInverse ? _mm_setr_ps(0.0f, 0.0f, -0.0f, -0.0f) : _mm_setr_ps(0.0f, -0.0f, -0.0f, 0.0f);
    for (ULONG64 b = 0; b < blocks; ++b) {
        float* p = data + 8 * b;
        Vec re, im;
        LoadSplit(p, &re, &im);
        // [v0 + v1, v0 - v1, v2 + v3, v2 - v3] = [e0, e1, f0, f1]
        const Vec sre = Add(_mm_shuffle_ps(re, re, _MM_SHUFFLE(2, 2, 0, 0)),
                            FlipSigns(_mm_shuffle_ps(re, re, _MM_SHUFFLE(3, 3, 1, 1)), oddSigns));
        const Vec sim = Add(_mm_shuffle_ps(im, im, _MM_SHUFFLE(2, 2, 0, 0)),
                            FlipSigns(_mm_shuffle_ps(im, im, _MM_SHUFFLE(3, 3, 1, 1)), oddSigns));
        // X0 = e0 + f0, X2 = e0 - f0, X1 and X3 = e1 -/+ i f1 (forward) or e1 +/- i f1 (inverse).
        const Vec f = _mm_shuffle_ps(sre, sim, _MM_SHUFFLE(3, 2, 3, 2));  // [f0r f1r f0i f1i]
        const Vec eRe = _mm_shuffle_ps(sre, sre, _MM_SHUFFLE(1, 0, 1, 0));
        const Vec eIm = _mm_shuffle_ps(sim, sim, _MM_SHUFFLE(1, 0, 1, 0));
        const Vec fRe = _mm_shuffle_ps(f, f, _MM_SHUFFLE(3, 0, 3, 0));  // [f0r f1i f0r f1i]
        const Vec fIm = _mm_shuffle_ps(f, f, _MM_SHUFFLE(1, 2, 1, 2));  // [f0i f1r f0i f1r]
        Store(p, Add(eRe, FlipSigns(fRe, reSigns)));
        Store(p + 4, Add(eIm, FlipSigns(fIm, imSigns)));
    }
}

// Radix-2 pass over spans of eight: block 2a and block 2a + 1 with the twiddles w8^0..3.
template <bool kInverse, Output kOut>
VOID Radix2Pass(float* data, ULONG64 blocks, Vec scale) {
    const Vec c = _mm_setr_ps(1.0f, kSqrtHalf, 0.0f, -kSqrtHalf);
    const Vec s = _mm_setr_ps(0.0f, kSqrtHalf, 1.0f, kSqrtHalf);
    for (ULONG64 b = 0; b < blocks; b += 2) {
        float* pa = data + 8 * b;
        float* pb = pa + 8;
        const Vec ar = Load(pa);
        const Vec ai = Load(pa + 4);
        Vec br = Load(pb);
        Vec bi = Load(pb + 4);
        Rotate<kInverse>(&br, &bi, c, s);
        Emit<kOut>(pa, Add(ar, br), Add(ai, bi), scale);
        Emit<kOut>(pb, Sub(ar, br), Sub(ai, bi), scale);
    }
}

template <bool kInverse, Output kOut>
VOID Radix4Pass(float* data, ULONG64 h, ULONG64 span, const float* twiddles, Vec scale) {
    const ULONG64 quarter = span / 4;
    for (ULONG64 g = 0; g < h; g += span) {
        for (ULONG64 k = 0; k < quarter; k += 4) {
            float* p0 = data + 2 * (g + k);
            float* p1 = p0 + 2 * quarter;
            float* p2 = p1 + 2 * quarter;
            float* p3 = p2 + 2 * quarter;
            const float* w = twiddles + 6 * k;
            Vec br = Load(p1), bi = Load(p1 + 4);
            Vec cr = Load(p2), ci = Load(p2 + 4);
            Vec dr = Load(p3), di = Load(p3 + 4);
            Rotate<kInverse>(&cr, &ci, Load(w), Load(w + 4));
            Rotate<kInverse>(&br, &bi, Load(w + 8), Load(w + 12));
            Rotate<kInverse>(&dr, &di, Load(w + 16), Load(w + 20));
            Vec out[8];
            Butterfly4<kInverse>(Load(p0), Load(p0 + 4), br, bi, cr, ci, dr, di, out);
            Emit<kOut>(p0, out[0], out[1], scale);
            Emit<kOut>(p1, out[2], out[3], scale);
            Emit<kOut>(p2, out[4], out[5], scale);
            Emit<kOut>(p3, out[6], out[7], scale);
        }
    }
}

// The twiddled radix-4 passes from the given span up to h.
template <bool kInverse>
VOID TwiddledPasses(float* data, ULONG64 h, ULONG64 span, const float* twiddles, const float* scale) {
    while (span < h) {
        span *= 4;
        WithOutput(span == h, scale,
                   [&]<Output kOut>(Vec f) { Radix4Pass<kInverse, kOut>(data, h, span, twiddles, f); });
        twiddles += 6 * (span / 4);
    }
}

template <bool kInverse>
VOID FromBitReversed(float* data, ULONG64 h, const float* twiddles, const float* scale) {
    FirstRadix4Pass<kInverse>(data, h / 4);
    ULONG64 span = 4;
    if (std::countr_zero(h) & 1) {
        span = 8;
        WithOutput(span == h, scale, [&]<Output kOut>(Vec f) { Radix2Pass<kInverse, kOut>(data, h / 4, f); });
    }
    TwiddledPasses<kInverse>(data, h, span, twiddles, scale);
}

// ---- first pass from natural order ----
//
// In bit-reversed order the run of R points at position R x c holds the inputs r + n x h/R
// (n = 0..R-1) with r = reverse(c), and the first passes turn it into their R-point DFT. So the
// fused first pass computes, for four consecutive r side by side, the DFT of the inputs strided by
// h/R and stores each one, transposed into the block layout, at the run of c = reverse(r). The runs
// written for a group of r are exactly the inputs of the group with the reversed group index, so
// the two are read before either is written and the pass works in place.

// DFT4 of x0..x3 in natural order.
template <bool kInverse>
inline VOID Dft4(const Vec xr[4], const Vec xi[4], Vec yr[4], Vec yi[4]) {
    const Vec ar = Add(xr[0], xr[2]), ai = Add(xi[0], xi[2]);
    const Vec br = Sub(xr[0], xr[2]), bi = Sub(xi[0], xi[2]);
    const Vec cr = Add(xr[1], xr[3]), ci = Add(xi[1], xi[3]);
    const Vec dr = Sub(xr[1], xr[3]), di = Sub(xi[1], xi[3]);
    yr[0] = Add(ar, cr);
    yi[0] = Add(ai, ci);
    yr[2] = Sub(ar, cr);
    yi[2] = Sub(ai, ci);
    if (kInverse) {  // y1 = b + i d, y3 = b - i d
        yr[1] = Sub(br, di);
        yi[1] = Add(bi, dr);
        yr[3] = Add(br, di);
        yi[3] = Sub(bi, dr);
    } else {  // y1 = b - i d, y3 = b + i d
        yr[1] = Add(br, di);
        yi[1] = Sub(bi, dr);
        yr[3] = Sub(br, di);
        yi[3] = Add(bi, dr);
    }
}

// DFT8 of x0..x7 in natural order: DFT4 of the sums for the even outputs, DFT4 of the differences
// turned by w8^n for the odd ones.
template <bool kInverse>
inline VOID Dft8(const Vec xr[8], const Vec xi[8], Vec yr[8], Vec yi[8]) {
    const Vec k = Splat(kSqrtHalf);
    Vec ar[4], ai[4], tr[4], ti[4];
    for (int n = 0; n < 4; ++n) {
        ar[n] = Add(xr[n], xr[n + 4]);
        ai[n] = Add(xi[n], xi[n + 4]);
        tr[n] = Sub(xr[n], xr[n + 4]);
        ti[n] = Sub(xi[n], xi[n + 4]);
    }
    const Vec b1r = tr[1], b1i = ti[1], b2r = tr[2], b2i = ti[2], b3r = tr[3], b3i = ti[3];
    if (kInverse) {  // x (1 + i)/sqrt2, x i, x (-1 + i)/sqrt2
        tr[1] = Mul(k, Sub(b1r, b1i));
        ti[1] = Mul(k, Add(b1r, b1i));
        tr[2] = _mm_xor_ps(b2i, Splat(-0.0f));
        ti[2] = b2r;
        tr[3] = _mm_xor_ps(Mul(k, Add(b3r, b3i)), Splat(-0.0f));
        ti[3] = Mul(k, Sub(b3r, b3i));
    } else {  // x (1 - i)/sqrt2, x -i, x (-1 - i)/sqrt2
        tr[1] = Mul(k, Add(b1r, b1i));
        ti[1] = Mul(k, Sub(b1i, b1r));
        tr[2] = b2i;
        ti[2] = _mm_xor_ps(b2r, Splat(-0.0f));
        tr[3] = Mul(k, Sub(b3i, b3r));
        ti[3] = _mm_xor_ps(Mul(k, Add(b3r, b3i)), Splat(-0.0f));
    }
    Vec er[4], ei[4], orr[4], oi[4];
    Dft4<kInverse>(ar, ai, er, ei);
    Dft4<kInverse>(tr, ti, orr, oi);
    for (int m = 0; m < 4; ++m) {
        yr[2 * m] = er[m];
        yi[2 * m] = ei[m];
        yr[2 * m + 1] = orr[m];
        yi[2 * m + 1] = oi[m];
    }
}

inline VOID Transpose(Vec v[4]) { _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]); }

constexpr ULONG64 kReverse2[4] = {0, 2, 1, 3};
constexpr ULONG64 kReverse3[8] = {0, 4, 2, 6, 1, 5, 3, 7};

// Runs a fused first pass over its groups: group s writes to the place of its bit-reversed partner
// and the partner to s, both gathered before either is emitted, so the pass works in place.
template <class Inputs, class Gather, class Emit>
inline VOID PairReversedGroups(ULONG64 groups, const Gather& gather, const Emit& emit) {
    const LONG bits = std::countr_zero(groups);
    for (ULONG64 s = 0; s < groups; ++s) {
        const ULONG64 partner = FftReverseBits(s, bits);
        if (partner < s) continue;
        Inputs mine, theirs;
        gather(s, &mine);
        if (partner != s) gather(partner, &theirs);
        emit(partner, mine);
        if (partner != s) emit(s, theirs);
    }
}

// Radix-4 first pass: groups of four r (h/16 groups), inputs strided by h/4.
template <bool kInverse>
VOID FusedFirstPass4(const float* src, float* dst, ULONG64 h) {
    const ULONG64 groups = h / 16;
    struct Inputs {
        Vec re[4];
        Vec im[4];
    };
    auto gather = [&](ULONG64 s, Inputs* in) {
        for (ULONG64 n = 0; n < 4; ++n) LoadSplit(src + 2 * (4 * s + n * (h / 4)), &in->re[n], &in->im[n]);
    };
    auto emit = [&](ULONG64 target, const Inputs& in) {
        Vec yr[4], yi[4];
        Dft4<kInverse>(in.re, in.im, yr, yi);
        Transpose(yr);
        Transpose(yi);
        for (ULONG64 j = 0; j < 4; ++j) {
            float* block = dst + 8 * (target + kReverse2[j] * groups);
            Store(block, yr[j]);
            Store(block + 4, yi[j]);
        }
    };
    PairReversedGroups<Inputs>(groups, gather, emit);
}

// Radix-8 first pass: groups of eight r (h/64 groups), inputs strided by h/8; each r fills two blocks.
template <bool kInverse>
VOID FusedFirstPass8(const float* src, float* dst, ULONG64 h) {
    const ULONG64 groups = h / 64;
    struct Inputs {
        Vec re[2][8];
        Vec im[2][8];
    };
    auto gather = [&](ULONG64 s, Inputs* in) {
        for (ULONG64 half = 0; half < 2; ++half) {
            for (ULONG64 n = 0; n < 8; ++n) {
                LoadSplit(src + 2 * (8 * s + 4 * half + n * (h / 8)), &in->re[half][n], &in->im[half][n]);
            }
        }
    };
    auto emit = [&](ULONG64 target, const Inputs& in) {
        for (ULONG64 half = 0; half < 2; ++half) {
            Vec yr[8], yi[8];
            Dft8<kInverse>(in.re[half], in.im[half], yr, yi);
            Transpose(yr);
            Transpose(yr + 4);
            Transpose(yi);
            Transpose(yi + 4);
            for (ULONG64 j = 0; j < 4; ++j) {
                float* run = dst + 16 * (target + kReverse3[4 * half + j] * groups);
                Store(run, yr[j]);
                Store(run + 4, yi[j]);
                Store(run + 8, yr[4 + j]);
                Store(run + 12, yi[4 + j]);
            }
        }
    };
    PairReversedGroups<Inputs>(groups, gather, emit);
}

template <bool kInverse>
VOID FromNatural(const float* src, float* dst, ULONG64 h, const float* twiddles, const float* scale) {
    const bool oddLog = (std::countr_zero(h) & 1) != 0;
    ULONG64 span = 4;
    if (!oddLog) {
        FusedFirstPass4<kInverse>(src, dst, h);
    } else if (h >= 128) {
        FusedFirstPass8<kInverse>(src, dst, h);
        span = 8;
    } else {  // 32 points: radix-4 first pass, then the radix-2 pass
        FusedFirstPass4<kInverse>(src, dst, h);
        Radix2Pass<kInverse, Output::Blocks>(dst, h / 4, Splat(1.0f));
        span = 8;
    }
    TwiddledPasses<kInverse>(dst, h, span, twiddles, scale);
}

}  // namespace

VOID FftInCache(float* data, ULONG64 h, const float* twiddles, bool inverse, const float* scale) {
    if (inverse) {
        FromBitReversed<true>(data, h, twiddles, scale);
    } else {
        FromBitReversed<false>(data, h, twiddles, scale);
    }
}

VOID FftInCacheNatural(const float* src, float* dst, ULONG64 h, const float* twiddles, const LONG* bitReversal,
                       bool inverse, const float* scale) {
    if (h < 16) {  // too few points for a group of four; permute, then transform
        FftBitReverse(src, dst, h, bitReversal);
        FftInCache(dst, h, twiddles, inverse, scale);
    } else if (inverse) {
        FromNatural<true>(src, dst, h, twiddles, scale);
    } else {
        FromNatural<false>(src, dst, h, twiddles, scale);
    }
}
