// AudioHal base: set-up and its failure paths, the lists and lookups, selector binding over node
// graphs (chains, branches, missing sources, cycles), power changes and change callbacks.
#include "driver/engine/hal/AudioHal.h"

#include "support/pool_faults.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr ULONG kFakeTag = 'ekaF';
using Log = std::vector<std::string>;

std::string Event(const char* what, ULONG id) { return std::string(what) + " " + std::to_string(id); }
std::string Event(const char* what, ULONG id, ULONG value) { return Event(what, id) + " " + std::to_string(value); }

// Roles a fake node plays besides AudioNode.
enum Role : unsigned { Plain = 0, Listener = 1, Chooser = 2 };

struct NodeSetup {
    ULONG id;
    ULONG kind;
    std::vector<ULONG> sources;
    unsigned roles = Plain;
    NTSTATUS apply = STATUS_SUCCESS;
    NTSTATUS selected = STATUS_SUCCESS;  // what GetSelected answers (Chooser)
};

// A node that logs what the HAL does with it; as Listener it answers SelectorListener, as Chooser
// it answers Selector with current selection 2.
class FakeNode : public AudioNode, public SelectorListener, public Selector {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeNode(PUNKNOWN UnknownOuter, const NodeSetup& Setup, Log* Events)
        : AudioNode(UnknownOuter, Setup.id, Setup.kind), m_Setup(Setup), m_Events(Events) {}
    ~FakeNode() override {
        for (SelectorListener* listener : m_Listeners) listener->Release();
        m_Events->push_back(Event("destroy", m_Id));
    }

    NTSTATUS ApplyValues() override {
        m_Events->push_back(Event("apply", m_Id));
        return m_Setup.apply;
    }
    NTSTATUS OnHalStart() override {
        m_Events->push_back(Event("start", m_Id));
        return STATUS_UNSUCCESSFUL;  // ignored by the HAL
    }
    NTSTATUS OnHalStop() override {
        m_Events->push_back(Event("stop", m_Id));
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS OnSelectionChanged(ULONG Selection) override {
        m_Events->push_back(Event("selected", m_Id, Selection));
        return STATUS_SUCCESS;
    }
    NTSTATUS SetSelectorInput(ULONG Input) override {
        m_Events->push_back(Event("input", m_Id, Input));
        return STATUS_SUCCESS;
    }

    NTSTATUS GetSelected(PULONG Selection) override {
        *Selection = 2;
        return m_Setup.selected;
    }
    NTSTATUS SetSelected(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetSourceCount(PULONG Count) override {
        *Count = AudioNode::GetSourceCount();
        return STATUS_SUCCESS;
    }
    NTSTATUS AddListener(SelectorListener* Listener) override {
        m_Events->push_back(Event("add", static_cast<FakeNode*>(Listener)->GetId()));
        Listener->AddRef();
        m_Listeners.push_back(Listener);
        return STATUS_SUCCESS;
    }

private:
    NodeSetup m_Setup;
    Log* m_Events;
    std::vector<SelectorListener*> m_Listeners;  // one reference each
};

NTSTATUS FakeNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if ((m_Setup.roles & Listener) != 0 && IsEqualGUID(InterfaceId, IID_SelectorListener)) {
        const KernelInterface answer[] = {{IID_SelectorListener, static_cast<SelectorListener*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answer);
    }
    if ((m_Setup.roles & Chooser) != 0 && IsEqualGUID(InterfaceId, IID_Selector)) {
        const KernelInterface answer[] = {{IID_Selector, static_cast<Selector*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answer);
    }
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

class FakeEngine : public StreamEngine {
public:
    FakeEngine(PUNKNOWN UnknownOuter, Log* Events) : StreamEngine(UnknownOuter, 0), m_Events(Events) {}
    ~FakeEngine() override { m_Events->push_back("destroy engine"); }

private:
    Log* m_Events;
};

// A HAL whose Identify is the test's.
class TestHal : public AudioHal {
public:
    using IdentifyFunction = std::function<NTSTATUS(TestHal&)>;
    TestHal(PUNKNOWN UnknownOuter, IdentifyFunction Identify) : AudioHal(UnknownOuter), m_Identify(std::move(Identify)) {}

    STDMETHODIMP Identify() override { return m_Identify(*this); }

    ULONG PowerState() const { return m_PowerState; }
    PCALLBACK_OBJECT CallbackObject() const { return m_CallbackObject; }
    void SetOwnEndpointInfo(const EndpointInfo& Info) { m_EndpointInfo = Info; }

private:
    IdentifyFunction m_Identify;
};

const auto kDevice = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
const auto kLower = reinterpret_cast<PDEVICE_OBJECT>(0x2000);
const auto kPhysical = reinterpret_cast<PDEVICE_OBJECT>(0x3000);

ULONG Kind(NodeKind kind) { return NodeKindCode(kind); }

class AudioHalTest : public testing::Test {
protected:
    void TearDown() override { DestroyHal(); }

    // Creates the HAL; its Identify adds the nodes (and engines) and answers IdentifyStatus.
    void CreateHal(std::vector<NodeSetup> Nodes, ULONG Engines = 0, NTSTATUS IdentifyStatus = STATUS_SUCCESS) {
        m_Hal = CreateTestHal([this, Nodes, Engines, IdentifyStatus](TestHal& hal) {
            m_Events.push_back("identify");
            for (const NodeSetup& setup : Nodes) {
                NTSTATUS status = AddNode(hal, setup);
                if (!NT_SUCCESS(status)) return status;
            }
            for (ULONG i = 0; i < Engines; ++i) {
                NTSTATUS status = AddEngine(hal);
                if (!NT_SUCCESS(status)) return status;
            }
            return IdentifyStatus;
        });
    }

    TestHal* CreateTestHal(TestHal::IdentifyFunction Identify) {
        PUNKNOWN unknown = nullptr;
        // Fails only under an injected pool fault.
        if (!NT_SUCCESS(NewKernelObject<TestHal>(&unknown, nullptr, NonPagedPoolNx, kFakeTag, std::move(Identify)))) {
            return nullptr;
        }
        AdapterCommon* common = nullptr;
        EXPECT_EQ(unknown->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common)), STATUS_SUCCESS);
        unknown->Release();
        return static_cast<TestHal*>(common);
    }

    NTSTATUS AddNode(TestHal& Hal, const NodeSetup& Setup) {
        PUNKNOWN unknown = nullptr;
        NTSTATUS status = NewKernelObject<FakeNode>(&unknown, nullptr, NonPagedPoolNx, kFakeTag, Setup, &m_Events);
        if (!NT_SUCCESS(status)) return status;
        AudioNode* node = nullptr;
        unknown->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node));
        unknown->Release();
        status = node->SetSources(static_cast<ULONG>(Setup.sources.size()), Setup.sources.data());
        if (NT_SUCCESS(status)) status = Hal.AddNode(node);
        node->Release();
        return status;
    }

    NTSTATUS AddEngine(TestHal& Hal) {
        PUNKNOWN unknown = nullptr;
        NTSTATUS status = NewKernelObject<FakeEngine>(&unknown, nullptr, NonPagedPoolNx, kFakeTag, &m_Events);
        if (!NT_SUCCESS(status)) return status;
        StreamEngine* engine = nullptr;
        unknown->QueryInterface(IID_StreamEngine, reinterpret_cast<PVOID*>(&engine));
        unknown->Release();
        status = Hal.AddStreamEngine(engine);
        engine->Release();
        return status;
    }

    NTSTATUS Init() { return m_Hal->Init(nullptr, kDevice, kLower, kPhysical); }

    void DestroyHal() {
        if (m_Hal != nullptr) {
            EXPECT_EQ(m_Hal->Release(), 0u);
        }
        m_Hal = nullptr;
    }

    // The events with the given prefixes, in order.
    Log Events(std::initializer_list<const char*> Prefixes) const {
        Log picked;
        for (const std::string& event : m_Events) {
            for (const char* prefix : Prefixes) {
                if (event.rfind(std::string(prefix) + " ", 0) == 0 || event == prefix) picked.push_back(event);
            }
        }
        return picked;
    }

    Log m_Events;
    TestHal* m_Hal = nullptr;
};

TEST_F(AudioHalTest, InitKeepsTheDevicesCreatesNamedCallbackThenIdentifiesAndApplies) {
    CreateHal({{.id = 1, .kind = Kind(NodeKind::Mute), .sources = {}}, {.id = 2, .kind = 6, .sources = {1}}}, 2);
    ASSERT_EQ(Init(), STATUS_SUCCESS);

    EXPECT_EQ(m_Events, (Log{"identify", "apply 1", "apply 2"}));
    EXPECT_EQ(m_Hal->GetNodeCount(), 2u);
    EXPECT_EQ(m_Hal->GetStreamEngineCount(), 2u);
    EXPECT_EQ(m_Hal->GetDeviceObject(), kDevice);
    EXPECT_EQ(m_Hal->PowerState(), static_cast<ULONG>(PowerDeviceD0));
    // Two non-paged lists; the name buffer is gone again.
    EXPECT_EQ(sim::pool::TagUsage(AudioHalListTag).blocks, 2u);
    EXPECT_EQ(sim::pool::TagUsage(AudioHalNameTag).blocks, 0u);

    // The callback object is the one named after the HAL's address.
    char name[64];
    std::snprintf(name, sizeof(name), "\\Callback\\AudioHalAddr%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(static_cast<AudioHal*>(m_Hal))));
    std::u16string wide(name, name + std::char_traits<char>::length(name));
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, wide.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(ExCreateCallback(&opened, &attributes, FALSE, TRUE), STATUS_SUCCESS) << name;
    EXPECT_EQ(opened, m_Hal->CallbackObject());
    ObDereferenceObject(opened);

    EXPECT_EQ(Init(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(m_Hal->GetNodeCount(), 2u);

    // Created permanent, the object and its name go with the HAL.
    DestroyHal();
    EXPECT_EQ(ExCreateCallback(&opened, &attributes, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND) << name;
}

TEST_F(AudioHalTest, FailedInitReleasesEveryEntryAndBothListsOnce) {
    struct Case {
        const char* what;
        std::vector<NodeSetup> nodes;
        NTSTATUS identify;
        NTSTATUS expected;
        Log applied;
    };
    const Case cases[] = {
        {"identify fails", {{.id = 1, .kind = 2, .sources = {}}}, STATUS_DEVICE_NOT_CONNECTED,
         STATUS_DEVICE_NOT_CONNECTED, {}},
        {"second value fails, third never written",
         {{.id = 1, .kind = 2, .sources = {}},
          {.id = 2, .kind = 3, .sources = {}, .apply = STATUS_IO_TIMEOUT},
          {.id = 3, .kind = 3, .sources = {}}},
         STATUS_SUCCESS, STATUS_IO_TIMEOUT, {"apply 1", "apply 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Events.clear();
        CreateHal(c.nodes, 1, c.identify);
        EXPECT_EQ(Init(), c.expected);
        EXPECT_EQ(Events({"apply"}), c.applied);
        // Every node and the engine went with the lists.
        EXPECT_EQ(Events({"destroy"}).size(), c.nodes.size() + 1);
        EXPECT_EQ(sim::pool::TagUsage(AudioHalListTag).blocks, 0u);
        EXPECT_EQ(m_Hal->GetNodeCount(), 0u);
        AudioNode* node = reinterpret_cast<AudioNode*>(0x1);
        EXPECT_EQ(m_Hal->GetNode(0, &node), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(node, nullptr);
        // The callback object stays until the destructor.
        EXPECT_NE(m_Hal->CallbackObject(), nullptr);
        DestroyHal();
    }
}

TEST_F(AudioHalTest, TheBaseIdentifiesNothingSoItsInitFails) {
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(NewKernelObject<AudioHal>(&unknown, nullptr, NonPagedPoolNx, kFakeTag), STATUS_SUCCESS);
    AdapterCommon* hal = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&hal)), STATUS_SUCCESS);
    EXPECT_EQ(hal->Init(nullptr, kDevice, kLower, kPhysical), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(sim::pool::TagUsage(AudioHalListTag).blocks, 0u);
    hal->Release();
    EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(AudioHalTest, EveryAllocationFailureFailsInitCleanly) {
    // A selector bound to a two-control chain: lists, callback name, walk buffer, sources,
    // listener registrations.
    const std::vector<NodeSetup> nodes = {
        {.id = 12, .kind = 0, .sources = {}},
        {.id = 11, .kind = 3, .sources = {12}, .roles = Listener},
        {.id = 10, .kind = 2, .sources = {11}, .roles = Listener},
        {.id = 5, .kind = Kind(NodeKind::Selector), .sources = {10, 12}, .roles = Chooser},
    };
    const uint64_t allocations = kvtest::ExpectCleanAllocationFailures([&] {
        m_Events.clear();
        CreateHal(nodes, 1);
        if (m_Hal == nullptr) return false;
        const bool initialised = NT_SUCCESS(Init());
        DestroyHal();
        return initialised;
    });
    EXPECT_GT(allocations, 8u);
}

TEST_F(AudioHalTest, LookupsAnswerEntriesWithoutReferenceAndRefuseBadIndexes) {
    CreateHal({});
    // Before Init there are no lists.
    StreamEngine* engine = reinterpret_cast<StreamEngine*>(0x1);
    EXPECT_EQ(m_Hal->GetStreamEngine(0, &engine), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(m_Hal->GetStreamEngineCount(), 0u);
    AudioNode* found = reinterpret_cast<AudioNode*>(0x1);
    EXPECT_EQ(m_Hal->FindNode(1, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    DestroyHal();

    CreateHal({{.id = 7, .kind = 2, .sources = {}},
               {.id = 8, .kind = 3, .sources = {}},
               {.id = 7, .kind = 22, .sources = {}}},
              2);
    ASSERT_EQ(Init(), STATUS_SUCCESS);
    struct Case {
        ULONG index;
        NTSTATUS status;
        ULONG kind;  // of the node answered
    };
    for (const Case c : {Case{0, STATUS_SUCCESS, 2}, Case{2, STATUS_SUCCESS, 22}, Case{3, STATUS_INVALID_PARAMETER, 0},
                         Case{0xFFFFFFFF, STATUS_INVALID_PARAMETER, 0}}) {
        SCOPED_TRACE(c.index);
        AudioNode* node = reinterpret_cast<AudioNode*>(0x1);
        EXPECT_EQ(m_Hal->GetNode(c.index, &node), c.status);
        EXPECT_EQ(node == nullptr, c.status != STATUS_SUCCESS);
        if (node != nullptr) {
            EXPECT_EQ(node->GetNodeKind(), c.kind);
        }
    }
    EXPECT_EQ(m_Hal->GetNode(0, nullptr), STATUS_INVALID_PARAMETER);
    engine = nullptr;
    EXPECT_EQ(m_Hal->GetStreamEngine(1, &engine), STATUS_SUCCESS);
    EXPECT_NE(engine, nullptr);
    // No reference came with it: the list's is the only one besides this pair.
    engine->AddRef();
    EXPECT_EQ(engine->Release(), 1u);
    EXPECT_EQ(m_Hal->GetStreamEngine(2, &engine), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine, nullptr);

    // Two nodes share id 7: the later one answers.
    ASSERT_EQ(m_Hal->FindNode(7, &found), STATUS_SUCCESS);
    EXPECT_EQ(found->GetNodeKind(), 22u);
    EXPECT_EQ(m_Hal->FindNode(9, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(m_Hal->FindNode(7, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(AudioHalTest, AddingTakesOneReferenceAndGivesItBackWhenTheListNodeCannotBeHad) {
    std::vector<NTSTATUS> statuses;
    std::vector<ULONG> references;  // on the node after each add
    m_Hal = CreateTestHal([&](TestHal& hal) {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(NewKernelObject<FakeNode>(&unknown, nullptr, NonPagedPoolNx, kFakeTag,
                                            NodeSetup{.id = 3, .kind = 2, .sources = {}}, &m_Events),
                  STATUS_SUCCESS);
        AudioNode* node = nullptr;
        unknown->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node));
        unknown->Release();
        auto count = [node] {
            node->AddRef();
            return node->Release();
        };

        statuses.push_back(hal.AddNode(nullptr));
        statuses.push_back(hal.AddStreamEngine(nullptr));
        sim::pool::FailNthAllocation(1, PointerListTag);
        statuses.push_back(hal.AddNode(node));
        sim::pool::DisarmFaults();
        references.push_back(count());
        statuses.push_back(hal.AddNode(node));
        references.push_back(count());
        node->Release();
        return STATUS_SUCCESS;
    });
    // Before Init there is no list to add to.
    EXPECT_EQ(m_Hal->AddNode(reinterpret_cast<AudioNode*>(0x8)), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Init(), STATUS_SUCCESS);
    EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                                               STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));
    EXPECT_EQ(references, (std::vector<ULONG>{1, 2}));  // the test's; then the test's and the list's
    EXPECT_EQ(m_Hal->GetNodeCount(), 1u);
    DestroyHal();
    EXPECT_EQ(Events({"destroy"}), (Log{"destroy 3"}));
}

// Selector binding: which controls each selector input reaches and in which order they register.
TEST_F(AudioHalTest, SelectorsRegisterTheSingleSourceChainBehindEachInputFarthestFirst) {
    const ULONG selector = Kind(NodeKind::Selector);
    auto tenSources = [selector] {
        std::vector<NodeSetup> nodes;
        std::vector<ULONG> ids;
        for (ULONG i = 1; i <= 10; ++i) {
            nodes.push_back({.id = 100 + i, .kind = 3, .sources = {99}, .roles = Listener});
            ids.push_back(100 + i);
        }
        nodes.push_back({.id = 5, .kind = selector, .sources = ids, .roles = Chooser});
        return nodes;
    };
    auto elevenSources = [&] {
        std::vector<NodeSetup> nodes = tenSources();
        nodes.back().sources.push_back(111);
        nodes.push_back({.id = 111, .kind = 3, .sources = {99}, .roles = Listener});
        return nodes;
    };
    std::vector<std::string> tenRegistered;
    for (ULONG i = 1; i <= 10; ++i) {
        tenRegistered.push_back(Event("add", 100 + i));
        tenRegistered.push_back(Event("input", 100 + i, i));
        tenRegistered.push_back(Event("selected", 100 + i, 2));
    }
    auto registered = [](std::initializer_list<std::pair<ULONG, ULONG>> idAndInput) {
        Log log;
        for (auto [id, input] : idAndInput) {
            log.push_back(Event("add", id));
            log.push_back(Event("input", id, input));
            log.push_back(Event("selected", id, 2));
        }
        return log;
    };

    struct Case {
        const char* what;
        std::vector<NodeSetup> nodes;
        Log expected;
    };
    const Case cases[] = {
        {"input -> mute -> volume -> terminal: volume first, same input",
         {{.id = 12, .kind = 0, .sources = {}},
          {.id = 11, .kind = 3, .sources = {12}, .roles = Listener},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener},
          {.id = 5, .kind = selector, .sources = {10}, .roles = Chooser}},
         registered({{11, 1}, {10, 1}})},
        {"each input its own position",
         {{.id = 5, .kind = selector, .sources = {20, 10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {12}, .roles = Listener},
          {.id = 20, .kind = 2, .sources = {12}, .roles = Listener}},
         registered({{20, 1}, {10, 2}})},
        {"a control without the listener interface is walked through, not registered",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener},
          {.id = 11, .kind = 3, .sources = {12}},
          {.id = 12, .kind = 3, .sources = {13}, .roles = Listener}},
         registered({{12, 1}, {10, 1}})},
        {"several sources end the walk before that node",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener},
          {.id = 11, .kind = 3, .sources = {12, 13}, .roles = Listener}},
         registered({{10, 1}})},
        {"a source that is not a node ends the input",
         {{.id = 5, .kind = selector, .sources = {10, 77}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {88}, .roles = Listener}},
         registered({{10, 1}})},
        {"a cycle ends the walk, each node registers once",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener},
          {.id = 11, .kind = 3, .sources = {10}, .roles = Listener}},
         registered({{11, 1}, {10, 1}})},
        {"a node feeding itself",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {10}, .roles = Listener}},
         registered({{10, 1}})},
        {"a loop through the selector itself",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {5}, .roles = Listener}},
         registered({{10, 1}})},
        {"ten sources are bound", tenSources(), tenRegistered},
        {"eleven sources are not", elevenSources(), {}},
        {"a selector kind without the selector interface is skipped",
         {{.id = 5, .kind = selector, .sources = {10}},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener}},
         {}},
        {"a listener under a non-selector kind is not bound",
         {{.id = 5, .kind = Kind(NodeKind::Mixer), .sources = {10}, .roles = Chooser},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener}},
         {}},
        {"a selection that cannot be read is not passed on",
         {{.id = 5, .kind = selector, .sources = {10}, .roles = Chooser, .selected = STATUS_IO_TIMEOUT},
          {.id = 10, .kind = 2, .sources = {11}, .roles = Listener}},
         {"add 10", "input 10 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Events.clear();
        CreateHal(c.nodes);
        ASSERT_EQ(Init(), STATUS_SUCCESS);
        EXPECT_EQ(Events({"add", "input", "selected"}), c.expected);
        DestroyHal();
    }
}

TEST_F(AudioHalTest, ReturningToD0WritesEveryStoredValueOnce) {
    CreateHal({{.id = 1, .kind = 2, .sources = {}}, {.id = 2, .kind = 3, .sources = {}}});
    ASSERT_EQ(Init(), STATUS_SUCCESS);
    struct Step {
        ULONG state;
        ULONG applied;  // nodes written by this step
        ULONG kept;
    };
    const Step steps[] = {
        {PowerDeviceD0, 0, PowerDeviceD0}, {PowerDeviceD3, 0, PowerDeviceD3}, {PowerDeviceD0, 2, PowerDeviceD0},
        {PowerDeviceD0, 0, PowerDeviceD0}, {PowerDeviceD2, 0, PowerDeviceD2}, {7, 0, PowerDeviceD2},
        {0, 0, PowerDeviceD2},             {PowerDeviceD0, 2, PowerDeviceD0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.state);
        m_Events.clear();
        POWER_STATE state;
        state.DeviceState = static_cast<DEVICE_POWER_STATE>(step.state);
        m_Hal->PowerChangeState(state);
        EXPECT_EQ(Events({"apply"}).size(), step.applied);
        EXPECT_EQ(m_Hal->PowerState(), step.kept);
        EXPECT_EQ(m_Hal->QueryPowerChangeState(state), STATUS_SUCCESS);
    }
}

struct Notices {
    int calls = 0;
    PVOID argument1 = nullptr;
};

void CountNotice(PVOID Context, PVOID Argument1, PVOID) {
    auto* notices = static_cast<Notices*>(Context);
    ++notices->calls;
    notices->argument1 = Argument1;
}

TEST_F(AudioHalTest, ChangeCallbacksHearTheCallbackObjectUntilUnregistered) {
    CreateHal({});
    Notices notices;
    PVOID registration = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(m_Hal->RegisterChangeCallback(CountNotice, &notices, &registration), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(registration, nullptr);
    ASSERT_EQ(Init(), STATUS_SUCCESS);

    EXPECT_EQ(m_Hal->RegisterChangeCallback(nullptr, &notices, &registration), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Hal->RegisterChangeCallback(CountNotice, &notices, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(m_Hal->RegisterChangeCallback(CountNotice, &notices, &registration), STATUS_SUCCESS);
    int marker = 0;
    ExNotifyCallback(m_Hal->CallbackObject(), &marker, nullptr);
    EXPECT_EQ(notices.calls, 1);
    EXPECT_EQ(notices.argument1, &marker);
    EXPECT_EQ(m_Hal->UnregisterChangeCallback(registration), STATUS_SUCCESS);
    ExNotifyCallback(m_Hal->CallbackObject(), &marker, nullptr);
    EXPECT_EQ(notices.calls, 1);
    EXPECT_EQ(m_Hal->UnregisterChangeCallback(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(AudioHalTest, BaseAnswersStartStopCapabilitiesAndOwnEndpointRecord) {
    CreateHal({{.id = 1, .kind = 2, .sources = {}}, {.id = 2, .kind = 3, .sources = {}}});
    ASSERT_EQ(Init(), STATUS_SUCCESS);
    EXPECT_EQ(m_Hal->Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_Hal->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Events({"start", "stop"}), (Log{"start 1", "start 2", "stop 1", "stop 2"}));

    DEVICE_CAPABILITIES capabilities{};
    EXPECT_EQ(m_Hal->QueryDeviceCapabilities(&capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(m_Hal->QueryDeviceCapabilities(nullptr), STATUS_INVALID_PARAMETER);

    KSCOMPONENTID component{};
    EXPECT_EQ(m_Hal->GetComponentId(&component), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(m_Hal->WaitIdle(), STATUS_SUCCESS);

    const EndpointInfo own{.Capabilities = 0x11, .Reserved1 = {}, .Value = 0x0102030405060708ull,
                           .Flags = EndpointFlagAsio, .Reserved2 = 0};
    m_Hal->SetOwnEndpointInfo(own);
    EndpointInfo info{};
    ASSERT_EQ(m_Hal->GetEndpointInfo(5, &info), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&info, &own, sizeof(info)), 0);
    info = {};
    ASSERT_EQ(m_Hal->GetEndpointCaps(1, 18, &info), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&info, &own, sizeof(info)), 0);
    EXPECT_EQ(m_Hal->GetEndpointInfo(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Hal->GetEndpointCaps(0, 0, nullptr), STATUS_INVALID_PARAMETER);

    // AdapterCommon and the power interface lead to the same object.
    IAdapterPowerManagement* power = nullptr;
    ASSERT_EQ(m_Hal->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
    EXPECT_EQ(power, static_cast<IAdapterPowerManagement*>(m_Hal));
    power->Release();
    PVOID other = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(m_Hal->QueryInterface(IID_AudioNode, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
}

}  // namespace
