#include "driver/engine/models/R7T5MasterControls.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/models/R7T5Units.h"
#include "driver/engine/base/Settings.h"
#include "driver/signal/SignalLibrary.h"

namespace {

constexpr ULONG UnitIdOffset = 3;
constexpr ULONG SourceIdOffset = 4;
constexpr ULONG MuteSelector = static_cast<ULONG>(FeatureSelector::Mute);
constexpr ULONG VolumeSelector = static_cast<ULONG>(FeatureSelector::Volume);

// 20 x 65536: a level in 1/65536 dB over this is the power of ten of its linear gain.
constexpr float LevelPerDecade = 1310720.0f;

constexpr ULONG LedRegister = 1;
constexpr USHORT LedMask = 0x30;
constexpr USHORT LedLit = 0x30;
constexpr USHORT LedDark = 0x10;

}  // namespace

// ---------------------------------------------------------------------------------------------
// R7T5MasterMuteControl

R7T5MasterMuteControl::R7T5MasterMuteControl(PUNKNOWN UnknownOuter, ULONG Id) : MuteControl(UnknownOuter, Id) {}

NTSTATUS R7T5MasterMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage)) {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return MuteControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS R7T5MasterMuteControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_Values == nullptr || m_Values[0] == 0) return STATUS_SUCCESS;
    if (m_TerminalType != R7T5SpdifTerminalType) return STATUS_SUCCESS;
    SilenceProcessingBlock(Format, Data, Frames);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// R7T5MasterVolumeControl

R7T5MasterVolumeControl::R7T5MasterVolumeControl(PUNKNOWN UnknownOuter, ULONG Id) : VolumeControl(UnknownOuter, Id) {
    for (float& gain : m_Gains) gain = 1.0f;
}

NTSTATUS R7T5MasterVolumeControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage)) {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return VolumeControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS R7T5MasterVolumeControl::InitMasterVolume(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    const NTSTATUS status = InitFeatureLevel(Unit, ControlSelector, SettingsDevice);
    if (NT_SUCCESS(status)) UpdateGains(0, MaxGains);
    return status;
}

NTSTATUS R7T5MasterVolumeControl::SetValue(ULONG Channel, LONG Value) {
    PAGED_CODE();
    const NTSTATUS status = VolumeControl::SetValue(Channel, Value);
    if (NT_SUCCESS(status)) UpdateGains(Channel, 1);
    return status;
}

NTSTATUS R7T5MasterVolumeControl::RefreshValues() {
    PAGED_CODE();
    const NTSTATUS status = VolumeControl::RefreshValues();
    UpdateGains(0, MaxGains);
    return status;
}

NTSTATUS R7T5MasterVolumeControl::OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) {
    PAGED_CODE();
    const NTSTATUS status = VolumeControl::OnTerminalTypeChanged(TerminalType, CallbackObject);
    UpdateGains(0, MaxGains);
    return status;
}

void R7T5MasterVolumeControl::UpdateGains(ULONG First, ULONG Count) {
    PAGED_CODE();
    if (m_Values == nullptr || First >= m_ChannelCount || First >= MaxGains) return;
    ULONG end = First + (Count < MaxGains ? Count : MaxGains);
    if (end > m_ChannelCount) end = m_ChannelCount;
    if (end > MaxGains) end = MaxGains;
    const LONG n = static_cast<LONG>(end - First);
    float exponents[MaxGains];
    float tens[MaxGains];
    float gains[MaxGains];
    ConvertInt32ToFloat(m_Values + First, exponents, n);
    DivConstFloatInPlace(LevelPerDecade, exponents, n);
    FillFloat(10.0f, tens, n);
    // Silence (0x80000000) is 10^-1638.4, which is 0 in float.
    PowFloat(tens, exponents, gains, n);
    // One 32-bit store per channel: the data path reads the table without a lock.
    for (LONG i = 0; i < n; ++i) m_Gains[First + static_cast<ULONG>(i)] = gains[i];
}

NTSTATUS R7T5MasterVolumeControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_TerminalType != R7T5SpdifTerminalType) return STATUS_SUCCESS;
    if (ProcessingStageFormatTag(*Format) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
    auto* const* planes = static_cast<float* const*>(Data);
    ULONG channels = Format->Format.nChannels < ProcessingStageMaxPlanes ? Format->Format.nChannels
                                                                         : ProcessingStageMaxPlanes;
    // Channels past the gain table keep unity gain.
    if (channels > MaxGains) channels = MaxGains;
    const ULONG frames = Frames < ProcessingStageMaxFrames ? Frames : ProcessingStageMaxFrames;
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (planes[channel] != nullptr) MulConstFloatInPlace(m_Gains[channel], planes[channel], static_cast<LONG>(frames));
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// R7T5MasterUnit: its controls and the mute LED

NTSTATUS R7T5MasterUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    // Only the R7T5 walk makes this unit, so its HAL is the R7T5 HAL.
    m_pHal = static_cast<R7T5AudioHal*>(Hal);
    if (Hal != nullptr) {
        ULONG need = 0;
        ULONG reverse = 0;
        // One byte is what counts; a value written as a 4-byte number is read too, by its low byte.
        AccessSettingBinary(Hal->GetDeviceObject(), SettingMode::Read, &need, sizeof(need), SettingName::NeedMuteLED);
        AccessSettingBinary(Hal->GetDeviceObject(), SettingMode::Read, &reverse, sizeof(reverse),
                            SettingName::ReverseMuteLED);
        m_NeedMuteLED = static_cast<UCHAR>(need & 0xFF);
        m_ReverseMuteLED = static_cast<UCHAR>(reverse & 0xFF);
    }
    return InitWithoutExtension(Descriptor, Hal, ControlHal);
}

NTSTATUS R7T5MasterUnit::SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    const NTSTATUS status = FeatureUnit::SetCur(ControlSelector, Channel, Value);
    if (!NT_SUCCESS(status) || m_NeedMuteLED == 0 || m_pHal == nullptr) return status;
    bool lit = Value != 0;
    if (m_ReverseMuteLED == 1) lit = !lit;
    // The LED only shows the state; a refused write leaves the mute as set.
    m_pHal->WriteDeviceRegister(LedRegister, lit ? LedLit : LedDark, LedMask);
    return status;
}

NTSTATUS R7T5MasterUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    const UCHAR* d = GetDescriptor();
    m_Id = d[UnitIdOffset];
    m_Kind = Uac1FeatureUnitSubtype;
    const ULONG source = d[SourceIdOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;
    AudioHal* hal = static_cast<AudioHal*>(Hal);
    if (HasControl(MuteSelector)) {
        auto* mute = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5MasterMuteControl(nullptr, Hal->GetNodeCount());
        if (mute == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        mute->NonDelegatingAddRef();
        status = mute->InitFeatureSwitch(AsUnit(), MuteSelector, Hal->GetDeviceObject());
        if (NT_SUCCESS(status)) status = hal->AddNode(mute);
        if (NT_SUCCESS(status)) status = AddControl(mute);
        mute->Release();
        if (!NT_SUCCESS(status)) return status;
    }
    if (HasControl(VolumeSelector)) {
        auto* volume = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5MasterVolumeControl(nullptr, Hal->GetNodeCount());
        if (volume == nullptr) return status;
        volume->NonDelegatingAddRef();
        NTSTATUS volumeStatus = volume->InitMasterVolume(AsUnit(), VolumeSelector, Hal->GetDeviceObject());
        if (NT_SUCCESS(volumeStatus)) volumeStatus = hal->AddNode(volume);
        if (NT_SUCCESS(volumeStatus)) volumeStatus = AddControl(volume);
        volume->Release();
        status = volumeStatus;
    }
    return status;
}
