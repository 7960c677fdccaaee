#include "driver/engine/controls/MixerControl.h"

#include "driver/engine/interfaces/EndpointType.h"

MixerControlNode::MixerControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : ConnectorControlBase(UnknownOuter, Id, NodeKind::Mixer), m_InputMode(FALSE), m_SavedSourceCount(0) {}

NTSTATUS MixerControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_MixerControl, static_cast<MixerControl*>(this)},
        {IID_TerminalInfo, static_cast<TerminalInfo*>(this)},
    };
    // TerminalInfo only while the control stands for a mixed input.
    const bool own = IsEqualGUID(InterfaceId, IID_MixerControl) ||
                     (m_InputMode && IsEqualGUID(InterfaceId, IID_TerminalInfo));
    if (Interface != nullptr && own) return AnswerQuery(InterfaceId, Interface, answers);
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP MixerControlNode::SetInputMode(BOOLEAN On) {
    PAGED_CODE();
    m_InputMode = On ? TRUE : FALSE;
    if (m_InputMode) {
        m_Kind = NodeKindCode(NodeKind::InputConnector);
        // The source ids stay allocated for the way back.
        m_SourceCount = 0;
    } else {
        m_Kind = NodeKindCode(NodeKind::Mixer);
        m_SourceCount = m_SourceIds != nullptr ? m_SavedSourceCount : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MixerControlNode::InitMixer(PUNKNOWN MixerUnit) {
    PAGED_CODE();
    if (MixerUnit == nullptr) return STATUS_INVALID_PARAMETER;
    AudioNode* unit = nullptr;
    NTSTATUS status = MixerUnit->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&unit));
    if (!NT_SUCCESS(status)) return status;
    const ULONG inputs = unit->GetSourceCount();
    unit->Release();

    PULONG zeros = nullptr;
    if (inputs != 0) {
        const SIZE_T bytes = static_cast<SIZE_T>(inputs) * sizeof(ULONG);
        zeros = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, bytes, MixerControlSourceTag));
        if (zeros == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(zeros, bytes);
    }
    status = SetSources(inputs, zeros);
    if (zeros != nullptr) ExFreePoolWithTag(zeros, MixerControlSourceTag);
    return status;
}

NTSTATUS MixerControlNode::SetSources(ULONG Count, const ULONG* Ids) {
    PAGED_CODE();
    if (Count != 0 && Ids == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG types[] = {EndpointTypeCode(EndpointType::StereoMix)};
    NTSTATUS status = InitConnector(1, types, 1, &MixerJackRecord, MixerControlTypeTag);
    if (NT_SUCCESS(status)) status = AudioNode::SetSources(Count, Ids);
    if (!NT_SUCCESS(status)) return status;
    m_SavedSourceCount = Count;
    if (m_InputMode) m_SourceCount = 0;
    return STATUS_SUCCESS;
}
