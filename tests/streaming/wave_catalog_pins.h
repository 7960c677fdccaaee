// What the tests that stream through every catalog device share: the device's wave pins (engines
// with a wave filter) and their PCM formats, a ramp written in a pin's own format, and the
// conversions between the format records and the samples the ramp checker reads.
#pragma once

#include "streaming/wave_front_machine.h"

#include <sim/usb_ramp_check.h>
#include <win/ksmedia.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace wave_front_test {

// A ramp in the pin's format: sample n of channel c is (start + n + c x channelOffset) in the
// valid bits, at the top of its container, little-endian; channels from rampChannels on are
// silent (0: every channel carries the ramp).
struct FormatRamp {
    WAVEFORMATEXTENSIBLE format{};
    sim::usb::RampSpec spec{};
    uint64_t frame = 0;  // frames written so far
    unsigned rampChannels = 0;

    size_t operator()(UCHAR* data, size_t length) {
        const unsigned channels = format.Format.nChannels;
        const unsigned container = format.Format.wBitsPerSample / 8;
        const size_t block = format.Format.nBlockAlign;
        size_t written = 0;
        for (; written + block <= length; written += block, ++frame) {
            for (unsigned c = 0; c < channels; ++c) {
                const uint64_t mask = spec.bits >= 64 ? ~0ull : (1ull << spec.bits) - 1;
                const uint64_t value =
                    rampChannels != 0 && c >= rampChannels
                        ? 0
                        : (static_cast<uint64_t>(spec.start + static_cast<int64_t>(frame) + c * spec.channelOffset) & mask)
                              << spec.shift;
                for (unsigned b = 0; b < container; ++b) data[written + c * container + b] = UCHAR(value >> (8 * b));
            }
        }
        return written;
    }
};

inline sim::usb::RampSpec SpecOf(const WAVEFORMATEXTENSIBLE& format, int64_t start) {
    sim::usb::RampSpec spec;
    spec.bits = format.Samples.wValidBitsPerSample;
    spec.shift = format.Format.wBitsPerSample - spec.bits;
    spec.start = start;
    spec.channelOffset = spec.bits > 8 ? 0x100 : 0x10;
    return spec;
}

// Interleaved container values, sign-extended, as a sink stores them; a partial last container
// is left out.
inline std::vector<int32_t> Samples(std::span<const UCHAR> bytes, unsigned container) {
    std::vector<int32_t> samples;
    samples.reserve(bytes.size() / container);
    for (size_t at = 0; at + container <= bytes.size(); at += container) {
        uint32_t raw = 0;
        for (unsigned b = 0; b < container; ++b) raw |= uint32_t(bytes[at + b]) << (8 * b);
        const unsigned shift = 32 - 8 * container;
        samples.push_back(static_cast<int32_t>(raw << shift) >> shift);
    }
    return samples;
}

inline std::vector<UCHAR> DataFormatOf(const WAVEFORMATEXTENSIBLE& record) {
    KSDATAFORMAT head{};
    head.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
    head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    head.SubFormat = record.SubFormat;
    head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    head.SampleSize = record.Format.nBlockAlign;
    std::vector<UCHAR> bytes(head.FormatSize);
    std::memcpy(bytes.data(), &head, sizeof(head));
    std::memcpy(bytes.data() + sizeof(head), &record, sizeof(record));
    return bytes;
}

inline std::string Describe(const std::string& device, bool render, const WAVEFORMATEXTENSIBLE& f) {
    return device + (render ? " render " : " capture ") + std::to_string(f.Format.nSamplesPerSec) + "/" +
           std::to_string(f.Samples.wValidBitsPerSample) + "in" + std::to_string(f.Format.wBitsPerSample) + "/" +
           std::to_string(f.Format.nChannels);
}

// Whether a device stream carries the pin's format as it is (same rate and layout, no conversion).
inline bool Matches(const sim::usb::StreamFormat& f, const WAVEFORMATEXTENSIBLE& record) {
    return f.channels == record.Format.nChannels && f.subslotBytes * 8 == record.Format.wBitsPerSample &&
           f.rateHz == record.Format.nSamplesPerSec;
}

// The device endpoint that carries a render format: the first whose stream runs at its rate with
// its layout and has received frames; null when the device plays another layout (a down-mix).
inline sim::usb::RenderSink* RenderSinkOf(sim::usb::AudioFunction& audio, const WAVEFORMATEXTENSIBLE& record) {
    for (uint8_t i = 0; i < 16; ++i) {
        sim::usb::RenderSink* sink = audio.Render(i);
        if (sink != nullptr && Matches(sink->Format(), record) && sink->Frames() != 0) return sink;
    }
    return nullptr;
}

// The adapter of a started device.
inline AdapterCommon* AdapterOf(sim::pnp::DeviceNode* node) {
    PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(node)->AttachedDevice;
    return GetAdapterExtension(functional)->Adapter;
}

// An engine of the started device that has a wave filter (engines without PCM have none).
struct WavePin {
    StreamEngine* engine = nullptr;
    bool render = false;
    std::u16string link;  // the wave filter's device interface
    std::vector<WAVEFORMATEXTENSIBLE> pcm;  // the engine's PCM formats, in its order
};

inline std::vector<WavePin> WavePins(AdapterCommon* adapter) {
    std::vector<WavePin> pins;
    for (ULONG e = 0; e < adapter->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(adapter->GetStreamEngine(e, &engine)) || engine == nullptr) continue;
        WCHAR engineName[StreamEngineNameChars] = {};
        EXPECT_EQ(engine->GetName(engineName), STATUS_SUCCESS);
        std::u16string subdevice;
        for (ULONG i = 0; engineName[i] != 0; ++i) subdevice.push_back(static_cast<char16_t>(engineName[i]));
        subdevice += u"Wave";
        WavePin pin{.engine = engine, .render = engine->GetDirection() == StreamDirectionRender, .link = {}, .pcm = {}};
        for (const sim::hosts::FilterInterface& f :
             sim::hosts::FindFilters(pin.render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE)) {
            if (f.referenceString == subdevice) pin.link = f.symbolicLink;
        }
        if (pin.link.empty()) continue;
        for (ULONG i = 0; i < engine->GetFormatCount(); ++i) {
            WAVEFORMATEXTENSIBLE record = {};
            EXPECT_EQ(engine->GetFormat(i, &record), STATUS_SUCCESS);
            if (IsEqualGUID(record.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) pin.pcm.push_back(record);
        }
        pins.push_back(std::move(pin));
    }
    return pins;
}

// Where a device's ramps begin: fixed per device, different between devices.
inline int64_t CatalogSeed(const std::string& device) {
    return static_cast<int64_t>(std::hash<std::string>{}(device) % 50000);
}

// Test names from catalog names.
inline std::string CatalogTestName(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

}  // namespace wave_front_test
