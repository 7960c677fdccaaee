// The on/off controls: one byte per channel (0 off, 1 on), cached, carried to the device through
// the feature unit's FeatureUnitChannels interface and stored per terminal type under the channel
// value names of ControlPersistence.h.
//
//   class                 kind  device request                    stored
//   MuteControl            2    SetCur, status ignored            always
//   AgcControl             6    as MuteControl
//   LoudnessControl        7    as MuteControl
//   SelectorMuteControl    2    as MuteControl; also a SelectorListener
//   DeviceSwitchControl   18    SetCur                            only when the device accepted it
//   StoredSwitchControl   22    none                              always
//   SoftwareMuteControl    2    none (silences the stream as a    never
//                               ProcessingStage)
//
// None takes a lock: property handlers, the HAL's status thread and the terminal-type path call
// them at passive level, and the data path reads the software mute's value without one.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/ProcessingStage.h"
#include "driver/engine/interfaces/Selector.h"

#include <win/kernel.h>

// "MTag": switch values (non-paged).
constexpr ULONG SwitchValuesTag = 'gaTM';
// "DSPs": the software mute's values (non-paged).
constexpr ULONG SoftwareMuteValuesTag = 'sPSD';

// The middle class of every on/off control: the channel values, the terminal type whose stored
// values are in force, and what a feature-bound control needs to reach its unit and the settings.
class SwitchControlBase : public OnOffControl, public TerminalTypeListener, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    SwitchControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind);
    // Frees the values.
    ~SwitchControlBase() override;

    // OnOffControl.
    STDMETHODIMP GetValue(ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP GetChannelCount(PULONG Count) override;
    // A second Init replaces the values; a failure keeps the old ones.
    STDMETHODIMP Init(ULONG SourceId, ULONG ChannelCount) override;

    // TerminalTypeListener: keeps the type, loads the values stored for it over the cache and sends
    // each channel the host sees through this class's SetValue, then notifies CallbackObject.
    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override;

    // AudioNode: SetValue with the cached value for every channel, stopping at the first failure;
    // STATUS_INVALID_PARAMETER for a control without channels.
    NTSTATUS ApplyValues() override;

    // Initialisation of a feature switch or device switch: the unit's channel count for the
    // selector, then per channel the device's current value with the stored one over it. Nothing is
    // sent; ApplyValues does that later. Unit: the feature unit, not referenced (it owns this
    // control).
    NTSTATUS InitFeatureSwitch(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    ULONG GetTerminalType() const { return m_TerminalType; }

protected:
    // Writes channel Channel's cached value under the current terminal type; failures ignored.
    void StoreValue(ULONG Channel);
    // Reads the value stored for Channel under the current terminal type into the cache when one
    // exists.
    void LoadStoredValue(ULONG Channel);
    // FeatureUnitChannels::SetCur and GetCur on the unit with this control's selector.
    NTSTATUS SendToDevice(ULONG Channel, UCHAR Value);
    NTSTATUS ReadFromDevice(ULONG Channel, PUCHAR Value);
    // Per channel: read the device's value, cache and store it; the first failed read ends it.
    NTSTATUS RefreshFromDevice();

    ULONG m_ChannelCount;
    PUCHAR m_Values;                 // m_ChannelCount + 1 entries; the tag is the class's
    ULONG m_ValuesTag;
    ULONG m_TerminalType;            // endpoint-type index; 0 until the first type change
    PDEVICE_OBJECT m_SettingsDevice;  // the device object AccessSetting takes
    PUNKNOWN m_Unit;                  // the feature unit, not referenced
    ULONG m_ControlSelector;
};

// The feature switches: mute, automatic gain and loudness behave alike and differ in kind.
class FeatureSwitchControl : public SwitchControlBase {
public:
    FeatureSwitchControl(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind);

    // Sends the value (a refusal is ignored), caches and stores it.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
    NTSTATUS RefreshValues() override;
};

class MuteControl : public FeatureSwitchControl {
public:
    MuteControl(PUNKNOWN UnknownOuter, ULONG Id);
};

class AgcControl : public FeatureSwitchControl {
public:
    AgcControl(PUNKNOWN UnknownOuter, ULONG Id);
};

class LoudnessControl : public FeatureSwitchControl {
public:
    LoudnessControl(PUNKNOWN UnknownOuter, ULONG Id);
};

// A mute behind a selector input; it keeps the input and the selector's selection.
class SelectorMuteControl : public MuteControl, public SelectorListener {
public:
    DECLARE_KERNEL_UNKNOWN();

    SelectorMuteControl(PUNKNOWN UnknownOuter, ULONG Id);

    // SelectorListener.
    STDMETHODIMP OnSelectionChanging(ULONG NewSelection, ULONG OldSelection) override;
    STDMETHODIMP OnSelectionChanged(ULONG Selection) override;
    STDMETHODIMP SetSelectorInput(ULONG Input) override;

    ULONG GetSelectorInput() const { return m_SelectorInput; }
    ULONG GetSelection() const { return m_Selection; }

private:
    ULONG m_SelectorInput;
    ULONG m_Selection;
};

class DeviceSwitchControl : public SwitchControlBase {
public:
    DeviceSwitchControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Caches and stores the value only when the device accepted it; success either way.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
    NTSTATUS RefreshValues() override;
};

// A one-channel switch that lives only in the settings.
class StoredSwitchControl : public SwitchControlBase {
public:
    StoredSwitchControl(PUNKNOWN UnknownOuter, ULONG Id);

    // One channel, off unless a value is stored.
    NTSTATUS InitSwitchFromSettings(PUNKNOWN Unit, PDEVICE_OBJECT SettingsDevice);
    // Caches and stores; no device request.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
};

// Silences one block of the data path: PCM planes are zeroed, any other format's Frames x
// nBlockAlign bytes at Data.
void SilenceProcessingBlock(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames);

// A mute of the stream's data for paths without a mute of their own; one channel, never stored.
class SoftwareMuteControl : public SwitchControlBase, public ProcessingStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    SoftwareMuteControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Accepts only one channel; any other count answers STATUS_INSUFFICIENT_RESOURCES.
    STDMETHODIMP Init(ULONG SourceId, ULONG ChannelCount) override;
    // Caches only.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
    // Keeps the type; there is nothing stored to load.
    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override;
    // Nothing to write to the device.
    NTSTATUS ApplyValues() override;

    // ProcessingStage.
    STDMETHODIMP Reserved1() override;
    STDMETHODIMP Reserved2() override;
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
    STDMETHODIMP Reserved3() override;
    // While channel 0 is on: PCM planes are zeroed, any other format's Frames x nBlockAlign bytes.
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
};
