// Internal pieces of PowFloat: the constant tables and the per-element paths (tests compare the
// vector result against them element by element).
#pragma once

#include "driver/signal/SignalStatus.h"

// Bit patterns: {ln(1 + k/256), 1/(1 + k/256)} as doubles, k = 0..256.
extern const ULONGLONG PowLogTable[257][2];
// Bit patterns: {A[j], B[j]} as singles, j = 0..127; A[j] + A[j] x B[j] ~ 2^(j/128).
extern const ULONG PowFastExpTable[128][2];
// Fraction bits of 2^(j/128) as doubles with a zero exponent field, j = 0..127.
extern const ULONGLONG PowScalarExpTable[128];

// |y| at or above this leaves the single-precision exponential to the scalar method.
constexpr double PowFastLimit = 87.33380126953125;

// Computes dst[index] = a[index]^b[index] by the scalar method with every special rule; stores
// WarnSingularity into *pStatus for a singular pair.
VOID PowFloatElement(const float* a, const float* b, float* dst, LONG index, SignalStatus* pStatus);

// y = b x ln(a) for a positive normal a, as the fast variant forms it.
double PowFastExponent(float a, float b);
// e^y in single precision for |y| < PowFastLimit.
float PowFastExp(double y);

// Sets the processor's exception flag for code: 19 invalid, 18 divide by zero, 12 overflow,
// 17 underflow; other codes do nothing.
VOID RaiseFloatException(LONG code);
