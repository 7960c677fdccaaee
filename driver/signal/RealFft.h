// Real-input FFT of N = 2^order points (order 0..30), forward and inverse, in place or out of place.
// The spectrum is packed into N floats:
//   [X[0], X[N/2], Re X[1], Im X[1], ..., Re X[N/2-1], Im X[N/2-1]]   ([X[0], X[1]] for N = 2).
// A plan (RealFftSpec) holds the precomputed tables. It is laid out in caller memory by
// RealFftInitSpec or allocated by RealFftCreateSpec; it never changes after set-up, so any number of
// transforms may share it, each with its own data and work buffer.
#pragma once

#include <cstddef>

#include "driver/signal/SignalLibrary.h"

// Scaling flags: which direction carries a factor.
constexpr LONG RealFftScaleForward = 1;  // forward x 1/N, inverse x 1
constexpr LONG RealFftScaleInverse = 2;  // forward x 1, inverse x 1/N (inverse undoes forward)
constexpr LONG RealFftScaleSqrt = 4;     // both x 1/sqrt(N)
constexpr LONG RealFftNoScale = 8;       // both x 1 (inverse of forward is N times the input)

constexpr LONG RealFftMaxOrder = 30;
constexpr LONG RealFftSpecTag = 6;

// Orders up to this one run the in-cache complex FFT and need no work buffer.
constexpr LONG RealFftMaxInCacheOrder = 11;

struct RealFftSpec {
    LONG tag;                  // RealFftSpecTag while valid; 0 after RealFftFreeSpec
    LONG order;                // N = 2^order
    LONG forwardScaled;        // 1 when the forward factor is not 1
    LONG inverseScaled;        // 1 when the inverse factor is not 1
    float factor;              // applied by the scaled direction(s)
    LONG hint;                 // kept as given; no effect on the transforms
    LONG workSize;             // bytes of work buffer a transform needs (32 bytes of alignment slack included)
    LONG owned;                // 1 when the library allocated the plan
    LONG* bitReversal;         // swap pairs of the complex bit-reversal permutation
    float* complexTwiddles;    // radix-4 twiddles of the in-cache complex FFT (orders 4..11)
    float* blockTwiddles;      // large orders: radix-4 twiddles of the innermost in-cache transforms
    float* combineTwiddles;    // large orders: radix-2 combining twiddles of a 2048/4096-point base
    float* levelTwiddles[3];   // large orders, per split level: twiddles of the rows x columns grid
    float* columnTwiddles[3];  // large orders, per split level: radix-4 twiddles of the column FFTs
    float* splitTwiddles;      // N/4 pairs (0.5 cos, 0.5 - 0.5 sin) of the forward split pass
    float* mergeTwiddles;      // N/4 pairs (cos, -sin) of the inverse merge pass
};
static_assert(sizeof(RealFftSpec) == 128);
static_assert(offsetof(RealFftSpec, factor) == 16);
static_assert(offsetof(RealFftSpec, bitReversal) == 32);
static_assert(offsetof(RealFftSpec, splitTwiddles) == 112);

// Byte counts for a plan of this order: the plan, the set-up buffer it needs
// while RealFftInitSpec runs (0 when none), and the work buffer of each transform (0 when none).
// Checks: order outside 0..30 -15; a size pointer null -8; flag not 1, 2, 4, 8 -16; a size that does
// not fit 31 bits -9 (orders 28 and up).
SignalStatus RealFftGetSpecSize(LONG order, LONG flag, LONG hint, LONG* pSpecSize, LONG* pInitSize, LONG* pWorkSize);

// Lays out a plan at the first 32-byte boundary of specMem (of the size given above).
// Checks: ppSpec null -8; order -15; specMem null -8; flag -16; initBuf null for orders 11 and up -8;
// a size that does not fit 31 bits -9. Nothing is written on an error.
SignalStatus RealFftInitSpec(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint, PVOID specMem, PVOID initBuf);

// Transforms (src == dst runs in place). Checks: spec null -8; tag -17; src or dst null -8; -9 when
// the transform needs a work buffer, none is given and none can be allocated.
SignalStatus RealFftForward(const float* src, float* dst, const RealFftSpec* spec, PVOID workBuffer);
SignalStatus RealFftInverse(const float* src, float* dst, const RealFftSpec* spec, PVOID workBuffer);

// b = a x b for packed spectra of n floats. Checks: a or b null -8; n < 1 -6.
SignalStatus mulPackedSpectrum(const float* a, float* b, LONG n);
