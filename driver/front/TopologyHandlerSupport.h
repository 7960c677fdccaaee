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

// A GET or SET of one channel's 32-bit value: the channel word of the instance and a 32-bit
// value are needed, else STATUS_INVALID_PARAMETER; a channel not below the Channels the control
// shows is refused, not read, unless it is Extra (a device level's every-channel value).
inline NTSTATUS ChannelValueRequest(const PCPROPERTY_REQUEST* Request, ULONG Channels, PULONG Channel,
                                    ULONG Extra = 0) {
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr || !ReadInstanceWord(Request, 0, Channel)) {
        return STATUS_INVALID_PARAMETER;
    }
    return *Channel < Channels || (Extra != 0 && *Channel == Extra) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

class LevelControl;
// GET or SET of one level channel (1/65536 dB); ValueSize 4 on success.
NTSTATUS LevelValue(PPCPROPERTY_REQUEST Request, LevelControl* Control, PropertyVerb Verb, ULONG Channel);
