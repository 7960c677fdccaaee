// Format stage: PCM or float planes to float histories, then the channel mix.
#include "driver/signal/DspFormatConvert.h"

namespace {

// The same format as 32-bit IEEE float, unless it already is float.
WAVEFORMATEXTENSIBLE AsFloat(WAVEFORMATEXTENSIBLE format) {
    if (DspResolvedTag(format) != WAVE_FORMAT_IEEE_FLOAT) {
        format.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        format.Format.wBitsPerSample = 32;
        format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * 4);
        format.Format.nAvgBytesPerSec = format.Format.nSamplesPerSec * format.Format.nBlockAlign;
    }
    return format;
}

}  // namespace

CDspFormatConvert::CDspFormatConvert() : m_InFormat{}, m_OutFormat{}, m_pChannelConversion(nullptr) {}

CDspFormatConvert::~CDspFormatConvert() { DspDestroyObject(m_pChannelConversion); }

LONG CDspFormatConvert::GetUpStateSize() { return 4; }
LONG CDspFormatConvert::GetDownStateSize() { return 4; }

bool CDspFormatConvert::Init() {
    if (m_Allocated != 0) return false;
    if (m_pChannelConversion == nullptr) {
        m_pChannelConversion = DspCreateObject<CChannelConversion>();
        if (m_pChannelConversion == nullptr) return false;
        m_pChannelConversion->Init();
    }
    if (!CDspSrcBase::Init()) {
        DspDestroyObject(m_pChannelConversion);
        return false;
    }
    return true;
}

bool CDspFormatConvert::SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat) {
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    if (m_pChannelConversion == nullptr) return false;
    return m_pChannelConversion->SetFormat(AsFloat(inFormat), AsFloat(outFormat));
}

LONG CDspFormatConvert::HeldChannels() const {
    const LONG in = m_InFormat.Format.nChannels, out = m_OutFormat.Format.nChannels;
    const LONG held = (in > out) ? in : out;
    return (held > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) ? MAX_SOFTWARE_DSP_PROCESS_CHANNELS : held;
}

void CDspFormatConvert::ToFloat(const void* const* inPlanes, LONG* pFrames, const WAVEFORMATEXTENSIBLE& inFormat) {
    if (pFrames == nullptr) return;
    if (m_Allocated == 0 || inPlanes == nullptr || m_pChannelConversion == nullptr || *pFrames < 0) {
        *pFrames = 0;
        return;
    }
    // A chunk never exceeds 10 ms, counting what the histories still hold.
    LONG limit = static_cast<LONG>(inFormat.Format.nSamplesPerSec / 100) - m_HistoryCounts[0];
    if (limit < 0) limit = 0;
    if (limit > m_HistoryCapacity - m_HistoryCounts[0]) limit = m_HistoryCapacity - m_HistoryCounts[0];
    if (*pFrames > limit) *pFrames = limit;
    const LONG n = *pFrames;
    if (n == 0) return;

    const LONG inChannels = inFormat.Format.nChannels;
    if (inChannels < 1 || inChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        *pFrames = 0;
        return;
    }
    for (LONG c = 0; c < inChannels; ++c) {
        if (inPlanes[c] == nullptr) {
            *pFrames = 0;
            return;
        }
    }
    const WORD tag = DspResolvedTag(inFormat);
    const WORD bits = inFormat.Format.wBitsPerSample;
    float* newFrames[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) newFrames[c] = m_Histories[c] + m_HistoryCounts[0];
    for (LONG c = 0; c < inChannels; ++c) {
        float* dst = newFrames[c];
        if (tag == WAVE_FORMAT_PCM && bits == 16) {
            ConvertInt16ToFloat(static_cast<const SHORT*>(inPlanes[c]), dst, n, 15);
        } else if (tag == WAVE_FORMAT_PCM && bits == 24) {
            ConvertInt24ToFloat(static_cast<const UCHAR*>(inPlanes[c]), dst, n);
            DivConstFloatInPlace(8388608.0f, dst, n);
        } else if (tag == WAVE_FORMAT_PCM && bits == 32) {
            ConvertInt32ToFloatScaled(static_cast<const LONG*>(inPlanes[c]), dst, n, 31);
        } else if (tag == WAVE_FORMAT_IEEE_FLOAT && bits == 32) {
            RtlCopyMemory(dst, inPlanes[c], static_cast<SIZE_T>(n) * sizeof(float));
        } else {
            ZeroFloat(dst, n);
        }
    }
    // Every held channel grows alike; the mix fills the ones the in-format lacks. Only the new
    // frames are mixed: samples already in the histories were mixed when they arrived.
    const LONG start = m_HistoryCounts[0];
    for (LONG c = 0; c < HeldChannels(); ++c) m_HistoryCounts[c] = start + n;
    m_pChannelConversion->Process(newFrames, n, 0);
}
