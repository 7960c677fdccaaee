// Catalog of simulated model devices by name. A device is a descriptor set (built with the typed
// builders), its strings and audio options, and a table of vendor answers that identify the model.
// A new model is one more row of kCatalog.
#include "vendor_extensions.h"

#include <sim/usb_descriptor_builder.h>
#include <sim/usb_device.h>
#include <sim/usb_models.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

namespace sim::usb {

namespace {

constexpr uint16_t kVendorId = 0xA5E7;
constexpr uint16_t kEnglish = 0x0409;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kChipString = 0x50;          // model identifier, read first
constexpr uint16_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;

// A vendor request the model answers with fixed bytes (IN) or accepts (OUT).
struct VendorAnswer {
    RequestMatch match;
    std::vector<uint8_t> answer;
    const char* name;
};

HandlerTable VendorTable(std::vector<VendorAnswer> answers) {
    auto shared = std::make_shared<std::vector<VendorAnswer>>(std::move(answers));
    auto find = [shared](const SetupPacket& s) -> const VendorAnswer* {
        if (s.Type() != BMREQUEST_VENDOR) return nullptr;
        for (const VendorAnswer& a : *shared) {
            if (a.match.Matches(s)) return &a;
        }
        return nullptr;
    };
    return HandlerTable{
        .name = "model vendor requests",
        .control = [find](Device&, const SetupPacket& s, std::span<uint8_t> data) -> std::optional<ControlResult> {
            const VendorAnswer* a = find(s);
            if (a == nullptr) return std::nullopt;
            if (!s.IsIn()) return ControlResult::Ok(uint32_t(data.size()));
            const size_t n = std::min(a->answer.size(), data.size());
            std::copy_n(a->answer.begin(), n, data.begin());
            return ControlResult::Ok(uint32_t(n));
        },
        .describe = [find](const SetupPacket& s) -> std::optional<std::string> {
            const VendorAnswer* a = find(s);
            if (a == nullptr) return std::nullopt;
            char text[128];
            std::snprintf(text, sizeof text, "VENDOR %s (bRequest 0x%02X wValue 0x%04X wIndex 0x%04X)", a->name,
                          s.bRequest, s.wValue, s.wIndex);
            return std::string(text);
        },
    };
}

// Vendor request to "other", device to host, as the identification reads it.
RequestMatch VendorOtherIn(uint8_t request, uint16_t value, uint16_t index) {
    return RequestMatch{.bmRequestType = 0xC3, .bRequest = request, .wValue = value, .wIndex = index};
}

// Full-speed UAC 1.0 device: stereo playback (16 or 24 bits, 44.1/48 kHz, adaptive) and stereo
// capture from a microphone or line input through a selector (asynchronous), feature units with
// mute and volume, and the 2-byte status interrupt endpoint.
DeviceSetup Uac1Setup(uint16_t productId, std::u16string product) {
    const std::vector<uint32_t> rates = {44100, 48000};
    auto packetBytes = [](uint32_t frameBytes) { return uint16_t((48000 / 1000 + 1) * frameBytes); };
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = 1, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .nrChannels = 2,
                               .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = 2, .sourceId = 1, .controlSize = 1,
                             .controls = {USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_MUTE_CONTROL) |
                                              USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL),
                                          USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL),
                                          USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL)}})
        .Add(Uac1OutputTerminal{.terminalId = 3, .terminalType = USB_AUDIO_TERMINAL_SPEAKER, .sourceId = 2})
        .Add(Uac1InputTerminal{.terminalId = 4, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE, .nrChannels = 2,
                               .channelConfig = kStereo})
        .Add(Uac1InputTerminal{.terminalId = 7, .terminalType = USB_AUDIO_TERMINAL_LINE_CONNECTOR, .nrChannels = 2,
                               .channelConfig = kStereo})
        .Add(Uac1SelectorUnit{.unitId = 8, .sources = {4, 7}})
        .Add(Uac1FeatureUnit{.unitId = 5, .sourceId = 8, .controlSize = 1,
                             .controls = {USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_MUTE_CONTROL) |
                                              USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL),
                                          0, 0}})
        .Add(Uac1OutputTerminal{.terminalId = 6, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .sourceId = 5})
        .Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 2,
                          .interval = 16, .audio1Form = true});
    struct Setting {
        uint8_t alt, subframe, bits;
    };
    for (const Setting& s : {Setting{1, 2, 16}, Setting{2, 3, 24}}) {  // playback on interface 1
        if (s.alt == 1) c.Add(InterfaceFields{.number = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING});
        c.Add(InterfaceFields{.number = 1, .alternateSetting = s.alt, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
            .Add(Uac1AsGeneral{.terminalLink = 1})
            .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = s.subframe, .bitResolution = s.bits, .rates = rates})
            .Add(EndpointFields{.address = 0x01,
                              .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE,
                              .maxPacketSize = packetBytes(2u * s.subframe), .audio1Form = true})
            .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    }
    for (const Setting& s : {Setting{1, 2, 16}, Setting{2, 3, 24}}) {  // capture on interface 2
        if (s.alt == 1) c.Add(InterfaceFields{.number = 2, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING});
        c.Add(InterfaceFields{.number = 2, .alternateSetting = s.alt, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
            .Add(Uac1AsGeneral{.terminalLink = 6})
            .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = s.subframe, .bitResolution = s.bits, .rates = rates})
            .Add(EndpointFields{.address = 0x82,
                              .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS,
                              .maxPacketSize = packetBytes(2u * s.subframe), .audio1Form = true})
            .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    }
    return DeviceSetup{
        .speed = Speed::Full,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .bcdUSB = 0x0110, .deviceClass = 0, .deviceSubClass = 0, .deviceProtocol = 0, .idVendor = kVendorId,
            .idProduct = productId, .iManufacturer = kManufacturerString, .iProduct = kProductString}),
        .configurations = {c.Build()},
        .strings = {{kManufacturerString, kEnglish, u"Talmet"}, {kProductString, kEnglish, std::move(product)}},
    };
}

// How a UAC 2.0 variant moves its streams: bus speed and the bInterval of its data and feedback
// endpoints.
struct Uac2Transport {
    Speed speed = Speed::High;
    uint8_t dataInterval = 1;
    uint8_t feedbackInterval = 4;
    uint8_t feedbackBytes = 0;  // wMaxPacketSize of the feedback endpoint; 0: 4 at high speed, 3 at full
    // The capture endpoint is also the render stream's implicit feedback (usage bits 10b); the
    // render endpoint then has no feedback endpoint of its own.
    bool implicitFeedback = false;
};

// UAC 2.0 device: one programmable clock, stereo playback (24 in 32 or 16 bits, asynchronous with
// explicit feedback) and stereo capture, feature units with mute and volume, and the 6-byte
// interrupt endpoint. High speed by default (4-byte 16.16 feedback once a millisecond); at full
// speed the feedback is 3-byte 10.14 and the clock stops at 96 kHz.
DeviceSetup Uac2Setup(const Uac2Transport& t = {}) {
    constexpr uint8_t kClock = 40;
    constexpr uint32_t kStereo32 = kStereo;
    const bool high = t.speed == Speed::High;
    const uint32_t topRate = high ? 192000 : 96000;
    // Frames of one service interval at the top rate, and one more.
    const uint32_t intervalsPerSecond = high ? 8000u >> (t.dataInterval - 1) : 1000u >> (t.dataInterval - 1);
    // One transaction holds at most 1,024 bytes: a setting whose top rate needs more (32-bit
    // frames at 176.4 and 192 kHz once a millisecond) offers only the rates that fit.
    auto packetBytes = [=](uint32_t frameBytes) {
        return uint16_t(std::min<uint32_t>((topRate / intervalsPerSecond + 1) * frameBytes, 1024));
    };
    const uint32_t featureMaster = USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_MUTE_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE) |
                                   USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_VOLUME_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE);
    const uint32_t featureChannel = USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_VOLUME_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE);
    ConfigurationBuilder c;
    c.Add(InterfaceAssociationFields{.firstInterface = 0, .interfaceCount = 3})
        .Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                           .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00})
        .Add(Uac2Header{.category = USB_AUDIO_CATEGORY_IO_BOX})
        .Add(Uac2ClockSource{.clockId = kClock})
        .Add(Uac2InputTerminal{.terminalId = 1, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .clockSourceId = kClock,
                               .nrChannels = 2, .channelConfig = kStereo32})
        .Add(Uac2FeatureUnit{.unitId = 2, .sourceId = 1, .controls = {featureMaster, featureChannel, featureChannel}})
        .Add(Uac2OutputTerminal{.terminalId = 3, .terminalType = USB_AUDIO_TERMINAL_SPEAKER, .sourceId = 2,
                                .clockSourceId = kClock})
        .Add(Uac2InputTerminal{.terminalId = 4, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE, .clockSourceId = kClock,
                               .nrChannels = 2, .channelConfig = kStereo32})
        .Add(Uac2FeatureUnit{.unitId = 5, .sourceId = 4, .controls = {featureMaster, 0, 0}})
        .Add(Uac2OutputTerminal{.terminalId = 6, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .sourceId = 5,
                                .clockSourceId = kClock})
        .Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 6, .interval = 4});
    struct Setting {
        uint8_t alt, subslot, bits;
    };
    for (uint8_t number : {1, 2}) {
        const bool playback = number == 1;
        c.Add(InterfaceFields{.number = number, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                            .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00});
        for (const Setting& s : {Setting{1, 4, 24}, Setting{2, 2, 16}}) {
            c.Add(InterfaceFields{.number = number, .alternateSetting = s.alt,
                                .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00})
                .Add(Uac2AsGeneral{.terminalLink = uint8_t(playback ? 1 : 6), .nrChannels = 2, .channelConfig = kStereo32})
                .Add(Uac2FormatTypeI{.subslotSize = s.subslot, .bitResolution = s.bits})
                .Add(EndpointFields{.address = uint8_t(playback ? 0x01 : 0x82),
                                  .attributes = uint8_t(USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS |
                                                        (!playback && t.implicitFeedback ? USB_ENDPOINT_USAGE_IMPLICIT_FEEDBACK : 0)),
                                  .maxPacketSize = packetBytes(2u * s.subslot), .interval = t.dataInterval})
                .Add(Uac2CsEndpoint{});
            if (playback && !t.implicitFeedback) {
                c.Add(EndpointFields{.address = 0x81,
                                   .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK,
                                   .maxPacketSize = uint16_t(t.feedbackBytes != 0 ? t.feedbackBytes : high ? 4 : 3),
                                   .interval = t.feedbackInterval});
            }
        }
    }
    std::vector<uint32_t> rates = {48000, 44100, 88200, 96000, 176400, 192000};
    if (!high) rates.resize(4);
    return DeviceSetup{
        .speed = t.speed,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .idVendor = kVendorId, .idProduct = 0x0070, .iManufacturer = kManufacturerString, .iProduct = kProductString}),
        .configurations = {c.Build()},
        .strings = {{kManufacturerString, kEnglish, u"Talmet"}, {kProductString, kEnglish, u"V-380D USB Audio 2.0"}},
        .audio = {.clockRates = {{kClock, std::move(rates)}}},
    };
}

struct CatalogEntry {
    const char* name;
    const char* description;
    std::function<DeviceSetup()> setup;
    std::vector<StringEntry> strings;  // model identifier strings
    std::vector<VendorAnswer> vendor;
    // A model device with behaviour of its own (model_devices.cpp): made whole by this, the fields
    // above unused.
    std::function<std::unique_ptr<Device>()> model{};
};

// The UAC 1.0 descriptor set under each identification the driver distinguishes.
DeviceSetup Uac1Product() { return Uac1Setup(0x0067, u"V-260D USB Audio"); }

// The UAC 1.0 set under another vendor and product id (a model the driver knows by its ids).
DeviceSetup Uac1WithIds(uint16_t vendorId, uint16_t productId) {
    DeviceSetup setup = Uac1Product();
    auto& d = setup.deviceDescriptor;  // idVendor at 8, idProduct at 10, little-endian
    d[8] = uint8_t(vendorId);
    d[9] = uint8_t(vendorId >> 8);
    d[10] = uint8_t(productId);
    d[11] = uint8_t(productId >> 8);
    return setup;
}

// The UAC 1.0 set whose product string is text, served with the claimed bLength when given.
DeviceSetup Uac1WithProductString(std::u16string text, std::optional<uint8_t> claimedLength = std::nullopt) {
    DeviceSetup setup = Uac1Product();
    for (StringEntry& e : setup.strings) {
        if (e.index != kProductString) continue;
        e.text = std::move(text);
        e.claimedLength = claimedLength;
    }
    return setup;
}

// The UAC 1.0 set without a product string (iProduct 0).
DeviceSetup Uac1WithoutProductString() {
    DeviceSetup setup = Uac1Product();
    setup.deviceDescriptor[15] = 0;  // iProduct
    std::erase_if(setup.strings, [](const StringEntry& e) { return e.index == kProductString; });
    return setup;
}

// The chip identification under which the driver's HAL offers ASIO endpoints.
const std::vector<StringEntry> kAsioChip = {{kChipString, kEnglish, u"KLQ864"}};
std::vector<VendorAnswer> AsioChipAnswers(bool streamingRequest) {
    std::vector<VendorAnswer> answers = {{VendorOtherIn(0x00, 0x001A, 0), {0x0E}, "OTHER register 0x1A"},
                                         {VendorOtherIn(0x00, 0x0020, 0), {0x00}, "OTHER register 0x20"}};
    // Vendor request 7 to the device, host to device, no data: wValue 1 when ASIO streaming
    // starts, 0 when it stops. A model without the row STALLs it.
    if (streamingRequest) {
        answers.push_back({RequestMatch{.bmRequestType = 0x40, .bRequest = 0x07, .wIndex = 0}, {},
                           "DEVICE ASIO streaming (wValue 1 start, 0 stop)"});
    }
    return answers;
}

const std::vector<CatalogEntry>& Catalog() {
    static const std::vector<CatalogEntry> kCatalog = {
        {"uac1", "UAC 1.0, full speed: stereo playback and capture, chip R7U7 (variant byte 0x1F)", Uac1Product,
         {{kChipString, kEnglish, u"R7U7"}},
         {{VendorOtherIn(0x02, 0x0051, 0), {0x1F}, "OTHER chip variant"}}},
        {"uac2", "UAC 2.0, high speed: asynchronous stereo playback with feedback, stereo capture", [] { return Uac2Setup(); },
         {}, {}},
        {"uac1-klq864", "UAC 1.0 descriptors, chip KLQ864 (registers 0x1A = 0x0E, 0x20 = 0x00)", Uac1Product,
         {{kChipString, kEnglish, u"KLQ864"}},
         {{VendorOtherIn(0x00, 0x001A, 0), {0x0E}, "OTHER register 0x1A"},
          {VendorOtherIn(0x00, 0x0020, 0), {0x00}, "OTHER register 0x20"}}},
        {"uac1-r7t5", "R7T5: 8-channel playback through monitors and mixers, four record sources, HID register file "
                      "(VID 0x1E7D PID 0x3750, variant bytes 0x9F, 0x03)",
         nullptr, {}, {}, [] { return r7t5::Create(); }},
        {"uac1-r7t3", "R7T3: feature units 9 to 14 in the device's own scales, no jack or output-type tables",
         nullptr, {}, {}, [] { return r7t3::Create(); }},
        {"uac1-r7u5", "R7U5, identified by the fallback string only: feature units 9, 10, 13 in the device's own "
                      "scales, speaker terminal 6",
         nullptr, {}, {}, [] { return r7u5::Create(); }},
        {"uac1-w4m3", "W4M3 (KLQ866): stereo playback with room and headphone effect switches, full speed",
         nullptr, {}, {}, [] { return w4m3::Create(); }},
        {"uac1-nochip", "UAC 1.0 descriptors without model identifier strings", Uac1Product, {}, {}},
        // UAC 2.0 transports (after the models above, whose catalog positions fuzz seeds keep).
        {"uac2-fs", "UAC 2.0 at full speed: 3-byte 10.14 feedback every frame, rates to 96 kHz",
         [] { return Uac2Setup({.speed = Speed::Full, .dataInterval = 1, .feedbackInterval = 1}); }, {}, {}},
        {"uac2-b1", "UAC 2.0, high speed: data and feedback every microframe (bInterval 1)",
         [] { return Uac2Setup({.dataInterval = 1, .feedbackInterval = 1}); }, {}, {}},
        {"uac2-b2", "UAC 2.0, high speed: data and feedback every 2 microframes (bInterval 2)",
         [] { return Uac2Setup({.dataInterval = 2, .feedbackInterval = 2}); }, {}, {}},
        {"uac2-b3", "UAC 2.0, high speed: data and feedback every 4 microframes (bInterval 3)",
         [] { return Uac2Setup({.dataInterval = 3, .feedbackInterval = 3}); }, {}, {}},
        {"uac2-b4", "UAC 2.0, high speed: data and feedback once a millisecond (bInterval 4)",
         [] { return Uac2Setup({.dataInterval = 4, .feedbackInterval = 4}); }, {}, {}},
        {"uac2-vendor",
         "UAC 2.0, high speed, vendor extensions: jack lists, speaker/headphone/S/PDIF output types, extended "
         "controls, IEC 61937 and raw-data settings at some rates, bulk IN on the AudioControl interface",
         [] { return Uac2VendorSetup(kVendorId); }, {}, {}},
        // ASIO models: the KLQ864 identification under ids and strings the ASIO service treats apart.
        {"uac1-asio-vr7", "UAC 1.0, chip KLQ864, VID 0x0B05 PID 0x17A8: answers vendor request 7 at ASIO start and stop",
         [] { return Uac1WithIds(0x0B05, 0x17A8); }, kAsioChip, AsioChipAnswers(true)},
        {"uac1-asio-vr7-stall", "UAC 1.0, chip KLQ864, VID 0x1043 PID 0x8593: STALLs vendor request 7",
         [] { return Uac1WithIds(0x1043, 0x8593); }, kAsioChip, AsioChipAnswers(false)},
        {"uac1-asio-blanks", "UAC 1.0, chip KLQ864: product string with trailing blanks",
         [] { return Uac1WithProductString(u"V-260D ASIO   "); }, kAsioChip, AsioChipAnswers(false)},
        {"uac1-asio-lying", "UAC 1.0, chip KLQ864: product string whose bLength claims 255 bytes",
         [] { return Uac1WithProductString(u"V-260D ASIO", 255); }, kAsioChip, AsioChipAnswers(false)},
        {"uac1-asio-odd", "UAC 1.0, chip KLQ864: product string with an odd bLength (one byte short)",
         [] { return Uac1WithProductString(u"V-260D ASIO", 2 + 2 * 11 - 1); }, kAsioChip, AsioChipAnswers(false)},
        {"uac1-asio-short", "UAC 1.0, chip KLQ864: product string whose bLength is 1",
         [] { return Uac1WithProductString(u"V-260D ASIO", 1); }, kAsioChip, AsioChipAnswers(false)},
        {"uac1-asio-noproduct", "UAC 1.0, chip KLQ864: no product string (iProduct 0)", Uac1WithoutProductString,
         kAsioChip, AsioChipAnswers(false)},
        // UAC 2.0 devices that differ from the one above in ordinary ways.
        {"uac2-fs4", "UAC 2.0 at full speed with 4-byte 16.16 feedback every frame (wMaxPacketSize 4)",
         [] { return Uac2Setup({.speed = Speed::Full, .dataInterval = 1, .feedbackInterval = 1, .feedbackBytes = 4}); },
         {}, {}},
        {"uac2-implicit", "UAC 2.0, high speed, every microframe: the capture endpoint is the implicit feedback of "
                          "playback (bmAttributes 0x25), no explicit feedback endpoint",
         [] { return Uac2Setup({.dataInterval = 1, .implicitFeedback = true}); }, {}, {}},
    };
    return kCatalog;
}

}  // namespace

std::unique_ptr<Device> CreateCatalogDevice(std::string_view name) {
    for (const CatalogEntry& e : Catalog()) {
        if (name != e.name) continue;
        if (e.model) return e.model();
        DeviceSetup setup = e.setup();
        setup.name = e.name;
        setup.strings.insert(setup.strings.end(), e.strings.begin(), e.strings.end());
        auto device = std::make_unique<Device>(std::move(setup));
        if (!e.vendor.empty()) device->PushHandlers(VendorTable(e.vendor));
        return device;
    }
    return nullptr;
}

std::vector<std::string> CatalogNames() {
    std::vector<std::string> names;
    for (const CatalogEntry& e : Catalog()) names.emplace_back(e.name);
    return names;
}

std::string CatalogDescription(std::string_view name) {
    for (const CatalogEntry& e : Catalog()) {
        if (name == e.name) return e.description;
    }
    return {};
}

}  // namespace sim::usb
