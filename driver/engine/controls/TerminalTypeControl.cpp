#include "driver/engine/controls/TerminalTypeControl.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/base/ListenerList.h"
#include "driver/engine/controls/TerminalTypeList.h"
#include "driver/engine/interfaces/UnitInterface.h"

namespace {

TerminalTypeListener* ListenerAt(PVOID Data) {
    return static_cast<TerminalTypeListener*>(static_cast<IUnknown*>(Data));
}

}  // namespace

TerminalTypeControlNode::TerminalTypeControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::TerminalType)),
      m_TypeCount(0),
      m_TypeList(nullptr),
      m_CurrentType(0),
      m_ChangePending(0),
      m_Listeners(nullptr),
      m_SettingsDevice(nullptr),
      m_Hal(nullptr),
      m_Unit(nullptr) {}

TerminalTypeControlNode::~TerminalTypeControlNode() {
    FreeListenerList(m_Listeners, TerminalTypeControlTag);
    if (m_TypeList != nullptr) ExFreePoolWithTag(m_TypeList, TerminalTypeControlTag);
}

NTSTATUS TerminalTypeControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_TerminalTypeControl, static_cast<TerminalTypeControl*>(this)},
    };
    if (Interface != nullptr && IsEqualGUID(InterfaceId, IID_TerminalTypeControl)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS TerminalTypeControlNode::QueryUnitInfo(TerminalInfo** Info) {
    return QueryUnitInterface(m_Unit, IID_TerminalInfo, Info);
}

bool TerminalTypeControlNode::IsListed(ULONG Type) const { return IsTypeListed(m_TypeList, m_TypeCount, Type); }

BOOLEAN TerminalTypeControlNode::EnsureListenerList() {
    if (m_Listeners == nullptr) m_Listeners = NewListenerList(TerminalTypeControlTag);
    return m_Listeners != nullptr;
}

STDMETHODIMP TerminalTypeControlNode::GetType(PULONG Type) {
    PAGED_CODE();
    if (Type == nullptr) return STATUS_INVALID_PARAMETER;
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    ULONG type = 0;
    status = unit->GetTerminalType(&type);
    unit->Release();
    if (NT_SUCCESS(status)) {
        m_CurrentType = type;
        *Type = type;
    }
    return status;
}

STDMETHODIMP TerminalTypeControlNode::GetTypeCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = m_TypeCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP TerminalTypeControlNode::GetTypeList(PULONG Types) {
    return CopyTypeList(Types, m_TypeList, m_TypeCount);
}

STDMETHODIMP TerminalTypeControlNode::SelectType(ULONG Type) {
    PAGED_CODE();
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    if (Type == m_CurrentType) {
        unit->Release();
        return STATUS_SUCCESS;
    }
    if (!IsListed(Type)) {
        unit->Release();
        return STATUS_INVALID_PARAMETER;
    }
    status = unit->SelectType(Type);
    if (NT_SUCCESS(status)) {
        const ULONG old = m_CurrentType;
        m_CurrentType = Type;
        status = FollowTypeChange(Type);
        if (!NT_SUCCESS(status)) {
            // The unit goes back to the type the rest of the driver still follows.
            m_CurrentType = old;
            unit->SelectType(old);
        }
    }
    unit->Release();
    return status;
}

NTSTATUS TerminalTypeControlNode::FollowTypeChange(ULONG Type) {
    AudioNode* unitNode = nullptr;
    NTSTATUS status = m_Unit->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&unitNode));
    if (!NT_SUCCESS(status)) return status;
    const ULONG unitId = unitNode->GetId();
    unitNode->Release();

    // A HAL without a device model cannot re-install its wave subdevices: no change of type.
    if (m_Hal == nullptr) return STATUS_UNSUCCESSFUL;
    DeviceModel* model = nullptr;
    status = m_Hal->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model));
    if (!NT_SUCCESS(status)) return status;
    InterlockedExchange(&m_ChangePending, 1u);
    status = model->UpdateMiniports(unitId);
    PCALLBACK_OBJECT callbackObject = nullptr;
    if (NT_SUCCESS(status)) status = model->GetCallbackObject(&callbackObject);
    model->Release();
    if (!NT_SUCCESS(status)) return status;

    if (m_Listeners != nullptr) {
        PVOID data = nullptr;
        PointerListNode* position = m_Listeners->GetHeadPosition();
        while (m_Listeners->GetNext(&position, &data)) {
            status = ListenerAt(data)->OnTerminalTypeChanged(Type, callbackObject);
            if (!NT_SUCCESS(status)) return status;
        }
    }
    WriteControlValue(m_SettingsDevice, GetId(), &m_CurrentType, sizeof(m_CurrentType));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) TerminalTypeControlNode::IsChangePending() { return ReadNoFence(&m_ChangePending); }

STDMETHODIMP TerminalTypeControlNode::ClearChangePending() {
    InterlockedExchange(&m_ChangePending, 0u);
    return STATUS_SUCCESS;
}

STDMETHODIMP TerminalTypeControlNode::AddListener(TerminalTypeListener* Listener) {
    PAGED_CODE();
    if (Listener == nullptr) return STATUS_INVALID_PARAMETER;
    if (!EnsureListenerList()) return STATUS_INSUFFICIENT_RESOURCES;
    return AddListenerWithReference(m_Listeners, Listener);
}

STDMETHODIMP TerminalTypeControlNode::Init(ULONG SourceId, ULONG TypeCount, const ULONG* Types) {
    PAGED_CODE();
    if (TypeCount == 0 || TypeCount > TerminalMaxTypes || Types == nullptr) return STATUS_INVALID_PARAMETER;
    const SIZE_T bytes = TypeCount * sizeof(ULONG);
    auto* types = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, bytes, TerminalTypeControlTag));
    const ULONG source = SourceId;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (types != nullptr && EnsureListenerList()) status = AudioNode::SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        if (types != nullptr) ExFreePoolWithTag(types, TerminalTypeControlTag);
        return status;
    }
    RtlCopyMemory(types, Types, bytes);
    if (m_TypeList != nullptr) ExFreePoolWithTag(m_TypeList, TerminalTypeControlTag);
    m_TypeList = types;
    m_TypeCount = TypeCount;
    m_CurrentType = types[0];
    return STATUS_SUCCESS;
}

NTSTATUS TerminalTypeControlNode::InitTerminalType(PUNKNOWN TerminalUnit, PDEVICE_OBJECT SettingsDevice, PUNKNOWN Hal) {
    PAGED_CODE();
    if (TerminalUnit == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = TerminalUnit;
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;

    ULONG count = 0;
    ULONG types[TerminalMaxTypes] = {};
    status = ReadTerminalTypeCount(unit, &count);
    if (NT_SUCCESS(status)) status = unit->GetTypeList(types);
    if (NT_SUCCESS(status)) status = Init(0, count, types);
    if (NT_SUCCESS(status)) {
        ULONG type = 0;
        if (NT_SUCCESS(unit->GetTerminalType(&type)) && IsListed(type)) m_CurrentType = type;
        m_SettingsDevice = SettingsDevice;
        m_Hal = Hal;
        // A stored type this terminal cannot take (another device, an edited value) is ignored.
        ULONG stored = MAXULONG;
        ReadControlValue(m_SettingsDevice, GetId(), &stored, sizeof(stored));
        if (IsListed(stored)) m_CurrentType = stored;
    }
    unit->Release();
    return status;
}

NTSTATUS TerminalTypeControlNode::ApplyValues() {
    PAGED_CODE();
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    status = unit->SelectType(m_CurrentType);
    unit->Release();
    return status;
}

NTSTATUS TerminalTypeControlNode::RefreshValues() {
    PAGED_CODE();
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    ULONG type = 0;
    status = unit->GetTerminalType(&type);
    unit->Release();
    // The device switched by itself: follow it as a selection would (stored on success; a failed
    // follow-up puts the unit back on the cached type).
    if (NT_SUCCESS(status) && type != m_CurrentType) SelectType(type);
    return status;
}
