// The W4M3 model device: what it answers beyond the generic audio function. Its playback is
// stereo; the driver offers eight channels and computes two effects on the host, which the device
// only switches: vendor feature requests (SET_CUR 0x41 / GET_CUR 0xC1) to the playback feature
// unit at wValue 0x8B00 (room effect) and 0x8C00 (headphone effect), one byte each. The unit
// declares them in an extension block read with GET_MEM; the microphone's feature unit has none
// and STALLs GET_MEM. Output-type requests to the terminals are not known here and STALL.
//
// Capability sets: the full-speed variant (the default) is the one the driver gives the first
// set, the high-speed variant (Options::highSpeed) the second.
#include <sim/usb_descriptor_builder.h>
#include <sim/usb_models.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

namespace sim::usb::w4m3 {

namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kModelString = 0x50;
constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kGetMem = 0x85;
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kVendorOut = 0x41;  // host to device, vendor, interface
constexpr uint8_t kVendorIn = 0xC1;
constexpr uint8_t kClassIn = 0xA1;
constexpr uint16_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
constexpr uint8_t kMute = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint8_t kVolume = USB_AUDIO1_FU_CONTROL_BIT(USB_AUDIO_FU_VOLUME_CONTROL);
// Extension block: 16 header bytes (a tag and a version), the block length at 16, the entry size
// at 18, then one 16-bit entry per channel (master first): vendor selector 0x80 + n is bit n - 1.
constexpr uint8_t kBlockTag[4] = {'W', '4', 'X', 'B'};
constexpr size_t kBlockLengthAt = 16;
constexpr size_t kEntrySizeAt = 18;
constexpr uint8_t kEntrySize = 2;
constexpr uint16_t EffectBit(uint8_t selector) { return uint16_t(1u << ((selector & 0x7F) - 1)); }

std::mutex g_StatesLock;
std::map<const Device*, std::weak_ptr<State>> g_States;

uint8_t* EffectOf(State& state, uint8_t selector) {
    if (selector == kRoomEffect) return &state.roomEffect;
    if (selector == kHeadphoneEffect) return &state.headphoneEffect;
    return nullptr;
}

bool ToPlaybackUnit(const SetupPacket& s) { return s.wIndex == (kPlaybackFeature << 8 | kControlInterface); }

HandlerTable EffectTable(std::shared_ptr<State> state) {
    return HandlerTable{
        .name = "W4M3 effect switches",
        .control = [state](Device& device, const SetupPacket& s, std::span<uint8_t> data) -> std::optional<ControlResult> {
            // GET_MEM of the playback unit's extension block, from offset wValue.
            if (s.bmRequestType == kClassIn && s.bRequest == kGetMem && (s.wIndex & 0xFF) == kControlInterface &&
                (s.wIndex >> 8) != 0) {
                if (!ToPlaybackUnit(s)) return ControlResult::Stall();
                const std::vector<uint8_t> block = ExtensionBlock();
                if (s.wValue >= block.size()) return ControlResult::Stall();
                const size_t n = std::min(data.size(), block.size() - s.wValue);
                std::copy_n(block.begin() + s.wValue, n, data.begin());
                return ControlResult::Ok(uint32_t(n));
            }
            if (s.bmRequestType != kVendorOut && s.bmRequestType != kVendorIn) return std::nullopt;
            uint8_t* effect = EffectOf(*state, uint8_t(s.wValue >> 8));
            if (!ToPlaybackUnit(s) || effect == nullptr || (s.wValue & 0xFF) != 0) return std::nullopt;
            if (s.bmRequestType == kVendorIn && s.bRequest == kGetCur) {
                if (data.empty()) return ControlResult::Ok(0);
                data[0] = *effect;
                return ControlResult::Ok(1);
            }
            if (s.bmRequestType == kVendorOut && s.bRequest == kSetCur) {
                if (data.size() != 1 || data[0] > 1) return ControlResult::Stall();
                *effect = data[0];
                state->writes.emplace_back(uint8_t(s.wValue >> 8), data[0]);
                char text[64];
                std::snprintf(text, sizeof text, "W4M3 effect 0x%02X := %u", s.wValue >> 8, data[0]);
                device.Note(text);
                return ControlResult::Ok(1);
            }
            return ControlResult::Stall();
        },
        .describe = [](const SetupPacket& s) -> std::optional<std::string> {
            if (s.bmRequestType == kClassIn && s.bRequest == kGetMem) {
                return "GET_MEM FU " + std::to_string(s.wIndex >> 8) + " offset " + std::to_string(s.wValue);
            }
            if ((s.bmRequestType != kVendorOut && s.bmRequestType != kVendorIn) || !ToPlaybackUnit(s)) return std::nullopt;
            const uint8_t selector = uint8_t(s.wValue >> 8);
            const char* name = selector == kRoomEffect ? "ROOM_EFFECT" : selector == kHeadphoneEffect ? "HEADPHONE_EFFECT" : "?";
            return std::string(s.IsIn() ? "VENDOR GET_CUR" : "VENDOR SET_CUR") + " FU 2 " + name;
        },
    };
}

}  // namespace

std::vector<uint8_t> ExtensionBlock() {
    std::vector<uint8_t> block(std::begin(kBlockTag), std::end(kBlockTag));
    block.push_back(1);  // layout version
    block.resize(kBlockLengthAt, 0);
    const uint16_t master = EffectBit(kRoomEffect) | EffectBit(kHeadphoneEffect);
    const uint16_t entries[] = {master, 0, 0};  // master, left, right
    const size_t length = kEntrySizeAt + 1 + sizeof(entries);
    block.push_back(uint8_t(length));
    block.push_back(uint8_t(length >> 8));
    block.push_back(kEntrySize);
    for (uint16_t e : entries) {
        block.push_back(uint8_t(e));
        block.push_back(uint8_t(e >> 8));
    }
    return block;
}

std::vector<uint8_t> ConfigurationBytes(const Options& options) {
    // Full speed: one packet a millisecond; high speed: one every microframe.
    const uint32_t perSecond = options.highSpeed ? 8000 : 1000;
    auto packetBytes = [perSecond](uint32_t top, uint32_t frameBytes) { return uint16_t((top / perSecond + 1) * frameBytes); };
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = kControlInterface, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = kPlaybackInput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kPlaybackFeature, .sourceId = kPlaybackInput, .controlSize = 1,
                             .controls = {uint8_t(kMute | kVolume), kVolume, kVolume}})
        .Add(Uac1OutputTerminal{.terminalId = kPlaybackOutput, .terminalType = uint16_t(options.headphones ? USB_AUDIO_TERMINAL_HEADPHONES
                                                                                          : USB_AUDIO_TERMINAL_SPEAKER),
                                .sourceId = kPlaybackFeature})
        .Add(Uac1InputTerminal{.terminalId = kMicInput, .terminalType = USB_AUDIO_TERMINAL_MICROPHONE, .nrChannels = 2,
                               .channelConfig = kStereo})
        .Add(Uac1FeatureUnit{.unitId = kMicFeature, .sourceId = kMicInput, .controlSize = 1,
                             .controls = {uint8_t(kMute | kVolume), 0, 0}})
        .Add(Uac1OutputTerminal{.terminalId = kCaptureOutput, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING,
                                .sourceId = kMicFeature})
        .Add(EndpointFields{.address = kStatusEndpoint, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 2,
                          .interval = uint8_t(options.highSpeed ? 8 : 16), .audio1Form = true});
    // Playback: 1 = 16 bits at 44.1, 48 and 96 kHz; 2 = 24 bits at 48 kHz. Two channels each.
    struct Setting {
        uint8_t alt, subframe, bits;
        std::vector<uint32_t> rates;
    };
    const Setting playback[] = {{1, 2, 16, {44100, 48000, 96000}}, {2, 3, 24, {48000}}};
    c.Add(InterfaceFields{.number = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING});
    for (const Setting& s : playback) {
        c.Add(InterfaceFields{.number = 1, .alternateSetting = s.alt, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
            .Add(Uac1AsGeneral{.terminalLink = kPlaybackInput})
            .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = s.subframe, .bitResolution = s.bits, .rates = s.rates})
            .Add(EndpointFields{.address = 0x01, .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE,
                              .maxPacketSize = packetBytes(s.rates.back(), 2u * s.subframe),
                              .audio1Form = true})
            .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    }
    // Capture: stereo 16-bit.
    c.Add(InterfaceFields{.number = 2, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(InterfaceFields{.number = 2, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac1AsGeneral{.terminalLink = kCaptureOutput})
        .Add(Uac1FormatType{.nrChannels = 2, .subframeSize = 2, .bitResolution = 16, .rates = {44100, 48000}})
        .Add(EndpointFields{.address = 0x82, .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS,
                          .maxPacketSize = packetBytes(48000, 4), .audio1Form = true})
        .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    return c.Build();
}

std::unique_ptr<Device> Create(const Options& options) {
    DeviceSetup setup{
        .name = "uac1-w4m3",
        .speed = options.highSpeed ? Speed::High : Speed::Full,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .bcdUSB = uint16_t(options.highSpeed ? 0x0200 : 0x0110), .deviceClass = 0, .deviceSubClass = 0,
            .deviceProtocol = 0, .idVendor = options.vendorId, .idProduct = options.productId,
            .iManufacturer = kManufacturerString, .iProduct = kProductString}),
        .configurations = {ConfigurationBytes(options)},
        .strings = {{kManufacturerString, kEnglish, u"Talmet"},
                    {kProductString, kEnglish, u"W4M3 USB Audio"},
                    {kModelString, kEnglish, u"KLQ866"}},
        .audio = {},
    };
    auto device = std::make_unique<Device>(std::move(setup));
    auto state = std::make_shared<State>();
    {
        std::lock_guard lock(g_StatesLock);
        for (auto it = g_States.begin(); it != g_States.end();) it = it->second.expired() ? g_States.erase(it) : ++it;
        g_States[device.get()] = state;
    }
    device->PushHandlers(EffectTable(std::move(state)));
    return device;
}

std::shared_ptr<State> StateOf(const Device& device) {
    std::lock_guard lock(g_StatesLock);
    auto it = g_States.find(&device);
    return it != g_States.end() ? it->second.lock() : nullptr;
}

bool ChangeEffectFromDevice(Device& device, uint8_t selector, uint8_t value) {
    std::shared_ptr<State> state = StateOf(device);
    uint8_t* effect = state != nullptr ? EffectOf(*state, selector) : nullptr;
    if (effect == nullptr || device.Audio() == nullptr) return false;
    *effect = value;
    const uint8_t status[2] = {USB_AUDIO1_STATUS_INTERRUPT_PENDING | USB_AUDIO1_STATUS_ORIGINATOR_AC_INTERFACE,
                               kPlaybackFeature};
    device.Audio()->PostInterrupt(status);
    return true;
}

}  // namespace sim::usb::w4m3
