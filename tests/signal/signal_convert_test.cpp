// Sample conversions against a reference that follows the conversion rules step by step in
// double precision (the product rounds by fraction arithmetic in SSE registers instead).
#include "signal_test_util.h"

#include "driver/signal/SignalLibrary.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

using namespace sigtest;

namespace {

// 2^-scale by repeated halving or doubling of 1.0.
double RefFactor(int scale) {
    double f = 1.0;
    for (int i = 0; i < scale; ++i) f *= 0.5;
    for (int i = 0; i < -scale; ++i) f *= 2.0;
    return f;
}

float RefSingleFactor(int scale) { return FromBits(static_cast<uint32_t>(0x3F800000 - scale * (1 << 23))); }

// Rounds y (inside the target range) by rndMode: 0 toward zero, 1 nearest-even, else
// nearest-away; the half is added in double.
int64_t RefRound(double y, int rndMode) {
    if (rndMode == 0) return static_cast<int64_t>(std::trunc(y));
    const double t = y >= 0 ? y + 0.5 : y - 0.5;
    int64_t r = static_cast<int64_t>(std::trunc(t));
    if (rndMode == 1 && (r & 1) != 0 && t == static_cast<double>(r)) r += r > 0 ? -1 : 1;
    return r;
}

int16_t RefToInt16(float x, int rndMode, int scale) {
    const double y = scale != 0 ? static_cast<double>(x) * RefFactor(scale) : x;
    if (std::isnan(y)) return 0;
    if (rndMode == 0 || rndMode == 1) {
        if (y > 32767) return 32767;
        if (y < -32768) return -32768;
        return static_cast<int16_t>(RefRound(y, rndMode));
    }
    if (y >= 32767) return 32767;
    if (y <= -32768) return -32768;
    return static_cast<int16_t>(RefRound(y, rndMode));
}

int32_t RefToInt32(float x, int rndMode, int scale) {
    const double y = scale != 0 ? static_cast<double>(x) * RefFactor(scale) : x;
    const double two31 = 2147483648.0;
    if (rndMode == 0 || rndMode == 1) {
        if (std::isnan(y)) return 0;
        if (y >= two31) return INT32_MAX;
        if (y <= -two31) return INT32_MIN;
        return static_cast<int32_t>(RefRound(y, rndMode));
    }
    if (std::isnan(y)) return INT32_MIN;
    if (y >= 2147483647.0) return INT32_MAX;
    if (y <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(RefRound(y, rndMode));
}

int32_t RefToInt24(float x, int scale) {
    double y = x;
    if (scale != 0) {
        const int s = scale < -127 ? -127 : (scale > 127 ? 127 : scale);
        const float product = x * RefSingleFactor(s);
        y = product;
    }
    if (std::isnan(y)) return 0;
    if (y >= 8388607.0) return 8388607;
    if (y <= -8388608.0) return -8388608;
    const double t = x >= 0 ? y + 0.5 : y - 0.5;  // the half takes the sign of the unscaled element
    int64_t r = static_cast<int64_t>(std::trunc(t));
    if ((r & 1) != 0 && t == static_cast<double>(r)) r += r > 0 ? -1 : 1;
    return static_cast<int32_t>(r);
}

void PackInt24(int32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

// Inputs around every interesting point of a target whose integers are x x 2^-scale: ties,
// neighbours of ties, the saturation edges, specials and random values.
std::vector<float> Inputs(int scale) {
    std::vector<float> y = {0.0f, -0.0f, 0.5f, -0.5f, 1.5f, -1.5f, 2.5f, -2.5f, 3.5f, -3.5f, 0.49999997f,
                            -0.49999997f, 1e-30f, -1e-30f, 16383.5f, 32766.5f, 32767.0f, 32767.5f, 32768.0f,
                            -32767.5f, -32768.0f, -32768.5f, -32769.0f, 8388606.5f, 8388607.0f, 8388608.0f,
                            -8388607.5f, -8388608.0f, -8388609.0f, 2147483520.0f, 2147483648.0f,
                            -2147483648.0f, -2147483904.0f, 1e20f, -1e20f};
    std::mt19937 rng(1234 + scale);
    for (int i = 0; i < 600; ++i) {
        const float tie = static_cast<float>(static_cast<int>(rng() % 80000) - 40000) + 0.5f;
        y.push_back(tie);
        y.push_back(std::nextafter(tie, 0.0f));
        y.push_back(std::nextafter(tie, 1e9f));
        y.push_back(std::uniform_real_distribution<float>(-70000.0f, 70000.0f)(rng));
        y.push_back(std::uniform_real_distribution<float>(-1.2e7f, 1.2e7f)(rng));
        y.push_back(std::uniform_real_distribution<float>(-3e9f, 3e9f)(rng));
    }
    std::vector<float> x;
    for (float v : y) x.push_back(std::ldexp(v, scale));
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {inf, -inf, QuietNaN(), FromBits(0xFF800001), FromBits(0x00000001), FromBits(0x80400000),
                    std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()}) {
        x.push_back(v);
    }
    for (int i = 0; i < 300; ++i) x.push_back(FromBits(static_cast<uint32_t>(rng())));
    return x;
}

constexpr int kScales[] = {0, -15, -23, -31, 15, 23, 31, 1, -1, -100, 100, -101, 101, -126, 127, -127, -200, 300, -1023, -1024, 1060, -1100, 1100};
constexpr int kModes[] = {0, 1, 2, -1, 7};

TEST(ConvertFloatToInteger, MatchesReferenceForEveryModeScaleAndCallerRounding) {
    for (int scale : kScales) {
        const std::vector<float> x = Inputs(scale);
        const LONG n = static_cast<LONG>(x.size());
        for (int mode : kModes) {
            std::vector<int16_t> want16(x.size());
            std::vector<int32_t> want32(x.size());
            for (size_t i = 0; i < x.size(); ++i) {
                want16[i] = RefToInt16(x[i], mode, scale);
                want32[i] = RefToInt32(x[i], mode, scale);
            }
            for (uint32_t caller : kCallerModes) {
                SCOPED_TRACE(testing::Message() << "scale " << scale << " mode " << mode << " mxcsr 0x" << std::hex
                                                << caller);
                std::vector<int16_t> got16(x.size());
                std::vector<int32_t> got32(x.size());
                WithMxcsr(caller, [&] {
                    EXPECT_EQ(ConvertFloatToInt16(x.data(), got16.data(), n, mode, scale), StatusOk);
                    EXPECT_EQ(ConvertFloatToInt32(x.data(), reinterpret_cast<LONG*>(got32.data()), n, mode, scale),
                              StatusOk);
                    EXPECT_EQ(GetMxcsr() & 0xFFC0, (kMxcsrDefault | caller) & 0xFFC0);
                    return 0;
                });
                for (size_t i = 0; i < x.size(); ++i) {
                    ASSERT_EQ(got16[i], want16[i]) << "int16 of " << x[i] << " (0x" << std::hex << Bits(x[i]) << ")";
                    ASSERT_EQ(got32[i], want32[i]) << "int32 of " << x[i] << " (0x" << std::hex << Bits(x[i]) << ")";
                }
            }
        }
    }
}

TEST(ConvertFloatToInteger, Int24MatchesReferenceForEveryScaleAndCallerRounding) {
    for (int scale : kScales) {
        const std::vector<float> x = Inputs(scale);
        const LONG n = static_cast<LONG>(x.size());
        std::vector<uint8_t> want(3 * x.size());
        for (size_t i = 0; i < x.size(); ++i) PackInt24(RefToInt24(x[i], scale), &want[3 * i]);
        for (uint32_t caller : kCallerModes) {
            SCOPED_TRACE(testing::Message() << "scale " << scale << " mxcsr 0x" << std::hex << caller);
            std::vector<uint8_t> got(3 * x.size());
            WithMxcsr(caller, [&] { return ConvertFloatToInt24(x.data(), got.data(), n, scale); });
            for (size_t i = 0; i < x.size(); ++i) {
                ASSERT_EQ(0, std::memcmp(&got[3 * i], &want[3 * i], 3)) << "int24 of " << x[i];
            }
        }
    }
}

// The driver's own conversions, as documented points.
TEST(ConvertFloatToInteger, KnownPoints) {
    struct Case {
        float x;
        int mode;
        int scale;
        int16_t want16;
        int32_t want32;
    };
    const float nan = QuietNaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.0f, 0, -15, 32767, 32768},   {-1.0f, 0, -15, -32768, -32768}, {0.5f, 0, -15, 16384, 16384},
        {-0.000015f, 0, -15, 0, 0},     {nan, 0, -15, 0, 0},            {inf, 0, -15, 32767, INT32_MAX},
        {2.5f, 1, 0, 2, 2},             {3.5f, 1, 0, 4, 4},             {-2.5f, 1, 0, -2, -2},
        {2.5f, 2, 0, 3, 3},             {-2.5f, 2, 0, -3, -3},          {1.0f, 1, -31, 32767, INT32_MAX},
        {0.5f, 1, -31, 32767, 1073741824}, {-1.0f, 1, -31, -32768, INT32_MIN}, {nan, 2, 0, 0, INT32_MIN},
        {nan, 1, -31, 0, 0},
        // A value just below one half rounds to 0: the half is added in double precision.
        {0.49999997f, 2, 0, 0, 0},      {-0.49999997f, 2, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " mode " << c.mode << " scale " << c.scale);
        SHORT got16 = 0x5555;
        LONG got32 = 0x5555;
        ASSERT_EQ(ConvertFloatToInt16(&c.x, &got16, 1, c.mode, c.scale), StatusOk);
        ASSERT_EQ(ConvertFloatToInt32(&c.x, &got32, 1, c.mode, c.scale), StatusOk);
        EXPECT_EQ(got16, c.want16);
        EXPECT_EQ(got32, c.want32);
    }

    struct Case24 {
        float x;
        int scale;
        uint8_t bytes[3];
    };
    const Case24 cases24[] = {
        {1.0f, -23, {0xFF, 0xFF, 0x7F}}, {-1.0f, -23, {0x00, 0x00, 0x80}}, {0.5f, -23, {0x00, 0x00, 0x40}},
        {1.5f, 0, {0x02, 0x00, 0x00}},   {2.5f, 0, {0x02, 0x00, 0x00}},      {-2.5f, 0, {0xFE, 0xFF, 0xFF}},
        {nan, -23, {0, 0, 0}},           {1e30f, 127, {0, 0, 0}},             {1.0f, -200, {0xFF, 0xFF, 0x7F}},
    };
    for (const Case24& c : cases24) {
        SCOPED_TRACE(testing::Message() << c.x << " scale " << c.scale);
        uint8_t got[3] = {0x55, 0x55, 0x55};
        ASSERT_EQ(ConvertFloatToInt24(&c.x, got, 1, c.scale), StatusOk);
        EXPECT_EQ(0, std::memcmp(got, c.bytes, 3));
    }
}

TEST(ConvertRoundTrip, EveryInt16ValueSurvivesFloatAndBack) {
    std::vector<int16_t> all(65536);
    for (int v = -32768; v <= 32767; ++v) all[v + 32768] = static_cast<int16_t>(v);
    for (int scale : {15, 0}) {
        std::vector<float> f(all.size());
        ASSERT_EQ(ConvertInt16ToFloat(all.data(), f.data(), 65536, scale), StatusOk);
        for (int i = 0; i < 65536; ++i) ASSERT_EQ(f[i], std::ldexp(static_cast<float>(all[i]), -scale));
        for (int mode : {0, 1, 2}) {
            for (uint32_t caller : kCallerModes) {
                std::vector<int16_t> back(all.size());
                WithMxcsr(caller, [&] { return ConvertFloatToInt16(f.data(), back.data(), 65536, mode, -scale); });
                ASSERT_EQ(back, all) << "scale " << scale << " mode " << mode << " mxcsr " << caller;
            }
        }
    }
}

TEST(ConvertRoundTrip, EveryInt24ValueSurvivesFloatAndBack) {
    constexpr LONG kCount = 1 << 24;
    std::vector<uint8_t> packed(3 * static_cast<size_t>(kCount));
    for (int32_t v = -8388608; v <= 8388607; ++v) PackInt24(v, &packed[3 * static_cast<size_t>(v + 8388608)]);
    std::vector<float> f(kCount);
    ASSERT_EQ(ConvertInt24ToFloat(packed.data(), f.data(), kCount), StatusOk);
    for (int32_t i = 0; i < kCount; ++i) ASSERT_EQ(f[i], static_cast<float>(i - 8388608));

    std::vector<uint8_t> back(packed.size());
    ASSERT_EQ(ConvertFloatToInt24(f.data(), back.data(), kCount, 0), StatusOk);
    ASSERT_TRUE(back == packed);

    // The engine's path: divide by 8388608.0, then back with scale -23.
    ASSERT_EQ(DivConstFloatInPlace(8388608.0f, f.data(), kCount), StatusOk);
    std::fill(back.begin(), back.end(), 0);
    WithMxcsr(kRoundUp | kFlushToZero, [&] { return ConvertFloatToInt24(f.data(), back.data(), kCount, -23); });
    ASSERT_TRUE(back == packed);
}

TEST(ConvertIntegerToFloat, Int32RoundsToNearestEvenWhateverTheCallerMode) {
    std::mt19937 rng(99);
    std::vector<int32_t> v = {INT32_MIN, INT32_MAX, 0, 1, -1, 16777217, -16777217, 16777219, 33554434, 33554438};
    for (int i = 0; i < 20000; ++i) v.push_back(static_cast<int32_t>(rng()) >> (rng() % 8));
    const LONG n = static_cast<LONG>(v.size());
    for (int scale : {0, 31, 15, -96, -97, 126, 127}) {
        const int s = scale < -96 ? -96 : (scale > 126 ? 126 : scale);
        for (uint32_t caller : kCallerModes) {
            std::vector<float> got(v.size()), gotPlain(v.size());
            WithMxcsr(caller, [&] {
                EXPECT_EQ(ConvertInt32ToFloatScaled(reinterpret_cast<const LONG*>(v.data()), got.data(), n, scale),
                          StatusOk);
                EXPECT_EQ(ConvertInt32ToFloat(reinterpret_cast<const LONG*>(v.data()), gotPlain.data(), n), StatusOk);
                EXPECT_EQ(GetMxcsr() & 0xFFC0, (kMxcsrDefault | caller) & 0xFFC0);
                return 0;
            });
            for (size_t i = 0; i < v.size(); ++i) {
                // Under the test's default mode the double-to-float conversion rounds to nearest even.
                const float nearest = static_cast<float>(static_cast<double>(v[i]));
                ASSERT_EQ(Bits(gotPlain[i]), Bits(nearest)) << v[i] << " mxcsr " << caller;
                const float scaled = scale == 0 ? nearest : nearest * RefSingleFactor(s);
                ASSERT_EQ(Bits(got[i]), Bits(scaled)) << v[i] << " scale " << scale << " mxcsr " << caller;
            }
        }
    }
}

TEST(ConvertIntegerToFloat, Int16ScaleIsClamped) {
    const SHORT one = 1;
    struct Case {
        int scale;
        float want;
    };
    for (const Case& c : {Case{200, std::ldexp(1.0f, -126)}, Case{126, std::ldexp(1.0f, -126)},
                          Case{111, std::ldexp(1.0f, -111)}, Case{-500, std::ldexp(1.0f, 112)}, Case{-112, std::ldexp(1.0f, 112)}, Case{15, 1.0f / 32768}}) {
        float got = 0;
        ASSERT_EQ(ConvertInt16ToFloat(&one, &got, 1, c.scale), StatusOk);
        EXPECT_EQ(got, c.want) << "scale " << c.scale;
    }
    const SHORT most = -32768;
    float got = 0;
    ASSERT_EQ(ConvertInt16ToFloat(&most, &got, 1, -500), StatusOk);
    EXPECT_EQ(got, -std::ldexp(1.0f, 127));
}

TEST(ConvertIntegerToFloat, Int24SignExtendsTheThirdByte) {
    const uint8_t bytes[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x34, 0x12, 0xF0};
    const float want[] = {-8388608.0f, 8388607.0f, -1.0f, 1.0f, static_cast<float>(static_cast<int32_t>(0xFFF01234))};
    float got[5];
    ASSERT_EQ(ConvertInt24ToFloat(bytes, got, 5), StatusOk);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i], want[i]) << i;
}

// Every length up to two vector groups at every start offset, with the buffers ending exactly
// where their heap blocks end.
TEST(ConvertBuffers, ExactSizeAtEveryOffset) {
    std::mt19937 rng(7);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (LONG len = 1; len <= 19; ++len) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << " len " << len);
            const size_t n = static_cast<size_t>(len);
            ExactBuffer f(4 * n, offset), i16(2 * n, offset), i24(3 * n, offset), i32(4 * n, offset),
                back(4 * n, offset);
            for (size_t k = 0; k < n; ++k) {
                f.Set(k, std::uniform_real_distribution<float>(-1.2f, 1.2f)(rng));
            }
            ASSERT_EQ(ConvertFloatToInt16(f.As<float>(), i16.As<SHORT>(), len, 1, -15), StatusOk);
            ASSERT_EQ(ConvertFloatToInt24(f.As<float>(), i24.As<UCHAR>(), len, -23), StatusOk);
            ASSERT_EQ(ConvertFloatToInt32(f.As<float>(), i32.As<LONG>(), len, 2, -31), StatusOk);
            for (size_t k = 0; k < n; ++k) {
                const float x = f.Get<float>(k);
                ASSERT_EQ(i16.Get<SHORT>(k), RefToInt16(x, 1, -15));
                ASSERT_EQ(i32.Get<LONG>(k), RefToInt32(x, 2, -31));
                uint8_t want[3];
                PackInt24(RefToInt24(x, -23), want);
                ASSERT_EQ(0, std::memcmp(i24.As<UCHAR>() + 3 * k, want, 3));
            }
            ASSERT_EQ(ConvertInt16ToFloat(i16.As<SHORT>(), back.As<float>(), len, 15), StatusOk);
            for (size_t k = 0; k < n; ++k) ASSERT_EQ(back.Get<float>(k), i16.Get<SHORT>(k) / 32768.0f);
            ASSERT_EQ(ConvertInt24ToFloat(i24.As<UCHAR>(), back.As<float>(), len), StatusOk);
            for (size_t k = 0; k < n; ++k) ASSERT_EQ(back.Get<float>(k), RefToInt24(f.Get<float>(k), -23));
            ASSERT_EQ(ConvertInt32ToFloatScaled(i32.As<LONG>(), back.As<float>(), len, 31), StatusOk);
            for (size_t k = 0; k < n; ++k) {
                ASSERT_EQ(back.Get<float>(k), static_cast<float>(i32.Get<LONG>(k)) * (1.0f / 2147483648.0f));
            }
            ASSERT_EQ(ConvertInt32ToFloat(i32.As<LONG>(), back.As<float>(), len), StatusOk);
            for (size_t k = 0; k < n; ++k) ASSERT_EQ(back.Get<float>(k), static_cast<float>(i32.Get<LONG>(k)));
            for (const ExactBuffer* b : {&f, &i16, &i24, &i32, &back}) ASSERT_TRUE(b->Intact());
        }
    }
}

}  // namespace
