// UsbAudioStream: the isochronous machinery every stream class shares. The worker thread and the
// callback object, the transfer pool (three lookaside lists, ten slots, contexts with their IRPs,
// URBs and data buffers), the alternate-setting request, the submission and completion frames,
// and the recovery after a failed transfer.
//
// A running stream keeps up to ten transfers in flight on consecutive explicit start frames. The
// completion routine resubmits directly; the worker only tops up after a completion that could not
// resubmit and runs the recovery after an error.
#include "driver/engine/stream/UsbAudioStream.h"

#include "driver/engine/interfaces/AdapterCommon.h"

#include <new>

namespace {

constexpr KPRIORITY WorkerStartPriority = 31;
// Recovery waits this long before it selects the zero-bandwidth setting, and a run retry this long
// after the attempt before it: 100 ms, relative.
constexpr LONGLONG RecoveryDelay = -100LL * 10000;
// Restarted transfers begin this many frames after the current one.
constexpr ULONG RestartLeadFrames = UsbStreamStartLeadFrames;
// UAC 1.0 endpoint control: SET_CUR of SAMPLING_FREQ_CONTROL, three bytes of rate.
constexpr UCHAR SetCurRequest = 0x01;
constexpr USHORT SamplingFrequencySelector = 0x0100;
constexpr ULONG SamplingFrequencyBytes = 3;
constexpr ULONG SamplingFrequencyRequestBytes = 136;
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == SamplingFrequencyRequestBytes);
constexpr UCHAR IsochronousTransferType = 1;
constexpr UCHAR EndpointUsageMask = 0x30;
// Usage bits of an explicit feedback endpoint; data endpoints (also those that serve as implicit
// feedback) carry any other.
constexpr UCHAR FeedbackUsage = 0x10;

// The interface descriptor of one alternate setting of an AudioStreaming interface, or null.
PUSB_INTERFACE_DESCRIPTOR FindStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ULONG Interface,
                                                 UCHAR AlternateSetting) {
    if (Configuration == nullptr) return nullptr;
    return USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, static_cast<LONG>(Interface),
                                               AlternateSetting, 1, 2, -1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Set-up: worker, callback object, limiter

NTSTATUS UsbAudioStream::StartWorker(ULONG Direction, PUNKNOWN Adapter) {
    PAGED_CODE();
    if (Adapter == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_WorkerThread != nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = Init(Direction);
    if (!NT_SUCCESS(status)) return status;
    status = CreateStreamCallback();
    if (!NT_SUCCESS(status)) return status;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    KeClearEvent(&m_ExitEvent);
    KeClearEvent(&m_WorkerDoneEvent);
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadStart, this);
    if (!NT_SUCCESS(status)) {
        ObMakeTemporaryObject(m_StreamCallback);
        ObDereferenceObject(m_StreamCallback);
        m_StreamCallback = nullptr;
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs but cannot be waited for: end it before the stream's state goes.
        KeSetEvent(&m_ExitEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_WorkerDoneEvent, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_StreamCallback);
        m_StreamCallback = nullptr;
        return status;
    }
    m_WorkerThread = static_cast<PKTHREAD>(thread);
    KeSetPriorityThread(m_WorkerThread, WorkerStartPriority);
    KeSetPriorityThread(m_WorkerThread, UsbStreamWorkerPriority);

    m_Adapter = Adapter;
    InterlockedExchange(&m_DeviceGone, FALSE);
    CreateLimiter();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::CreateStreamCallback() {
    return CreateNamedCallback(KV_WIDE("\\Callback\\CyclicControlAddr%p"), &m_StreamCallback);
}

void UsbAudioStream::CreateLimiter() {
    PVOID memory = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(CDspPeakLimiter), UsbStreamTag);
    if (memory == nullptr) return;  // the stream runs without one
    RtlZeroMemory(memory, sizeof(CDspPeakLimiter));
    auto* limiter = new (memory) CDspPeakLimiter();
    if (limiter->Init()) {
        limiter->SetMode(0);
        limiter->SetGain(1.0f);
        limiter->SetCeiling(1.0f);
    }
    m_Limiter = limiter;
}

// The thread ends by returning: nothing of the driver's code may be left on its stack once the
// stream's destructor has seen the thread end, since the driver may be unloaded right after. The
// loop is called without the object's table: a stream released right after StartWorker is already
// in its destructors (which rewrite the table) when the thread first runs.
void UsbAudioStream::ThreadStart(PVOID StartContext) {
    static_cast<UsbAudioStream*>(StartContext)->UsbAudioStream::WorkerLoop();
}

void UsbAudioStream::WorkerLoop() {
    PVOID events[] = {&m_WorkEvent, &m_ExitEvent};
    for (;;) {
        // While a run retry is pending the wait ends after the recovery delay at the latest. The
        // worker holds nothing while it waits, so no client operation waits on a retry.
        LARGE_INTEGER retryDelay;
        retryDelay.QuadPart = RecoveryDelay;
        const bool retryPending = ReadAcquire(&m_RunRetriesLeft) != 0;
        const NTSTATUS woken = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                                        retryPending ? &retryDelay : nullptr, nullptr);
        m_Mutex.Lock();
        if (woken == STATUS_TIMEOUT) {
            // Never once the stream is going away: the destructor closes what is left.
            if (KeReadStateEvent(&m_ExitEvent) == 0) RetryRunStartedHead();
        } else if (woken == STATUS_WAIT_0 && State() == UsbStreamRunning) {
            if (InterlockedCompareExchange(&m_WorkFlag, UsbStreamWorkNone, UsbStreamWorkSubmit) == UsbStreamWorkSubmit) {
                while (State() == UsbStreamRunning && NT_SUCCESS(SubmitTransfer())) {
                }
            } else if (ReadAcquire(&m_WorkFlag) == UsbStreamWorkError) {
                DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", static_cast<int>(State()));
                if (State() == UsbStreamRunning) {
                    const NTSTATUS status = RecoverFromError();
                    if (status == STATUS_DEVICE_NOT_CONNECTED) KeSetEvent(&m_ExitEvent, IO_NO_INCREMENT, FALSE);
                    DbgPrint("Error_ErrorOccur ntStatus = %x\n", static_cast<ULONG>(status));
                }
            }
        }
        m_Mutex.Unlock();
        if (woken == STATUS_WAIT_1 || KeReadStateEvent(&m_ExitEvent) != 0) break;
    }
    KeSetEvent(&m_WorkerDoneEvent, 8, FALSE);
}

// ---------------------------------------------------------------------------------------------
// Transport helpers

NTSTATUS UsbAudioStream::QueryTransport(UsbTransport** Transport) {
    *Transport = nullptr;
    if (m_Adapter == nullptr) return STATUS_UNSUCCESSFUL;
    return m_Adapter->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(Transport));
}

ULONG UsbAudioStream::GetCurrentFrame() {
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(QueryTransport(&transport))) return 0;
    ULONG frame = 0;
    transport->QueryBusTime(&frame);
    transport->Release();
    return frame;
}

ULONG UsbAudioStream::GetPacketsPerMs(UCHAR AlternateSetting) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(QueryTransport(&transport))) return 1;
    ULONG packets = 1;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR interface = FindStreamingInterface(configuration, m_Index, AlternateSetting);
    if (interface != nullptr) {
        PUCHAR end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
        PUCHAR position = reinterpret_cast<PUCHAR>(interface);
        for (ULONG step = 0; step < interface->bNumEndpoints && position < end; ++step) {
            auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                configuration, configuration->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE));
            if (endpoint == nullptr || endpoint->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR) - 2) break;
            if ((endpoint->bmAttributes & 0x03) == IsochronousTransferType && (endpoint->bmAttributes & EndpointUsageMask) != FeedbackUsage) {
                if (transport->IsHighSpeed()) {
                    // bInterval 1 to 4 gives 8, 4, 2 or 1 packets per millisecond; anything else
                    // has no whole number of packets per millisecond and is refused.
                    const UCHAR interval = endpoint->bInterval;
                    packets = interval >= 1 && interval <= 4 ? 8u >> (interval - 1) : 0;
                }
                break;
            }
            position = reinterpret_cast<PUCHAR>(endpoint) + endpoint->bLength;
        }
    }
    transport->Release();
    return packets;
}

PUSBD_PIPE_INFORMATION UsbAudioStream::DataPipe() const {
    if (m_Interface == nullptr || m_PipeIndex >= m_Interface->NumberOfPipes) return nullptr;
    return &m_Interface->Pipes[m_PipeIndex];
}

NTSTATUS UsbAudioStream::SelectInterfaceRecord(UsbTransport* Transport, UCHAR AlternateSetting) {
    PAGED_CODE();
    if (m_Interface != nullptr) ExFreePoolWithTag(m_Interface, UsbStreamUrbTag);
    m_Interface = nullptr;
    m_InterfaceBytes = 0;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Transport->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR interface = FindStreamingInterface(configuration, m_Index, AlternateSetting);
    if (interface == nullptr) return STATUS_INVALID_PARAMETER;

    const ULONG endpoints = interface->bNumEndpoints;
    const ULONG requestBytes = GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, requestBytes, UsbStreamUrbTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, requestBytes);
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(requestBytes), Transport->GetConfigurationHandle(),
                                   static_cast<UCHAR>(m_Index), AlternateSetting);
    urb->UrbSelectInterface.Interface.NumberOfPipes = endpoints;
    NTSTATUS status = Transport->SubmitUrbSync(urb);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(urb, UsbStreamUrbTag);
        return status;
    }
    // The answer's Length is bounded by the request it came in.
    const PUSBD_INTERFACE_INFORMATION answer = &urb->UrbSelectInterface.Interface;
    const ULONG room = requestBytes - offsetof(_URB_SELECT_INTERFACE, Interface);
    ULONG length = answer->Length;
    if (length < GET_USBD_INTERFACE_SIZE(0) || length > room) length = room;
    m_Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, length, UsbStreamUrbTag));
    if (m_Interface == nullptr) {
        ExFreePoolWithTag(urb, UsbStreamUrbTag);
        // Without a record of the pipes the setting cannot be used: back to zero bandwidth.
        URB zero{};
        UsbBuildSelectInterfaceRequest(&zero, GET_SELECT_INTERFACE_REQUEST_SIZE(0), Transport->GetConfigurationHandle(),
                                       static_cast<UCHAR>(m_Index), 0);
        Transport->SubmitUrbSync(&zero);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(m_Interface, answer, length);
    m_InterfaceBytes = length;
    ExFreePoolWithTag(urb, UsbStreamUrbTag);

    // The pipes the record really holds.
    const ULONG held = (length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION);
    if (m_Interface->NumberOfPipes > held) m_Interface->NumberOfPipes = held;
    const bool wantIn = m_Direction == StreamDirectionCapture;
    m_PipeIndex = 0;
    for (ULONG i = 0; i < m_Interface->NumberOfPipes && i < 255; ++i) {
        // Only an isochronous pipe carries the stream; a setting's other endpoints are not its data.
        const USBD_PIPE_INFORMATION& pipe = m_Interface->Pipes[i];
        if (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) == wantIn && pipe.PipeType == UsbdPipeTypeIsochronous) {
            m_PipeIndex = static_cast<UCHAR>(i);
        }
    }

    // A real setting keeps the device busy until the next zero-bandwidth select.
    if (AlternateSetting != 0 && !m_HoldsBusy) {
        Transport->AddBusy();
        m_HoldsBusy = TRUE;
    } else if (AlternateSetting == 0 && m_HoldsBusy) {
        Transport->ReleaseBusy();
        m_HoldsBusy = FALSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::SetSamplingFrequency(UsbTransport* Transport, ULONG Rate) {
    PAGED_CODE();
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    if (pipe == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR rate[4] = {static_cast<UCHAR>(Rate & 0xFF), static_cast<UCHAR>((Rate >> 8) & 0xFF),
                     static_cast<UCHAR>((Rate >> 16) & 0xFF), 0};
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST request{};
    request.Hdr.Length = SamplingFrequencyRequestBytes;
    request.Hdr.Function = URB_FUNCTION_CLASS_ENDPOINT;
    request.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    request.TransferBufferLength = SamplingFrequencyBytes;
    request.TransferBuffer = rate;
    request.Request = SetCurRequest;
    request.Value = SamplingFrequencySelector;
    request.Index = pipe->EndpointAddress;
    return Transport->SubmitUrbSync(reinterpret_cast<PURB>(&request));
}

NTSTATUS UsbAudioStream::SelectZeroBandwidth() { return SelectAltSetting(0, nullptr); }

NTSTATUS UsbAudioStream::AbortPipes() {
    PAGED_CODE();
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    if (pipe == nullptr) return STATUS_INVALID_PARAMETER;
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    _URB_PIPE_REQUEST request{};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    request.PipeHandle = pipe->PipeHandle;
    status = transport->SubmitUrbSync(reinterpret_cast<PURB>(&request));
    transport->Release();
    return status;
}

NTSTATUS UsbAudioStream::SetContentId(ULONG ContentId) {
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(&transport);
    if (!NT_SUCCESS(status)) return status;
    DRMFORWARD forward{};
    forward.Flags = 0;
    forward.DeviceObject = transport->GetLowerDeviceObject();
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    forward.FileObject = pipe != nullptr ? static_cast<PFILE_OBJECT>(pipe->PipeHandle) : nullptr;
    forward.Context = pipe != nullptr ? pipe->PipeHandle : nullptr;
    transport->Release();
    return PcForwardContentToDeviceObject(ContentId, nullptr, &forward);
}

// ---------------------------------------------------------------------------------------------
// Transfer pool

NTSTATUS UsbAudioStream::BuildTransferPool(ULONG PacketsPerTransfer, ULONG DataBytes) {
    if (m_PoolBuilt) return STATUS_INVALID_DEVICE_STATE;
    ExInitializeNPagedLookasideList(&m_UrbList, nullptr, nullptr, 0, UsbStreamIsoUrbBytes(PacketsPerTransfer),
                                    UsbStreamUrbTag, 0);
    ExInitializeNPagedLookasideList(&m_DataList, nullptr, nullptr, 0, DataBytes, UsbStreamUrbTag, 0);
    ExInitializeNPagedLookasideList(&m_ContextList, nullptr, nullptr, 0, sizeof(TransferContext), UsbStreamUrbTag, 0);
    m_PoolBuilt = TRUE;
    for (ULONG slot = 0; slot < UsbStreamSlotCount; ++slot) {
        TransferContext* context = nullptr;
        const NTSTATUS status = AllocateTransfer(&context);
        if (!NT_SUCCESS(status)) {
            TearDownTransferPool();
            return status;
        }
        context->Slot = slot;
        m_FreeSlots[slot] = context;
        m_InFlightSlots[slot] = nullptr;
    }
    return STATUS_SUCCESS;
}

void UsbAudioStream::TearDownTransferPool() {
    if (!m_PoolBuilt) return;
    FreeTransfers();
    ExDeleteNPagedLookasideList(&m_UrbList);
    ExDeleteNPagedLookasideList(&m_DataList);
    ExDeleteNPagedLookasideList(&m_ContextList);
    m_PoolBuilt = FALSE;
}

NTSTATUS UsbAudioStream::AllocateTransfer(TransferContext** Context) {
    *Context = nullptr;
    auto* context = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(&m_ContextList));
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(context, sizeof(*context));
    context->Urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbList));
    context->Data = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&m_DataList));
    UsbTransport* transport = nullptr;
    if (NT_SUCCESS(QueryTransport(&transport))) {
        context->Irp = transport->AllocateIrp();
        transport->Release();
    }
    if (context->Urb == nullptr || context->Data == nullptr || context->Irp == nullptr) {
        FreeTransfer(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    context->Stream = this;
    *Context = context;
    return STATUS_SUCCESS;
}

void UsbAudioStream::FreeTransfer(TransferContext* Context) {
    if (Context == nullptr) return;
    if (Context->Urb != nullptr) ExFreeToNPagedLookasideList(&m_UrbList, Context->Urb);
    if (Context->Data != nullptr) ExFreeToNPagedLookasideList(&m_DataList, Context->Data);
    if (Context->Irp != nullptr) IoFreeIrp(Context->Irp);
    ExFreeToNPagedLookasideList(&m_ContextList, Context);
}

NTSTATUS UsbAudioStream::FreeTransfers() {
    for (ULONG slot = 0; slot < UsbStreamSlotCount; ++slot) {
        TransferContext* context = m_FreeSlots[slot];
        m_FreeSlots[slot] = nullptr;
        FreeTransfer(context);
    }
    return STATUS_SUCCESS;
}

TransferContext* UsbAudioStream::AcquireTransfer() {
    KIRQL irql;
    KeAcquireSpinLock(&m_TransferLock, &irql);
    TransferContext* found = nullptr;
    const ULONG inUse = m_SlotsInUse < UsbStreamSlotCount ? m_SlotsInUse : UsbStreamSlotCount;
    for (ULONG slot = 0; slot < inUse && found == nullptr; ++slot) {
        TransferContext* context = m_FreeSlots[slot];
        if (context == nullptr || m_InFlightSlots[slot] != nullptr) continue;
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_InFlightSlots[slot]), context,
                                              nullptr) == nullptr) {
            m_FreeSlots[slot] = nullptr;
            found = context;
        }
    }
    KeReleaseSpinLock(&m_TransferLock, irql);
    return found;
}

void UsbAudioStream::RecycleTransfer(TransferContext* Context) {
    KIRQL irql;
    KeAcquireSpinLock(&m_TransferLock, &irql);
    m_FreeSlots[Context->Slot] = Context;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_InFlightSlots[Context->Slot]), nullptr);
    IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
    KeReleaseSpinLock(&m_TransferLock, irql);
}

NTSTATUS UsbAudioStream::AllocateStaging(ULONG Bytes) {
    FreeStaging();
    if (Bytes == 0) return STATUS_INVALID_PARAMETER;
    m_Staging = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Bytes, m_StagingTag));
    if (m_Staging == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Staging, Bytes);
    m_StagingBytes = Bytes;
    m_ReadPosition = 0;
    m_WritePosition = 0;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::CheckOpenFormat(StreamClient* Client, PUCHAR AlternateSetting) {
    PAGED_CODE();
    if (Client == nullptr) return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE format = Client->Format;
    NTSTATUS status = FindFormat(&format.Format);
    if (NT_SUCCESS(status)) status = FindAltSetting(&Client->Format.Format, AlternateSetting);
    if (!NT_SUCCESS(status)) return status;
    const WAVEFORMATEX& wave = Client->Format.Format;
    const ULONG ms = Client->TransferMilliseconds;
    if (wave.nBlockAlign == 0 || wave.nSamplesPerSec == 0 || ms == 0 || ms > UsbStreamMaxTransferMs) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

void UsbAudioStream::AbandonOpen() {
    PAGED_CODE();
    if (m_HoldsBusy) SelectAltSetting(0, nullptr);
    if (m_Interface != nullptr) ExFreePoolWithTag(m_Interface, UsbStreamUrbTag);
    m_Interface = nullptr;
    FreeStaging();
    TearDownTransferPool();
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamClosed);
}

NTSTATUS UsbAudioStream::FinishOpen(StreamClient* Client, PULONG BusFrame) {
    m_ReadPosition = 0;
    m_WritePosition = 0;
    InterlockedExchange(&m_PendingCount, 0);
    m_OpenFormat = Client->Format;
    if (BusFrame != nullptr) *BusFrame = GetCurrentFrame();
    return STATUS_SUCCESS;
}

void UsbAudioStream::FreeStaging() {
    if (m_Staging != nullptr) ExFreePoolWithTag(m_Staging, m_StagingTag);
    m_Staging = nullptr;
    m_StagingBytes = 0;
    m_ReadPosition = 0;
    m_WritePosition = 0;
}

// ---------------------------------------------------------------------------------------------
// Submission

BOOLEAN UsbAudioStream::DataLockHeldHere() const { return ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&m_DataLockOwner)) == KeGetCurrentThread(); }

NTSTATUS UsbAudioStream::BeginSubmission(UsbTransport** Transport, TransferContext** Context, KIRQL* OldIrql) {
    *Transport = nullptr;
    *Context = nullptr;
    KeAcquireSpinLock(&m_DataLock, OldIrql);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_DataLockOwner), KeGetCurrentThread());
    NTSTATUS status = QueryTransport(Transport);
    if (!NT_SUCCESS(status)) {
        EndSubmission(nullptr, *OldIrql);
        return status;
    }
    if (ReadAcquire(&m_DeviceGone) != 0 || State() != UsbStreamRunning || ReadAcquire(&m_DrainedForReset) != 0) {
        EndSubmission(*Transport, *OldIrql);
        *Transport = nullptr;
        return UsbStreamNothingSent;
    }
    *Context = AcquireTransfer();
    if (*Context == nullptr) {
        EndSubmission(*Transport, *OldIrql);
        *Transport = nullptr;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory((*Context)->Urb, UsbStreamIsoUrbBytes(m_PacketsPerMs * m_TransferMs));
    return STATUS_SUCCESS;
}

void UsbAudioStream::EndSubmission(UsbTransport* Transport, KIRQL OldIrql) {
    if (Transport != nullptr) Transport->Release();
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_DataLockOwner), nullptr);
    KeReleaseSpinLock(&m_DataLock, OldIrql);
}

NTSTATUS UsbAudioStream::SendTransfer(UsbTransport* Transport, TransferContext* Context, ULONG TransferFlags) {
    const ULONG packets = m_PacketsPerMs * m_TransferMs;
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(UsbStreamIsoUrbBytes(packets));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    iso.PipeHandle = pipe != nullptr ? pipe->PipeHandle : nullptr;
    iso.TransferFlags = TransferFlags | (m_UseStartFrame ? 0 : USBD_START_ISO_TRANSFER_ASAP);
    iso.TransferBuffer = Context->Data;
    iso.NumberOfPackets = packets;
    if (m_UseStartFrame) {
        iso.StartFrame = m_NextStartFrame;
        m_NextStartFrame += m_TransferMs;  // one bus frame per millisecond at every speed
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Context->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Context->Urb;
    next->Parameters.Others.Argument2 = nullptr;
    IoSetCompletionRoutine(Context->Irp, TransferCompletionRoutine, Context, TRUE, TRUE, TRUE);

    if (InterlockedIncrement(&m_PendingCount) == 1) KeClearEvent(&m_IdleEvent);
    return Transport->CallLowerDriver(Context->Irp);
}

NTSTATUS UsbAudioStream::SubmitTransfer() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioStream::SubmitAvailable() {
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_SlotsInUse; ++i) {
        status = SubmitTransfer();
        if (!NT_SUCCESS(status)) break;
    }
    if (status == STATUS_BUFFER_TOO_SMALL || status == UsbStreamNothingSent) status = STATUS_SUCCESS;
    return status;
}

// ---------------------------------------------------------------------------------------------
// Completion

NTSTATUS UsbAudioStream::TransferCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* context = static_cast<TransferContext*>(Context);
    return context->Stream->CompleteTransfer(DeviceObject, Irp, context);
}

void UsbAudioStream::TransferFinished() {
    if (InterlockedDecrement(&m_PendingCount) == 0) KeSetEvent(&m_IdleEvent, 8, FALSE);
}

void UsbAudioStream::SignalError() {
    if (InterlockedExchange(&m_WorkFlag, UsbStreamWorkError) != UsbStreamWorkError) KeSetEvent(&m_WorkEvent, 8, FALSE);
}

BOOLEAN UsbAudioStream::PacketsAllowContinuing(const _URB_ISOCH_TRANSFER& Transfer, ULONG Packets) {
    ULONG failed = 0;
    for (ULONG k = 0; k < Packets; ++k) {
        const USBD_STATUS packet = Transfer.IsoPacket[k].Status;
        if (USBD_SUCCESS(packet)) continue;
        // A device that has gone is never a passing fault.
        if (packet == USBD_STATUS_DEVICE_GONE) return FALSE;
        ++failed;
    }
    const LONG lastFailed = InterlockedExchange(&m_LastTransferFailed, failed != 0 ? TRUE : FALSE);
    if (failed == 0) return TRUE;
    if (failed > UsbStreamIsolatedPacketErrors || lastFailed != FALSE) return FALSE;
    InterlockedAdd(&m_IsolatedPacketErrors, static_cast<LONG>(failed));
    return TRUE;
}

void UsbAudioStream::DrainForPortReset() {
    PAGED_CODE();
    InterlockedExchange(&m_DrainedForReset, TRUE);
    // A submission that began before the flag was set ends before the data lock is ours again;
    // from then on the pending count only falls.
    KIRQL irql;
    KeAcquireSpinLock(&m_DataLock, &irql);
    KeReleaseSpinLock(&m_DataLock, irql);
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
}

void UsbAudioStream::ResumeAfterPortReset() {
    PAGED_CODE();
    if (ReadAcquire(&m_DrainedForReset) == FALSE) return;
    const ULONG frame = GetCurrentFrame() + RestartLeadFrames;
    KIRQL irql;
    KeAcquireSpinLock(&m_DataLock, &irql);
    m_NextStartFrame = frame;
    InterlockedExchange(&m_LastTransferFailed, FALSE);
    InterlockedExchange(&m_DrainedForReset, FALSE);
    KeReleaseSpinLock(&m_DataLock, irql);
    // A stream with an error pending keeps it: its worker recovers as usual.
    if (State() == UsbStreamRunning &&
        InterlockedCompareExchange(&m_WorkFlag, UsbStreamWorkSubmit, UsbStreamWorkNone) == UsbStreamWorkNone) {
        KeSetEvent(&m_WorkEvent, 8, FALSE);
    }
}

void UsbAudioStream::ResubmitOrDefer() {
    if (ReadAcquire(&m_WorkFlag) != UsbStreamWorkNone) return;  // the worker is already due
    if (DataLockHeldHere()) {
        // Completed inside this thread's own submission: the data lock is ours, so the worker
        // submits the next transfer.
        if (InterlockedCompareExchange(&m_WorkFlag, UsbStreamWorkSubmit, UsbStreamWorkNone) == UsbStreamWorkNone) {
            KeSetEvent(&m_WorkEvent, 8, FALSE);
        }
        return;
    }
    SubmitTransfer();
}

NTSTATUS UsbAudioStream::CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    // The base hands every resubmission to the worker and gives the context up.
    if (State() == UsbStreamRunning) {
        if (!NT_SUCCESS(Irp->IoStatus.Status)) {
            SignalError();
        } else if (InterlockedCompareExchange(&m_WorkFlag, UsbStreamWorkSubmit, UsbStreamWorkNone) == UsbStreamWorkNone) {
            KeSetEvent(&m_WorkEvent, 8, FALSE);
        }
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_TransferLock, &irql);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_InFlightSlots[Context->Slot]), nullptr);
    KeReleaseSpinLock(&m_TransferLock, irql);
    FreeTransfer(Context);
    TransferFinished();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UsbAudioStream::CompleteRenderTransfer(PIRP Irp, TransferContext* Context, ULONG RenderBytes) {
    const NTSTATUS status = Irp->IoStatus.Status;
    if (State() != UsbStreamRunning) {
        Notify(StreamNotifyKind::TransferDone, m_RunOwner, RenderBytes);
        RecycleTransfer(Context);
        TransferFinished();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) InterlockedExchange(&m_DeviceGone, TRUE);
    Notify(StreamNotifyKind::TransferDone, m_RunOwner, RenderBytes);
    auto& iso = Context->Urb->UrbIsochronousTransfer;
    const bool requestGood = NT_SUCCESS(status) && USBD_SUCCESS(iso.Hdr.Status);
    const ULONG packets = iso.NumberOfPackets < m_PacketsPerMs * m_TransferMs ? iso.NumberOfPackets
                                                                               : m_PacketsPerMs * m_TransferMs;
    const bool good = requestGood && PacketsAllowContinuing(iso, packets);
    for (ULONG k = 0; k < packets; ++k) {
        if (!USBD_SUCCESS(iso.IsoPacket[k].Status)) {
            iso.Hdr.Status = iso.IsoPacket[k].Status;
            break;
        }
    }
    RecycleTransfer(Context);
    if (good) {
        ResubmitOrDefer();
    } else {
        SignalError();
    }
    TransferFinished();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------------------------
// Recovery

NTSTATUS UsbAudioStream::RecoverFromError() {
    PAGED_CODE();
    AdapterCommon* common = nullptr;
    NTSTATUS status = m_Adapter != nullptr ? m_Adapter->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common))
                                           : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT device = common->GetDeviceObject();
    if (device != nullptr) ObReferenceObject(device);
    UsbTransport* transport = nullptr;
    status = QueryTransport(&transport);
    if (NT_SUCCESS(status)) {
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchange(&m_WorkFlag, UsbStreamWorkNone);
        InterlockedIncrement(&m_Recoveries);
        const BOOLEAN gone = transport->CheckPortStatus();
        InterlockedExchange(&m_DeviceGone, gone ? TRUE : FALSE);
        if (gone) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            LARGE_INTEGER delay;
            delay.QuadPart = RecoveryDelay;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            status = SelectZeroBandwidth();
            if (!NT_SUCCESS(status)) {
                transport->CyclePort();
            } else {
                NotifyFormatChanged(m_RunOwner, TRUE);
                status = RestartTransfers();
                if (!NT_SUCCESS(status)) transport->CyclePort();
            }
        }
        transport->Release();
    }
    if (device != nullptr) ObDereferenceObject(device);
    common->Release();
    return status;
}

void UsbAudioStream::ResetPositions() {
    m_ReadPosition = 0;
    m_WritePosition = 0;
}

NTSTATUS UsbAudioStream::RestartTransfersBase() {
    PAGED_CODE();
    if (m_RunOwner == nullptr) return STATUS_UNSUCCESSFUL;
    UCHAR setting = 0;
    NTSTATUS status = FindAltSetting(&m_RunOwner->Format.Format, &setting);
    if (NT_SUCCESS(status)) status = SelectAltSetting(setting, m_RunOwner);
    if (!NT_SUCCESS(status)) return status;
    ResetPositions();
    InterlockedExchange(&m_PendingCount, 0);
    KeClearEvent(&m_WorkEvent);
    m_NextStartFrame = GetCurrentFrame() + RestartLeadFrames;
    InterlockedExchange(&m_WorkFlag, UsbStreamWorkNone);
    InterlockedExchange(&m_LastTransferFailed, FALSE);
    return SubmitAvailable();
}

NTSTATUS UsbAudioStream::RestartTransfers() { return RestartTransfersBase(); }
