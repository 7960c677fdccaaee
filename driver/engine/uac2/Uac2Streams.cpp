#include "driver/engine/uac2/Uac2Streams.h"

#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/interfaces/AdapterCommon.h"

namespace {

// The staging ring holds 1/25 s (40 ms) of audio.
constexpr ULONG StagingDivisor = 25;
// A data buffer holds this many frames per packet beyond the largest believable rate's share.
constexpr ULONG SpareFramesPerPacket = 2;
constexpr UCHAR NoFeedbackPipe = 0xFF;
constexpr UCHAR IsochronousTransferType = 1;
constexpr ULONG MicroframesPerMs = 8;
constexpr UCHAR EndpointUsageMask = 0x30;
constexpr UCHAR FeedbackUsage = 0x10;
// wMaxPacketSize: bytes in bits 10-0, extra high-speed transactions in bits 12-11.
constexpr USHORT MaxPacketSizeMask = 0x7FF;
constexpr ULONG MaxPacketMultShift = 11;
constexpr ULONG FullSpeedPacketsPerSecond = 1000;
constexpr ULONG HighSpeedPacketsPerSecond = 8000;
// A setting must carry its rate from a clock this many thousandths fast.
constexpr ULONG CarryMarginPerMille = 1001;
// Restarted transfers begin this many frames after the current one.
constexpr ULONG RestartLeadFrames = 2;
// Recoveries closer together than this many frames (1 ms each) are paced to it.
constexpr ULONG RecoveryPauseFrames = 10;
constexpr LONGLONG HundredNsPerMs = 10000;

// AudioStreaming interface control: GET CUR of AS_VAL_ALT_SETTINGS_CONTROL, bControlSize and up
// to four bytes of bmValidAltSettings.
constexpr UCHAR GetCurRequest = 0x01;
constexpr USHORT ValidAltSettingsSelector = 0x0200;
constexpr ULONG ValidAltSettingsBytes = 5;
constexpr ULONG ValidAltSettingsMaskBytes = 4;
constexpr ULONG ClassRequestBytes = 136;
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == ClassRequestBytes);

ULONG RoundUpToFrames(ULONG Bytes, ULONG BlockAlign) {
    const ULONG rest = Bytes % BlockAlign;
    return rest == 0 ? Bytes : Bytes + (BlockAlign - rest);
}

enum class EndpointRole { Data, Feedback };

// The first isochronous endpoint of a setting in a role: Data, any that is not explicit feedback
// (implicit-feedback data endpoints included); Feedback, the first IN endpoint of a render setting
// (its explicit feedback endpoint). Null when there is none.
PUSB_ENDPOINT_DESCRIPTOR FindIsochronousEndpoint(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ULONG Interface,
                                                 UCHAR AlternateSetting, EndpointRole Role) {
    if (Configuration == nullptr) return nullptr;
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        Configuration, Configuration, static_cast<LONG>(Interface), AlternateSetting, 1, 2, -1);
    if (interface == nullptr) return nullptr;
    const PUCHAR end = reinterpret_cast<PUCHAR>(Configuration) + Configuration->wTotalLength;
    PUCHAR position = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
    for (ULONG step = 0; step < interface->bNumEndpoints && position < end; ++step) {
        auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(Configuration, Configuration->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (endpoint == nullptr || endpoint->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR) - 2) break;
        if ((endpoint->bmAttributes & 0x03) == IsochronousTransferType) {
            const bool found = Role == EndpointRole::Feedback
                                      ? USB_ENDPOINT_DIRECTION_IN(endpoint->bEndpointAddress)
                                      : (endpoint->bmAttributes & EndpointUsageMask) != FeedbackUsage;
            if (found) return endpoint;
        }
        position = reinterpret_cast<PUCHAR>(endpoint) + endpoint->bLength;
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared clocks

namespace {

// The clocks streams hold, by device (adapter) and clock control id.
struct HeldClock {
    PUNKNOWN Adapter;
    ULONG ClockControlId;
    ULONG Rate;
    ULONG Holders;
};
constexpr ULONG MaxHeldClocks = 32;
HeldClock g_HeldClocks[MaxHeldClocks] = {};
KSPIN_LOCK g_HeldClocksLock = 0;

HeldClock* FindHeldClock(PUNKNOWN Adapter, ULONG ClockControlId) {
    for (HeldClock& c : g_HeldClocks) {
        if (c.Holders != 0 && c.Adapter == Adapter && c.ClockControlId == ClockControlId) return &c;
    }
    return nullptr;
}

}  // namespace

NTSTATUS Uac2ClockHold::Take(PUNKNOWN Adapter, ULONG ClockControlId, ULONG Rate) {
    if (m_Rate != 0 && (m_Adapter != Adapter || m_ClockControlId != ClockControlId)) Release();
    KIRQL irql;
    KeAcquireSpinLock(&g_HeldClocksLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    const bool mine = m_Rate != 0 && m_Adapter == Adapter && m_ClockControlId == ClockControlId;
    HeldClock* held = FindHeldClock(Adapter, ClockControlId);
    if (mine && Rate == m_Rate) {
        // held already
    } else if (held != nullptr && held->Rate != Rate && held->Holders > (mine ? 1u : 0u)) {
        status = STATUS_DEVICE_BUSY;  // another stream runs on the clock at another rate
    } else if (mine) {
        held->Rate = Rate;  // the only holder moves the clock
        m_Rate = Rate;
    } else {
        if (held == nullptr) {
            for (HeldClock& c : g_HeldClocks) {
                if (c.Holders == 0) {
                    c = HeldClock{Adapter, ClockControlId, Rate, 0};
                    held = &c;
                    break;
                }
            }
        }
        if (held == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ++held->Holders;
            m_Adapter = Adapter;
            m_ClockControlId = ClockControlId;
            m_Rate = Rate;
        }
    }
    KeReleaseSpinLock(&g_HeldClocksLock, irql);
    return status;
}

void Uac2ClockHold::Release() {
    if (m_Rate == 0) return;
    KIRQL irql;
    KeAcquireSpinLock(&g_HeldClocksLock, &irql);
    if (HeldClock* held = FindHeldClock(m_Adapter, m_ClockControlId)) --held->Holders;
    m_Rate = 0;
    KeReleaseSpinLock(&g_HeldClocksLock, irql);
}

// ---------------------------------------------------------------------------------------------
// Shared requests

NTSTATUS Uac2SetClockRate(PUNKNOWN Adapter, ULONG ClockControlId, ULONG Rate) {
    PAGED_CODE();
    if (Adapter == nullptr) return STATUS_UNSUCCESSFUL;
    AdapterCommon* common = nullptr;
    NTSTATUS status = Adapter->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common));
    if (!NT_SUCCESS(status)) return status;
    AudioNode* clock = nullptr;
    const ULONG count = common->GetNodeCount();
    for (ULONG i = 0; i < count; ++i) {
        AudioNode* node = nullptr;
        if (NT_SUCCESS(common->GetNode(i, &node)) && node != nullptr && node->GetId() == ClockControlId) clock = node;
    }
    SampleRateControl* control = nullptr;
    status = clock != nullptr ? clock->QueryInterface(IID_SampleRateControl, reinterpret_cast<PVOID*>(&control))
                              : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        status = control->SetRate(Rate);
        control->Release();
    }
    common->Release();
    return status;
}

BOOLEAN Uac2SettingCarries(PUNKNOWN Adapter, ULONG Interface, UCHAR AlternateSetting, ULONG Rate, ULONG BlockAlign) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    if (Adapter == nullptr || !NT_SUCCESS(Adapter->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport)))) {
        return TRUE;
    }
    const bool high = transport->IsHighSpeed() != 0;
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindIsochronousEndpoint(transport->GetConfigurationDescriptor(), Interface,
                                                                AlternateSetting, EndpointRole::Data);
    transport->Release();
    if (endpoint == nullptr) return FALSE;
    const ULONG size = endpoint->wMaxPacketSize & MaxPacketSizeMask;
    ULONG room = size;
    ULONG perSecond = FullSpeedPacketsPerSecond;
    if (high) {
        const ULONG extra = (endpoint->wMaxPacketSize >> MaxPacketMultShift) & 3;
        room = size * (1 + (extra < 2 ? extra : 2));
        if (endpoint->bInterval < 1 || endpoint->bInterval > 4) return FALSE;  // no whole packets per millisecond
        perSecond = HighSpeedPacketsPerSecond >> (endpoint->bInterval - 1);
    }
    // Frames of the fullest packet: a clock 0.1 % fast, rounded up.
    const ULONG64 frames = (static_cast<ULONG64>(Rate) * CarryMarginPerMille + 1000ULL * perSecond - 1) / (1000ULL * perSecond);
    return frames * BlockAlign <= room;
}

BOOLEAN Uac2IsAltSettingValid(PUNKNOWN Adapter, ULONG Interface, UCHAR AlternateSetting) {
    PAGED_CODE();
    if (AlternateSetting == 0) return TRUE;
    UsbTransport* transport = nullptr;
    if (Adapter == nullptr || !NT_SUCCESS(Adapter->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport)))) {
        return FALSE;
    }
    auto* request = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, ClassRequestBytes, Uac2StagingTag));
    if (request == nullptr) {
        transport->Release();
        return FALSE;
    }
    RtlZeroMemory(request, ClassRequestBytes);
    UCHAR answer[ValidAltSettingsBytes] = {};
    request->Hdr.Length = ClassRequestBytes;
    request->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    request->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    request->TransferBufferLength = ValidAltSettingsBytes;
    request->TransferBuffer = answer;
    request->Request = GetCurRequest;
    request->Value = ValidAltSettingsSelector;
    request->Index = static_cast<USHORT>(Interface);
    BOOLEAN valid = FALSE;
    if (NT_SUCCESS(transport->SubmitUrbSync(reinterpret_cast<PURB>(request)))) {
        // Only bytes that arrived and that bControlSize covers say anything.
        ULONG received = request->TransferBufferLength;
        if (received > ValidAltSettingsBytes) received = ValidAltSettingsBytes;
        ULONG maskBytes = received > 0 ? received - 1 : 0;
        if (answer[0] < maskBytes) maskBytes = answer[0];
        if (maskBytes > ValidAltSettingsMaskBytes) maskBytes = ValidAltSettingsMaskBytes;
        valid = AlternateSetting < 8 * maskBytes && (answer[1 + AlternateSetting / 8] & (1u << (AlternateSetting % 8))) != 0;
    }
    ExFreePoolWithTag(request, Uac2StagingTag);
    transport->Release();
    return valid;
}

// ---------------------------------------------------------------------------------------------
// Render: selection and Open

Uac2PlaybackStream::Uac2PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId,
                                       ULONG ClockControlId)
    : UsbAudioStream(UnknownOuter, Interface, TerminalControlId),
      m_ClockControlId(ClockControlId),
      m_NominalRate(0),
      m_MeasuredRate(0),
      m_Remainder(0),
      m_WholeFrames(0),
      m_MostFramesPerPacket(0),
      m_LargestTransfer(0),
      m_FeedbackPipeIndex(NoFeedbackPipe),
      m_FeedbackEntries(0),
      m_FeedbackWidth(4),
      m_FeedbackFrames(1),
      m_FeedbackNextFrame(0),
      m_FeedbackRefused(FALSE),
      m_HighSpeed(TRUE),
      m_HasRecovered(FALSE),
      m_LastRecoveryFrame(0),
      m_FeedbackFree{},
      m_FeedbackInFlight{} {
    m_TransferMs = Uac1StreamDefaultTransferMs;
    m_StagingTag = Uac2StagingTag;
    KeInitializeSpinLock(&m_FeedbackLock);
}

NTSTATUS Uac2PlaybackStream::SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Client);
    if (AlternateSetting == 0) m_ClockHold.Release();  // the stream no longer runs on the clock
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    status = SelectInterfaceRecord(transport, AlternateSetting);
    transport->Release();
    // The data pipe is the last isochronous OUT pipe (chosen by the record); the last isochronous
    // IN pipe carries feedback.
    m_FeedbackPipeIndex = NoFeedbackPipe;
    if (NT_SUCCESS(status) && m_Interface != nullptr) {
        for (ULONG i = 0; i < m_Interface->NumberOfPipes && i < NoFeedbackPipe; ++i) {
            const USBD_PIPE_INFORMATION& pipe = m_Interface->Pipes[i];
            if (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) && pipe.PipeType == UsbdPipeTypeIsochronous) {
                m_FeedbackPipeIndex = static_cast<UCHAR>(i);
            }
        }
    }
    return status;
}

PUSBD_PIPE_INFORMATION Uac2PlaybackStream::FeedbackPipe() const {
    if (m_Interface == nullptr || m_FeedbackPipeIndex >= m_Interface->NumberOfPipes) return nullptr;
    return &m_Interface->Pipes[m_FeedbackPipeIndex];
}

BOOLEAN Uac2PlaybackStream::IsAltSettingValid(UCHAR AlternateSetting) {
    return Uac2IsAltSettingValid(m_Adapter, m_Index, AlternateSetting);
}

ULONG Uac2PlaybackStream::FeedbackEntriesFor(UCHAR AlternateSetting, ULONG Milliseconds, PULONG Width, PULONG Frames) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(QueryTransport(&transport))) return 0;
    const bool high = transport->IsHighSpeed() != 0;
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindIsochronousEndpoint(transport->GetConfigurationDescriptor(), m_Index,
                                                                AlternateSetting, EndpointRole::Feedback);
    transport->Release();
    if (endpoint == nullptr) return 0;
    // Four bytes at high speed; at full speed three, or four when the endpoint says it sends them.
    *Width = high || (endpoint->wMaxPacketSize & 0x7FF) >= 4 ? 4 : 3;
    // The service interval is 2^(bInterval - 1) microframes at high speed and frames at full speed.
    ULONG interval = endpoint->bInterval;
    if (interval < 1) interval = 1;
    if (interval > 16) interval = 16;
    const ULONG64 microframes = (high ? 1ULL : MicroframesPerMs) << (interval - 1);
    ULONG64 entries = Milliseconds * MicroframesPerMs / microframes;
    if (entries == 0) entries = 1;
    if (entries > Uac2MaxFeedbackEntries) entries = Uac2MaxFeedbackEntries;
    // The host serves a full-speed isochronous endpoint every frame, whatever its bInterval.
    *Frames = static_cast<ULONG>(high ? (entries * microframes + MicroframesPerMs - 1) / MicroframesPerMs : entries);
    return static_cast<ULONG>(entries);
}

NTSTATUS Uac2PlaybackStream::Open(StreamClient* Client, PULONG BusFrame) {
    PAGED_CODE();
    UCHAR setting = 0;
    NTSTATUS status = CheckOpenFormat(Client, &setting);
    if (!NT_SUCCESS(status)) return status;
    const ULONG block = Client->Format.Format.nBlockAlign;
    const ULONG rate = Client->Format.Format.nSamplesPerSec;
    const ULONG ms = Client->TransferMilliseconds;
    if (rate > Uac2MaxRenderRate) return STATUS_INVALID_PARAMETER;
    const ULONG packets = GetPacketsPerMs(setting);
    if (packets == 0) return STATUS_NOT_SUPPORTED;  // no whole number of packets per millisecond
    const ULONG perSecond = packets * 1000;

    // Feedback may raise the rate by up to the window: each packet's buffer share holds that
    // rate's frames and two more, and packets never grow past it.
    const ULONG most = (rate + Uac2FeedbackWindowHz) / perSecond + SpareFramesPerPacket;
    const ULONG64 dataBytes = static_cast<ULONG64>(most) * block * ms * packets;
    ULONG width = 4;
    ULONG feedbackFrames = 1;
    const ULONG entries = FeedbackEntriesFor(setting, ms, &width, &feedbackFrames);
    const ULONG64 feedbackBytes = static_cast<ULONG64>(entries) * sizeof(ULONG);
    const ULONG64 staging = RoundUpToFrames(Client->Format.Format.nAvgBytesPerSec / StagingDivisor, block);
    if (dataBytes > MAXUSHORT * 64ULL || staging > MAXULONG || staging == 0) return STATUS_INVALID_PARAMETER;

    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamOpen, UsbStreamClosed) !=
        UsbStreamClosed) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_TransferMs = ms;
    m_SlotsInUse = Client->TransferCount < UsbStreamSlotCount ? Client->TransferCount : UsbStreamSlotCount;
    m_PacketsPerMs = packets;
    m_NominalRate = rate;
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_MeasuredRate), static_cast<LONG>(rate * Uac2MilliHz));
    m_Remainder = 0;
    m_WholeFrames = rate / perSecond;
    m_MostFramesPerPacket = most;
    m_LargestTransfer = static_cast<ULONG>(dataBytes);
    m_FeedbackEntries = entries;
    m_FeedbackWidth = width;
    m_FeedbackFrames = feedbackFrames;
    InterlockedExchange(&m_FeedbackRefused, FALSE);
    UsbTransport* transport = nullptr;
    if (NT_SUCCESS(QueryTransport(&transport))) {
        m_HighSpeed = transport->IsHighSpeed() ? TRUE : FALSE;
        transport->Release();
    }

    // Feedback reads share the pool: its requests and buffers are sized for the larger of the two.
    const ULONG poolPackets = packets * ms > entries ? packets * ms : entries;
    const ULONG poolBytes = static_cast<ULONG>(dataBytes > feedbackBytes ? dataBytes : feedbackBytes);
    status = BuildTransferPool(poolPackets, poolBytes);
    for (ULONG slot = 0; NT_SUCCESS(status) && slot < UsbStreamSlotCount; ++slot) {
        TransferContext* context = nullptr;
        status = AllocateTransfer(&context);
        if (!NT_SUCCESS(status)) break;
        context->Slot = slot;
        m_FeedbackFree[slot] = context;
        m_FeedbackInFlight[slot] = nullptr;
    }
    if (NT_SUCCESS(status)) status = AllocateStaging(static_cast<ULONG>(staging));
    if (NT_SUCCESS(status)) status = m_ClockHold.Take(m_Adapter, m_ClockControlId, rate);
    if (NT_SUCCESS(status)) status = Uac2SetClockRate(m_Adapter, m_ClockControlId, rate);
    if (NT_SUCCESS(status)) status = SelectAltSetting(setting, Client);
    if (!NT_SUCCESS(status)) {
        m_ClockHold.Release();
        AbandonOpen();
        m_FeedbackPipeIndex = NoFeedbackPipe;
        return status;
    }
    return FinishOpen(Client, BusFrame);
}

void Uac2PlaybackStream::ResetPositions() {
    UsbAudioStream::ResetPositions();
    m_Remainder = 0;
}

NTSTATUS Uac2PlaybackStream::FreeTransfers() {
    UsbAudioStream::FreeTransfers();
    for (ULONG slot = 0; slot < UsbStreamSlotCount; ++slot) {
        TransferContext* context = m_FeedbackFree[slot];
        m_FeedbackFree[slot] = nullptr;
        FreeTransfer(context);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac2PlaybackStream::AbortPipes() {
    PAGED_CODE();
    NTSTATUS status = UsbAudioStream::AbortPipes();
    PUSBD_PIPE_INFORMATION feedback = FeedbackPipe();
    if (!NT_SUCCESS(status) || feedback == nullptr) return status;
    UsbTransport* transport = nullptr;
    status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    _URB_PIPE_REQUEST request{};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    request.PipeHandle = feedback->PipeHandle;
    status = transport->SubmitUrbSync(reinterpret_cast<PURB>(&request));
    transport->Release();
    return status;
}

// ---------------------------------------------------------------------------------------------
// Render: data transfers

ULONG Uac2PlaybackStream::SizeRenderPackets(PUSBD_ISO_PACKET_DESCRIPTOR Packets, ULONG Count, ULONG BlockAlign) {
    const LONG64 perSecond = static_cast<LONG64>(m_PacketsPerMs) * 1000 * Uac2MilliHz;
    const LONG64 step = static_cast<LONG64>(MeasuredMilliHz()) - static_cast<LONG64>(m_WholeFrames) * perSecond;
    const LONG64 most = m_MostFramesPerPacket;
    ULONG total = 0;
    for (ULONG k = 0; k < Count; ++k) {
        m_Remainder += step;
        LONG64 frames = static_cast<LONG64>(m_WholeFrames) + m_Remainder / perSecond;
        m_Remainder %= perSecond;
        // What a packet cannot carry (or give back) stays owed in the remainder.
        if (frames > most) {
            m_Remainder += (frames - most) * perSecond;
            frames = most;
        } else if (frames < 0) {
            m_Remainder += frames * perSecond;
            frames = 0;
        }
        const ULONG bytes = static_cast<ULONG>(frames) * BlockAlign;
        Packets[k].Offset = total;
        Packets[k].Length = bytes;
        total += bytes;
    }
    return total;
}

NTSTATUS Uac2PlaybackStream::SubmitTransfer() {
    UsbTransport* transport = nullptr;
    TransferContext* context = nullptr;
    KIRQL irql;
    NTSTATUS status = BeginSubmission(&transport, &context, &irql);
    if (!NT_SUCCESS(status)) return status;
    // The feedback read goes out with every data transfer; only a device that has gone stops the
    // data transfer, other failures leave the rate as it was.
    if (FeedbackPipe() != nullptr) {
        status = SubmitFeedback(transport);
        if (status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED) {
            RecycleTransfer(context);
            EndSubmission(transport, irql);
            return status;
        }
    }
    auto& iso = context->Urb->UrbIsochronousTransfer;
    const ULONG block = m_CurrentWaveFormat.Format.nBlockAlign;
    const ULONG total = SizeRenderPackets(iso.IsoPacket, m_PacketsPerMs * m_TransferMs, block);
    iso.TransferBufferLength = total;
    context->ByteCount = total;
    RtlZeroMemory(context->Data, total);
    Notify(StreamNotifyKind::FillRenderBuffer, m_RunOwner, 0, total, context->Data);
    ProcessBuffer(context->Data, total);
    status = SendTransfer(transport, context, USBD_TRANSFER_DIRECTION_OUT);
    EndSubmission(transport, irql);
    return status;
}

NTSTATUS Uac2PlaybackStream::CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRenderTransfer(Irp, Context, Context->ByteCount);
}

// ---------------------------------------------------------------------------------------------
// Render: feedback reads

TransferContext* Uac2PlaybackStream::AcquireFeedbackTransfer(PBOOLEAN Idle) {
    KIRQL irql;
    KeAcquireSpinLock(&m_FeedbackLock, &irql);
    TransferContext* found = nullptr;
    *Idle = TRUE;
    const ULONG inUse = m_SlotsInUse < UsbStreamSlotCount ? m_SlotsInUse : UsbStreamSlotCount;
    for (ULONG slot = 0; slot < UsbStreamSlotCount; ++slot) {
        if (m_FeedbackInFlight[slot] != nullptr) {
            *Idle = FALSE;
            continue;
        }
        TransferContext* context = m_FeedbackFree[slot];
        if (found != nullptr || slot >= inUse || context == nullptr) continue;
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_FeedbackInFlight[slot]), context,
                                              nullptr) == nullptr) {
            m_FeedbackFree[slot] = nullptr;
            found = context;
        }
    }
    KeReleaseSpinLock(&m_FeedbackLock, irql);
    return found;
}

void Uac2PlaybackStream::RecycleFeedbackTransfer(TransferContext* Context) {
    KIRQL irql;
    KeAcquireSpinLock(&m_FeedbackLock, &irql);
    m_FeedbackFree[Context->Slot] = Context;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_FeedbackInFlight[Context->Slot]), nullptr);
    IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
    KeReleaseSpinLock(&m_FeedbackLock, irql);
}

NTSTATUS Uac2PlaybackStream::SubmitFeedback(UsbTransport* Transport) {
    BOOLEAN idle = FALSE;
    TransferContext* context = AcquireFeedbackTransfer(&idle);
    if (context == nullptr) return STATUS_SUCCESS;  // every read is out: this one is skipped
    // Each read starts where the last one ended. The first after the pipe went idle (Run, a
    // recovery, reads cancelled), one after a refused start frame and one that would come too late
    // for its frame start a little ahead of the current frame instead: late packets are never sent.
    ULONG now = 0;
    Transport->QueryBusTime(&now);
    if (idle || InterlockedExchange(&m_FeedbackRefused, FALSE) != FALSE) m_FeedbackNextFrame = now;
    const ULONG start = UsbStreamTimelyStartFrame(m_FeedbackNextFrame, now);
    m_FeedbackNextFrame = start + m_FeedbackFrames;
    const ULONG entries = m_FeedbackEntries;
    const ULONG width = m_FeedbackWidth;
    RtlZeroMemory(context->Urb, UsbStreamIsoUrbBytes(entries));
    auto& iso = context->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(UsbStreamIsoUrbBytes(entries));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = FeedbackPipe()->PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    iso.StartFrame = start;
    iso.NumberOfPackets = entries;
    iso.TransferBufferLength = entries * width;
    iso.TransferBuffer = context->Data;
    for (ULONG k = 0; k < entries; ++k) {
        iso.IsoPacket[k].Offset = k * width;
        iso.IsoPacket[k].Length = width;
    }
    context->ByteCount = entries * width;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(context->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = context->Urb;
    next->Parameters.Others.Argument2 = nullptr;
    IoSetCompletionRoutine(context->Irp, FeedbackCompletionRoutine, context, TRUE, TRUE, TRUE);
    if (InterlockedIncrement(&m_PendingCount) == 1) KeClearEvent(&m_IdleEvent);
    return Transport->CallLowerDriver(context->Irp);
}

NTSTATUS Uac2PlaybackStream::FeedbackCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* context = static_cast<TransferContext*>(Context);
    return static_cast<Uac2PlaybackStream*>(context->Stream)->CompleteFeedback(Irp, context);
}

NTSTATUS Uac2PlaybackStream::CompleteFeedback(PIRP Irp, TransferContext* Context) {
    // A read that failed says nothing about the device's rate and is skipped: the rate stays and
    // the next read goes out with the next data transfer. A device that has gone shows on the data
    // pipe, whose failures run the recovery.
    if (State() == UsbStreamRunning && NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(Context->Urb->UrbHeader.Status)) {
        ParseFeedback(Context);
    }
    if (Context->Urb->UrbHeader.Status == USBD_STATUS_BAD_START_FRAME) InterlockedExchange(&m_FeedbackRefused, TRUE);
    // The context goes back before the pending count drops: once it is 0, Close may free it.
    RecycleFeedbackTransfer(Context);
    TransferFinished();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Uac2PlaybackStream::ParseFeedback(const TransferContext* Context) {
    const auto& iso = Context->Urb->UrbIsochronousTransfer;
    ULONG64 rates[Uac2MaxFeedbackEntries];
    ULONG kept = 0;
    const ULONG entries = iso.NumberOfPackets < m_FeedbackEntries ? iso.NumberOfPackets : m_FeedbackEntries;
    for (ULONG k = 0; k < entries; ++k) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[k];
        // An entry that failed, or whose length cannot be a feedback value, is skipped.
        if (!USBD_SUCCESS(packet.Status) || packet.Length > m_FeedbackWidth || packet.Offset > Context->ByteCount ||
            packet.Length > Context->ByteCount - packet.Offset) {
            continue;
        }
        const ULONG64 rate = Uac2FeedbackEntryRate(Context->Data + packet.Offset, packet.Length, m_HighSpeed, m_NominalRate);
        if (rate != 0) rates[kept++] = rate;
    }
    const ULONG measured = Uac2MeasuredRate(rates, kept, m_NominalRate, MeasuredMilliHz());
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_MeasuredRate), static_cast<LONG>(measured));
}

// ---------------------------------------------------------------------------------------------
// Render: recovery

NTSTATUS Uac2PlaybackStream::ResetPipe(UsbTransport* Transport, PUSBD_PIPE_INFORMATION Pipe) {
    if (Pipe == nullptr) return STATUS_INVALID_PARAMETER;
    _URB_PIPE_REQUEST request{};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    request.PipeHandle = Pipe->PipeHandle;
    return Transport->SubmitUrbSync(reinterpret_cast<PURB>(&request));
}

// The render stream recovers in place: the pipes are reset and the transfers restart a little
// ahead, without a zero-bandwidth selection, so the device keeps its clock and FIFO.
NTSTATUS Uac2PlaybackStream::RecoverFromError() {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    InterlockedExchange(&m_WorkFlag, UsbStreamWorkNone);
    InterlockedIncrement(&m_Recoveries);
    const BOOLEAN gone = transport->CheckPortStatus();
    InterlockedExchange(&m_DeviceGone, gone ? TRUE : FALSE);
    if (gone) {
        transport->Release();
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    // A recovery that follows the last one within a few frames (transfers that fail as soon as
    // they are sent) waits those frames first: the worker never spins and the bus clock moves on.
    ULONG frame = 0;
    transport->QueryBusTime(&frame);
    if (m_HasRecovered && frame - m_LastRecoveryFrame < RecoveryPauseFrames) {
        LARGE_INTEGER pause;
        pause.QuadPart = -static_cast<LONGLONG>(RecoveryPauseFrames) * HundredNsPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    status = ResetPipe(transport, DataPipe());
    if (NT_SUCCESS(status) && FeedbackPipe() != nullptr) status = ResetPipe(transport, FeedbackPipe());
    transport->QueryBusTime(&frame);
    m_LastRecoveryFrame = frame;
    m_HasRecovered = TRUE;
    m_NextStartFrame = frame + RestartLeadFrames;
    // The restart begins a new run: a failed packet in its first transfer is an isolated one.
    InterlockedExchange(&m_LastTransferFailed, FALSE);
    transport->Release();
    // Every slot the client asked for goes out again, as at Run (the feedback reads start afresh).
    if (NT_SUCCESS(status)) status = SubmitAvailable();
    return status;
}

// ---------------------------------------------------------------------------------------------
// Capture

Uac2CaptureStream::Uac2CaptureStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId,
                                     ULONG ClockControlId)
    : Uac1CaptureStream(UnknownOuter, Interface, TerminalControlId), m_ClockControlId(ClockControlId) {
    m_StagingTag = Uac2StagingTag;
}

NTSTATUS Uac2CaptureStream::SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) {
    PAGED_CODE();
    if (AlternateSetting == 0) m_ClockHold.Release();  // the stream no longer runs on the clock
    if (Client != nullptr && AlternateSetting != 0) {
        const ULONG rate = Client->Format.Format.nSamplesPerSec;
        NTSTATUS status = m_ClockHold.Take(m_Adapter, m_ClockControlId, rate);
        if (NT_SUCCESS(status)) status = Uac2SetClockRate(m_Adapter, m_ClockControlId, rate);
        if (!NT_SUCCESS(status)) {
            m_ClockHold.Release();
            return status;
        }
    }
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (NT_SUCCESS(status)) {
        status = SelectInterfaceRecord(transport, AlternateSetting);
        transport->Release();
    }
    if (!NT_SUCCESS(status)) m_ClockHold.Release();
    return status;
}

BOOLEAN Uac2CaptureStream::IsAltSettingValid(UCHAR AlternateSetting) {
    return Uac2IsAltSettingValid(m_Adapter, m_Index, AlternateSetting);
}
