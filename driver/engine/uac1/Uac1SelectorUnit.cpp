#include "driver/engine/uac1/Uac1SelectorUnit.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/controls/SelectorControl.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG UnitIdOffset = 3;
constexpr ULONG InputPinsOffset = 4;

}  // namespace

SelectorUnit::SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}

NTSTATUS SelectorUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    NTSTATUS status = UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    if (NT_SUCCESS(status) || !IsEqualGUID(InterfaceId, IID_Selector)) return status;
    const KernelInterface answers[] = {{IID_Selector, static_cast<Selector*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

bool SelectorUnit::IsSelectorDescriptor() const {
    return GetDescriptor() != nullptr && IsUac1UnitWithSources(GetDescriptor(), Uac1SelectorUnitSubtype);
}

NTSTATUS SelectorUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || !IsUac1UnitWithSources(Descriptor, Uac1SelectorUnitSubtype)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (NT_SUCCESS(status)) status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS SelectorUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || !IsSelectorDescriptor()) return STATUS_INVALID_PARAMETER;
    m_Id = GetDescriptor()[UnitIdOffset];
    m_Kind = Uac1SelectorUnitSubtype;
    NTSTATUS status = SetUac1UnitSources(this, GetDescriptor());
    if (!NT_SUCCESS(status)) return status;
    auto* control = new (ExDefaultNonPagedPoolType, Uac1UnitTag) UnitSelectorControl(nullptr, Hal->GetNodeCount());
    if (control == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    control->NonDelegatingAddRef();
    status = control->InitUnitSelector(static_cast<AudioNode*>(this), Hal->GetDeviceObject());
    if (NT_SUCCESS(status)) status = static_cast<AudioHal*>(Hal)->AddNode(control);
    if (NT_SUCCESS(status)) status = AddControl(control);
    static_cast<AudioNode*>(control)->Release();
    return status;
}

NTSTATUS SelectorUnit::GetSelected(PULONG Selection) {
    PAGED_CODE();
    if (Selection == nullptr || !IsSelectorDescriptor()) return STATUS_INVALID_PARAMETER;
    UCHAR answer = 0;
    const Uac1UnitRequest request = {URB_FUNCTION_CLASS_INTERFACE, TRUE, Uac1GetCur, 0, GetDescriptor()[UnitIdOffset]};
    const NTSTATUS status = SendUac1UnitRequest(GetHal(), request, &answer, 1);
    if (NT_SUCCESS(status)) *Selection = answer;
    return status;
}

NTSTATUS SelectorUnit::SetSelected(ULONG Input) {
    PAGED_CODE();
    if (!IsSelectorDescriptor() || Input < 1 || Input > GetDescriptor()[InputPinsOffset]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value = static_cast<UCHAR>(Input);
    const Uac1UnitRequest request = {URB_FUNCTION_CLASS_INTERFACE, FALSE, Uac1SetCur, 0, GetDescriptor()[UnitIdOffset]};
    return SendUac1UnitRequest(GetHal(), request, &value, 1);
}

NTSTATUS SelectorUnit::GetSourceCount(PULONG Count) {
    if (Count == nullptr || !IsSelectorDescriptor()) return STATUS_INVALID_PARAMETER;
    *Count = GetDescriptor()[InputPinsOffset];
    return STATUS_SUCCESS;
}

NTSTATUS SelectorUnit::AddListener(SelectorListener* Listener) {
    UNREFERENCED_PARAMETER(Listener);
    return STATUS_NOT_IMPLEMENTED;
}
