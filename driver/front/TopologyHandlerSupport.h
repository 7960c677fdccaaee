// What the topology filter's handlers share: finding the node or pin of a request and querying
// its control for a control interface.
#pragma once

#include "driver/front/InterfaceRef.h"
#include "driver/front/PropertyReply.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/TopologyProperties.h"

// The node of a node request; STATUS_INVALID_PARAMETER when there is none of that number.
inline NTSTATUS FindRequestNode(const PCPROPERTY_REQUEST* Request, const TopologyEntry** Node) {
    *Node = nullptr;
    if (Request->MajorTarget == nullptr) return STATUS_INVALID_PARAMETER;
    const TopologyMiniport* miniport = TopologyMiniport::FromTarget(Request->MajorTarget);
    if (Request->Node >= miniport->NodeCount()) return STATUS_INVALID_PARAMETER;
    *Node = miniport->NodeEntry(Request->Node);
    return *Node != nullptr && (*Node)->Control != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The control interface Iid of Control; a failed query is its status, an empty answer
// STATUS_INVALID_PARAMETER.
template <class Interface>
NTSTATUS QueryControl(AudioNode* Control, REFIID Iid, InterfaceRef<Interface>* Answer) {
    NTSTATUS status = Control->QueryInterface(Iid, Answer->ReceiveVoid());
    if (NT_SUCCESS(status) && !*Answer) status = STATUS_INVALID_PARAMETER;
    return status;
}

// The channel of a node request (the instance's first word), refused unless it lies below the
// Count channels the control shows.
inline NTSTATUS RequestChannel(const PCPROPERTY_REQUEST* Request, ULONG Count, PULONG Channel) {
    if (!ReadInstanceWord(Request, 0, Channel)) return STATUS_INVALID_PARAMETER;
    return *Channel < Count ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
