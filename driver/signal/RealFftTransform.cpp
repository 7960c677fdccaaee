// Real FFT transforms. N reals are treated as N/2 complex values: the forward transform runs the
// complex FFT and then splits its result into the packed real spectrum; the inverse merges the
// packed spectrum into a complex one and runs the inverse complex FFT. Orders 0..3 use fixed kernels.
#include "driver/signal/RealFftInternal.h"
#include "driver/signal/RealFftSimd.h"
#include "driver/signal/SignalGeneric.h"
#include "driver/signal/SignalMemory.h"

using namespace fftsimd;

namespace {

const float kSqrtHalf = 0.70710677f;
const float kSqrtTwo = 1.4142135f;

// Multiplies the first-stage sums of a fixed kernel by the factor of a scaled direction.
inline VOID ScaleSums(float* sums, LONG count, const float* scale) {
    if (scale == nullptr) return;
    for (LONG i = 0; i < count; ++i) sums[i] *= *scale;
}

// Orders 0 and 1, which are their own inverse: a copy of one point, the sum and difference of two.
VOID TwoPointFixed(LONG order, const float* x, float* y, const float* scale) {
    if (order == 0) {
        float v[1] = {x[0]};
        ScaleSums(v, 1, scale);
        y[0] = v[0];
        return;
    }
    float v[2] = {x[0] + x[1], x[0] - x[1]};
    ScaleSums(v, 2, scale);
    y[0] = v[0];
    y[1] = v[1];
}

VOID ForwardFixed(LONG order, const float* x, float* y, const float* scale) {
    switch (order) {
        case 0:
        case 1:
            TwoPointFixed(order, x, y, scale);
            break;
        case 2: {
            float v[4] = {x[0] + x[2], x[0] - x[2], x[1] + x[3], x[1] - x[3]};
            ScaleSums(v, 4, scale);
            y[0] = v[0] + v[2];
            y[1] = v[0] - v[2];
            y[2] = v[1];
            y[3] = -v[3];
            break;
        }
        default: {
            // a = x[n] + x[n + 4] feeds the even bins, b = x[n] - x[n + 4] the odd ones.
            float a[4];
            float b[4];
            for (LONG i = 0; i < 4; ++i) {
                a[i] = x[i] + x[i + 4];
                b[i] = x[i] - x[i + 4];
            }
            ScaleSums(a, 4, scale);
            ScaleSums(b, 4, scale);
            const float b13d = (b[1] - b[3]) * kSqrtHalf;
            const float b13s = (b[1] + b[3]) * kSqrtHalf;
            y[0] = (a[0] + a[2]) + (a[1] + a[3]);
            y[1] = (a[0] + a[2]) - (a[1] + a[3]);
            y[2] = b[0] + b13d;
            y[3] = -b[2] - b13s;
            y[4] = a[0] - a[2];
            y[5] = a[3] - a[1];
            y[6] = b[0] - b13d;
            y[7] = b[2] - b13s;
            break;
        }
    }
}

VOID InverseFixed(LONG order, const float* x, float* y, const float* scale) {
    switch (order) {
        case 0:
        case 1:
            TwoPointFixed(order, x, y, scale);
            break;
        case 2: {
            // x = [X0, X2, Re X1, Im X1]
            float v[4] = {x[0] + x[1], x[0] - x[1], 2.0f * x[2], 2.0f * x[3]};
            ScaleSums(v, 4, scale);
            y[0] = v[0] + v[2];
            y[1] = v[1] - v[3];
            y[2] = v[0] - v[2];
            y[3] = v[1] + v[3];
            break;
        }
        default: {
            // x = [X0, X4, Re X1, Im X1, Re X2, Im X2, Re X3, Im X3]
            const float r1 = x[2], i1 = x[3], r2 = x[4], i2 = x[5], r3 = x[6], i3 = x[7];
            float v[8] = {
                x[0] + x[1],  // X0 + X4
                x[0] - x[1],  // X0 - X4
                2.0f * r2,
                2.0f * i2,
                2.0f * (r1 + r3),
                2.0f * (i1 - i3),
                kSqrtTwo * ((r1 - r3) - (i1 + i3)),
                kSqrtTwo * ((r1 - r3) + (i1 + i3)),
            };
            ScaleSums(v, 8, scale);
            const float evenPlus = v[0] + v[2];
            const float evenMinus = v[0] - v[2];
            const float oddMinus = v[1] - v[3];
            const float oddPlus = v[1] + v[3];
            y[0] = evenPlus + v[4];
            y[4] = evenPlus - v[4];
            y[2] = evenMinus - v[5];
            y[6] = evenMinus + v[5];
            y[1] = oddMinus + v[6];
            y[5] = oddMinus - v[6];
            y[3] = oddPlus - v[7];
            y[7] = oddPlus + v[7];
            break;
        }
    }
}

// The four complex bins that end at mirror (Z[h-k-3] .. Z[h-k]) as real and imaginary parts in
// descending bin order: lane j holds Z[h-k-j].
inline VOID LoadMirror(const float* mirror, Vec* re, Vec* im) {
    const Vec m0 = Load(mirror);
    const Vec m1 = Load(mirror + 4);
    *re = _mm_shuffle_ps(m1, m0, _MM_SHUFFLE(0, 2, 0, 2));
    *im = _mm_shuffle_ps(m1, m0, _MM_SHUFFLE(1, 3, 1, 3));
}

// The inverse of LoadMirror: lane j of re and im goes to bin h-k-j.
inline VOID StoreMirror(float* mirror, Vec re, Vec im) {
    const Vec lo = _mm_unpacklo_ps(re, im);  // bins h-k, h-k-1
    const Vec hi = _mm_unpackhi_ps(re, im);  // bins h-k-2, h-k-3
    Store(mirror + 4, _mm_shuffle_ps(lo, lo, _MM_SHUFFLE(1, 0, 3, 2)));
    Store(mirror, _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
}

// Forward split pass: complex spectrum Z of h points (in d) into the packed real spectrum, pairing
// bin k with bin h - k. With (a, b) = Z[k], (c, d) = Z[h - k] and the split twiddles
// (q, p) = (0.5 cos, 0.5 - 0.5 sin): t = p(a - c) + q(b + d), u = p(b + d) - q(a - c);
// X[k] = (t + c, u - d), X[h - k] = (a - t, u - b).
VOID SplitPass(float* d, ULONG64 h, const float* twiddles) {
    const float a0 = d[0];
    const float b0 = d[1];
    d[0] = a0 + b0;
    d[1] = a0 - b0;
    ULONG64 k = 1;
    for (; 2 * k + 6 < h; k += 4) {
        Vec a, b, q, p;
        LoadSplit(d + 2 * k, &a, &b);
        LoadSplit(twiddles + 2 * k, &q, &p);
        float* mirror = d + 2 * (h - k - 3);
        Vec c, dd;  // Z[h-k], ..., Z[h-k-3]
        LoadMirror(mirror, &c, &dd);
        const Vec diff = Sub(a, c);
        const Vec sum = Add(b, dd);
        const Vec t = Add(Mul(p, diff), Mul(q, sum));
        const Vec u = Sub(Mul(p, sum), Mul(q, diff));
        StoreInterleaved(d + 2 * k, Add(t, c), Sub(u, dd));
        StoreMirror(mirror, Sub(a, t), Sub(u, b));
    }
    for (; k < h / 2; ++k) {
        const float a = d[2 * k], b = d[2 * k + 1];
        const float c = d[2 * (h - k)], dd = d[2 * (h - k) + 1];
        const float q = twiddles[2 * k], p = twiddles[2 * k + 1];
        const float t = p * (a - c) + q * (b + dd);
        const float u = p * (b + dd) - q * (a - c);
        d[2 * k] = t + c;
        d[2 * k + 1] = u - dd;
        d[2 * (h - k)] = a - t;
        d[2 * (h - k) + 1] = u - b;
    }
    d[h + 1] = -d[h + 1];
}

// Inverse merge pass: packed spectrum (s) into the complex spectrum of h points (d), twice the
// forward split's input. With (a, b) = X[k], (c, d) = X[h - k], (w0, w1) = (cos, -sin):
// e = w1(a - c) - w0(b + d), f = w0(a - c) + w1(b + d);
// Z[k] = (a + c + e, b - d + f), Z[h - k] = (a + c - e, f - (b - d)).
VOID MergePass(const float* s, float* d, ULONG64 h, const float* twiddles) {
    const float x0 = s[0];
    const float xh = s[1];
    const float midRe = s[h];
    const float midIm = s[h + 1];
    d[0] = x0 + xh;
    d[1] = x0 - xh;
    ULONG64 k = 1;
    for (; 2 * k + 6 < h; k += 4) {
        Vec a, b, w0, w1;
        LoadSplit(s + 2 * k, &a, &b);
        LoadSplit(twiddles + 2 * k, &w0, &w1);
        Vec c, dd;
        LoadMirror(s + 2 * (h - k - 3), &c, &dd);
        const Vec diff = Sub(a, c);
        const Vec sum = Add(b, dd);
        const Vec e = Sub(Mul(w1, diff), Mul(w0, sum));
        const Vec f = Add(Mul(w0, diff), Mul(w1, sum));
        const Vec ac = Add(a, c);
        const Vec bd = Sub(b, dd);
        StoreInterleaved(d + 2 * k, Add(ac, e), Add(bd, f));
        StoreMirror(d + 2 * (h - k - 3), Sub(ac, e), Sub(f, bd));
    }
    for (; k < h / 2; ++k) {
        const float a = s[2 * k], b = s[2 * k + 1];
        const float c = s[2 * (h - k)], dd = s[2 * (h - k) + 1];
        const float w0 = twiddles[2 * k], w1 = twiddles[2 * k + 1];
        const float e = w1 * (a - c) - w0 * (b + dd);
        const float f = w0 * (a - c) + w1 * (b + dd);
        d[2 * k] = a + c + e;
        d[2 * k + 1] = b - dd + f;
        d[2 * (h - k)] = a + c - e;
        d[2 * (h - k) + 1] = f - (b - dd);
    }
    d[h] = 2.0f * midRe;
    d[h + 1] = -2.0f * midIm;
}

// The work buffer of one transform: the caller's (rounded up to 32 bytes) or one allocated for the
// duration of the call.
class TransformWork {
public:
    TransformWork(const RealFftSpec* spec, PVOID callerBuffer) {
        if (spec->workSize <= 0) return;
        if (callerBuffer != nullptr) {
            m_Work = reinterpret_cast<float*>((reinterpret_cast<ULONG_PTR>(callerBuffer) + 31) &
                                              ~static_cast<ULONG_PTR>(31));
            return;
        }
        m_Owned = AllocAligned(spec->workSize);
        m_Work = static_cast<float*>(m_Owned);
        m_Failed = m_Owned == nullptr;
    }
    ~TransformWork() { FreeAligned(m_Owned); }
    TransformWork(const TransformWork&) = delete;
    TransformWork& operator=(const TransformWork&) = delete;

    bool Failed() const { return m_Failed; }
    float* Buffer() const { return m_Work; }

private:
    float* m_Work = nullptr;
    PVOID m_Owned = nullptr;
    bool m_Failed = false;
};

// The complex FFT of h = N/2 points from s (natural order) into d; s == d runs in place.
VOID ComplexTransform(const float* s, float* d, const RealFftSpec* spec, bool inverse, const float* scale,
                      float* work) {
    const ULONG64 h = 1ull << (spec->order - 1);
    if (spec->order <= RealFftMaxInCacheOrder) {
        FftInCacheNatural(s, d, h, spec->complexTwiddles, spec->bitReversal, inverse, scale);
    } else {
        FftBitReverse(s, d, h, spec->bitReversal);
        FftLarge(d, spec, spec->order - 1, inverse, scale, work);
    }
}

SignalStatus CheckTransform(const float* src, const float* dst, const RealFftSpec* spec) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->tag != RealFftSpecTag) return StatusBadTag;
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    return StatusOk;
}

// Orders 0..3 through one of the fixed kernels; the result goes through a local block, so src may
// be dst.
SignalStatus RunFixed(VOID (*Kernel)(LONG, const float*, float*, const float*), const float* src, float* dst,
                      LONG order, const float* scale) {
    float out[8];
    Kernel(order, src, out, scale);
    for (LONG i = 0; i < (1 << order); ++i) dst[i] = out[i];
    return StatusOk;
}

}  // namespace

SignalStatus RealFftForward(const float* src, float* dst, const RealFftSpec* spec, PVOID workBuffer) {
    const SignalStatus status = CheckTransform(src, dst, spec);
    if (status != StatusOk) return status;
    const float* scale = spec->forwardScaled != 0 ? &spec->factor : nullptr;
    if (spec->order <= 3) return RunFixed(ForwardFixed, src, dst, spec->order, scale);
    TransformWork work(spec, workBuffer);
    if (work.Failed()) return StatusNoMemory;
    const ULONG64 h = 1ull << (spec->order - 1);
    ComplexTransform(src, dst, spec, false, scale, work.Buffer());
    SplitPass(dst, h, spec->splitTwiddles);
    return StatusOk;
}

SignalStatus RealFftInverse(const float* src, float* dst, const RealFftSpec* spec, PVOID workBuffer) {
    const SignalStatus status = CheckTransform(src, dst, spec);
    if (status != StatusOk) return status;
    const float* scale = spec->inverseScaled != 0 ? &spec->factor : nullptr;
    if (spec->order <= 3) return RunFixed(InverseFixed, src, dst, spec->order, scale);
    TransformWork work(spec, workBuffer);
    if (work.Failed()) return StatusNoMemory;
    const ULONG64 h = 1ull << (spec->order - 1);
    MergePass(src, dst, h, spec->mergeTwiddles);
    ComplexTransform(dst, dst, spec, true, scale, work.Buffer());
    return StatusOk;
}

SignalStatus RealFftForwardInPlace_Generic(float* srcDst, const RealFftSpec* spec, void* workBuffer) {
    return RealFftForward(srcDst, srcDst, spec, workBuffer);
}

SignalStatus RealFftInverseInPlace_Generic(float* srcDst, const RealFftSpec* spec, void* workBuffer) {
    return RealFftInverse(srcDst, srcDst, spec, workBuffer);
}

SignalStatus mulPackedSpectrum(const float* a, float* b, LONG n) {
    if (a == nullptr || b == nullptr) return StatusNullPointer;
    if (n < 1) return StatusBadLength;
    b[0] = a[0] * b[0];
    LONG i = 1;
    if ((n & 1) == 0) {
        b[1] = a[1] * b[1];
        i = 2;
    }
    for (; i + 8 <= n; i += 8) {
        Vec ar, ai, br, bi;
        LoadSplit(a + i, &ar, &ai);
        LoadSplit(b + i, &br, &bi);
        StoreInterleaved(b + i, Sub(Mul(ar, br), Mul(ai, bi)), Add(Mul(ar, bi), Mul(ai, br)));
    }
    for (; i + 1 < n; i += 2) {
        const float ar = a[i], ai = a[i + 1], br = b[i], bi = b[i + 1];
        b[i] = ar * br - ai * bi;
        b[i + 1] = ar * bi + ai * br;
    }
    return StatusOk;
}
