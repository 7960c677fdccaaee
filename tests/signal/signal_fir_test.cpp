// FIR filters: state sizes and forms, argument checks, bit-exact agreement with a naive filter for
// every form, phase and block split, the FFT path, exact-size states at every offset, and the
// one-sample filter.
#include "signal_test_util.h"

#include "driver/signal/Fir.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

using namespace sigtest;

namespace {

std::vector<float> RandomFloats(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// The filter by its definition: y[m] = sum over taps j of h[j] x xu[mD + pd - j], where input k
// sits at kU + pu of the upsampled grid. Taps are visited from j = T-1 down, which is oldest input
// first; the sum is single precision from 0. `history` holds x[-1], x[-2], ... (most recent first).
std::vector<float> NaiveFilter(const std::vector<float>& h, long up, long upPhase, long down, long downPhase,
                               const std::vector<float>& x, const std::vector<float>& history = {}) {
    const long taps = static_cast<long>(h.size());
    std::vector<float> y(x.size() / down * up);
    for (long m = 0; m < static_cast<long>(y.size()); ++m) {
        const long t = m * down + downPhase;
        float sum = 0.0f;
        for (long j = taps - 1; j >= 0; --j) {
            const long grid = t - j - upPhase;
            if (grid % up != 0) continue;
            const long k = grid / up;
            const float sample = k >= 0 ? x[k] : (-k - 1 < static_cast<long>(history.size()) ? history[-k - 1] : 0.0f);
            sum += h[j] * sample;
        }
        y[m] = sum;
    }
    return y;
}

// A state laid out in a test-owned buffer of exactly its size, `offset` bytes into a heap block.
class TestState {
public:
    TestState(const std::vector<float>& taps, LONG up, LONG upPhase, LONG down, LONG downPhase,
              const std::vector<float>& history = {}, size_t offset = 0) {
        LONG size = 0;
        EXPECT_EQ(FirMultirateGetStateSize(static_cast<LONG>(taps.size()), up, down, &size), StatusOk);
        m_Buffer = std::make_unique<ExactBuffer>(size, offset);
        EXPECT_EQ(FirMultirateInitState(&m_State, taps.data(), static_cast<LONG>(taps.size()), up, upPhase, down,
                                        downPhase, history.empty() ? nullptr : history.data(), m_Buffer->As<void>()),
                  StatusOk);
    }
    FirState* Get() const { return m_State; }
    const ExactBuffer& Buffer() const { return *m_Buffer; }

    // Runs the whole input through calls of the given iteration counts (cycled).
    std::vector<float> Run(const std::vector<float>& x, const std::vector<LONG>& calls) {
        const LONG up = m_State->tag == FirTagSingle ? 1 : m_State->upFactor;
        const LONG down = m_State->tag == FirTagSingle ? 1 : m_State->downFactor;
        const LONG iterations = static_cast<LONG>(x.size()) / down;
        std::vector<float> y(static_cast<size_t>(iterations) * up, -99.0f);
        for (LONG done = 0, call = 0; done < iterations; ++call) {
            const LONG n = std::min(calls[call % calls.size()], iterations - done);
            EXPECT_EQ(FirFilterBlock(x.data() + done * down, y.data() + done * up, n, m_State), StatusOk);
            done += n;
        }
        return y;
    }

private:
    std::unique_ptr<ExactBuffer> m_Buffer;
    FirState* m_State = nullptr;
};

size_t Mismatches(const std::vector<float>& got, const std::vector<float>& want) {
    size_t count = 0;
    for (size_t i = 0; i < want.size(); ++i) count += std::memcmp(&got[i], &want[i], sizeof(float)) != 0;
    return count;
}

TEST(Fir, StateSizesAndFormsFollowTheShape) {
    struct Row {
        LONG taps, up, down;
        LONG size;
        LONG form;  // 0: a single-rate state
    };
    const Row rows[] = {
        {1, 1, 1, 16624, 0},
        {20, 1, 1, 16912, 0},
        {24, 1, 1, 16976, 0},
        {63, 1, 1, 17616, 0},
        {64, 1, 1, 22096, 0},
        {101, 1, 1, 22704, 0},
        {128, 1, 1, 27344, 0},
        {1024, 1, 1, 100880, 0},
        {5000, 1, 1, 388112, 0},
        // The rate stages' shapes, all phase-table.
        {66, 2, 1, 18272, FirFormPhaseTable},
        {66, 1, 2, 18624, FirFormPhaseTable},
        {132, 4, 1, 19600, FirFormPhaseTable},
        {132, 1, 4, 20640, FirFormPhaseTable},
        {7, 3, 2, 16928, FirFormPhaseTable},
        {40, 1, 3, 17952, FirFormPhaseTable},
        {5, 1, 4, 17024, FirFormDecimating},
        {2, 7, 3, 17024, FirFormPolyphase},
        {1, 2, 1, 16736, FirFormPolyphase},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.taps << " taps, up " << row.up << ", down " << row.down);
        LONG size = -1;
        ASSERT_EQ(FirMultirateGetStateSize(row.taps, row.up, row.down, &size), StatusOk);
        EXPECT_EQ(size, row.size);
        if (row.form == 0) {
            LONG single = -1;
            ASSERT_EQ(FirGetStateSize(row.taps, &single), StatusOk);
            EXPECT_EQ(single, row.size);
        }
        const std::vector<float> taps = RandomFloats(row.taps, 1);
        TestState state(taps, row.up, 0, row.down, 0);
        EXPECT_EQ(state.Get()->tag, row.form == 0 ? FirTagSingle : FirTagMultirate);
        if (row.form != 0) {
            EXPECT_EQ(state.Get()->form, row.form);
        }
    }
}

TEST(Fir, SizesThatDoNotFitALongAreRefusedBeforeAnyWrite) {
    unsigned char buffer[64];
    std::memset(buffer, 0x5A, sizeof(buffer));
    const float taps[1] = {1.0f};
    FirState* state = nullptr;
    LONG size = -1;
    EXPECT_EQ(FirGetStateSize(0x7FFFFFFF, &size), StatusNoMemory);
    EXPECT_EQ(FirGetStateSize(0x08000000, &size), StatusNoMemory);
    EXPECT_EQ(FirMultirateGetStateSize(1, 1, 0x7FFFFFFF, &size), StatusNoMemory);
    EXPECT_EQ(FirMultirateGetStateSize(0x40000000, 2, 1, &size), StatusNoMemory);
    EXPECT_EQ(FirMultirateGetStateSize(1, 0x7FFFFFFF, 1, &size), StatusNoMemory);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(FirInitState(&state, taps, 0x7FFFFFFF, nullptr, buffer), StatusNoMemory);
    EXPECT_EQ(FirMultirateInitState(&state, taps, 1, 1, 0, 0x7FFFFFFF, 5, nullptr, buffer), StatusNoMemory);
    EXPECT_EQ(state, nullptr);
    for (unsigned char b : buffer) ASSERT_EQ(b, 0x5A);
}

TEST(Fir, ChecksRunInOrderAndAnErrorWritesNothing) {
    const std::vector<float> taps = RandomFloats(8, 2);
    TestState single(taps, 1, 0, 1, 0);
    TestState multi(taps, 2, 1, 3, 2);
    struct Io {
        float src[64] = {};
        float dst[64];
        float delay[16];
        unsigned char buffer[32];
        FirState* state = reinterpret_cast<FirState*>(0x1234);
        LONG size = -1;
        LONG index = 3;
        float y = -5.0f;
        Io() {
            std::memset(dst, 0x5A, sizeof(dst));
            std::memset(delay, 0x5A, sizeof(delay));
            std::memset(buffer, 0x5A, sizeof(buffer));
        }
        bool Untouched(LONG wantIndex) const {
            Io fresh;
            return std::memcmp(dst, fresh.dst, sizeof(dst)) == 0 &&
                   std::memcmp(delay, fresh.delay, sizeof(delay)) == 0 &&
                   std::memcmp(buffer, fresh.buffer, sizeof(buffer)) == 0 && state == fresh.state && size == -1 &&
                   index == wantIndex && y == -5.0f;
        }
    };
    // Copies of real states with a broken tag or form.
    FirState badTag = *single.Get();
    badTag.tag = FirTagMultirate + 1;
    FirState badForm = *multi.Get();
    badForm.form = 4;
    const float* h = taps.data();
    struct Case {
        const char* what;
        SignalStatus want;
        std::function<SignalStatus(Io&)> call;
        LONG wantIndex = 3;
    };
    const Case cases[] = {
        {"size: pointer first", StatusNullPointer, [](Io&) { return FirGetStateSize(0, nullptr); }},
        {"size: taps", StatusBadTapsLength, [](Io& io) { return FirGetStateSize(0, &io.size); }},
        {"init: state pointer", StatusNullPointer,
         [&](Io& io) { return FirInitState(nullptr, h, 0, nullptr, io.buffer); }},
        {"init: taps", StatusNullPointer,
         [](Io& io) { return FirInitState(&io.state, nullptr, 8, nullptr, io.buffer); }},
        {"init: buffer before length", StatusNullPointer,
         [&](Io& io) { return FirInitState(&io.state, h, 0, nullptr, nullptr); }},
        {"init: length", StatusBadTapsLength,
         [&](Io& io) { return FirInitState(&io.state, h, -1, nullptr, io.buffer); }},
        {"multi size: pointer", StatusNullPointer, [](Io&) { return FirMultirateGetStateSize(0, 0, 0, nullptr); }},
        {"multi size: taps before factor", StatusBadTapsLength,
         [](Io& io) { return FirMultirateGetStateSize(0, 0, 0, &io.size); }},
        {"multi size: up factor", StatusBadFactor, [](Io& io) { return FirMultirateGetStateSize(8, 0, 1, &io.size); }},
        {"multi size: down factor", StatusBadFactor,
         [](Io& io) { return FirMultirateGetStateSize(8, 1, 0, &io.size); }},
        {"multi init: pointers", StatusNullPointer,
         [&](Io&) { return FirMultirateInitState(nullptr, h, 0, 0, 9, 0, 9, nullptr, nullptr); }},
        {"multi init: buffer", StatusNullPointer,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 0, 0, 9, 0, 9, nullptr, nullptr); }},
        {"multi init: taps length", StatusBadTapsLength,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 0, 0, 9, 0, 9, nullptr, io.buffer); }},
        {"multi init: factor before phase", StatusBadFactor,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 8, 2, 9, 0, 9, nullptr, io.buffer); }},
        {"multi init: up phase = U", StatusBadPhase,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 8, 2, 2, 1, 0, nullptr, io.buffer); }},
        {"multi init: down phase < 0", StatusBadPhase,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 8, 1, 0, 3, -1, nullptr, io.buffer); }},
        {"multi init: single rate keeps phases", StatusBadPhase,
         [&](Io& io) { return FirMultirateInitState(&io.state, h, 8, 1, 0, 1, 1, nullptr, io.buffer); }},
        {"block: state first", StatusNullPointer, [](Io&) { return FirFilterBlock(nullptr, nullptr, 0, nullptr); }},
        {"block: src", StatusNullPointer, [&](Io& io) { return FirFilterBlock(nullptr, io.dst, 0, single.Get()); }},
        {"block: dst", StatusNullPointer, [&](Io& io) { return FirFilterBlock(io.src, nullptr, 0, single.Get()); }},
        {"block: count before tag", StatusBadLength,
         [&](Io& io) { return FirFilterBlock(io.src, io.dst, 0, &badTag); }},
        {"block: tag", StatusBadTag, [&](Io& io) { return FirFilterBlock(io.src, io.dst, 4, &badTag); }},
        {"block: form", StatusBadTag, [&](Io& io) { return FirFilterBlock(io.src, io.dst, 4, &badForm); }},
        {"one sample: output", StatusNullPointer,
         [](Io&) { return FirFilterOneSample(1.0f, nullptr, nullptr, 0, nullptr, nullptr); }},
        {"one sample: taps", StatusNullPointer,
         [](Io& io) { return FirFilterOneSample(1.0f, &io.y, nullptr, 0, nullptr, nullptr); }},
        {"one sample: length before line", StatusBadTapsLength,
         [&](Io& io) { return FirFilterOneSample(1.0f, &io.y, h, 0, nullptr, nullptr); }},
        {"one sample: line", StatusNullPointer,
         [&](Io& io) { return FirFilterOneSample(1.0f, &io.y, h, 8, nullptr, &io.index); }},
        {"one sample: index pointer", StatusNullPointer,
         [&](Io& io) { return FirFilterOneSample(1.0f, &io.y, h, 8, io.delay, nullptr); }},
        // An index outside the line would write outside it.
        {"one sample: index = T", StatusBadPhase,
         [&](Io& io) {
             io.index = 8;
             return FirFilterOneSample(1.0f, &io.y, h, 8, io.delay, &io.index);
         },
         8},
        {"one sample: index < 0", StatusBadPhase,
         [&](Io& io) {
             io.index = -1;
             return FirFilterOneSample(1.0f, &io.y, h, 8, io.delay, &io.index);
         },
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Io io;
        EXPECT_EQ(c.call(io), c.want);
        EXPECT_TRUE(io.Untouched(c.wantIndex));
    }
}

TEST(Fir, KnownImpulseResponses) {
    struct Row {
        LONG up, upPhase, down, downPhase;
        std::vector<float> input, want;
    };
    const std::vector<float> h = {1, 2, 3};
    const Row rows[] = {
        {2, 0, 1, 0, {1, 0, 0}, {1, 2, 3, 0, 0, 0}},
        {2, 1, 1, 0, {1, 0, 0}, {0, 1, 2, 3, 0, 0}},
        {1, 0, 2, 1, {1, 0, 0, 0, 0, 0}, {2, 0, 0}},  // v[1], v[3], v[5] of 1, 2, 3, 0, 0, 0
        {1, 0, 1, 0, {1, 0, 0, 0}, {1, 2, 3, 0}},
    };
    for (const Row& row : rows) {
        TestState state(h, row.up, row.upPhase, row.down, row.downPhase);
        EXPECT_EQ(state.Run(row.input, {1000}), row.want);
    }
}

// Every multi-rate form, phase and split agrees bit for bit with the naive filter, including
// blocks longer than the delay line holds and an initial delay line.
TEST(Fir, MultirateMatchesTheNaiveFilterBitForBit) {
    struct Shape {
        LONG taps, up, down;
    };
    const Shape shapes[] = {
        {66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4},  // the rate stages (phase table)
        {7, 3, 2},  {13, 2, 3}, {40, 1, 3},                // phase table, fractional ratios
        {5, 1, 4},  {3, 1, 7},  {30, 1, 11},               // decimating polyphase
        {2, 7, 3},  {1, 2, 1},  {9, 5, 9},                 // general polyphase
    };
    const std::vector<std::vector<LONG>> splits = {{1, 3, 7}, {64}, {1000}, {5, 200, 2}};
    for (const Shape& shape : shapes) {
        const std::vector<float> taps = RandomFloats(shape.taps, 10 + shape.taps);
        const std::vector<float> x = RandomFloats(600 * shape.down, 20 + shape.down);
        const LONG history = (shape.taps + shape.up - 1) / shape.up;
        const std::vector<float> start = RandomFloats(history, 30);
        for (LONG upPhase = 0; upPhase < shape.up; upPhase += std::max(1, shape.up - 1)) {
            for (LONG downPhase = 0; downPhase < shape.down; downPhase += std::max(1, shape.down - 1)) {
                for (bool withHistory : {false, true}) {
                    const std::vector<float> initial = withHistory ? start : std::vector<float>{};
                    const std::vector<float> want =
                        NaiveFilter(taps, shape.up, upPhase, shape.down, downPhase, x, initial);
                    for (const std::vector<LONG>& split : splits) {
                        SCOPED_TRACE(testing::Message() << shape.taps << " taps, up " << shape.up << "/" << upPhase
                                                        << ", down " << shape.down << "/" << downPhase << ", split "
                                                        << split[0] << (withHistory ? ", with history" : ""));
                        TestState state(taps, shape.up, upPhase, shape.down, downPhase, initial);
                        EXPECT_EQ(Mismatches(state.Run(x, split), want), 0u);
                    }
                }
            }
        }
    }
}

// Direct single-rate paths (blocks below 512, or short filters at any length) are bit-exact.
TEST(Fir, SingleRateDirectPathsMatchTheNaiveFilterBitForBit) {
    const std::vector<std::vector<LONG>> splits = {{1, 3, 7}, {511}, {24, 100}, {9}};
    for (LONG taps : {1, 2, 3, 4, 5, 20, 24, 63, 64, 101}) {
        const std::vector<float> h = RandomFloats(taps, 40 + taps);
        const std::vector<float> x = RandomFloats(1533, 50);
        const std::vector<float> start = RandomFloats(taps, 60);
        for (bool withHistory : {false, true}) {
            const std::vector<float> initial = withHistory ? start : std::vector<float>{};
            const std::vector<float> want = NaiveFilter(h, 1, 0, 1, 0, x, initial);
            std::vector<std::vector<LONG>> runs = splits;
            if (taps < FirFftMinTaps) runs.push_back({1533});  // no FFT below 64 taps
            for (const std::vector<LONG>& split : runs) {
                SCOPED_TRACE(testing::Message()
                             << taps << " taps, split " << split[0] << (withHistory ? ", with history" : ""));
                TestState state(h, 1, 0, 1, 0, initial);
                EXPECT_EQ(Mismatches(state.Run(x, split), want), 0u);
            }
        }
    }
}

// Long blocks of long filters go through overlap-save: equal to the exact filter within rounding,
// and the history they leave lets the next (direct) block continue bit-exactly.
TEST(Fir, FftPathAgreesWithTheExactFilterAndHandsOverItsHistory) {
    for (LONG taps : {64, 101, 128, 300, 600, 1500}) {
        const std::vector<float> h = RandomFloats(taps, 70 + taps);
        double tapSum = 0.0;
        for (float v : h) tapSum += std::fabs(v);
        for (LONG block : {512, 700, 3000}) {
            SCOPED_TRACE(testing::Message() << taps << " taps, block " << block);
            const std::vector<float> x = RandomFloats(2 * block + 37, 80);
            TestState state(h, 1, 0, 1, 0);
            ASSERT_GT(state.Get()->fftLength, 0);
            const std::vector<float> y = state.Run(x, {block, block, 37});
            // Exact sums in double for the FFT-path blocks, the naive float filter for the tail.
            const std::vector<float> exact = NaiveFilter(h, 1, 0, 1, 0, x);
            double worst = 0.0;
            for (LONG i = 0; i < 2 * block; ++i) {
                double sum = 0.0;
                for (LONG j = 0; j < taps && j <= i; ++j) sum += double(h[j]) * double(x[i - j]);
                worst = std::max(worst, std::fabs(y[i] - sum));
            }
            EXPECT_LT(worst, 2e-6 * tapSum);
            EXPECT_EQ(Mismatches(std::vector<float>(y.begin() + 2 * block, y.end()),
                                 std::vector<float>(exact.begin() + 2 * block, exact.end())),
                      0u);
        }
    }
}

// A state fits exactly its reported size wherever the buffer starts, gives the same bits at every
// offset, and laying it out again restarts its history.
TEST(Fir, StatesFitExactSizeBuffersAtEveryOffset) {
    struct Shape {
        LONG taps, up, down;
        std::vector<LONG> split;
    };
    const Shape shapes[] = {
        {20, 1, 1, {1, 30}},       {24, 1, 1, {29}},          {64, 1, 1, {512, 3}},
        {1500, 1, 1, {600, 2100}}, {5000, 1, 1, {512, 1600}},  // an FFT with a work buffer inside the state
        {66, 2, 1, {7, 200}},      {66, 1, 2, {300, 1}},      {132, 4, 1, {100}},
        {132, 1, 4, {64, 250}},    {5, 1, 4, {3, 90}},        {2, 7, 3, {11, 90}},
    };
    for (const Shape& shape : shapes) {
        const std::vector<float> taps = RandomFloats(shape.taps, 90);
        const std::vector<float> x = RandomFloats(size_t(700) * shape.down, 91);
        std::vector<float> first;
        for (size_t offset = 0; offset < 16; ++offset) {
            SCOPED_TRACE(testing::Message()
                         << shape.taps << " taps, up " << shape.up << ", down " << shape.down << ", offset " << offset);
            TestState state(taps, shape.up, shape.up - 1, shape.down, shape.down - 1, {}, offset);
            const auto address = reinterpret_cast<uintptr_t>(state.Get());
            EXPECT_EQ(address % 16, 0u);
            EXPECT_LT(address - reinterpret_cast<uintptr_t>(state.Buffer().As<void>()), 16u);
            const std::vector<float> y = state.Run(x, shape.split);
            if (first.empty()) first = y;
            EXPECT_EQ(Mismatches(y, first), 0u);
            EXPECT_TRUE(state.Buffer().Intact());
            if (offset == 15) {
                FirState* again = nullptr;
                ASSERT_EQ(FirMultirateInitState(&again, taps.data(), shape.taps, shape.up, shape.up - 1, shape.down,
                                                shape.down - 1, nullptr, state.Buffer().As<void>()),
                          StatusOk);
                EXPECT_EQ(again, state.Get());
                EXPECT_EQ(Mismatches(state.Run(x, shape.split), first), 0u);
            }
        }
    }
}

// One output per call over a doubled circular line: products in single precision, summed in
// double from the oldest sample, rounded once.
TEST(Fir, OneSampleFilterSumsInDoubleOverTheCircularLine) {
    for (LONG taps : {1, 2, 20, 24}) {
        SCOPED_TRACE(taps);
        const std::vector<float> h = RandomFloats(taps, 100 + taps);
        const std::vector<float> x = RandomFloats(100, 101);
        std::vector<float> line(2 * taps, 0.0f);
        std::vector<float> recent(taps, 0.0f);  // oldest first
        LONG index = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            float y = -1.0f;
            ASSERT_EQ(FirFilterOneSample(x[i], &y, h.data(), taps, line.data(), &index), StatusOk);
            recent.erase(recent.begin());
            recent.push_back(x[i]);
            double sum = 0.0;
            for (LONG k = 0; k < taps; ++k) sum += static_cast<double>(h[taps - 1 - k] * recent[k]);
            ASSERT_EQ(Bits(y), Bits(static_cast<float>(sum))) << "sample " << i;
            ASSERT_EQ(index, static_cast<LONG>((i + 1) % taps));
        }
    }
    float line[2] = {0.0f, 0.0f};
    const float h = 1.5f;
    LONG index = 0;
    float y = 0.0f;
    ASSERT_EQ(FirFilterOneSample(3.0f, &y, &h, 1, line, &index), StatusOk);
    EXPECT_EQ(y, 4.5f);
    EXPECT_EQ(line[0], 3.0f);
    EXPECT_EQ(line[1], 3.0f);
    EXPECT_EQ(index, 0);
}

}  // namespace
