// WaveCyclicStream: the one stream of a wave filter. Towards the port-class library it is the
// stream and its DMA channel: a cyclic buffer of 50 ms in system memory. Towards the device it is
// a wave-stream client of its engine's USB stream while in RUN: the USB stream calls it back for
// every transfer, and it copies between the cyclic buffer and the transfer buffers, advances its
// position and tells the port. While another client with another byte rate owns the USB stream,
// the position keeps running at the stream's own rate and no samples move.
#pragma once

#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/stream/StreamEngine.h"
#include "driver/signal/DspInterleaveSrc.h"

#include <win/kernel.h>
#include <win/ks.h>
#include <win/portcls.h>

class WaveCyclicMiniport;
class StreamClients;
struct StreamNotifyRecord;

// "CCST": the cyclic buffer and the conversion chain.
constexpr ULONG WaveCyclicBufferTag = 'TSCC';
// 50 ms of 192 kHz, 8 channels of 4 bytes.
constexpr ULONG WaveCyclicMaxBufferBytes = 307200;
// Entries of the ring of filled transfers: at most this many are in flight.
constexpr ULONG WaveCyclicRingEntries = 10;
// Audio per USB transfer the stream asks for, and the notification interval it answers.
constexpr ULONG WaveCyclicTransferMs = 5;
constexpr ULONG WaveCyclicNotifyMs = 10;
// Transfers in flight unless "StreamBlock" says otherwise. One transfer leaves the bus idle while
// the next is filled; more than half the 50 ms buffer in flight lets the USB side read where the
// port is already writing again. The setting is held to the range that plays.
constexpr ULONG WaveCyclicDefaultStreamBlock = 3;
constexpr ULONG WaveCyclicMinStreamBlock = 2;
constexpr ULONG WaveCyclicMaxStreamBlock = 25 / WaveCyclicTransferMs;

// Bytes per millisecond of a byte rate: an integer part and a remainder per 1000.
struct WaveByteRate {
    ULONG PerMs;
    ULONG Remainder;
};

// What one side of the owner-to-stream byte conversion carries between transfers.
struct WaveRateCarry {
    LONG OwnerBytes;
    LONG OwnerRemainder;
    LONG StreamRemainder;
};

// Stream bytes for OwnerBytes of the owner's rate, with the carries of one side.
ULONG ConvertOwnerBytes(ULONG OwnerBytes, const WaveByteRate& Owner, const WaveByteRate& Stream, WaveRateCarry* Carry);
WaveByteRate ByteRateOf(ULONG BytesPerSecond);

class WaveCyclicStream : public CKernelUnknown, public IMiniportWaveCyclicStream, public IDmaChannel, public IDrmAudioStream {
public:
    DECLARE_KERNEL_UNKNOWN();

    explicit WaveCyclicStream(PUNKNOWN UnknownOuter);
    // Steps the state down to STOP, frees the buffer and the chain, releases the service group
    // and the engine, and uncounts itself at the miniport.
    ~WaveCyclicStream() override;

    // Called once by the miniport's NewStream; the format was checked there and is checked again.
    NTSTATUS Init(WaveCyclicMiniport* Miniport, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                  StreamEngine* Engine, PSERVICEGROUP* ServiceGroup);

    // ---- IMiniportWaveCyclicStream ----
    STDMETHODIMP SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;
    STDMETHODIMP SetState(KSSTATE State) override;
    STDMETHODIMP GetPosition(PULONG Position) override;
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;

    // ---- IDmaChannel ----
    STDMETHODIMP AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

    // ---- IDrmAudioStream ----
    // Hands the content identifier to the engine's USB stream, which forwards it to the bus driver
    // with its data pipe; the rights need nothing of the stream itself.
    STDMETHODIMP SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

    // The callback registered on the USB stream's callback object.
    static void OnStreamNotify(PVOID Context, PVOID Argument1, PVOID Argument2);

    // ---- For inspection ----
    KSSTATE State() const { return m_State; }
    ULONG StreamBlock() const { return m_StreamBlock; }

private:
    NTSTATUS EnterRun(StreamClients* Clients);
    NTSTATUS LeaveRun(StreamClients* Clients);
    // After leaving RUN: the position holds where the port last saw it or later, never earlier.
    void FreezePositionLocked();
    // The positions, the ring and the in-flight count back to 0 (spin lock held).
    void ResetPositionsLocked();
    // The buffer size every position wraps at: the set buffer size, else the allocated one.
    ULONG EffectiveSizeLocked() const { return m_BufferSize != 0 ? m_BufferSize : m_AllocatedSize; }
    ULONG OwnerToStreamBytesLocked(ULONG Bytes, WaveRateCarry* Carry);
    bool SameByteRateLocked() const;
    void RecordFilledLocked(ULONG Bytes);
    // Time in 10-microsecond units from the performance counter.
    static ULONGLONG Now10Us();
    NTSTATUS AllocateLocked(ULONG Bytes);

    void OnFormatChanged(const StreamNotifyRecord* Record);
    void OnFillRender(const StreamNotifyRecord* Record);
    void OnCaptureData(const StreamNotifyRecord* Record);
    void OnTransferDone(const StreamNotifyRecord* Record);
    bool IsOwnClient(const StreamNotifyRecord* Record) const;

    WaveCyclicMiniport* m_Miniport;   // not referenced: the miniport waits for its stream
    StreamEngine* m_Engine;           // referenced
    PSERVICEGROUP m_ServiceGroup;     // referenced
    CDspInterleaveSrc* m_Chain;       // non-paged "CCST"
    ULONG m_Pin;
    bool m_Capture;
    bool m_Counted;                   // counted at the miniport
    KSSTATE m_State;
    ULONG m_StreamBlock;
    WAVEFORMATEXTENSIBLE m_Format;
    WAVEFORMATEXTENSIBLE m_OwnerFormat;

    // Guarded by m_Lock (the completion path reads and writes them).
    KSPIN_LOCK m_Lock;
    PVOID m_ClientId;                 // the registration while a client (RUN)
    bool m_ClientStarted;
    bool m_Leaving;                   // stopping its client: completions count, new owners do not
    bool m_Continuing;                // the position belongs to a run a resume continues
    PUCHAR m_Buffer;
    ULONG m_AllocatedSize;
    ULONG m_BufferSize;
    ULONG m_Position;
    ULONG m_ReportedPosition;
    ULONG m_DataOffset;
    ULONGLONG m_CompletedBytes;
    ULONG m_InFlightBytes;
    ULONGLONG m_CompletionTime;
    ULONG m_Ring[WaveCyclicRingEntries];
    ULONG m_RingRead;
    ULONG m_RingCount;
    ULONG m_TransferMs;
    ULONG m_TransferCount;
    WaveByteRate m_StreamRate;
    WaveByteRate m_OwnerRate;
    WaveRateCarry m_DataCarry;        // fill (render) or captured data (capture)
    WaveRateCarry m_PositionCarry;    // completed transfers
};
