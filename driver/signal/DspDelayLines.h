// Two-channel room simulation of a 5.1 or 7.1 input: a feedback network of four delay lines fed
// through a high-pass filter, mid/side shaping filters per channel pair, three-tap output filters
// and a quantiser to the 16-bit grid. All history lives in one ring of floats inside the object;
// every delayed value is read a fixed distance behind one moving write position. Resident code:
// Process runs sample by sample and neither allocates nor blocks; no lock of its own, the owner
// serialises SetFormat, Process and Reset.
#pragma once

#include <win/ntdef.h>

// Pool tag of the delay effect's objects as it reads in a pool dump: "DoHP".
constexpr ULONG DspDelayTag = 'PHoD';

class CDspDelayLines {
public:
    static constexpr LONG kInputs = 8;
    static constexpr LONG kOutputs = 2;
    static constexpr LONG kMemoryFloats = 7156;  // the longest ring (96 kHz) needs 7155

    // A zero-filled object from non-paged pool (tag "DoHP"), initialised; null on failure.
    static CDspDelayLines* Create();
    // Frees an object from Create and nulls the pointer; null does nothing.
    static void Destroy(CDspDelayLines*& lines);

    // Nothing: all state comes from Init.
    CDspDelayLines() {}
    CDspDelayLines(const CDspDelayLines&) = delete;
    CDspDelayLines& operator=(const CDspDelayLines&) = delete;

    // 48 kHz, channel code 0 (silent input), history cleared.
    void Init();
    // Records a request for the rate in Hz and the channel code (channel count - 1); the next
    // Process applies it. A rate without its own parameters runs with the 44.1 kHz set.
    void SetFormat(LONG rateHz, ULONG channelCode);
    // Applies a pending request, then runs `frames` frames from the input planes into the two
    // output planes. Channel code 7 reads inputs 0..7, code 5 inputs 0..5; any other code feeds
    // silence and needs no input planes. An output plane may be input plane 0 or 1. Missing
    // planes or a frame count below 1 leave the outputs and the history untouched.
    void Process(const float* const* inputs, float* const* outputs, LONG frames);
    // Clears the history of the current format; the format and any pending request stay.
    void Reset();

    LONG RateIndex() const { return m_CurrentRateIndex; }
    LONG ChannelCode() const { return m_CurrentChannelCode; }
    LONG MemoryLength() const { return m_MemoryLength; }
    // The ring, MemoryLength() floats.
    const float* Memory() const { return m_MemoryStart; }

private:
    void ApplyPendingFormat();

    LONG m_CurrentRateIndex;
    LONG m_CurrentChannelCode;
    LONG m_RequestedRateIndex;
    LONG m_RequestedChannelCode;
    LONG m_MemoryLength;     // floats of the ring in use
    float* m_MemoryStart;    // first float of m_Memory
    float* m_WritePosition;  // ring slot of the current sample
    float m_Memory[kMemoryFloats];
};
