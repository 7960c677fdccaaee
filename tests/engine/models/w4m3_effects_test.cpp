// The W4M3 effect controls on plain float planes: the room effect's crossfade and channel counts,
// the headphone effect's exact block length through its conversion chains at every rate, its
// parameters (bounds, latching, persistence) and what a missing effect object leaves.
#include "driver/engine/models/W4M3EffectControls.h"

#include "driver/signal/DspNonInterleaveSrc.h"
#include "engine/control_fakes.h"
#include "engine/settings_device.h"
#include "globaltopo/common/QVT/HeadphoneEffect.h"

#include <gtest/gtest.h>
#include <sim/pool.h>
#include <win/ksmedia.h>

#include <array>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

namespace {

using control_test::FakeFeatureUnit;
using control_test::KernelHolder;
using control_test::MakeKernelObject;

constexpr ULONG kDelayId = 20;
constexpr ULONG kHeadphoneId = 21;
constexpr ULONG kDelaySelector = 0x8B;
constexpr ULONG kHeadphoneSelector = 0x8C;

WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = static_cast<WORD>(channels * 2);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

// Eight planes of 512 floats, as the data path hands them to a stage.
struct Block {
    std::array<std::vector<float>, 8> data;
    std::array<float*, 8> planes{};
    Block() {
        for (size_t c = 0; c < 8; ++c) {
            data[c].assign(ProcessingStageMaxFrames, 0.0f);
            planes[c] = data[c].data();
        }
    }
    // A different tone per channel, continuing at frame Start.
    void Fill(ULONG channels, ULONG frames, ULONG start) {
        for (ULONG c = 0; c < channels; ++c) {
            for (ULONG i = 0; i < frames; ++i) {
                data[c][i] = 0.25f * std::sin(0.01f * static_cast<float>((c + 1) * (start + i)));
            }
        }
    }
    PVOID Data() { return planes.data(); }
};

class W4M3Effects : public settings_test::SettingsDevice {
protected:
    W4M3Effects() : unit(MakeKernelObject<FakeFeatureUnit>(7u)) {
        unit->Selector(kDelaySelector).current = {0};
        unit->Selector(kHeadphoneSelector).current = {0};
    }
    KernelHolder<CDelayEffectControl> NewDelay() {
        auto control = MakeKernelObject<CDelayEffectControl>(kDelayId);
        EXPECT_EQ(control->InitEffect(unit->AsUnit(), kDelaySelector, m_fdo), STATUS_SUCCESS);
        return control;
    }
    KernelHolder<CHeadphoneEffectControl> NewHeadphone() {
        auto control = MakeKernelObject<CHeadphoneEffectControl>(kHeadphoneId);
        EXPECT_EQ(control->InitEffect(unit->AsUnit(), kHeadphoneSelector, m_fdo), STATUS_SUCCESS);
        return control;
    }
    std::optional<LONG> StoredParameter(ULONG index) {
        auto value = Stored(u"Unit21_" + std::u16string(1, char16_t(u'0' + index)));
        if (!value || value->data.size() != 4) return std::nullopt;
        LONG v = 0;
        std::memcpy(&v, value->data.data(), 4);
        return v;
    }

    KernelHolder<FakeFeatureUnit> unit;
};

// ---- Crossfade and chain runner on plain buffers ----

TEST(W4M3Crossfade, FadesTheOldResultOutAndTheNewOneInOverTwoUnitsEach) {
    constexpr ULONG unit = 48, frames = 512;
    for (LONG state : {W4M3FadeOn, W4M3FadeOff, W4M3FadeSteady}) {
        SCOPED_TRACE(state);
        std::vector<float> r0(frames, 1.0f), r1(frames, 1.0f), d0(frames, 2.0f), d1(frames, 2.0f);
        float* result[2] = {r0.data(), r1.data()};
        const float* dry[2] = {d0.data(), d1.data()};
        W4M3Crossfade(state, result, dry, frames, unit);
        for (ULONG i = 0; i < frames; ++i) {
            const float fall = 1.0f - static_cast<float>(i) / 95.0f;
            const float rise = static_cast<float>(i) / 95.0f - 96.0f / 95.0f;
            float expected = 1.0f;
            if (state == W4M3FadeOn) expected = i < 96 ? 2.0f * fall : i < 192 ? rise : 1.0f;
            if (state == W4M3FadeOff) expected = i < 96 ? fall : i < 192 ? 2.0f * rise : 2.0f;
            ASSERT_NEAR(r0[i], expected, 1e-5f) << i;
            ASSERT_EQ(r1[i], r0[i]) << i;
        }
        if (state != W4M3FadeSteady) {
            EXPECT_NEAR(r0[95], 0.0f, 1e-6f);
            EXPECT_NEAR(r0[96], 0.0f, 1e-6f);
        }
    }
}

TEST(W4M3RunSrcChain, RefusesEmptyCallsStaysInItsRoomAndEndsWithoutProgress) {
    CDspNonInterleaveSrc chain;
    ASSERT_TRUE(chain.Init());
    std::vector<float> in(512, 0.5f), out(1024 + 16, 7.0f);
    const float* inPlanes[8] = {in.data()};
    float* outPlanes[8] = {out.data()};
    ULONG produced = 99;
    EXPECT_EQ(RunSrcChain(&chain, 0, &produced, inPlanes, outPlanes, 1024, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RunSrcChain(&chain, 512, &produced, inPlanes, outPlanes, 0, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RunSrcChain(&chain, 512, &produced, nullptr, outPlanes, 1024, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RunSrcChain(nullptr, 512, &produced, inPlanes, outPlanes, 1024, false), STATUS_INVALID_PARAMETER);

    // Without a format the chain takes nothing and gives nothing: the runner stops at once.
    EXPECT_EQ(RunSrcChain(&chain, 512, &produced, inPlanes, outPlanes, 1024, false), STATUS_SUCCESS);
    EXPECT_EQ(produced, 0u);

    // Four times up into a room smaller than the output: the runner fills the room and no more.
    WAVEFORMATEXTENSIBLE from = {}, to = {};
    from.Format = {WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 48000 * 4, 4, 32, 0};
    to.Format = {WAVE_FORMAT_IEEE_FLOAT, 1, 192000, 192000 * 4, 4, 32, 0};
    ASSERT_TRUE(chain.SetFormat(from, to));
    EXPECT_EQ(RunSrcChain(&chain, 512, &produced, inPlanes, outPlanes, 1024, true), STATUS_SUCCESS);
    EXPECT_EQ(produced, 1024u);
    for (ULONG i = 1024; i < out.size(); ++i) ASSERT_EQ(out[i], 7.0f) << i;
}

// ---- Room effect ----

// Three room controls fed the same 6-channel tone at 48 kHz: one on from the start, one off
// throughout, one switched on before block 4. From there the switched one's pair falls from the
// dry mix to 0 over 96 frames, rises to the wet result over the next 96, and is wet from then on,
// whether that fits in one block of 480 frames or runs over two of 96.
TEST_F(W4M3Effects, RoomEffectSwitchesOnWithA96Plus96FrameCrossfade) {
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
    for (ULONG frames : {480u, 96u}) {
        SCOPED_TRACE(frames);
        // The switch the last round stored does not carry over.
        unit->Selector(kDelaySelector).current = {0};
        Store(u"Unit20_", REG_BINARY, settings_test::Bytes({0}));
        auto on = NewDelay(), off = NewDelay(), switched = NewDelay();
        for (auto* c : {on.get(), off.get(), switched.get()}) ASSERT_EQ(c->SetFormat(&format), STATUS_SUCCESS);
        ASSERT_EQ(on->SetEnable(1), STATUS_SUCCESS);
        const ULONG blocks = 4 + 2400 / frames;
        for (ULONG block = 0; block < blocks; ++block) {
            SCOPED_TRACE(block);
            if (block == 4) {
                ASSERT_EQ(switched->SetEnable(1), STATUS_SUCCESS);
            }
            Block a, b, c;
            for (Block* x : {&a, &b, &c}) x->Fill(6, frames, block * frames);
            on->Process(&format, a.Data(), frames);
            off->Process(&format, b.Data(), frames);
            switched->Process(&format, c.Data(), frames);
            for (ULONG ch = 0; ch < 6; ++ch) {
                for (ULONG i = 0; i < frames; ++i) {
                    const float wet = a.data[ch][i], dry = b.data[ch][i], got = c.data[ch][i];
                    float expected = block < 4 ? dry : wet;
                    const ULONG at = (block - 4) * frames + i;
                    if (block >= 4 && ch < 2 && at < 96) expected = (1.0f - static_cast<float>(at) / 95.0f) * dry;
                    if (block >= 4 && ch < 2 && at >= 96 && at < 192) expected = static_cast<float>(at - 96) / 95.0f * wet;
                    ASSERT_NEAR(got, expected, 1e-6f) << "channel " << ch << " frame " << i;
                }
            }
            if (block >= 1 && frames == 480) {
                // The wet and the dry result differ once the limiters' look-ahead has passed.
                bool differ = false;
                for (ULONG i = 0; i < frames; ++i) differ = differ || std::fabs(a.data[0][i] - b.data[0][i]) > 1e-4f;
                EXPECT_TRUE(differ);
            }
        }
        EXPECT_EQ(switched->CrossfadeState(), W4M3FadeSteady);
        EXPECT_EQ(switched->LatchedEnable(), 1);
    }
}

// The network mixes 5.1 and 7.1 only: any other count stays dry with the effect on (never
// silent), and stereo keeps its samples apart from the denormal guard.
TEST_F(W4M3Effects, RoomEffectOnLeavesCountsTheNetworkDoesNotTakeDry) {
    constexpr ULONG frames = 512;
    for (WORD channels : {1, 2, 3, 4, 5, 7}) {
        SCOPED_TRACE(channels);
        const WAVEFORMATEXTENSIBLE format = Pcm(channels, 48000);
        auto on = NewDelay(), off = NewDelay();
        on->SetFormat(&format);
        off->SetFormat(&format);
        ASSERT_EQ(on->SetEnable(1), STATUS_SUCCESS);
        float peak = 0.0f;
        for (ULONG block = 0; block < 3; ++block) {
            Block a, b, input;
            for (Block* x : {&a, &b, &input}) x->Fill(channels, frames, block * frames);
            on->Process(&format, a.Data(), frames);
            off->Process(&format, b.Data(), frames);
            for (ULONG ch = 0; ch < channels; ++ch) {
                for (ULONG i = 0; i < frames; ++i) {
                    ASSERT_EQ(a.data[ch][i], b.data[ch][i]) << ch << "/" << i;
                    if (channels == 2) {
                        ASSERT_NEAR(a.data[ch][i], input.data[ch][i], 1e-9f);
                    }
                    peak = std::fmax(peak, std::fabs(a.data[0][i]));
                }
            }
        }
        EXPECT_GT(peak, 0.05f);
    }
}

// ---- The two stages in path order ----

// Eight channels, each with one impulse of 0.25 of its own: channel c at frame 600 + 500 c.
constexpr ULONG kImpulseFrames = 4800;
ULONG ImpulseAt(ULONG channel) { return 600 + 500 * channel; }

using Planes8 = std::array<std::vector<float>, 8>;

Planes8 Impulses() {
    Planes8 input;
    for (ULONG c = 0; c < 8; ++c) {
        input[c].assign(kImpulseFrames, 0.0f);
        input[c][ImpulseAt(c)] = 0.25f;
    }
    return input;
}

// Runs Input through the stages in order, in blocks of 480 frames of the 8-channel format.
Planes8 RunStages(std::initializer_list<VendorControlNode*> Stages, const Planes8& Input) {
    const WAVEFORMATEXTENSIBLE format = Pcm(8, 48000);
    constexpr ULONG frames = 480;
    Planes8 out;
    for (auto& plane : out) plane.reserve(kImpulseFrames);
    for (ULONG at = 0; at < kImpulseFrames; at += frames) {
        Block b;
        for (ULONG c = 0; c < 8; ++c) std::copy_n(Input[c].begin() + at, frames, b.data[c].begin());
        for (VendorControlNode* stage : Stages) EXPECT_EQ(stage->Process(&format, b.Data(), frames), STATUS_SUCCESS);
        for (ULONG c = 0; c < 8; ++c) out[c].insert(out[c].end(), b.data[c].begin(), b.data[c].begin() + frames);
    }
    return out;
}

// The room stage followed by the headphone stage, as the W4M3 unit puts them on the render path:
// every state makes exactly one down-mix. Both off: each channel arrives once, at the plain
// down-mix gains (front 1, centre 0.707, LFE and surrounds 1). Room only: the room mix alone,
// delayed by the headphone stage's look-ahead (no dry surround on top). Headphone only: the
// headphone effect of the untouched eight channels. Both: the headphone effect of the room mix.
TEST_F(W4M3Effects, RoomAndHeadphoneStagesInPathOrderDownMixOnce) {
    const WAVEFORMATEXTENSIBLE format = Pcm(8, 48000);
    const Planes8 input = Impulses();
    struct State {
        UCHAR room, headphone;
    };
    for (State state : {State{0, 0}, State{1, 0}, State{0, 1}, State{1, 1}}) {
        SCOPED_TRACE(testing::Message() << "room " << int(state.room) << " headphone " << int(state.headphone));
        unit->Selector(kDelaySelector).current = {state.room};
        unit->Selector(kHeadphoneSelector).current = {state.headphone};
        auto room = NewDelay();
        auto headphone = NewHeadphone();
        room->SetDownmixAfter(headphone.get());
        for (VendorControlNode* c : {static_cast<VendorControlNode*>(room.get()), static_cast<VendorControlNode*>(headphone.get())}) {
            ASSERT_EQ(c->SetFormat(&format), STATUS_SUCCESS);
        }
        const Planes8 out = RunStages({room.get(), headphone.get()}, input);

        // The references: each stage alone, fed what it should see.
        auto roomAlone = NewDelay();
        auto headphoneAlone = NewHeadphone();
        roomAlone->SetFormat(&format);
        headphoneAlone->SetFormat(&format);
        Planes8 roomMix = RunStages({roomAlone.get()}, input);
        for (ULONG c = 2; c < 8; ++c) std::fill(roomMix[c].begin(), roomMix[c].end(), 0.0f);
        const Planes8 expected = RunStages({headphoneAlone.get()}, state.room != 0 ? roomMix : input);
        for (ULONG c = 0; c < 2; ++c) {
            for (ULONG i = 0; i < kImpulseFrames; ++i) ASSERT_NEAR(out[c][i], expected[c][i], 1e-6f) << c << "/" << i;
        }
        if (state.room != 0 || state.headphone != 0) continue;

        // Both off: one impulse per input channel and output side, at the down-mix gain.
        ULONG latency = 0;
        while (latency < kImpulseFrames && std::fabs(out[0][latency]) < 0.01f) ++latency;
        ASSERT_GE(latency, ImpulseAt(0));
        latency -= ImpulseAt(0);
        const float left[8] = {1, 0, 0.707f, 1, 1, 0, 1, 0};
        const float right[8] = {0, 1, 0.707f, 1, 0, 1, 0, 1};
        for (ULONG i = 0; i < kImpulseFrames; ++i) {
            float l = 0.0f, r = 0.0f;
            for (ULONG c = 0; c < 8; ++c) {
                if (i == ImpulseAt(c) + latency) {
                    l = 0.25f * left[c];
                    r = 0.25f * right[c];
                }
            }
            ASSERT_NEAR(out[0][i], l, 1e-5f) << i;
            ASSERT_NEAR(out[1][i], r, 1e-5f) << i;
        }
    }
}

// ---- Switching only when the switch changes ----

// A control whose enable value can be published without the pending flags, as a block sees it
// while SetEnable runs between the two.
template <class Control>
struct WindowControl : Control {
    using Control::Control;
    void PublishOnly(UCHAR Enable) {
        this->m_Enable = Enable;
        this->PublishEnable();
    }
};

// Against an untouched control fed the same blocks: a host switch to the value in force, a device
// refresh that finds the value unchanged, and (room) a device-side change the room stage does not
// follow leave the output identical, for both effect controls and both starting values. A value
// published before its flags (the window inside SetEnable) changes nothing until the flags come;
// then the switch fades exactly as a plain SetEnable does.
TEST_F(W4M3Effects, OnlyARealChangeOfTheLatchedSwitchFades) {
    constexpr ULONG frames = 480;
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
    auto run = [&](auto make) {
        for (UCHAR start : {0, 1}) {
            SCOPED_TRACE(int(start));
            auto untouched = make(), poked = make(), windowed = make(), plain = make();
            for (auto* c : {untouched.get(), poked.get(), windowed.get(), plain.get()}) {
                ASSERT_EQ(c->SetEnable(start), STATUS_SUCCESS);
                c->SetFormat(&format);
            }
            for (ULONG block = 0; block < 8; ++block) {
                SCOPED_TRACE(block);
                if (block == 2) {
                    EXPECT_EQ(poked->SetEnable(start), STATUS_SUCCESS);
                }
                if (block == 3) {
                    EXPECT_EQ(poked->RefreshValues(), STATUS_SUCCESS);
                }
                if (block == 4) windowed->PublishOnly(static_cast<UCHAR>(1 - start));
                if (block == 5) {
                    EXPECT_EQ(windowed->SetEnable(static_cast<UCHAR>(1 - start)), STATUS_SUCCESS);
                    EXPECT_EQ(plain->SetEnable(static_cast<UCHAR>(1 - start)), STATUS_SUCCESS);
                }
                Block a, b, w, p;
                for (Block* x : {&a, &b, &w, &p}) x->Fill(6, frames, block * frames);
                untouched->Process(&format, a.Data(), frames);
                poked->Process(&format, b.Data(), frames);
                windowed->Process(&format, w.Data(), frames);
                plain->Process(&format, p.Data(), frames);
                for (ULONG ch = 0; ch < 2; ++ch) {
                    ASSERT_EQ(a.data[ch], b.data[ch]) << ch;
                    ASSERT_EQ(w.data[ch], block < 5 ? a.data[ch] : p.data[ch]) << ch;
                }
            }
        }
    };
    run([&] {
        auto c = MakeKernelObject<WindowControl<CDelayEffectControl>>(kDelayId);
        EXPECT_EQ(c->InitEffect(unit->AsUnit(), kDelaySelector, m_fdo), STATUS_SUCCESS);
        return c;
    });
    run([&] {
        auto c = MakeKernelObject<WindowControl<CHeadphoneEffectControl>>(kHeadphoneId);
        EXPECT_EQ(c->InitEffect(unit->AsUnit(), kHeadphoneSelector, m_fdo), STATUS_SUCCESS);
        return c;
    });

    // The device switches the room effect itself: the room stage keeps the host's switch.
    auto room = NewDelay(), untouched = NewDelay();
    for (auto* c : {room.get(), untouched.get()}) c->SetFormat(&format);
    for (ULONG block = 0; block < 4; ++block) {
        if (block == 1) {
            unit->Selector(kDelaySelector).current = {1};
            EXPECT_EQ(room->RefreshValues(), STATUS_SUCCESS);
            unit->Selector(kDelaySelector).current = {0};
        }
        Block a, b;
        for (Block* x : {&a, &b}) x->Fill(6, frames, block * frames);
        room->Process(&format, a.Data(), frames);
        untouched->Process(&format, b.Data(), frames);
        for (ULONG ch = 0; ch < 2; ++ch) ASSERT_EQ(a.data[ch], b.data[ch]) << block;
    }
}

// ---- Headphone effect ----

// Every block leaves with exactly the frames it came with: the planes past the block are never
// written, the FIFO stays within its 512 frames, and once the chains are primed the output has no
// gaps of silence, at every rate the chains take and in blocks of 512, 480 and odd sizes.
TEST_F(W4M3Effects, HeadphoneBlocksLeaveWithExactlyTheirFrames) {
    struct Case {
        DWORD rate;
        ULONG internal;
    };
    auto control = NewHeadphone();
    ASSERT_NE(control->Effect(), nullptr);
    ASSERT_EQ(control->SetEnable(1), STATUS_SUCCESS);
    for (Case c : {Case{96000, 48000}, Case{44100, 44100}, Case{48000, 48000}, Case{88200, 44100},
                   Case{176400, 44100}, Case{192000, 48000}}) {
        for (ULONG frames : {512u, 480u, 333u}) {
            SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << frames << " frames");
            const WAVEFORMATEXTENSIBLE format = Pcm(6, c.rate);
            ASSERT_EQ(control->SetFormat(&format), STATUS_SUCCESS);
            ASSERT_TRUE(control->ChainsReady());
            EXPECT_EQ(control->InternalRate(), c.internal);
            ULONG zeros = 0;
            for (ULONG block = 0; block < 40; ++block) {
                Block b;
                b.Fill(6, frames, block * frames);
                for (ULONG ch = 0; ch < 8; ++ch) std::fill(b.data[ch].begin() + frames, b.data[ch].end(), 9.0f);
                ASSERT_EQ(control->Process(&format, b.Data(), frames), STATUS_SUCCESS);
                ASSERT_LE(control->FifoCount(), CHeadphoneEffectControl::FifoFrames);
                for (ULONG ch = 0; ch < 8; ++ch) {
                    for (ULONG i = frames; i < ProcessingStageMaxFrames; ++i) ASSERT_EQ(b.data[ch][i], 9.0f);
                }
                if (block < 10) continue;
                for (ULONG i = 0; i < frames; ++i) zeros += b.data[0][i] == 0.0f ? 1 : 0;
            }
            EXPECT_EQ(zeros, 0u);
        }
    }
}

// The effect takes 5.1 and 7.1: every other count leaves dry from the first block on, including
// the block of the switch, and the dry result sounds.
TEST_F(W4M3Effects, HeadphoneLeavesCountsTheEffectDoesNotTakeDry) {
    for (WORD channels : {1, 3, 4, 5, 7}) {
        SCOPED_TRACE(channels);
        const WAVEFORMATEXTENSIBLE format = Pcm(channels, 48000);
        auto switched = NewHeadphone(), off = NewHeadphone();
        for (auto* c : {switched.get(), off.get()}) c->SetFormat(&format);
        ASSERT_TRUE(switched->ChainsReady());
        float peak = 0.0f;
        for (ULONG block = 0; block < 4; ++block) {
            if (block == 0 || block == 2) {
                ASSERT_EQ(switched->SetEnable(block == 0 ? 1 : 0), STATUS_SUCCESS);
            }
            Block a, b;
            for (Block* x : {&a, &b}) x->Fill(channels, 480, block * 480);
            switched->Process(&format, a.Data(), 480);
            off->Process(&format, b.Data(), 480);
            for (ULONG ch = 0; ch < channels; ++ch) ASSERT_EQ(a.data[ch], b.data[ch]) << block << "/" << ch;
            for (ULONG i = 0; i < 480; ++i) peak = std::fmax(peak, std::fabs(a.data[0][i]));
        }
        EXPECT_GT(peak, 0.1f);
    }
}

// A rate the chains do not take passes the stream by; so does stereo.
TEST_F(W4M3Effects, HeadphonePassesWhatItCannotConvertAndStereo) {
    auto control = NewHeadphone();
    for (auto [channels, rate, ready] : {std::tuple{6, 32000, false}, std::tuple{2, 48000, true}}) {
        SCOPED_TRACE(rate);
        const WAVEFORMATEXTENSIBLE format = Pcm(static_cast<WORD>(channels), rate);
        control->SetFormat(&format);
        EXPECT_EQ(control->ChainsReady(), ready);
        for (ULONG block = 0; block < 3; ++block) {
            Block b, input;
            b.Fill(channels, 512, block * 512);
            input.Fill(channels, 512, block * 512);
            control->Process(&format, b.Data(), 512);
            for (int ch = 0; ch < channels; ++ch) ASSERT_EQ(b.data[ch], input.data[ch]);
        }
    }
}

// Parameter bounds as (first, count) pairs, with a first that would overflow first + count.
TEST_F(W4M3Effects, HeadphoneParameterRangesAreCheckedWithoutWrapping) {
    auto control = NewHeadphone();
    struct Case {
        ULONG first, count;
        NTSTATUS get, set;
    };
    const Case cases[] = {
        {0, 2, STATUS_SUCCESS, STATUS_SUCCESS},
        {1, 1, STATUS_SUCCESS, STATUS_SUCCESS},
        {2, 0, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {0, 0, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {1, 2, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {3, 0, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {0xFFFFFFFF, 3, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {2, 0xFFFFFFFF, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << "+" << c.count);
        std::array<LONG, 4> values = {1, 0, 0, 0};
        EXPECT_EQ(control->GetParameters(c.first, c.count, values.data()), c.get);
        values = {1, 0, 0, 0};
        EXPECT_EQ(control->SetParameters(c.first, c.count, values.data()), c.set);
    }
    ULONG count = 0;
    EXPECT_EQ(control->GetParameterCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    ULONG info[3] = {};
    EXPECT_EQ(control->GetParameterInfo(0, info), STATUS_INVALID_PARAMETER);
    auto delay = NewDelay();
    LONG value = 0;
    EXPECT_EQ(delay->GetParameters(0, 1, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(delay->SetParameters(0, 1, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(delay->GetParameterCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

// Only accepted entries are kept and stored; the effect builds their filters at once and the data
// path switches to them.
TEST_F(W4M3Effects, HeadphoneParametersAreStoredWhenAcceptedAndTheirFiltersTakeOverInTheDataPath) {
    auto control = NewHeadphone();
    const CHeadphoneEffect* effect = control->Effect();
    ASSERT_NE(effect, nullptr);
    const LONG room = effect->GetHeadphoneRoom();
    ASSERT_LT(room, 2);

    // Room 3 is refused, the family flag accepted: success, only index 1 kept and stored.
    const LONG refusedRoom[2] = {3, 1};
    EXPECT_EQ(control->SetParameters(0, 2, refusedRoom), STATUS_SUCCESS);
    LONG got[2] = {};
    ASSERT_EQ(control->GetParameters(0, 2, got), STATUS_SUCCESS);
    EXPECT_EQ(got[0], room);
    EXPECT_EQ(got[1], 1);
    EXPECT_EQ(StoredParameter(0), std::nullopt);
    EXPECT_EQ(StoredParameter(1), 1);
    for (LONG bad : {3, -1, 0x7FFFFFFF}) {
        EXPECT_EQ(control->SetParameters(0, 1, &bad), STATUS_INVALID_PARAMETER) << bad;
    }
    EXPECT_EQ(StoredParameter(0), std::nullopt);

    const LONG newRoom = 2;
    EXPECT_EQ(control->SetParameters(0, 1, &newRoom), STATUS_SUCCESS);
    EXPECT_EQ(StoredParameter(0), 2);
    // The effect takes them at once and builds the filters here; the data path switches to them.
    EXPECT_EQ(effect->GetHeadphoneRoom(), 2);
    EXPECT_EQ(effect->GetHeadphoneFamily(), 1);
    EXPECT_EQ(effect->GetSpeakerFamily(), 1);
    const LONG filtersBefore = effect->App()->SetId();
    EXPECT_TRUE(effect->App()->HasPreparedFilters());
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
    control->SetFormat(&format);
    for (ULONG block = 0; block < 4 && effect->App()->HasPreparedFilters(); ++block) {
        EXPECT_EQ(effect->App()->SetId(), filtersBefore);
        Block b;
        control->Process(&format, b.Data(), 480);
    }
    EXPECT_FALSE(effect->App()->HasPreparedFilters());
    EXPECT_EQ(effect->App()->Room(), 1);   // room code 2
    EXPECT_EQ(effect->App()->SetId(), 40); // the second family at 40 degrees

    // A new control starts on the stored values; a stored room the effect lacks is ignored.
    auto again = NewHeadphone();
    ASSERT_EQ(again->GetParameters(0, 2, got), STATUS_SUCCESS);
    EXPECT_EQ(got[0], 2);
    EXPECT_EQ(got[1], 1);
    EXPECT_EQ(again->Effect()->GetHeadphoneRoom(), 2);
    EXPECT_EQ(again->Effect()->GetHeadphoneFamily(), 1);
    Store(u"Unit21_0", REG_BINARY, settings_test::Bytes({7, 0, 0, 0}));
    auto damaged = NewHeadphone();
    ASSERT_EQ(damaged->GetParameters(0, 1, got), STATUS_SUCCESS);
    EXPECT_EQ(got[0], room);
    EXPECT_EQ(damaged->Effect()->GetHeadphoneRoom(), room);
}

// Parameters set from a passive thread while another thread runs blocks: the effect changes only
// inside Process (under ThreadSanitizer this shows no race).
TEST_F(W4M3Effects, HeadphoneParameterChangesRaceNoBlock) {
    auto control = NewHeadphone();
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
    control->SetFormat(&format);
    std::thread setter([&] {
        for (LONG i = 0; i < 50; ++i) {
            const LONG values[2] = {i % 3, i % 2};
            EXPECT_EQ(control->SetParameters(0, 2, values), STATUS_SUCCESS);
            EXPECT_EQ(control->SetEnable(static_cast<UCHAR>(i % 2)), STATUS_SUCCESS);
        }
    });
    for (ULONG block = 0; block < 50; ++block) {
        Block b;
        b.Fill(6, 256, block * 256);
        control->Process(&format, b.Data(), 256);
    }
    setter.join();
    Block b;
    control->Process(&format, b.Data(), 256);
    EXPECT_EQ(control->Effect()->GetHeadphoneRoom(), 49 % 3);
    EXPECT_EQ(control->Effect()->GetHeadphoneFamily(), 1);
}

// Without memory for an effect object the control still exists, switches, and passes the stream
// through; nothing is left behind.
TEST_F(W4M3Effects, MissingEffectObjectsPassTheStreamThrough) {
    for (ULONG tag : {W4M3PlaneTag, W4M3EffectTag}) {
        SCOPED_TRACE(sim::pool::TagText(tag));
        const sim::pool::Snapshot snapshot = sim::pool::TakeSnapshot();
        {
            sim::pool::FailAllocationsWithTag(tag);
            auto delay = NewDelay();
            auto headphone = NewHeadphone();
            sim::pool::DisarmFaults();
            EXPECT_EQ(headphone->Effect(), nullptr);
            for (WORD channels : {6, 8}) {
                const WAVEFORMATEXTENSIBLE format = Pcm(channels, 48000);
                for (VendorControlNode* control : {static_cast<VendorControlNode*>(delay.get()),
                                                   static_cast<VendorControlNode*>(headphone.get())}) {
                    EXPECT_EQ(control->SetEnable(1), STATUS_SUCCESS);
                    control->SetFormat(&format);
                    Block b, input;
                    b.Fill(channels, 512, 0);
                    input.Fill(channels, 512, 0);
                    EXPECT_EQ(control->Process(&format, b.Data(), 512), STATUS_SUCCESS);
                    for (ULONG ch = 0; ch < channels; ++ch) ASSERT_EQ(b.data[ch], input.data[ch]);
                    control->Reset(&format, nullptr, 0);
                }
            }
        }
        EXPECT_TRUE(sim::pool::LeaksSince(snapshot).Empty()) << sim::pool::LeaksSince(snapshot).ToString();
    }
}

}  // namespace
