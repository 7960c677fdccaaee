// The R7T3 and R7U5 model devices. Their feature units keep values in the device's own scales:
// the presets below are raw device values (1/256 dB of the device's steps) inside ranges that each
// unit's conversion maps onto the range the driver reports. Neither model answers the vendor
// requests for jack tables or output types: no handler serves them, so they are STALLed.
#include <sim/usb_descriptor_builder.h>
#include <sim/usb_models.h>

namespace sim::usb {

namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kModelString = 0x50;
constexpr uint8_t kModelFallbackString = 0x32;
constexpr uint16_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
constexpr uint16_t kMute = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint16_t kVolume = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL);
constexpr uint16_t kBass = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_BASS_CONTROL);
constexpr uint16_t kTreble = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_TREBLE_CONTROL);
constexpr uint16_t kAgc = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL);
constexpr uint8_t kVolumeSelector = USB_AUDIO_FU_VOLUME_CONTROL;

// Stereo 16-bit streams at 44.1 and 48 kHz: playback on interface 1, capture on interface 2; the
// AudioControl interface's status endpoint last.
void AddStreams(ConfigurationBuilder& c, uint8_t playbackTerminal, uint8_t captureTerminal) {
    c.Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 2, .interval = 16,
                         .audio1Form = true});
    const uint16_t packet = (48000 / 1000 + 1) * 4;
    struct Stream {
        uint8_t interface, terminal, address, sync;
    };
    for (const Stream& s : {Stream{1, playbackTerminal, 0x01, USB_ENDPOINT_SYNC_ADAPTIVE},
                            Stream{2, captureTerminal, 0x82, USB_ENDPOINT_SYNC_ASYNCHRONOUS}}) {
        c.Add(InterfaceFields{.number = s.interface, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
            .Add(InterfaceFields{.number = s.interface, .alternateSetting = 1,
                                 .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
            .Add(Uac1AsGeneral{.terminalLink = s.terminal})
            .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = 2, .bitResolution = 16, .rates = {44100, 48000}})
            .Add(EndpointFields{.address = s.address, .attributes = uint8_t(USB_ENDPOINT_TYPE_ISOCHRONOUS | s.sync),
                                .maxPacketSize = packet, .audio1Form = true})
            .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    }
}

// Volume presets of one unit on the given channels, in device values.
void AddVolume(std::vector<ControlPreset>& presets, uint8_t unit, std::initializer_list<uint8_t> channels,
               int32_t current, int32_t minimum, int32_t maximum, int32_t resolution) {
    for (uint8_t ch : channels) {
        presets.push_back({.entity = unit, .selector = kVolumeSelector, .channel = ch, .current = current,
                           .minimum = minimum, .maximum = maximum, .resolution = resolution});
    }
}

DeviceSetup ModelSetup(const char* name, uint16_t vendorId, uint16_t productId, std::u16string product,
                       std::vector<uint8_t> configuration, std::vector<ControlPreset> presets) {
    return DeviceSetup{
        .name = name,
        .speed = Speed::Full,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .bcdUSB = 0x0110, .deviceClass = 0, .deviceSubClass = 0, .deviceProtocol = 0, .idVendor = vendorId,
            .idProduct = productId, .iManufacturer = kManufacturerString, .iProduct = kProductString}),
        .configurations = {std::move(configuration)},
        .strings = {{kManufacturerString, kEnglish, u"Talmet"}, {kProductString, kEnglish, std::move(product)}},
        .audio = {.controls = std::move(presets)},
    };
}

}  // namespace

namespace r7t3 {

std::unique_ptr<Device> Create(const Options& options) {
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = kPlaybackInput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kPlaybackUnit, .sourceId = kPlaybackInput, .controlSize = 1,
                             .controls = {kMute | kBass | kTreble, kVolume, kVolume}})
        .Add(Uac1OutputTerminal{.terminalId = kSpeaker, .terminalType = USB_AUDIO_TERMINAL_SPEAKER,
                                .sourceId = kPlaybackUnit})
        .Add(Uac1InputTerminal{.terminalId = kMicInput, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kMicUnit, .sourceId = kMicInput, .controlSize = 1,
                             .controls = {kMute | kVolume, 0, 0}})
        .Add(Uac1InputTerminal{.terminalId = kLineInput, .terminalType = USB_AUDIO_TERMINAL_LINE_CONNECTOR,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kLineUnit, .sourceId = kLineInput, .controlSize = 1,
                             .controls = {kMute, kVolume, kVolume}})
        .Add(Uac1InputTerminal{.terminalId = kSpdifInput, .terminalType = USB_AUDIO_TERMINAL_SPDIF_INTERFACE,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kSpdifUnit, .sourceId = kSpdifInput, .controlSize = 1,
                             .controls = {kMute | kVolume, 0, 0}})
        .Add(Uac1SelectorUnit{.unitId = kRecordSelector, .sources = {kMicUnit, kLineUnit, kSpdifUnit}})
        .Add(Uac1FeatureUnit{.unitId = kRecordUnit, .sourceId = kRecordSelector, .controlSize = 1,
                             .controls = {kMute | kVolume, 0, 0}})
        .Add(Uac1FeatureUnit{.unitId = kCaptureUnit, .sourceId = kRecordUnit, .controlSize = 2,
                             .controls = {kMute | kVolume | kAgc, 0, 0}})
        .Add(Uac1OutputTerminal{.terminalId = kCaptureOutput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                                .sourceId = kCaptureUnit});
    AddStreams(c, kPlaybackInput, kCaptureOutput);

    std::vector<ControlPreset> presets;
    // Unit 9 steps through its table in 1 dB device steps: -8 dB reads as the table's -2.64 dB.
    AddVolume(presets, kMicUnit, {0}, -2048, -9472, 0, 256);
    // Units 10 to 12: whole device dB from -23 (-6 dB) to 3 (+33 dB); -15 is +6 dB.
    AddVolume(presets, kLineUnit, {1, 2}, -15 * 256, -23 * 256, 3 * 256, 256);
    AddVolume(presets, kSpdifUnit, {0}, -15 * 256, -23 * 256, 3 * 256, 256);
    AddVolume(presets, kRecordUnit, {0}, -15 * 256, -23 * 256, 3 * 256, 256);
    // Units 13 and 14: whole device dB from -28 (-36 dB) to 11 (+22.5 dB); -4 is 0 dB.
    AddVolume(presets, kPlaybackUnit, {1, 2}, -4 * 256, -28 * 256, 11 * 256, 256);
    AddVolume(presets, kCaptureUnit, {0}, -4 * 256, -28 * 256, 11 * 256, 256);
    DeviceSetup setup = ModelSetup("uac1-r7t3", options.vendorId, options.productId, u"R7T3 USB Audio", c.Build(),
                                   std::move(presets));
    setup.strings.push_back({kModelString, kEnglish, u"R7T3-01"});
    return std::make_unique<Device>(std::move(setup));
}

}  // namespace r7t3

namespace r7u5 {

std::unique_ptr<Device> Create(const Options& options) {
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = kPlaybackInput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kPlaybackUnit, .sourceId = kPlaybackInput, .controlSize = 1,
                             .controls = {kMute, kVolume, kVolume}})
        .Add(Uac1OutputTerminal{.terminalId = kSpeaker, .terminalType = USB_AUDIO_TERMINAL_SPEAKER,
                                .sourceId = kPlaybackUnit})
        .Add(Uac1InputTerminal{.terminalId = kMicInput, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kGainUnit, .sourceId = kMicInput, .controlSize = 1,
                             .controls = {kMute | kVolume, 0, 0}})
        .Add(Uac1FeatureUnit{.unitId = kRecordUnit, .sourceId = kGainUnit, .controlSize = 1,
                             .controls = {kMute | kVolume, 0, 0}})
        .Add(Uac1OutputTerminal{.terminalId = kCaptureOutput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                                .sourceId = kRecordUnit});
    AddStreams(c, kPlaybackInput, kCaptureOutput);

    std::vector<ControlPreset> presets;
    // Unit 13: 384 per 1.5 dB from 0 (-13.5 dB); 3456 is 0 dB.
    AddVolume(presets, kPlaybackUnit, {1, 2}, 3456, 0, 5760, 384);
    // Unit 10: the class's own scale, 0 to +22.5 dB.
    AddVolume(presets, kGainUnit, {0}, 0, 0, 5760, 384);
    // Unit 9: 192 per dB below -16 (0 dB), down to -37 dB.
    AddVolume(presets, kRecordUnit, {0}, -16, -16 - 192 * 37, -16, 192);
    DeviceSetup setup = ModelSetup("uac1-r7u5", options.vendorId, options.productId, u"R7U5 USB Audio", c.Build(),
                                   std::move(presets));
    setup.strings.push_back({kModelFallbackString, kEnglish, u"R7U5"});
    return std::make_unique<Device>(std::move(setup));
}

}  // namespace r7u5

}  // namespace sim::usb
