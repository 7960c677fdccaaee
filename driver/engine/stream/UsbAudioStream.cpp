// UsbAudioStream: construction and destruction, the alternate-setting list, the client operations
// with their format and run arbitration, and the state steps Close, Run and StopRunning. The
// isochronous machinery is in UsbIsoTransfers.cpp.
#include "driver/engine/stream/UsbAudioStream.h"

#include <new>

namespace {

// The engine's KernelMutex for a scope (recursive for its owner).
class MutexScope {
public:
    explicit MutexScope(KernelMutex& Mutex) : m_Mutex(Mutex) { m_Mutex.Lock(); }
    ~MutexScope() { m_Mutex.Unlock(); }
    MutexScope(const MutexScope&) = delete;
    MutexScope& operator=(const MutexScope&) = delete;

private:
    KernelMutex& m_Mutex;
};

// The client's format as a full 40-byte record: an extensible format is taken whole, a plain one
// by its 18-byte head.
WAVEFORMATEXTENSIBLE CopyClientFormat(const WAVEFORMATEX* Format) {
    WAVEFORMATEXTENSIBLE record{};
    const SIZE_T bytes = Format->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    RtlCopyMemory(&record, Format, bytes);
    if (Format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) record.Format.cbSize = 0;
    return record;
}

// A stream run again after an arbitration step starts this many frames after the current one.
constexpr ULONG RestartStartLead = 5;

bool SameFormat(const WAVEFORMATEXTENSIBLE& A, const WAVEFORMATEXTENSIBLE& B) {
    return RtlEqualMemory(&A, &B, sizeof(WAVEFORMATEXTENSIBLE));
}

}  // namespace

UsbAudioStream::UsbAudioStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : StreamEngine(UnknownOuter, Interface),
      m_RunOwner(nullptr),
      m_FormatOwner(nullptr),
      m_OpenFormat{},
      m_StreamState(UsbStreamClosed),
      m_Adapter(nullptr),
      m_StreamCallback(nullptr),
      m_WorkerThread(nullptr),
      m_AltSettings(nullptr),
      m_Limiter(nullptr),
      m_UrbList{},
      m_DataList{},
      m_ContextList{},
      m_PoolBuilt(FALSE),
      m_FreeSlots{},
      m_InFlightSlots{},
      m_SlotsInUse(UsbStreamSlotCount),
      m_PacketsPerMs(1),
      m_TransferMs(UsbStreamMaxTransferMs),
      m_NextStartFrame(0),
      m_UseStartFrame(1),
      m_Interface(nullptr),
      m_InterfaceBytes(0),
      m_PipeIndex(0),
      m_HoldsBusy(FALSE),
      m_Staging(nullptr),
      m_StagingTag(UsbStreamStagingTag),
      m_StagingBytes(0),
      m_ReadPosition(0),
      m_WritePosition(0),
      m_WorkFlag(UsbStreamWorkNone),
      m_PendingCount(0),
      m_DeviceGone(FALSE),
      m_DataLockOwner(nullptr),
      m_DrainedForReset(FALSE),
      m_LastTransferFailed(FALSE),
      m_IsolatedPacketErrors(0),
      m_Recoveries(0),
      m_RunRetriesLeft(0) {
    UNREFERENCED_PARAMETER(TerminalControlId);
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_ExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WorkerDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_TransferLock);
    KeInitializeSpinLock(&m_DataLock);
}

UsbAudioStream::~UsbAudioStream() {
    while (m_AltSettings != nullptr) {
        AltSettingRecord* next = m_AltSettings->Next;
        ExFreePoolWithTag(m_AltSettings, UsbStreamTag);
        m_AltSettings = next;
    }
    if (m_WorkerThread != nullptr) {
        KeSetEvent(&m_ExitEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_WorkerDoneEvent, Executive, KernelMode, FALSE, nullptr);
        // The done event comes just before the thread ends; the stream may go only once the thread
        // has left its code.
        KeWaitForSingleObject(m_WorkerThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_WorkerThread);
        m_WorkerThread = nullptr;
    }
    // A stream released while open or running (its clients never stopped or closed) still owns
    // its pool: the transfers in flight come back first.
    if (State() == UsbStreamRunning) StopRunning();
    if (State() == UsbStreamOpen) Close();
    if (m_Interface != nullptr) ExFreePoolWithTag(m_Interface, UsbStreamUrbTag);
    m_Interface = nullptr;
    if (m_StreamCallback != nullptr) {
        // Created permanent, so its name outlives every reference until it is made temporary.
        ObMakeTemporaryObject(m_StreamCallback);
        ObDereferenceObject(m_StreamCallback);
    }
    m_StreamCallback = nullptr;
    if (m_Limiter != nullptr) {
        m_Limiter->FreeBuffers();
        m_Limiter->~CDspPeakLimiter();
        ExFreePoolWithTag(m_Limiter, UsbStreamTag);
        m_Limiter = nullptr;
    }
}

NTSTATUS UsbAudioStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<StreamEngine*>(this)},
        {IID_StreamEngine, static_cast<StreamEngine*>(this)},
        {IID_StreamClients, static_cast<StreamClients*>(this)},
        {IID_StreamDrm, static_cast<StreamDrm*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// ---------------------------------------------------------------------------------------------
// Alternate settings and the path

NTSTATUS UsbAudioStream::AddAltSettingFormat(const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting) {
    PAGED_CODE();
    if (Format == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AddFormat(Format);
    if (!NT_SUCCESS(status)) return status;
    auto* record = static_cast<AltSettingRecord*>(ExAllocatePoolWithTag(PagedPool, sizeof(AltSettingRecord), UsbStreamTag));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof(*record));
    record->AlternateSetting = AlternateSetting;
    record->Format = *Format;
    AltSettingRecord** tail = &m_AltSettings;
    while (*tail != nullptr) tail = &(*tail)->Next;
    *tail = record;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::FindAltSetting(const WAVEFORMATEX* Format, PUCHAR AlternateSetting) {
    if (Format == nullptr || AlternateSetting == nullptr) return STATUS_INVALID_PARAMETER;
    const bool extensible = Format->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const ULONG extra = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    const SIZE_T compared = sizeof(WAVEFORMATEX) + (Format->cbSize < extra ? Format->cbSize : extra);
    for (const AltSettingRecord* record = m_AltSettings; record != nullptr; record = record->Next) {
        const WAVEFORMATEXTENSIBLE& carried = record->Format;
        const bool match =
            extensible ? RtlEqualMemory(&carried, Format, compared)
                       : carried.Format.nChannels == Format->nChannels &&
                             carried.Format.nSamplesPerSec == Format->nSamplesPerSec &&
                             carried.Format.wBitsPerSample == Format->wBitsPerSample &&
                             static_cast<USHORT>(carried.SubFormat.Data1 & 0xFFFF) == Format->wFormatTag;
        if (match) {
            *AlternateSetting = record->AlternateSetting;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbAudioStream::FindPathNode(ULONG Id, AudioNode** Node) {
    if (Node == nullptr) return STATUS_INVALID_PARAMETER;
    *Node = nullptr;
    const ULONG count = GetNodeCount();
    for (ULONG i = 0; i < count; ++i) {
        AudioNode* control = nullptr;
        if (NT_SUCCESS(GetNode(i, &control)) && control->GetId() == Id) *Node = control;
    }
    return *Node != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

BOOLEAN UsbAudioStream::IsAltSettingValid(UCHAR AlternateSetting) {
    UNREFERENCED_PARAMETER(AlternateSetting);
    return TRUE;
}

NTSTATUS UsbAudioStream::SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client) {
    UNREFERENCED_PARAMETER(AlternateSetting);
    UNREFERENCED_PARAMETER(Client);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioStream::Open(StreamClient* Client, PULONG BusFrame) {
    UNREFERENCED_PARAMETER(Client);
    UNREFERENCED_PARAMETER(BusFrame);
    return STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------------------------
// Notices

void UsbAudioStream::Notify(StreamNotifyKind Kind, StreamClient* Owner, ULONG First, ULONG Second, PVOID Data) {
    if (m_StreamCallback == nullptr) return;
    StreamNotifyRecord record{};
    record.Owner = Owner;
    record.Kind = static_cast<ULONG>(Kind);
    if (Data != nullptr) {
        record.FirstValue.Data = Data;
    } else {
        record.FirstValue.ByteCount = First;
    }
    record.SecondValue = Second;
    ExNotifyCallback(m_StreamCallback, &record, nullptr);
}

void UsbAudioStream::NotifyFormatChanged(StreamClient* Owner, BOOLEAN Changed) {
    if (m_StreamCallback == nullptr || Owner == nullptr) return;
    StreamNotifyRecord record{};
    record.Owner = Owner;
    record.Kind = static_cast<ULONG>(StreamNotifyKind::FormatChanged);
    record.FirstValue.Shape.Milliseconds = Owner->TransferMilliseconds | (Changed ? StreamFormatChangedFlag : 0);
    record.FirstValue.Shape.Count = Owner->TransferCount;
    ExNotifyCallback(m_StreamCallback, &record, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Client operations

NTSTATUS UsbAudioStream::RegisterClient(ULONG Kind, PWAVEFORMATEX Format, ULONG TransferMs, ULONG TransferCount,
                                        PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Client) {
    PAGED_CODE();
    if (Client == nullptr) return STATUS_INVALID_PARAMETER;
    *Client = nullptr;
    if (Format == nullptr || Callback == nullptr) return STATUS_INVALID_PARAMETER;
    // Each transfer carries whole milliseconds, at most ten of them.
    if (TransferMs == 0 || TransferMs > UsbStreamMaxTransferMs) return STATUS_INVALID_PARAMETER;
    if (TransferCount == 0) TransferCount = 1;
    if (TransferCount > UsbStreamSlotCount) TransferCount = UsbStreamSlotCount;

    MutexScope lock(m_Mutex);
    WAVEFORMATEXTENSIBLE format = CopyClientFormat(Format);
    NTSTATUS status = FindFormat(&format.Format);
    if (!NT_SUCCESS(status)) return status;
    // Without the callback object (StartWorker failed) no client could hear the stream.
    if (m_StreamCallback == nullptr) return STATUS_UNSUCCESSFUL;

    auto* record = static_cast<StreamClient*>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(StreamClient), UsbStreamTag));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof(*record));
    record->Kind = Kind;
    record->TransferMilliseconds = TransferMs;
    record->TransferCount = TransferCount;
    record->Format = format;
    record->Direction = GetDirection();
    record->Registration = ExRegisterCallback(m_StreamCallback, Callback, Context);
    if (record->Registration == nullptr) {
        ExFreePoolWithTag(record, UsbStreamTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = AddRegisteredClient(record);
    if (!NT_SUCCESS(status)) {
        ExUnregisterCallback(record->Registration);
        ExFreePoolWithTag(record, UsbStreamTag);
        return status;
    }
    *Client = record->Registration;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::UnregisterClient(PVOID Client) {
    PAGED_CODE();
    MutexScope lock(m_Mutex);
    StreamClient* record = RemoveClient(ClientList::Registered, Client);
    if (record == nullptr) return STATUS_UNSUCCESSFUL;
    ExUnregisterCallback(record->Registration);
    ExFreePoolWithTag(record, UsbStreamTag);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::SetClientFormat(PVOID Client, PULONG TransferMs, PULONG BusFrame) {
    PAGED_CODE();
    MutexScope lock(m_Mutex);
    StreamClient* record = FindClient(ClientList::Registered, Client);
    if (record == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = InsertClientByKind(ClientList::Format, record);
    if (!NT_SUCCESS(status)) return status;

    StreamClient* head = GetHeadClient(ClientList::Format);
    ULONG openFrame = 0;
    bool opened = false;
    if (head != m_FormatOwner) {
        // The stream is the new format owner's now: a started client waits for that owner's start
        // or close, so a pending retry for it ends.
        InterlockedExchange(&m_RunRetriesLeft, 0);
        if (m_FormatOwner != nullptr) {
            if (State() == UsbStreamRunning) StopRunning();
            Close();
            m_FormatOwner = nullptr;
        }
        status = Open(head, &openFrame);
        if (!NT_SUCCESS(status)) {
            // The new client stays registered; the stream stays closed.
            RemoveClient(ClientList::Format, Client);
            return status;
        }
        m_FormatOwner = head;
        m_CurrentWaveFormat = head->Format;
        opened = true;
    }
    if (TransferMs != nullptr) *TransferMs = m_FormatOwner->TransferMilliseconds;
    // A client that did not open the stream still gets a frame to start from: the current one.
    if (BusFrame != nullptr) *BusFrame = opened ? openFrame : GetCurrentFrame();
    RemoveClient(ClientList::Registered, Client);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::ReopenFor(StreamClient* Client, PULONG BusFrame) {
    if (State() == UsbStreamRunning) StopRunning();
    Close();
    return Open(Client, BusFrame);
}

BOOLEAN UsbAudioStream::AttachedListFor(ULONG Kind, AttachedList* List) const {
    const bool render = m_Direction == StreamDirectionRender;
    if (Kind == static_cast<ULONG>(ClientKind::FirstAttached)) {
        *List = render ? AttachedList::Second : AttachedList::First;
        return TRUE;
    }
    if (Kind == static_cast<ULONG>(ClientKind::SecondAttached)) {
        *List = render ? AttachedList::First : AttachedList::Second;
        return TRUE;
    }
    return FALSE;
}

NTSTATUS UsbAudioStream::StartClient(PVOID Client, ULONG StartFrame, PULONG TransferMs, ProcessingStage* Attach) {
    PAGED_CODE();
    MutexScope lock(m_Mutex);
    StreamClient* record = FindClient(ClientList::Format, Client);
    if (State() == UsbStreamClosed || record == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = InsertClientByKind(ClientList::Started, record);
    if (!NT_SUCCESS(status)) return status;

    StreamClient* head = GetHeadClient(ClientList::Started);
    if (head == m_RunOwner && State() == UsbStreamRunning) {
        NotifyFormatChanged(m_RunOwner, FALSE);
        record->Started = 1;
    } else {
        StreamClient* previous = m_RunOwner;
        status = HandOverTo(head, StartFrame, UsbStreamStartLeadFrames);
        if (!NT_SUCCESS(status)) {
            RemoveClient(ClientList::Started, record->Registration);
            record->Started = 0;
            m_RunOwner = previous;
            if (GetHeadClient(ClientList::Started) != nullptr) {
                // The client that was streaming goes on in its own format.
                RunStartedHead(GetCurrentFrame() + RestartStartLead);
            } else {
                Close();
                if (previous != nullptr) {
                    m_CurrentWaveFormat = previous->Format;
                    NotifyFormatChanged(previous, FALSE);
                }
            }
            return status;
        }
        record->Started = 1;
    }

    AttachedList list;
    if (Attach != nullptr && AttachedListFor(record->Kind, &list)) {
        status = AttachStage(list, Attach);
        if (!NT_SUCCESS(status)) return status;
    }
    if (TransferMs != nullptr) *TransferMs = m_RunOwner->TransferMilliseconds;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::StopClient(PVOID Client, ProcessingStage* Attach) {
    PAGED_CODE();
    MutexScope lock(m_Mutex);
    StreamClient* record = RemoveClient(ClientList::Started, Client);
    if (record == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (Attach != nullptr) {
        AttachedList list;
        if (!AttachedListFor(record->Kind, &list)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = DetachStage(list, Attach);
        }
    }

    StreamClient* head = GetHeadClient(ClientList::Started);
    if (head == nullptr) {
        StopRunning();
        record->Started = 0;
        m_RunOwner = nullptr;
    } else if (head == m_RunOwner) {
        record->Started = 0;
    } else {
        // The stopping owner's last transfers complete as its own; then the head gets the stream
        // opened afresh in its own format and transfer shape.
        StopRunning();
        record->Started = 0;
        Close();
        const NTSTATUS handed = RunStartedHead(GetCurrentFrame() + RestartStartLead);
        if (!NT_SUCCESS(handed)) status = handed;
    }
    return status;
}

NTSTATUS UsbAudioStream::CloseClient(PVOID Client) {
    PAGED_CODE();
    MutexScope lock(m_Mutex);
    if (FindClient(ClientList::Format, Client) == nullptr) return STATUS_INVALID_PARAMETER;
    // A client that closes while started stops first: a registered client must be in no other
    // list, or unregistering it would leave the started list pointing at freed memory.
    if (FindClient(ClientList::Started, Client) != nullptr) StopClient(Client, nullptr);
    StreamClient* record = RemoveClient(ClientList::Format, Client);
    if (record == nullptr) return STATUS_INVALID_PARAMETER;

    StreamClient* head = GetHeadClient(ClientList::Format);
    if (head == nullptr) {
        Close();
    } else if (head != m_FormatOwner && State() == UsbStreamOpen) {
        Close();
        m_FormatOwner = head;
        ULONG openFrame = 0;
        const NTSTATUS status = Open(head, &openFrame);
        if (!NT_SUCCESS(status)) {
            Close();
            if (!NT_SUCCESS(AddRegisteredClient(record))) {
                ExUnregisterCallback(record->Registration);
                ExFreePoolWithTag(record, UsbStreamTag);
            }
            return status;
        }
        m_CurrentWaveFormat = head->Format;
    }
    m_FormatOwner = head;
    // A client that is still started (it was stopped by a format hand-over) runs again.
    RunStartedHead(GetCurrentFrame() + RestartStartLead);

    const NTSTATUS status = AddRegisteredClient(record);
    if (!NT_SUCCESS(status)) {
        ExUnregisterCallback(record->Registration);
        ExFreePoolWithTag(record, UsbStreamTag);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioStream::HandOverTo(StreamClient* Head, ULONG StartFrame, ULONG OpenLead) {
    PAGED_CODE();
    ULONG startFrame = StartFrame;
    if (State() != UsbStreamOpen || !SameFormat(Head->Format, m_OpenFormat)) {
        // Running (the previous owner's transfers end first), closed, or open for another
        // client's format: re-opened for the new owner's.
        ULONG openFrame = 0;
        const NTSTATUS status = ReopenFor(Head, &openFrame);
        if (!NT_SUCCESS(status)) return status;
        startFrame = openFrame + OpenLead;
    }
    // Only now: a completion of the previous owner's last transfers still names that owner.
    m_RunOwner = Head;
    m_CurrentWaveFormat = Head->Format;
    NotifyFormatChanged(Head, TRUE);
    Head->Started = 1;
    return Run(startFrame, 1);
}

NTSTATUS UsbAudioStream::TryRunStartedHead(ULONG StartFrame) {
    PAGED_CODE();
    StreamClient* head = GetHeadClient(ClientList::Started);
    if (head == nullptr || (head == m_RunOwner && State() == UsbStreamRunning)) return STATUS_SUCCESS;
    const NTSTATUS status = HandOverTo(head, StartFrame, RestartStartLead);
    if (!NT_SUCCESS(status)) {
        Close();
        m_RunOwner = nullptr;
    }
    return status;
}

NTSTATUS UsbAudioStream::RunStartedHead(ULONG StartFrame) {
    PAGED_CODE();
    const NTSTATUS status = TryRunStartedHead(StartFrame);
    // A device that stalls a request once (the sampling rate, the alternate setting) is not left
    // silent until the next client operation.
    InterlockedExchange(&m_RunRetriesLeft, NT_SUCCESS(status) ? 0 : static_cast<LONG>(UsbStreamRunRetries));
    if (!NT_SUCCESS(status)) KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);  // the worker starts the delay
    return status;
}

void UsbAudioStream::RetryRunStartedHead() {
    PAGED_CODE();
    if (ReadAcquire(&m_RunRetriesLeft) == 0) return;
    StreamClient* head = GetHeadClient(ClientList::Started);
    if (head == nullptr || (head == m_RunOwner && State() == UsbStreamRunning)) {
        // Stopped, closed or run by a client operation since.
        InterlockedExchange(&m_RunRetriesLeft, 0);
        return;
    }
    const LONG left = InterlockedDecrement(&m_RunRetriesLeft);
    const NTSTATUS status = TryRunStartedHead(GetCurrentFrame() + RestartStartLead);
    if (NT_SUCCESS(status)) {
        InterlockedExchange(&m_RunRetriesLeft, 0);
    } else if (left == 0) {
        DbgPrint("Started client not run after %u retries, status = %x\n", UsbStreamRunRetries, static_cast<ULONG>(status));
    }
}

// ---------------------------------------------------------------------------------------------
// State steps

NTSTATUS UsbAudioStream::Close() {
    PAGED_CODE();
    if (State() != UsbStreamOpen) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectZeroBandwidth();
    FreeTransfers();
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamClosed);
    TearDownTransferPool();
    FreeStaging();
    if (m_Interface != nullptr) ExFreePoolWithTag(m_Interface, UsbStreamUrbTag);
    m_Interface = nullptr;
    m_InterfaceBytes = 0;
    m_OpenFormat = {};
    // A device that has gone cannot select anything; the stream is closed all the same.
    if (!NT_SUCCESS(status) && ReadAcquire(&m_DeviceGone) != 0) status = STATUS_SUCCESS;
    return status;
}

NTSTATUS UsbAudioStream::Run(ULONG StartFrame, UCHAR UseStartFrame) {
    PAGED_CODE();
    // A running stream never goes idle, so there is nothing to wait for: refused at once.
    if (State() != UsbStreamOpen) return STATUS_UNSUCCESSFUL;
    if (m_Limiter != nullptr) m_Limiter->SetFormat(m_CurrentWaveFormat);
    // A start frame that is due, or so close that its packets may be late, moves two frames ahead.
    m_NextStartFrame = UsbStreamTimelyStartFrame(StartFrame, GetCurrentFrame());
    m_UseStartFrame = UseStartFrame;
    InterlockedExchange(&m_WorkFlag, UsbStreamWorkNone);
    KeClearEvent(&m_WorkEvent);
    const LONG previous = InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamRunning);

    if (m_ProcessingList != nullptr) {
        for (PointerListNode* node = m_ProcessingList->GetHeadPosition(); node != nullptr; node = node->Next) {
            if (!NT_SUCCESS(static_cast<ProcessingStage*>(node->Data)->SetFormat(&m_CurrentWaveFormat))) break;
        }
    }
    const NTSTATUS status = SubmitAvailable();
    if (!NT_SUCCESS(status)) {
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), previous);
    }
    return status;
}

NTSTATUS UsbAudioStream::StopRunning() {
    PAGED_CODE();
    if (State() != UsbStreamRunning) return STATUS_UNSUCCESSFUL;
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamState), UsbStreamOpen);
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (m_ProcessingList != nullptr) {
        for (PointerListNode* node = m_ProcessingList->GetHeadPosition(); node != nullptr; node = node->Next) {
            status = static_cast<ProcessingStage*>(node->Data)->Reset(&m_CurrentWaveFormat, nullptr, 0);
            if (!NT_SUCCESS(status)) break;
        }
    }
    if (m_Limiter != nullptr) m_Limiter->Reset();
    return status;
}
