// The float formats the W4M3 effect controls derive from a stream's format.
#pragma once

#include <win/ksmedia.h>
#include <win/mmreg.h>

// Format as 32-bit IEEE float with Channels channels at Rate Hz: an extensible record keeps its
// layout with the IEEE float sub-format and 32 valid bits, any other becomes tag 3.
inline WAVEFORMATEXTENSIBLE W4M3FloatFormat(const WAVEFORMATEXTENSIBLE& Format, WORD Channels, DWORD Rate) {
    WAVEFORMATEXTENSIBLE result = Format;
    if (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        result.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        result.Samples.wValidBitsPerSample = 32;
    } else {
        result.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    }
    result.Format.nChannels = Channels;
    result.Format.nSamplesPerSec = Rate;
    result.Format.wBitsPerSample = 32;
    result.Format.nBlockAlign = static_cast<WORD>(Channels * 4u);
    result.Format.nAvgBytesPerSec = Rate * result.Format.nBlockAlign;
    return result;
}
