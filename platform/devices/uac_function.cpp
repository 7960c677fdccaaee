// Generic USB Audio Class function: entity state from the descriptors and class requests answered
// as UAC 1.0 and 2.0 define them, plus the vendor extensions a device's options declare (jack lists,
// terminal types, extended control blocks; layouts in vendor_extensions.cpp). Requests for controls
// the descriptors do not declare, and requests the function does not model (memory outside an
// extended control block, status, graphic equalizer, mixers), are STALLed.
#include "uac_function.h"

#include "vendor_extensions.h"

#include <sim/verifier.h>

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cstdio>

namespace sim::usb::detail {

namespace {

constexpr uint32_t kStandardRates[] = {44100, 48000, 88200, 96000, 176400, 192000};  // Hz
constexpr uint32_t kFixedClockRate = 48000;                                          // Hz
constexpr size_t kInterruptQueueLimit = 64;  // messages
// A FIFO level off its start point is pulled back over this many seconds by the feedback value.
constexpr int64_t kServoSeconds = 4;

using u128 = unsigned __int128;

// Feature unit controls both releases share. Size 0: not modelled in that release.
struct FeatureControlKind {
    uint8_t selector;
    const char* name;
    uint8_t uac1Size, uac2Size;  // bytes
    bool isSigned, hasRange;
    int32_t minimum, maximum, resolution, initial;
};
constexpr FeatureControlKind kFeatureControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, "MUTE", 1, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO_FU_VOLUME_CONTROL, "VOLUME", 2, 2, true, true, -60 * 256, 0, 128, 0},  // 1/256 dB
    {USB_AUDIO_FU_BASS_CONTROL, "BASS", 1, 1, true, true, -48, 48, 1, 0},             // 1/4 dB
    {USB_AUDIO_FU_MID_CONTROL, "MID", 1, 1, true, true, -48, 48, 1, 0},
    {USB_AUDIO_FU_TREBLE_CONTROL, "TREBLE", 1, 1, true, true, -48, 48, 1, 0},
    {USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL, "GRAPHIC_EQUALIZER", 0, 0, false, false, 0, 0, 0, 0},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, "AUTOMATIC_GAIN", 1, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO_FU_DELAY_CONTROL, "DELAY", 2, 4, false, true, 0, 1024, 1, 0},  // 1/64 ms
    {USB_AUDIO_FU_BASS_BOOST_CONTROL, "BASS_BOOST", 1, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, "LOUDNESS", 1, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO2_FU_INPUT_GAIN_CONTROL, "INPUT_GAIN", 0, 2, true, true, 0, 40 * 256, 256, 0},
    {USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL, "INPUT_GAIN_PAD", 0, 2, true, true, -20 * 256, 0, 256, 0},
    {USB_AUDIO2_FU_PHASE_INVERTER_CONTROL, "PHASE_INVERTER", 0, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO2_FU_UNDERFLOW_CONTROL, "UNDERFLOW", 0, 1, false, false, 0, 1, 1, 0},
    {USB_AUDIO2_FU_OVERFLOW_CONTROL, "OVERFLOW", 0, 1, false, false, 0, 1, 1, 0},
};

// Controls of a feature unit's extended control block (UAC 2.0 only): the switch and the level beside
// the standard ones, addressed with bit 7 of the control selector set.
constexpr FeatureControlKind kExtendedControls[] = {
    {kExtendedVolume, "EXTENDED_VOLUME", 0, 2, true, true, -60 * 256, 0, 128, 0},  // 1/256 dB
    {kExtendedSwitch, "EXTENDED_SWITCH", 0, 1, false, false, 0, 1, 1, 0},
};

const FeatureControlKind* FeatureKind(uint8_t selector) {
    for (const FeatureControlKind& k : kFeatureControls) {
        if (k.selector == selector) return &k;
    }
    return nullptr;
}

uint32_t Key(uint8_t entity, uint8_t selector, uint8_t channel) {
    return uint32_t(entity) << 16 | uint32_t(selector) << 8 | channel;
}

void Encode(int64_t value, uint8_t size, std::span<uint8_t> out) {
    for (uint8_t i = 0; i < size && i < out.size(); ++i) out[i] = uint8_t(uint64_t(value) >> (8 * i));
}

int64_t Decode(std::span<const uint8_t> in, uint8_t size, bool isSigned) {
    uint64_t v = 0;
    for (uint8_t i = 0; i < size; ++i) v |= uint64_t(in[i]) << (8 * i);
    if (isSigned && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~uint64_t(0) << (8 * size);
    return int64_t(v);
}

ControlResult Answer(std::span<const uint8_t> bytes, const SetupPacket& setup, std::span<uint8_t> data) {
    const size_t n = std::min({bytes.size(), size_t(setup.wLength), data.size()});
    std::copy_n(bytes.begin(), n, data.begin());
    return ControlResult::Ok(uint32_t(n));
}

// UAC 1.0 and 2.0 share the entity kinds up to 6; the rest differ.
const char* EntityAbbreviation(AudioVersion version, uint8_t subtype) {
    switch (subtype) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return "IT";
    case USB_AUDIO_AC_OUTPUT_TERMINAL: return "OT";
    case USB_AUDIO_AC_MIXER_UNIT: return "MU";
    case USB_AUDIO_AC_SELECTOR_UNIT: return "SU";
    case USB_AUDIO_AC_FEATURE_UNIT: return "FU";
    default: break;
    }
    if (version == AudioVersion::Uac1) {
        return subtype == USB_AUDIO1_AC_PROCESSING_UNIT ? "PU" : subtype == USB_AUDIO1_AC_EXTENSION_UNIT ? "XU" : "UNIT";
    }
    switch (subtype) {
    case USB_AUDIO2_AC_EFFECT_UNIT: return "EU";
    case USB_AUDIO2_AC_PROCESSING_UNIT: return "PU";
    case USB_AUDIO2_AC_EXTENSION_UNIT: return "XU";
    case USB_AUDIO2_AC_CLOCK_SOURCE: return "CS";
    case USB_AUDIO2_AC_CLOCK_SELECTOR: return "CX";
    case USB_AUDIO2_AC_CLOCK_MULTIPLIER: return "CM";
    default: return "UNIT";
    }
}

std::string RequestName(AudioVersion version, const SetupPacket& setup) {
    if (version == AudioVersion::Uac2) {
        const char* attribute = setup.bRequest == USB_AUDIO2_CUR     ? "CUR"
                                : setup.bRequest == USB_AUDIO2_RANGE ? "RANGE"
                                : setup.bRequest == USB_AUDIO2_MEM   ? "MEM"
                                                                     : nullptr;
        if (attribute == nullptr) return "REQUEST_" + std::to_string(setup.bRequest);
        return std::string(setup.IsIn() ? "GET_" : "SET_") + attribute;
    }
    static const char* const kAttributes[] = {"?", "CUR", "MIN", "MAX", "RES", "MEM"};
    if (setup.bRequest == USB_AUDIO1_GET_STAT) return "GET_STAT";
    const uint8_t attribute = setup.bRequest & 0x7F;
    if (attribute == 0 || attribute > 5) return "REQUEST_" + std::to_string(setup.bRequest);
    return std::string((setup.bRequest & 0x80) ? "GET_" : "SET_") + kAttributes[attribute];
}

}  // namespace

const UacFunction::Alt* UacFunction::Stream::CurrentAlt() const {
    for (const Alt& a : alts) {
        if (a.alternate == current) return &a;
    }
    return nullptr;
}

std::unique_ptr<UacFunction> UacFunction::Create(const ConfigurationModel& config, const AudioOptions& options,
                                                 Speed speed, std::recursive_mutex& lock) {
    for (const AltSettingModel& s : config.settings) {
        if (s.interfaceClass == USB_DEVICE_CLASS_AUDIO && s.interfaceSubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            s.alternate == 0) {
            return std::unique_ptr<UacFunction>(new UacFunction(config, options, speed, lock));
        }
    }
    return nullptr;
}

UacFunction::UacFunction(const ConfigurationModel& config, const AudioOptions& options, Speed speed,
                         std::recursive_mutex& lock)
    : m_Lock(lock), m_Speed(speed), m_Config(config), m_Options(options) {
    for (const AltSettingModel& s : m_Config.settings) {
        if (s.interfaceClass == USB_DEVICE_CLASS_AUDIO && s.interfaceSubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            s.alternate == 0) {
            m_ControlInterface = s.number;
            m_Version = s.interfaceProtocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00 ? AudioVersion::Uac2
                                                                                  : AudioVersion::Uac1;
            for (const EndpointModel& e : s.endpoints) {
                if (e.IsIn() && e.TransferType() == USB_ENDPOINT_TYPE_INTERRUPT && m_InterruptEndpoint == nullptr) {
                    m_InterruptEndpoint = &e;
                }
                if (e.IsIn() && e.TransferType() == USB_ENDPOINT_TYPE_BULK && m_BulkInEndpoint == nullptr) {
                    m_BulkInEndpoint = &e;
                }
            }
            BuildEntities(s);
            break;
        }
    }
    BuildStreams();
    BuildControls();
    PowerOn();
}

void UacFunction::BuildEntities(const AltSettingModel& control) {
    const bool v2 = m_Version == AudioVersion::Uac2;
    for (const std::vector<uint8_t>& bytes : control.classDescriptors) {
        ByteSpan d(bytes);
        if (!ClassDescriptorReadable(m_Version, AudioArea::Control, d) || d[2] == USB_AUDIO_AC_HEADER) continue;
        Entity e{.id = d[3], .subtype = d[2], .descriptor = bytes};
        if (e.id == 0 || m_Entities.count(e.id) != 0) continue;  // id 0 is the interface itself
        auto sourcesAt = [&](size_t countAt) {
            e.sources.assign(d.begin() + countAt + 1, d.begin() + countAt + 1 + d[countAt]);
        };
        switch (e.subtype) {
        case USB_AUDIO_AC_INPUT_TERMINAL:
            if (v2) e.clockSource = d[7];
            break;
        case USB_AUDIO_AC_OUTPUT_TERMINAL:
            e.sources = {d[7]};
            if (v2) e.clockSource = d[8];
            break;
        case USB_AUDIO_AC_MIXER_UNIT:
        case USB_AUDIO_AC_SELECTOR_UNIT:
            sourcesAt(4);
            break;
        case USB_AUDIO_AC_FEATURE_UNIT:
            e.sources = {d[4]};
            break;
        default:
            if (!v2 && (e.subtype == USB_AUDIO1_AC_PROCESSING_UNIT || e.subtype == USB_AUDIO1_AC_EXTENSION_UNIT)) {
                sourcesAt(6);
            } else if (v2 && (e.subtype == USB_AUDIO2_AC_EXTENSION_UNIT || e.subtype == USB_AUDIO2_AC_PROCESSING_UNIT)) {
                sourcesAt(6);
            } else if (v2 && e.subtype == USB_AUDIO2_AC_EFFECT_UNIT) {
                e.sources = {d[6]};
            } else if (v2 && e.subtype == USB_AUDIO2_AC_CLOCK_SELECTOR) {
                sourcesAt(4);
            } else if (v2 && e.subtype == USB_AUDIO2_AC_CLOCK_MULTIPLIER) {
                e.sources = {d[4]};
            }
            break;
        }
        m_Entities.emplace(e.id, std::move(e));
    }
}

void UacFunction::AddFeatureControls(const Entity& unit) {
    ByteSpan d(unit.descriptor);
    const bool v2 = m_Version == AudioVersion::Uac2;
    auto add = [&](const FeatureControlKind& k, size_t ch, uint32_t access) {
        const uint8_t size = v2 ? k.uac2Size : k.uac1Size;
        if (size == 0 || (access != USB_AUDIO2_CONTROL_READ_ONLY && access != USB_AUDIO2_CONTROL_PROGRAMMABLE)) return;
        m_Controls[Key(unit.id, k.selector, uint8_t(ch))] = Control{
            .name = k.name,
            .size = size,
            .isSigned = k.isSigned,
            .writable = access == USB_AUDIO2_CONTROL_PROGRAMMABLE,
            .hasRange = k.hasRange,
            .initial = k.initial,
            .minimum = k.minimum,
            .maximum = k.maximum,
            .resolution = k.resolution,
        };
    };
    if (auto it = m_Options.extendedControlBlocks.find(unit.id); v2 && it != m_Options.extendedControlBlocks.end()) {
        const std::vector<uint32_t> entries = ExtendedControlEntries(it->second);
        for (size_t ch = 0; ch < entries.size() && ch < 256; ++ch) {
            for (const FeatureControlKind& k : kExtendedControls) {
                add(k, ch, (entries[ch] >> (2 * ((k.selector & 0x7F) - 1))) & 3);
            }
        }
    }
    const size_t entrySize = v2 ? 4 : d[5];
    const size_t first = v2 ? 5 : 6;
    const size_t entries = (d.size() - first - 1) / entrySize;  // master included; iFeature last
    for (size_t ch = 0; ch < entries && ch < 256; ++ch) {
        uint32_t bits = 0;
        for (size_t i = 0; i < std::min<size_t>(entrySize, 4); ++i) bits |= uint32_t(d[first + ch * entrySize + i]) << (8 * i);
        for (const FeatureControlKind& k : kFeatureControls) {
            add(k, ch, v2 ? (bits >> (2 * (k.selector - 1))) & 3 : ((bits >> (k.selector - 1)) & 1) ? 3 : 0);
        }
    }
}

void UacFunction::BuildControls() {
    const bool v2 = m_Version == AudioVersion::Uac2;
    for (const auto& [id, e] : m_Entities) {
        ByteSpan d(e.descriptor);
        const int64_t pins = int64_t(e.sources.size());
        switch (e.subtype) {
        case USB_AUDIO_AC_FEATURE_UNIT:
            AddFeatureControls(e);
            continue;
        case USB_AUDIO_AC_SELECTOR_UNIT: {
            const uint32_t access = v2 ? d[5 + pins] & 3 : USB_AUDIO2_CONTROL_PROGRAMMABLE;
            if (access == 0 || pins == 0) break;
            m_Controls[Key(id, v2 ? USB_AUDIO2_SU_SELECTOR_CONTROL : 0, 0)] =
                Control{.name = "SELECTOR", .writable = access == 3, .hasRange = !v2, .strict = true,
                        .initial = 1, .minimum = 1, .maximum = pins, .resolution = 1};
            break;
        }
        case USB_AUDIO_AC_INPUT_TERMINAL:
        case USB_AUDIO_AC_OUTPUT_TERMINAL: {
            if (!v2) break;
            const uint16_t controls = Le16(d, e.subtype == USB_AUDIO_AC_INPUT_TERMINAL ? 14 : 9);
            const VendorTerminal* vendor = VendorTerminalOf(id);
            if (vendor != nullptr && e.subtype == USB_AUDIO_AC_OUTPUT_TERMINAL) {
                Control type{.name = "TERMINAL_TYPE", .size = 2, .writable = true, .hasRange = true, .strict = true,
                             .initial = vendor->types.front().terminalType};
                for (const VendorTerminalType& t : vendor->types) type.ranges.push_back({t.terminalType, t.terminalType, 0});
                m_Controls[Key(id, kTerminalTypeSelector, 0)] = std::move(type);
            }
            if (((controls >> 2) & 3) == 0) break;
            // A vendor terminal's connector value is the mask of connected channels; a plain one's
            // says whether the whole cluster is connected.
            m_Controls[Key(id, USB_AUDIO2_TE_CONNECTOR_CONTROL, 0)] =
                vendor != nullptr ? Control{.name = "CONNECTOR", .size = 4, .initial = vendor->connectedChannels,
                                            .maximum = UINT32_MAX}
                                  : Control{.name = "CONNECTOR", .initial = 1, .maximum = 1, .resolution = 1};
            break;
        }
        default:
            break;
        }
        if (!v2) continue;
        if (e.subtype == USB_AUDIO2_AC_CLOCK_SOURCE) {
            const uint8_t controls = d[5];
            // A clock the host cannot set runs at one rate: the first it lists, else 48 kHz.
            std::vector<uint32_t> rates(std::begin(kStandardRates), std::end(kStandardRates));
            if ((controls & 3) != 3) rates = {kFixedClockRate};
            if (auto it = m_Options.clockRates.find(id); it != m_Options.clockRates.end() && !it->second.empty()) {
                rates = it->second;
                if ((controls & 3) != 3) rates.resize(1);
            }
            Control rate{.name = "SAM_FREQ", .size = 4, .writable = (controls & 3) == 3, .hasRange = true,
                         .requestable = (controls & 3) != 0, .strict = true, .initial = rates.front()};
            for (uint32_t r : rates) rate.ranges.push_back({r, r, 0});
            if (auto it = m_Options.clockRanges.find(id); it != m_Options.clockRanges.end() && !it->second.empty()) {
                rate.ranges = it->second;
                rate.initial = it->second.front().minimum;
            }
            m_Controls[Key(id, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0)] = std::move(rate);
            m_Controls[Key(id, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0)] =
                Control{.name = "CLOCK_VALID", .requestable = ((controls >> 2) & 3) != 0, .initial = 1,
                        .maximum = 1, .resolution = 1};
        } else if (e.subtype == USB_AUDIO2_AC_CLOCK_MULTIPLIER) {
            // Numerator and denominator of the multiplied clock, CUR only.
            const uint8_t controls = d[5];
            const std::pair<uint8_t, const char*> parts[] = {{USB_AUDIO2_CM_NUMERATOR_CONTROL, "NUMERATOR"},
                                                             {USB_AUDIO2_CM_DENOMINATOR_CONTROL, "DENOMINATOR"}};
            for (const auto& [selector, name] : parts) {
                const uint32_t access = (controls >> (2 * (selector - 1))) & 3;
                if (access == 0) continue;
                m_Controls[Key(id, selector, 0)] = Control{.name = name, .size = 2, .writable = access == 3, .strict = true,
                                                           .initial = 1, .minimum = 1, .maximum = 0xFFFF};
            }
        } else if (e.subtype == USB_AUDIO2_AC_CLOCK_SELECTOR && pins > 0) {
            const uint8_t controls = d[5 + pins];
            m_Controls[Key(id, USB_AUDIO2_CX_CLOCK_SELECTOR_CONTROL, 0)] =
                Control{.name = "CLOCK_SELECTOR", .writable = (controls & 3) == 3, .requestable = (controls & 3) != 0,
                        .strict = true, .initial = 1, .minimum = 1, .maximum = pins, .resolution = 1};
        }
    }

    // UAC 1.0 sampling frequency per data endpoint: the rates of every setting that uses it.
    for (const auto& [number, stream] : m_Streams) {
        for (const Alt& a : stream.alts) {
            if (!a.frequencyControl || a.data == nullptr) continue;
            Control& c = m_EndpointControls[uint16_t(a.data->address << 8 | USB_AUDIO1_EP_SAMPLING_FREQ_CONTROL)];
            c.name = "SAMPLING_FREQ";
            c.size = 3;
            c.writable = true;
            if (a.rates.empty()) {
                c.minimum = c.minimum == 0 ? a.lowerRate : std::min<int64_t>(c.minimum, a.lowerRate);
                c.maximum = std::max<int64_t>(c.maximum, a.upperRate);
                if (c.initial == 0) c.initial = a.lowerRate;
            } else {
                for (uint32_t r : a.rates) {
                    const SubRange one{r, r, 0};
                    if (std::none_of(c.ranges.begin(), c.ranges.end(), [&](const SubRange& x) { return x.minimum == r; })) {
                        c.ranges.push_back(one);
                    }
                }
                if (c.initial == 0) c.initial = a.rates.front();
            }
        }
    }

    for (const ControlPreset& p : m_Options.controls) {
        Control* c = Find(p.entity, p.selector, p.channel);
        if (c == nullptr) {
            sim::BugCheck("USB_DEVICE_MODEL", "preset for entity %u selector %u channel %u, which has no such control",
                          p.entity, p.selector, p.channel);
        }
        if (p.minimum) c->minimum = *p.minimum;
        if (p.maximum) c->maximum = *p.maximum;
        if (p.resolution) c->resolution = *p.resolution;
        if (!p.ranges.empty()) {
            c->ranges = p.ranges;
            c->resolution = p.ranges.front().resolution;
            for (const SubRange& r : p.ranges) {
                c->minimum = std::min(c->minimum, r.minimum);
                c->maximum = std::max(c->maximum, r.maximum);
            }
        }
        c->initial = p.current;
    }
}

void UacFunction::BuildStreams() {
    const bool v2 = m_Version == AudioVersion::Uac2;
    for (const AltSettingModel& s : m_Config.settings) {
        if (s.interfaceClass != USB_DEVICE_CLASS_AUDIO || s.interfaceSubClass != USB_AUDIO_SUBCLASS_AUDIOSTREAMING) {
            continue;
        }
        Stream& stream = m_Streams[s.number];
        stream.number = s.number;
        Alt a{.alternate = s.alternate};
        bool general = false, format = false;
        for (const std::vector<uint8_t>& bytes : s.classDescriptors) {
            ByteSpan d(bytes);
            if (!ClassDescriptorReadable(m_Version, AudioArea::Streaming, d)) continue;
            if (d[2] == USB_AUDIO_AS_GENERAL && !general) {
                general = true;
                a.terminalLink = d[3];
                if (v2) {
                    a.asControls = d[4];
                    a.channels = d[10];
                }
            } else if (d[2] == USB_AUDIO_AS_FORMAT_TYPE && !format) {
                if (v2 && (d[3] == USB_AUDIO_FORMAT_TYPE_I || d[3] == USB_AUDIO_FORMAT_TYPE_III)) {
                    format = true;
                    a.subslotBytes = d[4];
                    a.bitResolution = d[5];
                } else if (!v2 && (d[3] == USB_AUDIO_FORMAT_TYPE_I || d[3] == USB_AUDIO_FORMAT_TYPE_III)) {
                    format = true;
                    a.channels = d[4];
                    a.subslotBytes = d[5];
                    a.bitResolution = d[6];
                    if (d[7] == 0) {
                        a.lowerRate = Le24(d, 8);
                        a.upperRate = Le24(d, 11);
                    } else {
                        for (size_t i = 0; i < d[7]; ++i) a.rates.push_back(Le24(d, 8 + 3 * i));
                    }
                }
            }
        }
        a.hasFormat = general && format && a.channels > 0 && a.subslotBytes >= 1 && a.subslotBytes <= 4;
        for (const EndpointModel& e : s.endpoints) {
            if (e.TransferType() != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
            const bool feedbackUsage = (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK;
            if (!feedbackUsage && a.data == nullptr) a.data = &e;
        }
        for (const EndpointModel& e : s.endpoints) {
            if (e.TransferType() != USB_ENDPOINT_TYPE_ISOCHRONOUS || !e.IsIn() || &e == a.data) continue;
            const bool feedbackUsage = (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK;
            if (feedbackUsage || (a.data != nullptr && a.data->synchAddress == e.address)) a.feedback = &e;
        }
        if (!v2 && a.data != nullptr) {
            for (const std::vector<uint8_t>& bytes : a.data->classDescriptors) {
                if (ClassDescriptorReadable(m_Version, AudioArea::Endpoint, ByteSpan(bytes)) &&
                    (bytes[3] & USB_AUDIO1_EP_ATTR_SAMPLING_FREQ) != 0) {
                    a.frequencyControl = true;
                }
            }
        }
        if (a.data != nullptr) stream.render = !a.data->IsIn();
        stream.alts.push_back(std::move(a));
    }
    for (auto& [number, stream] : m_Streams) {
        const bool hasData = std::any_of(stream.alts.begin(), stream.alts.end(), [](const Alt& a) { return a.data; });
        if (!hasData) continue;
        if (stream.render) {
            stream.sink = std::make_unique<RenderSink>();
            stream.sink->SetLock(&m_Lock);
        } else {
            stream.source = std::make_unique<CaptureSource>();
            stream.source->SetLock(&m_Lock);
        }
    }
}

void UacFunction::PowerOn() {
    std::lock_guard guard(m_Lock);
    for (auto& [key, c] : m_Controls) c.current = c.initial;
    for (auto& [key, c] : m_EndpointControls) c.current = c.initial;
    for (auto& [number, stream] : m_Streams) OnInterfaceChanged(number, 0);
    m_Interrupts.clear();
    m_BulkIn.clear();
}

UacFunction::Control* UacFunction::Find(uint8_t entity, uint8_t selector, uint8_t channel) {
    auto it = m_Controls.find(Key(entity, selector, channel));
    return it == m_Controls.end() ? nullptr : &it->second;
}

const UacFunction::Control* UacFunction::Find(uint8_t entity, uint8_t selector, uint8_t channel) const {
    auto it = m_Controls.find(Key(entity, selector, channel));
    return it == m_Controls.end() ? nullptr : &it->second;
}

namespace {

// The value of a sub-range nearest to `value`: clamped into it, then down to its resolution grid.
int64_t NearestIn(const SubRange& r, int64_t value) {
    const int64_t v = std::clamp(value, r.minimum, std::max(r.minimum, r.maximum));
    return r.resolution > 0 ? r.minimum + (v - r.minimum) / r.resolution * r.resolution : v;
}

}  // namespace

bool UacFunction::Assign(Control& c, int64_t value) const {
    if (c.size == 2 && c.isSigned && value == USB_AUDIO_VOLUME_SILENCE && c.hasRange) {
        c.current = value;  // minus infinity is a valid setting of a level
        return true;
    }
    if (!c.ranges.empty()) {
        // Taken as it is when a sub-range holds it on its grid; else refused (strict) or the nearest
        // value the device has is taken (the device runs at the nearest rate and reports that one).
        int64_t best = NearestIn(c.ranges.front(), value);
        for (const SubRange& r : c.ranges) {
            const int64_t v = NearestIn(r, value);
            if (std::llabs(v - value) < std::llabs(best - value)) best = v;
        }
        if (best != value && c.strict) return false;
        c.current = best;
        return true;
    }
    if (value < c.minimum || value > c.maximum) {
        if (c.strict) return false;
        value = std::clamp(value, c.minimum, c.maximum);
    }
    if (c.maximum == 1 && c.minimum == 0 && !c.hasRange) {
        value = value != 0;
    } else if (c.resolution > 0) {
        value = c.minimum + (value - c.minimum) / c.resolution * c.resolution;
    }
    c.current = value;
    return true;
}

std::optional<std::pair<uint8_t, uint32_t>> UacFunction::Cluster(uint8_t entity) const {
    std::bitset<256> visited;
    const bool v2 = m_Version == AudioVersion::Uac2;
    for (int depth = 0; depth < 256 && !visited[entity]; ++depth) {
        visited[entity] = true;
        auto it = m_Entities.find(entity);
        if (it == m_Entities.end()) return std::nullopt;
        const Entity& e = it->second;
        ByteSpan d(e.descriptor);
        const size_t p = e.sources.size();
        switch (e.subtype) {
        case USB_AUDIO_AC_INPUT_TERMINAL:
            return v2 ? std::pair<uint8_t, uint32_t>{d[8], Le32(d, 9)} : std::pair<uint8_t, uint32_t>{d[7], Le16(d, 8)};
        case USB_AUDIO_AC_MIXER_UNIT:
            return v2 ? std::pair<uint8_t, uint32_t>{d[5 + p], Le32(d, 6 + p)}
                      : std::pair<uint8_t, uint32_t>{d[5 + p], Le16(d, 6 + p)};
        default:
            if (e.sources.empty()) return std::nullopt;
            entity = e.sources.front();
            break;
        }
    }
    return std::nullopt;
}

uint32_t UacFunction::ClockRate(uint8_t entity) const {
    std::bitset<256> visited;
    u128 numerator = 1, denominator = 1;  // of the multipliers passed on the way to the source
    for (int depth = 0; depth < 256 && !visited[entity]; ++depth) {
        visited[entity] = true;
        auto it = m_Entities.find(entity);
        if (it == m_Entities.end()) return 0;
        const Entity& e = it->second;
        if (e.subtype == USB_AUDIO2_AC_CLOCK_SOURCE) {
            const Control* rate = Find(entity, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0);
            if (rate == nullptr) return 0;
            return uint32_t(std::min<u128>(u128(uint64_t(rate->current)) * numerator / denominator, UINT32_MAX));
        }
        if (e.subtype == USB_AUDIO2_AC_CLOCK_SELECTOR) {
            const Control* c = Find(entity, USB_AUDIO2_CX_CLOCK_SELECTOR_CONTROL, 0);
            if (c == nullptr || c->current < 1 || size_t(c->current) > e.sources.size()) return 0;
            entity = e.sources[size_t(c->current) - 1];
        } else if (e.subtype == USB_AUDIO2_AC_CLOCK_MULTIPLIER && !e.sources.empty()) {
            const Control* p = Find(entity, USB_AUDIO2_CM_NUMERATOR_CONTROL, 0);
            const Control* q = Find(entity, USB_AUDIO2_CM_DENOMINATOR_CONTROL, 0);
            numerator *= p != nullptr ? uint64_t(p->current) : 1;
            denominator *= q != nullptr ? uint64_t(q->current) : 1;
            if (numerator == 0 || denominator == 0) return 0;
            entity = e.sources.front();
        } else {
            return 0;
        }
    }
    return 0;
}

uint32_t UacFunction::RateOf(const Stream& stream) const {
    const Alt* a = stream.CurrentAlt();
    if (a == nullptr || !a->hasFormat) {
        auto it = std::find_if(stream.alts.begin(), stream.alts.end(), [](const Alt& x) { return x.hasFormat; });
        if (it == stream.alts.end()) return 0;
        a = &*it;
    }
    if (m_Version == AudioVersion::Uac1) {
        if (a->data != nullptr) {
            auto it = m_EndpointControls.find(uint16_t(a->data->address << 8 | USB_AUDIO1_EP_SAMPLING_FREQ_CONTROL));
            if (it != m_EndpointControls.end()) return uint32_t(it->second.current);
        }
        return a->rates.empty() ? a->lowerRate : a->rates.front();
    }
    auto terminal = m_Entities.find(a->terminalLink);
    if (terminal == m_Entities.end()) return 0;
    return ClockRate(terminal->second.clockSource);
}

StreamFormat UacFunction::FormatOf(const Stream& stream) const {
    const Alt* a = stream.CurrentAlt();
    if (a == nullptr || !a->hasFormat) return {};
    return StreamFormat{.channels = a->channels,
                        .subslotBytes = a->subslotBytes,
                        .bitResolution = a->bitResolution,
                        .rateHz = RateOf(stream)};
}

UacFunction::Stream* UacFunction::StreamOfEndpoint(uint8_t endpoint, bool feedback) {
    for (auto& [number, stream] : m_Streams) {
        const Alt* a = stream.CurrentAlt();
        const EndpointModel* e = a == nullptr ? nullptr : feedback ? a->feedback : a->data;
        if (e != nullptr && e->address == endpoint) return &stream;
    }
    return nullptr;
}

uint32_t UacFunction::ValidAltSettings(const Stream& stream) const {
    const uint32_t rate = RateOf(stream);
    uint32_t valid = 0;
    for (const Alt& a : stream.alts) {
        if (a.alternate >= 32) continue;
        auto it = m_Options.altSettingRates.find(uint16_t(stream.number << 8 | a.alternate));
        const bool atRate = it == m_Options.altSettingRates.end() ||
                            std::find(it->second.begin(), it->second.end(), rate) != it->second.end();
        if (a.alternate == 0 || atRate) valid |= 1u << a.alternate;
    }
    return valid;
}

// ---- Requests ----

ControlResult UacFunction::ScalarRequest(Control& c, const SetupPacket& setup, std::span<uint8_t> data) {
    if (!c.requestable) return ControlResult::Stall();
    uint8_t buffer[4 + 255 * 12];
    const bool v2 = m_Version == AudioVersion::Uac2;
    const bool get = v2 ? setup.IsIn() : (setup.bRequest & 0x80) != 0;
    if (get != setup.IsIn()) return ControlResult::Stall();
    const uint8_t attribute = v2 ? setup.bRequest : setup.bRequest & 0x7F;

    if (!get) {
        const size_t n = std::min<size_t>(setup.wLength, data.size());
        if (attribute != 1 || !c.writable || n < c.size) return ControlResult::Stall();
        if (!Assign(c, Decode(data, c.size, c.isSigned))) return ControlResult::Stall();
        return ControlResult::Ok(uint32_t(n));
    }
    if (setup.bRequest == USB_AUDIO1_GET_STAT && !v2) return ControlResult::Stall();
    if (v2 && attribute == USB_AUDIO2_RANGE) {
        if (!c.hasRange) return ControlResult::Stall();
        std::vector<std::array<int64_t, 3>> ranges;
        if (c.ranges.empty()) {
            ranges.push_back({c.minimum, c.maximum, c.resolution});
        } else {
            for (const SubRange& r : c.ranges) ranges.push_back({r.minimum, r.maximum, r.resolution});
        }
        ranges.resize(std::min<size_t>(ranges.size(), 255));
        Encode(int64_t(ranges.size()), 2, std::span(buffer, 2));
        size_t at = 2;
        for (const auto& r : ranges) {
            for (int64_t v : r) {
                Encode(v, c.size, std::span(buffer + at, c.size));
                at += c.size;
            }
        }
        return Answer(std::span(buffer, at), setup, data);
    }
    int64_t value;
    switch (attribute) {
    case 1: value = c.current; break;
    case 2: value = c.minimum; break;
    case 3: value = c.maximum; break;
    case 4: value = c.resolution; break;
    default: return ControlResult::Stall();
    }
    if (attribute != 1 && (v2 || !c.hasRange)) return ControlResult::Stall();
    Encode(value, c.size, std::span(buffer, c.size));
    return Answer(std::span(buffer, c.size), setup, data);
}

const VendorTerminal* UacFunction::VendorTerminalOf(uint8_t entity) const {
    auto it = m_Options.vendorTerminals.find(entity);
    if (m_Version != AudioVersion::Uac2 || it == m_Options.vendorTerminals.end() || it->second.types.empty()) {
        return nullptr;
    }
    return &it->second;
}

// The jack list of a vendor terminal's current type.
std::optional<ControlResult> UacFunction::VendorTerminalRequest(const Entity& terminal, const SetupPacket& setup,
                                                                std::span<uint8_t> data) {
    const VendorTerminal* vendor = VendorTerminalOf(terminal.id);
    if (vendor == nullptr || (setup.wValue >> 8) != USB_AUDIO2_TE_CONNECTOR_CONTROL ||
        (setup.wValue & 0xFF) != kJackListChannel) {
        return std::nullopt;
    }
    if (!setup.IsIn() || setup.bRequest != USB_AUDIO2_CUR) return ControlResult::Stall();
    const VendorTerminalType* type = &vendor->types.front();
    if (const Control* selected = Find(terminal.id, kTerminalTypeSelector, 0)) {
        for (const VendorTerminalType& t : vendor->types) {
            if (t.terminalType == selected->current) type = &t;
        }
    }
    const Control* connector = Find(terminal.id, USB_AUDIO2_TE_CONNECTOR_CONTROL, 0);
    const uint32_t connected = connector != nullptr ? uint32_t(connector->current) : vendor->connectedChannels;
    return Answer(BuildJackList(type->jacks, connected), setup, data);
}

// GET MEM of a feature unit's extended control block: the bytes from offset wValue on.
ControlResult UacFunction::MemoryRequest(uint8_t entity, const SetupPacket& setup, std::span<uint8_t> data) const {
    auto it = m_Options.extendedControlBlocks.find(entity);
    auto unit = m_Entities.find(entity);
    if (!setup.IsIn() || it == m_Options.extendedControlBlocks.end() || unit == m_Entities.end() ||
        unit->second.subtype != USB_AUDIO_AC_FEATURE_UNIT || setup.wValue >= it->second.size()) {
        return ControlResult::Stall();
    }
    return Answer(std::span(it->second).subspan(setup.wValue), setup, data);
}

std::optional<ControlResult> UacFunction::EntityRequest(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint8_t entity = setup.wIndex >> 8;
    const uint8_t selector = setup.wValue >> 8;
    const uint8_t channel = setup.wValue & 0xFF;
    auto it = m_Entities.find(entity);
    if (it == m_Entities.end()) return ControlResult::Stall();
    const Entity& e = it->second;
    const bool v2 = m_Version == AudioVersion::Uac2;
    if (v2 && setup.bRequest == USB_AUDIO2_MEM) return MemoryRequest(entity, setup, data);
    const bool terminal = e.subtype == USB_AUDIO_AC_INPUT_TERMINAL || e.subtype == USB_AUDIO_AC_OUTPUT_TERMINAL;
    if (terminal) {
        if (std::optional<ControlResult> r = VendorTerminalRequest(e, setup, data)) return r;
    }
    Control* c = Find(entity, selector, channel);
    if (c == nullptr) return ControlResult::Stall();
    if (v2 && terminal && selector == USB_AUDIO2_TE_CONNECTOR_CONTROL) {
        // CUR is the cluster of the connected channels: bNrChannels, bmChannelConfig, iChannelNames.
        // A vendor terminal connects channel by channel, a plain one all or nothing.
        if (!setup.IsIn() || setup.bRequest != USB_AUDIO2_CUR) return ControlResult::Stall();
        uint8_t cluster[6] = {};
        if (c->current != 0) {
            if (auto cl = Cluster(entity)) {
                uint32_t config = cl->second;
                uint8_t channels = cl->first;
                if (VendorTerminalOf(entity) != nullptr) {
                    config &= uint32_t(c->current);
                    channels = uint8_t(std::popcount(config));
                }
                cluster[0] = channels;
                Encode(config, 4, std::span(cluster + 1, 4));
            }
        }
        return Answer(cluster, setup, data);
    }
    return ScalarRequest(*c, setup, data);
}

std::optional<ControlResult> UacFunction::StreamingRequest(Stream& stream, const SetupPacket& setup,
                                                           std::span<uint8_t> data) {
    if (m_Version != AudioVersion::Uac2 || (setup.wIndex >> 8) != 0 || (setup.wValue & 0xFF) != 0 ||
        !setup.IsIn() || setup.bRequest != USB_AUDIO2_CUR) {
        return ControlResult::Stall();
    }
    uint8_t declared = 0;
    for (const Alt& a : stream.alts) declared |= a.asControls;
    const uint8_t selector = setup.wValue >> 8;
    if (selector == USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL && (declared & 0x03) != 0) {
        const uint8_t current = stream.current;
        return Answer(std::span(&current, 1), setup, data);
    }
    if (selector == USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL && (declared & 0x0C) != 0) {
        uint8_t highest = 0;
        for (const Alt& a : stream.alts) highest = std::max(highest, a.alternate);
        const uint8_t bytes = uint8_t(highest / 8 + 1);
        const uint32_t valid = ValidAltSettings(stream);
        uint8_t answer[1 + 32] = {bytes};
        for (uint8_t i = 0; i < bytes && i < 4; ++i) answer[1 + i] = uint8_t(valid >> (8 * i));
        return Answer(std::span(answer, 1 + bytes), setup, data);
    }
    return ControlResult::Stall();
}

std::optional<ControlResult> UacFunction::EndpointRequest(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint8_t endpoint = setup.wIndex & 0xFF;
    auto it = m_EndpointControls.find(uint16_t(endpoint << 8 | setup.wValue >> 8));
    if (it != m_EndpointControls.end() && (setup.wValue & 0xFF) == 0) {
        ControlResult r = ScalarRequest(it->second, setup, data);
        for (auto& [number, stream] : m_Streams) OnInterfaceChanged(number, stream.current);  // rate may change
        return r;
    }
    for (const auto& [number, stream] : m_Streams) {
        for (const Alt& a : stream.alts) {
            if ((a.data != nullptr && a.data->address == endpoint) ||
                (a.feedback != nullptr && a.feedback->address == endpoint)) {
                return ControlResult::Stall();
            }
        }
    }
    return std::nullopt;
}

std::optional<ControlResult> UacFunction::OnControl(const SetupPacket& setup, std::span<uint8_t> data) {
    std::lock_guard guard(m_Lock);
    if (setup.Type() != BMREQUEST_CLASS) return std::nullopt;
    if (setup.Recipient() == BMREQUEST_TO_ENDPOINT) return EndpointRequest(setup, data);
    if (setup.Recipient() != BMREQUEST_TO_INTERFACE) return std::nullopt;
    const uint8_t number = setup.wIndex & 0xFF;
    if (number == m_ControlInterface) {
        if ((setup.wIndex >> 8) == 0) return ControlResult::Stall();
        std::optional<ControlResult> r = EntityRequest(setup, data);
        if (!setup.IsIn()) {
            for (auto& [n, stream] : m_Streams) OnInterfaceChanged(n, stream.current);  // a clock may change
        }
        return r;
    }
    if (auto it = m_Streams.find(number); it != m_Streams.end()) return StreamingRequest(it->second, setup, data);
    return std::nullopt;
}

// ---- Data ----

std::optional<PacketResult> UacFunction::OnData(const DataPacket& packet) {
    std::lock_guard guard(m_Lock);
    if (m_InterruptEndpoint != nullptr && packet.endpoint == m_InterruptEndpoint->address) {
        if (m_Interrupts.empty()) return PacketResult{.nak = true};
        std::vector<uint8_t> message = std::move(m_Interrupts.front());
        m_Interrupts.pop_front();
        const size_t n = std::min({message.size(), packet.in.size(), size_t(m_InterruptEndpoint->MaxPacketBytes())});
        std::copy_n(message.begin(), n, packet.in.begin());
        return PacketResult{.length = uint32_t(n)};
    }
    if (m_BulkInEndpoint != nullptr && packet.endpoint == m_BulkInEndpoint->address) {
        if (m_BulkIn.empty()) return PacketResult{.nak = true};
        const size_t n = std::min({m_BulkIn.size(), packet.in.size(), size_t(m_BulkInEndpoint->MaxPacketBytes())});
        std::copy_n(m_BulkIn.begin(), n, packet.in.begin());
        m_BulkIn.erase(m_BulkIn.begin(), m_BulkIn.begin() + std::ptrdiff_t(n));
        return PacketResult{.length = uint32_t(n)};
    }
    if (Stream* s = StreamOfEndpoint(packet.endpoint, false)) {
        const Alt* a = s->CurrentAlt();
        // Asynchronous endpoints run on the device's own clock; the others follow the bus.
        const bool async = (a->data->attributes & USB_ENDPOINT_SYNC_MASK) == USB_ENDPOINT_SYNC_ASYNCHRONOUS;
        if (s->sink) {
            s->sink->Accept(packet.out, a->data->MaxPacketBytes(), packet.microframe, async ? m_ClockOffsetPpm : 0);
            return PacketResult{.length = uint32_t(packet.out.size())};
        }
        const StreamFormat f = s->source->Format();
        if (f.FrameBytes() == 0 || f.rateHz == 0) return PacketResult{};
        // Frames due in this packet's service interval on the device clock.
        // At full speed an isochronous endpoint is served every frame, whatever its bInterval says.
        const uint64_t interval = m_Speed == Speed::High ? uint64_t(1) << (std::clamp<int>(a->data->interval, 1, 16) - 1) : 8;
        const u128 scale = u128(f.rateHz) * uint64_t(1'000'000 + (async ? m_ClockOffsetPpm : 0));
        auto due = [&](uint64_t t) { return uint64_t(scale * t / u128(8000ull * 1'000'000ull)); };
        const uint64_t n0 = due(packet.microframe);
        uint64_t count = due(packet.microframe + interval) - n0;
        count = std::min<uint64_t>(count, a->data->MaxPacketBytes() / f.FrameBytes());
        // The device sends what its clock made due; what does not fit the host's room for the packet
        // is lost, and the host sees babble (a length past the room).
        const uint64_t fits = std::min<uint64_t>(count, packet.in.size() / f.FrameBytes());
        const uint32_t produced = s->source->Produce(n0, uint32_t(fits), packet.in);
        return PacketResult{.length = count > fits ? uint32_t(count * f.FrameBytes()) : produced};
    }
    if (Stream* s = StreamOfEndpoint(packet.endpoint, true)) {
        // Explicit feedback: samples per (micro)frame, 16.16 in 4 bytes at high speed; at full speed
        // 10.14 in 3 bytes, or 16.16 in 4 when the endpoint's wMaxPacketSize says 4 (a common
        // firmware choice). A read with less room than the value is a babble: nothing arrives.
        const bool high = m_Speed == Speed::High;
        const Alt* a = s->CurrentAlt();
        const uint32_t width = high || (a != nullptr && a->feedback->MaxPacketBytes() >= 4) ? 4 : 3;
        if (packet.in.size() < width) return PacketResult{.status = USBD_STATUS_BABBLE_DETECTED};
        const uint32_t value = m_FeedbackOverride ? *m_FeedbackOverride : FeedbackValue(*s, packet.microframe, width);
        Encode(value, uint8_t(width), packet.in);
        return PacketResult{.length = width};
    }
    return std::nullopt;
}

// The feedback value a device sends: its clock's rate counted against the bus (the value moves by
// one unit from read to read so that its mean is exact), plus a FIFO servo: while the render FIFO
// runs, a level away from where playback started pulls the value back over kServoSeconds.
uint32_t UacFunction::FeedbackValue(const Stream& s, uint64_t microframe, uint32_t width) const {
    const bool high = m_Speed == Speed::High;
    const uint32_t intervalsPerSecond = high ? 8000 : 1000;
    const unsigned fractionBits = width == 4 ? 16 : 14;
    const Alt* a = s.CurrentAlt();
    const uint64_t busInterval = high ? 1 : 8;  // microframes
    const uint64_t readInterval = uint64_t(1) << (std::clamp<int>(a->feedback->interval, 1, 16) - 1);
    // counted(n): value units (samples per interval, fixed point) the device clock has run through
    // by read n; each read sends the difference to the one before, so the mean is exact.
    const u128 perSecond = (u128(RateOf(s)) * uint64_t(1'000'000 + m_ClockOffsetPpm)) << fractionBits;
    const u128 divisor = u128(intervalsPerSecond) * 1'000'000u;
    const uint64_t read = microframe / busInterval / readInterval;
    auto counted = [&](uint64_t reads) { return perSecond * reads / divisor; };
    int64_t value = int64_t(counted(read + 1) - counted(read));
    if (m_FeedbackServo && s.sink != nullptr) {
        const FifoStatistics fifo = s.sink->Fifo();
        const FifoConfig config = s.sink->FifoSetting();
        if (fifo.running) {
            const int64_t error = int64_t(config.startFrames) - fifo.level;
            value += error * (int64_t(1) << fractionBits) / (int64_t(intervalsPerSecond) * kServoSeconds);
        }
    }
    return uint32_t(std::max<int64_t>(value, 0));
}

void UacFunction::OnInterfaceChanged(uint8_t number, uint8_t alternate) {
    std::lock_guard guard(m_Lock);
    auto it = m_Streams.find(number);
    if (it == m_Streams.end()) return;
    Stream& s = it->second;
    const bool restarted = s.current != alternate;
    s.current = alternate;
    if (restarted && s.sink) s.sink->RestartStream();
    const StreamFormat f = FormatOf(s);
    if (f.channels == 0) return;
    if (s.sink) s.sink->SetFormat(f);
    if (s.source) s.source->SetFormat(f);
}

// ---- Description for the log ----

const char* UacFunction::ControlName(uint8_t entity, uint8_t selector) const {
    auto it = m_Entities.find(entity);
    if (it == m_Entities.end()) return nullptr;
    const uint8_t subtype = it->second.subtype;
    const bool v2 = m_Version == AudioVersion::Uac2;
    if (subtype == USB_AUDIO_AC_FEATURE_UNIT) {
        for (const FeatureControlKind& x : kExtendedControls) {
            if (v2 && x.selector == selector) return x.name;
        }
        const FeatureControlKind* k = FeatureKind(selector);
        return k == nullptr ? nullptr : k->name;
    }
    if (subtype == USB_AUDIO_AC_SELECTOR_UNIT) return "SELECTOR";
    if (v2 && subtype == USB_AUDIO2_AC_CLOCK_SOURCE) {
        return selector == 1 ? "SAM_FREQ" : selector == 2 ? "CLOCK_VALID" : nullptr;
    }
    if (v2 && subtype == USB_AUDIO2_AC_CLOCK_SELECTOR && selector == 1) return "CLOCK_SELECTOR";
    if (v2 && subtype == USB_AUDIO2_AC_CLOCK_MULTIPLIER) {
        return selector == 1 ? "NUMERATOR" : selector == 2 ? "DENOMINATOR" : nullptr;
    }
    if (subtype == USB_AUDIO_AC_INPUT_TERMINAL || subtype == USB_AUDIO_AC_OUTPUT_TERMINAL) {
        static const char* const kTerminal[] = {nullptr, "COPY_PROTECT", "CONNECTOR", "OVERLOAD",
                                                "CLUSTER", "UNDERFLOW", "OVERFLOW", "LATENCY"};
        if (v2 && selector == kTerminalTypeSelector && VendorTerminalOf(entity) != nullptr) return "TERMINAL_TYPE";
        return selector < 8 ? kTerminal[selector] : nullptr;
    }
    return nullptr;
}

std::string UacFunction::EntityName(uint8_t id) const {
    auto it = m_Entities.find(id);
    const char* abbreviation = it == m_Entities.end() ? "ENTITY" : EntityAbbreviation(m_Version, it->second.subtype);
    return std::string(abbreviation) + " " + std::to_string(id);
}

std::optional<std::string> UacFunction::Describe(const SetupPacket& setup) const {
    std::lock_guard guard(m_Lock);
    if (setup.Type() != BMREQUEST_CLASS) return std::nullopt;
    const uint8_t selector = setup.wValue >> 8;
    const uint8_t channel = setup.wValue & 0xFF;
    char text[160];
    const std::string request = RequestName(m_Version, setup);
    if (setup.Recipient() == BMREQUEST_TO_ENDPOINT) {
        const char* name = selector == 1 ? "SAMPLING_FREQ" : selector == 2 ? "PITCH" : "CONTROL";
        std::snprintf(text, sizeof text, "%s EP 0x%02X %s", request.c_str(), setup.wIndex & 0xFF, name);
        return text;
    }
    if (setup.Recipient() != BMREQUEST_TO_INTERFACE) return std::nullopt;
    const uint8_t number = setup.wIndex & 0xFF;
    const uint8_t entity = setup.wIndex >> 8;
    if (number == m_ControlInterface && entity != 0 && m_Version == AudioVersion::Uac2 &&
        setup.bRequest == USB_AUDIO2_MEM) {
        std::snprintf(text, sizeof text, "%s %s offset %u", request.c_str(), EntityName(entity).c_str(), setup.wValue);
        return text;
    }
    if (number == m_ControlInterface && entity != 0 && channel == kJackListChannel &&
        selector == USB_AUDIO2_TE_CONNECTOR_CONTROL && VendorTerminalOf(entity) != nullptr) {
        std::snprintf(text, sizeof text, "%s %s JACK_LIST", request.c_str(), EntityName(entity).c_str());
        return text;
    }
    if (number == m_ControlInterface && entity != 0) {
        const char* name = ControlName(entity, selector);
        auto it = m_Entities.find(entity);
        const bool feature = it != m_Entities.end() && it->second.subtype == USB_AUDIO_AC_FEATURE_UNIT;
        std::string control = name != nullptr ? name : "cs " + std::to_string(selector);
        if (feature || channel != 0) control = "ch " + std::to_string(channel) + " " + control;
        std::snprintf(text, sizeof text, "%s %s %s", request.c_str(), EntityName(entity).c_str(), control.c_str());
        return text;
    }
    if (m_Streams.count(number) != 0) {
        const char* name = selector == 1 ? "ACT_ALT_SETTING" : selector == 2 ? "VAL_ALT_SETTINGS" : "CONTROL";
        std::snprintf(text, sizeof text, "%s AS %u %s", request.c_str(), number, name);
        return text;
    }
    if (number == m_ControlInterface) {
        std::snprintf(text, sizeof text, "%s AC %u cs %u", request.c_str(), number, selector);
        return text;
    }
    return std::nullopt;
}

HandlerTable UacFunction::Handlers() {
    return HandlerTable{
        .name = "audio function",
        .reset = [this](Device&) { PowerOn(); },
        .control = [this](Device&, const SetupPacket& s, std::span<uint8_t> d) { return OnControl(s, d); },
        .data = [this](Device&, const DataPacket& p) { return OnData(p); },
        .interfaceChanged = [this](Device&, uint8_t number, uint8_t alternate) { OnInterfaceChanged(number, alternate); },
        .describe = [this](const SetupPacket& s) { return Describe(s); },
    };
}

// ---- Test and model access ----

std::optional<int32_t> UacFunction::ControlValue(uint8_t entity, uint8_t selector, uint8_t channel) const {
    std::lock_guard guard(m_Lock);
    const Control* c = Find(entity, selector, channel);
    if (c == nullptr) return std::nullopt;
    return int32_t(c->current);
}

bool UacFunction::SetControlValue(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) {
    std::lock_guard guard(m_Lock);
    Control* c = Find(entity, selector, channel);
    if (c == nullptr || !Assign(*c, value)) return false;
    for (auto& [number, stream] : m_Streams) OnInterfaceChanged(number, stream.current);
    return true;
}

bool UacFunction::ChangeFromDevice(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) {
    std::lock_guard guard(m_Lock);
    if (!SetControlValue(entity, selector, channel, value)) return false;
    if (m_Version == AudioVersion::Uac1) {
        const uint8_t status[2] = {USB_AUDIO1_STATUS_INTERRUPT_PENDING | USB_AUDIO1_STATUS_ORIGINATOR_AC_INTERFACE, entity};
        PostInterrupt(status);
    } else {
        const uint8_t message[6] = {0, USB_AUDIO2_CUR, channel, selector, m_ControlInterface, entity};
        PostInterrupt(message);
    }
    return true;
}

std::optional<uint32_t> UacFunction::StreamRate(uint8_t interfaceNumber) const {
    std::lock_guard guard(m_Lock);
    auto it = m_Streams.find(interfaceNumber);
    if (it == m_Streams.end()) return std::nullopt;
    return RateOf(it->second);
}

RenderSink* UacFunction::Render(uint8_t interfaceNumber) {
    std::lock_guard guard(m_Lock);
    auto it = m_Streams.find(interfaceNumber);
    return it == m_Streams.end() ? nullptr : it->second.sink.get();
}

CaptureSource* UacFunction::Capture(uint8_t interfaceNumber) {
    std::lock_guard guard(m_Lock);
    auto it = m_Streams.find(interfaceNumber);
    return it == m_Streams.end() ? nullptr : it->second.source.get();
}

void UacFunction::SetClockOffsetPpm(int32_t ppm) {
    std::lock_guard guard(m_Lock);
    m_ClockOffsetPpm = std::clamp(ppm, -100'000, 100'000);
}

void UacFunction::SetLoopback(std::optional<uint32_t> delayFrames) {
    std::lock_guard guard(m_Lock);
    RenderSink* sink = nullptr;
    for (auto& [number, stream] : m_Streams) {
        if (stream.sink && sink == nullptr) sink = stream.sink.get();
    }
    if (sink != nullptr) sink->SetTap(delayFrames.has_value());
    for (auto& [number, stream] : m_Streams) {
        if (!stream.source) continue;
        CaptureSourceConfig config = stream.source->Config();
        config.kind = delayFrames ? SourceKind::Loopback : SourceKind::Ramp;
        config.loopbackDelay = delayFrames.value_or(0);
        stream.source->SetLoopbackSink(sink);
        stream.source->Configure(config);
    }
}

void UacFunction::SetFeedbackServo(bool on) {
    std::lock_guard guard(m_Lock);
    m_FeedbackServo = on;
}

void UacFunction::SetFeedbackOverride(std::optional<uint32_t> raw) {
    std::lock_guard guard(m_Lock);
    m_FeedbackOverride = raw;
}

void UacFunction::PostInterrupt(std::span<const uint8_t> message) {
    std::lock_guard guard(m_Lock);
    if (m_Interrupts.size() >= kInterruptQueueLimit) m_Interrupts.pop_front();
    m_Interrupts.emplace_back(message.begin(), message.end());
}

size_t UacFunction::QueuedInterrupts() const {
    std::lock_guard guard(m_Lock);
    return m_Interrupts.size();
}

void UacFunction::PostBulkIn(std::span<const uint8_t> data) {
    std::lock_guard guard(m_Lock);
    m_BulkIn.insert(m_BulkIn.end(), data.begin(), data.end());
}

size_t UacFunction::QueuedBulkIn() const {
    std::lock_guard guard(m_Lock);
    return m_BulkIn.size();
}

}  // namespace sim::usb::detail
