// Fills, copies, element-wise arithmetic and interleaving of float vectors.
#include "signal_test_util.h"

#include "driver/signal/SignalLibrary.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

using namespace sigtest;

namespace {

std::vector<float> Ramp(size_t n, float start = 1.0f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(VectorCopy, MoveFloatHandlesOverlapInBothDirections) {
    for (int shift : {1, 3, 4, 7, -1, -4, -5}) {
        for (LONG len : {1, 5, 16, 37}) {
            std::vector<float> buf = Ramp(64);
            std::vector<float> want = buf;
            const int srcAt = 12;
            const int dstAt = srcAt + shift;
            for (LONG i = 0; i < len; ++i) want[dstAt + i] = buf[srcAt + i];
            ASSERT_EQ(MoveFloat(buf.data() + srcAt, buf.data() + dstAt, len), StatusOk);
            ASSERT_EQ(buf, want) << "shift " << shift << " len " << len;
        }
    }
    std::vector<float> buf = Ramp(8);
    ASSERT_EQ(MoveFloat(buf.data(), buf.data(), 8), StatusOk);
    EXPECT_EQ(buf, Ramp(8));
}

TEST(VectorCopy, FillZeroAndCopyKeepBitPatterns) {
    const float signalling = FromBits(0x7F800001);
    for (size_t offset : {0u, 1u, 2u, 3u}) {
        for (LONG len : {1, 3, 4, 9, 33}) {
            ExactBuffer dst(4 * static_cast<size_t>(len), offset);
            ASSERT_EQ(FillFloat(signalling, dst.As<float>(), len), StatusOk);
            for (LONG i = 0; i < len; ++i) ASSERT_EQ(dst.Get<uint32_t>(static_cast<size_t>(i)), 0x7F800001u);
            std::vector<float> src = Ramp(static_cast<size_t>(len));
            src[0] = FromBits(0xFFC01234);
            ASSERT_EQ(CopyFloat(src.data(), dst.As<float>(), len), StatusOk);
            ASSERT_EQ(0, std::memcmp(src.data(), dst.As<float>(), 4 * static_cast<size_t>(len)));
            ASSERT_EQ(ZeroFloat(dst.As<float>(), len), StatusOk);
            for (LONG i = 0; i < len; ++i) ASSERT_EQ(dst.Get<uint32_t>(static_cast<size_t>(i)), 0u);
            ASSERT_TRUE(dst.Intact());
        }
    }
}

// The special values of the multiplier: 1 copies (or leaves in place), 0 of either sign zeroes
// everything, NaN and infinities included.
TEST(VectorArithmetic, MultiplierShortcuts) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> src = {1.5f, -2.0f, QuietNaN(), inf, -0.0f, 3.0f};
    const LONG n = static_cast<LONG>(src.size());
    struct Case {
        float value;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {1.0f, {Bits(1.5f), Bits(-2.0f), 0x7FC00000, 0x7F800000, 0x80000000, Bits(3.0f)}},
        {0.0f, {0, 0, 0, 0, 0, 0}},
        {-0.0f, {0, 0, 0, 0, 0, 0}},
        {2.0f, {Bits(3.0f), Bits(-4.0f), 0x7FC00000, 0x7F800000, 0x80000000, Bits(6.0f)}},
    };
    for (const Case& c : cases) {
        std::vector<float> out(src.size(), 9.0f), inPlace = src;
        ASSERT_EQ(MulConstFloat(src.data(), c.value, out.data(), n), StatusOk);
        ASSERT_EQ(MulConstFloatInPlace(c.value, inPlace.data(), n), StatusOk);
        for (size_t i = 0; i < src.size(); ++i) {
            EXPECT_EQ(Bits(out[i]), c.want[i]) << c.value << " element " << i;
            EXPECT_EQ(Bits(inPlace[i]), c.want[i]) << c.value << " in place, element " << i;
        }
    }
}

TEST(VectorArithmetic, DivisionMultipliesByTheRoundedReciprocal) {
    struct Case {
        float divisor;
        SignalStatus status;
    };
    std::mt19937 rng(5);
    std::vector<float> data(37);
    for (float& x : data) x = std::uniform_real_distribution<float>(-1e6f, 1e6f)(rng);
    for (const Case& c : {Case{1310720.0f, StatusOk}, Case{8388608.0f, StatusOk}, Case{3.0f, StatusOk},
                          Case{-7.0f, StatusOk}, Case{1.0f, StatusOk}, Case{std::numeric_limits<float>::infinity(), StatusOk},
                          Case{0.0f, StatusDivByZero}}) {
        std::vector<float> got = data;
        ASSERT_EQ(DivConstFloatInPlace(c.divisor, got.data(), 37), c.status);
        const float reciprocal = 1.0f / c.divisor;
        for (size_t i = 0; i < data.size(); ++i) {
            const float want = c.status != StatusOk ? data[i] : (reciprocal == 0.0f ? 0.0f : data[i] * reciprocal);
            ASSERT_EQ(Bits(got[i]), Bits(want)) << "divisor " << c.divisor << " element " << i;
        }
    }
}

TEST(VectorArithmetic, AddAbsAndAddConst) {
    std::mt19937 rng(11);
    for (LONG len : {1, 2, 3, 4, 5, 8, 13, 64, 67}) {
        std::vector<float> a(static_cast<size_t>(len)), b(a.size());
        for (size_t i = 0; i < a.size(); ++i) {
            a[i] = std::uniform_real_distribution<float>(-10, 10)(rng);
            b[i] = std::uniform_real_distribution<float>(-10, 10)(rng);
        }
        ExactBuffer sum(a.size() * 4, static_cast<size_t>(len) % 16);
        ASSERT_EQ(AddFloat(a.data(), b.data(), sum.As<float>(), len), StatusOk);
        std::vector<float> shifted = a, absolute = a;
        ASSERT_EQ(AddConstFloatInPlace(0.25f, shifted.data(), len), StatusOk);
        ASSERT_EQ(AbsFloatInPlace(absolute.data(), len), StatusOk);
        for (size_t i = 0; i < a.size(); ++i) {
            ASSERT_EQ(sum.Get<float>(i), a[i] + b[i]);
            ASSERT_EQ(shifted[i], a[i] + 0.25f);
            ASSERT_EQ(absolute[i], std::fabs(a[i]));
        }
        ASSERT_TRUE(sum.Intact());
    }
    // A zero addend leaves the data alone (-0.0 stays -0.0); the sign bit of a NaN is cleared.
    float v[2] = {-0.0f, FromBits(0xFFC00001)};
    ASSERT_EQ(AddConstFloatInPlace(0.0f, v, 2), StatusOk);
    EXPECT_EQ(Bits(v[0]), 0x80000000u);
    ASSERT_EQ(AbsFloatInPlace(v, 2), StatusOk);
    EXPECT_EQ(Bits(v[0]), 0u);
    EXPECT_EQ(Bits(v[1]), 0x7FC00001u);
}

TEST(VectorExtremes, MaxAndMinOfEveryLength) {
    std::mt19937 rng(3);
    for (LONG len = 1; len <= 41; ++len) {
        std::vector<float> v(static_cast<size_t>(len));
        for (float& x : v) x = std::uniform_real_distribution<float>(-100, 100)(rng);
        float hi = 0, lo = 0;
        ASSERT_EQ(MaxFloat(v.data(), len, &hi), StatusOk);
        ASSERT_EQ(MinFloat(v.data(), len, &lo), StatusOk);
        EXPECT_EQ(hi, *std::max_element(v.begin(), v.end())) << len;
        EXPECT_EQ(lo, *std::min_element(v.begin(), v.end())) << len;
    }
    // A NaN element is passed over; a NaN first element is the result.
    const float nan = QuietNaN();
    const float skip[] = {1.0f, nan, 5.0f, -3.0f, nan, 2.0f};
    float hi = 0, lo = 0;
    ASSERT_EQ(MaxFloat(skip, 6, &hi), StatusOk);
    ASSERT_EQ(MinFloat(skip, 6, &lo), StatusOk);
    EXPECT_EQ(hi, 5.0f);
    EXPECT_EQ(lo, -3.0f);
    const float first[] = {nan, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    ASSERT_EQ(MaxFloat(first, 6, &hi), StatusOk);
    EXPECT_TRUE(std::isnan(hi));
}

// Interleaving against a plain index loop, for channel counts around the vector widths, lengths
// around the vector and block sizes, and planes and frames at every alignment.
TEST(VectorInterleave, RoundTripMatchesIndexLoop) {
    std::mt19937 rng(17);
    for (LONG channels : {1, 2, 3, 4, 5, 6, 8, 9, 13}) {
        for (LONG len : {1, 3, 4, 7, 64, 257, 515}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, " << len << " frames");
            const size_t frames = static_cast<size_t>(len);
            std::vector<std::unique_ptr<ExactBuffer>> planes;
            std::vector<const float*> in;
            bool allAligned = true;
            for (LONG c = 0; c < channels; ++c) {
                const size_t offset = static_cast<size_t>(rng() % 16) & ~3u;
                planes.push_back(std::make_unique<ExactBuffer>(4 * frames, offset));
                allAligned = allAligned && offset == 0;
                float* p = planes.back()->As<float>();
                for (size_t i = 0; i < frames; ++i) p[i] = FromBits(static_cast<uint32_t>(rng()));
                in.push_back(p);
            }
            const size_t frameOffset = static_cast<size_t>(rng() % 4) * 4;
            ExactBuffer frameBuffer(4 * frames * static_cast<size_t>(channels), frameOffset);
            const SignalStatus wantStatus = allAligned && frameOffset == 0 ? StatusOk : WarnMisaligned;
            ASSERT_EQ(InterleaveFloat(in.data(), channels, len, frameBuffer.As<float>()), wantStatus);
            const float* interleaved = frameBuffer.As<float>();
            for (size_t i = 0; i < frames; ++i) {
                for (LONG c = 0; c < channels; ++c) {
                    ASSERT_EQ(Bits(interleaved[i * channels + c]), Bits(in[c][i])) << "frame " << i << " ch " << c;
                }
            }
            std::vector<std::unique_ptr<ExactBuffer>> outPlanes;
            std::vector<float*> out;
            for (LONG c = 0; c < channels; ++c) {
                outPlanes.push_back(std::make_unique<ExactBuffer>(4 * frames, 0));
                out.push_back(outPlanes.back()->As<float>());
            }
            ASSERT_EQ(DeinterleaveFloat(interleaved, channels, len, out.data()),
                      frameOffset == 0 ? StatusOk : WarnMisaligned);
            for (LONG c = 0; c < channels; ++c) {
                ASSERT_EQ(0, std::memcmp(out[c], in[c], 4 * frames)) << "channel " << c;
                ASSERT_TRUE(planes[c]->Intact());
            }
            ASSERT_TRUE(frameBuffer.Intact());
        }
    }
}

TEST(VectorInterleave, OneMisalignedPlaneWarnsAndStillCompletes) {
    alignas(16) float left[8], right[9], frames[16];
    std::iota(left, left + 8, 0.0f);
    std::iota(right, right + 9, 100.0f);
    const float* planes[2] = {left, right + 1};
    ASSERT_EQ(InterleaveFloat(planes, 2, 8, frames), WarnMisaligned);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(frames[2 * i], left[i]);
        EXPECT_EQ(frames[2 * i + 1], right[i + 1]);
    }
}

}  // namespace
