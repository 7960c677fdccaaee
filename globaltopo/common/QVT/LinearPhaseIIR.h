// Direct-form IIR filtering and the forward-backward (linear-phase) filter built from two of them.
// Resident code: no allocation, no lock of its own.
#pragma once

#include <win/ntdef.h>

#include "globaltopo/common/QVT/QvtCommon.h"

// y[n] = sum b[j] x[n-j] - sum (j >= 1) a[j] y[n-j], with circular histories of the last nb inputs
// and na outputs. a[0] is taken as 1 and not read. A coefficient array with fewer than two entries
// is not kept: without b the input passes unchanged into the feedback part, without a there is no
// feedback part.
class CIirFilter {
public:
    static constexpr LONG kMaxCoefficients = 8;

    CIirFilter();

    // Replaces the coefficients and clears the histories; false (and no filter kept) when a count
    // exceeds kMaxCoefficients.
    bool SetCoefficients(const float* b, LONG nb, const float* a, LONG na);
    // Filters len samples; out null filters in place.
    void Process(float* out, float* in, LONG len);
    // Zeroes both histories and their indexes.
    void Reset();

private:
    float m_B[kMaxCoefficients];
    float m_A[kMaxCoefficients];
    float m_InputHistory[kMaxCoefficients];   // last nb inputs, newest at m_InputIndex
    float m_OutputHistory[kMaxCoefficients];  // last na outputs, newest at m_OutputIndex
    LONG m_NumB;                              // 0 when b is not kept
    LONG m_NumA;                              // 0 when a is not kept
    LONG m_InputIndex;
    LONG m_OutputIndex;
};

// Forward-backward filtering in blocks of up to EachChannelSampleCntMax samples. The backward pass
// runs over the block plus the kOverlap samples before it, so the output is the zero-phase
// filtered signal delayed by kOverlap samples, the backward pass looking kOverlap samples ahead.
class CLinearPhaseIIR {
public:
    static constexpr LONG kOverlap = 64;
    static constexpr LONG kBufferFloats = kOverlap + EachChannelSampleCntMax;

    CLinearPhaseIIR();

    // Sets both inner filters to (b, a) and clears all state.
    bool SetCoefficients(const float* b, LONG nb, const float* a, LONG na);
    // len <= EachChannelSampleCntMax samples; out and in may be the same buffer.
    void Process(float* out, const float* in, LONG len);

private:
    CIirFilter m_Forward;
    CIirFilter m_Backward;
    float m_History[kBufferFloats];   // forward-filtered: kOverlap carried over, then the block
    float m_Reversed[kBufferFloats];
    float m_BackwardOut[kBufferFloats];
};
