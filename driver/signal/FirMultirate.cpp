// Multi-rate FIR filter: upsample by U, filter, downsample by D in one pass.
//
// Inputs are addressed by a virtual index v: the L-sample history at v = 0..L-1, then the inputs of
// the call. Outputs come in periods of 4U (consuming 4D inputs), and a period in U groups of four.
// Phase-table form: the four outputs of a group share one window of M/U inputs, with one coefficient
// quadruple per input (zero where the tap index falls outside 0..T-1). Polyphase forms: each output
// has its own window of L inputs and its own coefficients, interleaved by four per group.
// A window that reaches past the last input present is summed lane by lane and stops there; the
// terms it leaves out carry zero coefficients, so every output is the same single-precision sum,
// oldest sample first, whatever the block size.
//
// Layout behind the 160-byte header: reversed taps, coefficient table (16M bytes), advance table,
// delay line (L + P + 1 floats), set-up scratch (a copy of the reversed taps).
#include "driver/signal/Fir.h"

#include <win/rtl.h>

#include <emmintrin.h>

namespace {

constexpr ULONG64 kHeaderBytes = sizeof(FirState);
constexpr ULONG64 kMinScratchFloats = 4096;

struct Shape {
    LONG64 taps;      // T
    LONG64 up;        // U
    LONG64 down;      // D
    LONG64 history;   // L = ceil(T / U)
    LONG64 span;      // M = 3D + T rounded up to a multiple of U
    LONG64 capacity;  // P
    LONG64 head;      // Q
    LONG form;
};

// Floor of a / b for b > 0.
LONG64 FloorDiv(LONG64 a, LONG64 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
LONG64 CeilDiv(LONG64 a, LONG64 b) { return FloorDiv(a + b - 1, b); }

Shape ShapeOf(LONG tapsLen, LONG upFactor, LONG downFactor) {
    Shape s{};
    s.taps = tapsLen;
    s.up = upFactor;
    s.down = downFactor;
    s.history = CeilDiv(s.taps, s.up);
    s.span = CeilDiv(3 * s.down + s.taps, s.up) * s.up;
    s.form = FirMultirateForm(tapsLen, upFactor, downFactor);
    const LONG64 reach = s.form == FirFormPhaseTable ? s.span / s.up : s.history;
    s.capacity = (reach / (4 * s.down) + 1) * 4 * s.down + 1;
    s.head = CeilDiv(s.history, s.down) * s.up;
    while (s.head % (4 * s.up) != 0) {
        s.head += s.up;
        s.capacity += s.down;
    }
    return s;
}

ULONG64 TapsBytes(const Shape& s) { return FirAlign16(4 * static_cast<ULONG64>(s.taps)); }
ULONG64 CoefficientBytes(const Shape& s) { return 16 * static_cast<ULONG64>(s.span); }
ULONG64 AdvanceBytes(const Shape& s) {
    const ULONG64 entries = s.form == FirFormPhaseTable ? s.up + 1 : 4 * s.up + 1;
    return FirAlign16(4 * entries);
}
ULONG64 DelayBytes(const Shape& s) { return FirAlign16(4 * static_cast<ULONG64>(s.history + s.capacity) + 4); }
ULONG64 ScratchBytes(const Shape& s) {
    const ULONG64 perSpan = s.form == FirFormPhaseTable ? 4 : 8;
    const ULONG64 floats = perSpan * static_cast<ULONG64>(s.span);
    return 4 * (floats > kMinScratchFloats ? floats : kMinScratchFloats);
}

// The coefficient of the sample with virtual input index k (relative to a period) for the output
// at upsampled time t: h[t - (kU + pu)], or zero outside the taps.
float CoefficientFor(const float* taps, const Shape& s, LONG64 upPhase, LONG64 t, LONG64 k) {
    const LONG64 j = t - (k * s.up + upPhase);
    return j >= 0 && j < s.taps ? taps[j] : 0.0f;
}

// First input (relative to the period) that meets a tap of the output at upsampled time t.
LONG64 FirstInput(const Shape& s, LONG64 upPhase, LONG64 t) { return CeilDiv(t - s.taps - upPhase + 1, s.up); }

VOID BuildPhaseTable(FirState* st, const float* taps, const Shape& s) {
    const LONG64 window = s.span / s.up;
    LONG64 previous = 0;
    for (LONG64 g = 0; g < s.up; ++g) {
        const LONG64 first = FirstInput(s, st->upPhase, 4 * g * s.down + st->downPhase);
        for (LONG64 i = 0; i < window; ++i) {
            for (LONG64 r = 0; r < 4; ++r) {
                const LONG64 t = (4 * g + r) * s.down + st->downPhase;
                st->coefficients[(g * window + i) * 4 + r] = CoefficientFor(taps, s, st->upPhase, t, first + i);
            }
        }
        st->advanceTable[g] = static_cast<LONG>(g == 0 ? s.history + first : first - previous);
        previous = first;
    }
    const LONG64 first0 = st->advanceTable[0] - s.history;
    st->advanceTable[s.up] = static_cast<LONG>(first0 + 4 * s.down - previous);
}

VOID BuildPolyphase(FirState* st, const float* taps, const Shape& s) {
    const LONG64 window = s.history;
    const LONG64 outputs = 4 * s.up;
    LONG64 previous = 0;
    LONG64 first0 = 0;
    for (LONG64 m = 0; m < outputs; ++m) {
        const LONG64 t = m * s.down + st->downPhase;
        const LONG64 first = FirstInput(s, st->upPhase, t);
        for (LONG64 i = 0; i < window; ++i) {
            st->coefficients[(m / 4) * 4 * window + 4 * i + m % 4] = CoefficientFor(taps, s, st->upPhase, t, first + i);
        }
        if (m == 0) first0 = first;
        st->advanceTable[m] = static_cast<LONG>(m == 0 ? s.history + first : first - previous);
        previous = first;
    }
    st->advanceTable[outputs] = static_cast<LONG>(first0 + 4 * s.down - previous);
}

// ---- filtering ----

// Samples by virtual index: v is at base[v - bias], and indices below `available` are present.
struct Samples {
    const float* base;
    LONG64 bias;
    LONG64 available;
    const float* At(LONG64 v) const { return base + (v - bias); }
};

// Sum of coef[4i + lane] x w[i] for i < count, from 0.0 in single precision.
float LaneSum(const float* coef, LONG64 lane, const float* w, LONG64 count) {
    float sum = 0.0f;
    for (LONG64 i = 0; i < count; ++i) sum += coef[4 * i + lane] * w[i];
    return sum;
}

LONG64 Present(const Samples& x, LONG64 start, LONG64 window) {
    const LONG64 left = x.available - start;
    return left < window ? (left > 0 ? left : 0) : window;
}

// Phase-table form: outputs [begin, end) of the call (begin at a period start); *cursor is the
// window start of the next group.
VOID PhaseTableOutputs(const FirState* st, const Samples& x, LONG64* cursor, LONG64 begin, LONG64 end, float* y) {
    const LONG64 up = st->upFactor;
    const LONG64 window = st->groupLength;
    const LONG64 period = 4 * up;
    const LONG64 stride = 4 * static_cast<LONG64>(st->downFactor);  // inputs per period
    const LONG* advance = st->advanceTable;
    LONG64 pos = *cursor;
    LONG64 m = begin;
    // Four whole periods side by side: their groups share coefficients and are 4D inputs apart.
    while (end - m >= 4 * period) {
        LONG64 g0 = pos;
        bool fits = true;
        for (LONG64 g = 0; g < up; ++g) {
            if (g0 + 3 * stride + window > x.available) fits = false;
            g0 += advance[g + 1];
        }
        if (!fits) break;
        for (LONG64 g = 0; g < up; ++g) {
            const float* coef = st->coefficients + g * window * 4;
            const float* w = x.At(pos);
            __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps(), acc2 = _mm_setzero_ps(), acc3 = _mm_setzero_ps();
            for (LONG64 i = 0; i < window; ++i) {
                const __m128 c = _mm_load_ps(coef + 4 * i);
                acc0 = _mm_add_ps(acc0, _mm_mul_ps(c, _mm_set1_ps(w[i])));
                acc1 = _mm_add_ps(acc1, _mm_mul_ps(c, _mm_set1_ps(w[i + stride])));
                acc2 = _mm_add_ps(acc2, _mm_mul_ps(c, _mm_set1_ps(w[i + 2 * stride])));
                acc3 = _mm_add_ps(acc3, _mm_mul_ps(c, _mm_set1_ps(w[i + 3 * stride])));
            }
            float* out = y + m + 4 * g;
            _mm_storeu_ps(out, acc0);
            _mm_storeu_ps(out + period, acc1);
            _mm_storeu_ps(out + 2 * period, acc2);
            _mm_storeu_ps(out + 3 * period, acc3);
            pos += advance[g + 1];
        }
        pos += 3 * stride;
        m += 4 * period;
    }
    for (; m < end; m += period) {
        for (LONG64 g = 0; g < up; ++g) {
            const LONG64 first = m + 4 * g;
            if (first >= end) break;
            const LONG64 count = end - first < 4 ? end - first : 4;
            const float* coef = st->coefficients + g * window * 4;
            const float* w = x.At(pos);
            const LONG64 present = Present(x, pos, window);
            if (count == 4 && present == window) {
                __m128 acc = _mm_setzero_ps();
                for (LONG64 i = 0; i < window; ++i)
                    acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(coef + 4 * i), _mm_set1_ps(w[i])));
                _mm_storeu_ps(y + first, acc);
            } else {
                for (LONG64 r = 0; r < count; ++r) y[first + r] = LaneSum(coef, r, w, present);
            }
            pos += advance[g + 1];
        }
    }
    *cursor = pos;
}

// Polyphase forms: every output its own window start; *cursor is the start of the next output.
VOID PolyphaseOutputs(const FirState* st, const Samples& x, LONG64* cursor, LONG64 begin, LONG64 end, float* y) {
    const LONG64 up = st->upFactor;
    const LONG64 window = st->groupLength;
    const LONG* advance = st->advanceTable;
    LONG64 pos = *cursor;
    for (LONG64 m = begin; m < end; m += 4 * up) {
        for (LONG64 g = 0; g < up; ++g) {
            const LONG64 first = m + 4 * g;
            if (first >= end) break;
            const LONG64 count = end - first < 4 ? end - first : 4;
            LONG64 starts[4];
            starts[0] = pos;
            for (LONG64 r = 1; r < 4; ++r) starts[r] = starts[r - 1] + advance[4 * g + r];
            pos = starts[3] + advance[4 * g + 4];
            const float* coef = st->coefficients + g * window * 4;
            if (count == 4 && starts[3] + window <= x.available && starts[0] + window <= x.available) {
                const float* w0 = x.At(starts[0]);
                const float* w1 = x.At(starts[1]);
                const float* w2 = x.At(starts[2]);
                const float* w3 = x.At(starts[3]);
                __m128 acc = _mm_setzero_ps();
                for (LONG64 i = 0; i < window; ++i) {
                    acc =
                        _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(coef + 4 * i), _mm_setr_ps(w0[i], w1[i], w2[i], w3[i])));
                }
                _mm_storeu_ps(y + first, acc);
            } else {
                for (LONG64 r = 0; r < count; ++r) {
                    y[first + r] = LaneSum(coef, r, x.At(starts[r]), Present(x, starts[r], window));
                }
            }
        }
    }
    *cursor = pos;
}

VOID Outputs(const FirState* st, const Samples& x, LONG64* cursor, LONG64 begin, LONG64 end, float* y) {
    if (st->form == FirFormPhaseTable) {
        PhaseTableOutputs(st, x, cursor, begin, end, y);
    } else {
        PolyphaseOutputs(st, x, cursor, begin, end, y);
    }
}

}  // namespace

LONG FirMultirateForm(LONG tapsLen, LONG upFactor, LONG downFactor) {
    // Share of non-zero coefficients in the phase-table rows, which carry 3D zero positions.
    const float share = static_cast<float>(tapsLen) / static_cast<float>(3 * static_cast<LONG64>(downFactor) + tapsLen);
    if (upFactor == 1) return share > 0.5f ? FirFormPhaseTable : FirFormDecimating;
    return static_cast<double>(share) > 0.3 ? FirFormPhaseTable : FirFormPolyphase;
}

ULONG64 FirMultirateStateBytes(LONG tapsLen, LONG upFactor, LONG downFactor) {
    const Shape s = ShapeOf(tapsLen, upFactor, downFactor);
    return TapsBytes(s) + CoefficientBytes(s) + AdvanceBytes(s) + ScratchBytes(s) + DelayBytes(s) + kHeaderBytes +
           FirStateAlignment;
}

FirState* FirMultirateLayout(const float* taps, LONG tapsLen, LONG upFactor, LONG upPhase, LONG downFactor,
                             LONG downPhase, const float* delayLine, PVOID buffer) {
    const Shape s = ShapeOf(tapsLen, upFactor, downFactor);
    FirState* st = FirStateAt(buffer);
    BYTE* area = reinterpret_cast<BYTE*>(st) + kHeaderBytes;

    st->tag = FirTagMultirate;
    st->tapsLen = tapsLen;
    st->upFactor = upFactor;
    st->downFactor = downFactor;
    st->delayCapacity = static_cast<LONG>(s.capacity);
    st->headOutputs = static_cast<LONG>(s.head);
    st->fftSpec = nullptr;
    st->tapsSpectrum = nullptr;
    st->fftLength = -1;
    st->delayOffset = 0;
    st->groupLength = static_cast<LONG>(s.form == FirFormPhaseTable ? s.span / s.up : s.history);
    st->form = s.form;
    st->historyLength = static_cast<LONG>(s.history);
    st->reserved = 0;
    st->upPhase = upPhase;
    st->downPhase = downPhase;

    const ULONG64 t = static_cast<ULONG64>(tapsLen);
    st->reversedTaps = reinterpret_cast<float*>(area);
    for (ULONG64 k = 0; k < t; ++k) st->reversedTaps[k] = taps[t - 1 - k];
    area += TapsBytes(s);
    st->coefficients = reinterpret_cast<float*>(area);
    area += CoefficientBytes(s);
    st->advanceTable = reinterpret_cast<LONG*>(area);
    area += AdvanceBytes(s);
    st->delayLine = reinterpret_cast<float*>(area);
    RtlZeroMemory(area, DelayBytes(s));
    if (delayLine != nullptr) {
        const LONG64 history = s.history;
        for (LONG64 i = 0; i < history; ++i) st->delayLine[history - 1 - i] = delayLine[i];
    }
    area += DelayBytes(s);
    st->scratchArea = area;
    RtlCopyMemory(area, st->reversedTaps, t * sizeof(float));

    if (s.form == FirFormPhaseTable) {
        BuildPhaseTable(st, taps, s);
    } else {
        BuildPolyphase(st, taps, s);
    }
    return st;
}

VOID FirMultirateFilter(const float* src, float* dst, LONG numIters, FirState* st) {
    st->delayOffset = 0;
    const LONG64 history = st->historyLength;
    const LONG64 capacity = st->delayCapacity;
    const LONG64 inputs = static_cast<LONG64>(st->downFactor) * numIters;
    const LONG64 outputs = static_cast<LONG64>(st->upFactor) * numIters;
    float* delay = st->delayLine;
    LONG64 cursor = st->advanceTable[0];
    if (inputs <= capacity) {
        RtlCopyMemory(delay + history, src, static_cast<SIZE_T>(inputs) * sizeof(float));
        Outputs(st, Samples{delay, 0, history + inputs}, &cursor, 0, outputs, dst);
        RtlMoveMemory(delay, delay + inputs, static_cast<SIZE_T>(history) * sizeof(float));
        return;
    }
    // Long block: the first Q outputs need the history, so they read the delay line holding it and
    // the first P inputs; the rest read the block itself.
    const LONG64 head = st->headOutputs;
    RtlCopyMemory(delay + history, src, static_cast<SIZE_T>(capacity) * sizeof(float));
    Outputs(st, Samples{delay, 0, history + capacity}, &cursor, 0, head, dst);
    RtlCopyMemory(delay, src + inputs - history, static_cast<SIZE_T>(history) * sizeof(float));
    Outputs(st, Samples{src, history, history + inputs}, &cursor, head, outputs, dst);
}
