// The S/PDIF record feature unit (16) of the R7T5. The device does not mute the S/PDIF input
// itself while it is recorded, so the unit's mute also silences the capture stream in the driver
// whenever the record selector has the S/PDIF input selected.
#pragma once

#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"

class R7T5SpdifMuteControl : public SelectorMuteControl, public R7T5ControlStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    R7T5SpdifMuteControl(PUNKNOWN UnknownOuter, ULONG Id);

    // ProcessingStage.
    // Silence while channel 0 is muted and the selection is the selector input this unit feeds
    // (wherever the rewritten descriptor put it); nothing before the selector told its input.
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
};

class R7T5SpdifRecordUnit : public FeatureUnit {
public:
    using FeatureUnit::FeatureUnit;

    // No vendor extension is read.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    // Only the mute (when the unit has one), as an R7T5SpdifMuteControl.
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;
};
