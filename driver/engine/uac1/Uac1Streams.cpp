#include "driver/engine/uac1/Uac1Streams.h"

namespace {

// Capture frames per packet when the endpoint cannot be read: the nominal share plus this margin.
constexpr ULONG CaptureFrameMargin = 6;
// The staging ring holds 1/25 s (40 ms) of audio.
constexpr ULONG StagingDivisor = 25;

ULONG RoundUpToFrames(ULONG Bytes, ULONG BlockAlign) {
    const ULONG rest = Bytes % BlockAlign;
    return rest == 0 ? Bytes : Bytes + (BlockAlign - rest);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared: selection and Open

Uac1Stream::Uac1Stream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : UsbAudioStream(UnknownOuter, Interface, TerminalControlId),
      m_SampleRate(0),
      m_Remainder(0),
      m_WholeFrames(0),
      m_FramesPerPacket(0),
      m_LargestTransfer(0) {
    m_TransferMs = Uac1StreamDefaultTransferMs;
}

NTSTATUS Uac1Stream::SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    status = SelectInterfaceRecord(transport, AlternateSetting);
    if (NT_SUCCESS(status) && Client != nullptr) {
        const NTSTATUS rate = SetSamplingFrequency(transport, Client->Format.Format.nSamplesPerSec);
        if (m_Direction == StreamDirectionCapture) status = rate;
    }
    transport->Release();
    return status;
}

ULONG Uac1Stream::CaptureFramesPerPacket(UCHAR AlternateSetting, ULONG BlockAlign) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(QueryTransport(&transport))) {
        return m_SampleRate / (m_PacketsPerMs * 1000) + CaptureFrameMargin;
    }
    ULONG frames = 0;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR interface =
        configuration != nullptr ? USBD_ParseConfigurationDescriptorEx(configuration, configuration,
                                                                       static_cast<LONG>(m_Index), AlternateSetting, 1, 2, -1)
                                 : nullptr;
    if (interface != nullptr) {
        auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(configuration, configuration->wTotalLength, interface, USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (endpoint != nullptr && endpoint->bLength >= 7) frames = UsbIsoPacketRoom(endpoint->wMaxPacketSize) / BlockAlign;
    }
    transport->Release();
    return frames;
}

NTSTATUS Uac1Stream::Open(StreamClient* Client, PULONG BusFrame) {
    PAGED_CODE();
    UCHAR setting = 0;
    NTSTATUS status = CheckOpenFormat(Client, &setting);
    if (!NT_SUCCESS(status)) return status;

    const bool capture = m_Direction == StreamDirectionCapture;
    const ULONG block = Client->Format.Format.nBlockAlign;
    const ULONG rate = Client->Format.Format.nSamplesPerSec;
    const ULONG ms = Client->TransferMilliseconds;
    ULONG count = Client->TransferCount;
    if (capture && ms * count < Uac1CaptureMinimumInFlightMs) {
        count = (Uac1CaptureMinimumInFlightMs + ms - 1) / ms;
        Client->TransferCount = count;
    }

    // A high-speed endpoint whose interval gives no whole number of packets per millisecond
    // cannot be scheduled.
    const ULONG packets = GetPacketsPerMs(setting);
    if (packets == 0) return STATUS_NOT_SUPPORTED;
    m_SampleRate = rate;
    m_PacketsPerMs = packets;
    ULONG64 dataBytes;
    if (capture) {
        m_FramesPerPacket = CaptureFramesPerPacket(setting, block);
        if (m_FramesPerPacket == 0) return STATUS_NOT_SUPPORTED;  // a packet cannot hold one frame
        dataBytes = static_cast<ULONG64>(block) * ms * packets * m_FramesPerPacket;
    } else {
        m_WholeFrames = rate / (packets * 1000);
        dataBytes = static_cast<ULONG64>((rate / 1000) / packets + 1) * block * ms * packets;
    }
    // The staging ring holds 40 ms and, for capture, always a whole transfer more than a frame.
    ULONG64 staging = RoundUpToFrames(Client->Format.Format.nAvgBytesPerSec / StagingDivisor, block);
    if (capture && staging < dataBytes + block) staging = dataBytes + block;
    if (dataBytes > MAXUSHORT * 64ULL || staging > MAXULONG || staging == 0) return STATUS_INVALID_PARAMETER;

    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamOpen, UsbStreamClosed) !=
        UsbStreamClosed) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_TransferMs = ms;
    m_SlotsInUse = count < UsbStreamSlotCount ? count : UsbStreamSlotCount;
    m_LargestTransfer = static_cast<ULONG>(dataBytes);

    status = BuildTransferPool(packets * ms, m_LargestTransfer);
    if (NT_SUCCESS(status)) status = AllocateStaging(static_cast<ULONG>(staging));
    if (NT_SUCCESS(status)) status = SelectAltSetting(setting, Client);
    if (!NT_SUCCESS(status)) {
        AbandonOpen();
        return status;
    }
    m_Remainder = 0;
    return FinishOpen(Client, BusFrame);
}

void Uac1Stream::ResetPositions() {
    UsbAudioStream::ResetPositions();
    m_Remainder = 0;
}

// ---------------------------------------------------------------------------------------------
// Render

Uac1PlaybackStream::Uac1PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : Uac1Stream(UnknownOuter, Interface, TerminalControlId) {}

ULONG Uac1PlaybackStream::SizeRenderPackets(PUSBD_ISO_PACKET_DESCRIPTOR Packets, ULONG Count, ULONG BlockAlign) {
    const LONG perSecond = static_cast<LONG>(m_PacketsPerMs * 1000);
    ULONG total = 0;
    for (ULONG k = 0; k < Count; ++k) {
        m_Remainder += static_cast<LONG>(m_SampleRate - m_WholeFrames * static_cast<ULONG>(perSecond));
        const LONG extra = m_Remainder / perSecond;
        m_Remainder %= perSecond;
        const ULONG bytes = (m_WholeFrames + static_cast<ULONG>(extra)) * BlockAlign;
        Packets[k].Offset = total;
        Packets[k].Length = bytes;
        total += bytes;
    }
    return total;
}

ULONG Uac1PlaybackStream::FillRenderTransfer(TransferContext* Context) {
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    const ULONG block = m_CurrentWaveFormat.Format.nBlockAlign;
    const ULONG total = SizeRenderPackets(iso.IsoPacket, m_PacketsPerMs * m_TransferMs, block);
    if (total > m_LargestTransfer) return 0;
    iso.TransferBufferLength = total;
    Context->ByteCount = total;
    RtlZeroMemory(Context->Data, total);
    Notify(StreamNotifyKind::FillRenderBuffer, m_RunOwner, 0, total, Context->Data);
    ProcessBuffer(Context->Data, total);
    return total;
}

NTSTATUS Uac1PlaybackStream::SubmitTransfer() {
    UsbTransport* transport = nullptr;
    TransferContext* context = nullptr;
    KIRQL irql;
    NTSTATUS status = BeginSubmission(&transport, &context, &irql);
    if (!NT_SUCCESS(status)) return status;
    const ULONG total = FillRenderTransfer(context);
    if (total == 0) {
        RecycleTransfer(context);
        EndSubmission(transport, irql);
        return STATUS_INVALID_BUFFER_SIZE;
    }
    ShapeForDevice(context, total);
    status = SendTransfer(transport, context, USBD_TRANSFER_DIRECTION_OUT);
    EndSubmission(transport, irql);
    return status;
}

void Uac1PlaybackStream::ShapeForDevice(TransferContext* Context, ULONG Total) {
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Total);
}

NTSTATUS Uac1PlaybackStream::CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRenderTransfer(Irp, Context, Context->ByteCount);
}

// ---------------------------------------------------------------------------------------------
// Capture

Uac1CaptureStream::Uac1CaptureStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : Uac1Stream(UnknownOuter, Interface, TerminalControlId) {
    KeInitializeSpinLock(&m_CaptureLock);
}

NTSTATUS Uac1CaptureStream::SubmitTransfer() {
    UsbTransport* transport = nullptr;
    TransferContext* context = nullptr;
    KIRQL irql;
    NTSTATUS status = BeginSubmission(&transport, &context, &irql);
    if (!NT_SUCCESS(status)) return status;
    auto& iso = context->Urb->UrbIsochronousTransfer;
    const ULONG packets = m_PacketsPerMs * m_TransferMs;
    const ULONG stride = m_OpenFormat.Format.nBlockAlign * m_FramesPerPacket;
    for (ULONG k = 0; k < packets; ++k) {
        iso.IsoPacket[k].Offset = k * stride;
        iso.IsoPacket[k].Length = 0;
    }
    iso.TransferBufferLength = packets * stride;
    context->ByteCount = packets * stride;
    status = SendTransfer(transport, context, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EndSubmission(transport, irql);
    return status;
}

void Uac1CaptureStream::AppendToRing(const UCHAR* Source, ULONG Bytes) {
    while (Bytes != 0) {
        const ULONG room = m_StagingBytes - m_WritePosition;
        const ULONG part = Bytes < room ? Bytes : room;
        if (Source != nullptr) {
            RtlCopyMemory(m_Staging + m_WritePosition, Source, part);
            Source += part;
        } else {
            RtlZeroMemory(m_Staging + m_WritePosition, part);
        }
        m_WritePosition = (m_WritePosition + part) % m_StagingBytes;
        Bytes -= part;
    }
}

void Uac1CaptureStream::ProcessCapture(TransferContext* Context) {
    KIRQL irql;
    KeAcquireSpinLock(&m_CaptureLock, &irql);
    if (m_Staging == nullptr || m_StagingBytes == 0) {
        KeReleaseSpinLock(&m_CaptureLock, irql);
        return;
    }
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    const ULONG block = m_OpenFormat.Format.nBlockAlign;
    const ULONG stride = block * m_FramesPerPacket;
    // One packet's largest share of silence, never more than the packet's slot.
    ULONG silence = (m_SampleRate / m_PacketsPerMs / 1000 + 1) * block;
    if (silence > stride) silence = stride;
    const ULONG packets = iso.NumberOfPackets < m_PacketsPerMs * m_TransferMs ? iso.NumberOfPackets
                                                                               : m_PacketsPerMs * m_TransferMs;
    // Whole frames leave the ring at every completion, so less than one frame waits in it; the
    // ring holds a whole transfer more than that (Open sizes it so), and nothing is overwritten.
    for (ULONG k = 0; k < packets; ++k) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[k];
        const ULONG offset = k * stride;
        ULONG length = packet.Length < stride ? packet.Length : stride;
        if (length == 0) {
            if (USBD_SUCCESS(packet.Status)) AppendToRing(nullptr, silence);
            continue;
        }
        AppendToRing(Context->Data + offset, length);
    }

    const ULONG available = (m_WritePosition - m_ReadPosition + m_StagingBytes) % m_StagingBytes;
    const ULONG whole = available - available % block;
    if (whole != 0) {
        struct Part {
            PUCHAR Data;
            ULONG Bytes;
        } parts[2] = {{m_Staging + m_ReadPosition, whole}, {nullptr, 0}};
        if (m_ReadPosition + whole > m_StagingBytes) {
            parts[0].Bytes = m_StagingBytes - m_ReadPosition;
            parts[1] = {m_Staging, whole - parts[0].Bytes};
        }
        for (const Part& part : parts) {
            if (part.Bytes == 0) continue;
            ProcessBuffer(part.Data, part.Bytes);
            Notify(StreamNotifyKind::CaptureData, m_RunOwner, 0, part.Bytes, part.Data);
        }
        Notify(StreamNotifyKind::TransferDone, m_RunOwner, whole);
        m_ReadPosition = (m_ReadPosition + whole) % m_StagingBytes;
    }
    KeReleaseSpinLock(&m_CaptureLock, irql);
}

NTSTATUS Uac1CaptureStream::CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    const NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) ProcessCapture(Context);
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    const ULONG packets = iso.NumberOfPackets < m_PacketsPerMs * m_TransferMs ? iso.NumberOfPackets
                                                                               : m_PacketsPerMs * m_TransferMs;
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) InterlockedExchange(&m_DeviceGone, TRUE);
    const bool good = NT_SUCCESS(status) && USBD_SUCCESS(iso.Hdr.Status) && PacketsAllowContinuing(iso, packets);
    RecycleTransfer(Context);
    if (State() == UsbStreamRunning) {
        if (good) {
            ResubmitOrDefer();
        } else {
            SignalError();
        }
    }
    TransferFinished();
    return STATUS_MORE_PROCESSING_REQUIRED;
}
