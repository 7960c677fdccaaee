// Long streams through every catalog device: render and capture at once (as users run them), each
// a ramp in its wave pin's format, checked block by block as it arrives, so an hour of audio takes
// no more memory than ten seconds of it. Each stream is sample-exact from its first frame to its
// last, its position never stalls, it keeps the nominal rate, and at the end every frame sent is
// at the device or still waiting in the cyclic buffer. One case streams each pin's first PCM
// format, the other its first 44.1 kHz format (packets of 44 and 45 frames). KV_SOAK_SECONDS sets
// the simulated duration of a case (default 1 s; 3600 for the hour).
#include <gtest/gtest.h>

#include "streaming/wave_catalog_pins.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace wave_front_test;
using sim::machine::kSecond;

Time SoakDuration() {
    const char* text = std::getenv("KV_SOAK_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (seconds > 0 ? seconds : 1) * kSecond;
}

// What the device's render sink holds is taken and checked every ten simulated seconds, or four
// times in a shorter run (so that the default run goes through the takes too).
Time CheckEvery(Time duration) { return std::min(10 * kSecond, std::max(duration / 4, kMs)); }

// The frames a capture client read from the end of its first stretch (when the start is behind
// it) to its end, against rate x time: a stream at the nominal rate stands within a packet of it
// however long it runs (where in a millisecond the client looks decides that packet).
class RateWatch {
public:
    void Note(Time now, uint64_t frames, Time markAt) {
        if (!m_Marked && now >= markAt) {
            m_Marked = true;
            m_From = now;
            m_FromFrames = frames;
        }
        m_To = now;
        m_ToFrames = frames;
    }
    // Frames moved beyond (or, negative, short of) rate x time.
    int64_t Drift(const WAVEFORMATEXTENSIBLE& f) const {
        const uint64_t nominal = uint64_t(f.Format.nSamplesPerSec) * uint64_t(m_To - m_From) / kSecond;
        return int64_t(m_ToFrames - m_FromFrames) - int64_t(nominal);
    }
    Time Span() const { return m_To - m_From; }

private:
    bool m_Marked = false;
    Time m_From = 0, m_To = 0;
    uint64_t m_FromFrames = 0, m_ToFrames = 0;
};

// A millisecond of frames, the most one packet carries.
int64_t RateSlack(const WAVEFORMATEXTENSIBLE& f) { return f.Format.nSamplesPerSec / 1000 + 1; }

// One direction of a case: a wave pin in one of its formats.
struct Leg {
    const WavePin* pin = nullptr;
    WAVEFORMATEXTENSIBLE format{};
};

// Waits for a machine thread to end when the scope does, however it is left.
class JoinAtExit {
public:
    explicit JoinAtExit(PKTHREAD thread) : m_Thread(thread) {}
    ~JoinAtExit() {
        KeWaitForSingleObject(m_Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_Thread);
    }
    JoinAtExit(const JoinAtExit&) = delete;
    JoinAtExit& operator=(const JoinAtExit&) = delete;

private:
    PKTHREAD m_Thread;
};

class StreamSoak : public WaveFront, public testing::WithParamInterface<std::string> {
protected:
    void TearDown() override {
        m_CapturePin.reset();
        m_CaptureFilter.reset();
        WaveFront::TearDown();
    }

    // The device started and its wave pins; the test is skipped when it does not start.
    void Start() {
        if (!NT_SUCCESS(Plug(GetParam()))) GTEST_SKIP() << GetParam() << " does not start";
        AdapterCommon* adapter = AdapterOf(m_Node);
        ASSERT_NE(adapter, nullptr);
        m_Pins = WavePins(adapter);
        if (m_Pins.empty()) GTEST_SKIP() << GetParam() << " has no wave pin";
    }
    // Per direction, the first format of its pin that choose() takes.
    std::optional<Leg> LegOf(bool render, const std::function<bool(const WAVEFORMATEXTENSIBLE&)>& choose = {}) const {
        for (const WavePin& pin : m_Pins) {
            if (pin.render != render) continue;
            for (const WAVEFORMATEXTENSIBLE& f : pin.pcm) {
                if (!choose || choose(f)) return Leg{.pin = &pin, .format = f};
            }
        }
        return std::nullopt;
    }

    // Streams render and capture (whichever the case has) side by side for the soak's duration.
    void RunCase(const std::optional<Leg>& render, const std::optional<Leg>& capture) {
        const Time duration = SoakDuration();
        const int64_t seed = CatalogSeed(GetParam());
        sim::usb::RenderSink* sink = nullptr;
        if (render) {
            ASSERT_EQ(KsFilterClient::Open(render->pin->link, &m_Filter), STATUS_SUCCESS);
            ASSERT_EQ(KsPinClient::Open(*m_Filter, 0, DataFormatOf(render->format), &m_Pin), STATUS_SUCCESS);
            sink = CarryingSink(render->format);
            ASSERT_NE(sink, nullptr) << Describe(GetParam(), true, render->format) << ": no device stream carries it";
            ASSERT_EQ(m_Pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
            ASSERT_EQ(m_Pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        for (uint8_t i = 0; i < 16; ++i) {
            if (sim::usb::RenderSink* any = Audio().Render(i)) any->Clear();
        }
        std::optional<CaptureRun> captureRun;
        if (capture) {
            captureRun.emplace(capture->format, static_cast<int32_t>(seed + 12345));
            StartCapture(*capture, duration, *captureRun);
            if (HasFatalFailure()) return;
        }
        if (render) RunRender(render->format, *sink, duration, seed);
        if (captureRun) FinishCapture(duration, *captureRun);
    }

    // The capture side of a case: every source of the device plays the ramp (the one that runs is
    // known only at RUN), and each block the client reads is checked as it comes, on a thread of
    // its own.
    struct CaptureRun {
        CaptureRun(const WAVEFORMATEXTENSIBLE& f, int32_t start)
            : format(f),
              source{.kind = sim::usb::SourceKind::Ramp,
                     .start = start,
                     .channelOffset = f.Samples.wValidBitsPerSample > 8 ? 0x100 : 0x10},
              checked(sim::usb::RampOfSource(source, {.channels = uint8_t(f.Format.nChannels),
                                                      .subslotBytes = uint8_t(f.Format.wBitsPerSample / 8),
                                                      .bitResolution = uint8_t(f.Samples.wValidBitsPerSample),
                                                      .rateHz = f.Format.nSamplesPerSec}),
                      f.Format.nChannels) {}

        WAVEFORMATEXTENSIBLE format;
        sim::usb::CaptureSourceConfig source;
        sim::usb::RampFollower checked;
        std::vector<UCHAR> carry{};  // bytes of a sample cut by the end of a read
        sim::hosts::StreamRunStats stats{};
        RateWatch rate{};
        NTSTATUS status = STATUS_SUCCESS;
        std::optional<JoinAtExit> thread{};  // last: joined before the rest goes
    };

    void StartCapture(const Leg& leg, Time duration, CaptureRun& run) {
        for (uint8_t i = 0; i < 16; ++i) {
            if (sim::usb::CaptureSource* source = Audio().Capture(i)) source->Configure(run.source);
        }
        ASSERT_EQ(KsFilterClient::Open(leg.pin->link, &m_CaptureFilter), STATUS_SUCCESS);
        ASSERT_EQ(KsPinClient::Open(*m_CaptureFilter, 0, DataFormatOf(leg.format), &m_CapturePin), STATUS_SUCCESS);
        ASSERT_EQ(m_CapturePin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(m_CapturePin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        const Time markAt = sim::machine::Now() + CheckEvery(duration);
        const unsigned container = leg.format.Format.wBitsPerSample / 8;
        auto check = [&run, markAt, container](const UCHAR* data, size_t length) {
            run.carry.insert(run.carry.end(), data, data + length);
            const size_t whole = run.carry.size() / container * container;
            run.checked.Feed(Samples(std::span(run.carry).first(whole), container));
            run.carry.erase(run.carry.begin(), run.carry.begin() + std::ptrdiff_t(whole));
            run.rate.Note(sim::machine::Now(), run.checked.Frames(), markAt);
        };
        run.thread.emplace(sim::machine::StartThread("soak capture", [this, &run, check, duration] {
            run.status = m_CapturePin->Capture(check, duration, &run.stats);
        }));
    }

    void FinishCapture(Time duration, CaptureRun& run) {
        run.thread.reset();
        const std::string what = Describe(GetParam(), false, run.format);
        SCOPED_TRACE(what);
        ASSERT_EQ(run.status, STATUS_SUCCESS);
        ASSERT_EQ(m_CapturePin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        const sim::usb::RampReport report = run.checked.Finish();
        EXPECT_TRUE(report.Ok()) << report.text;
        EXPECT_EQ(run.stats.positionStalls, 0u);
        // The client read everything the position passed (nothing was overwritten unread), and
        // kept the rate over the whole run.
        const ULONG block = run.format.Format.nBlockAlign;
        EXPECT_EQ(run.stats.bytes, run.stats.positionBytes);
        EXPECT_EQ(run.checked.Frames(), run.stats.bytes / block);
        const int64_t drift = run.rate.Drift(run.format);
        EXPECT_LE(std::abs(drift), RateSlack(run.format))
            << drift << " frames off the nominal rate in " << double(run.rate.Span()) / kSecond << " s";
        bool carried = false;
        for (uint8_t i = 0; i < 16; ++i) {
            const sim::usb::CaptureSource* source = Audio().Capture(i);
            if (source != nullptr && source->FramesProduced() != 0 && Matches(source->Format(), run.format)) carried = true;
        }
        EXPECT_TRUE(carried) << "no device stream carries the format unconverted";
        Report(what, report, duration,
               std::to_string(drift) + " frames off rate x time after the first " +
                   std::to_string(CheckEvery(duration) / kMs) + " ms");
    }

    // The device stream that carries the render pin: a moment of silence selects it, and the pin
    // goes back to STOP so that the soak starts afresh. The stream runs at the pin's rate in its
    // sample size; with fewer channels than the pin, the driver mixes the format down and the
    // first channels pass unchanged while the others are silent.
    sim::usb::RenderSink* CarryingSink(const WAVEFORMATEXTENSIBLE& format) {
        auto silence = [](UCHAR* data, size_t length) {
            std::memset(data, 0, length);
            return length;
        };
        if (!NT_SUCCESS(Play(silence, 20 * kMs)) || !NT_SUCCESS(Stop())) return nullptr;
        for (uint8_t i = 0; i < 16; ++i) {
            sim::usb::RenderSink* sink = Audio().Render(i);
            if (sink == nullptr || sink->Frames() == 0) continue;
            const sim::usb::StreamFormat f = sink->Format();
            if (f.rateHz == format.Format.nSamplesPerSec && f.subslotBytes * 8u == format.Format.wBitsPerSample &&
                f.channels <= format.Format.nChannels) {
                return sink;
            }
        }
        return nullptr;
    }

    // Plays the ramp for duration in RUN, taking and checking the device's frames every ten
    // seconds, then pauses the pin and accounts for every frame sent.
    void RunRender(const WAVEFORMATEXTENSIBLE& format, sim::usb::RenderSink& sink, Time duration, int64_t seed) {
        const unsigned channels = sink.Format().channels;
        std::string what = Describe(GetParam(), true, format);
        if (channels != format.Format.nChannels) what += " (to " + std::to_string(channels) + " device channels)";
        SCOPED_TRACE(what);
        FormatRamp ramp{.format = format, .spec = SpecOf(format, seed), .rampChannels = channels};
        sim::usb::RampFollower played(ramp.spec, channels);
        sim::hosts::StreamRunStats stats;
        const Time started = sim::machine::Now();
        for (Time done = 0; done < duration && played.Ok();) {
            const Time stretch = std::min(CheckEvery(duration), duration - done);
            ASSERT_EQ(m_Pin->Render([&](UCHAR* data, size_t length) { return ramp(data, length); }, stretch, &stats),
                      STATUS_SUCCESS);
            done += stretch;
            played.Feed(sink.TakeInterleaved());
        }
        const Time elapsed = sim::machine::Now() - started;
        // The device plays at its own clock from the stream's first packet; what arrived against
        // what it played (in bus time, free of the host's timing) stays within a frame at the
        // nominal rate all run long, and a slip in the packet pattern drifts away. The pause ends
        // the device's stream, so it is read before.
        const int64_t behind = sink.MinBacklog();
        const int64_t ahead = sink.MaxBacklog();
        // The pause lets the transfers on the bus finish: the position ends where the device's
        // audio ends.
        ASSERT_EQ(m_Pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        KSAUDIO_POSITION position{};
        ASSERT_EQ(m_Pin->Position(&position), STATUS_SUCCESS);
        played.Feed(sink.TakeInterleaved());
        const sim::usb::RampReport report = played.Finish();
        EXPECT_TRUE(report.Ok()) << report.text;
        EXPECT_EQ(stats.positionStalls, 0u);
        const ULONG block = format.Format.nBlockAlign;
        EXPECT_EQ(played.Frames(), sink.Frames()) << "every frame the device received was checked";
        EXPECT_EQ(sink.Frames(), position.PlayOffset / block) << "the device received what the position played";
        EXPECT_EQ(ramp.frame * block, position.WriteOffset);
        // The device gets silence first: the stretch the USB side reads behind the position (what
        // it had in flight when the stream started) and whatever the driver's processing delays.
        // So what was sent, less what waits ahead of the position and that silence, is what the
        // device got of the ramp.
        EXPECT_EQ(report.trailingSilence, 0u);
        EXPECT_EQ(ramp.frame - (position.WriteOffset - position.PlayOffset) / block - report.leadingSilence,
                  report.rampFrames);
        EXPECT_LE(-behind, RateSlack(format)) << "the device ran dry by " << -behind << " frames";
        EXPECT_LE(ahead, RateSlack(format)) << "the device fell behind by " << ahead << " frames";
        Report(what, report, elapsed,
               "device backlog " + std::to_string(behind) + " .. " + std::to_string(ahead) + " frames");
    }

    void Report(const std::string& what, const sim::usb::RampReport& report, Time duration, const std::string& rate) {
        std::printf("[ soak     ] %s: %" PRIu64 " ramp frames in order over %.1f s (%" PRIu64 " silent before, %" PRIu64
                    " after), %s%s\n",
                    what.c_str(), report.rampFrames, double(duration) / kSecond, report.leadingSilence,
                    report.trailingSilence, rate.c_str(), report.Ok() ? "" : (", " + report.text).c_str());
    }

    std::vector<WavePin> m_Pins;
    std::unique_ptr<KsFilterClient> m_CaptureFilter;
    std::unique_ptr<KsPinClient> m_CapturePin;
};

TEST_P(StreamSoak, FirstFormatsStaySampleExact) {
    Start();
    if (IsSkipped() || HasFatalFailure()) return;
    RunCase(LegOf(true), LegOf(false));
}

// At 44.1 kHz the packets are not all alike (at full speed nine of 44 frames and one of 45 every
// ten milliseconds): a slip in the pattern loses or repeats a frame every few packets, or drifts.
TEST_P(StreamSoak, Rate44100StaysSampleExact) {
    Start();
    if (IsSkipped() || HasFatalFailure()) return;
    auto at44100 = [](const WAVEFORMATEXTENSIBLE& f) { return f.Format.nSamplesPerSec == 44100; };
    const std::optional<Leg> render = LegOf(true, at44100);
    const std::optional<Leg> capture = LegOf(false, at44100);
    if (!render && !capture) GTEST_SKIP() << GetParam() << " has no 44.1 kHz format";
    auto same = [](const std::optional<Leg>& a, const std::optional<Leg>& b) {
        return a.has_value() == b.has_value() &&
               (!a || std::memcmp(&a->format, &b->format, sizeof(WAVEFORMATEXTENSIBLE)) == 0);
    };
    if (same(render, LegOf(true)) && same(capture, LegOf(false))) {
        GTEST_SKIP() << GetParam() << ": its first formats are the 44.1 kHz ones";
    }
    RunCase(render, capture);
}

INSTANTIATE_TEST_SUITE_P(Catalog, StreamSoak, testing::ValuesIn(sim::usb::CatalogNames()), CatalogTestName);

}  // namespace
