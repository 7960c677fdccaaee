#include "driver/front/WaveCyclicStream.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/front/InterfaceRef.h"
#include "driver/front/WaveCyclicMiniport.h"

namespace {

// Holds the stream's spin lock for a scope.
class LockScope {
public:
    explicit LockScope(PKSPIN_LOCK Lock) : m_Lock(Lock) { KeAcquireSpinLock(m_Lock, &m_Irql); }
    ~LockScope() { KeReleaseSpinLock(m_Lock, m_Irql); }
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_Irql;
};

ULONG Minimum(ULONG A, ULONG B) { return A < B ? A : B; }

// Copies Count bytes out of or into a cyclic buffer at Offset, in two pieces across its end.
void CopyOutOfRing(PUCHAR Destination, const UCHAR* Ring, ULONG Size, ULONG Offset, ULONG Count) {
    const ULONG first = Minimum(Count, Size - Offset);
    RtlCopyMemory(Destination, Ring + Offset, first);
    RtlCopyMemory(Destination + first, Ring, Count - first);
}
void CopyIntoRing(PUCHAR Ring, ULONG Size, ULONG Offset, const UCHAR* Source, ULONG Count) {
    const ULONG first = Minimum(Count, Size - Offset);
    RtlCopyMemory(Ring + Offset, Source, first);
    RtlCopyMemory(Ring, Source + first, Count - first);
}
void FillRing(PUCHAR Ring, ULONG Size, ULONG Offset, UCHAR Value, ULONG Count) {
    const ULONG first = Minimum(Count, Size - Offset);
    RtlFillMemory(Ring + Offset, first, Value);
    RtlFillMemory(Ring, Count - first, Value);
}

UCHAR SilenceByte(const WAVEFORMATEXTENSIBLE& Format) { return Format.Format.wBitsPerSample == 8 ? 0x80 : 0x00; }

// 50 ms of the format in whole frames: at 22.05 and 11.025 kHz the plain twentieth of a second
// ends inside a frame.
ULONG BufferBytesFor(const WAVEFORMATEXTENSIBLE& Format) {
    const ULONG block = Format.Format.nBlockAlign != 0 ? Format.Format.nBlockAlign : 1;
    return Format.Format.nAvgBytesPerSec / 20 / block * block;
}

bool SameWaveFormat(const WAVEFORMATEXTENSIBLE& A, const WAVEFORMATEXTENSIBLE& B) {
    return RtlCompareMemory(&A, &B, sizeof(A)) == sizeof(A);
}

}  // namespace

WaveByteRate ByteRateOf(ULONG BytesPerSecond) { return {BytesPerSecond / 1000, BytesPerSecond % 1000}; }

ULONG ConvertOwnerBytes(ULONG OwnerBytes, const WaveByteRate& Owner, const WaveByteRate& Stream, WaveRateCarry* Carry) {
    if (Owner.PerMs == 0) return 0;
    const LONGLONG available = static_cast<LONGLONG>(OwnerBytes) + Carry->OwnerBytes;
    const LONGLONG ms = available > 0 ? available / Owner.PerMs : 0;
    const LONGLONG f = static_cast<LONGLONG>(Owner.Remainder) * ms + Carry->OwnerRemainder;
    Carry->OwnerBytes = static_cast<LONG>(available - static_cast<LONGLONG>(Owner.PerMs) * ms - f / 1000);
    Carry->OwnerRemainder = static_cast<LONG>(f % 1000);
    const LONGLONG g = static_cast<LONGLONG>(Stream.Remainder) * ms + Carry->StreamRemainder;
    Carry->StreamRemainder = static_cast<LONG>(g % 1000);
    return static_cast<ULONG>(static_cast<LONGLONG>(Stream.PerMs) * ms + g / 1000);
}

WaveCyclicStream::WaveCyclicStream(PUNKNOWN UnknownOuter) : CKernelUnknown(UnknownOuter) {
    // The object arrives zeroed from pool; what is not zero is set here.
    m_State = KSSTATE_STOP;
    m_StreamBlock = WaveCyclicDefaultStreamBlock;
    m_TransferMs = WaveCyclicTransferMs;
    KeInitializeSpinLock(&m_Lock);
}

WaveCyclicStream::~WaveCyclicStream() {
    // One step at a time, as the port would; the teardown goes on whatever a step answers.
    while (m_State != KSSTATE_STOP) {
        const KSSTATE next = static_cast<KSSTATE>(m_State - 1);
        if (!NT_SUCCESS(SetState(next))) m_State = next;
    }
    FreeBuffer();
    if (m_ServiceGroup != nullptr) m_ServiceGroup->Release();
    m_ServiceGroup = nullptr;
    if (m_Engine != nullptr) m_Engine->Release();
    m_Engine = nullptr;
    if (m_Chain != nullptr) {
        m_Chain->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_Chain, WaveCyclicBufferTag);
        m_Chain = nullptr;
    }
    if (m_Counted) m_Miniport->StreamDestroyed();
}

NTSTATUS WaveCyclicStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<IMiniportWaveCyclicStream*>(this)},
        {IID_IMiniportWaveCyclicStream, static_cast<IMiniportWaveCyclicStream*>(this)},
        {IID_IDmaChannel, static_cast<IDmaChannel*>(this)},
        {IID_IDrmAudioStream, static_cast<IDrmAudioStream*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS WaveCyclicStream::Init(WaveCyclicMiniport* Miniport, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                StreamEngine* Engine, PSERVICEGROUP* ServiceGroup) {
    PAGED_CODE();
    if (Miniport == nullptr || Engine == nullptr || ServiceGroup == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (m_Engine != nullptr) return STATUS_UNSUCCESSFUL;  // initialised once
    // Whatever fails below, the destructor releases what was taken, once.
    m_Miniport = Miniport;
    m_Engine = Engine;
    m_Engine->AddRef();
    m_Pin = Pin;
    m_Capture = Capture != FALSE;

    NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (m_ServiceGroup == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), WaveCyclicBufferTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    m_Chain = new (memory) CDspInterleaveSrc();
    if (!m_Chain->Init()) return STATUS_INSUFFICIENT_RESOURCES;

    status = ValidateWaveDataFormat(DataFormat, m_Engine, &m_Format);
    if (!NT_SUCCESS(status)) return status;
    status = AllocateBuffer(BufferBytesFor(m_Format), nullptr);
    if (!NT_SUCCESS(status)) return status;

    m_OwnerFormat = m_Format;
    m_StreamRate = ByteRateOf(m_Format.Format.nAvgBytesPerSec);
    m_OwnerRate = m_StreamRate;
    ULONG block = WaveCyclicDefaultStreamBlock;
    PDEVICE_OBJECT device = Miniport->Adapter() != nullptr ? Miniport->Adapter()->GetDeviceObject() : nullptr;
    if (device != nullptr &&
        NT_SUCCESS(AccessSettingBinary(device, SettingMode::Read, &block, sizeof(block), SettingName::StreamBlock))) {
        m_StreamBlock = block < WaveCyclicMinStreamBlock   ? WaveCyclicMinStreamBlock
                        : block > WaveCyclicMaxStreamBlock ? WaveCyclicMaxStreamBlock
                                                           : block;
    }

    m_ServiceGroup->AddRef();
    *ServiceGroup = m_ServiceGroup;
    m_Miniport->StreamCreated();
    m_Counted = true;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// IMiniportWaveCyclicStream

NTSTATUS WaveCyclicStream::SetFormat(PKSDATAFORMAT DataFormat) {
    PAGED_CODE();
    if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = ValidateWaveDataFormat(DataFormat, m_Engine, &format);
    if (!NT_SUCCESS(status)) return status;
    LockScope lock(&m_Lock);
    // A new byte rate needs a new 50 ms buffer; any other change only takes the new record.
    if (format.Format.nAvgBytesPerSec != m_Format.Format.nAvgBytesPerSec) {
        status = AllocateLocked(BufferBytesFor(format));
        if (!NT_SUCCESS(status)) return status;
    }
    m_Format = format;
    m_OwnerFormat = format;
    m_StreamRate = ByteRateOf(format.Format.nAvgBytesPerSec);
    m_OwnerRate = m_StreamRate;
    m_DataOffset = 0;
    m_Continuing = false;
    return STATUS_SUCCESS;
}

ULONG WaveCyclicStream::SetNotificationFreq(ULONG, PULONG FramingSize) {
    if (FramingSize != nullptr) {
        *FramingSize = m_Format.Format.nSamplesPerSec * WaveCyclicNotifyMs / 1000 * (m_Format.Format.wBitsPerSample / 8) *
                       m_Format.Format.nChannels;
    }
    return WaveCyclicNotifyMs;
}

NTSTATUS WaveCyclicStream::SetState(KSSTATE State) {
    PAGED_CODE();
    if (State == m_State) return STATUS_SUCCESS;
    InterfaceRef<StreamClients> clients;
    NTSTATUS status = m_Engine->QueryInterface(IID_StreamClients, clients.ReceiveVoid());
    if (!NT_SUCCESS(status)) return status;
    if (!clients) return STATUS_UNSUCCESSFUL;

    switch (State) {
    case KSSTATE_STOP: {
        // Only STOP starts the stream over; ACQUIRE and PAUSE keep where it was.
        LockScope lock(&m_Lock);
        ResetPositionsLocked();
        m_DataOffset = 0;
        m_CompletedBytes = 0;
        m_Continuing = false;
        break;
    }
    case KSSTATE_ACQUIRE:
        break;
    case KSSTATE_PAUSE:
        if (m_State == KSSTATE_RUN) status = LeaveRun(clients.Get());
        if (NT_SUCCESS(status)) {
            LockScope lock(&m_Lock);
            FreezePositionLocked();
        }
        break;
    case KSSTATE_RUN:
        status = EnterRun(clients.Get());
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) m_State = State;
    return status;
}

NTSTATUS WaveCyclicStream::EnterRun(StreamClients* Clients) {
    {
        LockScope lock(&m_Lock);
        if (m_Buffer == nullptr) return STATUS_UNSUCCESSFUL;
        m_StreamRate = ByteRateOf(m_Format.Format.nAvgBytesPerSec);
        m_DataCarry = {};
        m_PositionCarry = {};
    }
    WAVEFORMATEXTENSIBLE format = m_Format;
    PVOID id = nullptr;
    NTSTATUS status = Clients->RegisterClient(static_cast<ULONG>(ClientKind::WaveStream), &format.Format,
                                              WaveCyclicTransferMs, m_StreamBlock, OnStreamNotify, this, &id);
    if (!NT_SUCCESS(status)) return status;
    if (id == nullptr) return STATUS_UNSUCCESSFUL;
    {
        LockScope lock(&m_Lock);
        m_ClientId = id;
    }
    ULONG transferMs = 0;
    ULONG busFrame = 0;
    status = Clients->SetClientFormat(id, &transferMs, &busFrame);
    if (NT_SUCCESS(status)) {
        {
            LockScope lock(&m_Lock);
            m_ClientStarted = true;  // before the start: the first fills arrive during it
            m_CompletionTime = Now10Us();
        }
        // The engine answers frame 0 when it cannot reach the bus; start from the frame now then.
        if (busFrame == 0) busFrame = static_cast<UsbAudioStream*>(Clients)->GetCurrentFrame();
        status = Clients->StartClient(id, busFrame + 2, &transferMs, nullptr);
        if (NT_SUCCESS(status)) {
            LockScope lock(&m_Lock);
            m_CompletionTime = Now10Us();
            return STATUS_SUCCESS;
        }
        Clients->CloseClient(id);
    }
    {
        LockScope lock(&m_Lock);
        m_ClientStarted = false;
        m_ClientId = nullptr;
    }
    Clients->UnregisterClient(id);
    return status;
}

NTSTATUS WaveCyclicStream::LeaveRun(StreamClients* Clients) {
    PVOID id = nullptr;
    {
        LockScope lock(&m_Lock);
        id = m_ClientId;
        m_Leaving = true;
    }
    if (id != nullptr) {
        // The stop lets the transfers on the bus finish; their completions still count, so the
        // position ends where the device's audio ends.
        Clients->StopClient(id, nullptr);
    }
    {
        LockScope lock(&m_Lock);
        m_ClientStarted = false;
        m_Leaving = false;
    }
    if (id == nullptr) return STATUS_SUCCESS;
    Clients->CloseClient(id);
    NTSTATUS status = Clients->UnregisterClient(id);
    LockScope lock(&m_Lock);
    m_ClientId = nullptr;
    return status;
}

void WaveCyclicStream::FreezePositionLocked() {
    // The port has seen m_ReportedPosition; a position behind it (completions that never came)
    // would read as a whole buffer played. The stream holds at the later of the two.
    const ULONG size = EffectiveSizeLocked();
    if (size != 0) {
        const ULONG ahead = (m_ReportedPosition + size - m_Position) % size;
        if (ahead <= size / 2) m_Position = m_ReportedPosition;
    }
    m_ReportedPosition = m_Position;
    m_InFlightBytes = 0;
    m_RingRead = 0;
    m_RingCount = 0;
}

NTSTATUS WaveCyclicStream::GetPosition(PULONG Position) {
    if (Position == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONGLONG now = Now10Us();
    LockScope lock(&m_Lock);
    const ULONG size = EffectiveSizeLocked();
    if (m_State != KSSTATE_RUN || size == 0) {
        *Position = m_ReportedPosition;
        return STATUS_SUCCESS;
    }
    const ULONGLONG elapsed = now > m_CompletionTime ? now - m_CompletionTime : 0;
    const ULONGLONG bytes = elapsed * m_Format.Format.nAvgBytesPerSec / 100000;
    const ULONG moved = bytes < m_InFlightBytes ? static_cast<ULONG>(bytes) : m_InFlightBytes;
    // Positions are whole frames in both directions: a client that fills up to a position
    // inside a frame would shift every later sample.
    const ULONG block = m_Format.Format.nBlockAlign != 0 ? m_Format.Format.nBlockAlign : 1;
    ULONG position;
    if (!m_Capture) {
        position = static_cast<ULONG>((static_cast<ULONGLONG>(m_Position) + moved / block * block) % size);
    } else {
        const ULONG behind = (m_InFlightBytes - moved) / block * block % size;
        position = (m_Position + size - behind) % size;
    }
    m_ReportedPosition = position;
    *Position = position;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
    if (PhysicalPosition == nullptr) return STATUS_INVALID_PARAMETER;
    const LONGLONG frameBytes = (m_Format.Format.wBitsPerSample / 8) * m_Format.Format.nChannels;
    if (frameBytes == 0 || m_Format.Format.nSamplesPerSec == 0) return STATUS_UNSUCCESSFUL;
    *PhysicalPosition = (10000000 / frameBytes * *PhysicalPosition) / m_Format.Format.nSamplesPerSec;
    return STATUS_SUCCESS;
}

void WaveCyclicStream::Silence(PVOID Buffer, ULONG ByteCount) {
    LockScope lock(&m_Lock);
    const auto* start = static_cast<PUCHAR>(Buffer);
    if (m_Buffer == nullptr || start < m_Buffer || start > m_Buffer + m_AllocatedSize ||
        ByteCount > static_cast<ULONG>(m_Buffer + m_AllocatedSize - start)) {
        return;
    }
    RtlFillMemory(Buffer, ByteCount, SilenceByte(m_Format));
}

// ---------------------------------------------------------------------------------------------
// IDmaChannel

NTSTATUS WaveCyclicStream::AllocateLocked(ULONG Bytes) {
    if (Bytes == 0 || Bytes > WaveCyclicMaxBufferBytes) return STATUS_INSUFFICIENT_RESOURCES;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, Bytes, WaveCyclicBufferTag));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, Bytes);
    if (m_Buffer != nullptr) ExFreePoolWithTag(m_Buffer, WaveCyclicBufferTag);
    m_Buffer = block;
    m_AllocatedSize = Bytes;
    m_BufferSize = Bytes;
    ResetPositionsLocked();
    m_CompletedBytes = 0;
    m_Continuing = false;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicStream::AllocateBuffer(ULONG Bytes, PPHYSICAL_ADDRESS) {
    LockScope lock(&m_Lock);
    return AllocateLocked(Bytes);
}

void WaveCyclicStream::FreeBuffer() {
    LockScope lock(&m_Lock);
    if (m_Buffer != nullptr) ExFreePoolWithTag(m_Buffer, WaveCyclicBufferTag);
    m_Buffer = nullptr;
    m_AllocatedSize = 0;
    m_BufferSize = 0;
    ResetPositionsLocked();
    m_DataOffset = 0;
    m_Continuing = false;
}

ULONG WaveCyclicStream::TransferCount() { return AllocatedBufferSize(); }
ULONG WaveCyclicStream::MaximumBufferSize() { return WaveCyclicMaxBufferBytes; }

ULONG WaveCyclicStream::AllocatedBufferSize() {
    LockScope lock(&m_Lock);
    return m_AllocatedSize;
}

ULONG WaveCyclicStream::BufferSize() {
    LockScope lock(&m_Lock);
    return EffectiveSizeLocked();
}

void WaveCyclicStream::SetBufferSize(ULONG Bytes) {
    LockScope lock(&m_Lock);
    // Whole frames only: a size inside a frame would wrap every position off the frame grid.
    const ULONG block = m_Format.Format.nBlockAlign != 0 ? m_Format.Format.nBlockAlign : 1;
    Bytes = Bytes / block * block;
    if (Bytes == 0 || Bytes >= m_AllocatedSize) return;
    m_BufferSize = Bytes;
    // Every position wraps at the new size.
    m_Position %= Bytes;
    m_ReportedPosition %= Bytes;
    m_DataOffset %= Bytes;
}

PVOID WaveCyclicStream::SystemAddress() {
    LockScope lock(&m_Lock);
    return m_Buffer;
}

PHYSICAL_ADDRESS WaveCyclicStream::PhysicalAddress() {
    PHYSICAL_ADDRESS none = {};
    return none;
}

PADAPTER_OBJECT WaveCyclicStream::GetAdapterObject() { return nullptr; }

void WaveCyclicStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
    LockScope lock(&m_Lock);
    const auto* start = static_cast<PUCHAR>(Destination);
    const ULONG size = EffectiveSizeLocked();
    if (m_Buffer == nullptr || Source == nullptr || start < m_Buffer || start > m_Buffer + size ||
        ByteCount > static_cast<ULONG>(m_Buffer + size - start)) {
        return;
    }
    RtlCopyMemory(Destination, Source, ByteCount);
}

void WaveCyclicStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
    LockScope lock(&m_Lock);
    const auto* start = static_cast<PUCHAR>(Source);
    const ULONG size = EffectiveSizeLocked();
    if (m_Buffer == nullptr || Destination == nullptr || start < m_Buffer || start > m_Buffer + size ||
        ByteCount > static_cast<ULONG>(m_Buffer + size - start)) {
        return;
    }
    RtlCopyMemory(Destination, Source, ByteCount);
}

// ---------------------------------------------------------------------------------------------
// IDrmAudioStream

NTSTATUS WaveCyclicStream::SetContentId(ULONG ContentId, PCDRMRIGHTS) {
    PAGED_CODE();
    InterfaceRef<StreamDrm> drm;
    NTSTATUS status = m_Engine->QueryInterface(IID_StreamDrm, drm.ReceiveVoid());
    if (!NT_SUCCESS(status)) return status;
    if (!drm) return STATUS_UNSUCCESSFUL;
    return drm->SetContentId(ContentId);
}

// ---------------------------------------------------------------------------------------------
// The USB stream's notices

ULONGLONG WaveCyclicStream::Now10Us() {
    LARGE_INTEGER frequency = {};
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0) return 0;
    const ULONGLONG ticks = static_cast<ULONGLONG>(counter.QuadPart);
    const ULONGLONG perSecond = static_cast<ULONGLONG>(frequency.QuadPart);
    return ticks / perSecond * 100000 + ticks % perSecond * 100000 / perSecond;
}

void WaveCyclicStream::ResetPositionsLocked() {
    m_Position = 0;
    m_ReportedPosition = 0;
    m_InFlightBytes = 0;
    m_RingRead = 0;
    m_RingCount = 0;
    RtlZeroMemory(m_Ring, sizeof(m_Ring));
}

bool WaveCyclicStream::SameByteRateLocked() const {
    return m_OwnerFormat.Format.nAvgBytesPerSec == m_Format.Format.nAvgBytesPerSec;
}

ULONG WaveCyclicStream::OwnerToStreamBytesLocked(ULONG Bytes, WaveRateCarry* Carry) {
    if (SameByteRateLocked()) return Bytes;
    return ConvertOwnerBytes(Bytes, m_OwnerRate, m_StreamRate, Carry);
}

void WaveCyclicStream::RecordFilledLocked(ULONG Bytes) {
    if (m_RingCount == 0) m_InFlightBytes = Bytes;
    if (m_RingCount == WaveCyclicRingEntries) {
        // More fills than slots would mean a lost completion: the oldest entry goes.
        m_RingRead = (m_RingRead + 1) % WaveCyclicRingEntries;
        --m_RingCount;
    }
    m_Ring[(m_RingRead + m_RingCount) % WaveCyclicRingEntries] = Bytes;
    ++m_RingCount;
}

bool WaveCyclicStream::IsOwnClient(const StreamNotifyRecord* Record) const {
    return Record->Owner != nullptr && Record->Owner->Registration == m_ClientId;
}

void WaveCyclicStream::OnStreamNotify(PVOID Context, PVOID Argument1, PVOID) {
    auto* self = static_cast<WaveCyclicStream*>(Context);
    const auto* record = static_cast<const StreamNotifyRecord*>(Argument1);
    if (self == nullptr || record == nullptr) return;
    switch (static_cast<StreamNotifyKind>(record->Kind)) {
    case StreamNotifyKind::FormatChanged:
        self->OnFormatChanged(record);
        break;
    case StreamNotifyKind::FillRenderBuffer:
        self->OnFillRender(record);
        break;
    case StreamNotifyKind::CaptureData:
        self->OnCaptureData(record);
        break;
    case StreamNotifyKind::TransferDone:
        self->OnTransferDone(record);
        break;
    default:
        break;
    }
}

void WaveCyclicStream::OnFormatChanged(const StreamNotifyRecord* Record) {
    LockScope lock(&m_Lock);
    // An owner that takes over while this stream leaves is no business of it any more.
    if (m_ClientId == nullptr || Record->Owner == nullptr || m_Leaving) return;
    ULONG milliseconds = Record->FirstValue.Shape.Milliseconds;
    const ULONG count = Record->FirstValue.Shape.Count;
    if (RtlCompareMemory(&Record->Owner->Format, &m_OwnerFormat, sizeof(m_OwnerFormat)) != sizeof(m_OwnerFormat)) {
        milliseconds |= StreamFormatChangedFlag;
        m_OwnerFormat = Record->Owner->Format;
    }
    m_TransferMs = milliseconds & ~StreamFormatChangedFlag;
    m_TransferCount = count;
    if ((milliseconds & StreamFormatChangedFlag) != 0) {
        m_Chain->Reset();
        m_Chain->SetFormat(m_Format, m_OwnerFormat);  // the chain follows the pair; its answer does not matter here
        // A new run in the stream's own format after a pause, or after the USB side recovered
        // from an error, continues where the last one ended: same position, same read point.
        // Any other owner, or the first run, starts the stream over.
        const bool resume = m_Continuing && SameWaveFormat(m_OwnerFormat, m_Format);
        if (!resume) {
            ResetPositionsLocked();
            m_CompletedBytes = 0;
        }
        m_InFlightBytes = 0;
        m_RingRead = 0;
        m_RingCount = 0;
        m_DataOffset = m_Position;
        const ULONG size = EffectiveSizeLocked();
        if (!m_Capture && size != 0) {
            // The USB side starts as far behind the port as it has in flight, at most one buffer.
            const ULONGLONG ahead = static_cast<ULONGLONG>(m_Format.Format.nSamplesPerSec / 1000) *
                                    m_Format.Format.nBlockAlign * m_TransferMs * m_TransferCount;
            const ULONG behind = static_cast<ULONG>(ahead < size ? ahead : size);
            m_DataOffset = (m_Position + size - behind) % size;
            // What it starts from precedes the port's first byte: silence, not an old run's tail.
            if (!resume) FillRing(m_Buffer, size, m_DataOffset, SilenceByte(m_Format), behind);
        }
        m_Continuing = true;
    }
    m_StreamRate = ByteRateOf(m_Format.Format.nAvgBytesPerSec);
    m_OwnerRate = ByteRateOf(m_OwnerFormat.Format.nAvgBytesPerSec);
    m_DataCarry = {};
    m_PositionCarry = {};
}

void WaveCyclicStream::OnFillRender(const StreamNotifyRecord* Record) {
    auto* data = static_cast<PUCHAR>(Record->FirstValue.Data);
    const ULONG bytes = Record->SecondValue;
    LockScope lock(&m_Lock);
    if (m_ClientId == nullptr || !m_ClientStarted || data == nullptr || m_Buffer == nullptr) return;
    const ULONG size = EffectiveSizeLocked();
    if (!SameByteRateLocked()) {
        RecordFilledLocked(OwnerToStreamBytesLocked(bytes, &m_DataCarry));
        return;
    }
    if (bytes >= size) return;
    if (IsOwnClient(Record)) {
        CopyOutOfRing(data, m_Buffer, size, m_DataOffset, bytes);
        m_DataOffset = (m_DataOffset + bytes) % size;
    }
    RecordFilledLocked(bytes);
}

void WaveCyclicStream::OnCaptureData(const StreamNotifyRecord* Record) {
    const auto* data = static_cast<const UCHAR*>(Record->FirstValue.Data);
    const ULONG bytes = Record->SecondValue;
    LockScope lock(&m_Lock);
    if (m_ClientId == nullptr || !m_ClientStarted || data == nullptr || m_Buffer == nullptr) return;
    const ULONG size = EffectiveSizeLocked();
    if (!SameByteRateLocked()) {
        // Samples in another client's format are not ours to hand out: the port gets silence of
        // the length they stand for, so its position and data stay together.
        const ULONG converted = OwnerToStreamBytesLocked(bytes, &m_DataCarry);
        if (converted >= size) return;
        FillRing(m_Buffer, size, m_DataOffset, SilenceByte(m_Format), converted);
        m_DataOffset = (m_DataOffset + converted) % size;
        return;
    }
    if (bytes >= size) return;
    CopyIntoRing(m_Buffer, size, m_DataOffset, data, bytes);
    m_DataOffset = (m_DataOffset + bytes) % size;
}

void WaveCyclicStream::OnTransferDone(const StreamNotifyRecord* Record) {
    {
        LockScope lock(&m_Lock);
        if (m_ClientId == nullptr || !m_ClientStarted) return;
        const ULONG size = EffectiveSizeLocked();
        if (size == 0) return;
        const ULONG bytes = OwnerToStreamBytesLocked(Record->FirstValue.ByteCount, &m_PositionCarry);
        if (bytes >= size) return;
        m_Position = (m_Position + bytes) % size;
        m_CompletionTime = Now10Us();
        if (m_Capture) {
            m_CompletedBytes += m_InFlightBytes;
            m_InFlightBytes = bytes;
        } else {
            m_CompletedBytes += bytes;
            if (m_RingCount != 0) {
                m_RingRead = (m_RingRead + 1) % WaveCyclicRingEntries;
                --m_RingCount;
            }
            m_InFlightBytes = m_RingCount != 0 ? m_Ring[m_RingRead] : 0;
        }
    }
    PPORTWAVECYCLIC port = m_Miniport->Port();
    if (port != nullptr) port->Notify(m_ServiceGroup);
}
