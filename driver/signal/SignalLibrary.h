// Public operations of the signal library. Each name is a dispatch stub: it reads CpuClass on every
// call and jumps through that column of its row in a DispatchTable (SignalDispatch.h); column 0 is
// the generic implementation Op_Generic (SignalGeneric.h).
//
// Every operation checks its arguments before it touches data, in this order: pointers (argument
// order), counts, factors, phases, record tags; the first failing check is the result and nothing
// is written. Lengths are element counts; float data are 32-bit IEEE singles; packed int24 samples
// are 3 bytes each, least significant byte first.
#pragma once

#include <win/ntdef.h>

#include "driver/signal/SignalStatus.h"

// The FIR and real-FFT rows join the dispatch tables once their implementations link.
#ifndef KV_SIGNAL_HAVE_FIR_FFT
#define KV_SIGNAL_HAVE_FIR_FFT 1
#endif

// Processor class selecting the dispatch column: 0 (generic) at load, never changed.
extern LONG CpuClass;

// One record layout serves the single-rate and the multi-rate FIR state (its tag tells them apart).
struct FirState;
struct RealFftSpec;

// First dispatch table, in row order.
SignalStatus ZeroFloat(float* dst, LONG len);
SignalStatus ConvertFloatToInt16(const float* src, SHORT* dst, LONG len, LONG rndMode, LONG scale);
SignalStatus ConvertFloatToInt32(const float* src, LONG* dst, LONG len, LONG rndMode, LONG scale);
SignalStatus ConvertInt16ToFloat(const SHORT* src, float* dst, LONG len, LONG scale);
SignalStatus ConvertInt32ToFloatScaled(const LONG* src, float* dst, LONG len, LONG scale);
SignalStatus ConvertInt24ToFloat(const UCHAR* src, float* dst, LONG len);
SignalStatus ConvertFloatToInt24(const float* src, UCHAR* dst, LONG len, LONG scale);
SignalStatus DivConstFloatInPlace(float value, float* srcDst, LONG len);
SignalStatus MoveFloat(const float* src, float* dst, LONG len);
SignalStatus MulConstFloatInPlace(float value, float* srcDst, LONG len);
SignalStatus FirInitState(FirState** ppState, const float* taps, LONG tapsLen, const float* delayLine,
                          void* buffer);
SignalStatus FirGetStateSize(LONG tapsLen, LONG* pSize);
SignalStatus FirMultirateInitState(FirState** ppState, const float* taps, LONG tapsLen, LONG upFactor,
                                   LONG upPhase, LONG downFactor, LONG downPhase, const float* delayLine,
                                   void* buffer);
SignalStatus FirMultirateGetStateSize(LONG tapsLen, LONG upFactor, LONG downFactor, LONG* pSize);
SignalStatus FirFilterBlock(const float* src, float* dst, LONG numIters, FirState* pState);
SignalStatus FirFilterOneSample(float x, float* pY, const float* taps, LONG tapsLen, float* delayLine,
                                LONG* pIndex);

// Second dispatch table, in row order.
SignalStatus ConvertInt32ToFloat(const LONG* src, float* dst, LONG len);
SignalStatus AddConstFloatInPlace(float value, float* srcDst, LONG len);
SignalStatus InterleaveFloat(const float* const* planes, LONG nChannels, LONG len, float* dst);
SignalStatus DeinterleaveFloat(const float* src, LONG nChannels, LONG len, float* const* planes);
SignalStatus PowFloat(const float* a, const float* b, float* dst, LONG len);
SignalStatus CopyFloat(const float* src, float* dst, LONG len);
SignalStatus FillFloat(float value, float* dst, LONG len);
SignalStatus MulConstFloat(const float* src, float value, float* dst, LONG len);
SignalStatus AbsFloatInPlace(float* srcDst, LONG len);
SignalStatus MaxFloat(const float* src, LONG len, float* pMax);
SignalStatus MinFloat(const float* src, LONG len, float* pMin);
SignalStatus AddFloat(const float* a, const float* b, float* dst, LONG len);
SignalStatus RealFftCreateSpec(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint);
SignalStatus RealFftFreeSpec(RealFftSpec* spec);
SignalStatus RealFftForwardInPlace(float* srcDst, const RealFftSpec* spec, void* workBuffer);
SignalStatus RealFftInverseInPlace(float* srcDst, const RealFftSpec* spec, void* workBuffer);
