// Real FFT of 2^8 .. 2^14 points beside FFTW (single precision, real to complex, measured plan) and
// KissFFT on the same data, out of place. Orders 8..11 run the in-cache path, 12..14 the large-order
// path. Our transform gets its work buffer from the caller, as the FFT user in the driver does, so
// the time is the transform's and no allocation's. Each benchmark also reports the relative RMS
// error of its spectrum against a double-precision DFT of the same input (counter "rel_err").
#include <benchmark/benchmark.h>

#include <fftw3.h>
#include <kiss_fftr.h>

#include "driver/signal/RealFft.h"

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> Signal(size_t n) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}

// Bins 0..N/2 of the DFT of x, summed in long double from a table of the N roots of unity, each
// computed directly in long double.
std::vector<std::complex<double>> ExactSpectrum(const std::vector<float>& x) {
    const size_t n = x.size();
    std::vector<long double> cosine(n), sine(n);
    for (size_t j = 0; j < n; ++j) {
        const long double angle = -2.0L * kPi * static_cast<long double>(j) / static_cast<long double>(n);
        cosine[j] = std::cos(angle);
        sine[j] = std::sin(angle);
    }
    std::vector<std::complex<double>> bins(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) {
        long double re = 0.0L, im = 0.0L;
        for (size_t j = 0, at = 0; j < n; ++j) {
            re += x[j] * cosine[at];
            im += x[j] * sine[at];
            at += k;
            if (at >= n) at -= n;
        }
        bins[k] = {static_cast<double>(re), static_cast<double>(im)};
    }
    return bins;
}

double RelativeError(const std::vector<std::complex<double>>& got, const std::vector<std::complex<double>>& want) {
    double error = 0.0, norm = 0.0;
    for (size_t k = 0; k < want.size(); ++k) {
        error += std::norm(got[k] - want[k]);
        norm += std::norm(want[k]);
    }
    return std::sqrt(error / norm);
}

void BM_RealFft_KV(benchmark::State& state) {
    const LONG order = static_cast<LONG>(state.range(0));
    const size_t n = size_t{1} << order;
    LONG specSize = 0, initSize = 0, workSize = 0;
    RealFftGetSpecSize(order, RealFftNoScale, 0, &specSize, &initSize, &workSize);
    std::vector<unsigned char> memory(specSize), init(initSize + 1), work(workSize);
    RealFftSpec* spec = nullptr;
    if (RealFftInitSpec(&spec, order, RealFftNoScale, 0, memory.data(), init.data()) != StatusOk) {
        state.SkipWithError("set-up failed");
        return;
    }
    const std::vector<float> x = Signal(n);
    std::vector<float> y(n);
    for (auto _ : state) {
        RealFftForward(x.data(), y.data(), spec, workSize > 0 ? work.data() : nullptr);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    std::vector<std::complex<double>> bins(n / 2 + 1);
    bins[0] = y[0];
    bins[n / 2] = y[1];
    for (size_t k = 1; k < n / 2; ++k) bins[k] = {y[2 * k], y[2 * k + 1]};
    state.counters["rel_err"] = RelativeError(bins, ExactSpectrum(x));
    state.counters["work_B"] = workSize;
}

void BM_RealFft_FFTW(benchmark::State& state) {
    const size_t n = size_t{1} << state.range(0);
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_MEASURE);
    const std::vector<float> x = Signal(n);
    std::copy(x.begin(), x.end(), in);  // planning may overwrite the input
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    std::vector<std::complex<double>> bins(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) bins[k] = {out[k][0], out[k][1]};
    state.counters["rel_err"] = RelativeError(bins, ExactSpectrum(x));
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

void BM_RealFft_KissFFT(benchmark::State& state) {
    const size_t n = size_t{1} << state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(static_cast<int>(n), 0, nullptr, nullptr);
    const std::vector<float> x = Signal(n);
    std::vector<kiss_fft_cpx> out(n / 2 + 1);
    for (auto _ : state) {
        kiss_fftr(cfg, x.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    std::vector<std::complex<double>> bins(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) bins[k] = {out[k].r, out[k].i};
    state.counters["rel_err"] = RelativeError(bins, ExactSpectrum(x));
    kiss_fftr_free(cfg);
}

BENCHMARK(BM_RealFft_KV)->DenseRange(8, 14);
BENCHMARK(BM_RealFft_FFTW)->DenseRange(8, 14);
BENCHMARK(BM_RealFft_KissFFT)->DenseRange(8, 14);

}  // namespace

BENCHMARK_MAIN();
