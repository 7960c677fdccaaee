// Integer-factor rate changer of one channel: a forward-backward low-pass around decimation or
// zero-stuffing. Resident code: no allocation after construction, no lock of its own.
#pragma once

#include <win/ntdef.h>

#include "globaltopo/common/QVT/LinearPhaseIIR.h"
#include "globaltopo/common/QVT/QvtCommon.h"

class CSrc {
public:
    static constexpr LONG kWorkFloats = EachChannelSampleCntMax * 4;

    CSrc();

    // Rates in Hz; derives the direction and factor and sets both filters for that factor.
    void Init(LONG outputRateHz, LONG inputRateHz);

    // Low-pass len samples and keep every factor-th: len / factor samples into out.
    void Downsample(float* out, const float* in, LONG len);
    // Zero-stuff len samples to len x factor, low-pass them and restore the level: len x factor
    // samples into out.
    void Upsample(float* out, const float* in, LONG len);

    LONG Factor() const { return m_nSrcFactor; }
    LONG Direction() const { return m_Direction; }

private:
    LONG m_OutputRateHz;
    LONG m_InputRateHz;
    LONG m_Direction;  // 1: input rate above output rate, -1: below, 0: equal
    LONG m_nSrcFactor;
    CLinearPhaseIIR m_DownFilter;
    CLinearPhaseIIR m_UpFilter;
    float m_Work[kWorkFloats];
};
