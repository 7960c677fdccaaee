// The plane-based conversion chain and its data path.
//
// Decisions where the chain's rules leave a choice:
// - In and out channel counts may differ. The format stage keeps counts for max(in, out) channels
//   (its mixes work in place across all of them); the rate stages run on the out channels only,
//   and the format stage's extra channels of a down-mix are consumed alongside, so every history
//   count stays aligned with channel 0 and nothing piles up.
// - Planes hold samples of their format's container width: 2, 3 or 4 bytes. Identical formats
//   copy frames x that width per channel.
// - After a failed SetFormat (or before any) the chain passes nothing: Process answers false with
//   both counts 0, rather than running stages set up for formats that no longer apply.
#include "driver/signal/DspNonInterleaveSrc.h"

namespace {

LONG BytesPerSample(const WAVEFORMATEXTENSIBLE& format) { return format.Format.wBitsPerSample / 8; }

}  // namespace

CDspNonInterleaveSrc::CDspNonInterleaveSrc() : m_pBitDepthConvert(nullptr), m_StageCount(0) {}

CDspNonInterleaveSrc::~CDspNonInterleaveSrc() { Destroy(); }

void CDspNonInterleaveSrc::Destroy() {
    for (LONG i = 0; i < kMaxStages; ++i) m_Stages[i] = nullptr;
    m_StageCount = 0;
    DspDestroyObject(m_pBitDepthConvert);
    DestroyRateStages();
    m_Ready = 0;
    m_FormatValid = 0;
}

bool CDspNonInterleaveSrc::Init() {
    if (m_Ready != 0) return false;
    bool ok = CreateRateStages();
    if (ok) {
        m_pBitDepthConvert = DspCreateObject<CDspFormatConvert>();
        ok = m_pBitDepthConvert != nullptr && m_pBitDepthConvert->Init();
    }
    if (!ok) {
        Destroy();
        return false;
    }
    m_Ready = 1;
    return true;
}

bool CDspNonInterleaveSrc::SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat) {
    m_StageCount = 0;
    const LONG stages = ApplyFormat(inFormat, outFormat, m_pBitDepthConvert, "CDspNonInterleaveSrc::SetFormat",
                                    "%s m_pBitDepthConvert->SetFormat False\n", false, true);
    if (stages < 0) return false;
    m_StageCount = stages;
    return true;
}

bool CDspNonInterleaveSrc::Reset() { return ResetStages(m_pBitDepthConvert); }

LONG CDspNonInterleaveSrc::LastStageChannels() const {
    return (m_StageCount == 1) ? m_pBitDepthConvert->HeldChannels() : m_OutFormat.Format.nChannels;
}

void CDspNonInterleaveSrc::DropFromLastStage(LONG frames) {
    CDspSrcBase* last = LastStage();
    for (LONG c = 0; c < LastStageChannels(); ++c) last->ConsumeHistory(c, frames);
}

void CDspNonInterleaveSrc::FromFloat(float* const* outPlanes, LONG frames) {
    if (outPlanes == nullptr) return;
    void* planes[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    for (LONG c = 0; c < m_OutFormat.Format.nChannels && c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) planes[c] = outPlanes[c];
    WriteResults(planes, frames);
}

void CDspNonInterleaveSrc::WriteResults(void* const* outPlanes, LONG frames) {
    if (frames <= 0 || m_FormatValid == 0) return;
    const WORD tag = DspResolvedTag(m_OutFormat);
    const WORD bits = m_OutFormat.Format.wBitsPerSample;
    for (LONG c = 0; c < m_OutFormat.Format.nChannels; ++c) {
        const float* result = m_ResultPlanes[c];
        void* out = outPlanes[c];
        if (result == nullptr || out == nullptr) continue;
        if (tag == WAVE_FORMAT_IEEE_FLOAT) {
            RtlCopyMemory(out, result, static_cast<SIZE_T>(frames) * sizeof(float));
        } else if (bits == 16) {
            ConvertFloatToInt16(result, static_cast<SHORT*>(out), frames, 0, -15);
        } else if (bits == 24) {
            ConvertFloatToInt24(result, static_cast<UCHAR*>(out), frames, -23);
        } else {
            ConvertFloatToInt32(result, static_cast<LONG*>(out), frames, 0, -31);
        }
    }
}

void CDspNonInterleaveSrc::RunRateStages() {
    const LONG outChannels = m_OutFormat.Format.nChannels;
    for (LONG c = 0; c < outChannels; ++c) {
        for (LONG s = 0; s + 1 < m_StageCount; ++s) {
            CDspSrcBase* earlier = m_Stages[s];
            LONG count = earlier->HistoryCount(c);
            m_Stages[s + 1]->Process(c, earlier->History(c), &count);
            earlier->ConsumeHistory(c, count);
        }
    }
    // A down-mix leaves channels in the format stage that no rate stage reads: drop them by what
    // channel 0 gave away.
    for (LONG c = outChannels; c < m_pBitDepthConvert->HeldChannels(); ++c) {
        m_pBitDepthConvert->ConsumeHistory(c, m_pBitDepthConvert->HistoryCount(c) - m_pBitDepthConvert->HistoryCount(0));
    }
}

bool CDspNonInterleaveSrc::Process(const float* const* inPlanes, LONG* pInFrames, float* const* outPlanes,
                                   LONG* pOutFrames) {
    if (pInFrames == nullptr || pOutFrames == nullptr) return false;
    const LONG inChannels = m_InFormat.Format.nChannels, outChannels = m_OutFormat.Format.nChannels;
    bool usable = m_Ready != 0 && m_FormatValid != 0 && inPlanes != nullptr && outPlanes != nullptr &&
                  *pInFrames >= 0 && *pOutFrames >= 0;
    for (LONG c = 0; usable && c < inChannels; ++c) usable = inPlanes[c] != nullptr;
    for (LONG c = 0; usable && c < outChannels; ++c) usable = outPlanes[c] != nullptr;
    if (!usable) {
        *pInFrames = 0;
        *pOutFrames = 0;
        return false;
    }

    // Local cursors over the caller's planes.
    const void* in[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    void* out[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    for (LONG c = 0; c < inChannels; ++c) in[c] = inPlanes[c];
    for (LONG c = 0; c < outChannels; ++c) out[c] = outPlanes[c];
    const LONG inBytes = BytesPerSample(m_InFormat), outBytes = BytesPerSample(m_OutFormat);

    if (m_StageCount == 0) {
        const LONG n = (*pInFrames < *pOutFrames) ? *pInFrames : *pOutFrames;
        for (LONG c = 0; c < inChannels; ++c) RtlCopyMemory(out[c], in[c], static_cast<SIZE_T>(n) * inBytes);
        *pInFrames = n;
        *pOutFrames = n;
        return true;
    }

    CDspSrcBase* last = LastStage();
    for (LONG c = 0; c < outChannels; ++c) m_ResultPlanes[c] = last->History(c);

    if (last->HistoryCount(0) > 0) {
        const LONG n = (last->HistoryCount(0) < *pOutFrames) ? last->HistoryCount(0) : *pOutFrames;
        WriteResults(out, n);
        DropFromLastStage(n);
        *pOutFrames = n;
        *pInFrames = 0;
        return true;
    }

    LONG inLeft = *pInFrames, outLeft = *pOutFrames;
    while (inLeft > 0 && outLeft >= 1) {
        LONG chunk = inLeft;
        m_pBitDepthConvert->ToFloat(in, &chunk, m_InFormat);
        inLeft -= chunk;
        for (LONG c = 0; c < inChannels; ++c) in[c] = static_cast<const UCHAR*>(in[c]) + static_cast<SIZE_T>(chunk) * inBytes;
        RunRateStages();

        const LONG n = (last->HistoryCount(0) < outLeft) ? last->HistoryCount(0) : outLeft;
        WriteResults(out, n);
        for (LONG c = 0; c < outChannels; ++c) out[c] = static_cast<UCHAR*>(out[c]) + static_cast<SIZE_T>(n) * outBytes;
        DropFromLastStage(n);
        outLeft -= n;
        // Nothing taken and nothing made: the stages cannot move on within this call.
        if (chunk == 0 && n == 0) break;
    }
    *pOutFrames -= outLeft;
    *pInFrames -= inLeft;
    return true;
}
