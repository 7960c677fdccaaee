// The format stage that heads every conversion chain: turns the chain's PCM or float input planes
// into float samples in its per-channel histories, at most 10 ms per call, then adapts the channel
// count in place.
#pragma once

#include "driver/signal/ChannelConversion.h"
#include "driver/signal/DspSrcBase.h"

class CDspFormatConvert : public CDspSrcBase {
public:
    CDspFormatConvert();
    ~CDspFormatConvert();

    // Token state buffers only: the stage works in its histories.
    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;

    // Creates the channel conversion ("DSPS"), then the base buffers. A failure leaves nothing
    // allocated.
    bool Init();
    // Keeps both formats; the channel conversion sees them as 32-bit float.
    bool SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat);
    // Converts up to *pFrames frames (cut to 10 ms minus what the histories hold) of inPlanes,
    // whose samples are laid out as inFormat says, appends them to the histories and mixes the
    // new frames to the out-format's channel count. *pFrames becomes the frames taken.
    void ToFloat(const void* const* inPlanes, LONG* pFrames, const WAVEFORMATEXTENSIBLE& inFormat);

    // Channels whose histories the stage fills: the larger of the in and out counts (the mixes
    // work in place across all of them).
    LONG HeldChannels() const;

private:
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CChannelConversion* m_pChannelConversion;
};
