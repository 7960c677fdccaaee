// Elementary math in SSE2 double arithmetic. Argument reduction keeps a head and a tail (a
// double-double), and the polynomials are truncated Taylor series evaluated in Horner form; the
// truncation error stays far below a unit in the last place over each reduced interval.
#include "driver/runtime/KernelMath.h"

#include <emmintrin.h>

#include <cstring>

namespace kmath {
namespace {

ULONG64 Bits(double x) {
    ULONG64 b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double FromBits(ULONG64 b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

double Abs(double x) { return FromBits(Bits(x) & ~(1ull << 63)); }
bool IsNan(double x) { return x != x; }
bool IsInf(double x) { return Abs(x) == __builtin_inf(); }

// 2^k for a normal result, k in [-1022, 1023].
double Pow2(int k) { return FromBits(static_cast<ULONG64>(k + 1023) << 52); }

// Rounds to the nearest integer (ties to even) for |x| < 2^51.
double RoundNearest(double x) {
    constexpr double kShift = 0x1.8p52;
    return (x + kShift) - kShift;
}

// An unevaluated sum hi + lo with |lo| at most half a unit of hi.
struct Dd {
    double hi;
    double lo;
};

// Exact sum of two doubles.
Dd TwoSum(double a, double b) {
    double s = a + b;
    double bb = s - a;
    double err = (a - (s - bb)) + (b - bb);
    return {s, err};
}

// Exact product of two doubles (halves by Veltkamp's split; no fused multiply-add needed).
Dd TwoProd(double a, double b) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    double p = a * b;
    double ta = kSplit * a, ah = ta - (ta - a), al = a - ah;
    double tb = kSplit * b, bh = tb - (tb - b), bl = b - bh;
    double err = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    return {p, err};
}

Dd Add(Dd a, Dd b) {
    Dd s = TwoSum(a.hi, b.hi);
    return TwoSum(s.hi, s.lo + a.lo + b.lo);
}

Dd Mul(Dd a, Dd b) {
    Dd p = TwoProd(a.hi, b.hi);
    return TwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// ---------------------------------------------------------------------------------------------
// sin and cos

// pi/2 in five pieces, the first four of at most 24 significant bits, so n x piece is exact for
// n < 2^29.
constexpr double kPiOver2[5] = {0x1.921fb4p+0, 0x1.4442dp-24, 0x1.846988p-48, 0x1.8cc516p-72, 0x1.01b839a25204ap-96};
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

// x - n pi/2 as a double-double, and n mod 4.
Dd Reduce(double x, int* quadrant) {
    double n = x * kTwoOverPi;
    if (Abs(n) < 0x1p51) n = RoundNearest(n);  // larger values are integers, or nearly
    Dd r = {x - n * kPiOver2[0], 0.0};
    for (int i = 1; i < 5; ++i) r = Add(r, {-(n * kPiOver2[i]), 0.0});
    // From 2^54 on every double is a multiple of 4.
    *quadrant = Abs(n) < 0x1p54 ? static_cast<int>(static_cast<LONG64>(n) & 3) : 0;
    return r;
}

// sin(r + e) for |r| <= pi/4 and e tiny: r + r^3 P(r^2) + e.
double SinKernel(Dd r) {
    double z = r.hi * r.hi;
    double p = -1.0 / 6 + z * (1.0 / 120 + z * (-1.0 / 5040 + z * (1.0 / 362880 + z * (-1.0 / 39916800 +
               z * (1.0 / 6227020800 + z * (-1.0 / 1307674368000 + z * (1.0 / 355687428096000)))))));
    return r.hi + (r.hi * z * p + r.lo);
}

// cos(r + e) for |r| <= pi/4 and e tiny: 1 - r^2/2 + r^4 Q(r^2) - r e.
double CosKernel(Dd r) {
    double z = r.hi * r.hi;
    double q = 1.0 / 24 + z * (-1.0 / 720 + z * (1.0 / 40320 + z * (-1.0 / 3628800 + z * (1.0 / 479001600 +
               z * (-1.0 / 87178291200 + z * (1.0 / 20922789888000))))));
    double half = 0.5 * z;
    return 1.0 - (half - (z * z * q - r.hi * r.lo));
}

double SinCos(double x, bool cosine) {
    if (IsNan(x) || IsInf(x)) return x - x;  // NaN
    // Below 2^-27 sin(x) rounds to x and cos(x) to 1 (this also keeps the sign of -0).
    if (Abs(x) < 0x1p-27) return cosine ? 1.0 : x;
    int quadrant = 0;
    Dd r = Reduce(x, &quadrant);
    if (cosine) quadrant += 1;
    switch (quadrant & 3) {
        case 0: return SinKernel(r);
        case 1: return CosKernel(r);
        case 2: return -SinKernel(r);
        default: return -CosKernel(r);
    }
}

// ---------------------------------------------------------------------------------------------
// exp and log

constexpr double kLn2Hi = 0x1.62e42feep-1;  // 32 significant bits: k x kLn2Hi is exact for |k| < 2^21
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
constexpr double kLog2E = 0x1.71547652b82fep+0;
constexpr double kExpMax = 0x1.62e42fefa39efp+9;   // largest x with a finite exp(x)
constexpr double kExpMin = -0x1.74910d52d3051p+9;  // below it exp(x) rounds to zero

// exp(r.hi + r.lo) for |r.hi| <= ln2/2.
double ExpKernel(Dd r) {
    double x = r.hi;
    double p = x * x * (1.0 / 2 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120 + x * (1.0 / 720 + x * (1.0 / 5040 +
               x * (1.0 / 40320 + x * (1.0 / 362880 + x * (1.0 / 3628800 + x * (1.0 / 39916800 +
               x * (1.0 / 479001600 + x * (1.0 / 6227020800))))))))))));
    return 1.0 + (x + (p + r.lo * (1.0 + x)));
}

// exp(t.hi + t.lo) scaled back from the reduced argument.
double ExpDd(Dd t) {
    if (IsNan(t.hi)) return t.hi;
    if (t.hi > kExpMax) return __builtin_inf();
    if (t.hi < kExpMin) return 0.0;
    double k = RoundNearest(t.hi * kLog2E);
    Dd r = TwoSum(t.hi - k * kLn2Hi, -(k * kLn2Lo));
    r.lo += t.lo;
    double e = ExpKernel(r);
    int n = static_cast<int>(k);
    if (n > 1023) return e * Pow2(1023) * Pow2(n - 1023);
    if (n < -1021) return e * Pow2(n + 1000) * Pow2(-1000);
    return e * Pow2(n);
}

// log(x) as a double-double for a finite x > 0.
Dd LogDd(double x) {
    int k = 0;
    if (x < 0x1p-1022) {  // subnormal: scale into the normal range first
        x *= 0x1p54;
        k = -54;
    }
    ULONG64 b = Bits(x);
    k += static_cast<int>((b >> 52) & 0x7FF) - 1023;
    double m = FromBits((b & ((1ull << 52) - 1)) | (1023ull << 52));  // [1, 2)
    if (m > 0x1.6a09e667f3bcdp+0) {  // above sqrt(2): take [sqrt(1/2), sqrt(2))
        m *= 0.5;
        k += 1;
    }
    // log(m) = 2 atanh(s), s = (m - 1) / (m + 1); m - 1 is exact.
    double f = m - 1.0;
    double d = m + 1.0;
    double dLo = (1.0 - d) + m;  // d.hi + dLo = m + 1 exactly
    double s = f / d;
    Dd sd = TwoProd(s, d);
    double sLo = ((f - sd.hi) - sd.lo - s * dLo) / d;
    double z = s * s;
    double series = s * z * (2.0 / 3 + z * (2.0 / 5 + z * (2.0 / 7 + z * (2.0 / 9 + z * (2.0 / 11 + z * (2.0 / 13 +
                    z * (2.0 / 15 + z * (2.0 / 17 + z * (2.0 / 19 + z * (2.0 / 21 + z * (2.0 / 23)))))))))));
    Dd logM = TwoSum(2.0 * s, 2.0 * sLo + series);
    Dd kLn2 = TwoSum(k * kLn2Hi, k * kLn2Lo);
    return Add(kLn2, logM);
}

// ---------------------------------------------------------------------------------------------
// pow

bool IsInteger(double y) { return Abs(y) >= 0x1p52 || RoundNearest(y) == y; }
bool IsOddInteger(double y) {
    if (Abs(y) >= 0x1p53) return false;
    double half = y * 0.5;
    return IsInteger(y) && !IsInteger(half);
}

// x^n for an integer n, |n| < 2^31, by squaring in double-double. False when an intermediate
// value leaves the range where the products stay exact, so the caller takes the general path.
bool PowInteger(double x, double y, double* result) {
    LONG64 n = static_cast<LONG64>(Abs(y));
    Dd acc = {1.0, 0.0};
    Dd base = {x, 0.0};
    while (true) {
        if (n & 1) acc = Mul(acc, base);
        n >>= 1;
        if (n == 0) break;
        base = Mul(base, base);
        double mag = Abs(base.hi);
        if (!(mag < 0x1p450 && mag > 0x1p-450)) return false;
    }
    double mag = Abs(acc.hi);
    if (!(mag < 0x1p900 && mag > 0x1p-900)) return false;
    if (y < 0) {
        double q = 1.0 / acc.hi;
        Dd qa = TwoProd(q, acc.hi);
        double residual = ((1.0 - qa.hi) - qa.lo) - q * acc.lo;
        *result = q + q * residual;
    } else {
        *result = acc.hi + acc.lo;
    }
    return true;
}

}  // namespace

double Sqrt(double x) { return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_set_sd(x), _mm_set_sd(x))); }

double Sin(double x) { return SinCos(x, false); }
double Cos(double x) { return SinCos(x, true); }

double Exp(double x) { return ExpDd({x, 0.0}); }

double Pow(double x, double y) {
    if (y == 0.0 || x == 1.0) return 1.0;
    if (IsNan(x) || IsNan(y)) return x + y;
    bool oddY = IsOddInteger(y);
    if (IsInf(y)) {
        double ax = Abs(x);
        if (ax == 1.0) return 1.0;
        return (ax > 1.0) == (y > 0) ? __builtin_inf() : 0.0;
    }
    if (x == 0.0 || IsInf(x)) {
        bool big = (x == 0.0) == (y < 0);  // 0^-y and inf^+y are infinite
        double magnitude = big ? __builtin_inf() : 0.0;
        return (oddY && Bits(x) >> 63) ? -magnitude : magnitude;
    }
    double sign = 1.0;
    if (x < 0) {
        if (!IsInteger(y)) return (x - x) / (x - x);  // NaN
        if (oddY) sign = -1.0;
        x = -x;
    }
    double result;
    if (Abs(y) < 0x1p31 && IsInteger(y) && PowInteger(x, y, &result)) return sign * result;
    return sign * ExpDd(Mul(LogDd(x), {y, 0.0}));
}

LONG64 Lround(double x) {
    constexpr LONG64 kInvalid = static_cast<LONG64>(1ull << 63);
    if (!(Abs(x) < 0x1p63)) return kInvalid;
    LONG64 t = static_cast<LONG64>(x);  // truncates; exact above 2^52
    if (Abs(x) >= 0x1p52) return t;
    double fraction = x - static_cast<double>(t);
    if (fraction >= 0.5) return t + 1;
    if (fraction <= -0.5) return t - 1;
    return t;
}

}  // namespace kmath
