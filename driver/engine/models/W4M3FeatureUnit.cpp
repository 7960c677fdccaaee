#include "driver/engine/models/W4M3FeatureUnit.h"

#include "driver/engine/models/W4M3EffectControls.h"

NTSTATUS W4M3FeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    return CreateControlsWithTag(Hal, W4M3Tag);
}

namespace {

template <class Control>
NTSTATUS NewEffectControl(PUNKNOWN Unit, ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                          PDEVICE_OBJECT SettingsDevice, AudioNode** Created) {
    auto* c = new (ExDefaultNonPagedPoolType, PoolTag) Control(nullptr, ControlId);
    if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    c->NonDelegatingAddRef();
    *Created = c;
    return c->InitEffect(Unit, ControlSelector, SettingsDevice);
}

}  // namespace

NTSTATUS W4M3FeatureUnit::NewVendorControl(ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                                           PDEVICE_OBJECT SettingsDevice, AudioNode** Created) {
    PAGED_CODE();
    *Created = nullptr;
    switch (ControlSelector) {
    case W4M3DelayEffectSelector:
        return NewEffectControl<CDelayEffectControl>(AsUnit(), ControlSelector, ControlId, PoolTag, SettingsDevice, Created);
    case W4M3HeadphoneEffectSelector:
        return NewEffectControl<CHeadphoneEffectControl>(AsUnit(), ControlSelector, ControlId, PoolTag, SettingsDevice,
                                                         Created);
    default:
        return FeatureUnit::NewVendorControl(ControlSelector, ControlId, PoolTag, SettingsDevice, Created);
    }
}
