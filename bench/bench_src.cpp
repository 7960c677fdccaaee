// Sample-rate conversion 44.1 kHz -> 48 kHz and back, stereo float, beside speexdsp, libsamplerate
// and soxr (from their fast settings to their best) on the same signal, in one run. Each benchmark
// converts one second of audio in 10 ms pieces (as the driver feeds its chain), so its time is the
// time per second of audio. Quality figures are measured once per converter and direction with the
// same tone analysis (input tones every 100 Hz up to the input Nyquist frequency) and attached as
// counters:
//   rip_dB    passband ripple, peak to peak, tones 100 Hz .. 18 kHz
//   e01_Hz    highest frequency up to which the response stays within 0.1 dB
//   e3_Hz     the -3 dB point
//   img_dB    worst SINAD of a passband tone (100 Hz .. 18 kHz): everything that is not the tone,
//             images included, relative to the tone
//   stop_dB   stop-band rejection: the worst power of everything in the output that is not the
//             wanted tone, relative to the input tone, over every input tone. Images of tones
//             near 22 kHz and tones above 22.05 kHz (which can only alias) count in full, wherever
//             in the output band they land.
//   a23k_dB   output level of a 23 kHz input tone (48 kHz -> 44.1 kHz only; it folds to 21.1 kHz)
#include "driver/signal/DspNonInterleaveSrc.h"

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kPassEdgeHz = 18000.0;
constexpr double kAmplitude = 0.5;

struct Stereo {
    std::vector<float> left, right, interleaved;
};

Stereo MakeStereo(const std::vector<float>& left, const std::vector<float>& right) {
    Stereo s{left, right, {}};
    s.interleaved.resize(2 * left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        s.interleaved[2 * i] = left[i];
        s.interleaved[2 * i + 1] = right[i];
    }
    return s;
}

// Converts stereo pieces and keeps the left output channel.
class Resampler {
public:
    virtual ~Resampler() = default;
    virtual void Convert(const Stereo& in, size_t first, size_t frames) = 0;
    std::vector<float>& Left() { return m_Left; }

protected:
    std::vector<float> m_Left;
    std::vector<float> m_Scratch;  // interleaved output of the peers
    void KeepLeft(size_t frames) {
        for (size_t i = 0; i < frames; ++i) m_Left.push_back(m_Scratch[2 * i]);
    }
};

class ChainResampler : public Resampler {
public:
    ChainResampler(DWORD inRate, DWORD outRate) {
        m_Chain.Init();
        m_Chain.SetFormat(Float(inRate), Float(outRate));
        m_OutLeft.resize(8192);
        m_OutRight.resize(8192);
    }
    void Convert(const Stereo& in, size_t first, size_t frames) override {
        LONG left = LONG(frames);
        while (left > 0) {
            const float* inPlanes[2] = {in.left.data() + first + (frames - left), in.right.data() + first + (frames - left)};
            float* outPlanes[2] = {m_OutLeft.data(), m_OutRight.data()};
            LONG taken = left, made = LONG(m_OutLeft.size());
            m_Chain.Process(inPlanes, &taken, outPlanes, &made);
            m_Left.insert(m_Left.end(), m_OutLeft.begin(), m_OutLeft.begin() + made);
            left -= taken;
        }
    }

private:
    static WAVEFORMATEXTENSIBLE Float(DWORD rate) {
        WAVEFORMATEXTENSIBLE f{};
        f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        f.Format.nChannels = 2;
        f.Format.nSamplesPerSec = rate;
        f.Format.wBitsPerSample = 32;
        f.Format.nBlockAlign = 8;
        f.Format.nAvgBytesPerSec = rate * 8;
        return f;
    }
    CDspNonInterleaveSrc m_Chain;
    std::vector<float> m_OutLeft, m_OutRight;
};

class SpeexResampler : public Resampler {
public:
    SpeexResampler(int inRate, int outRate, int quality) {
        int err = 0;
        m_State = speex_resampler_init(2, inRate, outRate, quality, &err);
        m_Scratch.resize(2 * 8192);
    }
    ~SpeexResampler() override { speex_resampler_destroy(m_State); }
    void Convert(const Stereo& in, size_t first, size_t frames) override {
        spx_uint32_t inLen = spx_uint32_t(frames), outLen = 8192;
        speex_resampler_process_interleaved_float(m_State, in.interleaved.data() + 2 * first, &inLen, m_Scratch.data(),
                                                  &outLen);
        KeepLeft(outLen);
    }

private:
    SpeexResamplerState* m_State;
};

class LibsamplerateResampler : public Resampler {
public:
    LibsamplerateResampler(int inRate, int outRate, int type) : m_Ratio(double(outRate) / inRate) {
        int err = 0;
        m_State = src_new(type, 2, &err);
        m_Scratch.resize(2 * 8192);
    }
    ~LibsamplerateResampler() override { src_delete(m_State); }
    void Convert(const Stereo& in, size_t first, size_t frames) override {
        SRC_DATA d{};
        d.data_in = in.interleaved.data() + 2 * first;
        d.input_frames = long(frames);
        d.data_out = m_Scratch.data();
        d.output_frames = 8192;
        d.src_ratio = m_Ratio;
        src_process(m_State, &d);
        KeepLeft(size_t(d.output_frames_gen));
    }

private:
    SRC_STATE* m_State;
    double m_Ratio;
};

class SoxrResampler : public Resampler {
public:
    SoxrResampler(int inRate, int outRate, unsigned long recipe) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
        m_State = soxr_create(inRate, outRate, 2, &err, &io, &q, nullptr);
        m_Scratch.resize(2 * 8192);
    }
    ~SoxrResampler() override { soxr_delete(m_State); }
    void Convert(const Stereo& in, size_t first, size_t frames) override {
        size_t done = 0, made = 0;
        soxr_process(m_State, in.interleaved.data() + 2 * first, frames, &done, m_Scratch.data(), 8192, &made);
        KeepLeft(made);
    }

private:
    soxr_t m_State;
};

struct Peer {
    const char* name;
    std::function<std::unique_ptr<Resampler>(int, int)> make;
};

const Peer kPeers[] = {
    {"kv380d", [](int i, int o) { return std::make_unique<ChainResampler>(DWORD(i), DWORD(o)); }},
    {"speex_q4", [](int i, int o) { return std::make_unique<SpeexResampler>(i, o, 4); }},
    {"speex_q8", [](int i, int o) { return std::make_unique<SpeexResampler>(i, o, 8); }},
    {"speex_q10", [](int i, int o) { return std::make_unique<SpeexResampler>(i, o, 10); }},
    {"lsr_fastest", [](int i, int o) { return std::make_unique<LibsamplerateResampler>(i, o, SRC_SINC_FASTEST); }},
    {"lsr_medium", [](int i, int o) { return std::make_unique<LibsamplerateResampler>(i, o, SRC_SINC_MEDIUM_QUALITY); }},
    {"lsr_best", [](int i, int o) { return std::make_unique<LibsamplerateResampler>(i, o, SRC_SINC_BEST_QUALITY); }},
    {"soxr_lq", [](int i, int o) { return std::make_unique<SoxrResampler>(i, o, SOXR_LQ); }},
    {"soxr_hq", [](int i, int o) { return std::make_unique<SoxrResampler>(i, o, SOXR_HQ); }},
    {"soxr_vhq", [](int i, int o) { return std::make_unique<SoxrResampler>(i, o, SOXR_VHQ); }},
};

std::vector<float> Tone(size_t frames, double hz, double rate) {
    std::vector<float> v(frames);
    for (size_t i = 0; i < frames; ++i)
        v[i] = float(kAmplitude * std::sin(2.0 * std::numbers::pi * hz * double(i) / rate));
    return v;
}

// Runs a whole signal through a fresh converter in 10 ms pieces; answers the left output.
std::vector<float> ConvertAll(const Peer& peer, int inRate, int outRate, const std::vector<float>& signal) {
    auto r = peer.make(inRate, outRate);
    const Stereo s = MakeStereo(signal, signal);
    const size_t piece = size_t(inRate / 100);
    for (size_t at = 0; at + piece <= signal.size(); at += piece) r->Convert(s, at, piece);
    return std::move(r->Left());
}

struct ToneResult {
    double gain = 0.0;         // fitted tone amplitude / input amplitude
    double sinadDb = 0.0;      // tone over everything else
    double unwantedPower = 0.0;  // power of everything else, relative to the input tone power
};

// Fits the tone (when the output rate can carry it, else nothing is wanted) and measures the rest.
ToneResult Analyse(const std::vector<float>& y, double hz, double rate) {
    constexpr size_t kN = 16384;
    const size_t first = y.size() / 2 - kN / 2;
    const bool carried = hz < rate / 2.0;
    double s[3][3] = {}, r[3] = {};
    for (size_t i = first; i < first + kN && carried; ++i) {
        const double w = 2.0 * std::numbers::pi * hz * double(i) / rate;
        const double b[3] = {std::cos(w), std::sin(w), 1.0};
        for (int p = 0; p < 3; ++p) {
            r[p] += b[p] * y[i];
            for (int q = 0; q < 3; ++q) s[p][q] += b[p] * b[q];
        }
    }
    double x[3] = {0, 0, 0};
    if (carried) {
        for (int p = 0; p < 3; ++p)
            for (int q = p + 1; q < 3; ++q) {
                const double f = s[q][p] / s[p][p];
                for (int k = p; k < 3; ++k) s[q][k] -= f * s[p][k];
                r[q] -= f * r[p];
            }
        for (int p = 2; p >= 0; --p) {
            double v = r[p];
            for (int k = p + 1; k < 3; ++k) v -= s[p][k] * x[k];
            x[p] = v / s[p][p];
        }
    }
    double tone = 0.0, rest = 0.0;
    for (size_t i = 0; i < kN; ++i) {
        const double w = 2.0 * std::numbers::pi * hz * double(first + i) / rate;
        const double fit = x[0] * std::cos(w) + x[1] * std::sin(w);
        const double e = y[first + i] - fit - x[2];
        tone += fit * fit;
        rest += e * e;
    }
    ToneResult res;
    res.gain = std::sqrt(x[0] * x[0] + x[1] * x[1]) / kAmplitude;
    res.sinadDb = 10.0 * std::log10(tone / std::max(rest, 1e-30));
    res.unwantedPower = rest / double(kN) / (kAmplitude * kAmplitude / 2.0);
    return res;
}

struct Quality {
    double rippleDb, edge01Hz, edge3Hz, imageDb, stopDb, at23kDb;
};

Quality Measure(const Peer& peer, int inRate, int outRate) {
    const size_t frames = size_t(inRate);  // one second
    Quality q{};
    double lo = 1e9, hi = -1e9, worstSinad = 1e9, worstUnwanted = 0.0;
    bool within = true, above3 = true;
    q.edge01Hz = q.edge3Hz = 0.0;
    const double top = std::min(inRate, outRate) / 2.0;
    for (double hz = 100.0; hz < inRate / 2.0; hz += 100.0) {
        const ToneResult t = Analyse(ConvertAll(peer, inRate, outRate, Tone(frames, hz, inRate)), hz, outRate);
        const double db = 20.0 * std::log10(std::max(t.gain, 1e-12));
        if (hz <= kPassEdgeHz) {
            lo = std::min(lo, db);
            hi = std::max(hi, db);
            worstSinad = std::min(worstSinad, t.sinadDb);
        }
        if (hz < top) {
            within = within && std::fabs(db) <= 0.1;
            if (within) q.edge01Hz = hz;
            above3 = above3 && db >= -3.0;
            if (above3) q.edge3Hz = hz;
        }
        worstUnwanted = std::max(worstUnwanted, t.unwantedPower);
    }
    q.rippleDb = hi - lo;
    q.imageDb = -worstSinad;
    q.stopDb = 10.0 * std::log10(std::max(worstUnwanted, 1e-30));
    q.at23kDb = 0.0;
    if (inRate > outRate) {
        const std::vector<float> y = ConvertAll(peer, inRate, outRate, Tone(frames, 23000.0, inRate));
        double power = 0.0;
        const size_t first = y.size() / 4, n = y.size() / 2;
        for (size_t i = first; i < first + n; ++i) power += double(y[i]) * y[i];
        q.at23kDb = 10.0 * std::log10(std::max(power / double(n), 1e-30) / (kAmplitude * kAmplitude / 2.0));
    }
    return q;
}

void BM_Convert(benchmark::State& state, const Peer* peer, int inRate, int outRate, Quality q) {
    const size_t frames = size_t(inRate);
    const Stereo s = MakeStereo(Tone(frames, 997.0, inRate), Tone(frames, 3001.0, inRate));
    auto r = peer->make(inRate, outRate);
    r->Left().reserve(size_t(outRate) + 8192);
    const size_t piece = size_t(inRate / 100);
    for (auto _ : state) {
        r->Left().clear();
        for (size_t at = 0; at + piece <= frames; at += piece) r->Convert(s, at, piece);
        benchmark::DoNotOptimize(r->Left().data());
    }
    state.counters["rip_dB"] = q.rippleDb;
    state.counters["e01_Hz"] = q.edge01Hz;
    state.counters["e3_Hz"] = q.edge3Hz;
    state.counters["img_dB"] = q.imageDb;
    state.counters["stop_dB"] = q.stopDb;
    if (inRate > outRate) state.counters["a23k_dB"] = q.at23kDb;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const Peer& peer : kPeers) {
        for (auto [in, out] : {std::pair{44100, 48000}, std::pair{48000, 44100}}) {
            const Quality q = Measure(peer, in, out);
            const std::string name = std::string("SRC/") + peer.name + "/" + std::to_string(in) + "_to_" + std::to_string(out);
            benchmark::RegisterBenchmark(name.c_str(), BM_Convert, &peer, in, out, q)->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
