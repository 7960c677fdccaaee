// The R7T5 variant (0xA5E7/0x0053) whose record units do not mute in the device: their mute is a
// driver switch that silences the capture stream, remembered in the settings, and never sent.
#pragma once

#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/models/R7T5Units.h"

// Starts from the device's mute (as every feature switch does), then only caches and stores what
// the host sets; the data path silences the stream while channel 0 is muted.
class R7T5SoftMuteControl : public MuteControl, public R7T5ControlStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    R7T5SoftMuteControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Caches and stores; no device request.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
    // The value lives in the driver: the device's mute, which the driver never sets, would undo
    // the host's choice, so nothing is read.
    NTSTATUS RefreshValues() override;

    // ProcessingStage.
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
};

// A record unit (2, 8, 15) of that variant: the record scale, no vendor extension, and only a
// soft mute (selector 1) and a volume (selector 2).
class R7T5RecordUnit53 : public R7T5RecordUnit {
public:
    using R7T5RecordUnit::R7T5RecordUnit;

    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    // The soft mute when the unit has selector 1 (no memory: STATUS_INSUFFICIENT_RESOURCES), then
    // the volume when it has selector 2 (no memory: the unit goes on without it).
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;
};
