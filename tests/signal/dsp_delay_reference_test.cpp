// The delay network against a plain model that keeps every quantity's whole history in its own
// array: bit-exact in single precision (same order of operations), within a few steps of the
// 16-bit grid in double precision. The model's constants are typed in here independently of the
// driver's tables; only the shaping filter taps (free design values) come from the driver.
#include "driver/signal/DspDelayLines.h"
#include "driver/signal/DspDelayParameters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <type_traits>
#include <vector>

namespace {

struct RateCase {
    LONG rateHz;
    LONG index;
    int k;
    int D[4];
    float c[4][4];
    float highPass[5];   // halves: b0 b1 b2 a1 a2
    float groups[4][3];  // output filter groups 2..5; group 1 is (0.5, 1, 0.5)
    int n[7];
};

const RateCase kRates[] = {
    {48000, 0, 2, {601, 873, 780, 1034},
     {{0.3803711f, 0.3803711f}, {0.3360596f, 0.3360596f}, {0.3505859f, 0.3505859f}, {0.3122559f, 0.3122559f}},
     {0.4906616f, -0.9812622f, 0.4906616f, 0.9810181f, -0.4815979f},
     {{0.2783508f, 0.008270264f, -0.1473083f}, {0.4124756f, -0.01904297f, -0.1278076f},
      {0.5018921f, -0.005554199f, -0.05023193f}, {0.4282227f, -0.04992676f, -0.02606201f}},
     {16, 16, 16, 20, 20, 18, 18}},
    {44100, 1, 2, {552, 802, 717, 950},
     {{0.5072632f, 0.2536011f}, {0.4480591f, 0.2240601f}, {0.4674072f, 0.2337036f}, {0.4163818f, 0.2081909f}},
     {0.4898376f, -0.9796143f, 0.4898376f, 0.979248f, -0.4799805f},
     {{0.288147f, -0.01818848f, -0.06954956f}, {0.432251f, -0.06884766f, -0.01196289f},
      {0.5073853f, -0.02722168f, -0.04742432f}, {0.4178467f, -0.04223633f, -0.04278564f}},
     {15, 15, 15, 19, 19, 17, 17}},
    {32000, 2, 3, {402, 583, 521, 690},
     {{0.6297607f, 0.1448364f, -0.01385498f},
      {0.5564575f, 0.1279907f, -0.01226807f},
      {0.5805664f, 0.1335449f, -0.01275635f},
      {0.5172119f, 0.1189575f, -0.01135254f}},
     {0.4860229f, -0.9718933f, 0.4860229f, 0.971283f, -0.4726257f},
     {{0.319397f, -0.1012878f, 0.2170105f}, {0.4232788f, -0.09338379f, 0.222168f},
      {0.5098267f, -0.05126953f, 0.04949951f}, {0.423645f, -0.06964111f, -0.005981445f}},
     {10, 10, 10, 13, 13, 12, 12}},
    {96000, 16, 4, {1203, 1747, 1561, 2068},
     {{0.2271118f, 0.2044067f, 0.2271118f, 0.1021729f},
      {0.2006226f, 0.180542f, 0.2006226f, 0.090271f},
      {0.2092896f, 0.1883545f, 0.2092896f, 0.09417725f},
      {0.1864624f, 0.1678467f, 0.1864624f, 0.08392334f}},
     {0.4953156f, -0.9906158f, 0.4953156f, 0.9905396f, -0.4906921f},
     {{0.2055359f, 0.0769043f, 0.05065918f}, {0.2958374f, 0.1056519f, 0.06378174f},
      {0.3360596f, 0.1365356f, 0.08551025f}, {0.3649902f, 0.02947998f, 0.02124023f}},
     {34, 34, 34, 42, 42, 38, 38}},
    {88200, 17, 4, {1106, 1606, 1434, 1901},
     {{0.2377319f, 0.2258301f, 0.2377319f, 0.05944824f},
      {0.2099609f, 0.1994629f, 0.2099609f, 0.05249023f},
      {0.2191162f, 0.2081909f, 0.2191162f, 0.05480957f},
      {0.1951904f, 0.1854248f, 0.1951904f, 0.04876709f}},
     {0.4949036f, -0.9897919f, 0.4949036f, 0.9897156f, -0.4898987f},
     {{0.2098694f, 0.08111572f, 0.04541016f}, {0.3018799f, 0.1110229f, 0.05450439f},
      {0.343689f, 0.1444702f, 0.0814209f}, {0.3674316f, 0.03088379f, 0.02062988f}},
     {32, 32, 32, 40, 40, 36, 36}},
};

const float kMix[8] = {-0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f,
                       0.5651518f,  0.3296462f, 0.5651518f, 0.3296462f};
const float kDirect[10] = {1.0f,       0.8406633f, 1.0f,       0.8406633f, 0.8200073f,
                           0.8200073f, 0.9099731f, 1.0f,       0.9099731f, 1.0f};
const float kMidSide[4] = {0.5f, 0.5f, 0.5f, -0.5f};  // repeated for the three pairs
const float kRightSign[7] = {1, 1, -1, 1, -1, 1, -1};
const float kFeedback[4][4] = {{-0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f},
                               {-0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f},
                               {0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f},
                               {-0.3950806f, -0.4087524f, 0.746582f, -0.3456421f}};

// The shaping filter taps of a driver set; fails the test when their counts differ from `n`.
std::vector<std::vector<float>> ShapingTaps(const RateCase& rc) {
    const DspDelayRate* set = DspDelayRateSet(rc.index);
    EXPECT_NE(set, nullptr);
    if (set == nullptr) return {};
    const float* p = set->parameters + 4 * (1 + rc.k) + 8 + 5 + 1 + 10 + 12;
    std::vector<std::vector<float>> taps;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(static_cast<int>(*p), rc.n[i]) << "filter " << i + 1 << " at " << rc.rateHz;
        const int n = static_cast<int>(*p++);
        taps.emplace_back(p, p + n);
        p += n;
    }
    return taps;
}

// Whole-history model of the network in precision T.
template <typename T>
class Model {
public:
    Model(const RateCase& rc, std::vector<std::vector<float>> taps) : m_Rate(rc), m_Taps(std::move(taps)) {}

    void Step(const float in[8], float& left, float& right) {
        const T x[8] = {in[0], in[1], in[2], in[3], in[4], in[5], in[6], in[7]};
        T g[4];
        for (int j = 0; j < 4; ++j) {
            g[j] = 0;
            for (int i = 1; i <= m_Rate.k; ++i)
                g[j] += T(m_Rate.c[j][i - 1]) * Past(m_Line[j], m_Rate.D[j] - m_Rate.k + i);
        }
        const T a = x[0] + x[3];
        const T b = x[1] + x[3];
        const T s[4] = {T(kMix[0]) * b + T(kMix[1]) * x[5], T(kMix[2]) * a + T(kMix[3]) * x[4],
                        T(kMix[4]) * x[6] + T(kMix[5]) * x[2], T(kMix[6]) * x[7] + T(kMix[7]) * x[2]};
        const float* hp = m_Rate.highPass;
        T y[4];
        for (int j = 0; j < 4; ++j) {
            m_HpIn[j].push_back(s[j]);
            const T sum = T(hp[0]) * s[j] + T(hp[1]) * Past(m_HpIn[j], 1) + T(hp[2]) * Past(m_HpIn[j], 2) +
                          T(hp[3]) * Past(m_HpOut[j], 1) + T(hp[4]) * Past(m_HpOut[j], 2);
            y[j] = Flush(T(2) * sum);
            m_HpOut[j].push_back(y[j]);
        }
        const T c = x[2];
        const T u[6] = {T(kDirect[0]) * a + T(kDirect[1]) * g[3], T(kDirect[2]) * b + T(kDirect[3]) * g[0],
                        T(kDirect[4]) * x[6],                     T(kDirect[5]) * x[7],
                        T(kDirect[6]) * x[4] + T(kDirect[7]) * g[1], T(kDirect[8]) * x[5] + T(kDirect[9]) * g[2]};
        T fin[7] = {c};
        for (int p = 0; p < 3; ++p) {
            fin[1 + 2 * p] = T(kMidSide[0]) * u[2 * p] + T(kMidSide[1]) * u[2 * p + 1];
            fin[2 + 2 * p] = T(kMidSide[2]) * u[2 * p] + T(kMidSide[3]) * u[2 * p + 1];
        }
        T fl = 0, fr = 0;
        for (int i = 0; i < 7; ++i) {
            m_FirIn[i].push_back(fin[i]);
            T sum = 0;
            for (size_t r = 1; r <= m_Taps[i].size(); ++r) sum += T(m_Taps[i][r - 1]) * Past(m_FirIn[i], 2 * long(r));
            fl += sum;
            fr += T(kRightSign[i]) * sum;
        }
        const T z[9] = {fl, fr, c, u[0], u[1], u[2], u[3], u[4], u[5]};
        for (int r = 0; r < 9; ++r) m_Filtered[r].push_back(z[r]);
        const int leftInputs[5] = {0, 2, 3, 5, 7};
        const int rightInputs[5] = {1, 2, 4, 6, 8};
        T yl = 0, yr = 0;
        for (int gi = 0; gi < 5; ++gi) {
            const float unity[3] = {0.5f, 1.0f, 0.5f};
            const float* h = (gi == 0) ? unity : m_Rate.groups[gi - 1];
            yl += Filtered(h, leftInputs[gi]);
            yr += Filtered(h, rightInputs[gi]);
        }
        for (int j = 0; j < 4; ++j) {
            T v = 0;
            for (int i = 0; i < 4; ++i) v += T(kFeedback[j][i]) * (g[i] + y[i]);
            m_Line[j].push_back(Flush(v));
        }
        left = Quantise(yl);
        right = Quantise(yr);
        ++m_Time;
    }

private:
    // z(t - delay); the history is 0 before the start. Histories already hold the value of time t.
    T Past(const std::vector<T>& history, long delay) const {
        const long at = m_Time - delay;
        return (at < 0 || at >= long(history.size())) ? T(0) : history[size_t(at)];
    }
    T Filtered(const float* h, int r) const {
        return T(h[0]) * Past(m_Filtered[r], 0) + T(h[1]) * Past(m_Filtered[r], 1) + T(h[2]) * Past(m_Filtered[r], 2);
    }
    // The driver drops feedback values below 1e-20 so a silent network ends in exact zeros; in
    // double precision that is not modelled (it moves results by far less than the grid).
    static T Flush(T v) {
        if constexpr (std::is_same_v<T, float>) return (v > -1e-20f && v < 1e-20f) ? 0.0f : v;
        return v;
    }
    static float Quantise(T y) {
        if constexpr (std::is_same_v<T, float>) {
            if (y != y) return 0.0f;
            if (y >= 65535.0f / 65536.0f) y = 32767.0f / 32768.0f;
            if (y < -65535.0f / 65536.0f) y = -1.0f;
            const float q = std::trunc(65536.5f + 32768.0f * y) - 65536.0f;
            return std::min(q, 32767.0f) / 32768.0f;
        } else {
            return float(std::clamp(std::floor(32768.0 * y + 0.5), -32768.0, 32767.0) / 32768.0);
        }
    }

    const RateCase& m_Rate;
    std::vector<std::vector<float>> m_Taps;
    std::vector<T> m_Line[4], m_HpIn[4], m_HpOut[4], m_FirIn[7], m_Filtered[9];
    long m_Time = 0;
};

// Noise with quiet stretches and a few loud bursts (beyond full scale), on all eight channels.
std::vector<std::vector<float>> TestInput(size_t frames, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.6f, 0.6f);
    std::vector<std::vector<float>> in(8, std::vector<float>(frames));
    for (size_t i = 0; i < frames; ++i) {
        const size_t phase = (i / 997) % 5;
        const float level = (phase == 3) ? 0.0f : (phase == 1) ? 3.0f : 1.0f;
        for (auto& plane : in) plane[i] = level * noise(rng);
    }
    return in;
}

struct Outputs {
    std::vector<float> left, right;
};

// The driver's network over the input, in calls of random length 1..700 frames.
Outputs RunDriver(LONG rateHz, ULONG code, const std::vector<std::vector<float>>& in, unsigned seed) {
    CDspDelayLines* lines = CDspDelayLines::Create();
    EXPECT_NE(lines, nullptr);
    const size_t frames = in[0].size();
    Outputs out{std::vector<float>(frames), std::vector<float>(frames)};
    if (lines == nullptr) return out;
    lines->SetFormat(rateHz, code);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<LONG> cut(1, 700);
    for (size_t done = 0; done < frames;) {
        const LONG n = std::min<LONG>(cut(rng), LONG(frames - done));
        const float* ip[8];
        for (int c = 0; c < 8; ++c) ip[c] = in[size_t(c)].data() + done;
        float* op[2] = {out.left.data() + done, out.right.data() + done};
        lines->Process(ip, op, n);
        done += size_t(n);
    }
    CDspDelayLines::Destroy(lines);
    return out;
}

template <typename T>
Outputs RunModel(const RateCase& rc, ULONG code, const std::vector<std::vector<float>>& in) {
    Model<T> model(rc, ShapingTaps(rc));
    const size_t frames = in[0].size();
    const int used = (code == 7) ? 8 : 6;
    Outputs out{std::vector<float>(frames), std::vector<float>(frames)};
    for (size_t i = 0; i < frames; ++i) {
        float x[8] = {};
        for (int c = 0; c < used; ++c) x[c] = in[size_t(c)][i];
        model.Step(x, out.left[i], out.right[i]);
    }
    return out;
}

TEST(DelayLinesModel, MatchesTheSinglePrecisionModelExactlyAndTheDoubleModelClosely) {
    for (const RateCase& rc : kRates) {
        for (ULONG code : {5u, 7u}) {
            SCOPED_TRACE(testing::Message() << rc.rateHz << " Hz, channel code " << code);
            const auto in = TestInput(size_t(rc.rateHz) / 4 + 3000, unsigned(rc.rateHz) + code);
            const Outputs driver = RunDriver(rc.rateHz, code, in, code);
            const Outputs single = RunModel<float>(rc, code, in);
            const Outputs wide = RunModel<double>(rc, code, in);
            size_t nonZero = 0;
            float worst = 0;
            for (size_t i = 0; i < in[0].size(); ++i) {
                ASSERT_EQ(driver.left[i], single.left[i]) << "left frame " << i;
                ASSERT_EQ(driver.right[i], single.right[i]) << "right frame " << i;
                worst = std::max(
                    {worst, std::fabs(driver.left[i] - wide.left[i]), std::fabs(driver.right[i] - wide.right[i])});
                nonZero += (driver.left[i] != 0.0f) + (driver.right[i] != 0.0f);
            }
            EXPECT_GT(nonZero, in[0].size());
            // The high-pass poles sit close to DC and lift single-precision rounding at low
            // frequencies; at 88.2 and 96 kHz that reaches a few steps of the grid.
            EXPECT_LE(worst, 4.0f / 32768);
        }
    }
}

TEST(DelayLinesModel, ShapingFiltersSpanAboutTheSameTimeAtEveryRate) {
    for (const RateCase& rc : kRates) {
        const auto taps = ShapingTaps(rc);
        ASSERT_EQ(taps.size(), 7u);
        for (size_t i = 0; i < taps.size(); ++i) {
            const double spanMs = 2.0 * double(taps[i].size()) * 1000.0 / rc.rateHz;
            EXPECT_GT(spanMs, 0.6) << rc.rateHz << " filter " << i + 1;
            EXPECT_LT(spanMs, 0.95) << rc.rateHz << " filter " << i + 1;
        }
    }
    const auto taps48 = ShapingTaps(kRates[0]);
    const float start[4] = {0.1497498f, -0.07754517f, 0.01031494f, -0.03225708f};
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(taps48[0][i], start[i], 5e-8) << "tap " << i + 1;
}

}  // namespace
