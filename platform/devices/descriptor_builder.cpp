// Typed descriptor builders. Each writes bLength from its own formula and then checks that exactly
// that many bytes were emitted.
#include <sim/usb_descriptor_builder.h>
#include <sim/verifier.h>

#include <algorithm>
#include <set>

namespace sim::usb {

namespace {

[[noreturn]] void BuilderFault(const char* what, const char* problem, size_t value) {
    sim::BugCheck("DESCRIPTOR_BUILDER", "%s: %s (%zu)", what, problem, value);
}

class Writer {
public:
    // Starts a descriptor of `length` bytes (checked to fit bLength) with its type and subtype.
    Writer(const char* what, size_t length, uint8_t type, int subtype = -1) : m_What(what), m_Length(length) {
        if (length < 2 || length > 255) BuilderFault(what, "length does not fit bLength", length);
        m_Bytes.reserve(length);
        U8(uint8_t(length)).U8(type);
        if (subtype >= 0) U8(uint8_t(subtype));
    }
    Writer& U8(uint8_t v) {
        m_Bytes.push_back(v);
        return *this;
    }
    Writer& U16(uint16_t v) { return U8(uint8_t(v)).U8(uint8_t(v >> 8)); }
    Writer& U24(uint32_t v) {
        if (v > 0xFFFFFF) BuilderFault(m_What, "value does not fit 24 bits", v);
        return U16(uint16_t(v)).U8(uint8_t(v >> 16));
    }
    Writer& U32(uint32_t v) { return U16(uint16_t(v)).U16(uint16_t(v >> 16)); }
    Writer& Raw(std::span<const uint8_t> bytes) {
        m_Bytes.insert(m_Bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes Finish() {
        if (m_Bytes.size() != m_Length) BuilderFault(m_What, "bLength differs from the bytes emitted", m_Bytes.size());
        return std::move(m_Bytes);
    }

private:
    const char* m_What;
    size_t m_Length;
    Bytes m_Bytes;
};

Bytes Uac1HeaderBytes(const Uac1Header& fields, std::span<const uint8_t> collection) {
    Writer w("UAC1 AC header", 8 + collection.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_HEADER);
    w.U16(fields.bcdADC).U16(0).U8(uint8_t(collection.size())).Raw(collection);
    return w.Finish();
}

void CheckSources(const char* what, const std::vector<uint8_t>& sources) {
    if (sources.empty()) BuilderFault(what, "a unit needs at least one source", 0);
}

}  // namespace

Bytes BuildDeviceDescriptor(const DeviceDescriptorFields& fields) {
    Writer w("device", sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE);
    w.U16(fields.bcdUSB).U8(fields.deviceClass).U8(fields.deviceSubClass).U8(fields.deviceProtocol).U8(fields.maxPacketSize0);
    w.U16(fields.idVendor).U16(fields.idProduct).U16(fields.bcdDevice);
    w.U8(fields.iManufacturer).U8(fields.iProduct).U8(fields.iSerialNumber).U8(fields.numConfigurations);
    return w.Finish();
}

Bytes BuildStringDescriptor(std::u16string_view text) {
    if (text.size() > 126) BuilderFault("string", "more than 126 UTF-16 units", text.size());
    Writer w("string", 2 + 2 * text.size(), USB_STRING_DESCRIPTOR_TYPE);
    for (char16_t c : text) w.U16(uint16_t(c));
    return w.Finish();
}

Bytes BuildLanguageDescriptor(std::span<const uint16_t> languageIds) {
    if (languageIds.size() > 126) BuilderFault("languages", "more than 126 language ids", languageIds.size());
    Writer w("languages", 2 + 2 * languageIds.size(), USB_STRING_DESCRIPTOR_TYPE);
    for (uint16_t id : languageIds) w.U16(id);
    return w.Finish();
}

ConfigurationBuilder::ConfigurationBuilder(const ConfigurationFields& fields) : m_Fields(fields) {}

ConfigurationBuilder& ConfigurationBuilder::Append(PieceKind kind, Bytes bytes) {
    m_Pieces.push_back(Piece{kind, std::move(bytes)});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Add(const InterfaceAssociationFields& s) {
    Writer w("interface association", sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR),
             USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    w.U8(s.firstInterface).U8(s.interfaceCount).U8(s.functionClass).U8(s.functionSubClass).U8(s.functionProtocol);
    w.U8(s.iFunction);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const InterfaceFields& s) {
    Writer w("interface", sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE);
    w.U8(s.number).U8(s.alternateSetting).U8(0).U8(s.interfaceClass).U8(s.interfaceSubClass);
    w.U8(s.interfaceProtocol).U8(s.iInterface);
    return Append(PieceKind::Interface, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const EndpointFields& s) {
    Writer w("endpoint", s.audio1Form ? 9 : 7, USB_ENDPOINT_DESCRIPTOR_TYPE);
    w.U8(s.address).U8(s.attributes).U16(s.maxPacketSize).U8(s.interval);
    if (s.audio1Form) w.U8(s.refresh).U8(s.synchAddress);
    return Append(PieceKind::Endpoint, w.Finish());
}

// ---- UAC 1.0 ----

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1Header& s) {
    return Append(PieceKind::Uac1Header, Uac1HeaderBytes(s, {}));
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1InputTerminal& s) {
    Writer w("UAC1 input terminal", 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL);
    w.U8(s.terminalId).U16(s.terminalType).U8(s.assocTerminal).U8(s.nrChannels).U16(s.channelConfig);
    w.U8(s.iChannelNames).U8(s.iTerminal);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1OutputTerminal& s) {
    Writer w("UAC1 output terminal", 9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL);
    w.U8(s.terminalId).U16(s.terminalType).U8(s.assocTerminal).U8(s.sourceId).U8(s.iTerminal);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1MixerUnit& s) {
    CheckSources("UAC1 mixer unit", s.sources);
    Writer w("UAC1 mixer unit", 10 + s.sources.size() + s.controls.size(), USB_AUDIO_CS_INTERFACE,
             USB_AUDIO_AC_MIXER_UNIT);
    w.U8(s.unitId).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.nrChannels).U16(s.channelConfig);
    w.U8(s.iChannelNames).Raw(s.controls).U8(s.iMixer);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1SelectorUnit& s) {
    CheckSources("UAC1 selector unit", s.sources);
    Writer w("UAC1 selector unit", 6 + s.sources.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT);
    w.U8(s.unitId).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.iSelector);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1FeatureUnit& s) {
    if (s.controlSize != 1 && s.controlSize != 2) BuilderFault("UAC1 feature unit", "bControlSize not 1 or 2", s.controlSize);
    if (s.controls.empty()) BuilderFault("UAC1 feature unit", "no master entry", 0);
    Writer w("UAC1 feature unit", 7 + s.controls.size() * s.controlSize, USB_AUDIO_CS_INTERFACE,
             USB_AUDIO_AC_FEATURE_UNIT);
    w.U8(s.unitId).U8(s.sourceId).U8(s.controlSize);
    for (uint16_t bits : s.controls) {
        if (s.controlSize == 1 && bits > 0xFF) BuilderFault("UAC1 feature unit", "controls beyond bControlSize", bits);
        if (s.controlSize == 1) {
            w.U8(uint8_t(bits));
        } else {
            w.U16(bits);
        }
    }
    w.U8(s.iFeature);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1AsGeneral& s) {
    Writer w("UAC1 AS general", 7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL);
    w.U8(s.terminalLink).U8(s.delay).U16(s.formatTag);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1FormatType& s) {
    const bool continuous = s.rates.empty();
    if (continuous && (s.lowerRate == 0 || s.lowerRate > s.upperRate)) {
        BuilderFault("UAC1 format type", "no rates and no continuous range", s.lowerRate);
    }
    Writer w("UAC1 format type", continuous ? 14 : 8 + 3 * s.rates.size(), USB_AUDIO_CS_INTERFACE,
             USB_AUDIO_AS_FORMAT_TYPE);
    w.U8(s.formatType).U8(s.nrChannels).U8(s.subframeSize).U8(s.bitResolution);
    w.U8(uint8_t(s.rates.size()));
    if (continuous) {
        w.U24(s.lowerRate).U24(s.upperRate);
    } else {
        for (uint32_t rate : s.rates) w.U24(rate);
    }
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac1CsEndpoint& s) {
    Writer w("UAC1 CS endpoint", 7, USB_AUDIO_CS_ENDPOINT, USB_AUDIO_EP_GENERAL);
    w.U8(s.attributes).U8(s.lockDelayUnits).U16(s.lockDelay);
    return Append(PieceKind::Plain, w.Finish());
}

// ---- UAC 2.0 ----

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2Header& s) {
    Writer w("UAC2 AC header", 9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_HEADER);
    w.U16(s.bcdADC).U8(s.category).U16(0).U8(s.controls);
    return Append(PieceKind::Uac2Header, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2ClockSource& s) {
    Writer w("UAC2 clock source", 8, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SOURCE);
    w.U8(s.clockId).U8(s.attributes).U8(s.controls).U8(s.assocTerminal).U8(s.iClockSource);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2ClockSelector& s) {
    CheckSources("UAC2 clock selector", s.sources);
    Writer w("UAC2 clock selector", 7 + s.sources.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SELECTOR);
    w.U8(s.clockId).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.controls).U8(s.iClockSelector);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2InputTerminal& s) {
    Writer w("UAC2 input terminal", 17, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL);
    w.U8(s.terminalId).U16(s.terminalType).U8(s.assocTerminal).U8(s.clockSourceId).U8(s.nrChannels);
    w.U32(s.channelConfig).U8(s.iChannelNames).U16(s.controls).U8(s.iTerminal);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2OutputTerminal& s) {
    Writer w("UAC2 output terminal", 12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL);
    w.U8(s.terminalId).U16(s.terminalType).U8(s.assocTerminal).U8(s.sourceId).U8(s.clockSourceId);
    w.U16(s.controls).U8(s.iTerminal);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2MixerUnit& s) {
    CheckSources("UAC2 mixer unit", s.sources);
    Writer w("UAC2 mixer unit", 13 + s.sources.size() + s.mixerControls.size(), USB_AUDIO_CS_INTERFACE,
             USB_AUDIO_AC_MIXER_UNIT);
    w.U8(s.unitId).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.nrChannels).U32(s.channelConfig);
    w.U8(s.iChannelNames).Raw(s.mixerControls).U8(s.controls).U8(s.iMixer);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2SelectorUnit& s) {
    CheckSources("UAC2 selector unit", s.sources);
    Writer w("UAC2 selector unit", 7 + s.sources.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT);
    w.U8(s.unitId).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.controls).U8(s.iSelector);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2FeatureUnit& s) {
    if (s.controls.empty()) BuilderFault("UAC2 feature unit", "no master entry", 0);
    Writer w("UAC2 feature unit", 6 + 4 * s.controls.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT);
    w.U8(s.unitId).U8(s.sourceId);
    for (uint32_t bits : s.controls) w.U32(bits);
    w.U8(s.iFeature);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2AsGeneral& s) {
    Writer w("UAC2 AS general", 16, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL);
    w.U8(s.terminalLink).U8(s.controls).U8(s.formatType).U32(s.formats).U8(s.nrChannels).U32(s.channelConfig);
    w.U8(s.iChannelNames);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2FormatTypeI& s) {
    Writer w("UAC2 format type I", 6, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE);
    w.U8(USB_AUDIO_FORMAT_TYPE_I).U8(s.subslotSize).U8(s.bitResolution);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2FormatTypeIII& s) {
    Writer w("UAC2 format type III", 6, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE);
    w.U8(USB_AUDIO_FORMAT_TYPE_III).U8(s.subslotSize).U8(s.bitResolution);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2ClockMultiplier& s) {
    Writer w("UAC2 clock multiplier", 7, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_MULTIPLIER);
    w.U8(s.clockId).U8(s.sourceId).U8(s.controls).U8(s.iClockMultiplier);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2EffectUnit& s) {
    if (s.controls.empty()) BuilderFault("UAC2 effect unit", "no master entry", 0);
    Writer w("UAC2 effect unit", 8 + 4 * s.controls.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_EFFECT_UNIT);
    w.U8(s.unitId).U16(s.effectType).U8(s.sourceId);
    for (uint32_t bits : s.controls) w.U32(bits);
    w.U8(s.iEffects);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2ProcessingUnit& s) {
    CheckSources("UAC2 processing unit", s.sources);
    Writer w("UAC2 processing unit", 16 + s.sources.size() + s.processSpecific.size(), USB_AUDIO_CS_INTERFACE,
             USB_AUDIO2_AC_PROCESSING_UNIT);
    w.U8(s.unitId).U16(s.processType).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.nrChannels);
    w.U32(s.channelConfig).U8(s.iChannelNames).U16(s.controls).U8(s.iProcessing).Raw(s.processSpecific);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2ExtensionUnit& s) {
    CheckSources("UAC2 extension unit", s.sources);
    Writer w("UAC2 extension unit", 15 + s.sources.size(), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_EXTENSION_UNIT);
    w.U8(s.unitId).U16(s.extensionCode).U8(uint8_t(s.sources.size())).Raw(s.sources).U8(s.nrChannels);
    w.U32(s.channelConfig).U8(s.iChannelNames).U8(s.controls).U8(s.iExtension);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Uac2CsEndpoint& s) {
    Writer w("UAC2 CS endpoint", 8, USB_AUDIO_CS_ENDPOINT, USB_AUDIO_EP_GENERAL);
    w.U8(s.attributes).U8(s.controls).U8(s.lockDelayUnits).U16(s.lockDelay);
    return Append(PieceKind::Plain, w.Finish());
}

ConfigurationBuilder& ConfigurationBuilder::AddRaw(std::span<const uint8_t> bytes) {
    return Append(PieceKind::Raw, Bytes(bytes.begin(), bytes.end()));
}

Bytes ConfigurationBuilder::Build() const {
    std::vector<Piece> pieces = m_Pieces;
    auto isInterface = [](const Piece& p) { return p.kind == PieceKind::Interface; };
    auto isAudioControl = [&](const Piece& p) {
        return isInterface(p) && p.bytes[5] == USB_DEVICE_CLASS_AUDIO && p.bytes[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL;
    };
    auto isAssociation = [](const Piece& p) {
        return p.kind == PieceKind::Plain && p.bytes[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE;
    };

    // UAC 1.0 headers list the AudioStreaming interfaces of their function: those that follow,
    // up to the next AudioControl interface or interface association.
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].kind != PieceKind::Uac1Header) continue;
        std::vector<uint8_t> collection;
        for (size_t j = i + 1; j < pieces.size() && !isAudioControl(pieces[j]) && !isAssociation(pieces[j]); ++j) {
            const Bytes& b = pieces[j].bytes;
            if (isInterface(pieces[j]) && b[5] == USB_DEVICE_CLASS_AUDIO &&
                b[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING &&
                std::find(collection.begin(), collection.end(), b[2]) == collection.end()) {
                collection.push_back(b[2]);
            }
        }
        Uac1Header fields{.bcdADC = uint16_t(pieces[i].bytes[3] | pieces[i].bytes[4] << 8)};
        pieces[i].bytes = Uac1HeaderBytes(fields, collection);
    }

    std::set<uint8_t> interfaceNumbers;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (isInterface(pieces[i])) {
            interfaceNumbers.insert(pieces[i].bytes[2]);
            size_t endpoints = 0;
            for (size_t j = i + 1; j < pieces.size() && !isInterface(pieces[j]); ++j) {
                endpoints += pieces[j].kind == PieceKind::Endpoint;
            }
            pieces[i].bytes[4] = uint8_t(endpoints);
        }
        if (pieces[i].kind == PieceKind::Uac1Header || pieces[i].kind == PieceKind::Uac2Header) {
            // The header and every class-specific interface descriptor right after it.
            size_t total = pieces[i].bytes.size();
            for (size_t j = i + 1; j < pieces.size(); ++j) {
                const Bytes& b = pieces[j].bytes;
                if (b.size() < 2 || b[1] != USB_AUDIO_CS_INTERFACE) break;
                total += b.size();
            }
            if (total > 0xFFFF) BuilderFault("AC header", "class-specific descriptors exceed wTotalLength", total);
            const size_t at = pieces[i].kind == PieceKind::Uac1Header ? 5 : 6;
            pieces[i].bytes[at] = uint8_t(total);
            pieces[i].bytes[at + 1] = uint8_t(total >> 8);
        }
    }

    Writer head("configuration", sizeof(USB_CONFIGURATION_DESCRIPTOR), USB_CONFIGURATION_DESCRIPTOR_TYPE);
    head.U16(0).U8(uint8_t(interfaceNumbers.size())).U8(m_Fields.configurationValue).U8(m_Fields.iConfiguration);
    head.U8(m_Fields.attributes).U8(m_Fields.maxPower);
    Bytes out = head.Finish();
    for (const Piece& p : pieces) out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    if (out.size() > 0xFFFF) BuilderFault("configuration", "more than 65535 bytes", out.size());
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    return out;
}

}  // namespace sim::usb
