#include "driver/engine/controls/ConnectorControl.h"

#include "driver/engine/controls/TerminalTypeList.h"
#include "driver/engine/interfaces/UnitInterface.h"

namespace {

// The most jack records whose byte size still fits the 32-bit size TerminalInfo passes.
constexpr ULONG MaxJackRecords = MAXULONG / sizeof(JackRecord);

// A zeroed paged block of Count elements, or null.
template <class Element>
Element* AllocateZeroed(ULONG Count, ULONG Tag) {
    const SIZE_T bytes = static_cast<SIZE_T>(Count) * sizeof(Element);
    auto* block = static_cast<Element*>(ExAllocatePoolWithTag(PagedPool, bytes, Tag));
    if (block != nullptr) RtlZeroMemory(block, bytes);
    return block;
}

}  // namespace

ConnectorControlBase::ConnectorControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind)
    : AudioNode(UnknownOuter, Id, NodeKindCode(Kind)),
      m_TypeCount(0),
      m_TypeList(nullptr),
      m_CurrentType(0),
      m_JackCount(0),
      m_PinRecord{},
      m_JackRecords(nullptr),
      m_ListTag(ConnectorControlTag),
      m_Unit(nullptr) {}

ConnectorControlBase::~ConnectorControlBase() { FreeTypesAndJacks(); }

NTSTATUS ConnectorControlBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_TerminalInfo, static_cast<TerminalInfo*>(this)},
    };
    if (Interface != nullptr && IsEqualGUID(InterfaceId, IID_TerminalInfo)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

void ConnectorControlBase::FreeTypesAndJacks() {
    if (m_TypeList != nullptr) ExFreePoolWithTag(m_TypeList, m_ListTag);
    if (m_JackRecords != nullptr) ExFreePoolWithTag(m_JackRecords, m_ListTag);
    m_TypeList = nullptr;
    m_JackRecords = nullptr;
    m_TypeCount = 0;
    m_JackCount = 0;
}

STDMETHODIMP ConnectorControlBase::GetTerminalType(PULONG Type) {
    if (Type == nullptr) return STATUS_INVALID_PARAMETER;
    *Type = ReadNoFence(&m_CurrentType);
    return STATUS_SUCCESS;
}

STDMETHODIMP ConnectorControlBase::GetTypeCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = m_TypeCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP ConnectorControlBase::GetTypeList(PULONG Types) { return CopyTypeList(Types, m_TypeList, m_TypeCount); }

STDMETHODIMP ConnectorControlBase::SelectType(ULONG Type) {
    if (!IsTypeListed(m_TypeList, m_TypeCount, Type)) return STATUS_INVALID_PARAMETER;
    WriteNoFence(&m_CurrentType, Type);
    return STATUS_SUCCESS;
}

STDMETHODIMP ConnectorControlBase::GetJackCount(PULONG Count, ULONG Index) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Index);
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    m_JackLock.Lock();
    *Count = m_JackCount;
    m_JackLock.Unlock();
    return STATUS_SUCCESS;
}

STDMETHODIMP ConnectorControlBase::GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Index);
    if (ByteSize == 0 || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    m_JackLock.Lock();
    if (m_JackRecords != nullptr && m_JackCount != 0) {
        const ULONG held = m_JackCount * static_cast<ULONG>(sizeof(JackRecord));
        RtlCopyMemory(Buffer, m_JackRecords, ByteSize < held ? ByteSize : held);
        status = STATUS_SUCCESS;
    }
    m_JackLock.Unlock();
    return status;
}

STDMETHODIMP ConnectorControlBase::GetPinRecord(EndpointInfo* Record) {
    if (Record == nullptr) return STATUS_INVALID_PARAMETER;
    *Record = m_PinRecord;
    return STATUS_SUCCESS;
}

NTSTATUS ConnectorControlBase::InitConnector(ULONG TypeCount, const ULONG* Types, ULONG JackCount,
                                             const JackRecord* Jacks, ULONG Tag) {
    PAGED_CODE();
    if (TypeCount == 0 || TypeCount > TerminalMaxTypes || Types == nullptr) return STATUS_INVALID_PARAMETER;
    if (JackCount > MaxJackRecords || (JackCount != 0 && Jacks == nullptr)) return STATUS_INVALID_PARAMETER;

    PULONG types = AllocateZeroed<ULONG>(TypeCount, Tag);
    JackRecord* jacks = JackCount != 0 ? AllocateZeroed<JackRecord>(JackCount, Tag) : nullptr;
    if (types == nullptr || (JackCount != 0 && jacks == nullptr)) {
        if (types != nullptr) ExFreePoolWithTag(types, Tag);
        if (jacks != nullptr) ExFreePoolWithTag(jacks, Tag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(types, Types, TypeCount * sizeof(ULONG));
    if (JackCount != 0) RtlCopyMemory(jacks, Jacks, JackCount * sizeof(JackRecord));

    FreeTypesAndJacks();
    m_ListTag = Tag;
    m_TypeList = types;
    m_TypeCount = TypeCount;
    WriteNoFence(&m_CurrentType, types[0]);
    m_JackRecords = jacks;
    m_JackCount = JackCount;
    return STATUS_SUCCESS;
}

NTSTATUS ConnectorControlBase::LoadJacks(TerminalInfo* Unit, ULONG Index) {
    PAGED_CODE();
    ULONG count = 0;
    if (!NT_SUCCESS(Unit->GetJackCount(&count, Index))) count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (count > MaxJackRecords) {
        count = 0;
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    // The unit fills a block of its own (a failed presence read still leaves defined records), so
    // a reader never sees records half written or freed under it.
    JackRecord* fresh = nullptr;
    if (count != 0) {
        fresh = AllocateZeroed<JackRecord>(count, m_ListTag);
        if (fresh != nullptr) {
            Unit->GetJackDescriptions(count * static_cast<ULONG>(sizeof(JackRecord)), fresh, Index);
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
            m_JackLock.Lock();
            const bool same = count == m_JackCount && m_JackRecords != nullptr;
            m_JackLock.Unlock();
            if (same) return status;  // the records held still describe as many jacks
            count = 0;
        }
    }
    m_JackLock.Lock();
    JackRecord* old = m_JackRecords;
    m_JackRecords = fresh;
    m_JackCount = count;
    m_JackLock.Unlock();
    // No reader holds the old block: readers copy only under the lock.
    if (old != nullptr) ExFreePoolWithTag(old, m_ListTag);
    return status;
}

NTSTATUS ConnectorControlBase::QueryUnitInfo(TerminalInfo** Info) {
    return QueryUnitInterface(m_Unit, IID_TerminalInfo, Info);
}

InputConnectorControl::InputConnectorControl(PUNKNOWN UnknownOuter, ULONG Id)
    : ConnectorControlBase(UnknownOuter, Id, NodeKind::InputConnector) {}

NTSTATUS InputConnectorControl::InitInputConnector(PUNKNOWN TerminalUnit, const EndpointInfo* PinRecord) {
    PAGED_CODE();
    if (TerminalUnit == nullptr || PinRecord == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = TerminalUnit;
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;

    ULONG count = 0;
    ULONG types[TerminalMaxTypes] = {};
    status = ReadTerminalTypeCount(unit, &count);
    if (NT_SUCCESS(status)) status = unit->GetTypeList(types);
    if (NT_SUCCESS(status)) status = InitConnector(count, types, 0, nullptr, ConnectorControlTag);
    if (NT_SUCCESS(status)) status = LoadJacks(unit, 0);
    if (NT_SUCCESS(status)) {
        ULONG type = 0;
        if (NT_SUCCESS(unit->GetTerminalType(&type))) WriteNoFence(&m_CurrentType, type);
        m_PinRecord = *PinRecord;
        // An input connector has no sources.
        status = AudioNode::SetSources(0, nullptr);
    }
    unit->Release();
    return status;
}

NTSTATUS InputConnectorControl::RefreshValues() {
    PAGED_CODE();
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    ULONG type = 0;
    if (NT_SUCCESS(unit->GetTerminalType(&type))) WriteNoFence(&m_CurrentType, type);
    status = LoadJacks(unit, 0);
    unit->Release();
    return status;
}

OutputConnectorControl::OutputConnectorControl(PUNKNOWN UnknownOuter, ULONG Id)
    : ConnectorControlBase(UnknownOuter, Id, NodeKind::OutputConnector), m_TypeIndex(0) {}

NTSTATUS OutputConnectorControl::InitOutputConnector(PUNKNOWN TerminalUnit, const EndpointInfo* PinRecord) {
    PAGED_CODE();
    if (TerminalUnit == nullptr || PinRecord == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = TerminalUnit;
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;

    ULONG count = 0;
    ULONG types[TerminalMaxTypes] = {};
    status = ReadTerminalTypeCount(unit, &count);
    // The entry would lie past the terminal's list.
    if (NT_SUCCESS(status) && m_TypeIndex >= count) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = unit->GetTypeList(types);
    if (NT_SUCCESS(status)) {
        m_PinRecord = *PinRecord;
        status = InitConnector(1, &types[m_TypeIndex], 0, nullptr, ConnectorControlTag);
    }
    const ULONG source = 0;
    if (NT_SUCCESS(status)) status = AudioNode::SetSources(1, &source);
    if (NT_SUCCESS(status)) status = LoadJacks(unit, m_TypeIndex);
    unit->Release();
    return status;
}

NTSTATUS OutputConnectorControl::RefreshValues() {
    PAGED_CODE();
    TerminalInfo* unit = nullptr;
    NTSTATUS status = QueryUnitInfo(&unit);
    if (!NT_SUCCESS(status)) return status;
    status = LoadJacks(unit, m_TypeIndex);
    unit->Release();
    return status;
}
