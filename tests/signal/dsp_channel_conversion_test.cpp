// Channel mixing (the format stage's rules and the effect controls' variant) and the format
// stage's conversion into float histories.
#include "dsp_test_util.h"
#include "signal_test_util.h"

#include "driver/signal/ChannelConversion.h"
#include "driver/signal/DspFormatConvert.h"

#include <gtest/gtest.h>
#include <sim/debug_log.h>

#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Planes = std::array<double, 8>;
using Expected = std::function<std::vector<double>(const Planes&)>;

constexpr double kC = 0.707;            // centre and LFE
constexpr double kA = 0.871, kB = 0.49;  // mode 0 surround weights
constexpr double kFill = -1.0;           // marks an up-mixed plane of ConvertChannelsInPlace

struct MixCase {
    const char* name;
    LONG in;
    LONG out;
    UCHAR mode;
    Expected want;  // the out planes from the in planes
};

// Runs a mix on a few frames of random planes and compares every out plane.
template <typename Mix>
void CheckMix(const MixCase& k, Mix mix) {
    SCOPED_TRACE(k.name);
    std::mt19937 rng(k.in * 10 + k.out + k.mode * 100);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    constexpr LONG kFrames = 5;
    std::vector<std::vector<float>> planes(8, std::vector<float>(kFrames));
    for (auto& p : planes)
        for (float& x : p) x = d(rng);
    const auto before = planes;
    float* p[8];
    for (int c = 0; c < 8; ++c) p[c] = planes[c].data();
    mix(p, kFrames);
    for (LONG i = 0; i < kFrames; ++i) {
        Planes in{};
        for (int c = 0; c < 8; ++c) in[c] = before[c][i];
        const std::vector<double> want = k.want(in);
        ASSERT_EQ(want.size(), size_t(k.out));
        for (LONG c = 0; c < k.out; ++c) {
            if (want[c] == kFill) {
                EXPECT_EQ(sigtest::Bits(planes[c][i]), 0x2B8CBCCCu) << "plane " << c;
            } else {
                EXPECT_NEAR(planes[c][i], want[c], 2e-6) << "plane " << c << " frame " << i;
            }
        }
    }
}

double Sum(const Planes& p, int n) {
    double s = 0;
    for (int c = 0; c < n; ++c) s += p[c];
    return s;
}

TEST(ChannelConversion, EveryRowOfTheFormatStageMixes) {
    const MixCase cases[] = {
        {"1->2", 1, 2, 0, [](const Planes& p) { return std::vector<double>{p[0], p[0]}; }},
        {"1->6", 1, 6, 0, [](const Planes& p) { return std::vector<double>{p[0], p[0], 0, 0, 0, 0}; }},
        {"2->4", 2, 4, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], 0, 0}; }},
        {"4->6", 4, 6, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], 0, 0, p[2], p[3]}; }},
        {"4->7", 4, 7, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], 0, 0, p[2], p[3], 0}; }},
        {"4->8", 4, 8, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], 0, 0, p[2], p[3], 0, 0}; }},
        {"6->8", 6, 8, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], p[2], p[3], p[4], p[5], 0, 0}; }},
        {"2->1", 2, 1, 0, [](const Planes& p) { return std::vector<double>{Sum(p, 2) / 2}; }},
        {"4->1", 4, 1, 0, [](const Planes& p) { return std::vector<double>{Sum(p, 4) / 4}; }},
        {"6->1", 6, 1, 0, [](const Planes& p) { return std::vector<double>{Sum(p, 6) / 6}; }},
        {"8->1", 8, 1, 0, [](const Planes& p) { return std::vector<double>{Sum(p, 8) / 8}; }},
        {"4->2 matrix", 4, 2, 0,
         [](const Planes& p) { return std::vector<double>{p[0] - kA * p[2] - kB * p[3], p[1] + kB * p[2] + kA * p[3]}; }},
        {"4->2 plain", 4, 2, 1, [](const Planes& p) { return std::vector<double>{p[0] + p[2], p[1] + p[3]}; }},
        {"6->2 matrix", 6, 2, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c - kA * p[4] - kB * p[5], p[1] + c + kB * p[4] + kA * p[5]};
         }},
        {"6->2 plain", 6, 2, 1,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c + p[4], p[1] + c + p[5]};
         }},
        {"6->4", 6, 4, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c, p[1] + c, p[4], p[5]};
         }},
        {"8->2 matrix", 8, 2, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c - kA / 2 * (p[4] + p[6]) - kB / 2 * (p[5] + p[7]),
                                        p[1] + c + kB / 2 * (p[4] + p[6]) + kA / 2 * (p[5] + p[7])};
         }},
        {"8->2 plain", 8, 2, 1,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c + (p[4] + p[6]) / 2, p[1] + c + (p[5] + p[7]) / 2};
         }},
        {"8->4", 8, 4, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c, p[1] + c, kA * p[4] + kB * p[5] + p[6], kB * p[4] + kA * p[5] + p[7]};
         }},
        {"8->6", 8, 6, 0,
         [](const Planes& p) {
             return std::vector<double>{p[0], p[1], p[2], p[3], kA * p[4] + kB * p[5] + p[6], kB * p[4] + kA * p[5] + p[7]};
         }},
        {"3->2 (no rule)", 3, 2, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1]}; }},
        {"3->6 (no layout)", 3, 6, 0, [](const Planes& p) { return std::vector<double>{p[0], p[1], p[2], 0, 0, 0}; }},
        {"5->8 (no layout)", 5, 8, 0,
         [](const Planes& p) { return std::vector<double>{p[0], p[1], p[2], p[3], p[4], 0, 0, 0}; }},
    };
    for (const MixCase& k : cases) {
        CChannelConversion conversion;
        ASSERT_TRUE(conversion.Init());
        ASSERT_TRUE(conversion.SetFormat(dsptest::Float32(WORD(k.in), 48000), dsptest::Float32(WORD(k.out), 48000)));
        CheckMix(k, [&](float* const* p, LONG n) { EXPECT_TRUE(conversion.Process(p, n, k.mode)); });
    }
}

TEST(ChannelConversion, EveryRowOfTheEffectVariant) {
    const MixCase cases[] = {
        {"1->2 stays", 1, 2, 1, [](const Planes& p) { return std::vector<double>{p[0], p[1]}; }},
        {"2->6", 2, 6, 1, [](const Planes& p) { return std::vector<double>{p[0], p[1], kFill, kFill, kFill, kFill}; }},
        {"4->6", 4, 6, 1, [](const Planes& p) { return std::vector<double>{p[0], p[1], kFill, kFill, p[2], p[3]}; }},
        {"4->8", 4, 8, 1,
         [](const Planes& p) { return std::vector<double>{p[0], p[1], kFill, kFill, p[2], p[3], kFill, kFill}; }},
        {"6->7", 6, 7, 1, [](const Planes& p) { return std::vector<double>{p[0], p[1], p[2], p[3], p[4], p[5], kFill}; }},
        {"2->1", 2, 1, 1, [](const Planes& p) { return std::vector<double>{Sum(p, 2) / 2}; }},
        {"4->1 plain", 4, 1, 1, [](const Planes& p) { return std::vector<double>{Sum(p, 4) / 2}; }},
        {"4->2 plain", 4, 2, 1, [](const Planes& p) { return std::vector<double>{p[0] + p[2], p[1] + p[3]}; }},
        {"4->2 matrix", 4, 2, 0,
         [](const Planes& p) { return std::vector<double>{p[0] - kA * p[2] - kB * p[3], p[1] + kB * p[2] + kA * p[3]}; }},
        {"6->1 plain", 6, 1, 1,
         [](const Planes& p) { return std::vector<double>{(p[0] + p[1] + 2 * kC * (p[2] + p[3]) + p[4] + p[5]) / 2}; }},
        {"6->2 plain", 6, 2, 1,
         [](const Planes& p) {
             return std::vector<double>{p[0] + kC * p[2] + p[3] + p[4], p[1] + kC * p[2] + p[3] + p[5]};
         }},
        {"6->2 matrix", 6, 2, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c - kA * p[4] - kB * p[5], p[1] + c + kB * p[4] + kA * p[5]};
         }},
        {"6->4", 6, 4, 1,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c, p[1] + c, p[4], p[5]};
         }},
        {"8->1 plain", 8, 1, 1,
         [](const Planes& p) {
             return std::vector<double>{(p[0] + p[1] + 2 * kC * (p[2] + p[3]) + (Sum(p, 8) - Sum(p, 4)) / 2) / 2};
         }},
        {"8->2 plain", 8, 2, 1,
         [](const Planes& p) {
             return std::vector<double>{p[0] + kC * p[2] + p[3] + p[4] + p[6], p[1] + kC * p[2] + p[3] + p[5] + p[7]};
         }},
        {"8->2 matrix", 8, 2, 0,
         [](const Planes& p) {
             const double c = kC * (p[2] + p[3]);
             return std::vector<double>{p[0] + c - kA / 2 * (p[4] + p[6]) - kB / 2 * (p[5] + p[7]),
                                        p[1] + c + kB / 2 * (p[4] + p[6]) + kA / 2 * (p[5] + p[7])};
         }},
        {"8->6 plain", 8, 6, 1,
         [](const Planes& p) { return std::vector<double>{p[0], p[1], p[2], p[3], p[4] + p[6], p[5] + p[7]}; }},
    };
    for (const MixCase& k : cases) {
        CheckMix(k, [&](float* const* p, LONG n) { ConvertChannelsInPlace(p, k.in, k.out, n, k.mode); });
    }
}

// Both variants check the planes a mix touches before they touch any. The 4 -> 5 up-mix moves the
// rear pair to planes 4 and 5, one plane past the out count, so plane 5 must be there as well.
TEST(ChannelConversion, MixesRefuseMissingPlanesTheyWouldWrite) {
    struct Case {
        LONG in, out, missing;
    };
    for (const Case& k : {Case{4, 5, 5}, Case{2, 6, 5}, Case{8, 2, 7}}) {
        SCOPED_TRACE(testing::Message() << k.in << " -> " << k.out << " without plane " << k.missing);
        std::vector<std::vector<float>> planes(8, std::vector<float>(4, 0.25f));
        float* p[8];
        for (int c = 0; c < 8; ++c) p[c] = planes[c].data();
        p[k.missing] = nullptr;
        const auto before = planes;
        CChannelConversion conversion;
        ASSERT_TRUE(conversion.SetFormat(dsptest::Float32(WORD(k.in), 48000), dsptest::Float32(WORD(k.out), 48000)));
        EXPECT_FALSE(conversion.Process(p, 4, 0));
        ConvertChannelsInPlace(p, k.in, k.out, 4, 1);
        EXPECT_EQ(planes, before);
    }
}

TEST(ChannelConversion, SetFormatAcceptsOnlyFloatWithOneToEightChannels) {
    using dsptest::Float32;
    using dsptest::Format;
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE in, out;
        const char* line;  // expected message, or null for success
    };
    const Case cases[] = {
        {"float both", Float32(2, 48000), Float32(6, 44100), nullptr},
        {"extensible float", Format(WAVE_FORMAT_IEEE_FLOAT, 8, 48000, 32, true), Float32(1, 48000), nullptr},
        {"pcm in", dsptest::Pcm(2, 48000, 16), Float32(2, 48000), "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT"},
        {"pcm out", Float32(2, 48000), dsptest::Pcm(2, 48000, 16),
         "CChannelConversion::SetFormat Output Tag not WAVE_FORMAT_IEEE_FLOAT"},
        {"nine in", Float32(9, 48000), Float32(2, 48000),
         "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"nine out", Float32(2, 48000), Float32(9, 48000),
         "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"none in", Float32(0, 48000), Float32(2, 48000),
         "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
    };
    for (const Case& k : cases) {
        sim::debuglog::Clear();
        CChannelConversion conversion;
        EXPECT_EQ(conversion.SetFormat(k.in, k.out), k.line == nullptr) << k.name;
        if (k.line != nullptr) {
            EXPECT_EQ(sim::debuglog::Lines(), std::vector<std::string>{k.line}) << k.name;
        } else {
            EXPECT_EQ(sim::debuglog::LineCount(), 0u) << k.name;
        }
    }
    // The format stage hands float working copies to its conversion.
    CDspFormatConvert stage;
    ASSERT_TRUE(stage.Init());
    EXPECT_TRUE(stage.SetFormat(Float32(2, 48000), dsptest::Pcm(2, 48000, 16)));
}

TEST(FormatConvert, ToFloatConvertsAtMostTenMillisecondsOfEverySampleFormat) {
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE format;
        std::vector<UCHAR> sample;  // one sample's bytes, repeated over the plane
        float want;
    };
    const float half = 0.5f;
    std::vector<UCHAR> floatBytes(4);
    std::memcpy(floatBytes.data(), &half, 4);
    const Case cases[] = {
        {"pcm16", dsptest::Pcm(2, 44100, 16), {0x00, 0x40}, 0.5f},
        {"pcm24", dsptest::Pcm(2, 48000, 24), {0x00, 0x00, 0x40}, 0.5f},
        {"pcm24 negative", dsptest::Pcm(2, 48000, 24), {0x00, 0x00, 0xC0}, -0.5f},
        {"pcm32", dsptest::Pcm(2, 96000, 32), {0x00, 0x00, 0x00, 0x40}, 0.5f},
        {"float", dsptest::Float32(2, 192000), floatBytes, 0.5f},
        {"extensible pcm16", dsptest::Format(WAVE_FORMAT_PCM, 2, 88200, 16, true), {0x00, 0xC0}, -0.5f},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        CDspFormatConvert stage;
        ASSERT_TRUE(stage.Init());
        ASSERT_TRUE(stage.SetFormat(k.format, dsptest::Float32(2, k.format.Format.nSamplesPerSec)));
        stage.Reset();
        const LONG tenMs = LONG(k.format.Format.nSamplesPerSec / 100);
        std::vector<UCHAR> plane;
        for (LONG i = 0; i < tenMs + 100; ++i) plane.insert(plane.end(), k.sample.begin(), k.sample.end());
        const void* planes[2] = {plane.data(), plane.data()};
        LONG frames = tenMs + 100;
        stage.ToFloat(planes, &frames, k.format);
        EXPECT_EQ(frames, tenMs);
        for (LONG c = 0; c < 2; ++c) {
            ASSERT_EQ(stage.HistoryCount(c), tenMs);
            EXPECT_EQ(stage.History(c)[0], k.want);
            EXPECT_EQ(stage.History(c)[tenMs - 1], k.want);
        }
        // What the histories still hold counts against the next 10 ms.
        ASSERT_TRUE(stage.ConsumeHistory(0, tenMs - 3) && stage.ConsumeHistory(1, tenMs - 3));
        frames = tenMs + 100;
        stage.ToFloat(planes, &frames, k.format);
        EXPECT_EQ(frames, tenMs - 3);
    }
}

TEST(FormatConvert, ToFloatMixesOnlyTheNewFrames) {
    // Stereo to mono with one mixed frame left over from the previous chunk: the leftover must
    // not be mixed a second time.
    CDspFormatConvert stage;
    ASSERT_TRUE(stage.Init());
    const auto in = dsptest::Float32(2, 48000);
    ASSERT_TRUE(stage.SetFormat(in, dsptest::Float32(1, 48000)));
    stage.Reset();
    std::vector<float> left(480, 1.0f), right(480, 0.0f);
    const void* planes[2] = {left.data(), right.data()};
    LONG frames = 100;
    stage.ToFloat(planes, &frames, in);
    ASSERT_EQ(stage.History(0)[99], 0.5f);
    for (LONG c = 0; c < 2; ++c) ASSERT_TRUE(stage.ConsumeHistory(c, 99));
    left.assign(480, 0.25f);
    right.assign(480, 0.25f);
    frames = 10;
    stage.ToFloat(planes, &frames, in);
    ASSERT_EQ(stage.HistoryCount(0), 11);
    EXPECT_EQ(stage.History(0)[0], 0.5f);
    for (LONG i = 1; i < 11; ++i) EXPECT_EQ(stage.History(0)[i], 0.25f) << i;
}

}  // namespace
