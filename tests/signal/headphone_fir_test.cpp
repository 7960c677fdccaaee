// The headphone engine: its partitioned FFT convolution against a direct convolution in double,
// the CTC stage, and which filter set a room and set id select.
#include "globaltopo/common/QVT/HeadphoneFilterSets.h"
#include "globaltopo/common/QVT/headphonefir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr LONG N = HEADPHONEFIR_N;
constexpr LONG kHead = HeadphoneHeadLength;

using Planes = std::vector<std::vector<float>>;

std::vector<float> RandomFloats(size_t n, unsigned seed, float scale) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Runs `blocks` blocks of the input planes through the engine; answers output planes 0 and 1.
Planes RunEngine(CHeadphoneFir& fir, const Planes& input, LONG blocks, LONG ctcAngleAtHalf = -2) {
    const LONG nIn = static_cast<LONG>(input.size());
    Planes out(2, std::vector<float>(static_cast<size_t>(blocks) * N));
    for (LONG b = 0; b < blocks; ++b) {
        if (b == blocks / 2 && ctcAngleAtHalf != -2) fir.SetCtcAngle(ctcAngleAtHalf);
        std::vector<std::vector<float>> block(nIn);
        std::vector<float*> in(nIn);
        for (LONG c = 0; c < nIn; ++c) {
            block[c].assign(input[c].begin() + b * N, input[c].begin() + (b + 1) * N);
            in[c] = block[c].data();
        }
        float* o[2] = {out[0].data() + b * N, out[1].data() + b * N};
        fir.Process(o, 2, in.data(), nIn, N);
    }
    return out;
}

// Ear signals the engine should produce with CTC off, by direct convolution in double.
std::vector<std::vector<double>> DirectEars(const Planes& x, const std::vector<float>& head,
                                            const std::vector<float>& tail, LONG tailLen) {
    const LONG nIn = static_cast<LONG>(x.size());
    const size_t frames = x[0].size();
    std::vector<std::vector<double>> groups;
    auto plane = [&](LONG c) { return std::vector<double>(x[c].begin(), x[c].end()); };
    if (nIn == 2) {
        groups = {plane(0), plane(1)};
    } else {
        std::vector<double> x4 = plane(4), x5 = plane(5);
        if (nIn == 8) {
            for (size_t i = 0; i < frames; ++i) {
                x4[i] = 0.871 * x[4][i] + 0.49 * x[5][i] + x[6][i];
                x5[i] = 0.49 * x[4][i] + 0.871 * x[5][i] + x[7][i];
            }
        }
        std::vector<double> l = plane(0), r = plane(1);
        for (size_t i = 0; i < frames; ++i) {
            l[i] += x[3][i];
            r[i] += x[3][i];
        }
        groups = {l, r, plane(2), x4, x5};
    }
    std::vector<double> sum(frames, 0.0);
    for (const auto& g : groups)
        for (size_t i = 0; i < frames; ++i) sum[i] += g[i];
    std::vector<std::vector<double>> ears(2, std::vector<double>(frames, 0.0));
    for (LONG e = 0; e < 2; ++e) {
        for (size_t n = 0; n < frames; ++n) {
            double acc = 0.0;
            for (size_t g = 0; g < groups.size(); ++g) {
                const float* h = head.data() + (2 * g + e) * kHead;
                for (LONG m = 0; m < kHead && m <= static_cast<LONG>(n); ++m) acc += h[m] * groups[g][n - m];
            }
            const float* t = tail.data() + static_cast<size_t>(e) * tailLen;
            for (LONG m = 0; m < tailLen && kHead + m <= static_cast<LONG>(n); ++m) acc += t[m] * sum[n - kHead - m];
            ears[e][n] = 2.0 * acc;
        }
    }
    return ears;
}

double MaxAbs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

struct ConvolutionCase {
    LONG inputs;
    LONG tailLen;
    LONG blocks;
};

class HeadphoneConvolution : public testing::TestWithParam<ConvolutionCase> {};

TEST_P(HeadphoneConvolution, MatchesDirectConvolutionAcrossBlocks) {
    const ConvolutionCase c = GetParam();
    auto fir = std::make_unique<CHeadphoneFir>();
    ASSERT_TRUE(fir->IsReady());
    const std::vector<float> head = RandomFloats(10 * kHead, 11, 1.0f / 64);
    const std::vector<float> tail = RandomFloats(2 * static_cast<size_t>(c.tailLen), 12, 1.0f / 256);
    fir->LoadFilters(head.data(), 10, kHead, tail.data(), 2, c.tailLen);
    EXPECT_EQ(fir->HeadPartitions(), 2);
    EXPECT_EQ(fir->TailPartitions(), c.tailLen / N);

    Planes x(c.inputs);
    for (LONG ch = 0; ch < c.inputs; ++ch) x[ch] = RandomFloats(static_cast<size_t>(c.blocks) * N, 100 + ch, 1.0f);
    const Planes out = RunEngine(*fir, x, c.blocks);
    const auto ears = DirectEars(x, head, tail, c.tailLen);
    for (LONG e = 0; e < 2; ++e) {
        const double tolerance = 2e-5 * MaxAbs(ears[e]);
        for (size_t n = 0; n < ears[e].size(); ++n)
            ASSERT_NEAR(out[e][n], ears[e][n], tolerance) << "ear " << e << " sample " << n;
    }
}

// The run covers the whole tail, so every ring slot and partition boundary is crossed.
INSTANTIATE_TEST_SUITE_P(Inputs, HeadphoneConvolution,
                         testing::Values(ConvolutionCase{2, 7168, 18}, ConvolutionCase{6, 3072, 10},
                                         ConvolutionCase{8, 5120, 14}));

TEST(HeadphoneFir, CtcStageAppliesDirectAndCrossTablesAcrossBlocks) {
    struct Case {
        LONG angle;
        bool setAgainHalfway;  // the same angle again must not clear the histories
    };
    const LONG blocks = 6;
    Planes x = {RandomFloats(blocks * N, 1, 1.0f), RandomFloats(blocks * N, 2, 1.0f)};
    auto plain = std::make_unique<CHeadphoneFir>();
    const Planes ears = RunEngine(*plain, x, blocks);
    for (const Case c : {Case{5, false}, Case{20, true}, Case{30, false}, Case{0, false}, Case{7, true}}) {
        SCOPED_TRACE(c.angle);
        auto fir = std::make_unique<CHeadphoneFir>();
        fir->SetCtcAngle(c.angle);
        const LONG index = HeadphoneCtcAngleIndex(c.angle);
        EXPECT_EQ(fir->CtcLength(), index >= 0 ? 256 : 1);
        const Planes out = RunEngine(*fir, x, blocks, c.setAgainHalfway ? c.angle : -2);
        for (size_t n = 0; n < out[0].size(); ++n) {
            double y0 = ears[0][n], y1 = ears[1][n];
            if (index >= 0) {
                y0 = y1 = 0.0;
                for (LONG j = 0; j < 256 && j <= static_cast<LONG>(n); ++j) {
                    const double a = HeadphoneCtcTap(index, 0, j), b = HeadphoneCtcTap(index, 1, j);
                    y0 += a * ears[0][n - j] + b * ears[1][n - j];
                    y1 += b * ears[0][n - j] + a * ears[1][n - j];
                }
            }
            ASSERT_NEAR(out[0][n], y0, 1e-4) << n;
            ASSERT_NEAR(out[1][n], y1, 1e-4) << n;
        }
    }
}

TEST(HeadphoneFir, ChangingTheCtcAngleClearsOnlyTheCtcHistories) {
    // After silence follows, a changed angle sees only the ear signals' convolution tail (the group
    // rings stay), not the CTC histories from before the change.
    Planes x = {RandomFloats(2 * N, 3, 1.0f), RandomFloats(2 * N, 4, 1.0f)};
    Planes silence(2, std::vector<float>(N, 0.0f));
    auto changed = std::make_unique<CHeadphoneFir>();
    auto reference = std::make_unique<CHeadphoneFir>();
    auto continuous = std::make_unique<CHeadphoneFir>();
    changed->SetCtcAngle(10);
    continuous->SetCtcAngle(10);
    for (CHeadphoneFir* fir : {changed.get(), reference.get(), continuous.get()}) RunEngine(*fir, x, 2);
    changed->SetCtcAngle(20);
    changed->SetCtcAngle(10);
    reference->SetCtcAngle(10);
    const Planes out = RunEngine(*changed, silence, 1);
    EXPECT_EQ(out, RunEngine(*reference, silence, 1));
    EXPECT_NE(out, RunEngine(*continuous, silence, 1));
}

TEST(HeadphoneFir, StartsWithRoomOneSetTwentyNineAndCtcOff) {
    auto fir = std::make_unique<CHeadphoneFir>();
    EXPECT_EQ(fir->Room(), 1);
    EXPECT_EQ(fir->SetId(), 29);
    EXPECT_EQ(fir->CtcAngle(), 0);
    EXPECT_EQ(fir->CtcLength(), 1);
    EXPECT_EQ(fir->TailPartitions(), 6);
}

// Impulse response of the left input with the right one silent, as output planes 0 and 1.
Planes LeftImpulseResponse(CHeadphoneFir& fir, LONG blocks) {
    Planes x(2, std::vector<float>(static_cast<size_t>(blocks) * N, 0.0f));
    x[0][0] = 1.0f;
    return RunEngine(fir, x, blocks);
}

TEST(HeadphoneFir, RoomAndSetSelectHeadAndTailSets) {
    struct Case {
        LONG roomCode, setId;
        LONG room, selectedId, tailSet, tailLen;
    };
    const Case cases[] = {
        {0, 24, 3, 24, 6, 7168}, {0, 40, 3, 40, 7, 7168}, {2, 31, 1, 31, 2, 6144}, {1, 31, 2, 31, 5, 6144},
        {1, 30, 2, 30, 4, 5120}, {1, 29, 2, 29, 3, 3072}, {2, 25, 1, 25, 1, 3072},
        {7, 34, 2, 34, 3, 3072},   // unknown room code: the middle room
        {2, 99, 1, 24, 0, 3072},   // unknown set id: 24
        {-1, -1, 2, 24, 3, 3072},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "room code " << c.roomCode << " set " << c.setId);
        auto fir = std::make_unique<CHeadphoneFir>();
        fir->SetRoomAndSet(c.roomCode, c.setId);
        EXPECT_EQ(fir->Room(), c.room);
        EXPECT_EQ(fir->SetId(), c.selectedId);
        EXPECT_EQ(fir->TailPartitions(), c.tailLen / N);
        const Planes out = LeftImpulseResponse(*fir, (kHead + c.tailLen) / N);
        std::vector<float> head(kHead), tail(static_cast<size_t>(c.tailLen));
        for (LONG e = 0; e < 2; ++e) {
            HeadphoneHeadSamples(c.room, c.selectedId, e, 0, kHead, head.data());
            HeadphoneTailSamples(c.tailSet, e, 0, c.tailLen, tail.data());
            for (LONG n = 0; n < kHead; ++n) ASSERT_NEAR(out[e][n], 2.0f * head[n], 1e-5) << e << " " << n;
            for (LONG n = 0; n < c.tailLen; ++n) ASSERT_NEAR(out[e][kHead + n], 2.0f * tail[n], 1e-5) << e << " " << n;
        }
    }
}

TEST(HeadphoneFir, TailsAreSharedByEvenIdsAndByOddIdsWithinARoom) {
    for (LONG room = 1; room <= 3; ++room) {
        const LONG even = HeadphoneTailSet(room, 24, nullptr);
        const LONG odd = HeadphoneTailSet(room, 25, nullptr);
        const LONG own = HeadphoneTailSet(room, 31, nullptr);
        EXPECT_NE(even, odd);
        EXPECT_NE(even, own);
        for (LONG id : {29, 34, 39}) EXPECT_EQ(HeadphoneTailSet(room, id, nullptr), even);
        for (LONG id : {30, 35, 40}) EXPECT_EQ(HeadphoneTailSet(room, id, nullptr), odd);
    }
}

TEST(HeadphoneFir, LfeReachesBothEarsThroughTheLeftAndRightGroups) {
    auto fir = std::make_unique<CHeadphoneFir>();
    fir->SetRoomAndSet(1, 29);
    Planes x(6, std::vector<float>(2 * N, 0.0f));
    x[3][5] = 1.0f;
    const Planes out = RunEngine(*fir, x, 2);
    std::vector<float> fromLeft(kHead), fromRight(kHead);
    for (LONG e = 0; e < 2; ++e) {
        HeadphoneHeadSamples(2, 29, 0 + e, 0, kHead, fromLeft.data());
        HeadphoneHeadSamples(2, 29, 2 + e, 0, kHead, fromRight.data());
        for (LONG n = 0; n + 5 < 2 * N; ++n)
            ASSERT_NEAR(out[e][n + 5], 2.0f * (fromLeft[n] + fromRight[n]), 1e-5) << e << " " << n;
    }
}

TEST(HeadphoneFir, ResetClearsHistoriesButKeepsFilters) {
    auto fir = std::make_unique<CHeadphoneFir>();
    fir->SetRoomAndSet(0, 39);
    fir->SetCtcAngle(15);
    Planes x = {RandomFloats(3 * N, 5, 1.0f), RandomFloats(3 * N, 6, 1.0f)};
    RunEngine(*fir, x, 3);
    fir->Reset();
    auto fresh = std::make_unique<CHeadphoneFir>();
    fresh->SetRoomAndSet(0, 39);
    fresh->SetCtcAngle(15);
    const Planes a = RunEngine(*fir, x, 3);
    const Planes b = RunEngine(*fresh, x, 3);
    EXPECT_EQ(a, b);
}

}  // namespace

namespace {

// Filters prepared while the engine runs take over in the next block: that block fades linearly
// from the old filters' output to the new ones', and from then on the engine plays exactly what
// an engine that had the new filters all along plays, once the new tail has seen its history
// (at once for a shorter tail, after the tail's length for a longer one).
TEST(HeadphoneFir, PreparedFiltersFadeInWithTheNextBlock) {
    struct Case {
        LONG fromRoom, fromSet, toRoom, toSet;
        LONG settled;  // blocks after the switch from which the output is the new engine's
    };
    for (const Case c : {Case{0, 24, 1, 29, 1}, Case{1, 29, 0, 24, 14}}) {
        SCOPED_TRACE(testing::Message() << c.fromRoom << "/" << c.fromSet << " -> " << c.toRoom << "/" << c.toSet);
        constexpr LONG before = 3, after = 16;
        const Planes x(6, RandomFloats(static_cast<size_t>(before + after) * N, 11, 0.5f));
        auto switched = std::make_unique<CHeadphoneFir>(), old = std::make_unique<CHeadphoneFir>(),
             fresh = std::make_unique<CHeadphoneFir>();
        switched->SetRoomAndSet(c.fromRoom, c.fromSet);
        old->SetRoomAndSet(c.fromRoom, c.fromSet);
        fresh->SetRoomAndSet(c.toRoom, c.toSet);
        Planes first(6), second(6);
        for (LONG ch = 0; ch < 6; ++ch) {
            first[ch].assign(x[ch].begin(), x[ch].begin() + before * N);
            second[ch].assign(x[ch].begin() + before * N, x[ch].end());
        }
        RunEngine(*switched, first, before);
        RunEngine(*old, first, before);
        RunEngine(*fresh, first, before);
        const LONG setBefore = switched->SetId();
        ASSERT_TRUE(switched->PrepareRoomAndSet(c.toRoom, c.toSet));
        EXPECT_TRUE(switched->HasPreparedFilters());
        EXPECT_EQ(switched->SetId(), setBefore);

        const Planes got = RunEngine(*switched, second, after);
        const Planes wasOld = RunEngine(*old, second, after);
        const Planes isNew = RunEngine(*fresh, second, after);
        EXPECT_FALSE(switched->HasPreparedFilters());
        EXPECT_EQ(switched->SetId(), fresh->SetId());
        EXPECT_EQ(switched->TailPartitions(), fresh->TailPartitions());
        for (LONG e = 0; e < 2; ++e) {
            for (LONG i = 0; i < N; ++i) {
                const float w = static_cast<float>(i + 1) / static_cast<float>(N);
                ASSERT_NEAR(got[e][i], (1.0f - w) * wasOld[e][i] + w * isNew[e][i], 1e-4f) << e << "/" << i;
            }
            for (size_t i = static_cast<size_t>(c.settled) * N; i < got[e].size(); ++i) {
                ASSERT_NEAR(got[e][i], isNew[e][i], 1e-4f) << e << "/" << i;
            }
        }
    }
}

}  // namespace
