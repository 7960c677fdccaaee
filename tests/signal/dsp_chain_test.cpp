// Conversion chains: format checks and their messages, the stages for every pair of rates, tones
// through every pair, exact ratios, call-cut invariance, pending output, channel-count changes,
// identical formats, failed formats, and allocation failures.
#include "dsp_test_util.h"
#include "support/pool_faults.h"

#include "driver/signal/DspInterleaveSrc.h"
#include "driver/signal/DspNonInterleaveSrc.h"

#include <gtest/gtest.h>
#include <sim/debug_log.h>
#include <sim/pool.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using dsptest::Float32;
using dsptest::Format;
using dsptest::Pcm;

constexpr DWORD kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

std::unique_ptr<CDspNonInterleaveSrc> ReadyChain() {
    auto chain = std::make_unique<CDspNonInterleaveSrc>();
    EXPECT_TRUE(chain->Init());
    return chain;
}

size_t BytesPerSample(const WAVEFORMATEXTENSIBLE& f) { return f.Format.wBitsPerSample / 8; }

// Drives a chain over whole planes of bytes. Input is offered in pieces of inPiece frames (0: all
// that is left) with outRoom frames of room per call; stops when the input is used up and
// nothing more comes out.
struct Driver {
    CDspNonInterleaveSrc& chain;
    WAVEFORMATEXTENSIBLE in, out;

    std::vector<std::vector<UCHAR>> Run(const std::vector<std::vector<UCHAR>>& input, std::mt19937* rng,
                                        LONG inPiece, LONG outRoom) {
        const size_t inBytes = BytesPerSample(in), outBytes = BytesPerSample(out);
        const LONG frames = LONG(input[0].size() / inBytes);
        std::vector<std::vector<UCHAR>> output(out.Format.nChannels);
        std::vector<std::vector<UCHAR>> room(out.Format.nChannels);
        LONG pos = 0;
        for (int idle = 0; idle < 3;) {
            LONG offer = frames - pos;
            if (inPiece > 0) offer = std::min(offer, inPiece);
            LONG space = outRoom;
            if (rng != nullptr) {
                offer = std::min(offer, LONG(1 + (*rng)() % 2000));
                space = LONG(1 + (*rng)() % 1500);
            }
            const float* inPlanes[8] = {};
            float* outPlanes[8] = {};
            for (size_t c = 0; c < input.size(); ++c)
                inPlanes[c] = reinterpret_cast<const float*>(input[c].data() + pos * inBytes);
            for (size_t c = 0; c < room.size(); ++c) {
                room[c].assign(size_t(space) * outBytes + 1, 0xEE);
                outPlanes[c] = reinterpret_cast<float*>(room[c].data());
            }
            const CDspSrcBase* last = chain.StageCount() > 0 ? chain.Stage(chain.StageCount() - 1) : nullptr;
            const bool pending = last != nullptr && last->HistoryCount(0) > 0;
            LONG taken = offer, made = space;
            EXPECT_TRUE(chain.Process(inPlanes, &taken, outPlanes, &made));
            EXPECT_TRUE(taken >= 0 && taken <= offer && made >= 0 && made <= space);
            if (pending) {
                EXPECT_EQ(taken, 0) << "input taken while output was pending";
            }
            for (size_t c = 0; c < room.size(); ++c) {
                output[c].insert(output[c].end(), room[c].begin(), room[c].begin() + made * outBytes);
                EXPECT_EQ(room[c][size_t(space) * outBytes], 0xEE) << "written past the room";
            }
            pos += taken;
            idle = (taken == 0 && made == 0) ? idle + 1 : 0;
        }
        EXPECT_EQ(pos, frames) << "input left over";
        return output;
    }
};

std::vector<UCHAR> AsBytes(const std::vector<float>& v) {
    std::vector<UCHAR> b(v.size() * 4);
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

std::vector<float> AsFloats(const std::vector<UCHAR>& b) {
    std::vector<float> v(b.size() / 4);
    std::memcpy(v.data(), b.data(), v.size() * 4);
    return v;
}

struct Refusal {
    const char* name;
    bool interleave;
    WAVEFORMATEXTENSIBLE in, out;
    const char* text;  // after the method name
};

TEST(ConversionChain, SetFormatRefusesUnsupportedFormatsWithOneMessage) {
    const Refusal cases[] = {
        {"in tag", false, Format(2, 2, 48000, 16), Float32(2, 48000), "Tag not PCM"},
        {"in channels 9", true, Float32(9, 48000), Float32(9, 48000),
         "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"in channels 0", false, Float32(0, 48000), Float32(2, 48000),
         "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"in rate 8000", false, Pcm(2, 8000, 16), Float32(2, 48000), "InFormat.Format.nSamplesPerSec not in List"},
        {"in bits 8", true, Pcm(2, 48000, 8), Pcm(2, 48000, 16), "InFormat.Format.wBitsPerSample not in List"},
        {"in float 16", false, Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 16), Float32(2, 48000),
         "InFormat.Format.wBitsPerSample not in List"},
        {"in float 24", true, Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 24, true), Float32(2, 48000),
         "InFormat.Format.wBitsPerSample not in List"},
        {"out tag", true, Pcm(2, 48000, 16), Format(0x0092, 2, 48000, 16, true), "Output Tag not PCM"},
        {"out channels 9", false, Float32(2, 48000), Float32(9, 48000),
         "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"out channels 0", true, Float32(2, 48000), Float32(0, 48000),
         "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"channel change", true, Float32(2, 48000), Float32(6, 48000),
         "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"out rate", true, Float32(2, 48000), Float32(2, 32000), "OutFormat.Format.nSamplesPerSec not in List"},
        {"out bits 20", false, Pcm(2, 48000, 16), Pcm(2, 48000, 20), "OutFormat.Format.wBitsPerSample not in List"},
        {"out bits 20", true, Pcm(2, 48000, 16), Pcm(2, 48000, 20), "OutFormat.Format.wBitsPerSample not in List"},
        {"out float 24", false, Pcm(2, 48000, 16), Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 24),
         "OutFormat.Format.wBitsPerSample not in List"},
    };
    for (const Refusal& k : cases) {
        sim::debuglog::Clear();
        const std::string method = k.interleave ? "CDspInterleaveSrc::SetFormat" : "CDspNonInterleaveSrc::SetFormat";
        bool ok;
        if (k.interleave) {
            CDspInterleaveSrc chain;
            ASSERT_TRUE(chain.Init());
            ok = chain.SetFormat(k.in, k.out);
        } else {
            CDspNonInterleaveSrc chain;
            ASSERT_TRUE(chain.Init());
            ok = chain.SetFormat(k.in, k.out);
        }
        EXPECT_FALSE(ok) << k.name;
        EXPECT_EQ(sim::debuglog::Lines(), std::vector<std::string>{method + " " + k.text}) << k.name;
    }
}

TEST(ConversionChain, SetFormatBeforeInitIsRefusedByTheFormatStage) {
    sim::debuglog::Clear();
    CDspInterleaveSrc a;
    CDspNonInterleaveSrc b;
    EXPECT_FALSE(a.SetFormat(Pcm(2, 48000, 16), Pcm(2, 44100, 16)));
    EXPECT_FALSE(b.SetFormat(Pcm(2, 48000, 16), Pcm(2, 44100, 16)));
    EXPECT_EQ(sim::debuglog::Lines(),
              (std::vector<std::string>{"CDspInterleaveSrc::SetFormat m_pSplit->SetFormat False",
                                        "CDspNonInterleaveSrc::SetFormat m_pBitDepthConvert->SetFormat False"}));
}

TEST(ConversionChain, InterleaveChainAcceptsEveryPairOfRatesWithEqualChannels) {
    CDspInterleaveSrc chain;
    ASSERT_TRUE(chain.Init());
    for (DWORD in : kRates) {
        for (DWORD out : kRates) {
            EXPECT_TRUE(chain.SetFormat(Pcm(2, in, 16), Format(WAVE_FORMAT_IEEE_FLOAT, 2, out, 32, true)));
            ASSERT_NE(chain.Stage(0), nullptr);
            EXPECT_EQ(chain.Stage(1) != nullptr, in != out) << in << " -> " << out;
            EXPECT_TRUE(chain.Reset());
        }
    }
}

bool Uses441Stage(DWORD inRate, DWORD outRate) {
    DspRatePlan plan{};
    EXPECT_TRUE(DspChooseRateStages(inRate, outRate, &plan));
    for (DspRateStep step : {plan.first, plan.second})
        if (step == DspRateStep::F441Up || step == DspRateStep::F441Down) return true;
    return false;
}

// The least SINAD a tone may show after the stages between two rates. The 147:160 stage trades
// image rejection in the passband (43 dB up, 47.8 dB down at the worst tone; about 54 dB at 1 kHz)
// for rejection right above 22.05 kHz; the given ratio filters leave images near -60 dB when they
// up-sample; down-sampling by 2 or 4 and no stage at all leave only float rounding.
double MinSinadDb(DWORD inRate, DWORD outRate, double hz) {
    DspRatePlan plan{};
    EXPECT_TRUE(DspChooseRateStages(inRate, outRate, &plan));
    double least = 140.0;
    for (DspRateStep step : {plan.first, plan.second}) {
        switch (step) {
        case DspRateStep::F441Up:
        case DspRateStep::F441Down:
            least = std::min(least, hz < 5000.0 ? 50.0 : 41.0);
            break;
        case DspRateStep::X2Up:
        case DspRateStep::X4Up:
            least = std::min(least, 55.0);
            break;
        case DspRateStep::X2Down:
        case DspRateStep::X4Down:
            least = std::min(least, 120.0);
            break;
        default:
            break;
        }
    }
    return least;
}

// A tone on each channel through every pair of rates, on one chain that is re-formatted each time:
// the tone keeps its frequency and level and little else comes out.
TEST(ConversionChain, TonesThroughEveryPairOfRatesKeepTheirFrequency) {
    auto chain = ReadyChain();
    // 1 kHz meets only the far stopbands; 15 kHz sits near the top of every stage's passband.
    const double tones[] = {1000.0, 15000.0};
    for (DWORD inRate : kRates) {
        for (DWORD outRate : kRates) {
            SCOPED_TRACE(testing::Message() << inRate << " -> " << outRate);
            const auto in = Float32(2, inRate), out = Float32(2, outRate);
            ASSERT_TRUE(chain->SetFormat(in, out));
            const size_t frames = inRate / 4;  // 250 ms
            std::vector<std::vector<UCHAR>> input = {AsBytes(dsptest::Sine(frames, tones[0], inRate, 0.5)),
                                                     AsBytes(dsptest::Sine(frames, tones[1], inRate, 0.5, 1.0))};
            const auto output = Driver{*chain, in, out}.Run(input, nullptr, LONG(inRate / 100), 4000);
            for (int c = 0; c < 2; ++c) {
                const std::vector<float> y = AsFloats(output[c]);
                EXPECT_EQ(y.size(), size_t(frames) * outRate / inRate) << "channel " << c;
                const size_t skip = outRate / 200;  // 5 ms of filter delay and start-up
                const dsptest::ToneFit fit = dsptest::FitTone(y, skip, y.size() - 2 * skip, tones[c], outRate);
                // The 147:160 stage may spend 0.5 dB (6 %) of ripple up to 18 kHz; the others stay within 0.2 %.
                EXPECT_NEAR(fit.amplitude, 0.5, 0.5 * (Uses441Stage(inRate, outRate) ? 0.06 : 0.002)) << tones[c] << " Hz";
                EXPECT_GT(fit.sinadDb, MinSinadDb(inRate, outRate, tones[c])) << tones[c] << " Hz";
            }
        }
    }
}

TEST(ConversionChain, LongRunsKeepTheExactRatioPerTenMilliseconds) {
    struct Case {
        DWORD in, out;
    };
    for (const Case& k : {Case{48000, 44100}, Case{44100, 48000}, Case{96000, 44100}, Case{44100, 192000},
                          Case{176400, 48000}, Case{88200, 88200}}) {
        SCOPED_TRACE(testing::Message() << k.in << " -> " << k.out);
        auto chain = ReadyChain();
        const auto in = Pcm(2, k.in, 16), out = Pcm(2, k.out, 24);
        ASSERT_TRUE(chain->SetFormat(in, out));
        const LONG inChunk = LONG(k.in / 100), outChunk = LONG(k.out / 100);
        std::vector<SHORT> plane(size_t(inChunk), 1000);
        std::vector<UCHAR> room(size_t(outChunk + 50) * 3);
        for (int call = 0; call < 300; ++call) {
            const float* inPlanes[2] = {reinterpret_cast<const float*>(plane.data()),
                                        reinterpret_cast<const float*>(plane.data())};
            float* outPlanes[2] = {reinterpret_cast<float*>(room.data()), reinterpret_cast<float*>(room.data())};
            LONG taken = inChunk, made = outChunk + 50;
            ASSERT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
            ASSERT_EQ(taken, inChunk) << "call " << call;
            ASSERT_EQ(made, outChunk) << "call " << call;
        }
    }
}

// However input and output room are cut, the output is the same, byte for byte.
TEST(ConversionChain, AnyCutOfTheCallsGivesTheSameOutput) {
    struct Case {
        WAVEFORMATEXTENSIBLE in, out;
    };
    const Case cases[] = {
        {Float32(2, 48000), Float32(2, 44100)},
        {Pcm(2, 44100, 16), Pcm(2, 96000, 24)},
        {Pcm(1, 192000, 32), Float32(2, 44100)},
        {Float32(6, 88200), Pcm(2, 48000, 16)},
        {Pcm(2, 176400, 24), Float32(4, 192000)},
        {Float32(2, 96000), Pcm(2, 96000, 32)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.in.Format.nChannels << "ch " << k.in.Format.nSamplesPerSec << "/"
                                        << k.in.Format.wBitsPerSample << " -> " << k.out.Format.nChannels << "ch "
                                        << k.out.Format.nSamplesPerSec << "/" << k.out.Format.wBitsPerSample);
        std::mt19937 rng(21);
        const size_t frames = k.in.Format.nSamplesPerSec / 5;
        std::vector<std::vector<UCHAR>> input(k.in.Format.nChannels);
        for (auto& plane : input) {
            const std::vector<float> noise = dsptest::Sine(frames, 300.0 + rng() % 9000, k.in.Format.nSamplesPerSec, 0.6);
            if (k.in.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
                plane = AsBytes(noise);
            } else {
                const size_t bytes = BytesPerSample(k.in);
                for (float x : noise) {
                    const int64_t v = int64_t(double(x) * double(int64_t(1) << (8 * bytes - 1)));
                    for (size_t b = 0; b < bytes; ++b) plane.push_back(UCHAR(v >> (8 * b)));
                }
            }
        }
        auto whole = ReadyChain();
        ASSERT_TRUE(whole->SetFormat(k.in, k.out));
        const auto want = Driver{*whole, k.in, k.out}.Run(input, nullptr, 0, 1 << 20);
        auto cut = ReadyChain();
        ASSERT_TRUE(cut->SetFormat(k.in, k.out));
        const auto got = Driver{*cut, k.in, k.out}.Run(input, &rng, 0, 0);
        ASSERT_EQ(got.size(), want.size());
        for (size_t c = 0; c < got.size(); ++c) EXPECT_TRUE(got[c] == want[c]) << "channel " << c;
    }
}

TEST(ConversionChain, PendingOutputIsDeliveredBeforeMoreInputIsTaken) {
    auto chain = ReadyChain();
    const auto in = Float32(2, 48000), out = Float32(2, 44100);
    ASSERT_TRUE(chain->SetFormat(in, out));
    std::vector<float> a(480, 0.1f), b(480, 0.2f), oa(441), ob(441);
    const float* inPlanes[2] = {a.data(), b.data()};
    float* outPlanes[2] = {oa.data(), ob.data()};
    LONG taken = 480, made = 100;
    ASSERT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
    EXPECT_EQ(taken, 480);
    EXPECT_EQ(made, 100);
    for (LONG left = 341; left > 0;) {
        taken = 480;
        made = 200;
        ASSERT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
        EXPECT_EQ(taken, 0);
        EXPECT_EQ(made, std::min<LONG>(200, left));
        left -= made;
    }
    taken = 480;
    made = 441;
    ASSERT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
    EXPECT_EQ(taken, 480);
    EXPECT_EQ(made, 441);
}

TEST(ConversionChain, IdenticalFormatsCopyTheContainerWidth) {
    struct Case {
        WAVEFORMATEXTENSIBLE format;
    };
    for (const Case& k : {Case{Pcm(2, 44100, 16)}, Case{Pcm(3, 96000, 24)}, Case{Float32(2, 48000)}}) {
        auto chain = ReadyChain();
        ASSERT_TRUE(chain->SetFormat(k.format, k.format));
        EXPECT_EQ(chain->StageCount(), 0);
        const size_t width = BytesPerSample(k.format);
        std::vector<std::vector<UCHAR>> in(k.format.Format.nChannels), out(k.format.Format.nChannels);
        const float* inPlanes[8] = {};
        float* outPlanes[8] = {};
        for (size_t c = 0; c < in.size(); ++c) {
            for (size_t i = 0; i < 100 * width; ++i) in[c].push_back(UCHAR(i * 7 + c));
            out[c].assign(100 * width, 0xEE);
            inPlanes[c] = reinterpret_cast<const float*>(in[c].data());
            outPlanes[c] = reinterpret_cast<float*>(out[c].data());
        }
        LONG taken = 100, made = 60;
        ASSERT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
        EXPECT_EQ(taken, 60);
        EXPECT_EQ(made, 60);
        for (size_t c = 0; c < in.size(); ++c) {
            EXPECT_TRUE(std::equal(in[c].begin(), in[c].begin() + 60 * width, out[c].begin()));
            EXPECT_EQ(out[c][60 * width], 0xEE);
        }
    }
    // Same rate, other sample format: the format stage alone.
    auto chain = ReadyChain();
    ASSERT_TRUE(chain->SetFormat(Pcm(2, 44100, 16), Float32(2, 44100)));
    EXPECT_EQ(chain->StageCount(), 1);
}

TEST(ConversionChain, AfterAFailedSetFormatNothingPasses) {
    auto chain = ReadyChain();
    std::vector<float> a(480, 0.5f), o(480, 9.0f);
    const float* inPlanes[1] = {a.data()};
    float* outPlanes[1] = {o.data()};
    LONG taken = 480, made = 480;
    EXPECT_FALSE(chain->Process(inPlanes, &taken, outPlanes, &made)) << "before any format";
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(made, 0);

    ASSERT_TRUE(chain->SetFormat(Float32(1, 48000), Float32(1, 44100)));
    taken = 480;
    made = 480;
    EXPECT_TRUE(chain->Process(inPlanes, &taken, outPlanes, &made));
    EXPECT_EQ(made, 441);

    EXPECT_FALSE(chain->SetFormat(Float32(1, 48000), Float32(1, 22050)));
    o.assign(480, 9.0f);
    taken = 480;
    made = 480;
    EXPECT_FALSE(chain->Process(inPlanes, &taken, outPlanes, &made));
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(made, 0);
    EXPECT_EQ(o, std::vector<float>(480, 9.0f));
}

TEST(ConversionChain, ChannelCountChangesMixOnceAndKeepEveryChannelInStep) {
    struct Case {
        WORD inChannels, outChannels;
        DWORD inRate, outRate;
        std::vector<float> level;  // DC level of each in channel
        std::vector<float> want;   // DC level of each out channel once settled
    };
    const float c = 0.707f * (0.1f + 0.1f);
    const Case cases[] = {
        {6, 2, 96000, 44100, {0.1f, 0.2f, 0.1f, 0.1f, 0.3f, 0.05f},
         {0.1f + c - 0.871f * 0.3f - 0.49f * 0.05f, 0.2f + c + 0.49f * 0.3f + 0.871f * 0.05f}},
        {2, 6, 44100, 192000, {0.25f, -0.25f}, {0.25f, -0.25f, 0.0f, 0.0f, 0.0f, 0.0f}},
        {1, 2, 48000, 48000, {0.4f}, {0.4f, 0.4f}},
        {8, 1, 48000, 88200, {0.8f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f}, {0.8f}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.inChannels << " -> " << k.outChannels);
        auto chain = ReadyChain();
        const auto in = Float32(k.inChannels, k.inRate), out = Float32(k.outChannels, k.outRate);
        ASSERT_TRUE(chain->SetFormat(in, out));
        std::vector<std::vector<UCHAR>> input;
        for (float level : k.level) input.push_back(AsBytes(std::vector<float>(k.inRate, level)));
        // Small output rooms keep samples pending and leave leftovers in the stages.
        const auto output = Driver{*chain, in, out}.Run(input, nullptr, 333, 517);
        for (size_t ch = 0; ch < output.size(); ++ch) {
            const std::vector<float> y = AsFloats(output[ch]);
            ASSERT_EQ(y.size(), size_t(k.outRate)) << "channel " << ch;
            for (size_t i = y.size() / 2; i < y.size(); i += 97)
                ASSERT_NEAR(y[i], k.want[ch], std::max(2e-3 * std::fabs(k.want[ch]), 1e-5)) << "frame " << i;
        }
    }
}

// Silence in must give silence out for every pair of channel counts, with the format stage alone
// and with rate stages behind it: a plane that no mix writes would otherwise carry whatever the
// pool held into the output (and on through the rate stages).
TEST(ConversionChain, EveryPairOfChannelCountsTurnsSilenceIntoSilence) {
    struct Rates {
        DWORD in, out;
    };
    const Rates rates[] = {{48000, 48000}, {48000, 96000}, {44100, 48000}};
    const std::vector<UCHAR> silence(4800 * 4, 0);
    for (const Rates& r : rates) {
        for (WORD inChannels = 1; inChannels <= 8; ++inChannels) {
            for (WORD outChannels = 1; outChannels <= 8; ++outChannels) {
                SCOPED_TRACE(testing::Message() << inChannels << " -> " << outChannels << " ch, " << r.in << " -> "
                                                << r.out << " Hz");
                auto chain = ReadyChain();  // new stages in new pool each time
                const auto in = Float32(inChannels, r.in), out = Float32(outChannels, r.out);
                ASSERT_TRUE(chain->SetFormat(in, out));
                const std::vector<std::vector<UCHAR>> input(inChannels, silence);
                const auto output = Driver{*chain, in, out}.Run(input, nullptr, 0, 1 << 16);
                for (size_t c = 0; c < output.size(); ++c) {
                    ASSERT_FALSE(output[c].empty());
                    const auto loud = std::find_if(output[c].begin(), output[c].end(), [](UCHAR b) { return b != 0; });
                    EXPECT_TRUE(loud == output[c].end())
                        << "plane " << c << " byte " << (loud - output[c].begin()) << " is " << int(*loud);
                }
            }
        }
    }
}

TEST(ConversionChain, EveryAllocationFailureInInitLeavesNothingAllocated) {
    auto nothingLeft = [] {
        EXPECT_EQ(sim::pool::TagUsage(DspObjectTag).blocks, 0u);
        EXPECT_EQ(sim::pool::TagUsage(DspSrcBufferTag).blocks, 0u);
    };
    kvtest::ExpectCleanAllocationFailures([&] {
        CDspNonInterleaveSrc chain;
        const bool ok = chain.Init();
        if (!ok) {
            nothingLeft();
        }
        return ok;
    });
    kvtest::ExpectCleanAllocationFailures([&] {
        CDspInterleaveSrc chain;
        const bool ok = chain.Init();
        if (!ok) {
            nothingLeft();
        }
        return ok;
    });
    CDspNonInterleaveSrc chain;
    ASSERT_TRUE(chain.Init());
    EXPECT_FALSE(chain.Init());
}

}  // namespace
