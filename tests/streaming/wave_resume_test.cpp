// A wave pin that leaves RUN and comes back: PAUSE, ACQUIRE and a USB error recovery continue the
// stream where it was (the device hears one unbroken ramp, the port one unbroken position); STOP
// starts it over from silence, never from the previous run's tail.
#include <gtest/gtest.h>

#include "streaming/wave_front_machine.h"

#include <sim/usb_ramp_check.h>
#include <win/ksmedia.h>

#include <cstring>
#include <span>
#include <vector>

namespace {

using namespace wave_front_test;

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr ULONG kBytesPerMs = 48 * 4;  // 48 kHz, 2 x 16 bits

// A 16-bit stereo ramp: frame n carries start + n on channel 0 and start + n + 0x100 on channel 1.
struct Ramp {
    int64_t frame = 0;
    size_t operator()(UCHAR* data, size_t length) {
        size_t written = 0;
        for (; written + 4 <= length; written += 4, ++frame) {
            const auto left = static_cast<int16_t>(frame);
            const auto right = static_cast<int16_t>(frame + 0x100);
            std::memcpy(data + written, &left, 2);
            std::memcpy(data + written + 2, &right, 2);
        }
        return written;
    }
};

// The faults of a ramp taken piece by piece: after each fault the check goes on from where it
// showed, so every break is listed, not only the first.
std::vector<sim::usb::RampReport> Breaks(std::span<const int32_t> samples, unsigned channels, sim::usb::RampSpec spec) {
    std::vector<sim::usb::RampReport> breaks;
    size_t at = 0;
    while (at < samples.size() / channels && breaks.size() < 16) {
        const sim::usb::RampReport report = sim::usb::CheckRamp(samples.subspan(at * channels), channels, spec);
        if (report.Ok()) break;
        breaks.push_back(report);
        at += report.frame != 0 ? report.frame : 1;
        spec.fromStart = false;
    }
    return breaks;
}

class WaveResume : public WaveFront {
protected:
    void SetUp() override {
        WaveFront::SetUp();
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
    }
    // Renders the ramp for duration from wherever the pin is; the play position must only move on
    // and by no more than a transfer between two checks. It stands still only while the USB side
    // recovers (stalls allowed).
    void Render(Ramp& ramp, Time duration, bool stalls = false) {
        sim::hosts::StreamRunStats stats;
        KSAUDIO_POSITION before{};
        ASSERT_EQ(m_Pin->Position(&before), STATUS_SUCCESS);
        ASSERT_EQ(m_Pin->Render([&](UCHAR* data, size_t length) { return ramp(data, length); }, duration, &stats),
                  STATUS_SUCCESS);
        if (!stalls) {
            EXPECT_EQ(stats.positionStalls, 0u);
        }
        EXPECT_LE(stats.largestStep, 5 * kBytesPerMs);
        EXPECT_GE(stats.positionBytes, before.PlayOffset);
        m_LastPlay = stats.positionBytes;
    }
    // Steps the pin through states; the position holds, or moves on by what was still on the bus
    // (at most five transfers of 5 ms).
    void Step(std::initializer_list<KSSTATE> states) {
        for (KSSTATE state : states) {
            ASSERT_EQ(m_Pin->SetState(state), STATUS_SUCCESS);
            KSAUDIO_POSITION position{};
            ASSERT_EQ(m_Pin->Position(&position), STATUS_SUCCESS);
            if (state == KSSTATE_STOP) {
                EXPECT_EQ(position.PlayOffset, 0u);
                m_LastPlay = 0;
                continue;
            }
            EXPECT_GE(position.PlayOffset, m_LastPlay) << "state " << state;
            EXPECT_LE(position.PlayOffset, m_LastPlay + 30 * kBytesPerMs) << "state " << state;
            m_LastPlay = position.PlayOffset;
        }
    }
    std::vector<sim::usb::RampReport> SinkBreaks() {
        const std::vector<int32_t> samples = Audio().Render(kRenderInterface)->Interleaved();
        sim::usb::RampSpec spec;
        return Breaks(samples, 2, spec);
    }
    ULONGLONG m_LastPlay = 0;
};

// PAUSE, ACQUIRE and back to RUN: the device receives every frame once, in order.
TEST_F(WaveResume, PauseAndAcquireKeepTheRenderRampUnbroken) {
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    Ramp ramp;
    Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    Render(ramp, 120 * kMs);
    Step({KSSTATE_PAUSE});
    sim::machine::RunFor(30 * kMs);
    Render(ramp, 120 * kMs);
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE});
    sim::machine::RunFor(30 * kMs);
    Step({KSSTATE_PAUSE});
    Render(ramp, 120 * kMs);
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    for (const sim::usb::RampReport& r : SinkBreaks()) ADD_FAILURE() << r.text;
    EXPECT_GE(Audio().Render(kRenderInterface)->Frames(), 48u * 300);
}

// STOP then RUN: the second run starts from silence and its own first frame; nothing of the first
// run's buffer is played again.
TEST_F(WaveResume, StopStartsOverFromSilence) {
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    Ramp first{.frame = 20000};
    Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    Render(first, 100 * kMs);
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    Audio().Render(kRenderInterface)->Clear();
    Ramp second;
    Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    Render(second, 100 * kMs);
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    const sim::usb::RampReport report = sim::usb::CheckRamp(*Audio().Render(kRenderInterface), sim::usb::RampSpec{});
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_GT(report.rampFrames, 48u * 50);
}

// A packet error makes the USB side recover: the device misses at most the failed transfer, and
// the stream goes on from where it was, without a jump of the position.
TEST_F(WaveResume, RecoveryLosesAtMostOneTransfer) {
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    Ramp ramp;
    Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    sim::usb::DeviceOf(m_Port).AddPacketFault(
        {.endpoint = kRenderEndpoint, .times = 1, .frames = {sim::usb::CurrentFrame() + 60}});
    Render(ramp, 250 * kMs, true);
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    EXPECT_EQ(sim::usb::EndpointStatistics(m_Port, kRenderEndpoint).packetErrors, 1u);
    const std::vector<sim::usb::RampReport> breaks = SinkBreaks();
    ASSERT_EQ(breaks.size(), 1u) << breaks.back().text;
    EXPECT_EQ(breaks[0].fault, sim::usb::RampFault::Loss) << breaks[0].text;
    EXPECT_LE(breaks[0].found - breaks[0].expected, 48 * 5) << breaks[0].text;
}

// Capture across PAUSE: the second run hands over only audio captured in it; the gap is the
// pause, with no stale buffer before it.
TEST_F(WaveResume, CapturePauseDeliversNoStaleAudio) {
    OpenFilter(KSCATEGORY_CAPTURE);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    std::vector<int32_t> samples;
    auto collect = [&](const UCHAR* data, size_t length) {
        for (size_t at = 0; at + 2 <= length; at += 2) {
            int16_t sample;
            std::memcpy(&sample, data + at, 2);
            samples.push_back(sample);
        }
    };
    sim::hosts::StreamRunStats stats;
    Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    ASSERT_EQ(m_Pin->Capture(collect, 100 * kMs, &stats), STATUS_SUCCESS);
    m_LastPlay = stats.positionBytes;
    Step({KSSTATE_PAUSE});
    sim::machine::RunFor(30 * kMs);
    ASSERT_EQ(m_Pin->Capture(collect, 100 * kMs, &stats), STATUS_SUCCESS);
    EXPECT_LE(stats.largestStep, 10 * kBytesPerMs);
    m_LastPlay = stats.positionBytes;
    Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});

    sim::usb::CaptureSource& source = *Audio().Capture(kCaptureInterface);
    sim::usb::RampSpec spec = sim::usb::RampOfSource(source.Config(), source.Format());
    spec.fromStart = false;
    const std::vector<sim::usb::RampReport> breaks = Breaks(samples, 2, spec);
    ASSERT_EQ(breaks.size(), 1u) << breaks.back().text;
    EXPECT_EQ(breaks[0].fault, sim::usb::RampFault::Loss) << breaks[0].text;
}

}  // namespace

#include "driver/engine/base/Settings.h"

namespace {

// "StreamBlock" (transfers in flight) is taken only within what plays: every value written to the
// device's settings gives a stream that reaches the device in order, without position stalls.
TEST_F(WaveResume, EveryStreamBlockSettingPlaysInOrder) {
    PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice;
    PDEVICE_OBJECT device = GetAdapterExtension(functional)->Adapter->GetDeviceObject();
    OpenFilter(KSCATEGORY_RENDER);
    for (ULONG block : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 8u, 10u, 11u, 1000u}) {
        SCOPED_TRACE(block);
        ASSERT_EQ(AccessSettingBinary(device, SettingMode::Write, &block, sizeof(block), SettingName::StreamBlock),
                  STATUS_SUCCESS);
        ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
        Audio().Render(kRenderInterface)->Clear();
        Ramp ramp;
        Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
        Render(ramp, 150 * kMs);
        Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
        m_Pin.reset();
        for (const sim::usb::RampReport& r : SinkBreaks()) ADD_FAILURE() << r.text;
    }
}

}  // namespace
