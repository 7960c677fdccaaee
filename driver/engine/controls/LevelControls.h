// The level controls: one signed 32-bit value per channel in 1/65536 dB, cached, carried to the
// device through the feature unit's FeatureUnitRanges interface and stored per terminal type under
// the channel value names of ControlPersistence.h.
//
// SetValue clamps to [minimum, maximum] and sends the clamped value quantised to the resolution
// (truncated toward zero); the cache keeps the clamped value. A resolution of 0 or less is no
// quantisation. LevelSilence (0x80000000) is:
//   VolumeControl        3      sent and cached unchanged;
//   ToneControl          9-11   sent as the minimum, cached as LevelSilence;
//   DeviceLevelControl   8      replaced by the minimum; LevelAllChannels sets every channel;
//   GainVolumeControl    3      as VolumeControl, and also scales the stream's data by the linear
//                               gain of each channel (silence: 0) as a ProcessingStage while the
//                               selector it sits behind selects its input.
// The cache and the stored value change only when the device accepted the value.
//
// None takes a lock: property handlers, the HAL's status thread and the terminal-type path call
// them at passive level, and the data path reads the gain table without one.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/ProcessingStage.h"
#include "driver/engine/interfaces/Selector.h"

#include <win/kernel.h>

// "VTag": level values (paged) and the gain table (non-paged).
constexpr ULONG LevelValuesTag = 'gaTV';

// The middle class of every level control.
class LevelControlBase : public LevelControl, public TerminalTypeListener, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    LevelControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind);
    // Frees the values.
    ~LevelControlBase() override;

    // LevelControl.
    STDMETHODIMP GetValue(ULONG Channel, PLONG Value) override;
    STDMETHODIMP GetRange(PLONG Maximum, PLONG Minimum, PLONG Resolution) override;
    STDMETHODIMP GetChannelCount(PULONG Count) override;
    // A second Init replaces the values; a failure keeps the old ones.
    STDMETHODIMP Init(ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Resolution) override;

    // TerminalTypeListener: keeps the type, loads the values stored for it over the cache and sends
    // each channel the host sees through this class's SetValue, then notifies CallbackObject.
    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override;

    // AudioNode: SetValue with the cached value for every channel, stopping at the first failure;
    // STATUS_INVALID_PARAMETER for a control without channels.
    NTSTATUS ApplyValues() override;
    // Per channel: the device's value, cached and stored; the first failed read ends it.
    NTSTATUS RefreshValues() override;

    // The unit's channel count and range for the selector, then per channel the device's current
    // value with the stored one over it. Nothing is sent; ApplyValues does that later. Unit: the
    // feature unit, not referenced (it owns this control).
    NTSTATUS InitFeatureLevel(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    ULONG GetTerminalType() const { return m_TerminalType; }

protected:
    // Value limited to [minimum, maximum].
    LONG Clamp(LONG Value) const;
    // A clamped value as the device takes it: a multiple of the resolution, truncated toward zero.
    LONG Quantise(LONG Clamped) const;
    void StoreValue(ULONG Channel);
    void LoadStoredValue(ULONG Channel);
    // Sends DeviceValue to Channel; on success caches and stores CacheValue. Answers the device's
    // status.
    NTSTATUS SendAndCache(ULONG Channel, LONG DeviceValue, LONG CacheValue);
    NTSTATUS ReadFromDevice(ULONG Channel, PLONG Value);
    // Sends the cached values of the channels below Count through SetValue, then notifies.
    void ApplyForTerminalType(ULONG Count, PCALLBACK_OBJECT CallbackObject);

    ULONG m_ChannelCount;
    PLONG m_Values;                  // m_ChannelCount + 1 entries, paged "VTag"
    LONG m_Maximum;                  // 1/65536 dB
    LONG m_Minimum;
    LONG m_Resolution;               // step in 1/65536 dB; 0 or less: none
    ULONG m_TerminalType;            // endpoint-type index; 0 until the first type change
    PDEVICE_OBJECT m_SettingsDevice;  // the device object AccessSetting takes
    PUNKNOWN m_Unit;                  // the feature unit, not referenced
    ULONG m_ControlSelector;
};

class VolumeControl : public LevelControlBase {
public:
    VolumeControl(PUNKNOWN UnknownOuter, ULONG Id);

    STDMETHODIMP SetValue(ULONG Channel, LONG Value) override;
};

enum class ToneBand : ULONG {
    Bass = NodeKindCode(NodeKind::Bass),
    Mid = NodeKindCode(NodeKind::Mid),
    Treble = NodeKindCode(NodeKind::Treble),
};

class ToneControl : public LevelControlBase {
public:
    ToneControl(PUNKNOWN UnknownOuter, ULONG Id, ToneBand Band);

    STDMETHODIMP SetValue(ULONG Channel, LONG Value) override;
};

class DeviceLevelControl : public LevelControlBase {
public:
    DeviceLevelControl(PUNKNOWN UnknownOuter, ULONG Id);

    // LevelAllChannels reads channel 0.
    STDMETHODIMP GetValue(ULONG Channel, PLONG Value) override;
    // LevelAllChannels sets every channel in turn, ending quietly at the first refusal.
    STDMETHODIMP SetValue(ULONG Channel, LONG Value) override;
};

class GainVolumeControl : public VolumeControl, public ProcessingStage, public SelectorListener {
public:
    DECLARE_KERNEL_UNKNOWN();

    GainVolumeControl(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the gain table.
    ~GainVolumeControl() override;

    // InitFeatureLevel, then the gain table from the values.
    NTSTATUS InitGainVolume(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    // As VolumeControl; the channel's gain follows the value whether or not the device took it.
    STDMETHODIMP SetValue(ULONG Channel, LONG Value) override;
    // Per channel: the device's value through SetValue (sent back, gain updated).
    NTSTATUS RefreshValues() override;
    // The base's reload for the channels the host sees, then once more for every channel.
    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override;

    // ProcessingStage.
    STDMETHODIMP Reserved1() override;
    STDMETHODIMP Reserved2() override;
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
    STDMETHODIMP Reserved3() override;
    // PCM only, while the selector input equals the selection: plane c times gain c. Planes beyond
    // the control's channels take the gain of channel 0.
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;

    // SelectorListener.
    STDMETHODIMP OnSelectionChanging(ULONG NewSelection, ULONG OldSelection) override;
    STDMETHODIMP OnSelectionChanged(ULONG Selection) override;
    STDMETHODIMP SetSelectorInput(ULONG Input) override;

private:
    void UpdateGain(ULONG Channel, LONG Value);

    float* m_Gains;          // linear factors, m_ChannelCount + 1 entries, non-paged "VTag", zeroed
    ULONG m_SelectorInput;   // the selector input this control sits behind (0: none)
    ULONG m_Selection;       // the selector's current selection
};
