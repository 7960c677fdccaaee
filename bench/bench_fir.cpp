// Multi-rate FIR of the driver's rate stages (x2 and x4, up and down, 66 and 132 taps) beside
// liquid-dsp's polyphase interpolator and decimator with the same taps on the same data. Items are
// output samples. Each benchmark reports "max_diff": the largest difference between the two
// libraries' outputs on the benchmark's input. Both sum every output in single precision, oldest
// sample first, so the outputs agree bit for bit (max_diff 0); a difference means a fault.
// The peer is a scalar build: Debian's liquid-dsp is compiled without its SIMD kernels (its dot
// product is the portable C loop), so the ratio shows our vector code against scalar code, not
// against liquid-dsp's best.
#include <benchmark/benchmark.h>

#include <liquid/liquid.h>

#include "driver/signal/Fir.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr LONG kOutputsPerCall = 512;

// Windowed-sinc low-pass for a rate change by `factor`: symmetric, `taps` long.
std::vector<float> LowPass(LONG taps, LONG factor) {
    std::vector<float> h(taps);
    const double cutoff = 0.45 / factor;  // of the high rate
    for (LONG k = 0; k < taps; ++k) {
        const double t = k - (taps - 1) / 2.0;
        const double sinc = t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * t) / (kPi * t);
        const double window =
            0.42 - 0.5 * std::cos(2.0 * kPi * k / (taps - 1)) + 0.08 * std::cos(4.0 * kPi * k / (taps - 1));
        h[k] = static_cast<float>(sinc * window);
    }
    return h;
}

std::vector<float> Signal(size_t n) {
    std::mt19937 rng(777);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}

struct Stage {
    LONG taps;
    LONG up;
    LONG down;
    LONG Inputs() const { return kOutputsPerCall / up * down; }
};

Stage StageOf(const benchmark::State& state) {
    return {static_cast<LONG>(state.range(0)), static_cast<LONG>(state.range(1)), static_cast<LONG>(state.range(2))};
}

// One call of the library's filter on the benchmark block, from a fresh state.
class KvStage {
public:
    explicit KvStage(const Stage& stage) : m_Stage(stage) {
        const std::vector<float> h = LowPass(stage.taps, std::max(stage.up, stage.down));
        LONG size = 0;
        FirMultirateGetStateSize(stage.taps, stage.up, stage.down, &size);
        m_Buffer.resize(size);
        // Phases 0, as the rate stages use them; liquid-dsp's filters line up with that.
        FirMultirateInitState(&m_State, h.data(), stage.taps, stage.up, 0, stage.down, 0, nullptr, m_Buffer.data());
    }
    void Run(const float* x, float* y) { FirFilterBlock(x, y, kOutputsPerCall / m_Stage.up, m_State); }

private:
    Stage m_Stage;
    std::vector<unsigned char> m_Buffer;
    FirState* m_State = nullptr;
};

class LiquidStage {
public:
    explicit LiquidStage(const Stage& stage) : m_Stage(stage) {
        std::vector<float> h = LowPass(stage.taps, std::max(stage.up, stage.down));
        if (stage.up > 1) {
            m_Interp = firinterp_rrrf_create(stage.up, h.data(), stage.taps);
        } else {
            m_Decim = firdecim_rrrf_create(stage.down, h.data(), stage.taps);
        }
    }
    ~LiquidStage() {
        if (m_Interp != nullptr) firinterp_rrrf_destroy(m_Interp);
        if (m_Decim != nullptr) firdecim_rrrf_destroy(m_Decim);
    }
    void Run(float* x, float* y) {
        if (m_Interp != nullptr) {
            firinterp_rrrf_execute_block(m_Interp, x, kOutputsPerCall / m_Stage.up, y);
        } else {
            firdecim_rrrf_execute_block(m_Decim, x, kOutputsPerCall, y);
        }
    }

private:
    Stage m_Stage;
    firinterp_rrrf m_Interp = nullptr;
    firdecim_rrrf m_Decim = nullptr;
};

double MaxDifference(const Stage& stage, const std::vector<float>& x) {
    KvStage kv(stage);
    LiquidStage liquid(stage);
    std::vector<float> input = x, a(kOutputsPerCall), b(kOutputsPerCall);
    kv.Run(input.data(), a.data());
    liquid.Run(input.data(), b.data());
    double worst = 0.0;
    for (LONG i = 0; i < kOutputsPerCall; ++i) worst = std::max(worst, double(std::fabs(a[i] - b[i])));
    return worst;
}

void BM_MultirateFir_KV(benchmark::State& state) {
    const Stage stage = StageOf(state);
    const std::vector<float> x = Signal(stage.Inputs());
    std::vector<float> y(kOutputsPerCall);
    KvStage kv(stage);
    for (auto _ : state) {
        kv.Run(x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kOutputsPerCall);
    state.counters["max_diff"] = MaxDifference(stage, x);
}

void BM_MultirateFir_Liquid(benchmark::State& state) {
    const Stage stage = StageOf(state);
    std::vector<float> x = Signal(stage.Inputs());
    std::vector<float> y(kOutputsPerCall);
    LiquidStage liquid(stage);
    for (auto _ : state) {
        liquid.Run(x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kOutputsPerCall);
    state.counters["max_diff"] = MaxDifference(stage, x);
}

// (taps, up, down): x2 up, x2 down, x4 up, x4 down.
void Stages(benchmark::internal::Benchmark* b) {
    b->ArgNames({"taps", "up", "down"});
    b->Args({66, 2, 1})->Args({66, 1, 2})->Args({132, 4, 1})->Args({132, 1, 4});
}

BENCHMARK(BM_MultirateFir_KV)->Apply(Stages);
BENCHMARK(BM_MultirateFir_Liquid)->Apply(Stages);

}  // namespace

BENCHMARK_MAIN();
