// Uac1AudioHal::BuildStreams: every AudioStreaming interface becomes one USB stream with a format
// record per alternate setting and sampling rate, and the path of controls its audio passes. A
// path of just two connectors gets a software mute; on systems that cannot set a capture selector
// of their own, capture paths get a selector control. Last, every control downstream of a
// terminal-type control listens to its type.
#include "driver/engine/controls/SelectorControl.h"
#include "driver/engine/controls/SwitchControls.h"
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/engine/hal/ClassDescriptors.h"
#include "driver/engine/hal/StreamPath.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac1/Uac1Streams.h"
#include "driver/engine/uac1/Uac1Terminals.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr UCHAR InterfaceDescriptorType = 4;
constexpr UCHAR EndpointDescriptorType = 5;
constexpr UCHAR ClassEndpointType = 0x25;
constexpr ULONG InterfaceDescriptorBytes = 9;
constexpr UCHAR AudioInterfaceClassCode = 1;
constexpr UCHAR StreamingProtocol = 0;
constexpr UCHAR AsGeneralSubtype = 1;
constexpr UCHAR FormatTypeSubtype = 2;

// AS_GENERAL fields.
constexpr ULONG TerminalLinkOffset = 3;
constexpr ULONG FormatTagOffset = 5;
// FORMAT_TYPE fields.
constexpr ULONG FormatTypeOffset = 3;
constexpr ULONG ChannelsOffset = 4;
constexpr ULONG SubframeOffset = 5;
constexpr ULONG ResolutionOffset = 6;
constexpr ULONG FrequencyTypeOffset = 7;
constexpr ULONG FrequenciesOffset = 8;
constexpr UCHAR FormatTypeI = 1;
constexpr UCHAR FormatTypeIII = 3;
// wFormatTag bits of the TYPE_III formats that carry IEC 61937 data.
constexpr USHORT Iec61937TagMask = 0x2001;

// The rates a continuous range may offer, in order.
constexpr ULONG StandardRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};

// The capture-selector rule: systems from this version set the capture source themselves.
constexpr ULONG SelectorFreeDdiVersion = 0x06000000;

constexpr USHORT PcmTag = 0x0001;
constexpr USHORT Iec61937DolbyDigitalTag = 0x0092;
constexpr USHORT Iec61937WmaProTag = 0x0164;

ULONG ReadLe24(const UCHAR* Bytes) { return Bytes[0] | Bytes[1] << 8 | Bytes[2] << 16; }

ULONG ChannelMaskFor(ULONG Direction, ULONG Channels) {
    switch (Channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 4: return Direction == StreamDirectionRender ? 0x33 : 0;
    case 6: return Direction == StreamDirectionRender ? 0x3F : 0;
    case 8: return Direction == StreamDirectionRender ? 0x63F : 0;
    default: return 0;
    }
}

// What the walk of one AudioStreaming interface keeps.
struct InterfaceWalk {
    ULONG Number;
    UCHAR AlternateSetting;
    USHORT FormatTag;
    UsbAudioStream* Stream;  // the walk's own reference, or null
};

}  // namespace

NTSTATUS Uac1AudioHal::BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstStreaming,
                                    ULONG Length) {
    PAGED_CODE();
    if (Configuration == nullptr || FirstStreaming == nullptr || Length < InterfaceDescriptorBytes ||
        FirstStreaming->bLength < InterfaceDescriptorBytes || FirstStreaming->bInterfaceClass != AudioInterfaceClassCode ||
        FirstStreaming->bInterfaceSubClass != AudioStreamingSubclassCode ||
        FirstStreaming->bInterfaceProtocol != StreamingProtocol) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUCHAR begin = reinterpret_cast<PUCHAR>(Configuration);
    const PUCHAR end = begin + Configuration->wTotalLength;
    PUCHAR position = reinterpret_cast<PUCHAR>(FirstStreaming);
    if (position < begin || position >= end) return STATUS_INVALID_PARAMETER;

    while (position != nullptr) {
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
        if (interface->bLength < InterfaceDescriptorBytes) return STATUS_INVALID_PARAMETER;
        InterfaceWalk walk{.Number = interface->bInterfaceNumber,
                           .AlternateSetting = interface->bAlternateSetting,
                           .FormatTag = 0,
                           .Stream = nullptr};
        WalkStreamReference reference(walk.Stream);
        DescriptorIterator descriptors(position, static_cast<ULONG>(end - position));
        descriptors.Next();  // the interface descriptor itself
        PUCHAR stop = nullptr;
        for (PUCHAR d = descriptors.Next(); d != nullptr; d = descriptors.Next()) {
            const UCHAR type = d[1];
            if (type != InterfaceDescriptorType && type != EndpointDescriptorType && type != AudioClassInterfaceType &&
                type != ClassEndpointType) {
                stop = d;
                break;
            }
            if (type == InterfaceDescriptorType) {
                if (d[0] < InterfaceDescriptorBytes) return STATUS_INVALID_PARAMETER;
                auto* next = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
                if (next->bInterfaceNumber != walk.Number) {
                    stop = d;
                    break;
                }
                walk.AlternateSetting = next->bAlternateSetting;
                continue;
            }
            if (type != AudioClassInterfaceType || d[0] < 3) continue;
            const UCHAR subtype = d[2];
            if (subtype != AsGeneralSubtype && subtype != FormatTypeSubtype) continue;
            const ClassDescriptorRule* rule = FindClassDescriptorRule(AudioClassRelease1, AudioStreamingSubclassCode, subtype);
            if (rule == nullptr || !ClassDescriptorFits(*rule, d)) {
                DbgPrint("Uac1AudioHal::BuildStreams: subtype %u with bLength %u is too short\n", subtype, d[0]);
                return STATUS_INVALID_PARAMETER;
            }
            NTSTATUS status = STATUS_SUCCESS;
            if (subtype == AsGeneralSubtype) {
                if (walk.Stream == nullptr) status = CreateStream(walk.Number, d[TerminalLinkOffset], &walk.Stream);
                walk.FormatTag = ReadLe16(d + FormatTagOffset);
            } else {
                status = AddFormatType(walk.Stream, d, walk.FormatTag, walk.AlternateSetting);
            }
            if (!NT_SUCCESS(status)) return status;
        }
        if (stop == nullptr && descriptors.Malformed()) {
            DbgPrint("Uac1AudioHal::BuildStreams: descriptor length runs past the configuration\n");
            return STATUS_UNSUCCESSFUL;
        }
        if (walk.Stream != nullptr) {
            NTSTATUS status = AdjustStreamPath(walk.Stream);
            if (NT_SUCCESS(status)) status = walk.Stream->AllocateWorkBuffers();
            if (!NT_SUCCESS(status)) return status;
        }
        position = nullptr;
        if (stop != nullptr) {
            PUSB_INTERFACE_DESCRIPTOR next =
                USBD_ParseConfigurationDescriptorEx(Configuration, stop, -1, -1, AudioInterfaceClassCode,
                                                    AudioStreamingSubclassCode, -1);
            position = reinterpret_cast<PUCHAR>(next);
        }
    }
    const NTSTATUS status = RegisterTerminalTypeListeners();
    if (!NT_SUCCESS(status) || WalkPolicy().AfterStreams == nullptr) return status;
    return WalkPolicy().AfterStreams(*this);
}

NTSTATUS Uac1AudioHal::CreateStream(ULONG Interface, ULONG TerminalLink, UsbAudioStream** Stream) {
    PAGED_CODE();
    UnitNode* terminal = nullptr;
    NTSTATUS status = FindUnit(TerminalLink, &terminal);
    if (!NT_SUCCESS(status)) return status;
    ULONG direction;
    if (terminal->GetNodeKind() == Uac1InputTerminalSubtype) {
        direction = StreamDirectionRender;
    } else if (terminal->GetNodeKind() == Uac1OutputTerminalSubtype) {
        direction = StreamDirectionCapture;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG terminalControl = 0;
    status = terminal->GetOutputControlId(&terminalControl);
    if (!NT_SUCCESS(status)) return status;

    const Uac1WalkPolicy& policy = WalkPolicy();
    UsbAudioStream* stream = nullptr;
    if (direction == StreamDirectionRender && policy.NewRenderStream != nullptr) {
        stream = policy.NewRenderStream(*this, Interface, terminalControl);
    } else {
        stream = direction == StreamDirectionRender
                     ? static_cast<UsbAudioStream*>(new (ExDefaultNonPagedPoolType, policy.PoolTag)
                                                        Uac1PlaybackStream(nullptr, Interface, terminalControl))
                     : static_cast<UsbAudioStream*>(new (ExDefaultNonPagedPoolType, policy.PoolTag)
                                                        Uac1CaptureStream(nullptr, Interface, terminalControl));
        if (stream != nullptr) stream->NonDelegatingAddRef();
    }
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *Stream = stream;  // the walk's reference
    status = direction == StreamDirectionRender && policy.StartRenderWorker != nullptr
                 ? policy.StartRenderWorker(*this, stream)
                 : stream->StartWorker(direction, static_cast<AdapterCommon*>(this));
    if (NT_SUCCESS(status)) status = AddStreamEngine(stream);
    if (NT_SUCCESS(status)) status = AttachStreamPath(*this, *stream, terminalControl);
    return status;
}

NTSTATUS Uac1AudioHal::AddFormatType(UsbAudioStream* Stream, const UCHAR* Descriptor, USHORT FormatTag,
                                     UCHAR AlternateSetting) {
    PAGED_CODE();
    const UCHAR formatType = Descriptor[FormatTypeOffset];
    if (Stream == nullptr || (formatType != FormatTypeI && formatType != FormatTypeIII)) return STATUS_INVALID_PARAMETER;
    const ULONG channels = Descriptor[ChannelsOffset];
    const ULONG subframe = Descriptor[SubframeOffset];
    // Without channels or sample bytes there is no frame to move.
    if (channels == 0 || subframe == 0) return STATUS_INVALID_PARAMETER;

    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = static_cast<WORD>(channels);
    format.Format.wBitsPerSample = static_cast<WORD>(8 * subframe);
    format.Format.nBlockAlign = static_cast<WORD>(channels * subframe);
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = Descriptor[ResolutionOffset];
    const ULONG direction = Stream->GetDirection();
    format.dwChannelMask = ChannelMaskFor(direction, channels);
    format.SubFormat = AudioSubFormat(PcmTag);
    if (direction == StreamDirectionRender && WalkPolicy().ShapeRenderFormat != nullptr) {
        WalkPolicy().ShapeRenderFormat(&format);
    }
    NTSTATUS status = AddAltSettingFormats(Stream, Descriptor, FormatTag, AlternateSetting, format);
    if (NT_SUCCESS(status) && direction == StreamDirectionCapture && channels < 4) {
        format.dwChannelMask = 0;
        status = AddAltSettingFormats(Stream, Descriptor, FormatTag, AlternateSetting, format);
    }
    return status;
}

NTSTATUS Uac1AudioHal::AddAltSettingFormats(UsbAudioStream* Stream, const UCHAR* FormatType, USHORT FormatTag,
                                            UCHAR AlternateSetting, WAVEFORMATEXTENSIBLE Format) {
    PAGED_CODE();
    if (Stream == nullptr || FormatType == nullptr) return STATUS_INVALID_PARAMETER;
    // The caller checked the descriptor's length for its frequency list.
    const ULONG discrete = FormatType[FrequencyTypeOffset];
    ULONG rates[sizeof(StandardRates) / sizeof(StandardRates[0])];
    ULONG rateCount = 0;
    if (discrete == 0) {
        const ULONG lower = ReadLe24(FormatType + FrequenciesOffset);
        const ULONG upper = ReadLe24(FormatType + FrequenciesOffset + 3);
        // A range offers the standard rates inside it, and nothing outside.
        for (ULONG rate : StandardRates) {
            if (rate >= lower && rate <= upper) rates[rateCount++] = rate;
        }
        if (rateCount == 0) return STATUS_INVALID_PARAMETER;
    }
    const ULONG count = discrete == 0 ? rateCount : discrete;
    const UCHAR formatType = FormatType[FormatTypeOffset];
    for (ULONG i = 0; i < count; ++i) {
        const ULONG rate = discrete == 0 ? rates[i] : ReadLe24(FormatType + FrequenciesOffset + 3 * i);
        Format.Format.nSamplesPerSec = rate;
        Format.Format.nAvgBytesPerSec = Format.Format.nBlockAlign * rate;
        NTSTATUS status;
        if (formatType == FormatTypeI) {
            Format.SubFormat = AudioSubFormat(PcmTag);
            status = Stream->AddAltSettingFormat(&Format, AlternateSetting);
        } else if ((FormatTag & Iec61937TagMask) != 0) {
            Format.SubFormat = AudioSubFormat(Iec61937DolbyDigitalTag);
            status = Stream->AddAltSettingFormat(&Format, AlternateSetting);
            if (NT_SUCCESS(status)) {
                Format.SubFormat = AudioSubFormat(Iec61937WmaProTag);
                status = Stream->AddAltSettingFormat(&Format, AlternateSetting);
            }
        } else {
            status = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::ConnectOutputTerminalTo(StreamEngine* Stream, ULONG SourceId) {
    PAGED_CODE();
    AudioNode* first = nullptr;
    NTSTATUS status = Stream->GetNode(0, &first);
    if (!NT_SUCCESS(status)) return status;
    const ULONG connectorId = first->GetId();
    PointerListNode* position = m_pUnitList != nullptr ? m_pUnitList->GetHeadPosition() : nullptr;
    PVOID data = nullptr;
    while (m_pUnitList != nullptr && m_pUnitList->GetNext(&position, &data)) {
        auto* unit = static_cast<UnitNode*>(data);
        ULONG outputId = 0;
        if (unit->GetNodeKind() == Uac1OutputTerminalSubtype && NT_SUCCESS(unit->GetOutputControlId(&outputId)) &&
            outputId == connectorId) {
            return unit->SetInputSources(1, &SourceId);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::AdjustStreamPath(StreamEngine* Stream) {
    PAGED_CODE();
    const ULONG count = Stream->GetNodeCount();
    if (count == 2) return InsertSoftwareMute(Stream);
    if (Stream->GetDirection() != StreamDirectionCapture) return STATUS_SUCCESS;

    ULONG connectors = 0;
    bool selector = false;
    AudioNode* output = nullptr;
    for (ULONG i = 0; i < count; ++i) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(i, &node))) continue;
        const ULONG kind = node->GetNodeKind();
        if (kind == NodeKindCode(NodeKind::InputConnector) || kind == NodeKindCode(NodeKind::OutputConnector)) ++connectors;
        if (kind == NodeKindCode(NodeKind::OutputConnector) && output == nullptr) output = node;
        if (kind == NodeKindCode(NodeKind::Selector)) selector = true;
    }
    if (selector || connectors != 2 || output == nullptr) return STATUS_SUCCESS;
    ULONG source = 0;
    ULONG sources = 1;
    if (!NT_SUCCESS(output->GetSources(&sources, &source)) || sources == 0) return STATUS_SUCCESS;
    if (RtlIsNtDdiVersionAvailable(SelectorFreeDdiVersion)) return STATUS_SUCCESS;
    const ULONG selectorId = GetNodeCount();
    NTSTATUS status = AddSelectorControl(selectorId, 1, &source, Stream);
    if (NT_SUCCESS(status)) status = ConnectOutputTerminalTo(Stream, selectorId);
    return status;
}

NTSTATUS Uac1AudioHal::InsertSoftwareMute(StreamEngine* Stream) {
    PAGED_CODE();
    AudioNode* input = nullptr;
    for (ULONG i = 0; i < 2 && input == nullptr; ++i) {
        AudioNode* node = nullptr;
        if (NT_SUCCESS(Stream->GetNode(i, &node)) && node->GetNodeKind() == NodeKindCode(NodeKind::InputConnector)) {
            input = node;
        }
    }
    if (input == nullptr) return STATUS_SUCCESS;
    const ULONG muteId = GetNodeCount();
    NTSTATUS status = AddMuteStage(muteId, input->GetId(), 1, Stream);
    if (!NT_SUCCESS(status)) return status;
    ULONG newest = muteId;
    if (Stream->GetDirection() == StreamDirectionCapture && !RtlIsNtDdiVersionAvailable(SelectorFreeDdiVersion)) {
        status = AddSelectorControl(muteId + 1, 1, &muteId, Stream);
        if (!NT_SUCCESS(status)) return status;
        newest = muteId + 1;
    }
    return ConnectOutputTerminalTo(Stream, newest);
}

NTSTATUS Uac1AudioHal::AddMuteStage(ULONG Id, ULONG SourceId, ULONG ChannelCount, StreamEngine* Stream) {
    PAGED_CODE();
    auto* mute = new (ExDefaultNonPagedPoolType, m_PoolTag) SoftwareMuteControl(nullptr, Id);
    if (mute == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    mute->NonDelegatingAddRef();
    NTSTATUS status = mute->Init(SourceId, ChannelCount);
    if (NT_SUCCESS(status)) status = AddNode(mute);
    // The path takes the mute into the engine's processing list as well (it is a processing
    // stage), so the data path runs it once.
    if (NT_SUCCESS(status)) status = Stream->AddPathNode(mute);
    mute->NonDelegatingRelease();
    return status;
}

NTSTATUS Uac1AudioHal::AddSelectorControl(ULONG Id, ULONG SourceCount, const ULONG* SourceIds, StreamEngine* Stream) {
    PAGED_CODE();
    auto* selector = new (ExDefaultNonPagedPoolType, m_PoolTag) SelectorControl(nullptr, Id);
    if (selector == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    selector->NonDelegatingAddRef();
    NTSTATUS status = selector->SetSources(SourceCount, SourceIds);
    if (NT_SUCCESS(status)) status = AddNode(selector);
    if (NT_SUCCESS(status)) status = Stream->AddPathNode(selector);
    selector->NonDelegatingRelease();
    return status;
}

NTSTATUS Uac1AudioHal::RegisterTerminalTypeListeners() {
    PAGED_CODE();
    const ULONG nodes = GetNodeCount();
    for (ULONG i = 0; i < nodes; ++i) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(GetNode(i, &node)) || node->GetNodeKind() != NodeKindCode(NodeKind::TerminalType)) continue;
        TerminalTypeControl* typeControl = nullptr;
        if (!NT_SUCCESS(node->QueryInterface(IID_TerminalTypeControl, reinterpret_cast<PVOID*>(&typeControl))) ||
            typeControl == nullptr) {
            continue;
        }
        ULONG type = 0;
        typeControl->GetType(&type);
        ULONG id = 0;
        ULONG count = 1;
        bool more = node->GetSourceCount() != 0 && NT_SUCCESS(node->GetSources(&count, &id)) && count == 1;
        // Upstream through single-source controls; each control is visited once, so a cycle
        // ends the walk.
        UnitIdSet visitedLow;
        ULONG steps = 0;
        while (more && steps++ < nodes) {
            AudioNode* upstream = nullptr;
            if (!NT_SUCCESS(FindNode(id, &upstream)) || upstream->GetSourceCount() != 1) break;
            if (id <= 255 && !visitedLow.Insert(id)) break;
            TerminalTypeListener* listener = nullptr;
            if (NT_SUCCESS(upstream->QueryInterface(IID_TerminalTypeListener, reinterpret_cast<PVOID*>(&listener))) &&
                listener != nullptr) {
                listener->OnTerminalTypeChanged(type, nullptr);
                typeControl->AddListener(listener);
                listener->Release();
            }
            count = 1;
            more = NT_SUCCESS(upstream->GetSources(&count, &id)) && count == 1;
        }
        typeControl->Release();
    }
    return STATUS_SUCCESS;
}
