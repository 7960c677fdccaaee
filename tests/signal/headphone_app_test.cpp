// The headphone block framework and its rate changers: the IIR filter against its difference
// equation, the forward-backward filter's delay, the framework's latency at each kind of rate,
// call splitting, and the stereo down-mix.
#include "globaltopo/common/QVT/AudioApp.h"
#include "globaltopo/common/QVT/LinearPhaseIIR.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

using Planes = std::vector<std::vector<float>>;

std::vector<float> Sine(size_t n, double hz, double rateHz) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * double(i) / rateHz));
    return v;
}

TEST(HeadphoneIir, MatchesItsDifferenceEquationAcrossCalls) {
    struct Case {
        std::vector<float> b, a;
        std::vector<double> bUsed, aUsed;  // what the filter keeps (fewer than two entries: none)
    };
    const std::vector<float> b2 = {0.06385592f, 0.1915678f, 0.1915678f, 0.06385592f};
    const std::vector<float> a2 = {1.0f, -0.9657797f, 0.5826442f, -0.1060171f};
    const Case cases[] = {
        {b2, a2, {b2.begin(), b2.end()}, {a2.begin(), a2.end()}},
        {{0.5f, 0.25f}, {1.0f}, {0.5, 0.25}, {}},        // no feedback part
        {{2.0f}, {1.0f, -0.5f, 0.25f}, {}, {1.0, -0.5, 0.25}},  // input straight into the feedback part
    };
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(600);
    for (float& v : x) v = dist(gen);
    for (const Case& c : cases) {
        CIirFilter filter;
        ASSERT_TRUE(filter.SetCoefficients(c.b.data(), LONG(c.b.size()), c.a.data(), LONG(c.a.size())));
        std::vector<float> y(x);
        size_t done = 0;
        for (LONG call : {100, 1, 299, 200}) {  // in place, split anywhere
            filter.Process(nullptr, y.data() + done, call);
            done += call;
        }
        std::vector<double> w(x.size()), ref(x.size());
        for (size_t n = 0; n < x.size(); ++n) {
            w[n] = x[n];
            if (!c.bUsed.empty()) {
                w[n] = 0.0;
                for (size_t j = 0; j < c.bUsed.size() && j <= n; ++j) w[n] += c.bUsed[j] * x[n - j];
            }
            ref[n] = w[n];
            for (size_t j = 1; j < c.aUsed.size() && j <= n; ++j) ref[n] -= c.aUsed[j] * ref[n - j];
        }
        for (size_t n = 0; n < x.size(); ++n) ASSERT_NEAR(y[n], ref[n], 1e-5) << n;
    }
}

TEST(HeadphoneIir, ForwardBackwardFilterIsAPureDelayOfSixtyFourForLowTones) {
    // Zero phase forward-backward: a low tone comes out delayed by the look-ahead, not shifted.
    const float b[] = {0.06385592f, 0.1915678f, 0.1915678f, 0.06385592f};
    const float a[] = {1.0f, -0.9657797f, 0.5826442f, -0.1060171f};
    CLinearPhaseIIR filter;
    filter.SetCoefficients(b, 4, a, 4);
    const std::vector<float> x = Sine(8 * 1024, 300.0, 44100.0);
    std::vector<float> y(x.size());
    size_t done = 0;
    for (LONG call : {1024, 512, 1000, 24, 1024, 1024, 1024, 1024, 1024, 512})
        if (done + call <= x.size()) {
            filter.Process(y.data() + done, x.data() + done, call);
            done += call;
        }
    for (size_t n = 2048; n < done; ++n) ASSERT_NEAR(y[n], x[n - CLinearPhaseIIR::kOverlap], 5e-3) << n;
}

// Passes input plane c to output plane c, so the framework's own path is what is measured.
class CopyApp : public CAudioApp {
protected:
    void ProcessInternal(float** out, LONG nOut, float** in, LONG, LONG len) override {
        for (LONG c = 0; c < nOut; ++c)
            for (LONG i = 0; i < len; ++i) out[c][i] = in[c][i];
    }
};

Planes RunApp(CAudioApp& app, const Planes& input, const std::vector<LONG>& calls, LONG* blocks = nullptr) {
    Planes planes = input;  // in place, as the effect runs it
    const LONG frames = static_cast<LONG>(planes[0].size());
    LONG done = 0, completed = 0;
    for (size_t k = 0; done < frames; ++k) {
        const LONG n = std::min(calls[k % calls.size()], frames - done);
        float* p[2] = {planes[0].data() + done, planes[1].data() + done};
        completed += app.Process(p, 2, p, 2, n);
        done += n;
    }
    if (blocks != nullptr) *blocks = completed;
    return planes;
}

TEST(HeadphoneApp, DelaysByOneBlockPlusTheRateChangersAndIgnoresCallSizes) {
    struct Case {
        LONG rateHz, direction, factor, blockFrames, delayFrames;
        double toneHz, tolerance;
    };
    const Case cases[] = {
        {44100, 0, 1, 512, 512, 1000.0, 1e-6},          // no rate change: the block only
        {48000, 1, 1, 512, 512 + 64 + 64, 300.0, 5e-3},  // both changers as filters, 64 each
        {96000, 1, 2, 1024, 1024 + 64 + 64, 300.0, 5e-3},
        {22050, -1, 2, 256, 256 + 32 + 32, 300.0, 5e-3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rateHz);
        CopyApp app;
        ASSERT_EQ(app.Configure(c.rateHz, 2, 2, 256), 1);
        ASSERT_TRUE(app.IsConfigured());
        EXPECT_EQ(app.Direction(), c.direction);
        EXPECT_EQ(app.SrcFactor(), c.factor);
        EXPECT_EQ(app.RealDataLen(), c.blockFrames);
        const Planes x = {Sine(12 * c.blockFrames, c.toneHz, c.rateHz), Sine(12 * c.blockFrames, c.toneHz / 2, c.rateHz)};
        LONG blocks = 0;
        const Planes y = RunApp(app, x, {c.blockFrames * 12}, &blocks);
        EXPECT_EQ(blocks, 12);
        for (LONG ch = 0; ch < 2; ++ch)
            for (size_t n = 4 * c.blockFrames; n < y[ch].size(); ++n)
                ASSERT_NEAR(y[ch][n], x[ch][n - c.delayFrames], c.tolerance) << ch << " " << n;

        CopyApp split;
        split.Configure(c.rateHz, 2, 2, 256);
        EXPECT_EQ(RunApp(split, x, {1, 255, 513, 7, 1024, 100}), y);
    }
}

TEST(HeadphoneApp, UnsupportedChannelCountsLeaveItUnconfiguredAndPlanesUntouched) {
    for (LONG channels : {0, 9}) {
        CopyApp app;
        EXPECT_EQ(app.Configure(48000, channels, 2, 256), 1);
        EXPECT_FALSE(app.IsConfigured());
        Planes x = {Sine(600, 100.0, 48000.0), Sine(600, 200.0, 48000.0)};
        EXPECT_EQ(RunApp(app, x, {600}), x);
    }
}

// A block must fit the rate changers' filters (EachChannelSampleCntMax frames) and hold at least
// one frame. Rates whose block does not are refused: the application stays unconfigured, and a
// long call neither writes past the filters nor spins on an empty block.
TEST(HeadphoneApp, RatesWhoseBlockTheFiltersCannotHoldLeaveItUnconfigured) {
    struct Case {
        LONG rateHz;
        bool configured;
        LONG blockFrames;  // when configured
    };
    const Case cases[] = {
        {192000, false, 0},  // factor 4: 2048 frames
        {176400, false, 0},  // factor 4
        {132300, false, 0},  // factor 3: 1536 frames
        {132299, true, 1024},  // still factor 2
        {88200, true, 1024},
        {86, true, 1},         // 44100 / 86 = 512
        {85, false, 0},        // 512 / 518 = 0 frames
        {1, false, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.rateHz);
        CopyApp app;
        EXPECT_EQ(app.Configure(k.rateHz, 2, 2, 256), 1);
        ASSERT_EQ(app.IsConfigured(), k.configured);
        if (k.configured) {
            EXPECT_EQ(app.RealDataLen(), k.blockFrames);
        }
        const size_t frames = k.configured ? 4096 : 24576;  // 24576: the call that overran at 192 kHz
        const Planes x = {Sine(frames, 100.0, 48000.0), Sine(frames, 200.0, 48000.0)};
        LONG blocks = 0;
        const Planes y = RunApp(app, x, {LONG(frames)}, &blocks);
        if (!k.configured) {
            EXPECT_EQ(blocks, 0);
            EXPECT_EQ(y, x);
        } else {
            EXPECT_EQ(blocks, LONG(frames) / k.blockFrames);
        }
    }
}

TEST(HeadphoneDownmix, MixesInPlaceByInputCount) {
    struct Case {
        LONG inputs;
        float expect0, expect1;  // plane value k + 1 in input plane k
    };
    const float c = 0.707f * 3.0f;
    const Case cases[] = {
        {1, 1.0f, 2.0f},  // one input copied; plane 1 left alone
        {2, 1.0f, 2.0f},
        {6, (1.0f + c + 4.0f + 5.0f) / 2.0f, (2.0f + c + 4.0f + 6.0f) / 2.0f},
        {8, (1.0f + c + 4.0f + 5.0f) / 2.0f + 7.0f / 2.0f, (2.0f + c + 4.0f + 6.0f) / 2.0f + 8.0f / 2.0f},
        {4, 1.0f, 2.0f},  // too few for the surround formula: copied
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.inputs);
        Planes planes(8);
        float* p[8];
        for (LONG ch = 0; ch < 8; ++ch) {
            planes[ch].assign(5, float(ch + 1));
            p[ch] = planes[ch].data();
        }
        DownmixToStereo(p, 2, p, k.inputs, 5, 2.0f);
        for (LONG i = 0; i < 5; ++i) {
            EXPECT_FLOAT_EQ(planes[0][i], k.expect0);
            EXPECT_FLOAT_EQ(planes[1][i], k.expect1);
        }
    }
}

}  // namespace
