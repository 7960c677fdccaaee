// The USB streams of UAC 1.0 endpoints: Uac1PlaybackStream (render) and Uac1CaptureStream
// (capture). They select the alternate setting with its sampling frequency, build the transfer
// pool for the format owner's format, size every render packet (carrying the fraction of a frame
// from packet to packet, so 44.1 kHz on a full-speed bus sends nine packets of 44 frames and one
// of 45) and collect captured packets in the staging ring, which hands the clients whole frames.
#pragma once

#include "driver/engine/stream/UsbAudioStream.h"

// Milliseconds per transfer before a client states its own.
constexpr ULONG Uac1StreamDefaultTransferMs = 10;
// A capture stream keeps at least this much audio in flight (milliseconds).
constexpr ULONG Uac1CaptureMinimumInFlightMs = 10;

// What the render and capture classes share: the selection with its sampling frequency and Open.
class Uac1Stream : public UsbAudioStream {
public:
    Uac1Stream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);

    // Selects setting A; with a client, sets its sampling frequency, whose failure fails the
    // selection only for capture (adaptive render endpoints follow the data).
    NTSTATUS SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    NTSTATUS Open(StreamClient* Client, PULONG BusFrame) override;

    // ---- State, for inspection ----
    ULONG WholeFramesPerPacket() const { return m_WholeFrames; }
    ULONG LargestTransferBytes() const { return m_LargestTransfer; }
    ULONG StagingBytes() const { return m_StagingBytes; }

protected:
    void ResetPositions() override;
    // Capture: frames per packet of the setting (0 when a packet cannot hold one frame).
    virtual ULONG CaptureFramesPerPacket(UCHAR AlternateSetting, ULONG BlockAlign);

    ULONG m_SampleRate;       // Hz, of the format owner
    LONG m_Remainder;         // render: fraction carried between packets, 1 / (packets per second) frames
    ULONG m_WholeFrames;      // render: frames every packet carries at least
    ULONG m_FramesPerPacket;  // capture: packet stride in frames
    ULONG m_LargestTransfer;  // bytes of each data buffer
};

class Uac1PlaybackStream : public Uac1Stream {
public:
    Uac1PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);

    NTSTATUS SubmitTransfer() override;
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

protected:
    // Sizes Count packets from the remainder in BlockAlign-byte frames; answers the total bytes.
    ULONG SizeRenderPackets(PUSBD_ISO_PACKET_DESCRIPTOR Packets, ULONG Count, ULONG BlockAlign);
    // Steps 1 to 4 of every render submission: sizes, zeroes, lets the owner fill and runs the
    // data path. Answers the total bytes, 0 when they would not fit the data buffer.
    ULONG FillRenderTransfer(TransferContext* Context);
    // What a model does to the filled transfer (Total bytes of the client format) before it is
    // sent; the UAC 1.0 stream sends it as it is.
    virtual void ShapeForDevice(TransferContext* Context, ULONG Total);
};

class Uac1CaptureStream : public Uac1Stream {
public:
    Uac1CaptureStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);

    NTSTATUS SubmitTransfer() override;
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

    ULONG FramesPerPacket() const { return m_FramesPerPacket; }

private:
    // Appends the transfer's packets to the staging ring and hands the whole frames to the clients.
    void ProcessCapture(TransferContext* Context);
    // Appends Bytes bytes (Source null: silence) at the write position, wrapping at the end.
    void AppendToRing(const UCHAR* Source, ULONG Bytes);
    KSPIN_LOCK m_CaptureLock;  // the staging ring
};
