// The delay network's behaviour: impulse response timing per rate, decay to exact silence without
// subnormal values, stability under loud input, the 16-bit output grid, format requests, Reset,
// call splitting and in-place outputs, refused planes, and creation from pool.
#include "support/pool_faults.h"

#include "driver/signal/DspDelayLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr float kStep = 1.0f / 32768.0f;
constexpr float kTop = 32767.0f / 32768.0f;

using Planes = std::vector<std::vector<float>>;

Planes Silence(size_t frames, size_t planes = 8) { return Planes(planes, std::vector<float>(frames, 0.0f)); }

Planes Noise(size_t frames, float peak, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-peak, peak);
    Planes p = Silence(frames);
    for (auto& plane : p)
        for (float& v : plane) v = d(rng);
    return p;
}

// A network from pool, freed at the end of the test.
struct Network {
    CDspDelayLines* lines = CDspDelayLines::Create();
    Network() { EXPECT_NE(lines, nullptr); }
    Network(LONG rateHz, ULONG code) : Network() { lines->SetFormat(rateHz, code); }
    ~Network() { CDspDelayLines::Destroy(lines); }
    CDspDelayLines* operator->() { return lines; }

    // Runs all frames of `in`, cutting the calls by the repeated pattern; answers the two outputs.
    Planes Run(const Planes& in, const std::vector<LONG>& cuts = {512}) {
        const size_t frames = in[0].size();
        Planes out = Silence(frames, 2);
        for (size_t done = 0, k = 0; done < frames; ++k) {
            const LONG n = std::min<LONG>(cuts[k % cuts.size()], LONG(frames - done));
            const float* ip[8];
            for (size_t c = 0; c < 8; ++c) ip[c] = in[c].data() + done;
            float* op[2] = {out[0].data() + done, out[1].data() + done};
            lines->Process(ip, op, n);
            done += size_t(n);
        }
        return out;
    }
    bool MemoryIsZero() const {
        const float* m = lines->Memory();
        return std::all_of(m, m + lines->MemoryLength(), [](float v) { return v == 0.0f; });
    }
};

bool OnGrid(float v) { return v >= -1.0f && v <= kTop && std::nearbyint(v * 32768.0f) == v * 32768.0f; }

double Energy(const Planes& out, size_t first, size_t count) {
    double e = 0;
    for (const auto& plane : out)
        for (size_t i = first; i < first + count; ++i) e += double(plane[i]) * plane[i];
    return e;
}

TEST(DelayLines, ImpulseResponseTimingAtEveryRate) {
    struct Case {
        LONG rateHz;
        LONG memoryLength;
        float h0, h1;            // direct output filter taps of the left input
        size_t quietFrom;        // after the shaping and output filters: 2 * longest filter + 3
        size_t firstReflection;  // first tap of line 1: D1 - k + 1 frames
    };
    const Case cases[] = {
        {48000, 3588, 0.4124756f, -0.01904297f, 43, 600},  {44100, 3307, 0.432251f, -0.06884766f, 41, 551},
        {32000, 2408, 0.4232788f, -0.09338379f, 29, 400},  {96000, 7155, 0.2958374f, 0.1056519f, 87, 1200},
        {88200, 6595, 0.3018799f, 0.1110229f, 83, 1103},   {192000, 3307, 0.432251f, -0.06884766f, 41, 551},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rateHz << " Hz");
        Network net(c.rateHz, 5);
        Planes in = Silence(c.firstReflection + 4);
        in[0][0] = 1.0f;
        const Planes out = net.Run(in);
        EXPECT_EQ(net->MemoryLength(), c.memoryLength);
        EXPECT_EQ(out[0][0], std::floor(32768.0f * c.h0 + 0.5f) / 32768.0f);
        EXPECT_EQ(out[0][1], std::floor(32768.0f * c.h1 + 0.5f) / 32768.0f);
        EXPECT_EQ(out[1][0], 0.0f);
        EXPECT_EQ(out[1][1], 0.0f);
        for (size_t i = c.quietFrom; i < c.firstReflection; ++i) {
            ASSERT_EQ(out[0][i], 0.0f) << "left frame " << i;
            ASSERT_EQ(out[1][i], 0.0f) << "right frame " << i;
        }
        EXPECT_NE(out[1][c.firstReflection], 0.0f);
    }
}

TEST(DelayLines, TailDecaysToExactSilenceWithoutSubnormalValues) {
    for (LONG rate : {48000, 96000, 32000}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        Network net(rate, 7);
        net.Run(Noise(size_t(rate) / 4, 0.5f, 1));
        const size_t window = size_t(rate) / 8;
        const Planes quiet = Silence(window);
        double previous = std::numeric_limits<double>::infinity();
        bool silent = false;
        for (int w = 0; w < 40 && !silent; ++w) {
            const Planes out = net.Run(quiet);
            const double e = Energy(out, 0, window);
            if (w == 0) {
                EXPECT_GT(e, 0.0) << "no reverberant tail";
            }
            EXPECT_LE(e, previous) << "window " << w;
            previous = e;
            const float* m = net->Memory();
            for (LONG i = 0; i < net->MemoryLength(); ++i)
                ASSERT_NE(std::fpclassify(m[i]), FP_SUBNORMAL) << "slot " << i << " after window " << w;
            silent = net.MemoryIsZero();
        }
        EXPECT_TRUE(silent) << "history still not zero after 5 s of silence";
    }
}

TEST(DelayLines, StaysBoundedUnderLongLoudInput) {
    for (float peak : {1.0f, 1000.0f}) {
        SCOPED_TRACE(testing::Message() << "peak " << peak);
        Network net(96000, 7);
        float largest = 0;
        for (unsigned second = 0; second < 4; ++second) {
            const Planes out = net.Run(Noise(96000, peak, second));
            for (const auto& plane : out) ASSERT_TRUE(std::all_of(plane.begin(), plane.end(), OnGrid));
            const float* m = net->Memory();
            for (LONG i = 0; i < net->MemoryLength(); ++i) largest = std::max(largest, std::fabs(m[i]));
        }
        EXPECT_LT(largest, 20.0f * peak);
    }
}

TEST(DelayLines, EveryInputLevelGivesOutputOnTheSixteenBitGrid) {
    const float inf = std::numeric_limits<float>::infinity();
    const float levels[] = {1e-7f, 0.5f, 1.0f, 8.0f, 3e38f, inf, std::numeric_limits<float>::quiet_NaN()};
    for (float level : levels) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        Network net(48000, 7);
        Planes in = Noise(4096, 1.0f, 7);
        for (auto& plane : in)
            for (float& v : plane) v *= level;
        const Planes out = net.Run(in);
        for (const auto& plane : out) {
            for (float v : plane) ASSERT_TRUE(OnGrid(v)) << v;
            if (level == 8.0f) {
                EXPECT_EQ(*std::max_element(plane.begin(), plane.end()), kTop);
                EXPECT_EQ(*std::min_element(plane.begin(), plane.end()), -1.0f);
            }
        }
    }
}

TEST(DelayLines, ValuesJustBelowTheClipThresholdStayBelowOne) {
    // The first left output of a left impulse of size A is h0 * A, h0 = 0.4124756 at 48 kHz. Find
    // impulses that put it within a few floats below 65535/65536, where the single-precision sum
    // of the quantiser rounds up to 32768.
    const float h0 = 0.4124756f;
    const float threshold = 65535.0f / 65536.0f;
    float a = threshold / h0;
    while (h0 * a >= threshold) a = std::nextafter(a, 0.0f);
    for (int n = 0; n < 4; ++n, a = std::nextafter(a, 0.0f)) {
        Network net(48000, 5);
        Planes in = Silence(4);
        in[0][0] = a;
        const Planes out = net.Run(in);
        EXPECT_EQ(out[0][0], kTop) << "left output " << h0 * a;
    }
}

TEST(DelayLines, FormatRequestsTakeEffectAtTheNextProcess) {
    struct Case {
        LONG firstRate;
        ULONG firstCode;
        LONG rate;  // the request after a second of noise at the first format
        ULONG code;
        LONG index, channelCode, memoryLength;  // after the next Process
        bool cleared;
    };
    const Case cases[] = {
        {48000, 5, 44100, 5, 1, 5, 3307, true},         {48000, 5, 32000, 7, 2, 7, 2408, true},
        {44100, 7, 96000, 5, 16, 5, 7155, true},        {48000, 7, 88200, 7, 17, 7, 6595, true},
        {48000, 5, 192000, 5, 1, 5, 3307, true},        {48000, 5, 48000, 7, 0, 7, 3588, true},
        {48000, 7, 48000, 7, 0, 7, 3588, false},        {44100, 5, 96000, 8, 1, 5, 3307, false},
        {44100, 5, 48000, 0xFFFFFFFF, 1, 5, 3307, false}, {96000, 7, 32000, 1, 2, 1, 2408, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.firstRate << "/" << c.firstCode << " then " << c.rate << "/" << c.code);
        Network net(c.firstRate, c.firstCode);
        net.Run(Noise(8192, 0.5f, 3));
        net->SetFormat(c.rate, c.code);
        const Planes out = net.Run(Silence(64));
        EXPECT_EQ(net->RateIndex(), c.index);
        EXPECT_EQ(net->ChannelCode(), c.channelCode);
        EXPECT_EQ(net->MemoryLength(), c.memoryLength);
        EXPECT_EQ(Energy(out, 0, 64) == 0.0, c.cleared);
    }
}

TEST(DelayLines, ChannelCodeChoosesTheInputsRead) {
    struct Case {
        ULONG code;
        size_t loud;  // the one input carrying noise
        bool heard;
    };
    const Case cases[] = {{5, 5, true},  {5, 6, false}, {5, 7, false}, {7, 6, true}, {7, 7, true},
                          {7, 3, true},  {0, 0, false}, {1, 1, false}, {6, 0, false}, {4, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << ", input " << c.loud);
        Network net(48000, c.code);
        Planes in = Silence(4096);
        in[c.loud] = Noise(4096, 0.5f, 5)[0];
        const Planes out = net.Run(in);
        EXPECT_EQ(Energy(out, 0, 4096) > 0.0, c.heard);
    }
}

TEST(DelayLines, ResetClearsHistoryAndKeepsFormatAndPendingRequest) {
    const Planes first = Noise(5000, 0.5f, 11);
    const Planes second = Noise(3000, 0.5f, 12);
    Network fresh(44100, 7);
    const Planes expected = fresh.Run(second);

    Network net(44100, 7);
    net.Run(first);
    net->Reset();
    EXPECT_TRUE(net.MemoryIsZero());
    EXPECT_EQ(net->RateIndex(), 1);
    EXPECT_EQ(net.Run(second), expected);

    // A request before Reset survives it and applies at the next Process.
    net->SetFormat(96000, 5);
    net->Reset();
    EXPECT_EQ(net->RateIndex(), 1);
    EXPECT_EQ(net->ChannelCode(), 7);
    EXPECT_EQ(net->MemoryLength(), 3307);
    net.Run(Silence(1));
    EXPECT_EQ(net->RateIndex(), 16);
    EXPECT_EQ(net->ChannelCode(), 5);
}

TEST(DelayLines, AnySplitOfTheCallsAndInPlaceOutputGiveTheSameOutput) {
    const Planes in = Noise(9000, 0.8f, 21);
    Network whole(96000, 7);
    const Planes expected = whole.Run(in, {9000});
    const std::vector<std::vector<LONG>> cuts = {{1}, {7, 500, 3}, {512}, {4095, 1}, {2069}};
    for (const auto& cut : cuts) {
        Network net(96000, 7);
        EXPECT_EQ(net.Run(in, cut), expected) << "cut " << cut[0];
    }
    // Outputs written over input planes 0 and 1.
    Network inPlace(96000, 7);
    Planes planes = in;
    for (size_t done = 0; done < 9000; done += 300) {
        const float* ip[8];
        for (size_t c = 0; c < 8; ++c) ip[c] = planes[c].data() + done;
        float* op[2] = {planes[0].data() + done, planes[1].data() + done};
        inPlace->Process(ip, op, 300);
    }
    EXPECT_EQ(planes[0], expected[0]);
    EXPECT_EQ(planes[1], expected[1]);
}

TEST(DelayLines, MissingPlanesOrNoFramesLeaveOutputsAndHistoryUntouched) {
    enum class Fault { NoInputs, NoInput5, NoInput7, NoOutputs, NoOutput1, ZeroFrames, NegativeFrames, Unused67 };
    struct Case {
        ULONG code;
        Fault fault;
        bool refused;
    };
    const Case cases[] = {{5, Fault::NoInputs, true},   {5, Fault::NoInput5, true},    {7, Fault::NoInput7, true},
                          {7, Fault::NoOutputs, true},  {5, Fault::NoOutput1, true},   {7, Fault::ZeroFrames, true},
                          {7, Fault::NegativeFrames, true}, {5, Fault::Unused67, false}, {1, Fault::NoInputs, false}};
    const Planes warmUp = Noise(4000, 0.5f, 31);
    const Planes in = Noise(256, 0.5f, 32);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << ", case " << int(c.fault));
        Network reference(48000, c.code);
        reference.Run(warmUp);
        Network net(48000, c.code);
        net.Run(warmUp);

        const float* ip[8];
        for (size_t ch = 0; ch < 8; ++ch) ip[ch] = in[ch].data();
        Planes out(2, std::vector<float>(256, 7.0f));
        float* op[2] = {out[0].data(), out[1].data()};
        LONG frames = 256;
        const float* const* inputs = ip;
        float* const* outputs = op;
        switch (c.fault) {
            case Fault::NoInputs: inputs = nullptr; break;
            case Fault::NoInput5: ip[5] = nullptr; break;
            case Fault::NoInput7: ip[7] = nullptr; break;
            case Fault::NoOutputs: outputs = nullptr; break;
            case Fault::NoOutput1: op[1] = nullptr; break;
            case Fault::ZeroFrames: frames = 0; break;
            case Fault::NegativeFrames: frames = -5; break;
            case Fault::Unused67: ip[6] = ip[7] = nullptr; break;
        }
        net->Process(inputs, outputs, frames);
        if (c.refused) {
            EXPECT_TRUE(std::all_of(out[0].begin(), out[0].end(), [](float v) { return v == 7.0f; }));
            // The history is as if the call had never been made.
            const Planes after = Noise(2048, 0.5f, 33);
            EXPECT_EQ(net.Run(after), reference.Run(after));
        } else {
            EXPECT_TRUE(std::all_of(out[0].begin(), out[0].end(), OnGrid));
            EXPECT_EQ(out, reference.Run(in));
        }
    }
}

TEST(DelayLines, CreateStartsAt48kHzSilentAndFailsCleanly) {
    const uint64_t allocations = kvtest::ExpectCleanAllocationFailures(
        [] {
            CDspDelayLines* lines = CDspDelayLines::Create();
            if (lines == nullptr) return false;
            EXPECT_EQ(lines->RateIndex(), 0);
            EXPECT_EQ(lines->ChannelCode(), 0);
            EXPECT_EQ(lines->MemoryLength(), 3588);
            CDspDelayLines::Destroy(lines);
            EXPECT_EQ(lines, nullptr);
            return true;
        },
        DspDelayTag);
    EXPECT_EQ(allocations, 1u);

    // After Init the input is ignored and the output is exactly silent.
    Network net;
    const Planes out = net.Run(Noise(2048, 1.0f, 41));
    EXPECT_EQ(Energy(out, 0, 2048), 0.0);
}

}  // namespace
