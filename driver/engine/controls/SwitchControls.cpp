#include "driver/engine/controls/SwitchControls.h"

#include "driver/engine/interfaces/ChannelValues.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/interfaces/UnitInterface.h"
#include "driver/signal/SignalLibrary.h"

// ---------------------------------------------------------------------------------------------
// SwitchControlBase

SwitchControlBase::SwitchControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind)
    : AudioNode(UnknownOuter, Id, NodeKindCode(Kind)),
      m_ChannelCount(0),
      m_Values(nullptr),
      m_ValuesTag(SwitchValuesTag),
      m_TerminalType(0),
      m_SettingsDevice(nullptr),
      m_Unit(nullptr),
      m_ControlSelector(0) {}

SwitchControlBase::~SwitchControlBase() {
    if (m_Values != nullptr) ExFreePoolWithTag(m_Values, m_ValuesTag);
}

NTSTATUS SwitchControlBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<AudioNode*>(this)},
        {IID_AudioNode, static_cast<AudioNode*>(this)},
        {IID_OnOffControl, static_cast<OnOffControl*>(this)},
        {IID_TerminalTypeListener, static_cast<TerminalTypeListener*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS SwitchControlBase::GetValue(ULONG Channel, PUCHAR Value) {
    if (Channel >= m_ChannelCount || Value == nullptr) return STATUS_INVALID_PARAMETER;
    *Value = m_Values[Channel];
    return STATUS_SUCCESS;
}

NTSTATUS SwitchControlBase::GetChannelCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = ChannelsShown(m_TerminalType, m_ChannelCount);
    return STATUS_SUCCESS;
}

NTSTATUS SwitchControlBase::Init(ULONG SourceId, ULONG ChannelCount) {
    PUCHAR values = AllocateChannelValues<UCHAR>(ChannelCount, ExDefaultNonPagedPoolType, m_ValuesTag);
    if (values == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SetSources(1, &SourceId);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(values, m_ValuesTag);
        return status;
    }
    if (m_Values != nullptr) ExFreePoolWithTag(m_Values, m_ValuesTag);
    m_Values = values;
    m_ChannelCount = ChannelCount;
    return STATUS_SUCCESS;
}

NTSTATUS SwitchControlBase::OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) {
    PAGED_CODE();
    m_TerminalType = TerminalType;
    ULONG count = 0;
    GetChannelCount(&count);
    for (ULONG channel = 0; channel < count; ++channel) {
        LoadStoredValue(channel);
        SetValue(channel, m_Values[channel]);
    }
    SendControlChange(CallbackObject, GetId());
    return STATUS_SUCCESS;
}

NTSTATUS SwitchControlBase::ApplyValues() {
    PAGED_CODE();
    return SetEveryChannel(*this, m_ChannelCount, m_Values);
}

NTSTATUS SwitchControlBase::InitFeatureSwitch(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    m_Unit = Unit;
    UnitInterface<FeatureUnitChannels> channels(Unit, IID_FeatureUnitChannels);
    NTSTATUS status = channels.Status();
    if (!NT_SUCCESS(status)) return status;
    ULONG count = 0;
    status = channels->GetChannelCount(ControlSelector, &count);
    if (!NT_SUCCESS(status)) return status;

    m_ControlSelector = ControlSelector;
    status = Init(0, count);
    if (!NT_SUCCESS(status)) return status;
    m_SettingsDevice = SettingsDevice;
    for (ULONG channel = 0; channel < count; ++channel) {
        // A channel the device does not answer starts off.
        UCHAR value = 0;
        if (NT_SUCCESS(channels->GetCur(ControlSelector, channel, &value))) m_Values[channel] = value;
        LoadStoredValue(channel);
    }
    return STATUS_SUCCESS;
}

void SwitchControlBase::StoreValue(ULONG Channel) {
    PAGED_CODE();
    if (m_SettingsDevice == nullptr) return;
    WriteChannelValue(m_SettingsDevice, GetId(), m_TerminalType, Channel, &m_Values[Channel], sizeof(UCHAR));
}

void SwitchControlBase::LoadStoredValue(ULONG Channel) {
    PAGED_CODE();
    if (m_SettingsDevice == nullptr) return;
    // A failed read leaves the cache as it was.
    ReadChannelValue(m_SettingsDevice, GetId(), m_TerminalType, Channel, &m_Values[Channel], sizeof(UCHAR));
}

NTSTATUS SwitchControlBase::SendToDevice(ULONG Channel, UCHAR Value) {
    UnitInterface<FeatureUnitChannels> channels(m_Unit, IID_FeatureUnitChannels);
    if (!NT_SUCCESS(channels.Status())) return channels.Status();
    return channels->SetCur(m_ControlSelector, Channel, Value);
}

NTSTATUS SwitchControlBase::ReadFromDevice(ULONG Channel, PUCHAR Value) {
    UnitInterface<FeatureUnitChannels> channels(m_Unit, IID_FeatureUnitChannels);
    if (!NT_SUCCESS(channels.Status())) return channels.Status();
    return channels->GetCur(m_ControlSelector, Channel, Value);
}

NTSTATUS SwitchControlBase::RefreshFromDevice() {
    PAGED_CODE();
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
        UCHAR value = 0;
        NTSTATUS status = ReadFromDevice(channel, &value);
        if (!NT_SUCCESS(status)) return status;
        m_Values[channel] = value;
        StoreValue(channel);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Feature switches

FeatureSwitchControl::FeatureSwitchControl(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind)
    : SwitchControlBase(UnknownOuter, Id, Kind) {}

NTSTATUS FeatureSwitchControl::SetValue(ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    SendToDevice(Channel, Value);  // a refusal keeps the host's value all the same
    m_Values[Channel] = Value;
    StoreValue(Channel);
    return STATUS_SUCCESS;
}

NTSTATUS FeatureSwitchControl::RefreshValues() { return RefreshFromDevice(); }

MuteControl::MuteControl(PUNKNOWN UnknownOuter, ULONG Id) : FeatureSwitchControl(UnknownOuter, Id, NodeKind::Mute) {}

AgcControl::AgcControl(PUNKNOWN UnknownOuter, ULONG Id)
    : FeatureSwitchControl(UnknownOuter, Id, NodeKind::AutomaticGain) {}

LoudnessControl::LoudnessControl(PUNKNOWN UnknownOuter, ULONG Id)
    : FeatureSwitchControl(UnknownOuter, Id, NodeKind::Loudness) {}

// ---------------------------------------------------------------------------------------------
// SelectorMuteControl

SelectorMuteControl::SelectorMuteControl(PUNKNOWN UnknownOuter, ULONG Id)
    : MuteControl(UnknownOuter, Id), m_SelectorInput(0), m_Selection(0) {}

NTSTATUS SelectorMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_SelectorListener)) {
        const KernelInterface answers[] = {{IID_SelectorListener, static_cast<SelectorListener*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return MuteControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS SelectorMuteControl::OnSelectionChanging(ULONG NewSelection, ULONG OldSelection) {
    UNREFERENCED_PARAMETER(NewSelection);
    UNREFERENCED_PARAMETER(OldSelection);
    return STATUS_SUCCESS;
}

NTSTATUS SelectorMuteControl::OnSelectionChanged(ULONG Selection) {
    m_Selection = Selection;
    return STATUS_SUCCESS;
}

NTSTATUS SelectorMuteControl::SetSelectorInput(ULONG Input) {
    m_SelectorInput = Input;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// DeviceSwitchControl

DeviceSwitchControl::DeviceSwitchControl(PUNKNOWN UnknownOuter, ULONG Id)
    : SwitchControlBase(UnknownOuter, Id, NodeKind::DeviceSwitch) {}

NTSTATUS DeviceSwitchControl::SetValue(ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(SendToDevice(Channel, Value))) {
        m_Values[Channel] = Value;
        StoreValue(Channel);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeviceSwitchControl::RefreshValues() { return RefreshFromDevice(); }

// ---------------------------------------------------------------------------------------------
// StoredSwitchControl

StoredSwitchControl::StoredSwitchControl(PUNKNOWN UnknownOuter, ULONG Id)
    : SwitchControlBase(UnknownOuter, Id, NodeKind::StoredSwitch) {}

NTSTATUS StoredSwitchControl::InitSwitchFromSettings(PUNKNOWN Unit, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    m_Unit = Unit;
    NTSTATUS status = Init(0, 1);
    if (!NT_SUCCESS(status)) return status;
    m_SettingsDevice = SettingsDevice;
    m_Values[0] = 0;
    LoadStoredValue(0);
    return STATUS_SUCCESS;
}

NTSTATUS StoredSwitchControl::SetValue(ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    m_Values[Channel] = Value;
    StoreValue(Channel);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// SoftwareMuteControl

SoftwareMuteControl::SoftwareMuteControl(PUNKNOWN UnknownOuter, ULONG Id)
    : SwitchControlBase(UnknownOuter, Id, NodeKind::Mute) {
    m_ValuesTag = SoftwareMuteValuesTag;
}

NTSTATUS SoftwareMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage)) {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return SwitchControlBase::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS SoftwareMuteControl::Init(ULONG SourceId, ULONG ChannelCount) {
    if (ChannelCount != 1) return STATUS_INSUFFICIENT_RESOURCES;
    return SwitchControlBase::Init(SourceId, ChannelCount);
}

NTSTATUS SoftwareMuteControl::SetValue(ULONG Channel, UCHAR Value) {
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    m_Values[Channel] = Value;
    return STATUS_SUCCESS;
}

NTSTATUS SoftwareMuteControl::OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) {
    UNREFERENCED_PARAMETER(CallbackObject);
    m_TerminalType = TerminalType;
    return STATUS_SUCCESS;
}

NTSTATUS SoftwareMuteControl::ApplyValues() { return AudioNode::ApplyValues(); }

NTSTATUS SoftwareMuteControl::Reserved1() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS SoftwareMuteControl::Reserved2() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS SoftwareMuteControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
    UNREFERENCED_PARAMETER(Format);
    return STATUS_SUCCESS;
}

NTSTATUS SoftwareMuteControl::Reserved3() { return STATUS_SUCCESS; }

NTSTATUS SoftwareMuteControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_Values == nullptr || m_Values[0] == 0) return STATUS_SUCCESS;
    SilenceProcessingBlock(Format, Data, Frames);
    return STATUS_SUCCESS;
}

void SilenceProcessingBlock(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (ProcessingStageFormatTag(*Format) == WAVE_FORMAT_PCM) {
        auto* const* planes = static_cast<float* const*>(Data);
        const ULONG channels =
            Format->Format.nChannels < ProcessingStageMaxPlanes ? Format->Format.nChannels : ProcessingStageMaxPlanes;
        // A plane holds one block.
        const ULONG frames = Frames < ProcessingStageMaxFrames ? Frames : ProcessingStageMaxFrames;
        for (ULONG channel = 0; channel < channels; ++channel) {
            if (planes[channel] != nullptr) ZeroFloat(planes[channel], static_cast<LONG>(frames));
        }
    } else {
        RtlZeroMemory(Data, static_cast<SIZE_T>(Frames) * Format->Format.nBlockAlign);
    }
}

NTSTATUS SoftwareMuteControl::Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    return STATUS_SUCCESS;
}
