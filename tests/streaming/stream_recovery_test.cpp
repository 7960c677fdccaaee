// Error recovery of the UAC 1.0 streams on the simulated bus: packet faults (one now and then, or a
// run of them), transfers cancelled by someone else, a port reset that one stream's recovery sends
// while the other stream runs, and a high-bandwidth capture endpoint at high speed.
#include "streaming/stream_machine.h"

#include "driver/engine/uac1/Uac1Streams.h"

#include <sim/usb_bus.h>

namespace {

using sim::machine::kMillisecond;
using sim::machine::kSecond;
using stream_test::StreamMachine;
using stream_test::TestClient;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;

// Channel 0 of the device's capture ramp arrives as consecutive values (16-bit wrap): nothing lost
// or repeated. Answers the first break.
::testing::AssertionResult ContiguousRamp(const std::vector<int32_t>& captured) {
    for (size_t i = 1; i < captured.size(); ++i) {
        if (static_cast<int16_t>(captured[i] - captured[i - 1]) != 1) {
            return ::testing::AssertionFailure() << "break at frame " << i << ": " << captured[i - 1] << " then "
                                                 << captured[i];
        }
    }
    return ::testing::AssertionSuccess();
}

class StreamRecoveryTest : public StreamMachine {
protected:
    // A render and a capture client streaming 48 kHz 16-bit on the started device.
    void StartBoth(TestClient& render, TestClient& capture) {
        ASSERT_EQ(render.Begin(FindFormat(Stream(0), 48000, 16)), STATUS_SUCCESS);
        ASSERT_EQ(capture.Begin(FindFormat(Stream(1), 48000, 16)), STATUS_SUCCESS);
    }
};

struct PacketFaultCase {
    const char* name;
    ULONG engine;
    uint8_t endpoint;
    bool run;  // three failing frames in a row, else one packet in 250
    ULONG recoveries;
};

class StreamPacketFaults : public StreamRecoveryTest, public testing::WithParamInterface<PacketFaultCase> {};

// A packet that fails now and then is counted and the stream goes on; a run of failing packets
// costs one recovery, announced by a FormatChanged notice before the restart.
TEST_P(StreamPacketFaults, OneFailedPacketIsCountedARunOfThemRecoversOnce) {
    const PacketFaultCase& c = GetParam();
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(c.engine);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    sim::machine::RunFor(50 * kMillisecond);
    const uint64_t frame = sim::usb::CurrentFrame() + 20;
    if (c.run) {
        Device().AddPacketFault({.endpoint = c.endpoint, .frames = {frame, frame + 1, frame + 2}});
    } else {
        Device().AddPacketFault({.endpoint = c.endpoint, .everyNth = 250});
    }
    const uint64_t owned = client.OwnedFormatChanges();
    sim::machine::RunFor(kSecond);
    Device().ClearFaults();
    sim::machine::RunFor(200 * kMillisecond);
    EXPECT_EQ(stream->Recoveries(), c.recoveries);
    EXPECT_EQ(client.OwnedFormatChanges(), owned + c.recoveries);
    if (!c.run) {
        EXPECT_GE(stream->IsolatedPacketErrors(), 3u);
    }
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    EXPECT_EQ(stream->PendingTransfers(), stream->SlotsInUse());
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    if (c.endpoint == kRenderEndpoint) {
        // Only the failed packets' frames are missing at the device: 48 frames each.
        const sim::usb::IsoStatistics stats = sim::usb::EndpointStatistics(m_port, kRenderEndpoint);
        EXPECT_EQ(Audio().Render(kRenderInterface)->Frames() + stats.packetErrors * 48, client.FramesWritten());
    } else {
        EXPECT_GT(client.Captured().size(), 48000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamPacketFaults,
                         testing::Values(PacketFaultCase{"RenderIsolated", 0, kRenderEndpoint, false, 0},
                                         PacketFaultCase{"RenderRun", 0, kRenderEndpoint, true, 1},
                                         PacketFaultCase{"CaptureIsolated", 1, kCaptureEndpoint, false, 0},
                                         PacketFaultCase{"CaptureRun", 1, kCaptureEndpoint, true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Transfers cancelled by someone else while the stream runs are an error: the stream recovers
// instead of running dry. The other stream is not disturbed.
TEST_F(StreamRecoveryTest, AnUnrequestedCancellationRecovers) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    TestClient render(Stream(0), ClientKind::WaveStream);
    TestClient capture(Stream(1), ClientKind::WaveStream);
    ASSERT_NO_FATAL_FAILURE(StartBoth(render, capture));
    sim::machine::RunFor(100 * kMillisecond);
    for (ULONG engine : {1u, 0u}) {
        SCOPED_TRACE(engine);
        UsbAudioStream* stream = Stream(engine);
        const ULONG recoveries = stream->Recoveries();
        ASSERT_GT(sim::usb::CancelEndpointTransfers(m_port, engine == 0 ? kRenderEndpoint : kCaptureEndpoint), 0u);
        const uint64_t written = render.FramesWritten();
        const size_t captured = capture.Captured().size();
        sim::machine::RunFor(400 * kMillisecond);
        EXPECT_EQ(stream->Recoveries(), recoveries + 1);
        EXPECT_EQ(stream->PendingTransfers(), stream->SlotsInUse());
        EXPECT_GT(render.FramesWritten(), written + 48000 / 10);
        EXPECT_GT(capture.Captured().size(), captured + 48000 / 10);
    }
    EXPECT_EQ(Stream(0)->Recoveries() + Stream(1)->Recoveries(), 2u);
    ASSERT_EQ(render.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(capture.Stop(), STATUS_SUCCESS);
    render.Leave();
    capture.Leave();
}

// The render stream's recovery finds the port answering NO_SUCH_DEVICE once and resets it. The bus
// resets a port only with none of its client's requests outstanding: the capture stream drains
// before and goes on after, without a recovery of its own.
TEST_F(StreamRecoveryTest, APortResetDrainsTheOtherStreamAndBothGoOn) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    TestClient render(Stream(0), ClientKind::WaveStream);
    TestClient capture(Stream(1), ClientKind::WaveStream);
    ASSERT_NO_FATAL_FAILURE(StartBoth(render, capture));
    sim::machine::RunFor(100 * kMillisecond);
    sim::usb::FailPortRequests(m_port, IOCTL_INTERNAL_USB_GET_PORT_STATUS, STATUS_NO_SUCH_DEVICE, 1);
    const uint64_t frame = sim::usb::CurrentFrame() + 5;
    Device().AddPacketFault({.endpoint = kRenderEndpoint, .frames = {frame, frame + 1, frame + 2}});
    sim::machine::RunFor(kSecond);
    EXPECT_EQ(sim::usb::PortResets(m_port), 1u);
    EXPECT_EQ(Stream(0)->Recoveries(), 1u);
    EXPECT_EQ(Stream(1)->Recoveries(), 0u);
    const uint64_t written = render.FramesWritten();
    const size_t captured = capture.Captured().size();
    sim::machine::RunFor(300 * kMillisecond);
    EXPECT_GT(render.FramesWritten(), written + 48000 / 5);
    EXPECT_GT(capture.Captured().size(), captured + 48000 / 5);
    ASSERT_EQ(render.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(capture.Stop(), STATUS_SUCCESS);
    render.Leave();
    capture.Leave();
    // The HAL was never started here, so the power-up after the reset does not start it either:
    // no status request is left with the bus.
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
}

// The catalog's UAC 1.0 descriptors on a high-speed port whose capture endpoint serves one packet
// per millisecond in two transactions of 150 bytes (wMaxPacketSize 0x0800 | 150).
std::unique_ptr<sim::usb::Device> HighBandwidthCapture() {
    auto base = sim::usb::CreateCatalogDevice("uac1-nochip");
    sim::usb::DeviceSetup setup;
    setup.name = "uac1-high-bandwidth";
    setup.speed = sim::usb::Speed::High;
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    std::vector<uint8_t> configuration(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    for (size_t p = 0; p + 7 <= configuration.size() && configuration[p] >= 2; p += configuration[p]) {
        if (configuration[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[p + 2] == kCaptureEndpoint) {
            configuration[p + 4] = 150;
            configuration[p + 5] = 0x08;
            configuration[p + 6] = 4;
        }
    }
    setup.configurations.push_back(std::move(configuration));
    setup.strings = {{.index = 0x50, .text = u"R7U2"}};
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

TEST_F(StreamRecoveryTest, AHighBandwidthCaptureEndpointGetsTheRoomOfAllItsTransactions) {
    PlugDevice(HighBandwidthCapture());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* stream = static_cast<Uac1CaptureStream*>(Stream(1));
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(stream->PacketsPerMs(), 1u);
    EXPECT_EQ(stream->FramesPerPacket(), 300u / 4);
    sim::machine::RunFor(kSecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    const std::vector<int32_t> captured = client.Captured();
    EXPECT_GE(captured.size(), 48000u - 48000u / 20);
    EXPECT_TRUE(ContiguousRamp(captured));
    EXPECT_EQ(stream->Recoveries(), 0u);
}

}  // namespace
