#include "descriptor_walk.h"

#include <cstdio>

#include <algorithm>

namespace sim::usb::detail {

std::optional<ByteSpan> DescriptorCursor::Next() {
    if (m_Stopped) return std::nullopt;
    const size_t remaining = m_Bytes.size() - m_Offset;
    if (remaining == 0) {
        m_Stopped = true;
        return std::nullopt;
    }
    const size_t length = remaining >= 1 ? m_Bytes[m_Offset] : 0;
    if (remaining < 2 || length < 2 || length > remaining) {
        m_Stopped = true;
        m_Malformed = true;
        return std::nullopt;
    }
    ByteSpan d = m_Bytes.subspan(m_Offset, length);
    m_Offset += length;
    return d;
}

uint32_t EndpointModel::MaxPacketBytes() const {
    const uint32_t size = maxPacketSize & USB_MAXPACKETSIZE_SIZE_MASK;
    const uint32_t extra = (maxPacketSize >> USB_MAXPACKETSIZE_MULT_SHIFT) & 3;
    return size * (1 + std::min<uint32_t>(extra, 2));
}

const AltSettingModel* ConfigurationModel::Find(uint8_t number, uint8_t alternate) const {
    for (const AltSettingModel& s : settings) {
        if (s.number == number && s.alternate == alternate) return &s;
    }
    return nullptr;
}

bool ConfigurationModel::HasInterface(uint8_t number) const { return Find(number, 0) != nullptr; }

std::vector<uint8_t> ConfigurationModel::InterfaceNumbers() const {
    std::vector<uint8_t> numbers;
    for (const AltSettingModel& s : settings) {
        if (std::find(numbers.begin(), numbers.end(), s.number) == numbers.end()) numbers.push_back(s.number);
    }
    return numbers;
}

std::string IsochronousSizeProblem(const ConfigurationModel& model, bool highSpeed) {
    for (const AltSettingModel& s : model.settings) {
        for (const EndpointModel& e : s.endpoints) {
            if (e.TransferType() != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
            const uint32_t size = e.maxPacketSize & USB_MAXPACKETSIZE_SIZE_MASK;
            const uint32_t extra = (e.maxPacketSize >> USB_MAXPACKETSIZE_MULT_SHIFT) & 3;
            const bool valid = highSpeed ? size <= 1024 && extra < 3 : size <= 1023 && extra == 0;
            if (valid) continue;
            char text[128];
            std::snprintf(text, sizeof(text), "interface %u setting %u endpoint 0x%02X: wMaxPacketSize 0x%04X at %s speed",
                          s.number, s.alternate, e.address, e.maxPacketSize, highSpeed ? "high" : "full");
            return text;
        }
    }
    return {};
}

bool EndpointsSayFullSpeed(const ConfigurationModel& model) {
    for (const AltSettingModel& s : model.settings) {
        for (const EndpointModel& e : s.endpoints) {
            if (e.TransferType() == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK && e.maxPacketSize == 3) {
                return true;
            }
        }
    }
    return false;
}

ConfigurationModel ParseConfiguration(ByteSpan bytes) {
    ConfigurationModel model;
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        model.problem = "no configuration descriptor";
        return model;
    }
    const size_t total = Le16(bytes, 2);
    if (total < bytes[0]) {
        model.problem = "wTotalLength below the configuration descriptor";
        return model;
    }
    if (total > bytes.size()) model.problem = "wTotalLength beyond the bytes present";
    model.value = bytes[5];
    model.attributes = bytes[7];

    DescriptorCursor cursor(bytes.first(std::min(total, bytes.size())));
    cursor.Next();  // the configuration descriptor itself
    AltSettingModel* setting = nullptr;
    EndpointModel* endpoint = nullptr;
    while (std::optional<ByteSpan> d = cursor.Next()) {
        const uint8_t type = (*d)[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && d->size() >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            model.settings.push_back(AltSettingModel{.number = (*d)[2],
                                                     .alternate = (*d)[3],
                                                     .interfaceClass = (*d)[5],
                                                     .interfaceSubClass = (*d)[6],
                                                     .interfaceProtocol = (*d)[7]});
            setting = &model.settings.back();
            endpoint = nullptr;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && d->size() >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                   setting != nullptr) {
            setting->endpoints.push_back(EndpointModel{.address = (*d)[2],
                                                       .attributes = (*d)[3],
                                                       .maxPacketSize = Le16(*d, 4),
                                                       .interval = (*d)[6],
                                                       .synchAddress = d->size() >= 9 ? (*d)[8] : uint8_t(0)});
            endpoint = &setting->endpoints.back();
        } else if (type == USB_AUDIO_CS_INTERFACE && setting != nullptr && d->size() >= 3) {
            setting->classDescriptors.emplace_back(d->begin(), d->end());
        } else if (type == USB_AUDIO_CS_ENDPOINT && endpoint != nullptr && d->size() >= 3) {
            endpoint->classDescriptors.emplace_back(d->begin(), d->end());
        }
    }
    if (cursor.Malformed() && model.problem.empty()) {
        model.problem = "descriptor at offset " + std::to_string(cursor.Offset()) + " is malformed";
    }
    return model;
}

// ---- Length rules ----

namespace {

template <size_t N>
size_t Fixed(ByteSpan) {
    return N;
}

// A count byte at `at` adds `per` bytes per item to `base`; the count is read only when present.
template <size_t At, size_t Base, size_t Per>
size_t Counted(ByteSpan d) {
    if (d.size() <= At) return At + 1;
    return Base + Per * d[At];
}

// UAC 1.0 feature unit: bControlSize at 5, then whole entries (the master at least) and iFeature.
size_t Uac1Feature(ByteSpan d) {
    if (d.size() < 6) return 6;
    const size_t controlSize = d[5];
    if (controlSize == 0 || d.size() < 7 + controlSize || (d.size() - 7) % controlSize != 0) return SIZE_MAX;
    return d.size();
}

// UAC 2.0 feature unit: 4 bytes per channel from byte 5, master included, then iFeature.
size_t Uac2Feature(ByteSpan d) {
    if (d.size() < 10) return 10;
    return (d.size() - 6) % 4 == 0 ? d.size() : SIZE_MAX;
}

// UAC 2.0 effect unit: wEffectType and bSourceID, then 4 bytes per channel (master included) and
// iEffects.
size_t Uac2Effect(ByteSpan d) {
    if (d.size() < 12) return 12;
    return (d.size() - 8) % 4 == 0 ? d.size() : SIZE_MAX;
}

// UAC 1.0 processing and extension units: bNrInPins at 6, bControlSize at 11 + p.
size_t Uac1ProcessingLike(ByteSpan d) {
    if (d.size() < 7) return 7;
    const size_t p = d[6];
    if (d.size() < 12 + p) return 12 + p;
    return 13 + p + d[11 + p];
}

// Mixers: bNrInPins at 4, bNrChannels at 5 + p; with output channels the programmable-control
// bitmap holds at least one byte. `fixed` counts the other bytes.
template <size_t Fixed>
size_t Mixer(ByteSpan d) {
    if (d.size() < 5) return 5;
    const size_t p = d[4];
    if (d.size() < 6 + p) return 6 + p;
    return Fixed + p + (d[5 + p] != 0 ? 1 : 0);
}

// Format type descriptors: the layout follows bFormatType at 3.
size_t Uac1FormatType(ByteSpan d) {
    if (d.size() < 4) return 4;
    const size_t freqTypeAt = d[3] == USB_AUDIO_FORMAT_TYPE_II ? 8 : 7;
    if (d.size() <= freqTypeAt) return freqTypeAt + 1;
    const size_t n = d[freqTypeAt];
    return freqTypeAt + 1 + (n == 0 ? 6 : 3 * n);
}

size_t Uac2FormatType(ByteSpan d) {
    if (d.size() < 4) return 4;
    switch (d[3]) {
    case USB_AUDIO_FORMAT_TYPE_I:
    case USB_AUDIO_FORMAT_TYPE_III:
        return 6;
    case USB_AUDIO_FORMAT_TYPE_II:
        return 8;
    default:
        return SIZE_MAX;  // formats the devices do not read
    }
}

constexpr AudioVersion V1 = AudioVersion::Uac1;
constexpr AudioVersion V2 = AudioVersion::Uac2;
constexpr AudioArea AC = AudioArea::Control;
constexpr AudioArea AS = AudioArea::Streaming;
constexpr AudioArea EP = AudioArea::Endpoint;

constexpr ClassDescriptorRule kRules[] = {
    {V1, AC, USB_AUDIO_AC_HEADER, "HEADER", Counted<7, 8, 1>},
    {V1, AC, USB_AUDIO_AC_INPUT_TERMINAL, "INPUT_TERMINAL", Fixed<12>},
    {V1, AC, USB_AUDIO_AC_OUTPUT_TERMINAL, "OUTPUT_TERMINAL", Fixed<9>},
    {V1, AC, USB_AUDIO_AC_MIXER_UNIT, "MIXER_UNIT", Mixer<10>},
    {V1, AC, USB_AUDIO_AC_SELECTOR_UNIT, "SELECTOR_UNIT", Counted<4, 6, 1>},
    {V1, AC, USB_AUDIO_AC_FEATURE_UNIT, "FEATURE_UNIT", Uac1Feature},
    {V1, AC, USB_AUDIO1_AC_PROCESSING_UNIT, "PROCESSING_UNIT", Uac1ProcessingLike},
    {V1, AC, USB_AUDIO1_AC_EXTENSION_UNIT, "EXTENSION_UNIT", Uac1ProcessingLike},
    {V1, AS, USB_AUDIO_AS_GENERAL, "AS_GENERAL", Fixed<7>},
    {V1, AS, USB_AUDIO_AS_FORMAT_TYPE, "FORMAT_TYPE", Uac1FormatType},
    {V1, EP, USB_AUDIO_EP_GENERAL, "EP_GENERAL", Fixed<7>},
    {V2, AC, USB_AUDIO_AC_HEADER, "HEADER", Fixed<9>},
    {V2, AC, USB_AUDIO_AC_INPUT_TERMINAL, "INPUT_TERMINAL", Fixed<17>},
    {V2, AC, USB_AUDIO_AC_OUTPUT_TERMINAL, "OUTPUT_TERMINAL", Fixed<12>},
    {V2, AC, USB_AUDIO_AC_MIXER_UNIT, "MIXER_UNIT", Mixer<13>},
    {V2, AC, USB_AUDIO_AC_SELECTOR_UNIT, "SELECTOR_UNIT", Counted<4, 7, 1>},
    {V2, AC, USB_AUDIO_AC_FEATURE_UNIT, "FEATURE_UNIT", Uac2Feature},
    {V2, AC, USB_AUDIO2_AC_EFFECT_UNIT, "EFFECT_UNIT", Uac2Effect},
    {V2, AC, USB_AUDIO2_AC_PROCESSING_UNIT, "PROCESSING_UNIT", Counted<6, 16, 1>},
    {V2, AC, USB_AUDIO2_AC_EXTENSION_UNIT, "EXTENSION_UNIT", Counted<6, 15, 1>},
    {V2, AC, USB_AUDIO2_AC_CLOCK_SOURCE, "CLOCK_SOURCE", Fixed<8>},
    {V2, AC, USB_AUDIO2_AC_CLOCK_SELECTOR, "CLOCK_SELECTOR", Counted<4, 7, 1>},
    {V2, AC, USB_AUDIO2_AC_CLOCK_MULTIPLIER, "CLOCK_MULTIPLIER", Fixed<7>},
    {V2, AS, USB_AUDIO_AS_GENERAL, "AS_GENERAL", Fixed<16>},
    {V2, AS, USB_AUDIO_AS_FORMAT_TYPE, "FORMAT_TYPE", Uac2FormatType},
    {V2, EP, USB_AUDIO_EP_GENERAL, "EP_GENERAL", Fixed<8>},
};

}  // namespace

std::span<const ClassDescriptorRule> ClassDescriptorRules() { return kRules; }

const ClassDescriptorRule* FindClassDescriptorRule(AudioVersion version, AudioArea area, uint8_t subtype) {
    for (const ClassDescriptorRule& rule : kRules) {
        if (rule.version == version && rule.area == area && rule.subtype == subtype) return &rule;
    }
    return nullptr;
}

bool ClassDescriptorReadable(AudioVersion version, AudioArea area, ByteSpan descriptor) {
    if (descriptor.size() < 3 || descriptor[0] != descriptor.size()) return false;
    const ClassDescriptorRule* rule = FindClassDescriptorRule(version, area, descriptor[2]);
    return rule != nullptr && descriptor.size() >= rule->needed(descriptor);
}

}  // namespace sim::usb::detail
