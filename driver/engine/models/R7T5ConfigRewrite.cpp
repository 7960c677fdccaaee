#include "driver/engine/models/R7T5ConfigRewrite.h"

#include "driver/engine/hal/ClassDescriptors.h"

namespace {

constexpr UCHAR CsInterface = AudioClassInterfaceType;


// Fields the rewrite changes.
constexpr ULONG TotalLengthOffset = 2;           // configuration wTotalLength
constexpr ULONG InputChannelsOffset = 7;         // input terminal bNrChannels
constexpr ULONG InputChannelConfigOffset = 8;    // input terminal wChannelConfig
constexpr ULONG OutputSourceOffset = 7;          // output terminal bSourceID
constexpr ULONG NarrowFeatureBytes = 14;         // the playback feature unit over 6 channels
constexpr ULONG NarrowFeatureNameOffset = 13;    // its iFeature
constexpr ULONG FurtherFormatOffset = 16;        // FORMAT_TYPE inside the further setting
constexpr ULONG FurtherFormatBytes = 11;         // with one sampling frequency
constexpr ULONG FurtherRateOffset = 24;          // its first tSamFreq
constexpr UCHAR FormatTypeSubtype = 2;
constexpr UCHAR Rate96000[3] = {0x00, 0x77, 0x01};

constexpr USHORT WideChannelConfig = 0x063F;   // 8 channels
constexpr USHORT NarrowChannelConfig = 0x003F;  // 6 channels

// Record source unit ids in the selector's order.
constexpr UCHAR MicRecordId = 8;
constexpr UCHAR LineRecordId = 15;
constexpr UCHAR SpdifRecordId = 16;
constexpr UCHAR StereoMixRecordId = 2;
// Playback mixer inputs.
constexpr UCHAR PlaybackStreamId = 1;
constexpr UCHAR MicMonitorId = 9;
constexpr UCHAR LineMonitorId = 11;

bool On(UCHAR Switch) { return Switch != 0; }

// True when the piece at Bytes has its layout row: one descriptor of exactly its length, type and
// subtype, or a run of whole descriptors that starts with an interface and fills the piece.
bool PieceFits(const R7T5PieceLayout& Layout, PUCHAR Bytes) {
    if (Bytes[1] != Layout.DescriptorType) return false;
    if (Layout.Single) {
        if (Bytes[0] != Layout.Length) return false;
        return Layout.Subtype == 0 || Bytes[2] == Layout.Subtype;
    }
    DescriptorIterator walk(Bytes, Layout.Length);
    const PUCHAR first = walk.Next();
    if (first == nullptr || first[0] != 9) return false;
    while (walk.Next() != nullptr) {
    }
    return !walk.Malformed() && walk.Remaining() == 0;
}

bool LayoutFits(PUCHAR Configuration) {
    for (const R7T5PieceLayout& layout : R7T5ConfigPieces) {
        if (!PieceFits(layout, Configuration + layout.Offset)) return false;
    }
    // The further setting's sampling frequency is rewritten in place: its format must hold it.
    const PUCHAR format = Configuration + R7T5ConfigPieces[static_cast<ULONG>(R7T5Piece::PlaybackFurther)].Offset +
                          FurtherFormatOffset;
    return format[0] == FurtherFormatBytes && format[1] == CsInterface && format[2] == FormatTypeSubtype;
}

class Writer {
public:
    explicit Writer(PUCHAR Buffer) : m_Buffer(Buffer), m_Length(0) {}
    PUCHAR Append(const UCHAR* Source, ULONG Length) {
        PUCHAR at = m_Buffer + m_Length;
        if (Source != nullptr) RtlCopyMemory(at, Source, Length);
        m_Length += Length;
        return at;
    }
    ULONG Length() const { return m_Length; }

private:
    PUCHAR m_Buffer;
    ULONG m_Length;
};

}  // namespace


void ApplyImpliedSwitches(R7T5Switches* Switches) {
    R7T5Switches& s = *Switches;
    if (On(s.DisableMicInTerminal)) {
        s.DisableStereoMixRecUnit = s.DisableMicInAAUnit = s.DisableMicInRecUnit = 1;
    }
    if (On(s.DisableLineInTerminal)) {
        s.DisableStereoMixRecUnit = s.DisableLineInRecUnit = s.DisableLineInAAUnit = 1;
    }
    if (On(s.DisableMicInAAUnit) || On(s.DisableLineInAAUnit)) s.DisableStereoMixRecUnit = 1;
}

NTSTATUS RebuildConfigDescriptor(R7T5Switches* Switches, PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
    PAGED_CODE();
    if (Switches == nullptr || Configuration == nullptr) return STATUS_INVALID_PARAMETER;
    ApplyImpliedSwitches(Switches);
    const R7T5Switches& s = *Switches;

    const auto source = reinterpret_cast<PUCHAR>(Configuration);
    if (Configuration->wTotalLength < R7T5ConfigBytes || !LayoutFits(source)) {
        DbgPrint("%s configuration is not the R7T5 layout\n", "R7T5AudioHal::RebuildConfigDescriptor");
        return STATUS_UNSUCCESSFUL;
    }
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, R7T5RewriteBufferBytes, R7T5RewriteTag));
    if (buffer == nullptr) return STATUS_UNSUCCESSFUL;
    if (On(s.Disable8ChOutSupported) && On(s.Disable6ChOutSupported)) {
        ExFreePoolWithTag(buffer, R7T5RewriteTag);
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(buffer, R7T5RewriteBufferBytes);

    const bool narrow = On(s.Disable8ChOutSupported);
    const bool micTerminal = !On(s.DisableMicInTerminal);
    const bool lineTerminal = !On(s.DisableLineInTerminal);
    const bool spdifTerminal = !On(s.DisableSpdifInTerminal);
    const bool micMonitor = !On(s.DisableMicInAAUnit);
    const bool lineMonitor = !On(s.DisableLineInAAUnit);
    const bool stereoMix = !On(s.DisableStereoMixRecUnit);
    const bool anyTerminal = micTerminal || lineTerminal || spdifTerminal;

    // The record sources that remain, in the selector's order.
    UCHAR records[4];
    ULONG recordCount = 0;
    if (!On(s.DisableMicInRecUnit)) records[recordCount++] = MicRecordId;
    if (!On(s.DisableLineInRecUnit)) records[recordCount++] = LineRecordId;
    if (spdifTerminal) records[recordCount++] = SpdifRecordId;
    if (stereoMix) records[recordCount++] = StereoMixRecordId;

    Writer out(buffer);
    auto piece = [&](R7T5Piece Which) { return source + R7T5ConfigPieces[static_cast<ULONG>(Which)].Offset; };
    auto copy = [&](R7T5Piece Which) {
        return out.Append(piece(Which), R7T5ConfigPieces[static_cast<ULONG>(Which)].Length);
    };

    out.Append(source, R7T5ClassSpecificStart + 10);  // configuration, interface, header
    PUCHAR input = copy(R7T5Piece::PlaybackInput);
    if (narrow) {
        input[InputChannelsOffset] = 6;
        input[InputChannelConfigOffset] = static_cast<UCHAR>(NarrowChannelConfig & 0xFF);
        input[InputChannelConfigOffset + 1] = static_cast<UCHAR>(NarrowChannelConfig >> 8);
    }
    if (micTerminal) copy(R7T5Piece::MicInput);
    if (!On(s.DisableMicInRecUnit)) copy(R7T5Piece::MicRecordUnit);
    if (micMonitor) copy(R7T5Piece::MicMonitorUnit);
    const bool mixer = micMonitor || lineMonitor;
    if (mixer) {
        const UCHAR inputs = static_cast<UCHAR>(1 + (micMonitor ? 1 : 0) + (lineMonitor ? 1 : 0));
        const ULONG channels = narrow ? 6 : 8;
        const ULONG inputChannels = channels + 2 * (inputs - 1u);
        const ULONG controlBytes = (inputChannels * channels + 7) / 8;
        PUCHAR m = out.Append(piece(R7T5Piece::PlaybackMixer), 4);
        out.Append(nullptr, 6 + inputs + controlBytes);  // zeroed: the buffer was cleared
        m[0] = static_cast<UCHAR>(10 + inputs + controlBytes);
        m[4] = inputs;
        ULONG at = 5;
        m[at++] = PlaybackStreamId;
        if (micMonitor) m[at++] = MicMonitorId;
        if (lineMonitor) m[at++] = LineMonitorId;
        const USHORT config = narrow ? NarrowChannelConfig : WideChannelConfig;
        m[at++] = static_cast<UCHAR>(channels);
        m[at++] = static_cast<UCHAR>(config & 0xFF);
        m[at++] = static_cast<UCHAR>(config >> 8);
    }
    if (narrow) {
        PUCHAR feature = out.Append(piece(R7T5Piece::PlaybackFeature), NarrowFeatureBytes);
        feature[0] = NarrowFeatureBytes;
        feature[NarrowFeatureNameOffset] = 0;
        if (!mixer) feature[4] = PlaybackStreamId;
    } else {
        PUCHAR feature = copy(R7T5Piece::PlaybackFeature);
        if (!mixer) feature[4] = PlaybackStreamId;
    }
    copy(R7T5Piece::PlaybackOutput);
    if (stereoMix && micMonitor && lineMonitor) copy(R7T5Piece::StereoMixMixer);
    if (anyTerminal) {
        PUCHAR capture = copy(R7T5Piece::CaptureOutput);
        if (recordCount == 1) capture[OutputSourceOffset] = records[0];
    }
    if (recordCount >= 2) {
        PUCHAR selector = out.Append(piece(R7T5Piece::RecordSelector), 4);
        selector[0] = static_cast<UCHAR>(6 + recordCount);
        out.Append(nullptr, 2 + recordCount);
        selector[4] = static_cast<UCHAR>(recordCount);
        for (ULONG i = 0; i < recordCount; ++i) selector[5 + i] = records[i];
        selector[5 + recordCount] = 0;
    }
    if (lineTerminal) copy(R7T5Piece::LineInput);
    if (!On(s.DisableLineInRecUnit)) copy(R7T5Piece::LineRecordUnit);
    if (lineMonitor) copy(R7T5Piece::LineMonitorUnit);
    if (spdifTerminal) copy(R7T5Piece::SpdifInput);
    if (stereoMix) copy(R7T5Piece::StereoMixRecordUnit);
    if (spdifTerminal) copy(R7T5Piece::SpdifRecordUnit);
    const ULONG classSpecific = out.Length() - R7T5ClassSpecificStart;

    copy(R7T5Piece::PlaybackInterface);
    if (!narrow) copy(R7T5Piece::Playback8Ch);
    if (!On(s.Disable2ChOutSupported)) copy(R7T5Piece::Playback2Ch);
    if (!On(s.Disable4ChOutSupported)) copy(R7T5Piece::Playback4Ch);
    if (!On(s.Disable6ChOutSupported)) copy(R7T5Piece::Playback6Ch);
    PUCHAR further = copy(R7T5Piece::PlaybackFurther);
    RtlCopyMemory(further + FurtherRateOffset, Rate96000, sizeof(Rate96000));
    if (anyTerminal) copy(R7T5Piece::CaptureInterface);

    const ULONG total = out.Length();
    buffer[TotalLengthOffset] = static_cast<UCHAR>(total & 0xFF);
    buffer[TotalLengthOffset + 1] = static_cast<UCHAR>(total >> 8);
    buffer[R7T5HeaderTotalOffset] = static_cast<UCHAR>(classSpecific & 0xFF);
    buffer[R7T5HeaderTotalOffset + 1] = static_cast<UCHAR>(classSpecific >> 8);
    RtlCopyMemory(source, buffer, total);
    ExFreePoolWithTag(buffer, R7T5RewriteTag);
    return STATUS_SUCCESS;
}
