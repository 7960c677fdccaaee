#include "driver/engine/models/R7T5LedSwitch.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/models/R7T5AudioHal.h"

namespace {

constexpr ULONG LedRegister = 1;
constexpr USHORT LedMask = 0x30;
constexpr USHORT LedOn = 0x10;
constexpr USHORT LedOff = 0x30;

}  // namespace

R7T5LedSwitchControl::R7T5LedSwitchControl(PUNKNOWN UnknownOuter, ULONG Id)
    : StoredSwitchControl(UnknownOuter, Id), m_pHal(nullptr) {}

NTSTATUS R7T5LedSwitchControl::InitLedSwitch(PUNKNOWN Unit, PDEVICE_OBJECT SettingsDevice, R7T5AudioHal* Hal) {
    PAGED_CODE();
    m_pHal = Hal;
    return InitSwitchFromSettings(Unit, SettingsDevice);
}

NTSTATUS R7T5LedSwitchControl::GetValue(ULONG Channel, PUCHAR Value) {
    if (Channel != 0 || Value == nullptr) return STATUS_INVALID_PARAMETER;
    return StoredSwitchControl::GetValue(Channel, Value);
}

NTSTATUS R7T5LedSwitchControl::SetValue(ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel != 0 || m_pHal == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = m_pHal->WriteDeviceRegister(LedRegister, Value != 0 ? LedOn : LedOff, LedMask);
    if (!NT_SUCCESS(status)) return status;
    return StoredSwitchControl::SetValue(Channel, Value);
}

NTSTATUS R7T5RecordUnit268E::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitWithoutExtension(Descriptor, Hal, ControlHal);
}

NTSTATUS R7T5RecordUnit268E::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    NTSTATUS status = R7T5RecordUnit::CreateControls(Hal);
    if (!NT_SUCCESS(status)) return status;
    auto* led = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5LedSwitchControl(nullptr, Hal->GetNodeCount());
    if (led == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    led->NonDelegatingAddRef();
    // Only the R7T5 walk makes this unit, so its HAL is the R7T5 HAL.
    status = led->InitLedSwitch(AsUnit(), Hal->GetDeviceObject(), static_cast<R7T5AudioHal*>(Hal));
    if (NT_SUCCESS(status)) status = static_cast<AudioHal*>(Hal)->AddNode(led);
    if (NT_SUCCESS(status)) status = AddControl(led);
    led->Release();
    return status;
}
