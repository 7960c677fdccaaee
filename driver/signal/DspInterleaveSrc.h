// The wave stream's conversion chain: built, given formats and reset by its owner, never asked to
// process data. In and out channel counts must match.
#pragma once

#include "driver/signal/DspSrcChain.h"

class CDspInterleaveSrc : public CDspSrcChain {
public:
    static constexpr LONG kWorkBufferFloats = 30720;  // 122,880 bytes

    CDspInterleaveSrc();
    ~CDspInterleaveSrc();

    // Creates the format stage, the three rate stages and the work buffer ("DSPS"); false when
    // already ready or on an allocation failure, which leaves nothing allocated.
    bool Init();
    bool SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat);
    bool Reset();

private:
    void Destroy();

    CDspFormatConvert* m_pSplit;
    float* m_WorkBuffer;
};
