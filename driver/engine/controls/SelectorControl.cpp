#include "driver/engine/controls/SelectorControl.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/base/ListenerList.h"
#include "driver/engine/interfaces/UnitInterface.h"

namespace {

SelectorListener* ListenerAt(PVOID Data) { return static_cast<SelectorListener*>(static_cast<IUnknown*>(Data)); }

}  // namespace

SelectorControl::SelectorControl(PUNKNOWN UnknownOuter, ULONG Id)
    : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::Selector)), m_Selection(1), m_Listeners(nullptr) {}

SelectorControl::~SelectorControl() { FreeListenerList(m_Listeners, SelectorControlTag); }

NTSTATUS SelectorControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_Selector, static_cast<Selector*>(this)},
    };
    if (Interface != nullptr && IsEqualGUID(InterfaceId, IID_Selector)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP SelectorControl::GetSelected(PULONG Selection) {
    if (Selection == nullptr) return STATUS_INVALID_PARAMETER;
    *Selection = m_Selection;
    return STATUS_SUCCESS;
}

STDMETHODIMP SelectorControl::SetSelected(ULONG Input) {
    PAGED_CODE();
    if (Input > GetSourceCount()) return STATUS_INVALID_PARAMETER;
    ChangeSelection(Input);
    return STATUS_SUCCESS;
}

STDMETHODIMP SelectorControl::GetSourceCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = AudioNode::GetSourceCount();
    return STATUS_SUCCESS;
}

STDMETHODIMP SelectorControl::AddListener(SelectorListener* Listener) {
    PAGED_CODE();
    if (Listener == nullptr) return STATUS_INVALID_PARAMETER;
    if (!EnsureListenerList()) return STATUS_INSUFFICIENT_RESOURCES;
    return AddListenerWithReference(m_Listeners, Listener);
}

NTSTATUS SelectorControl::SetSources(ULONG Count, const ULONG* Ids) {
    PAGED_CODE();
    if (!EnsureListenerList()) return STATUS_UNSUCCESSFUL;
    return AudioNode::SetSources(Count, Ids);
}

void SelectorControl::ChangeSelection(ULONG Input) {
    const ULONG old = m_Selection;
    PVOID data = nullptr;
    if (m_Listeners != nullptr) {
        PointerListNode* position = m_Listeners->GetHeadPosition();
        while (m_Listeners->GetNext(&position, &data)) {
            if (!NT_SUCCESS(ListenerAt(data)->OnSelectionChanging(Input, old))) break;
        }
    }
    m_Selection = Input;
    if (m_Listeners != nullptr) {
        PointerListNode* position = m_Listeners->GetHeadPosition();
        while (m_Listeners->GetNext(&position, &data)) {
            if (!NT_SUCCESS(ListenerAt(data)->OnSelectionChanged(Input))) break;
        }
    }
}

BOOLEAN SelectorControl::EnsureListenerList() {
    if (m_Listeners == nullptr) m_Listeners = NewListenerList(SelectorControlTag);
    return m_Listeners != nullptr;
}

UnitSelectorControl::UnitSelectorControl(PUNKNOWN UnknownOuter, ULONG Id)
    : SelectorControl(UnknownOuter, Id), m_SettingsDevice(nullptr), m_Unit(nullptr) {}

NTSTATUS UnitSelectorControl::QueryUnitSelector(Selector** UnitSelector) {
    return QueryUnitInterface(m_Unit, IID_Selector, UnitSelector);
}

ULONG UnitSelectorControl::BoundSelection(ULONG Selection) const {
    const ULONG inputs = m_SourceCount;
    if (Selection > inputs) Selection = inputs;
    if (Selection == 0) Selection = 1;
    return Selection;
}

NTSTATUS UnitSelectorControl::InitUnitSelector(PUNKNOWN SelectorUnit, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    if (SelectorUnit == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = SelectorUnit;
    Selector* unit = nullptr;
    NTSTATUS status = QueryUnitSelector(&unit);
    if (!NT_SUCCESS(status)) return status;

    ULONG inputs = 0;
    status = unit->GetSourceCount(&inputs);
    PULONG zeros = nullptr;
    if (NT_SUCCESS(status) && inputs != 0) {
        // 64-bit size: a count near 2^32 cannot wrap to a small block.
        const SIZE_T bytes = static_cast<SIZE_T>(inputs) * sizeof(ULONG);
        zeros = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, bytes, SelectorControlTag));
        if (zeros == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(zeros, bytes);
        }
    }
    if (NT_SUCCESS(status)) status = SetSources(inputs, zeros);
    if (zeros != nullptr) ExFreePoolWithTag(zeros, SelectorControlTag);
    if (!NT_SUCCESS(status)) {
        unit->Release();
        return status;
    }

    m_SettingsDevice = SettingsDevice;
    ULONG selection = m_Selection;
    ULONG current = 0;
    if (NT_SUCCESS(unit->GetSelected(&current))) selection = current;
    ReadControlValue(m_SettingsDevice, GetId(), &selection, sizeof(selection));
    m_Selection = BoundSelection(selection);
    unit->Release();
    return STATUS_SUCCESS;
}

STDMETHODIMP UnitSelectorControl::SetSelected(ULONG Input) {
    PAGED_CODE();
    if (Input == 0 || Input > m_SourceCount) return STATUS_INVALID_PARAMETER;
    Selector* unit = nullptr;
    NTSTATUS status = QueryUnitSelector(&unit);
    if (!NT_SUCCESS(status)) return status;
    status = unit->SetSelected(Input);
    unit->Release();
    if (NT_SUCCESS(status)) {
        ChangeSelection(Input);
        WriteControlValue(m_SettingsDevice, GetId(), &m_Selection, sizeof(m_Selection));
    }
    return status;
}

NTSTATUS UnitSelectorControl::ApplyValues() {
    PAGED_CODE();
    return SetSelected(m_Selection);
}

NTSTATUS UnitSelectorControl::RefreshValues() {
    PAGED_CODE();
    Selector* unit = nullptr;
    NTSTATUS status = QueryUnitSelector(&unit);
    if (!NT_SUCCESS(status)) return status;
    ULONG current = 0;
    status = unit->GetSelected(&current);
    unit->Release();
    // A device answer outside 1..inputs would make the next ApplyValues fail.
    if (NT_SUCCESS(status)) m_Selection = BoundSelection(current);
    return status;
}
