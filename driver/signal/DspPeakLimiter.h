// Eight-channel look-ahead peak limiter with make-up gain, in place on float channel planes.
// Works in blocks of 128 frames with one block of look-ahead: input frame p leaves as output
// frame p + 256. All channels follow the smallest channel target, so a peak in one channel lowers
// every channel alike. Resident code: Process neither allocates nor blocks; no lock of its own.
#pragma once

#include <win/mmreg.h>
#include <win/ntdef.h>

class CDspPeakLimiter {
public:
    static constexpr LONG kBlockFrames = 128;
    static constexpr LONG kLatencyFrames = 2 * kBlockFrames;
    static constexpr LONG kChannels = 8;
    static constexpr LONG kHistoryBlocks = 200;
    static constexpr LONG kHoldBlocks = 20;  // 2560 frames

    CDspPeakLimiter();

    // Allocates the 16 block buffers (tag "DSPs"); true at once when already initialised. On an
    // allocation failure frees what it holds and answers false.
    bool Init();
    void SetMode(LONG mode);
    // Linear make-up gain of every channel.
    void SetGain(float gain);
    // Linear output ceiling.
    void SetCeiling(float ceiling);
    // Resets and keeps a copy of the format; a format with 0 or more than 8 channels leaves the
    // limiter unconfigured, and Process then leaves the planes untouched.
    void SetFormat(const WAVEFORMATEXTENSIBLE& format);
    // Limits `frames` frames in place; planes holds one pointer per format channel.
    void Process(float* const* planes, ULONG frames);
    // Silence in the pipeline, hold history cleared; gains and ceiling stay.
    void Reset();
    // Frees the buffers; Init may run again afterwards.
    void FreeBuffers();

    bool IsInitialised() const { return m_Initialised != 0; }
    float CurrentGain(LONG channel) const { return m_CurrentGains[channel]; }

private:
    LONG ConfiguredChannels() const;
    void BlockStep(LONG channels);
    float ChannelTarget(LONG channel, const float* block);

    WAVEFORMATEXTENSIBLE m_Format;
    float* m_InputBuffers[kChannels];   // 2 x 128 frames each: gathering half and previous block
    float* m_OutputBuffers[kChannels];  // 2 x 128 frames each: delivering half and gain-pass half
    LONG m_Half;                        // input into half 1 - h, output from half h
    LONG m_InputPosition;               // frames, 0..127
    LONG m_OutputPosition;              // frames, 0..127; equals the input position
    float m_Gains[kChannels];
    float m_CurrentGains[kChannels];
    float m_TargetGains[kChannels];
    float m_HeldPeaks[kChannels];
    float m_PeakHistory[kChannels][kHistoryBlocks];
    float m_Ceiling;
    LONG m_HistoryIndex;  // ring slot of the newest block, 0..199
    LONG m_Mode;
    LONG m_FastRamp[kChannels];  // 1: the next rise completes within one block
    LONG m_Initialised;
};
