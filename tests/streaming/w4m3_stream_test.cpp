// The W4M3 render stream on the catalog's stereo UAC 1.0 device: a client plays three channels,
// the limiter runs over them and the device receives the first two, sample-exact after the
// limiter's look-ahead.
#include "streaming/stream_machine.h"

#include "driver/engine/uac1/W4M3PlaybackStream.h"

namespace {

using sim::machine::kMillisecond;
using stream_test::RampValue;
using stream_test::StreamMachine;
using stream_test::TestClient;

class W4M3StreamTest : public StreamMachine {};

TEST_F(W4M3StreamTest, AnOddChannelCountReachesTheDeviceAsItsFirstTwoChannels) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    auto* stream = new (NonPagedPoolNx, 'tM4W') W4M3PlaybackStream(nullptr, kRenderInterface, 0);
    ASSERT_NE(stream, nullptr);
    stream->NonDelegatingAddRef();
    ASSERT_EQ(stream->StartWorker(StreamDirectionRender, m_common), STATUS_SUCCESS);
    ASSERT_TRUE(stream->HasLimiter());
    // Three 16-bit channels at 48 kHz, carried on the device's stereo 16-bit setting.
    WAVEFORMATEXTENSIBLE format = FindFormat(Stream(0), 48000, 16);
    format.Format.nChannels = 3;
    format.Format.nBlockAlign = 6;
    format.Format.nAvgBytesPerSec = 6 * 48000;
    format.dwChannelMask = 0x7;
    ASSERT_EQ(stream->AddAltSettingFormat(&format, 1), STATUS_SUCCESS);
    ASSERT_EQ(stream->AllocateWorkBuffers(), STATUS_SUCCESS);
    {
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(300 * kMillisecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();

        const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
        EXPECT_EQ(sink.Format().channels, 2u);
        EXPECT_EQ(sink.Frames(), client.FramesWritten());
        EXPECT_EQ(sink.PartialFramePackets(), 0u);
        // The limiter delays by its look-ahead; below full scale it passes the ramp unchanged.
        constexpr uint64_t kLookAhead = 256;
        for (uint64_t f = kLookAhead; f < sink.StoredFrames(); ++f) {
            for (unsigned c = 0; c < 2; ++c) {
                ASSERT_EQ(sink.Sample(f, c), RampValue(0, f - kLookAhead, c, 2)) << "frame " << f << " channel " << c;
            }
        }
    }
    stream->NonDelegatingRelease();
}

}  // namespace

namespace {

// The W4M3 model device with the driver's W4M3 HAL: its render engine offers eight channels, and
// an eight-channel client reaches the stereo device as two channels, frame for frame.
class W4M3ModelStreamTest : public StreamMachine {};

TEST_F(W4M3ModelStreamTest, EightChannelRampReachesTheDeviceAsTwoChannels) {
    ASSERT_EQ(StartDevice("uac1-w4m3"), STATUS_SUCCESS);
    UsbAudioStream* stream = Stream(0);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->GetDirection(), StreamDirectionRender);
    const WAVEFORMATEXTENSIBLE format = FindFormat(stream, 48000, 16);
    ASSERT_EQ(format.Format.nChannels, 8);
    ASSERT_EQ(format.Format.nBlockAlign, 16);
    {
        TestClient client(stream, ClientKind::WaveStream);
        ASSERT_EQ(client.Register(format), STATUS_SUCCESS);
        ASSERT_EQ(client.SetFormat(), STATUS_SUCCESS);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        sim::machine::RunFor(300 * kMillisecond);
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        client.Leave();

        const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
        EXPECT_EQ(sink.Format().channels, 2u);
        EXPECT_GT(sink.Frames(), 9000u);
        EXPECT_EQ(sink.Frames(), client.FramesWritten());
        EXPECT_EQ(sink.PartialFramePackets(), 0u);
        EXPECT_EQ(sink.OversizePackets(), 0u);
        constexpr uint64_t kLookAhead = 256;
        for (uint64_t f = kLookAhead; f < sink.StoredFrames(); ++f) {
            for (unsigned c = 0; c < 2; ++c) {
                ASSERT_EQ(sink.Sample(f, c), RampValue(0, f - kLookAhead, c, 2)) << "frame " << f << " channel " << c;
            }
        }
    }
}

}  // namespace
