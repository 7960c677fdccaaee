// Typed builders for USB and USB Audio Class 1.0 / 2.0 descriptors. Every builder checks that the
// bytes it emitted equal the bLength it wrote (a mismatch stops the program: a builder bug).
// Lengths that depend on what follows are computed when the configuration is built: the
// configuration's wTotalLength and bNumInterfaces, each interface's bNumEndpoints, and the
// AudioControl header's wTotalLength and (UAC 1.0) interface collection.
#pragma once

#include <win/usb.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sim::usb {

using Bytes = std::vector<uint8_t>;

struct DeviceDescriptorFields {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = USB_DEVICE_CLASS_MISCELLANEOUS;  // with subclass 2 protocol 1: uses IADs
    uint8_t deviceSubClass = 0x02;
    uint8_t deviceProtocol = 0x01;
    uint8_t maxPacketSize0 = 64;  // bytes
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0x0100;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t numConfigurations = 1;
};
Bytes BuildDeviceDescriptor(const DeviceDescriptorFields& fields);

// String descriptor of at most 126 UTF-16 units; the language list is string descriptor 0.
Bytes BuildStringDescriptor(std::u16string_view text);
Bytes BuildLanguageDescriptor(std::span<const uint16_t> languageIds);

struct ConfigurationFields {
    uint8_t configurationValue = 1;
    uint8_t iConfiguration = 0;
    uint8_t attributes = USB_CONFIG_BUS_POWERED;
    uint8_t maxPower = 50;  // 2 mA units
};

struct InterfaceAssociationFields {
    uint8_t firstInterface = 0;
    uint8_t interfaceCount = 0;
    uint8_t functionClass = USB_AUDIO_FUNCTION_CLASS;
    uint8_t functionSubClass = USB_AUDIO_FUNCTION_SUBCLASS_UNDEFINED;
    uint8_t functionProtocol = USB_AUDIO_FUNCTION_PROTOCOL_AF_VERSION_02_00;
    uint8_t iFunction = 0;
};

// bNumEndpoints is counted from the endpoints added after the interface.
struct InterfaceFields {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = USB_DEVICE_CLASS_AUDIO;
    uint8_t interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL;
    uint8_t interfaceProtocol = USB_AUDIO_PROTOCOL_UNDEFINED;
    uint8_t iInterface = 0;
};

// Standard endpoint; audio1Form writes the 9-byte form (bRefresh, bSynchAddress) of UAC 1.0.
struct EndpointFields {
    uint8_t address = 0;
    uint8_t attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    uint16_t maxPacketSize = 0;  // bytes (bits 11-12: extra transactions per microframe)
    uint8_t interval = 1;
    bool audio1Form = false;
    uint8_t refresh = 0;
    uint8_t synchAddress = 0;
};

// ---- UAC 1.0 ----

struct Uac1Header {
    uint16_t bcdADC = 0x0100;
};
struct Uac1InputTerminal {
    uint8_t terminalId = 0;
    uint16_t terminalType = USB_AUDIO_TERMINAL_USB_STREAMING;
    uint8_t assocTerminal = 0;
    uint8_t nrChannels = 2;
    uint16_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    uint8_t iTerminal = 0;
};
struct Uac1OutputTerminal {
    uint8_t terminalId = 0;
    uint16_t terminalType = USB_AUDIO_TERMINAL_SPEAKER;
    uint8_t assocTerminal = 0;
    uint8_t sourceId = 0;
    uint8_t iTerminal = 0;
};
struct Uac1MixerUnit {
    uint8_t unitId = 0;
    std::vector<uint8_t> sources{};
    uint8_t nrChannels = 2;
    uint16_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    std::vector<uint8_t> controls{};  // programmable-control bitmap, input channel major
    uint8_t iMixer = 0;
};
struct Uac1SelectorUnit {
    uint8_t unitId = 0;
    std::vector<uint8_t> sources{};
    uint8_t iSelector = 0;
};
// controls[0] is the master channel, then one entry per logical channel; bits per
// USB_AUDIO1_FU_CONTROL_BIT. controlSize is 1 or 2 bytes.
struct Uac1FeatureUnit {
    uint8_t unitId = 0;
    uint8_t sourceId = 0;
    uint8_t controlSize = 1;
    std::vector<uint16_t> controls{};
    uint8_t iFeature = 0;
};
struct Uac1AsGeneral {
    uint8_t terminalLink = 0;
    uint8_t delay = 1;  // frames
    uint16_t formatTag = USB_AUDIO1_FORMAT_PCM;
};
// Discrete rates, or a continuous range when rates is empty. formatType 1 (I) or 3 (III).
struct Uac1FormatType {
    uint8_t formatType = USB_AUDIO_FORMAT_TYPE_I;
    uint8_t nrChannels = 2;
    uint8_t subframeSize = 2;  // bytes
    uint8_t bitResolution = 16;
    std::vector<uint32_t> rates{};  // Hz
    uint32_t lowerRate = 0;       // Hz, continuous range
    uint32_t upperRate = 0;
};
struct Uac1CsEndpoint {
    uint8_t attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ;
    uint8_t lockDelayUnits = 0;
    uint16_t lockDelay = 0;
};

// ---- UAC 2.0 ----

struct Uac2Header {
    uint16_t bcdADC = 0x0200;
    uint8_t category = USB_AUDIO_CATEGORY_IO_BOX;
    uint8_t controls = 0;
};
struct Uac2ClockSource {
    uint8_t clockId = 0;
    uint8_t attributes = USB_AUDIO2_CLOCK_INTERNAL_PROGRAMMABLE;
    uint8_t controls = 0x07;  // frequency programmable, validity read-only
    uint8_t assocTerminal = 0;
    uint8_t iClockSource = 0;
};
struct Uac2ClockSelector {
    uint8_t clockId = 0;
    std::vector<uint8_t> sources{};
    uint8_t controls = 0x03;  // selector programmable
    uint8_t iClockSelector = 0;
};
struct Uac2InputTerminal {
    uint8_t terminalId = 0;
    uint16_t terminalType = USB_AUDIO_TERMINAL_USB_STREAMING;
    uint8_t assocTerminal = 0;
    uint8_t clockSourceId = 0;
    uint8_t nrChannels = 2;
    uint32_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    uint16_t controls = 0;
    uint8_t iTerminal = 0;
};
struct Uac2OutputTerminal {
    uint8_t terminalId = 0;
    uint16_t terminalType = USB_AUDIO_TERMINAL_SPEAKER;
    uint8_t assocTerminal = 0;
    uint8_t sourceId = 0;
    uint8_t clockSourceId = 0;
    uint16_t controls = 0;
    uint8_t iTerminal = 0;
};
struct Uac2MixerUnit {
    uint8_t unitId = 0;
    std::vector<uint8_t> sources{};
    uint8_t nrChannels = 2;
    uint32_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    std::vector<uint8_t> mixerControls{};  // programmable-control bitmap
    uint8_t controls = 0;
    uint8_t iMixer = 0;
};
struct Uac2SelectorUnit {
    uint8_t unitId = 0;
    std::vector<uint8_t> sources{};
    uint8_t controls = 0x03;  // selector programmable
    uint8_t iSelector = 0;
};
// controls[0] is the master channel; two bits per control (USB_AUDIO2_FU_CONTROL_BITS).
struct Uac2FeatureUnit {
    uint8_t unitId = 0;
    uint8_t sourceId = 0;
    std::vector<uint32_t> controls{};
    uint8_t iFeature = 0;
};
struct Uac2AsGeneral {
    uint8_t terminalLink = 0;
    uint8_t controls = 0x05;  // active and valid alternate settings, read-only
    uint8_t formatType = USB_AUDIO_FORMAT_TYPE_I;
    uint32_t formats = USB_AUDIO2_FORMAT_PCM;
    uint8_t nrChannels = 2;
    uint32_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
};
struct Uac2FormatTypeI {
    uint8_t subslotSize = 4;  // bytes
    uint8_t bitResolution = 24;
};
// IEC 61937 streams: two 16-bit subslots per frame. Which encodings an alternate setting carries is
// said by AS_GENERAL's bmFormats (kUac2TypeIII... bits).
struct Uac2FormatTypeIII {
    uint8_t subslotSize = 2;  // bytes
    uint8_t bitResolution = 16;
};
inline constexpr uint32_t kUac2TypeIIIAc3 = 1u << 0;  // IEC 61937 AC-3
inline constexpr uint32_t kUac2TypeIIIWma = 1u << 12;  // IEC 61937 WMA
struct Uac2ClockMultiplier {
    uint8_t clockId = 0;
    uint8_t sourceId = 0;   // clock entity it multiplies
    uint8_t controls = 0x05;  // numerator and denominator read-only
    uint8_t iClockMultiplier = 0;
};
// controls[0] is the master channel, then one 4-byte entry per logical channel.
struct Uac2EffectUnit {
    uint8_t unitId = 0;
    uint16_t effectType = 0;
    uint8_t sourceId = 0;
    std::vector<uint32_t> controls{};
    uint8_t iEffects = 0;
};
struct Uac2ProcessingUnit {
    uint8_t unitId = 0;
    uint16_t processType = 0;
    std::vector<uint8_t> sources{};
    uint8_t nrChannels = 2;
    uint32_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    uint16_t controls = 0;
    uint8_t iProcessing = 0;
    std::vector<uint8_t> processSpecific{};
};
struct Uac2ExtensionUnit {
    uint8_t unitId = 0;
    uint16_t extensionCode = 0;
    std::vector<uint8_t> sources{};
    uint8_t nrChannels = 2;
    uint32_t channelConfig = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    uint8_t iChannelNames = 0;
    uint8_t controls = 0;
    uint8_t iExtension = 0;
};
struct Uac2CsEndpoint {
    uint8_t attributes = 0;
    uint8_t controls = 0;
    uint8_t lockDelayUnits = 0;
    uint16_t lockDelay = 0;
};

class ConfigurationBuilder {
public:
    explicit ConfigurationBuilder(const ConfigurationFields& fields = {});

    ConfigurationBuilder& Add(const InterfaceAssociationFields& fields);
    ConfigurationBuilder& Add(const InterfaceFields& fields);
    ConfigurationBuilder& Add(const EndpointFields& fields);
    ConfigurationBuilder& Add(const Uac1Header& fields);
    ConfigurationBuilder& Add(const Uac1InputTerminal& fields);
    ConfigurationBuilder& Add(const Uac1OutputTerminal& fields);
    ConfigurationBuilder& Add(const Uac1MixerUnit& fields);
    ConfigurationBuilder& Add(const Uac1SelectorUnit& fields);
    ConfigurationBuilder& Add(const Uac1FeatureUnit& fields);
    ConfigurationBuilder& Add(const Uac1AsGeneral& fields);
    ConfigurationBuilder& Add(const Uac1FormatType& fields);
    ConfigurationBuilder& Add(const Uac1CsEndpoint& fields);
    ConfigurationBuilder& Add(const Uac2Header& fields);
    ConfigurationBuilder& Add(const Uac2ClockSource& fields);
    ConfigurationBuilder& Add(const Uac2ClockSelector& fields);
    ConfigurationBuilder& Add(const Uac2InputTerminal& fields);
    ConfigurationBuilder& Add(const Uac2OutputTerminal& fields);
    ConfigurationBuilder& Add(const Uac2MixerUnit& fields);
    ConfigurationBuilder& Add(const Uac2SelectorUnit& fields);
    ConfigurationBuilder& Add(const Uac2FeatureUnit& fields);
    ConfigurationBuilder& Add(const Uac2AsGeneral& fields);
    ConfigurationBuilder& Add(const Uac2FormatTypeI& fields);
    ConfigurationBuilder& Add(const Uac2FormatTypeIII& fields);
    ConfigurationBuilder& Add(const Uac2ClockMultiplier& fields);
    ConfigurationBuilder& Add(const Uac2EffectUnit& fields);
    ConfigurationBuilder& Add(const Uac2ProcessingUnit& fields);
    ConfigurationBuilder& Add(const Uac2ExtensionUnit& fields);
    ConfigurationBuilder& Add(const Uac2CsEndpoint& fields);
    // Bytes copied verbatim, unchecked and left out of every computed count except the AudioControl
    // header's wTotalLength (when they are class-specific): the way to build malformed descriptors.
    ConfigurationBuilder& AddRaw(std::span<const uint8_t> bytes);

    // The configuration descriptor and everything added, with the computed fields filled in.
    Bytes Build() const;

private:
    enum class PieceKind : uint8_t { Plain, Interface, Endpoint, Uac1Header, Uac2Header, Raw };
    struct Piece {
        PieceKind kind;
        Bytes bytes{};
    };
    ConfigurationBuilder& Append(PieceKind kind, Bytes bytes);

    ConfigurationFields m_Fields;
    std::vector<Piece> m_Pieces{};
};

}  // namespace sim::usb
