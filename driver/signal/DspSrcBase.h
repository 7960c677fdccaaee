// Rate-conversion stages of the conversion chains. Each stage converts up to eight channels by a
// fixed ratio and appends its output to a per-channel float history, from which the next stage or
// the chain's output step takes it.
#pragma once

#include <win/ntdef.h>

#include "driver/signal/DspCommon.h"
#include "driver/signal/SignalLibrary.h"

class CDspSrcBase {
public:
    static constexpr LONG kHistoryCapacity = 7680;  // floats per channel: 40 ms at 192 kHz

    CDspSrcBase();
    // Not virtual: stages are destroyed as their own class (the chain knows each one), never
    // through a base pointer, and kernel code has no delete.
    ~CDspSrcBase();
    CDspSrcBase(const CDspSrcBase&) = delete;
    CDspSrcBase& operator=(const CDspSrcBase&) = delete;

    // Bytes of one channel's filter state for each direction; 0 means the stage cannot run.
    virtual LONG GetUpStateSize();
    virtual LONG GetDownStateSize();
    // Takes up to *pCount input samples of the channel, appends the output to its history as far
    // as there is room, and sets *pCount to the inputs taken.
    virtual bool Process(LONG channel, const float* input, LONG* pCount);
    // Restarts the filters of the current direction and empties the histories.
    virtual void Reset();

    // Allocates the state buffers and histories ("SRCX"), the histories zeroed; false when already
    // allocated, when a size is 0, or on an allocation failure, which leaves nothing allocated.
    bool Init();
    // Drops the oldest n samples of the channel's history; false (and nothing changes) when n is
    // negative or more than the history holds.
    bool ConsumeHistory(LONG channel, LONG n);

    float* History(LONG channel) const { return m_Histories[channel]; }
    LONG HistoryCount(LONG channel) const { return m_HistoryCounts[channel]; }
    // 0 down (the output rate is the lower), 1 up; takes effect with the next Reset.
    void SetDirection(UCHAR direction) { m_Direction = direction; }
    UCHAR Direction() const { return m_Direction; }
    bool IsAllocated() const { return m_Allocated != 0; }

protected:
    static bool ValidChannel(LONG channel) { return channel >= 0 && channel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; }
    bool CanProcess(LONG channel, const float* input, const LONG* pCount) const;
    void ClearHistoryCounts();
    void FreeBuffers();
    // The ratio stages: lay out one multi-rate filter per channel, and run it.
    void ResetRatio(const float* taps, LONG tapsLen, LONG factor);
    bool ProcessRatio(LONG channel, const float* input, LONG* pCount, LONG factor);

    PUCHAR m_UpStates[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    PUCHAR m_DownStates[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    FirState* m_FilterStates[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_Histories[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    LONG m_HistoryCounts[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];  // valid samples from the start
    LONG m_HistoryCapacity;
    UCHAR m_Direction;
    UCHAR m_Allocated;
    UCHAR m_FilterDirection;  // the direction the filters were laid out for at the last Reset
};

// Ratio 2, up or down: a symmetric 66-tap low-pass run as a multi-rate filter.
class CDspSrcX2 : public CDspSrcBase {
public:
    static constexpr LONG kFactor = 2;
    static constexpr LONG kTaps = 66;
    static const float Taps[kTaps];

    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG channel, const float* input, LONG* pCount) override;
    void Reset() override;
};

// Ratio 4, up or down: a symmetric 132-tap low-pass run as a multi-rate filter.
class CDspSrcX4 : public CDspSrcBase {
public:
    static constexpr LONG kFactor = 4;
    static constexpr LONG kTaps = 132;
    static const float Taps[kTaps];

    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG channel, const float* input, LONG* pCount) override;
    void Reset() override;
};
