// Public FIR operations: argument checks in the library's order, then the single-rate or the
// multi-rate implementation. State sizes are computed in 64 bits; a state that would not fit a
// LONG byte count is refused with StatusNoMemory before anything is written.
#include "driver/signal/Fir.h"
#include "driver/signal/SignalGeneric.h"

namespace {

bool IsSingleRate(LONG upFactor, LONG downFactor) { return upFactor == 1 && downFactor == 1; }

}  // namespace

SignalStatus FirGetStateSize_Generic(LONG tapsLen, LONG* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusBadTapsLength;
    const ULONG64 bytes = FirSingleStateBytes(tapsLen);
    if (bytes > FirMaxStateBytes) return StatusNoMemory;
    *pSize = static_cast<LONG>(bytes);
    return StatusOk;
}

SignalStatus FirInitState_Generic(FirState** ppState, const float* taps, LONG tapsLen, const float* delayLine,
                                  void* buffer) {
    if (ppState == nullptr || taps == nullptr || buffer == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusBadTapsLength;
    if (FirSingleStateBytes(tapsLen) > FirMaxStateBytes) return StatusNoMemory;
    *ppState = FirSingleLayout(taps, tapsLen, delayLine, buffer);
    return StatusOk;
}

SignalStatus FirMultirateGetStateSize_Generic(LONG tapsLen, LONG upFactor, LONG downFactor, LONG* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusBadTapsLength;
    if (upFactor < 1 || downFactor < 1) return StatusBadFactor;
    const ULONG64 bytes = IsSingleRate(upFactor, downFactor) ? FirSingleStateBytes(tapsLen)
                                                             : FirMultirateStateBytes(tapsLen, upFactor, downFactor);
    if (bytes > FirMaxStateBytes) return StatusNoMemory;
    *pSize = static_cast<LONG>(bytes);
    return StatusOk;
}

SignalStatus FirMultirateInitState_Generic(FirState** ppState, const float* taps, LONG tapsLen, LONG upFactor,
                                           LONG upPhase, LONG downFactor, LONG downPhase, const float* delayLine,
                                           void* buffer) {
    if (ppState == nullptr || taps == nullptr || buffer == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusBadTapsLength;
    if (upFactor < 1 || downFactor < 1) return StatusBadFactor;
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor) return StatusBadPhase;
    if (IsSingleRate(upFactor, downFactor)) {
        if (FirSingleStateBytes(tapsLen) > FirMaxStateBytes) return StatusNoMemory;
        *ppState = FirSingleLayout(taps, tapsLen, delayLine, buffer);
        return StatusOk;
    }
    if (FirMultirateStateBytes(tapsLen, upFactor, downFactor) > FirMaxStateBytes) return StatusNoMemory;
    *ppState = FirMultirateLayout(taps, tapsLen, upFactor, upPhase, downFactor, downPhase, delayLine, buffer);
    return StatusOk;
}

SignalStatus FirFilterBlock_Generic(const float* src, float* dst, LONG numIters, FirState* pState) {
    if (pState == nullptr || src == nullptr || dst == nullptr) return StatusNullPointer;
    if (numIters < 1) return StatusBadLength;
    if (pState->tag == FirTagSingle) return FirSingleFilter(src, dst, numIters, pState);
    if (pState->tag != FirTagMultirate) return StatusBadTag;
    if (pState->form != FirFormPhaseTable && pState->form != FirFormDecimating && pState->form != FirFormPolyphase) {
        return StatusBadTag;
    }
    FirMultirateFilter(src, dst, numIters, pState);
    return StatusOk;
}

SignalStatus FirFilterOneSample_Generic(float x, float* pY, const float* taps, LONG tapsLen, float* delayLine,
                                        LONG* pIndex) {
    if (pY == nullptr || taps == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusBadTapsLength;
    if (delayLine == nullptr || pIndex == nullptr) return StatusNullPointer;
    // The index selects a slot of the doubled line; outside 0..T-1 the writes would leave it.
    LONG index = *pIndex;
    if (index < 0 || index >= tapsLen) return StatusBadPhase;

    // The line holds every sample twice (d[i] and d[i + T]), so the T most recent samples are always
    // one contiguous run starting at the next write slot.
    const ULONG64 length = static_cast<ULONG64>(tapsLen);
    delayLine[index] = x;
    delayLine[index + length] = x;
    index = index + 1 == tapsLen ? 0 : index + 1;
    *pIndex = index;
    const float* oldest = delayLine + index;
    double sum = 0.0;
    for (ULONG64 k = 0; k < length; ++k) sum += static_cast<double>(taps[length - 1 - k] * oldest[k]);
    *pY = static_cast<float>(sum);
    return StatusOk;
}
