// The UAC 2.0 render stream's work per feedback read: converting the entries of one read (ten
// milliseconds of microframes at most) and averaging them into the rate the packets are sized at.
// It runs at dispatch level in every feedback completion.
#include "driver/engine/uac2/Uac2Streams.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

void BM_FeedbackRead(benchmark::State& state) {
    const ULONG entries = static_cast<ULONG>(state.range(0));
    // 48 kHz at +100 ppm with a +500 Hz step in one entry, as 16.16 per microframe.
    std::array<UCHAR, Uac2MaxFeedbackEntries * 4> values{};
    for (ULONG i = 0; i < entries; ++i) {
        const ULONG v = i == 3 ? 0x60400 : 0x60027;
        for (ULONG b = 0; b < 4; ++b) values[i * 4 + b] = static_cast<UCHAR>(v >> (8 * b));
    }
    ULONG measured = 48000 * Uac2MilliHz;
    for (auto _ : state) {
        std::array<ULONG64, Uac2MaxFeedbackEntries> rates;
        for (ULONG i = 0; i < entries; ++i) rates[i] = Uac2FeedbackEntryRate(&values[i * 4], 4, TRUE, 48000);
        measured = Uac2MeasuredRate(rates.data(), entries, 48000, measured);
        benchmark::DoNotOptimize(measured);
    }
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_FeedbackRead)->Arg(1)->Arg(10)->Arg(80);

}  // namespace

BENCHMARK_MAIN();
