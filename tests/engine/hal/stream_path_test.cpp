// The stream path walks over a HAL's control graph: the render search from each typed output
// connector and the upstream path, on graphs with a diamond and with a cycle (which a device's
// units cannot form, but a walk must end on).
#include "driver/engine/hal/StreamPath.h"
#include "driver/engine/interfaces/TerminalInfo.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

constexpr ULONG kTag = 'tPtS';

// An output connector with a terminal type, the kind the render search starts from.
class TypedConnector : public AudioNode, public TerminalInfo {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_TerminalInfo, static_cast<TerminalInfo*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    TypedConnector(PUNKNOWN UnknownOuter, ULONG Id) : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::OutputConnector)) {}
    STDMETHODIMP GetTerminalType(PULONG Type) override {
        *Type = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeCount(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetTypeList(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SelectType(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetJackCount(PULONG, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetJackDescriptions(ULONG, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetPinRecord(EndpointInfo*) override { return STATUS_NOT_IMPLEMENTED; }
};

struct Node {
    ULONG id;
    NodeKind kind;
    std::vector<ULONG> sources;
};

class GraphHal : public AudioHal {
public:
    GraphHal(PUNKNOWN UnknownOuter, std::vector<Node> Nodes) : AudioHal(UnknownOuter), m_Nodes(std::move(Nodes)) {}
    STDMETHODIMP Identify() override {
        for (const Node& n : m_Nodes) {
            AudioNode* node = n.kind == NodeKind::OutputConnector
                                  ? static_cast<AudioNode*>(new (NonPagedPoolNx, kTag) TypedConnector(nullptr, n.id))
                                  : new (NonPagedPoolNx, kTag) AudioNode(nullptr, n.id, NodeKindCode(n.kind));
            if (node == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            node->NonDelegatingAddRef();
            NTSTATUS status = node->SetSources(static_cast<ULONG>(n.sources.size()), n.sources.data());
            if (NT_SUCCESS(status)) status = AddNode(node);
            node->NonDelegatingRelease();
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

private:
    std::vector<Node> m_Nodes;
};

struct PathCase {
    const char* name;
    std::vector<Node> nodes;
    NTSTATUS expected;
    std::vector<ULONG> path;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class StreamPathWalk : public testing::TestWithParam<PathCase> {};

TEST_P(StreamPathWalk, RenderSearchEndsOnEveryGraph) {
    const PathCase& c = GetParam();
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(NewKernelObject<GraphHal>(&unknown, nullptr, NonPagedPoolNx, kTag, c.nodes), STATUS_SUCCESS);
    AdapterCommon* common = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common)), STATUS_SUCCESS);
    unknown->Release();
    auto* hal = static_cast<GraphHal*>(common);
    const auto device = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    ASSERT_EQ(hal->Init(nullptr, device, device, device), STATUS_SUCCESS);

    auto* engine = new (NonPagedPoolNx, kTag) StreamEngine(nullptr, 1);
    ASSERT_NE(engine, nullptr);
    engine->NonDelegatingAddRef();
    ASSERT_EQ(engine->Init(StreamDirectionRender), STATUS_SUCCESS);
    // The terminal's control is the input connector, id 0.
    EXPECT_EQ(AttachStreamPath(*hal, *engine, 0), c.expected);
    std::vector<ULONG> path;
    for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
        AudioNode* node = nullptr;
        engine->GetNode(i, &node);
        path.push_back(node->GetId());
    }
    EXPECT_EQ(path, c.path);
    engine->NonDelegatingRelease();
    EXPECT_EQ(common->Release(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, StreamPathWalk,
    testing::Values(
        // 3 <- 1 <- {2, 0}, 2 <- 1: the path takes each control once.
        PathCase{"Diamond",
                 {{0, NodeKind::InputConnector, {}}, {1, NodeKind::Volume, {2, 0}}, {2, NodeKind::Mute, {1}},
                  {3, NodeKind::OutputConnector, {1}}},
                 STATUS_SUCCESS,
                 {3, 1, 2, 0}},
        // 3 <- 7 <- mixer 6 <- {0, 4 <- 5}: the mixer is passed on the branch of the streaming
        // terminal only, so the path holds the terminal but not the monitored input 5.
        PathCase{"MixerWithAMonitoredInput",
                 {{0, NodeKind::InputConnector, {}}, {5, NodeKind::InputConnector, {}}, {4, NodeKind::Volume, {5}},
                  {6, NodeKind::Mixer, {4, 0}}, {7, NodeKind::Mute, {6}}, {3, NodeKind::OutputConnector, {7}}},
                 STATUS_SUCCESS,
                 {3, 7, 6, 0}},
        // 3 <- 1 <-> 2, and the input connector is not upstream: the search ends, nothing found.
        PathCase{"CycleWithoutTheTerminal",
                 {{0, NodeKind::InputConnector, {}}, {1, NodeKind::Volume, {2}}, {2, NodeKind::Mute, {1}},
                  {3, NodeKind::OutputConnector, {1}}},
                 STATUS_INVALID_PARAMETER,
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
