#include "driver/engine/uac1/W4M3PlaybackStream.h"

#include "driver/signal/SignalFpu.h"

namespace {

constexpr USHORT PcmTag = 1;
constexpr ULONG DeviceChannels = 2;

}  // namespace

W4M3PlaybackStream::W4M3PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : Uac1PlaybackStream(UnknownOuter, Interface, TerminalControlId), m_DeviceFrameBytes(0), m_ClientFrameBytes(0) {}

void W4M3PlaybackStream::LimitInPlace(PUCHAR Data, ULONG Frames) {
    if (m_WorkBuffer == nullptr) return;
    // Flush-to-zero on, rounding to nearest, for the pass; the caller's register comes back after.
    const ULONG saved = ReadMxcsr();
    WriteMxcsr((saved & ~MxcsrRoundingMask) | MxcsrFlushToZero);
    KeAcquireSpinLockAtDpcLevel(&m_SpinLock);
    const ULONG block = m_CurrentWaveFormat.Format.nBlockAlign;
    for (ULONG done = 0; done < Frames;) {
        const ULONG chunk = Frames - done < StreamEngineChunkFrames ? Frames - done : StreamEngineChunkFrames;
        PUCHAR at = Data + done * block;
        PcmToFloatPlanes(at, m_Planes, m_WorkBuffer, chunk, &m_CurrentWaveFormat);
        m_Limiter->Process(m_Planes, chunk);
        FloatPlanesToPcm(at, m_Planes, m_WorkBuffer, chunk, &m_CurrentWaveFormat);
        done += chunk;
    }
    KeReleaseSpinLockFromDpcLevel(&m_SpinLock);
    WriteMxcsr(saved);
}

void W4M3PlaybackStream::ReduceToTwoChannels(TransferContext* Context, ULONG Frames) {
    const ULONG channels = m_CurrentWaveFormat.Format.nChannels;
    const ULONG sampleBytes = m_CurrentWaveFormat.Format.wBitsPerSample / 8;
    const ULONG block = m_CurrentWaveFormat.Format.nBlockAlign;
    m_ClientFrameBytes = block;
    m_DeviceFrameBytes = 0;
    if (channels < DeviceChannels || sampleBytes < 2 || sampleBytes > 4 || block < DeviceChannels * sampleBytes) return;
    const ULONG out = DeviceChannels * sampleBytes;
    for (ULONG f = 0; f < Frames; ++f) RtlMoveMemory(Context->Data + f * out, Context->Data + f * block, out);
    // Every packet keeps its frames; sizes come from frames, so any channel count works.
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    ULONG offset = 0;
    for (ULONG k = 0; k < m_PacketsPerMs * m_TransferMs; ++k) {
        const ULONG frames = iso.IsoPacket[k].Length / block;
        iso.IsoPacket[k].Offset = offset;
        iso.IsoPacket[k].Length = frames * out;
        offset += frames * out;
    }
    iso.TransferBufferLength = offset;
    Context->ByteCount = offset;
    m_DeviceFrameBytes = out;
}

void W4M3PlaybackStream::ShapeForDevice(TransferContext* Context, ULONG Total) {
    const ULONG frames = Total / m_CurrentWaveFormat.Format.nBlockAlign;
    if (m_Limiter != nullptr && ProcessingStageFormatTag(m_CurrentWaveFormat) == PcmTag) LimitInPlace(Context->Data, frames);
    ReduceToTwoChannels(Context, frames);
}

NTSTATUS W4M3PlaybackStream::CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    // The clients count in their own frames.
    ULONG clientBytes = Context->ByteCount;
    if (m_DeviceFrameBytes != 0) clientBytes = Context->ByteCount / m_DeviceFrameBytes * m_ClientFrameBytes;
    return CompleteRenderTransfer(Irp, Context, clientBytes);
}
