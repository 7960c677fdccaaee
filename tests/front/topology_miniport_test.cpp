// The topology filter built from a control graph: pins, nodes and connections in the order the
// audio stack sees them, the walk's refusals (unknown sources, cycles), the pin map and the
// control-change events. The graph comes from a small adapter that holds hand-made controls.
#include <gtest/gtest.h>

#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/front/TopologyMiniport.h"

#include <win/ksmedia.h>

#include <array>
#include <vector>

namespace {

constexpr ULONG TestTag = 'tseT';

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

AudioNode* Node(ULONG Id, NodeKind Kind, std::vector<ULONG> Sources) {
    auto* node = Make<AudioNode>(static_cast<PUNKNOWN>(nullptr), Id, NodeKindCode(Kind));
    EXPECT_EQ(node->SetSources(static_cast<ULONG>(Sources.size()), Sources.data()), STATUS_SUCCESS);
    return node;
}

AudioNode* Connector(ULONG Id, NodeKind Kind, ULONG Type, std::vector<ULONG> Sources = {}) {
    auto* node = Make<TestConnector>(Id, Kind, Type);
    EXPECT_EQ(node->m_InitStatus, STATUS_SUCCESS);
    EXPECT_EQ(node->SetSources(static_cast<ULONG>(Sources.size()), Sources.data()), STATUS_SUCCESS);
    return node;
}

// FromNode, FromNodePin, ToNode, ToNodePin.
using Edge = std::array<ULONG, 4>;

class TopologyGraph : public testing::Test {
protected:
    void SetUp() override {
        m_Adapter = Make<GraphAdapter>();
        m_Port = Make<TestPort>();
    }
    void TearDown() override {
        if (m_Miniport != nullptr) m_Miniport->Release();
        EXPECT_EQ(m_Adapter->Registrations, 0);
        m_Port->NonDelegatingRelease();
        m_Adapter->NonDelegatingRelease();
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

    GraphAdapter* m_Adapter = nullptr;
    TestPort* m_Port = nullptr;
    IMiniportTopology* m_Miniport = nullptr;
    PPCFILTER_DESCRIPTOR m_Filter = nullptr;
};

constexpr ULONG F = KSFILTER_NODE;

TEST_F(TopologyGraph, PinsNodesAndConnectionsFollowTheControlGraph) {
    // Output connector 5 <- volume 4 <- mute 3 <- Stream input connector 2.
    Graph({Connector(5, NodeKind::OutputConnector, 1, {4}), Node(4, NodeKind::Volume, {3}),
           Node(3, NodeKind::Mute, {2}), Connector(2, NodeKind::InputConnector, 0)});
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_EQ(m_Filter->PinCount, 2u);
    EXPECT_EQ(m_Filter->Pins[0].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Pins[0].KsPinDescriptor.Category, KSCATEGORY_AUDIO));
    EXPECT_EQ(m_Filter->Pins[1].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Pins[1].KsPinDescriptor.Category, KSNODETYPE_SPEAKER));
    EXPECT_EQ(m_Filter->Pins[1].KsPinDescriptor.DataRanges[0]->FormatSize, 64u);
    ASSERT_EQ(m_Filter->NodeCount, 2u);
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Nodes[0].Type, KSNODETYPE_MUTE));
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Nodes[1].Type, KSNODETYPE_VOLUME));
    const std::vector<Edge> expected = {{1, 0, F, 1}, {0, 0, 1, 1}, {F, 0, 0, 1}};
    EXPECT_EQ(Connections(), expected);
    EXPECT_EQ(m_Filter->CategoryCount, 3u);

    auto* info = static_cast<SubdeviceInfo*>(nullptr);
    ASSERT_EQ(m_Miniport->QueryInterface(IID_SubdeviceInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
    ULONG value = 5;
    EXPECT_EQ(info->MapNodeToPin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    value = 4;  // a node, not a pin
    EXPECT_EQ(info->MapNodeToPin(&value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
    PWSTR name = nullptr;
    EXPECT_EQ(info->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"GlobalTopo");
    info->Release();

    // A change of the volume raises one node event on its number; the input connector's none.
    m_Adapter->Notify(4);
    m_Adapter->Notify(2);
    ASSERT_EQ(m_Port->Events.size(), 1u);
    EXPECT_EQ(m_Port->Events[0].EventId, static_cast<ULONG>(KSEVENT_CONTROL_CHANGE));
    EXPECT_TRUE(m_Port->Events[0].NodeEvent);
    EXPECT_FALSE(m_Port->Events[0].PinEvent);
    EXPECT_EQ(m_Port->Events[0].NodeId, 1u);
}

TEST_F(TopologyGraph, StreamPinsComeFirstAndSelectorsByTheirInputs) {
    // Stream connectors 7 and 9, a microphone 8, a two-input selector 10 and a one-input one 11.
    Graph({Connector(7, NodeKind::InputConnector, 0), Connector(8, NodeKind::InputConnector, 7),
           Connector(9, NodeKind::InputConnector, 0), Node(10, NodeKind::Selector, {7, 8}),
           Node(11, NodeKind::Selector, {9}), Connector(12, NodeKind::OutputConnector, 2, {10}),
           Connector(13, NodeKind::OutputConnector, 1, {11}), Connector(14, NodeKind::OutputConnector, 4, {8})});
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_EQ(m_Filter->PinCount, 6u);
    // Pins: 9, 7 (Stream, reverse order), then 8, 12, 13, 14. Nodes: 11, 10.
    ASSERT_EQ(m_Filter->NodeCount, 2u);
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Nodes[0].Type, KSNODETYPE_DEV_SPECIFIC));
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Nodes[0].Name, KSNODETYPE_DEV_SPECIFIC));
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Nodes[1].Type, KSNODETYPE_MUX));
    EXPECT_EQ(m_Filter->Nodes[1].Name, nullptr);
    // An HDMI output pin carries its fixed name.
    EXPECT_TRUE(IsEqualGUID(*m_Filter->Pins[5].KsPinDescriptor.Category, KSNODETYPE_HDMI_INTERFACE));
    EXPECT_NE(m_Filter->Pins[5].KsPinDescriptor.Name, nullptr);
    const std::vector<Edge> expected = {
        {F, 2, F, 5},  // the microphone straight to the HDMI output
        {0, 0, F, 4}, {F, 0, 0, 1}, {1, 0, F, 3}, {F, 2, 1, 2}, {F, 1, 1, 1},
    };
    EXPECT_EQ(Connections(), expected);
}

TEST_F(TopologyGraph, RefusedGraphsFailInitAndReleaseEverything) {
    struct Case {
        const char* name;
        std::vector<AudioNode*> (*graph)();
        NTSTATUS status;
    };
    const Case cases[] = {
        {"unknown source",
         [] {
             return std::vector<AudioNode*>{Connector(5, NodeKind::OutputConnector, 1, {4}),
                                            Node(4, NodeKind::Volume, {77})};
         },
         STATUS_UNSUCCESSFUL},
        {"cycle",
         [] {
             return std::vector<AudioNode*>{Connector(5, NodeKind::OutputConnector, 1, {4}),
                                            Node(4, NodeKind::Volume, {3}), Node(3, NodeKind::Mute, {4})};
         },
         STATUS_UNSUCCESSFUL},
        {"record terminal",
         [] { return std::vector<AudioNode*>{Connector(5, NodeKind::OutputConnector, 18)}; },
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        m_Miniport = nullptr;
        SetUp();
        Graph(c.graph());
        EXPECT_EQ(Build(), c.status);
        PPCFILTER_DESCRIPTOR filter = nullptr;
        EXPECT_EQ(m_Miniport->GetDescription(&filter), STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(m_Adapter->Registrations, 0);
    }
}

TEST_F(TopologyGraph, UndescribedSourceGivesNoConnectionAndDeepChainsWalk) {
    // A chain of 20,000 volumes would exhaust a recursive walk; the input the device left
    // undescribed at its top ends it without a connection.
    constexpr ULONG depth = 20000;
    std::vector<AudioNode*> nodes = {Connector(depth + 1, NodeKind::OutputConnector, 1, {depth})};
    for (ULONG id = depth; id >= 1; --id) {
        nodes.push_back(Node(id, NodeKind::Volume, {id == 1 ? AudioNodeNoSource : id - 1}));
    }
    Graph(nodes);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(m_Filter->NodeCount, depth);
    EXPECT_EQ(m_Filter->ConnectionCount, depth);
}

}  // namespace
