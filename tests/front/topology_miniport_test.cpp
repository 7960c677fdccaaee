// The topology filter built from a control graph: pins, nodes and connections in the order the
// audio stack sees them, the walk's refusals (unknown sources, cycles), the pin map and the
// control-change events. The graph comes from a small adapter that holds hand-made controls.
#include <gtest/gtest.h>

#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/VendorControl.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/TopologyProperties.h"
#include "front/topology_bench.h"

#include <win/ksmedia.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using namespace topology_test;

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

// ---- the handlers, called as the port calls them ----

// A vendor control with four parameters (values 10, 11, 12, 13) whose switch is on.
class TestVendor : public VendorControlNode {
public:
    explicit TestVendor(ULONG Id) : VendorControlNode(nullptr, Id) {
        m_ParameterCount = 4;
        m_Enable = 1;
        m_NameGuid = KSNODETYPE_VOLUME;
    }
    STDMETHODIMP GetParameters(ULONG First, ULONG Count, PLONG Values) override {
        if (static_cast<ULONGLONG>(First) + Count > 4) ADD_FAILURE() << "read beyond the parameters";
        for (ULONG i = 0; i < Count && First + i < 4; ++i) Values[i] = Parameters[First + i];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetParameters(ULONG First, ULONG Count, const LONG* Values) override {
        if (static_cast<ULONGLONG>(First) + Count > 4) ADD_FAILURE() << "write beyond the parameters";
        for (ULONG i = 0; i < Count && First + i < 4; ++i) Parameters[First + i] = Values[i];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetParameterInfo(ULONG Index, PULONG Info) override {
        for (ULONG w = 0; w < VendorParameterInfoWords; ++w) Info[w] = Index * 10 + w;
        return STATUS_SUCCESS;
    }
    LONG Parameters[4] = {10, 11, 12, 13};
};

class TopologyHandlers : public TopologyGraph {
protected:
    // Output connector 5 <- vendor 4 <- one-input selector 3 <- Stream input connector 2: node 0 is
    // the selector, node 1 the vendor control.
    void SetUp() override {
        TopologyGraph::SetUp();
        m_Vendor = Make<TestVendor>(4);
        ASSERT_EQ(m_Vendor->SetSources(1, std::array<ULONG, 1>{3}.data()), STATUS_SUCCESS);
        Graph({Connector(5, NodeKind::OutputConnector, 1, {4}), m_Vendor, Node(3, NodeKind::Selector, {2}),
               Connector(2, NodeKind::InputConnector, 0)});
        ASSERT_EQ(Build(), STATUS_SUCCESS);
        ASSERT_EQ(m_Filter->NodeCount, 2u);
    }

    TestVendor* m_Vendor = nullptr;
};

constexpr ULONG kSelectorNode = 0;
constexpr ULONG kVendorNode = 1;

TEST_F(TopologyHandlers, VendorParameterRangesAreCheckedWithoutWrapping) {
    struct Case {
        const char* name;
        ULONG verb;
        std::vector<ULONG> instance;
        ULONG valueSize;
        NTSTATUS status;
        ULONG answeredSize;
    };
    const Case cases[] = {
        {"get inside", KSPROPERTY_TYPE_GET, {1, 2}, 16, STATUS_SUCCESS, 16},
        {"get past the count", KSPROPERTY_TYPE_GET, {2, 3}, 20, STATUS_INVALID_PARAMETER, 20},
        {"get whose end wraps", KSPROPERTY_TYPE_GET, {0xFFFFFFFF, 2}, 16, STATUS_INVALID_PARAMETER, 16},
        {"get of a huge count", KSPROPERTY_TYPE_GET, {0, 0x40000001}, 64, STATUS_INVALID_PARAMETER, 64},
        {"get into a short value", KSPROPERTY_TYPE_GET, {0, 2}, 15, STATUS_INVALID_PARAMETER, 15},
        {"get with a short instance", KSPROPERTY_TYPE_GET, {0}, 16, STATUS_BUFFER_TOO_SMALL, 0},
        {"set past the count", KSPROPERTY_TYPE_SET, {2, 3, 7, 7, 7}, 4, STATUS_INVALID_PARAMETER, 4},
        {"set whose end wraps", KSPROPERTY_TYPE_SET, {0xFFFFFFFF, 1, 7}, 4, STATUS_INVALID_PARAMETER, 4},
        {"set with fewer values than its count", KSPROPERTY_TYPE_SET, {0, 3, 7, 7}, 4, STATUS_INVALID_PARAMETER, 4},
        {"set with a short instance", KSPROPERTY_TYPE_SET, {0, 1}, 4, STATUS_BUFFER_TOO_SMALL, 0},
        {"set inside", KSPROPERTY_TYPE_SET, {2, 2, 70, 71}, 4, STATUS_SUCCESS, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> value(c.valueSize, 0xEE);
        const Reply reply =
            Send(kVendorNode, VendorParameterPropSet, VendorParameterPropValues, c.verb, c.instance, value.data(), c.valueSize);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.valueSize, c.answeredSize);
        if (c.verb == KSPROPERTY_TYPE_GET && c.status == STATUS_SUCCESS) {
            const std::array<ULONG, 4> expected = {16, 2, 11, 12};
            EXPECT_EQ(std::memcmp(value.data(), expected.data(), 16), 0);
        }
    }
    // Only the set inside changed anything.
    EXPECT_EQ(m_Vendor->Parameters[0], 10);
    EXPECT_EQ(m_Vendor->Parameters[1], 11);
    EXPECT_EQ(m_Vendor->Parameters[2], 70);
    EXPECT_EQ(m_Vendor->Parameters[3], 71);

    ULONG info[3] = {};
    EXPECT_EQ(Send(kVendorNode, VendorParameterPropSet, VendorParameterPropInfo, KSPROPERTY_TYPE_GET, {4}, info, 12).status,
              STATUS_INVALID_PARAMETER);
    const Reply reply = Send(kVendorNode, VendorParameterPropSet, VendorParameterPropInfo, KSPROPERTY_TYPE_GET, {2}, info, 12);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.valueSize, 12u);
    EXPECT_EQ(info[0], 20u);
    ULONG count = 0;
    EXPECT_EQ(Send(kVendorNode, VendorParameterPropSet, VendorParameterPropCount, KSPROPERTY_TYPE_GET, {}, &count, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
}

TEST_F(TopologyHandlers, VendorSwitchAndDescriptions) {
    // The one byte the control answers lands in a zeroed 32-bit value.
    ULONG enable = 0xFFFFFFFF;
    Reply reply = Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_GET, {}, &enable, 4);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(enable, 1u);
    GUID identity = {};
    EXPECT_EQ(Send(kVendorNode, NodeIdentityPropSet, 1, KSPROPERTY_TYPE_GET, {}, &identity, 16).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(identity, VendorParameterPropSet));
    EXPECT_EQ(Send(kVendorNode, NodeIdentityPropSet, 1, KSPROPERTY_TYPE_GET, {}, &identity, 15).status,
              STATUS_INVALID_PARAMETER);

    // The GUID description: 80 bytes with its member, 40 without, the access flags alone below.
    std::array<UCHAR, 80> bytes = {};
    reply = Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT, {},
                 bytes.data(), 80);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.valueSize, 80u);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, bytes.data(), sizeof(description));
    EXPECT_EQ(description.AccessFlags, 0x202u);
    EXPECT_EQ(description.PropTypeSet.Id, static_cast<ULONG>(VT_BOOL));
    EXPECT_EQ(description.MembersListCount, 1u);
    GUID member;
    std::memcpy(&member, bytes.data() + 40 + 16 + 4, sizeof(member));
    EXPECT_TRUE(IsEqualGUID(member, VendorParameterPropSet));
    reply = Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT, {},
                 bytes.data(), 79);
    std::memcpy(&description, bytes.data(), sizeof(description));
    EXPECT_EQ(reply.valueSize, 40u);
    EXPECT_EQ(description.MembersListCount, 0u);
    reply = Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT, {},
                 bytes.data(), 2);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reply.valueSize, 80u);

    // A one-input selector takes any value and keeps nothing; it answers no value.
    ULONG value = 3;
    EXPECT_EQ(Send(kSelectorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_SET, {}, &value, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Send(kSelectorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_GET, {}, &value, 4).status,
              STATUS_UNSUCCESSFUL);
    std::array<UCHAR, 64> range = {};
    reply = Send(kSelectorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT, {},
                 range.data(), 64);
    EXPECT_EQ(reply.valueSize, 64u);
    KSPROPERTY_BOUNDS_LONG bounds;
    std::memcpy(&bounds, range.data() + 56, sizeof(bounds));
    EXPECT_EQ(bounds.UnsignedMaximum, MAXULONG);
}

TEST_F(TopologyHandlers, VersionAndControlChangeEventVerbs) {
    ULONG version = 0;
    EXPECT_EQ(Send(MAXULONG, PrivateDriverPropSet, PrivateDriverPropVersion, KSPROPERTY_TYPE_GET, {}, &version, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(version, 0x00030000u);
    EXPECT_EQ(Send(MAXULONG, PrivateDriverPropSet, PrivateDriverPropVersion, KSPROPERTY_TYPE_GET, {}, &version, 3).status,
              STATUS_INVALID_PARAMETER);

    const PCAUTOMATION_TABLE* table = m_Filter->Nodes[kVendorNode].AutomationTable;
    ASSERT_EQ(table->EventCount, 1u);
    EXPECT_EQ(m_Filter->Nodes[kSelectorNode].AutomationTable->EventCount, 0u);
    struct Case {
        ULONG node;
        ULONG verb;
        NTSTATUS status;
    };
    const Case cases[] = {
        {kVendorNode, PCEVENT_VERB_SUPPORT, STATUS_SUCCESS},
        {kVendorNode, PCEVENT_VERB_REMOVE, STATUS_SUCCESS},
        {kVendorNode, PCEVENT_VERB_ADD, STATUS_UNSUCCESSFUL},  // no event entry
        {kVendorNode, 3, STATUS_INVALID_PARAMETER},
        {2, PCEVENT_VERB_SUPPORT, STATUS_INVALID_PARAMETER},   // the node count
    };
    for (const Case& c : cases) {
        PCEVENT_REQUEST request = {};
        request.MajorTarget = m_Miniport;
        request.Node = c.node;
        request.EventItem = table->Events;
        request.Verb = c.verb;
        EXPECT_EQ(table->Events[0].Handler(&request), c.status) << "verb " << c.verb << " node " << c.node;
    }
}

}  // namespace
