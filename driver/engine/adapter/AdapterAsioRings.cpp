// The adapter's AsioPrivateInterface, second half: the owner's shared rings, mapped into its
// process, the kind-5 clients on the ASIO endpoints' streams, the per-transfer copies between the
// streams and the rings, and STOP held across a power-down.
//
// The rings are shared with user mode: the driver keeps its own copy of every header field it
// needs again (data size, position, flags) and only publishes them; what the library writes is
// never read back. Each ring is a section of its own, so its view shows nothing but the ring.
#include "driver/engine/adapter/AdapterAsio.h"
#include "driver/engine/stream/UsbAudioStream.h"

#include <win/ksmedia.h>

namespace {

// Devices that want the vendor start and stop request (request 7, value 1 or 0).
struct AsioVendorModel {
    USHORT VendorId;
    USHORT ProductId;
};
constexpr AsioVendorModel AsioVendorModels[] = {
    {0x0B05, 0x17A8}, {0x0B05, 0x17CD}, {0x0B05, 0x17F3}, {0x1043, 0x8592}, {0x1043, 0x8593},
};
constexpr UCHAR AsioVendorRequest = 7;
// The streams start this many frames after the last one opened.
constexpr ULONG AsioStartFrameDelay = 5;
constexpr ULONG AsioRingHeaderBytes = sizeof(SharedRingHeader);
// A ring larger than this is no ring a device can need (40 ms of 32 channels of 8-byte DSD at
// 11.2 MHz stays far below it).
constexpr ULONGLONG AsioMaxRingBytes = 64ull * 1024 * 1024;

SharedRingHeader* HeaderOf(const AsioRingEntry& Entry) { return static_cast<SharedRingHeader*>(Entry.Ring); }
PUCHAR DataOf(const AsioRingEntry& Entry) { return static_cast<PUCHAR>(Entry.Ring) + AsioRingHeaderBytes; }

// Publishes every driver-written header field from the kernel's copy.
void PublishHeader(const AsioRingEntry& Entry) {
    SharedRingHeader* header = HeaderOf(Entry);
    WriteNoFence(&header->active, Entry.Active);
    WriteNoFence(&header->isInput, Entry.IsInput);
    WriteNoFence(&header->channels, Entry.Channels);
    WriteNoFence(&header->firstChannel, Entry.FirstChannel);
    WriteNoFence(&header->dataSize, Entry.DataSize);
    WriteNoFence(&header->driverPosition, Entry.DriverPosition);
    WriteNoFence(&header->signal, Entry.Signal);
    WriteNoFence(&header->periods, Entry.Periods);
}

// Copies Bytes between a transfer and the data area at the entry's position, wrapping at its end,
// and advances the position. A transfer as large as the ring is not copied.
void CopyTransfer(AsioRingEntry& Entry, PUCHAR Transfer, ULONG Bytes, bool IntoRing) {
    if (Entry.DataSize == 0 || Bytes >= Entry.DataSize || Transfer == nullptr) return;
    PUCHAR data = DataOf(Entry);
    ULONG done = 0;
    while (done < Bytes) {
        const ULONG room = Entry.DataSize - Entry.DriverPosition;
        const ULONG part = Bytes - done < room ? Bytes - done : room;
        if (IntoRing) {
            RtlCopyMemory(data + Entry.DriverPosition, Transfer + done, part);
        } else {
            RtlCopyMemory(Transfer + done, data + Entry.DriverPosition, part);
        }
        done += part;
        Entry.DriverPosition = (Entry.DriverPosition + part) % Entry.DataSize;
    }
    WriteRelease(&HeaderOf(Entry)->driverPosition, Entry.DriverPosition);
}

// A ring is a section of its own with a view in system space (the driver's) and one in the current
// process (the library's). A section view fails with a status (a user mapping of locked pages
// raises an exception instead), and the process's end takes its view along: a process that dies
// with the rings mapped leaves nothing locked behind.
NTSTATUS MapRingSection(SIZE_T Bytes, HANDLE* Section, PVOID* Ring, PVOID* User) {
    *Section = nullptr;
    *Ring = nullptr;
    *User = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = static_cast<LONGLONG>(Bytes);
    NTSTATUS status = ZwCreateSection(Section, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT, nullptr);
    if (!NT_SUCCESS(status)) {
        *Section = nullptr;
        return status;
    }
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(*Section, SECTION_ALL_ACCESS, *MmSectionObjectType, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        SIZE_T view = 0;
        status = MmMapViewInSystemSpace(object, Ring, &view);
        ObDereferenceObject(object);
    }
    if (NT_SUCCESS(status)) {
        SIZE_T view = 0;
        status = ZwMapViewOfSection(*Section, ZwCurrentProcess(), User, 0, 0, nullptr, &view, ViewUnmap, 0, PAGE_READWRITE);
        if (!NT_SUCCESS(status)) MmUnmapViewInSystemSpace(*Ring);
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(*Section);
        *Section = nullptr;
        *Ring = nullptr;
        *User = nullptr;
    }
    return status;
}

// How far the library must write ahead of the driver's reads: the transfers the start submits,
// and the one a render completion submits before the library hears of that period (with a
// capture ring as the signal, the render completion can come first). A rate that is no whole
// number of frames per millisecond puts one frame more into some transfers: rounded up.
ULONG AsioLeadFrames(ULONG RateUnit, const AsioTransferSplit& Split) {
    return static_cast<ULONG>((ULONGLONG{Split.InFlight + 1} * Split.TransferMs * RateUnit + 999) / 1000);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Buffers

NTSTATUS UsbAudioAdapter::CreateBuffers(PFILE_OBJECT FileObject, PVOID Request, PVOID AddressTable, PULONG Length) {
    PAGED_CODE();
    // A device that is gone gets no rings.
    if (CheckPortStatus()) return STATUS_INVALID_PARAMETER;
    AsioLock lock(m_AsioMutex);
    if (m_AsioDetached != 0) return STATUS_DEVICE_REMOVED;
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Request == nullptr || AddressTable == nullptr || Length == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_AsioOwner != nullptr && m_AsioOwner != client) return STATUS_INVALID_PARAMETER;
    // The owner's rings exist already: a second set would orphan the first.
    if (client->Buffers != 0) return STATUS_INVALID_PARAMETER;
    // The sender owns the device while the rings are built (the stream formats are the owner's),
    // and afterwards only when they were.
    m_AsioOwner = client;
    m_AsioOwnerFlag = 1;
    const NTSTATUS status = BuildAsioRings(client, Request, AddressTable, Length);
    if (!NT_SUCCESS(status)) {
        m_AsioOwner = nullptr;
        m_AsioOwnerFlag = 0;
    }
    return status;
}

NTSTATUS UsbAudioAdapter::BuildAsioRings(AsioClient* Client, PVOID Request, PVOID AddressTable, PULONG Length) {
    PAGED_CODE();
    // The rings run at the rate the adapter reports, whatever the client last set.
    Client->SampleRate = m_AsioSampleRate;
    const ULONG rate = Client->SampleRate;
    const bool dsd = Client->Kind == FormatKind::Dsd;
    const ULONG framesPerMs = dsd ? rate / (AsioDsdRateDivisor * 1000) : rate / 1000;
    if (!AsioRateSuitsKind(rate, Client->Kind) || framesPerMs == 0) return STATUS_INVALID_PARAMETER;

    // The whole request is read before anything is built or an address written: for a 64-bit
    // caller the address table is the request's own buffer. The decoder has checked its length.
    AsioCreateBuffersHeader header;
    RtlCopyMemory(&header, Request, sizeof(header));
    const auto* channels = reinterpret_cast<const UCHAR*>(Request) + sizeof(header);
    for (ULONG j = 0; j < header.ChannelCount; ++j) {
        AsioBufferChannel entry;
        RtlCopyMemory(&entry, channels + j * sizeof(entry), sizeof(entry));
        if (entry.IsInput > 1) return STATUS_INVALID_PARAMETER;
    }

    // The rings are mapped into the caller's process, which stays referenced while they exist.
    if (m_AsioOwnerProcess == nullptr) {
        m_AsioOwnerProcess = PsGetCurrentProcess();
        ObReferenceObject(m_AsioOwnerProcess);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG bytesPerSample = dsd ? AsioDsdBytesPerSample : AsioPcmBytesPerSample(m_AsioActiveSampleType);
    const ULONG rateUnit = dsd ? rate / AsioDsdRateDivisor : rate;
    ULONG firstChannel[2] = {0, 0};  // running channel numbers per direction
    ULONG endpoints = 0;
    for (ULONG i = 0; i < m_AsioRingCount && NT_SUCCESS(status); ++i) {
        StreamEngine* engine = nullptr;
        if (!AsioEndpointAt(i, &engine)) continue;
        ++endpoints;
        AsioRingEntry& entry = m_AsioRings[i];
        StreamClients* stream = nullptr;
        if (!NT_SUCCESS(engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&stream)))) {
            status = STATUS_INVALID_DEVICE_STATE;
            break;
        }
        stream->Release();  // the HAL's engine list keeps the stream for the adapter's life

        const ULONG count = AsioEngineChannels(engine, Client->Kind);
        const ULONG frameBytes = count * bytesPerSample;
        // 40 ms of whole frames; an endpoint without channels of the kind has an empty ring.
        ULONGLONG dataSize = frameBytes != 0 ? ULONGLONG{rateUnit} * frameBytes * AsioRingMilliseconds / 1000 : 0;
        if (frameBytes != 0) dataSize -= dataSize % frameBytes;
        const ULONGLONG ringBytes = ROUND_TO_PAGES(AsioRingHeaderBytes + dataSize);
        if (ringBytes > AsioMaxRingBytes) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        HANDLE section = nullptr;
        PVOID ring = nullptr;
        PVOID user = nullptr;
        status = MapRingSection(static_cast<SIZE_T>(ringBytes), &section, &ring, &user);
        if (!NT_SUCCESS(status)) break;
        if (dsd) RtlFillMemory(static_cast<PUCHAR>(ring) + AsioRingHeaderBytes, static_cast<SIZE_T>(dataSize), AsioDsdRingFill);

        const ULONG direction = engine->GetDirection() == StreamDirectionCapture ? 1 : 0;
        AsioRingEntry built = {
            .Ring = ring,
            .UserAddress = user,
            .Section = section,
            .Client = nullptr,
            .Stream = stream,
            .RingBytes = static_cast<ULONG>(ringBytes),
            .DataSize = static_cast<ULONG>(dataSize),
            .DriverPosition = 0,
            .Periods = 0,
            .Channels = count,
            .FirstChannel = firstChannel[direction],
            .LeadFrames = 0,
            .Active = 0,
            .IsInput = static_cast<UCHAR>(direction),
            .Signal = 0,
            .Reserved = 0,
        };
        firstChannel[direction] += count;
        KIRQL irql;
        KeAcquireSpinLock(&m_AsioRingLock, &irql);
        entry = built;
        KeReleaseSpinLock(&m_AsioRingLock, irql);
    }
    if (NT_SUCCESS(status) && *Length != endpoints * sizeof(ULONGLONG)) status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) {
        FreeAsioRings();
        return status;
    }

    // Every requested channel activates the ring of its direction that holds it.
    for (ULONG j = 0; j < header.ChannelCount; ++j) {
        AsioBufferChannel requested;
        RtlCopyMemory(&requested, channels + j * sizeof(requested), sizeof(requested));
        for (ULONG i = 0; i < m_AsioRingCount; ++i) {
            AsioRingEntry& entry = m_AsioRings[i];
            if (entry.Ring == nullptr || entry.IsInput != requested.IsInput) continue;
            if (requested.Channel - entry.FirstChannel < entry.Channels) entry.Active = 1;
        }
    }
    // The signal ring: the last active capture ring, else the last active ring.
    ULONG signal = MAXULONG;
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        if (m_AsioRings[i].Active != 0 && m_AsioRings[i].IsInput != 0) signal = i;
    }
    for (ULONG i = 0; i < m_AsioRingCount && signal == MAXULONG; ++i) {
        if (m_AsioRings[m_AsioRingCount - 1 - i].Active != 0) signal = m_AsioRingCount - 1 - i;
    }
    if (signal != MAXULONG) m_AsioRings[signal].Signal = 1;

    m_AsioFramesPerBuffer = header.FramesPerBuffer;
    m_AsioBytesPerSample = bytesPerSample;
    m_AsioSplit = AsioSplitTransfers(framesPerMs, header.FramesPerBuffer);
    const ULONG lead = AsioLeadFrames(rateUnit, m_AsioSplit);
    ULONG written = 0;
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring == nullptr) continue;
        entry.LeadFrames = lead;
        PublishHeader(entry);
        const ULONGLONG address = reinterpret_cast<ULONG_PTR>(entry.UserAddress);
        RtlCopyMemory(static_cast<PUCHAR>(AddressTable) + written, &address, sizeof(address));
        written += sizeof(address);
    }
    status = RegisterAsioClients();
    if (!NT_SUCCESS(status)) {
        FreeAsioRings();
        return status;
    }
    Client->Buffers = 1;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::DisposeBuffers(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || client != m_AsioOwner) return STATUS_INVALID_PARAMETER;
    ReleaseAsioBuffers(client);
    m_AsioOwner = nullptr;
    m_AsioOwnerFlag = 0;
    return STATUS_SUCCESS;
}

void UsbAudioAdapter::StopAndUnhookAsioStreams() {
    PAGED_CODE();
    // Streams that still run would keep started clients that cannot be unregistered, and a
    // remembered restart would start them again for nobody.
    if (m_AsioStreaming != 0) StopAsioStreaming();
    m_AsioRestart = 0;
    PKEVENT event = ExchangeAsioBufferEvent(nullptr);
    if (event != nullptr) ObDereferenceObject(event);
    UnregisterAsioClients();
}

void UsbAudioAdapter::ReleaseAsioBuffers(AsioClient* Client) {
    PAGED_CODE();
    StopAndUnhookAsioStreams();
    FreeAsioRings();
    Client->Buffers = 0;
}

void UsbAudioAdapter::DetachAsioStreams() {
    PAGED_CODE();
    StopAndUnhookAsioStreams();
    m_AsioDetached = 1;
    // The library answers with a reset request to its host, which stops and disposes.
    NotifyAsioClients();
}

void UsbAudioAdapter::FreeAsioRings() {
    PAGED_CODE();
    for (ULONG i = 0; m_AsioRings != nullptr && i < m_AsioRingCount; ++i) {
        // The callback sees the entry whole or not at all.
        KIRQL irql;
        KeAcquireSpinLock(&m_AsioRingLock, &irql);
        const AsioRingEntry entry = m_AsioRings[i];
        RtlZeroMemory(&m_AsioRings[i], sizeof(AsioRingEntry));
        KeReleaseSpinLock(&m_AsioRingLock, irql);
        if (entry.Ring == nullptr) continue;
        if (entry.UserAddress != nullptr) {
            // The view belongs to the owner's process, wherever this runs; a process that has
            // ended took it along, and the unmap only says so.
            const bool attach = m_AsioOwnerProcess != nullptr && m_AsioOwnerProcess != PsGetCurrentProcess();
            KAPC_STATE apc;
            if (attach) KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(m_AsioOwnerProcess), &apc);
            ZwUnmapViewOfSection(ZwCurrentProcess(), entry.UserAddress);
            if (attach) KeUnstackDetachProcess(&apc);
        }
        MmUnmapViewInSystemSpace(entry.Ring);
        ZwClose(entry.Section);
    }
    if (m_AsioOwnerProcess != nullptr) ObDereferenceObject(m_AsioOwnerProcess);
    m_AsioOwnerProcess = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Stream clients

NTSTATUS UsbAudioAdapter::BuildAsioFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format) {
    PAGED_CODE();
    StreamEngine* engine = nullptr;
    if (m_AsioOwner == nullptr || Format == nullptr || Index >= m_AsioRingCount || !AsioEndpointAt(Index, &engine)) {
        return STATUS_INVALID_PARAMETER;
    }
    const AsioRingEntry& ring = m_AsioRings[Index];
    const bool dsd = m_AsioOwner->Kind == FormatKind::Dsd;
    USHORT container = 64;
    USHORT valid = 64;
    if (!dsd && !AsioSampleTypeBits(m_AsioActiveSampleType, &container, &valid)) return STATUS_NO_MATCH;
    const ULONG rate = dsd ? m_AsioOwner->SampleRate / AsioDsdRateDivisor : m_AsioOwner->SampleRate;
    const ULONG formats = engine->GetFormatCount();
    for (ULONG f = 0; f < formats; ++f) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(engine->GetFormat(f, &record))) continue;
        if (dsd ? !AsioIsDsdRecord(record) : !AsioIsPcmRecord(record)) continue;
        const USHORT recordValid = record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? record.Samples.wValidBitsPerSample
                                                                                     : record.Format.wBitsPerSample;
        if (record.Format.nChannels == ring.Channels && record.Format.nSamplesPerSec == rate &&
            record.Format.wBitsPerSample == container && recordValid == valid) {
            *Format = record;
            m_AsioBytesPerSample = container / 8u;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS UsbAudioAdapter::RegisterAsioClients() {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_AsioRingCount && NT_SUCCESS(status); ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring == nullptr || entry.Active == 0) continue;
        WAVEFORMATEXTENSIBLE format = {};
        status = BuildAsioFormat(i, &format);
        if (!NT_SUCCESS(status)) break;
        PVOID registration = nullptr;
        status = entry.Stream->RegisterClient(static_cast<ULONG>(ClientKind::Asio), &format.Format,
                                              m_AsioSplit.TransferMs, m_AsioSplit.InFlight, AsioStreamCallback, this,
                                              &registration);
        if (!NT_SUCCESS(status)) break;
        KIRQL irql;
        KeAcquireSpinLock(&m_AsioRingLock, &irql);
        entry.Client = registration;
        KeReleaseSpinLock(&m_AsioRingLock, irql);
    }
    if (!NT_SUCCESS(status)) UnregisterAsioClients();
    return status;
}

void UsbAudioAdapter::UnregisterAsioClients() {
    PAGED_CODE();
    if (m_AsioRings == nullptr) return;
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        KIRQL irql;
        KeAcquireSpinLock(&m_AsioRingLock, &irql);
        PVOID client = entry.Client;
        entry.Client = nullptr;
        KeReleaseSpinLock(&m_AsioRingLock, irql);
        if (client != nullptr) entry.Stream->UnregisterClient(client);
    }
}

// ---------------------------------------------------------------------------------------------
// Streaming

NTSTATUS UsbAudioAdapter::StartAsioStreaming() {
    PAGED_CODE();
    bool anyRing = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG frame = 0;
    for (ULONG i = 0; i < m_AsioRingCount && NT_SUCCESS(status); ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring == nullptr) continue;
        anyRing = true;
        if (entry.Active == 0 || entry.Client == nullptr) continue;
        ULONG transferMs = 0;
        status = entry.Stream->SetClientFormat(entry.Client, &transferMs, &frame);
    }
    if (!anyRing) return STATUS_INVALID_PARAMETER;
    const ULONG startFrame = frame + AsioStartFrameDelay;
    // Capture first, then render: both begin at the same frame.
    for (ULONG pass = 0; pass < 2 && NT_SUCCESS(status); ++pass) {
        const UCHAR input = pass == 0 ? 1 : 0;
        for (ULONG i = 0; i < m_AsioRingCount && NT_SUCCESS(status); ++i) {
            AsioRingEntry& entry = m_AsioRings[i];
            if (entry.Ring == nullptr || entry.Active == 0 || entry.Client == nullptr || entry.IsInput != input) continue;
            ULONG transferMs = 0;
            status = entry.Stream->StartClient(entry.Client, startFrame, &transferMs, nullptr);
        }
    }
    if (!NT_SUCCESS(status)) {
        // Nothing may stay open or started for a START that failed.
        for (ULONG i = 0; i < m_AsioRingCount; ++i) {
            AsioRingEntry& entry = m_AsioRings[i];
            if (entry.Ring == nullptr || entry.Client == nullptr) continue;
            entry.Stream->StopClient(entry.Client, nullptr);
            entry.Stream->CloseClient(entry.Client);
        }
        return status;
    }
    m_AsioStreaming = 1;
    SendAsioVendorRequest(1);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::StopAsioStreaming() {
    PAGED_CODE();
    bool anyRing = false;
    for (ULONG i = 0; m_AsioRings != nullptr && i < m_AsioRingCount; ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring == nullptr) continue;
        anyRing = true;
        if (entry.Active == 0 || entry.Client == nullptr) continue;
        // The stream hands the endpoint back to any other client.
        entry.Stream->StopClient(entry.Client, nullptr);
        entry.Stream->CloseClient(entry.Client);
    }
    m_AsioStreaming = 0;
    SendAsioVendorRequest(0);
    return anyRing ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

void UsbAudioAdapter::ResetAsioRings(bool SilenceRender) {
    PAGED_CODE();
    const bool dsd = m_AsioOwner != nullptr && m_AsioOwner->Kind == FormatKind::Dsd;
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring == nullptr) continue;
        entry.Periods = 0;
        entry.DriverPosition = 0;
        ULONG clientData = 0;
        const ULONG frameBytes = entry.Channels * m_AsioBytesPerSample;
        if (entry.IsInput == 0 && entry.DataSize != 0 && frameBytes != 0) {
            if (SilenceRender) RtlFillMemory(DataOf(entry), entry.DataSize, dsd ? AsioDsdRingFill : 0);
            // The library preloads ring frame k with the host's frame k and goes on at the position
            // given here, from the frame of the host's buffers that belongs there; it holds at most
            // one host buffer beyond what it has handed over, so it cannot start further ahead. The
            // rest of the lead puts the driver's first reads before the preload, in silence.
            const ULONG ringFrames = entry.DataSize / frameBytes;
            ULONG ahead = entry.LeadFrames < m_AsioFramesPerBuffer ? entry.LeadFrames : m_AsioFramesPerBuffer;
            ULONG behind = entry.LeadFrames - ahead;
            if (ahead + behind >= ringFrames) ahead = behind = 0;
            clientData = ahead * frameBytes;
            entry.DriverPosition = behind != 0 ? entry.DataSize - behind * frameBytes : 0;
        }
        SharedRingHeader* header = HeaderOf(entry);
        WriteNoFence(&header->clientDonePosition, entry.DriverPosition);
        WriteNoFence(&header->clientDataPosition, clientData);
        PublishHeader(entry);
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
}

PKEVENT UsbAudioAdapter::ExchangeAsioBufferEvent(PKEVENT Event) {
    if (m_AsioOwner == nullptr) return Event;
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    PKEVENT previous = m_AsioOwner->BufferEvent;
    m_AsioOwner->BufferEvent = Event;
    KeReleaseSpinLock(&m_AsioRingLock, irql);
    return previous;
}

void UsbAudioAdapter::SendAsioVendorRequest(USHORT Value) {
    PAGED_CODE();
    bool wanted = false;
    for (const AsioVendorModel& model : AsioVendorModels) {
        wanted = wanted || (model.VendorId == m_VendorId && model.ProductId == m_ProductId);
    }
    if (!wanted) return;
    constexpr USHORT urbBytes = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, urbBytes, UsbAudioAdapterUsbTag));
    if (urb == nullptr) return;
    RtlZeroMemory(urb, urbBytes);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, urbBytes, 0, 0, AsioVendorRequest, Value, 0, nullptr, nullptr,
                          0, nullptr);
    // A device that refuses the request streams all the same.
    SubmitUrbSync(urb);
    ExFreePoolWithTag(urb, UsbAudioAdapterUsbTag);
}

NTSTATUS UsbAudioAdapter::Start(PFILE_OBJECT FileObject, PULONGLONG EventHandle) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || EventHandle == nullptr || client != m_AsioOwner || client->Buffers == 0 ||
        client->BufferEvent != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The rings of a device that is going have no streams any more.
    if (m_AsioDetached != 0) return STATUS_DEVICE_REMOVED;
    PKEVENT event = nullptr;
    NTSTATUS status = ReferenceUserEvent(*EventHandle, &event);
    if (!NT_SUCCESS(status)) return status;
    // Positions first, so that the transfers the start submits read the reset rings (and the
    // library's preload in them); the event last, so that no signal comes from a start that fails.
    ResetAsioRings(false);
    status = StartAsioStreaming();
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(event);
        return status;
    }
    ExchangeAsioBufferEvent(event);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::StopOwnerStreaming(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || client != m_AsioOwner || client->BufferEvent == nullptr) return STATUS_INVALID_PARAMETER;
    PKEVENT event = ExchangeAsioBufferEvent(nullptr);
    KeClearEvent(event);
    ObDereferenceObject(event);
    if (m_AsioStreaming != 0) StopAsioStreaming();
    m_AsioRestart = 0;
    const UCHAR silence = client->Kind == FormatKind::Dsd ? AsioDsdStopFill : 0;
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        const AsioRingEntry& entry = m_AsioRings[i];
        if (entry.Ring != nullptr && entry.Active != 0) RtlFillMemory(DataOf(entry), entry.DataSize, silence);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::Stop(PFILE_OBJECT FileObject, PIRP Irp) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    if (ReadNoFence(&m_PowerState) != PowerDeviceD0) {
        // The owner's STOP is held until the device is back in D0 (or removed); the caller may
        // cancel it meanwhile. Any other client's STOP would stop nothing and is refused at once,
        // so it never takes the one slot. Only this routine, under the ASIO mutex, fills the slot;
        // the others empty it.
        AsioClient* client = FindAsioClient(FileObject);
        if (Irp == nullptr || client == nullptr || client != m_AsioOwner || client->BufferEvent == nullptr ||
            AsioStopHeld()) {
            return STATUS_INVALID_PARAMETER;
        }
        IoMarkIrpPending(Irp);
        Irp->Tail.Overlay.DriverContext[0] = this;
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_HeldStopRequest), Irp);
        IoSetCancelRoutine(Irp, CancelHeldAsioStop);
        // Cancelled before the routine was set: take it back unless the cancel routine did.
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr &&
            InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_HeldStopRequest), nullptr, Irp) ==
                Irp) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    return StopOwnerStreaming(FileObject);
}

void UsbAudioAdapter::CancelHeldAsioStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    // The adapter that holds it is in the request's driver context; the held pointer decides who
    // completes.
    auto* adapter = static_cast<UsbAudioAdapter*>(Irp->Tail.Overlay.DriverContext[0]);
    if (adapter == nullptr ||
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&adapter->m_HeldStopRequest), nullptr, Irp) !=
            Irp) {
        return;
    }
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void UsbAudioAdapter::CompleteHeldAsioStop() {
    PAGED_CODE();
    auto* irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_HeldStopRequest), nullptr));
    if (irp == nullptr) return;
    // The cancel routine may be running; it finds the pointer taken and leaves the request here.
    IoSetCancelRoutine(irp, nullptr);
    NTSTATUS status;
    {
        AsioLock lock(m_AsioMutex);
        status = StopOwnerStreaming(IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    PcCompleteIrp(m_DeviceObject, irp, status);
}

// ---------------------------------------------------------------------------------------------
// The per-transfer callback

VOID UsbAudioAdapter::AsioStreamCallback(PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Argument2);
    auto* adapter = static_cast<UsbAudioAdapter*>(Context);
    auto* notice = static_cast<StreamNotifyRecord*>(Argument1);
    if (adapter == nullptr || notice == nullptr || notice->Owner == nullptr) return;
    KIRQL irql;
    KeAcquireSpinLock(&adapter->m_AsioRingLock, &irql);
    AsioRingEntry* ring = nullptr;
    for (ULONG i = 0; adapter->m_AsioRings != nullptr && i < adapter->m_AsioRingCount; ++i) {
        AsioRingEntry& entry = adapter->m_AsioRings[i];
        if (entry.Ring != nullptr && entry.Client != nullptr && entry.Client == notice->Owner->Registration) ring = &entry;
    }
    // Another client owns the stream: its data is not the ring's.
    if (ring != nullptr && notice->Owner->Started != 0) {
        switch (static_cast<StreamNotifyKind>(notice->Kind)) {
        case StreamNotifyKind::TransferDone:
            ++ring->Periods;
            WriteRelease(&HeaderOf(*ring)->periods, ring->Periods);
            if (ring->Signal != 0 && adapter->m_AsioOwner != nullptr && adapter->m_AsioOwner->BufferEvent != nullptr) {
                KeSetEvent(adapter->m_AsioOwner->BufferEvent, AsioEventIncrement, FALSE);
            }
            break;
        case StreamNotifyKind::FillRenderBuffer:
            if (ring->IsInput == 0) CopyTransfer(*ring, static_cast<PUCHAR>(notice->FirstValue.Data), notice->SecondValue, false);
            break;
        case StreamNotifyKind::CaptureData:
            if (ring->IsInput != 0) CopyTransfer(*ring, static_cast<PUCHAR>(notice->FirstValue.Data), notice->SecondValue, true);
            break;
        default:
            break;
        }
    }
    KeReleaseSpinLock(&adapter->m_AsioRingLock, irql);
}
