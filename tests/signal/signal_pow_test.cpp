// Vector power against long double references, its special-value rules, the choice between the
// fast and the scalar path, and the MXCSR handling.
#include "signal_test_util.h"

#include "driver/signal/SignalLibrary.h"
#include "driver/signal/SignalPow.h"

#include <cfenv>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace sigtest;

namespace {

// Distance in units in the last place between two finite singles of the same sign.
int64_t UlpDistance(float got, float want) {
    return std::llabs(static_cast<int64_t>(Bits(got)) - static_cast<int64_t>(Bits(want)));
}

float ScalarOf(float a, float b, SignalStatus* status = nullptr) {
    SignalStatus local = StatusOk;
    float out = 0;
    PowFloatElement(&a, &b, &out, 0, status ? status : &local);
    return out;
}

float FastOf(float a, float b) { return PowFastExp(PowFastExponent(a, b)); }

// The tables hold their rule's values, rounded as stated.
TEST(PowTables, EntriesAreTheirRuleRounded) {
    for (int k = 0; k <= 256; ++k) {
        const long double c = 1.0L + k / 256.0L;
        const double ln = std::bit_cast<double>(PowLogTable[k][0]);
        const double inv = std::bit_cast<double>(PowLogTable[k][1]);
        // Nearest double: within half a unit (plus the long double's own error).
        EXPECT_LE(std::fabs(static_cast<long double>(ln) - logl(c)), (std::nextafter(ln, 2.0) - ln) * 0.5000001L) << k;
        EXPECT_LE(std::fabs(static_cast<long double>(inv) - 1.0L / c), (inv - std::nextafter(inv, 0.0)) * 0.5000001L) << k;
    }
    for (int j = 0; j < 128; ++j) {
        const long double e = exp2l(j / 128.0L);
        const float a = FromBits(PowFastExpTable[j][0]);
        const float b = FromBits(PowFastExpTable[j][1]);
        EXPECT_LE(static_cast<long double>(a), e) << j;
        EXPECT_GT(static_cast<long double>(std::nextafter(a, 2.0f)), e) << j;
        const long double wantB = (e - a) / a;
        EXPECT_LE(std::fabs(static_cast<long double>(b) - wantB),
                  std::fabs(static_cast<long double>(std::nextafter(b, 1.0f)) - b) * 0.5000001L) << j;
        const double t = std::bit_cast<double>(PowScalarExpTable[j] | 0x3FF0000000000000ull);
        EXPECT_EQ(PowScalarExpTable[j] >> 52, 0u);
        EXPECT_LE(std::fabs(static_cast<long double>(t) - e), (std::nextafter(t, 4.0) - t) * 0.5000001L) << j;
    }
}

// Positive bases over the whole range with exponents whose results stay normal: both paths within
// one unit in the last place of the exact power.
TEST(PowAccuracy, BothPathsTrackTheExactPower) {
    std::mt19937 rng(2024);
    int64_t worstFast = 0, worstScalar = 0;
    for (int i = 0; i < 200000; ++i) {
        const float a = std::exp2(std::uniform_real_distribution<float>(-125.0f, 127.0f)(rng));
        const float logA = std::log2(a);
        const float limit = logA == 0.0f ? 100.0f : std::fabs(120.0f / logA);
        const float b = std::uniform_real_distribution<float>(-limit, limit)(rng);
        const float want = static_cast<float>(powl(a, b));
        if (!(std::fabs(want) >= std::numeric_limits<float>::min())) continue;
        float got = 0;
        ASSERT_GE(PowFloat(&a, &b, &got, 1), StatusOk);
        const int64_t ulps = UlpDistance(got, want);
        const bool fast = std::fabs(PowFastExponent(a, b)) < PowFastLimit;
        (fast ? worstFast : worstScalar) = std::max(fast ? worstFast : worstScalar, ulps);
        ASSERT_LE(ulps, 1) << (fast ? "fast " : "scalar ") << a << "^" << b;
        ASSERT_LE(UlpDistance(ScalarOf(a, b), want), 1) << a << "^" << b;
    }
    RecordProperty("worst_fast_ulps", static_cast<int>(worstFast));
    RecordProperty("worst_scalar_ulps", static_cast<int>(worstScalar));
}

TEST(PowAccuracy, DecibelGainsAndSubnormalBases) {
    struct Case {
        float a, b;
        long double want;
    };
    const float tiny = FromBits(0x00000400);  // subnormal: 2^-139
    const Case cases[] = {
        {10.0f, 0.5f, sqrtl(10.0L)}, {10.0f, -3.0f, 0.001L}, {10.0f, -6.0f / 20.0f, powl(10.0L, -0.3L)},
        {tiny, 0.5f, powl(2.0L, -69.5L)}, {tiny, 0.25f, powl(2.0L, -34.75L)}, {-tiny, -1.0f, -powl(2.0L, 139.0L) * 0},
        {-2.0f, 3.0f, -8.0L}, {-2.0f, -2.0f, 0.25L}, {-0.5f, 31.0f, -powl(0.5L, 31.0L)},
    };
    for (const Case& c : cases) {
        if (c.want == 0) continue;
        float got = 0;
        ASSERT_EQ(PowFloat(&c.a, &c.b, &got, 1), StatusOk);
        EXPECT_LE(UlpDistance(got, static_cast<float>(c.want)), 1) << c.a << "^" << c.b << " = " << got;
    }
}

TEST(PowSpecialValues, RulesDecideInOrder) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = FromBits(0x7FC00123);
    const float nanB = FromBits(0xFFC00456);
    struct Case {
        float a, b;
        uint32_t want;
        bool singular;
    };
    const Case cases[] = {
        {10.0f, 0.0f, Bits(1.0f), false},   {nan, 0.0f, Bits(1.0f), false},     {nan, -0.0f, Bits(1.0f), false},
        {1.0f, nanB, Bits(1.0f), false},    {1.0f, inf, Bits(1.0f), false},     {1.0f, -inf, Bits(1.0f), false},
        {-1.0f, inf, Bits(1.0f), false},    {-1.0f, -inf, Bits(1.0f), false},   {nan, 2.0f, Bits(nan), false},
        {2.0f, nanB, Bits(nanB), false},    {0.0f, -inf, Bits(inf), true},      {-0.0f, -inf, Bits(inf), true},
        {2.0f, inf, Bits(inf), false},      {-inf, inf, Bits(inf), false},      {2.0f, -inf, 0, false},
        {-3.0f, -inf, 0, false},            {0.5f, inf, 0, false},              {0.0f, inf, 0, false},
        {-0.5f, -inf, Bits(inf), false},    {inf, -2.0f, 0, false},             {inf, 0.5f, Bits(inf), false},
        {0.0f, -1.0f, Bits(inf), true},     {0.0f, -0.5f, Bits(inf), true},     {0.0f, 3.0f, 0, false},
        {-inf, 3.0f, Bits(-inf), false},    {-inf, 2.0f, Bits(inf), false},     {-inf, 0.5f, Bits(inf), false},
        {-inf, -3.0f, 0x80000000, false},   {-inf, -4.0f, 0, false},            {-0.0f, -3.0f, Bits(-inf), true},
        {-0.0f, -2.0f, Bits(inf), true},    {-0.0f, -0.5f, Bits(inf), true},    {-0.0f, 3.0f, 0x80000000, false},
        {-0.0f, 2.5f, 0, false},            {-8.0f, 1.0f / 3, 0xFFC00000, true}, {-2.0f, 0.5f, 0xFFC00000, true},
        {-2.0f, 3.0f, Bits(-8.0f), false},  {-2.0f, 16777216.0f, Bits(inf), false}, {-1.0f, 16777217.0f * 2, Bits(1.0f), false},
        {2.0f, 200.0f, Bits(inf), false},   {2.0f, -200.0f, 0, false},          {-2.0f, 201.0f, Bits(-inf), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " ^ " << c.b);
        float got = 0;
        EXPECT_EQ(PowFloat(&c.a, &c.b, &got, 1), c.singular ? WarnSingularity : StatusOk);
        EXPECT_EQ(Bits(got), c.want);
        // The same pair in a full group of eight: the group goes to the scalar method.
        std::vector<float> a(8, 3.0f), b(8, 0.5f), out(8);
        a[5] = c.a;
        b[5] = c.b;
        EXPECT_EQ(PowFloat(a.data(), b.data(), out.data(), 8), c.singular ? WarnSingularity : StatusOk);
        EXPECT_EQ(Bits(out[5]), c.want);
    }
}

// Groups of four up to the last multiple of eight go to the scalar method together; the rest
// goes element by element.
TEST(PowPaths, GroupsOfFourThenSingleElements) {
    // Pairs on which the two paths give different bits, so each element shows which path ran;
    // element 2 has a negative base and needs the scalar method.
    std::vector<float> a, b;
    std::mt19937 rng(1);
    while (a.size() < 8) {
        if (a.size() == 2) {
            a.push_back(-2.0f);
            b.push_back(3.0f);
            continue;
        }
        const float x = std::uniform_real_distribution<float>(0.1f, 10.0f)(rng);
        const float y = std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        if (Bits(ScalarOf(x, y)) == Bits(FastOf(x, y))) continue;
        a.push_back(x);
        b.push_back(y);
    }
    std::vector<float> out(8);
    ASSERT_EQ(PowFloat(a.data(), b.data(), out.data(), 8), StatusOk);
    for (int i = 0; i < 8; ++i) {
        const float want = i < 4 ? ScalarOf(a[i], b[i]) : FastOf(a[i], b[i]);
        EXPECT_EQ(Bits(out[i]), Bits(want)) << i;
    }
    ASSERT_EQ(PowFloat(a.data(), b.data(), out.data(), 7), StatusOk);
    for (int i = 0; i < 7; ++i) {
        const float want = i == 2 ? ScalarOf(a[i], b[i]) : FastOf(a[i], b[i]);
        EXPECT_EQ(Bits(out[i]), Bits(want)) << i;
    }
    // An exponent past the fast limit sends its group to the scalar method.
    const std::vector<float> a2 = {a[4], a[5], a[6], a[7], a[0], a[1], 2.0f, a[3]};
    const std::vector<float> b2 = {b[4], b[5], b[6], b[7], b[0], b[1], 126.5f, b[3]};
    ASSERT_EQ(PowFloat(a2.data(), b2.data(), out.data(), 8), StatusOk);
    for (int i = 0; i < 8; ++i) {
        const float want = i < 4 ? FastOf(a2[i], b2[i]) : ScalarOf(a2[i], b2[i]);
        EXPECT_EQ(Bits(out[i]), Bits(want)) << i;
    }
}

TEST(PowMxcsr, CallerModeIsReplacedForTheCallAndRestored) {
    std::vector<float> a(13), b(13), want(13), got(13);
    for (int i = 0; i < 13; ++i) {
        a[i] = 10.0f;
        b[i] = -2.5f + 0.37f * static_cast<float>(i);
    }
    a[9] = 0.0f;  // 0^(negative): singular
    b[9] = -1.0f;
    ASSERT_EQ(PowFloat(a.data(), b.data(), want.data(), 13), WarnSingularity);
    for (uint32_t mode : {kRoundTowardZero, kRoundUp, kRoundDown | kFlushToZero | kDenormalsAreZero}) {
        const uint32_t before = kMxcsrDefault | mode;
        uint32_t after = 0;
        WithMxcsr(mode, [&] {
            EXPECT_EQ(PowFloat(a.data(), b.data(), got.data(), 13), WarnSingularity);
            after = GetMxcsr();
            return 0;
        });
        EXPECT_EQ(after, before) << "control and flags as on entry";
        for (int i = 0; i < 13; ++i) EXPECT_EQ(Bits(got[i]), Bits(want[i])) << i;
    }
    // Left in its default mode, the register keeps the invalid flag of the singular pair.
    uint32_t flags = 0;
    WithMxcsr(kRoundNearest, [&] {
        PowFloat(a.data(), b.data(), got.data(), 13);
        flags = GetMxcsr();
        return 0;
    });
    EXPECT_NE(flags & 0x1, 0u);
}

// Subnormal results appear even though flush-to-zero was on at the call.
TEST(PowMxcsr, FlushToZeroIsOffDuringTheCall) {
    const float a = 2.0f, b = -140.0f;
    float got = 0;
    WithMxcsr(kFlushToZero | kDenormalsAreZero, [&] { return PowFloat(&a, &b, &got, 1); });
    EXPECT_EQ(got, std::ldexp(1.0f, -140));
}

}  // namespace
