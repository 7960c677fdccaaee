// Complex building blocks of the real FFT: quarter-wave sine lookups, the bit-reversal permutation,
// the radix-4 twiddle tables, and the four-column radix-4 FFT of the large-order plan.
#include "driver/signal/RealFftInternal.h"
#include "driver/signal/RealFftSimd.h"

#include <bit>

using namespace fftsimd;

VOID FftSineTable::CosSin(ULONG64 a, float* pCos, float* pSin) const {
    const ULONG64 q = n / 4;
    a &= n - 1;
    if (a <= q) {
        *pSin = QuarterSin(a);
        *pCos = QuarterSin(q - a);
    } else if (a <= 2 * q) {
        *pSin = QuarterSin(2 * q - a);
        *pCos = -QuarterSin(a - q);
    } else if (a <= 3 * q) {
        *pSin = -QuarterSin(a - 2 * q);
        *pCos = -QuarterSin(3 * q - a);
    } else {
        *pSin = -QuarterSin(4 * q - a);
        *pCos = QuarterSin(a - 3 * q);
    }
}

namespace {

struct Complex {
    float re;
    float im;
};

// Index of the complex value with outer bits (top, low) around middle index m.
inline ULONG64 Outer(ULONG64 half, ULONG64 top, ULONG64 m, ULONG64 low) { return top * half + 2 * m + low; }

// Middle indices that are their own reversal, read backwards from the end of the table; 0 ends.
template <typename Fn>
VOID ForEachSelf(const LONG* table, ULONG64 h, Fn fn) {
    for (const LONG* p = table + h / 4; *p != 0; --p) fn(static_cast<ULONG64>(*p));
}

}  // namespace

VOID FftBuildBitReversal(LONG* table, ULONG64 h) {
    const ULONG64 middles = h / 4;
    const LONG bits = std::countr_zero(middles);
    ULONG64 front = 0;
    ULONG64 back = middles;  // the table holds middles + 1 entries
    for (ULONG64 i = 1; i < middles; ++i) {
        const ULONG64 r = FftReverseBits(i, bits);
        if (i < r) {
            table[front++] = static_cast<LONG>(i);
            table[front++] = static_cast<LONG>(r);
        } else if (i == r) {
            table[back--] = static_cast<LONG>(i);
        }
    }
    table[front] = 0;
    table[back] = 0;
}

VOID FftBitReverse(const float* src, float* dst, ULONG64 h, const LONG* table) {
    // Index bits (top, middle m, low) go to (low, reverse(m), top): the middle comes from the table,
    // the outer two bits move four values at a time.
    const ULONG64 half = h / 2;
    const Complex* s = reinterpret_cast<const Complex*>(src);
    Complex* d = reinterpret_cast<Complex*>(dst);
    if (src == dst) {
        for (const LONG* p = table; *p != 0; p += 2) {
            const ULONG64 m = static_cast<ULONG64>(p[0]);
            const ULONG64 r = static_cast<ULONG64>(p[1]);
            for (ULONG64 top = 0; top < 2; ++top) {
                for (ULONG64 low = 0; low < 2; ++low) {
                    const Complex t = d[Outer(half, top, m, low)];
                    d[Outer(half, top, m, low)] = d[Outer(half, low, r, top)];
                    d[Outer(half, low, r, top)] = t;
                }
            }
        }
        auto swapOuter = [&](ULONG64 m) {
            const Complex t = d[Outer(half, 0, m, 1)];
            d[Outer(half, 0, m, 1)] = d[Outer(half, 1, m, 0)];
            d[Outer(half, 1, m, 0)] = t;
        };
        swapOuter(0);
        ForEachSelf(table, h, swapOuter);
        return;
    }
    for (const LONG* p = table; *p != 0; p += 2) {
        const ULONG64 m = static_cast<ULONG64>(p[0]);
        const ULONG64 r = static_cast<ULONG64>(p[1]);
        for (ULONG64 top = 0; top < 2; ++top) {
            for (ULONG64 low = 0; low < 2; ++low) {
                d[Outer(half, top, m, low)] = s[Outer(half, low, r, top)];
                d[Outer(half, low, r, top)] = s[Outer(half, top, m, low)];
            }
        }
    }
    auto copySelf = [&](ULONG64 m) {
        for (ULONG64 top = 0; top < 2; ++top) {
            for (ULONG64 low = 0; low < 2; ++low) d[Outer(half, top, m, low)] = s[Outer(half, low, m, top)];
        }
    };
    copySelf(0);
    ForEachSelf(table, h, copySelf);
}

VOID FftBuildInCacheTwiddles(float* out, ULONG64 h, const FftSineTable& table) {
    // Spans of the twiddled radix-4 passes: 16, 64, ... for even log2(h); 32, 128, ... for odd.
    ULONG64 span = (std::countr_zero(h) & 1) ? 8 : 4;
    while (span < h) {
        span *= 4;
        const ULONG64 quarter = span / 4;
        const ULONG64 step = table.n / span;  // sine-table steps per twiddle step
        for (ULONG64 k = 0; k < quarter; ++k) {
            float* group = out + 6 * (k & ~3ull) + (k & 3);
            for (ULONG64 t = 1; t <= 3; ++t) {
                table.CosSin(t * k * step, &group[8 * (t - 1)], &group[8 * (t - 1) + 4]);
            }
        }
        out += 6 * quarter;
    }
}

namespace {

const float kSqrtHalf = 0.70710677f;

// Column variant: element j holds four columns as [re x4, im x4] at work + 8j; twiddles are
// scalars broadcast over the columns.
inline Vec Re(const float* work, ULONG64 j) { return Load(work + 8 * j); }
inline Vec Im(const float* work, ULONG64 j) { return Load(work + 8 * j + 4); }
inline VOID Put(float* work, ULONG64 j, Vec re, Vec im) {
    Store(work + 8 * j, re);
    Store(work + 8 * j + 4, im);
}

template <bool kInverse>
VOID Columns(float* work, ULONG64 h, const float* twiddles) {
    for (ULONG64 j = 0; j < h; j += 4) {
        const Vec e0r = Add(Re(work, j), Re(work, j + 1));
        const Vec e0i = Add(Im(work, j), Im(work, j + 1));
        const Vec e1r = Sub(Re(work, j), Re(work, j + 1));
        const Vec e1i = Sub(Im(work, j), Im(work, j + 1));
        const Vec f0r = Add(Re(work, j + 2), Re(work, j + 3));
        const Vec f0i = Add(Im(work, j + 2), Im(work, j + 3));
        const Vec f1r = Sub(Re(work, j + 2), Re(work, j + 3));
        const Vec f1i = Sub(Im(work, j + 2), Im(work, j + 3));
        Put(work, j, Add(e0r, f0r), Add(e0i, f0i));
        Put(work, j + 2, Sub(e0r, f0r), Sub(e0i, f0i));
        if (kInverse) {
            Put(work, j + 1, Sub(e1r, f1i), Add(e1i, f1r));
            Put(work, j + 3, Add(e1r, f1i), Sub(e1i, f1r));
        } else {
            Put(work, j + 1, Add(e1r, f1i), Sub(e1i, f1r));
            Put(work, j + 3, Sub(e1r, f1i), Add(e1i, f1r));
        }
    }
    ULONG64 span = 4;
    if (std::countr_zero(h) & 1) {
        span = 8;
        const float c8[4] = {1.0f, kSqrtHalf, 0.0f, -kSqrtHalf};
        const float s8[4] = {0.0f, kSqrtHalf, 1.0f, kSqrtHalf};
        for (ULONG64 g = 0; g < h; g += 8) {
            for (ULONG64 k = 0; k < 4; ++k) {
                Vec br = Re(work, g + 4 + k);
                Vec bi = Im(work, g + 4 + k);
                Rotate<kInverse>(&br, &bi, Splat(c8[k]), Splat(s8[k]));
                const Vec ar = Re(work, g + k);
                const Vec ai = Im(work, g + k);
                Put(work, g + k, Add(ar, br), Add(ai, bi));
                Put(work, g + 4 + k, Sub(ar, br), Sub(ai, bi));
            }
        }
    }
    while (span < h) {
        span *= 4;
        const ULONG64 quarter = span / 4;
        for (ULONG64 g = 0; g < h; g += span) {
            for (ULONG64 k = 0; k < quarter; ++k) {
                const float* w = twiddles + 6 * (k & ~3ull) + (k & 3);
                Vec br = Re(work, g + quarter + k), bi = Im(work, g + quarter + k);
                Vec cr = Re(work, g + 2 * quarter + k), ci = Im(work, g + 2 * quarter + k);
                Vec dr = Re(work, g + 3 * quarter + k), di = Im(work, g + 3 * quarter + k);
                Rotate<kInverse>(&cr, &ci, Splat(w[0]), Splat(w[4]));
                Rotate<kInverse>(&br, &bi, Splat(w[8]), Splat(w[12]));
                Rotate<kInverse>(&dr, &di, Splat(w[16]), Splat(w[20]));
                Vec out[8];
                Butterfly4<kInverse>(Re(work, g + k), Im(work, g + k), br, bi, cr, ci, dr, di, out);
                Put(work, g + k, out[0], out[1]);
                Put(work, g + quarter + k, out[2], out[3]);
                Put(work, g + 2 * quarter + k, out[4], out[5]);
                Put(work, g + 3 * quarter + k, out[6], out[7]);
            }
        }
        twiddles += 6 * quarter;
    }
}

}  // namespace

VOID FftColumns4(float* work, ULONG64 h, const float* twiddles, bool inverse) {
    if (inverse) {
        Columns<true>(work, h, twiddles);
    } else {
        Columns<false>(work, h, twiddles);
    }
}
