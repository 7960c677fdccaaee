// The controls of the R7T5 master unit (13). The device's S/PDIF output carries the stream
// untouched by the unit, so while output terminal 3 is switched to S/PDIF the unit's mute and
// volume also act on the render stream in the driver, as processing stages: the mute silences the
// block, the volume scales each channel by its linear gain. With the speaker or headphone type only
// the device acts.
#pragma once

#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/models/R7T5Stages.h"

// The endpoint-type index of the S/PDIF output.
constexpr ULONG R7T5SpdifTerminalType = 3;

class R7T5MasterMuteControl : public MuteControl, public R7T5ControlStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    R7T5MasterMuteControl(PUNKNOWN UnknownOuter, ULONG Id);

    // ProcessingStage.
    // Silence while channel 0 is muted and the last terminal type given is S/PDIF.
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
};

class R7T5MasterVolumeControl : public VolumeControl, public R7T5ControlStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    // Channels past this take unity gain in the stage (the device still gets their values).
    static constexpr ULONG MaxGains = 8;

    R7T5MasterVolumeControl(PUNKNOWN UnknownOuter, ULONG Id);

    // InitFeatureLevel, then every gain from the values.
    NTSTATUS InitMasterVolume(PUNKNOWN Unit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    // As VolumeControl; when it succeeded the channel's gain follows the cached value.
    STDMETHODIMP SetValue(ULONG Channel, LONG Value) override;
    // As the base, then every gain.
    NTSTATUS RefreshValues() override;
    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override;

    // ProcessingStage.
    // PCM while the last terminal type given is S/PDIF: plane c times gain c (unity past the gains).
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;

    float Gain(ULONG Channel) const { return Channel < MaxGains ? m_Gains[Channel] : 1.0f; }

private:
    // Gains of channels First to First + Count - 1 (within the cache and the table) from the cached
    // values: 10 ^ (value / (20 x 65536)); silence gives 0.
    void UpdateGains(ULONG First, ULONG Count);

    float m_Gains[MaxGains];
};
