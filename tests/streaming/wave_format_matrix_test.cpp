// Every catalog device that starts, every format its wave pins take, render and capture: a ramp
// played through the pin arrives at the device sink sample-exact, and the device's ramp arrives
// at the capture pin sample-exact. Each case runs a short stretch of audio with its own ramp
// start; KV_FORMAT_MATRIX_MS sets a longer stretch (milliseconds) for a soak.
#include <gtest/gtest.h>

#include "streaming/wave_catalog_pins.h"

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace wave_front_test;

Time CaseDuration() {
    const char* text = std::getenv("KV_FORMAT_MATRIX_MS");
    const long ms = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (ms > 0 ? ms : 100) * kMs;
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
            const sim::usb::RenderSink* sink = RenderSinkOf(Audio(), record);
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

    unsigned m_Cases = 0;
    unsigned m_Converted = 0;
};

// One device per case, so the devices run side by side; a device the driver does not start has
// nothing to stream.
TEST_P(WaveFormatMatrix, EveryFormatPlaysAndRecordsSampleExact) {
    const std::string& name = GetParam();
    int64_t seed = CatalogSeed(name);
    if (!NT_SUCCESS(Plug(name))) GTEST_SKIP() << name << " does not start";
    AdapterCommon* adapter = AdapterOf(m_Node);
    ASSERT_NE(adapter, nullptr);
    for (const WavePin& pin : WavePins(adapter)) {
        ASSERT_EQ(KsFilterClient::Open(pin.link, &m_Filter), STATUS_SUCCESS);
        for (const WAVEFORMATEXTENSIBLE& record : pin.pcm) {
            RunCase(name, pin.engine, record, seed);
            m_Pin.reset();
            seed += 7919;
        }
        m_Filter.reset();
    }
    EXPECT_GT(m_Cases, 0u);
    RecordProperty("cases", static_cast<int>(m_Cases));
    RecordProperty("converted", static_cast<int>(m_Converted));
}

INSTANTIATE_TEST_SUITE_P(Catalog, WaveFormatMatrix, testing::ValuesIn(sim::usb::CatalogNames()), CatalogTestName);

}  // namespace
