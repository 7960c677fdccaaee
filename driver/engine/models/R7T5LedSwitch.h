// The R7T5 variant whose record units carry a vendor switch: an LED the host turns on and off in
// device register 1 (bits 4-5), remembered in the settings like any stored switch.
#pragma once

#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/models/R7T5Units.h"

class R7T5AudioHal;

class R7T5LedSwitchControl : public StoredSwitchControl {
public:
    R7T5LedSwitchControl(PUNKNOWN UnknownOuter, ULONG Id);

    // One channel from the settings; Hal writes the register (no reference: it owns the unit).
    NTSTATUS InitLedSwitch(PUNKNOWN Unit, PDEVICE_OBJECT SettingsDevice, R7T5AudioHal* Hal);

    // Channel 0 only, else STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetValue(ULONG Channel, PUCHAR Value) override;
    // Register 1 first (0x10 on, 0x30 off); a refused write changes nothing and is the result.
    // Without a HAL: STATUS_INVALID_PARAMETER.
    STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;

private:
    R7T5AudioHal* m_pHal;
};

// A record unit (2, 8, 15) of that variant: the record scale, no vendor extension, and the LED
// switch beside its feature controls.
class R7T5RecordUnit268E : public R7T5RecordUnit {
public:
    using R7T5RecordUnit::R7T5RecordUnit;

    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    // The feature controls, then the LED switch (before the unit chains them).
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;
};
