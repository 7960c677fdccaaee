#include "driver/engine/models/W4M3EffectControls.h"

#include "driver/engine/models/W4M3EffectFormats.h"
#include "driver/signal/ChannelConversion.h"
#include "driver/signal/DspDelayLines.h"
#include "driver/signal/DspNonInterleaveSrc.h"
#include "driver/signal/DspPeakLimiter.h"
#include "driver/signal/SignalLibrary.h"

namespace {

// Down-mix mode of the effect controls: the plain mix (no matrix encoding).
constexpr UCHAR PlainDownmix = 1;
// Keeps the filters that follow away from denormals.
constexpr float DenormalGuard = 1e-12f;
// The room mix is quieter than its input: +9 dB make-up.
constexpr float DelayWetGain = 2.8183f;

}  // namespace

W4M3Planes* W4M3Planes::Create(ULONG Frames) {
    const SIZE_T bytes = sizeof(W4M3Planes) + static_cast<SIZE_T>(Frames) * ProcessingStageMaxPlanes * sizeof(float);
    auto* planes = static_cast<W4M3Planes*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, W4M3PlaneTag));
    if (planes == nullptr) return nullptr;
    RtlZeroMemory(planes, bytes);
    float* data = reinterpret_cast<float*>(planes + 1);
    for (ULONG c = 0; c < ProcessingStageMaxPlanes; ++c) planes->Plane[c] = data + static_cast<SIZE_T>(c) * Frames;
    planes->Frames = Frames;
    return planes;
}

void W4M3Planes::Destroy(W4M3Planes*& Planes) {
    if (Planes == nullptr) return;
    ExFreePoolWithTag(Planes, W4M3PlaneTag);
    Planes = nullptr;
}

W4M3FadeGains W4M3FadeGainsAt(LONG State, ULONG Position, ULONG Unit) {
    if (State != W4M3FadeOn && State != W4M3FadeOff) return {1.0f, 0.0f};
    const ULONG half = 2 * Unit;
    // g(x) = x / (2u - 1): 0 at the first frame of a half, 1 at its last.
    const float scale = half > 1 ? 1.0f / static_cast<float>(half - 1) : 1.0f;
    const bool on = State == W4M3FadeOn;
    if (Position < half) {
        const float fall = 1.0f - static_cast<float>(Position) * scale;
        return on ? W4M3FadeGains{0.0f, fall} : W4M3FadeGains{fall, 0.0f};
    }
    if (Position < 2 * half) {
        const float rise = static_cast<float>(Position - half) * scale;
        return on ? W4M3FadeGains{rise, 0.0f} : W4M3FadeGains{0.0f, rise};
    }
    return on ? W4M3FadeGains{1.0f, 0.0f} : W4M3FadeGains{0.0f, 1.0f};
}

void W4M3Crossfade(LONG State, float* const* Result, const float* const* Dry, ULONG Frames, ULONG Unit) {
    if (State != W4M3FadeOn && State != W4M3FadeOff) return;
    for (ULONG c = 0; c < 2; ++c) {
        float* r = Result[c];
        const float* d = Dry[c];
        for (ULONG i = 0; i < Frames; ++i) {
            r[i] = W4M3Mix(W4M3FadeGainsAt(State, i, Unit), r[i], d[i]);
        }
    }
}

NTSTATUS RunSrcChain(CDspNonInterleaveSrc* Chain, ULONG Frames, PULONG Produced, const float* const* InPlanes,
                     float* const* OutPlanes, ULONG OutRoomFrames, bool ResetFirst) {
    if (Chain == nullptr || Produced == nullptr || Frames == 0 || OutRoomFrames == 0 || InPlanes == nullptr ||
        OutPlanes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Produced = 0;
    if (ResetFirst) Chain->Reset();
    const float* in[ProcessingStageMaxPlanes] = {};
    float* out[ProcessingStageMaxPlanes] = {};
    ULONG taken = 0;
    ULONG position = 0;
    while (taken < Frames && position < OutRoomFrames) {
        for (ULONG c = 0; c < ProcessingStageMaxPlanes; ++c) {
            in[c] = InPlanes[c] != nullptr ? InPlanes[c] + taken : nullptr;
            out[c] = OutPlanes[c] != nullptr ? OutPlanes[c] + position : nullptr;
        }
        LONG inFrames = static_cast<LONG>(Frames - taken);
        LONG outFrames = static_cast<LONG>(OutRoomFrames - position);
        Chain->Process(in, &inFrames, out, &outFrames);
        // A chain without a usable format, or without room to deliver, would spin here for ever.
        if (inFrames <= 0 && outFrames <= 0) break;
        if (inFrames > 0) taken += static_cast<ULONG>(inFrames);
        if (outFrames > 0) position += static_cast<ULONG>(outFrames);
    }
    *Produced = position;
    return STATUS_SUCCESS;
}

W4M3EffectControl::DataPathLock::DataPathLock(PKSPIN_LOCK Lock) : m_Handle{}, m_AtDispatch(KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    if (m_AtDispatch) {
        KeAcquireInStackQueuedSpinLockAtDpcLevel(Lock, &m_Handle);
    } else {
        KeAcquireInStackQueuedSpinLock(Lock, &m_Handle);
    }
}

W4M3EffectControl::DataPathLock::~DataPathLock() {
    if (m_AtDispatch) {
        KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
    } else {
        KeReleaseInStackQueuedSpinLock(&m_Handle);
    }
}

W4M3EffectControl::W4M3EffectControl(PUNKNOWN UnknownOuter, ULONG Id)
    : VendorControlNode(UnknownOuter, Id),
      m_pDry(nullptr),
      m_pWet(nullptr),
      m_pWetLimiter(nullptr),
      m_pDryLimiter(nullptr),
      m_LatchedEnable(0) {}

bool W4M3EffectControl::LatchSwitch(LONG Enable) {
    const LONG on = Enable != 0 ? 1 : 0;
    if (InterlockedExchange(&m_LatchedEnable, on) == on) return false;
    SetFadeState(on != 0 ? W4M3FadeOn : W4M3FadeOff);
    return true;
}

namespace {

void DestroyLimiter(CDspPeakLimiter*& Limiter) {
    if (Limiter == nullptr) return;
    Limiter->FreeBuffers();
    Limiter->~CDspPeakLimiter();
    ExFreePoolWithTag(Limiter, W4M3EffectTag);
    Limiter = nullptr;
}

}  // namespace

W4M3EffectControl::~W4M3EffectControl() {
    W4M3Planes::Destroy(m_pDry);
    W4M3Planes::Destroy(m_pWet);
    DestroyLimiter(m_pWetLimiter);
    DestroyLimiter(m_pDryLimiter);
}

bool W4M3EffectControl::CreatePlanes(ULONG PlaneFrames) {
    m_pDry = W4M3Planes::Create(PlaneFrames);
    if (m_pDry == nullptr) return false;
    m_pWet = W4M3Planes::Create(PlaneFrames);
    return m_pWet != nullptr;
}

CDspPeakLimiter* W4M3EffectControl::CreateLimiter(float Gain) {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspPeakLimiter), W4M3EffectTag);
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(CDspPeakLimiter));
    auto* limiter = new (memory) CDspPeakLimiter();
    if (!limiter->Init()) {
        DestroyLimiter(limiter);
        return nullptr;
    }
    limiter->SetMode(0);
    limiter->SetGain(Gain);
    limiter->SetCeiling(1.0f);
    return limiter;
}

void W4M3EffectControl::ResetLimiters() {
    if (m_pWetLimiter != nullptr) m_pWetLimiter->Reset();
    if (m_pDryLimiter != nullptr) m_pDryLimiter->Reset();
}

bool W4M3EffectControl::LimitersReady() const { return m_pWetLimiter != nullptr && m_pDryLimiter != nullptr; }

bool W4M3EffectControl::IsPcm(const WAVEFORMATEXTENSIBLE& Format) {
    return ProcessingStageFormatTag(Format) == WAVE_FORMAT_PCM;
}

STDMETHODIMP W4M3EffectControl::Reserved3() {
    ResetLimiters();
    return STATUS_SUCCESS;
}

CDelayEffectControl::CDelayEffectControl(PUNKNOWN UnknownOuter, ULONG Id)
    : W4M3EffectControl(UnknownOuter, Id), m_pDelay(nullptr), m_pDownmixAfter(nullptr), m_FadePosition(0) {
    m_NameGuid = W4M3DelayEffectName;
}

CDelayEffectControl::~CDelayEffectControl() {
    CDspDelayLines::Destroy(m_pDelay);
    if (m_pDownmixAfter != nullptr) m_pDownmixAfter->Release();
}

void CDelayEffectControl::SetDownmixAfter(CHeadphoneEffectControl* Headphone) {
    PAGED_CODE();
    if (Headphone != nullptr) Headphone->AddRef();
    if (m_pDownmixAfter != nullptr) m_pDownmixAfter->Release();
    m_pDownmixAfter = Headphone;
}

NTSTATUS CDelayEffectControl::InitEffect(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    const NTSTATUS status = InitVendor(FeatureUnit, ControlSelector, SettingsDevice);
    if (!NT_SUCCESS(status)) return status;
    // The switch the control starts with is already the one in force.
    InterlockedExchange(&m_LatchedEnable, PublishedEnable() != 0 ? 1 : 0);
    if (!CreatePlanes(ProcessingStageMaxFrames)) return status;
    m_pDelay = CDspDelayLines::Create();
    if (m_pDelay == nullptr) return status;
    m_pWetLimiter = CreateLimiter(DelayWetGain);
    if (m_pWetLimiter == nullptr) return status;
    m_pDryLimiter = CreateLimiter(1.0f);
    return status;
}

bool CDelayEffectControl::Ready() const {
    return m_pDelay != nullptr && m_pDry != nullptr && m_pWet != nullptr && LimitersReady();
}

bool CDelayEffectControl::ApplyPendingValue() {
    DataPathLock lock(&m_SpinLock);
    return TakePendingFlag(1) && LatchSwitch(PublishedEnable());
}

STDMETHODIMP CDelayEffectControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
    if (Format == nullptr) return STATUS_SUCCESS;
    m_StreamFormat = *Format;
    if (m_pDelay != nullptr) {
        m_pDelay->SetFormat(static_cast<LONG>(Format->Format.nSamplesPerSec),
                            Format->Format.nChannels > 0 ? Format->Format.nChannels - 1u : 0u);
    }
    // Both limiters work on the stereo result in planes 0 and 1.
    const WAVEFORMATEXTENSIBLE stereo = W4M3FloatFormat(*Format, 2, Format->Format.nSamplesPerSec);
    if (m_pWetLimiter != nullptr) m_pWetLimiter->SetFormat(stereo);
    if (m_pDryLimiter != nullptr) m_pDryLimiter->SetFormat(stereo);
    return STATUS_SUCCESS;
}

STDMETHODIMP CDelayEffectControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // A device-side refresh raises only the changed flag and a redundant host switch latches the
    // value already in force: neither starts a fade.
    if (TakePendingFlag(0) && m_pDelay != nullptr && ApplyPendingValue()) m_FadePosition = 0;
    if (Format == nullptr || Data == nullptr || !IsPcm(*Format) || !Ready()) return STATUS_SUCCESS;
    const ULONG channels = Format->Format.nChannels;
    // The planes hold one block of at most ProcessingStageMaxFrames frames of at most eight channels.
    if (channels == 0 || channels > ProcessingStageMaxPlanes || Frames == 0 || Frames > ProcessingStageMaxFrames) {
        return STATUS_SUCCESS;
    }
    float* const* planes = static_cast<float* const*>(Data);
    const LONG n = static_cast<LONG>(Frames);
    float* const* dry = m_pDry->Pointers();
    float* const* wet = m_pWet->Pointers();
    // The headphone stage after this one down-mixes what this one leaves in the planes.
    const bool downmixAfter = m_pDownmixAfter != nullptr && m_pDownmixAfter->DownmixesBlock(*Format, Frames);

    DataPathLock lock(&m_SpinLock);
    for (ULONG c = 0; c < channels; ++c) {
        RtlCopyMemory(dry[c], planes[c], Frames * sizeof(float));
        AddConstFloatInPlace(DenormalGuard, dry[c], n);
        RtlCopyMemory(wet[c], dry[c], Frames * sizeof(float));
    }
    ConvertChannelsInPlace(dry, static_cast<LONG>(channels), 2, n, PlainDownmix);
    m_pDryLimiter->Process(dry, Frames);
    m_pDelay->Process(wet, wet, n);
    m_pWetLimiter->Process(wet, Frames);

    // Stereo keeps its samples. The network mixes 5.1 and 7.1 only: every other count stays dry
    // (the network would give silence), so there is nothing to fade.
    const LONG fade = CrossfadeState();
    const bool networkTakes = channels == 6 || channels == 8;
    if (channels == 2 || !networkTakes) {
        if (channels != 2 && !downmixAfter) {
            for (ULONG c = 0; c < channels; ++c) RtlCopyMemory(planes[c], dry[c], Frames * sizeof(float));
        }
        SetFadeState(W4M3FadeSteady);
        return STATUS_SUCCESS;
    }
    const bool on = LatchedEnable() != 0;
    if (fade == W4M3FadeSteady && !on && downmixAfter) return STATUS_SUCCESS;

    // The result is the room mix (the stereo pair, the planes beyond it silent when a down-mix
    // follows) faded against the "off" set: the untouched planes when a down-mix follows, the dry
    // down-mix otherwise. Without a following down-mix the planes beyond the pair carry the input.
    if (downmixAfter) {
        for (ULONG c = 2; c < channels; ++c) RtlZeroMemory(wet[c], Frames * sizeof(float));
    }
    const ULONG unit = Format->Format.nSamplesPerSec / 1000;
    const ULONG faded = downmixAfter ? channels : 2;
    for (ULONG c = 0; c < channels; ++c) {
        float* out = planes[c];
        const float* result = wet[c];
        const float* off = downmixAfter ? planes[c] : dry[c];
        if (c >= faded) {
            RtlCopyMemory(out, result, Frames * sizeof(float));
            continue;
        }
        for (ULONG i = 0; i < Frames; ++i) {
            W4M3FadeGains g = W4M3FadeGainsAt(fade, m_FadePosition + i, unit);
            if (fade == W4M3FadeSteady && !on) g = {0.0f, 1.0f};
            out[i] = W4M3Mix(g, result[i], off[i]);
        }
    }
    if (fade != W4M3FadeSteady) {
        m_FadePosition += Frames;
        if (m_FadePosition >= 4 * unit) SetFadeState(W4M3FadeSteady);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP CDelayEffectControl::Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    if (m_pDelay != nullptr) m_pDelay->Reset();
    ResetLimiters();
    // A fade the stop cut short ends at its goal.
    SetFadeState(W4M3FadeSteady);
    m_FadePosition = 0;
    return STATUS_SUCCESS;
}
