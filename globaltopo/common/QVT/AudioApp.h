// Block framework of the headphone virtualisation: gathers device-rate frames into fixed blocks,
// brings them to the 44100 Hz internal rate by an integer factor, runs the derived class's block
// process and brings the result back. The output is that of the previous block, one device-rate
// block of latency. Also the stereo down-mix used while the effect is off.
// Resident code: Process neither allocates nor blocks; no lock of its own.
#pragma once

#include <win/ntdef.h>

#include "globaltopo/common/QVT/QvtCommon.h"
#include "globaltopo/common/QVT/SRC.h"

// Planes 0 and 1 of out from the planes of in, each frame divided by divisor. out and in may be
// the same planes. One or two inputs are copied; six to eight inputs into two outputs are mixed
// (centre at 0.707, LFE to both sides, the rear pair of eight inputs added as well); any other
// case copies min(nIn, nOut) planes and zeroes the remaining outputs.
void DownmixToStereo(float* const* out, LONG nOut, float* const* in, LONG nIn, LONG frames, float divisor);

class CAudioApp {
public:
    static constexpr LONG kInternalRateHz = 44100;
    static constexpr LONG kInternalBlockFrames = 512;
    static constexpr LONG kMaxChannels = 8;

    CAudioApp();
    virtual ~CAudioApp();

    // Lays out the buffers for this device rate and channel counts and resets the block process.
    // Returns 1. A channel count outside 1..8, a rate whose device-rate block is empty or longer
    // than EachChannelSampleCntMax frames (above 132299 Hz, below 86 Hz), or a failed allocation
    // leaves the application unconfigured (IsConfigured false, nothing allocated), which Process
    // then leaves untouched.
    LONG Configure(LONG rateHz, LONG inChannels, LONG outChannels, LONG maxFrames);
    // Runs `frames` frames; in and out may be the same planes (each chunk is read before it is
    // written). Answers the number of blocks completed during the call.
    LONG Process(float* const* out, LONG nOut, float* const* in, LONG nIn, LONG frames);
    void FreeBuffers();

    bool IsConfigured() const { return m_Configured != 0; }
    LONG RealDataLen() const { return m_nRealDataLen; }
    LONG SrcFactor() const { return m_nSrcFactor; }
    LONG Direction() const { return m_Direction; }

protected:
    // One internal block of m_nDataLen frames; the base does nothing.
    virtual void ProcessInternal(float** out, LONG nOut, float** in, LONG nIn, LONG len);
    // Clears the block process's state; the base does nothing.
    virtual void Reset();

private:
    bool AllocateBuffers();
    void ProcessBlock();

    LONG m_DeviceRateHz;
    LONG m_nRealDataLen;  // device-rate frames per block
    LONG m_InternalRateHz;
    LONG m_nDataLen;      // internal-rate frames per block
    LONG m_InChannels;
    LONG m_OutChannels;
    LONG m_MaxFrames;
    float m_Gain;
    LONG m_FillPosition;  // device-rate frames of the current block gathered so far
    float* m_DeviceIn[kMaxChannels];
    float* m_DeviceOut[kMaxChannels];
    LONG m_CallOut;       // planes taking part in the current call, within the configured counts
    LONG m_CallIn;
    LONG m_Direction;     // 1: device rate above 44100 Hz, -1: below, 0: equal
    LONG m_nSrcFactor;
    CSrc* m_Src[kMaxChannels];
    float* m_InternalIn[kMaxChannels];
    float* m_InternalOut[kMaxChannels];
    LONG m_Configured;
};
