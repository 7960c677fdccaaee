// Rate stage between the 44.1 kHz and 48 kHz families: 160/147 up (20 taps per phase) or 147/160
// down (24 taps per phase), one output at a time from a per-channel doubled delay line.
#pragma once

#include "driver/signal/DspSrcBase.h"

class CDspSrc441To48 : public CDspSrcBase {
public:
    static constexpr LONG kUpPhases = 160;    // outputs per 147 inputs
    static constexpr LONG kDownPhases = 147;  // outputs per 160 inputs
    static constexpr LONG kUpTaps = 20;
    static constexpr LONG kDownTaps = 24;

    // Starts as a Reset stage does: phases and delay indexes 0, delay lines silent.
    CDspSrc441To48();

    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG channel, const float* input, LONG* pCount) override;
    void Reset() override;

private:
    static constexpr LONG kDelayFloats = 2 * kDownTaps;

    bool ProcessUp(LONG channel, const float* input, LONG* pCount);
    bool ProcessDown(LONG channel, const float* input, LONG* pCount);
    // Writes x into the delay line without producing an output.
    void Push(LONG channel, float x, LONG taps);

    LONG m_Phases[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_DelayLines[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][kDelayFloats];
    LONG m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];  // write position, 0..taps-1
};
