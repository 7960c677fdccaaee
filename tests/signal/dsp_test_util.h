// Helpers of the DSP class tests: wave formats, test tones, and a sine fit that measures how much
// of a signal is the expected tone.
#pragma once

#include <win/mmreg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace dsptest {

// A plain (tag 1 or 3) or extensible record.
inline WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels, DWORD rateHz, WORD bits, bool extensible = false) {
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof f);
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rateHz;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rateHz * f.Format.nBlockAlign;
    if (extensible) {
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = bits;
        // KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT: the tag in the first word.
        f.SubFormat = GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    }
    return f;
}
inline WAVEFORMATEXTENSIBLE Float32(WORD channels, DWORD rateHz) { return Format(WAVE_FORMAT_IEEE_FLOAT, channels, rateHz, 32); }
inline WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rateHz, WORD bits) { return Format(WAVE_FORMAT_PCM, channels, rateHz, bits); }

inline std::vector<float> Sine(size_t frames, double hz, double rateHz, double amplitude, double phase = 0.0) {
    std::vector<float> v(frames);
    for (size_t i = 0; i < frames; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * double(i) / rateHz + phase));
    return v;
}

struct ToneFit {
    double amplitude = 0.0;  // of the fitted tone
    double sinadDb = 0.0;    // tone power over the power of everything else, in dB
};

// Least-squares fit of a cos + b sin + c at the known frequency over y[first, first + count).
inline ToneFit FitTone(const std::vector<float>& y, size_t first, size_t count, double hz, double rateHz) {
    double s[3][3] = {}, r[3] = {};
    for (size_t i = first; i < first + count; ++i) {
        const double w = 2.0 * std::numbers::pi * hz * double(i) / rateHz;
        const double basis[3] = {std::cos(w), std::sin(w), 1.0};
        for (int a = 0; a < 3; ++a) {
            r[a] += basis[a] * y[i];
            for (int b = 0; b < 3; ++b) s[a][b] += basis[a] * basis[b];
        }
    }
    // Gaussian elimination on the 3 x 3 normal equations.
    for (int p = 0; p < 3; ++p) {
        for (int q = p + 1; q < 3; ++q) {
            const double f = s[q][p] / s[p][p];
            for (int k = p; k < 3; ++k) s[q][k] -= f * s[p][k];
            r[q] -= f * r[p];
        }
    }
    double x[3];
    for (int p = 2; p >= 0; --p) {
        double v = r[p];
        for (int k = p + 1; k < 3; ++k) v -= s[p][k] * x[k];
        x[p] = v / s[p][p];
    }
    double tone = 0.0, rest = 0.0;
    for (size_t i = first; i < first + count; ++i) {
        const double w = 2.0 * std::numbers::pi * hz * double(i) / rateHz;
        const double fit = x[0] * std::cos(w) + x[1] * std::sin(w);
        tone += fit * fit;
        const double e = y[i] - fit - x[2];
        rest += e * e;
    }
    ToneFit t;
    t.amplitude = std::sqrt(x[0] * x[0] + x[1] * x[1]);
    t.sinadDb = 10.0 * std::log10(tone / std::max(rest, 1e-30));
    return t;
}

}  // namespace dsptest
