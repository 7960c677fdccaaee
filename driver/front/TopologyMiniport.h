// TopologyMiniport: the miniport of the driver's one topology subdevice, "GlobalTopo". Init turns
// the HAL's control graph into a port-class filter descriptor: connector controls become bridge
// pins, the other controls become nodes, and the controls' source lists become connections. A
// control change reported by the HAL becomes a control-change event on the matching node.
#pragma once

#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/AudioNode.h"
#include "driver/front/SubdeviceInfo.h"

#include <win/kernel.h>
#include <win/ksmedia.h>
#include <win/portcls.h>

constexpr ULONG TopologyTag = 'OPOT';  // "TOPO"

// Characters of "GlobalTopo" and its terminator.
constexpr ULONG TopologyNameChars = 11;

// Published node types the platform's header does not carry.
// {D1B9CC2A-F519-417F-91C9-55FA65481001}
DEFINE_GUID(KSNODETYPE_HDMI_INTERFACE, 0xD1B9CC2A, 0xF519, 0x417F, 0x91, 0xC9, 0x55, 0xFA, 0x65, 0x48, 0x10, 0x01);
// {E47E4031-3EA6-418D-8F9B-B73843CCBA97}
DEFINE_GUID(KSNODETYPE_DISPLAYPORT_INTERFACE, 0xE47E4031, 0x3EA6, 0x418D, 0x8F, 0x9B, 0xB7, 0x38, 0x43, 0xCC, 0xBA,
            0x97);

NTSTATUS CreateTopologyMiniport(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);

// One pin or node of the filter: the control it stands for (referenced) and its name GUID.
struct TopologyEntry {
    AudioNode* Control;
    ULONG Id;           // the control's id, read once
    ULONG Kind;         // the control's kind, read once
    ULONG SourceCount;  // the control's sources, read once
    PULONG Sources;     // paged "TOPO"; null when SourceCount is 0
    ULONG TerminalType; // pins only
    ULONG WalkState;    // connection walk: 0 not walked, 1 on the walk's path, 2 walked
    BOOLEAN HasName;
    GUID Name;
};

class TopologyMiniport : public CKernelUnknown, public IMiniportTopology, public SubdeviceInfo, public IPowerNotify {
public:
    DECLARE_KERNEL_UNKNOWN();

    explicit TopologyMiniport(PUNKNOWN UnknownOuter);
    ~TopologyMiniport() override;

    // ---- IMiniport / IMiniportTopology ----
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                       ULONG OutputBufferLength, PVOID ResultantFormat,
                                       PULONG ResultantFormatLength) override;
    STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) override;

    // ---- SubdeviceInfo ----
    // In: a control id; out: the number of the first pin whose control has that id.
    STDMETHODIMP MapNodeToPin(PULONG Value) override;
    STDMETHODIMP GetName(PWSTR* Name) override;

    // ---- for the property and event handlers ----
    // The miniport behind a request's major target: the IMiniportTopology the port holds.
    static TopologyMiniport* FromTarget(PUNKNOWN MajorTarget) {
        return static_cast<TopologyMiniport*>(static_cast<IMiniportTopology*>(MajorTarget));
    }
    ULONG NodeCount() const { return m_NodeCount; }
    ULONG PinCount() const { return m_PinCount; }
    // The entry of node or pin Number; null when there is none.
    const TopologyEntry* NodeEntry(ULONG Number) const {
        return m_NodeEntries != nullptr && Number < m_NodeCount ? &m_NodeEntries[Number] : nullptr;
    }
    const TopologyEntry* PinEntry(ULONG Number) const {
        return m_PinEntries != nullptr && Number < m_PinCount ? &m_PinEntries[Number] : nullptr;
    }
    PPORTEVENTS PortEvents() const { return m_PortEvents; }
    // Raises the audio control-change event on node Number.
    void RaiseControlChange(ULONG Number);

    // ---- IPowerNotify ----
    // The device state is kept when it differs and lies in D0..D3.
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE NewState) override;
    ULONG DevicePowerState() const { return m_PowerState; }

private:
    static void ChangeCallback(PVOID Context, PVOID Argument1, PVOID Argument2);

    NTSTATUS BuildPinList();
    NTSTATUS BuildNodeList();
    NTSTATUS BuildPinDescriptors();
    NTSTATUS BuildNodeDescriptors();
    NTSTATUS BuildConnections();
    NTSTATUS BuildIdIndex();
    NTSTATUS WalkFrom(ULONG NodeNumber);
    NTSTATUS AddConnection(ULONG FromNode, ULONG FromNodePin, ULONG ToNode, ULONG ToNodePin);
    NTSTATUS ReadPinName(TopologyEntry* Pin, ULONG PinNumber, PCWSTR BaseName, bool Indexed);
    // Number of the first node (or pin) whose control has Id; MAXULONG for none.
    ULONG FindNode(ULONG Id) const;
    ULONG FindPin(ULONG Id) const;
    // Frees what Init built for the port and releases what it took; the entries stay.
    void ReleaseDescriptors();
    static void FreeEntries(TopologyEntry* Entries, ULONG Count);

    PPORTTOPOLOGY m_Port;          // not referenced: the port owns this miniport
    PPORTEVENTS m_PortEvents;      // the same port's interface, not referenced
    AdapterCommon* m_Adapter;      // referenced
    PVOID m_ChangeRegistration;
    PWSTR m_Name;                  // paged "TOPO"
    ULONG m_PowerState;

    TopologyEntry* m_PinEntries;   // paged "TOPO", pin order
    ULONG m_PinCount;
    TopologyEntry* m_NodeEntries;  // paged "TOPO", node order
    ULONG m_NodeCount;
    PCCONNECTION_DESCRIPTOR* m_ConnectionList;  // paged "TOPO", in the order they were added
    ULONG m_ConnectionCount;
    ULONG m_ConnectionCapacity;

    // Open-addressed index of control ids: slot -> entry number + 1 (0 empty); the first entry in
    // order keeps an id shared by several.
    PULONG m_NodeIndex;
    PULONG m_PinIndex;
    ULONG m_IndexSlots;            // a power of two, at least twice the entries

    PCFILTER_DESCRIPTOR* m_Filter;         // paged "TOPO"
    PCPIN_DESCRIPTOR* m_PinDescriptors;    // paged "TOPO"
    PCNODE_DESCRIPTOR* m_NodeDescriptors;  // paged "TOPO"
    PCCONNECTION_DESCRIPTOR* m_Connections;  // paged "TOPO", most recently added first
};
