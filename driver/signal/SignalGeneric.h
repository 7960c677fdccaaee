// Generic (processor class 0) implementations of the library's operations: Op_Generic implements
// operation Op of SignalLibrary.h with the same arguments and results. Callers outside the library
// use the dispatched names; code inside the library may call these directly.
#pragma once

#include "driver/signal/SignalLibrary.h"

SignalStatus ZeroFloat_Generic(float* dst, LONG len);
SignalStatus ConvertFloatToInt16_Generic(const float* src, SHORT* dst, LONG len, LONG rndMode, LONG scale);
SignalStatus ConvertFloatToInt32_Generic(const float* src, LONG* dst, LONG len, LONG rndMode, LONG scale);
SignalStatus ConvertInt16ToFloat_Generic(const SHORT* src, float* dst, LONG len, LONG scale);
SignalStatus ConvertInt32ToFloatScaled_Generic(const LONG* src, float* dst, LONG len, LONG scale);
SignalStatus ConvertInt24ToFloat_Generic(const UCHAR* src, float* dst, LONG len);
SignalStatus ConvertFloatToInt24_Generic(const float* src, UCHAR* dst, LONG len, LONG scale);
SignalStatus DivConstFloatInPlace_Generic(float value, float* srcDst, LONG len);
SignalStatus MoveFloat_Generic(const float* src, float* dst, LONG len);
SignalStatus MulConstFloatInPlace_Generic(float value, float* srcDst, LONG len);
SignalStatus FirInitState_Generic(FirState** ppState, const float* taps, LONG tapsLen, const float* delayLine,
                                  void* buffer);
SignalStatus FirGetStateSize_Generic(LONG tapsLen, LONG* pSize);
SignalStatus FirMultirateInitState_Generic(FirState** ppState, const float* taps, LONG tapsLen, LONG upFactor,
                                           LONG upPhase, LONG downFactor, LONG downPhase,
                                           const float* delayLine, void* buffer);
SignalStatus FirMultirateGetStateSize_Generic(LONG tapsLen, LONG upFactor, LONG downFactor, LONG* pSize);
SignalStatus FirFilterBlock_Generic(const float* src, float* dst, LONG numIters, FirState* pState);
SignalStatus FirFilterOneSample_Generic(float x, float* pY, const float* taps, LONG tapsLen, float* delayLine,
                                        LONG* pIndex);

SignalStatus ConvertInt32ToFloat_Generic(const LONG* src, float* dst, LONG len);
SignalStatus AddConstFloatInPlace_Generic(float value, float* srcDst, LONG len);
SignalStatus InterleaveFloat_Generic(const float* const* planes, LONG nChannels, LONG len, float* dst);
SignalStatus DeinterleaveFloat_Generic(const float* src, LONG nChannels, LONG len, float* const* planes);
SignalStatus PowFloat_Generic(const float* a, const float* b, float* dst, LONG len);
SignalStatus CopyFloat_Generic(const float* src, float* dst, LONG len);
SignalStatus FillFloat_Generic(float value, float* dst, LONG len);
SignalStatus MulConstFloat_Generic(const float* src, float value, float* dst, LONG len);
SignalStatus AbsFloatInPlace_Generic(float* srcDst, LONG len);
SignalStatus MaxFloat_Generic(const float* src, LONG len, float* pMax);
SignalStatus MinFloat_Generic(const float* src, LONG len, float* pMin);
SignalStatus AddFloat_Generic(const float* a, const float* b, float* dst, LONG len);
SignalStatus RealFftCreateSpec_Generic(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint);
SignalStatus RealFftFreeSpec_Generic(RealFftSpec* spec);
SignalStatus RealFftForwardInPlace_Generic(float* srcDst, const RealFftSpec* spec, void* workBuffer);
SignalStatus RealFftInverseInPlace_Generic(float* srcDst, const RealFftSpec* spec, void* workBuffer);
