// Every catalog device that starts, every format its wave pins take, render and capture: a ramp
// played through the pin arrives at the device sink sample-exact, and the device's ramp arrives
// at the capture pin sample-exact. Each case runs a short stretch of audio with its own ramp
// start; KV_FORMAT_MATRIX_MS sets a longer stretch (milliseconds) for a soak.
#include <gtest/gtest.h>

#include "streaming/wave_front_machine.h"

#include <sim/usb_ramp_check.h>
#include <win/ksmedia.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace wave_front_test;

Time CaseDuration() {
    const char* text = std::getenv("KV_FORMAT_MATRIX_MS");
    const long ms = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (ms > 0 ? ms : 100) * kMs;
}

// A ramp in the pin's format: sample n of channel c is (start + n + c x channelOffset) in the
// valid bits, at the top of its container, little-endian.
struct FormatRamp {
    WAVEFORMATEXTENSIBLE format{};
    sim::usb::RampSpec spec{};
    uint64_t frame = 0;

    size_t operator()(UCHAR* data, size_t length) {
        const unsigned channels = format.Format.nChannels;
        const unsigned container = format.Format.wBitsPerSample / 8;
        const size_t block = format.Format.nBlockAlign;
        size_t written = 0;
        for (; written + block <= length; written += block, ++frame) {
            for (unsigned c = 0; c < channels; ++c) {
                const uint64_t mask = spec.bits >= 64 ? ~0ull : (1ull << spec.bits) - 1;
                const uint64_t value =
                    (static_cast<uint64_t>(spec.start + static_cast<int64_t>(frame) + c * spec.channelOffset) & mask)
                    << spec.shift;
                for (unsigned b = 0; b < container; ++b) data[written + c * container + b] = UCHAR(value >> (8 * b));
            }
        }
        return written;
    }
};

sim::usb::RampSpec SpecOf(const WAVEFORMATEXTENSIBLE& format, int64_t start) {
    sim::usb::RampSpec spec;
    spec.bits = format.Samples.wValidBitsPerSample;
    spec.shift = format.Format.wBitsPerSample - spec.bits;
    spec.start = start;
    spec.channelOffset = spec.bits > 8 ? 0x100 : 0x10;
    return spec;
}

// Interleaved container values, sign-extended, as a sink stores them.
std::vector<int32_t> Samples(const std::vector<UCHAR>& bytes, unsigned container) {
    std::vector<int32_t> samples;
    for (size_t at = 0; at + container <= bytes.size(); at += container) {
        uint32_t raw = 0;
        for (unsigned b = 0; b < container; ++b) raw |= uint32_t(bytes[at + b]) << (8 * b);
        const unsigned shift = 32 - 8 * container;
        samples.push_back(static_cast<int32_t>(raw << shift) >> shift);
    }
    return samples;
}

std::vector<UCHAR> DataFormatOf(const WAVEFORMATEXTENSIBLE& record) {
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

std::string Describe(const std::string& device, bool render, const WAVEFORMATEXTENSIBLE& f) {
    return device + (render ? " render " : " capture ") + std::to_string(f.Format.nSamplesPerSec) + "/" +
           std::to_string(f.Samples.wValidBitsPerSample) + "in" + std::to_string(f.Format.wBitsPerSample) + "/" +
           std::to_string(f.Format.nChannels);
}

class WaveFormatMatrix : public WaveFront, public testing::WithParamInterface<std::string> {
protected:
    // One engine's pin in one format: opened, streamed and checked. False when the case was not
    // sample-exact (the failure is reported).
    void RunCase(const std::string& device, StreamEngine* engine, const WAVEFORMATEXTENSIBLE& record, int64_t seed) {
        const bool render = engine->GetDirection() == StreamDirectionRender;
        const std::string what = Describe(device, render, record);
        SCOPED_TRACE(what);
        ASSERT_EQ(KsPinClient::Open(*m_Filter, 0, DataFormatOf(record), &m_Pin), STATUS_SUCCESS);
        const Time duration = CaseDuration();
        const uint64_t frames = record.Format.nSamplesPerSec * (duration / kMs) / 1000;
        if (render) {
            for (uint8_t i = 0; i < 16; ++i) {
                if (sim::usb::RenderSink* sink = Audio().Render(i)) sink->Clear();
            }
            FormatRamp ramp{record, SpecOf(record, seed)};
            ASSERT_EQ(Play(ramp, duration), STATUS_SUCCESS);
            EXPECT_EQ(m_Stats.positionStalls, 0u);
            ASSERT_EQ(Stop(), STATUS_SUCCESS);
            const sim::usb::RenderSink* sink = RenderSinkOf(record);
            if (sink == nullptr) {
                // The device plays another layout (a down-mix): the samples are converted, and
                // what matters here is that they arrived.
                ++m_Converted;
                EXPECT_TRUE(AnySinkReceived()) << "nothing reached the device";
                return;
            }
            const sim::usb::RampReport report = sim::usb::CheckRamp(*sink, ramp.spec);
            EXPECT_TRUE(report.Ok()) << report.text;
            EXPECT_GE(report.rampFrames, frames / 2);
        } else {
            sim::usb::CaptureSource* source = CaptureSourceOf(record);
            ASSERT_NE(source, nullptr);
            sim::usb::CaptureSourceConfig config = source->Config();
            config.kind = sim::usb::SourceKind::Ramp;
            config.start = static_cast<int32_t>(seed);
            config.channelOffset = record.Samples.wValidBitsPerSample > 8 ? 0x100 : 0x10;
            source->Configure(config);
            ASSERT_EQ(m_Pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
            ASSERT_EQ(m_Pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            std::vector<UCHAR> bytes;
            sim::hosts::StreamRunStats stats;
            ASSERT_EQ(m_Pin->Capture([&](const UCHAR* data, size_t length) { bytes.insert(bytes.end(), data, data + length); },
                                     duration, &stats),
                      STATUS_SUCCESS);
            ASSERT_EQ(Stop(), STATUS_SUCCESS);
            EXPECT_EQ(bytes.size() % record.Format.nBlockAlign, 0u);
            sim::usb::RampSpec spec = sim::usb::RampOfSource(source->Config(), source->Format());
            spec.fromStart = false;
            const sim::usb::RampReport report =
                sim::usb::CheckRamp(Samples(bytes, record.Format.wBitsPerSample / 8), record.Format.nChannels, spec);
            EXPECT_TRUE(report.Ok()) << report.text;
            EXPECT_GE(report.rampFrames, frames / 2);
        }
        m_Pin.reset();
        ++m_Cases;
    }

    // The device endpoint that carries the format: the first of the direction whose stream runs
    // at its rate with its layout.
    sim::usb::RenderSink* RenderSinkOf(const WAVEFORMATEXTENSIBLE& record) {
        for (uint8_t i = 0; i < 16; ++i) {
            sim::usb::RenderSink* sink = Audio().Render(i);
            if (sink != nullptr && Matches(sink->Format(), record) && sink->Frames() != 0) return sink;
        }
        return nullptr;
    }
    sim::usb::CaptureSource* CaptureSourceOf(const WAVEFORMATEXTENSIBLE& record) {
        // Capture formats are set at RUN: any source of the right layout will do before, the one
        // that runs is checked after; every capture source gets the case's ramp.
        for (uint8_t i = 0; i < 16; ++i) {
            sim::usb::CaptureSource* source = Audio().Capture(i);
            if (source != nullptr) return source;
        }
        (void)record;
        return nullptr;
    }
    bool AnySinkReceived() {
        for (uint8_t i = 0; i < 16; ++i) {
            sim::usb::RenderSink* sink = Audio().Render(i);
            if (sink == nullptr) continue;
            for (int32_t sample : sink->Interleaved()) {
                if (sample != 0) return true;
            }
        }
        return false;
    }
    static bool Matches(const sim::usb::StreamFormat& f, const WAVEFORMATEXTENSIBLE& record) {
        return f.channels == record.Format.nChannels && f.subslotBytes * 8 == record.Format.wBitsPerSample &&
               f.rateHz == record.Format.nSamplesPerSec;
    }

    unsigned m_Cases = 0;
    unsigned m_Converted = 0;
};

// One device per case, so the devices run side by side; a device the driver does not start has
// nothing to stream.
TEST_P(WaveFormatMatrix, EveryFormatPlaysAndRecordsSampleExact) {
    const std::string& name = GetParam();
    int64_t seed = static_cast<int64_t>(std::hash<std::string>{}(name) % 50000);
    if (!NT_SUCCESS(Plug(name))) GTEST_SKIP() << name << " does not start";
    PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice;
    AdapterCommon* adapter = GetAdapterExtension(functional)->Adapter;
    ASSERT_NE(adapter, nullptr);
    for (ULONG e = 0; e < adapter->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(adapter->GetStreamEngine(e, &engine)) || engine == nullptr) continue;
        WCHAR engineName[StreamEngineNameChars] = {};
        ASSERT_EQ(engine->GetName(engineName), STATUS_SUCCESS);
        std::u16string subdevice;
        for (ULONG i = 0; engineName[i] != 0; ++i) subdevice.push_back(static_cast<char16_t>(engineName[i]));
        subdevice += u"Wave";
        const GUID& category = engine->GetDirection() == StreamDirectionRender ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE;
        std::u16string link;
        for (const sim::hosts::FilterInterface& f : sim::hosts::FindFilters(category)) {
            if (f.referenceString == subdevice) link = f.symbolicLink;
        }
        if (link.empty()) continue;  // an engine without a wave filter (no PCM)
        ASSERT_EQ(KsFilterClient::Open(link, &m_Filter), STATUS_SUCCESS);
        for (ULONG i = 0; i < engine->GetFormatCount(); ++i) {
            WAVEFORMATEXTENSIBLE record = {};
            ASSERT_EQ(engine->GetFormat(i, &record), STATUS_SUCCESS);
            if (!IsEqualGUID(record.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) continue;
            RunCase(name, engine, record, seed);
            m_Pin.reset();
            seed += 7919;
        }
        m_Filter.reset();
    }
    EXPECT_GT(m_Cases, 0u);
    RecordProperty("cases", static_cast<int>(m_Cases));
    RecordProperty("converted", static_cast<int>(m_Converted));
}

INSTANTIATE_TEST_SUITE_P(Catalog, WaveFormatMatrix, testing::ValuesIn(sim::usb::CatalogNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
