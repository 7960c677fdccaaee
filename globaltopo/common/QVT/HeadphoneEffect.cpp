// Headphone virtualisation effect: parameter sets, the application and the down-mix fallback.
#include "globaltopo/common/QVT/HeadphoneEffect.h"

namespace {

constexpr float kDownmixDivisor = 2.0f;
constexpr LONG kMaxFramesPerCall = 256;
constexpr LONG kCtcAngleByCode[] = {5, 10, 15, 20, 30};

}  // namespace

CHeadphoneApp::CHeadphoneApp() { Configure(kDefaultRateHz, kDefaultInputs, kDefaultOutputs, HEADPHONEFIR_N); }

void CHeadphoneApp::ProcessInternal(float** out, LONG nOut, float** in, LONG nIn, LONG len) {
    CHeadphoneFir::Process(out, nOut, in, nIn, len);
}

void CHeadphoneApp::Reset() { CHeadphoneFir::Reset(); }

CHeadphoneEffect::CHeadphoneEffect() {
    m_pApp = QvtCreateObject<CHeadphoneApp>();
    // A partly made application is no application: the effect then holds nothing.
    if (m_pApp != nullptr && !m_pApp->IsUsable()) QvtDestroyObject(m_pApp);
    m_CtcMode = 0;
    m_Enabled = 0;
    m_SpeakerRoom = 1;
    m_HeadphoneRoom = 1;
    m_SpeakerAngle = 30;
    m_HeadphoneAngle = 30;
    m_CtcAngle = 20;
    m_SpeakerFamily = 0;
    m_HeadphoneFamily = 0;
    m_FadeFilterChanges = false;
}

CHeadphoneEffect::~CHeadphoneEffect() { QvtDestroyObject(m_pApp); }

LONG CHeadphoneEffect::SetFormat(const WAVEFORMATEXTENSIBLE& format) {
    if (m_pApp == nullptr) return -1;
    return m_pApp->Configure(static_cast<LONG>(format.Format.nSamplesPerSec), kPlanes, format.Format.nChannels,
                             kMaxFramesPerCall);
}

void CHeadphoneEffect::Process(float* const* planes, LONG frames) {
    if (m_Enabled != 0 && m_pApp != nullptr && m_pApp->IsUsable()) {
        m_pApp->CAudioApp::Process(planes, 2, planes, kPlanes, frames);
        return;
    }
    DownmixToStereo(planes, 2, planes, kPlanes, frames, kDownmixDivisor);
}

void CHeadphoneEffect::SetEnable(ULONG enable) { m_Enabled = static_cast<LONG>(enable); }

void CHeadphoneEffect::SetCtcMode(LONG mode) {
    m_CtcMode = mode;
    ApplyCtcAngle();
}

void CHeadphoneEffect::SetCtcAngle(ULONG code) {
    m_CtcAngle = (code < 5) ? kCtcAngleByCode[code] : static_cast<LONG>(code);
    ApplyCtcAngle();
}

void CHeadphoneEffect::SetHeadphoneRoom(ULONG room) {
    m_HeadphoneRoom = static_cast<LONG>(room);
    ApplyHeadphoneSet();
}

void CHeadphoneEffect::SetHeadphoneAngle(ULONG angle) {
    m_HeadphoneAngle = static_cast<LONG>(angle);
    ApplyHeadphoneSet();
}

void CHeadphoneEffect::SetHeadphoneFamily(ULONG family) {
    m_HeadphoneFamily = static_cast<LONG>(family);
    ApplyHeadphoneSet();
}

void CHeadphoneEffect::SetSpeakerRoom(ULONG room) {
    m_SpeakerRoom = static_cast<LONG>(room);
    ApplySpeakerSet();
}

void CHeadphoneEffect::SetSpeakerAngle(ULONG angle) {
    m_SpeakerAngle = static_cast<LONG>(angle);
    ApplySpeakerSet();
}

void CHeadphoneEffect::SetSpeakerFamily(ULONG family) {
    m_SpeakerFamily = static_cast<LONG>(family);
    ApplySpeakerSet();
}

LONG CHeadphoneEffect::GetFilterSetId(LONG familyFlag, LONG angle) {
    const bool second = (familyFlag != 0);
    switch (angle) {
    case 0:
    case 25: return second ? 25 : 24;
    case 1:
    case 30: return second ? 30 : 29;
    case 2:
    case 35: return second ? 35 : 34;
    case 3:
    case 40: return second ? 40 : 39;
    case 31: return 31;
    default: return -1;
    }
}

void CHeadphoneEffect::ApplyCtcAngle() {
    if (m_pApp != nullptr) m_pApp->CHeadphoneFir::SetCtcAngle(m_CtcMode != 0 ? m_CtcAngle : 0);
}

void CHeadphoneEffect::ApplyHeadphoneSet() {
    if (m_CtcMode == 0) ApplyRoomAndSet(m_HeadphoneRoom, GetFilterSetId(m_HeadphoneFamily, m_HeadphoneAngle));
}

void CHeadphoneEffect::ApplySpeakerSet() {
    if (m_CtcMode != 0) ApplyRoomAndSet(m_SpeakerRoom, GetFilterSetId(m_SpeakerFamily, m_SpeakerAngle));
}

void CHeadphoneEffect::ApplyRoomAndSet(LONG room, LONG setId) {
    // Faded changes are built by BuildClaimedFilters.
    if (m_pApp != nullptr && !m_FadeFilterChanges) m_pApp->SetRoomAndSet(room, setId);
}

bool CHeadphoneEffect::ClaimFilterBank() { return m_pApp != nullptr && m_pApp->ClaimSpareBank(); }

void CHeadphoneEffect::BuildClaimedFilters() {
    if (m_pApp == nullptr) return;
    if (m_CtcMode != 0) {
        m_pApp->BuildSpareBank(m_SpeakerRoom, GetFilterSetId(m_SpeakerFamily, m_SpeakerAngle));
    } else {
        m_pApp->BuildSpareBank(m_HeadphoneRoom, GetFilterSetId(m_HeadphoneFamily, m_HeadphoneAngle));
    }
}
