// The R7T5 render stream on the simulated R7T5: register 0 at every Open, the formats its engine
// offers per endpoint type, and the poll's playback guard heard at the device's render sink
// (quarter gain, then silence, then pass) with the line monitor's forced mute beside it.
#include "streaming/stream_machine.h"

#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/R7T5PlaybackStream.h"

#include <sim/usb_models.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using adapter_test::ScopedCreators;
using sim::machine::kMillisecond;
using stream_test::RampValue;
using stream_test::StreamMachine;
using stream_test::TestClient;
using Writes = std::vector<std::pair<uint8_t, uint16_t>>;

R7T5AudioHal*& g_Hal = adapter_test::CapturedHal<R7T5AudioHal>();
constexpr const AudioHalCreatorTable& kCreators = adapter_test::CapturingCreators<R7T5AudioHal, R7T5Tag>;

constexpr USHORT kAc3Tag = 0x0092;

class R7T5StreamTest : public StreamMachine {
protected:
    void TearDown() override {
        if (g_Hal != nullptr && m_common != nullptr) m_common->Stop();
        g_Hal = nullptr;
        StreamMachine::TearDown();
    }
    void StartModel(const sim::usb::r7t5::Options& options = {}) {
        auto device = sim::usb::r7t5::Create(options);
        m_state = sim::usb::r7t5::StateOf(*device);
        PlugDevice(std::move(device));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_NE(g_Hal, nullptr);
    }
    // Writes of register 0 since the log was cleared.
    std::vector<uint16_t> Register0Writes() const {
        std::vector<uint16_t> values;
        for (const auto& [reg, value] : m_state->writes) {
            if (reg == 0) values.push_back(value);
        }
        return values;
    }
    // The mute bytes sent to the line monitor (unit 11) since the log was cleared.
    std::vector<uint8_t> LineMonitorMutes() {
        std::vector<uint8_t> bytes;
        for (const sim::usb::LogEntry& e : sim::usb::DeviceOf(m_port).Log()) {
            if (e.isRequest && e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01 && e.setup.wValue == 0x0100 &&
                (e.setup.wIndex >> 8) == sim::usb::r7t5::kLineMonitor && !e.data.empty()) {
                bytes.push_back(e.data[0]);
            }
        }
        return bytes;
    }

    ScopedCreators m_creators{&kCreators};
    std::shared_ptr<sim::usb::r7t5::State> m_state;
};

WAVEFORMATEXTENSIBLE Stereo16(USHORT Tag, ULONG Rate) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = Rate;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = 4;
    f.Format.nAvgBytesPerSec = 4 * Rate;
    f.Format.cbSize = Tag == 1 ? 22 : 0;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = Tag == 1 ? 0x3 : 0;
    f.SubFormat = AudioSubFormat(Tag);
    return f;
}

// The walk gives the render interface the model's stream: every Open tells register 0 the rate
// (bits 12-14) and whether the data is PCM (bit 1), keeping the register's other bits.
TEST_F(R7T5StreamTest, OpenWritesRateAndDataKindToRegisterZero) {
    StartModel();
    UsbAudioStream* stream = Stream(0);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->GetDirection(), StreamDirectionRender);
    struct Case {
        WAVEFORMATEXTENSIBLE format;
        UCHAR setting;
        std::vector<uint16_t> writes;  // from shadow 0x2004
    };
    const Case cases[] = {
        {Stereo16(1, 96000), 5, {0x6004, 0x6004}},
        {Stereo16(1, 44100), 2, {0x0004, 0x0004}},
        {Stereo16(kAc3Tag, 48000), 2, {0x2004, 0x2006}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.format.Format.nSamplesPerSec) + " tag " +
                     std::to_string(ProcessingStageFormatTag(c.format)));
        // The parse offers the PCM records; AC-3 rides on the 2-channel setting.
        WAVEFORMATEXTENSIBLE format = c.format;
        if (!NT_SUCCESS(stream->FindFormat(&format.Format))) {
            ASSERT_EQ(stream->AddAltSettingFormat(&format, c.setting), STATUS_SUCCESS);
        }
        ASSERT_EQ(g_Hal->WriteDeviceRegister(0, 0x2004, 0xFFFF), STATUS_SUCCESS);
        m_state->writes.clear();
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        client.Leave();
        EXPECT_EQ(Register0Writes(), c.writes);
    }
}

// An R7T5 stream whose endpoint type the test sets, as the output terminal's type would.
class TypedStream : public R7T5PlaybackStream {
public:
    using R7T5PlaybackStream::R7T5PlaybackStream;
    ULONG GetEndpointType() override { return m_Type; }
    ULONG m_Type = 0;
};

std::string DescribeFormats(UsbAudioStream* Stream) {
    std::string text;
    for (ULONG i = 0; i < Stream->GetFormatCount(); ++i) {
        WAVEFORMATEXTENSIBLE f{};
        UCHAR alt = 0xFF;
        if (!NT_SUCCESS(Stream->GetFormat(i, &f))) continue;
        Stream->FindAltSetting(&f.Format, &alt);
        text += std::to_string(alt) + ":" + std::to_string(f.Format.nChannels) + "x" +
                std::to_string(f.Format.nSamplesPerSec) + (ProcessingStageFormatTag(f) == 1 ? "" : "ac3") + " ";
    }
    return text;
}

// Naming the engine rewrites its formats for its endpoint type: AC-3 only on S/PDIF, 96 kHz PCM only
// on headphone and S/PDIF (setting 5), each once however often the engine is renamed.
TEST_F(R7T5StreamTest, NamingTheEngineRewritesItsFormatsForItsType) {
    StartModel();
    auto* stream = new (NonPagedPoolNx, 'tT7R') TypedStream(nullptr, kRenderInterface, 0);
    ASSERT_NE(stream, nullptr);
    stream->NonDelegatingAddRef();
    ASSERT_EQ(stream->StartWorker(StreamDirectionRender, m_common, g_Hal), STATUS_SUCCESS);
    // As the parse leaves them, plus an AC-3 record the device never declared.
    for (auto [tag, rate, alt] : {std::tuple{1, 44100, 2}, {1, 48000, 2}, {1, 96000, 5}, {kAc3Tag, 48000, 2}}) {
        const WAVEFORMATEXTENSIBLE f = Stereo16(static_cast<USHORT>(tag), rate);
        ASSERT_EQ(stream->AddAltSettingFormat(&f, static_cast<UCHAR>(alt)), STATUS_SUCCESS);
    }
    struct Case {
        EndpointType type;
        const char* formats;
    };
    const Case cases[] = {
        {EndpointType::Headphones, "2:2x44100 2:2x48000 5:2x96000 "},
        {EndpointType::Spdif, "2:2x44100 2:2x48000 2:2x44100ac3 2:2x48000ac3 5:2x96000ac3 5:2x96000 "},
        {EndpointType::Spdif, "2:2x44100 2:2x48000 2:2x44100ac3 2:2x48000ac3 5:2x96000ac3 5:2x96000 "},
        {EndpointType::Speaker, "2:2x44100 2:2x48000 "},
        // Other types keep what they have.
        {EndpointType::Line, "2:2x44100 2:2x48000 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(EndpointTypeCode(c.type));
        stream->m_Type = EndpointTypeCode(c.type);
        ASSERT_EQ(stream->SetName(KV_WIDE("SPK0")), STATUS_SUCCESS);
        EXPECT_EQ(DescribeFormats(stream), c.formats);
    }
    // The S/PDIF record at 96 kHz selects setting 5.
    stream->m_Type = EndpointTypeCode(EndpointType::Spdif);
    ASSERT_EQ(stream->SetName(KV_WIDE("SPDIF0")), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE ac3 = Stereo16(kAc3Tag, 96000);
    UCHAR alt = 0;
    ASSERT_EQ(stream->FindAltSetting(&ac3.Format, &alt), STATUS_SUCCESS);
    EXPECT_EQ(alt, 5);
    // A name that is refused rewrites nothing.
    stream->m_Type = EndpointTypeCode(EndpointType::Speaker);
    EXPECT_EQ(stream->SetName(KV_WIDE("a name far longer than the fifty characters an engine name holds")),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->GetFormatCount(), 6u);
    stream->NonDelegatingRelease();
}

enum class Heard { Unknown, Pass, Quarter, Silence };

// What frame F of the sink carries against the client's ramp: samples whose classes would tie
// (near zero) say nothing.
Heard Classify(const sim::usb::RenderSink& Sink, uint64_t F) {
    Heard heard = Heard::Unknown;
    for (unsigned c = 0; c < 2; ++c) {
        const int32_t sent = RampValue(0, F, c, 2);
        if (std::abs(sent) < 8) continue;
        const int32_t got = Sink.Sample(F, c);
        Heard h = got == sent ? Heard::Pass : got == sent / 4 ? Heard::Quarter : got == 0 ? Heard::Silence : Heard::Unknown;
        if (h == Heard::Unknown) return Heard::Unknown;
        if (heard != Heard::Unknown && heard != h) return Heard::Unknown;
        heard = h;
    }
    return heard;
}

// The poll reads the status report every 50 ms: the first clear bit 4 turns the guard to quarter
// gain at once, the 30th clear reading to silence, 30 set readings back to pass. Each change lands
// on a poll tick, and the device's render sink hears the modes in that order, each for as long as
// it lasted. The line monitor is force-muted in pass mode only.
TEST_F(R7T5StreamTest, PollGuardIsHeardAtTheRenderSink) {
    StartModel();
    FormatPolicy* guard = g_Hal->Guard();
    ASSERT_NE(guard, nullptr);
    UsbAudioStream* stream = Stream(0);
    const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
    ASSERT_EQ(format.Format.nChannels, 2);
    sim::usb::DeviceOf(m_port).ClearLog();

    TestClient client(stream, ClientKind::WaveStream);
    ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    const sim::machine::Time started = sim::machine::Now();
    const sim::machine::Time edge = started + 1000 * kMillisecond;
    const sim::machine::Time setAgain = edge + 2000 * kMillisecond;
    m_state->reportBit4 = {{0, true}, {edge, false}, {setAgain, true}};
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);

    sim::machine::Time changed[3] = {};
    const ULONG modes[3] = {1, 2, 0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == modes[i]; }, 5000 * kMillisecond)) << i;
        changed[i] = sim::machine::Now();
    }
    sim::machine::RunFor(300 * kMillisecond);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);

    // The ticks: the first at or after the clear edge, silence 29 periods later, pass at the 30th
    // tick at or after the set edge.
    constexpr sim::machine::Time period = 50 * kMillisecond;
    EXPECT_GE(changed[0], edge);
    EXPECT_LT(changed[0], edge + period + kMillisecond);
    EXPECT_NEAR(double(changed[1] - changed[0]), double(29 * period), double(kMillisecond));
    const double ticksToPass = double(changed[2] - changed[0]) / double(period);
    EXPECT_NEAR(ticksToPass, std::round(ticksToPass), 0.02);
    EXPECT_GE(changed[2], setAgain + 29 * period);
    EXPECT_LT(changed[2], setAgain + 30 * period + kMillisecond);

    // The sink: pass, quarter, silence, pass, in runs; each middle run as long as its mode lasted
    // (give or take the transfers in flight when the mode changed).
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    ASSERT_GT(sink.StoredFrames(), 48000u * 4);
    std::vector<std::pair<Heard, uint64_t>> runs;  // class, frames
    for (uint64_t f = 0; f < sink.StoredFrames(); ++f) {
        const Heard h = Classify(sink, f);
        if (h == Heard::Unknown) continue;
        if (runs.empty() || runs.back().first != h) runs.emplace_back(h, 0);
        ++runs.back().second;
    }
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].first, Heard::Pass);
    EXPECT_EQ(runs[1].first, Heard::Quarter);
    EXPECT_EQ(runs[2].first, Heard::Silence);
    EXPECT_EQ(runs[3].first, Heard::Pass);
    const auto framesOf = [](sim::machine::Time t) { return double(t) / double(kMillisecond) * 48.0; };
    EXPECT_NEAR(double(runs[1].second), framesOf(changed[1] - changed[0]), 480.0);
    EXPECT_NEAR(double(runs[2].second), framesOf(changed[2] - changed[1]), 480.0);

    // Forced at the start (pass), released at quarter gain and at silence, forced again at pass;
    // the user's unmuted choice is what the device gets once the force ends.
    EXPECT_EQ(LineMonitorMutes(), (std::vector<uint8_t>{1, 0, 0, 1}));
}

}  // namespace
