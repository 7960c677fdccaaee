// The dispatch tables and the stubs behind every public operation name.
#include "driver/signal/SignalDispatch.h"

constinit const DispatchTable1 SignalDispatchTable1 = {
    .ZeroFloat = GenericRow(&ZeroFloat_Generic),
    .ConvertFloatToInt16 = GenericRow(&ConvertFloatToInt16_Generic),
    .ConvertFloatToInt32 = GenericRow(&ConvertFloatToInt32_Generic),
    .ConvertInt16ToFloat = GenericRow(&ConvertInt16ToFloat_Generic),
    .ConvertInt32ToFloatScaled = GenericRow(&ConvertInt32ToFloatScaled_Generic),
    .ConvertInt24ToFloat = GenericRow(&ConvertInt24ToFloat_Generic),
    .ConvertFloatToInt24 = GenericRow(&ConvertFloatToInt24_Generic),
    .DivConstFloatInPlace = GenericRow(&DivConstFloatInPlace_Generic),
    .MoveFloat = GenericRow(&MoveFloat_Generic),
    .MulConstFloatInPlace = GenericRow(&MulConstFloatInPlace_Generic),
#if KV_SIGNAL_HAVE_FIR_FFT
    // ---- FIR rows ----
    .FirInitState = GenericRow(&FirInitState_Generic),
    .FirGetStateSize = GenericRow(&FirGetStateSize_Generic),
    .FirMultirateInitState = GenericRow(&FirMultirateInitState_Generic),
    .FirMultirateGetStateSize = GenericRow(&FirMultirateGetStateSize_Generic),
    .FirFilterBlock = GenericRow(&FirFilterBlock_Generic),
    .FirFilterOneSample = GenericRow(&FirFilterOneSample_Generic),
    // ---- end of FIR rows ----
#endif
};

constinit const DispatchTable2 SignalDispatchTable2 = {
    .ConvertInt32ToFloat = GenericRow(&ConvertInt32ToFloat_Generic),
    .AddConstFloatInPlace = GenericRow(&AddConstFloatInPlace_Generic),
    .InterleaveFloat = GenericRow(&InterleaveFloat_Generic),
    .DeinterleaveFloat = GenericRow(&DeinterleaveFloat_Generic),
    .PowFloat = GenericRow(&PowFloat_Generic),
    .CopyFloat = GenericRow(&CopyFloat_Generic),
    .FillFloat = GenericRow(&FillFloat_Generic),
    .MulConstFloat = GenericRow(&MulConstFloat_Generic),
    .AbsFloatInPlace = GenericRow(&AbsFloatInPlace_Generic),
    .MaxFloat = GenericRow(&MaxFloat_Generic),
    .MinFloat = GenericRow(&MinFloat_Generic),
    .AddFloat = GenericRow(&AddFloat_Generic),
#if KV_SIGNAL_HAVE_FIR_FFT
    // ---- real FFT rows ----
    .RealFftCreateSpec = GenericRow(&RealFftCreateSpec_Generic),
    .RealFftFreeSpec = GenericRow(&RealFftFreeSpec_Generic),
    .RealFftForwardInPlace = GenericRow(&RealFftForwardInPlace_Generic),
    .RealFftInverseInPlace = GenericRow(&RealFftInverseInPlace_Generic),
    // ---- end of real FFT rows ----
#endif
};

namespace {

// Reads CpuClass afresh on every call, sign-extends it and runs that column of the row. The mask
// keeps a corrupted class inside the row instead of jumping through foreign memory.
template <typename Fn, typename... Args>
inline SignalStatus Dispatch(const DispatchRow<Fn>& row, Args... args) {
    const LONG64 cpuClass = *static_cast<volatile const LONG*>(&CpuClass);
    return row.column[cpuClass & (CpuClassCount - 1)](args...);
}

}  // namespace

SignalStatus ZeroFloat(float* dst, LONG len) { return Dispatch(SignalDispatchTable1.ZeroFloat, dst, len); }

SignalStatus ConvertFloatToInt16(const float* src, SHORT* dst, LONG len, LONG rndMode, LONG scale) {
    return Dispatch(SignalDispatchTable1.ConvertFloatToInt16, src, dst, len, rndMode, scale);
}

SignalStatus ConvertFloatToInt32(const float* src, LONG* dst, LONG len, LONG rndMode, LONG scale) {
    return Dispatch(SignalDispatchTable1.ConvertFloatToInt32, src, dst, len, rndMode, scale);
}

SignalStatus ConvertInt16ToFloat(const SHORT* src, float* dst, LONG len, LONG scale) {
    return Dispatch(SignalDispatchTable1.ConvertInt16ToFloat, src, dst, len, scale);
}

SignalStatus ConvertInt32ToFloatScaled(const LONG* src, float* dst, LONG len, LONG scale) {
    return Dispatch(SignalDispatchTable1.ConvertInt32ToFloatScaled, src, dst, len, scale);
}

SignalStatus ConvertInt24ToFloat(const UCHAR* src, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable1.ConvertInt24ToFloat, src, dst, len);
}

SignalStatus ConvertFloatToInt24(const float* src, UCHAR* dst, LONG len, LONG scale) {
    return Dispatch(SignalDispatchTable1.ConvertFloatToInt24, src, dst, len, scale);
}

SignalStatus DivConstFloatInPlace(float value, float* srcDst, LONG len) {
    return Dispatch(SignalDispatchTable1.DivConstFloatInPlace, value, srcDst, len);
}

SignalStatus MoveFloat(const float* src, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable1.MoveFloat, src, dst, len);
}

SignalStatus MulConstFloatInPlace(float value, float* srcDst, LONG len) {
    return Dispatch(SignalDispatchTable1.MulConstFloatInPlace, value, srcDst, len);
}

#if KV_SIGNAL_HAVE_FIR_FFT
// ---- FIR stubs ----
SignalStatus FirInitState(FirState** ppState, const float* taps, LONG tapsLen, const float* delayLine,
                          void* buffer) {
    return Dispatch(SignalDispatchTable1.FirInitState, ppState, taps, tapsLen, delayLine, buffer);
}

SignalStatus FirGetStateSize(LONG tapsLen, LONG* pSize) {
    return Dispatch(SignalDispatchTable1.FirGetStateSize, tapsLen, pSize);
}

SignalStatus FirMultirateInitState(FirState** ppState, const float* taps, LONG tapsLen, LONG upFactor,
                                   LONG upPhase, LONG downFactor, LONG downPhase, const float* delayLine,
                                   void* buffer) {
    return Dispatch(SignalDispatchTable1.FirMultirateInitState, ppState, taps, tapsLen, upFactor, upPhase,
                    downFactor, downPhase, delayLine, buffer);
}

SignalStatus FirMultirateGetStateSize(LONG tapsLen, LONG upFactor, LONG downFactor, LONG* pSize) {
    return Dispatch(SignalDispatchTable1.FirMultirateGetStateSize, tapsLen, upFactor, downFactor, pSize);
}

SignalStatus FirFilterBlock(const float* src, float* dst, LONG numIters, FirState* pState) {
    return Dispatch(SignalDispatchTable1.FirFilterBlock, src, dst, numIters, pState);
}

SignalStatus FirFilterOneSample(float x, float* pY, const float* taps, LONG tapsLen, float* delayLine,
                                LONG* pIndex) {
    return Dispatch(SignalDispatchTable1.FirFilterOneSample, x, pY, taps, tapsLen, delayLine, pIndex);
}
// ---- end of FIR stubs ----
#endif

SignalStatus ConvertInt32ToFloat(const LONG* src, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.ConvertInt32ToFloat, src, dst, len);
}

SignalStatus AddConstFloatInPlace(float value, float* srcDst, LONG len) {
    return Dispatch(SignalDispatchTable2.AddConstFloatInPlace, value, srcDst, len);
}

SignalStatus InterleaveFloat(const float* const* planes, LONG nChannels, LONG len, float* dst) {
    return Dispatch(SignalDispatchTable2.InterleaveFloat, planes, nChannels, len, dst);
}

SignalStatus DeinterleaveFloat(const float* src, LONG nChannels, LONG len, float* const* planes) {
    return Dispatch(SignalDispatchTable2.DeinterleaveFloat, src, nChannels, len, planes);
}

SignalStatus PowFloat(const float* a, const float* b, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.PowFloat, a, b, dst, len);
}

SignalStatus CopyFloat(const float* src, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.CopyFloat, src, dst, len);
}

SignalStatus FillFloat(float value, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.FillFloat, value, dst, len);
}

SignalStatus MulConstFloat(const float* src, float value, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.MulConstFloat, src, value, dst, len);
}

SignalStatus AbsFloatInPlace(float* srcDst, LONG len) {
    return Dispatch(SignalDispatchTable2.AbsFloatInPlace, srcDst, len);
}

SignalStatus MaxFloat(const float* src, LONG len, float* pMax) {
    return Dispatch(SignalDispatchTable2.MaxFloat, src, len, pMax);
}

SignalStatus MinFloat(const float* src, LONG len, float* pMin) {
    return Dispatch(SignalDispatchTable2.MinFloat, src, len, pMin);
}

SignalStatus AddFloat(const float* a, const float* b, float* dst, LONG len) {
    return Dispatch(SignalDispatchTable2.AddFloat, a, b, dst, len);
}

#if KV_SIGNAL_HAVE_FIR_FFT
// ---- real FFT stubs ----
SignalStatus RealFftCreateSpec(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint) {
    return Dispatch(SignalDispatchTable2.RealFftCreateSpec, ppSpec, order, flag, hint);
}

SignalStatus RealFftFreeSpec(RealFftSpec* spec) { return Dispatch(SignalDispatchTable2.RealFftFreeSpec, spec); }

SignalStatus RealFftForwardInPlace(float* srcDst, const RealFftSpec* spec, void* workBuffer) {
    return Dispatch(SignalDispatchTable2.RealFftForwardInPlace, srcDst, spec, workBuffer);
}

SignalStatus RealFftInverseInPlace(float* srcDst, const RealFftSpec* spec, void* workBuffer) {
    return Dispatch(SignalDispatchTable2.RealFftInverseInPlace, srcDst, spec, workBuffer);
}
// ---- end of real FFT stubs ----
#endif
