// Channel up- and down-mixing in place on float planes. Plane order is the wave format's: 0 front
// left, 1 front right, 2 centre, 3 LFE, 4 and 5 the first surround pair, 6 and 7 the second; a
// four-channel format keeps its rear pair in planes 2 and 3.
//
// Down-mix weights by the mode m: m = 0 gives a = 0.871, b = 0.49 with the surround pair entering
// left and right with opposite signs (a matrix-encoded mix); any other m gives the plain mix
// a = 1.0, b = 0.0. Centre and LFE enter with 0.707.
#pragma once

#include <win/mmreg.h>
#include <win/ntdef.h>

class CChannelConversion {
public:
    CChannelConversion();

    // False when already initialised.
    bool Init();
    // Both formats must be 32-bit IEEE float with 1..8 channels.
    bool SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat);
    // Maps the in-format's channel count to the out-format's over `frames` frames of planes. An
    // up-mix writes every plane up to the out count: planes that no input feeds become silence.
    bool Process(float* const* planes, LONG frames, UCHAR mode);

    const WAVEFORMATEXTENSIBLE& InFormat() const { return m_InFormat; }
    const WAVEFORMATEXTENSIBLE& OutFormat() const { return m_OutFormat; }

private:
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    UCHAR m_Initialised;
};

// The effect controls' variant: up-mixed planes are filled with 1e-12 rather than zero (keeping
// the filters that follow away from denormals), and a few down-mixes differ.
void ConvertChannelsInPlace(float* const* planes, LONG inChannels, LONG outChannels, LONG frames, UCHAR mode);
