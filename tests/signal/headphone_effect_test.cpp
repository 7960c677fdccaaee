// The headphone effect as its control drives it: the down-mix while off or without an
// application, the parameter sets reaching the engine, the virtualised signal in place on the
// planes, and allocation failures.
#include "dsp_test_util.h"
#include "support/pool_faults.h"

#include "driver/signal/SignalMemory.h"
#include "globaltopo/common/QVT/HeadphoneEffect.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using Planes = std::vector<std::vector<float>>;

Planes RandomPlanes(size_t frames, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    Planes planes(8, std::vector<float>(frames));
    for (auto& p : planes)
        for (float& x : p) x = dist(gen);
    return planes;
}

void RunEffect(CHeadphoneEffect& effect, Planes& planes, const std::vector<LONG>& calls) {
    const LONG frames = static_cast<LONG>(planes[0].size());
    LONG done = 0;
    for (size_t k = 0; done < frames; ++k) {
        const LONG n = std::min(calls[k % calls.size()], frames - done);
        float* p[8];
        for (LONG c = 0; c < 8; ++c) p[c] = planes[c].data() + done;
        effect.Process(p, n);
        done += n;
    }
}

void ExpectDownmix(const Planes& in, const Planes& out) {
    for (size_t i = 0; i < in[0].size(); ++i) {
        const float centre = 0.707f * in[2][i];
        ASSERT_FLOAT_EQ(out[0][i], (in[0][i] + centre + in[3][i] + in[4][i]) / 2.0f + in[6][i] / 2.0f) << i;
        ASSERT_FLOAT_EQ(out[1][i], (in[1][i] + centre + in[3][i] + in[5][i]) / 2.0f + in[7][i] / 2.0f) << i;
    }
}

TEST(HeadphoneEffect, DisabledIsTheDownmixWithoutLatency) {
    auto effect = std::make_unique<CHeadphoneEffect>();
    ASSERT_NE(effect->App(), nullptr);
    EXPECT_EQ(effect->SetFormat(dsptest::Float32(2, 48000)), 1);
    const Planes in = RandomPlanes(700, 1);
    Planes planes = in;
    RunEffect(*effect, planes, {256, 1, 443});
    ExpectDownmix(in, planes);
}

TEST(HeadphoneEffect, WithoutAnApplicationEvenEnabledIsTheDownmix) {
    sim::pool::FailNthAllocation(1);  // the application itself
    auto effect = std::make_unique<CHeadphoneEffect>();
    EXPECT_EQ(effect->App(), nullptr);
    EXPECT_EQ(effect->SetFormat(dsptest::Float32(2, 48000)), -1);
    effect->SetEnable(1);
    effect->SetHeadphoneRoom(0);  // stored only
    EXPECT_EQ(effect->GetHeadphoneRoom(), 0);
    const Planes in = RandomPlanes(300, 2);
    Planes planes = in;
    RunEffect(*effect, planes, {300});
    ExpectDownmix(in, planes);
}

// At 176.4 and 192 kHz a block is more than the rate changers hold: the application stays
// unconfigured and even an enabled effect gives the down-mix.
TEST(HeadphoneEffect, RatesTheApplicationCannotRunGiveTheDownmix) {
    for (DWORD rateHz : {176400u, 192000u}) {
        SCOPED_TRACE(rateHz);
        auto effect = std::make_unique<CHeadphoneEffect>();
        EXPECT_EQ(effect->SetFormat(dsptest::Float32(2, rateHz)), 1);
        EXPECT_FALSE(effect->App()->IsUsable());
        effect->SetEnable(1);
        const Planes in = RandomPlanes(24576, 4);
        Planes planes = in;
        RunEffect(*effect, planes, {256, 24576});
        ExpectDownmix(in, planes);
    }
}

TEST(HeadphoneEffect, FilterSetIdsByFamilyAndAngle) {
    struct Case {
        LONG angle, first, second;
    };
    const Case cases[] = {{0, 24, 25}, {25, 24, 25}, {1, 29, 30}, {30, 29, 30}, {2, 34, 35}, {35, 34, 35},
                          {3, 39, 40}, {40, 39, 40}, {31, 31, 31}, {4, -1, -1}, {45, -1, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(CHeadphoneEffect::GetFilterSetId(0, c.angle), c.first) << c.angle;
        EXPECT_EQ(CHeadphoneEffect::GetFilterSetId(7, c.angle), c.second) << c.angle;
    }
}

TEST(HeadphoneEffect, ParameterSetsReachTheEngineOnlyInTheirMode) {
    enum class Call { Mode, CtcAngle, HpRoom, HpAngle, HpFamily, SpRoom, SpAngle, SpFamily };
    struct Step {
        Call call;
        LONG value;
        LONG room, setId, ctcAngle;  // the engine afterwards
    };
    // The engine starts with its own set (room 1, set 29) and CTC off until a setter runs.
    const Step steps[] = {
        {Call::HpRoom, 0, 3, 29, 0},     // headphone mode: applied with the stored angle 30
        {Call::HpAngle, 2, 3, 34, 0},
        {Call::HpFamily, 1, 3, 35, 0},
        {Call::SpRoom, 2, 3, 35, 0},     // loudspeaker set: stored only
        {Call::CtcAngle, 3, 3, 35, 0},   // code 3 = 20 degrees, CTC off in headphone mode
        {Call::Mode, 1, 3, 35, 20},      // CTC on; the set is not reapplied
        {Call::SpAngle, 31, 1, 31, 20},
        {Call::SpFamily, 1, 1, 31, 20},
        {Call::SpAngle, 9, 1, 24, 20},   // no such angle: set 24
        {Call::CtcAngle, 12, 1, 24, 12}, // other values are degrees
        {Call::HpRoom, 2, 1, 24, 12},    // headphone set: stored only
        {Call::Mode, 0, 1, 24, 0},
    };
    auto effect = std::make_unique<CHeadphoneEffect>();
    ASSERT_NE(effect->App(), nullptr);
    EXPECT_EQ(effect->App()->Room(), 1);
    EXPECT_EQ(effect->App()->SetId(), 29);
    for (const Step& s : steps) {
        switch (s.call) {
        case Call::Mode: effect->SetCtcMode(s.value); break;
        case Call::CtcAngle: effect->SetCtcAngle(ULONG(s.value)); break;
        case Call::HpRoom: effect->SetHeadphoneRoom(ULONG(s.value)); break;
        case Call::HpAngle: effect->SetHeadphoneAngle(ULONG(s.value)); break;
        case Call::HpFamily: effect->SetHeadphoneFamily(ULONG(s.value)); break;
        case Call::SpRoom: effect->SetSpeakerRoom(ULONG(s.value)); break;
        case Call::SpAngle: effect->SetSpeakerAngle(ULONG(s.value)); break;
        case Call::SpFamily: effect->SetSpeakerFamily(ULONG(s.value)); break;
        }
        SCOPED_TRACE(testing::Message() << "call " << int(s.call) << " value " << s.value);
        EXPECT_EQ(effect->App()->Room(), s.room);
        EXPECT_EQ(effect->App()->SetId(), s.setId);
        EXPECT_EQ(effect->App()->CtcAngle(), s.ctcAngle);
    }
    EXPECT_EQ(effect->GetHeadphoneRoom(), 2);
    EXPECT_EQ(effect->GetHeadphoneFamily(), 1);
    EXPECT_EQ(effect->GetSpeakerRoom(), 2);
    EXPECT_EQ(effect->GetSpeakerFamily(), 1);
}

TEST(HeadphoneEffect, EnabledVirtualisesInPlaceOneBlockLate) {
    // A left impulse at 44100 Hz comes back on planes 0 and 1 as twice the left group's head
    // responses, one 512-frame block later, whatever the call sizes.
    for (const std::vector<LONG>& calls : {std::vector<LONG>{256}, std::vector<LONG>{1, 700, 33, 256}}) {
        auto effect = std::make_unique<CHeadphoneEffect>();
        ASSERT_EQ(effect->SetFormat(dsptest::Float32(2, 44100)), 1);
        effect->SetEnable(1);
        effect->SetHeadphoneRoom(2);  // internal room 1, set 29
        Planes planes(8, std::vector<float>(4 * 512, 0.0f));
        planes[0][0] = 1.0f;
        RunEffect(*effect, planes, calls);
        std::vector<float> head(1024);
        for (LONG e = 0; e < 2; ++e) {
            HeadphoneHeadSamples(1, 29, e, 0, 1024, head.data());
            for (LONG n = 0; n < 512; ++n) ASSERT_NEAR(planes[e][n], 0.0f, 1e-6) << n;
            for (LONG n = 0; n < 1024; ++n) ASSERT_NEAR(planes[e][512 + n], 2.0f * head[n], 1e-5) << e << " " << n;
        }
    }
}

TEST(HeadphoneEffect, EveryAllocationFailureLeavesNothingAllocated) {
    const uint64_t made = kvtest::ExpectCleanAllocationFailures([] {
        const uint64_t signalBlocks = sim::pool::TagUsage(SignalPoolTag).blocks;
        auto effect = std::make_unique<CHeadphoneEffect>();
        if (effect->App() == nullptr) {
            EXPECT_EQ(sim::pool::TagUsage(QvtPoolTag).blocks, 0u);
            EXPECT_EQ(sim::pool::TagUsage(SignalPoolTag).blocks, signalBlocks);
            return false;
        }
        effect->SetFormat(dsptest::Float32(2, 96000));  // rate changers as well
        if (!effect->App()->IsUsable()) {
            // Only the application is left, and the effect falls back to the down-mix.
            EXPECT_EQ(sim::pool::TagUsage(QvtPoolTag).blocks, 1u);
            effect->SetEnable(1);
            const Planes in = RandomPlanes(64, 3);
            Planes planes = in;
            RunEffect(*effect, planes, {64});
            ExpectDownmix(in, planes);
            return false;
        }
        return true;
    });
    EXPECT_GT(made, 20u);
}

}  // namespace
