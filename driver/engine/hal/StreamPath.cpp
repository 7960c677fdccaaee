#include "driver/engine/hal/StreamPath.h"

#include "driver/engine/interfaces/TerminalInfo.h"

namespace {

// Visited control ids of one walk; ids at or past the bound are never taken.
class ControlIdSet {
public:
    static constexpr ULONG Bound = 1024;
    bool Insert(ULONG Id) {
        if (Id >= Bound) return false;
        const ULONG bit = 1u << (Id % 32);
        if ((m_Bits[Id / 32] & bit) != 0) return false;
        m_Bits[Id / 32] |= bit;
        return true;
    }

private:
    ULONG m_Bits[Bound / 32] = {};
};

// A ring of control ids.
class IdRing {
public:
    bool Empty() const { return m_Count == 0; }
    ULONG Room() const { return StreamPathQueueIds - m_Count; }
    void Push(ULONG Id) {
        m_Ids[(m_Head + m_Count) % StreamPathQueueIds] = Id;
        ++m_Count;
    }
    ULONG Pop() {
        const ULONG id = m_Ids[m_Head];
        m_Head = (m_Head + 1) % StreamPathQueueIds;
        --m_Count;
        return id;
    }

private:
    ULONG m_Ids[StreamPathQueueIds] = {};
    ULONG m_Head = 0;
    ULONG m_Count = 0;
};

bool HasTerminalType(AudioNode* Node) {
    TerminalInfo* info = nullptr;
    if (!NT_SUCCESS(Node->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info))) || info == nullptr) {
        return false;
    }
    ULONG type = 0;
    const bool typed = NT_SUCCESS(info->GetTerminalType(&type)) && type != 0;
    info->Release();
    return typed;
}

enum class SearchResult { Found, NotFound, EndedEarly };

// Breadth first upstream from From, looking for Target; each control is looked at once.
SearchResult SearchUpstream(AudioHal& Hal, ULONG From, ULONG Target) {
    ControlIdSet visited;
    IdRing queue;
    visited.Insert(From);
    queue.Push(From);
    while (!queue.Empty()) {
        const ULONG id = queue.Pop();
        if (id == Target) return SearchResult::Found;
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(Hal.FindNode(id, &node))) return SearchResult::EndedEarly;
        ULONG sources[StreamPathQueueIds];
        ULONG count = node->GetSourceCount();
        if (count > queue.Room()) return SearchResult::EndedEarly;
        if (count == 0 || !NT_SUCCESS(node->GetSources(&count, sources))) continue;
        for (ULONG i = 0; i < count; ++i) {
            if (visited.Insert(sources[i])) queue.Push(sources[i]);
        }
    }
    return SearchResult::NotFound;
}

constexpr ULONG NoStreamTerminal = 0xFFFFFFFF;

// The upstream walk from StartId. A mixer's sources are not followed, except, with a
// StreamTerminalId other than NoStreamTerminal, those from which that terminal's control is
// reached: a render stream's audio enters the mixer there, and its path must reach the
// streaming terminal through it.
NTSTATUS WalkUpstream(AudioHal& Hal, StreamEngine& Stream, ULONG StartId, ULONG StreamTerminalId) {
    IdRing queue;
    queue.Push(StartId);
    NTSTATUS status = STATUS_SUCCESS;
    while (!queue.Empty()) {
        const ULONG id = queue.Pop();
        bool onPath = false;
        const ULONG pathCount = Stream.GetNodeCount();
        for (ULONG i = 0; i < pathCount && !onPath; ++i) {
            AudioNode* held = nullptr;
            onPath = NT_SUCCESS(Stream.GetNode(i, &held)) && held->GetId() == id;
        }
        if (onPath) continue;
        AudioNode* node = nullptr;
        status = Hal.FindNode(id, &node);
        if (!NT_SUCCESS(status)) return status;
        status = Stream.AddPathNode(node);
        if (!NT_SUCCESS(status)) return status;
        const bool mixer = node->GetNodeKind() == NodeKindCode(NodeKind::Mixer);
        if (mixer && StreamTerminalId == NoStreamTerminal) continue;
        ULONG count = node->GetSourceCount();
        if (count == 0) continue;
        if (count > queue.Room()) return STATUS_INSUFFICIENT_RESOURCES;
        ULONG sources[StreamPathQueueIds];
        status = node->GetSources(&count, sources);
        if (!NT_SUCCESS(status)) return status;
        for (ULONG i = 0; i < count; ++i) {
            if (mixer && SearchUpstream(Hal, sources[i], StreamTerminalId) != SearchResult::Found) continue;
            queue.Push(sources[i]);
        }
    }
    return status;
}

}  // namespace

NTSTATUS AddUpstreamPath(AudioHal& Hal, StreamEngine& Stream, ULONG StartId) {
    PAGED_CODE();
    return WalkUpstream(Hal, Stream, StartId, NoStreamTerminal);
}

NTSTATUS AttachStreamPath(AudioHal& Hal, StreamEngine& Stream, ULONG TerminalControlId) {
    PAGED_CODE();
    if (Stream.GetDirection() == StreamDirectionCapture) return AddUpstreamPath(Hal, Stream, TerminalControlId);

    ULONG connectors[StreamPathMaxConnectors];
    ULONG connectorCount = 0;
    const ULONG nodes = Hal.GetNodeCount();
    for (ULONG i = 0; i < nodes && connectorCount < StreamPathMaxConnectors; ++i) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(Hal.GetNode(i, &node)) || node == nullptr) continue;
        if (node->GetNodeKind() == NodeKindCode(NodeKind::OutputConnector) && HasTerminalType(node)) {
            connectors[connectorCount++] = node->GetId();
        }
    }
    if (connectorCount == 0) return STATUS_INVALID_PARAMETER;

    bool reached = false;
    SearchResult last = SearchResult::NotFound;
    for (ULONG i = 0; i < connectorCount; ++i) {
        last = SearchUpstream(Hal, connectors[i], TerminalControlId);
        if (last != SearchResult::Found) continue;
        if (!NT_SUCCESS(WalkUpstream(Hal, Stream, connectors[i], TerminalControlId))) return STATUS_INVALID_PARAMETER;
        reached = true;
    }
    return reached && last != SearchResult::EndedEarly ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
