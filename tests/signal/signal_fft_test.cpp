// Real FFT: sizes, argument checks, accuracy against an independent double-precision transform,
// the packed layout, the scaling flags, in place and out of place, work buffers and exact-size memory.
#include "signal_test_util.h"
#include "support/pool_faults.h"

#include "driver/signal/RealFft.h"
#include "driver/signal/SignalMemory.h"

#include <sim/pool.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

using namespace sigtest;

namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;
constexpr LONG kFlags[] = {RealFftScaleForward, RealFftScaleInverse, RealFftScaleSqrt, RealFftNoScale};

// Reference transform in double with twiddles from std::polar: a direct sum for short lengths,
// recursive radix-2 halving for long ones. sign -1 is the forward transform.
std::vector<Complex> ReferenceDft(const std::vector<Complex>& x, int sign) {
    const size_t n = x.size();
    std::vector<Complex> out(n);
    if (n <= 64) {
        for (size_t k = 0; k < n; ++k) {
            Complex sum = 0.0;
            for (size_t j = 0; j < n; ++j)
                sum += x[j] * std::polar(1.0, sign * 2.0 * kPi * double(k * j % n) / double(n));
            out[k] = sum;
        }
        return out;
    }
    std::vector<Complex> even(n / 2), odd(n / 2);
    for (size_t j = 0; j < n / 2; ++j) {
        even[j] = x[2 * j];
        odd[j] = x[2 * j + 1];
    }
    const std::vector<Complex> e = ReferenceDft(even, sign);
    const std::vector<Complex> o = ReferenceDft(odd, sign);
    for (size_t k = 0; k < n / 2; ++k) {
        const Complex t = std::polar(1.0, sign * 2.0 * kPi * double(k) / double(n)) * o[k];
        out[k] = e[k] + t;
        out[k + n / 2] = e[k] - t;
    }
    return out;
}

// The library's packing of a real signal's spectrum: X[0], X[N/2], then (Re, Im) of X[1..N/2-1].
std::vector<double> Pack(const std::vector<Complex>& spectrum) {
    const size_t n = spectrum.size();
    std::vector<double> packed(n);
    packed[0] = spectrum[0].real();
    if (n == 1) return packed;
    packed[1] = spectrum[n / 2].real();
    for (size_t k = 1; k < n / 2; ++k) {
        packed[2 * k] = spectrum[k].real();
        packed[2 * k + 1] = spectrum[k].imag();
    }
    return packed;
}

// The full conjugate-symmetric spectrum behind a packed one.
std::vector<Complex> Unpack(const std::vector<float>& packed) {
    const size_t n = packed.size();
    std::vector<Complex> spectrum(n);
    spectrum[0] = packed[0];
    if (n == 1) return spectrum;
    spectrum[n / 2] = packed[1];
    for (size_t k = 1; k < n / 2; ++k) {
        spectrum[k] = Complex(packed[2 * k], packed[2 * k + 1]);
        spectrum[n - k] = std::conj(spectrum[k]);
    }
    return spectrum;
}

double RelativeRmsError(const float* got, const std::vector<double>& want) {
    double error = 0.0, norm = 0.0;
    for (size_t i = 0; i < want.size(); ++i) {
        error += (got[i] - want[i]) * (got[i] - want[i]);
        norm += want[i] * want[i];
    }
    return std::sqrt(error / norm);
}

double ForwardFactor(LONG flag, double n) {
    return flag == RealFftScaleForward ? 1.0 / n : flag == RealFftScaleSqrt ? 1.0 / std::sqrt(n) : 1.0;
}
double InverseFactor(LONG flag, double n) {
    return flag == RealFftScaleInverse ? 1.0 / n : flag == RealFftScaleSqrt ? 1.0 / std::sqrt(n) : 1.0;
}

std::vector<float> RandomFloats(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// A RealFftSpec laid out in test-owned memory, with its work buffer.
class TestSpec {
public:
    TestSpec(LONG order, LONG flag) {
        LONG specSize = 0, initSize = 0, workSize = 0;
        EXPECT_EQ(RealFftGetSpecSize(order, flag, 0, &specSize, &initSize, &workSize), StatusOk);
        m_Memory.resize(specSize);
        m_Init.resize(initSize + 1);
        m_Work.resize(workSize + 1);
        EXPECT_EQ(RealFftInitSpec(&m_Spec, order, flag, 0, m_Memory.data(), m_Init.data()), StatusOk);
    }
    const RealFftSpec* Get() const { return m_Spec; }
    void* Work() { return m_Work.data(); }

private:
    std::vector<unsigned char> m_Memory, m_Init, m_Work;
    RealFftSpec* m_Spec = nullptr;
};

TEST(RealFft, SizesFollowTheOrderAndOverflowIsRefused) {
    struct Row {
        LONG order;
        SignalStatus status;
        LONG spec, init, work;
    };
    const Row rows[] = {
        {0, StatusOk, 168, 0, 0},
        {3, StatusOk, 168, 0, 0},
        {4, StatusOk, 384, 0, 0},
        {8, StatusOk, 2432, 0, 0},
        {10, StatusOk, 8960, 0, 0},
        {11, StatusOk, 17664, 2112, 0},
        {12, StatusOk, 30976, 4160, 0},
        {13, StatusOk, 53504, 8256, 0},
        {14, StatusOk, 141856, 17536, 1056},
        {20, StatusOk, 8925472, 1082464, 32800},
        {24, StatusOk, 142873920, 16790016, 8224},
        {27, StatusOk, 1141387584, 134260096, 32800},
        // From order 28 the RealFftSpec no longer fits 31 bits: refused, never truncated.
        {28, StatusNoMemory, -1, -1, -1},
        {30, StatusNoMemory, -1, -1, -1},
    };
    for (const Row& row : rows) {
        for (LONG flag : kFlags) {
            SCOPED_TRACE(testing::Message() << "order " << row.order << " flag " << flag);
            LONG spec = -1, init = -1, work = -1;
            EXPECT_EQ(RealFftGetSpecSize(row.order, flag, 0, &spec, &init, &work), row.status);
            EXPECT_EQ(spec, row.spec);
            EXPECT_EQ(init, row.init);
            EXPECT_EQ(work, row.work);
        }
    }
    RealFftSpec* spec = nullptr;
    unsigned char memory[256];
    EXPECT_EQ(RealFftInitSpec(&spec, 29, RealFftScaleInverse, 0, memory, memory), StatusNoMemory);
    EXPECT_EQ(RealFftCreateSpec(&spec, 30, RealFftScaleInverse, 0), StatusNoMemory);
    EXPECT_EQ(spec, nullptr);
}

// Every check in its order; an error leaves the RealFftSpec memory, *ppSpec and the data alone.
TEST(RealFft, ChecksRunInOrderAndAnErrorWritesNothing) {
    TestSpec valid(4, RealFftScaleInverse);
    struct Io {
        unsigned char memory[512];
        unsigned char init[64];
        float data[16];
        float out[16];
        RealFftSpec* spec = reinterpret_cast<RealFftSpec*>(0x1234);
        LONG a = -1, b = -1, c = -1;
        Io() {
            std::memset(memory, 0x5A, sizeof(memory));
            std::memset(init, 0x5A, sizeof(init));
            std::memset(data, 0x5A, sizeof(data));
            std::memset(out, 0x5A, sizeof(out));
        }
        bool Untouched() const {
            Io fresh;
            return std::memcmp(memory, fresh.memory, sizeof(memory)) == 0 &&
                   std::memcmp(init, fresh.init, sizeof(init)) == 0 &&
                   std::memcmp(data, fresh.data, sizeof(data)) == 0 && std::memcmp(out, fresh.out, sizeof(out)) == 0 &&
                   spec == fresh.spec && a == -1 && b == -1 && c == -1;
        }
    };
    const RealFftSpec* good = valid.Get();
    RealFftSpec dead = *good;
    dead.tag = 0;
    struct Case {
        const char* what;
        SignalStatus want;
        std::function<SignalStatus(Io&)> call;
    };
    const Case cases[] = {
        {"size: order before pointers", StatusBadFftOrder,
         [](Io&) { return RealFftGetSpecSize(-1, 3, 0, nullptr, nullptr, nullptr); }},
        {"size: order 31", StatusBadFftOrder, [](Io& io) { return RealFftGetSpecSize(31, 2, 0, &io.a, &io.b, &io.c); }},
        {"size: pointer before flag", StatusNullPointer,
         [](Io& io) { return RealFftGetSpecSize(4, 3, 0, &io.a, nullptr, &io.c); }},
        {"size: flag 3", StatusBadFftFlag, [](Io& io) { return RealFftGetSpecSize(4, 3, 0, &io.a, &io.b, &io.c); }},
        {"size: flag 0", StatusBadFftFlag, [](Io& io) { return RealFftGetSpecSize(0, 0, 0, &io.a, &io.b, &io.c); }},
        {"init: ppSpec before order", StatusNullPointer,
         [](Io& io) { return RealFftInitSpec(nullptr, 99, 3, 0, io.memory, io.init); }},
        {"init: order before memory", StatusBadFftOrder,
         [](Io& io) { return RealFftInitSpec(&io.spec, 31, 3, 0, nullptr, io.init); }},
        {"init: memory before flag", StatusNullPointer,
         [](Io& io) { return RealFftInitSpec(&io.spec, 4, 3, 0, nullptr, io.init); }},
        {"init: flag 3 writes no tag", StatusBadFftFlag,
         [](Io& io) { return RealFftInitSpec(&io.spec, 4, 3, 0, io.memory, io.init); }},
        {"init: order 11 needs a set-up buffer", StatusNullPointer,
         [](Io& io) { return RealFftInitSpec(&io.spec, 11, 2, 0, io.memory, nullptr); }},
        {"create: ppSpec first", StatusNullPointer, [](Io&) { return RealFftCreateSpec(nullptr, -1, 3, 0); }},
        {"create: order", StatusBadFftOrder, [](Io& io) { return RealFftCreateSpec(&io.spec, -1, 3, 0); }},
        {"create: flag", StatusBadFftFlag, [](Io& io) { return RealFftCreateSpec(&io.spec, 5, 16, 0); }},
        {"free: null", StatusNullPointer, [](Io&) { return RealFftFreeSpec(nullptr); }},
        {"free: no tag", StatusBadTag, [&](Io&) { return RealFftFreeSpec(&dead); }},
        {"forward: RealFftSpec before data", StatusNullPointer,
         [](Io&) { return RealFftForward(nullptr, nullptr, nullptr, nullptr); }},
        {"forward: tag before data", StatusBadTag,
         [&](Io&) { return RealFftForward(nullptr, nullptr, &dead, nullptr); }},
        {"forward: src", StatusNullPointer, [&](Io& io) { return RealFftForward(nullptr, io.out, good, nullptr); }},
        {"forward: dst", StatusNullPointer, [&](Io& io) { return RealFftForward(io.data, nullptr, good, nullptr); }},
        {"inverse: tag", StatusBadTag, [&](Io& io) { return RealFftInverse(io.data, io.out, &dead, nullptr); }},
        {"inverse: dst", StatusNullPointer, [&](Io& io) { return RealFftInverse(io.data, nullptr, good, nullptr); }},
        {"forward in place: RealFftSpec", StatusNullPointer,
         [](Io& io) { return RealFftForwardInPlace(io.data, nullptr, nullptr); }},
        {"forward in place: tag", StatusBadTag, [&](Io&) { return RealFftForwardInPlace(nullptr, &dead, nullptr); }},
        {"forward in place: data", StatusNullPointer,
         [&](Io&) { return RealFftForwardInPlace(nullptr, good, nullptr); }},
        {"inverse in place: tag", StatusBadTag, [&](Io& io) { return RealFftInverseInPlace(io.data, &dead, nullptr); }},
        {"inverse in place: data", StatusNullPointer,
         [&](Io&) { return RealFftInverseInPlace(nullptr, good, nullptr); }},
        {"multiply: a", StatusNullPointer, [](Io& io) { return mulPackedSpectrum(nullptr, io.out, 0); }},
        {"multiply: b", StatusNullPointer, [](Io& io) { return mulPackedSpectrum(io.data, nullptr, 4); }},
        {"multiply: n", StatusBadLength, [](Io& io) { return mulPackedSpectrum(io.data, io.out, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Io io;
        EXPECT_EQ(c.call(io), c.want);
        EXPECT_TRUE(io.Untouched());
    }
    EXPECT_EQ(dead.tag, 0);
}

// Forward and inverse against the double-precision reference for every order up to 16, every
// flag, in place and out of place.
TEST(RealFft, MatchesTheDoublePrecisionTransform) {
    for (LONG order = 0; order <= 16; ++order) {
        const size_t n = size_t{1} << order;
        const std::vector<float> signal = RandomFloats(n, 100 + order);
        const std::vector<float> spectrum = RandomFloats(n, 200 + order);
        std::vector<Complex> complexSignal(signal.begin(), signal.end());
        const std::vector<double> forwardWant = Pack(ReferenceDft(complexSignal, -1));
        const std::vector<Complex> backward = ReferenceDft(Unpack(spectrum), +1);
        for (LONG flag : kFlags) {
            TestSpec spec(order, flag);
            std::vector<double> fwd(n), inv(n);
            for (size_t i = 0; i < n; ++i) {
                fwd[i] = forwardWant[i] * ForwardFactor(flag, double(n));
                inv[i] = backward[i].real() * InverseFactor(flag, double(n));
            }
            for (bool inPlace : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "order " << order << " flag " << flag << (inPlace ? " in place" : ""));
                std::vector<float> out(n, -7.0f), buffer;
                if (inPlace) {
                    buffer = signal;
                    ASSERT_EQ(RealFftForwardInPlace(buffer.data(), spec.Get(), spec.Work()), StatusOk);
                } else {
                    ASSERT_EQ(RealFftForward(signal.data(), out.data(), spec.Get(), spec.Work()), StatusOk);
                    buffer = out;
                }
                EXPECT_LT(RelativeRmsError(buffer.data(), fwd), 1e-6);
                if (inPlace) {
                    buffer = spectrum;
                    ASSERT_EQ(RealFftInverseInPlace(buffer.data(), spec.Get(), spec.Work()), StatusOk);
                } else {
                    ASSERT_EQ(RealFftInverse(spectrum.data(), out.data(), spec.Get(), spec.Work()), StatusOk);
                    buffer = out;
                }
                EXPECT_LT(RelativeRmsError(buffer.data(), inv), 1e-6);
            }
        }
    }
}

// Large orders, up to the two-level plans: sampled bins of the forward transform and sampled
// samples of the inverse against direct double sums.
TEST(RealFft, LargeOrdersMatchDirectSumsAtSampledPoints) {
    for (LONG order : {18, 20, 22, 24}) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        TestSpec spec(order, RealFftScaleInverse);
        const std::vector<float> signal = RandomFloats(n, 800 + order);
        std::vector<float> x = signal;
        ASSERT_EQ(RealFftForwardInPlace(x.data(), spec.Get(), spec.Work()), StatusOk);
        std::mt19937 rng(order);
        double worst = 0.0;
        for (int sample = 0; sample < 4; ++sample) {
            const size_t k = 1 + rng() % (n / 2 - 1);
            // Direct sum with the twiddle advanced by a long-double rotation, re-anchored every
            // 1024 steps.
            using Wide = std::complex<long double>;
            const Wide step = std::polar(1.0L, -2.0L * kPi * static_cast<long double>(k) / static_cast<long double>(n));
            Wide w, want = 0.0L;
            for (size_t j = 0; j < n; ++j) {
                if (j % 1024 == 0)
                    w = std::polar(1.0L,
                                   -2.0L * kPi * static_cast<long double>(k * j % n) / static_cast<long double>(n));
                want += static_cast<long double>(signal[j]) * w;
                w *= step;
            }
            worst = std::max(worst, double(std::abs(Wide(x[2 * k], x[2 * k + 1]) - want)));
        }
        // Bins of this signal have an RMS size of sqrt(n / 3); the bound is ten times the error that
        // single-precision rounding leaves.
        EXPECT_LT(worst, 2e-6 * std::sqrt(double(n) / 3.0));

        // Inverse of that spectrum: the signal back, checked at sampled points and in full.
        ASSERT_EQ(RealFftInverseInPlace(x.data(), spec.Get(), spec.Work()), StatusOk);
        std::vector<double> want(signal.begin(), signal.end());
        EXPECT_LT(RelativeRmsError(x.data(), want), 1e-6);
    }
}

TEST(RealFft, KnownSpectraComeOutExactlyInThePackedLayout) {
    TestSpec order2(2, RealFftNoScale);
    float ramp[4] = {1, 2, 3, 4};
    ASSERT_EQ(RealFftForwardInPlace(ramp, order2.Get(), nullptr), StatusOk);
    EXPECT_EQ(std::vector<float>(ramp, ramp + 4), (std::vector<float>{10, -2, -2, 2}));

    // An impulse at n = 0 has a flat spectrum: 1, 1, then (1, 0) pairs.
    for (LONG order = 0; order <= 13; ++order) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        TestSpec spec(order, RealFftNoScale);
        std::vector<float> x(n, 0.0f);
        x[0] = 1.0f;
        ASSERT_EQ(RealFftForwardInPlace(x.data(), spec.Get(), spec.Work()), StatusOk);
        for (size_t i = 0; i < n; ++i) {
            const float want = (i < 2 || i % 2 == 0) ? 1.0f : 0.0f;
            ASSERT_EQ(x[i], want) << "at " << i;
        }
    }
}

// Forward then inverse: flags 1, 2 and 4 give the input back, flag 8 gives N times it.
TEST(RealFft, RoundTripGainFollowsTheFlag) {
    for (LONG order : {0, 1, 2, 3, 4, 9, 10, 11, 12, 15}) {
        const size_t n = size_t{1} << order;
        const std::vector<float> signal = RandomFloats(n, 300 + order);
        for (LONG flag : kFlags) {
            SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
            TestSpec spec(order, flag);
            std::vector<float> x = signal;
            ASSERT_EQ(RealFftForwardInPlace(x.data(), spec.Get(), spec.Work()), StatusOk);
            ASSERT_EQ(RealFftInverseInPlace(x.data(), spec.Get(), spec.Work()), StatusOk);
            const double gain = flag == RealFftNoScale ? double(n) : 1.0;
            std::vector<double> want(signal.begin(), signal.end());
            for (double& w : want) w *= gain;
            EXPECT_LT(RelativeRmsError(x.data(), want), 1e-6);
        }
    }
}

// The RealFftSpec, its set-up buffer and the work buffer each fit exactly their reported sizes
// wherever they start; the transform gives the same bits with every placement.
TEST(RealFft, MemoryOfExactlyTheReportedSizeSufficesAtEveryOffset) {
    for (LONG order : {0, 3, 4, 7, 10, 11, 12, 14}) {
        const size_t n = size_t{1} << order;
        LONG specSize = 0, initSize = 0, workSize = 0;
        ASSERT_EQ(RealFftGetSpecSize(order, RealFftScaleSqrt, 0, &specSize, &initSize, &workSize), StatusOk);
        const std::vector<float> signal = RandomFloats(n, 400 + order);
        std::vector<float> first;
        for (size_t offset = 0; offset < 16; ++offset) {
            SCOPED_TRACE(testing::Message() << "order " << order << " offset " << offset);
            ExactBuffer memory(specSize, offset), init(initSize, offset), work(workSize, offset);
            RealFftSpec* spec = nullptr;
            ASSERT_EQ(RealFftInitSpec(&spec, order, RealFftScaleSqrt, 0, memory.As<void>(),
                                      initSize > 0 ? init.As<void>() : nullptr),
                      StatusOk);
            EXPECT_LE(reinterpret_cast<unsigned char*>(spec) + sizeof(RealFftSpec),
                      memory.As<unsigned char>() + specSize);
            std::vector<float> x = signal;
            ASSERT_EQ(RealFftForwardInPlace(x.data(), spec, workSize > 0 ? work.As<void>() : nullptr), StatusOk);
            ASSERT_EQ(RealFftInverseInPlace(x.data(), spec, workSize > 0 ? work.As<void>() : nullptr), StatusOk);
            if (first.empty()) first = x;
            EXPECT_EQ(std::memcmp(x.data(), first.data(), n * sizeof(float)), 0);
            EXPECT_TRUE(memory.Intact() && init.Intact() && work.Intact());
        }
    }
}

// Without a caller work buffer a large order allocates one for the call; when that fails the
// transform answers StatusNoMemory and leaves its output alone.
TEST(RealFft, MissingWorkBufferIsAllocatedPerCall) {
    constexpr LONG kOrder = 14;
    const size_t n = size_t{1} << kOrder;
    TestSpec spec(kOrder, RealFftScaleInverse);
    ASSERT_GT(spec.Get()->workSize, 0);
    const std::vector<float> signal = RandomFloats(n, 500);
    std::vector<float> withBuffer(n), allocated(n);
    ASSERT_EQ(RealFftForward(signal.data(), withBuffer.data(), spec.Get(), spec.Work()), StatusOk);
    const uint64_t before = sim::pool::AllocationAttempts();
    ASSERT_EQ(RealFftForward(signal.data(), allocated.data(), spec.Get(), nullptr), StatusOk);
    EXPECT_EQ(sim::pool::AllocationAttempts(), before + 1);
    EXPECT_EQ(withBuffer, allocated);

    std::vector<float> untouched(n, 3.0f);
    sim::pool::FailNthAllocation(1, SignalPoolTag);
    EXPECT_EQ(RealFftInverse(signal.data(), untouched.data(), spec.Get(), nullptr), StatusNoMemory);
    sim::pool::DisarmFaults();
    EXPECT_EQ(untouched, std::vector<float>(n, 3.0f));

    // Orders up to 11 never allocate per transform.
    TestSpec small(11, RealFftScaleInverse);
    const uint64_t beforeSmall = sim::pool::AllocationAttempts();
    std::vector<float> x = RandomFloats(2048, 501);
    ASSERT_EQ(RealFftForwardInPlace(x.data(), small.Get(), nullptr), StatusOk);
    EXPECT_EQ(sim::pool::AllocationAttempts(), beforeSmall);
}

TEST(RealFft, CreatedTransformsAreOwnedAndFreedCleanly) {
    for (LONG order : {2, 10, 11, 14}) {
        SCOPED_TRACE(order);
        kvtest::ExpectCleanAllocationFailures(
            [order] {
                const uint64_t blocksBefore = sim::pool::TagUsage(SignalPoolTag).blocks;
                RealFftSpec* spec = nullptr;
                if (RealFftCreateSpec(&spec, order, RealFftScaleInverse, 7) != StatusOk) return false;
                EXPECT_EQ(spec->tag, RealFftSpecTag);
                EXPECT_EQ(spec->owned, 1);
                EXPECT_EQ(spec->hint, 7);
                // Only the RealFftSpec stays allocated; the set-up buffer is gone.
                EXPECT_EQ(sim::pool::TagUsage(SignalPoolTag).blocks, blocksBefore + 1);
                EXPECT_EQ(RealFftFreeSpec(spec), StatusOk);
                return true;
            },
            SignalPoolTag);
    }
    // A RealFftSpec in caller memory is invalidated, not freed.
    TestSpec mine(5, RealFftNoScale);
    RealFftSpec* spec = const_cast<RealFftSpec*>(mine.Get());
    EXPECT_EQ(RealFftFreeSpec(spec), StatusOk);
    EXPECT_EQ(spec->tag, 0);
    EXPECT_EQ(RealFftFreeSpec(spec), StatusBadTag);
}

TEST(RealFft, PackedSpectraMultiplyAsComplexBins) {
    for (LONG n : {1, 2, 3, 8, 9, 16, 17, 64}) {
        SCOPED_TRACE(n);
        const std::vector<float> a = RandomFloats(n, 600 + n);
        const std::vector<float> b0 = RandomFloats(n, 700 + n);
        std::vector<float> b = b0;
        ASSERT_EQ(mulPackedSpectrum(a.data(), b.data(), n), StatusOk);
        std::vector<float> want = b0;
        want[0] = a[0] * b0[0];
        LONG first = 1;
        if (n % 2 == 0) {
            want[1] = a[1] * b0[1];
            first = 2;
        }
        for (LONG i = first; i + 1 < n; i += 2) {
            const std::complex<float> product =
                std::complex<float>(a[i], a[i + 1]) * std::complex<float>(b0[i], b0[i + 1]);
            want[i] = a[i] * b0[i] - a[i + 1] * b0[i + 1];
            want[i + 1] = a[i] * b0[i + 1] + a[i + 1] * b0[i];
            EXPECT_NEAR(want[i], product.real(), 1e-6f);
        }
        EXPECT_EQ(b, want);
    }
}

}  // namespace
