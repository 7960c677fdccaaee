// The W4M3 model's render stream: a UAC 1.0 render stream whose clients may play more channels
// than the device takes. Each transfer runs through the stream's peak limiter (PCM), and then only
// the first two channels of every frame go to the device; the clients hear of their own byte
// counts. It needs nothing but the UAC 1.0 classes, so it lives beside them.
#pragma once

#include "driver/engine/uac1/Uac1Streams.h"

class W4M3PlaybackStream : public Uac1PlaybackStream {
public:
    W4M3PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);

    // The render completion with TransferDone in the client's bytes.
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

protected:
    // The limiter pass (PCM) and the reduction to two channels.
    void ShapeForDevice(TransferContext* Context, ULONG Total) override;

private:
    // The limiter over Frames frames of the current format in place, in chunks of the engine's
    // planes, with flush-to-zero and round-to-nearest and under the engine's spin lock.
    void LimitInPlace(PUCHAR Data, ULONG Frames);
    // Keeps the first two channels of every frame and resizes the packets by their frames.
    void ReduceToTwoChannels(TransferContext* Context, ULONG Frames);

    ULONG m_DeviceFrameBytes;  // bytes of one two-channel frame, 0 while nothing is reduced
    ULONG m_ClientFrameBytes;  // nBlockAlign of the client format
};
