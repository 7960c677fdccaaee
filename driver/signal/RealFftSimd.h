// Four-wide single-precision helpers shared by the real-FFT kernels (SSE2, the x64 baseline).
#pragma once

#include <emmintrin.h>

#include <win/ntdef.h>

namespace fftsimd {

using Vec = __m128;

inline Vec Load(const float* p) { return _mm_loadu_ps(p); }
inline VOID Store(float* p, Vec v) { _mm_storeu_ps(p, v); }
inline Vec Splat(float x) { return _mm_set1_ps(x); }
inline Vec Add(Vec a, Vec b) { return _mm_add_ps(a, b); }
inline Vec Sub(Vec a, Vec b) { return _mm_sub_ps(a, b); }
inline Vec Mul(Vec a, Vec b) { return _mm_mul_ps(a, b); }
// Flips the sign of the lanes whose mask lane is -0.0.
inline Vec FlipSigns(Vec v, Vec mask) { return _mm_xor_ps(v, mask); }

// Splits four interleaved complex values (p[0..7]) into their real and imaginary parts.
inline VOID LoadSplit(const float* p, Vec* re, Vec* im) {
    const Vec lo = Load(p);
    const Vec hi = Load(p + 4);
    *re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    *im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
}

// Stores four complex values given as real and imaginary parts as interleaved pairs at p[0..7].
inline VOID StoreInterleaved(float* p, Vec re, Vec im) {
    Store(p, _mm_unpacklo_ps(re, im));
    Store(p + 4, _mm_unpackhi_ps(re, im));
}

// (re + i im) x (c - i s) in the forward direction, x (c + i s) in the inverse.
template <bool kInverse>
inline VOID Rotate(Vec* re, Vec* im, Vec c, Vec s) {
    const Vec r = *re;
    const Vec i = *im;
    if (kInverse) {
        *re = Sub(Mul(r, c), Mul(i, s));
        *im = Add(Mul(i, c), Mul(r, s));
    } else {
        *re = Add(Mul(r, c), Mul(i, s));
        *im = Sub(Mul(i, c), Mul(r, s));
    }
}

// Radix-4 butterfly of a span in bit-reversed order: quarters 0..3 hold the sub-transforms 0, 2, 1, 3,
// already rotated by their twiddles. out = X0 (re, im), X1, X2, X3 at quarters 0..3.
template <bool kInverse>
inline VOID Butterfly4(Vec ar, Vec ai, Vec br, Vec bi, Vec cr, Vec ci, Vec dr, Vec di, Vec out[8]) {
    const Vec s02r = Add(ar, br);
    const Vec s02i = Add(ai, bi);
    const Vec d02r = Sub(ar, br);
    const Vec d02i = Sub(ai, bi);
    const Vec s13r = Add(cr, dr);
    const Vec s13i = Add(ci, di);
    const Vec d13r = Sub(cr, dr);
    const Vec d13i = Sub(ci, di);
    out[0] = Add(s02r, s13r);
    out[1] = Add(s02i, s13i);
    out[4] = Sub(s02r, s13r);
    out[5] = Sub(s02i, s13i);
    if (kInverse) {  // X1 = d02 + i d13, X3 = d02 - i d13
        out[2] = Sub(d02r, d13i);
        out[3] = Add(d02i, d13r);
        out[6] = Add(d02r, d13i);
        out[7] = Sub(d02i, d13r);
    } else {  // X1 = d02 - i d13, X3 = d02 + i d13
        out[2] = Add(d02r, d13i);
        out[3] = Sub(d02i, d13r);
        out[6] = Sub(d02r, d13i);
        out[7] = Add(d02i, d13r);
    }
}

}  // namespace fftsimd
