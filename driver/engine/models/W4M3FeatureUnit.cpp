#include "driver/engine/models/W4M3FeatureUnit.h"

#include "driver/engine/models/W4M3EffectControls.h"

NTSTATUS W4M3FeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    return CreateControlsWithTag(Hal, W4M3Tag);
}

namespace {

template <class Control>
NTSTATUS NewEffectControl(PUNKNOWN Unit, ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                          PDEVICE_OBJECT SettingsDevice, AudioNode** Created, Control** Made) {
    auto* c = new (NonPagedPoolNx, PoolTag) Control(nullptr, ControlId);
    if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    c->NonDelegatingAddRef();
    *Created = c;
    const NTSTATUS status = c->InitEffect(Unit, ControlSelector, SettingsDevice);
    if (NT_SUCCESS(status)) *Made = c;
    return status;
}

}  // namespace

NTSTATUS W4M3FeatureUnit::NewVendorControl(ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                                           PDEVICE_OBJECT SettingsDevice, AudioNode** Created) {
    PAGED_CODE();
    *Created = nullptr;
    switch (ControlSelector) {
    case W4M3DelayEffectSelector:
        return NewEffectControl(AsUnit(), ControlSelector, ControlId, PoolTag, SettingsDevice, Created, &m_pRoom);
    case W4M3HeadphoneEffectSelector: {
        // The room stage runs first on the path; the headphone stage after it makes the one
        // down-mix of the chain.
        CHeadphoneEffectControl* headphone = nullptr;
        const NTSTATUS status =
            NewEffectControl(AsUnit(), ControlSelector, ControlId, PoolTag, SettingsDevice, Created, &headphone);
        if (headphone != nullptr && m_pRoom != nullptr) m_pRoom->SetDownmixAfter(headphone);
        return status;
    }
    default:
        return FeatureUnit::NewVendorControl(ControlSelector, ControlId, PoolTag, SettingsDevice, Created);
    }
}
