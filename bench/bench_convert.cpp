// Sample conversions and interleaving beside memcpy, in one run. A conversion reads its source and
// writes its destination; its memcpy peer copies (source + destination) / 2 bytes, the same memory
// traffic. Both report traffic (bytes read + written) per second; the table at the end gives the
// ratio conversion / memcpy (1.0 is the copy's bandwidth, the physical limit).
#include "driver/signal/SignalLibrary.h"

#include <benchmark/benchmark.h>

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

template <typename Src, typename Dst, typename Op>
void RunConversion(benchmark::State& state, Op op) {
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
    RunConversion<float, SHORT>(s, [](const float* a, SHORT* b, LONG n) { ConvertFloatToInt16(a, b, n, 0, -15); });
}
void Int16ToFloat(benchmark::State& s) {
    RunConversion<SHORT, float>(s, [](const SHORT* a, float* b, LONG n) { ConvertInt16ToFloat(a, b, n, 15); });
}
void FloatToInt24(benchmark::State& s) {
    RunConversion<float, UCHAR>(s, [](const float* a, UCHAR* b, LONG n) { ConvertFloatToInt24(a, b, n, -23); });
}
void Int24ToFloat(benchmark::State& s) {
    RunConversion<UCHAR, float>(s, [](const UCHAR* a, float* b, LONG n) { ConvertInt24ToFloat(a, b, n); });
}
void FloatToInt32(benchmark::State& s) {
    RunConversion<float, LONG>(s, [](const float* a, LONG* b, LONG n) { ConvertFloatToInt32(a, b, n, 0, -31); });
}
void Int32ToFloat(benchmark::State& s) {
    RunConversion<LONG, float>(s, [](const LONG* a, float* b, LONG n) { ConvertInt32ToFloatScaled(a, b, n, 31); });
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
            if (it != run.counters.end() && run.aggregate_name.empty()) m_Rate[run.benchmark_name()] = it->second;
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
            benchmark::RegisterBenchmark(pair.name, pair.fn)->Args(args);
            benchmark::RegisterBenchmark((std::string("memcpy_") + pair.name).c_str(), Memcpy)->Args(args);
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
