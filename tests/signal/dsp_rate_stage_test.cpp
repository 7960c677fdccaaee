// Rate stages: outputs against the filter definitions, bit for bit and however the input is cut;
// counts taken and made; histories; buffers.
#include "support/pool_faults.h"

#include "driver/signal/DspSrc441To48.h"
#include "driver/signal/DspSrcBase.h"
#include "driver/signal/SrcTables441To48.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <type_traits>
#include <vector>

namespace {

constexpr LONG kCapacity = CDspSrcBase::kHistoryCapacity;

std::vector<float> Noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

float At(const std::vector<float>& x, long i) { return (i >= 0 && i < long(x.size())) ? x[i] : 0.0f; }

// The multi-rate filter definition: zero-stuff by U, filter, keep every D-th value; the sum runs
// in single precision from the oldest sample. Up-sampling output is then scaled by U.
std::vector<float> RatioReference(const float* h, LONG taps, LONG up, LONG down, const std::vector<float>& x) {
    std::vector<float> y;
    const long outputs = long(x.size()) * up / down;
    for (long m = 0; m < outputs; ++m) {
        const long t = m * down;
        float sum = 0.0f;
        for (long j = taps - 1; j >= 0; --j) {
            if ((t - j) % up != 0 || t - j < 0) continue;
            sum += h[j] * At(x, (t - j) / up);
        }
        y.push_back(up > 1 ? sum * float(up) : sum);
    }
    return y;
}

// The 147:160 stage's definition: output m lies m x step inputs in; its newest input is the whole
// part n and the phase row the fraction, in units of 1/phases. Products in single precision,
// summed in double from the oldest sample.
std::vector<float> PolyphaseReference(const float* rows, LONG phases, LONG taps, LONG inputsPerPeriod,
                                      const std::vector<float>& x) {
    std::vector<float> y;
    for (long m = 0;; ++m) {
        const long position = m * inputsPerPeriod;  // in 1/phases of an input
        const long n = position / phases, p = position % phases;
        if (n >= long(x.size())) break;
        double sum = 0.0;
        for (long j = taps - 1; j >= 0; --j) sum += double(rows[p * taps + j] * At(x, n - j));
        y.push_back(float(sum));
    }
    return y;
}

// Feeds channels 0 and 5 alternately in random chunks and takes a random part of each history
// (often nothing, so the histories run full), collecting what is taken.
void RunRandomChunks(CDspSrcBase& stage, const std::vector<float>& x0, const std::vector<float>& x5,
                     std::vector<float>& y0, std::vector<float>& y5, unsigned seed) {
    std::mt19937 rng(seed);
    size_t pos[2] = {0, 0};
    const std::vector<float>* in[2] = {&x0, &x5};
    std::vector<float>* out[2] = {&y0, &y5};
    const LONG channel[2] = {0, 5};
    for (int idle = 0; idle < 4 && (pos[0] < x0.size() || pos[1] < x5.size());) {
        bool moved = false;
        for (int k = 0; k < 2; ++k) {
            const LONG left = LONG(in[k]->size() - pos[k]);
            LONG n = std::min<LONG>(left, 1 + LONG(rng() % 2000));
            ASSERT_TRUE(stage.Process(channel[k], in[k]->data() + pos[k], &n));
            pos[k] += n;
            const LONG held = stage.HistoryCount(channel[k]);
            const LONG take = (rng() % 3 == 0) ? held : LONG(rng() % (held / 4 + 1));
            out[k]->insert(out[k]->end(), stage.History(channel[k]), stage.History(channel[k]) + take);
            ASSERT_TRUE(stage.ConsumeHistory(channel[k], take));
            moved = moved || n > 0 || take > 0;
        }
        idle = moved ? 0 : idle + 1;
    }
    for (int k = 0; k < 2; ++k) {
        const LONG held = stage.HistoryCount(channel[k]);
        out[k]->insert(out[k]->end(), stage.History(channel[k]), stage.History(channel[k]) + held);
        ASSERT_TRUE(stage.ConsumeHistory(channel[k], held));
    }
}

// Shared pointers delete each stage as its own class.
template <typename Stage>
std::shared_ptr<CDspSrcBase> Ready(UCHAR direction) {
    auto stage = std::make_shared<Stage>();
    EXPECT_TRUE(stage->Init());
    stage->SetDirection(direction);
    stage->Reset();
    return stage;
}

struct StageCase {
    const char* name;
    std::function<std::shared_ptr<CDspSrcBase>()> make;
    std::function<std::vector<float>(const std::vector<float>&)> reference;
};

TEST(RateStage, EveryStageMatchesItsDefinitionBitForBitHoweverTheInputIsCut) {
    const StageCase cases[] = {
        {"x2 up", [] { return Ready<CDspSrcX2>(1); },
         [](const auto& x) { return RatioReference(CDspSrcX2::Taps, CDspSrcX2::kTaps, 2, 1, x); }},
        {"x2 down", [] { return Ready<CDspSrcX2>(0); },
         [](const auto& x) { return RatioReference(CDspSrcX2::Taps, CDspSrcX2::kTaps, 1, 2, x); }},
        {"x4 up", [] { return Ready<CDspSrcX4>(1); },
         [](const auto& x) { return RatioReference(CDspSrcX4::Taps, CDspSrcX4::kTaps, 4, 1, x); }},
        {"x4 down", [] { return Ready<CDspSrcX4>(0); },
         [](const auto& x) { return RatioReference(CDspSrcX4::Taps, CDspSrcX4::kTaps, 1, 4, x); }},
        {"441/48 up", [] { return Ready<CDspSrc441To48>(1); },
         [](const auto& x) { return PolyphaseReference(&g_Src441To48UpTaps[0][0], 160, 20, 147, x); }},
        {"441/48 down", [] { return Ready<CDspSrc441To48>(0); },
         [](const auto& x) { return PolyphaseReference(&g_Src441To48DownTaps[0][0], 147, 24, 160, x); }},
    };
    for (const StageCase& k : cases) {
        SCOPED_TRACE(k.name);
        const std::vector<float> x0 = Noise(5000, 11), x5 = Noise(4321, 12);
        auto stage = k.make();
        std::vector<float> y0, y5;
        RunRandomChunks(*stage, x0, x5, y0, y5, 13);
        for (auto [x, y] : {std::pair{&x0, &y0}, std::pair{&x5, &y5}}) {
            std::vector<float> want = k.reference(*x);
            want.resize(std::min(want.size(), y->size()));
            ASSERT_GE(y->size() + 4, want.size());
            for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ((*y)[i], want[i]) << "output " << i;
        }
        // Reset restarts from silence: the same input gives the same output again.
        stage->Reset();
        std::vector<float> again0, again5;
        RunRandomChunks(*stage, x0, x5, again0, again5, 14);
        EXPECT_EQ(again0, y0);
        EXPECT_EQ(again5, y5);
    }
}

TEST(RateStage, OneCallTakesAndMakesTheExpectedCounts) {
    struct Case {
        const char* name;
        std::function<std::shared_ptr<CDspSrcBase>()> make;
        LONG prefill;  // history samples already held
        LONG offered;
        LONG taken;
        LONG made;
    };
    const Case cases[] = {
        {"x2 down, odd count", [] { return Ready<CDspSrcX2>(0); }, 0, 7, 6, 3},
        {"x2 up", [] { return Ready<CDspSrcX2>(1); }, 0, 5, 5, 10},
        {"x2 down, room for 2", [] { return Ready<CDspSrcX2>(0); }, kCapacity - 2, 100, 4, 2},
        {"x4 up, room 3", [] { return Ready<CDspSrcX4>(1); }, kCapacity - 3, 10, 0, 0},
        {"x4 up, room 9", [] { return Ready<CDspSrcX4>(1); }, kCapacity - 9, 10, 2, 8},
        {"x4 down", [] { return Ready<CDspSrcX4>(0); }, 0, 1763, 1760, 440},
        {"441/48 down, one period", [] { return Ready<CDspSrc441To48>(0); }, 0, 160, 160, 147},
        {"441/48 up, one period", [] { return Ready<CDspSrc441To48>(1); }, 0, 147, 147, 160},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto stage = k.make();
        std::vector<float> fill(2 * kCapacity, 0.25f);
        // Prefill by running the stage, then trimming to the wanted count.
        while (stage->HistoryCount(0) < k.prefill) {
            LONG n = 64;
            stage->Process(0, fill.data(), &n);
        }
        ASSERT_TRUE(stage->ConsumeHistory(0, stage->HistoryCount(0) - k.prefill));
        const std::vector<float> x = Noise(size_t(k.offered), 3);
        LONG n = k.offered;
        EXPECT_TRUE(stage->Process(0, x.data(), &n));
        EXPECT_EQ(n, k.taken);
        EXPECT_EQ(stage->HistoryCount(0), k.prefill + k.made);
    }
}

TEST(RateStage, UpOutputCarriesTheFactorAsGain) {
    // DC through the up stages stays DC at unit level once the filter has filled.
    for (const auto& stage : {Ready<CDspSrcX2>(1), Ready<CDspSrcX4>(1)}) {
        std::vector<float> ones(200, 1.0f);
        LONG n = 200;
        stage->Process(0, ones.data(), &n);
        const float last = stage->History(0)[stage->HistoryCount(0) - 1];
        EXPECT_NEAR(last, 1.0f, 2e-3f);
    }
}

TEST(RateStage, ConsumeHistoryKeepsTheRestAndRefusesMoreThanHeldOrNegative) {
    auto stage = Ready<CDspSrcX2>(1);
    const std::vector<float> x = Noise(50, 5);
    LONG n = 50;
    stage->Process(2, x.data(), &n);
    ASSERT_EQ(stage->HistoryCount(2), 100);
    const std::vector<float> before(stage->History(2), stage->History(2) + 100);
    EXPECT_FALSE(stage->ConsumeHistory(2, 101));
    EXPECT_FALSE(stage->ConsumeHistory(2, -1));
    EXPECT_FALSE(stage->ConsumeHistory(8, 1));
    EXPECT_EQ(stage->HistoryCount(2), 100);
    EXPECT_TRUE(stage->ConsumeHistory(2, 30));
    ASSERT_EQ(stage->HistoryCount(2), 70);
    EXPECT_TRUE(std::equal(before.begin() + 30, before.end(), stage->History(2)));
    EXPECT_TRUE(stage->ConsumeHistory(2, 70));
    EXPECT_EQ(stage->HistoryCount(2), 0);
}

TEST(RateStage, ProcessRefusesBadArgumentsWithoutTakingInput) {
    auto stage = Ready<CDspSrcX2>(0);
    const std::vector<float> x(16, 1.0f);
    CDspSrcX2 unallocated;
    struct Case {
        const char* name;
        CDspSrcBase* stage;
        LONG channel;
        const float* input;
    };
    for (const Case& k : {Case{"channel 8", stage.get(), 8, x.data()}, Case{"channel -1", stage.get(), -1, x.data()},
                          Case{"no input", stage.get(), 0, nullptr}, Case{"not initialised", &unallocated, 0, x.data()}}) {
        LONG n = 16;
        EXPECT_FALSE(k.stage->Process(k.channel, k.input, &n)) << k.name;
        EXPECT_EQ(n, 0) << k.name;
    }
}

TEST(RateStage, InitRunsOnceAndNeedsStateSizes) {
    CDspSrc441To48 stage;
    EXPECT_TRUE(stage.Init());
    EXPECT_FALSE(stage.Init());
    CDspSrcBase base;  // both state sizes are 0
    EXPECT_FALSE(base.Init());
    EXPECT_EQ(sim::pool::TagUsage(DspSrcBufferTag).blocks, 24u);
}

// Stages built in memory that still holds a fill pattern (as pool memory does before it is
// zeroed): after Init every history reads as silence, and the 147:160 stage, processed before its
// first Reset, filters as a Reset stage does instead of indexing its delay lines with the pattern.
template <typename Stage>
void CheckFreshStage(const char* name) {
    SCOPED_TRACE(name);
    alignas(Stage) unsigned char memory[sizeof(Stage)];
    std::memset(memory, 0xA5, sizeof memory);
    Stage* stage = new (memory) Stage;  // default-initialised, as a stage declared on the stack
    ASSERT_TRUE(stage->Init());
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        const float* h = stage->History(c);
        EXPECT_TRUE(std::all_of(h, h + kCapacity, [](float x) { return x == 0.0f; })) << "channel " << c;
    }
    if constexpr (std::is_same_v<Stage, CDspSrc441To48>) {
        const std::vector<float> x = Noise(160, 9);
        auto reset = Ready<CDspSrc441To48>(0);
        LONG n = 160, m = 160;
        ASSERT_TRUE(stage->Process(3, x.data(), &n));
        ASSERT_TRUE(reset->Process(3, x.data(), &m));
        EXPECT_EQ(n, m);
        ASSERT_EQ(stage->HistoryCount(3), reset->HistoryCount(3));
        EXPECT_TRUE(std::equal(stage->History(3), stage->History(3) + stage->HistoryCount(3), reset->History(3)));
    }
    stage->~Stage();
}

TEST(RateStage, FreshStagesHoldSilenceAndNoPatternState) {
    CheckFreshStage<CDspSrcX2>("x2");
    CheckFreshStage<CDspSrcX4>("x4");
    CheckFreshStage<CDspSrc441To48>("147:160");
}

TEST(RateStage, EveryAllocationFailureInInitLeavesNothingAllocated) {
    const uint64_t made = kvtest::ExpectCleanAllocationFailures([] {
        CDspSrcX4 stage;
        const bool ok = stage.Init();
        if (!ok) {
            EXPECT_EQ(sim::pool::TagUsage(DspSrcBufferTag).blocks, 0u);
        }
        return ok;
    });
    EXPECT_EQ(made, 24u);
}

TEST(RateStage, PolyphaseRowsEachSumToOne) {
    auto check = [](const float* rows, int phases, int taps) {
        for (int p = 0; p < phases; ++p) {
            double sum = 0.0;
            for (int j = 0; j < taps; ++j) sum += rows[p * taps + j];
            EXPECT_NEAR(sum, 1.0, 2e-5) << "row " << p;
        }
    };
    check(&g_Src441To48UpTaps[0][0], kSrc441To48UpPhases, kSrc441To48UpTaps);
    check(&g_Src441To48DownTaps[0][0], kSrc441To48DownPhases, kSrc441To48DownTaps);
}

}  // namespace
