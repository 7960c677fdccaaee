#include "driver/engine/uac1/Uac1MixerUnit.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/controls/MixerControl.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG UnitIdOffset = 3;

}  // namespace

MixerUnit::MixerUnit(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}

NTSTATUS MixerUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || !IsUac1UnitWithSources(Descriptor, Uac1MixerUnitSubtype)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (NT_SUCCESS(status)) status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS MixerUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    m_Id = GetDescriptor()[UnitIdOffset];
    m_Kind = Uac1MixerUnitSubtype;
    NTSTATUS status = SetUac1UnitSources(this, GetDescriptor());
    if (!NT_SUCCESS(status)) return status;
    auto* mixer = new (ExDefaultNonPagedPoolType, Uac1UnitTag) MixerControlNode(nullptr, Hal->GetNodeCount());
    if (mixer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    mixer->NonDelegatingAddRef();
    status = mixer->InitMixer(static_cast<AudioNode*>(this));
    if (NT_SUCCESS(status)) status = static_cast<AudioHal*>(Hal)->AddNode(static_cast<AudioNode*>(mixer));
    if (NT_SUCCESS(status)) status = AddControl(mixer);
    static_cast<AudioNode*>(mixer)->Release();
    return status;
}
