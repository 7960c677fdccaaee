// Single-rate FIR filter: direct convolution, or overlap-save through the real FFT for long blocks
// of long filters.
//
// State layout behind the 160-byte header: reversed taps (T floats), delay line (12T + 16 bytes:
// the T-sample history plus the longest direct block), a 16-byte gap, the FFT plan (RealFftSpec), its
// set-up buffer, the taps spectrum (N floats), the FFT work buffer, the FFT scratch (N floats) and a
// reserve of 4096 floats. The FFT parts are empty below 64 taps.
#include "driver/signal/Fir.h"
#include "driver/signal/RealFft.h"

#include <win/rtl.h>

#include <emmintrin.h>

namespace {

constexpr ULONG64 kHeaderBytes = sizeof(FirState);
constexpr ULONG64 kGapBytes = 16;
constexpr ULONG64 kReserveBytes = 4096 * sizeof(float);
constexpr ULONG64 kFixedBytes = FirStateAlignment + kHeaderBytes + kGapBytes + kReserveBytes;  // 16576
static_assert(kFixedBytes == 16576);

// The overlap-save transform of a filter: order k + 1 for the smallest k >= 2 with 2^k > T.
struct FftPlan {
    bool used;
    LONG order;
    ULONG64 length;      // N floats
    ULONG64 specBytes;   // S
    ULONG64 setupBytes;  // I
    ULONG64 workBytes;   // W
};

FftPlan PlanFor(LONG tapsLen) {
    if (tapsLen < FirFftMinTaps) return {};
    LONG k = 2;
    while (k <= RealFftMaxOrder && (1ull << k) <= static_cast<ULONG64>(tapsLen)) ++k;
    const LONG order = k + 1;
    LONG spec = 0, setup = 0, work = 0;
    if (order > RealFftMaxOrder ||
        RealFftGetSpecSize(order, RealFftScaleInverse, 0, &spec, &setup, &work) != StatusOk) {
        return {};
    }
    return {.used = true,
            .order = order,
            .length = 1ull << order,
            .specBytes = static_cast<ULONG64>(spec),
            .setupBytes = static_cast<ULONG64>(setup),
            .workBytes = static_cast<ULONG64>(work)};
}

ULONG64 TapsBytes(ULONG64 tapsLen) { return FirAlign16(4 * tapsLen); }
ULONG64 DelayBytes(ULONG64 tapsLen) { return FirAlign16(12 * tapsLen + 16); }
ULONG64 SpectrumBytes(const FftPlan& plan) { return plan.used ? FirAlign16(4 * plan.length) : 0; }

// y[i] = sum over k of rt[k] x x[i + k], k from 0 (oldest sample) to T-1, in single precision.
// Four outputs share each step side by side, so every output keeps its own summation order.
VOID DirectOutputs(const float* rt, ULONG64 tapsLen, const float* x, float* y, ULONG64 count) {
    ULONG64 i = 0;
    for (; i + 16 <= count; i += 16) {
        __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps(), acc2 = _mm_setzero_ps(), acc3 = _mm_setzero_ps();
        const float* w = x + i;
        for (ULONG64 k = 0; k < tapsLen; ++k) {
            const __m128 c = _mm_set1_ps(rt[k]);
            acc0 = _mm_add_ps(acc0, _mm_mul_ps(c, _mm_loadu_ps(w + k)));
            acc1 = _mm_add_ps(acc1, _mm_mul_ps(c, _mm_loadu_ps(w + k + 4)));
            acc2 = _mm_add_ps(acc2, _mm_mul_ps(c, _mm_loadu_ps(w + k + 8)));
            acc3 = _mm_add_ps(acc3, _mm_mul_ps(c, _mm_loadu_ps(w + k + 12)));
        }
        _mm_storeu_ps(y + i, acc0);
        _mm_storeu_ps(y + i + 4, acc1);
        _mm_storeu_ps(y + i + 8, acc2);
        _mm_storeu_ps(y + i + 12, acc3);
    }
    for (; i + 4 <= count; i += 4) {
        __m128 acc = _mm_setzero_ps();
        for (ULONG64 k = 0; k < tapsLen; ++k)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(rt[k]), _mm_loadu_ps(x + i + k)));
        _mm_storeu_ps(y + i, acc);
    }
    for (; i < count; ++i) {
        float sum = 0.0f;
        for (ULONG64 k = 0; k < tapsLen; ++k) sum += rt[k] * x[i + k];
        y[i] = sum;
    }
}

VOID CopyFloats(float* dst, const float* src, ULONG64 count) { RtlCopyMemory(dst, src, count * sizeof(float)); }

VOID FilterDirect(const float* src, float* dst, ULONG64 n, FirState* state) {
    const ULONG64 tapsLen = static_cast<ULONG64>(state->tapsLen);
    const ULONG64 fromDelay = static_cast<ULONG64>(state->directLimit) - 1;  // (T + 3) & ~3
    float* delay = state->delayLine;
    if (n <= fromDelay + 1) {
        CopyFloats(delay + tapsLen, src, n);
        DirectOutputs(state->reversedTaps, tapsLen, delay + 1, dst, n);
        RtlMoveMemory(delay, delay + n, tapsLen * sizeof(float));
        return;
    }
    // The first outputs need the history: take them from the delay line; the rest read the block.
    CopyFloats(delay + tapsLen, src, fromDelay + 1);
    DirectOutputs(state->reversedTaps, tapsLen, delay + 1, dst, fromDelay);
    CopyFloats(delay, src + n - tapsLen, tapsLen);
    DirectOutputs(state->reversedTaps, tapsLen, src + fromDelay - tapsLen + 1, dst + fromDelay, n - fromDelay);
}

// One overlap-save transform of the N floats in the scratch: y[0..count-1] = scratch[T-1 ...].
SignalStatus Convolve(FirState* state, float* y, ULONG64 count) {
    const LONG n = state->fftLength;
    float* scratch = state->fftScratch;
    SignalStatus status = RealFftForward(scratch, scratch, state->fftSpec, state->fftWork);
    if (status != StatusOk) return status;
    status = mulPackedSpectrum(state->tapsSpectrum, scratch, n);
    if (status != StatusOk) return status;
    status = RealFftInverse(scratch, scratch, state->fftSpec, state->fftWork);
    if (status != StatusOk) return status;
    CopyFloats(y, scratch + state->tapsLen - 1, count);
    return StatusOk;
}

// Keeps the last T samples of history followed by the n inputs in the delay line.
VOID PushHistory(float* delay, ULONG64 tapsLen, const float* src, ULONG64 n) {
    if (n >= tapsLen) {
        CopyFloats(delay, src + n - tapsLen, tapsLen);
        return;
    }
    RtlMoveMemory(delay, delay + n, (tapsLen - n) * sizeof(float));
    CopyFloats(delay + tapsLen - n, src, n);
}

// Overlap-save: each transform yields B = N - T + 1 outputs from the T - 1 samples before them and
// B new ones.
SignalStatus FilterFft(const float* src, float* dst, ULONG64 n, FirState* state) {
    const ULONG64 tapsLen = static_cast<ULONG64>(state->tapsLen);
    const ULONG64 length = static_cast<ULONG64>(state->fftLength);
    const ULONG64 block = length - tapsLen + 1;
    float* scratch = state->fftScratch;
    float* delay = state->delayLine;

    const ULONG64 first = n < block ? n : block;
    CopyFloats(scratch, delay + 1, tapsLen - 1);
    CopyFloats(scratch + tapsLen - 1, src, first);
    RtlZeroMemory(scratch + tapsLen - 1 + first, (length - (tapsLen - 1 + first)) * sizeof(float));
    PushHistory(delay, tapsLen, src, n);
    SignalStatus status = Convolve(state, dst, first);
    for (ULONG64 out = first; status == StatusOk && out < n; out += block) {
        const ULONG64 start = out - (tapsLen - 1);
        const ULONG64 available = n - start < length ? n - start : length;
        CopyFloats(scratch, src + start, available);
        RtlZeroMemory(scratch + available, (length - available) * sizeof(float));
        status = Convolve(state, dst + out, n - out < block ? n - out : block);
    }
    return status;
}

}  // namespace

ULONG64 FirSingleStateBytes(LONG tapsLen) {
    const FftPlan plan = PlanFor(tapsLen);
    const ULONG64 t = static_cast<ULONG64>(tapsLen);
    return plan.specBytes + plan.setupBytes + plan.workBytes + TapsBytes(t) + DelayBytes(t) + 2 * SpectrumBytes(plan) +
           kFixedBytes;
}

FirState* FirSingleLayout(const float* taps, LONG tapsLen, const float* delayLine, PVOID buffer) {
    const ULONG64 t = static_cast<ULONG64>(tapsLen);
    const FftPlan plan = PlanFor(tapsLen);
    FirState* state = FirStateAt(buffer);
    BYTE* area = reinterpret_cast<BYTE*>(state) + kHeaderBytes;

    state->tag = FirTagSingle;
    state->tapsLen = tapsLen;
    state->directLimit = ((tapsLen + 3) & ~3) | 1;
    state->delayOffset = 0;
    state->advanceTable = nullptr;
    state->coefficients = nullptr;
    state->historyLength = tapsLen;
    state->reserved = 0;

    state->reversedTaps = reinterpret_cast<float*>(area);
    for (ULONG64 k = 0; k < t; ++k) state->reversedTaps[k] = taps[t - 1 - k];
    area += TapsBytes(t);

    state->delayLine = reinterpret_cast<float*>(area);
    RtlZeroMemory(area, DelayBytes(t));
    if (delayLine != nullptr) {
        for (ULONG64 i = 0; i < t; ++i) state->delayLine[t - 1 - i] = delayLine[i];
    }
    area += DelayBytes(t);
    state->delayEnd = area;
    area += kGapBytes;

    BYTE* specMem = area;
    area += plan.specBytes;
    BYTE* setupMem = area;
    area += plan.setupBytes;
    float* spectrum = reinterpret_cast<float*>(area);
    area += SpectrumBytes(plan);
    BYTE* workMem = area;
    area += plan.workBytes;
    float* scratch = reinterpret_cast<float*>(area);
    area += SpectrumBytes(plan);
    state->scratchArea = area;

    state->fftSpec = nullptr;
    state->tapsSpectrum = nullptr;
    state->fftLength = -1;
    state->fftScratch = nullptr;
    state->fftWork = nullptr;
    state->fftWorkSize = 0;
    if (!plan.used) return state;

    // Taps spectrum: the taps in natural order, zero-padded to N, transformed forward.
    RealFftSpec* spec = nullptr;
    if (RealFftInitSpec(&spec, plan.order, RealFftScaleInverse, 0, specMem, setupMem) != StatusOk) return state;
    state->fftSpec = spec;
    state->tapsSpectrum = spectrum;
    state->fftScratch = scratch;
    state->fftWork = plan.workBytes > 0 ? workMem : nullptr;
    state->fftWorkSize = static_cast<LONG>(plan.workBytes);
    CopyFloats(spectrum, taps, t);
    RtlZeroMemory(spectrum + t, (plan.length - t) * sizeof(float));
    if (RealFftForward(spectrum, spectrum, spec, state->fftWork) == StatusOk) {
        state->fftLength = static_cast<LONG>(plan.length);
    }
    return state;
}

SignalStatus FirSingleFilter(const float* src, float* dst, LONG numIters, FirState* state) {
    state->delayOffset = 0;
    const ULONG64 n = static_cast<ULONG64>(numIters);
    if (numIters >= FirFftMinBlock && state->fftLength > 0) return FilterFft(src, dst, n, state);
    FilterDirect(src, dst, n, state);
    return StatusOk;
}
