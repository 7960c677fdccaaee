// CHeadphoneEffectControl: the headphone effect between an input and an output conversion chain,
// its parameters and their persistence.
#include "driver/engine/models/W4M3EffectControls.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/models/W4M3EffectFormats.h"
#include "driver/signal/ChannelConversion.h"
#include "driver/signal/DspNonInterleaveSrc.h"
#include "driver/signal/DspPeakLimiter.h"
#include "globaltopo/common/QVT/HeadphoneEffect.h"

namespace {

constexpr UCHAR PlainDownmix = 1;
// The effect's format before the first stream.
constexpr DWORD DefaultEffectRate = 44100;
// Angle code 3: 40 degrees; CTC angle code 0: 5 degrees.
constexpr ULONG DefaultAngleCode = 3;
constexpr ULONG DefaultCtcAngleCode = 0;

template <class T>
T* CreateInPool(ULONG Tag) {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), Tag);
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(T));
    return new (memory) T();
}

template <class T>
void DestroyInPool(T*& Object, ULONG Tag) {
    if (Object == nullptr) return;
    Object->~T();
    ExFreePoolWithTag(Object, Tag);
    Object = nullptr;
}

WAVEFORMATEXTENSIBLE PlainFloatFormat(WORD Channels, DWORD Rate) {
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    return W4M3FloatFormat(format, Channels, Rate);
}

bool IsRoomCode(LONG Value) { return Value >= 0 && Value < W4M3HeadphoneRoomCodes; }

}  // namespace

CHeadphoneEffectControl::CHeadphoneEffectControl(PUNKNOWN UnknownOuter, ULONG Id)
    : W4M3EffectControl(UnknownOuter, Id),
      m_pEffect(nullptr),
      m_pInputChain(nullptr),
      m_pOutputChain(nullptr),
      m_pFifo(nullptr),
      m_pStaging(nullptr),
      m_FifoCount(0),
      m_InternalRate(48000),
      m_ChainsReady(false),
      m_CtcMode(0),
      m_EffectFormat{},
      m_InternalFormat{},
      m_StreamFloatFormat{},
      m_Parameters{0, 0} {
    m_NameGuid = W4M3HeadphoneEffectName;
    m_ParameterCount = W4M3HeadphoneParameterCount;
}

CHeadphoneEffectControl::~CHeadphoneEffectControl() {
    W4M3Planes::Destroy(m_pFifo);
    W4M3Planes::Destroy(m_pStaging);
    DestroyInPool(m_pInputChain, W4M3PlaneTag);
    DestroyInPool(m_pOutputChain, W4M3PlaneTag);
    DestroyInPool(m_pEffect, W4M3EffectTag);
}

NTSTATUS CHeadphoneEffectControl::InitEffect(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    const NTSTATUS status = InitVendor(FeatureUnit, ControlSelector, SettingsDevice);
    if (!NT_SUCCESS(status)) return status;
    // The switch the control starts with is already the one in force.
    InterlockedExchange(&m_LatchedEnable, PublishedEnable() != 0 ? 1 : 0);
    if (!CreatePlanes(ProcessingStageMaxFrames)) return status;
    m_pFifo = W4M3Planes::Create(FifoFrames);
    m_pStaging = W4M3Planes::Create(StagingFrames);
    if (m_pFifo == nullptr || m_pStaging == nullptr) return status;

    m_pInputChain = CreateInPool<CDspNonInterleaveSrc>(W4M3PlaneTag);
    if (m_pInputChain == nullptr || !m_pInputChain->Init()) return status;
    m_pOutputChain = CreateInPool<CDspNonInterleaveSrc>(W4M3PlaneTag);
    if (m_pOutputChain == nullptr || !m_pOutputChain->Init()) return status;
    m_pWetLimiter = CreateLimiter(1.0f);
    if (m_pWetLimiter == nullptr) return status;
    m_pDryLimiter = CreateLimiter(1.0f);
    if (m_pDryLimiter == nullptr) return status;
    // The effect comes last: the data path runs only when it exists.
    CHeadphoneEffect* effect = CreateInPool<CHeadphoneEffect>(W4M3EffectTag);
    if (effect == nullptr) return status;

    m_EffectFormat = PlainFloatFormat(2, DefaultEffectRate);
    effect->SetFormat(m_EffectFormat);
    effect->SetEnable(1);
    effect->SetCtcMode(m_CtcMode);
    effect->SetHeadphoneAngle(DefaultAngleCode);
    effect->SetSpeakerAngle(DefaultAngleCode);
    effect->SetCtcAngle(DefaultCtcAngleCode);
    m_pEffect = effect;

    m_Parameters[W4M3HeadphoneRoomParameter] = effect->GetHeadphoneRoom();
    m_Parameters[W4M3HeadphoneFamilyParameter] = effect->GetHeadphoneFamily();
    ReadStoredParameters();
    ApplyParameters(m_Parameters[W4M3HeadphoneRoomParameter], m_Parameters[W4M3HeadphoneFamilyParameter]);
    // Later changes come while the stream may play: built at passive level, faded in by Process.
    effect->FadeFilterChanges();
    return status;
}

NTSTATUS CHeadphoneEffectControl::ParameterBaseName(PWSTR Buffer, size_t Chars) {
    return FormatControlValueName(GetId(), Buffer, Chars);
}

void CHeadphoneEffectControl::ReadStoredParameters() {
    WCHAR base[ControlValueNameChars] = {};
    if (!NT_SUCCESS(ParameterBaseName(base, ControlValueNameChars))) return;
    for (ULONG index = 0; index < W4M3HeadphoneParameterCount; ++index) {
        LONG value = m_Parameters[index];
        AccessIndexedSetting(m_SettingsDevice, SettingMode::Read, &value, sizeof(value), base, index);
        // A room code the effect does not have (a damaged or foreign value) keeps the default.
        if (index == W4M3HeadphoneRoomParameter && !IsRoomCode(value)) continue;
        m_Parameters[index] = value;
    }
}

void CHeadphoneEffectControl::WriteParameter(ULONG Index) {
    WCHAR base[ControlValueNameChars] = {};
    if (!NT_SUCCESS(ParameterBaseName(base, ControlValueNameChars))) return;
    LONG value = m_Parameters[Index];
    AccessIndexedSetting(m_SettingsDevice, SettingMode::Write, &value, sizeof(value), base, Index);
}

void CHeadphoneEffectControl::ApplyParameters(LONG Room, LONG Family) {
    if (m_pEffect == nullptr) return;
    const LONG flag = Family != 0 ? 1 : 0;
    if (m_pEffect->GetSpeakerFamily() != flag) m_pEffect->SetSpeakerFamily(static_cast<ULONG>(flag));
    if (m_pEffect->GetHeadphoneFamily() != flag) m_pEffect->SetHeadphoneFamily(static_cast<ULONG>(flag));
    if (!IsRoomCode(Room)) return;
    if (m_CtcMode != 0) {
        if (m_pEffect->GetSpeakerRoom() != Room) m_pEffect->SetSpeakerRoom(static_cast<ULONG>(Room));
    } else if (m_pEffect->GetHeadphoneRoom() != Room) {
        m_pEffect->SetHeadphoneRoom(static_cast<ULONG>(Room));
    }
}

STDMETHODIMP CHeadphoneEffectControl::GetParameters(ULONG First, ULONG Count, PLONG Values) {
    if (Values == nullptr || First > W4M3HeadphoneParameterCount || Count > W4M3HeadphoneParameterCount - First) {
        return STATUS_INVALID_PARAMETER;
    }
    DataPathLock lock(&m_SpinLock);
    for (ULONG i = 0; i < Count; ++i) Values[i] = m_Parameters[First + i];
    return STATUS_SUCCESS;
}

STDMETHODIMP CHeadphoneEffectControl::SetParameters(ULONG First, ULONG Count, const LONG* Values) {
    PAGED_CODE();
    if (Values == nullptr || Count == 0 || First > W4M3HeadphoneParameterCount ||
        Count > W4M3HeadphoneParameterCount - First) {
        return STATUS_INVALID_PARAMETER;
    }
    m_Mutex.Lock();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    bool accepted[W4M3HeadphoneParameterCount] = {};
    for (ULONG i = 0; i < Count; ++i) {
        const ULONG index = First + i;
        const LONG value = Values[i];
        // A room code the effect does not have is refused; the family flag takes any value.
        if (index == W4M3HeadphoneRoomParameter && !IsRoomCode(value)) continue;
        accepted[index] = true;
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
        LONG room = 0;
        LONG family = 0;
        bool claimed = false;
        {
            // The data path holds this lock for its whole block, so no block is switching
            // filters while the spare bank is claimed.
            DataPathLock lock(&m_SpinLock);
            for (ULONG i = 0; i < Count; ++i) {
                if (accepted[First + i]) m_Parameters[First + i] = Values[i];
            }
            room = m_Parameters[W4M3HeadphoneRoomParameter];
            family = m_Parameters[W4M3HeadphoneFamilyParameter];
            claimed = m_pEffect != nullptr && m_pEffect->ClaimFilterBank();
        }
        // The new filters are built here, at passive level; the data path fades to them with its
        // next block.
        ApplyParameters(room, family);
        if (claimed) m_pEffect->BuildClaimedFilters();
        for (ULONG index = 0; index < W4M3HeadphoneParameterCount; ++index) {
            if (accepted[index]) WriteParameter(index);
        }
    }
    m_Mutex.Unlock();
    return status;
}

STDMETHODIMP CHeadphoneEffectControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
    if (Format == nullptr) return STATUS_SUCCESS;
    m_StreamFormat = *Format;
    const WORD channels = Format->Format.nChannels;
    const DWORD rate = Format->Format.nSamplesPerSec;
    m_InternalRate = rate % 1000 != 0 ? 44100 : 48000;
    const DWORD internalRate = (rate == 44100 || rate == 48000) ? rate : m_InternalRate;
    m_InternalFormat = W4M3FloatFormat(*Format, channels, internalRate);
    m_StreamFloatFormat = W4M3FloatFormat(*Format, channels, rate);
    m_FifoCount = 0;
    m_ChainsReady = false;
    if (m_pInputChain == nullptr || m_pOutputChain == nullptr) return STATUS_SUCCESS;

    // A chain that refused its formats would leave the block without output: the stream then
    // passes the effect by.
    bool ready = channels >= 1 && channels <= ProcessingStageMaxPlanes;
    ready = m_pInputChain->SetFormat(m_StreamFloatFormat, m_InternalFormat) && ready;
    m_pInputChain->Reset();
    ready = m_pOutputChain->SetFormat(m_InternalFormat, m_StreamFloatFormat) && ready;
    m_pOutputChain->Reset();

    m_EffectFormat = PlainFloatFormat(channels, m_InternalRate);
    if (m_pEffect != nullptr) m_pEffect->SetFormat(m_EffectFormat);
    if (m_pWetLimiter != nullptr) m_pWetLimiter->SetFormat(m_InternalFormat);
    if (m_pDryLimiter != nullptr) m_pDryLimiter->SetFormat(m_InternalFormat);
    // The effect reads eight planes: those beyond the stream's channels must be silence.
    for (W4M3Planes* planes : {m_pDry, m_pWet}) {
        if (planes == nullptr) continue;
        for (ULONG c = 0; c < ProcessingStageMaxPlanes; ++c) RtlZeroMemory(planes->Plane[c], planes->Frames * sizeof(float));
    }
    m_ChainsReady = ready;
    return STATUS_SUCCESS;
}

void CHeadphoneEffectControl::DeliverFrames(float* const* Out, ULONG Channels, ULONG Produced, ULONG Frames) {
    const ULONG fifo = m_FifoCount;
    const ULONG available = fifo + Produced;
    if (available < Frames) {
        // Too little: what there is goes last, silence before it.
        const ULONG gap = Frames - available;
        for (ULONG c = 0; c < Channels; ++c) {
            RtlZeroMemory(Out[c], gap * sizeof(float));
            RtlCopyMemory(Out[c] + gap, m_pFifo->Plane[c], fifo * sizeof(float));
            RtlCopyMemory(Out[c] + gap + fifo, m_pStaging->Plane[c], Produced * sizeof(float));
        }
        m_FifoCount = 0;
        return;
    }
    // The oldest frames leave first: the FIFO's, then the chain's; the rest waits in the FIFO,
    // and what does not fit there is dropped.
    const ULONG fromFifo = fifo < Frames ? fifo : Frames;
    const ULONG fromStaging = Frames - fromFifo;
    const ULONG fifoLeft = fifo - fromFifo;
    ULONG stagingLeft = Produced - fromStaging;
    if (fifoLeft + stagingLeft > FifoFrames) stagingLeft = FifoFrames - fifoLeft;
    for (ULONG c = 0; c < Channels; ++c) {
        float* queue = m_pFifo->Plane[c];
        const float* staged = m_pStaging->Plane[c];
        RtlCopyMemory(Out[c], queue, fromFifo * sizeof(float));
        RtlCopyMemory(Out[c] + fromFifo, staged, fromStaging * sizeof(float));
        RtlMoveMemory(queue, queue + fromFifo, fifoLeft * sizeof(float));
        RtlCopyMemory(queue + fifoLeft, staged + fromStaging, stagingLeft * sizeof(float));
    }
    m_FifoCount = fifoLeft + stagingLeft;
}

bool CHeadphoneEffectControl::DownmixesBlock(const WAVEFORMATEXTENSIBLE& Format, ULONG Frames) const {
    const ULONG channels = Format.Format.nChannels;
    return m_pEffect != nullptr && m_ChainsReady && LimitersReady() && IsPcm(Format) && channels != 0 && channels != 2 &&
           channels <= ProcessingStageMaxPlanes && Frames != 0 && Frames <= ProcessingStageMaxFrames;
}

STDMETHODIMP CHeadphoneEffectControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // This control follows the enable value itself, whoever changed it; the value is taken with
    // the flag, so a block that runs while the value changes keeps the switch it had.
    if (TakePendingFlag(0)) LatchSwitch(PublishedEnable());
    if (m_pEffect == nullptr) return STATUS_SUCCESS;
    if (Format == nullptr || Data == nullptr) return STATUS_SUCCESS;
    // Stereo keeps its samples.
    if (Format->Format.nChannels == 2 || !DownmixesBlock(*Format, Frames)) {
        SetFadeState(W4M3FadeSteady);
        return STATUS_SUCCESS;
    }
    const ULONG channels = Format->Format.nChannels;
    float* const* planes = static_cast<float* const*>(Data);
    float* const* dry = m_pDry->Pointers();
    float* const* wet = m_pWet->Pointers();
    // Held for the block: SetParameters claims the effect's spare filter bank under it.
    DataPathLock lock(&m_SpinLock);

    ULONG internalFrames = 0;
    RunSrcChain(m_pInputChain, Frames, &internalFrames, planes, wet, m_pWet->Frames, false);
    const LONG m = static_cast<LONG>(internalFrames);
    if (m > 0) {
        for (ULONG c = 0; c < channels; ++c) RtlCopyMemory(dry[c], wet[c], internalFrames * sizeof(float));
        ConvertChannelsInPlace(dry, static_cast<LONG>(channels), 2, m, PlainDownmix);
        m_pDryLimiter->Process(dry, internalFrames);
        m_pEffect->Process(wet, m);
        m_pWetLimiter->Process(wet, internalFrames);
    }

    // The effect takes 5.1 and 7.1; every other count stays dry, with nothing to fade.
    const bool surround = channels == 6 || channels == 8;
    const LONG fade = surround ? CrossfadeState() : W4M3FadeSteady;
    float* const* result = dry;
    if (surround && (LatchedEnable() != 0 || fade == W4M3FadeOff)) result = wet;
    W4M3Crossfade(fade, result, dry, internalFrames, internalFrames / 5);
    SetFadeState(W4M3FadeSteady);

    ULONG produced = 0;
    if (m > 0) RunSrcChain(m_pOutputChain, internalFrames, &produced, result, m_pStaging->Pointers(), m_pStaging->Frames, false);
    DeliverFrames(planes, channels, produced, Frames);
    return STATUS_SUCCESS;
}

STDMETHODIMP CHeadphoneEffectControl::Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    ResetLimiters();
    return STATUS_SUCCESS;
}
