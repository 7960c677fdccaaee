// FIR filter states of the signal library.
//
// A state is a record in the caller's buffer, at the first 16-byte boundary in it, followed by its
// areas; the caller asks for the size, allocates, and has the state laid out. Nothing is freed by
// the library. One record serves both kinds; the tag tells them apart.
//
// Filter definition, with taps h[0..T-1] and the input x a stream across calls (samples before the
// first call come from the initial delay line, zero when none is given):
//   single rate: y[n] = sum over j of h[j] x[n - j];
//   multi rate (up U, phase pu; down D, phase pd): xu[kU + pu] = x[k], zero elsewhere;
//   v[t] = sum over j of h[j] xu[t - j]; y[m] = v[mD + pd]. One iteration consumes D inputs and
//   produces U outputs.
// Every output is a single-precision sum from 0.0 of tap x sample, oldest sample first, so the
// direct paths give the same bits however a stream is split into calls. Source and destination of
// a block must not overlap.
#pragma once

#include <cstddef>

#include "driver/signal/SignalLibrary.h"

constexpr ULONG FirTagSingle = 0x46493031;
constexpr ULONG FirTagMultirate = 0x46493033;

// Multi-rate layouts; all give the same outputs, they differ in speed and table shape.
constexpr LONG FirFormPhaseTable = 1;  // groups of four outputs share one window of M/U inputs
constexpr LONG FirFormDecimating = 2;  // U = 1: four outputs D inputs apart share the taps
constexpr LONG FirFormPolyphase = 3;   // every output its own window of L inputs

// Single-rate blocks of at least this many samples take the FFT path when the filter has one.
constexpr LONG FirFftMinBlock = 512;
// Filters with at least this many taps prepare an FFT.
constexpr LONG FirFftMinTaps = 64;

struct FirState {
    ULONG tag;            // FirTagSingle or FirTagMultirate
    float* reversedTaps;  // h[T-1] first
    float* delayLine;     // the history, oldest first, then room for new inputs
    LONG tapsLen;         // T
    LONG upFactor;        // U (multi rate)
    union {
        LONG directLimit;    // single rate: longest block filtered from the delay line
        LONG delayCapacity;  // multi rate: P, input samples that fit behind the history
    };
    LONG downFactor;       // D (multi rate)
    LONG headOutputs;      // Q (multi rate): outputs taken from the delay line on a long block
    RealFftSpec* fftSpec;  // single rate with T >= 64: transform of length N; else null
    float* tapsSpectrum;   // packed spectrum of the taps, N floats; else null
    LONG fftLength;        // N, or -1 when the FFT path is not used
    LONG delayOffset;      // always 0; reset by every block call
    LONG* advanceTable;    // multi rate: window advances in input samples
    float* coefficients;   // multi rate: per-group coefficient vectors, interleaved by four
    LONG groupLength;      // multi rate: quadruples per window (M/U phase table, L polyphase)
    LONG form;             // multi rate: FirForm*
    LONG historyLength;    // T single rate; L = ceil(T/U) multi rate
    float* fftScratch;     // single rate: N floats for the overlap-save transforms
    PVOID fftWork;         // single rate: work buffer of the FFT, or null
    LONG fftWorkSize;      // bytes of that buffer
    PVOID scratchArea;     // single rate: 4096-float reserve; multi rate: set-up scratch
    PVOID delayEnd;        // single rate: first byte behind the delay-line area
    ULONG reserved;        // 0
    LONG upPhase;          // pu (multi rate)
    LONG downPhase;        // pd (multi rate)
};
static_assert(sizeof(FirState) == 160);
static_assert(offsetof(FirState, reversedTaps) == 8);
static_assert(offsetof(FirState, tapsLen) == 24);
static_assert(offsetof(FirState, directLimit) == 32);
static_assert(offsetof(FirState, fftSpec) == 48);
static_assert(offsetof(FirState, fftLength) == 64);
static_assert(offsetof(FirState, form) == 92);
static_assert(offsetof(FirState, scratchArea) == 128);
static_assert(offsetof(FirState, upPhase) == 148);

constexpr ULONG64 FirStateAlignment = 16;  // bytes
constexpr ULONG64 FirMaxStateBytes = 0x7FFFFFFF;

constexpr ULONG64 FirAlign16(ULONG64 bytes) { return (bytes + 15) & ~15ull; }
inline FirState* FirStateAt(PVOID buffer) {
    return reinterpret_cast<FirState*>((reinterpret_cast<ULONG_PTR>(buffer) + FirStateAlignment - 1) &
                                       ~static_cast<ULONG_PTR>(FirStateAlignment - 1));
}

// Single rate (FirSingleRate.cpp). Sizes in bytes, computed in 64 bits.
ULONG64 FirSingleStateBytes(LONG tapsLen);
FirState* FirSingleLayout(const float* taps, LONG tapsLen, const float* delayLine, PVOID buffer);
SignalStatus FirSingleFilter(const float* src, float* dst, LONG numIters, FirState* state);

// Multi rate (FirMultirate.cpp), for U > 1 or D > 1.
LONG FirMultirateForm(LONG tapsLen, LONG upFactor, LONG downFactor);
ULONG64 FirMultirateStateBytes(LONG tapsLen, LONG upFactor, LONG downFactor);
FirState* FirMultirateLayout(const float* taps, LONG tapsLen, LONG upFactor, LONG upPhase, LONG downFactor,
                             LONG downPhase, const float* delayLine, PVOID buffer);
VOID FirMultirateFilter(const float* src, float* dst, LONG numIters, FirState* state);
