// The adapter's AsioPrivateInterface, first half: one AsioClient per open handle of the private
// interface, the queries the ASIO library asks before it creates buffers (name, channels, sample
// types, latencies, buffer sizes, rates, format kinds), and the ASIO settings kept in the registry
// with the notify events that tell every client about a change. Every operation holds the ASIO
// mutex; the rings and the streaming are in AdapterAsioRings.cpp.
#include "driver/engine/adapter/AdapterAsio.h"
#include "driver/engine/base/Settings.h"
#include "driver/engine/stream/StreamEngine.h"

#include <win/ksmedia.h>

namespace {

// The name of a device without a product string.
constexpr char AsioFallbackDeviceName[] = "K-Lorix USB ASIO Device";
// Characters of a product string the driver takes at most: what a 256-byte descriptor holds.
constexpr ULONG AsioNameMaxChars = (UsbStringRequestBytes - 2) / 2;
// Bytes of the engine-name buffer of GET_CHANNEL_INFO.
constexpr ULONG AsioEngineNameBytes = StreamEngineNameChars * sizeof(WCHAR);
static_assert(AsioEngineNameBytes == 102);

// The ASIO sample types the bit-depth list names, in its order.
constexpr ULONG AsioListedSampleTypes[] = {AsioSampleTypeInt16Lsb, AsioSampleTypeInt24Lsb, AsioSampleTypeInt32Lsb16,
                                           AsioSampleTypeInt32Lsb24, AsioSampleTypeInt32Lsb};
constexpr ULONG AsioListedTypeCount = sizeof(AsioListedSampleTypes) / sizeof(AsioListedSampleTypes[0]);

void LinkAtHead(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    Entry->Flink = Head->Flink;
    Entry->Blink = Head;
    Head->Flink->Blink = Entry;
    Head->Flink = Entry;
}

void Unlink(PLIST_ENTRY Entry) {
    Entry->Blink->Flink = Entry->Flink;
    Entry->Flink->Blink = Entry->Blink;
    Entry->Flink = Entry->Blink = Entry;
}

void WriteUlong(PVOID Buffer, ULONG Offset, ULONG Value) {
    RtlCopyMemory(static_cast<PUCHAR>(Buffer) + Offset, &Value, sizeof(Value));
}

// A DSD rate as a multiple of 44.1 kHz (44 one-bit samples per unit and millisecond) or else of
// 48 kHz (48). Exact: the rate is a whole multiple of its base.
struct AsioDsdGrid {
    ULONG Multiple;
    ULONG Unit;
    bool Exact;
};
AsioDsdGrid AsioDsdGridOf(ULONG Rate) {
    if (Rate % 44100 == 0) return {Rate / 44100, 44, true};
    return {Rate / 48000, 48, Rate % 48000 == 0};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Endpoints

BOOLEAN UsbAudioAdapter::AsioEndpointAt(ULONG Index, StreamEngine** Engine) {
    *Engine = nullptr;
    EndpointInfo info = {};
    if (!NT_SUCCESS(GetEndpointInfo(Index, &info)) || (info.Flags & EndpointFlagAsio) == 0) return FALSE;
    return NT_SUCCESS(GetStreamEngine(Index, Engine)) && *Engine != nullptr;
}

ULONG UsbAudioAdapter::AsioEndpointCount() {
    ULONG count = 0;
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (AsioEndpointAt(i, &engine)) ++count;
    }
    return count;
}

ULONG UsbAudioAdapter::AsioEngineChannels(StreamEngine* Engine, FormatKind Kind) {
    ULONG channels = 0;
    const ULONG formats = Engine->GetFormatCount();
    for (ULONG i = 0; i < formats; ++i) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(Engine->GetFormat(i, &record))) continue;
        const bool ofKind = Kind == FormatKind::Dsd ? AsioIsDsdRecord(record) : AsioIsPcmRecord(record);
        if (ofKind && record.Format.nChannels > channels) channels = record.Format.nChannels;
    }
    return channels;
}

BOOLEAN UsbAudioAdapter::AsioEngineCarries(StreamEngine* Engine, FormatKind Kind, const ULONG* Rate) {
    const ULONG formats = Engine->GetFormatCount();
    for (ULONG i = 0; i < formats; ++i) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(Engine->GetFormat(i, &record))) continue;
        if (Kind == FormatKind::Dsd) {
            if (AsioIsDsdRecord(record) && (Rate == nullptr || AsioDsdRecordCarries(record, *Rate))) return TRUE;
        } else if (AsioIsPcmRecord(record) && (Rate == nullptr || record.Format.nSamplesPerSec == *Rate)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS UsbAudioAdapter::AsioEveryEndpointCarries(FormatKind Kind, const ULONG* Rate) {
    const ULONG engines = GetStreamEngineCount();
    bool any = false;
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (!AsioEndpointAt(i, &engine)) continue;
        any = true;
        if (!AsioEngineCarries(engine, Kind, Rate)) return STATUS_UNSUCCESSFUL;
    }
    return any ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------------------------
// Clients

AsioClient* UsbAudioAdapter::FindAsioClient(PFILE_OBJECT FileObject) {
    if (FileObject == nullptr) return nullptr;
    for (PLIST_ENTRY entry = m_AsioClients.Flink; entry != &m_AsioClients; entry = entry->Flink) {
        auto* client = CONTAINING_RECORD(entry, AsioClient, Links);
        if (client->FileObject == FileObject) return client;
    }
    return nullptr;
}

void UsbAudioAdapter::NotifyAsioClients() {
    for (PLIST_ENTRY entry = m_AsioClients.Flink; entry != &m_AsioClients; entry = entry->Flink) {
        auto* client = CONTAINING_RECORD(entry, AsioClient, Links);
        if (client->NotifyEvent != nullptr) KeSetEvent(client->NotifyEvent, AsioEventIncrement, FALSE);
    }
}

void UsbAudioAdapter::WriteAsioSetting(PCWSTR Name, ULONG Value) {
    // The registry's answer changes nothing: the value in force is the adapter's.
    AccessSettingBinary(m_DeviceObject, SettingMode::Write, &Value, sizeof(Value), Name);
}

NTSTATUS UsbAudioAdapter::ReferenceUserEvent(ULONGLONG Handle, PKEVENT* Event) {
    PAGED_CODE();
    *Event = nullptr;
    PVOID object = nullptr;
    const NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Handle)),
                                                      EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *Event = static_cast<PKEVENT>(object);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::CreateClient(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    AsioLock lock(m_AsioMutex);
    auto* client = static_cast<AsioClient*>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(AsioClient), UsbAudioAdapterUsbTag));
    if (client == nullptr) return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(client, sizeof(*client));
    client->FileObject = FileObject;
    client->SampleType = m_AsioActiveSampleType;
    client->LatencyIndex = m_AsioLatencyIndex;
    client->SampleRate = m_AsioSampleRate;
    client->Kind = FormatKind::Pcm;
    LinkAtHead(&m_AsioClients, &client->Links);
    return STATUS_SUCCESS;
}

// No request reaches this slot.
NTSTATUS UsbAudioAdapter::Reserved(PFILE_OBJECT) { return STATUS_UNSUCCESSFUL; }

NTSTATUS UsbAudioAdapter::CloseClient(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr) return STATUS_UNSUCCESSFUL;
    if (client->Buffers != 0) ReleaseAsioBuffers(client);
    if (client == m_AsioOwner) {
        m_AsioOwner = nullptr;
        m_AsioOwnerFlag = 0;
    }
    if (client->BufferEvent != nullptr) {
        ObDereferenceObject(client->BufferEvent);
        client->BufferEvent = nullptr;
    }
    // The type chosen meanwhile takes effect once nobody owns buffers sized by the old one.
    if (m_AsioOwner == nullptr) {
        m_AsioActiveSampleType = m_AsioSelectedSampleType;
        WriteAsioSetting(SettingName::AsioDataBitDepth, m_AsioSelectedSampleType);
    }
    if (client->NotifyEvent != nullptr) ObDereferenceObject(client->NotifyEvent);
    Unlink(&client->Links);
    ExFreePoolWithTag(client, UsbAudioAdapterUsbTag);
    return STATUS_SUCCESS;
}

void UsbAudioAdapter::FreeAsioClients() {
    // Rings a removal left mapped for a host that never closed go with the adapter.
    if (m_AsioOwner != nullptr && m_AsioOwner->Buffers != 0) ReleaseAsioBuffers(m_AsioOwner);
    while (m_AsioClients.Flink != &m_AsioClients) {
        auto* client = CONTAINING_RECORD(m_AsioClients.Flink, AsioClient, Links);
        Unlink(&client->Links);
        if (client->NotifyEvent != nullptr) ObDereferenceObject(client->NotifyEvent);
        if (client->BufferEvent != nullptr) ObDereferenceObject(client->BufferEvent);
        ExFreePoolWithTag(client, UsbAudioAdapterUsbTag);
    }
    m_AsioOwner = nullptr;
    m_AsioOwnerFlag = 0;
}

// ---------------------------------------------------------------------------------------------
// Queries

NTSTATUS UsbAudioAdapter::GetDeviceName(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    PAGED_CODE();
    if (Length == nullptr) return STATUS_INVALID_PARAMETER;
    AsioLock lock(m_AsioMutex);
    if (FindAsioClient(FileObject) == nullptr) return STATUS_INVALID_PARAMETER;

    char name[AsioNameMaxChars + 1] = {};
    ULONG chars = 0;
    if (m_ProductStringIndex != 0) {
        NTSTATUS status = ReadAsioProductName(name, &chars);
        if (!NT_SUCCESS(status)) return status;
    }
    if (chars == 0) {
        // The fixed name, truncated to what the caller has room for.
        constexpr ULONG needed = sizeof(AsioFallbackDeviceName);
        if (*Length == 0 || Buffer == nullptr) {
            *Length = needed;
            return STATUS_BUFFER_OVERFLOW;
        }
        const ULONG written = *Length - 1 < needed - 1 ? *Length - 1 : needed - 1;
        RtlCopyMemory(Buffer, AsioFallbackDeviceName, written);
        static_cast<char*>(Buffer)[written] = '\0';
        *Length = written + 1;
        return STATUS_SUCCESS;
    }
    const ULONG needed = chars + 1;
    if (*Length == 0 || Buffer == nullptr) {
        *Length = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*Length < needed) {
        *Length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Buffer, name, needed);
    *Length = needed;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::ReadAsioProductName(char* Name, PULONG Chars) {
    PAGED_CODE();
    *Chars = 0;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, UsbStringBufferBytes, UsbAudioAdapterUsbTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, UsbStringBufferBytes);
    ULONG received = 0;
    NTSTATUS status = ReadStringDescriptor(m_ProductStringIndex, buffer, UsbStringRequestBytes, &received,
                                           UsbAudioAdapterUsbTag);
    if (NT_SUCCESS(status)) {
        // The device's bLength counts only as far as the bytes that arrived; below 2 there is no text.
        ULONG bytes = received >= 1 ? buffer[0] : 0;
        if (bytes > received) bytes = received;
        ULONG chars = bytes >= 2 ? (bytes - 2) / 2 : 0;
        if (chars > AsioNameMaxChars) chars = AsioNameMaxChars;
        WCHAR text[AsioNameMaxChars];
        RtlCopyMemory(text, buffer + 2, chars * sizeof(WCHAR));
        while (chars > 0 && text[chars - 1] == L' ') --chars;
        UNICODE_STRING unicode = {static_cast<USHORT>(chars * sizeof(WCHAR)), static_cast<USHORT>(chars * sizeof(WCHAR)),
                                  text};
        ANSI_STRING ansi = {0, static_cast<USHORT>(AsioNameMaxChars + 1), Name};
        if (chars != 0 && NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, &unicode, FALSE))) {
            *Chars = ansi.Length <= AsioNameMaxChars ? ansi.Length : AsioNameMaxChars;
            Name[*Chars] = '\0';
        }
    }
    ExFreePoolWithTag(buffer, UsbAudioAdapterUsbTag);
    return status;
}

NTSTATUS UsbAudioAdapter::GetChannels(PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Buffer == nullptr || Length != sizeof(AsioChannelCounts)) return STATUS_INVALID_PARAMETER;
    AsioChannelCounts counts = {};
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (!AsioEndpointAt(i, &engine)) continue;
        const ULONG channels = AsioEngineChannels(engine, client->Kind);
        if (engine->GetDirection() == StreamDirectionCapture) {
            counts.Inputs += channels;
        } else {
            counts.Outputs += channels;
        }
        ++counts.Endpoints;
    }
    if (counts.Endpoints == 0) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(Buffer, &counts, sizeof(counts));
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetChannelInfo(PFILE_OBJECT FileObject, PVOID ChannelInfo, ULONG Length) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || ChannelInfo == nullptr || Length != sizeof(ASIOChannelInfo)) return STATUS_INVALID_PARAMETER;
    ASIOChannelInfo info;
    RtlCopyMemory(&info, ChannelInfo, sizeof(info));
    if (info.channel < 0 || (info.isInput != 0 && info.isInput != 1)) return STATUS_INVALID_PARAMETER;
    const ULONG wanted = info.isInput != 0 ? StreamDirectionCapture : StreamDirectionRender;
    const ULONG channel = static_cast<ULONG>(info.channel);

    // The endpoint of that direction whose channel range holds the channel names it.
    StreamEngine* owner = nullptr;
    ULONG first = 0;
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines && owner == nullptr; ++i) {
        StreamEngine* engine = nullptr;
        if (!AsioEndpointAt(i, &engine) || engine->GetDirection() != wanted) continue;
        const ULONG channels = AsioEngineChannels(engine, client->Kind);
        if (channel - first < channels) {
            owner = engine;
        } else {
            first += channels;
        }
    }
    // A channel beyond its direction is no channel of the device.
    if (owner == nullptr) return STATUS_INVALID_PARAMETER;

    auto* engineName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, AsioEngineNameBytes, UsbAudioAdapterUsbTag));
    if (engineName == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(engineName, AsioEngineNameBytes);
    owner->GetName(engineName);
    engineName[StreamEngineNameChars - 1] = L'\0';
    info.channelGroup = 0;
    info.isActive = m_AsioOwner != nullptr ? 1 : 0;
    info.type = static_cast<LONG>(client->Kind == FormatKind::Dsd ? AsioSampleTypeDsdInt8Msb1 : m_AsioActiveSampleType);
    RtlZeroMemory(info.name, sizeof(info.name));
    // Truncation keeps the zero: at most 31 characters.
    RtlStringCbPrintfA(info.name, sizeof(info.name), "%ws_%02d ch", engineName, channel - first);
    ExFreePoolWithTag(engineName, UsbAudioAdapterUsbTag);
    RtlCopyMemory(ChannelInfo, &info, sizeof(info));
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::SetNotifyEvent(PFILE_OBJECT FileObject, PULONGLONG EventHandle) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || EventHandle == nullptr || client->NotifyEvent != nullptr) return STATUS_INVALID_PARAMETER;
    return ReferenceUserEvent(*EventHandle, &client->NotifyEvent);
}

NTSTATUS UsbAudioAdapter::ClearNotifyEvent(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || client->NotifyEvent == nullptr) return STATUS_INVALID_PARAMETER;
    ObDereferenceObject(client->NotifyEvent);
    client->NotifyEvent = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetState(PFILE_OBJECT FileObject, PVOID Buffer) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    if (FindAsioClient(FileObject) == nullptr || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    WriteUlong(Buffer, 0, m_AsioOwnerFlag);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetBitDepths(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Length == nullptr) return STATUS_INVALID_PARAMETER;

    bool anyEndpoint = false;
    ULONG types[AsioListedTypeCount];
    const ULONG count = AsioOfferedSampleTypes(types, &anyEndpoint);
    const ULONG size = AsioBitDepthsHeaderBytes + count * sizeof(ULONG);

    if (Buffer == nullptr && *Length == 0) {
        *Length = size;
        return anyEndpoint ? STATUS_BUFFER_OVERFLOW : STATUS_INVALID_PARAMETER;
    }
    if (Buffer == nullptr || *Length < size) return STATUS_BUFFER_TOO_SMALL;
    WriteUlong(Buffer, 0, m_AsioSelectedSampleType);
    WriteUlong(Buffer, 4, count);
    for (ULONG t = 0; t < count; ++t) WriteUlong(Buffer, AsioBitDepthsHeaderBytes + t * sizeof(ULONG), types[t]);
    client->SampleType = m_AsioSelectedSampleType;
    *Length = size;
    return STATUS_SUCCESS;
}

ULONG UsbAudioAdapter::AsioOfferedSampleTypes(PULONG Types, bool* AnyEndpoint) {
    // A type counts when every ASIO endpoint offers it.
    bool offered[AsioListedTypeCount];
    for (bool& entry : offered) entry = true;
    bool anyEndpoint = false;
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (!AsioEndpointAt(i, &engine)) continue;
        anyEndpoint = true;
        bool here[AsioListedTypeCount] = {};
        const ULONG formats = engine->GetFormatCount();
        for (ULONG f = 0; f < formats; ++f) {
            WAVEFORMATEXTENSIBLE record = {};
            if (!NT_SUCCESS(engine->GetFormat(f, &record)) || !AsioIsPcmRecord(record)) continue;
            const ULONG type = AsioSampleTypeOfRecord(record);
            for (ULONG t = 0; t < AsioListedTypeCount; ++t) {
                if (AsioListedSampleTypes[t] == type) here[t] = true;
            }
        }
        for (ULONG t = 0; t < AsioListedTypeCount; ++t) offered[t] = offered[t] && here[t];
    }
    ULONG count = 0;
    for (ULONG t = 0; t < AsioListedTypeCount && anyEndpoint; ++t) {
        if (offered[t]) Types[count++] = AsioListedSampleTypes[t];
    }
    if (AnyEndpoint != nullptr) *AnyEndpoint = anyEndpoint;
    return count;
}

bool UsbAudioAdapter::AsioOffersSampleType(ULONG SampleType) {
    ULONG types[AsioListedTypeCount];
    const ULONG count = AsioOfferedSampleTypes(types, nullptr);
    for (ULONG t = 0; t < count; ++t) {
        if (types[t] == SampleType) return true;
    }
    return false;
}

void UsbAudioAdapter::SettleAsioSampleTypes() {
    PAGED_CODE();
    ULONG types[AsioListedTypeCount];
    const ULONG count = AsioOfferedSampleTypes(types, nullptr);
    if (count == 0) return;
    // A stored or default type the device does not offer would fail every CREATE_BUFFERS: the
    // first type it offers stands in (the stored value stays as it is).
    if (!AsioOffersSampleType(m_AsioSelectedSampleType)) m_AsioSelectedSampleType = types[0];
    if (!AsioOffersSampleType(m_AsioActiveSampleType)) m_AsioActiveSampleType = m_AsioSelectedSampleType;
}

ULONG UsbAudioAdapter::AdoptAsioLatency(AsioClient* Client) {
    Client->LatencyIndex = m_AsioLatencyIndex;
    return AsioLatencyMilliseconds[m_AsioLatencyIndex];
}

NTSTATUS UsbAudioAdapter::GetLatencyChoices(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Length == nullptr) return STATUS_INVALID_PARAMETER;
    if (Buffer == nullptr && *Length == 0) {
        *Length = sizeof(AsioLatencyChoices);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Buffer == nullptr || *Length < sizeof(AsioLatencyChoices)) return STATUS_BUFFER_TOO_SMALL;
    AdoptAsioLatency(client);
    AsioLatencyChoices choices = {.Index = m_AsioLatencyIndex, .Count = AsioLatencyCount, .Milliseconds = {}};
    RtlCopyMemory(choices.Milliseconds, AsioLatencyMilliseconds, sizeof(choices.Milliseconds));
    RtlCopyMemory(Buffer, &choices, sizeof(choices));
    *Length = sizeof(AsioLatencyChoices);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetLatencies(PFILE_OBJECT FileObject, PVOID Buffer) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG ms = AdoptAsioLatency(client);
    const ULONG rate = m_AsioSampleRate;
    AsioLatencies latencies = {};
    if (client->Kind == FormatKind::Pcm) {
        latencies.Input = ms * (rate / 1000);
    } else if (rate >= AsioDsdMinimumRate) {
        const AsioDsdGrid grid = AsioDsdGridOf(rate);
        latencies.Input = ms * grid.Multiple * grid.Unit;
    } else {
        latencies.Input = ms * 2816;
    }
    // The output side always reports two buffers.
    latencies.Output = 2 * latencies.Input;
    if (client == m_AsioOwner && client->Buffers != 0) AsioRingLatencies(client, &latencies);
    RtlCopyMemory(Buffer, &latencies, sizeof(latencies));
    return STATUS_SUCCESS;
}

void UsbAudioAdapter::AsioRingLatencies(AsioClient* Owner, AsioLatencies* Latencies) {
    // Once the rings exist the latencies are what they give: a captured frame reaches the host one
    // buffer after it arrived, and a rendered one leaves one buffer after the host wrote it, plus
    // the part of the render lead that lies before the preload. Their sum is the round trip a
    // host measures, the device's own delay aside.
    ULONG lead = 0;
    for (ULONG i = 0; i < m_AsioRingCount; ++i) {
        if (m_AsioRings[i].Ring != nullptr) lead = m_AsioRings[i].LeadFrames;
    }
    const ULONG frames = m_AsioFramesPerBuffer;
    const ULONG behind = lead > frames ? lead - frames : 0;
    const ULONG samplesPerFrame = Owner->Kind == FormatKind::Dsd ? AsioDsdRateDivisor : 1;
    Latencies->Input = frames * samplesPerFrame;
    Latencies->Output = (frames + behind) * samplesPerFrame;
}

NTSTATUS UsbAudioAdapter::GetSampleRate(PFILE_OBJECT FileObject, PVOID Buffer) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    if (FindAsioClient(FileObject) == nullptr || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    WriteUlong(Buffer, 0, m_AsioSampleRate);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetBufferSize(PFILE_OBJECT FileObject, PVOID Buffer) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG ms = AdoptAsioLatency(client);
    const ULONG rate = m_AsioSampleRate;
    AsioBufferSizes sizes = {};
    if (client->Kind == FormatKind::Pcm) {
        const ULONG perMs = rate / 1000;
        sizes = {.Minimum = 2 * perMs, .Maximum = 50 * perMs, .Preferred = ms * perMs, .Granularity = 1};
    } else {
        const AsioDsdGrid grid = AsioDsdGridOf(rate);
        if (rate < AsioDsdMinimumRate || !grid.Exact) return STATUS_INVALID_PARAMETER;
        const ULONG perMs = grid.Multiple * grid.Unit;
        // The shortest DSD buffer is 4 ms.
        const ULONG preferredMs = m_AsioLatencyIndex >= 1 ? ms : AsioLatencyMilliseconds[1];
        sizes = {.Minimum = 4 * perMs, .Maximum = 50 * perMs, .Preferred = preferredMs * perMs, .Granularity = grid.Multiple};
    }
    RtlCopyMemory(Buffer, &sizes, sizeof(sizes));
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetIoFormat(PFILE_OBJECT FileObject, PVOID Buffer) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    WriteUlong(Buffer, 0, static_cast<ULONG>(client->Kind));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Settings

NTSTATUS UsbAudioAdapter::SetBitDepth(PFILE_OBJECT FileObject, ULONG SampleType) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    // Only a type the bit-depth list offers: another would size a ring at 0 bytes per sample, or
    // become the active type that no endpoint can stream, for every client.
    if (client == nullptr || !AsioIsKnownSampleType(SampleType) || !AsioOffersSampleType(SampleType)) {
        return STATUS_INVALID_PARAMETER;
    }
    client->SampleType = SampleType;
    m_AsioSelectedSampleType = SampleType;
    NotifyAsioClients();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::SetLatency(PFILE_OBJECT FileObject, ULONG LatencyIndex) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || LatencyIndex >= AsioLatencyCount) return STATUS_INVALID_PARAMETER;
    client->LatencyIndex = LatencyIndex;
    m_AsioLatencyIndex = LatencyIndex;
    WriteAsioSetting(SettingName::AsioDataLatency, LatencyIndex);
    NotifyAsioClients();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::CanSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || SampleRate == nullptr) return STATUS_INVALID_PARAMETER;
    return AsioEveryEndpointCarries(client->Kind, SampleRate);
}

NTSTATUS UsbAudioAdapter::SetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || SampleRate == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG rate = *SampleRate;
    if (!AsioRateSuitsKind(rate, client->Kind)) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = AsioEveryEndpointCarries(client->Kind, &rate);
    if (!NT_SUCCESS(status)) return status;
    if (rate == m_AsioSampleRate) return STATUS_SUCCESS;
    // The rings run at the rate they were created with: while they exist, the rate the clients
    // are told and the rate the device runs at would part.
    if (m_AsioOwner != nullptr && m_AsioOwner->Buffers != 0) return STATUS_INVALID_DEVICE_STATE;
    client->SampleRate = rate;
    m_AsioSampleRate = rate;
    WriteAsioSetting(SettingName::AsioSampleRate, rate);
    NotifyAsioClients();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::CanDoIoFormat(PFILE_OBJECT FileObject, PULONG Kind) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    if (FindAsioClient(FileObject) == nullptr || Kind == nullptr) return STATUS_INVALID_PARAMETER;
    if (*Kind > static_cast<ULONG>(FormatKind::Dsd)) return STATUS_UNSUCCESSFUL;
    return AsioEveryEndpointCarries(static_cast<FormatKind>(*Kind), nullptr);
}

NTSTATUS UsbAudioAdapter::SetIoFormat(PFILE_OBJECT FileObject, PULONG Kind) {
    PAGED_CODE();
    AsioLock lock(m_AsioMutex);
    AsioClient* client = FindAsioClient(FileObject);
    if (client == nullptr || Kind == nullptr) return STATUS_INVALID_PARAMETER;
    if (*Kind > static_cast<ULONG>(FormatKind::Dsd)) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = AsioEveryEndpointCarries(static_cast<FormatKind>(*Kind), nullptr);
    if (NT_SUCCESS(status)) client->Kind = static_cast<FormatKind>(*Kind);
    return status;
}
