// Shared front of the conversion chains: format checks and the stage plan.
#include "driver/signal/DspSrcChain.h"

namespace {

constexpr ULONG kRatesHz[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr LONG kRateCount = sizeof(kRatesHz) / sizeof(kRatesHz[0]);

using enum DspRateStep;

// Row: in rate, column: out rate, in the order of kRatesHz.
constexpr DspRatePlan kRatePlans[kRateCount][kRateCount] = {
    // 44100 in
    {{None, None}, {F441Up, None}, {X2Up, None}, {F441Up, X2Up}, {X4Up, None}, {F441Up, X4Up}},
    // 48000 in
    {{F441Down, None}, {None, None}, {F441Down, X2Up}, {X2Up, None}, {F441Down, X4Up}, {X4Up, None}},
    // 88200 in
    {{X2Down, None}, {X2Down, F441Up}, {None, None}, {F441Up, None}, {X2Up, None}, {F441Up, X2Up}},
    // 96000 in
    {{X2Down, F441Down}, {X2Down, None}, {F441Down, None}, {None, None}, {F441Down, X2Up}, {X2Up, None}},
    // 176400 in
    {{X4Down, None}, {X4Down, F441Up}, {X2Down, None}, {X2Down, F441Up}, {None, None}, {F441Up, None}},
    // 192000 in
    {{X4Down, F441Down}, {X4Down, None}, {X2Down, F441Down}, {X2Down, None}, {F441Down, None}, {None, None}},
};

LONG RateIndex(ULONG rateHz) {
    for (LONG i = 0; i < kRateCount; ++i) {
        if (kRatesHz[i] == rateHz) return i;
    }
    return -1;
}

bool IsUp(DspRateStep step) { return step == X2Up || step == X4Up || step == F441Up; }

// PCM of 16, 24 or 32 bits, or float of 32 bits: a float record of another width would make the
// stages read and write past the planes.
bool BitsInList(WORD tag, WORD bits) {
    if (tag == WAVE_FORMAT_IEEE_FLOAT) return bits == 32;
    return bits == 16 || bits == 24 || bits == 32;
}

bool ChannelsInRange(WORD channels) { return channels >= 1 && channels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS; }

bool TagInList(WORD tag) { return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT; }

}  // namespace

bool DspChooseRateStages(ULONG inRateHz, ULONG outRateHz, DspRatePlan* plan) {
    const LONG in = RateIndex(inRateHz), out = RateIndex(outRateHz);
    if (in < 0 || out < 0 || plan == nullptr) return false;
    *plan = kRatePlans[in][out];
    return true;
}

CDspSrcChain::CDspSrcChain()
    : m_InFormat{}, m_OutFormat{}, m_pSrcX2(nullptr), m_pSrcX4(nullptr), m_pSrc441To48(nullptr), m_ResultPlanes{},
      m_Ready(0), m_FormatValid(0), m_Stages{} {}

CDspSrcChain::~CDspSrcChain() { DestroyRateStages(); }

bool CDspSrcChain::CreateRateStages() {
    if (m_pSrcX2 == nullptr) m_pSrcX2 = DspCreateObject<CDspSrcX2>();
    if (m_pSrcX2 == nullptr || (!m_pSrcX2->IsAllocated() && !m_pSrcX2->Init())) return false;
    if (m_pSrcX4 == nullptr) m_pSrcX4 = DspCreateObject<CDspSrcX4>();
    if (m_pSrcX4 == nullptr || (!m_pSrcX4->IsAllocated() && !m_pSrcX4->Init())) return false;
    if (m_pSrc441To48 == nullptr) m_pSrc441To48 = DspCreateObject<CDspSrc441To48>();
    if (m_pSrc441To48 == nullptr || (!m_pSrc441To48->IsAllocated() && !m_pSrc441To48->Init())) return false;
    return true;
}

void CDspSrcChain::DestroyRateStages() {
    for (LONG i = 0; i < kMaxStages; ++i) m_Stages[i] = nullptr;
    DspDestroyObject(m_pSrc441To48);
    DspDestroyObject(m_pSrcX4);
    DspDestroyObject(m_pSrcX2);
}

bool CDspSrcChain::ResetStages(CDspFormatConvert* formatStage) {
    if (m_pSrcX2 != nullptr) m_pSrcX2->Reset();
    if (m_pSrcX4 != nullptr) m_pSrcX4->Reset();
    if (m_pSrc441To48 != nullptr) m_pSrc441To48->Reset();
    if (formatStage != nullptr) formatStage->Reset();
    return true;
}

bool CDspSrcChain::CheckFormats(const WAVEFORMATEXTENSIBLE& in, const WAVEFORMATEXTENSIBLE& out, const char* method,
                                bool requireSameChannels) const {
    const WORD inTag = DspResolvedTag(in), outTag = DspResolvedTag(out);
    const char* refusal = nullptr;
    if (!TagInList(inTag)) {
        refusal = "%s Tag not PCM\n";
    } else if (!ChannelsInRange(in.Format.nChannels)) {
        refusal = "%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
    } else if (RateIndex(in.Format.nSamplesPerSec) < 0) {
        refusal = "%s InFormat.Format.nSamplesPerSec not in List\n";
    } else if (!BitsInList(inTag, in.Format.wBitsPerSample)) {
        refusal = "%s InFormat.Format.wBitsPerSample not in List\n";
    } else if (!TagInList(outTag)) {
        refusal = "%s Output Tag not PCM\n";
    } else if (!ChannelsInRange(out.Format.nChannels) ||
               (requireSameChannels && out.Format.nChannels != in.Format.nChannels)) {
        refusal = "%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
    } else if (RateIndex(out.Format.nSamplesPerSec) < 0) {
        refusal = "%s OutFormat.Format.nSamplesPerSec not in List\n";
    } else if (!BitsInList(outTag, out.Format.wBitsPerSample)) {
        refusal = "%s OutFormat.Format.wBitsPerSample not in List\n";
    }
    if (refusal != nullptr) {
        DbgPrint(refusal, method);
        return false;
    }
    return true;
}

CDspSrcBase* CDspSrcChain::RateStage(DspRateStep step) {
    switch (step) {
    case X2Up:
    case X2Down:
        return m_pSrcX2;
    case X4Up:
    case X4Down:
        return m_pSrcX4;
    case F441Up:
    case F441Down:
        return m_pSrc441To48;
    default:
        return nullptr;
    }
}

LONG CDspSrcChain::ApplyFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat,
                               CDspFormatConvert* formatStage, const char* method, const char* formatStageMessage,
                               bool requireSameChannels, bool identicalRunsNothing) {
    // Whatever happens below, the chain passes no data until this call succeeds.
    m_FormatValid = 0;
    if (!CheckFormats(inFormat, outFormat, method, requireSameChannels)) return -1;

    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    if (m_Ready == 0 || formatStage == nullptr || !formatStage->SetFormat(inFormat, outFormat)) {
        DbgPrint(formatStageMessage, method);
        return -1;
    }

    ResetStages(formatStage);
    for (LONG i = 0; i < kMaxStages; ++i) m_Stages[i] = nullptr;
    m_FormatValid = 1;
    if (identicalRunsNothing && RtlEqualMemory(&inFormat, &outFormat, sizeof(WAVEFORMATEXTENSIBLE))) return 0;

    DspRatePlan plan{};
    DspChooseRateStages(inFormat.Format.nSamplesPerSec, outFormat.Format.nSamplesPerSec, &plan);
    LONG count = 0;
    m_Stages[count++] = formatStage;
    const DspRateStep steps[] = {plan.first, plan.second};
    for (DspRateStep step : steps) {
        CDspSrcBase* stage = RateStage(step);
        if (stage == nullptr) continue;
        stage->SetDirection(IsUp(step) ? 1 : 0);
        stage->Reset();
        m_Stages[count++] = stage;
    }
    return count;
}
