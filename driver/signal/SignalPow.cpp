// Vector power: dst[i] = a[i]^b[i] through ln and exp in double precision. Positive normal bases
// with moderate exponents take a single-precision exponential four at a time; everything else
// takes the scalar method with its table of special values.
#include "driver/signal/SignalGeneric.h"
#include "driver/signal/SignalFpu.h"
#include "driver/signal/SignalKernels.h"
#include "driver/signal/SignalPow.h"

#include <bit>

namespace {

constexpr double kLn2 = 0.6931471805599453;
constexpr double kP1 = std::bit_cast<double>(0xBFDFFFFFFFFFCAAEull);  // -0.4999999999992423
constexpr double kP2 = std::bit_cast<double>(0x3FD55555555512C8ull);  // 0.33333333333238757
constexpr double kOneTwentyEighthsPerLn2 = 184.6649652337873;        // 128 / ln 2
constexpr double kLn2PerOneTwentyEight = 0.0054152123481245725;      // ln 2 / 128
constexpr double kRoundToInteger = 6755399441055744.0;               // 1.5 x 2^52
constexpr double kE23 = 9744803446.248903;                           // lifts a subnormal base
constexpr double kQ1 = 0.5;
constexpr double kQ2 = 0.16666666666666666;
constexpr ULONG kScalarLimitHigh = 0x4086232B;                        // |y| < 708.396484375
constexpr double kScalarOverflow = 1.404448428688076e306;             // becomes +inf in single
constexpr ULONG kPowMxcsrMask = MxcsrRoundingMask | MxcsrFlushToZero | MxcsrDenormalsAreZero;  // 0xE040
constexpr ULONG kSingularNaN = 0xFFC00000;

constexpr ULONG kSignBit = 0x80000000;
constexpr ULONG kExponentMask = 0x7F800000;
constexpr ULONG kFractionMask = 0x007FFFFF;
constexpr ULONG kPlusInf = 0x7F800000;
constexpr ULONG kPlusOne = 0x3F800000;

ULONG Bits(float x) { return std::bit_cast<ULONG>(x); }
float FromBits(ULONG bits) { return std::bit_cast<float>(bits); }
bool IsNaN(ULONG bits) { return (bits & ~kSignBit) > kPlusInf; }
bool IsInf(ULONG bits) { return (bits & ~kSignBit) == kPlusInf; }
bool IsZero(ULONG bits) { return (bits & ~kSignBit) == 0; }

// ln(v) for a positive normal double v: table lookup at v's significand rounded to 8 fraction bits,
// then a cubic in the remainder.
double LogPositive(double v) {
    const ULONGLONG bits = std::bit_cast<ULONGLONG>(v);
    const LONG exponent = static_cast<LONG>((bits >> 52) & 0x7FF) - 1023;
    const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    const ULONG top9 = static_cast<ULONG>(bits >> 43) & 0x1FF;
    const ULONG k = (top9 + 1) >> 1;  // 0..256
    const double c = 1.0 + static_cast<double>(k) * (1.0 / 256.0);
    const double lnC = std::bit_cast<double>(PowLogTable[k][0]);
    const double invC = std::bit_cast<double>(PowLogTable[k][1]);
    const double r = (m - c) * invC;
    return (((kP2 * r + kP1) * r) * r + r) + (static_cast<double>(exponent) * kLn2 + lnC);
}

// e^y in double for the scalar method; results beyond the range of a single become 0 or +inf.
double ScalarExp(double y) {
    const ULONG high = static_cast<ULONG>(std::bit_cast<ULONGLONG>(y) >> 32) & 0x7FFFFFFF;
    if (high > kScalarLimitHigh) return y <= 0.0 ? 0.0 : kScalarOverflow;
    const double s = y * kOneTwentyEighthsPerLn2 + kRoundToInteger;
    const LONG n = static_cast<LONG>(static_cast<ULONG>(std::bit_cast<ULONGLONG>(s)));
    const double w = y - (s - kRoundToInteger) * kLn2PerOneTwentyEight;
    const ULONGLONG exponentField = static_cast<ULONGLONG>((n >> 7) + 1023);
    const double t = std::bit_cast<double>(PowScalarExpTable[n & 127] | (exponentField << 52));
    return t + ((kQ2 * w + kQ1) * w * w + w) * t;
}

// |a|^b for finite nonzero a through ln and exp; a subnormal base is lifted by e^23 first.
double ScalarPowMagnitude(float a, float b) {
    const ULONG magnitude = Bits(a) & ~kSignBit;
    double logA;
    if ((magnitude & kExponentMask) == 0) {
        logA = LogPositive(static_cast<double>(FromBits(magnitude)) * kE23) - 23.0;
    } else {
        logA = LogPositive(static_cast<double>(FromBits(magnitude)));
    }
    return ScalarExp(static_cast<double>(b) * logA);
}

enum class IntegerKind { NotInteger, Even, Odd };

// An integer has |b| >= 1 and no fraction bits; every |b| >= 2^24 is even.
IntegerKind ClassifyInteger(ULONG bits) {
    const LONG exponent = static_cast<LONG>((bits >> 23) & 0xFF) - 127;
    if (exponent < 0) return IntegerKind::NotInteger;
    if (exponent >= 24) return IntegerKind::Even;
    const ULONG significand = (bits & kFractionMask) | 0x00800000;
    const ULONG fractionBits = 23 - static_cast<ULONG>(exponent);
    if ((significand & ((1u << fractionBits) - 1)) != 0) return IntegerKind::NotInteger;
    return ((significand >> fractionBits) & 1) != 0 ? IntegerKind::Odd : IntegerKind::Even;
}

float Singular(float value, SignalStatus* pStatus) {
    *pStatus = WarnSingularity;
    RaiseFloatException(WarnSingularity);
    return value;
}

float ScalarPow(float a, float b, SignalStatus* pStatus) {
    const ULONG ab = Bits(a);
    const ULONG bb = Bits(b);
    const ULONG absA = ab & ~kSignBit;
    const bool negativeA = (ab & kSignBit) != 0;
    const float plusInf = FromBits(kPlusInf);

    if (IsZero(bb)) return 1.0f;
    if (ab == kPlusOne) return 1.0f;
    if (ab == (kPlusOne | kSignBit) && IsInf(bb)) return 1.0f;
    if (IsNaN(ab)) return a;
    if (IsNaN(bb)) return b;
    if (IsZero(ab) && bb == (kPlusInf | kSignBit)) return Singular(plusInf, pStatus);
    if (IsInf(bb)) {
        // |a| is neither 1 nor NaN here.
        const bool greater = absA > kPlusOne;
        const bool plus = (bb & kSignBit) == 0;
        return greater == plus ? plusInf : 0.0f;
    }
    const bool negativeB = (bb & kSignBit) != 0;
    if (ab == kPlusInf) return negativeB ? 0.0f : plusInf;
    if (ab == 0) return negativeB ? Singular(plusInf, pStatus) : 0.0f;
    const IntegerKind kind = ClassifyInteger(bb);
    if (ab == (kPlusInf | kSignBit)) {
        const float magnitude = negativeB ? 0.0f : plusInf;
        return kind == IntegerKind::Odd ? -magnitude : magnitude;
    }
    if (ab == kSignBit) {
        if (negativeB) return Singular(kind == IntegerKind::Odd ? -plusInf : plusInf, pStatus);
        return kind == IntegerKind::Odd ? -0.0f : 0.0f;
    }
    double sign = 1.0;
    if (negativeA) {
        if (kind == IntegerKind::NotInteger) return Singular(FromBits(kSingularNaN), pStatus);
        if (kind == IntegerKind::Odd) sign = -1.0;
    }
    return static_cast<float>(sign * ScalarPowMagnitude(a, b));
}

bool IsPositiveNormal(float a) {
    const ULONG bits = Bits(a);
    return (bits & kSignBit) == 0 && (bits & kExponentMask) != 0 && (bits & kExponentMask) != kExponentMask;
}

// The exponent y for the fast variant, or false when the element needs the scalar method. A NaN y
// (base 1 with an infinite exponent) also goes to the scalar method, whose rules answer 1.0.
bool FastExponent(float a, float b, double* y) {
    if (!IsPositiveNormal(a) || IsNaN(Bits(b))) return false;
    *y = PowFastExponent(a, b);
    return *y < PowFastLimit && *y > -PowFastLimit;
}

}  // namespace

double PowFastExponent(float a, float b) { return static_cast<double>(b) * LogPositive(static_cast<double>(a)); }

float PowFastExp(double y) {
    const double s = y * kOneTwentyEighthsPerLn2 + kRoundToInteger;
    const ULONG n = static_cast<ULONG>(std::bit_cast<ULONGLONG>(s));
    const ULONG j = n & 127;
    const float wf = static_cast<float>(y - (s - kRoundToInteger) * kLn2PerOneTwentyEight);
    const float scale = FromBits(((n << 16) + kPlusOne) & kExponentMask);  // 2^floor(n/128)
    const float a = FromBits(PowFastExpTable[j][0]);
    const float b = FromBits(PowFastExpTable[j][1]);
    return ((wf * wf * 0.5f + (b + wf)) * a + a) * scale;
}

VOID RaiseFloatException(LONG code) {
    volatile double lhs;
    volatile double rhs;
    switch (code) {
        case 19: lhs = 0.0; rhs = 0.0; break;
        case 18: lhs = 1.0; rhs = 0.0; break;
        case 12: lhs = 1.7976931348623157e308; rhs = lhs; break;
        case 17: lhs = 2.2250738585072014e-308; rhs = lhs; break;
        default: return;
    }
    volatile double result = code == 19 || code == 18 ? lhs / rhs : lhs * rhs;
    (void)result;
}

VOID PowFloatElement(const float* a, const float* b, float* dst, LONG index, SignalStatus* pStatus) {
    StoreElement(dst + index, ScalarPow(LoadElement(a + index), LoadElement(b + index), pStatus));
}

SignalStatus PowFloat_Generic(const float* a, const float* b, float* dst, LONG len) {
    if (a == nullptr || b == nullptr || dst == nullptr) return StatusNullPointer;
    if (len < 1) return StatusBadLength;

    MxcsrScope nearestNoFlush(kPowMxcsrMask);
    SignalStatus status = StatusOk;
    const LONG len8 = len & ~7;
    for (LONG i = 0; i < len8; i += 4) {
        double y[4] = {};  // FastExponent leaves an element unset when it declines it
        bool fast = true;
        for (LONG k = 0; k < 4; ++k) fast = FastExponent(LoadElement(a + i + k), LoadElement(b + i + k), &y[k]) && fast;
        if (fast) {
            for (LONG k = 0; k < 4; ++k) StoreElement(dst + i + k, PowFastExp(y[k]));
        } else {
            for (LONG k = 0; k < 4; ++k) PowFloatElement(a, b, dst, i + k, &status);
        }
    }
    for (LONG i = len8; i < len; ++i) {
        double y;
        if (FastExponent(LoadElement(a + i), LoadElement(b + i), &y)) {
            StoreElement(dst + i, PowFastExp(y));
        } else {
            PowFloatElement(a, b, dst, i, &status);
        }
    }
    return status;
}
