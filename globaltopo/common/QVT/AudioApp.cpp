// Block framework of the headphone virtualisation and the stereo down-mix.
#include "globaltopo/common/QVT/AudioApp.h"

#include "driver/signal/SignalLibrary.h"

namespace {

constexpr float kCentreLevel = 0.707f;
// Added to every input sample so that the filters never meet denormal values.
constexpr float kDenormalOffset = 1e-10f;

LONG Smaller(LONG a, LONG b) { return a < b ? a : b; }
LONG Larger(LONG a, LONG b) { return a > b ? a : b; }

void CopyPlane(const float* src, float* dst, LONG frames) {
    if (src != dst && frames > 0) MoveFloat(src, dst, frames);
}

}  // namespace

void DownmixToStereo(float* const* out, LONG nOut, float* const* in, LONG nIn, LONG frames, float divisor) {
    if (frames < 1) return;
    if (nIn >= 6 && nIn <= 8 && nOut == 2) {
        // The surround formula needs planes 0..5; fewer inputs take the copy path below.
        const bool rear = (nIn == 8);
        for (LONG i = 0; i < frames; ++i) {
            const float centre = kCentreLevel * in[2][i];
            float left = (in[0][i] + centre + in[3][i] + in[4][i]) / divisor;
            float right = (in[1][i] + centre + in[3][i] + in[5][i]) / divisor;
            if (rear) {
                left += in[6][i] / divisor;
                right += in[7][i] / divisor;
            }
            out[0][i] = left;
            out[1][i] = right;
        }
        return;
    }
    const LONG copied = Smaller(nIn, nOut);
    for (LONG c = 0; c < copied; ++c) CopyPlane(in[c], out[c], frames);
    if (nIn <= 2) return;
    for (LONG c = copied; c < nOut; ++c) ZeroFloat(out[c], frames);
}

CAudioApp::CAudioApp() {
    m_DeviceRateHz = 0;
    m_nRealDataLen = 0;
    m_InternalRateHz = kInternalRateHz;
    m_nDataLen = kInternalBlockFrames;
    m_InChannels = 0;
    m_OutChannels = 0;
    m_MaxFrames = 0;
    m_Gain = 1.0f;
    m_FillPosition = 0;
    m_CallOut = 0;
    m_CallIn = 0;
    m_Direction = 0;
    m_nSrcFactor = 1;
    for (LONG c = 0; c < kMaxChannels; ++c) {
        m_DeviceIn[c] = nullptr;
        m_DeviceOut[c] = nullptr;
        m_Src[c] = nullptr;
        m_InternalIn[c] = nullptr;
        m_InternalOut[c] = nullptr;
    }
    m_Configured = 0;
}

CAudioApp::~CAudioApp() { FreeBuffers(); }

void CAudioApp::ProcessInternal(float**, LONG, float**, LONG, LONG) {}

void CAudioApp::Reset() {}

LONG CAudioApp::Configure(LONG rateHz, LONG inChannels, LONG outChannels, LONG maxFrames) {
    m_DeviceRateHz = rateHz;
    m_InChannels = inChannels;
    m_OutChannels = outChannels;
    m_MaxFrames = maxFrames;
    m_InternalRateHz = kInternalRateHz;
    m_nDataLen = kInternalBlockFrames;
    AllocateBuffers();
    Reset();
    return 1;
}

bool CAudioApp::AllocateBuffers() {
    FreeBuffers();
    if (m_DeviceRateHz < 1 || m_InChannels < 1 || m_InChannels > kMaxChannels || m_OutChannels < 1 ||
        m_OutChannels > kMaxChannels)
        return false;

    if (m_DeviceRateHz > m_InternalRateHz) {
        m_Direction = 1;
        m_nSrcFactor = m_DeviceRateHz / m_InternalRateHz;
        m_nRealDataLen = m_nDataLen * m_nSrcFactor;
    } else if (m_DeviceRateHz < m_InternalRateHz) {
        m_Direction = -1;
        m_nSrcFactor = m_InternalRateHz / m_DeviceRateHz;
        m_nRealDataLen = m_nDataLen / m_nSrcFactor;
    } else {
        m_Direction = 0;
        m_nSrcFactor = 1;
        m_nRealDataLen = m_nDataLen;
    }
    // The rate changers' filters hold EachChannelSampleCntMax frames per block (factor 1 or 2
    // above 44100 Hz); 176.4 and 192 kHz would make blocks of 2048. A rate so low that a block has
    // no frame at all could never complete one.
    if (m_nRealDataLen < 1 || m_nRealDataLen > EachChannelSampleCntMax) return false;

    // The block process may write as many internal planes as there are inputs, and the way back
    // runs one rate changer per output.
    const LONG planes = Larger(m_InChannels, m_OutChannels);
    bool ok = true;
    for (LONG c = 0; c < m_InChannels && ok; ++c) ok = (m_DeviceIn[c] = QvtAllocateFloats(m_nRealDataLen)) != nullptr;
    for (LONG c = 0; c < m_OutChannels && ok; ++c) ok = (m_DeviceOut[c] = QvtAllocateFloats(m_nRealDataLen)) != nullptr;
    for (LONG c = 0; c < planes && ok && m_Direction != 0; ++c) {
        m_Src[c] = QvtCreateObject<CSrc>();
        ok = m_Src[c] != nullptr;
        if (ok) m_Src[c]->Init(m_DeviceRateHz, m_InternalRateHz);
    }
    for (LONG c = 0; c < planes && ok; ++c) {
        ok = (m_InternalIn[c] = QvtAllocateFloats(m_nDataLen)) != nullptr &&
             (m_InternalOut[c] = QvtAllocateFloats(m_nDataLen)) != nullptr;
    }
    m_FillPosition = 0;
    if (!ok) {
        FreeBuffers();
        return false;
    }
    m_Configured = 1;
    return true;
}

void CAudioApp::FreeBuffers() {
    m_Configured = 0;
    for (LONG c = 0; c < kMaxChannels; ++c) {
        QvtFree(m_DeviceIn[c]);
        QvtFree(m_DeviceOut[c]);
        QvtDestroyObject(m_Src[c]);
        QvtFree(m_InternalIn[c]);
        QvtFree(m_InternalOut[c]);
    }
}

LONG CAudioApp::Process(float* const* out, LONG nOut, float* const* in, LONG nIn, LONG frames) {
    if (m_Configured == 0) return 0;
    m_CallOut = Smaller(nOut, m_OutChannels);
    m_CallIn = Smaller(nIn, m_InChannels);
    const float offset = m_Gain * kDenormalOffset;
    LONG done = 0;
    LONG blocks = 0;
    while (done < frames) {
        const LONG chunk = Smaller(frames - done, m_nRealDataLen - m_FillPosition);
        for (LONG c = 0; c < m_CallIn; ++c) {
            float* dst = m_DeviceIn[c] + m_FillPosition;
            const float* src = in[c] + done;
            for (LONG i = 0; i < chunk; ++i) dst[i] = src[i] + offset;
        }
        for (LONG c = 0; c < m_CallOut; ++c) CopyFloat(m_DeviceOut[c] + m_FillPosition, out[c] + done, chunk);
        m_FillPosition += chunk;
        done += chunk;
        if (m_FillPosition == m_nRealDataLen) {
            ProcessBlock();
            m_FillPosition = 0;
            ++blocks;
        }
    }
    return blocks;
}

void CAudioApp::ProcessBlock() {
    for (LONG c = 0; c < m_CallIn; ++c) {
        if (m_Direction == 0)
            CopyFloat(m_DeviceIn[c], m_InternalIn[c], m_nDataLen);
        else if (m_Direction > 0)
            m_Src[c]->Downsample(m_InternalIn[c], m_DeviceIn[c], m_nRealDataLen);
        else
            m_Src[c]->Upsample(m_InternalIn[c], m_DeviceIn[c], m_nRealDataLen);
    }
    ProcessInternal(m_InternalOut, m_CallOut, m_InternalIn, m_CallIn, m_nDataLen);
    for (LONG c = 0; c < m_CallOut; ++c) {
        if (m_Direction == 0)
            CopyFloat(m_InternalOut[c], m_DeviceOut[c], m_nDataLen);
        else if (m_Direction > 0)
            m_Src[c]->Upsample(m_DeviceOut[c], m_InternalOut[c], m_nDataLen);
        else
            m_Src[c]->Downsample(m_DeviceOut[c], m_InternalOut[c], m_nDataLen);
    }
}
