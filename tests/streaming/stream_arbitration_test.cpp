// Client arbitration and the failure paths of the USB streams on the simulated bus: hand-overs
// between clients of different kinds, the registration limits, stop, close and unplug while
// streaming, and pool exhaustion over every allocation of Open and Start.
#include "streaming/stream_machine.h"

#include "support/bugcheck.h"

#include <sim/debug_log.h>
#include <sim/io.h>
#include <sim/pool.h>
#include <sim/usb_bus.h>

#include <utility>

namespace {

using sim::machine::kMillisecond;
using sim::machine::kSecond;
using stream_test::RampValue;
using stream_test::StreamMachine;
using stream_test::TestClient;

constexpr uint32_t kAsioBase = 0x4000;

class StreamArbitrationTest : public StreamMachine {
protected:
    // Registers Wave at 44.1 kHz and Asio at 48 kHz (5 ms, two transfers) on the render stream of
    // the started device and starts Wave: the ASIO client waits beside a streaming wave client.
    void StartWaveBesideAsio(TestClient& wave, TestClient& asio) {
        UsbAudioStream* stream = Stream(0);
        ASSERT_EQ(wave.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
        ASSERT_EQ(asio.Register(FindFormat(stream, 48000, 16), 5, 2), STATUS_SUCCESS);
        ASSERT_EQ(wave.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
    }
};

using RampRunList = std::vector<std::pair<uint32_t, uint64_t>>;

// Splits the sink's channel 0 into runs of consecutive ramp values of the two clients (bases 0 and
// kAsioBase): each client's frames must continue where its previous run stopped. The runs as (base,
// frames); a failure when a frame belongs to neither.
::testing::AssertionResult RampRuns(const sim::usb::RenderSink& sink, RampRunList* result) {
    RampRunList& runs = *result;
    runs.clear();
    uint64_t next[2] = {0, 0};
    const uint32_t bases[2] = {0, kAsioBase};
    const unsigned bytes = sink.Format().subslotBytes;
    for (uint64_t f = 0; f < sink.StoredFrames(); ++f) {
        const int32_t value = sink.Sample(f, 0);
        int who = -1;
        if (!runs.empty()) {
            const int current = runs.back().first == 0 ? 0 : 1;
            if (value == RampValue(bases[current], next[current], 0, bytes)) who = current;
        }
        for (int c = 0; c < 2 && who < 0; ++c) {
            if (value == RampValue(bases[c], next[c], 0, bytes)) who = c;
        }
        if (who < 0) {
            return ::testing::AssertionFailure() << "frame " << f << " holds " << value << ", no client's next value";
        }
        if (runs.empty() || runs.back().first != bases[who]) runs.emplace_back(bases[who], 0);
        ++runs.back().second;
        ++next[who];
    }
    return ::testing::AssertionSuccess();
}

TEST_F(StreamArbitrationTest, HandOverBetweenWaveAndAsioKeepsBothRampsWhole) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_NO_FATAL_FAILURE(StartWaveBesideAsio(wave, asio));
    sim::machine::RunFor(500 * kMillisecond);

    // The higher kind formats: the stream stops and opens in its format.
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamOpen);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 48000u);
    const uint64_t waveChanges = wave.FormatChanges();
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    EXPECT_EQ(stream->RunOwner()->Registration, asio.Id());
    EXPECT_EQ(wave.FormatChanges(), waveChanges + 1);  // every client hears the new owner
    EXPECT_EQ(asio.OwnedFormatChanges(), 1u);
    sim::machine::RunFor(500 * kMillisecond);

    // The ASIO client stops: the wave client owns the stream again in its own format.
    const uint64_t waveOwned = wave.OwnedFormatChanges();
    ASSERT_EQ(asio.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    EXPECT_EQ(stream->RunOwner()->Registration, wave.Id());
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 44100u);
    EXPECT_EQ(wave.OwnedFormatChanges(), waveOwned + 1);
    ASSERT_EQ(asio.Close(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);  // a close does not stop the running owner
    EXPECT_EQ(stream->FormatOwner()->Registration, wave.Id());
    sim::machine::RunFor(500 * kMillisecond);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    wave.Leave();
    asio.Leave();

    RampRunList runs;
    ASSERT_TRUE(RampRuns(*Audio().Render(kRenderInterface), &runs));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].first, 0u);
    EXPECT_EQ(runs[1].first, kAsioBase);
    EXPECT_EQ(runs[2].first, 0u);
    EXPECT_EQ(runs[0].second + runs[2].second, wave.FramesWritten());
    EXPECT_EQ(runs[1].second, asio.FramesWritten());
}

// An ASIO owner that closes while it streams gives the endpoint back: the started wave client owns
// the stream again in its own format, and its ramp goes on where it stopped.
TEST_F(StreamArbitrationTest, ClosingTheStreamingAsioOwnerHandsTheStreamBackToWave) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_NO_FATAL_FAILURE(StartWaveBesideAsio(wave, asio));
    sim::machine::RunFor(200 * kMillisecond);
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    EXPECT_EQ(stream->RunOwner()->Registration, asio.Id());
    sim::machine::RunFor(200 * kMillisecond);

    ASSERT_EQ(asio.Close(), STATUS_SUCCESS);  // no STOP first
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    ASSERT_NE(stream->RunOwner(), nullptr);
    EXPECT_EQ(stream->RunOwner()->Registration, wave.Id());
    EXPECT_EQ(stream->FormatOwner()->Registration, wave.Id());
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 44100u);
    const uint64_t waveBefore = wave.FramesWritten();
    sim::machine::RunFor(200 * kMillisecond);
    EXPECT_GT(wave.FramesWritten(), waveBefore + 44100 / 10);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    wave.Leave();
    asio.Leave();

    RampRunList runs;
    ASSERT_TRUE(RampRuns(*Audio().Render(kRenderInterface), &runs));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].first, kAsioBase);
    EXPECT_EQ(runs[2].first, 0u);
    EXPECT_EQ(runs[0].second + runs[2].second, wave.FramesWritten());
}

TEST_F(StreamArbitrationTest, AStartedClientRunsInItsOwnFormatEvenWhenAnotherOwnsTheFormatList) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_EQ(asio.Register(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(wave.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);  // opens in 48 kHz and does not start
    sim::machine::RunFor(20 * kMillisecond);
    ULONG frame = 0;
    ASSERT_EQ(wave.SetFormat(&frame), STATUS_SUCCESS);
    // The stream was already open: the frame to start from is the current one, not 0.
    EXPECT_GE(frame, sim::usb::CurrentFrame() - 1);
    ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 44100u);
    sim::machine::RunFor(300 * kMillisecond);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    wave.Leave();
    asio.Leave();
    RampRunList runs;
    ASSERT_TRUE(RampRuns(*Audio().Render(kRenderInterface), &runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].second, wave.FramesWritten());
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).lateTransfers, 0u);
}

// After every arbitration step a started client owns a running stream: an ASIO client that formats
// the endpoint and closes without starting, or whose start fails, leaves the wave client playing.
TEST_F(StreamArbitrationTest, AStartedClientRunsAgainWhenTheHigherKindLeavesOrFailsToStart) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* render = Stream(0);
    TestClient wave(render, ClientKind::WaveStream);
    TestClient asio(render, ClientKind::Asio, kAsioBase);
    ASSERT_NO_FATAL_FAILURE(StartWaveBesideAsio(wave, asio));
    sim::machine::RunFor(100 * kMillisecond);
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);  // stops the wave client's stream
    ASSERT_EQ(asio.Close(), STATUS_SUCCESS);      // and gives the endpoint back unstarted
    EXPECT_EQ(render->StreamState(), UsbStreamRunning);
    ASSERT_NE(render->RunOwner(), nullptr);
    EXPECT_EQ(render->RunOwner()->Registration, wave.Id());
    const uint64_t written = wave.FramesWritten();
    sim::machine::RunFor(100 * kMillisecond);
    EXPECT_GT(wave.FramesWritten(), written + 44100 / 20);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    wave.Leave();
    asio.Leave();
    RampRunList runs;
    ASSERT_TRUE(RampRuns(*Audio().Render(kRenderInterface), &runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].second, wave.FramesWritten());

    // Capture: the ASIO client's re-open fails on a stalled sampling-frequency request.
    UsbAudioStream* capture = Stream(1);
    TestClient waveIn(capture, ClientKind::WaveStream);
    TestClient asioIn(capture, ClientKind::Asio);
    ASSERT_EQ(asioIn.Register(FindFormat(capture, 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(waveIn.Register(FindFormat(capture, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(asioIn.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(waveIn.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(waveIn.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    Device().AddControlFault({.match = sim::usb::Uac1SamplingFrequencyRequest(0x82), .times = 1});
    EXPECT_FALSE(NT_SUCCESS(asioIn.Start()));
    EXPECT_EQ(capture->StreamState(), UsbStreamRunning);
    ASSERT_NE(capture->RunOwner(), nullptr);
    EXPECT_EQ(capture->RunOwner()->Registration, waveIn.Id());
    EXPECT_EQ(Audio().StreamRate(kCaptureInterface), 44100u);
    const size_t captured = waveIn.Captured().size();
    sim::machine::RunFor(100 * kMillisecond);
    EXPECT_GT(waveIn.Captured().size(), captured + 44100 / 20);
    waveIn.Leave();
    asioIn.Leave();
}

// SET_INTERFACE of one alternate setting of an interface.
sim::usb::RequestMatch AlternateSettingRequest(uint8_t interfaceNumber, uint8_t setting) {
    return {.bmRequestType = 0x01, .bRequest = USB_REQUEST_SET_INTERFACE, .wValue = setting, .wIndex = interfaceNumber};
}

// A request the device refuses when a stream opens in the wave client's format (44.1 kHz): the
// alternate setting itself, or the sampling rate after it (which only capture depends on).
struct HandOverFault {
    const char* name;
    ULONG engine;
    uint8_t interfaceNumber;
    sim::usb::RequestMatch (*match)(uint8_t interfaceNumber, uint8_t alternateSetting);
};

class StopHandOverTest : public StreamArbitrationTest, public testing::WithParamInterface<HandOverFault> {
protected:
    UsbAudioStream* Engine() { return Stream(GetParam().engine); }
    // ASIO (48 kHz) owns the running stream beside the started wave client (44.1 kHz); the device
    // refuses the next `times` requests of the case, and ASIO stops: the hand-over to wave fails.
    void StopAsioIntoFault(TestClient& wave, TestClient& asio, uint32_t times) {
        UsbAudioStream* stream = Engine();
        const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 44100, 16);
        ASSERT_EQ(wave.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(asio.Register(FindFormat(stream, 48000, 16), 5, 2), STATUS_SUCCESS);
        ASSERT_EQ(wave.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(100 * kMillisecond);
        ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(100 * kMillisecond);
        UCHAR setting = 0;
        ASSERT_EQ(stream->FindAltSetting(&format.Format, &setting), STATUS_SUCCESS);
        m_fault = GetParam().match(GetParam().interfaceNumber, setting);
        Device().ClearLog();
        Device().AddControlFault({.match = m_fault, .times = times});
        EXPECT_FALSE(NT_SUCCESS(asio.Stop()));
        EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
        EXPECT_EQ(stream->RunOwner(), nullptr);
    }
    // Attempts to open the wave client's format since the fault was armed.
    size_t Attempts() {
        size_t count = 0;
        for (const sim::usb::LogEntry& e : Device().Log()) count += e.isRequest && m_fault.Matches(e.setup) ? 1 : 0;
        return count;
    }

    sim::usb::RequestMatch m_fault{};
};

// Fails before the worker retried: the wave client stayed started and silent until the next client
// operation.
TEST_P(StopHandOverTest, AHandOverThatFailsOnceRunsTheStartedClientSoonAfter) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Engine();
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_NO_FATAL_FAILURE(StopAsioIntoFault(wave, asio, 1));
    const uint64_t owned = wave.OwnedFormatChanges();
    const uint64_t transfers = wave.TransfersDone();
    ASSERT_TRUE(sim::machine::RunUntil([&] { return wave.TransfersDone() > transfers + 10; }, kSecond))
        << sim::machine::DumpThreads();
    EXPECT_EQ(Attempts(), 2u);
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    ASSERT_NE(stream->RunOwner(), nullptr);
    EXPECT_EQ(stream->RunOwner()->Registration, wave.Id());
    EXPECT_EQ(Audio().StreamRate(GetParam().interfaceNumber), 44100u);
    EXPECT_EQ(wave.OwnedFormatChanges(), owned + 1);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    wave.Leave();
    asio.Leave();
    if (GetParam().engine != 0) return;
    // The wave ramp goes on where it stopped: nothing was lost or doubled around the retry.
    RampRunList runs;
    ASSERT_TRUE(RampRuns(*Audio().Render(kRenderInterface), &runs));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].first, kAsioBase);
    EXPECT_EQ(runs[0].second + runs[2].second, wave.FramesWritten());
}

// A device that keeps refusing: the worker gives up after its retries and the stream stays closed;
// the next client operation tries again with retries of its own, and the clients leave cleanly.
TEST_P(StopHandOverTest, AHandOverThatKeepsFailingEndsAfterBoundedRetries) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Engine();
    const sim::pool::Snapshot before = sim::pool::TakeSnapshot();
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_NO_FATAL_FAILURE(StopAsioIntoFault(wave, asio, sim::usb::kForever));
    const uint64_t transfers = wave.TransfersDone();
    const size_t perStep = 1 + UsbStreamRunRetries;
    ASSERT_TRUE(sim::machine::RunUntil([&] { return Attempts() >= perStep; }, kSecond)) << Attempts();
    sim::machine::RunFor(kSecond);
    EXPECT_EQ(Attempts(), perStep);
    EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
    EXPECT_EQ(stream->RunOwner(), nullptr);

    ASSERT_EQ(asio.Close(), STATUS_SUCCESS);  // an arbitration step: one attempt and its retries
    ASSERT_TRUE(sim::machine::RunUntil([&] { return Attempts() >= 2 * perStep; }, kSecond)) << Attempts();
    sim::machine::RunFor(kSecond);
    EXPECT_EQ(Attempts(), 2 * perStep);
    EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
    EXPECT_EQ(wave.TransfersDone(), transfers);

    EXPECT_EQ(wave.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(wave.Close(), STATUS_SUCCESS);
    EXPECT_EQ(wave.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(asio.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
    EXPECT_EQ(stream->PendingTransfers(), 0u);
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    const sim::pool::LeakReport leaks = sim::pool::LeaksSince(before);
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
}

// The started client leaves while a retry is pending: the retry finds nobody to run.
TEST_P(StopHandOverTest, ARetryAfterTheStartedClientLeftDoesNothing) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Engine();
    const std::pair<const char*, NTSTATUS (TestClient::*)()> leaves[] = {{"stop", &TestClient::Stop},
                                                                         {"close", &TestClient::Close}};
    for (const auto& [name, leave] : leaves) {
        SCOPED_TRACE(name);
        TestClient wave(stream, ClientKind::WaveStream);
        TestClient asio(stream, ClientKind::Asio, kAsioBase);
        ASSERT_NO_FATAL_FAILURE(StopAsioIntoFault(wave, asio, sim::usb::kForever));
        ASSERT_EQ((wave.*leave)(), STATUS_SUCCESS);
        sim::machine::RunFor(kSecond);
        EXPECT_EQ(Attempts(), 1u);
        EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
        EXPECT_EQ(stream->RunOwner(), nullptr);
        Device().ClearFaults();
        wave.Leave();
        asio.Leave();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StopHandOverTest,
    testing::Values(HandOverFault{"RenderAlternateSetting", 0, 1, AlternateSettingRequest},
                    HandOverFault{"CaptureAlternateSetting", 1, 2, AlternateSettingRequest},
                    HandOverFault{"CaptureSamplingRate", 1, 2,
                                  [](uint8_t, uint8_t) { return sim::usb::Uac1SamplingFrequencyRequest(0x82); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A client that formats the stream while a retry is pending owns it as any format owner does: the
// started client does not take the stream from it, and runs again once that owner has streamed.
TEST_F(StreamArbitrationTest, AFormatOwnerThatArrivesWhileARetryIsPendingKeepsTheStream) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient low(stream, ClientKind::SecondAttached);
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    const WAVEFORMATEXTENSIBLE lowFormat = FindFormat(stream, 48000, 16);
    ASSERT_EQ(low.Begin(lowFormat), STATUS_SUCCESS);
    ASSERT_EQ(wave.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(asio.Register(FindFormat(stream, 44100, 16)), STATUS_SUCCESS);
    ASSERT_EQ(wave.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    UCHAR setting = 0;
    ASSERT_EQ(stream->FindAltSetting(&lowFormat.Format, &setting), STATUS_SUCCESS);
    Device().AddControlFault({.match = AlternateSettingRequest(kRenderInterface, setting), .times = 1});
    EXPECT_FALSE(NT_SUCCESS(wave.Stop()));  // the hand-over to the low client fails once
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond);
    EXPECT_EQ(stream->StreamState(), UsbStreamOpen);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 44100u);
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMillisecond);
    ASSERT_EQ(asio.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    ASSERT_NE(stream->RunOwner(), nullptr);
    EXPECT_EQ(stream->RunOwner()->Registration, low.Id());
    low.Leave();
    wave.Leave();
    asio.Leave();
}

// A hand-over between clients of one format: the previous owner's last transfers complete as its
// own, so each client hears exactly the transfers that carried its data.
TEST_F(StreamArbitrationTest, TheLastTransfersBeforeAHandOverCompleteForThePreviousOwner) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
    TestClient wave(stream, ClientKind::WaveStream);
    TestClient asio(stream, ClientKind::Asio, kAsioBase);
    ASSERT_EQ(asio.Register(format), STATUS_SUCCESS);
    ASSERT_EQ(wave.Register(format), STATUS_SUCCESS);
    ASSERT_EQ(asio.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(wave.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(95 * kMillisecond);
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);  // same format: the stream stops and runs again
    sim::machine::RunFor(95 * kMillisecond);
    ASSERT_EQ(asio.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(wave.Stop(), STATUS_SUCCESS);
    // 10 ms transfers of 480 frames each.
    EXPECT_EQ(wave.TransfersDone() * 480, wave.FramesWritten());
    EXPECT_EQ(asio.TransfersDone() * 480, asio.FramesWritten());
    // Run on a running stream is refused at once and the stream goes on.
    ASSERT_EQ(wave.Start(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Run(sim::usb::CurrentFrame() + 5, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->StreamState(), UsbStreamRunning);
    wave.Leave();
    asio.Leave();
}

// A test that returns with a client still registered ends in a verifier stop when the stream goes,
// not in a wait without end.
TEST_F(StreamArbitrationTest, AStreamReleasedWithAClientLeftStopsTheMachine) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    EXPECT_BUGCHECK(
        {
            ReleaseStreams();
            ReleaseAdapter();
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION", "code 0xC4");
    client.Leave();
}

TEST_F(StreamArbitrationTest, ClientRequestsAreCheckedAndListsKeepTheirOrder) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
    PVOID id = reinterpret_cast<PVOID>(1);
    auto callback = [](PVOID, PVOID, PVOID) {};
    // Transfers of 0 or more than 10 ms cannot be built.
    for (ULONG ms : {0u, 11u}) {
        EXPECT_EQ(stream->RegisterClient(3, &format.Format, ms, 4, callback, nullptr, &id), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(id, nullptr);
    }
    WAVEFORMATEXTENSIBLE foreign = format;
    foreign.Format.nSamplesPerSec = 8000;
    EXPECT_FALSE(NT_SUCCESS(stream->RegisterClient(3, &foreign.Format, 10, 4, callback, nullptr, &id)));

    // Transfer counts are held to 1..10.
    for (auto [asked, held] : {std::pair<ULONG, ULONG>{0, 1}, {25, 10}}) {
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(format, 10, asked), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        EXPECT_EQ(stream->SlotsInUse(), held);
        // Open on a stream that is open already is refused and changes nothing.
        ULONG frame = 0;
        EXPECT_EQ(stream->Open(stream->FormatOwner(), &frame), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(stream->StreamState(), UsbStreamOpen);
        // A submission on a stream that is not running sends nothing, and says so.
        EXPECT_EQ(stream->SubmitTransfer(), UsbStreamNothingSent);
        // Not closed yet: it cannot leave.
        EXPECT_EQ(client.Unregister(), STATUS_UNSUCCESSFUL);
        client.Leave();
    }

    // Start before a format, on a closed stream: refused.
    TestClient late(stream, ClientKind::WaveStream);
    ASSERT_EQ(late.Register(format), STATUS_SUCCESS);
    EXPECT_EQ(late.Start(), STATUS_INVALID_PARAMETER);
    late.Leave();

    // Two clients of the same kind: the later one goes in front and owns the stream.
    TestClient first(stream, ClientKind::WaveStream);
    TestClient second(stream, ClientKind::WaveStream, kAsioBase);
    ASSERT_EQ(first.Register(format), STATUS_SUCCESS);
    ASSERT_EQ(second.Register(format), STATUS_SUCCESS);
    ASSERT_EQ(first.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(second.SetFormat(), STATUS_SUCCESS);
    EXPECT_EQ(stream->FormatOwner()->Registration, second.Id());
    first.Leave();
    second.Leave();
    EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
}

TEST_F(StreamArbitrationTest, CloseWhileStreamingStopsTheClientFirst) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    for (ULONG index : {0u, 1u}) {
        UsbAudioStream* stream = Stream(index);
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Begin(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
        sim::machine::RunFor(100 * kMillisecond);
        ASSERT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
        EXPECT_EQ(stream->PendingTransfers(), 0u);
        EXPECT_EQ(stream->RunOwner(), nullptr);
        ASSERT_EQ(client.Unregister(), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
}

struct UnplugCase {
    const char* name;
    ULONG engine;
    sim::io::Completion completion;
    NTSTATUS removal = STATUS_DEVICE_NOT_CONNECTED;  // how the bus answers once the device is gone
};

class StreamUnplugTest : public StreamMachine, public testing::WithParamInterface<UnplugCase> {};

TEST_P(StreamUnplugTest, UnplugWhileStreamingEndsTheWorkerAndLeavesNothingBehind) {
    Plug("uac1", GetParam().completion);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(GetParam().engine);
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    sim::debuglog::Clear();
    sim::usb::AnswerRemovalWith(m_port, GetParam().removal);
    sim::usb::UnplugDevice(m_port);
    // The worker recovers once, finds the device gone and ends.
    ASSERT_TRUE(sim::machine::RunUntil([] { return sim::debuglog::Count("Error_ErrorOccur ntStatus = c000009d") == 1; },
                                       2 * kSecond))
        << sim::machine::DumpThreads();
    EXPECT_EQ(sim::debuglog::Count("Error_ErrorOccur, m_StreamState = 2"), 1u);
    EXPECT_EQ(stream->PendingTransfers(), 0u);
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), UsbStreamClosed);
    EXPECT_EQ(client.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamUnplugTest,
                         testing::Values(UnplugCase{"Render", 0, sim::io::Completion::Asynchronous},
                                         UnplugCase{"Capture", 1, sim::io::Completion::Asynchronous},
                                         UnplugCase{"RenderSynchronous", 0, sim::io::Completion::Synchronous},
                                         UnplugCase{"RenderNoSuchDevice", 0, sim::io::Completion::Asynchronous,
                                                    STATUS_NO_SUCH_DEVICE},
                                         UnplugCase{"CaptureNoSuchDevice", 1, sim::io::Completion::Asynchronous,
                                                    STATUS_NO_SUCH_DEVICE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamArbitrationTest, PoolExhaustionAtEveryAllocationOfOpenAndStartFailsCleanly) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    for (ULONG index : {0u, 1u}) {
        SCOPED_TRACE(index);
        UsbAudioStream* stream = Stream(index);
        const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
        bool completed = false;
        for (uint64_t n = 1; n < 400 && !completed; ++n) {
            TestClient client(stream, ClientKind::WaveStream);
            ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
            const sim::pool::Snapshot before = sim::pool::TakeSnapshot();
            sim::pool::FailNthAllocation(n);
            NTSTATUS status = client.SetFormat();
            if (NT_SUCCESS(status)) status = client.Start();
            completed = sim::pool::FaultArmed();
            sim::pool::DisarmFaults();
            if (completed) {
                EXPECT_EQ(status, STATUS_SUCCESS);
            } else if (!NT_SUCCESS(status)) {
                EXPECT_NE(stream->StreamState(), UsbStreamRunning) << "allocation " << n;
            }
            sim::machine::RunFor(30 * kMillisecond);
            client.Leave();
            EXPECT_EQ(stream->StreamState(), UsbStreamClosed) << "allocation " << n;
            EXPECT_EQ(stream->PendingTransfers(), 0u);
            const sim::pool::LeakReport leaks = sim::pool::LeaksSince(before);
            EXPECT_TRUE(leaks.Empty()) << "allocation " << n << ": " << leaks.ToString();
        }
        EXPECT_TRUE(completed);
    }
    // The streams work afterwards.
    UsbAudioStream* stream = Stream(0);
    Audio().Render(kRenderInterface)->Clear();
    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Begin(FindFormat(stream, 48000, 16)), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    client.Leave();
    EXPECT_GT(client.FramesWritten(), 0u);
    EXPECT_EQ(Audio().Render(kRenderInterface)->Frames(), client.FramesWritten());
}

}  // namespace
