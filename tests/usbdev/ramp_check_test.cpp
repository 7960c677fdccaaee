// The ramp checker that end-to-end tests use on what crossed the bus: each kind of departure from the
// ramp is found at its first frame, and a sink's report names the packet that carried it.
#include "usb_test_support.h"

#include <sim/usb_ramp_check.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace sim::usb;
using Frames = std::vector<std::vector<int32_t>>;

// Frames first .. first + count - 1 of the ramp that RampSpec describes, computed independently of the checker.
Frames RampFrames(const RampSpec& spec, unsigned channels, int64_t first, int64_t count) {
    Frames out;
    const int64_t modulus = int64_t(1) << spec.bits;
    for (int64_t n = first; n < first + count; ++n) {
        std::vector<int32_t> frame;
        for (unsigned c = 0; c < channels; ++c) {
            int64_t v = (spec.start + n * spec.step + int64_t(c) * spec.channelOffset) % modulus;
            if (v < 0) v += modulus;
            if (v >= modulus / 2) v -= modulus;
            frame.push_back(int32_t(uint32_t(v) << spec.shift));
        }
        out.push_back(frame);
    }
    return out;
}

std::vector<int32_t> Flatten(const Frames& frames) {
    std::vector<int32_t> out;
    for (const auto& f : frames) out.insert(out.end(), f.begin(), f.end());
    return out;
}

TEST(RampCheck, FindsTheFirstDepartureAndItsKind) {
    const RampSpec stereo16{};
    const RampSpec shifted{.start = 100, .step = 3, .channelOffset = 1000, .bits = 16, .shift = 8};
    struct Case {
        const char* name;
        RampSpec spec;
        std::function<void(Frames&)> mutate;  // applied to 100 ramp frames (3 channels)
        RampFault fault;
        uint64_t frame;
        int64_t expected, found;
        unsigned channel = 0;
    } cases[] = {
        {"Intact", stereo16, [](Frames&) {}, RampFault::None, 0, 0, 0},
        {"SilenceAroundIt", stereo16,
         [](Frames& f) {
             f.insert(f.begin(), 5, std::vector<int32_t>(3, 0));
             f.insert(f.end(), 7, std::vector<int32_t>(3, 0));
         },
         RampFault::None, 0, 0, 0},
        {"Loss", stereo16, [](Frames& f) { f.erase(f.begin() + 40, f.begin() + 44); }, RampFault::Loss, 40, 40, 44},
        {"Repetition", stereo16, [](Frames& f) {
             const Frames again(f.begin() + 45, f.begin() + 50);
             f.insert(f.begin() + 50, again.begin(), again.end());
         },
         RampFault::Repetition, 50, 50, 45},
        {"Reordering", stereo16, [](Frames& f) { std::swap_ranges(f.begin() + 20, f.begin() + 25, f.begin() + 25); },
         RampFault::Reordering, 20, 20, 25},
        {"SilenceInside", stereo16, [](Frames& f) { f[60].assign(3, 0); }, RampFault::Silence, 60, 60, 60},
        {"SwappedChannels", stereo16, [](Frames& f) { std::swap(f[70][1], f[70][2]); }, RampFault::Corruption, 70, 70,
         70, 1},
        {"LostFirstFrames", stereo16, [](Frames& f) { f.erase(f.begin(), f.begin() + 3); }, RampFault::Loss, 0, 0, 3},
        {"ShiftedLowBitsSet", shifted, [](Frames& f) { f[10][0] |= 1; }, RampFault::Corruption, 10, 10, 10},
        {"ShiftedLoss", shifted, [](Frames& f) { f.erase(f.begin() + 90); }, RampFault::Loss, 90, 90, 91},
        {"NothingButSilence", stereo16, [](Frames& f) { for (auto& x : f) x.assign(3, 0); }, RampFault::NoRamp, 0, 0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frames frames = RampFrames(c.spec, 3, 0, 100);
        c.mutate(frames);
        const RampReport r = CheckRamp(Flatten(frames), 3, c.spec);
        EXPECT_EQ(r.fault, c.fault) << r.text;
        if (c.fault == RampFault::None || c.fault == RampFault::NoRamp) continue;
        EXPECT_EQ(r.frame, c.frame) << r.text;
        EXPECT_EQ(r.expected, c.expected);
        EXPECT_EQ(r.found, c.found);
        EXPECT_EQ(r.channel, c.channel);
    }
}

TEST(RampCheck, FollowsTheRampAcrossItsWrapAndFromAnywhere) {
    // 16-bit ramp: 70000 frames wrap once; a capture may join the ramp at any n.
    RampSpec spec{.channelOffset = 0x4000};
    EXPECT_TRUE(CheckRamp(Flatten(RampFrames(spec, 2, 0, 70000)), 2, spec).Ok());
    EXPECT_EQ(CheckRamp(Flatten(RampFrames(spec, 2, 1234, 100)), 2, spec).fault, RampFault::Loss);
    spec.fromStart = false;
    const RampReport r = CheckRamp(Flatten(RampFrames(spec, 2, 1234, 100)), 2, spec);
    EXPECT_TRUE(r.Ok()) << r.text;
    EXPECT_EQ(r.rampFrames, 100u);
    // A mono ramp from 0 begins with a silent frame, which is the ramp's own.
    const RampSpec mono{.channelOffset = 0};
    const RampReport m = CheckRamp(Flatten(RampFrames(mono, 1, 0, 10)), 1, mono);
    EXPECT_TRUE(m.Ok()) << m.text;
    EXPECT_EQ(m.rampFrames, 10u);
}

// A long stream is checked block by block as it arrives: whatever the cut (inside frames, on the
// fault, one frame a block), the follower finds what the checker finds in the whole stream, including
// faults that straddle a cut and silence that spans blocks.
TEST(RampCheck, FollowerFindsWhatTheWholeStreamShowsWhereverItIsCut) {
    const Frames silent(1, std::vector<int32_t>(3, 0));
    struct Case {
        const char* name;
        std::function<void(Frames&)> mutate;  // applied to 300 ramp frames (3 channels)
    } cases[] = {
        {"Intact", [](Frames&) {}},
        {"SilenceAroundIt",
         [&](Frames& f) {
             f.insert(f.begin(), 130, silent[0]);
             f.insert(f.end(), 70, silent[0]);
         }},
        {"LossOnACut", [](Frames& f) { f.erase(f.begin() + 100, f.begin() + 103); }},
        {"RepetitionOnACut", [](Frames& f) {
             const Frames again(f.begin() + 95, f.begin() + 100);
             f.insert(f.begin() + 100, again.begin(), again.end());
         }},
        {"SilenceAcrossACut", [&](Frames& f) { std::fill(f.begin() + 98, f.begin() + 102, silent[0]); }},
        {"SilentBlockInside", [&](Frames& f) { std::fill(f.begin() + 100, f.begin() + 200, silent[0]); }},
        {"SilenceThenLoss", [&](Frames& f) {
             f.erase(f.begin() + 150, f.begin() + 160);
             f.insert(f.begin() + 150, 10, silent[0]);
         }},
        {"CorruptionAfterACut", [](Frames& f) { f[200][2] ^= 0x40; }},
    };
    for (const bool fromStart : {true, false}) {
        RampSpec spec{.start = 7, .channelOffset = 0x1000, .fromStart = fromStart};
        for (const Case& c : cases) {
            Frames frames = RampFrames(spec, 3, fromStart ? 0 : 5000, 300);
            c.mutate(frames);
            const std::vector<int32_t> samples = Flatten(frames);
            const RampReport whole = CheckRamp(samples, 3, spec);
            for (const size_t cut : {samples.size(), size_t(7), size_t(3), size_t(300)}) {
                SCOPED_TRACE(std::string(c.name) + (fromStart ? " from start" : " from anywhere") + ", blocks of " +
                             std::to_string(cut) + " samples");
                RampFollower follower(spec, 3);
                for (size_t at = 0; at < samples.size(); at += cut) {
                    follower.Feed(std::span(samples).subspan(at, std::min(cut, samples.size() - at)));
                }
                const RampReport r = follower.Finish();
                EXPECT_EQ(r.fault, whole.fault) << r.text << " / whole: " << whole.text;
                EXPECT_EQ(r.frame, whole.frame) << r.text;
                EXPECT_EQ(r.expected, whole.expected) << r.text;
                EXPECT_EQ(r.found, whole.found) << r.text;
                EXPECT_EQ(r.rampFrames, whole.rampFrames) << r.text;
                EXPECT_EQ(r.leadingSilence, whole.leadingSilence) << r.text;
                if (whole.Ok()) {
                    EXPECT_EQ(follower.Frames(), frames.size());
                }
            }
        }
    }
}

TEST(RampCheck, SinkReportNamesTheBusTimeOfTheFaultyPacket) {
    auto d = usbtest::Configured("uac1");
    ASSERT_EQ(usbtest::SelectAlternate(*d, 1, 1), ControlStatus::Ok);  // 16-bit stereo
    const RampSpec spec{};
    const Frames frames = RampFrames(spec, 2, 0, 48 * 5);
    for (uint64_t packet = 0; packet < 5; ++packet) {
        if (packet == 3) continue;  // the host never sent the fourth millisecond
        std::vector<uint8_t> bytes;
        for (uint64_t f = packet * 48; f < (packet + 1) * 48; ++f) {
            for (int32_t s : frames[f]) bytes.insert(bytes.end(), {uint8_t(s), uint8_t(s >> 8)});
        }
        d->IsoOut(0x01, (100 + packet) * 8, bytes);
    }
    const RampReport r = CheckRamp(*d->Audio()->Render(1), spec);
    EXPECT_EQ(r.fault, RampFault::Loss);
    EXPECT_EQ(r.frame, 3u * 48);
    EXPECT_EQ(r.found, 4 * 48);
    EXPECT_EQ(r.microframe, (100u + 4) * 8) << r.text;
    EXPECT_NE(r.text.find("bus frame 104"), std::string::npos) << r.text;
}

TEST(RampCheck, CaptureAgainstTheSourceRamp) {
    auto d = usbtest::Configured("uac1");
    ASSERT_EQ(usbtest::SelectAlternate(*d, 2, 2), ControlStatus::Ok);  // 24 bits in 3-byte containers, 44.1 kHz
    CaptureSource* source = d->Audio()->Capture(2);
    source->Configure(CaptureSourceConfig{.start = 0x7FFF00, .step = 5, .channelOffset = 0x10000});
    std::vector<int32_t> captured;
    std::vector<uint8_t> buffer(512);
    for (uint64_t frame = 20; frame < 30; ++frame) {
        if (frame == 25) continue;  // the host missed a frame: the device's ramp moved on
        const PacketResult r = d->IsoIn(0x82, frame * 8, buffer);
        for (uint32_t i = 0; i + 3 <= r.length; i += 3) {
            captured.push_back(int32_t(uint32_t(buffer[i] | buffer[i + 1] << 8 | buffer[i + 2] << 16) << 8) >> 8);
        }
    }
    const RampSpec spec = RampOfSource(source->Config(), source->Format());
    const RampReport r = CheckRamp(captured, 2, spec);
    EXPECT_EQ(r.fault, RampFault::Loss) << r.text;
    EXPECT_EQ(r.found - r.expected, 44) << "one millisecond at 44.1 kHz";
    EXPECT_EQ(r.frame, 5u * 44) << "five packets of 44 frames came before";
}

}  // namespace
