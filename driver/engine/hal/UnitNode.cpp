#include "driver/engine/hal/UnitNode.h"

#include "driver/engine/hal/AudioHal.h"

#include <new>

namespace {

// Replaces Node's first source with SourceId, keeping the others; a node without sources gets it
// as its only one.
NTSTATUS SetFirstSource(AudioNode* Node, ULONG SourceId) {
    ULONG count = Node->GetSourceCount();
    if (count <= 1) return Node->SetSources(1, &SourceId);
    auto* ids = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(count) * sizeof(ULONG), UnitNodeTag));
    if (ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = Node->GetSources(&count, ids);
    if (NT_SUCCESS(status)) {
        ids[0] = SourceId;
        status = Node->SetSources(count, ids);
    }
    ExFreePoolWithTag(ids, UnitNodeTag);
    return status;
}

}  // namespace

UnitNode::UnitNode(PUNKNOWN UnknownOuter, ULONG Id)
    : AudioNode(UnknownOuter, Id, 0), m_Hal(nullptr), m_Descriptor(nullptr), m_DescriptorLength(0),
      m_ControlList(nullptr) {}

UnitNode::~UnitNode() {
    if (m_Descriptor != nullptr) ExFreePoolWithTag(m_Descriptor, UnitNodeTag);
    if (m_ControlList != nullptr) {
        PVOID data = nullptr;
        while (m_ControlList->RemoveHead(&data)) static_cast<AudioNode*>(data)->Release();
        m_ControlList->~PointerList();
        ExFreePoolWithTag(m_ControlList, UnitNodeTag);
    }
}

bool UnitNode::IsChainedKind(ULONG Kind) {
    switch (static_cast<NodeKind>(Kind)) {
        case NodeKind::OutputConnector:
        case NodeKind::Mute:
        case NodeKind::Volume:
        case NodeKind::AutomaticGain:
        case NodeKind::Loudness:
        case NodeKind::DeviceLevel:
        case NodeKind::Bass:
        case NodeKind::Mid:
        case NodeKind::Treble:
        case NodeKind::TerminalType:
        case NodeKind::DeviceSwitch:
        case NodeKind::StoredSwitch:
        case NodeKind::Vendor:
            return true;
        default:
            return false;
    }
}

NTSTATUS UnitNode::KeepDescriptor(const UCHAR* Descriptor, AdapterCommon* Hal) {
    PAGED_CODE();
    if (Descriptor == nullptr || Hal == nullptr) return STATUS_INVALID_PARAMETER;
    // Every descriptor holds at least bLength and bDescriptorType.
    const ULONG length = Descriptor[0];
    if (length < 2) return STATUS_INVALID_PARAMETER;
    // A second copy would lose the first and the controls already listed.
    if (m_Descriptor != nullptr || m_ControlList != nullptr) return STATUS_INVALID_DEVICE_STATE;

    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, length, UnitNodeTag));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID listMemory = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(PointerList), UnitNodeTag);
    if (listMemory == nullptr) {
        ExFreePoolWithTag(copy, UnitNodeTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(listMemory, sizeof(PointerList));
    m_ControlList = new (listMemory) PointerList();
    RtlCopyMemory(copy, Descriptor, length);
    m_Descriptor = copy;
    m_DescriptorLength = length;
    m_Hal = Hal;
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    if (ControlId == nullptr || m_ControlList == nullptr || m_ControlList->GetCount() != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID data = nullptr;
    if (!m_ControlList->GetHeadData(&data)) return STATUS_UNSUCCESSFUL;
    *ControlId = static_cast<AudioNode*>(data)->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::AddControl(AudioNode* Control) {
    if (Control == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_ControlList == nullptr) return STATUS_UNSUCCESSFUL;
    Control->AddRef();
    if (m_ControlList->AddHead(Control) == nullptr) {
        Control->Release();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::AdoptControl(AdapterCommon* Hal, AudioNode* Control, NTSTATUS InitStatus) {
    NTSTATUS status = InitStatus;
    if (NT_SUCCESS(status)) status = static_cast<AudioHal*>(Hal)->AddNode(Control);
    if (NT_SUCCESS(status)) status = AddControl(Control);
    Control->Release();
    return status;
}

NTSTATUS UnitNode::GetControlCount(PULONG Count) {
    if (Count == nullptr || m_ControlList == nullptr) return STATUS_UNSUCCESSFUL;
    *Count = m_ControlList->GetCount();
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::GetControl(ULONG Index, AudioNode** Control) {
    if (Control == nullptr) return STATUS_UNSUCCESSFUL;
    *Control = nullptr;
    if (m_ControlList == nullptr) return STATUS_UNSUCCESSFUL;
    PVOID data = nullptr;
    if (!m_ControlList->GetAt(Index, &data)) return STATUS_INVALID_PARAMETER;
    *Control = static_cast<AudioNode*>(data);
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::GetOutputControlId(PULONG Id) {
    if (Id == nullptr || m_ControlList == nullptr) return STATUS_UNSUCCESSFUL;
    PVOID data = nullptr;
    if (!m_ControlList->GetTailData(&data)) return STATUS_UNSUCCESSFUL;
    *Id = static_cast<AudioNode*>(data)->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::ChainControls() {
    PAGED_CODE();
    if (m_ControlList == nullptr) return STATUS_SUCCESS;
    PointerListNode* position = m_ControlList->GetHeadPosition();
    PVOID data = nullptr;
    if (!m_ControlList->GetNext(&position, &data)) return STATUS_SUCCESS;
    ULONG previous = static_cast<AudioNode*>(data)->GetId();
    while (m_ControlList->GetNext(&position, &data)) {
        auto* control = static_cast<AudioNode*>(data);
        const ULONG kind = control->GetNodeKind();
        if (IsChainedKind(kind)) {
            NTSTATUS status = SetFirstSource(control, previous);
            if (!NT_SUCCESS(status)) return status;
        }
        // An output connector ends its own branch: the next control is fed from before it.
        if (kind != NodeKindCode(NodeKind::OutputConnector)) previous = control->GetId();
    }
    return STATUS_SUCCESS;
}

NTSTATUS UnitNode::SetInputSources(ULONG Count, const ULONG* Ids) {
    PAGED_CODE();
    if (Ids == nullptr || Count == 0 || m_ControlList == nullptr) return STATUS_UNSUCCESSFUL;
    PVOID data = nullptr;
    if (!m_ControlList->GetHeadData(&data)) return STATUS_SUCCESS;
    auto* input = static_cast<AudioNode*>(data);
    const ULONG kind = input->GetNodeKind();
    if (kind == NodeKindCode(NodeKind::Selector) || kind == NodeKindCode(NodeKind::Mixer)) {
        // A list of another length does not describe this control's inputs.
        if (Count != input->GetSourceCount()) return STATUS_SUCCESS;
        return input->SetSources(Count, Ids);
    }
    if (IsChainedKind(kind)) return SetFirstSource(input, Ids[0]);
    return STATUS_SUCCESS;
}
