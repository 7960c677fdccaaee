// Vendor extensions of the simulated UAC 2.0 devices: the layouts of the extended control block and
// of the jack lists, and the `uac2-vendor` model built on them. The generic audio function answers
// the requests; what the bytes look like is decided here only.
#include "vendor_extensions.h"

#include <sim/usb_descriptor_builder.h>

#include <algorithm>

namespace sim::usb::detail {

namespace {

constexpr uint8_t kBlockTag[4] = {'K', 'V', 'X', 'C'};
constexpr uint8_t kBlockVersion = 1;

void PutLe(std::vector<uint8_t>& out, uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

uint32_t GetLe(std::span<const uint8_t> in, size_t at, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= uint32_t(in[at + i]) << (8 * i);
    return v;
}

}  // namespace

std::vector<uint8_t> BuildExtendedControlBlock(std::span<const uint32_t> entries) {
    std::vector<uint8_t> block(std::begin(kBlockTag), std::end(kBlockTag));
    block.push_back(kBlockVersion);
    block.resize(kExtendedBlockSizeAt, 0);
    const size_t count = std::min<size_t>(entries.size(), (0xFFFF - kExtendedBlockEntriesAt) / 4);
    PutLe(block, uint32_t(kExtendedBlockEntriesAt + 4 * count), 2);
    for (size_t i = 0; i < count; ++i) PutLe(block, entries[i], 4);
    return block;
}

std::vector<uint32_t> ExtendedControlEntries(std::span<const uint8_t> block) {
    if (block.size() < kExtendedBlockEntriesAt) return {};
    const size_t size = std::min<size_t>(GetLe(block, kExtendedBlockSizeAt, 2), block.size());
    if (size < kExtendedBlockEntriesAt) return {};
    std::vector<uint32_t> entries;
    for (size_t at = kExtendedBlockEntriesAt; at + 4 <= size; at += 4) entries.push_back(GetLe(block, at, 4));
    return entries;
}

uint32_t JackConfigurationWord(const JackConfiguration& jack) {
    return uint32_t(jack.colourIndex & 0xF) << 12 | uint32_t(jack.connectionType) << 16 |
           uint32_t(jack.geoLocation & 0xF) << 24 | uint32_t(jack.genLocation & 0xF) << 28;
}

std::vector<uint8_t> BuildJackList(std::span<const VendorJack> jacks, uint32_t connectedChannels) {
    const size_t count = std::min<size_t>(jacks.size(), 255);
    std::vector<uint8_t> list{uint8_t(count)};
    for (size_t i = 0; i < count; ++i) {
        const bool connected = (jacks[i].channelMapping & connectedChannels) != 0;
        const uint32_t word = (jacks[i].configuration & ~kJackConnectedMask) | (connected ? 1u << kJackConnectedShift : 0);
        PutLe(list, jacks[i].channelMapping, 4);
        PutLe(list, word, 4);
    }
    return list;
}

}  // namespace sim::usb::detail

namespace sim::usb {

using detail::ExtendedControlBits;
using detail::JackConfiguration;
using detail::JackConfigurationWord;

DeviceSetup Uac2VendorSetup(uint16_t vendorId) {
    constexpr uint8_t kClock = 40;
    constexpr uint32_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    constexpr uint16_t kConnectorReadable = 1u << 2;  // terminal bmControls: connector control, read-only
    constexpr uint8_t kManufacturer = 1, kProduct = 2;
    // Alternate settings of the render interface.
    constexpr uint8_t kPcm24 = 1, kPcm16 = 2, kIec61937 = 3, kRaw = 4;
    auto packetBytes = [](uint32_t frameBytes) { return uint16_t((192000 / 8000 + 1) * frameBytes); };
    const uint32_t master = USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_MUTE_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE) |
                            USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_VOLUME_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE);
    const uint32_t channel = USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_VOLUME_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE);

    ConfigurationBuilder c;
    c.Add(InterfaceAssociationFields{.firstInterface = 0, .interfaceCount = 3})
        .Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                             .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00})
        .Add(Uac2Header{.category = USB_AUDIO_CATEGORY_PRO_AUDIO})
        .Add(Uac2ClockSource{.clockId = kClock})
        .Add(Uac2InputTerminal{.terminalId = 1, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .clockSourceId = kClock,
                               .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac2FeatureUnit{.unitId = 2, .sourceId = 1, .controls = {master, channel, channel}})
        .Add(Uac2OutputTerminal{.terminalId = 3, .terminalType = USB_AUDIO_TERMINAL_SPEAKER, .sourceId = 2,
                                .clockSourceId = kClock, .controls = kConnectorReadable})
        .Add(Uac2InputTerminal{.terminalId = 4, .terminalType = USB_AUDIO_TERMINAL_LINE_CONNECTOR, .clockSourceId = kClock,
                               .nrChannels = 2, .channelConfig = kStereo, .controls = kConnectorReadable})
        .Add(Uac2FeatureUnit{.unitId = 5, .sourceId = 4, .controls = {master, 0, 0}})
        .Add(Uac2OutputTerminal{.terminalId = 6, .terminalType = USB_AUDIO_TERMINAL_USB_STREAMING, .sourceId = 5,
                                .clockSourceId = kClock})
        .Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 6, .interval = 4})
        .Add(EndpointFields{.address = 0x84, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 512, .interval = 0});

    struct Setting {
        uint8_t alt, formatType;
        uint32_t formats;
        uint8_t subslot, bits;
    };
    const Setting render[] = {
        {kPcm24, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, 4, 24},
        {kPcm16, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, 2, 16},
        {kIec61937, USB_AUDIO_FORMAT_TYPE_III, kUac2TypeIIIAc3 | kUac2TypeIIIWma, 2, 16},
        {kRaw, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_TYPE_I_RAW_DATA, 4, 32},
    };
    const Setting capture[] = {{kPcm24, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, 4, 24}};
    for (uint8_t number : {1, 2}) {
        const bool playback = number == 1;
        c.Add(InterfaceFields{.number = number, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                              .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00});
        for (const Setting& s : playback ? std::span<const Setting>(render) : std::span<const Setting>(capture)) {
            c.Add(InterfaceFields{.number = number, .alternateSetting = s.alt,
                                  .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                  .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00})
                .Add(Uac2AsGeneral{.terminalLink = uint8_t(playback ? 1 : 6), .formatType = s.formatType,
                                   .formats = s.formats, .nrChannels = 2, .channelConfig = kStereo});
            if (s.formatType == USB_AUDIO_FORMAT_TYPE_III) {
                c.Add(Uac2FormatTypeIII{.subslotSize = s.subslot, .bitResolution = s.bits});
            } else {
                c.Add(Uac2FormatTypeI{.subslotSize = s.subslot, .bitResolution = s.bits});
            }
            c.Add(EndpointFields{.address = uint8_t(playback ? 0x01 : 0x82),
                                 .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS,
                                 .maxPacketSize = packetBytes(2u * s.subslot), .interval = 1})
                .Add(Uac2CsEndpoint{});
            if (playback) {
                c.Add(EndpointFields{.address = 0x81,
                                     .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK,
                                     .maxPacketSize = 4, .interval = 4});
            }
        }
    }

    // Jacks: the speaker pair at the rear (green, 3.5 mm), headphones at the front, an optical
    // output, and the line input at the rear (blue).
    const uint32_t rearGreen = JackConfigurationWord({.colourIndex = 4, .connectionType = 1, .geoLocation = 1});
    const uint32_t frontBlack = JackConfigurationWord({.colourIndex = 1, .connectionType = 1, .geoLocation = 2});
    const uint32_t optical = JackConfigurationWord({.colourIndex = 0, .connectionType = 5, .geoLocation = 1});
    const uint32_t rearBlue = JackConfigurationWord({.colourIndex = 3, .connectionType = 1, .geoLocation = 1});
    const uint32_t extendedMaster = ExtendedControlBits(detail::kExtendedSwitch, USB_AUDIO2_CONTROL_PROGRAMMABLE);
    const uint32_t extendedChannel = ExtendedControlBits(detail::kExtendedVolume, USB_AUDIO2_CONTROL_PROGRAMMABLE);
    const uint32_t extended[] = {extendedMaster, extendedChannel, extendedChannel};

    AudioOptions audio{
        .clockRates = {{kClock, {48000, 44100, 88200, 96000, 176400, 192000}}},
        // IEC 61937 passes through at the consumer rates only; raw data at the multiples of 44.1 kHz
        // that carry one-bit streams in 32-bit words.
        .altSettingRates = {{uint16_t(1 << 8 | kIec61937), {44100, 48000}}, {uint16_t(1 << 8 | kRaw), {88200, 176400}}},
        .vendorTerminals = {
            {3, VendorTerminal{.types = {{USB_AUDIO_TERMINAL_SPEAKER, {{USB_AUDIO_CHANNEL_LEFT_FRONT, rearGreen},
                                                                       {USB_AUDIO_CHANNEL_RIGHT_FRONT, rearGreen}}},
                                         {USB_AUDIO_TERMINAL_HEADPHONES, {{kStereo, frontBlack}}},
                                         {USB_AUDIO_TERMINAL_SPDIF_INTERFACE, {{kStereo, optical}}}},
                               .connectedChannels = kStereo}},
            {4, VendorTerminal{.types = {{USB_AUDIO_TERMINAL_LINE_CONNECTOR, {{kStereo, rearBlue}}}},
                               .connectedChannels = kStereo}},
        },
        .extendedControlBlocks = {{2, detail::BuildExtendedControlBlock(extended)}},
    };
    return DeviceSetup{
        .speed = Speed::High,
        .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
            .idVendor = vendorId, .idProduct = 0x0072, .iManufacturer = kManufacturer, .iProduct = kProduct}),
        .configurations = {c.Build()},
        .strings = {{kManufacturer, 0x0409, u"Talmet"}, {kProduct, 0x0409, u"V-380D USB Audio 2.0 Studio"}},
        .audio = std::move(audio),
    };
}

}  // namespace sim::usb
