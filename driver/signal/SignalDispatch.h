// Dispatch machinery: one row per operation with an implementation for each processor class 0..3,
// and the two tables of rows in the library's row order. Rows are typed, so a table cannot pair an
// operation with an implementation of another signature.
#pragma once

#include "driver/signal/SignalGeneric.h"

constexpr LONG CpuClassCount = 4;

template <typename Fn>
struct DispatchRow {
    Fn column[CpuClassCount];
};

// A row whose every column runs the generic implementation.
template <typename Fn>
constexpr DispatchRow<Fn> GenericRow(Fn generic) {
    return {{generic, generic, generic, generic}};
}

struct DispatchTable1 {
    DispatchRow<decltype(&ZeroFloat_Generic)> ZeroFloat;
    DispatchRow<decltype(&ConvertFloatToInt16_Generic)> ConvertFloatToInt16;
    DispatchRow<decltype(&ConvertFloatToInt32_Generic)> ConvertFloatToInt32;
    DispatchRow<decltype(&ConvertInt16ToFloat_Generic)> ConvertInt16ToFloat;
    DispatchRow<decltype(&ConvertInt32ToFloatScaled_Generic)> ConvertInt32ToFloatScaled;
    DispatchRow<decltype(&ConvertInt24ToFloat_Generic)> ConvertInt24ToFloat;
    DispatchRow<decltype(&ConvertFloatToInt24_Generic)> ConvertFloatToInt24;
    DispatchRow<decltype(&DivConstFloatInPlace_Generic)> DivConstFloatInPlace;
    DispatchRow<decltype(&MoveFloat_Generic)> MoveFloat;
    DispatchRow<decltype(&MulConstFloatInPlace_Generic)> MulConstFloatInPlace;
#if KV_SIGNAL_HAVE_FIR_FFT
    // ---- FIR rows ----
    DispatchRow<decltype(&FirInitState_Generic)> FirInitState;
    DispatchRow<decltype(&FirGetStateSize_Generic)> FirGetStateSize;
    DispatchRow<decltype(&FirMultirateInitState_Generic)> FirMultirateInitState;
    DispatchRow<decltype(&FirMultirateGetStateSize_Generic)> FirMultirateGetStateSize;
    DispatchRow<decltype(&FirFilterBlock_Generic)> FirFilterBlock;
    DispatchRow<decltype(&FirFilterOneSample_Generic)> FirFilterOneSample;
    // ---- end of FIR rows ----
#endif
};

struct DispatchTable2 {
    DispatchRow<decltype(&ConvertInt32ToFloat_Generic)> ConvertInt32ToFloat;
    DispatchRow<decltype(&AddConstFloatInPlace_Generic)> AddConstFloatInPlace;
    DispatchRow<decltype(&InterleaveFloat_Generic)> InterleaveFloat;
    DispatchRow<decltype(&DeinterleaveFloat_Generic)> DeinterleaveFloat;
    DispatchRow<decltype(&PowFloat_Generic)> PowFloat;
    DispatchRow<decltype(&CopyFloat_Generic)> CopyFloat;
    DispatchRow<decltype(&FillFloat_Generic)> FillFloat;
    DispatchRow<decltype(&MulConstFloat_Generic)> MulConstFloat;
    DispatchRow<decltype(&AbsFloatInPlace_Generic)> AbsFloatInPlace;
    DispatchRow<decltype(&MaxFloat_Generic)> MaxFloat;
    DispatchRow<decltype(&MinFloat_Generic)> MinFloat;
    DispatchRow<decltype(&AddFloat_Generic)> AddFloat;
#if KV_SIGNAL_HAVE_FIR_FFT
    // ---- real FFT rows ----
    DispatchRow<decltype(&RealFftCreateSpec_Generic)> RealFftCreateSpec;
    DispatchRow<decltype(&RealFftFreeSpec_Generic)> RealFftFreeSpec;
    DispatchRow<decltype(&RealFftForwardInPlace_Generic)> RealFftForwardInPlace;
    DispatchRow<decltype(&RealFftInverseInPlace_Generic)> RealFftInverseInPlace;
    // ---- end of real FFT rows ----
#endif
};

extern const DispatchTable1 SignalDispatchTable1;
extern const DispatchTable2 SignalDispatchTable2;
