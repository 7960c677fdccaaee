// 147:160 rate stage. The phase counts in steps of the output spacing on a grid of 1/147 (down) or
// 1/160 (up) input samples; the row of that phase interpolates between the newest inputs.
#include "driver/signal/DspSrc441To48.h"

#include "driver/signal/SrcTables441To48.h"

static_assert(CDspSrc441To48::kUpPhases == kSrc441To48UpPhases && CDspSrc441To48::kUpTaps == kSrc441To48UpTaps);
static_assert(CDspSrc441To48::kDownPhases == kSrc441To48DownPhases &&
              CDspSrc441To48::kDownTaps == kSrc441To48DownTaps);

namespace {

// Down: each output advances the input position by 160/147 = 1 + 13/147.
constexpr LONG kDownPhaseStep = 13;
// Up: each output advances it by 147/160.
constexpr LONG kUpPhaseStep = 147;

LONG SingleStateSize(LONG taps) {
    LONG size = 0;
    return (FirGetStateSize(taps, &size) == StatusOk) ? size : 0;
}

}  // namespace

// A stage processed before its first Reset must not index its delay lines with whatever the
// memory held.
CDspSrc441To48::CDspSrc441To48() : m_Phases{}, m_DelayLines{}, m_DelayIndex{} {}

LONG CDspSrc441To48::GetUpStateSize() { return SingleStateSize(kUpTaps); }
LONG CDspSrc441To48::GetDownStateSize() { return SingleStateSize(kDownTaps); }

void CDspSrc441To48::Reset() {
    m_FilterDirection = m_Direction;
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_Phases[c] = 0;
        ZeroFloat(m_DelayLines[c], kDelayFloats);
        m_DelayIndex[c] = 0;
    }
    ClearHistoryCounts();
}

bool CDspSrc441To48::Process(LONG channel, const float* input, LONG* pCount) {
    if (!CanProcess(channel, input, pCount)) {
        if (pCount != nullptr) *pCount = 0;
        return false;
    }
    return (m_FilterDirection != 0) ? ProcessUp(channel, input, pCount) : ProcessDown(channel, input, pCount);
}

void CDspSrc441To48::Push(LONG channel, float x, LONG taps) {
    LONG& index = m_DelayIndex[channel];
    m_DelayLines[channel][index] = x;
    m_DelayLines[channel][index + taps] = x;
    index = (index + 1 == taps) ? 0 : index + 1;
}

bool CDspSrc441To48::ProcessDown(LONG channel, const float* input, LONG* pCount) {
    const LONG n = *pCount;
    LONG taken = 0;
    LONG& phase = m_Phases[channel];
    LONG& count = m_HistoryCounts[channel];
    float* history = m_Histories[channel];
    while (count < m_HistoryCapacity) {
        // An input that falls between two outputs only enters the delay line.
        if (phase >= kDownPhases) {
            if (taken == n) break;
            Push(channel, input[taken++], kDownTaps);
            phase -= kDownPhases;
        }
        if (taken == n) break;
        FirFilterOneSample(input[taken++], history + count, g_Src441To48DownTaps[phase], kDownTaps,
                           m_DelayLines[channel], &m_DelayIndex[channel]);
        ++count;
        phase += kDownPhaseStep;
        if (phase >= kDownPhases && taken < n) {
            Push(channel, input[taken++], kDownTaps);
            phase -= kDownPhases;
        }
    }
    *pCount = taken;
    return true;
}

bool CDspSrc441To48::ProcessUp(LONG channel, const float* input, LONG* pCount) {
    const LONG n = *pCount;
    LONG taken = 0;
    LONG& phase = m_Phases[channel];
    LONG& count = m_HistoryCounts[channel];
    float* history = m_Histories[channel];
    while (count < m_HistoryCapacity && taken < n) {
        const LONG index = m_DelayIndex[channel];
        FirFilterOneSample(input[taken], history + count, g_Src441To48UpTaps[phase], kUpTaps, m_DelayLines[channel],
                           &m_DelayIndex[channel]);
        ++count;
        phase += kUpPhaseStep;
        if (phase >= kUpPhases) {
            phase -= kUpPhases;
            ++taken;
        } else {
            // The next output needs the same newest input: write it into the same slot again.
            m_DelayIndex[channel] = index;
        }
    }
    *pCount = taken;
    return true;
}
