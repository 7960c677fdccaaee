// The wave-cyclic pieces that need no device: the check of a stream's data format against an
// engine's records, and the owner-to-stream byte conversion that keeps a stream's position at its
// own rate while another client owns the USB stream.
#include <gtest/gtest.h>

#include "driver/front/WaveCyclicMiniport.h"
#include "driver/front/WaveCyclicStream.h"

#include <win/ksmedia.h>

#include <cstring>
#include <vector>

namespace {

WAVEFORMATEXTENSIBLE Record(ULONG rate, WORD bits, WORD channels) {
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = 3;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

// A data format of `size` bytes: the head, then the wave format at `offset`.
std::vector<UCHAR> DataFormat(ULONG size, ULONG flags, ULONG offset, const WAVEFORMATEXTENSIBLE& wave, WORD cbSize) {
    std::vector<UCHAR> bytes(size, 0);
    KSDATAFORMAT head = {};
    head.FormatSize = size;
    head.Flags = flags;
    head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    head.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &head, sizeof(head));
    WAVEFORMATEXTENSIBLE copy = wave;
    copy.Format.cbSize = cbSize;
    std::memcpy(bytes.data() + offset, &copy, std::min<size_t>(sizeof(copy), size - offset));
    return bytes;
}

class EngineRecords : public testing::Test {
protected:
    void SetUp() override {
        m_Engine = new (NonPagedPoolNx, 'tseT') StreamEngine(nullptr, 1);
        ASSERT_NE(m_Engine, nullptr);
        m_Engine->NonDelegatingAddRef();
        ASSERT_EQ(m_Engine->Init(StreamDirectionRender), STATUS_SUCCESS);
        const WAVEFORMATEXTENSIBLE record = Record(48000, 16, 2);
        ASSERT_EQ(m_Engine->AddFormat(&record), STATUS_SUCCESS);
    }
    void TearDown() override { m_Engine->NonDelegatingRelease(); }
    StreamEngine* m_Engine = nullptr;
};

TEST_F(EngineRecords, DataFormatsAreBoundedBeforeTheyAreRead) {
    const WAVEFORMATEXTENSIBLE wave = Record(48000, 16, 2);
    WAVEFORMATEXTENSIBLE plain = wave;
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    struct Case {
        const char* what;
        std::vector<UCHAR> bytes;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"extensible, 104 bytes", DataFormat(104, 0, 64, wave, 22), STATUS_SUCCESS},
        {"plain, 82 bytes", DataFormat(82, 0, 64, plain, 0), STATUS_SUCCESS},
        {"plain after attributes, 96 bytes", DataFormat(96, 2, 72, plain, 0), STATUS_SUCCESS},
        {"a size no wave format arrives in", DataFormat(84, 0, 64, plain, 0), STATUS_INVALID_PARAMETER},
        {"cbSize past the data format", DataFormat(82, 0, 64, wave, 22), STATUS_INVALID_PARAMETER},
        {"cbSize past the extensible record", DataFormat(104, 0, 64, wave, 200), STATUS_INVALID_PARAMETER},
        {"extensible without its 22 bytes", DataFormat(104, 0, 64, wave, 10), STATUS_INVALID_PARAMETER},
        {"a rate the engine does not carry", DataFormat(104, 0, 64, Record(96000, 16, 2), 22),
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WAVEFORMATEXTENSIBLE out;
        const NTSTATUS status =
            ValidateWaveDataFormat(reinterpret_cast<const KSDATAFORMAT*>(c.bytes.data()), m_Engine, &out);
        EXPECT_EQ(status, c.expected);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(out.Format.nAvgBytesPerSec, 192000u);
            EXPECT_EQ(out.Format.nBlockAlign, 4u);
        }
    }
}

// Each side keeps its own carries, so the converted total follows the stream's rate exactly over
// any number of transfers, whatever the other side converted in between.
TEST(WaveByteConversion, EachSideKeepsTheStreamsRate) {
    struct Case {
        ULONG ownerRate;   // bytes per second
        ULONG streamRate;
        ULONG transferBytes;  // owner bytes per transfer (5 ms)
    };
    const Case cases[] = {
        {176400, 192000, 882},  // 44.1 kHz owner, 48 kHz stream, 2 x 16 bits
        {192000, 176400, 960},  // the other way round
        {288000, 264600, 1440},  // 24-bit stereo
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ownerRate);
        const WaveByteRate owner = ByteRateOf(c.ownerRate);
        const WaveByteRate stream = ByteRateOf(c.streamRate);
        WaveRateCarry fill = {};
        WaveRateCarry done = {};
        ULONGLONG filled = 0;
        ULONGLONG completed = 0;
        const ULONG transfers = 2000;  // 10 s
        for (ULONG n = 0; n < transfers; ++n) {
            filled += ConvertOwnerBytes(c.transferBytes, owner, stream, &fill);
            if (n % 3 != 2) completed += ConvertOwnerBytes(c.transferBytes, owner, stream, &done);
        }
        const ULONGLONG expectedFill = static_cast<ULONGLONG>(c.streamRate) * transfers * 5 / 1000;
        EXPECT_EQ(filled, expectedFill);
        const ULONG doneTransfers = transfers - transfers / 3;
        EXPECT_EQ(completed, static_cast<ULONGLONG>(c.streamRate) * doneTransfers * 5 / 1000);
    }
    // 5 ms of 44.1 kHz stereo 16-bit advance a 48 kHz stream by 5 ms.
    WaveRateCarry carry = {};
    EXPECT_EQ(ConvertOwnerBytes(882, ByteRateOf(176400), ByteRateOf(192000), &carry), 960u);
}

}  // namespace
