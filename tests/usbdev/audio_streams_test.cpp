// Isochronous data of the simulated audio function: render sinks, capture sources, explicit
// feedback and the status interrupt queue, driven frame by frame as the host controller will.
#include "usb_test_support.h"
#include "wav_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kFullSpeedFrame = 8;  // microframes per 1 ms frame

// Interleaved little-endian containers of the given size.
Bytes Pack(const std::vector<int32_t>& samples, unsigned bytes) {
    Bytes out;
    for (int32_t s : samples) {
        for (unsigned i = 0; i < bytes; ++i) out.push_back(uint8_t(uint32_t(s) >> (8 * i)));
    }
    return out;
}

TEST(RenderSink, StoresWhatArrivesAndCountsMalformedPackets) {
    auto d = Configured("uac2");
    ASSERT_EQ(SelectAlternate(*d, 1, 1), ControlStatus::Ok);  // 24 bits in 4-byte containers, stereo
    RenderSink* sink = d->Audio()->Render(1);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->Format().FrameBytes(), 8u);
    EXPECT_EQ(sink->Format().rateHz, 48000u);

    std::vector<int32_t> ramp;
    for (int32_t n = 0; n < 12; ++n) ramp.insert(ramp.end(), {n << 8, -(n << 8)});  // 6 frames per packet
    EXPECT_EQ(d->IsoOut(0x01, 0, Pack({ramp.begin(), ramp.begin() + 12}, 4)).length, 48u);
    EXPECT_EQ(d->IsoOut(0x01, 1, Pack({ramp.begin() + 12, ramp.end()}, 4)).length, 48u);
    d->IsoOut(0x01, 2, Bytes(8 * 6 + 3));  // a partial frame
    d->IsoOut(0x01, 3, Bytes(201));        // longer than wMaxPacketSize (200)
    d->IsoOut(0x01, 4, Bytes());

    EXPECT_EQ(sink->Packets(), 5u);
    EXPECT_EQ(sink->PartialFramePackets(), 2u);
    EXPECT_EQ(sink->OversizePackets(), 1u);
    EXPECT_EQ(sink->EmptyPackets(), 1u);
    EXPECT_EQ(sink->Frames(), 12u + 6u + 25u);
    for (int32_t n = 0; n < 12; ++n) {
        EXPECT_EQ(sink->Sample(uint64_t(n), 0), n << 8);
        EXPECT_EQ(sink->Sample(uint64_t(n), 1), -(n << 8));
    }
    EXPECT_EQ(sink->Channel(1).size(), sink->StoredFrames());

    SelectAlternate(*d, 1, 2);  // 16-bit containers: another frame layout starts afresh
    EXPECT_EQ(sink->Frames(), 0u);
    d->IsoOut(0x01, 5, Pack({-2, 3}, 2));
    EXPECT_EQ(sink->Sample(0, 0), -2);
    EXPECT_EQ(sink->Sample(0, 1), 3);
}

TEST(RenderSink, WritesAWavFile) {
    auto d = Configured("uac1");
    SelectAlternate(*d, 1, 2);  // 24 bits in 3 bytes, 44.1 kHz
    d->IsoOut(0x01, 0, Pack({1, -1, 0x7FFFFF, -0x800000}, 3));
    const std::string path = ::testing::TempDir() + "usbdev_render.wav";
    ASSERT_TRUE(d->Audio()->Render(1)->WriteWav(path));
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 44u + 12u);
    auto u32 = [&](size_t at) { return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24); };
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 12u);
    EXPECT_EQ(file[22], 2) << "channels";
    EXPECT_EQ(u32(24), 44100u);
    EXPECT_EQ(file[32], 6) << "block align";
    EXPECT_EQ(file[34], 24) << "bits per sample";
    EXPECT_EQ(u32(40), 12u);
    EXPECT_EQ(Bytes(file.begin() + 44, file.end()), Pack({1, -1, 0x7FFFFF, -0x800000}, 3));
    std::filesystem::remove(path);
}

// Frames per packet follow the rate exactly over a second, and the ramp has no gap or repeat.
TEST(CaptureSource, DeliversTheRateFrameByFrame) {
    struct Case {
        const char* device;
        uint8_t alternate;
        uint32_t rate;          // Hz, set before streaming
        uint64_t packetUnits;   // microframes per packet
        unsigned containerBytes, validBits;
    } cases[] = {
        {"uac1", 1, 44100, kFullSpeedFrame, 2, 16},
        {"uac1", 2, 48000, kFullSpeedFrame, 3, 24},
        {"uac2", 1, 44100, 1, 4, 24},
        {"uac2", 2, 192000, 1, 2, 16},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.device) + " rate " + std::to_string(k.rate));
        auto d = Configured(k.device);
        if (std::string(k.device) == "uac1") {
            Transfer(*d, MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, USB_AUDIO1_SET_CUR, 0x0100, 0x82, 3),
                     {uint8_t(k.rate), uint8_t(k.rate >> 8), uint8_t(k.rate >> 16)});
        } else {
            Transfer(*d, MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO2_CUR, 0x0100, 40 << 8, 4),
                     Le(k.rate, 4));
        }
        SelectAlternate(*d, 2, k.alternate);
        CaptureSource* source = d->Audio()->Capture(2);
        ASSERT_NE(source, nullptr);
        source->Configure(CaptureSourceConfig{.kind = SourceKind::Ramp, .start = 5, .step = 1, .channelOffset = 1000});
        ASSERT_EQ(source->Format().rateHz, k.rate);

        const unsigned frameBytes = 2 * k.containerBytes;
        uint64_t frames = 0;
        int64_t expected = 5;
        Bytes buffer(1024);
        for (uint64_t t = 0; t < 8000; t += k.packetUnits) {  // one second
            PacketResult r = d->IsoIn(0x82, t, buffer);
            ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
            ASSERT_EQ(r.length % frameBytes, 0u);
            for (unsigned f = 0; f < r.length / frameBytes; ++f, ++frames, ++expected) {
                for (unsigned c = 0; c < 2; ++c) {
                    uint32_t v = 0;
                    for (unsigned i = 0; i < k.containerBytes; ++i) {
                        v |= uint32_t(buffer[f * frameBytes + c * k.containerBytes + i]) << (8 * i);
                    }
                    const int32_t valid = int32_t(v << (32 - 8 * k.containerBytes)) >> (32 - k.validBits);
                    const int32_t ramp = int32_t(uint32_t(expected + 1000 * c) << (32 - k.validBits)) >> (32 - k.validBits);
                    ASSERT_EQ(valid, ramp) << "frame " << frames;
                }
            }
        }
        EXPECT_EQ(frames, k.rate);
        EXPECT_EQ(source->FramesProduced(), k.rate);
    }
}

TEST(CaptureSource, SkippedFramesLeaveAGapAndTheClockOffsetCounts) {
    auto d = Configured("uac1");
    SelectAlternate(*d, 2, 1);  // 16 bits, 44.1 kHz, asynchronous
    Bytes buffer(256);
    d->IsoIn(0x82, 0, buffer);                       // frames 0 .. 43
    d->IsoIn(0x82, 2 * kFullSpeedFrame, buffer);     // the host missed frame 1
    EXPECT_EQ(int16_t(buffer[0] | buffer[1] << 8), 88) << "sample 88 starts frame 2";

    d->Audio()->SetClockOffsetPpm(1000);  // the device clock runs 0.1 % fast
    uint64_t frames = 0;
    for (uint64_t t = 0; t < 8000; t += kFullSpeedFrame) frames += d->IsoIn(0x82, t, buffer).length / 4;
    EXPECT_EQ(frames, 44144u);
}

TEST(Feedback, ReportsTheDeviceClock) {
    auto d = Configured("uac2");
    SelectAlternate(*d, 1, 1);
    struct Case {
        int32_t ppm;
        std::optional<uint32_t> override;
        uint32_t expected;  // 16.16 frames per microframe
    } cases[] = {
        {0, std::nullopt, 0x00060000},   // 48 kHz: 6 frames per 125 us
        {100, std::nullopt, 0x00060027}, // 6.0006
        {-100, std::nullopt, 0x0005FFD8},
        {0, 0x00058000, 0x00058000},
    };
    Bytes buffer(4);
    for (const Case& k : cases) {
        d->Audio()->SetClockOffsetPpm(k.ppm);
        d->Audio()->SetFeedbackOverride(k.override);
        PacketResult r = d->IsoIn(0x81, 0, buffer);
        ASSERT_EQ(r.length, 4u);
        EXPECT_EQ(uint32_t(buffer[0] | buffer[1] << 8 | buffer[2] << 16 | buffer[3] << 24), k.expected) << k.ppm;
    }
    d->Audio()->SetFeedbackOverride(std::nullopt);
    SelectAlternate(*d, 1, 0);
    EXPECT_EQ(d->IsoIn(0x81, 0, buffer).status, USBD_STATUS_INVALID_PIPE_HANDLE) << "no feedback without a stream";
}

TEST(StatusInterrupts, ChangesFromTheDeviceAreAnnounced) {
    struct Case {
        const char* device;
        Bytes message;
    } cases[] = {
        {"uac1", {0x80, 2}},                      // pending, from the AudioControl interface, unit 2
        {"uac2", {0x00, 0x01, 0x01, 0x02, 0x00, 0x02}},  // CUR, volume channel 1, entity 2 interface 0
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.device);
        auto d = Configured(k.device);
        Bytes buffer(8);
        EXPECT_TRUE(d->InterruptIn(0x83, 0, buffer).nak);
        ASSERT_TRUE(d->Audio()->ChangeFromDevice(2, USB_AUDIO_FU_VOLUME_CONTROL, 1, -1280));
        EXPECT_FALSE(d->Audio()->ChangeFromDevice(2, USB_AUDIO_FU_VOLUME_CONTROL, 9, 0)) << "no such control";
        EXPECT_EQ(d->Audio()->QueuedInterrupts(), 1u);
        PacketResult r = d->InterruptIn(0x83, 0, buffer);
        ASSERT_FALSE(r.nak);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.length), k.message);
        EXPECT_EQ(d->Audio()->ControlValue(2, USB_AUDIO_FU_VOLUME_CONTROL, 1), -1280);
        EXPECT_TRUE(d->InterruptIn(0x83, 1, buffer).nak);
    }
}

}  // namespace

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;

// A capture source plays a WAV file: the file's samples scaled to the stream's valid bits, its
// channels in order (silence past them), looped or silent after the end.
TEST(CaptureSource, PlaysAWavFile) {
    const std::string path = ::testing::TempDir() + "usbdev_source.wav";
    const std::vector<int32_t> mono16 = {100, -200, 300, -400};
    ASSERT_TRUE(sim::usb::detail::WriteWav(path, 1, 2, 48000, mono16));
    struct Case {
        const char* name;
        uint8_t alternate;  // uac1 capture: 1 = 16 bits in 2 bytes, 2 = 24 bits in 3 bytes
        bool loop;
        std::vector<int32_t> left;  // the first 6 frames' left channel as the container holds it
    } cases[] = {
        {"SameSize", 1, true, {100, -200, 300, -400, 100, -200}},
        {"Widened", 2, true, {100 << 8, -200 * 256, 300 << 8, -400 * 256, 100 << 8, -200 * 256}},
        {"Once", 1, false, {100, -200, 300, -400, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto d = Configured("uac1");
        ASSERT_EQ(SelectAlternate(*d, 2, c.alternate), ControlStatus::Ok);
        CaptureSource* source = d->Audio()->Capture(2);
        source->Configure(CaptureSourceConfig{.kind = SourceKind::Silence, .loop = c.loop});
        std::string error;
        ASSERT_TRUE(source->LoadWav(path, &error)) << error;
        EXPECT_EQ(source->Config().kind, SourceKind::Wav);
        Bytes buffer(512);
        const PacketResult r = d->IsoIn(0x82, 0, buffer);
        const unsigned bytes = c.alternate == 1 ? 2 : 3;
        ASSERT_GE(r.length, 6u * 2 * bytes);
        for (size_t f = 0; f < c.left.size(); ++f) {
            auto sample = [&](unsigned channel) {
                uint32_t v = 0;
                for (unsigned i = 0; i < bytes; ++i) v |= uint32_t(buffer[(f * 2 + channel) * bytes + i]) << (8 * i);
                return int32_t(v << (32 - 8 * bytes)) >> (32 - 8 * bytes);
            };
            EXPECT_EQ(sample(0), c.left[f]) << "frame " << f;
            EXPECT_EQ(sample(1), 0) << "the file has one channel";
        }
    }
    std::filesystem::remove(path);
}

TEST(CaptureSource, RefusesFilesItCannotPlay) {
    const std::string path = ::testing::TempDir() + "usbdev_bad.wav";
    auto wav = [](uint16_t tag, uint16_t channels, uint16_t bits, uint32_t dataBytes, uint32_t fmtBytes = 16) {
        Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
        auto put = [&](uint32_t v, unsigned n) {
            for (unsigned i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
        };
        put(fmtBytes, 4);
        put(tag, 2), put(channels, 2), put(48000, 4), put(48000u * channels * bits / 8, 4);
        put(uint32_t(channels * bits / 8), 2), put(bits, 2);
        b.insert(b.end(), {'d', 'a', 't', 'a'});
        put(dataBytes, 4);
        b.resize(b.size() + 8);
        return b;
    };
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"NotRiff", Bytes(64, 'x')},
        {"Float", wav(3, 2, 32, 8)},
        {"TwelveBits", wav(1, 2, 12, 8)},
        {"NoChannels", wav(1, 0, 16, 8)},
        {"FormatPastTheEnd", wav(1, 2, 16, 8, 4000)},
    };
    auto d = Configured("uac1");
    CaptureSource* source = d->Audio()->Capture(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(c.file.data()), std::streamsize(c.file.size()));
        std::string error;
        EXPECT_FALSE(source->LoadWav(path, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(source->Config().kind, SourceKind::Ramp) << "the source is unchanged";
    }
    EXPECT_FALSE(source->LoadWav(path + ".missing"));
    std::filesystem::remove(path);
}

// The sink plays at the device's clock: an asynchronous device running fast drains a host that
// sends the nominal rate; a host that follows the device's rate keeps the backlog within a packet.
TEST(RenderSink, BacklogFollowsTheDeviceClock) {
    struct Case {
        const char* name;
        const char* device;
        uint8_t alternate;
        int32_t ppm;
        bool followDevice;   // the host sends what the device clock plays, else the nominal rate
        int64_t minBacklog;  // frames, after one second
        int64_t maxBacklog;
    } cases[] = {
        {"AsyncNominal", "uac2", 2, 0, false, 0, 0},
        {"AsyncFastIgnored", "uac2", 2, 1000, false, -48, 0},
        {"AsyncSlowIgnored", "uac2", 2, -1000, false, 0, 48},
        {"AsyncFastFollowed", "uac2", 2, 1000, true, 0, 0},
        {"AdaptiveIgnoresTheOffset", "uac1", 1, 1000, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto d = Configured(c.device);
        ASSERT_EQ(SelectAlternate(*d, 1, c.alternate), ControlStatus::Ok);
        if (std::string(c.device) == "uac1") {  // 48 kHz on the adaptive endpoint
            Transfer(*d, MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, USB_AUDIO1_SET_CUR, 0x0100, 0x01, 3),
                     Le(48000, 3));
        }
        d->Audio()->SetClockOffsetPpm(c.ppm);
        RenderSink* sink = d->Audio()->Render(1);
        const uint32_t frameBytes = sink->Format().FrameBytes();
        const uint64_t step = std::string(c.device) == "uac2" ? 1 : kFullSpeedFrame;  // microframes a packet
        const uint64_t rate = 48000ull * uint64_t(1'000'000 + (c.followDevice ? c.ppm : 0));
        uint64_t sent = 0;
        for (uint64_t t = 0; t <= 8000; t += step) {
            const uint64_t due = rate * (t + step) / (8000ull * 1'000'000ull);  // frames by the packet's end
            d->IsoOut(0x01, 1000 + t, Bytes((due - sent) * frameBytes));
            sent = due;
        }
        EXPECT_EQ(sink->MinBacklog(), c.minBacklog);
        EXPECT_EQ(sink->MaxBacklog(), c.maxBacklog);
        SelectAlternate(*d, 1, 0);
        SelectAlternate(*d, 1, c.alternate);
        EXPECT_EQ(sink->MinBacklog(), 0) << "a new stream starts its own playback";
    }
}

}  // namespace
