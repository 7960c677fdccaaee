// UAC 2.0 streams end to end on the simulated bus: the render stream follows the device clock
// through the explicit feedback endpoint (the device's FIFO neither runs dry nor overflows), the
// ramp reaches the sink sample-exact, and the capture ramp reaches the client sample-exact.
#include "streaming/uac2_stream_machine.h"

#include "uac2_descriptor_sets.h"

#include <sim/pool.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>

namespace {

using sim::machine::kMillisecond;
using sim::machine::kSecond;
using stream_test::RampValue;
using stream_test::TestClient;
using stream_test::Uac2StreamMachine;

class Uac2StreamTest : public Uac2StreamMachine {};

::testing::AssertionResult SinkHoldsRamp(const sim::usb::RenderSink& sink, uint64_t frames) {
    const sim::usb::StreamFormat format = sink.Format();
    if (sink.StoredFrames() < frames) return ::testing::AssertionFailure() << "sink holds " << sink.StoredFrames();
    for (uint64_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < format.channels; ++c) {
            const int32_t want = RampValue(0, f, c, format.subslotBytes);
            if (sink.Sample(f, c) != want) {
                return ::testing::AssertionFailure() << "frame " << f << " channel " << c << ": " << sink.Sample(f, c)
                                                     << ", expected " << want;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

struct FeedbackCase {
    const char* device;
    ULONG rate;
    int32_t ppm;
    bool driverHal = false;  // the driver's UAC 2.0 HAL builds the streams, not the fixture's
};

class Uac2FeedbackLoop : public Uac2StreamMachine, public ::testing::WithParamInterface<FeedbackCase> {};

// Sixty seconds against a device clock off by the case's ppm: a 4 ms FIFO that starts half full
// never runs dry or over, and its level moves by little more than one millisecond's packets.
TEST_P(Uac2FeedbackLoop, DeviceFifoStaysBoundedForSixtySeconds) {
    const FeedbackCase c = GetParam();
    if (c.driverHal) UseDriverHal();
    ASSERT_EQ(StartDevice(c.device), STATUS_SUCCESS);
    Audio().SetClockOffsetPpm(c.ppm);
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    ASSERT_NE(sink, nullptr);
    const uint32_t fifo = c.rate / 250;  // 4 ms
    sink->SetFifo({.depthFrames = fifo, .startFrames = fifo / 2});
    sink->SetCapacityFrames(61ull * c.rate);
    Uac2PlaybackStream* stream = Playback();
    ASSERT_NE(stream, nullptr);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, c.rate, 32)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), c.rate);
    EXPECT_TRUE(stream->HasFeedbackPipe());
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(60 * kSecond);
    const ULONG measured = stream->MeasuredMilliHz();
    const sim::usb::FifoStatistics f = sink->Fifo();  // closing the stream restarts the device's
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();

    EXPECT_TRUE(f.running);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.overruns, 0u);
    EXPECT_LE(f.maxLevel - f.minLevel, int64_t(fifo * 3 / 8)) << f.minLevel << " .. " << f.maxLevel;
    const double expected = c.rate * (1.0 + c.ppm * 1e-6);
    EXPECT_NEAR(measured / 1000.0, expected, 0.2);
    EXPECT_GE(client.FramesWritten(), 59ull * c.rate);
    EXPECT_EQ(sink->Frames(), client.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(*sink, client.FramesWritten()));
    EXPECT_EQ(sink->PartialFramePackets(), 0u);
    EXPECT_EQ(sink->OversizePackets(), 0u);
    const sim::usb::IsoStatistics data = sim::usb::EndpointStatistics(m_port, 0x01);
    EXPECT_EQ(data.refusedTransfers, 0u);
    EXPECT_EQ(data.lateTransfers, 0u);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x81).refusedTransfers, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, Uac2FeedbackLoop,
    ::testing::Values(FeedbackCase{"uac2", 48000, -100}, FeedbackCase{"uac2", 48000, 0}, FeedbackCase{"uac2", 48000, 100},
                      FeedbackCase{"uac2-fs", 44100, -100}, FeedbackCase{"uac2-fs", 44100, 0},
                      FeedbackCase{"uac2-fs", 44100, 100}, FeedbackCase{"uac2-b1", 96000, 100},
                      FeedbackCase{"uac2-b2", 48000, -100}, FeedbackCase{"uac2-b3", 44100, 100},
                      FeedbackCase{"uac2-b4", 48000, 100}, FeedbackCase{"uac2", 48000, -100, true},
                      FeedbackCase{"uac2", 48000, 0, true}, FeedbackCase{"uac2", 48000, 100, true},
                      FeedbackCase{"uac2-fs", 44100, -100, true}, FeedbackCase{"uac2-fs", 44100, 0, true},
                      FeedbackCase{"uac2-fs", 44100, 100, true}),
    [](const ::testing::TestParamInfo<FeedbackCase>& info) {
        std::string name = std::string(info.param.device) + "_" + std::to_string(info.param.rate) + "_" +
                           (info.param.ppm < 0 ? "minus" : "plus") + std::to_string(std::abs(info.param.ppm)) +
                           (info.param.driverHal ? "_driver_hal" : "");
        for (char& ch : name) {
            if (ch == '-') ch = '_';
        }
        return name;
    });

// The same device clock with the feedback held at the nominal rate: the FIFO runs dry, so the
// loop above is what keeps it fed.
TEST_F(Uac2StreamTest, WithoutFeedbackTheFifoOfAFastDeviceRunsDry) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    Audio().SetClockOffsetPpm(100);
    Audio().SetFeedbackOverride(0x60000);  // 6 frames per microframe: 48 kHz exactly
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    sink->SetFifo({.depthFrames = 96, .startFrames = 48});
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(20 * kSecond);
    EXPECT_EQ(Playback()->MeasuredRate(), 48000u);
    EXPECT_GT(sink->Fifo().underruns, 0u);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
}

// A device 1,000 Hz fast at full speed and 44.1 kHz asks for 45.1 frames a millisecond: packets of
// 45 and 46 frames fit the data buffers, and every frame arrives.
TEST_F(Uac2StreamTest, FeedbackAThousandHertzFastFillsPacketsPastTheNominalShare) {
    ASSERT_EQ(StartDevice("uac2-fs"), STATUS_SUCCESS);
    Audio().SetFeedbackOverride(0x0B4666);  // 45.1 frames per frame in 10.14
    Uac2PlaybackStream* stream = Playback();
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->FeedbackEntriesPerTransfer(), 10u);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond);
    EXPECT_EQ(stream->MeasuredRate(), 45099u);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    EXPECT_GT(sink->Frames(), 45000u);
    EXPECT_EQ(sink->Frames(), client.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(*sink, client.FramesWritten()));
    EXPECT_EQ(sink->OversizePackets(), 0u);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).refusedTransfers, 0u);
}

// High-speed feedback every microframe: a read carries eight entries per millisecond, a whole
// number of frames, so the bus takes every read and no recovery runs.
TEST_F(Uac2StreamTest, MicroframeFeedbackIsReadInWholeFrames) {
    ASSERT_EQ(StartDevice("uac2-b1"), STATUS_SUCCESS);
    Uac2PlaybackStream* stream = Playback();
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 48000, 32), 5, 4), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->FeedbackEntriesPerTransfer(), 40u);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(2 * kSecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    const sim::usb::IsoStatistics feedback = sim::usb::EndpointStatistics(m_port, 0x81);
    EXPECT_GT(feedback.transfers, 300u);
    EXPECT_EQ(feedback.refusedTransfers, 0u);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).lateTransfers, 0u);
}

// Open sets the clock source's rate with one SET CUR before the setting is selected.
TEST_F(Uac2StreamTest, OpenSetsTheClockSourceBeforeSelectingTheSetting) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    Device().ClearLog();
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 96000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    int clockAt = -1;
    int selectAt = -1;
    int index = 0;
    for (const sim::usb::LogEntry& e : Device().Log()) {
        printf("%s\n", e.text.c_str());
        if (!e.isRequest) continue;
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 1 && e.setup.wValue == 0x0100 &&
            (e.setup.wIndex >> 8) == stream_test::kClockEntity) {
            clockAt = index;
        }
        if (e.setup.bRequest == USB_REQUEST_SET_INTERFACE && e.setup.wIndex == kRenderInterface && e.setup.wValue == 2) {
            selectAt = index;
        }
        ++index;
    }
    EXPECT_GE(clockAt, 0);
    EXPECT_GT(selectAt, clockAt);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 96000u);
    client.Leave();
}

// One clock drives both directions: while playback runs at 48 kHz, capture opens at 48 kHz but not
// at 44.1 kHz (that would re-clock the device under playback); once playback has closed, capture
// takes 44.1 kHz.
TEST_F(Uac2StreamTest, StreamsOnOneClockShareItsRate) {
    UseDriverHal();
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    sink->SetFifo({.depthFrames = 192, .startFrames = 96});
    TestClient render(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(render.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(render.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(render.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);

    TestClient other(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(other.Register(FindFormat(Recording(), 44100, 16)), STATUS_SUCCESS);
    EXPECT_EQ(other.SetFormat(), STATUS_DEVICE_BUSY);
    other.Leave();
    TestClient same(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(same.Register(FindFormat(Recording(), 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(same.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(same.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 48000u);
    EXPECT_EQ(sink->Fifo().overruns, 0u);
    EXPECT_EQ(sink->Fifo().underruns, 0u);
    same.Leave();
    render.Leave();

    TestClient after(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(after.Register(FindFormat(Recording(), 44100, 16)), STATUS_SUCCESS);
    EXPECT_EQ(after.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(Audio().StreamRate(kCaptureInterface), 44100u);
    after.Leave();
}

// Descriptor sets that differ from the catalog in ordinary ways, through the driver's HAL: a fixed
// clock the host cannot set, and clusters without channel positions (mask 0). Playback reaches the
// device sample-exact and the capture ramp reaches the client sample-exact.
struct DescriptorSetCase {
    const char* set;
    bool masked;   // the formats carry channel positions
    bool capture;  // the set has a capture interface
};

class Uac2DescriptorSetStreams : public Uac2StreamMachine, public ::testing::WithParamInterface<DescriptorSetCase> {};

TEST_P(Uac2DescriptorSetStreams, PlayAndRecordSampleExact) {
    const DescriptorSetCase c = GetParam();
    const testdata::DescriptorSet* set = nullptr;
    for (const testdata::DescriptorSet& s : testdata::Uac2DescriptorSets()) {
        if (s.name == c.set) set = &s;
    }
    ASSERT_NE(set, nullptr);
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(set->descriptors, set->name);
    ASSERT_NE(loaded.device, nullptr) << loaded.error;
    UseDriverHal();
    PlugDevice(std::move(loaded.device));
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    StreamEngine* engine = Stream(0);
    ASSERT_EQ(engine->GetDirection(), StreamDirectionRender);
    TestClient render(static_cast<UsbAudioStream*>(engine), ClientKind::WaveStream);
    ASSERT_EQ(render.Register(FindFormat(engine, 48000, 16, c.masked)), STATUS_SUCCESS);
    ASSERT_EQ(render.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(render.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond / 2);
    render.Leave();
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    EXPECT_GT(render.FramesWritten(), 20000u);
    EXPECT_EQ(sink->Frames(), render.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(*sink, render.FramesWritten()));
    if (!c.capture) return;

    auto* recording = static_cast<UsbAudioStream*>(Stream(1));
    TestClient capture(recording, ClientKind::WaveStream);
    ASSERT_EQ(capture.Register(FindFormat(recording, 48000, 16, c.masked)), STATUS_SUCCESS);
    ASSERT_EQ(capture.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(capture.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond / 2);
    capture.Leave();
    const std::vector<int32_t> got = capture.Captured();
    ASSERT_GT(got.size(), 20000u);
    for (size_t n = 0; n < got.size(); ++n) ASSERT_EQ(got[n], RampValue(uint32_t(got.front()), n, 0, 2)) << n;
}

INSTANTIATE_TEST_SUITE_P(Sets, Uac2DescriptorSetStreams,
                         ::testing::Values(DescriptorSetCase{"uac2-headphones", true, false},
                                           DescriptorSetCase{"uac2-mask0", false, true}),
                         [](const auto& info) {
                             std::string name = info.param.set;
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });

// A render setting with a bulk OUT endpoint after its isochronous pair: the stream's data goes to
// the isochronous pipe (a bulk pipe refuses isochronous transfers, and recovering from that at
// once would spin the worker), and the audio arrives sample-exact.
TEST_F(Uac2StreamTest, OnlyIsochronousPipesCarryTheStream) {
    auto base = sim::usb::CreateCatalogDevice("uac2");
    std::vector<uint8_t> config(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    for (size_t p = 0; p + 9 <= config.size() && config[p] != 0; p += config[p]) {
        if (config[p + 1] != USB_INTERFACE_DESCRIPTOR_TYPE || config[p + 2] != 1 || config[p + 3] != 1) continue;
        ++config[p + 4];  // bNumEndpoints
        size_t end = p + config[p];
        while (end < config.size() && config[end + 1] != USB_INTERFACE_DESCRIPTOR_TYPE) end += config[end];
        const uint8_t bulk[] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x03, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
        config.insert(config.begin() + std::ptrdiff_t(end), std::begin(bulk), std::end(bulk));
        break;
    }
    config[2] = uint8_t(config.size());
    config[3] = uint8_t(config.size() >> 8);
    sim::usb::DeviceSetup setup{.name = "uac2-bulk", .speed = sim::usb::Speed::High};
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    setup.configurations.push_back(std::move(config));
    setup.audio.clockRates = {{40, {48000}}};
    PlugDevice(std::make_unique<sim::usb::Device>(std::move(setup)));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    client.Leave();
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    EXPECT_GT(client.FramesWritten(), 8000u);
    EXPECT_EQ(sink->Frames(), client.FramesWritten());
    EXPECT_TRUE(SinkHoldsRamp(*sink, client.FramesWritten()));
}

class Uac2CaptureRamp : public Uac2StreamMachine, public ::testing::WithParamInterface<bool> {};

TEST_P(Uac2CaptureRamp, ReachesTheClientSampleExact) {
    if (GetParam()) UseDriverHal();
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    for (ULONG rate : {44100u, 96000u}) {
        SCOPED_TRACE(rate);
        Uac2CaptureStream* stream = Recording();
        ASSERT_EQ(stream->GetDirection(), StreamDirectionCapture);
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(FindFormat(stream, rate, 16)), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        EXPECT_EQ(Audio().StreamRate(kCaptureInterface), rate);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(10 * kSecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();
        const std::vector<int32_t> got = client.Captured();
        ASSERT_GE(got.size(), 9ull * rate);
        sim::usb::CaptureSource* source = Audio().Capture(kCaptureInterface);
        // Channel 0 of the device's ramp from the first frame the client saw on.
        const int32_t first = got.front();
        for (size_t n = 0; n < got.size(); ++n) {
            ASSERT_EQ(got[n], RampValue(uint32_t(first), n, 0, 2)) << "frame " << n;
        }
        EXPECT_GT(source->FramesProduced(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Hals, Uac2CaptureRamp, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "DriverHal" : "FixtureHal"); });

// Empty capture packets that arrive without error count as silence: each one a packet's largest
// share (48 kHz at high speed: 7 frames), between two stretches of the device's ramp. The device's
// ramp follows the bus clock, so it may pass any value while the test listens: an odd start and a
// step of 2 keep it off zero, and a zero is silence only.
TEST_F(Uac2StreamTest, EmptyCapturePacketsAreCountedSilence) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    Audio().Capture(kCaptureInterface)->Configure({.start = 1001, .step = 2});
    TestClient client(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Recording(), 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    const uint64_t frame = sim::usb::CurrentFrame() + 30;
    Device().AddPacketFault({.endpoint = 0x82, .status = USBD_STATUS_SUCCESS, .times = 8, .frames = {frame}});
    sim::machine::RunFor(200 * kMillisecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    const std::vector<int32_t> got = client.Captured();
    ASSERT_GT(got.size(), 9000u);
    size_t zeros = 0;
    size_t runs = 0;
    for (size_t n = 0; n < got.size(); ++n) {
        if (got[n] != 0) continue;
        ++zeros;
        if (n == 0 || got[n - 1] != 0) ++runs;
    }
    EXPECT_EQ(runs, 1u);
    EXPECT_EQ(zeros, 8u * 7u);
    // Around the silence the ramp runs on: each stretch climbs by two a frame.
    for (size_t n = 1; n < got.size(); ++n) {
        if (got[n] == 0 || got[n - 1] == 0) continue;
        ASSERT_EQ(got[n], RampValue(uint32_t(got[n - 1]), 2, 0, 2)) << n;
    }
}

// The streams on the fixture's HAL, and on the driver's own UAC 2.0 HAL (with its status thread
// running).
class Uac2StreamHals : public Uac2StreamMachine, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        Uac2StreamMachine::SetUp();
        if (GetParam()) UseDriverHal();
    }
    void TearDown() override {
        if (m_common != nullptr) m_common->Stop();
        Uac2StreamMachine::TearDown();
    }
    NTSTATUS StartHal(std::string_view device) {
        NTSTATUS status = StartDevice(device);
        if (NT_SUCCESS(status) && GetParam()) status = m_common->Start();
        return status;
    }
};

// The device leaves while the render stream and its feedback reads, the capture stream and the
// status thread's read are in flight: every transfer comes back, the streams mark the device gone
// and stop sending, the status thread ends on its own, and the clients still stop, close and leave
// (the driver's unload then finds every IRP, pool block and thread returned).
TEST_P(Uac2StreamHals, UnplugWhileStreamingEndsEveryTransfer) {
    ASSERT_EQ(StartHal("uac2"), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    TestClient recorder(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(recorder.Register(FindFormat(Recording(), 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(recorder.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(recorder.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    EXPECT_FALSE(recorder.Captured().empty());
    sim::usb::UnplugDevice(m_port);
    sim::machine::RunFor(300 * kMillisecond);
    EXPECT_TRUE(Playback()->IsDeviceGone());
    EXPECT_EQ(Playback()->PendingTransfers(), 0u);
    EXPECT_EQ(Recording()->PendingTransfers(), 0u);
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    recorder.Stop();
    recorder.Leave();
    EXPECT_EQ(Playback()->StreamState(), UsbStreamClosed);
    EXPECT_EQ(Recording()->StreamState(), UsbStreamClosed);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
}

// Every allocation of Open failing in turn (staging ring "US20", lookaside blocks and interface
// record "URB "): Open fails cleanly, holds no setting, and the next Open plays.
TEST_P(Uac2StreamHals, OpenFailsCleanlyOnEachFailedAllocation) {
    ASSERT_EQ(StartHal("uac2"), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    for (ULONG tag : {Uac2StagingTag, UsbStreamUrbTag}) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(sim::pool::TagText(tag) + " allocation " + std::to_string(n));
            sim::pool::FailNthAllocation(n, tag);
            const NTSTATUS status = client.SetFormat();
            const bool fired = !sim::pool::FaultArmed();
            sim::pool::DisarmFaults();
            if (!fired) {
                EXPECT_GT(n, 1u) << "no allocation of the tag";
                ASSERT_EQ(status, STATUS_SUCCESS);
                client.Close();
                break;
            }
            EXPECT_FALSE(NT_SUCCESS(status));
            EXPECT_EQ(Playback()->StreamState(), UsbStreamClosed);
            EXPECT_EQ(Device().AlternateSetting(kRenderInterface), 0);
        }
    }
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    EXPECT_GT(client.FramesWritten(), 4000u);
    client.Leave();
}

INSTANTIATE_TEST_SUITE_P(Hals, Uac2StreamHals, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "DriverHal" : "FixtureHal"); });

// Failed feedback entries say nothing about the device's rate: with every other entry failing,
// the rate still follows the device clock and no recovery runs.
TEST_F(Uac2StreamTest, FailedFeedbackEntriesAreSkipped) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    Audio().SetClockOffsetPpm(100);
    Device().AddPacketFault({.endpoint = 0x81, .status = USBD_STATUS_XACT_ERROR, .everyNth = 2});
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    Device().ClearLog();
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(2 * kSecond);
    EXPECT_NEAR(Playback()->MeasuredMilliHz() / 1000.0, 48004.8, 0.2);
    for (const sim::usb::LogEntry& e : Device().Log()) {
        if (e.isRequest || e.text.find("RESET_PIPE") != std::string::npos) ADD_FAILURE() << "recovery: " << e.text;
    }
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
}

// Transfers cancelled by someone else while the streams run are an error: each stream recovers
// once and goes on instead of running dry, and the other stream is not disturbed.
TEST_F(Uac2StreamTest, AnUnrequestedCancellationRecovers) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    TestClient render(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(render.Register(FindFormat(Playback(), 48000, 32)), STATUS_SUCCESS);
    ASSERT_EQ(render.SetFormat(), STATUS_SUCCESS);
    TestClient capture(Recording(), ClientKind::WaveStream);
    ASSERT_EQ(capture.Register(FindFormat(Recording(), 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(capture.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(render.Start(), STATUS_SUCCESS);
    ASSERT_EQ(capture.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    for (UsbAudioStream* stream : {static_cast<UsbAudioStream*>(Recording()), static_cast<UsbAudioStream*>(Playback())}) {
        const bool isCapture = stream == Recording();
        SCOPED_TRACE(isCapture ? "capture" : "render");
        const ULONG recoveries = stream->Recoveries();
        ASSERT_GT(sim::usb::CancelEndpointTransfers(m_port, isCapture ? 0x82 : 0x01), 0u);
        const uint64_t played = Audio().Render(kRenderInterface)->Frames();
        const size_t captured = capture.Captured().size();
        sim::machine::RunFor(400 * kMillisecond);
        EXPECT_EQ(stream->Recoveries(), recoveries + 1);
        EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
        EXPECT_GT(Audio().Render(kRenderInterface)->Frames(), played + 48000 / 10);
        EXPECT_GT(capture.Captured().size(), captured + 48000 / 10);
    }
    EXPECT_EQ(Playback()->Recoveries() + Recording()->Recoveries(), 2u);
    ASSERT_EQ(render.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(capture.Stop(), STATUS_SUCCESS);
    render.Leave();
    capture.Leave();
}

// A failed render transfer: the worker resets both pipes and the stream goes on with every
// transfer the client asked for, without a zero-bandwidth selection.
TEST_F(Uac2StreamTest, RenderRecoveryResetsThePipesAndKeepsTheSetting) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(Playback(), 48000, 32), 10, 4), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(500 * kMillisecond);
    Device().ClearLog();
    const uint64_t frame = sim::usb::CurrentFrame() + 60;
    Device().AddPacketFault({.endpoint = 0x01, .status = USBD_STATUS_XACT_ERROR, .times = 8, .frames = {frame}});
    sim::machine::RunFor(kSecond);
    size_t resets = 0;
    bool selected = false;
    std::string order;
    for (const sim::usb::LogEntry& e : Device().Log()) {
        if (e.text.rfind("bus: SYNC_RESET_PIPE_AND_CLEAR_STALL", 0) == 0) {
            ++resets;
            order += e.text.substr(e.text.size() - 4);
        }
        if (e.isRequest && e.setup.bRequest == USB_REQUEST_SET_INTERFACE) selected = true;
    }
    EXPECT_EQ(resets, 2u);
    EXPECT_EQ(order, "0x010x81") << "data pipe, then feedback pipe";
    EXPECT_FALSE(selected);
    const uint64_t before = Audio().Render(kRenderInterface)->Frames();
    sim::machine::RunFor(kSecond);
    EXPECT_NEAR(double(Audio().Render(kRenderInterface)->Frames() - before), 48000.0, 480.0);
    EXPECT_EQ(Playback()->StreamState(), UsbStreamRunning);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
}

// A run of failed packets costs one recovery; a single failed packet in the first transfer after
// the restart follows no failed transfer, so it is counted and the stream goes on.
TEST_F(Uac2StreamTest, ALonePacketFaultAfterARenderRecoveryIsCountedNotRecovered) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(Playback(), 48000, 32), 10, 4), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    // Every other frame fails for 200 ms: each transfer in flight, the last one before the
    // recovery too, completes with failed packets.
    std::vector<uint64_t> run;
    for (uint64_t f = sim::usb::CurrentFrame() + 20, end = f + 200; f < end; f += 2) run.push_back(f);
    Device().AddPacketFault({.endpoint = 0x01, .status = USBD_STATUS_XACT_ERROR, .frames = run});
    ASSERT_TRUE(sim::machine::RunUntil([&] { return Playback()->Recoveries() == 1; }, kSecond));
    // The restarted transfers begin two frames after the recovery: the first packet they move
    // fails, and no other.
    Device().ClearFaults();
    const uint64_t now = sim::usb::CurrentFrame();
    Device().AddPacketFault(
        {.endpoint = 0x01, .status = USBD_STATUS_XACT_ERROR, .times = 1, .frames = {now, now + 1, now + 2, now + 3}});
    const ULONG isolated = Playback()->IsolatedPacketErrors();
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    const uint64_t played = sink->Frames();
    sim::machine::RunFor(500 * kMillisecond);
    EXPECT_EQ(Playback()->Recoveries(), 1u);
    EXPECT_EQ(Playback()->IsolatedPacketErrors(), isolated + 1);
    EXPECT_EQ(Playback()->StreamState(), UsbStreamRunning);
    EXPECT_NEAR(double(sink->Frames() - played), 24000.0, 480.0);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
}

// How the feedback pipe's reads are interrupted while the render stream plays.
enum class FeedbackBreak { StopAndStart, FeedbackCancelled, DataCancelled };

struct FeedbackBreakCase {
    const char* device;
    ULONG rate;
    FeedbackBreak interruption;
    const char* name;
};

class Uac2FeedbackFrames : public Uac2StreamMachine, public ::testing::WithParamInterface<FeedbackBreakCase> {};

// The feedback reads run back to back on start frames of their own: a second of streaming reads
// every (micro)frame and none late. After an interruption (the stream stopped and started again
// within the bus's memory of the pipe, the feedback reads or the data transfers cancelled from
// elsewhere, the latter costing a recovery) the reads start again a little ahead of the current
// frame: at most one gap, no late packet, and reading goes on at the same pace (10 ms transfers).
TEST_P(Uac2FeedbackFrames, ReadsRunWithoutGapsAndComeBackOnTime) {
    const FeedbackBreakCase c = GetParam();
    ASSERT_EQ(StartDevice(c.device), STATUS_SUCCESS);
    TestClient client(Playback(), ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(Playback(), c.rate, 32)), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond);
    const sim::usb::IsoStatistics steady = sim::usb::EndpointStatistics(m_port, 0x81);
    EXPECT_GT(steady.packets, 900u);
    EXPECT_EQ(steady.gaps, 0u);
    EXPECT_EQ(steady.latePackets, 0u);
    EXPECT_EQ(steady.refusedTransfers, 0u);

    switch (c.interruption) {
    case FeedbackBreak::StopAndStart:
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        sim::machine::RunFor(100 * kMillisecond);
        sim::usb::ClearStatistics(m_port);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        break;
    case FeedbackBreak::FeedbackCancelled:
    case FeedbackBreak::DataCancelled:
        sim::usb::ClearStatistics(m_port);
        ASSERT_GT(sim::usb::CancelEndpointTransfers(m_port, c.interruption == FeedbackBreak::DataCancelled ? 0x01 : 0x81), 0u);
        break;
    }
    sim::machine::RunFor(kSecond);
    const sim::usb::IsoStatistics after = sim::usb::EndpointStatistics(m_port, 0x81);
    EXPECT_EQ(after.latePackets, 0u);
    EXPECT_EQ(after.refusedTransfers, 0u);
    EXPECT_LE(after.gaps, 1u);
    // Cancelled reads leave no stale start frame behind: reading resumes with the next transfer.
    if (c.interruption != FeedbackBreak::StopAndStart) {
        EXPECT_LE(after.gapFrames, 10u + UsbStreamStartLeadFrames);
    }
    EXPECT_GT(after.packets, steady.packets * 9 / 10);
    EXPECT_EQ(Playback()->Recoveries(), c.interruption == FeedbackBreak::DataCancelled ? 1u : 0u);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).latePackets, 0u);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, Uac2FeedbackFrames,
    ::testing::Values(FeedbackBreakCase{"uac2", 48000, FeedbackBreak::StopAndStart, "StopAndStart"},
                      FeedbackBreakCase{"uac2", 48000, FeedbackBreak::FeedbackCancelled, "FeedbackCancelled"},
                      FeedbackBreakCase{"uac2", 48000, FeedbackBreak::DataCancelled, "DataCancelled"},
                      FeedbackBreakCase{"uac2-fs", 44100, FeedbackBreak::StopAndStart, "FullSpeedStopAndStart"},
                      FeedbackBreakCase{"uac2-b1", 48000, FeedbackBreak::StopAndStart, "MicroframeStopAndStart"}),
    [](const ::testing::TestParamInfo<FeedbackBreakCase>& info) { return std::string(info.param.name); });

}  // namespace
