// The feedback loop over the whole clock range: every catalog UAC 2.0 device with explicit
// feedback, at each of its rates, against device clocks from -500 to +500 ppm, including the
// offsets where a reading of the feedback could go wrong: a mean whose whole hertz are 500 / n off
// the nominal rate (n: entries per read), and values next to the exact 44.1 kHz family values.
// The device sends the bare count of its clock (no FIFO servo to hide a misreading), so the rate
// the stream sizes packets at must match the device's, and its FIFO neither runs dry nor over.
// Each case is a second of simulated time.
#include "streaming/uac2_stream_machine.h"

#include <sim/usb_bus.h>

#include <cmath>
#include <set>

namespace {

using sim::machine::kSecond;
using stream_test::TestClient;
using stream_test::Uac2StreamMachine;

struct SweepDevice {
    const char* name;
    bool highSpeed;
    ULONG entriesPerRead;  // feedback entries in 10 ms
    std::vector<ULONG> rates;
};

const std::vector<SweepDevice>& SweepDevices() {
    static const std::vector<ULONG> kHigh = {44100, 48000, 88200, 96000, 176400, 192000};
    static const std::vector<ULONG> kFull = {44100, 48000, 88200, 96000};
    static const std::vector<SweepDevice> kDevices = {
        {"uac2", true, 10, kHigh},    {"uac2-fs", false, 10, kFull}, {"uac2-fs4", false, 10, kFull},
        {"uac2-b1", true, 80, kHigh}, {"uac2-b2", true, 40, kHigh},  {"uac2-b3", true, 20, kHigh},
        {"uac2-b4", true, 10, kHigh},  {"uac2-vendor", true, 10, kHigh},
    };
    return kDevices;
}

struct SweepCase {
    const char* device;
    ULONG rate;
    int32_t ppm;
};

// Whole ppm nearest to a rate in hertz, when it lies within +-500 ppm.
void AddNear(std::set<int32_t>& ppms, ULONG rate, double hz) {
    const auto ppm = int32_t(std::lround((hz - rate) / rate * 1e6));
    if (ppm >= -500 && ppm <= 500) ppms.insert(ppm);
}

std::vector<SweepCase> SweepCases() {
    // The exact 44.1 kHz family values in 16.16 per microframe and in 10.14 per frame.
    const ULONG microframeValues[] = {0x57380, 0x58380, 0x59380, 0xAF640, 0xB0640, 0xB1640, 0x15FC60, 0x160C60, 0x161C60};
    const ULONG frameValues[] = {0xAE640, 0xB0640, 0xB2640, 0x15ECC0, 0x160CC0, 0x162CC0};
    std::vector<SweepCase> cases;
    for (const SweepDevice& d : SweepDevices()) {
        for (ULONG rate : d.rates) {
            std::set<int32_t> ppms = {-500, -250, 0, 250, 500};
            // Inside the whole hertz that are 500 / n off the nominal rate, on both sides.
            const double step = 500 / d.entriesPerRead;
            for (double hz : {rate + step + 0.5, rate - step + 0.5}) AddNear(ppms, rate, hz);
            if (d.highSpeed) {
                for (ULONG v : microframeValues) AddNear(ppms, rate, v * 8000.0 / 65536);
            } else {
                for (ULONG v : frameValues) AddNear(ppms, rate, v * 1000.0 / 16384);
            }
            for (int32_t ppm : ppms) cases.push_back({d.name, rate, ppm});
        }
    }
    return cases;
}

class Uac2FeedbackSweep : public Uac2StreamMachine, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(Uac2FeedbackSweep, FollowsTheDeviceClock) {
    const SweepCase c = GetParam();
    UseDriverHal();
    ASSERT_EQ(StartDevice(c.device), STATUS_SUCCESS);
    Audio().SetClockOffsetPpm(c.ppm);
    Audio().SetFeedbackServo(false);
    sim::usb::RenderSink* sink = Audio().Render(kRenderInterface);
    const uint32_t fifo = c.rate / 250;  // 4 ms, started half full
    sink->SetFifo({.depthFrames = fifo, .startFrames = fifo / 2});
    sink->SetCapacityFrames(0);
    Uac2PlaybackStream* stream = Playback();
    TestClient client(stream, ClientKind::WaveStream);
    // 16-bit frames: every setting of every row carries them at every rate.
    ASSERT_EQ(client.Register(FindFormat(stream, c.rate, 16)), STATUS_SUCCESS);
    ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);
    sim::machine::RunFor(kSecond);
    const ULONG measured = stream->MeasuredMilliHz();
    const sim::usb::FifoStatistics f = sink->Fifo();
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Leave();

    // One read's mean is within a unit of the value over its entries of the device's rate.
    const double device = c.rate * (1.0 + c.ppm * 1e-6);
    EXPECT_NEAR(measured / 1000.0, device, 0.15);
    EXPECT_TRUE(f.running);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.overruns, 0u);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_port, 0x01).refusedTransfers, 0u);
}

INSTANTIATE_TEST_SUITE_P(Clocks, Uac2FeedbackSweep, ::testing::ValuesIn(SweepCases()),
                         [](const ::testing::TestParamInfo<SweepCase>& info) {
                             std::string name = std::string(info.param.device) + "_" + std::to_string(info.param.rate) +
                                                (info.param.ppm < 0 ? "_minus" : "_plus") +
                                                std::to_string(std::abs(info.param.ppm));
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });

}  // namespace
