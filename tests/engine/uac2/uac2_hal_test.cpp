// The UAC 2.0 HAL on the simulated machine with the driver's own creators: the golden model of the
// catalog devices (units, controls and their persisted names, source edges, each engine's clock,
// formats and path), and the status thread's change handling.
#include "engine/adapter_machine.h"
#include "engine/hal_describe.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/uac2/Uac2AudioHal.h"
#include "driver/engine/uac2/Uac2Streams.h"
#include "driver/engine/uac2/Uac2Terminals.h"
#include "driver/engine/uac2/Uac2Units.h"

#include "uac2_descriptor_sets.h"

#include <sim/debug_log.h>
#include <sim/machine.h>
#include <sim/os.h>
#include <sim/pool.h>
#include <sim/usb_audio.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace uac2_hal_test {

using adapter_test::AdapterMachine;

// The adapter's HAL, without a reference.
inline Uac2AudioHal* HalOf(PADAPTERCOMMON Common) {
    DeviceModel* model = nullptr;
    if (!NT_SUCCESS(Common->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model))) || model == nullptr) {
        return nullptr;
    }
    model->Release();
    return static_cast<Uac2AudioHal*>(model);
}

inline std::string DescribeUnits(Uac2AudioHal* hal) { return hal_describe::DescribeUnits(hal); }

inline std::string DescribeEngines(PADAPTERCOMMON common) {
    return hal_describe::DescribeEngines(common, [](StreamEngine* engine) {
        auto* stream = static_cast<UsbAudioStream*>(engine);
        const ULONG clock = engine->GetDirection() == StreamDirectionRender
                                ? static_cast<Uac2PlaybackStream*>(stream)->ClockControlId()
                                : static_cast<Uac2CaptureStream*>(stream)->ClockControlId();
        return " clock " + std::to_string(clock);
    });
}

}  // namespace uac2_hal_test

namespace {

using namespace uac2_hal_test;

// The PCM settings both catalog devices share on their streaming interfaces: 24 bits in 4-byte
// slots on setting 1, 16 bits on setting 2, each at the clock's six rates.
std::string PcmSetting(int alt, const char* bits, int align) {
    std::string text;
    for (const char* rate : {"48000", "44100", "88200", "96000", "176400", "192000"}) {
        text += "  alt " + std::to_string(alt) + " " + rate + " " + bits + " align " + std::to_string(align) +
                " mask 0x3 sub 0x1\n";
    }
    return text;
}
const std::string kPcm24Setting1 = PcmSetting(1, "32/24", 8);
const std::string kPcm16Setting2 = PcmSetting(2, "16/16", 4);

using sim::machine::kMillisecond;

constexpr UCHAR kClassGetRequestType = 0xA1;

class Uac2Hal : public AdapterMachine {
protected:
    void TearDown() override {
        if (m_registration != nullptr) m_common->UnregisterChangeCallback(m_registration);
        m_registration = nullptr;
        if (m_common != nullptr) m_common->Stop();  // ends the status thread, which holds the adapter
        AdapterMachine::TearDown();
    }
    // Init, the change notices recorded, then the HAL's start (the status thread).
    void StartWithStatusThread(std::string_view device) {
        Plug(device);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(m_common->RegisterChangeCallback(RecordChange, this, &m_registration), STATUS_SUCCESS);
        ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(HalOf(m_common)->HasStatusThread());
    }
    static void RecordChange(PVOID Context, PVOID Argument1, PVOID) {
        auto* self = static_cast<Uac2Hal*>(Context);
        std::lock_guard<std::mutex> guard(self->m_changesLock);
        self->m_changes.push_back(static_cast<const ControlChangeRecord*>(Argument1)->ControlId);
    }
    std::vector<ULONG> Changes() {
        std::lock_guard<std::mutex> guard(m_changesLock);
        return m_changes;
    }
    // Class GET requests the device answered or refused since the log was cleared.
    std::vector<std::pair<uint16_t, uint16_t>> ClassGets() {
        std::vector<std::pair<uint16_t, uint16_t>> gets;
        for (const sim::usb::LogEntry& e : Device().Log()) {
            if (e.isRequest && e.setup.bmRequestType == kClassGetRequestType) gets.emplace_back(e.setup.wValue, e.setup.wIndex);
        }
        return gets;
    }
    sim::usb::AudioFunction& Audio() { return *Device().Audio(); }
    void Post(std::vector<uint8_t> message) { Audio().PostInterrupt(message); }
    std::vector<std::string> SettingNames() { return hal_describe::ValueNames(SettingsKey()); }

    PVOID m_registration = nullptr;
    std::mutex m_changesLock;
    std::vector<ULONG> m_changes;
};

TEST_F(Uac2Hal, CatalogDeviceGoldenModel) {
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Uac2AudioHal* hal = HalOf(m_common);
    ASSERT_NE(hal, nullptr);
    // The clock source's sample-rate control is node 0; each feature unit's signal enters at the
    // volume and leaves at the mute; the terminals' connectors carry the edges between units.
    EXPECT_EQ(DescribeUnits(hal),
              "unit 1 kind 2: [1 kind 0]\n"
              "unit 2 kind 6 <- 1: [3 kind 3 <- 1] [2 kind 2 <- 3]\n"
              "unit 3 kind 3 <- 2: [4 kind 1 <- 2]\n"
              "unit 4 kind 2: [5 kind 0]\n"
              "unit 5 kind 6 <- 4: [7 kind 3 <- 5] [6 kind 2 <- 7]\n"
              "unit 6 kind 3 <- 5: [8 kind 1 <- 6]\n"
              "unit 40 kind 10: [0 kind 12]\n");
    // Both streams run on clock 40 (its control 0), one format per setting and clock rate.
    EXPECT_EQ(DescribeEngines(m_common),
              "engine 0 render type 1 clock 0 path 4 2 3 1\n" + kPcm24Setting1 + kPcm16Setting2 +
                  "engine 1 capture type 7 clock 0 path 8 6 7 5\n" + kPcm24Setting1 + kPcm16Setting2);
    // Values the start stored, under the control ids: both mutes, the render volume's two
    // channels and the capture volume's master.
    EXPECT_EQ(SettingNames(),
              (std::vector<std::string>{"Unit02_ 0_0", "Unit03_ 0_0", "Unit03_ 0_1", "Unit06_ 0_0", "Unit07_ 0_0"}));
}

}  // namespace

// The device mutes its playback feature unit from its front panel: the status thread reads that one
// control once and announces it once, with the device's new value.
TEST_F(Uac2Hal, DeviceChangeGivesOneReadAndOneNotice) {
    StartWithStatusThread("uac2");
    Device().ClearLog();
    ASSERT_TRUE(Audio().ChangeFromDevice(2, 1, 0, 1));
    ASSERT_TRUE(sim::machine::RunUntil([&] { return !Changes().empty(); }, 100 * kMillisecond));
    sim::machine::RunFor(20 * kMillisecond);
    EXPECT_EQ(ClassGets(), (std::vector<std::pair<uint16_t, uint16_t>>{{0x0100, 0x0200}}));
    EXPECT_EQ(Changes(), (std::vector<ULONG>{2}));
    AudioNode* node = nullptr;
    ASSERT_EQ(HalOf(m_common)->FindNode(2, &node), STATUS_SUCCESS);
    OnOffControl* mute = nullptr;
    ASSERT_EQ(node->QueryInterface(IID_OnOffControl, reinterpret_cast<PVOID*>(&mute)), STATUS_SUCCESS);
    UCHAR value = 0;
    EXPECT_EQ(mute->GetValue(0, &value), STATUS_SUCCESS);
    mute->Release();
    EXPECT_EQ(value, 1);
}

// Messages that are vendor-specific, not about a current value, or about another interface are
// passed over; the next proper one is still heard. A clock validity message re-reads the clock.
TEST_F(Uac2Hal, StatusMessagesOfOtherKindsAreIgnored) {
    StartWithStatusThread("uac2");
    Device().ClearLog();
    Post({0x01, 0x01, 0x00, 0x01, 0x00, 0x02});  // vendor-specific
    Post({0x00, 0x02, 0x00, 0x01, 0x00, 0x02});  // a RANGE change
    Post({0x00, 0x01, 0x00, 0x01, 0x05, 0x02});  // another interface
    Post({0x00, 0x01, 0x00, 0x01, 0x00, 0x63});  // no such entity
    Post({0x00, 0x01, 0x00, 0x02, 0x00, 0x28});  // clock 40 validity
    ASSERT_TRUE(sim::machine::RunUntil([&] { return !Changes().empty(); }, 200 * kMillisecond));
    sim::machine::RunFor(20 * kMillisecond);
    EXPECT_EQ(Changes(), (std::vector<ULONG>{0}));
    EXPECT_EQ(Audio().QueuedInterrupts(), 0u);
}

// Stop ends the thread (its IRP cancelled, its reference on the thread object dropped); a second
// Stop returns at once, and Start runs a new one.
TEST_F(Uac2Hal, StopEndsTheStatusThreadAndStartRunsANewOne) {
    const int64_t threads = sim::machine::SystemThreadsRunning();
    StartWithStatusThread("uac2");
    Uac2AudioHal* hal = HalOf(m_common);
    EXPECT_GT(sim::machine::SystemThreadsRunning(), threads);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(hal->HasStatusThread());
    EXPECT_EQ(hal->StatusThread(), nullptr);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(m_common->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(hal->HasStatusThread());
    ASSERT_TRUE(Audio().ChangeFromDevice(5, 1, 0, 1));
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Changes() == std::vector<ULONG>{6}; }, 100 * kMillisecond));
}

// The device leaves while the status thread waits: its read fails, the thread ends on its own, and
// Stop and removal find nothing left.
TEST_F(Uac2Hal, UnplugWhileTheStatusThreadWaits) {
    StartWithStatusThread("uac2");
    sim::usb::UnplugDevice(m_port);
    sim::machine::RunFor(50 * kMillisecond);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(HalOf(m_common)->HasStatusThread());
}

// The vendor device's AudioControl interface also has a bulk IN endpoint: the status thread keeps a
// read pending there, so whatever the device sends is taken (a read of 512 bytes at a time) while
// status messages are still heard; Stop cancels the pending read and the bus holds nothing more.
TEST_F(Uac2Hal, BulkPipeReadsAreServedAndCancelledAtStop) {
    StartWithStatusThread("uac2-vendor");
    Uac2AudioHal* hal = HalOf(m_common);
    ASSERT_TRUE(hal->HasBulkPipe());
    sim::machine::RunFor(10 * kMillisecond);
    EXPECT_GE(sim::usb::HeldRequests(m_port), 2u);  // the interrupt read and the bulk read
    std::vector<uint8_t> data(1300, 0xA5);
    Audio().PostBulkIn(data);  // three reads: 512, 512, 276
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Audio().QueuedBulkIn() == 0; }, 200 * kMillisecond));
    Audio().PostBulkIn(std::vector<uint8_t>(600, 0x5A));
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Audio().QueuedBulkIn() == 0; }, 200 * kMillisecond));
    ASSERT_TRUE(Audio().ChangeFromDevice(2, 1, 0, 1));
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Changes() == std::vector<ULONG>{2}; }, 200 * kMillisecond));

    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(hal->HasStatusThread());
    EXPECT_FALSE(hal->HasBulkPipe());
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    // Data sent after Stop stays with the device: no read is left behind.
    Audio().PostBulkIn(std::vector<uint8_t>(100, 1));
    sim::machine::RunFor(20 * kMillisecond);
    EXPECT_EQ(Audio().QueuedBulkIn(), 100u);
}

// A capture path through a feature unit: before Windows Vista the path gains a selector control
// in front of its output connector (the system's recording source selection needs one); from
// Vista on it stays as the device describes it.
TEST_F(Uac2Hal, CapturePathGainsASelectorOnlyBeforeVista) {
    for (const uint32_t ntddi : {0x06000000u, 0x05010200u}) {
        SCOPED_TRACE(ntddi);
        const bool beforeVista = ntddi < 0x06000000u;
        Plug("uac2");
        {
            sim::os::ScopedVersion version(ntddi);
            ASSERT_EQ(Start(), STATUS_SUCCESS);
        }
        Uac2AudioHal* hal = HalOf(m_common);
        StreamEngine* capture = nullptr;
        ASSERT_EQ(m_common->GetStreamEngine(1, &capture), STATUS_SUCCESS);
        ULONG selectorId = 0;
        for (ULONG i = 0; i < capture->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            if (NT_SUCCESS(capture->GetNode(i, &node)) && node->GetNodeKind() == NodeKindCode(NodeKind::Selector)) {
                selectorId = node->GetId();
            }
        }
        AudioNode* connector = nullptr;
        ASSERT_EQ(hal->FindNode(8, &connector), STATUS_SUCCESS);
        if (beforeVista) {
            EXPECT_EQ(selectorId, 9u);
            EXPECT_EQ(hal_describe::SourcesOf(connector), " <- 9");
        } else {
            EXPECT_EQ(selectorId, 0u);
            EXPECT_EQ(hal_describe::SourcesOf(connector), " <- 6");
        }
        ReleaseAdapter();
        Unplug();
    }
}

// Endpoint capability rows: capture endpoints are ASIO endpoints (flags 0x12), S/PDIF capture is
// plain, and one device has rows of its own whatever the direction.
TEST_F(Uac2Hal, EndpointCapabilityRows) {
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    struct Row {
        ULONG direction, type, caps, flags;
    };
    for (const Row& r : {Row{1, 3, 0, 0}, Row{1, 7, 0, 0x12}, Row{1, 18, 0, 0x12}, Row{1, 2, 0, 0x12},
                         Row{0, 3, 0, 0}, Row{0, 1, 0, 0}}) {
        EndpointInfo info{};
        info.Value = 77;
        ASSERT_EQ(HalOf(m_common)->GetEndpointCaps(r.direction, r.type, &info), STATUS_SUCCESS);
        EXPECT_EQ(info.Capabilities, r.caps) << r.direction << "/" << r.type;
        EXPECT_EQ(info.Flags, r.flags) << r.direction << "/" << r.type;
        EXPECT_EQ(info.Value, 0u);
    }
    EXPECT_EQ(HalOf(m_common)->GetEndpointCaps(0, 1, nullptr), STATUS_UNSUCCESSFUL);
}

// Each allocation of one of the HAL's tags fails in turn (the Nth of the start, N = 1, 2, ...):
// the start fails cleanly or goes on without what could not be made (a status thread that could
// not set itself up ends quietly); each adapter is released with nothing left, and the machine's
// teardown checks pool, IRPs and threads.
struct PoolTagCase {
    ULONG tag;
    const char* device;
};

class Uac2HalPoolTags : public Uac2Hal, public testing::WithParamInterface<PoolTagCase> {};

TEST_P(Uac2HalPoolTags, FailedAllocationsLeaveNothingBehind) {
    Plug(GetParam().device);
    int failed = 0;
    for (uint64_t n = 1; n < 200; ++n) {
        SCOPED_TRACE(n);
        const uint64_t injected = sim::pool::InjectedFailures();
        sim::pool::FailNthAllocation(n, GetParam().tag);
        NTSTATUS status = Start();
        if (NT_SUCCESS(status)) status = m_common->Start();
        sim::machine::RunFor(5 * kMillisecond);
        if (NT_SUCCESS(status)) {
            Audio().ChangeFromDevice(2, 1, 0, UCHAR(n & 1));
            sim::machine::RunFor(5 * kMillisecond);
        }
        const bool fired = sim::pool::InjectedFailures() != injected;
        sim::pool::DisarmFaults();
        m_common->Stop();
        ReleaseAdapter();
        if (!fired) break;
        ++failed;
    }
    EXPECT_GT(failed, 0);
}

// The request that selects the AudioControl interface cannot be allocated: the start fails
// instead of going on without device change notices.
TEST_F(Uac2Hal, StartWithoutTheSelectRequestFails) {
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    sim::pool::FailNthAllocation(1, ' BRU');
    EXPECT_EQ(m_common->Start(), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_FALSE(HalOf(m_common)->HasStatusThread());
}

// The streams' own tag, "US20", is allocated at the start only by the valid-settings request of the
// vendor device's raw-data setting; the stream tests fail it when a stream opens.
INSTANTIATE_TEST_SUITE_P(Tags, Uac2HalPoolTags,
                         testing::Values(PoolTagCase{'2CAU', "uac2"}, PoolTagCase{'02AU', "uac2"},
                                         PoolTagCase{' BRU', "uac2"}, PoolTagCase{'02AU', "uac2-vendor"},
                                         PoolTagCase{'02SU', "uac2-vendor"}),
                         [](const auto& info) {
                             const ULONG tag = info.param.tag;
                             std::string name;
                             for (int i = 0; i < 4; ++i) {
                                 const char ch = char(tag >> (8 * i));
                                 if (ch != ' ') name += ch;
                             }
                             name += std::string(info.param.device) == "uac2" ? "" : "_vendor";
                             return name;
                         });

// A stalled or short answer to each kind of request the start sends: the start is refused with
// the walk's status, or goes on where the request is optional; nothing is left behind.
struct RequestFaultCase {
    const char* name;
    sim::usb::RequestMatch match;
    sim::usb::FaultAction action;
    bool starts;
};

class Uac2HalRequestFaults : public Uac2Hal, public testing::WithParamInterface<RequestFaultCase> {};

TEST_P(Uac2HalRequestFaults, StartRefusesOrGoesOn) {
    const RequestFaultCase& c = GetParam();
    Plug("uac2");
    Device().AddControlFault({.match = c.match, .action = c.action, .shortLength = 1});
    const NTSTATUS status = Start();
    EXPECT_EQ(NT_SUCCESS(status), c.starts) << std::hex << status;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Uac2HalRequestFaults,
    testing::Values(
        RequestFaultCase{"ClockRangeStall", {.bmRequestType = 0xA1, .bRequest = 2, .wValue = 0x0100, .wIndex = 0x2800},
                         sim::usb::FaultAction::Stall, false},
        RequestFaultCase{"ClockRangeShort", {.bmRequestType = 0xA1, .bRequest = 2, .wValue = 0x0100, .wIndex = 0x2800},
                         sim::usb::FaultAction::ShortAnswer, false},
        RequestFaultCase{"VolumeRangeStall", {.bmRequestType = 0xA1, .bRequest = 2, .wValue = 0x0201, .wIndex = 0x0200},
                         sim::usb::FaultAction::Stall, false},
        RequestFaultCase{"VolumeCurShort", {.bmRequestType = 0xA1, .bRequest = 1, .wValue = 0x0201, .wIndex = 0x0200},
                         sim::usb::FaultAction::ShortAnswer, true},
        RequestFaultCase{"MuteCurStall", {.bmRequestType = 0xA1, .bRequest = 1, .wValue = 0x0100, .wIndex = 0x0500},
                         sim::usb::FaultAction::Stall, true},
        RequestFaultCase{"ExtendedBlockSizeShort", {.bmRequestType = 0xA1, .bRequest = 3, .wIndex = 0x0200},
                         sim::usb::FaultAction::ShortAnswer, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The clock answers its rate list cut short: only the sub-ranges that arrived become formats.
TEST_F(Uac2Hal, ShortRateListGivesTheRatesThatArrived) {
    Plug("uac2");
    Device().AddControlFault({.match = {.bmRequestType = 0xA1, .bRequest = 2, .wValue = 0x0100, .wIndex = 0x2800},
                              .action = sim::usb::FaultAction::ShortAnswer,
                              .shortLength = 2 + 12 * 2});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    std::vector<ULONG> rates;
    for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
        WAVEFORMATEXTENSIBLE format{};
        ASSERT_EQ(engine->GetFormat(f, &format), STATUS_SUCCESS);
        rates.push_back(format.Format.nSamplesPerSec);
    }
    EXPECT_EQ(rates, (std::vector<ULONG>{48000, 44100, 48000, 44100}));
}

// ---- Units and terminals against device answers of the test's own ----

// The "uac2" device with its configuration changed by Change and a handler layer answering what
// Answer answers (nullopt: the device's own answer).
using Answer = std::function<std::optional<sim::usb::ControlResult>(const sim::usb::SetupPacket&, std::span<uint8_t>)>;
std::unique_ptr<sim::usb::Device> Uac2With(const std::function<void(std::vector<uint8_t>&)>& Change, Answer answer,
                                           const std::function<void(sim::usb::AudioOptions&)>& Options = nullptr) {
    auto base = sim::usb::CreateCatalogDevice("uac2");
    std::vector<uint8_t> config(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    if (Change) Change(config);
    sim::usb::DeviceSetup setup;
    setup.name = "uac2-answers";
    setup.speed = sim::usb::Speed::High;
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    setup.configurations.push_back(std::move(config));
    setup.audio.clockRates = {{40, {48000, 44100}}};
    if (Options) Options(setup.audio);
    auto device = std::make_unique<sim::usb::Device>(std::move(setup));
    device->PushHandlers({.name = "test answers",
                          .control = [answer](sim::usb::Device&, const sim::usb::SetupPacket& p, std::span<uint8_t> data) {
                              return answer(p, data);
                          }});
    return device;
}

std::optional<sim::usb::ControlResult> Bytes(std::span<uint8_t> data, std::vector<uint8_t> bytes, uint16_t wLength) {
    const size_t n = std::min<size_t>({bytes.size(), data.size(), wLength});
    std::copy_n(bytes.begin(), n, data.begin());
    return sim::usb::ControlResult::Ok(uint32_t(n));
}

void Le32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

std::vector<std::pair<ULONG, ULONG>> ControlsOf(Uac2AudioHal* hal, ULONG unitId) {
    std::vector<std::pair<ULONG, ULONG>> out;
    UnitNode* unit = nullptr;
    if (!NT_SUCCESS(hal->FindUnit(unitId, &unit))) return out;
    ULONG count = 0;
    unit->GetControlCount(&count);
    for (ULONG i = count; i-- > 0;) {  // creation order
        AudioNode* control = nullptr;
        if (NT_SUCCESS(unit->GetControl(i, &control))) out.emplace_back(control->GetId(), control->GetNodeKind());
    }
    return out;
}

// The extended control block of feature unit 2: its size at MEM offset 16, the block from 0.
struct BlockCase {
    const char* name;
    uint16_t size;       // what the size read answers
    uint16_t answered;   // bytes of the block the device sends
    bool kept;
};

class Uac2ExtendedBlock : public Uac2Hal, public testing::WithParamInterface<BlockCase> {};

TEST_P(Uac2ExtendedBlock, IsKeptOnlyWhenWholeAndLargeEnough) {
    const BlockCase c = GetParam();
    // Master entry: the device switch (0x90) and the gain (0x82) readable and writable.
    std::vector<uint8_t> block(18, 0);
    Le32(block, 0xC000000C);
    Le32(block, 0);
    PlugDevice(Uac2With(nullptr, [c, block](const sim::usb::SetupPacket& p, std::span<uint8_t> data)
                                     -> std::optional<sim::usb::ControlResult> {
        if ((p.wIndex >> 8) != 2 || p.Type() != 1) return std::nullopt;
        if (p.bRequest == 3 && p.wValue == 16) return Bytes(data, {uint8_t(c.size), uint8_t(c.size >> 8)}, p.wLength);
        if (p.bRequest == 3 && p.wValue == 0) {
            std::vector<uint8_t> bytes = block;
            bytes.resize(c.answered);
            return Bytes(data, bytes, p.wLength);
        }
        const uint8_t selector = uint8_t(p.wValue >> 8);
        if (selector != 0x90 && selector != 0x82) return std::nullopt;
        if (!p.IsIn()) return sim::usb::ControlResult::Ok(p.wLength);
        if (p.bRequest == 2) return Bytes(data, {1, 0, 0x00, 0x81, 0x00, 0x00, 0x00, 0x01}, p.wLength);
        return Bytes(data, {0, 0}, p.wLength);
    }));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Uac2AudioHal* hal = HalOf(m_common);
    UnitNode* unit = nullptr;
    ASSERT_EQ(hal->FindUnit(2, &unit), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<Uac2FeatureUnit*>(unit)->HasExtendedBlock(), c.kept);
    using Controls = std::vector<std::pair<ULONG, ULONG>>;
    // Mute and volume from the descriptor; the device switch and, last, the gain from the block.
    const Controls expected = c.kept ? Controls{{2, 2}, {3, 3}, {4, 18}, {5, 3}} : Controls{{2, 2}, {3, 3}};
    EXPECT_EQ(ControlsOf(hal, 2), expected);
    if (!c.kept) return;
    // A message about the volume names the volume, one about the gain names the gain.
    ASSERT_EQ(m_common->RegisterChangeCallback(RecordChange, this, &m_registration), STATUS_SUCCESS);
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    Audio().PostInterrupt(std::vector<uint8_t>{0x00, 0x01, 0x01, 0x02, 0x00, 0x02});
    Audio().PostInterrupt(std::vector<uint8_t>{0x00, 0x01, 0x00, 0x82, 0x00, 0x02});
    ASSERT_TRUE(sim::machine::RunUntil([&] { return Changes().size() == 2; }, 200 * kMillisecond));
    EXPECT_EQ(Changes(), (std::vector<ULONG>{3, 5}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Uac2ExtendedBlock,
                         testing::Values(BlockCase{"Whole", 26, 26, true}, BlockCase{"SizeBelowHeader", 17, 17, false},
                                         BlockCase{"SizeWithoutEntry", 18, 18, false},
                                         BlockCase{"ShortBlock", 26, 22, false},
                                         BlockCase{"HugeSizeShortBlock", 0xFFFF, 26, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The clock's rate as a stream sets it: a clock the host cannot set, or with one rate, gets no SET
// and must already run at the rate; a refused SET counts when the clock already runs at the rate.
struct ClockCase {
    const char* name;
    uint8_t frequencyAccess;  // bmControls bits 1..0 of clock source 40
    bool stallSet;
    ULONG rate;
    NTSTATUS status;
    size_t sets;  // SET CUR requests sent
};

class Uac2ClockRate : public Uac2Hal, public testing::WithParamInterface<ClockCase> {};

TEST_P(Uac2ClockRate, IsSetOnlyWhereTheClockTakesIt) {
    const ClockCase c = GetParam();
    auto access = [c](std::vector<uint8_t>& config) {
        for (size_t p = 0; p + 8 < config.size() && config[p] != 0; p += config[p]) {
            if (config[p + 1] == 0x24 && config[p + 2] == 0x0A && config[p + 3] == 40) {
                config[p + 5] = uint8_t((config[p + 5] & ~3) | c.frequencyAccess);
            }
        }
    };
    PlugDevice(Uac2With(access, [c](const sim::usb::SetupPacket& p, std::span<uint8_t>) -> std::optional<sim::usb::ControlResult> {
        if (c.stallSet && !p.IsIn() && p.wValue == 0x0100 && p.wIndex == 0x2800) return sim::usb::ControlResult::Stall();
        return std::nullopt;
    }));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UnitNode* unit = nullptr;
    ASSERT_EQ(HalOf(m_common)->FindUnit(40, &unit), STATUS_SUCCESS);
    SampleRateControl* clock = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_SampleRateControl, reinterpret_cast<PVOID*>(&clock)), STATUS_SUCCESS);
    Device().ClearLog();
    EXPECT_EQ(clock->SetRate(c.rate), c.status);
    clock->Release();
    size_t sets = 0;
    for (const sim::usb::LogEntry& e : Device().Log()) sets += e.isRequest && e.setup.bmRequestType == 0x21 ? 1 : 0;
    EXPECT_EQ(sets, c.sets);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, Uac2ClockRate,
    testing::Values(ClockCase{"ReadOnlyAtItsRate", 1, false, 48000, STATUS_SUCCESS, 0},
                    ClockCase{"ReadOnlyAtAnotherRate", 1, false, 44100, STATUS_NOT_SUPPORTED, 0},
                    ClockCase{"ProgrammableSetsTheRate", 3, false, 44100, STATUS_SUCCESS, 1},
                    ClockCase{"RefusedSetAtTheCurrentRate", 3, true, 48000, STATUS_SUCCESS, 1},
                    ClockCase{"RefusedSetAtAnotherRate", 3, true, 44100, STATUS_UNSUCCESSFUL, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The (rate, container bits) of every format the engine offers, in its order.
static std::vector<std::pair<ULONG, WORD>> RatesAndBits(StreamEngine* engine) {
    std::vector<std::pair<ULONG, WORD>> formats;
    for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
        WAVEFORMATEXTENSIBLE format{};
        EXPECT_EQ(engine->GetFormat(f, &format), STATUS_SUCCESS);
        formats.emplace_back(format.Format.nSamplesPerSec, format.Format.wBitsPerSample);
    }
    return formats;
}

// A render setting whose endpoint holds 48 bytes a microframe carries 44.1 kHz in 8-byte frames
// (six a packet) but not 48 kHz (seven with a fast clock): only the rates it can carry are offered.
TEST_F(Uac2Hal, FormatsAreOfferedOnlyWhereTheEndpointCarriesThem) {
    auto narrow = [](std::vector<uint8_t>& config) {
        for (size_t p = 0; p + 7 <= config.size() && config[p] != 0; p += config[p]) {
            if (config[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[p + 2] == 0x01) {
                config[p + 4] = 48;
                config[p + 5] = 0;
                break;  // the first setting's data endpoint only
            }
        }
    };
    PlugDevice(Uac2With(narrow, [](const sim::usb::SetupPacket&, std::span<uint8_t>) { return std::nullopt; }));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    const std::vector<std::pair<ULONG, WORD>> formats = RatesAndBits(engine);
    EXPECT_EQ(formats, (std::vector<std::pair<ULONG, WORD>>{{44100, 32}, {48000, 16}, {44100, 16}}));
}

// The interface says its first setting is valid at 48 kHz only: 44.1 kHz is offered on the second
// setting alone, and the clock is back at the rate it ran at once the formats are known.
TEST_F(Uac2Hal, PcmFormatsFollowTheValidSettingsControl) {
    PlugDevice(Uac2With(
        nullptr, [](const sim::usb::SetupPacket&, std::span<uint8_t>) { return std::nullopt; },
        [](sim::usb::AudioOptions& options) { options.altSettingRates[1 << 8 | 1] = {48000}; }));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    const std::vector<std::pair<ULONG, WORD>> formats = RatesAndBits(engine);
    EXPECT_EQ(formats, (std::vector<std::pair<ULONG, WORD>>{{48000, 32}, {48000, 16}, {44100, 16}}));
    EXPECT_EQ(Audio().ControlValue(40, 1, 0), 48000);
}

// Output terminal 3 with its connector control declared: the jack list and the terminal types the
// device answers.
struct TerminalCase {
    const char* name;
    std::vector<uint16_t> types;  // the RANGE of the terminal-type control; empty: STALL
    std::vector<uint8_t> jacks;   // the jack list's answer; empty: STALL
    bool starts;
    std::vector<ULONG> kinds;     // terminal 3's controls in creation order
    ULONG jackCount;              // of type index 0
    std::vector<ULONG> endpointTypes;  // the terminal's type list
};

class Uac2OutputTerminalTypes : public Uac2Hal, public testing::WithParamInterface<TerminalCase> {};

TEST_P(Uac2OutputTerminalTypes, FollowTheDeviceAnswers) {
    const TerminalCase c = GetParam();
    auto declareConnector = [](std::vector<uint8_t>& config) {
        for (size_t p = 0; p + 10 < config.size() && config[p] != 0; p += config[p]) {
            if (config[p] == 12 && config[p + 1] == 0x24 && config[p + 2] == 3 && config[p + 3] == 3) config[p + 9] |= 0x04;
        }
    };
    auto current = std::make_shared<uint16_t>(0x0301);
    PlugDevice(Uac2With(declareConnector, [c, current](const sim::usb::SetupPacket& p, std::span<uint8_t> data)
                                              -> std::optional<sim::usb::ControlResult> {
        if ((p.wIndex >> 8) != 3 || p.Type() != 1) return std::nullopt;
        if (p.wValue == 0x02FF && p.bRequest == 1) {
            if (c.jacks.empty()) return sim::usb::ControlResult::Stall();
            return Bytes(data, c.jacks, p.wLength);
        }
        if (p.wValue == 0x0800 && p.bRequest == 2) {
            if (c.types.empty()) return sim::usb::ControlResult::Stall();
            std::vector<uint8_t> range = {uint8_t(c.types.size()), 0};
            for (uint16_t t : c.types) range.insert(range.end(), {uint8_t(t), uint8_t(t >> 8), uint8_t(t), uint8_t(t >> 8), 0, 0});
            return Bytes(data, range, p.wLength);
        }
        if (p.wValue == 0x0800 && p.bRequest == 1) {
            if (!p.IsIn()) {
                *current = uint16_t(data[0] | data[1] << 8);
                return sim::usb::ControlResult::Ok(2);
            }
            return Bytes(data, {uint8_t(*current), uint8_t(*current >> 8)}, p.wLength);
        }
        if (p.wValue == 0x0200 && p.bRequest == 1) return Bytes(data, {2, 3, 0, 0, 0, 0}, p.wLength);
        return std::nullopt;
    }));
    const NTSTATUS status = Start();
    ASSERT_EQ(NT_SUCCESS(status), c.starts) << std::hex << status;
    if (!c.starts) return;
    Uac2AudioHal* hal = HalOf(m_common);
    std::vector<ULONG> kinds;
    for (const auto& [id, kind] : ControlsOf(hal, 3)) kinds.push_back(kind);
    EXPECT_EQ(kinds, c.kinds);
    UnitNode* unit = nullptr;
    ASSERT_EQ(hal->FindUnit(3, &unit), STATUS_SUCCESS);
    TerminalInfo* info = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
    ULONG typeCount = 0;
    ASSERT_EQ(info->GetTypeCount(&typeCount), STATUS_SUCCESS);
    std::vector<ULONG> types(typeCount);
    if (typeCount != 0) {
        EXPECT_EQ(info->GetTypeList(types.data()), STATUS_SUCCESS);
    }
    EXPECT_EQ(types, c.endpointTypes);
    ULONG jacks = 99;
    EXPECT_EQ(info->GetJackCount(&jacks, 0), STATUS_SUCCESS);
    EXPECT_EQ(jacks, c.jackCount);
    if (jacks != 0) {
        // Presence from the connector control's channel mask (channels 1 and 2).
        std::vector<JackRecord> records(jacks);
        EXPECT_EQ(info->GetJackDescriptions(ULONG(jacks * sizeof(JackRecord)), records.data(), 0), STATUS_SUCCESS);
        EXPECT_EQ(records[0].ChannelMapping, 3u);
        EXPECT_EQ(records[0].Color, 0x00FF00u);
        EXPECT_EQ(records[0].IsConnected, 1u);
    }
    info->Release();
}

// One jack: channels 1 and 2, configuration 0x01014000 (green, connection 1, location 1).
const std::vector<uint8_t> kOneJack = {1, 3, 0, 0, 0, 0x00, 0x40, 0x01, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Answers, Uac2OutputTerminalTypes,
    testing::Values(
        TerminalCase{"TwoTypes", {0x0301, 0x0302}, kOneJack, true, {1, 1, 13}, 1, {1, 2}},
        // A USB streaming entry is listed as the stream type, not as a speaker.
        TerminalCase{"StreamingEntry", {0x0101, 0x0605}, kOneJack, true, {1, 1, 13}, 1, {0, 3}},
        TerminalCase{"SixTypesAreNotBelieved", {0x0301, 0x0302, 0x0603, 0x0605, 0x0401, 0x0402}, kOneJack, true, {1}, 1,
                     {1}},
        TerminalCase{"NoTypeRange", {}, kOneJack, true, {1}, 1, {1}},
        // Three jacks announced, one arrives: only that one is described.
        TerminalCase{"JackListCutShort", {}, {3, 3, 0, 0, 0, 0x00, 0x40, 0x01, 0x01}, true, {1}, 1, {1}},
        // A refused jack list is no jacks, as on UAC 1.0 terminals: the device still starts.
        TerminalCase{"JackListRefused", {0x0301, 0x0302}, {}, true, {1, 1, 13}, 0, {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// AudioControl interfaces the HAL refuses: units no model takes, a feature unit without mute, a
// unit graph that feeds itself. The start fails with the walk's status and leaves nothing.
struct RefusalCase {
    const char* name;
    uint8_t unit;       // the descriptor changed: the one with this id (byte 3)
    uint8_t subtype;    // its subtype
    size_t offset;      // byte to set
    uint8_t value;
    NTSTATUS status;
};

class Uac2Refusals : public Uac2Hal, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Uac2Refusals, StartIsRefused) {
    const RefusalCase c = GetParam();
    PlugDevice(Uac2With(
        [c](std::vector<uint8_t>& config) {
            for (size_t p = 0; p + 4 < config.size() && config[p] != 0; p += config[p]) {
                if (config[p + 1] == 0x24 && config[p + 2] == c.subtype && config[p + 3] == c.unit) {
                    config[p + c.offset] = c.value;
                    return;
                }
            }
            ADD_FAILURE() << "no descriptor to change";
        },
        [](const sim::usb::SetupPacket&, std::span<uint8_t>) { return std::optional<sim::usb::ControlResult>{}; }));
    EXPECT_EQ(Start(), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Uac2Refusals,
    testing::Values(RefusalCase{"ClockSelector", 40, 10, 2, 11, STATUS_UNSUCCESSFUL},
                    RefusalCase{"ClockMultiplier", 40, 10, 2, 12, STATUS_UNSUCCESSFUL},
                    RefusalCase{"EffectUnit", 2, 6, 2, 7, STATUS_UNSUCCESSFUL},
                    RefusalCase{"ProcessingUnit", 2, 6, 2, 8, STATUS_UNSUCCESSFUL},
                    RefusalCase{"FeatureUnitWithoutMute", 2, 6, 5, 0x0C, STATUS_INSUFFICIENT_RESOURCES},
                    RefusalCase{"FeatureUnitFedByItsOutput", 2, 6, 4, 3, STATUS_INVALID_PARAMETER},
                    RefusalCase{"TerminalOnNoClock", 1, 2, 7, 41, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// The hand-written descriptor sets of tests/data: those within what the HAL models start, the
// others are refused with a diagnostic that names what refused them.
TEST_F(Uac2Hal, DescriptorSetsStartOrNameTheirRefusal) {
    ASSERT_FALSE(testdata::Uac2DescriptorSets().empty());
    for (const testdata::DescriptorSet& set : testdata::Uac2DescriptorSets()) {
        SCOPED_TRACE(set.name);
        sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(set.descriptors, set.name);
        ASSERT_TRUE(loaded.device) << loaded.error;
        PlugDevice(std::move(loaded.device));
        sim::debuglog::Clear();
        const NTSTATUS status = Start();
        if (set.refusal.empty()) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GT(m_common->GetStreamEngineCount(), 0u);
        } else {
            EXPECT_FALSE(NT_SUCCESS(status));
            const std::string named = set.refusal.rfind("feature unit", 0) == 0 ? "without mute" : set.refusal;
            EXPECT_TRUE(sim::debuglog::Contains(named)) << named;
        }
        ReleaseAdapter();
        Unplug();
    }
}

// The vendor model: jack lists and three terminal types on the speaker output, the extended
// control block (a device switch and a gain), Type III and raw-data settings gated per rate.
TEST_F(Uac2Hal, VendorDeviceGoldenModel) {
    Plug("uac2-vendor");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Uac2AudioHal* hal = HalOf(m_common);
    ASSERT_NE(hal, nullptr);
    // Feature unit 2: mute and volume from bmaControls, then the device switch (kind 18) and the
    // gain (a second volume) from the extended block. Output terminal 3: one connector per terminal
    // type (SPK, HP, S/PDIF) behind the terminal-type control.
    EXPECT_EQ(DescribeUnits(hal),
              "unit 1 kind 2: [1 kind 0]\n"
              "unit 2 kind 6 <- 1: [5 kind 3 <- 1] [4 kind 18 <- 5] [3 kind 3 <- 4] [2 kind 2 <- 3]\n"
              "unit 3 kind 3 <- 2: [9 kind 13 <- 2] [8 kind 1 <- 9] [7 kind 1 <- 9] [6 kind 1 <- 9]\n"
              "unit 4 kind 2: [10 kind 0]\n"
              "unit 5 kind 6 <- 4: [12 kind 3 <- 10] [11 kind 2 <- 12]\n"
              "unit 6 kind 3 <- 5: [13 kind 1 <- 11]\n"
              "unit 40 kind 10: [0 kind 12]\n");
    // Type III: Dolby Digital and WMA Pro at every rate; raw data (DSD) only at the rates where the
    // device declares setting 4 valid.
    EXPECT_EQ(DescribeEngines(m_common),
              "engine 0 render type 1 clock 0 path 6 9 2 3 4 5 1 7 8\n" + kPcm24Setting1 + kPcm16Setting2 +
              "  alt 3 48000 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 48000 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 3 44100 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 44100 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 3 88200 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 88200 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 3 96000 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 96000 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 3 176400 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 176400 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 3 192000 16/16 align 4 mask 0x3 sub 0x92\n"
              "  alt 3 192000 16/16 align 4 mask 0x3 sub 0x164\n"
              "  alt 4 88200 32/32 align 8 mask 0x3 sub 0xa5e7\n"
              "  alt 4 176400 32/32 align 8 mask 0x3 sub 0xa5e7\n"
              "engine 1 capture type 6 clock 0 path 13 11 12 10\n" + kPcm24Setting1);
}
