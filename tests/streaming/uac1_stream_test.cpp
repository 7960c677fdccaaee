// UAC 1.0 render and capture streams end to end: clients register, open, start, play and record a
// per-channel ramp over the simulated bus, stop and close; the device's sink and source see every
// sample exactly once and in order.
#include "streaming/stream_machine.h"

#include "driver/engine/uac1/Uac1Streams.h"

#include <sim/io.h>
#include <sim/usb_bus.h>

namespace {

using sim::machine::kMillisecond;
using sim::machine::kSecond;
using stream_test::RampValue;
using stream_test::StreamMachine;
using stream_test::TestClient;

class Uac1StreamTest : public StreamMachine {};

// The sink holds the client's ramp from its first frame on: nothing lost, repeated or reordered.
::testing::AssertionResult SinkHoldsRamp(const sim::usb::RenderSink& sink, uint32_t base, uint64_t frames) {
    const sim::usb::StreamFormat format = sink.Format();
    if (sink.StoredFrames() < frames) {
        return ::testing::AssertionFailure() << "sink holds " << sink.StoredFrames() << " frames, expected " << frames;
    }
    for (uint64_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < format.channels; ++c) {
            const int32_t want = RampValue(base, f, c, format.subslotBytes);
            if (sink.Sample(f, c) != want) {
                return ::testing::AssertionFailure() << "frame " << f << " channel " << c << ": " << sink.Sample(f, c)
                                                     << ", expected " << want;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

struct RenderCase {
    ULONG rate;
    WORD bits;
};

TEST_F(Uac1StreamTest, RenderRampReachesTheSinkSampleExactForSixtySeconds) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    for (const RenderCase& c : {RenderCase{44100, 16}, RenderCase{48000, 24}}) {
        SCOPED_TRACE(c.rate);
        UsbAudioStream* stream = Stream(0);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(stream->GetDirection(), StreamDirectionRender);
        sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
        ASSERT_NE(sink, nullptr);
        sink->Clear();

        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(FindFormat(stream, c.rate, c.bits)), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        EXPECT_EQ(stream->StreamState(), UsbStreamOpen);
        EXPECT_EQ(Audio().StreamRate(kRenderInterface), c.rate);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
        sim::machine::RunFor(60 * kSecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        EXPECT_EQ(stream->StreamState(), UsbStreamOpen);
        EXPECT_EQ(stream->PendingTransfers(), 0u);
        ASSERT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
        ASSERT_EQ(client.Unregister(), STATUS_SUCCESS);

        // Every frame the client wrote reached the device, and about 60 s of them.
        EXPECT_GE(client.FramesWritten(), 60ull * c.rate);
        EXPECT_EQ(sink->Frames(), client.FramesWritten());
        EXPECT_TRUE(SinkHoldsRamp(*sink, 0, client.FramesWritten()));
        EXPECT_EQ(sink->PartialFramePackets(), 0u);
        EXPECT_EQ(sink->OversizePackets(), 0u);
        const sim::usb::IsoStatistics stats = sim::usb::EndpointStatistics(m_port, 0x01);
        EXPECT_EQ(stats.gaps, 0u);
        EXPECT_EQ(stats.lateTransfers, 0u);
        EXPECT_EQ(stats.refusedTransfers, 0u);
        sim::usb::ClearStatistics(m_port);
    }
}

TEST_F(Uac1StreamTest, FortyFourPointOneKilohertzSendsNinePacketsOf44FramesThenOneOf45) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    ASSERT_NE(stream, nullptr);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    auto* uac1 = static_cast<Uac1PlaybackStream*>(stream);
    EXPECT_EQ(uac1->WholeFramesPerPacket(), 44u);
    EXPECT_EQ(uac1->PacketsPerMs(), 1u);
    // 48 kHz stereo 16-bit: 40 ms of staging is 7680 bytes; 44.1 kHz: 7056 bytes.
    EXPECT_EQ(uac1->StagingBytes(), 7056u);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    // 441 frames per 10 packets: the packets the sink saw carry 44 frames, every tenth 45.
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    EXPECT_EQ(sink->Frames() % 441, 0u);
    EXPECT_EQ(sink->Frames() / 441 * 10, sink->Packets());
}

// Packet sizes in frames as the sink received them, with the microframe of each packet.
std::vector<std::pair<uint64_t, uint64_t>> SinkPackets(const sim::usb::RenderSink& sink) {
    std::vector<std::pair<uint64_t, uint64_t>> packets;  // (microframe, frames)
    for (uint64_t f = 0; f < sink.StoredFrames(); ++f) {
        const uint64_t micro = sink.MicroframeOf(f).value_or(~0ull);
        if (packets.empty() || packets.back().first != micro) packets.emplace_back(micro, 0);
        ++packets.back().second;
    }
    return packets;
}

// 44.1 kHz at full speed: nine packets of 44 frames and one of 45, from the first packet on and
// again from the first packet after a recovery's restart.
TEST_F(Uac1StreamTest, FortyFourPointOnePatternStartsAtTheStartAndAfterARestart) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    sim::machine::RunFor(55 * kMillisecond);
    const uint64_t frame = sim::usb::CurrentFrame() + 3;
    Device().AddPacketFault({.endpoint = 0x01, .frames = {frame, frame + 1, frame + 2}});
    sim::machine::RunFor(400 * kMillisecond);
    EXPECT_EQ(stream->Recoveries(), 1u);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();

    const auto packets = SinkPackets(*Audio().Render(kRenderInterface));
    // The restart begins after the longest pause between packets.
    ASSERT_GE(packets.size(), 2u);
    size_t restart = 1;
    for (size_t i = 1; i < packets.size(); ++i) {
        if (packets[i].first - packets[i - 1].first > packets[restart].first - packets[restart - 1].first) restart = i;
    }
    ASSERT_GE(packets.size(), restart + 20);
    for (size_t first : {size_t(0), restart}) {
        SCOPED_TRACE(first);
        for (size_t k = 0; k < 20; ++k) EXPECT_EQ(packets[first + k].second, k % 10 == 9 ? 45u : 44u) << k;
    }
}

// The 32-bit frame counter wraps while render and capture stream: both stay sample-exact. A start
// frame just one ahead, given late in a frame, would have its first packet late: the stream moves it.
TEST_F(Uac1StreamTest, StreamsStaySampleExactAcrossTheFrameCounterWrap) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    struct OffsetScope {
        ~OffsetScope() { sim::usb::SetFrameCounterOffset(0); }
    } scope;
    sim::usb::SetFrameCounterOffset(0xFFFFFFFFu - 300 - sim::usb::CurrentFrame());
    UsbAudioStream* render = Stream(0);
    UsbAudioStream* capture = Stream(1);
    TestClient out(render, ClientKind::WaveStream);
    TestClient in(capture, ClientKind::WaveStream);
    ASSERT_EQ(out.Register(FindFormat(render, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(out.SetFormat(), STATUS_SUCCESS);
    sim::machine::RunFor(kMillisecond - sim::machine::Now() % kMillisecond + 7 * kMillisecond / 8);
    ULONG ms = 0;
    ASSERT_EQ(render->StartClient(out.Id(), sim::usb::CurrentFrame() + 1, &ms, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(in.Begin(FindFormat(capture, 48000, 16)), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond);
    EXPECT_LT(sim::usb::CurrentFrame(), 1000u) << "the counter wrapped";
    ASSERT_EQ(out.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(in.Stop(), STATUS_SUCCESS);
    out.Leave();
    in.Leave();
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_EQ(sink.Frames(), out.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(sink, 0, out.FramesWritten()));
    const sim::usb::IsoStatistics stats = sim::usb::Statistics(m_port);
    EXPECT_EQ(stats.lateTransfers + stats.gaps + stats.refusedTransfers + stats.packetErrors, 0u);
    const std::vector<int32_t> captured = in.Captured();
    ASSERT_GE(captured.size(), 48000u - 48000u / 10);
    for (size_t i = 1; i < captured.size(); ++i) {
        ASSERT_EQ(static_cast<int16_t>(captured[i] - captured[i - 1]), 1) << "at frame " << i;
    }
}

TEST_F(Uac1StreamTest, CaptureRampReachesTheClientSampleExactForSixtySeconds) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    for (ULONG rate : {44100u, 48000u}) {
        SCOPED_TRACE(rate);
        UsbAudioStream* stream = Stream(1);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(stream->GetDirection(), StreamDirectionCapture);
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Begin(FindFormat(stream, rate, 16)), STATUS_SUCCESS);
        sim::machine::RunFor(60 * kSecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();

        // Channel 0 of the device's ramp: consecutive values, wrapping in 16 bits.
        const std::vector<int32_t> captured = client.Captured();
        ASSERT_GE(captured.size(), 60ull * rate - rate / 10);
        for (size_t i = 1; i < captured.size(); ++i) {
            ASSERT_EQ(static_cast<int16_t>(captured[i] - captured[i - 1]), 1) << "at frame " << i;
        }
    }
}

TEST_F(Uac1StreamTest, ACaptureClientAskingForTooLittleInFlightGetsTenMilliseconds) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(1);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 48000, 16), 1, 2), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->SlotsInUse(), 10u);
    EXPECT_EQ(stream->FormatOwner()->TransferCount, 10u);
    client.Leave();
}

}  // namespace

namespace {

// The catalog's UAC 1.0 descriptors on a high-speed port, with the render endpoint's bInterval.
std::unique_ptr<sim::usb::Device> HighSpeedUac1(uint8_t interval) {
    auto base = sim::usb::CreateCatalogDevice("uac1-nochip");
    sim::usb::DeviceSetup setup;
    setup.name = "uac1-high-speed";
    setup.speed = sim::usb::Speed::High;
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    std::vector<uint8_t> configuration(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    for (size_t p = 0; p + 7 <= configuration.size() && configuration[p] >= 2; p += configuration[p]) {
        if (configuration[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[p + 2] == 0x01) {
            configuration[p + 6] = interval;
        }
    }
    setup.configurations.push_back(std::move(configuration));
    setup.strings = {{.index = 0x50, .text = u"R7U2"}};
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

struct HighSpeedCase {
    uint8_t interval;
    ULONG packetsPerMs;  // 0: refused
};

class HighSpeedRender : public StreamMachine, public testing::WithParamInterface<HighSpeedCase> {};

TEST_P(HighSpeedRender, PacketsPerMillisecondFollowTheInterval) {
    PlugDevice(HighSpeedUac1(GetParam().interval));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    if (GetParam().packetsPerMs == 0) {
        // No whole number of packets per millisecond: the stream cannot be scheduled.
        EXPECT_EQ(client.SetFormat(), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
        client.Leave();
        return;
    }
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->PacketsPerMs(), GetParam().packetsPerMs);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(2 * kSecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_EQ(sink.Frames(), client.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(sink, 0, client.FramesWritten()));
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).gaps, 0u);
}

INSTANTIATE_TEST_SUITE_P(Intervals, HighSpeedRender,
                         testing::Values(HighSpeedCase{1, 8}, HighSpeedCase{4, 1}, HighSpeedCase{5, 0}),
                         [](const auto& info) { return "Interval" + std::to_string(info.param.interval); });

}  // namespace
