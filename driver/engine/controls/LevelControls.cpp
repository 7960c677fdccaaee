#include "driver/engine/controls/LevelControls.h"

#include "driver/engine/interfaces/ChannelValues.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/FastPow.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/interfaces/UnitInterface.h"
#include "driver/signal/SignalLibrary.h"

namespace {

// The linear gain of a level in 1/65536 dB; silence gives 0.
float GainOfLevel(LONG Level) {
    return FastPow(10.0f, static_cast<float>(static_cast<double>(Level) / 65536.0 / 20.0));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LevelControlBase

LevelControlBase::LevelControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind)
    : AudioNode(UnknownOuter, Id, NodeKindCode(Kind)),
      m_ChannelCount(0),
      m_Values(nullptr),
      m_Maximum(0),
      m_Minimum(0),
      m_Resolution(0),
      m_TerminalType(0),
      m_SettingsDevice(nullptr),
      m_Unit(nullptr),
      m_ControlSelector(0) {}

LevelControlBase::~LevelControlBase() {
    if (m_Values != nullptr) ExFreePoolWithTag(m_Values, LevelValuesTag);
}

NTSTATUS LevelControlBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<AudioNode*>(this)},
        {IID_AudioNode, static_cast<AudioNode*>(this)},
        {IID_LevelControl, static_cast<LevelControl*>(this)},
        {IID_TerminalTypeListener, static_cast<TerminalTypeListener*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS LevelControlBase::GetValue(ULONG Channel, PLONG Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount || Value == nullptr) return STATUS_INVALID_PARAMETER;
    *Value = m_Values[Channel];
    return STATUS_SUCCESS;
}

NTSTATUS LevelControlBase::GetRange(PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    if (Maximum == nullptr || Minimum == nullptr || Resolution == nullptr) return STATUS_INVALID_PARAMETER;
    *Maximum = m_Maximum;
    *Minimum = m_Minimum;
    *Resolution = m_Resolution;
    return STATUS_SUCCESS;
}

NTSTATUS LevelControlBase::GetChannelCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = ChannelsShown(m_TerminalType, m_ChannelCount);
    return STATUS_SUCCESS;
}

NTSTATUS LevelControlBase::Init(ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Resolution) {
    PAGED_CODE();
    PLONG values = AllocateChannelValues<LONG>(ChannelCount, PagedPool, LevelValuesTag);
    if (values == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SetSources(1, &SourceId);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(values, LevelValuesTag);
        return status;
    }
    if (m_Values != nullptr) ExFreePoolWithTag(m_Values, LevelValuesTag);
    m_Values = values;
    m_ChannelCount = ChannelCount;
    m_Maximum = Maximum;
    m_Minimum = Minimum;
    m_Resolution = Resolution;
    return STATUS_SUCCESS;
}

NTSTATUS LevelControlBase::OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) {
    PAGED_CODE();
    m_TerminalType = TerminalType;
    ULONG count = 0;
    GetChannelCount(&count);
    ApplyForTerminalType(count, CallbackObject);
    return STATUS_SUCCESS;
}

void LevelControlBase::ApplyForTerminalType(ULONG Count, PCALLBACK_OBJECT CallbackObject) {
    PAGED_CODE();
    for (ULONG channel = 0; channel < Count && channel < m_ChannelCount; ++channel) {
        LoadStoredValue(channel);
        SetValue(channel, m_Values[channel]);
    }
    SendControlChange(CallbackObject, GetId());
}

NTSTATUS LevelControlBase::ApplyValues() {
    PAGED_CODE();
    return SetEveryChannel(*this, m_ChannelCount, m_Values);
}

NTSTATUS LevelControlBase::RefreshValues() {
    PAGED_CODE();
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
        LONG value = 0;
        NTSTATUS status = ReadFromDevice(channel, &value);
        if (!NT_SUCCESS(status)) return status;
        m_Values[channel] = value;
        StoreValue(channel);
    }
    return STATUS_SUCCESS;
}

NTSTATUS LevelControlBase::InitFeatureLevel(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    m_Unit = Unit;
    UnitInterface<FeatureUnitRanges> ranges(Unit, IID_FeatureUnitRanges);
    NTSTATUS status = ranges.Status();
    if (!NT_SUCCESS(status)) return status;
    ULONG count = 0;
    status = ranges->GetChannelCount(ControlSelector, &count);
    if (!NT_SUCCESS(status)) return status;
    LONG maximum = 0;
    LONG minimum = 0;
    LONG resolution = 0;
    status = ranges->GetRange(ControlSelector, &maximum, &minimum, &resolution);
    if (!NT_SUCCESS(status)) return status;

    m_ControlSelector = ControlSelector;
    status = Init(0, count, maximum, minimum, resolution);
    if (!NT_SUCCESS(status)) return status;
    m_SettingsDevice = SettingsDevice;
    for (ULONG channel = 0; channel < count; ++channel) {
        // A channel the device does not answer starts at 0 dB.
        LONG value = 0;
        if (NT_SUCCESS(ranges->GetCur(ControlSelector, channel, &value))) m_Values[channel] = value;
        LoadStoredValue(channel);
    }
    return STATUS_SUCCESS;
}

LONG LevelControlBase::Clamp(LONG Value) const {
    if (Value > m_Maximum) return m_Maximum;
    if (Value < m_Minimum) return m_Minimum;
    return Value;
}

LONG LevelControlBase::Quantise(LONG Clamped) const {
    // A device that reports no step (or a nonsensical one) takes the value as it is.
    if (m_Resolution <= 0) return Clamped;
    return Clamped / m_Resolution * m_Resolution;
}

void LevelControlBase::StoreValue(ULONG Channel) {
    PAGED_CODE();
    if (m_SettingsDevice == nullptr) return;
    WriteChannelValue(m_SettingsDevice, GetId(), m_TerminalType, Channel, &m_Values[Channel], sizeof(LONG));
}

void LevelControlBase::LoadStoredValue(ULONG Channel) {
    PAGED_CODE();
    if (m_SettingsDevice == nullptr) return;
    // A failed read (nothing stored, or a value of another size) leaves the cache as it was.
    ReadChannelValue(m_SettingsDevice, GetId(), m_TerminalType, Channel, &m_Values[Channel], sizeof(LONG));
}

NTSTATUS LevelControlBase::SendAndCache(ULONG Channel, LONG DeviceValue, LONG CacheValue) {
    PAGED_CODE();
    UnitInterface<FeatureUnitRanges> ranges(m_Unit, IID_FeatureUnitRanges);
    NTSTATUS status = ranges.Status();
    if (NT_SUCCESS(status)) status = ranges->SetCur(m_ControlSelector, Channel, DeviceValue);
    if (NT_SUCCESS(status)) {
        m_Values[Channel] = CacheValue;
        StoreValue(Channel);
    }
    return status;
}

NTSTATUS LevelControlBase::ReadFromDevice(ULONG Channel, PLONG Value) {
    UnitInterface<FeatureUnitRanges> ranges(m_Unit, IID_FeatureUnitRanges);
    if (!NT_SUCCESS(ranges.Status())) return ranges.Status();
    return ranges->GetCur(m_ControlSelector, Channel, Value);
}

// ---------------------------------------------------------------------------------------------
// VolumeControl, ToneControl

VolumeControl::VolumeControl(PUNKNOWN UnknownOuter, ULONG Id) : LevelControlBase(UnknownOuter, Id, NodeKind::Volume) {}

NTSTATUS VolumeControl::SetValue(ULONG Channel, LONG Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    if (Value == LevelSilence) {
        SendAndCache(Channel, Value, Value);
    } else {
        const LONG clamped = Clamp(Value);
        SendAndCache(Channel, Quantise(clamped), clamped);
    }
    return STATUS_SUCCESS;
}

ToneControl::ToneControl(PUNKNOWN UnknownOuter, ULONG Id, ToneBand Band)
    : LevelControlBase(UnknownOuter, Id, static_cast<NodeKind>(Band)) {}

NTSTATUS ToneControl::SetValue(ULONG Channel, LONG Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    if (Value == LevelSilence) {
        // A tone control has no silence: the device gets its minimum, the host keeps its value.
        SendAndCache(Channel, Quantise(Clamp(m_Minimum)), Value);
    } else {
        const LONG clamped = Clamp(Value);
        SendAndCache(Channel, Quantise(clamped), clamped);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// DeviceLevelControl

DeviceLevelControl::DeviceLevelControl(PUNKNOWN UnknownOuter, ULONG Id)
    : LevelControlBase(UnknownOuter, Id, NodeKind::DeviceLevel) {}

NTSTATUS DeviceLevelControl::GetValue(ULONG Channel, PLONG Value) {
    return LevelControlBase::GetValue(Channel == LevelAllChannels ? 0 : Channel, Value);
}

NTSTATUS DeviceLevelControl::SetValue(ULONG Channel, LONG Value) {
    PAGED_CODE();
    const bool allChannels = Channel == LevelAllChannels;
    if ((allChannels ? 0 : Channel) >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    const LONG clamped = Clamp(Value == LevelSilence ? m_Minimum : Value);
    const LONG deviceValue = Quantise(clamped);
    if (!allChannels) {
        SendAndCache(Channel, deviceValue, clamped);
        return STATUS_SUCCESS;
    }
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
        if (!NT_SUCCESS(SendAndCache(channel, deviceValue, clamped))) return STATUS_SUCCESS;
    }
    // Channel 0 stands for the whole control.
    m_Values[0] = clamped;
    StoreValue(0);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// GainVolumeControl

GainVolumeControl::GainVolumeControl(PUNKNOWN UnknownOuter, ULONG Id)
    : VolumeControl(UnknownOuter, Id), m_Gains(nullptr), m_SelectorInput(0), m_Selection(0) {}

GainVolumeControl::~GainVolumeControl() {
    if (m_Gains != nullptr) ExFreePoolWithTag(m_Gains, LevelValuesTag);
}

NTSTATUS GainVolumeControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_ProcessingStage, static_cast<ProcessingStage*>(this)},
        {IID_SelectorListener, static_cast<SelectorListener*>(this)},
    };
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage) || IsEqualGUID(InterfaceId, IID_SelectorListener)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return VolumeControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS GainVolumeControl::InitGainVolume(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    NTSTATUS status = InitFeatureLevel(Unit, ControlSelector, SettingsDevice);
    if (!NT_SUCCESS(status)) return status;
    // Zeroed: the spare entry past the channels is never left undefined.
    float* gains = AllocateChannelValues<float>(m_ChannelCount, ExDefaultNonPagedPoolType, LevelValuesTag);
    if (gains == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) gains[channel] = GainOfLevel(m_Values[channel]);
    if (m_Gains != nullptr) ExFreePoolWithTag(m_Gains, LevelValuesTag);
    m_Gains = gains;
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::SetValue(ULONG Channel, LONG Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    VolumeControl::SetValue(Channel, Value);
    // The host hears its own value even when the device refused it.
    UpdateGain(Channel, Value == LevelSilence ? Value : Clamp(Value));
    return STATUS_SUCCESS;
}

void GainVolumeControl::UpdateGain(ULONG Channel, LONG Value) {
    if (m_Gains != nullptr && Channel < m_ChannelCount) m_Gains[Channel] = GainOfLevel(Value);
}

NTSTATUS GainVolumeControl::RefreshValues() {
    PAGED_CODE();
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
        LONG value = 0;
        NTSTATUS status = ReadFromDevice(channel, &value);
        if (NT_SUCCESS(status)) status = SetValue(channel, value);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) {
    PAGED_CODE();
    LevelControlBase::OnTerminalTypeChanged(TerminalType, CallbackObject);
    // The gain stage scales every channel of the stream, also those the host does not see.
    ApplyForTerminalType(m_ChannelCount, CallbackObject);
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::Reserved1() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS GainVolumeControl::Reserved2() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS GainVolumeControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
    UNREFERENCED_PARAMETER(Format);
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::Reserved3() { return STATUS_SUCCESS; }

NTSTATUS GainVolumeControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_Gains == nullptr) return STATUS_SUCCESS;
    if (m_SelectorInput != m_Selection) return STATUS_SUCCESS;
    if (ProcessingStageFormatTag(*Format) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
    auto* const* planes = static_cast<float* const*>(Data);
    const ULONG channels =
        Format->Format.nChannels < ProcessingStageMaxPlanes ? Format->Format.nChannels : ProcessingStageMaxPlanes;
    const ULONG frames = Frames < ProcessingStageMaxFrames ? Frames : ProcessingStageMaxFrames;
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (planes[channel] == nullptr) continue;
        // A control with fewer channels than the stream (a master-only volume) scales the others
        // by its first channel's gain.
        const float gain = channel < m_ChannelCount ? m_Gains[channel] : m_Gains[0];
        MulConstFloatInPlace(gain, planes[channel], static_cast<LONG>(frames));
    }
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::OnSelectionChanging(ULONG NewSelection, ULONG OldSelection) {
    UNREFERENCED_PARAMETER(NewSelection);
    UNREFERENCED_PARAMETER(OldSelection);
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::OnSelectionChanged(ULONG Selection) {
    m_Selection = Selection;
    return STATUS_SUCCESS;
}

NTSTATUS GainVolumeControl::SetSelectorInput(ULONG Input) {
    m_SelectorInput = Input;
    return STATUS_SUCCESS;
}
