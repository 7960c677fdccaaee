// The USB streams of UAC 2.0 endpoints: Uac2PlaybackStream (render) and Uac2CaptureStream
// (capture). Both set the sampling frequency through the clock source that drives their terminal
// (found by its sample-rate control id) and ask the interface which alternate settings are valid
// at the clock's rate.
//
// The playback stream reads the explicit feedback endpoint of an asynchronous interface with every
// data transfer and sizes its packets from the rate the device reports, carrying the fraction of a
// frame from packet to packet, so the device's FIFO neither runs dry nor overflows when its clock
// differs from the bus clock. The reads run back to back on start frames of their own. The capture
// stream is the UAC 1.0 capture stream with the clock source's rate.
#pragma once

#include "driver/engine/uac1/Uac1Streams.h"

// "UAC2": the stream objects (the parser allocates them).
constexpr ULONG Uac2StreamTag = '2CAU';
// "US20": the staging ring and the valid-alternate-settings request.
constexpr ULONG Uac2StagingTag = '02SU';

// Feedback entries further than this from the nominal rate are not believed (Hz).
constexpr ULONG Uac2FeedbackWindowHz = 1000;
// Most feedback entries one read carries: ten milliseconds of microframes.
constexpr ULONG Uac2MaxFeedbackEntries = UsbStreamMaxTransferMs * 8;
// Measured rates are kept in thousandths of a hertz: whole hertz would lose up to a frame a
// second, which a device FIFO of a few milliseconds does not survive for long.
constexpr ULONG Uac2MilliHz = 1000;
// The highest nominal rate a render stream sizes packets for (its milli-hertz fit 32 bits).
constexpr ULONG Uac2MaxRenderRate = 4000000;

// Bus intervals a second: microframes at high speed, frames at full speed.
constexpr ULONG Uac2HighSpeedIntervals = 8000;
constexpr ULONG Uac2FullSpeedIntervals = 1000;

// A feedback value (samples per bus interval in 16.16) as the rate in thousandths of a hertz at
// IntervalsPerSecond intervals.
ULONG64 Uac2FeedbackRate(ULONG Value, ULONG IntervalsPerSecond);

// One feedback entry of Length bytes as it arrived, as milli-hertz; 0 when the length cannot be a
// feedback value. High speed: 16.16 in four bytes. Full speed: 10.14 in three bytes, or four
// bytes read as 16.16 (as 10.14 when only that lands within Uac2FeedbackWindowHz of Nominal).
ULONG64 Uac2FeedbackEntryRate(const UCHAR* Bytes, ULONG Length, BOOLEAN HighSpeed, ULONG Nominal);

// The rate (milli-hertz) render packets are sized at after one feedback read: the mean of the
// Count rates (milli-hertz) whose whole hertz lie within Uac2FeedbackWindowHz of Nominal (Hz), or
// Current when none does.
ULONG Uac2MeasuredRate(const ULONG64* Rates, ULONG Count, ULONG Nominal, ULONG Current);

// Sets Rate on the clock source behind the sample-rate control ClockControlId of the HAL Adapter
// aggregates (the last node with that id, as the HAL finds nodes).
NTSTATUS Uac2SetClockRate(PUNKNOWN Adapter, ULONG ClockControlId, ULONG Rate);

// Whether setting AlternateSetting of Interface can carry Rate frames of BlockAlign bytes a second:
// its data endpoint (the first isochronous endpoint that is not explicit feedback) must hold a
// packet of a clock 0.1 % fast, in wMaxPacketSize (with its extra transactions at high speed). TRUE
// when the transport of Adapter cannot be reached (nothing known against it).
BOOLEAN Uac2SettingCarries(PUNKNOWN Adapter, ULONG Interface, UCHAR AlternateSetting, ULONG Rate, ULONG BlockAlign);

// GET CUR of the valid-alternate-settings control of Interface, through the transport of Adapter:
// setting A is valid when the answer holds its bit (bControlSize bytes of bits, at most four, and
// no more than arrived) and it is set. Setting 0 is always valid; no transport: none other is.
BOOLEAN Uac2IsAltSettingValid(PUNKNOWN Adapter, ULONG Interface, UCHAR AlternateSetting);

// One stream's hold on the rate of the clock source it runs on. Streams on the same clock of the
// same device share its rate: while one holds it, another may take the same rate but not another
// (STATUS_DEVICE_BUSY), so opening one direction never re-clocks the other under its running
// stream. A stream that is the clock's only holder may move it.
class Uac2ClockHold {
public:
    Uac2ClockHold() = default;
    ~Uac2ClockHold() { Release(); }
    Uac2ClockHold(const Uac2ClockHold&) = delete;
    Uac2ClockHold& operator=(const Uac2ClockHold&) = delete;

    NTSTATUS Take(PUNKNOWN Adapter, ULONG ClockControlId, ULONG Rate);
    void Release();
    ULONG Rate() const { return m_Rate; }

private:
    PUNKNOWN m_Adapter = nullptr;  // not referenced: the key of the clock, with its control id
    ULONG m_ClockControlId = 0;
    ULONG m_Rate = 0;  // 0: nothing held
};

class Uac2PlaybackStream : public UsbAudioStream {
public:
    Uac2PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId, ULONG ClockControlId);

    NTSTATUS SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    NTSTATUS FreeTransfers() override;
    NTSTATUS AbortPipes() override;
    NTSTATUS RecoverFromError() override;
    NTSTATUS SubmitTransfer() override;
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;
    NTSTATUS Open(StreamClient* Client, PULONG BusFrame) override;
    BOOLEAN IsAltSettingValid(UCHAR AlternateSetting) override;

    static NTSTATUS FeedbackCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

    // ---- State, for inspection ----
    ULONG ClockControlId() const { return m_ClockControlId; }
    // Hz and milli-hertz.
    ULONG MeasuredRate() const { return MeasuredMilliHz() / Uac2MilliHz; }
    ULONG MeasuredMilliHz() const {
        return static_cast<ULONG>(ReadAcquire(reinterpret_cast<const LONG volatile*>(&m_MeasuredRate)));
    }
    ULONG WholeFramesPerPacket() const { return m_WholeFrames; }
    ULONG LargestTransferBytes() const { return m_LargestTransfer; }
    BOOLEAN HasFeedbackPipe() const { return FeedbackPipe() != nullptr; }
    ULONG FeedbackEntriesPerTransfer() const { return m_FeedbackEntries; }

protected:
    void ResetPositions() override;

private:
    PUSBD_PIPE_INFORMATION FeedbackPipe() const;
    // Sizes Count packets at the measured rate; answers the total bytes (never past the buffer).
    ULONG SizeRenderPackets(PUSBD_ISO_PACKET_DESCRIPTOR Packets, ULONG Count, ULONG BlockAlign);
    // Feedback entries per transfer of the setting: one per service interval of the feedback
    // endpoint over the transfer's milliseconds (at least one); *Width: the bytes asked per entry;
    // *Frames: the bus frames a read of that many entries spans.
    ULONG FeedbackEntriesFor(UCHAR AlternateSetting, ULONG Milliseconds, PULONG Width, PULONG Frames);
    // Under the data lock, with the data transfer it goes out with.
    NTSTATUS SubmitFeedback(UsbTransport* Transport);
    // *Idle: no other read was in flight.
    TransferContext* AcquireFeedbackTransfer(PBOOLEAN Idle);
    void RecycleFeedbackTransfer(TransferContext* Context);
    NTSTATUS CompleteFeedback(PIRP Irp, TransferContext* Context);
    // The entries of a completed read that arrived whole and without error, to the measured rate.
    void ParseFeedback(const TransferContext* Context);
    NTSTATUS ResetPipe(UsbTransport* Transport, PUSBD_PIPE_INFORMATION Pipe);

    ULONG m_ClockControlId;
    Uac2ClockHold m_ClockHold;
    ULONG m_NominalRate;          // Hz, of the open format
    ULONG volatile m_MeasuredRate;  // milli-hertz; written by feedback completions, read by submissions
    LONG64 m_Remainder;           // fraction carried between packets, 1 / (packets per second x 1000) frames
    ULONG m_WholeFrames;          // frames every packet carries at the nominal rate
    ULONG m_MostFramesPerPacket;  // what the data buffers hold per packet
    ULONG m_LargestTransfer;      // bytes of each data buffer
    UCHAR m_FeedbackPipeIndex;    // 0xFF: the setting has no feedback endpoint
    ULONG m_FeedbackEntries;      // per read
    ULONG m_FeedbackWidth;        // bytes asked per entry: 4 at high speed, 3 or 4 at full speed
    ULONG m_FeedbackFrames;       // bus frames one read spans
    ULONG m_FeedbackNextFrame;    // where the next read starts when it is in time; under the data lock
    LONG volatile m_FeedbackRefused;  // the bus refused a read's start frame: the next one starts afresh
    BOOLEAN m_HighSpeed;
    BOOLEAN m_HasRecovered;       // a recovery ran; m_LastRecoveryFrame is its bus frame
    ULONG m_LastRecoveryFrame;
    TransferContext* volatile m_FeedbackFree[UsbStreamSlotCount];
    TransferContext* volatile m_FeedbackInFlight[UsbStreamSlotCount];
    KSPIN_LOCK m_FeedbackLock;
};

class Uac2CaptureStream : public Uac1CaptureStream {
public:
    Uac2CaptureStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId, ULONG ClockControlId);

    // With a client, the clock source's rate first; then the setting.
    NTSTATUS SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    BOOLEAN IsAltSettingValid(UCHAR AlternateSetting) override;

    ULONG ClockControlId() const { return m_ClockControlId; }

private:
    ULONG m_ClockControlId;
    Uac2ClockHold m_ClockHold;
};
