// The ASIO road end to end: the real driver module on a catalog device, the ASIO library registered
// and loaded by an ASIO host through COM in a user process. The host's per-channel ramps must reach
// the device sink sample-exact from the first sample of every start (the first one, one after a
// stop, and the streams' restart after a power-down), and the device's capture ramp must fill the
// host's input halves.
#include <sim/asio_host.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_ramp_check.h>
#include <sim/user.h>
#include <win/win32.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using sim::hosts::AsioHost;
using sim::hosts::AsioHostOptions;

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr sim::machine::Time kMs = sim::machine::kSecond / 1000;

typedef HRESULT(STDMETHODCALLTYPE* Export)();

struct HostCase {
    const char* name;
    double rate;
    LONG frames;  // 0: the driver's preferred size
};

class AsioHostRoad : public testing::TestWithParam<HostCase> {
protected:
    void SetUp() override {
        ASSERT_EQ(sim::pnp::LoadDriver(KV_DRIVER_PATH, u"KV-380D", &m_driver), STATUS_SUCCESS);
        m_port = sim::usb::PlugCatalogDevice("uac1-klq864");
        ASSERT_NE(m_port, nullptr);
        m_node = sim::usb::NodeOf(m_port);
        ASSERT_EQ(sim::pnp::AddDevice(m_driver, m_node), STATUS_SUCCESS);
        m_added = true;
        ASSERT_EQ(sim::pnp::StartDevice(m_node), STATUS_SUCCESS);
        m_process = sim::user::CreateProcess("asio host");
        m_scope = std::make_unique<sim::user::ProcessScope>(m_process);
        HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")))(), S_OK);
        FreeLibrary(module);
        std::vector<sim::hosts::AsioDriverEntry> drivers = sim::hosts::RegisteredAsioDrivers();
        ASSERT_EQ(drivers.size(), 1u);
        m_host = std::make_unique<AsioHost>();
        ASSERT_EQ(m_host->Load(drivers[0].clsid), S_OK);
    }
    void TearDown() override {
        m_host.reset();
        // After Release the library is gone with its threads, handles and kernel client.
        EXPECT_EQ(sim::user::LoadedModuleCount(), 0u);
        if (m_process != nullptr) {
            EXPECT_EQ(sim::user::RunningThreadCount(m_process), 0u);
            EXPECT_EQ(sim::user::OpenHandleCount(m_process), 0u);
        }
        m_scope.reset();
        if (m_process != nullptr) {
            EXPECT_EQ(sim::user::DestroyProcess(m_process), 0u);
        }
        if (m_added) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_node), STATUS_SUCCESS);
        }
        if (m_port != nullptr) sim::usb::RemovePort(m_port);
        if (m_driver != nullptr) sim::pnp::UnloadDriver(m_driver);
    }

    sim::usb::RenderSink& Sink() { return *sim::usb::DeviceOf(m_port).Audio()->Render(kRenderInterface); }
    sim::usb::CaptureSource& Source() { return *sim::usb::DeviceOf(m_port).Audio()->Capture(kCaptureInterface); }

    // The host's ramps as the 16-bit sink holds them (see RampValue), starting at ramp frame `first`.
    static sim::usb::RampSpec HostRamp(uint64_t first) {
        sim::usb::RampSpec spec;
        spec.start = static_cast<int64_t>(first);
        spec.channelOffset = 4096;
        spec.bits = 16;
        return spec;
    }
    // Sink frames [from, to) (to 0: all), interleaved.
    std::vector<int32_t> SinkFrames(uint64_t from, uint64_t to = 0) {
        std::vector<int32_t> all = Sink().Interleaved();
        const size_t channels = Sink().Format().channels;
        const size_t end = to == 0 ? all.size() : std::min(all.size(), to * channels);
        const size_t begin = std::min(end, from * channels);
        return std::vector<int32_t>(all.begin() + static_cast<std::ptrdiff_t>(begin),
                                    all.begin() + static_cast<std::ptrdiff_t>(end));
    }
    // The host's ramp frame that its first half after the next start carries: every switch
    // fills N frames of every output.
    uint64_t NextHostFrame() const { return static_cast<uint64_t>(m_host->Switches()) * m_host->BufferFrames(); }

    // Buffers for every channel at the case's rate and size, then start.
    void SetupAndStart(const HostCase& c) {
        AsioHostOptions options;
        options.sampleRate = c.rate;
        options.bufferFrames = c.frames;
        ASSERT_EQ(m_host->Setup(options), ASE_OK);
        ASSERT_EQ(m_host->Start(), ASE_OK);
    }
    void ExpectSwitchesRight() {
        EXPECT_TRUE(m_host->IndicesAlternate());
        EXPECT_TRUE(m_host->PositionsGrewByN());
        EXPECT_TRUE(m_host->UsedTimeInfo());
        EXPECT_EQ(m_host->TimeInfoFlagsSeen() & 7u, 7u);  // system time, sample position and rate valid
    }

    sim::pnp::Driver* m_driver = nullptr;
    sim::usb::Port* m_port = nullptr;
    sim::pnp::DeviceNode* m_node = nullptr;
    bool m_added = false;
    sim::user::Process* m_process = nullptr;
    std::unique_ptr<sim::user::ProcessScope> m_scope;
    std::unique_ptr<AsioHost> m_host;
};

// First start, then stop and start again: each stretch the sink received begins with the host's
// first frame of that start (after the device's silence) and continues without a gap.
TEST_P(AsioHostRoad, RampReachesTheSinkFromTheFirstSampleOfEveryStart) {
    const HostCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetupAndStart(c));
    sim::machine::RunFor(200 * kMs);
    ASSERT_EQ(m_host->Stop(), ASE_OK);
    const uint64_t firstStretch = Sink().Frames();
    const sim::usb::RampReport first = sim::usb::CheckRamp(SinkFrames(0, firstStretch), 2, HostRamp(0));
    EXPECT_TRUE(first.Ok()) << first.text;
    EXPECT_GT(first.rampFrames, static_cast<uint64_t>(c.rate) / 10);

    const uint64_t restartFrame = NextHostFrame();
    const int64_t switchesBefore = m_host->Switches();
    ASSERT_EQ(m_host->Start(), ASE_OK);
    sim::machine::RunFor(200 * kMs);
    ASSERT_EQ(m_host->Stop(), ASE_OK);
    const sim::usb::RampReport second = sim::usb::CheckRamp(SinkFrames(firstStretch), 2, HostRamp(restartFrame));
    EXPECT_TRUE(second.Ok()) << second.text;
    EXPECT_GT(second.rampFrames, static_cast<uint64_t>(c.rate) / 10);
    ExpectSwitchesRight();
    // The sample position starts over with every start.
    EXPECT_EQ(m_host->LastSamplePosition(), static_cast<uint64_t>(m_host->Switches() - switchesBefore) * m_host->BufferFrames());
    EXPECT_EQ(m_host->Dispose(), ASE_OK);
}

// The device's capture ramp fills the input halves the host is handed, and the outputs still
// play; no switch repeats an index and the sample position grows by one buffer per switch.
TEST_P(AsioHostRoad, CaptureRampFillsTheInputHalves) {
    const HostCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetupAndStart(c));
    sim::machine::RunFor(300 * kMs);
    ASSERT_EQ(m_host->Stop(), ASE_OK);
    ExpectSwitchesRight();

    const std::vector<std::vector<int32_t>> recorded = m_host->Recorded();
    ASSERT_EQ(recorded.size(), 2u);
    std::vector<int32_t> interleaved;
    for (size_t f = 0; f < recorded[0].size(); ++f) {
        for (const std::vector<int32_t>& channel : recorded) interleaved.push_back(channel[f] >> 16);
    }
    sim::usb::RampSpec spec = sim::usb::RampOfSource(Source().Config(), Source().Format());
    spec.fromStart = false;
    const sim::usb::RampReport captured = sim::usb::CheckRamp(interleaved, 2, spec);
    EXPECT_TRUE(captured.Ok()) << captured.text;
    EXPECT_GT(captured.rampFrames, static_cast<uint64_t>(c.rate) / 5);
    const sim::usb::RampReport played = sim::usb::CheckRamp(SinkFrames(0), 2, HostRamp(0));
    EXPECT_TRUE(played.Ok()) << played.text;
}

// A power-down while streaming stops the streams and the host hears nothing; the return to D0
// restarts them, and what the sink receives from then on is again one clean ramp.
TEST_P(AsioHostRoad, RampContinuesCleanAfterAResumeFromD3) {
    const HostCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetupAndStart(c));
    sim::machine::RunFor(150 * kMs);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_node, PowerDeviceD3), STATUS_SUCCESS);
    const uint64_t before = Sink().Frames();
    const int64_t switches = m_host->Switches();
    sim::machine::RunFor(50 * kMs);
    EXPECT_EQ(Sink().Frames(), before);
    EXPECT_EQ(m_host->Switches(), switches);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_node, PowerDeviceD0), STATUS_SUCCESS);
    sim::machine::RunFor(150 * kMs);
    ASSERT_EQ(m_host->Stop(), ASE_OK);

    const sim::usb::RampReport early = sim::usb::CheckRamp(SinkFrames(0, before), 2, HostRamp(0));
    EXPECT_TRUE(early.Ok()) << early.text;
    sim::usb::RampSpec resumed = HostRamp(0);
    resumed.fromStart = false;
    const sim::usb::RampReport late = sim::usb::CheckRamp(SinkFrames(before), 2, resumed);
    EXPECT_TRUE(late.Ok()) << late.text;
    EXPECT_GT(late.rampFrames, static_cast<uint64_t>(c.rate) / 10);
    ExpectSwitchesRight();
    EXPECT_EQ(m_host->Dispose(), ASE_OK);
}

// 48 kHz with its preferred 480 frames; 44.1 kHz, whose transfers carry 44 or 45 frames, with the
// preferred size and with the smallest buffer, whose lead does not fit into one host buffer.
INSTANTIATE_TEST_SUITE_P(Rates, AsioHostRoad,
                         testing::Values(HostCase{"48k_preferred", 48000, 0}, HostCase{"44k_preferred", 44100, 0},
                                         HostCase{"48k_256", 48000, 256}, HostCase{"44k_smallest", 44100, 88},
                                         HostCase{"48k_smallest", 48000, 96}),
                         [](const testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

class AsioHostHabits : public AsioHostRoad {};

// The device is surprise-removed under a streaming host: the host hears a reset request, and what
// it does next (stop, start again, dispose, close) answers with errors, not a fault, while the
// worker may still be inside a buffer switch. The rings stay mapped until the host lets them go.
TEST_F(AsioHostHabits, HostRestartsAfterSurpriseRemoval) {
    ASSERT_NO_FATAL_FAILURE(SetupAndStart(HostCase{"48k", 48000, 256}));
    sim::machine::RunFor(60 * kMs);
    sim::usb::UnplugDevice(m_port);
    ASSERT_EQ(sim::pnp::SurpriseRemoveDevice(m_node), STATUS_SUCCESS);
    EXPECT_TRUE(sim::machine::RunUntil([&] { return m_host->ResetRequested(); }, 100 * kMs));
    EXPECT_EQ(m_host->Stop(), ASE_OK);
    EXPECT_EQ(m_host->Start(), ASE_NotPresent);
    EXPECT_EQ(m_host->Stop(), ASE_OK);
    EXPECT_EQ(m_host->Dispose(), ASE_OK);
    m_host.reset();
}

}  // namespace

namespace {

// A rate change asked for while the buffers exist would leave the host told one rate and the
// rings running at another: it is refused, and the rate the host reads stays the device's,
// across a stop and a start too. The same rate is no change and is accepted.
TEST_F(AsioHostHabits, RateChangeWithBuffersIsRefused) {
    ASSERT_NO_FATAL_FAILURE(SetupAndStart(HostCase{"48k", 48000, 480}));
    EXPECT_NE(m_host->Driver()->setSampleRate(44100), ASE_OK);
    EXPECT_EQ(m_host->Driver()->setSampleRate(48000), ASE_OK);
    ASSERT_EQ(m_host->Stop(), ASE_OK);
    ASSERT_EQ(m_host->Start(), ASE_OK);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(m_host->Driver()->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000);
    sim::machine::RunFor(100 * kMs);
    ASSERT_EQ(m_host->Stop(), ASE_OK);
    EXPECT_EQ(Sink().Format().rateHz, 48000u);
    EXPECT_EQ(m_host->Dispose(), ASE_OK);
}

}  // namespace
