// A bench for the topology filter: a small adapter holding hand-made controls, a port that
// records events, the miniport built over them, and a sender that calls a node's property handler
// as the port calls it. TopologyGraphOn takes the test fixture to build on.
#pragma once

#include <gtest/gtest.h>

#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/front/TopologyMiniport.h"

#include <win/ksmedia.h>

#include <array>
#include <vector>

namespace topology_test {

inline constexpr ULONG TestTag = 'tseT';

class TestConnector : public ConnectorControlBase {
public:
    TestConnector(ULONG Id, NodeKind Kind, ULONG Type) : ConnectorControlBase(nullptr, Id, Kind) {
        m_InitStatus = InitConnector(1, &Type, 0, nullptr, TestTag);
    }
    NTSTATUS m_InitStatus;
};

struct RaisedEvent {
    ULONG EventId;
    BOOL PinEvent;
    BOOL NodeEvent;
    ULONG NodeId;
};

// The port as the miniport sees it: events are recorded.
class TestPort : public CKernelUnknown, public IPortTopology, public IPortEvents {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {
            {IID_IPortEvents, static_cast<IPortEvents*>(this)},
        };
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    TestPort() : CKernelUnknown(nullptr) {}
    STDMETHODIMP Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY) override {}
    STDMETHODIMP_(void) GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG, BOOL NodeEvent,
                                          ULONG NodeId) override {
        if (IsEqualGUID(*Set, KSEVENTSETID_AudioControlChange)) {
            Events.push_back({EventId, PinEvent, NodeEvent, NodeId});
        }
    }
    std::vector<RaisedEvent> Events;
};

// An adapter that answers its node list and keeps the one change callback.
class GraphAdapter : public CKernelUnknown, public AdapterCommon {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_AdapterCommon, static_cast<AdapterCommon*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    GraphAdapter() : CKernelUnknown(nullptr) {}
    ~GraphAdapter() override {
        for (AudioNode* node : Nodes) node->Release();
    }
    void Add(AudioNode* Node) {
        Node->AddRef();
        Nodes.push_back(Node);
    }
    STDMETHODIMP GetEndpointInfo(ULONG, EndpointInfo*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetComponentId(PKSCOMPONENTID) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) GetStreamEngineCount() override { return 0; }
    STDMETHODIMP GetStreamEngine(ULONG, StreamEngine** Engine) override {
        *Engine = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) GetNodeCount() override { return static_cast<ULONG>(Nodes.size()); }
    STDMETHODIMP GetNode(ULONG Index, AudioNode** Node) override {
        *Node = Index < Nodes.size() ? Nodes[Index] : nullptr;
        return *Node != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return nullptr; }
    STDMETHODIMP Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
    STDMETHODIMP Start() override { return STATUS_SUCCESS; }
    STDMETHODIMP Stop() override { return STATUS_SUCCESS; }
    STDMETHODIMP RegisterChangeCallback(PCALLBACK_FUNCTION Function, PVOID Context, PVOID* Registration) override {
        Callback = Function;
        CallbackContext = Context;
        *Registration = this;
        ++Registrations;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP UnregisterChangeCallback(PVOID) override {
        Callback = nullptr;
        --Registrations;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP WaitIdle() override { return STATUS_SUCCESS; }
    STDMETHODIMP Identify() override { return STATUS_SUCCESS; }
    STDMETHODIMP BindStreams() override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCaps(ULONG, ULONG, EndpointInfo*) override { return STATUS_NOT_IMPLEMENTED; }

    void Notify(ULONG ControlId) {
        ControlChangeRecord record = {ControlChangeValue, 1, ControlId, 0, 0};
        if (Callback != nullptr) Callback(CallbackContext, &record, nullptr);
    }

    std::vector<AudioNode*> Nodes;
    PCALLBACK_FUNCTION Callback = nullptr;
    PVOID CallbackContext = nullptr;
    int Registrations = 0;
};

template <class T, class... Arguments>
T* Make(Arguments... Args) {
    T* object = new (PagedPool, TestTag) T(Args...);
    object->NonDelegatingAddRef();
    return object;
}

inline AudioNode* Node(ULONG Id, NodeKind Kind, std::vector<ULONG> Sources) {
    auto* node = Make<AudioNode>(static_cast<PUNKNOWN>(nullptr), Id, NodeKindCode(Kind));
    EXPECT_EQ(node->SetSources(static_cast<ULONG>(Sources.size()), Sources.data()), STATUS_SUCCESS);
    return node;
}

inline AudioNode* Connector(ULONG Id, NodeKind Kind, ULONG Type, std::vector<ULONG> Sources = {}) {
    auto* node = Make<TestConnector>(Id, Kind, Type);
    EXPECT_EQ(node->m_InitStatus, STATUS_SUCCESS);
    EXPECT_EQ(node->SetSources(static_cast<ULONG>(Sources.size()), Sources.data()), STATUS_SUCCESS);
    return node;
}

// FromNode, FromNodePin, ToNode, ToNodePin.
using Edge = std::array<ULONG, 4>;

template <class Base = testing::Test>
class TopologyGraphOn : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        m_Adapter = Make<GraphAdapter>();
        m_Port = Make<TestPort>();
    }
    void TearDown() override {
        if (m_Miniport != nullptr) m_Miniport->Release();
        EXPECT_EQ(m_Adapter->Registrations, 0);
        m_Port->NonDelegatingRelease();
        m_Adapter->NonDelegatingRelease();
        Base::TearDown();
    }
    // The graph's nodes in HAL order; each keeps the adapter's reference only.
    void Graph(std::vector<AudioNode*> Nodes) {
        for (AudioNode* node : Nodes) {
            m_Adapter->Add(node);
            node->Release();
        }
    }
    NTSTATUS Build() {
        PUNKNOWN unknown = nullptr;
        NTSTATUS status = CreateTopologyMiniport(&unknown, GUID_NULL, nullptr, NonPagedPoolNx);
        if (!NT_SUCCESS(status)) return status;
        status = unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_Miniport));
        unknown->Release();
        if (!NT_SUCCESS(status)) return status;
        status = m_Miniport->Init(static_cast<AdapterCommon*>(m_Adapter), nullptr, m_Port);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(m_Miniport->GetDescription(&m_Filter), STATUS_SUCCESS);
        }
        return status;
    }
    std::vector<Edge> Connections() const {
        std::vector<Edge> edges;
        for (ULONG index = 0; index < m_Filter->ConnectionCount; ++index) {
            const KSTOPOLOGY_CONNECTION& c = m_Filter->Connections[index];
            edges.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return edges;
    }

    struct Reply {
        NTSTATUS status;
        ULONG valueSize;
    };
    // Sends one request through the handler the node's table names for (set, id).
    Reply Send(ULONG Node, const GUID& Set, ULONG Id, ULONG Verb, std::vector<ULONG> Instance, PVOID Value,
               ULONG ValueSize) {
        const PCAUTOMATION_TABLE* table =
            Node == MAXULONG ? m_Filter->AutomationTable : m_Filter->Nodes[Node].AutomationTable;
        const PCPROPERTY_ITEM* item = nullptr;
        for (ULONG i = 0; table != nullptr && i < table->PropertyCount; ++i) {
            if (IsEqualGUID(*table->Properties[i].Set, Set) && table->Properties[i].Id == Id) item = &table->Properties[i];
        }
        if (item == nullptr) return {STATUS_NOT_FOUND, 0};
        PCPROPERTY_REQUEST request = {};
        request.MajorTarget = m_Miniport;
        request.Node = Node;
        request.PropertyItem = item;
        request.Verb = Verb;
        request.InstanceSize = static_cast<ULONG>(Instance.size() * sizeof(ULONG));
        request.Instance = Instance.empty() ? nullptr : Instance.data();
        request.ValueSize = ValueSize;
        request.Value = ValueSize != 0 ? Value : nullptr;
        const NTSTATUS status = item->Handler(&request);
        return {status, request.ValueSize};
    }

    GraphAdapter* m_Adapter = nullptr;
    TestPort* m_Port = nullptr;
    IMiniportTopology* m_Miniport = nullptr;
    PPCFILTER_DESCRIPTOR m_Filter = nullptr;
};
using TopologyGraph = TopologyGraphOn<>;

}  // namespace topology_test
