// The look-ahead peak limiter: latency, transparency, reduction, hold and release, channel
// coupling, the ceiling, and its states (unconfigured, uninitialised, freed).
#include "dsp_test_util.h"
#include "support/pool_faults.h"

#include "driver/signal/DspCommon.h"
#include "driver/signal/DspPeakLimiter.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr LONG kBlock = CDspPeakLimiter::kBlockFrames;
constexpr LONG kLatency = CDspPeakLimiter::kLatencyFrames;

// A limiter set up the way every owner does it.
struct Limiter {
    CDspPeakLimiter limiter;
    Limiter(WORD channels, float gain, float ceiling = 1.0f) {
        EXPECT_TRUE(limiter.Init());
        limiter.SetMode(0);
        limiter.SetGain(gain);
        limiter.SetCeiling(ceiling);
        limiter.SetFormat(dsptest::Float32(channels, 48000));
    }
    ~Limiter() { limiter.FreeBuffers(); }

    // Runs the planes through in calls of the given sizes, repeated until all frames are done.
    void Run(std::vector<std::vector<float>>& planes, const std::vector<ULONG>& calls) {
        const size_t frames = planes[0].size();
        size_t done = 0;
        for (size_t k = 0; done < frames; ++k) {
            const ULONG n = static_cast<ULONG>(std::min<size_t>(calls[k % calls.size()], frames - done));
            float* p[8] = {};
            for (size_t c = 0; c < planes.size(); ++c) p[c] = planes[c].data() + done;
            limiter.Process(p, n);
            done += n;
        }
    }
};

std::vector<float> Noise(size_t frames, float peak, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-peak, peak);
    std::vector<float> v(frames);
    for (float& x : v) x = d(rng);
    return v;
}

TEST(PeakLimiter, BelowTheCeilingOutputIsInputDelayed256FramesHoweverTheCallsAreCut) {
    const std::vector<std::vector<ULONG>> cuts = {{1, 100, 27}, {128}, {4096}, {255, 1, 7}, {129}};
    for (const auto& cut : cuts) {
        Limiter l(2, 1.0f);
        std::vector<std::vector<float>> planes = {Noise(3000, 1.0f, 1), Noise(3000, 0.7f, 2)};
        const auto input = planes;
        l.Run(planes, cut);
        for (size_t c = 0; c < 2; ++c) {
            for (size_t i = 0; i < 3000; ++i) {
                const float want = (i < size_t(kLatency)) ? 0.0f : input[c][i - kLatency];
                ASSERT_EQ(planes[c][i], want) << "channel " << c << " frame " << i << " cut " << cut[0];
            }
        }
    }
}

TEST(PeakLimiter, ResetRestartsWithSilenceAndKeepsTheGain) {
    Limiter l(1, 2.0f);
    std::vector<std::vector<float>> planes = {Noise(1000, 0.25f, 3)};
    l.Run(planes, {1000});
    l.limiter.Reset();
    planes = {Noise(600, 0.25f, 4)};
    const auto input = planes;
    l.Run(planes, {600});
    for (size_t i = 0; i < 600; ++i) {
        ASSERT_EQ(planes[0][i], i < size_t(kLatency) ? 0.0f : input[0][i - kLatency] * 2.0f) << i;
    }
}

TEST(PeakLimiter, MakeUpGainAppliesUntilTheCeilingThenTheCeilingOverThePeak) {
    struct Case {
        float peak;
        float wantGain;
    };
    for (const Case& k : {Case{0.3f, 2.8183f}, Case{0.5f, 2.0f}}) {
        Limiter l(1, 2.8183f);
        std::vector<float> in = dsptest::Sine(20 * kBlock, 997.0, 48000.0, 1.0);
        for (float& x : in) x *= k.peak;
        in[5] = k.peak;  // an exact peak in the first block
        std::vector<std::vector<float>> planes = {in};
        l.Run(planes, {333});
        float loudest = 0.0f;
        for (size_t i = kLatency; i < in.size(); ++i) {
            ASSERT_EQ(planes[0][i], in[i - kLatency] * k.wantGain) << "peak " << k.peak << " frame " << i;
            loudest = std::max(loudest, std::fabs(planes[0][i]));
        }
        EXPECT_LE(loudest, 1.0f);
    }
}

TEST(PeakLimiter, ReductionHoldsTwentyBlocksThenRisesByOneEightiethPerBlock) {
    const float gain = 2.8183f;
    Limiter l(1, gain);
    // Block 0 is loud (peak 0.5), the rest quiet (peak 0.1): target 2.0 while block 0 is among
    // the newest 20 blocks, the full gain after.
    const LONG blocks = 40;
    std::vector<float> in(blocks * kBlock, 0.1f);
    for (LONG i = 0; i < kBlock; ++i) in[i] = (i % 2) ? 0.5f : -0.5f;
    std::vector<std::vector<float>> planes = {in};
    l.Run(planes, {kBlock});
    auto gainAt = [&](LONG frame) { return planes[0][frame + kLatency] / in[frame]; };
    for (LONG b = 0; b <= 19; ++b) EXPECT_FLOAT_EQ(gainAt(b * kBlock), 2.0f) << "block " << b;
    EXPECT_NEAR(gainAt(19 * kBlock + kBlock - 1), 2.0f + (gain - 2.0f) / 80.0f * (127.0f / 128.0f), 1e-5f);
    float g = 2.0f;
    for (LONG b = 20; b < 30; ++b) {
        g += (gain - g) / 80.0f;
        EXPECT_NEAR(gainAt(b * kBlock), g, 1e-4f) << "block " << b;
    }
}

TEST(PeakLimiter, APeakInOneChannelLowersEveryChannelAlike) {
    Limiter l(2, 1.0f);
    std::vector<float> loud(4 * kBlock, 0.25f), quiet(4 * kBlock, 0.25f);
    loud[kBlock + 5] = 4.0f;  // one loud sample in block 1 of channel 0
    std::vector<std::vector<float>> planes = {loud, quiet};
    l.Run(planes, {4 * kBlock});
    // Block 1 leaves at frames 384..511, scaled by 1/4 in both channels.
    EXPECT_EQ(planes[0][kBlock + 5 + kLatency], 1.0f);
    EXPECT_EQ(planes[1][kBlock + 5 + kLatency], 0.25f * 0.25f);
    EXPECT_EQ(planes[1][kBlock + kLatency], 0.25f * 0.25f);
}

TEST(PeakLimiter, NoSampleEverExceedsTheCeiling) {
    // Bursts of random height and length with odd ceilings and gains: a fall that stops a hair
    // above its target, or a target rounded up, lets a peak through.
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        const float ceiling = std::uniform_real_distribution<float>(0.05f, 1.5f)(rng);
        const float gain = std::uniform_real_distribution<float>(0.5f, 8.0f)(rng);
        Limiter l(3, gain, ceiling);
        std::vector<std::vector<float>> planes(3);
        for (int c = 0; c < 3; ++c) {
            planes[c] = Noise(60 * kBlock, 0.05f, 100 + trial * 3 + c);
            for (int burst = 0; burst < 12; ++burst) {
                const size_t at = rng() % (60 * kBlock - 400);
                const float height = std::uniform_real_distribution<float>(0.1f, 6.0f)(rng);
                for (size_t i = at; i < at + rng() % 300; ++i) planes[c][i] = (rng() % 2) ? height : -height;
            }
        }
        l.Run(planes, {97});
        for (int c = 0; c < 3; ++c) {
            for (size_t i = 0; i < planes[c].size(); ++i)
                ASSERT_LE(std::fabs(planes[c][i]), ceiling) << "trial " << trial << " channel " << c << " frame " << i;
        }
    }
}

TEST(PeakLimiter, LeavesThePlanesAloneUnlessInitialisedAndConfigured) {
    struct Case {
        const char* name;
        bool init;
        WORD channels;
        bool freeBuffers;
    };
    const Case cases[] = {
        {"never initialised", false, 2, false},
        {"no channels", true, 0, false},
        {"nine channels", true, 9, false},
        {"buffers freed", true, 2, true},
    };
    for (const Case& k : cases) {
        CDspPeakLimiter limiter;
        if (k.init) {
            ASSERT_TRUE(limiter.Init());
        }
        limiter.SetGain(1.0f);
        limiter.SetFormat(dsptest::Float32(k.channels, 48000));
        if (k.freeBuffers) limiter.FreeBuffers();
        std::vector<float> a(300, 0.5f), b(300, -0.5f);
        float* planes[9] = {a.data(), b.data(), b.data(), b.data(), b.data(), b.data(), b.data(), b.data(), b.data()};
        limiter.Process(planes, 300);
        EXPECT_EQ(a, std::vector<float>(300, 0.5f)) << k.name;
        EXPECT_EQ(b, std::vector<float>(300, -0.5f)) << k.name;
        limiter.FreeBuffers();
    }
}

TEST(PeakLimiter, InitAfterFreeBuffersWorksAgain) {
    CDspPeakLimiter limiter;
    ASSERT_TRUE(limiter.Init());
    limiter.FreeBuffers();
    EXPECT_FALSE(limiter.IsInitialised());
    EXPECT_EQ(sim::pool::TagUsage(DspLimiterTag).blocks, 0u);
    ASSERT_TRUE(limiter.Init());
    EXPECT_EQ(sim::pool::TagUsage(DspLimiterTag).blocks, 16u);
    ASSERT_TRUE(limiter.Init());  // already initialised: nothing more
    EXPECT_EQ(sim::pool::TagUsage(DspLimiterTag).blocks, 16u);
    limiter.FreeBuffers();
}

TEST(PeakLimiter, EveryAllocationFailureInInitLeavesNothingAllocated) {
    const uint64_t made = kvtest::ExpectCleanAllocationFailures([] {
        CDspPeakLimiter limiter;
        const bool ok = limiter.Init();
        if (!ok) {
            EXPECT_EQ(sim::pool::TagUsage(DspLimiterTag).blocks, 0u);
            EXPECT_FALSE(limiter.IsInitialised());
        }
        limiter.FreeBuffers();
        return ok;
    });
    EXPECT_EQ(made, 16u);
}

}  // namespace
