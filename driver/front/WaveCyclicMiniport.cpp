#include "driver/front/WaveCyclicMiniport.h"

#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/InterfaceRef.h"
#include "driver/front/PrivateDriverPropSet.h"
#include "driver/front/WaveCyclicStream.h"

namespace {

// Sizes in which a stream's data format arrives: the wave format follows the 64-byte head, or a
// 72-byte head when the attribute flag adds an attribute list of 8 bytes in front of it.
constexpr ULONG DataFormatAttributesFlag = 0x2;
constexpr ULONG WaveFormatPlainBytes = sizeof(WAVEFORMATEX);       // 18
constexpr ULONG ExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);  // 22
static_assert(WaveFormatPlainBytes == 18 && ExtensibleExtraBytes == 22 && sizeof(KSDATAFORMAT) == 64);

const PCPROPERTY_ITEM FilterProperties[] = {
    {&PrivateDriverPropSet, PrivateDriverPropEndpointInfo, KSPROPERTY_TYPE_GET, WaveCyclicMiniport::EndpointInfoHandler},
};
const PCAUTOMATION_TABLE FilterAutomation = {sizeof(PCPROPERTY_ITEM), 1, FilterProperties, sizeof(PCMETHOD_ITEM), 0,
                                             nullptr, sizeof(PCEVENT_ITEM), 0, nullptr, 0};

const KSPIN_INTERFACE StreamingInterface[] = {{{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

KSDATARANGE BridgeRange = {{64, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                            KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE BridgeRanges[] = {&BridgeRange};

const PCNODE_DESCRIPTOR RenderNode[] = {{0, nullptr, &KSNODETYPE_DAC, nullptr}};
const PCNODE_DESCRIPTOR CaptureNode[] = {{0, nullptr, &KSNODETYPE_ADC, nullptr}};

// Streaming pin 0, bridge pin 1, the converter node 0 between them.
const PCCONNECTION_DESCRIPTOR RenderConnections[] = {{PCFILTER_NODE, 0, 0, 1}, {0, 0, PCFILTER_NODE, 1}};
const PCCONNECTION_DESCRIPTOR CaptureConnections[] = {{PCFILTER_NODE, 1, 0, 1}, {0, 0, PCFILTER_NODE, 0}};

const GUID RenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, GUID_KLEnumPrivateInterface};
const GUID CaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, GUID_KLEnumPrivateInterface};

template <class T>
T* AllocatePaged(ULONG Count) {
    const SIZE_T bytes = sizeof(T) * Count;
    auto* block = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, WaveCyclicTag));
    if (block != nullptr) RtlZeroMemory(block, bytes);
    return block;
}

template <class T>
void FreePaged(T*& Block) {
    if (Block != nullptr) ExFreePoolWithTag(Block, WaveCyclicTag);
    Block = nullptr;
}

bool IsWildcard(const GUID& Id) { return IsEqualGUID(Id, GUID_NULL) != FALSE; }

// Does the engine list a record of this sub-format? A wildcard sub-format matches any record.
bool EngineCarriesSubFormat(StreamEngine* Engine, const GUID& SubFormat) {
    const ULONG count = Engine->GetFormatCount();
    for (ULONG index = 0; index < count; ++index) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(Engine->GetFormat(index, &record))) continue;
        if (IsWildcard(SubFormat) || IsEqualGUID(record.SubFormat, SubFormat)) return true;
    }
    return false;
}

ULONG Smaller(ULONG A, ULONG B) { return A < B ? A : B; }
ULONG Larger(ULONG A, ULONG B) { return A > B ? A : B; }

ULONG PositionCount(ULONG Mask) {
    ULONG count = 0;
    for (; Mask != 0; Mask &= Mask - 1) ++count;
    return count;
}

}  // namespace

NTSTATUS ValidateWaveDataFormat(const KSDATAFORMAT* DataFormat, StreamEngine* Engine, WAVEFORMATEXTENSIBLE* Wave) {
    if (DataFormat == nullptr || Engine == nullptr || Wave == nullptr) return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(Wave, sizeof(*Wave));
    const ULONG size = DataFormat->FormatSize;
    if (size < sizeof(KSDATAFORMAT) + WaveFormatPlainBytes) return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUID(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return STATUS_INVALID_PARAMETER;
    const bool attributes = (DataFormat->Flags & DataFormatAttributesFlag) != 0;
    ULONG offset = sizeof(KSDATAFORMAT);
    if (!attributes && (size == 82 || size == 104)) {
    } else if (!attributes && size == 90) {
        offset = 72;
    } else if (attributes && (size == 88 || size == 104)) {
    } else if (attributes && size == 96) {
        offset = 72;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(DataFormat);
    WAVEFORMATEX head;
    RtlCopyMemory(&head, bytes + offset, WaveFormatPlainBytes);
    // cbSize counts bytes after the plain record: they must lie inside the data format and inside
    // the extensible record, and an extensible format must carry all of its 22.
    const ULONG room = size - offset - WaveFormatPlainBytes;
    if (head.cbSize > room || head.cbSize > ExtensibleExtraBytes) return STATUS_INVALID_PARAMETER;
    if (head.wFormatTag == WAVE_FORMAT_EXTENSIBLE && head.cbSize < ExtensibleExtraBytes) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(Wave, bytes + offset, WaveFormatPlainBytes + head.cbSize);
    // The engine checks a copy, so a plain format stays as the client gave it.
    WAVEFORMATEXTENSIBLE probe = *Wave;
    if (!NT_SUCCESS(Engine->FindFormat(&probe.Format))) {
        // A device record with channel mask 0 assigns no speaker positions: any mask that names
        // one position per channel opens it, and the stream takes the record as the device has it.
        if (head.wFormatTag != WAVE_FORMAT_EXTENSIBLE || Wave->dwChannelMask == 0 ||
            PositionCount(Wave->dwChannelMask) != Wave->Format.nChannels) {
            return STATUS_INVALID_PARAMETER;
        }
        probe.dwChannelMask = 0;
        if (!NT_SUCCESS(Engine->FindFormat(&probe.Format))) return STATUS_INVALID_PARAMETER;
    }
    if (probe.Format.nBlockAlign == 0 || probe.Format.nAvgBytesPerSec == 0) return STATUS_INVALID_PARAMETER;
    *Wave = probe;
    return STATUS_SUCCESS;
}

NTSTATUS CreateWaveCyclicMiniport(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN UnknownOuter, POOL_TYPE PoolType,
                                  ULONG EngineIndex) {
    return NewKernelObject<WaveCyclicMiniport>(Unknown, UnknownOuter, PoolType, WaveCyclicTag, EngineIndex);
}

WaveCyclicMiniport::WaveCyclicMiniport(PUNKNOWN UnknownOuter, ULONG EngineIndex)
    : CKernelUnknown(UnknownOuter),
      m_EngineIndex(EngineIndex),
      m_Port(nullptr),
      m_Adapter(nullptr),
      m_Engine(nullptr),
      m_Ranges(nullptr),
      m_RangePointers(nullptr),
      m_RangeCount(0),
      m_Pins(nullptr),
      m_Filter(nullptr),
      m_Name(nullptr),
      m_PowerState(0),
      m_StreamPresent(0),
      m_StreamCount(0) {
    KeInitializeEvent(&m_NoStream, NotificationEvent, TRUE);
}

WaveCyclicMiniport::~WaveCyclicMiniport() {
    // A stream points at its miniport without a reference: the miniport outlives it.
    KeWaitForSingleObject(&m_NoStream, Executive, KernelMode, FALSE, nullptr);
    ReleaseAll();
}

NTSTATUS WaveCyclicMiniport::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<IMiniportWaveCyclic*>(this)},
        {IID_IMiniport, static_cast<IMiniportWaveCyclic*>(this)},
        {IID_IMiniportWaveCyclic, static_cast<IMiniportWaveCyclic*>(this)},
        {IID_SubdeviceInfo, static_cast<SubdeviceInfo*>(this)},
        {IID_IPowerNotify, static_cast<IPowerNotify*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

void WaveCyclicMiniport::ReleaseAll() {
    if (m_Port != nullptr) m_Port->Release();
    m_Port = nullptr;
    FreePaged(m_Filter);
    FreePaged(m_Pins);
    FreePaged(m_RangePointers);
    FreePaged(m_Ranges);
    m_RangeCount = 0;
    FreePaged(m_Name);
    if (m_Engine != nullptr) m_Engine->Release();
    m_Engine = nullptr;
    if (m_Adapter != nullptr) m_Adapter->Release();
    m_Adapter = nullptr;
}

NTSTATUS WaveCyclicMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC Port) {
    PAGED_CODE();
    if (Port == nullptr || UnknownAdapter == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Port != nullptr) return STATUS_UNSUCCESSFUL;  // initialised once
    m_Port = Port;
    m_Port->AddRef();
    m_PowerState = PowerDeviceD0;

    NTSTATUS status = UnknownAdapter->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&m_Adapter));
    if (NT_SUCCESS(status) && m_Adapter == nullptr) status = STATUS_UNSUCCESSFUL;
    StreamEngine* engine = nullptr;
    if (NT_SUCCESS(status)) status = m_Adapter->GetStreamEngine(m_EngineIndex, &engine);
    if (NT_SUCCESS(status) && engine == nullptr) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        m_Engine = engine;
        m_Engine->AddRef();
        status = BuildDataRanges();
    }
    if (NT_SUCCESS(status)) status = BuildDescriptor();
    if (NT_SUCCESS(status)) status = BuildName();
    if (!NT_SUCCESS(status)) ReleaseAll();
    return status;
}

NTSTATUS WaveCyclicMiniport::BuildDataRanges() {
    const ULONG records = m_Engine->GetFormatCount();
    if (records == 0) return WaveCyclicNoPcmStatus;
    m_Ranges = AllocatePaged<KSDATARANGE_AUDIO>(records);
    m_RangePointers = AllocatePaged<PKSDATARANGE>(records);
    if (m_Ranges == nullptr || m_RangePointers == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    for (ULONG index = 0; index < records; ++index) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(m_Engine->GetFormat(index, &record))) continue;
        if (IsEqualGUID(record.SubFormat, KSDATAFORMAT_SUBTYPE_DSD_RECORD)) continue;
        KSDATARANGE_AUDIO* range = nullptr;
        for (ULONG known = 0; known < m_RangeCount; ++known) {
            if (IsEqualGUID(m_Ranges[known].DataRange.SubFormat, record.SubFormat)) range = &m_Ranges[known];
        }
        const ULONG bits = record.Samples.wValidBitsPerSample;
        const ULONG rate = record.Format.nSamplesPerSec;
        if (range == nullptr) {
            range = &m_Ranges[m_RangeCount++];
            range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
            range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
            range->DataRange.SubFormat = record.SubFormat;
            range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
            range->MaximumChannels = record.Format.nChannels;
            range->MinimumBitsPerSample = range->MaximumBitsPerSample = bits;
            range->MinimumSampleFrequency = range->MaximumSampleFrequency = rate;
            continue;
        }
        if (record.Format.nChannels > range->MaximumChannels) range->MaximumChannels = record.Format.nChannels;
        if (bits < range->MinimumBitsPerSample) range->MinimumBitsPerSample = bits;
        if (bits > range->MaximumBitsPerSample) range->MaximumBitsPerSample = bits;
        if (rate < range->MinimumSampleFrequency) range->MinimumSampleFrequency = rate;
        if (rate > range->MaximumSampleFrequency) range->MaximumSampleFrequency = rate;
    }
    // The PCM range leads: the audio stack tries ranges in order.
    ULONG pcm = m_RangeCount;
    for (ULONG index = 0; index < m_RangeCount; ++index) {
        if (IsEqualGUID(m_Ranges[index].DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) pcm = index;
    }
    // Without PCM the audio stack could not use the filter: the engine gets none.
    if (pcm == m_RangeCount) return WaveCyclicNoPcmStatus;
    if (pcm != 0) {
        KSDATARANGE_AUDIO first = m_Ranges[0];
        m_Ranges[0] = m_Ranges[pcm];
        m_Ranges[pcm] = first;
    }
    for (ULONG index = 0; index < m_RangeCount; ++index) m_RangePointers[index] = &m_Ranges[index].DataRange;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::BuildDescriptor() {
    const bool render = m_Engine->GetDirection() == StreamDirectionRender;
    m_Pins = AllocatePaged<PCPIN_DESCRIPTOR>(2);
    m_Filter = AllocatePaged<PCFILTER_DESCRIPTOR>(1);
    if (m_Pins == nullptr || m_Filter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    PCPIN_DESCRIPTOR& streaming = m_Pins[0];
    streaming.MaxGlobalInstanceCount = 1;
    streaming.MaxFilterInstanceCount = 1;
    streaming.MinFilterInstanceCount = 1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = StreamingInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_RangeCount;
    streaming.KsPinDescriptor.DataRanges = m_RangePointers;
    streaming.KsPinDescriptor.DataFlow = render ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    PCPIN_DESCRIPTOR& bridge = m_Pins[1];
    bridge.KsPinDescriptor.DataRangesCount = 1;
    bridge.KsPinDescriptor.DataRanges = BridgeRanges;
    bridge.KsPinDescriptor.DataFlow = render ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    PCFILTER_DESCRIPTOR& filter = *m_Filter;
    filter.AutomationTable = &FilterAutomation;
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = 2;
    filter.Pins = m_Pins;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    filter.NodeCount = 1;
    filter.Nodes = render ? RenderNode : CaptureNode;
    filter.ConnectionCount = 2;
    filter.Connections = render ? RenderConnections : CaptureConnections;
    filter.CategoryCount = 3;
    filter.Categories = render ? RenderCategories : CaptureCategories;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::BuildName() {
    WCHAR engineName[StreamEngineNameChars] = {};
    NTSTATUS status = m_Engine->GetName(engineName);
    if (!NT_SUCCESS(status)) return status;
    m_Name = AllocatePaged<WCHAR>(WaveCyclicNameChars + 1);
    if (m_Name == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    static const WCHAR Suffix[] = KV_WIDE("Wave");
    ULONG length = 0;
    for (ULONG index = 0; index + 1 < StreamEngineNameChars && engineName[index] != 0; ++index) {
        if (length == WaveCyclicNameChars) return STATUS_INVALID_PARAMETER;
        m_Name[length++] = engineName[index];
    }
    for (ULONG index = 0; Suffix[index] != 0; ++index) {
        if (length == WaveCyclicNameChars) return STATUS_INVALID_PARAMETER;
        m_Name[length++] = Suffix[index];
    }
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
    if (Description == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Filter == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    *Description = m_Filter;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::CompleteFromEngine(PWAVEFORMATEXTENSIBLE Wave, const FormatBounds& Bounds) {
    const ULONG count = m_Engine->GetFormatCount();
    // The record with the proposed channels, rate and bits when there is one; otherwise the best
    // record inside the bounds (most channels, then the highest rate, then the most bits): the
    // largest of each need not be one record, and the client should still get a format.
    bool found = false;
    WAVEFORMATEXTENSIBLE best = {};
    for (ULONG index = 0; index < count; ++index) {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(m_Engine->GetFormat(index, &record))) continue;
        if (!IsEqualGUID(record.SubFormat, Wave->SubFormat)) continue;
        if (record.Format.nChannels == Wave->Format.nChannels &&
            record.Format.nSamplesPerSec == Wave->Format.nSamplesPerSec &&
            record.Samples.wValidBitsPerSample == Wave->Samples.wValidBitsPerSample) {
            *Wave = record;
            return STATUS_SUCCESS;
        }
        const ULONG bits = record.Samples.wValidBitsPerSample;
        const ULONG rate = record.Format.nSamplesPerSec;
        if (record.Format.nChannels == 0 || record.Format.nChannels > Bounds.MaximumChannels || rate < Bounds.MinimumRate ||
            rate > Bounds.MaximumRate || bits < Bounds.MinimumBits || bits > Bounds.MaximumBits) {
            continue;
        }
        const bool better = !found || record.Format.nChannels > best.Format.nChannels ||
                            (record.Format.nChannels == best.Format.nChannels &&
                             (rate > best.Format.nSamplesPerSec ||
                              (rate == best.Format.nSamplesPerSec && bits > best.Samples.wValidBitsPerSample)));
        if (better) best = record;
        found = true;
    }
    if (!found) return STATUS_NO_MATCH;
    *Wave = best;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::DataRangeIntersection(ULONG, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                   ULONG OutputBufferLength, PVOID ResultantFormat,
                                                   PULONG ResultantFormatLength) {
    PAGED_CODE();
    if (DataRange == nullptr || MatchingDataRange == nullptr || ResultantFormatLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_Engine == nullptr) return STATUS_NO_MATCH;
    if (!IsEqualGUID(DataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return STATUS_NO_MATCH;
    if (!EngineCarriesSubFormat(m_Engine, DataRange->SubFormat)) return STATUS_NO_MATCH;
    if (IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) return WaveCyclicNoPcmStatus;
    const bool wildcard = IsWildcard(DataRange->Specifier);
    // Only an audio range of ours can be matched against.
    if (MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
    const auto* own = reinterpret_cast<const KSDATARANGE_AUDIO*>(MatchingDataRange);
    // A client that names a sub-format gets that one only from a range that carries it.
    if (!IsWildcard(DataRange->SubFormat) && !IsEqualGUID(DataRange->SubFormat, own->DataRange.SubFormat)) {
        return STATUS_NO_MATCH;
    }

    if (OutputBufferLength == 0) {
        *ResultantFormatLength = WaveCyclicResultBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < WaveCyclicResultBytes) return STATUS_BUFFER_TOO_SMALL;

    ULONG channels = own->MaximumChannels;
    ULONG rate = own->MaximumSampleFrequency;
    ULONG bits = own->MaximumBitsPerSample;
    FormatBounds bounds = {channels, own->MinimumSampleFrequency, rate, own->MinimumBitsPerSample, bits};
    if (!wildcard) {
        if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_INVALID_PARAMETER;
        const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(DataRange);
        if (client->MaximumSampleFrequency < own->MinimumSampleFrequency ||
            client->MinimumSampleFrequency > own->MaximumSampleFrequency ||
            client->MaximumBitsPerSample < own->MinimumBitsPerSample ||
            client->MinimumBitsPerSample > own->MaximumBitsPerSample) {
            return STATUS_NO_MATCH;
        }
        channels = Smaller(channels, client->MaximumChannels);
        rate = Smaller(rate, client->MaximumSampleFrequency);
        bits = Smaller(bits, client->MaximumBitsPerSample);
        bounds = {channels, Larger(own->MinimumSampleFrequency, client->MinimumSampleFrequency), rate,
                  Larger(own->MinimumBitsPerSample, client->MinimumBitsPerSample), bits};
    }
    if (ResultantFormat == nullptr) return STATUS_INVALID_PARAMETER;

    // The head of our own range (wildcard) or of the client's, the sub-format of our range: a
    // float range never yields a PCM header.
    KSDATAFORMAT head = wildcard ? own->DataRange : *DataRange;
    head.SubFormat = own->DataRange.SubFormat;
    head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE wave = {};
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = static_cast<WORD>(channels);
    wave.Format.nSamplesPerSec = rate;
    wave.Format.wBitsPerSample = static_cast<WORD>(bits);
    wave.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * rate;
    wave.Format.cbSize = ExtensibleExtraBytes;
    wave.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
    wave.SubFormat = own->DataRange.SubFormat;
    NTSTATUS status = CompleteFromEngine(&wave, bounds);
    if (!NT_SUCCESS(status)) return status;

    head.FormatSize = WaveCyclicResultBytes;
    head.SampleSize = wildcard ? 0 : wave.Format.nBlockAlign;
    auto* result = static_cast<PUCHAR>(ResultantFormat);
    RtlCopyMemory(result, &head, sizeof(head));
    RtlCopyMemory(result + sizeof(head), &wave, sizeof(wave));
    *ResultantFormatLength = WaveCyclicResultBytes;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE, ULONG Pin,
                                       BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                                       PSERVICEGROUP* ServiceGroup) {
    PAGED_CODE();
    if (Stream == nullptr || DmaChannel == nullptr || ServiceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    *Stream = nullptr;
    *DmaChannel = nullptr;
    *ServiceGroup = nullptr;
    if (m_Engine == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (HasStream()) return STATUS_INSUFFICIENT_RESOURCES;
    // A device that is gone takes no new stream: RUN could only fail later.
    PDEVICE_OBJECT device = m_Adapter != nullptr ? m_Adapter->GetDeviceObject() : nullptr;
    if (device != nullptr && GetAdapterExtension(device)->SurpriseRemoved) return STATUS_DEVICE_REMOVED;
    WAVEFORMATEXTENSIBLE wave;
    NTSTATUS status = ValidateWaveDataFormat(DataFormat, m_Engine, &wave);
    if (!NT_SUCCESS(status)) return status;

    auto* stream = new (NonPagedPoolNx, WaveCyclicTag) WaveCyclicStream(OuterUnknown);
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    stream->NonDelegatingAddRef();  // the construction reference
    status = stream->Init(this, Pin, Capture, DataFormat, m_Engine, ServiceGroup);
    if (NT_SUCCESS(status)) {
        *Stream = static_cast<IMiniportWaveCyclicStream*>(stream);
        (*Stream)->AddRef();
        *DmaChannel = static_cast<IDmaChannel*>(stream);
        (*DmaChannel)->AddRef();
    }
    stream->NonDelegatingRelease();
    return status;
}

void WaveCyclicMiniport::StreamCreated() {
    InterlockedExchange(&m_StreamPresent, 1);
    if (InterlockedIncrement(&m_StreamCount) == 1) KeClearEvent(&m_NoStream);
}

void WaveCyclicMiniport::StreamDestroyed() {
    InterlockedExchange(&m_StreamPresent, 0);
    if (InterlockedDecrement(&m_StreamCount) == 0) KeSetEvent(&m_NoStream, IO_NO_INCREMENT, FALSE);
}

NTSTATUS WaveCyclicMiniport::MapNodeToPin(PULONG Value) {
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Engine != nullptr) m_Engine->FindStreamTerminal(Value);
    return STATUS_SUCCESS;
}

void WaveCyclicMiniport::PowerChangeNotify(POWER_STATE NewState) {
    const ULONG state = NewState.DeviceState;
    if (state != m_PowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3) m_PowerState = state;
}

NTSTATUS WaveCyclicMiniport::GetName(PWSTR* Name) {
    if (Name == nullptr) return STATUS_INVALID_PARAMETER;
    *Name = m_Name;
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicMiniport::EndpointInfoHandler(PPCPROPERTY_REQUEST Request) {
    if (Request == nullptr || Request->PropertyItem == nullptr || Request->MajorTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUID(*Request->PropertyItem->Set, PrivateDriverPropSet) ||
        Request->PropertyItem->Id != PrivateDriverPropEndpointInfo) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Request->Value == nullptr || Request->ValueSize < sizeof(EndpointInfo)) return STATUS_INVALID_DEVICE_REQUEST;
    InterfaceRef<IMiniportWaveCyclic> miniport;
    NTSTATUS status = Request->MajorTarget->QueryInterface(IID_IMiniportWaveCyclic, miniport.ReceiveVoid());
    if (!NT_SUCCESS(status) || !miniport) return STATUS_INVALID_DEVICE_REQUEST;
    auto* self = static_cast<WaveCyclicMiniport*>(miniport.Get());
    if (self->m_Adapter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    EndpointInfo info = {};
    status = self->m_Adapter->GetEndpointInfo(self->m_EngineIndex, &info);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(Request->Value, &info, sizeof(info));
    Request->ValueSize = sizeof(info);
    return STATUS_SUCCESS;
}
