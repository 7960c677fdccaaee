// Stage base (buffers, histories) and the ratio-2 and ratio-4 stages.
#include "driver/signal/DspSrcBase.h"

CDspSrcBase::CDspSrcBase() {
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_UpStates[c] = nullptr;
        m_DownStates[c] = nullptr;
        m_FilterStates[c] = nullptr;
        m_Histories[c] = nullptr;
        m_HistoryCounts[c] = 0;
    }
    m_HistoryCapacity = 0;
    m_Direction = 0;
    m_Allocated = 0;
    m_FilterDirection = 0;
}

CDspSrcBase::~CDspSrcBase() { FreeBuffers(); }

LONG CDspSrcBase::GetUpStateSize() { return 0; }
LONG CDspSrcBase::GetDownStateSize() { return 0; }

bool CDspSrcBase::Process(LONG, const float*, LONG* pCount) {
    if (pCount != nullptr) *pCount = 0;
    return false;
}

void CDspSrcBase::Reset() { ClearHistoryCounts(); }

void CDspSrcBase::ClearHistoryCounts() {
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) m_HistoryCounts[c] = 0;
}

void CDspSrcBase::FreeBuffers() {
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        DspFree(m_Histories[c], DspSrcBufferTag);
        DspFree(m_UpStates[c], DspSrcBufferTag);
        DspFree(m_DownStates[c], DspSrcBufferTag);
        m_FilterStates[c] = nullptr;
        m_HistoryCounts[c] = 0;
    }
    m_Allocated = 0;
}

bool CDspSrcBase::Init() {
    if (m_Allocated != 0) return false;
    const LONG upBytes = GetUpStateSize();
    const LONG downBytes = GetDownStateSize();
    if (upBytes <= 0 || downBytes <= 0) return false;
    m_HistoryCapacity = kHistoryCapacity;
    // Only what is missing is allocated, and a failure frees everything: nothing stays behind
    // and a retry starts clean.
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (m_DownStates[c] == nullptr) m_DownStates[c] = static_cast<PUCHAR>(DspAllocate(downBytes, DspSrcBufferTag));
        if (m_UpStates[c] == nullptr) m_UpStates[c] = static_cast<PUCHAR>(DspAllocate(upBytes, DspSrcBufferTag));
        if (m_Histories[c] == nullptr)
            m_Histories[c] = static_cast<float*>(DspAllocate(kHistoryCapacity * sizeof(float), DspSrcBufferTag));
        if (m_DownStates[c] == nullptr || m_UpStates[c] == nullptr || m_Histories[c] == nullptr) {
            FreeBuffers();
            return false;
        }
        // Pool comes back with whatever it held; a history read past its count must be silence.
        ZeroFloat(m_Histories[c], kHistoryCapacity);
    }
    m_Allocated = 1;
    return true;
}

bool CDspSrcBase::ConsumeHistory(LONG channel, LONG n) {
    if (!ValidChannel(channel) || n < 0 || n > m_HistoryCounts[channel]) return false;
    const LONG remaining = m_HistoryCounts[channel] - n;
    if (remaining > 0 && n > 0) MoveFloat(m_Histories[channel] + n, m_Histories[channel], remaining);
    m_HistoryCounts[channel] = remaining;
    return true;
}

bool CDspSrcBase::CanProcess(LONG channel, const float* input, const LONG* pCount) const {
    return m_Allocated != 0 && ValidChannel(channel) && input != nullptr && pCount != nullptr && *pCount >= 0;
}

void CDspSrcBase::ResetRatio(const float* taps, LONG tapsLen, LONG factor) {
    m_FilterDirection = m_Direction;
    if (m_Allocated != 0) {
        for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
            m_FilterStates[c] = nullptr;
            if (m_Direction != 0) {
                FirMultirateInitState(&m_FilterStates[c], taps, tapsLen, factor, 0, 1, 0, nullptr, m_UpStates[c]);
            } else {
                FirMultirateInitState(&m_FilterStates[c], taps, tapsLen, 1, 0, factor, 0, nullptr, m_DownStates[c]);
            }
        }
    }
    ClearHistoryCounts();
}

bool CDspSrcBase::ProcessRatio(LONG channel, const float* input, LONG* pCount, LONG factor) {
    if (!CanProcess(channel, input, pCount) || m_FilterStates[channel] == nullptr) {
        if (pCount != nullptr) *pCount = 0;
        return false;
    }
    float* history = m_Histories[channel];
    LONG& count = m_HistoryCounts[channel];
    LONG n = *pCount;
    LONG taken = 0;
    if (m_FilterDirection == 0) {
        // Each iteration takes `factor` inputs for one output; at most factor - 1 stay untaken.
        while (n >= factor && m_HistoryCapacity - count > 0) {
            const LONG room = m_HistoryCapacity - count;
            const LONG k = (room < n / factor) ? room : n / factor;
            FirFilterBlock(input + taken, history + count, k, m_FilterStates[channel]);
            taken += factor * k;
            n -= factor * k;
            count += k;
        }
    } else {
        // Each iteration takes one input for `factor` outputs, which the zero stuffing leaves at
        // 1/factor of the level.
        while (n > 0 && m_HistoryCapacity - count >= factor) {
            const LONG room = m_HistoryCapacity - count;
            const LONG k = (factor * n <= room) ? n : room / factor;
            FirFilterBlock(input + taken, history + count, k, m_FilterStates[channel]);
            MulConstFloatInPlace(static_cast<float>(factor), history + count, factor * k);
            taken += k;
            n -= k;
            count += factor * k;
        }
    }
    *pCount = taken;
    return true;
}

namespace {

LONG MultirateStateSize(LONG taps, LONG up, LONG down) {
    LONG size = 0;
    return (FirMultirateGetStateSize(taps, up, down, &size) == StatusOk) ? size : 0;
}

}  // namespace

LONG CDspSrcX2::GetUpStateSize() { return MultirateStateSize(kTaps, kFactor, 1); }
LONG CDspSrcX2::GetDownStateSize() { return MultirateStateSize(kTaps, 1, kFactor); }
bool CDspSrcX2::Process(LONG channel, const float* input, LONG* pCount) {
    return ProcessRatio(channel, input, pCount, kFactor);
}
void CDspSrcX2::Reset() { ResetRatio(Taps, kTaps, kFactor); }

LONG CDspSrcX4::GetUpStateSize() { return MultirateStateSize(kTaps, kFactor, 1); }
LONG CDspSrcX4::GetDownStateSize() { return MultirateStateSize(kTaps, 1, kFactor); }
bool CDspSrcX4::Process(LONG channel, const float* input, LONG* pCount) {
    return ProcessRatio(channel, input, pCount, kFactor);
}
void CDspSrcX4::Reset() { ResetRatio(Taps, kTaps, kFactor); }
