// The wave-cyclic pieces that need no device: the check of a stream's data format against an
// engine's records, and the owner-to-stream byte conversion that keeps a stream's position at its
// own rate while another client owns the USB stream; and a stream in RUN on a scripted USB stream,
// for what it reads out of its cyclic buffer and the position it reports.
#include <gtest/gtest.h>

#include "driver/engine/stream/StreamClient.h"
#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/front/WaveCyclicMiniport.h"
#include "driver/front/WaveCyclicStream.h"

#include <sim/machine.h>
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

// A device record with channel mask 0 (no positions assigned) opens for a client's mask that
// names one position per channel, and the stream takes the device's record.
TEST_F(EngineRecords, ChannelMaskZeroRecordTakesAStandardMask) {
    WAVEFORMATEXTENSIBLE unassigned = Record(44100, 16, 2);
    unassigned.dwChannelMask = 0;
    ASSERT_EQ(m_Engine->AddFormat(&unassigned), STATUS_SUCCESS);
    struct Case {
        ULONG mask;
        NTSTATUS expected;
    };
    for (const Case& c : {Case{3, STATUS_SUCCESS}, Case{0x30, STATUS_SUCCESS}, Case{0, STATUS_SUCCESS},
                          Case{7, STATUS_INVALID_PARAMETER}, Case{1, STATUS_INVALID_PARAMETER}}) {
        SCOPED_TRACE(c.mask);
        WAVEFORMATEXTENSIBLE wave = unassigned;
        wave.dwChannelMask = c.mask;
        const std::vector<UCHAR> bytes = DataFormat(104, 0, 64, wave, 22);
        WAVEFORMATEXTENSIBLE out;
        EXPECT_EQ(ValidateWaveDataFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), m_Engine, &out), c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(out.dwChannelMask, 0u);
        }
    }
    // A record with its own mask still wants that mask.
    WAVEFORMATEXTENSIBLE wave = Record(48000, 16, 2);
    wave.dwChannelMask = 0x30;
    const std::vector<UCHAR> bytes = DataFormat(104, 0, 64, wave, 22);
    WAVEFORMATEXTENSIBLE out;
    EXPECT_EQ(ValidateWaveDataFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), m_Engine, &out),
              STATUS_INVALID_PARAMETER);
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

// A stream on its own (no port, no device): the geometry of its cyclic buffer and what it tells
// the port about it.
class StreamGeometry : public testing::Test {
protected:
    explicit StreamGeometry(PUNKNOWN engineOuter = nullptr) : m_EngineOuter(engineOuter) {}
    void SetUp() override {
        ASSERT_EQ(CreateWaveCyclicMiniport(&m_MiniportUnknown, CLSID_PortWaveCyclic, nullptr, NonPagedPoolNx, 0),
                  STATUS_SUCCESS);
        ASSERT_EQ(m_MiniportUnknown->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&m_Miniport)),
                  STATUS_SUCCESS);
        m_Engine = new (NonPagedPoolNx, 'tseT') StreamEngine(m_EngineOuter, 1);
        m_Engine->NonDelegatingAddRef();
        ASSERT_EQ(m_Engine->Init(StreamDirectionRender), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (m_Stream != nullptr) m_Stream->NonDelegatingRelease();
        if (m_ServiceGroup != nullptr) m_ServiceGroup->Release();
        m_Engine->NonDelegatingRelease();
        if (m_Miniport != nullptr) m_Miniport->Release();
        m_MiniportUnknown->Release();
    }
    // A fresh miniport and engine without a stream, for the next case of a table.
    void StartOver() {
        TearDown();
        m_Stream = nullptr;
        m_ServiceGroup = nullptr;
        m_Miniport = nullptr;
        SetUp();
    }
    // A stream in the format (added to the engine's records first).
    void Open(const WAVEFORMATEXTENSIBLE& wave, BOOLEAN capture = FALSE) {
        ASSERT_EQ(m_Engine->AddFormat(&wave), STATUS_SUCCESS);
        std::vector<UCHAR> format = DataFormat(104, 0, 64, wave, 22);
        m_Stream = new (NonPagedPoolNx, 'tseT') WaveCyclicStream(nullptr);
        m_Stream->NonDelegatingAddRef();
        ASSERT_EQ(m_Stream->Init(static_cast<WaveCyclicMiniport*>(m_Miniport), 0, capture,
                                 reinterpret_cast<PKSDATAFORMAT>(format.data()), m_Engine, &m_ServiceGroup),
                  STATUS_SUCCESS);
    }
    PUNKNOWN m_EngineOuter;
    PUNKNOWN m_MiniportUnknown = nullptr;
    PMINIPORTWAVECYCLIC m_Miniport = nullptr;
    StreamEngine* m_Engine = nullptr;
    WaveCyclicStream* m_Stream = nullptr;
    PSERVICEGROUP m_ServiceGroup = nullptr;
};

// The buffer is 50 ms in whole frames, and a size the port sets is taken in whole frames too.
TEST_F(StreamGeometry, BufferSizesAreWholeFrames) {
    struct Case {
        ULONG rate;
        WORD bits;
        WORD channels;
        ULONG allocated;
        ULONG framing;  // SetNotificationFreq's frame size: 10 ms
    };
    const Case cases[] = {
        {48000, 16, 2, 9600, 1920},
        {22050, 16, 2, 4408, 880},   // 4410 would end inside a frame
        {11025, 24, 2, 3306, 660},   // 3307.5
        {44100, 24, 2, 13230, 2646},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        StartOver();
        Open(Record(c.rate, c.bits, c.channels));
        EXPECT_EQ(m_Stream->AllocatedBufferSize(), c.allocated);
        ULONG framing = 0;
        EXPECT_EQ(m_Stream->SetNotificationFreq(25, &framing), 10u);
        EXPECT_EQ(framing, c.framing);
        const ULONG block = c.channels * c.bits / 8u;
        m_Stream->SetBufferSize(c.allocated);  // not below the allocation: ignored
        EXPECT_EQ(m_Stream->BufferSize(), c.allocated);
        m_Stream->SetBufferSize(c.allocated / 2 + 1);
        EXPECT_EQ(m_Stream->BufferSize() % block, 0u);
        EXPECT_LE(m_Stream->BufferSize(), c.allocated / 2 + 1);
        EXPECT_GT(m_Stream->BufferSize() + block, c.allocated / 2 + 1);
    }
}

// Silence is the format's zero: 0x80 for unsigned 8-bit samples, 0 otherwise; never outside the buffer.
TEST_F(StreamGeometry, SilenceOfEightBitIsTheMidpoint) {
    Open(Record(8000, 8, 1));
    auto* buffer = static_cast<PUCHAR>(m_Stream->SystemAddress());
    const ULONG size = m_Stream->AllocatedBufferSize();
    ASSERT_EQ(size, 400u);
    std::memset(buffer, 0x11, size);
    m_Stream->Silence(buffer + 100, 50);
    EXPECT_EQ(buffer[99], 0x11);
    EXPECT_EQ(buffer[100], 0x80);
    EXPECT_EQ(buffer[149], 0x80);
    EXPECT_EQ(buffer[150], 0x11);
    m_Stream->Silence(buffer + 390, 20);  // would leave the buffer: nothing
    EXPECT_EQ(buffer[390], 0x11);
    LONGLONG position = 800;  // bytes of 8 kHz mono 8-bit: 100 ms
    EXPECT_EQ(m_Stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 1000000);
}

// The engine's USB stream as the wave stream sees it: it takes the stream's client and hands the
// notices the test gives it to the stream's callback.
class ScriptedUsbStream : public StreamClients {
public:
    STDMETHODIMP QueryInterface(REFIID InterfaceId, PVOID* Interface) override {
        *Interface = InterfaceId == IID_StreamClients ? static_cast<StreamClients*>(this) : nullptr;
        return *Interface != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP RegisterClient(ULONG Kind, PWAVEFORMATEX Format, ULONG TransferMs, ULONG TransferCount,
                                PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Client) override {
        m_Client = {};
        m_Client.Kind = Kind;
        m_Client.Registration = &m_Client;
        m_Client.TransferMilliseconds = TransferMs;
        m_Client.TransferCount = TransferCount;
        std::memcpy(&m_Client.Format, Format, sizeof(m_Client.Format));
        m_Callback = Callback;
        m_Context = Context;
        *Client = &m_Client;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP UnregisterClient(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP StartClient(PVOID, ULONG, PULONG TransferMs, ProcessingStage*) override {
        *TransferMs = WaveCyclicTransferMs;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP StopClient(PVOID, ProcessingStage*) override { return STATUS_SUCCESS; }
    STDMETHODIMP SetClientFormat(PVOID, PULONG TransferMs, PULONG BusFrame) override {
        *TransferMs = WaveCyclicTransferMs;
        *BusFrame = 100;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP CloseClient(PVOID) override { return STATUS_SUCCESS; }

    // The stream's own format takes the USB stream: Count transfers of 5 ms in flight.
    void FormatChanged(ULONG count) {
        StreamNotifyRecord record = {};
        record.FirstValue.Shape.Milliseconds = WaveCyclicTransferMs | StreamFormatChangedFlag;
        record.FirstValue.Shape.Count = count;
        Send(StreamNotifyKind::FormatChanged, &record);
    }
    void Fill(PUCHAR data, ULONG bytes) {
        StreamNotifyRecord record = {};
        record.FirstValue.Data = data;
        record.SecondValue = bytes;
        Send(StreamNotifyKind::FillRenderBuffer, &record);
    }
    void Captured(const UCHAR* data, ULONG bytes) {
        StreamNotifyRecord record = {};
        record.FirstValue.Data = const_cast<PUCHAR>(data);
        record.SecondValue = bytes;
        Send(StreamNotifyKind::CaptureData, &record);
    }
    void Done(ULONG bytes) {
        StreamNotifyRecord record = {};
        record.FirstValue.ByteCount = bytes;
        Send(StreamNotifyKind::TransferDone, &record);
    }

private:
    void Send(StreamNotifyKind kind, StreamNotifyRecord* record) {
        record->Owner = &m_Client;
        record->Kind = static_cast<ULONG>(kind);
        m_Callback(m_Context, record, nullptr);
    }
    StreamClient m_Client = {};
    PCALLBACK_FUNCTION m_Callback = nullptr;
    PVOID m_Context = nullptr;
};

// A render stream in RUN on the scripted USB stream.
class RunningStream : public StreamGeometry {
protected:
    RunningStream() : StreamGeometry(&m_Usb) {}
    void Run(const WAVEFORMATEXTENSIBLE& wave, BOOLEAN capture = FALSE) {
        Open(wave, capture);
        ASSERT_EQ(m_Stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    ULONG Position() {
        ULONG position = ~0u;
        EXPECT_EQ(m_Stream->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }
    ScriptedUsbStream m_Usb;
};

// The USB side reads the cyclic buffer from its start point on, across the end of the buffer and
// back to its start, byte for byte, whatever the transfer size; what it starts with (the audio it
// keeps in flight before the port's first frame) is the format's silence.
TEST_F(RunningStream, RenderTransfersReadAcrossTheWrap) {
    struct Case {
        ULONG rate;
        WORD bits;
        WORD channels;
        ULONG fill;  // bytes per transfer, whole frames that do not divide the buffer
    };
    const Case cases[] = {
        {48000, 16, 2, 1000},
        {44100, 24, 2, 1326},
        {8000, 8, 1, 37},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        StartOver();
        const WAVEFORMATEXTENSIBLE wave = Record(c.rate, c.bits, c.channels);
        Run(wave);
        auto* buffer = static_cast<PUCHAR>(m_Stream->SystemAddress());
        const ULONG size = m_Stream->BufferSize();
        for (ULONG i = 0; i < size; ++i) buffer[i] = static_cast<UCHAR>(i * 7 + i / 251 + 1);
        m_Usb.FormatChanged(3);
        const ULONG inFlight = c.rate / 1000 * wave.Format.nBlockAlign * WaveCyclicTransferMs * 3;
        const UCHAR silence = c.bits == 8 ? 0x80 : 0;
        const std::vector<UCHAR> ring(buffer, buffer + size);
        for (ULONG i = 0; i < size; ++i) {
            ASSERT_EQ(ring[i], i < size - inFlight ? static_cast<UCHAR>(i * 7 + i / 251 + 1) : silence) << i;
        }
        // Two and a half times round the buffer.
        std::vector<UCHAR> read;
        std::vector<UCHAR> transfer(c.fill);
        while (read.size() < size * 5 / 2) {
            std::memset(transfer.data(), 0x55, c.fill);
            m_Usb.Fill(transfer.data(), c.fill);
            m_Usb.Done(c.fill);
            read.insert(read.end(), transfer.begin(), transfer.end());
        }
        for (size_t k = 0; k < read.size(); ++k) {
            ASSERT_EQ(read[k], ring[(size - inFlight + k) % size]) << "byte " << k;
        }
        ASSERT_EQ(Position(), read.size() % size);
        ASSERT_EQ(m_Stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
}

// Between completions the position runs on with the clock in whole frames, never past the
// transfer in flight; the next completion carries on from where the estimate stopped.
TEST_F(RunningStream, PositionBetweenCompletionsIsCappedAtTheTransferInFlight) {
    using sim::machine::kMicrosecond;
    using sim::machine::kMillisecond;
    Run(Record(48000, 16, 2));  // 192 bytes a millisecond, 960 a transfer
    m_Usb.FormatChanged(3);
    UCHAR transfer[960];
    for (int n = 0; n < 3; ++n) m_Usb.Fill(transfer, sizeof(transfer));
    EXPECT_EQ(Position(), 0u);
    m_Usb.Done(960);
    EXPECT_EQ(Position(), 960u);
    struct Step {
        sim::machine::Time wait;  // from the last step
        ULONG position;
    };
    const Step steps[] = {
        {2 * kMillisecond, 960 + 384},
        {1030 * kMicrosecond, 960 + 580},  // 3.03 ms: 581.76 bytes, 145 whole frames
        {1 * kMillisecond, 960 + 772},
        {10 * kMillisecond, 960 + 960},    // long past the transfer: held at its end
    };
    for (const Step& s : steps) {
        sim::machine::RunFor(s.wait);
        EXPECT_EQ(Position(), s.position) << s.wait;
    }
    m_Usb.Done(960);
    EXPECT_EQ(Position(), 1920u);
    sim::machine::RunFor(1 * kMillisecond);
    EXPECT_EQ(Position(), 1920u + 192);
    // Leaving RUN holds the position the port saw last.
    ASSERT_EQ(m_Stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 1920u + 192);
}

// Captured audio lands in the cyclic buffer in order across its end, and the position the port
// reads from never runs past what has landed: between completions it moves on with the clock up
// to the end of the last completed transfer, in whole frames.
TEST_F(RunningStream, CaptureWritesAcrossTheWrapAndThePositionStaysBehindTheData) {
    using sim::machine::kMicrosecond;
    using sim::machine::kMillisecond;
    Run(Record(48000, 16, 2), TRUE);  // 9600-byte buffer, 192 bytes a millisecond
    m_Usb.FormatChanged(3);
    const auto* buffer = static_cast<const UCHAR*>(m_Stream->SystemAddress());
    const ULONG size = m_Stream->BufferSize();
    const ULONG transfer = 1000;  // 250 frames: the buffer's end falls inside the tenth
    std::vector<UCHAR> data(transfer);
    ULONGLONG landed = 0;
    for (int n = 0; n < 25; ++n) {
        for (ULONG i = 0; i < transfer; ++i) data[i] = static_cast<UCHAR>((landed + i) * 5 + (landed + i) / 253);
        m_Usb.Captured(data.data(), transfer);
        m_Usb.Done(transfer);
        landed += transfer;
        // 2.03 ms: 389.76 bytes, so the rest of the transfer, 610.24 bytes, is 152 frames behind.
        sim::machine::RunFor(n % 3 == 0 ? 2030 * kMicrosecond : 20 * kMillisecond);
        const ULONG position = Position();
        ASSERT_EQ(position % 4, 0u) << n;
        // How far the position is behind the end of what landed.
        const ULONG behind = static_cast<ULONG>((landed + size - position) % size);
        ASSERT_LE(behind, transfer) << n;
        ASSERT_EQ(behind, n % 3 == 0 ? 608u : 0u) << n;
    }
    for (ULONGLONG k = landed - size; k < landed; ++k) {
        ASSERT_EQ(buffer[k % size], static_cast<UCHAR>(k * 5 + k / 253)) << "byte " << k;
    }
    ASSERT_EQ(m_Stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
}

}  // namespace
