// The wave stream's conversion chain.
#include "driver/signal/DspInterleaveSrc.h"

CDspInterleaveSrc::CDspInterleaveSrc() : m_pSplit(nullptr), m_WorkBuffer(nullptr) {}

CDspInterleaveSrc::~CDspInterleaveSrc() { Destroy(); }

void CDspInterleaveSrc::Destroy() {
    DspFree(m_WorkBuffer, DspObjectTag);
    for (LONG i = 0; i < kMaxStages; ++i) m_Stages[i] = nullptr;
    DspDestroyObject(m_pSplit);
    DestroyRateStages();
    m_Ready = 0;
    m_FormatValid = 0;
}

bool CDspInterleaveSrc::Init() {
    if (m_Ready != 0) return false;
    m_pSplit = DspCreateObject<CDspFormatConvert>();
    bool ok = m_pSplit != nullptr && m_pSplit->Init() && CreateRateStages();
    if (ok) {
        m_WorkBuffer = static_cast<float*>(DspAllocate(kWorkBufferFloats * sizeof(float), DspObjectTag));
        ok = m_WorkBuffer != nullptr;
    }
    if (!ok) {
        Destroy();
        return false;
    }
    m_Ready = 1;
    return true;
}

bool CDspInterleaveSrc::SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat) {
    return ApplyFormat(inFormat, outFormat, m_pSplit, "CDspInterleaveSrc::SetFormat",
                       "%s m_pSplit->SetFormat False\n", true, false) >= 0;
}

bool CDspInterleaveSrc::Reset() { return ResetStages(m_pSplit); }
