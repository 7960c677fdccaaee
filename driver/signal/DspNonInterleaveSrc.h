// The conversion chain that runs on per-channel planes (the headphone effect's): rate, sample
// format and channel count may all differ between its in- and out-format.
#pragma once

#include "driver/signal/DspSrcChain.h"

class CDspNonInterleaveSrc : public CDspSrcChain {
public:
    CDspNonInterleaveSrc();
    ~CDspNonInterleaveSrc();

    // Creates the three rate stages and then the format stage ("DSPS"); false when already ready
    // or on an allocation failure, which leaves nothing allocated.
    bool Init();
    bool SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat);
    bool Reset();

    // Converts from inPlanes (one per in-format channel) into outPlanes (one per out-format
    // channel); each plane holds samples of its format's container width (16, 24 or 32 bits),
    // whatever the pointer type says. On return *pInFrames is the frames taken and *pOutFrames the
    // frames produced. A call either delivers output still pending from the last call and takes
    // no input, or takes input in chunks of at most 10 ms until the input or the output room is
    // used up. False, with both counts 0, when the chain has no usable format.
    bool Process(const float* const* inPlanes, LONG* pInFrames, float* const* outPlanes, LONG* pOutFrames);
    // Writes `frames` result frames of every out-format channel to outPlanes in the out-format.
    void FromFloat(float* const* outPlanes, LONG frames);

    // 0 when the formats are identical and data is copied, else 1 + the rate stages.
    LONG StageCount() const { return m_StageCount; }

private:
    void Destroy();
    void WriteResults(void* const* outPlanes, LONG frames);
    CDspSrcBase* LastStage() const { return m_Stages[m_StageCount - 1]; }
    // Channels whose histories the last stage holds (all of them are consumed alike).
    LONG LastStageChannels() const;
    void DropFromLastStage(LONG frames);
    // Passes every out channel's samples from each stage to the next.
    void RunRateStages();

    CDspFormatConvert* m_pBitDepthConvert;
    LONG m_StageCount;
};
