// Direct-form IIR filter and forward-backward filtering with a fixed look-ahead.
#include "globaltopo/common/QVT/LinearPhaseIIR.h"

#include "driver/signal/SignalLibrary.h"

CIirFilter::CIirFilter() {
    for (LONG j = 0; j < kMaxCoefficients; ++j) {
        m_B[j] = 0.0f;
        m_A[j] = 0.0f;
    }
    m_NumB = 0;
    m_NumA = 0;
    Reset();
}

bool CIirFilter::SetCoefficients(const float* b, LONG nb, const float* a, LONG na) {
    m_NumB = 0;
    m_NumA = 0;
    Reset();
    if (nb > kMaxCoefficients || na > kMaxCoefficients) return false;
    if (b != nullptr && nb >= 2) {
        for (LONG j = 0; j < nb; ++j) m_B[j] = b[j];
        m_NumB = nb;
    }
    if (a != nullptr && na >= 2) {
        for (LONG j = 0; j < na; ++j) m_A[j] = a[j];
        m_NumA = na;
    }
    return true;
}

void CIirFilter::Reset() {
    for (LONG j = 0; j < kMaxCoefficients; ++j) {
        m_InputHistory[j] = 0.0f;
        m_OutputHistory[j] = 0.0f;
    }
    m_InputIndex = 0;
    m_OutputIndex = 0;
}

void CIirFilter::Process(float* out, float* in, LONG len) {
    if (out == nullptr) out = in;
    for (LONG n = 0; n < len; ++n) {
        float w = in[n];
        if (m_NumB != 0) {
            m_InputIndex = (m_InputIndex + 1) % m_NumB;
            m_InputHistory[m_InputIndex] = w;
            float sum = 0.0f;
            LONG k = m_InputIndex;
            for (LONG j = 0; j < m_NumB; ++j) {
                sum += m_B[j] * m_InputHistory[k];
                k = (k == 0) ? m_NumB - 1 : k - 1;
            }
            w = sum;
        }
        if (m_NumA != 0) {
            // The slot of the oldest output, y[n - na], takes y[n] once the sum is done.
            LONG k = m_OutputIndex;
            for (LONG j = 1; j < m_NumA; ++j) {
                w -= m_A[j] * m_OutputHistory[k];
                k = (k == 0) ? m_NumA - 1 : k - 1;
            }
            m_OutputIndex = (m_OutputIndex + 1) % m_NumA;
            m_OutputHistory[m_OutputIndex] = w;
        }
        out[n] = w;
    }
}

CLinearPhaseIIR::CLinearPhaseIIR() {
    for (LONG i = 0; i < kBufferFloats; ++i) {
        m_History[i] = 0.0f;
        m_Reversed[i] = 0.0f;
        m_BackwardOut[i] = 0.0f;
    }
}

bool CLinearPhaseIIR::SetCoefficients(const float* b, LONG nb, const float* a, LONG na) {
    for (LONG i = 0; i < kBufferFloats; ++i) m_History[i] = 0.0f;
    const bool forwardSet = m_Forward.SetCoefficients(b, nb, a, na);
    const bool backwardSet = m_Backward.SetCoefficients(b, nb, a, na);
    return forwardSet && backwardSet;
}

void CLinearPhaseIIR::Process(float* out, const float* in, LONG len) {
    QVT_ASSERT(len <= (EachChannelSampleCntMax));
    const LONG span = kOverlap + len;
    CopyFloat(in, m_History + kOverlap, len);
    m_Forward.Process(nullptr, m_History + kOverlap, len);
    for (LONG i = 0; i < span; ++i) m_Reversed[i] = m_History[span - 1 - i];
    m_Backward.Process(m_BackwardOut, m_Reversed, span);
    for (LONG i = 0; i < len; ++i) out[i] = m_BackwardOut[span - 1 - i];
    MoveFloat(m_History + len, m_History, kOverlap);
}
