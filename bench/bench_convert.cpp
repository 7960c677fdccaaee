// Sample conversions and interleaving beside memcpy, in one run. A conversion reads its source and
// writes its destination; its memcpy peer copies (source + destination) / 2 bytes, the same memory
// traffic. Both report traffic (bytes read + written) per second; the table at the end gives the
// ratio conversion / memcpy (1.0 is the copy's bandwidth, the physical limit), from the median of
// the repetitions. After timing, every conversion's output is compared with a plain scalar
// reference of the same rule, bit for bit; a benchmark whose output differs reports an error and
// no figure.
#include "driver/signal/SignalLibrary.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// Samples per call: one engine block (512 frames x 8 channels, in cache) and a large buffer
// (bound by memory).
constexpr int64_t kSizes[] = {4096, 4 << 20};

std::vector<float> RandomFloats(size_t n) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

constexpr int kRepetitions = 5;

// Scalar references of the conversion rules, one sample at a time.
SHORT RefFloatToInt16(float x) {  // x 2^15, toward zero, saturated
    const double y = double(x) * 32768.0;
    if (y >= 32767.0) return 32767;
    if (y <= -32768.0) return -32768;
    return static_cast<SHORT>(std::trunc(y));
}
LONG RefFloatToInt32(float x) {  // x 2^31, toward zero, saturated
    const double y = double(x) * 2147483648.0;
    if (y >= 2147483648.0) return 2147483647;
    if (y <= -2147483648.0) return static_cast<LONG>(-2147483647 - 1);
    return static_cast<LONG>(std::trunc(y));
}
LONG RefFloatToInt24(float x) {  // x 2^23 in single precision, nearest with ties to even, saturated
    const double y = double(x * 8388608.0f);
    if (y >= 8388607.0) return 8388607;
    if (y <= -8388608.0) return -8388608;
    return static_cast<LONG>(std::nearbyint(y));
}
LONG Int24At(const UCHAR* p) { return LONG(p[0]) | LONG(p[1]) << 8 | LONG(static_cast<signed char>(p[2])) * 65536; }

// Answers the first sample where dst differs from the reference of src, or -1.
template <typename Src, typename Dst, typename Ref>
long long FirstMismatch(const Src* src, const Dst* dst, size_t n, Ref ref) {
    for (size_t i = 0; i < n; ++i)
        if (!ref(src, dst, i)) return static_cast<long long>(i);
    return -1;
}

void Verify(benchmark::State& state, long long mismatch) {
    if (mismatch >= 0) state.SkipWithError(("output differs from the reference at sample " + std::to_string(mismatch)).c_str());
}

template <typename Src, typename Dst, typename Op, typename Ref>
void RunConversion(benchmark::State& state, Op op, Ref ref) {
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<float> f = RandomFloats(n);
    std::vector<Src> src(n * sizeof(float) / sizeof(Src) + 4);
    std::vector<Dst> dst(n * sizeof(float) / sizeof(Dst) + 4);
    // Realistic source content: the float samples themselves, or their integer conversion.
    if constexpr (std::is_same_v<Src, float>) {
        std::memcpy(src.data(), f.data(), n * sizeof(float));
    } else {
        std::vector<LONG> i32(n);
        ConvertFloatToInt32(f.data(), i32.data(), static_cast<LONG>(n), 0, -31);
        std::memcpy(src.data(), i32.data(), n * sizeof(LONG));
    }
    for (auto _ : state) {
        op(src.data(), dst.data(), static_cast<LONG>(n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
    Verify(state, FirstMismatch(src.data(), dst.data(), n, ref));
}

// range(1) = traffic per call: the copy moves half of it.
void Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(1) / 2);
    std::vector<char> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

void FloatToInt16(benchmark::State& s) {
    RunConversion<float, SHORT>(
        s, [](const float* a, SHORT* b, LONG n) { ConvertFloatToInt16(a, b, n, 0, -15); },
        [](const float* a, const SHORT* b, size_t i) { return b[i] == RefFloatToInt16(a[i]); });
}
void Int16ToFloat(benchmark::State& s) {
    RunConversion<SHORT, float>(
        s, [](const SHORT* a, float* b, LONG n) { ConvertInt16ToFloat(a, b, n, 15); },
        [](const SHORT* a, const float* b, size_t i) { return b[i] == float(a[i]) / 32768.0f; });
}
void FloatToInt24(benchmark::State& s) {
    RunConversion<float, UCHAR>(
        s, [](const float* a, UCHAR* b, LONG n) { ConvertFloatToInt24(a, b, n, -23); },
        [](const float* a, const UCHAR* b, size_t i) { return Int24At(b + 3 * i) == RefFloatToInt24(a[i]); });
}
void Int24ToFloat(benchmark::State& s) {
    RunConversion<UCHAR, float>(
        s, [](const UCHAR* a, float* b, LONG n) { ConvertInt24ToFloat(a, b, n); },
        [](const UCHAR* a, const float* b, size_t i) { return b[i] == float(Int24At(a + 3 * i)); });
}
void FloatToInt32(benchmark::State& s) {
    RunConversion<float, LONG>(
        s, [](const float* a, LONG* b, LONG n) { ConvertFloatToInt32(a, b, n, 0, -31); },
        [](const float* a, const LONG* b, size_t i) { return b[i] == RefFloatToInt32(a[i]); });
}
void Int32ToFloat(benchmark::State& s) {
    RunConversion<LONG, float>(
        s, [](const LONG* a, float* b, LONG n) { ConvertInt32ToFloatScaled(a, b, n, 31); },
        [](const LONG* a, const float* b, size_t i) { return b[i] == float(a[i]) * (1.0f / 2147483648.0f); });
}

// range(0) = samples over all channels, range(1) = traffic per call, range(2) = channels.
void Interleave(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const auto channels = static_cast<size_t>(state.range(2));
    const size_t frames = n / channels;
    std::vector<std::vector<float>> planes(channels, RandomFloats(frames));
    std::vector<const float*> p;
    for (auto& plane : planes) p.push_back(plane.data());
    std::vector<float> dst(n);
    for (auto _ : state) {
        InterleaveFloat(p.data(), static_cast<LONG>(channels), static_cast<LONG>(frames), dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
    Verify(state, FirstMismatch(planes.data(), dst.data(), n, [channels](const std::vector<float>* a, const float* b, size_t i) {
               return b[i] == a[i % channels][i / channels];
           }));
}

void Deinterleave(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const auto channels = static_cast<size_t>(state.range(2));
    const size_t frames = n / channels;
    std::vector<float> src = RandomFloats(n);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    std::vector<float*> p;
    for (auto& plane : planes) p.push_back(plane.data());
    for (auto _ : state) {
        DeinterleaveFloat(src.data(), static_cast<LONG>(channels), static_cast<LONG>(frames), p.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
    Verify(state, FirstMismatch(src.data(), planes.data(), n, [channels](const float* a, const std::vector<float>* b, size_t i) {
               return a[i] == b[i % channels][i / channels];
           }));
}

struct Pair {
    const char* name;
    void (*fn)(benchmark::State&);
    int64_t trafficPerSample;  // bytes read + written
    int64_t channels;
};

const Pair kPairs[] = {
    {"FloatToInt16", FloatToInt16, 4 + 2, 0}, {"Int16ToFloat", Int16ToFloat, 2 + 4, 0},
    {"FloatToInt24", FloatToInt24, 4 + 3, 0}, {"Int24ToFloat", Int24ToFloat, 3 + 4, 0},
    {"FloatToInt32", FloatToInt32, 4 + 4, 0}, {"Int32ToFloat", Int32ToFloat, 4 + 4, 0},
    {"Interleave2", Interleave, 4 + 4, 2},    {"Interleave8", Interleave, 4 + 4, 8},
    {"Deinterleave2", Deinterleave, 4 + 4, 2}, {"Deinterleave8", Deinterleave, 4 + 4, 8},
};

// Collects bytes per second by benchmark name for the closing ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.aggregate_name == "median" && !run.error_occurred)
                m_Rate[run.run_name.function_name + "/" + run.run_name.args] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        std::printf("\n%-16s %10s %14s %14s %8s\n", "operation", "samples", "op GB/s", "memcpy GB/s", "ratio");
        for (const Pair& pair : kPairs) {
            for (int64_t n : kSizes) {
                // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in g++ 12 -O3.
                std::string suffix = "/";
                suffix += std::to_string(n);
                suffix += '/';
                suffix += std::to_string(n * pair.trafficPerSample);
                if (pair.channels) {
                    suffix += '/';
                    suffix += std::to_string(pair.channels);
                }
                const auto op = m_Rate.find(std::string(pair.name) + suffix);
                const auto copy = m_Rate.find(std::string("memcpy_") + pair.name + suffix);
                if (op == m_Rate.end() || copy == m_Rate.end()) continue;
                std::printf("%-16s %10lld %14.2f %14.2f %8.2f\n", pair.name, static_cast<long long>(n), op->second / 1e9,
                            copy->second / 1e9, op->second / copy->second);
            }
        }
    }

private:
    std::map<std::string, double> m_Rate;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Pair& pair : kPairs) {
        for (int64_t n : kSizes) {
            std::vector<int64_t> args = {n, n * pair.trafficPerSample};
            if (pair.channels) args.push_back(pair.channels);
            benchmark::RegisterBenchmark(pair.name, pair.fn)->Args(args)->Repetitions(kRepetitions)->DisplayAggregatesOnly();
            benchmark::RegisterBenchmark((std::string("memcpy_") + pair.name).c_str(), Memcpy)
                ->Args(args)
                ->Repetitions(kRepetitions)
                ->DisplayAggregatesOnly();
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
