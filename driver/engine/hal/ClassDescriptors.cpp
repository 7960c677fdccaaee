#include "driver/engine/hal/ClassDescriptors.h"

namespace {

// Offsets of the counts the UAC 1.0 descriptors carry.
constexpr ULONG HeaderInCollectionOffset = 7;  // HEADER: bInCollection, then that many interface numbers
constexpr ULONG InputPinsOffset = 4;           // MIXER_UNIT, SELECTOR_UNIT: bNrInPins, then source ids
constexpr ULONG ControlSizeOffset = 5;         // FEATURE_UNIT: bControlSize
constexpr ULONG FormatTypeOffset = 3;          // FORMAT_TYPE: bFormatType

// Bytes of a sampling-frequency list: bSamFreqType 0 is a range (two 3-byte bounds), n discrete
// 3-byte frequencies.
ULONG FrequencyBytes(UCHAR SamFreqType) { return SamFreqType == 0 ? 6u : 3u * SamFreqType; }

ULONG Uac1HeaderLength(const UCHAR* Descriptor, ULONG) { return 8u + Descriptor[HeaderInCollectionOffset]; }

// bUnitID, bNrInPins, the source ids, bNrChannels, wChannelConfig, iChannelNames, bmControls
// (zero or more bytes) and iMixer.
ULONG Uac1MixerLength(const UCHAR* Descriptor, ULONG) { return 10u + Descriptor[InputPinsOffset]; }

// bUnitID, bNrInPins, the source ids and iSelector.
ULONG Uac1SelectorLength(const UCHAR* Descriptor, ULONG) { return 6u + Descriptor[InputPinsOffset]; }

// bUnitID, bSourceID, bControlSize, the master's controls and iFeature; channel entries follow
// the master's within bLength.
ULONG Uac1FeatureLength(const UCHAR* Descriptor, ULONG) { return 7u + Descriptor[ControlSizeOffset]; }

// Types I and III: bNrChannels, bSubframeSize, bBitResolution, bSamFreqType (byte 7), then the
// frequencies. Type II: wMaxBitRate, wSamplesPerFrame, bSamFreqType (byte 8), then the frequencies.
// Other types carry nothing the table knows.
ULONG Uac1FormatTypeLength(const UCHAR* Descriptor, ULONG Known) {
    switch (Descriptor[FormatTypeOffset]) {
    case 1:
    case 3:
        return 8u + FrequencyBytes(Descriptor[7]);
    case 2:
        return Known < 9 ? 9u : 9u + FrequencyBytes(Descriptor[8]);
    default:
        return Known;
    }
}

// Release 2 unit layouts: bNrInPins at byte 4 (mixer, selector) or 6 (extension), the source ids
// after it.
constexpr ULONG Uac2ExtensionInputPinsOffset = 6;

// bUnitID, bNrInPins, the source ids, the cluster (bNrChannels, bmChannelConfig, iChannelNames),
// bmControls and iMixer; bmMixerControls (zero or more bytes) lie within bLength.
ULONG Uac2MixerLength(const UCHAR* Descriptor, ULONG) { return 13u + Descriptor[InputPinsOffset]; }

// bUnitID, bNrInPins, the source ids, bmControls and iSelector.
ULONG Uac2SelectorLength(const UCHAR* Descriptor, ULONG) { return 7u + Descriptor[InputPinsOffset]; }

// bUnitID, wExtensionCode, bNrInPins, the source ids, the cluster, bmControls and iExtension.
ULONG Uac2ExtensionLength(const UCHAR* Descriptor, ULONG) {
    return 15u + Descriptor[Uac2ExtensionInputPinsOffset];
}

constexpr ClassDescriptorRule Rules[] = {
    // AudioControl
    {AudioClassRelease1, AudioControlSubclassCode, 1, 8, Uac1HeaderLength},    // HEADER
    {AudioClassRelease1, AudioControlSubclassCode, 2, 12, nullptr},            // INPUT_TERMINAL
    {AudioClassRelease1, AudioControlSubclassCode, 3, 9, nullptr},             // OUTPUT_TERMINAL
    {AudioClassRelease1, AudioControlSubclassCode, 4, 5, Uac1MixerLength},     // MIXER_UNIT
    {AudioClassRelease1, AudioControlSubclassCode, 5, 5, Uac1SelectorLength},  // SELECTOR_UNIT
    {AudioClassRelease1, AudioControlSubclassCode, 6, 6, Uac1FeatureLength},   // FEATURE_UNIT
    // AudioStreaming
    {AudioClassRelease1, AudioStreamingSubclassCode, 1, 7, nullptr},               // AS_GENERAL
    {AudioClassRelease1, AudioStreamingSubclassCode, 2, 8, Uac1FormatTypeLength},  // FORMAT_TYPE
    // Release 2 AudioControl. Effect, processing, clock selector and clock multiplier units have no
    // row: no device model takes them.
    {AudioClassRelease2, AudioControlSubclassCode, 1, 9, nullptr},                 // HEADER
    {AudioClassRelease2, AudioControlSubclassCode, 2, 17, nullptr},                // INPUT_TERMINAL
    {AudioClassRelease2, AudioControlSubclassCode, 3, 12, nullptr},                // OUTPUT_TERMINAL
    {AudioClassRelease2, AudioControlSubclassCode, 4, 5, Uac2MixerLength},         // MIXER_UNIT
    {AudioClassRelease2, AudioControlSubclassCode, 5, 5, Uac2SelectorLength},      // SELECTOR_UNIT
    {AudioClassRelease2, AudioControlSubclassCode, 6, 10, nullptr},                // FEATURE_UNIT: master entry
    {AudioClassRelease2, AudioControlSubclassCode, 9, 7, Uac2ExtensionLength},     // EXTENSION_UNIT
    {AudioClassRelease2, AudioControlSubclassCode, 10, 8, nullptr},                // CLOCK_SOURCE
    // Release 2: AS_GENERAL up to bmChannelConfig, FORMAT_TYPE up to bBitResolution.
    {AudioClassRelease2, AudioStreamingSubclassCode, 1, 15, nullptr},  // AS_GENERAL
    {AudioClassRelease2, AudioStreamingSubclassCode, 2, 6, nullptr},   // FORMAT_TYPE
};

// A descriptor's size never grows through more steps than this.
constexpr ULONG MaxGrowSteps = 8;

}  // namespace

PUCHAR DescriptorIterator::Next() {
    if (m_Malformed || m_Remaining == 0) return nullptr;
    const ULONG length = m_Remaining < 2 ? 0 : m_Position[0];
    if (length < 2 || length > m_Remaining) {
        m_Malformed = true;
        return nullptr;
    }
    PUCHAR descriptor = m_Position;
    m_Position += length;
    m_Remaining -= length;
    return descriptor;
}

std::span<const ClassDescriptorRule> ClassDescriptorRules() { return Rules; }

const ClassDescriptorRule* FindClassDescriptorRule(UCHAR Release, UCHAR Subclass, UCHAR Subtype) {
    for (const ClassDescriptorRule& rule : Rules) {
        if (rule.Release == Release && rule.Subclass == Subclass && rule.Subtype == Subtype) return &rule;
    }
    return nullptr;
}

bool ClassDescriptorFits(const ClassDescriptorRule& Rule, const UCHAR* Descriptor) {
    if (Descriptor == nullptr) return false;
    const ULONG length = Descriptor[0];
    ULONG needed = Rule.MinimumLength;
    if (length < needed) return false;
    for (ULONG step = 0; Rule.Grow != nullptr && step < MaxGrowSteps; ++step) {
        const ULONG next = Rule.Grow(Descriptor, needed);
        if (next <= needed) return true;
        if (length < next) return false;
        needed = next;
    }
    return Rule.Grow == nullptr;
}
