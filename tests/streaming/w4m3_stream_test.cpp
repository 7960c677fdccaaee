// The W4M3 render stream on the catalog's stereo UAC 1.0 device: a client plays three channels,
// the limiter runs over them and the device receives the first two, sample-exact after the
// limiter's look-ahead.
#include "streaming/stream_machine.h"

#include "driver/engine/models/W4M3AudioHal.h"
#include "driver/engine/models/W4M3EffectControls.h"
#include "driver/engine/uac1/W4M3PlaybackStream.h"

#include <sim/usb_models.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

using sim::machine::kMillisecond;
using stream_test::RampValue;
using stream_test::StreamMachine;
using stream_test::TestClient;

class W4M3StreamTest : public StreamMachine {};

TEST_F(W4M3StreamTest, AnOddChannelCountReachesTheDeviceAsItsFirstTwoChannels) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    auto* stream = new (NonPagedPoolNx, 'tM4W') W4M3PlaybackStream(nullptr, kRenderInterface, 0);
    ASSERT_NE(stream, nullptr);
    stream->NonDelegatingAddRef();
    ASSERT_EQ(stream->StartWorker(StreamDirectionRender, m_common), STATUS_SUCCESS);
    ASSERT_TRUE(stream->HasLimiter());
    // Three 16-bit channels at 48 kHz, carried on the device's stereo 16-bit setting.
    WAVEFORMATEXTENSIBLE format = FindFormat(Stream(0), 48000, 16);
    format.Format.nChannels = 3;
    format.Format.nBlockAlign = 6;
    format.Format.nAvgBytesPerSec = 6 * 48000;
    format.dwChannelMask = 0x7;
    ASSERT_EQ(stream->AddAltSettingFormat(&format, 1), STATUS_SUCCESS);
    ASSERT_EQ(stream->AllocateWorkBuffers(), STATUS_SUCCESS);
    {
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(300 * kMillisecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();

        const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
        EXPECT_EQ(sink.Format().channels, 2u);
        EXPECT_EQ(sink.Frames(), client.FramesWritten());
        EXPECT_EQ(sink.PartialFramePackets(), 0u);
        // The limiter delays by its look-ahead; below full scale it passes the ramp unchanged.
        constexpr uint64_t kLookAhead = 256;
        for (uint64_t f = kLookAhead; f < sink.StoredFrames(); ++f) {
            for (unsigned c = 0; c < 2; ++c) {
                ASSERT_EQ(sink.Sample(f, c), RampValue(0, f - kLookAhead, c, 2)) << "frame " << f << " channel " << c;
            }
        }
    }
    stream->NonDelegatingRelease();
}

}  // namespace

namespace {

// The W4M3 model device with the driver's W4M3 HAL: its render engine offers eight channels, and
// an eight-channel client reaches the stereo device as two channels, frame for frame. With both
// effects off the front pair passes the plain down-mix unchanged when the other six channels are
// silent; the limiters and the conversion chains only delay it.
class W4M3ModelStreamTest : public StreamMachine {};

TEST_F(W4M3ModelStreamTest, EightChannelRampReachesTheDeviceAsTwoChannels) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->GetDirection(), StreamDirectionRender);
    const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
    ASSERT_EQ(format.Format.nChannels, 8);
    ASSERT_EQ(format.Format.nBlockAlign, 16);
    {
        TestClient client(stream, ClientKind::WaveStream);
        client.SilenceFrom(2);
        ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(300 * kMillisecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();

        const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
        EXPECT_EQ(sink.Format().channels, 2u);
        EXPECT_GT(sink.Frames(), 9000u);
        EXPECT_EQ(sink.Frames(), client.FramesWritten());
        EXPECT_EQ(sink.PartialFramePackets(), 0u);
        EXPECT_EQ(sink.OversizePackets(), 0u);
        // The delay: the first frame that carries the ramp's first non-zero sample.
        uint64_t delay = 0;
        while (delay < sink.StoredFrames() && sink.Sample(delay, 1) == 0) ++delay;
        ASSERT_LT(delay, 4096u);
        for (uint64_t f = delay; f < sink.StoredFrames(); ++f) {
            for (unsigned c = 0; c < 2; ++c) {
                ASSERT_EQ(sink.Sample(f, c), RampValue(0, f - delay, c, 2)) << "frame " << f << " channel " << c
                                                                           << " delay " << delay;
            }
        }
    }
}

}  // namespace

namespace {

// A 1 kHz tone of 0.1 (3277 at 16 bits) on every channel, at Rate.
std::function<int32_t(uint64_t, unsigned)> Tone(double Rate) {
    return [Rate](uint64_t n, unsigned) {
        return static_cast<int32_t>(std::lround(3277.0 * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(n) / Rate)));
    };
}

// The RMS of Samples[From, To) against the tone's, and the largest step between neighbours.
double ToneGain(const std::vector<int32_t>& Samples, size_t From, size_t To) {
    double sum = 0;
    for (size_t f = From; f < To; ++f) sum += double(Samples[f]) * double(Samples[f]);
    return std::sqrt(sum / double(To - From)) / (3277.0 / std::sqrt(2.0));
}
int32_t MaxStep(const std::vector<int32_t>& Samples, size_t From, size_t To) {
    int32_t step = 0;
    for (size_t f = From + 1; f < To; ++f) step = std::max(step, std::abs(Samples[f] - Samples[f - 1]));
    return step;
}

class W4M3EffectStreamTest : public StreamMachine {
protected:
    void TearDown() override {
        if (m_common != nullptr) m_common->Stop();  // the status thread holds the adapter
        StreamMachine::TearDown();
    }
    // The effect control of the playback feature unit with that name, without a reference.
    VendorControl* Effect(const GUID& Name) {
        auto* hal = static_cast<W4M3AudioHal*>(m_adapter->HalAdapterCommon());
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(sim::usb::w4m3::kPlaybackFeature, &unit))) return nullptr;
        ULONG count = 0;
        unit->GetControlCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* node = nullptr;
            VendorControl* vendor = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &node)) ||
                !NT_SUCCESS(node->QueryInterface(IID_VendorControl, reinterpret_cast<PVOID*>(&vendor)))) {
                continue;
            }
            vendor->Release();
            GUID name{};
            if (NT_SUCCESS(vendor->GetNameGuid(&name)) && IsEqualGUID(name, Name)) return vendor;
        }
        return nullptr;
    }
    // Plays an eight-channel ramp (or Content) at Rate for Ms milliseconds, calling During halfway.
    uint64_t Play(ULONG Rate, sim::machine::Time Ms, const std::function<void()>& During = {},
                  std::function<int32_t(uint64_t, unsigned)> Content = {}) {
        const WAVEFORMATEXTENSIBLE format = FindFormat(Stream(0), Rate, 16);
        TestClient client(Stream(0), ClientKind::WaveStream);
        if (Content) client.Content(std::move(Content));
        EXPECT_EQ(client.Register(format), STATUS_SUCCESS);
        EXPECT_EQ(client.SetFormat(), STATUS_SUCCESS);
        EXPECT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(Ms / 2 * kMillisecond);
        if (During) During();
        sim::machine::RunFor(Ms / 2 * kMillisecond);
        EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();
        return client.FramesWritten();
    }
};

// The room effect switched on while an eight-channel tone plays: the device learns the switch,
// the sink's stereo changes from the dry down-mix (4.707 times the tone: front, centre at 0.707,
// LFE and both surrounds) to the room mix without losing a frame and without a step larger than
// the steady signal's, and the switch is stored: the next start plays the room mix from the start.
TEST_F(W4M3EffectStreamTest, RoomEffectSwitchedOnDuringPlaybackReachesTheSinkAndIsStored) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    auto state = sim::usb::w4m3::StateOf(sim::usb::DeviceOf(m_port));
    ASSERT_NE(state, nullptr);
    VendorControl* room = Effect(W4M3DelayEffectName);
    ASSERT_NE(room, nullptr);
    const uint64_t frames =
        Play(48000, 400, [&] { EXPECT_EQ(room->SetEnable(1), STATUS_SUCCESS); }, Tone(48000));
    EXPECT_EQ(state->roomEffect, 1);
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_EQ(sink.Frames(), frames);
    EXPECT_EQ(sink.PartialFramePackets(), 0u);
    const std::vector<int32_t> left = sink.Channel(0);
    ASSERT_GT(left.size(), 18000u);
    const double dry = ToneGain(left, 4800, 9600);
    const double wet = ToneGain(left, 14400, 18000);
    EXPECT_NEAR(dry, 4.707, 0.01);
    EXPECT_NEAR(wet, 3.89, 0.08);  // the room mix of this tone as measured
    const int32_t steady = std::max(MaxStep(left, 4800, 9600), MaxStep(left, 14400, 18000));
    EXPECT_LE(MaxStep(left, 4800, 18000), steady);
    RecordProperty("room_gain", std::to_string(dry) + " dry, " + std::to_string(wet) + " wet");

    sim::usb::DeviceOf(m_port).ClearLog();
    ReleaseStreams();
    m_common->Stop();
    ReleaseAdapter();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    room = Effect(W4M3DelayEffectName);
    ASSERT_NE(room, nullptr);
    UCHAR enable = 0;
    EXPECT_EQ(room->GetEnable(&enable), STATUS_SUCCESS);
    EXPECT_EQ(enable, 1);
    Audio().Render(kRenderInterface)->Clear();
    Play(48000, 200, {}, Tone(48000));
    EXPECT_NEAR(ToneGain(sink.Channel(0), 4800, 9000), wet, 0.02 * wet);
}

// The headphone effect at 96 kHz: the effect runs at 48 kHz between two conversion chains, and
// every block still leaves with exactly its frames, so the device receives every frame the client
// wrote, at a steady level with no step beyond the tone's own.
TEST_F(W4M3EffectStreamTest, HeadphoneEffectAt96kHzKeepsEveryFrame) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    VendorControl* headphone = Effect(W4M3HeadphoneEffectName);
    ASSERT_NE(headphone, nullptr);
    ASSERT_EQ(headphone->SetEnable(1), STATUS_SUCCESS);
    const uint64_t frames = Play(96000, 300, {}, Tone(96000));
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_EQ(sink.Format().rateHz, 96000u);
    EXPECT_GT(frames, 20000u);
    EXPECT_EQ(sink.Frames(), frames);
    EXPECT_EQ(sink.PartialFramePackets(), 0u);
    const std::vector<int32_t> left = sink.Channel(0);
    ASSERT_GT(left.size(), 28000u);
    const double first = ToneGain(left, 9600, 19200), second = ToneGain(left, 19200, 28800);
    EXPECT_NEAR(first, 1.71, 0.035);  // the headphone mix of this tone as measured
    EXPECT_NEAR(second, first, 0.01 * first);
    EXPECT_LE(MaxStep(left, 9600, 28800), std::max(MaxStep(left, 9600, 9700), MaxStep(left, 28700, 28800)) + 2);
    RecordProperty("headphone_gain", std::to_string(first));
}

// The device switches the room effect itself: its status interrupt makes the HAL read the switch
// again, and the control follows.
TEST_F(W4M3EffectStreamTest, DeviceSideSwitchIsFollowedThroughTheStatusInterrupt) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    VendorControl* room = Effect(W4M3DelayEffectName);
    ASSERT_NE(room, nullptr);
    ASSERT_TRUE(sim::usb::w4m3::ChangeEffectFromDevice(sim::usb::DeviceOf(m_port), sim::usb::w4m3::kRoomEffect, 1));
    UCHAR enable = 0;
    ASSERT_TRUE(sim::machine::RunUntil(
        [&] { return NT_SUCCESS(room->GetEnable(&enable)) && enable == 1; }, 2000 * kMillisecond));
}

// Every channel carries an impulse of 0.25 of its own (channel c at frame 4800 + 2400 c) and the
// device's stereo pair is measured in each effect state. Both off: each impulse arrives once, at
// the plain down-mix gains (front 1, centre 0.707, LFE and surrounds 1) and nowhere else. With an
// effect on every channel is still heard, on the side it belongs to.
TEST_F(W4M3EffectStreamTest, EveryChannelIsHeardOnceAtItsDownMixGainInEveryEffectState) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    VendorControl* room = Effect(W4M3DelayEffectName);
    VendorControl* headphone = Effect(W4M3HeadphoneEffectName);
    ASSERT_NE(room, nullptr);
    ASSERT_NE(headphone, nullptr);
    constexpr int32_t kImpulse = 8192;
    auto at = [](unsigned c) { return uint64_t{4800} + 2400u * c; };
    auto impulses = [&](uint64_t n, unsigned c) { return n == at(c) ? kImpulse : 0; };
    const float left[8] = {1, 0, 0.707f, 1, 1, 0, 1, 0};
    const float right[8] = {0, 1, 0.707f, 1, 0, 1, 0, 1};
    struct State {
        UCHAR room, headphone;
    };
    for (State state : {State{0, 0}, State{1, 0}, State{0, 1}, State{1, 1}}) {
        SCOPED_TRACE(testing::Message() << "room " << int(state.room) << " headphone " << int(state.headphone));
        ASSERT_EQ(room->SetEnable(state.room), STATUS_SUCCESS);
        ASSERT_EQ(headphone->SetEnable(state.headphone), STATUS_SUCCESS);
        sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
        sink.Clear();
        Play(48000, 500, {}, impulses);
        const std::vector<int32_t> out[2] = {sink.Channel(0), sink.Channel(1)};
        ASSERT_GT(out[0].size(), at(8));
        // The peak of each side between one impulse and the next, as a gain.
        testing::Message gains;
        for (unsigned c = 0; c < 8; ++c) {
            float peak[2] = {};
            for (unsigned side = 0; side < 2; ++side) {
                for (uint64_t f = at(c); f < at(c + 1); ++f) {
                    peak[side] = std::max(peak[side], std::abs(static_cast<float>(out[side][f])) / kImpulse);
                }
            }
            gains << " " << c << ":" << peak[0] << "/" << peak[1];
            const float loud = left[c] > 0 ? peak[0] : peak[1];
            EXPECT_GT(loud, 0.1f) << "channel " << c;
        }
        RecordProperty("gains_room" + std::to_string(state.room) + "_headphone" + std::to_string(state.headphone),
                       gains.GetString());
        if (state.room != 0 || state.headphone != 0) continue;

        uint64_t latency = 0;
        while (latency < out[0].size() && out[0][latency] == 0) ++latency;
        ASSERT_GE(latency, at(0));
        latency -= at(0);
        for (uint64_t f = 0; f < at(8); ++f) {
            int32_t expected[2] = {};
            for (unsigned c = 0; c < 8; ++c) {
                if (f != at(c) + latency) continue;
                expected[0] = static_cast<int32_t>(std::lround(kImpulse * left[c]));
                expected[1] = static_cast<int32_t>(std::lround(kImpulse * right[c]));
            }
            for (unsigned side = 0; side < 2; ++side) {
                ASSERT_NEAR(out[side][f], expected[side], 2) << "frame " << f << " side " << side;
            }
        }
    }
}

}  // namespace
