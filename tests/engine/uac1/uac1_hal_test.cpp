// The UAC 1.0 HAL on the simulated machine: the adapter aggregates a Uac1AudioHal whose descriptor
// walkers are replaced by fakes (units that count their status handling and refreshes, engines that
// count their wave-subdevice installs), and the simulated device posts status words on its
// AudioControl interrupt endpoint.
#include "engine/adapter_machine.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "engine/stream_engine_fakes.h"

#include <sim/machine.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;
using sim::machine::kMillisecond;

constexpr ULONG kTag = 'tH1U';
constexpr uint8_t kStatusEndpoint = 0x83;  // the catalog device's 2-byte interrupt IN endpoint

// What the fakes saw, by unit or control id.
struct Seen {
    std::map<ULONG, std::atomic<int>> statusCalls;  // HandleStatusInterrupt per unit
    std::map<ULONG, std::atomic<int>> refreshes;    // RefreshValues per control
    std::atomic<int> installs{0};                   // InstallMiniport over all engines
    // A refresh that holds UsbTransport, as a control's device request does, until released.
    std::atomic<bool> holdTransport{false};
    std::atomic<bool> holding{false};
    KEVENT release{};
};
Seen* g_Seen = nullptr;
std::atomic<int> g_HalsDestroyed{0};
AdapterCommon* g_HalCommon = nullptr;  // the HAL under test, for the fakes

class FakeControl : public AudioNode {
public:
    FakeControl(PUNKNOWN UnknownOuter, ULONG Id) : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::Volume)) {}
    NTSTATUS RefreshValues() override {
        ++g_Seen->refreshes.at(m_Id);
        if (g_Seen->holdTransport.exchange(false)) {
            UsbTransport* transport = nullptr;
            if (NT_SUCCESS(g_HalCommon->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport)))) {
                g_Seen->holding = true;
                KeWaitForSingleObject(&g_Seen->release, Executive, KernelMode, FALSE, nullptr);
                transport->Release();
            }
        }
        return STATUS_SUCCESS;
    }
};

class FakeUnit : public UnitNode {
public:
    FakeUnit(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}
    NTSTATUS HandleStatusInterrupt(ULONG, ULONG, PULONG ControlId) override {
        ++g_Seen->statusCalls.at(m_Id);
        if (ControlId != nullptr) *ControlId = 0;
        return STATUS_SUCCESS;
    }
    void SetKind(ULONG Kind) { m_Kind = Kind; }
};

// An engine whose endpoint type and wave-subdevice removal the test sets.
class FakeEngine : public StreamEngine {
public:
    FakeEngine(PUNKNOWN UnknownOuter, ULONG Index) : StreamEngine(UnknownOuter, Index) {}
    NTSTATUS InstallMiniport(PDEVICE_OBJECT, PIRP, PUNKNOWN) override {
        ++g_Seen->installs;
        return STATUS_SUCCESS;
    }
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT) override {
        ++removes;
        return removeStatus;
    }
    ULONG GetEndpointType() override { return endpointType; }

    ULONG endpointType = 0;
    NTSTATUS removeStatus = STATUS_SUCCESS;
    int removes = 0;
};

struct UnitSetup {
    ULONG id;
    ULONG kind;  // descriptor subtype
    std::vector<ULONG> controls;
};
// An output terminal, a feature unit with two controls and a selector used as a sentinel.
const std::vector<UnitSetup> kUnits = {
    {3, Uac1OutputTerminalSubtype, {20}},
    {5, 6, {10, 11}},
    {9, 5, {12}},
};
constexpr ULONG kEngines = 2;
ULONG g_Engines = kEngines;  // engines the next HAL builds: render first, then capture

// The HAL with its walkers replaced by the fakes above.
class TestUac1Hal : public Uac1AudioHal {
public:
    using Uac1AudioHal::Uac1AudioHal;
    ~TestUac1Hal() override { ++g_HalsDestroyed; }

    NTSTATUS BuildTopology(PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        for (const UnitSetup& setup : kUnits) {
            auto* unit = new (NonPagedPoolNx, kTag) FakeUnit(nullptr, setup.id);
            if (unit == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            unit->NonDelegatingAddRef();
            const UCHAR descriptor[] = {4, 0x24, static_cast<UCHAR>(setup.kind), static_cast<UCHAR>(setup.id)};
            NTSTATUS status = unit->KeepDescriptor(descriptor, static_cast<AdapterCommon*>(this));
            unit->SetKind(setup.kind);
            for (ULONG id : setup.controls) {
                if (!NT_SUCCESS(status)) break;
                auto* control = new (NonPagedPoolNx, kTag) FakeControl(nullptr, id);
                if (control == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                control->NonDelegatingAddRef();
                status = unit->AddControl(control);
                if (NT_SUCCESS(status)) status = AddNode(control);
                control->NonDelegatingRelease();
            }
            if (NT_SUCCESS(status)) status = AddUnit(unit);
            unit->NonDelegatingRelease();
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        for (ULONG i = 0; i < g_Engines; ++i) {
            auto* engine = new (NonPagedPoolNx, kTag) FakeEngine(nullptr, i + 1);
            if (engine == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            engine->NonDelegatingAddRef();
            NTSTATUS status = engine->Init(i == 0 ? StreamDirectionRender : StreamDirectionCapture);
            if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
            engine->NonDelegatingRelease();
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }
};

TestUac1Hal* g_TestHal = nullptr;

NTSTATUS CreateTestHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    NTSTATUS status = NewKernelObject<TestUac1Hal>(Unknown, UnknownOuter, NonPagedPoolNx, kTag, VendorId, ProductId);
    g_TestHal = nullptr;
    if (NT_SUCCESS(status)) {
        AdapterCommon* common = nullptr;
        (*Unknown)->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common));
        g_TestHal = static_cast<TestUac1Hal*>(common);
        g_HalCommon = common;
        UnknownOuter->Release();  // the query's reference went to the adapter
    }
    return status;
}

constexpr AudioHalCreatorTable kTestCreators = {{CreateTestHal, CreateTestHal, CreateTestHal, CreateTestHal,
                                                 CreateTestHal, CreateTestHal}};

class Uac1HalTest : public AdapterMachine {
protected:
    void SetUp() override {
        AdapterMachine::SetUp();
        m_seen = std::make_unique<Seen>();
        // Every id the fakes count, entered before any thread runs.
        for (const UnitSetup& unit : kUnits) {
            m_seen->statusCalls[unit.id];
            for (ULONG control : unit.controls) m_seen->refreshes[control];
        }
        m_seen->statusCalls[99];
        KeInitializeEvent(&m_seen->release, NotificationEvent, FALSE);
        g_Seen = m_seen.get();
        g_TestHal = nullptr;
        g_Engines = kEngines;
        g_HalsDestroyed = 0;
        m_threadsBefore = sim::machine::SystemThreadsRunning();
    }
    void TearDown() override {
        if (m_registration != nullptr) m_common->UnregisterChangeCallback(m_registration);
        m_registration = nullptr;
        AdapterMachine::TearDown();
        EXPECT_EQ(sim::machine::SystemThreadsRunning(), m_threadsBefore);
        g_Seen = nullptr;
        g_TestHal = nullptr;
        g_HalCommon = nullptr;
    }

    // Plugs the catalog device, starts the adapter with the test HAL and records change notices.
    void StartHal(const char* device = "uac1") {
        Plug(device);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_NE(g_TestHal, nullptr);
        ASSERT_EQ(m_common->RegisterChangeCallback(RecordChange, this, &m_registration), STATUS_SUCCESS);
        ASSERT_TRUE(StartAndSettle());
    }
    // Start, then wait until the new status thread has announced every unit once.
    bool StartAndSettle() {
        const int before = StatusCalls(9);
        if (m_common->Start() != STATUS_SUCCESS) return false;
        return sim::machine::RunUntil([&] { return StatusCalls(9) > before; }, 500 * kMillisecond);
    }
    bool ThreadRunning() const { return sim::machine::SystemThreadsRunning() > m_threadsBefore; }
    int StatusCalls(ULONG unit) { return m_seen->statusCalls.at(unit).load(); }
    void Post(uint8_t type, uint8_t originator) {
        const uint8_t word[] = {type, originator};
        Device().Audio()->PostInterrupt(word);
    }
    // Posts a word for the sentinel unit 9 and waits until the thread has handled it, so every word
    // posted before has been handled too.
    bool Drain() {
        const int before = StatusCalls(9);
        Post(0x00, 9);
        return sim::machine::RunUntil([&] { return StatusCalls(9) > before; }, 500 * kMillisecond);
    }

    static void RecordChange(PVOID Context, PVOID Argument1, PVOID) {
        auto* self = static_cast<Uac1HalTest*>(Context);
        std::lock_guard<std::mutex> guard(self->m_changesLock);
        self->m_changes.push_back(static_cast<const ControlChangeRecord*>(Argument1)->ControlId);
    }
    // The notices recorded so far; the status thread records them after it counts the unit's call.
    std::vector<ULONG> Changes() {
        std::lock_guard<std::mutex> guard(m_changesLock);
        return m_changes;
    }

    ScopedCreators m_creators{&kTestCreators};
    std::unique_ptr<Seen> m_seen;
    size_t m_threadsBefore = 0;
    PVOID m_registration = nullptr;
    std::mutex m_changesLock;
    std::vector<ULONG> m_changes;
};

TEST_F(Uac1HalTest, StatusThreadFollowsStartAndStop) {
    StartHal();
    ASSERT_TRUE(g_TestHal->HasStatusThread());
    EXPECT_EQ(sim::machine::ThreadPriority(g_TestHal->StatusThread()), Uac1StatusThreadPriority);
    EXPECT_TRUE(ThreadRunning());
    // Every unit is announced once as the thread starts, and one interrupt request waits.
    ASSERT_TRUE(sim::machine::RunUntil([&] { return sim::usb::HeldRequests(m_port) == 1; }, 100 * kMillisecond));
    for (const UnitSetup& unit : kUnits) EXPECT_EQ(StatusCalls(unit.id), 1) << unit.id;

    // Stop aborts the pending request and returns with the thread gone.
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(g_TestHal->HasStatusThread());
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);  // without a thread: at once

    // Every Start runs a new thread; a second Start keeps the one that runs.
    ASSERT_TRUE(StartAndSettle());
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    EXPECT_EQ(sim::machine::SystemThreadsRunning(), m_threadsBefore + 1);
    EXPECT_TRUE(Drain());
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
}

TEST_F(Uac1HalTest, StatusWordsReachTheirUnit) {
    struct Case {
        uint8_t type, originator;
        int unitCalls;               // HandleStatusInterrupt on the originator
        std::vector<ULONG> changes;  // change notices sent
        int installs;                // InstallMiniport calls
    };
    const Case cases[] = {
        {0x00, 5, 1, {11, 10}, 0},           // feature unit: both controls, in list order
        {0x80, 5, 1, {11, 10}, 0},           // interrupt-pending bit is not examined
        {0x01, 5, 0, {}, 0},                 // AudioStreaming interface: ignored
        {0x02, 5, 0, {}, 0},                 // endpoint: ignored
        {0x00, 3, 1, {}, int(kEngines)},     // terminal: every engine re-installs, no notice
        {0x00, 99, 0, {}, 0},                // no such unit: nothing, the thread goes on
    };
    StartHal();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status word " << int(c.type) << " " << int(c.originator));
        const int calls = StatusCalls(c.originator);
        const int refreshes10 = m_seen->refreshes.at(10).load();
        const int installs = m_seen->installs.load();
        {
            std::lock_guard<std::mutex> guard(m_changesLock);
            m_changes.clear();
        }
        Post(c.type, c.originator);
        ASSERT_TRUE(Drain());
        EXPECT_EQ(StatusCalls(c.originator) - calls, c.unitCalls);
        // The sentinel's own notice comes last.
        ASSERT_TRUE(sim::machine::RunUntil([&] { return Changes().size() > c.changes.size(); }, 500 * kMillisecond));
        std::vector<ULONG> all = Changes();
        std::vector<ULONG> changes(all.begin(), all.end() - 1);
        EXPECT_EQ(changes, c.changes);
        EXPECT_EQ(m_seen->refreshes.at(10).load() - refreshes10, c.changes.empty() ? 0 : 1);
        EXPECT_EQ(m_seen->installs.load() - installs, c.installs);
    }
    EXPECT_TRUE(ThreadRunning());
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

TEST_F(Uac1HalTest, FailedRequestEndsTheThreadUntilTheNextStart) {
    StartHal();
    ASSERT_TRUE(Drain());
    Device().AddPacketFault({.endpoint = kStatusEndpoint, .status = USBD_STATUS_XACT_ERROR, .everyNth = 1, .times = 1});
    ASSERT_TRUE(sim::machine::RunUntil([&] { return !ThreadRunning(); }, 500 * kMillisecond));
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    // Nothing listens any more, and Start leaves the ended thread alone until Stop.
    const int before = StatusCalls(5);
    Post(0x00, 5);
    sim::machine::RunFor(100 * kMillisecond);
    EXPECT_EQ(StatusCalls(5), before);
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());

    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);  // does not wait for a thread that has gone
    ASSERT_TRUE(StartAndSettle());
    EXPECT_TRUE(ThreadRunning());
    ASSERT_TRUE(Drain());
    EXPECT_EQ(StatusCalls(5), before + 2);  // the start-up refresh and the queued word
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

// The adapter dropped without a Stop while the status thread holds a reference of a request: the
// last reference goes with the thread, which ends when its request fails, and the HAL is destroyed
// on that thread without waiting for itself.
TEST_F(Uac1HalTest, AdapterDroppedWhileItsStatusThreadRunsGoesWhenTheThreadEnds) {
    StartHal();
    ASSERT_TRUE(Drain());
    m_seen->holdTransport = true;
    Post(0x00, 5);  // feature unit 5: its first control refresh holds the transport
    ASSERT_TRUE(sim::machine::RunUntil([&] { return m_seen->holding.load(); }, 500 * kMillisecond));

    ASSERT_EQ(m_common->UnregisterChangeCallback(m_registration), STATUS_SUCCESS);
    m_registration = nullptr;
    PADAPTERCOMMON common = m_common;
    m_common = nullptr;
    m_adapter = nullptr;
    EXPECT_GT(common->Release(), 0u);  // the status thread still holds the adapter
    KeSetEvent(&m_seen->release, IO_NO_INCREMENT, FALSE);
    sim::machine::RunFor(50 * kMillisecond);
    EXPECT_EQ(g_HalsDestroyed.load(), 0);
    EXPECT_TRUE(ThreadRunning());
    ASSERT_TRUE(Drain());  // and it still serves status words

    Device().AddPacketFault({.endpoint = kStatusEndpoint, .status = USBD_STATUS_XACT_ERROR, .everyNth = 1, .times = 1});
    ASSERT_TRUE(sim::machine::RunUntil([&] { return g_HalsDestroyed.load() == 1 && !ThreadRunning(); },
                                       500 * kMillisecond));
    g_TestHal = nullptr;
}

TEST_F(Uac1HalTest, PowerDownStopsTheThreadAndPowerUpRestartsIt) {
    StartHal();
    ASSERT_TRUE(Drain());
    IAdapterPowerManagement* power = static_cast<IAdapterPowerManagement*>(g_TestHal);
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD3;
    power->PowerChangeState(state);
    EXPECT_FALSE(ThreadRunning());
    const int installs = m_seen->installs.load();
    const int sentinel = StatusCalls(9);
    state.DeviceState = PowerDeviceD0;
    power->PowerChangeState(state);
    // Power-up re-installs every engine; the restarted thread then announces every unit once, and
    // its terminal re-installs every engine again. The sentinel word is handled after that
    // announcement, so two calls for unit 9 mean both are done.
    EXPECT_TRUE(ThreadRunning());
    Post(0x00, 9);
    ASSERT_TRUE(sim::machine::RunUntil([&] { return StatusCalls(9) >= sentinel + 2; }, 500 * kMillisecond));
    const int expected = 2 * int(kEngines);
    EXPECT_EQ(m_seen->installs.load() - installs, expected);
    power->PowerChangeState(state);  // already in D0: nothing
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(5);
    power->PowerChangeState(state);  // not a device state: nothing
    ASSERT_TRUE(Drain());
    EXPECT_EQ(m_seen->installs.load() - installs, expected);
    EXPECT_TRUE(ThreadRunning());
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

// The catalog's UAC 1.0 descriptors with another identity, a chip identifier and answers to the
// one-byte vendor reads "to other" (bRequest, wValue -> byte).
std::unique_ptr<sim::usb::Device> WithChip(USHORT vendorId, USHORT productId, const char16_t* chip,
                                           std::map<std::pair<uint8_t, uint16_t>, uint8_t> answers) {
    auto device = adapter_test::Uac1WithIdentity(vendorId, productId, 0, 0, {{0x50, 0x0409, chip}});
    device->PushHandlers(sim::usb::HandlerTable{
        .name = "chip registers",
        .control = [answers](sim::usb::Device&, const sim::usb::SetupPacket& s,
                             std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            if (s.bmRequestType != 0xC3) return std::nullopt;
            auto it = answers.find({s.bRequest, s.wValue});
            if (it == answers.end() || data.empty()) return sim::usb::ControlResult::Stall();
            data[0] = it->second;
            return sim::usb::ControlResult::Ok(1);
        },
    });
    return device;
}

// The capability record by chip identifier, and what each endpoint reports from it.
TEST_F(Uac1HalTest, CapabilitiesFollowTheChipIdentifier) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<sim::usb::Device>()> device;
        NTSTATUS start;
        ULONG capabilities;
        ULONG flags;
    };
    auto catalog = [](const char* name) { return [name] { return sim::usb::CreateCatalogDevice(name); }; };
    auto r7u7 = [](USHORT vendorId, USHORT productId, uint8_t variant) {
        return [=] { return WithChip(vendorId, productId, u"R7U7", {{{0x02, 0x0051}, variant}}); };
    };
    auto klq864 = [](uint8_t routing, uint8_t mode) {
        return [=] { return WithChip(0x1234, 0x0001, u"KLQ864", {{{0x00, 0x001A}, routing}, {{0x00, 0x0020}, mode}}); };
    };
    const Case cases[] = {
        {"R7U7, variant 0x1F", catalog("uac1"), STATUS_SUCCESS, 0x3E10A0, 0x41},
        {"R7U7, another variant", r7u7(0x1234, 0x0001, 0x1E), STATUS_SUCCESS, 0, 0},
        {"R7U7 of 09DA:2701", r7u7(0x09DA, 0x2701, 0x1F), STATUS_SUCCESS, 0x3E00A5, 0x41},
        {"R7U7 of 09DA:2703", r7u7(0x09DA, 0x2703, 0x1F), STATUS_SUCCESS, 0x3E00A5, 0x41},
        {"R7U7 of 09DA:2704", r7u7(0x09DA, 0x2704, 0x1F), STATUS_SUCCESS, 0x3E10A0, 0x41},
        {"R7U7 of A5E7:0065, bit 12 cleared", r7u7(0xA5E7, 0x0065, 0x1F), STATUS_SUCCESS, 0x3E00A0, 0x41},
        {"R7U7 of 251F:3001, bit 12 cleared, bit 2 set", r7u7(0x251F, 0x3001, 0x1F), STATUS_SUCCESS, 0x3E00A4, 0x40},
        {"KLQ864, routing 0x0E: ASIO", catalog("uac1-klq864"), STATUS_SUCCESS, 0x3E087, 2},
        {"KLQ864, routing 0x08: no ASIO", klq864(0x08, 0x00), STATUS_SUCCESS, 0x3E087, 0},
        {"KLQ864, routing 0x09 (bit 0 not read)", klq864(0x09, 0x00), STATUS_SUCCESS, 0x3E087, 0},
        {"KLQ864, register 0x20 bit 0 only", klq864(0x0E, 0x01), STATUS_SUCCESS, 0x3E087, 2},
        {"KLQ864, register 0x20 bit 1", klq864(0x0E, 0x02), STATUS_UNSUCCESSFUL, 0, 0},
        {"KLQ864, routing 0x0C", klq864(0x0C, 0x00), STATUS_UNSUCCESSFUL, 0, 0},
        {"KLQ866: nothing", catalog("uac1-w4m3"), STATUS_SUCCESS, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlugDevice(c.device());
        ASSERT_EQ(Start(), c.start);
        if (NT_SUCCESS(c.start)) {
            EndpointInfo info{};
            ASSERT_EQ(g_TestHal->GetEndpointCaps(StreamDirectionRender, EndpointTypeCode(EndpointType::Speaker), &info),
                      STATUS_SUCCESS);
            EXPECT_EQ(info.Capabilities, c.capabilities);
            EXPECT_EQ(info.Flags, c.flags);
            // Bit 23 belongs to one device's microphone only.
            info = {};
            ASSERT_EQ(g_TestHal->GetEndpointCaps(StreamDirectionCapture, EndpointTypeCode(EndpointType::Mic), &info),
                      STATUS_SUCCESS);
            EXPECT_EQ(info.Capabilities, c.capabilities);
            info = {};
            ASSERT_EQ(g_TestHal->GetEndpointCaps(StreamDirectionRender, EndpointTypeCode(EndpointType::Spdif), &info),
                      STATUS_SUCCESS);
            EXPECT_EQ(info.Capabilities | info.Flags, 0u);  // S/PDIF reports nothing
            EXPECT_EQ(g_TestHal->GetEndpointCaps(0, 0, nullptr), STATUS_UNSUCCESSFUL);
        }
        ReleaseAdapter();
        Unplug();
    }
}

// One device's capture "Mic" adds bit 23 and its records carry no 8-byte value; an engine index
// past the count answers the last engine's record.
TEST_F(Uac1HalTest, EndpointRecordsOfTheMicrophoneDeviceAndPastTheEngineCount) {
    PlugDevice(WithChip(0xA5E7, 0x0058, u"R7U7", {{{0x02, 0x0051}, 0x1F}}));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    struct Case {
        ULONG direction, type, capabilities;
    };
    const Case cases[] = {
        {StreamDirectionCapture, EndpointTypeCode(EndpointType::Mic), 0x3E10A0 | 0x800000},
        {StreamDirectionCapture, EndpointTypeCode(EndpointType::Line), 0x3E10A0},
        {StreamDirectionRender, EndpointTypeCode(EndpointType::Mic), 0x3E10A0},
        {StreamDirectionRender, EndpointTypeCode(EndpointType::Spdif), 0x3E10A0},  // no exception here
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.direction << " " << c.type);
        EndpointInfo info{};
        info.Value = 0xEE;
        ASSERT_EQ(g_TestHal->GetEndpointCaps(c.direction, c.type, &info), STATUS_SUCCESS);
        EXPECT_EQ(info.Capabilities, c.capabilities);
        EXPECT_EQ(info.Flags, 0x41u);
        EXPECT_EQ(info.Value, 0u);
    }

    StreamEngine* capture = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(1, &capture), STATUS_SUCCESS);
    static_cast<FakeEngine*>(capture)->endpointType = EndpointTypeCode(EndpointType::Mic);
    for (ULONG index : {1u, 2u, 100u}) {
        EndpointInfo info{};
        ASSERT_EQ(m_common->GetEndpointInfo(index, &info), STATUS_SUCCESS) << index;
        EXPECT_EQ(info.Capabilities, 0x3E10A0u | 0x800000u) << index;
    }
    EndpointInfo render{};
    ASSERT_EQ(m_common->GetEndpointInfo(0, &render), STATUS_SUCCESS);
    EXPECT_EQ(render.Capabilities, 0x3E10A0u);
}

// A pending terminal-type change re-installs its engine's wave subdevice under the name of the
// new type, numbered one below the device's counter for that type.
TEST_F(Uac1HalTest, UpdateMiniportsRenamesAndReinstallsEnginesWithAPendingChange) {
    struct Case {
        const char* name;
        UCHAR counter;         // render counter of the headphones type
        ULONG pending;
        NTSTATUS removeStatus;
        NTSTATUS status;
        const char16_t* engineName;  // after the call
        int installs, removes;
    };
    const Case cases[] = {
        {"counter 3", 3, 1, STATUS_SUCCESS, STATUS_SUCCESS, u"HPOut02", 1, 1},
        {"counter 1", 1, 1, STATUS_SUCCESS, STATUS_SUCCESS, u"HPOut00", 1, 1},
        {"counter 0", 0, 1, STATUS_SUCCESS, STATUS_SUCCESS, u"HPOut00", 1, 1},
        {"nothing pending", 3, 0, STATUS_SUCCESS, STATUS_SUCCESS, u"", 0, 0},
        {"removal fails", 3, 1, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY, u"", 0, 1},
    };
    StartHal();
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    auto* render = static_cast<FakeEngine*>(engine);
    auto* typeControl = new (NonPagedPoolNx, kTag) engine_test::FakeTypeControl(nullptr, 70, 2);
    typeControl->NonDelegatingAddRef();
    ASSERT_EQ(render->AddPathNode(typeControl), STATUS_SUCCESS);
    typeControl->NonDelegatingRelease();
    render->endpointType = EndpointTypeCode(EndpointType::Headphones);
    DeviceModel* model = static_cast<DeviceModel*>(g_TestHal);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(render->SetName(u""), STATUS_SUCCESS);
        GetAdapterExtension(m_fdo)->RenderNameCounters[EndpointTypeCode(EndpointType::Headphones)] = c.counter;
        typeControl->SetChangePending(c.pending);
        render->removeStatus = c.removeStatus;
        render->removes = 0;
        const int installs = m_seen->installs.load();
        EXPECT_EQ(model->UpdateMiniports(3), c.status);
        EXPECT_EQ(typeControl->IsChangePending(), 0u);
        EXPECT_EQ(render->removes, c.removes);
        EXPECT_EQ(m_seen->installs.load() - installs, c.installs);
        WCHAR name[StreamEngineNameChars] = {};
        ASSERT_EQ(render->GetName(name), STATUS_SUCCESS);
        EXPECT_TRUE(std::u16string(name) == c.engineName);
    }
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

TEST_F(Uac1HalTest, UpdateMiniportsWithoutEnginesFails) {
    g_Engines = 0;
    StartHal();
    EXPECT_EQ(static_cast<DeviceModel*>(g_TestHal)->UpdateMiniports(3), STATUS_UNSUCCESSFUL);
    // Without engines the endpoint record is the render record of type 0.
    EndpointInfo info{};
    EXPECT_EQ(m_common->GetEndpointInfo(5, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.Capabilities, 0x3E10A0u);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

TEST_F(Uac1HalTest, WithoutChipIdentifierOnlyKnownDevicesStart) {
    struct Case {
        USHORT vendorId, productId;
        bool starts;
        ULONG capabilities;
        ULONGLONG value;
    };
    const Case cases[] = {
        {0x047F, 0xD957, true, 0x3C0264, 12},
        {0x1B1C, 0x0A04, true, 0x24, 0},
        {0x1234, 0x5678, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.vendorId << ":" << c.productId);
        PlugDevice(adapter_test::Uac1WithIdentity(c.vendorId, c.productId, 0, 0, {}));
        const NTSTATUS status = Start();
        EXPECT_EQ(NT_SUCCESS(status), c.starts) << std::hex << status;
        if (c.starts) {
            EndpointInfo info{};
            ASSERT_EQ(g_TestHal->GetEndpointCaps(StreamDirectionRender, 1, &info), STATUS_SUCCESS);
            EXPECT_EQ(info.Capabilities, c.capabilities);
            EXPECT_EQ(info.Value, c.value);
        }
        ReleaseAdapter();
        Unplug();
    }
}

// With the driver's own creators the HAL and its topology are built, but the stream walker is not:
// the start fails with STATUS_NOT_IMPLEMENTED and leaves nothing behind.
TEST_F(Uac1HalTest, DriverHalBuildsItsUnitsAndStreams) {
    ScopedCreators own(nullptr);
    Plug("uac1");
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(g_TestHal, nullptr);
    EXPECT_EQ(m_adapter->GetStreamEngineCount(), 2u);
}

}  // namespace
