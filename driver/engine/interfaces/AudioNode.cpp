#include "driver/engine/interfaces/AudioNode.h"

AudioNode::AudioNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind)
    : CKernelUnknown(UnknownOuter), m_Id(Id), m_Kind(Kind), m_SourceCount(0), m_SourceIds(nullptr) {}

AudioNode::~AudioNode() {
    if (m_SourceIds != nullptr) ExFreePoolWithTag(m_SourceIds, AudioNodeSourceTag);
}

NTSTATUS AudioNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<AudioNode*>(this)},
        {IID_AudioNode, static_cast<AudioNode*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

ULONG AudioNode::GetId() { return m_Id; }

ULONG AudioNode::GetNodeKind() { return m_Kind; }

ULONG AudioNode::GetSourceCount() { return m_SourceCount; }

NTSTATUS AudioNode::GetSources(PULONG Count, PULONG Ids) {
    if (Count == nullptr || Ids == nullptr) return STATUS_INVALID_PARAMETER;
    if (*Count > m_SourceCount) *Count = m_SourceCount;
    if (*Count != 0) RtlCopyMemory(Ids, m_SourceIds, *Count * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS AudioNode::ApplyValues() { return STATUS_SUCCESS; }

NTSTATUS AudioNode::RefreshValues() { return STATUS_SUCCESS; }

NTSTATUS AudioNode::OnHalStart() { return STATUS_SUCCESS; }

NTSTATUS AudioNode::OnHalStop() { return STATUS_SUCCESS; }

NTSTATUS AudioNode::SetSources(ULONG Count, const ULONG* Ids) {
    PULONG copy = nullptr;
    if (Count != 0) {
        if (Ids == nullptr) return STATUS_INVALID_PARAMETER;
        // 64-bit size: a count near 2^32 cannot wrap to a small allocation.
        const SIZE_T bytes = static_cast<SIZE_T>(Count) * sizeof(ULONG);
        copy = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, bytes, AudioNodeSourceTag));
        // The old list stays: count and list keep agreeing.
        if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(copy, Ids, bytes);
    }
    if (m_SourceIds != nullptr) ExFreePoolWithTag(m_SourceIds, AudioNodeSourceTag);
    m_SourceIds = copy;
    m_SourceCount = Count;
    return STATUS_SUCCESS;
}
