// PCM WAV files for the simulated devices: render sinks write what they received, capture sources
// play a file. Integer PCM only (8-bit unsigned, 16, 24 and 32-bit signed; plain or extensible
// format chunk).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim::usb::detail {

struct WavContents {
    uint16_t channels = 0;
    uint16_t bits = 0;  // bits per sample as stored (8, 16, 24, 32)
    uint32_t rateHz = 0;
    std::vector<int32_t> samples{};  // interleaved, sign-extended from `bits`
};

// Reads and validates a file; false with the reason in *error. The file is untrusted: every chunk
// is bounded by the file size, and files over kMaxWavBytes are refused.
inline constexpr uint64_t kMaxWavBytes = 512ull << 20;
bool ReadWav(const std::string& path, WavContents* out, std::string* error);

// Writes samples (interleaved, each in the low `containerBytes` bytes) as PCM; false when the file
// cannot be written or the data would not fit a RIFF file.
bool WriteWav(const std::string& path, uint16_t channels, uint16_t containerBytes, uint32_t rateHz,
              std::span<const int32_t> samples);

}  // namespace sim::usb::detail
