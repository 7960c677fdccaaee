#include "driver/engine/models/R7T5PlaybackStream.h"

#include "driver/engine/models/R7T5AudioHal.h"

namespace {

constexpr USHORT PcmTag = 0x0001;
constexpr USHORT Ac3Tag = 0x0092;  // AC-3 over S/PDIF
constexpr ULONG HighRate = 96000;
constexpr ULONG Ac3Rates[] = {44100, 48000};
constexpr USHORT StereoChannels = 2;
constexpr USHORT SampleBits = 16;
constexpr USHORT ExtensibleExtraBytes = 22;
constexpr DWORD FrontPair = 0x3;

bool IsAc3(const WAVEFORMATEXTENSIBLE& Format) {
    return Format.Format.wFormatTag == Ac3Tag ||
           (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && IsEqualGUID(Format.SubFormat, AudioSubFormat(Ac3Tag)));
}

// The records no endpoint type keeps as the device offers them: AC-3, and PCM at 96 kHz (the rate
// only the headphone and S/PDIF outputs take, on their own setting).
bool IsTypeFormat(const WAVEFORMATEXTENSIBLE& Format) {
    return IsAc3(Format) || (ProcessingStageFormatTag(Format) == PcmTag && Format.Format.nSamplesPerSec == HighRate);
}

// Frees every 40-byte record of List that IsTypeFormat picks (records of the engine's pool).
void RemoveFormatRecords(PointerList* List) {
    if (List == nullptr) return;
    PointerListNode* node = List->GetHeadPosition();
    while (node != nullptr) {
        PointerListNode* next = node->Next;
        auto* record = static_cast<WAVEFORMATEXTENSIBLE*>(node->Data);
        if (IsTypeFormat(*record)) {
            List->RemoveNode(node);
            ExFreePoolWithTag(record, StreamEngineTag);
        }
        node = next;
    }
}

}  // namespace

R7T5PlaybackStream::R7T5PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId)
    : Uac1PlaybackStream(UnknownOuter, Interface, TerminalControlId), m_pRegisters(nullptr) {}

NTSTATUS R7T5PlaybackStream::StartWorker(ULONG Direction, PUNKNOWN Adapter, R7T5AudioHal* Registers) {
    PAGED_CODE();
    const NTSTATUS status = UsbAudioStream::StartWorker(Direction, Adapter);
    if (NT_SUCCESS(status)) m_pRegisters = Registers;
    return status;
}

NTSTATUS R7T5PlaybackStream::Open(StreamClient* Client, PULONG BusFrame) {
    PAGED_CODE();
    const NTSTATUS status = Uac1PlaybackStream::Open(Client, BusFrame);
    if (!NT_SUCCESS(status) || m_pRegisters == nullptr) return status;
    // The device clocks its converters and its S/PDIF framing from register 0.
    switch (Client->Format.Format.nSamplesPerSec) {
    case 44100: m_pRegisters->WriteDeviceRegister(0, R7T5Rate44100, R7T5RateMask); break;
    case 48000: m_pRegisters->WriteDeviceRegister(0, R7T5Rate48000, R7T5RateMask); break;
    case HighRate: m_pRegisters->WriteDeviceRegister(0, R7T5Rate96000, R7T5RateMask); break;
    default: break;
    }
    const bool pcm = ProcessingStageFormatTag(Client->Format) == PcmTag;
    m_pRegisters->WriteDeviceRegister(0, pcm ? 0 : R7T5NonPcmMask, R7T5NonPcmMask);
    return status;
}

void R7T5PlaybackStream::RemoveTypeFormats() {
    PAGED_CODE();
    RemoveFormatRecords(m_FormatList);
    RemoveFormatRecords(m_TwoChannelFormats);
    AltSettingRecord** link = &m_AltSettings;
    while (*link != nullptr) {
        AltSettingRecord* record = *link;
        if (IsTypeFormat(record->Format)) {
            *link = record->Next;
            ExFreePoolWithTag(record, UsbStreamTag);
        } else {
            link = &record->Next;
        }
    }
}

NTSTATUS R7T5PlaybackStream::AddStereoFormat(USHORT Tag, ULONG Rate, UCHAR Setting) {
    PAGED_CODE();
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = StereoChannels;
    format.Format.nSamplesPerSec = Rate;
    format.Format.wBitsPerSample = SampleBits;
    format.Format.nBlockAlign = StereoChannels * SampleBits / 8;
    format.Format.nAvgBytesPerSec = Rate * format.Format.nBlockAlign;
    // The AC-3 records carry no extensible extra bytes and no speaker positions.
    format.Format.cbSize = Tag == PcmTag ? ExtensibleExtraBytes : 0;
    format.Samples.wValidBitsPerSample = SampleBits;
    format.dwChannelMask = Tag == PcmTag ? FrontPair : 0;
    format.SubFormat = AudioSubFormat(Tag);
    return AddAltSettingFormat(&format, Setting);
}

NTSTATUS R7T5PlaybackStream::SetName(PCWSTR Name) {
    PAGED_CODE();
    NTSTATUS status = Uac1PlaybackStream::SetName(Name);
    if (!NT_SUCCESS(status)) return status;
    const ULONG type = GetEndpointType();
    const bool headphone = type == EndpointTypeCode(EndpointType::Headphones);
    const bool spdif = type == EndpointTypeCode(EndpointType::Spdif);
    if (!headphone && !spdif && type != EndpointTypeCode(EndpointType::Speaker)) return status;
    // Clients look the lists up under the engine's mutex.
    m_Mutex.Lock();
    RemoveTypeFormats();
    if (spdif) {
        for (ULONG rate : Ac3Rates) {
            if (NT_SUCCESS(status)) status = AddStereoFormat(Ac3Tag, rate, R7T5StereoSetting);
        }
        if (NT_SUCCESS(status)) status = AddStereoFormat(Ac3Tag, HighRate, R7T5HighRateSetting);
    }
    if (NT_SUCCESS(status) && (headphone || spdif)) status = AddStereoFormat(PcmTag, HighRate, R7T5HighRateSetting);
    m_Mutex.Unlock();
    return status;
}
