// Argument checks of every operation: the first failing check decides (pointers, then counts, then
// the divisor), and an error leaves every output as it was.
#include "signal_test_util.h"

#include "driver/signal/SignalLibrary.h"

#include <functional>
#include <vector>

using namespace sigtest;

namespace {

// Inputs and outputs for one call; outputs start as a sentinel pattern.
struct Buffers {
    static constexpr int kLen = 8;
    float a[kLen] = {1, 2, 3, 4, 5, 6, 7, 8};
    float b[kLen] = {1, 1, 1, 1, 1, 1, 1, 1};
    float out[kLen * 2];
    SHORT out16[kLen];
    LONG out32[kLen];
    UCHAR out24[kLen * 3];
    float inout[kLen];
    float scalar;
    float plane0[kLen], plane1[kLen];
    const float* inPlanes[2] = {a, b};
    float* outPlanes[2] = {plane0, plane1};
    SHORT in16[kLen] = {};
    LONG in32[kLen] = {};
    UCHAR in24[kLen * 3] = {};

    Buffers() {
        std::memset(out, 0xAB, sizeof(out));
        std::memset(out16, 0xAB, sizeof(out16));
        std::memset(out32, 0xAB, sizeof(out32));
        std::memset(out24, 0xAB, sizeof(out24));
        std::memset(&scalar, 0xAB, sizeof(scalar));
        std::memset(plane0, 0xAB, sizeof(plane0));
        std::memset(plane1, 0xAB, sizeof(plane1));
        for (int i = 0; i < kLen; ++i) inout[i] = static_cast<float>(i + 1);
    }
    bool Untouched() const {
        Buffers fresh;
        return std::memcmp(out, fresh.out, sizeof(out)) == 0 && std::memcmp(out16, fresh.out16, sizeof(out16)) == 0 &&
               std::memcmp(out32, fresh.out32, sizeof(out32)) == 0 &&
               std::memcmp(out24, fresh.out24, sizeof(out24)) == 0 &&
               std::memcmp(&scalar, &fresh.scalar, sizeof(scalar)) == 0 &&
               std::memcmp(plane0, fresh.plane0, sizeof(plane0)) == 0 &&
               std::memcmp(plane1, fresh.plane1, sizeof(plane1)) == 0 &&
               std::memcmp(inout, fresh.inout, sizeof(inout)) == 0;
    }
};

struct Case {
    const char* what;
    SignalStatus want;
    std::function<SignalStatus(Buffers&)> call;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"ZeroFloat null", StatusNullPointer, [](Buffers&) { return ZeroFloat(nullptr, 0); }},
        {"ZeroFloat len 0", StatusBadLength, [](Buffers& t) { return ZeroFloat(t.out, 0); }},
        {"ZeroFloat len -1", StatusBadLength, [](Buffers& t) { return ZeroFloat(t.out, -1); }},
        {"FloatToInt16 null src", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt16(nullptr, t.out16, 0, 0, -15); }},
        {"FloatToInt16 null dst", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt16(t.a, nullptr, 0, 0, -15); }},
        {"FloatToInt16 len 0", StatusBadLength,
         [](Buffers& t) { return ConvertFloatToInt16(t.a, t.out16, 0, 0, -15); }},
        {"FloatToInt32 null src", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt32(nullptr, t.out32, -3, 1, -31); }},
        {"FloatToInt32 null dst", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt32(t.a, nullptr, 8, 1, -31); }},
        {"FloatToInt32 len -3", StatusBadLength,
         [](Buffers& t) { return ConvertFloatToInt32(t.a, t.out32, -3, 1, -31); }},
        {"FloatToInt24 null src", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt24(nullptr, t.out24, 0, -23); }},
        {"FloatToInt24 null dst", StatusNullPointer,
         [](Buffers& t) { return ConvertFloatToInt24(t.a, nullptr, 8, -23); }},
        {"FloatToInt24 len 0", StatusBadLength, [](Buffers& t) { return ConvertFloatToInt24(t.a, t.out24, 0, -23); }},
        {"Int16ToFloat null src", StatusNullPointer,
         [](Buffers& t) { return ConvertInt16ToFloat(nullptr, t.out, 0, 15); }},
        {"Int16ToFloat null dst", StatusNullPointer,
         [](Buffers& t) { return ConvertInt16ToFloat(t.in16, nullptr, 8, 15); }},
        {"Int16ToFloat len 0", StatusBadLength, [](Buffers& t) { return ConvertInt16ToFloat(t.in16, t.out, 0, 15); }},
        {"Int32ToFloatScaled null src", StatusNullPointer,
         [](Buffers& t) { return ConvertInt32ToFloatScaled(nullptr, t.out, 0, 31); }},
        {"Int32ToFloatScaled null dst", StatusNullPointer,
         [](Buffers& t) { return ConvertInt32ToFloatScaled(t.in32, nullptr, 8, 31); }},
        {"Int32ToFloatScaled len 0", StatusBadLength,
         [](Buffers& t) { return ConvertInt32ToFloatScaled(t.in32, t.out, 0, 31); }},
        {"Int32ToFloat null src", StatusNullPointer, [](Buffers& t) { return ConvertInt32ToFloat(nullptr, t.out, 0); }},
        {"Int32ToFloat null dst", StatusNullPointer, [](Buffers& t) { return ConvertInt32ToFloat(t.in32, nullptr, 8); }},
        {"Int32ToFloat len 0", StatusBadLength, [](Buffers& t) { return ConvertInt32ToFloat(t.in32, t.out, 0); }},
        {"Int24ToFloat null src", StatusNullPointer, [](Buffers& t) { return ConvertInt24ToFloat(nullptr, t.out, 0); }},
        {"Int24ToFloat null dst", StatusNullPointer, [](Buffers& t) { return ConvertInt24ToFloat(t.in24, nullptr, 8); }},
        {"Int24ToFloat len 0", StatusBadLength, [](Buffers& t) { return ConvertInt24ToFloat(t.in24, t.out, 0); }},
        {"DivConst null", StatusNullPointer, [](Buffers&) { return DivConstFloatInPlace(0.0f, nullptr, 0); }},
        {"DivConst len before divisor", StatusBadLength,
         [](Buffers& t) { return DivConstFloatInPlace(0.0f, t.inout, 0); }},
        {"DivConst by 0", StatusDivByZero, [](Buffers& t) { return DivConstFloatInPlace(0.0f, t.inout, 8); }},
        {"DivConst by -0", StatusDivByZero, [](Buffers& t) { return DivConstFloatInPlace(-0.0f, t.inout, 8); }},
        {"MoveFloat null src", StatusNullPointer, [](Buffers& t) { return MoveFloat(nullptr, t.out, 0); }},
        {"MoveFloat null dst", StatusNullPointer, [](Buffers& t) { return MoveFloat(t.a, nullptr, 8); }},
        {"MoveFloat len 0", StatusBadLength, [](Buffers& t) { return MoveFloat(t.a, t.out, 0); }},
        {"MulConstInPlace null", StatusNullPointer, [](Buffers&) { return MulConstFloatInPlace(2.0f, nullptr, 0); }},
        {"MulConstInPlace len 0", StatusBadLength, [](Buffers& t) { return MulConstFloatInPlace(0.0f, t.inout, 0); }},
        {"AddConstInPlace null", StatusNullPointer, [](Buffers&) { return AddConstFloatInPlace(2.0f, nullptr, 0); }},
        {"AddConstInPlace len 0", StatusBadLength, [](Buffers& t) { return AddConstFloatInPlace(2.0f, t.inout, 0); }},
        {"CopyFloat null src", StatusNullPointer, [](Buffers& t) { return CopyFloat(nullptr, t.out, 0); }},
        {"CopyFloat null dst", StatusNullPointer, [](Buffers& t) { return CopyFloat(t.a, nullptr, 8); }},
        {"CopyFloat len 0", StatusBadLength, [](Buffers& t) { return CopyFloat(t.a, t.out, 0); }},
        {"FillFloat null", StatusNullPointer, [](Buffers&) { return FillFloat(1.0f, nullptr, 0); }},
        {"FillFloat len 0", StatusBadLength, [](Buffers& t) { return FillFloat(1.0f, t.out, 0); }},
        {"MulConst null src", StatusNullPointer, [](Buffers& t) { return MulConstFloat(nullptr, 0.0f, t.out, 8); }},
        {"MulConst null dst", StatusNullPointer, [](Buffers& t) { return MulConstFloat(t.a, 0.0f, nullptr, 8); }},
        {"MulConst len 0", StatusBadLength, [](Buffers& t) { return MulConstFloat(t.a, 0.0f, t.out, 0); }},
        {"Abs null", StatusNullPointer, [](Buffers&) { return AbsFloatInPlace(nullptr, 0); }},
        {"Abs len 0", StatusBadLength, [](Buffers& t) { return AbsFloatInPlace(t.inout, 0); }},
        {"Max null src", StatusNullPointer, [](Buffers& t) { return MaxFloat(nullptr, 0, &t.scalar); }},
        {"Max null result", StatusNullPointer, [](Buffers& t) { return MaxFloat(t.a, 8, nullptr); }},
        {"Max len 0", StatusBadLength, [](Buffers& t) { return MaxFloat(t.a, 0, &t.scalar); }},
        {"Min null src", StatusNullPointer, [](Buffers& t) { return MinFloat(nullptr, 0, &t.scalar); }},
        {"Min null result", StatusNullPointer, [](Buffers& t) { return MinFloat(t.a, 8, nullptr); }},
        {"Min len 0", StatusBadLength, [](Buffers& t) { return MinFloat(t.a, 0, &t.scalar); }},
        {"Add null a", StatusNullPointer, [](Buffers& t) { return AddFloat(nullptr, t.b, t.out, 0); }},
        {"Add null b", StatusNullPointer, [](Buffers& t) { return AddFloat(t.a, nullptr, t.out, 8); }},
        {"Add null dst", StatusNullPointer, [](Buffers& t) { return AddFloat(t.a, t.b, nullptr, 8); }},
        {"Add len 0", StatusBadLength, [](Buffers& t) { return AddFloat(t.a, t.b, t.out, 0); }},
        {"Pow null a", StatusNullPointer, [](Buffers& t) { return PowFloat(nullptr, t.b, t.out, 0); }},
        {"Pow null b", StatusNullPointer, [](Buffers& t) { return PowFloat(t.a, nullptr, t.out, 8); }},
        {"Pow null dst", StatusNullPointer, [](Buffers& t) { return PowFloat(t.a, t.b, nullptr, 8); }},
        {"Pow len 0", StatusBadLength, [](Buffers& t) { return PowFloat(t.a, t.b, t.out, 0); }},
        // Interleaving: the two buffers, then the channel count, then the length, then each plane.
        {"Interleave null planes", StatusNullPointer,
         [](Buffers& t) { return InterleaveFloat(nullptr, 0, 0, t.out); }},
        {"Interleave null dst", StatusNullPointer,
         [](Buffers& t) { return InterleaveFloat(t.inPlanes, 0, 0, nullptr); }},
        {"Interleave 0 channels, len 0", StatusBadChannelCount,
         [](Buffers& t) { return InterleaveFloat(t.inPlanes, 0, 0, t.out); }},
        {"Interleave len 0", StatusBadLength, [](Buffers& t) { return InterleaveFloat(t.inPlanes, 2, 0, t.out); }},
        {"Interleave null second plane", StatusNullPointer,
         [](Buffers& t) {
             const float* planes[2] = {t.a, nullptr};
             return InterleaveFloat(planes, 2, 8, t.out);
         }},
        {"Interleave null plane before len", StatusBadLength,
         [](Buffers& t) {
             const float* planes[2] = {t.a, nullptr};
             return InterleaveFloat(planes, 2, 0, t.out);
         }},
        {"Deinterleave null src", StatusNullPointer,
         [](Buffers& t) { return DeinterleaveFloat(nullptr, 0, 0, t.outPlanes); }},
        {"Deinterleave null planes", StatusNullPointer, [](Buffers& t) { return DeinterleaveFloat(t.a, 0, 0, nullptr); }},
        {"Deinterleave -1 channels", StatusBadChannelCount,
         [](Buffers& t) { return DeinterleaveFloat(t.a, -1, 0, t.outPlanes); }},
        {"Deinterleave len 0", StatusBadLength, [](Buffers& t) { return DeinterleaveFloat(t.a, 2, 0, t.outPlanes); }},
        {"Deinterleave null second plane", StatusNullPointer,
         [](Buffers& t) {
             float* planes[2] = {t.plane0, nullptr};
             return DeinterleaveFloat(t.a, 2, 4, planes);
         }},
    };
    return cases;
}

TEST(SignalArguments, FirstFailingCheckDecidesAndNothingIsWritten) {
    for (const Case& c : Cases()) {
        Buffers t;
        EXPECT_EQ(c.call(t), c.want) << c.what;
        EXPECT_TRUE(t.Untouched()) << c.what;
    }
}

}  // namespace
