// The device-model designs beside the catalog: what the model devices answer beyond the generic
// audio function. What the driver's side does not fix (register effects, value ranges, the bytes
// of the descriptors it does not read) is this file's own design.
//
// R7T5: an eight-channel playback path through a mixer with two input monitors, four record
// sources behind a selector whose codes 1 to 4 are its inputs, feature units whose values are in
// the device's own scales, and a HID interface whose output report writes one of six 16-bit
// registers and whose input report carries a status bit.
#include <sim/usb_descriptor_builder.h>
#include <sim/usb_models.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace sim::usb::r7t5 {

namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kModelString = 0x50;
constexpr uint8_t kHidClass = 3;
constexpr uint8_t kSetReport = 0x09;
constexpr uint8_t kGetReport = 0x01;
constexpr uint16_t kOutputReport = 0x0200;
constexpr uint16_t kInputReport = 0x0100;
constexpr uint8_t kRegisterWrite = 0x20;
constexpr uint8_t kReportBit4 = 0x10;
constexpr uint16_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
constexpr uint16_t kSevenOne = 0x063F;
constexpr uint8_t kMute = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint8_t kVolume = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL);
// The registers as the device powers up.
constexpr std::array<uint16_t, 6> kPowerOnRegisters = {0x2004, 0x3002, 0xF800, 0x143F, 0x0000, 0x3000};

std::mutex g_StatesLock;
std::map<const Device*, std::weak_ptr<State>> g_States;

// A stereo feature unit: mute on the master channel, volume on both channels (10 bytes).
Uac1FeatureUnit StereoFeature(uint8_t id, uint8_t source) {
    return Uac1FeatureUnit{.unitId = id, .sourceId = source, .controlSize = 1, .controls = {kMute, kVolume, kVolume}};
}

void AddPlaybackSetting(ConfigurationBuilder& c, uint8_t alt, uint8_t channels, std::vector<uint32_t> rates) {
    const uint32_t top = rates.back();
    c.Add(InterfaceFields{.number = 1, .alternateSetting = alt, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac1AsGeneral{.terminalLink = kPlaybackInput})
        .Add(Uac1FormatType{.nrChannels = channels, .subframeSize = 2, .bitResolution = 16, .rates = std::move(rates)})
        .Add(EndpointFields{.address = 0x01, .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE,
                          .maxPacketSize = uint16_t((top / 1000 + 1) * 2u * channels), .audio1Form = true})
        .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
}

// Values in the device's own scales (1/256 dB of the device's steps): the master in whole steps
// of its table, the monitors and the record units in the units their mappings assume.
std::vector<ControlPreset> Presets() {
    std::vector<ControlPreset> presets;
    for (uint8_t ch = 1; ch <= 8; ++ch) {
        presets.push_back({.entity = kMaster, .selector = USB_AUDIO_FU_VOLUME_CONTROL, .channel = ch, .current = -2560,
                           .minimum = -9728, .maximum = 0, .resolution = 256});
    }
    for (uint8_t unit : {kMicMonitor, kLineMonitor}) {
        for (uint8_t ch = 1; ch <= 2; ++ch) {
            presets.push_back({.entity = unit, .selector = USB_AUDIO_FU_VOLUME_CONTROL, .channel = ch, .current = -1024,
                               .minimum = -8192, .maximum = 0x040C, .resolution = 128});
        }
    }
    for (uint8_t unit : {kMicRecord, kLineRecord, kSpdifRecord, kStereoMixRecord}) {
        for (uint8_t ch = 1; ch <= 2; ++ch) {
            presets.push_back({.entity = unit, .selector = USB_AUDIO_FU_VOLUME_CONTROL, .channel = ch, .current = 0,
                               .minimum = -16384, .maximum = 0x0A40, .resolution = 256});
        }
    }
    return presets;
}

HandlerTable HidTable(std::shared_ptr<State> state) {
    auto isReport = [](const SetupPacket& s) {
        return s.Type() == BMREQUEST_CLASS && s.Recipient() == BMREQUEST_TO_INTERFACE && s.wIndex == kHidInterface;
    };
    return HandlerTable{
        .name = "R7T5 HID registers",
        .control = [state, isReport](Device& device, const SetupPacket& s,
                                     std::span<uint8_t> data) -> std::optional<ControlResult> {
            if (!isReport(s)) return std::nullopt;
            if (!s.IsIn() && s.bRequest == kSetReport && s.wValue == kOutputReport) {
                if (data.size() != 4 || data[0] != kRegisterWrite || data[3] >= state->registers.size()) {
                    return ControlResult::Stall();
                }
                const uint16_t value = uint16_t(data[1] | data[2] << 8);
                state->registers[data[3]] = value;
                state->writes.emplace_back(data[3], value);
                char text[64];
                std::snprintf(text, sizeof text, "R7T5 register %u := 0x%04X", data[3], value);
                device.Note(text);
                return ControlResult::Ok(4);
            }
            if (s.IsIn() && s.bRequest == kGetReport && s.wValue == kInputReport) {
                bool bit4 = true;
                const machine::Time now = machine::Now();
                for (const auto& [at, set] : state->reportBit4) {
                    if (at <= now) bit4 = set;
                }
                ++state->reportReads;
                const uint8_t report[3] = {uint8_t(bit4 ? kReportBit4 : 0), 0, 0};
                const size_t n = std::min(data.size(), sizeof report);
                std::copy_n(report, n, data.begin());
                return ControlResult::Ok(uint32_t(n));
            }
            return ControlResult::Stall();
        },
        .describe = [isReport](const SetupPacket& s) -> std::optional<std::string> {
            if (!isReport(s)) return std::nullopt;
            if (s.bRequest == kSetReport && !s.IsIn()) return std::string("HID SET_REPORT output (register write)");
            if (s.bRequest == kGetReport && s.IsIn()) return std::string("HID GET_REPORT input (status)");
            return std::string("HID request");
        },
    };
}

HandlerTable IdentificationTable(const Options& options) {
    return HandlerTable{
        .name = "R7T5 variant bytes",
        .control = [options](Device&, const SetupPacket& s, std::span<uint8_t> data) -> std::optional<ControlResult> {
            if (s.bmRequestType != 0xC3 || s.bRequest != 0x81 || s.wValue != 0 || (s.wIndex != 8 && s.wIndex != 9)) {
                return std::nullopt;
            }
            if (data.empty()) return ControlResult::Ok(0);
            data[0] = s.wIndex == 9 ? options.variantA : options.variantB;
            return ControlResult::Ok(1);
        },
        .describe = [](const SetupPacket& s) -> std::optional<std::string> {
            if (s.bmRequestType != 0xC3 || s.bRequest != 0x81) return std::nullopt;
            return std::string(s.wIndex == 9 ? "VENDOR OTHER variant byte A" : "VENDOR OTHER variant byte B");
        },
    };
}

}  // namespace

std::vector<uint8_t> ConfigurationBytes() {
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = kPlaybackInput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                               .nrChannels = 8, .channelConfig = kSevenOne})
        .Add(Uac1InputTerminal{.terminalId = kMicInput, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE, .nrChannels = 2,
                               .channelConfig = kStereo})
        .Add(StereoFeature(kMicRecord, kMicInput))
        .Add(StereoFeature(kMicMonitor, kMicInput))
        // 12 input channels (8 + 2 + 2) by 8 output channels, every crossing programmable.
        .Add(Uac1MixerUnit{.unitId = kPlaybackMixer, .sources = {kPlaybackInput, kMicMonitor, kLineMonitor},
                           .nrChannels = 8, .channelConfig = kSevenOne, .controls = std::vector<uint8_t>(12, 0xFF)})
        .Add(Uac1FeatureUnit{.unitId = kMaster, .sourceId = kPlaybackMixer, .controlSize = 1,
                             .controls = {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume}})
        .Add(Uac1OutputTerminal{.terminalId = kPlaybackOutput, .terminalType = USB_AUDIO_TERMINAL_SPEAKER,
                                .sourceId = kMaster})
        .Add(Uac1MixerUnit{.unitId = kStereoMixMixer, .sources = {kMicMonitor, kLineMonitor}, .nrChannels = 2,
                           .channelConfig = kStereo, .controls = {0x99}})
        .Add(Uac1OutputTerminal{.terminalId = kCaptureOutput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                                .sourceId = kRecordSelector})
        .Add(Uac1SelectorUnit{.unitId = kRecordSelector, .sources = {kMicRecord, kLineRecord, kSpdifRecord, kStereoMixRecord}})
        .Add(Uac1InputTerminal{.terminalId = kLineInput, .terminalType = USB_AUDIO_TERMINAL_LINE_CONNECTOR,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(StereoFeature(kLineRecord, kLineInput))
        .Add(StereoFeature(kLineMonitor, kLineInput))
        .Add(Uac1InputTerminal{.terminalId = kSpdifInput, .terminalType = USB_AUDIO_TERMINAL_SPDIF_INTERFACE,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(StereoFeature(kStereoMixRecord, kStereoMixMixer))
        .Add(StereoFeature(kSpdifRecord, kSpdifInput));
    // Playback: 1 = 8 channels, 2 = 2, 3 = 4, 4 = 6, 5 = 2 channels at one rate the driver reads as
    // 96 kHz.
    c.Add(InterfaceFields{.number = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING});
    AddPlaybackSetting(c, 1, 8, {44100, 48000});
    AddPlaybackSetting(c, 2, 2, {44100, 48000});
    AddPlaybackSetting(c, 3, 4, {44100, 48000});
    AddPlaybackSetting(c, 4, 6, {44100, 48000});
    AddPlaybackSetting(c, 5, 2, {48000});
    // Capture: stereo 16-bit.
    c.Add(InterfaceFields{.number = 2, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(InterfaceFields{.number = 2, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac1AsGeneral{.terminalLink = kCaptureOutput})
        .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = 2, .bitResolution = 16, .rates = {44100, 48000}})
        .Add(EndpointFields{.address = 0x82, .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS,
                          .maxPacketSize = 49 * 4, .audio1Form = true})
        .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    // HID interface 3: the register file (output report) and the status (input report).
    c.Add(InterfaceFields{.number = kHidInterface, .interfaceClass = kHidClass, .interfaceSubClass = 0})
        .AddRaw(std::vector<uint8_t>{9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x21, 0x00})
        .Add(EndpointFields{.address = 0x84, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 3,
                          .interval = 10});
    return c.Build();
}

std::unique_ptr<Device> Create(const Options& options) {
    DeviceSetup setup{
        .name = "uac1-r7t5",
        .speed = Speed::Full,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .bcdUSB = 0x0110, .deviceClass = 0, .deviceSubClass = 0, .deviceProtocol = 0, .idVendor = options.vendorId,
            .idProduct = options.productId, .iManufacturer = kManufacturerString, .iProduct = kProductString}),
        .configurations = {ConfigurationBytes()},
        .strings = {{kManufacturerString, kEnglish, u"Talmet"},
                    {kProductString, kEnglish, u"R7T5 USB Audio"},
                    {kModelString, kEnglish, std::u16string{0x000B, 0x0005, 0x0050, 0x0001}}},
        .audio = {.controls = Presets()},
    };
    auto device = std::make_unique<Device>(std::move(setup));
    auto state = std::make_shared<State>();
    state->registers = kPowerOnRegisters;
    {
        std::lock_guard lock(g_StatesLock);
        for (auto it = g_States.begin(); it != g_States.end();) it = it->second.expired() ? g_States.erase(it) : ++it;
        g_States[device.get()] = state;
    }
    device->PushHandlers(IdentificationTable(options));
    device->PushHandlers(HidTable(std::move(state)));
    return device;
}

std::shared_ptr<State> StateOf(const Device& device) {
    std::lock_guard lock(g_StatesLock);
    auto it = g_States.find(&device);
    return it != g_States.end() ? it->second.lock() : nullptr;
}

}  // namespace sim::usb::r7t5
