// The engine's wave subdevice against the simulated port-class library: "<name>Wave" and its
// physical connection follow the jack on every install, removal takes both away, failures keep no
// port, and a removal whose connection is already gone still drops the subdevice's port.
#include "engine/stream_engine_fakes.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/front/SubdeviceInfo.h"

#include <gtest/gtest.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/portcls.h>
#include <win/portcls.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace engine_test;

namespace {

std::atomic<int> g_Live{0};

// A COM-style object of the test: reference counted, counted while alive.
template <class... Interfaces>
class TestObject : public Interfaces... {
public:
    TestObject() { ++g_Live; }
    virtual ~TestObject() { --g_Live; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_Refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_Refs{1};
};

PCFILTER_DESCRIPTOR g_Description{};

// The topology miniport: maps the control ids of streaming terminals to its pins.
class FakeTopology final : public TestObject<IMiniportTopology, SubdeviceInfo> {
public:
    std::map<ULONG, ULONG> pins;

    STDMETHODIMP QueryInterface(REFIID Id, PVOID* Out) override {
        if (IsEqualGUID(Id, IID_IUnknown) || IsEqualGUID(Id, IID_IMiniport) || IsEqualGUID(Id, IID_IMiniportTopology)) {
            *Out = static_cast<IMiniportTopology*>(this);
        } else if (IsEqualGUID(Id, IID_SubdeviceInfo)) {
            *Out = static_cast<SubdeviceInfo*>(this);
        } else {
            *Out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override {
        *Description = &g_Description;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }
    STDMETHODIMP MapNodeToPin(PULONG Value) override {
        auto found = pins.find(*Value);
        *Value = 0;
        if (found == pins.end()) return STATUS_UNSUCCESSFUL;
        *Value = found->second;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetName(PWSTR* Name) override {
        *Name = const_cast<PWSTR>(u"GlobalTopo");
        return STATUS_SUCCESS;
    }
};

// The wave miniport as the port sees it: named after its engine, its terminal the engine's
// streaming connector (type "Stream"). It holds the adapter as real miniports do, but not its
// port: the port-class library breaks that cycle only when a registered subdevice goes.
class FakeWave final : public TestObject<IMiniportWaveCyclic, SubdeviceInfo> {
public:
    explicit FakeWave(ULONG Index) : m_Index(Index) {}
    ~FakeWave() override {
        if (m_Adapter != nullptr) m_Adapter->Release();
    }

    STDMETHODIMP QueryInterface(REFIID Id, PVOID* Out) override {
        if (IsEqualGUID(Id, IID_IUnknown) || IsEqualGUID(Id, IID_IMiniport) ||
            IsEqualGUID(Id, IID_IMiniportWaveCyclic)) {
            *Out = static_cast<IMiniportWaveCyclic*>(this);
        } else if (IsEqualGUID(Id, IID_SubdeviceInfo)) {
            *Out = static_cast<SubdeviceInfo*>(this);
        } else {
            *Out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override {
        *Description = &g_Description;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN Adapter, PRESOURCELIST, PPORTWAVECYCLIC) override {
        if (!NT_SUCCESS(Adapter->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&m_Adapter)))) {
            return STATUS_UNSUCCESSFUL;
        }
        StreamEngine* engine = nullptr;
        NTSTATUS status = m_Adapter->GetStreamEngine(m_Index, &engine);
        if (!NT_SUCCESS(status)) return status;
        WCHAR name[StreamEngineNameChars];
        engine->GetName(name);
        m_Name = std::u16string(name) + u"Wave";
        const bool render = engine->GetDirection() == StreamDirectionRender;
        const ULONG streamKind = NodeKindCode(render ? NodeKind::InputConnector : NodeKind::OutputConnector);
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            engine->GetNode(i, &node);
            TerminalInfo* info = nullptr;
            if (node->GetNodeKind() != streamKind ||
                !NT_SUCCESS(node->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info)))) {
                continue;
            }
            ULONG type = 1;
            info->GetTerminalType(&type);
            info->Release();
            if (type == 0) m_Terminal = node->GetId();
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                           PDMACHANNEL*, PSERVICEGROUP*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP MapNodeToPin(PULONG Value) override {
        if (m_Terminal.has_value()) *Value = *m_Terminal;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetName(PWSTR* Name) override {
        *Name = m_Name.data();
        return STATUS_SUCCESS;
    }

private:
    ULONG m_Index;
    AdapterCommon* m_Adapter = nullptr;
    std::u16string m_Name;
    std::optional<ULONG> m_Terminal;
};

NTSTATUS g_CreatorStatus = STATUS_SUCCESS;
std::vector<ULONG> g_CreatedFor;  // engine index of every miniport made

NTSTATUS CreateFakeWave(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN Outer, POOL_TYPE, ULONG EngineIndex) {
    EXPECT_TRUE(IsEqualGUID(ClassId, CLSID_PortWaveCyclic));
    EXPECT_EQ(Outer, nullptr);
    *Unknown = nullptr;
    if (!NT_SUCCESS(g_CreatorStatus)) return g_CreatorStatus;
    g_CreatedFor.push_back(EngineIndex);
    *Unknown = static_cast<IMiniportWaveCyclic*>(new FakeWave(EngineIndex));
    return STATUS_SUCCESS;
}

// A HAL whose engine list the test gives.
class TestHal : public AudioHal {
public:
    TestHal(PUNKNOWN UnknownOuter, std::vector<StreamEngine*> Engines)
        : AudioHal(UnknownOuter), m_Engines(std::move(Engines)) {}
    STDMETHODIMP Identify() override {
        for (StreamEngine* engine : m_Engines) {
            NTSTATUS status = AddStreamEngine(engine);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

private:
    std::vector<StreamEngine*> m_Engines;
};

NTSTATUS StartAdapter(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddAdapter(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    return PcAddAdapterDevice(Driver, Pdo, StartAdapter, 8, 0);
}
NTSTATUS AdapterDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    return PcInitializeAdapterDriver(Driver, RegistryPath, AddAdapter);
}

constexpr ULONG kRenderTerminal = 7;   // topology pin 3
constexpr ULONG kCaptureTerminal = 9;  // topology pin 5

using Connection = std::tuple<std::u16string, ULONG, std::u16string, ULONG>;

// A port-class device with the topology subdevice "GlobalTopo", a render engine HPOut00 and a
// capture engine MicIn00, each with a jack connector the test plugs and unplugs.
class WaveSubdeviceTest : public testing::TestWithParam<ULONG> {
protected:
    void SetUp() override {
        g_CreatorStatus = STATUS_SUCCESS;
        g_CreatedFor.clear();
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(AdapterDriverEntry, u"KvEngineTest", &m_Driver), STATUS_SUCCESS);
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_1E7D&PID_3750";
        m_Node = sim::pnp::CreateDevice(description);
        ASSERT_EQ(sim::pnp::AddDevice(m_Driver, m_Node), STATUS_SUCCESS);
        m_Fdo = IoGetAttachedDevice(sim::pnp::PhysicalDeviceObject(m_Node));

        m_Topology = new FakeTopology();
        m_Topology->pins = {{kRenderTerminal, 3}, {kCaptureTerminal, 5}};
        ASSERT_EQ(PcNewPort(&m_TopologyPort, CLSID_PortTopology), STATUS_SUCCESS);
        ASSERT_EQ(m_TopologyPort->Init(m_Fdo, nullptr, static_cast<IMiniportTopology*>(m_Topology), nullptr, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterSubdevice(m_Fdo, const_cast<PWSTR>(u"GlobalTopo"), m_TopologyPort), STATUS_SUCCESS);

        SetUpEngine(m_Render, m_RenderJack, u"HPOut00", NodeKind::OutputConnector, 2, kRenderTerminal);
        SetUpEngine(m_Capture, m_CaptureJack, u"MicIn00", NodeKind::InputConnector, 7, kCaptureTerminal);

        PUNKNOWN hal = nullptr;
        ASSERT_EQ(NewKernelObject<TestHal>(&hal, nullptr, NonPagedPoolNx, kTestTag,
                                           std::vector<StreamEngine*>{m_Render.Get(), m_Capture.Get()}),
                  STATUS_SUCCESS);
        m_Hal = hal;
        AdapterCommon* common = nullptr;
        ASSERT_EQ(m_Hal->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common)), STATUS_SUCCESS);
        EXPECT_EQ(common->Init(nullptr, m_Fdo, nullptr, nullptr), STATUS_SUCCESS);
        common->Release();
    }
    void TearDown() override {
        m_Render->RemoveMiniport(m_Fdo);
        m_Capture->RemoveMiniport(m_Fdo);
        if (m_Hal != nullptr) m_Hal->Release();
        m_Render.Reset();
        m_Capture.Reset();
        if (m_TopologyPort != nullptr) m_TopologyPort->Release();
        if (m_Topology != nullptr) m_Topology->Release();
        EXPECT_EQ(sim::pnp::RemoveDevice(m_Node), STATUS_SUCCESS);
        sim::pnp::DeleteDevice(m_Node);
        sim::pnp::UnloadDriver(m_Driver);  // checks that nothing of the driver's is left
        EXPECT_EQ(g_Live.load(), 0);
    }

    void SetUpEngine(EngineRef& Engine, FakeConnector*& Jack, const char16_t* Name, NodeKind JackKind, ULONG JackType,
                     ULONG Terminal) {
        Jack = NewNode<FakeConnector>(
            ConnectorSetup{.id = Terminal - 5, .kind = NodeKindCode(JackKind), .type = JackType, .connected = {1}});
        const NodeKind streamKind =
            JackKind == NodeKind::OutputConnector ? NodeKind::InputConnector : NodeKind::OutputConnector;
        AudioNode* stream =
            NewNode<FakeConnector>(ConnectorSetup{.id = Terminal, .kind = NodeKindCode(streamKind), .type = 0});
        ASSERT_EQ(Engine->AddPathNode(stream), STATUS_SUCCESS);
        ASSERT_EQ(Engine->AddPathNode(Jack), STATUS_SUCCESS);
        stream->Release();
        Jack->Release();  // the path holds it
        ASSERT_EQ(Engine->SetName(Name), STATUS_SUCCESS);
        ASSERT_EQ(Engine->SetMiniportCreator(CreateFakeWave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        ASSERT_EQ(Engine->SetTopologyPort(m_TopologyPort, static_cast<IMiniportTopology*>(m_Topology)), STATUS_SUCCESS);
    }

    bool Render() const { return GetParam() == StreamDirectionRender; }
    EngineRef& Engine() { return Render() ? m_Render : m_Capture; }
    FakeConnector* Jack() { return Render() ? m_RenderJack : m_CaptureJack; }
    std::u16string WaveName() const { return Render() ? u"HPOut00Wave" : u"MicIn00Wave"; }
    NTSTATUS Install() { return Engine()->InstallMiniport(m_Fdo, nullptr, m_Hal); }

    std::vector<std::u16string> SubdeviceNames() const {
        std::vector<std::u16string> names;
        for (const auto& subdevice : sim::portcls::Subdevices(m_Fdo)) names.push_back(subdevice.name);
        return names;
    }
    std::vector<Connection> Connections() const {
        std::vector<Connection> connections;
        for (const auto& c : sim::portcls::Connections(m_Fdo)) {
            connections.emplace_back(c.from, c.fromPin, c.to, c.toPin);
        }
        return connections;
    }
    // What an installed subdevice looks like: the wave filter's bridge pin 1 connected to the
    // topology pin of the engine's streaming terminal, in the direction the data flows.
    void ExpectInstalled(bool Installed) {
        if (!Installed) {
            EXPECT_EQ(SubdeviceNames(), std::vector<std::u16string>{u"GlobalTopo"});
            EXPECT_EQ(Connections(), std::vector<Connection>{});
            EXPECT_FALSE(Engine()->HasWavePort());
            return;
        }
        EXPECT_EQ(SubdeviceNames(), (std::vector<std::u16string>{u"GlobalTopo", WaveName()}));
        const Connection expected = Render() ? Connection{WaveName(), 1, u"GlobalTopo", 3}
                                             : Connection{u"GlobalTopo", 5, WaveName(), 1};
        EXPECT_EQ(Connections(), std::vector<Connection>{expected});
        EXPECT_TRUE(Engine()->HasWavePort());
    }

    sim::pnp::Driver* m_Driver = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    PDEVICE_OBJECT m_Fdo = nullptr;
    FakeTopology* m_Topology = nullptr;
    PPORT m_TopologyPort = nullptr;
    EngineRef m_Render{StreamDirectionRender, 3};
    EngineRef m_Capture{StreamDirectionCapture, 4};
    FakeConnector* m_RenderJack = nullptr;
    FakeConnector* m_CaptureJack = nullptr;
    PUNKNOWN m_Hal = nullptr;
};

TEST_P(WaveSubdeviceTest, InstallAndRemoveFollowTheJack) {
    enum class Op { Install, Remove };
    struct Case {
        const char* name;
        bool installedBefore;
        bool plugged;
        Op op;
        bool installedAfter;
    } cases[] = {
        {"plugged, not installed: install", false, true, Op::Install, true},
        {"plugged, installed: nothing", true, true, Op::Install, true},
        {"unplugged, installed: removed", true, false, Op::Install, false},
        {"unplugged, not installed: nothing", false, false, Op::Install, false},
        {"removal of a plugged jack", true, true, Op::Remove, false},
        {"removal of an unplugged jack", true, false, Op::Remove, false},
        {"removal of nothing", false, true, Op::Remove, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Jack()->SetConnected({1});
        if (c.installedBefore) {
            ASSERT_EQ(Install(), STATUS_SUCCESS);
        }
        const size_t made = g_CreatedFor.size();
        Jack()->SetConnected({c.plugged ? 1u : 0u});
        EXPECT_EQ(c.op == Op::Install ? Install() : Engine()->RemoveMiniport(m_Fdo), STATUS_SUCCESS);
        ExpectInstalled(c.installedAfter);
        // A miniport is made only for a new subdevice, for the engine's place in the HAL's list.
        const bool madeOne = c.installedAfter && !c.installedBefore;
        ASSERT_EQ(g_CreatedFor.size(), made + (madeOne ? 1 : 0));
        if (madeOne) {
            EXPECT_EQ(g_CreatedFor.back(), Render() ? 0u : 1u);
        }
        ASSERT_EQ(Engine()->RemoveMiniport(m_Fdo), STATUS_SUCCESS);
        ExpectInstalled(false);
    }
}

TEST_P(WaveSubdeviceTest, JackRecordsDecidePresence) {
    struct Case {
        const char* name;
        std::vector<ULONG> connected;
        bool present;
    } cases[] = {
        {"no jack records", {}, true},
        {"no jack connected", {0, 0}, false},
        {"second jack connected", {0, 1}, true},
        {"only the low byte counts", {0x100}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Jack()->SetConnected(c.connected);
        EXPECT_EQ(Install(), STATUS_SUCCESS);
        ExpectInstalled(c.present);
        EXPECT_EQ(Engine()->RemoveMiniport(m_Fdo), STATUS_SUCCESS);
    }
}

TEST_P(WaveSubdeviceTest, FailedInstallsKeepNoPort) {
    PPORT unregisteredTopology = nullptr;
    ASSERT_EQ(PcNewPort(&unregisteredTopology, CLSID_PortTopology), STATUS_SUCCESS);
    PPORT squatter = nullptr;
    ASSERT_EQ(PcNewPort(&squatter, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    struct Case {
        const char* name;
        std::function<void()> arrange;
        NTSTATUS expected;
        std::function<void()> undo;
    } cases[] = {
        {"the creator fails", [] { g_CreatorStatus = STATUS_INSUFFICIENT_RESOURCES; },
         STATUS_INSUFFICIENT_RESOURCES, [] { g_CreatorStatus = STATUS_SUCCESS; }},
        {"the topology has no pin for the terminal", [&] { m_Topology->pins.clear(); }, STATUS_UNSUCCESSFUL,
         [&] { m_Topology->pins = {{kRenderTerminal, 3}, {kCaptureTerminal, 5}}; }},
        {"the name is taken",
         [&] { ASSERT_EQ(PcRegisterSubdevice(m_Fdo, WaveName().data(), squatter), STATUS_SUCCESS); },
         STATUS_OBJECT_NAME_COLLISION,
         [&] {
             PUNREGISTERSUBDEVICE unregister = nullptr;
             squatter->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
             EXPECT_EQ(unregister->UnregisterSubdevice(m_Fdo, squatter), STATUS_SUCCESS);
             unregister->Release();
         }},
        // The connection needs both filters registered: the wave subdevice is taken back.
        {"the connection is refused",
         [&] {
             Engine()->SetTopologyPort(unregisteredTopology, static_cast<IMiniportTopology*>(m_Topology));
         },
         STATUS_INVALID_PARAMETER,
         [&] { Engine()->SetTopologyPort(m_TopologyPort, static_cast<IMiniportTopology*>(m_Topology)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const auto before = SubdeviceNames();
        const int live = g_Live.load();
        EXPECT_EQ(Install(), c.expected);
        EXPECT_EQ(SubdeviceNames(), before);
        EXPECT_EQ(Connections(), std::vector<Connection>{});
        EXPECT_FALSE(Engine()->HasWavePort());
        EXPECT_EQ(g_Live.load(), live);  // the miniport went with its port
        c.undo();
        EXPECT_EQ(Install(), STATUS_SUCCESS);
        ExpectInstalled(true);
        EXPECT_EQ(Engine()->RemoveMiniport(m_Fdo), STATUS_SUCCESS);
    }
    squatter->Release();
    unregisteredTopology->Release();

    // Without a creator, or for an engine the HAL does not list, nothing is tried.
    EngineRef stranger(GetParam(), 9);
    stranger->AddPathNode(Jack());
    EXPECT_EQ(stranger->InstallMiniport(m_Fdo, nullptr, m_Hal), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stranger->SetMiniportCreator(nullptr, CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(stranger->SetTopologyPort(m_TopologyPort, nullptr), STATUS_NO_SUCH_DEVICE);
    stranger->SetMiniportCreator(CreateFakeWave, CLSID_PortWaveCyclic);
    stranger->SetTopologyPort(m_TopologyPort, static_cast<IMiniportTopology*>(m_Topology));
    EXPECT_EQ(stranger->InstallMiniport(m_Fdo, nullptr, m_Hal), STATUS_UNSUCCESSFUL);
    ExpectInstalled(false);
}

// The connection went missing behind the engine's back: removal reports that, but the subdevice
// is gone and so is the port, and the next install starts afresh.
TEST_P(WaveSubdeviceTest, RemovalWithoutItsConnectionStillDropsThePort) {
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    PUNREGISTERPHYSICALCONNECTION connection = nullptr;
    ASSERT_EQ(Engine()->WavePort()->QueryInterface(IID_IUnregisterPhysicalConnection,
                                                   reinterpret_cast<PVOID*>(&connection)),
              STATUS_SUCCESS);
    PUNKNOWN wave = Engine()->WavePort();
    const NTSTATUS taken = Render() ? connection->UnregisterPhysicalConnection(m_Fdo, wave, 1, m_TopologyPort, 3)
                                    : connection->UnregisterPhysicalConnection(m_Fdo, m_TopologyPort, 5, wave, 1);
    connection->Release();
    ASSERT_EQ(taken, STATUS_SUCCESS);

    EXPECT_EQ(Engine()->RemoveMiniport(m_Fdo), STATUS_NOT_FOUND);
    ExpectInstalled(false);
    EXPECT_EQ(Engine()->RemoveMiniport(m_Fdo), STATUS_SUCCESS);
    EXPECT_EQ(Install(), STATUS_SUCCESS);
    ExpectInstalled(true);
}

// Unreadable jack records leave the subdevice as it is rather than tear it down.
TEST_P(WaveSubdeviceTest, UnreadableJackRecordsChangeNothing) {
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    Jack()->SetConnected({0});
    sim::pool::FailNthAllocation(1, StreamEngineTag);
    EXPECT_EQ(Install(), STATUS_INSUFFICIENT_RESOURCES);
    ExpectInstalled(true);
    EXPECT_EQ(Install(), STATUS_SUCCESS);
    ExpectInstalled(false);
}

INSTANTIATE_TEST_SUITE_P(Directions, WaveSubdeviceTest, testing::Values(StreamDirectionRender, StreamDirectionCapture),
                         [](const auto& info) { return info.param == StreamDirectionRender ? "Render" : "Capture"; });

}  // namespace
