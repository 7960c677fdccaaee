// UsbAudioStream: a StreamEngine that moves its audio over isochronous USB transfers to or from
// one AudioStreaming interface, and serves several consumers (the wave stream, the ASIO path) as
// clients. Each client registers with its kind, format and transfer shape; the stream is opened
// in the format of the head of the format list and run for the head of the started list (the
// highest kind wins), and every client hears what happens through the stream's callback object
// "\Callback\CyclicControlAddr%p" (StreamNotifyRecord).
//
// The isochronous machinery (worker thread, transfer pool, submission and completion frame,
// recovery) is shared by every stream class; the subclasses select the alternate setting, build
// the pool for a format in Open and fill and consume the packets.
//
// Locks, in order: the engine's KernelMutex (client operations, Open, Close, Run, StopRunning,
// each turn of the worker), the data spin lock (one submission at a time), then the transfer spin
// lock (the slots) or the engine's spin lock (lists and data path).
#pragma once

#include "driver/engine/stream/StreamEngine.h"
#include "driver/engine/interfaces/UsbTransport.h"
#include "driver/signal/DspPeakLimiter.h"

#include <win/kernel.h>
#include <win/mmreg.h>
#include <win/usb.h>

#include <cstddef>

// {7C4D1930-875A-418C-A0A4-3A30456A8996}
DEFINE_GUID(IID_StreamClients, 0x7C4D1930, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96);
// {AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}
DEFINE_GUID(IID_StreamDrm, 0xAA68946D, 0x7D26, 0x4137, 0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC);

// "USBS": client records, alternate-setting records and the limiter.
constexpr ULONG UsbStreamTag = 'SBSU';
// "URB ": the lookaside lists, the select-interface request and the interface record.
constexpr ULONG UsbStreamUrbTag = ' BRU';
// "US10": the staging ring (non-paged).
constexpr ULONG UsbStreamStagingTag = '01SU';
// At most this many transfers are in flight; clients ask for 1 to 10.
constexpr ULONG UsbStreamSlotCount = 10;
// Milliseconds of audio per transfer a client may ask for.
constexpr ULONG UsbStreamMaxTransferMs = 10;
// The worker runs at this priority.
constexpr KPRIORITY UsbStreamWorkerPriority = 24;
// A transfer starts at least this many frames after the current one: the bus may already be
// scheduling the next frame, so a packet for it can be too late.
constexpr ULONG UsbStreamStartLeadFrames = 2;
// After an arbitration step that could not run the head of the started list, the worker tries
// again this many times, the recovery delay apart; then the stream waits for the next step.
constexpr ULONG UsbStreamRunRetries = 3;
// The start frame for a transfer meant for Frame when the bus is at Now: Frame itself, or, when it
// is due or so close that its first packets may be late, Now + UsbStreamStartLeadFrames.
constexpr ULONG UsbStreamTimelyStartFrame(ULONG Frame, ULONG Now) {
    return static_cast<LONG>(Frame - Now) >= static_cast<LONG>(UsbStreamStartLeadFrames) ? Frame
                                                                                         : Now + UsbStreamStartLeadFrames;
}
// Bytes of an isochronous request for n packets, as the stream allocates it.
constexpr ULONG UsbStreamIsoUrbBytes(ULONG Packets) { return 152 + 12 * Packets; }
// The result of a submission that sent nothing because the stream is not running or the device is
// gone: the worker's loop ends on it, Run and the restart count it as they count a full pool.
constexpr NTSTATUS UsbStreamNothingSent = STATUS_INVALID_DEVICE_STATE;

// Bytes an isochronous endpoint moves per service interval: the packet size (bits 0-10 of
// wMaxPacketSize) times the transactions per microframe (1 plus bits 11-12, high speed).
constexpr ULONG UsbIsoPacketRoom(USHORT MaxPacketSize) {
    return static_cast<ULONG>(MaxPacketSize & 0x7FF) * (1 + ((MaxPacketSize >> 11) & 3));
}
// A transfer whose request succeeded but which carries at most this many failed packets, after a
// transfer without any, is counted and streaming goes on; anything more runs the recovery.
constexpr ULONG UsbStreamIsolatedPacketErrors = 1;

// Kinds of StreamNotifyRecord.
enum class StreamNotifyKind : ULONG {
    TransferDone = 1,      // FirstValue.ByteCount: bytes of the finished transfer
    FormatChanged = 2,     // FirstValue.Shape: the owner's transfer milliseconds (bit 31: changed) and count
    FillRenderBuffer = 3,  // FirstValue.Data, SecondValue: the zeroed buffer the owner writes
    CaptureData = 4,       // FirstValue.Data, SecondValue: captured bytes every client may read
};
// Bit 31 of the FormatChanged milliseconds: the stream changed its format.
constexpr ULONG StreamFormatChangedFlag = 0x80000000;

// Argument1 of every ExNotifyCallback on the stream's callback object (Argument2 is null).
struct StreamNotifyRecord {
    StreamClient* Owner;  // the run owner (FormatChanged: the client whose format is in force)
    ULONG Kind;           // StreamNotifyKind
    ULONG Reserved;
    union {
        ULONG ByteCount;
        struct {
            ULONG Milliseconds;
            ULONG Count;
        } Shape;
        PVOID Data;
    } FirstValue;
    ULONG SecondValue;
    ULONG Reserved2;
};
static_assert(sizeof(StreamNotifyRecord) == 32 && offsetof(StreamNotifyRecord, Kind) == 8 &&
              offsetof(StreamNotifyRecord, FirstValue) == 16 && offsetof(StreamNotifyRecord, SecondValue) == 24);

// The client operations. Clients are named by the registration handle RegisterClient hands out.
class StreamClients : public IUnknown {
public:
    // Operations in table order; each runs under the engine's KernelMutex at PASSIVE_LEVEL.

    // Format must be one the engine carries; TransferMs 1 to 10 (else STATUS_INVALID_PARAMETER);
    // TransferCount is clamped to 1 to 10. *Client is null on failure.
    STDMETHOD(RegisterClient)(ULONG Kind, PWAVEFORMATEX Format, ULONG TransferMs, ULONG TransferCount,
                              PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Client) PURE;
    // Only a registered client that is not in the format list: else STATUS_UNSUCCESSFUL.
    STDMETHOD(UnregisterClient)(PVOID Client) PURE;
    // *TransferMs: the run owner's. Attach: joins an attached list for kinds 1 and 2.
    STDMETHOD(StartClient)(PVOID Client, ULONG StartFrame, PULONG TransferMs, ProcessingStage* Attach) PURE;
    STDMETHOD(StopClient)(PVOID Client, ProcessingStage* Attach) PURE;
    // *TransferMs: the format owner's; *BusFrame: the frame at which the stream was opened, or the
    // current frame when this call did not open it.
    STDMETHOD(SetClientFormat)(PVOID Client, PULONG TransferMs, PULONG BusFrame) PURE;
    STDMETHOD(CloseClient)(PVOID Client) PURE;

protected:
    ~StreamClients() = default;
};

class StreamDrm : public IUnknown {
public:
    // Forwards a content id to the bus driver below, naming the data pipe.
    STDMETHOD(SetContentId)(ULONG ContentId) PURE;

protected:
    ~StreamDrm() = default;
};

class UsbAudioStream;

// One transfer slot's context: allocated at Open, recycled for every submission.
struct TransferContext {
    PIRP Irp;                // from UsbTransport::AllocateIrp, reused with IoReuseIrp
    PURB Urb;                // UsbStreamIsoUrbBytes(packets per transfer), from the URB list
    UsbAudioStream* Stream;  // the owner
    ULONG ByteCount;         // render: bytes sent; capture: buffer offered
    PUCHAR Data;             // the subclass's largest transfer, from the data list
    ULONG Slot;              // 0 to UsbStreamSlotCount - 1
};

// One format the parser found on an alternate setting (paged "USBS").
struct AltSettingRecord {
    AltSettingRecord* Next;
    UCHAR AlternateSetting;
    WAVEFORMATEXTENSIBLE Format;
};

// m_StreamState values.
constexpr ULONG UsbStreamClosed = 0;
constexpr ULONG UsbStreamOpen = 1;
constexpr ULONG UsbStreamRunning = 2;

// Work flag values.
constexpr LONG UsbStreamWorkNone = 0;
constexpr LONG UsbStreamWorkSubmit = 1;
constexpr LONG UsbStreamWorkError = 2;

class UsbAudioStream : public StreamClients, public StreamDrm, public StreamEngine {
public:
    DECLARE_KERNEL_UNKNOWN();

    // Interface: the AudioStreaming interface number (the engine's index). TerminalControlId is
    // the parser's; the stream does not use it.
    UsbAudioStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);
    ~UsbAudioStream() override;

    // ---- StreamClients ----
    STDMETHODIMP RegisterClient(ULONG Kind, PWAVEFORMATEX Format, ULONG TransferMs, ULONG TransferCount,
                                PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Client) override;
    STDMETHODIMP UnregisterClient(PVOID Client) override;
    STDMETHODIMP StartClient(PVOID Client, ULONG StartFrame, PULONG TransferMs, ProcessingStage* Attach) override;
    STDMETHODIMP StopClient(PVOID Client, ProcessingStage* Attach) override;
    STDMETHODIMP SetClientFormat(PVOID Client, PULONG TransferMs, PULONG BusFrame) override;
    STDMETHODIMP CloseClient(PVOID Client) override;

    // ---- StreamDrm ----
    STDMETHODIMP SetContentId(ULONG ContentId) override;

    // ---- The stream's own operations, in table order ----
    virtual NTSTATUS SelectAltSetting(UCHAR AlternateSetting, StreamClient* Client);
    virtual NTSTATUS FreeTransfers();
    virtual NTSTATUS AbortPipes();
    virtual NTSTATUS RecoverFromError();
    virtual NTSTATUS SelectZeroBandwidth();
    virtual NTSTATUS RestartTransfers();
    virtual NTSTATUS SubmitTransfer();
    virtual NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context);
    virtual void WorkerLoop();
    virtual NTSTATUS Open(StreamClient* Client, PULONG BusFrame);
    virtual NTSTATUS Close();
    virtual NTSTATUS Run(ULONG StartFrame, UCHAR UseStartFrame);
    virtual NTSTATUS StopRunning();
    virtual BOOLEAN IsAltSettingValid(UCHAR AlternateSetting);

    // ---- Set-up by the HAL's stream builder ----
    // The engine's format list and the alternate-setting list; no record kept on failure.
    NTSTATUS AddAltSettingFormat(const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting);
    // Initialises the engine, creates the callback object, the worker thread and the limiter, and
    // keeps Adapter (not referenced: the adapter owns the HAL that owns the stream).
    NTSTATUS StartWorker(ULONG Direction, PUNKNOWN Adapter);

    // ---- Used by other parts of the engine ----
    NTSTATUS FindAltSetting(const WAVEFORMATEX* Format, PUCHAR AlternateSetting);
    NTSTATUS FindPathNode(ULONG Id, AudioNode** Node);
    // The bus frame now; 0 when the transport cannot be reached.
    ULONG GetCurrentFrame();
    // Packets per millisecond of the setting's isochronous data endpoint: 1 at full speed, 8 >>
    // (bInterval - 1) at high speed; 0 for a high-speed bInterval outside 1 to 4.
    ULONG GetPacketsPerMs(UCHAR AlternateSetting);

    // ---- State, for inspection ----
    ULONG StreamState() const { return State(); }
    ULONG PendingTransfers() const { return static_cast<ULONG>(ReadAcquire(&m_PendingCount)); }
    ULONG SlotsInUse() const { return m_SlotsInUse; }
    ULONG PacketsPerMs() const { return m_PacketsPerMs; }
    BOOLEAN IsDeviceGone() const { return ReadAcquire(&m_DeviceGone) != 0; }
    // Failed packets that did not cost a recovery, and recoveries run, since the stream was built.
    ULONG IsolatedPacketErrors() const { return static_cast<ULONG>(ReadAcquire(&m_IsolatedPacketErrors)); }
    ULONG Recoveries() const { return static_cast<ULONG>(ReadAcquire(&m_Recoveries)); }

    // ---- Around a reset of the device's port (any thread at PASSIVE_LEVEL, without the engine's
    // mutex, which the worker of a recovering stream holds) ----
    // No new transfer is sent, and every transfer in flight has come back on return.
    void DrainForPortReset();
    // A running stream goes on from two frames after the current one; its worker submits.
    void ResumeAfterPortReset();
    BOOLEAN HasLimiter() const { return m_Limiter != nullptr; }
    PCALLBACK_OBJECT ClientCallbackObject() const { return m_StreamCallback; }
    StreamClient* RunOwner() const { return m_RunOwner; }
    StreamClient* FormatOwner() const { return m_FormatOwner; }

    // The completion routine of every isochronous IRP.
    static NTSTATUS TransferCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

protected:
    // m_StreamState as the transfer paths read it, without the mutex.
    ULONG State() const { return ReadAcquire(&m_StreamState); }
    // ---- Helpers for the subclasses ----
    NTSTATUS QueryTransport(UsbTransport** Transport);
    // Sends a notice to every client.
    void Notify(StreamNotifyKind Kind, StreamClient* Owner, ULONG First, ULONG Second = 0, PVOID Data = nullptr);
    void NotifyFormatChanged(StreamClient* Owner, BOOLEAN Changed);
    // The three lookaside lists and the ten contexts; on failure nothing stays.
    NTSTATUS BuildTransferPool(ULONG PacketsPerTransfer, ULONG DataBytes);
    // Frees every context and deletes the lists.
    void TearDownTransferPool();
    NTSTATUS AllocateTransfer(TransferContext** Context);
    void FreeTransfer(TransferContext* Context);
    TransferContext* AcquireTransfer();
    void RecycleTransfer(TransferContext* Context);
    // The select-interface request for setting A of the stream's interface; the answer becomes the
    // interface record. Direction picks the data pipe (last OUT or last IN pipe).
    NTSTATUS SelectInterfaceRecord(UsbTransport* Transport, UCHAR AlternateSetting);
    // SET_CUR sampling frequency on the data pipe's endpoint.
    NTSTATUS SetSamplingFrequency(UsbTransport* Transport, ULONG Rate);
    // The data pipe of the interface record, or null.
    PUSBD_PIPE_INFORMATION DataPipe() const;
    // Fills the URB header fields common to every transfer and the start frame, the IRP's next
    // stack location, counts the transfer pending and sends it. The subclass has filled packets,
    // buffer length and the context's byte count.
    NTSTATUS SendTransfer(UsbTransport* Transport, TransferContext* Context, ULONG TransferFlags);
    // The frame shared by every SubmitTransfer: the data lock, the checks, a free context. On
    // success *Context is in flight and the caller builds and sends it, then calls EndSubmission.
    NTSTATUS BeginSubmission(UsbTransport** Transport, TransferContext** Context, KIRQL* OldIrql);
    void EndSubmission(UsbTransport* Transport, KIRQL OldIrql);
    // The completion frame (render classes): TransferDone with RenderBytes, device-gone detection,
    // packet scan, direct resubmission or worker wake-up.
    NTSTATUS CompleteRenderTransfer(PIRP Irp, TransferContext* Context, ULONG RenderBytes);
    // After a completion: resubmit directly, or wake the worker when this thread is inside a
    // submission (the completion came back synchronously).
    void ResubmitOrDefer();
    // A failed transfer: work flag 2, the worker woken once.
    void SignalError();
    // A completed transfer's packets: answers whether the stream goes on (TRUE) or recovers. A
    // transfer with a few failed packets after a clean one is counted and goes on.
    BOOLEAN PacketsAllowContinuing(const _URB_ISOCH_TRANSFER& Transfer, ULONG Packets);
    // STATUS_CANCELLED that this driver did not ask for (it never aborts a running stream's pipe)
    // is an error like any other: a port reset or a pipe abort from elsewhere took the transfer.
    // Pending count down; the idle event at 0.
    void TransferFinished();
    // Every slot that is free, run by Run and the restart: STATUS_BUFFER_TOO_SMALL and
    // UsbStreamNothingSent count as success.
    NTSTATUS SubmitAvailable();
    // The shared part of the restart after recovery (the subclass resets its own positions).
    NTSTATUS RestartTransfersBase();
    // The stream's own positions at a restart; the UAC 1.0 classes override it.
    virtual void ResetPositions();
    BOOLEAN DataLockHeldHere() const;
    // The first steps of every Open: the client's format is one of the engine's, with a frame, a
    // rate and 1 to UsbStreamMaxTransferMs milliseconds per transfer; *AlternateSetting carries it.
    NTSTATUS CheckOpenFormat(StreamClient* Client, PUCHAR AlternateSetting);
    // Undoes a failed Open after the state went to open: zero bandwidth when a setting was held,
    // the interface record, the staging ring and the transfer pool go; the state is closed again.
    void AbandonOpen();
    // The last step of every Open that succeeded: positions and pending count at 0, the client's
    // format kept, *BusFrame (when asked) the current bus frame.
    NTSTATUS FinishOpen(StreamClient* Client, PULONG BusFrame);
    // The staging ring of Bytes bytes, positions at 0.
    NTSTATUS AllocateStaging(ULONG Bytes);
    void FreeStaging();

    // Client state.
    StreamClient* m_RunOwner;     // head of the started list at the last arbitration
    StreamClient* m_FormatOwner;  // head of the format list when the stream was last opened
    WAVEFORMATEXTENSIBLE m_OpenFormat;  // the format of the last Open
    ULONG volatile m_StreamState;

    // Set-up.
    PUNKNOWN m_Adapter;                  // not referenced
    PCALLBACK_OBJECT m_StreamCallback;   // one reference; "\Callback\CyclicControlAddr%p"
    PKTHREAD m_WorkerThread;             // referenced for the stream's life
    AltSettingRecord* m_AltSettings;     // paged "USBS"; in the order they were added
    CDspPeakLimiter* m_Limiter;          // non-paged "USBS", or null

    // Transfer pool and shape.
    NPAGED_LOOKASIDE_LIST m_UrbList;
    NPAGED_LOOKASIDE_LIST m_DataList;
    NPAGED_LOOKASIDE_LIST m_ContextList;
    BOOLEAN m_PoolBuilt;
    TransferContext* volatile m_FreeSlots[UsbStreamSlotCount];
    TransferContext* volatile m_InFlightSlots[UsbStreamSlotCount];
    ULONG m_SlotsInUse;
    ULONG m_PacketsPerMs;
    ULONG m_TransferMs;
    ULONG m_NextStartFrame;
    UCHAR m_UseStartFrame;
    PUSBD_INTERFACE_INFORMATION m_Interface;  // non-paged "URB ", or null
    ULONG m_InterfaceBytes;
    UCHAR m_PipeIndex;
    BOOLEAN m_HoldsBusy;  // one count of the adapter's busy counter since a real setting was selected

    // Staging ring: 40 ms of the format, whole frames (capture collects its packets here).
    PUCHAR m_Staging;  // non-paged m_StagingTag, or null
    ULONG m_StagingTag;  // UsbStreamStagingTag unless a stream class has its own
    ULONG m_StagingBytes;
    ULONG m_ReadPosition;   // bytes
    ULONG m_WritePosition;  // bytes

    // Signalling.
    KEVENT m_IdleEvent;        // notification, signalled while nothing is pending
    KEVENT m_ExitEvent;        // notification
    KEVENT m_WorkerDoneEvent;  // notification
    KEVENT m_WorkEvent;        // synchronization
    LONG volatile m_WorkFlag;
    LONG volatile m_PendingCount;
    LONG volatile m_DeviceGone;  // TRUE or FALSE, changed and read interlocked
    KSPIN_LOCK m_TransferLock;
    KSPIN_LOCK m_DataLock;
    PKTHREAD volatile m_DataLockOwner;  // the thread inside a submission, or null
    LONG volatile m_DrainedForReset;       // TRUE while a port reset is prepared: nothing is sent
    LONG volatile m_LastTransferFailed;    // the last completed transfer had a failed packet
    LONG volatile m_IsolatedPacketErrors;
    LONG volatile m_Recoveries;
    LONG volatile m_RunRetriesLeft;  // worker attempts to run the started head; written under m_Mutex

private:
    static KSTART_ROUTINE ThreadStart;
    NTSTATUS CreateStreamCallback();
    void CreateLimiter();
    // The arbitration steps shared by the client operations.
    NTSTATUS ReopenFor(StreamClient* Client, PULONG BusFrame);
    // Hands the stream to Head: re-opened in its format unless it is open (not running) in it,
    // the transfers then starting OpenLead frames after the open, else run from StartFrame. Head
    // is the run owner from the FormatChanged notice on. On failure nothing is undone.
    NTSTATUS HandOverTo(StreamClient* Head, ULONG StartFrame, ULONG OpenLead);
    // After an arbitration step: the head of the started list, when there is one, owns a running
    // stream in its own format. A stream that cannot be opened or run for it is left closed with no
    // run owner; the worker tries again (RetryRunStartedHead) and so does the next step.
    NTSTATUS RunStartedHead(ULONG StartFrame);
    // One attempt of RunStartedHead, without the worker's retries.
    NTSTATUS TryRunStartedHead(ULONG StartFrame);
    // A turn of the worker, under m_Mutex, when the retry delay has passed: one more attempt for a
    // started head that still does not run; nothing (and no more retries) once none is left.
    void RetryRunStartedHead();
    void DetachForKind(StreamClient* Client, ProcessingStage* Attach, NTSTATUS* Status);
    BOOLEAN AttachedListFor(ULONG Kind, AttachedList* List) const;
};

// The creation reference a descriptor walk holds on the stream it builds, dropped when the walk of
// that interface ends (the HAL's engine list keeps its own).
class WalkStreamReference {
public:
    explicit WalkStreamReference(UsbAudioStream*& Stream) : m_Stream(Stream) {}
    ~WalkStreamReference() {
        if (m_Stream != nullptr) m_Stream->NonDelegatingRelease();
        m_Stream = nullptr;
    }
    WalkStreamReference(const WalkStreamReference&) = delete;
    WalkStreamReference& operator=(const WalkStreamReference&) = delete;

private:
    UsbAudioStream*& m_Stream;
};
