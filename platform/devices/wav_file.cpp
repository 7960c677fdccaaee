// PCM WAV reading and writing for the simulated devices' sinks and sources.
#include "wav_file.h"

#include <cstdio>
#include <memory>

namespace sim::usb::detail {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

uint32_t Le(const uint8_t* p, unsigned bytes) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

void Put(FILE* f, uint32_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) std::fputc(int((value >> (8 * i)) & 0xFF), f);
}

bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

}  // namespace

bool ReadWav(const std::string& path, WavContents* out, std::string* error) {
    File file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return Fail(error, "cannot open " + path);
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, file.get())) > 0;) {
        if (bytes.size() + n > kMaxWavBytes) return Fail(error, path + " is larger than the limit for a source");
        bytes.insert(bytes.end(), block, block + n);
    }
    if (bytes.size() < 12 || Le(bytes.data(), 4) != Le(reinterpret_cast<const uint8_t*>("RIFF"), 4) ||
        Le(bytes.data() + 8, 4) != Le(reinterpret_cast<const uint8_t*>("WAVE"), 4)) {
        return Fail(error, path + " is no RIFF WAVE file");
    }
    const uint8_t* format = nullptr;
    size_t formatBytes = 0;
    const uint8_t* data = nullptr;
    size_t dataBytes = 0;
    // Chunks: 4-byte id, 4-byte size, the body padded to an even length.
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t id = Le(bytes.data() + at, 4);
        const uint64_t size = Le(bytes.data() + at + 4, 4);
        const uint64_t room = bytes.size() - at - 8;
        const uint8_t* body = bytes.data() + at + 8;
        if (id == Le(reinterpret_cast<const uint8_t*>("fmt "), 4)) {
            if (size > room) return Fail(error, path + ": the format chunk runs past the end");
            format = body, formatBytes = size_t(size);
        } else if (id == Le(reinterpret_cast<const uint8_t*>("data"), 4)) {
            data = body, dataBytes = size_t(size > room ? room : size);  // a truncated file keeps what it has
        }
        at += 8 + size_t(size > room ? room : size) + (size & 1);
    }
    if (format == nullptr || formatBytes < 16) return Fail(error, path + ": no format chunk of 16 bytes or more");
    if (data == nullptr) return Fail(error, path + ": no data chunk");
    uint16_t tag = uint16_t(Le(format, 2));
    if (tag == kFormatExtensible && formatBytes >= 40) tag = uint16_t(Le(format + 24, 2));  // the subformat GUID's first bytes
    const uint16_t channels = uint16_t(Le(format + 2, 2));
    const uint32_t rate = Le(format + 4, 4);
    const uint16_t blockAlign = uint16_t(Le(format + 12, 2));
    const uint16_t bits = uint16_t(Le(format + 14, 2));
    if (tag != kFormatPcm) return Fail(error, path + ": only integer PCM is played");
    if (channels == 0 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
        blockAlign != channels * (bits / 8)) {
        return Fail(error, path + ": unsupported layout (" + std::to_string(channels) + " channels, " +
                               std::to_string(bits) + " bits, block align " + std::to_string(blockAlign) + ")");
    }
    const unsigned sampleBytes = bits / 8u;
    WavContents result{.channels = channels, .bits = bits, .rateHz = rate};
    const size_t samples = dataBytes / blockAlign * channels;  // whole frames only
    result.samples.reserve(samples);
    for (size_t i = 0; i < samples; ++i) {
        const uint32_t raw = Le(data + i * sampleBytes, sampleBytes);
        if (bits == 8) {
            result.samples.push_back(int32_t(raw) - 128);  // 8-bit PCM is unsigned
        } else {
            const unsigned unused = 32 - bits;
            result.samples.push_back(int32_t(raw << unused) >> unused);
        }
    }
    *out = std::move(result);
    return true;
}

bool WriteWav(const std::string& path, uint16_t channels, uint16_t containerBytes, uint32_t rateHz,
              std::span<const int32_t> samples) {
    if (channels == 0 || containerBytes == 0 || containerBytes > 4) return false;
    const uint64_t dataBytes = uint64_t(samples.size()) * containerBytes;
    const uint32_t pad = uint32_t(dataBytes & 1);  // chunks have even lengths
    if (dataBytes > 0xFFFFFFFFull - 36 - pad) return false;
    File file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) return false;
    FILE* f = file.get();
    const uint32_t frameBytes = uint32_t(channels) * containerBytes;
    std::fputs("RIFF", f);
    Put(f, uint32_t(36 + dataBytes + pad), 4);
    std::fputs("WAVEfmt ", f);
    Put(f, 16, 4);
    Put(f, kFormatPcm, 2);
    Put(f, channels, 2);
    Put(f, rateHz, 4);
    Put(f, rateHz * frameBytes, 4);
    Put(f, frameBytes, 2);
    Put(f, containerBytes * 8u, 2);
    std::fputs("data", f);
    Put(f, uint32_t(dataBytes), 4);
    for (int32_t s : samples) Put(f, uint32_t(s), containerBytes);
    if (pad != 0) std::fputc(0, f);
    return std::ferror(f) == 0;
}

}  // namespace sim::usb::detail
