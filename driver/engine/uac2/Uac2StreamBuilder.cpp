#include "driver/engine/uac2/Uac2StreamBuilder.h"

#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/hal/ClassDescriptors.h"
#include "driver/engine/hal/StreamPath.h"

namespace {

constexpr UCHAR InterfaceDescriptorType = 4;
constexpr UCHAR EndpointDescriptorType = 5;
constexpr UCHAR ClassEndpointType = 0x25;
constexpr ULONG InterfaceDescriptorBytes = 9;
constexpr UCHAR AudioInterfaceClassCode = 1;
constexpr UCHAR Release2Protocol = 0x20;
constexpr UCHAR AsGeneralSubtype = 1;
constexpr UCHAR FormatTypeSubtype = 2;
constexpr UCHAR NoFormatType = 0xFF;

// AS_GENERAL fields.
constexpr ULONG TerminalLinkOffset = 3;
constexpr ULONG AsControlsOffset = 4;
// bmControls bits 3..2: the valid-alternate-settings control.
constexpr UCHAR ValidAltSettingsControlBits = 0x0C;
constexpr ULONG FormatTypeOffset = 5;
constexpr ULONG FormatsOffset = 6;
constexpr ULONG ChannelsOffset = 10;
constexpr ULONG ChannelConfigOffset = 11;
// FORMAT_TYPE fields.
constexpr ULONG SubslotOffset = 4;
constexpr ULONG ResolutionOffset = 5;

constexpr UCHAR FormatTypeI = 1;
constexpr UCHAR FormatTypeIII = 3;
constexpr ULONG PcmFormatBit = 0x1;
constexpr ULONG RawDataFormatBits = 0x80008000;
constexpr ULONG Iec61937Ac3Bit = 0x1;
constexpr ULONG Iec61937WmaBit = 0x1000;

constexpr USHORT PcmTag = 0x0001;
constexpr USHORT Iec61937DolbyDigitalTag = 0x0092;
constexpr USHORT Iec61937WmaProTag = 0x0164;
constexpr USHORT DsdTag = 0xA5E7;

ULONG ReadLe32(const UCHAR* Bytes) {
    return Bytes[0] | Bytes[1] << 8 | Bytes[2] << 16 | static_cast<ULONG>(Bytes[3]) << 24;
}

// What the walk of one AudioStreaming interface keeps.
struct InterfaceWalk {
    ULONG Number;
    UCHAR AlternateSetting;
    UCHAR FormatType;  // of the latest AS_GENERAL; NoFormatType before the first
    ULONG Formats;
    UCHAR Channels;
    ULONG ChannelConfig;
    ULONG ClockControlId;
    BOOLEAN AskValidity;     // the interface has the valid-alternate-settings control
    UsbAudioStream* Stream;  // the walk's own reference, or null
};

NTSTATUS CreateStream(Uac2StreamSite& Site, InterfaceWalk& Walk, ULONG TerminalLink) {
    PAGED_CODE();
    ULONG direction = 0;
    ULONG terminalControl = 0;
    NTSTATUS status = Site.ResolveTerminal(TerminalLink, &direction, &terminalControl, &Walk.ClockControlId);
    if (!NT_SUCCESS(status)) return status;
    if (direction != StreamDirectionRender && direction != StreamDirectionCapture) return STATUS_INVALID_PARAMETER;
    UsbAudioStream* stream =
        direction == StreamDirectionRender
            ? static_cast<UsbAudioStream*>(new (ExDefaultNonPagedPoolType, Uac2StreamTag) Uac2PlaybackStream(
                  nullptr, Walk.Number, terminalControl, Walk.ClockControlId))
            : static_cast<UsbAudioStream*>(new (ExDefaultNonPagedPoolType, Uac2StreamTag) Uac2CaptureStream(
                  nullptr, Walk.Number, terminalControl, Walk.ClockControlId));
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    stream->NonDelegatingAddRef();
    Walk.Stream = stream;  // the walk's reference
    AudioHal& hal = Site.StreamHal();
    status = stream->StartWorker(direction, static_cast<AdapterCommon*>(&hal));
    if (NT_SUCCESS(status)) status = hal.AddStreamEngine(stream);
    if (NT_SUCCESS(status)) status = AttachStreamPath(hal, *stream, terminalControl);
    return status;
}

NTSTATUS AddFormatType(AudioHal& Hal, const InterfaceWalk& Walk, const UCHAR* Descriptor) {
    PAGED_CODE();
    if (Walk.Stream == nullptr || (Walk.FormatType != FormatTypeI && Walk.FormatType != FormatTypeIII)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG subslot = Descriptor[SubslotOffset];
    // Without channels or sample bytes there is no frame to move.
    if (Walk.Channels == 0 || subslot == 0) return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = Walk.Channels;
    format.Format.wBitsPerSample = static_cast<WORD>(8 * subslot);
    format.Format.nBlockAlign = static_cast<WORD>(Walk.Channels * subslot);
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = Descriptor[ResolutionOffset];
    format.dwChannelMask = Walk.ChannelConfig;
    format.SubFormat = AudioSubFormat(PcmTag);
    const Uac2SettingFormats setting{.Interface = Walk.Number,
                                     .AlternateSetting = Walk.AlternateSetting,
                                     .FormatType = Walk.FormatType,
                                     .Formats = Walk.Formats,
                                     .AskValidity = Walk.AskValidity};
    return Uac2AddAltSettingFormats(Hal, Walk.Stream, Walk.ClockControlId, setting, format);
}

// One interface's descriptors from its first interface descriptor on. *Stop: the descriptor that
// ended the walk (another interface, a foreign descriptor), or null at the configuration's end.
NTSTATUS WalkInterface(Uac2StreamSite& Site, InterfaceWalk& Walk, PUCHAR Position, PUCHAR End, PUCHAR* Stop) {
    PAGED_CODE();
    *Stop = nullptr;
    DescriptorIterator descriptors(Position, static_cast<ULONG>(End - Position));
    descriptors.Next();  // the interface descriptor itself
    for (PUCHAR d = descriptors.Next(); d != nullptr; d = descriptors.Next()) {
        const UCHAR type = d[1];
        if (type != InterfaceDescriptorType && type != EndpointDescriptorType && type != AudioClassInterfaceType &&
            type != ClassEndpointType) {
            *Stop = d;
            return STATUS_SUCCESS;
        }
        if (type == InterfaceDescriptorType) {
            if (d[0] < InterfaceDescriptorBytes) return STATUS_INVALID_PARAMETER;
            auto* next = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            if (next->bInterfaceNumber != Walk.Number) {
                *Stop = d;
                return STATUS_SUCCESS;
            }
            Walk.AlternateSetting = next->bAlternateSetting;
            continue;
        }
        if (type != AudioClassInterfaceType || d[0] < 3) continue;
        const UCHAR subtype = d[2];
        if (subtype != AsGeneralSubtype && subtype != FormatTypeSubtype) continue;
        const ClassDescriptorRule* rule = FindClassDescriptorRule(AudioClassRelease2, AudioStreamingSubclassCode, subtype);
        if (rule == nullptr || !ClassDescriptorFits(*rule, d)) {
            DbgPrint("Uac2BuildStreams: subtype %u with bLength %u is too short\n", subtype, d[0]);
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (subtype == AsGeneralSubtype) {
            if (Walk.Stream == nullptr) status = CreateStream(Site, Walk, d[TerminalLinkOffset]);
            Walk.FormatType = d[FormatTypeOffset];
            Walk.Formats = ReadLe32(d + FormatsOffset);
            Walk.Channels = d[ChannelsOffset];
            Walk.ChannelConfig = ReadLe32(d + ChannelConfigOffset);
            if ((d[AsControlsOffset] & ValidAltSettingsControlBits) != 0) Walk.AskValidity = TRUE;
        } else if (Walk.FormatType == NoFormatType) {
            status = STATUS_INVALID_PARAMETER;  // a FORMAT_TYPE before any AS_GENERAL
        } else {
            status = AddFormatType(Site.StreamHal(), Walk, d);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    if (descriptors.Malformed()) {
        DbgPrint("Uac2BuildStreams: descriptor length runs past the configuration\n");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Uac2AddAltSettingFormats(AudioHal& Hal, UsbAudioStream* Stream, ULONG ClockControlId,
                                  const Uac2SettingFormats& Setting, WAVEFORMATEXTENSIBLE Template) {
    PAGED_CODE();
    if (Stream == nullptr) return STATUS_INVALID_PARAMETER;
    AudioNode* node = nullptr;
    NTSTATUS status = Hal.FindNode(ClockControlId, &node);
    if (!NT_SUCCESS(status)) return status;
    SampleRateControl* clock = nullptr;
    status = node->QueryInterface(IID_SampleRateControl, reinterpret_cast<PVOID*>(&clock));
    if (!NT_SUCCESS(status)) return status;
    ULONG rates[SampleRateMaxRates] = {};
    ULONG count = 0;
    status = clock->GetRateCount(&count);
    if (NT_SUCCESS(status) && count > SampleRateMaxRates) count = SampleRateMaxRates;
    if (NT_SUCCESS(status)) status = clock->GetRates(&count, rates);
    const bool pcm = Setting.FormatType == FormatTypeI && (Setting.Formats & PcmFormatBit) != 0;
    const bool raw = Setting.FormatType == FormatTypeI && !pcm && (Setting.Formats & RawDataFormatBits) != 0;
    // Asking at each rate moves the clock: afterwards it is set back to the rate set last before,
    // or to its first rate when none was set yet.
    ULONG running = 0;
    const bool restore = (raw || (pcm && Setting.AskValidity)) && NT_SUCCESS(status) && count != 0;
    if (restore && (!NT_SUCCESS(clock->GetRate(&running)) || running == 0)) running = rates[0];
    for (ULONG i = 0; NT_SUCCESS(status) && i < count && i < SampleRateMaxRates; ++i) {
        Template.Format.nSamplesPerSec = rates[i];
        Template.Format.nAvgBytesPerSec = Template.Format.nBlockAlign * rates[i];
        // Only what the setting's endpoint can carry is offered.
        if (!Uac2SettingCarries(static_cast<AdapterCommon*>(&Hal), Setting.Interface, Setting.AlternateSetting, rates[i],
                                Template.Format.nBlockAlign)) {
            continue;
        }
        if (pcm) {
            // Where the interface says which settings are valid at which rate, it is asked.
            if (Setting.AskValidity &&
                (!NT_SUCCESS(clock->SetRate(rates[i])) || !Stream->IsAltSettingValid(Setting.AlternateSetting))) {
                continue;
            }
            Template.SubFormat = AudioSubFormat(PcmTag);
            status = Stream->AddAltSettingFormat(&Template, Setting.AlternateSetting);
        } else if (raw) {
            // Raw data only where the device takes the rate and the setting is valid at it.
            if (!NT_SUCCESS(clock->SetRate(rates[i])) || !Stream->IsAltSettingValid(Setting.AlternateSetting)) continue;
            Template.SubFormat = AudioSubFormat(DsdTag);
            status = Stream->AddAltSettingFormat(&Template, Setting.AlternateSetting);
        } else if (Setting.FormatType == FormatTypeIII) {
            if ((Setting.Formats & Iec61937Ac3Bit) != 0) {
                Template.SubFormat = AudioSubFormat(Iec61937DolbyDigitalTag);
                status = Stream->AddAltSettingFormat(&Template, Setting.AlternateSetting);
            }
            if (NT_SUCCESS(status) && (Setting.Formats & Iec61937WmaBit) != 0) {
                Template.SubFormat = AudioSubFormat(Iec61937WmaProTag);
                status = Stream->AddAltSettingFormat(&Template, Setting.AlternateSetting);
            }
        }
    }
    if (restore) clock->SetRate(running);
    clock->Release();
    return status;
}

NTSTATUS Uac2BuildStreams(Uac2StreamSite& Site, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                          PUSB_INTERFACE_DESCRIPTOR FirstStreaming) {
    PAGED_CODE();
    if (Configuration == nullptr || FirstStreaming == nullptr) return STATUS_INVALID_PARAMETER;
    const PUCHAR begin = reinterpret_cast<PUCHAR>(Configuration);
    const PUCHAR end = begin + Configuration->wTotalLength;
    PUCHAR position = reinterpret_cast<PUCHAR>(FirstStreaming);
    if (position < begin || end - position < static_cast<LONG_PTR>(InterfaceDescriptorBytes) ||
        FirstStreaming->bLength < InterfaceDescriptorBytes || FirstStreaming->bInterfaceClass != AudioInterfaceClassCode ||
        FirstStreaming->bInterfaceSubClass != AudioStreamingSubclassCode ||
        FirstStreaming->bInterfaceProtocol != Release2Protocol) {
        return STATUS_INVALID_PARAMETER;
    }
    // A walk that a foreign descriptor ends early can meet its interface again further on: every
    // interface number becomes one stream at most.
    UnitIdSet walked;
    NTSTATUS status = STATUS_SUCCESS;
    while (position != nullptr) {
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
        if (interface->bLength < InterfaceDescriptorBytes || end - position < interface->bLength) {
            return STATUS_INVALID_PARAMETER;
        }
        PUCHAR stop = position + interface->bLength;
        if (walked.Insert(interface->bInterfaceNumber)) {
            InterfaceWalk walk{.Number = interface->bInterfaceNumber,
                               .AlternateSetting = interface->bAlternateSetting,
                               .FormatType = NoFormatType,
                               .Formats = 0,
                               .Channels = 0,
                               .ChannelConfig = 0,
                               .ClockControlId = 0,
                               .AskValidity = FALSE,
                               .Stream = nullptr};
            WalkStreamReference reference(walk.Stream);
            status = WalkInterface(Site, walk, position, end, &stop);
            if (NT_SUCCESS(status) && walk.Stream != nullptr) {
                status = Site.AdjustStreamPath(walk.Stream);
                if (NT_SUCCESS(status)) status = walk.Stream->AllocateWorkBuffers();
            }
            if (!NT_SUCCESS(status)) return status;
        }
        position = stop != nullptr && stop < end
                       ? reinterpret_cast<PUCHAR>(USBD_ParseConfigurationDescriptorEx(
                             Configuration, stop, -1, -1, AudioInterfaceClassCode, AudioStreamingSubclassCode, -1))
                       : nullptr;
    }
    return status;
}
