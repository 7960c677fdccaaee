// The W4M3 feature unit: the UAC 1.0 feature unit whose two vendor selectors switch effects the
// driver computes itself. Selector 0x8B is the room effect (delay network), 0x8C the headphone
// effect; each becomes an effect control that is both the unit's vendor control and a processing
// stage of the render stream. The other selectors make the class's plain controls. Every control
// comes from non-paged pool with the tag "W4M3".
#pragma once

#include "driver/engine/uac1/Uac1FeatureUnit.h"

constexpr ULONG W4M3Tag = '3M4W';

// Vendor selectors of the effects.
constexpr ULONG W4M3DelayEffectSelector = 0x8B;
constexpr ULONG W4M3HeadphoneEffectSelector = 0x8C;

class CDelayEffectControl;

class W4M3FeatureUnit : public FeatureUnit {
public:
    using FeatureUnit::FeatureUnit;
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;

protected:
    NTSTATUS NewVendorControl(ULONG ControlSelector, ULONG ControlId, ULONG PoolTag, PDEVICE_OBJECT SettingsDevice,
                              AudioNode** Created) override;

private:
    // The room control made from selector 0x8B, not referenced (the unit's list holds it): the
    // headphone control made after it is the stage that down-mixes behind it.
    CDelayEffectControl* m_pRoom = nullptr;
};
