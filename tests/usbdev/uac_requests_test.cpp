// Class requests answered as UAC 1.0 and 2.0 define them, as scripts: each step is a request and
// the answer it must get, so SET steps are checked by the GET steps after them.
#include "usb_test_support.h"
#include "vendor_extensions.h"

#include <gtest/gtest.h>
#include <sim/usb_descriptor_builder.h>

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;
constexpr auto OK = ControlStatus::Ok;
constexpr auto STALL = ControlStatus::Stall;

struct Step {
    const char* what;
    SetupPacket setup;
    Bytes out;
    ControlStatus status;
    Bytes in;
};

void RunScript(Device& d, std::span<const Step> script) {
    for (const Step& s : script) {
        Reply r = Transfer(d, s.setup, s.out);
        EXPECT_EQ(r.status, s.status) << s.what;
        if (s.setup.IsIn() && s.status == OK) {
            EXPECT_EQ(r.bytes, s.in) << s.what;
        }
    }
}

// Entity requests on the AudioControl interface 0.
SetupPacket Get(uint8_t request, uint8_t entity, uint16_t value, uint16_t length) {
    return MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, request, value, uint16_t(entity << 8), length);
}
SetupPacket Set(uint8_t request, uint8_t entity, uint16_t value, uint16_t length) {
    return MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, request, value, uint16_t(entity << 8), length);
}
SetupPacket EndpointRequest(bool in, uint8_t request, uint8_t endpoint, uint16_t length) {
    return MakeSetup(in, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, request, 0x0100, endpoint, length);
}
SetupPacket Streaming(uint8_t interfaceNumber, uint8_t selector, uint16_t length) {
    return MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO2_CUR, uint16_t(selector << 8), interfaceNumber,
                     length);
}

constexpr uint16_t kMute = USB_AUDIO_FU_MUTE_CONTROL << 8;
constexpr uint16_t kVolume = USB_AUDIO_FU_VOLUME_CONTROL << 8;

TEST(Uac1Requests, FeatureSelectorAndEndpointControls) {
    auto d = Configured("uac1");
    // FU 2: mute and volume on the master, volume on channels 1 and 2; SU 8 has two inputs.
    const Step script[] = {
        {"volume starts at 0 dB", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {}, OK, {0x00, 0x00}},
        {"volume minimum -60 dB", Get(USB_AUDIO1_GET_MIN, 2, kVolume | 1, 2), {}, OK, {0x00, 0xC4}},
        {"volume maximum", Get(USB_AUDIO1_GET_MAX, 2, kVolume | 1, 2), {}, OK, {0x00, 0x00}},
        {"volume resolution 0.5 dB", Get(USB_AUDIO1_GET_RES, 2, kVolume | 1, 2), {}, OK, {0x80, 0x00}},
        {"answer truncated to wLength", Get(USB_AUDIO1_GET_MIN, 2, kVolume | 1, 1), {}, OK, {0x00}},
        {"set -10 dB", Set(USB_AUDIO1_SET_CUR, 2, kVolume | 1, 2), {0x00, 0xF6}, OK, {}},
        {"reads back", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {}, OK, {0x00, 0xF6}},
        {"channel 2 untouched", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 2, 2), {}, OK, {0x00, 0x00}},
        {"below the range", Set(USB_AUDIO1_SET_CUR, 2, kVolume | 1, 2), {0x00, 0x9C}, OK, {}},
        {"clamped to the minimum", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {}, OK, {0x00, 0xC4}},
        {"off the 0.5 dB grid", Set(USB_AUDIO1_SET_CUR, 2, kVolume | 1, 2), {0xB3, 0xF5}, OK, {}},
        {"snapped down to the grid", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {}, OK, {0x80, 0xF5}},
        {"silence", Set(USB_AUDIO1_SET_CUR, 2, kVolume | 1, 2), {0x00, 0x80}, OK, {}},
        {"silence kept", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {}, OK, {0x00, 0x80}},
        {"parameter block too short", Set(USB_AUDIO1_SET_CUR, 2, kVolume | 1, 1), {0x00}, STALL, {}},
        {"mute has no range", Get(USB_AUDIO1_GET_MIN, 2, kMute, 1), {}, STALL, {}},
        {"mute any non-zero is on", Set(USB_AUDIO1_SET_CUR, 2, kMute, 1), {0x05}, OK, {}},
        {"mute reads 1", Get(USB_AUDIO1_GET_CUR, 2, kMute, 1), {}, OK, {0x01}},
        {"no mute on channel 1", Get(USB_AUDIO1_GET_CUR, 2, kMute | 1, 1), {}, STALL, {}},
        {"no channel 3", Get(USB_AUDIO1_GET_CUR, 2, kVolume | 3, 2), {}, STALL, {}},
        {"GET code sent host to device", Set(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2), {0, 0}, STALL, {}},
        {"SET_MIN not supported", Set(USB_AUDIO1_SET_MIN, 2, kVolume | 1, 2), {0, 0}, STALL, {}},
        {"GET_MEM not supported", Get(USB_AUDIO1_GET_MEM, 2, 0, 4), {}, STALL, {}},
        {"GET_STAT not supported", Get(USB_AUDIO1_GET_STAT, 2, 0, 1), {}, STALL, {}},
        {"unknown entity", Get(USB_AUDIO1_GET_CUR, 99, kVolume, 2), {}, STALL, {}},
        {"selector starts at input 1", Get(USB_AUDIO1_GET_CUR, 8, 0, 1), {}, OK, {0x01}},
        {"selector maximum is the pin count", Get(USB_AUDIO1_GET_MAX, 8, 0, 1), {}, OK, {0x02}},
        {"select input 2", Set(USB_AUDIO1_SET_CUR, 8, 0, 1), {0x02}, OK, {}},
        {"input 3 does not exist", Set(USB_AUDIO1_SET_CUR, 8, 0, 1), {0x03}, STALL, {}},
        {"selector keeps input 2", Get(USB_AUDIO1_GET_CUR, 8, 0, 1), {}, OK, {0x02}},
        {"endpoint rate starts at 44.1 kHz", EndpointRequest(true, USB_AUDIO1_GET_CUR, 0x01, 3), {}, OK, {0x44, 0xAC, 0x00}},
        {"set 48 kHz", EndpointRequest(false, USB_AUDIO1_SET_CUR, 0x01, 3), {0x80, 0xBB, 0x00}, OK, {}},
        {"reads back 48 kHz", EndpointRequest(true, USB_AUDIO1_GET_CUR, 0x01, 3), {}, OK, {0x80, 0xBB, 0x00}},
        {"32 kHz is not offered", EndpointRequest(false, USB_AUDIO1_SET_CUR, 0x01, 3), {0x00, 0x7D, 0x00}, OK, {}},
        {"the nearest rate is taken", EndpointRequest(true, USB_AUDIO1_GET_CUR, 0x01, 3), {}, OK, {0x44, 0xAC, 0x00}},
        {"no rate control on the status endpoint", EndpointRequest(true, USB_AUDIO1_GET_CUR, 0x83, 3), {}, STALL, {}},
    };
    RunScript(*d, script);
    EXPECT_EQ(d->Audio()->ControlValue(2, USB_AUDIO_FU_VOLUME_CONTROL, 1), -32768);
    EXPECT_EQ(d->Audio()->StreamRate(1), 44100u);
}

TEST(Uac1Requests, ClassRequestsNeedAConfiguration) {
    auto d = CreateCatalogDevice("uac1");
    EXPECT_EQ(Transfer(*d, Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2)).status, STALL);
    Configure(*d);
    EXPECT_EQ(Transfer(*d, Get(USB_AUDIO1_GET_CUR, 2, kVolume | 1, 2)).status, OK);
}

TEST(Uac2Requests, ClockFeatureAndStreamingControls) {
    auto d = Configured("uac2");
    constexpr uint8_t kClock = 40;
    const Step script[] = {
        {"clock starts at 48 kHz", Get(USB_AUDIO2_CUR, kClock, 0x0100, 4), {}, OK, {0x80, 0xBB, 0x00, 0x00}},
        {"range count first", Get(USB_AUDIO2_RANGE, kClock, 0x0100, 2), {}, OK, {0x06, 0x00}},
        {"first sub-range: 48 kHz, 48 kHz, step 0", Get(USB_AUDIO2_RANGE, kClock, 0x0100, 14), {}, OK,
         {0x06, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"set 96 kHz", Set(USB_AUDIO2_CUR, kClock, 0x0100, 4), {0x00, 0x77, 0x01, 0x00}, OK, {}},
        {"reads back 96 kHz", Get(USB_AUDIO2_CUR, kClock, 0x0100, 4), {}, OK, {0x00, 0x77, 0x01, 0x00}},
        {"a rate the clock lacks", Set(USB_AUDIO2_CUR, kClock, 0x0100, 4), {0x39, 0x30, 0x00, 0x00}, STALL, {}},
        {"rate unchanged", Get(USB_AUDIO2_CUR, kClock, 0x0100, 4), {}, OK, {0x00, 0x77, 0x01, 0x00}},
        {"clock valid", Get(USB_AUDIO2_CUR, kClock, 0x0200, 1), {}, OK, {0x01}},
        {"volume range: one sub-range", Get(USB_AUDIO2_RANGE, 2, kVolume | 1, 8), {}, OK,
         {0x01, 0x00, 0x00, 0xC4, 0x00, 0x00, 0x80, 0x00}},
        {"mute has no range", Get(USB_AUDIO2_RANGE, 2, kMute, 2), {}, STALL, {}},
        {"set channel 2 to -6 dB", Set(USB_AUDIO2_CUR, 2, kVolume | 2, 2), {0x00, 0xFA}, OK, {}},
        {"reads back", Get(USB_AUDIO2_CUR, 2, kVolume | 2, 2), {}, OK, {0x00, 0xFA}},
        {"capture unit has only the master", Get(USB_AUDIO2_CUR, 5, kVolume | 1, 2), {}, STALL, {}},
        {"MEM not supported", Get(USB_AUDIO2_MEM, 2, 16, 2), {}, STALL, {}},
        {"RANGE cannot be set", Set(USB_AUDIO2_RANGE, 2, kVolume | 1, 8), Bytes(8), STALL, {}},
        {"no connector control declared", Get(USB_AUDIO2_CUR, 4, 0x0200, 6), {}, STALL, {}},
        {"interface-level request", Get(USB_AUDIO2_CUR, 0, 0x0100, 1), {}, STALL, {}},
        {"valid alternate settings", Streaming(1, USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL, 5), {}, OK, {0x01, 0x07}},
        {"active alternate setting", Streaming(1, USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL, 1), {}, OK, {0x00}},
        {"select alternate setting 2",
         MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, 2, 1, 0), {}, OK, {}},
        {"active alternate setting follows", Streaming(1, USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL, 1), {}, OK, {0x02}},
    };
    RunScript(*d, script);
    EXPECT_EQ(d->Audio()->StreamRate(1), 96000u);
    EXPECT_EQ(d->Audio()->StreamRate(2), 96000u) << "both streams run on the one clock";
}

TEST(Uac2Requests, ValidAlternateSettingsFollowTheClock) {
    auto catalog = CreateCatalogDevice("uac2");
    DeviceSetup setup{.name = "uac2 with a 48 kHz-only setting", .speed = Speed::High};
    setup.deviceDescriptor.assign(catalog->DeviceDescriptorBytes().begin(), catalog->DeviceDescriptorBytes().end());
    setup.configurations.emplace_back(catalog->ConfigurationBytes().begin(), catalog->ConfigurationBytes().end());
    setup.audio.clockRates = {{40, {48000, 96000}}};
    setup.audio.altSettingRates = {{0x0102, {48000}}};  // interface 1, alternate setting 2
    Device d(std::move(setup));
    Configure(d);
    const Step script[] = {
        {"all valid at 48 kHz", Streaming(1, USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL, 2), {}, OK, {0x01, 0x07}},
        {"set 96 kHz", Set(USB_AUDIO2_CUR, 40, 0x0100, 4), {0x00, 0x77, 0x01, 0x00}, OK, {}},
        {"setting 2 invalid at 96 kHz", Streaming(1, USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL, 2), {}, OK, {0x01, 0x03}},
        {"the other interface is unaffected", Streaming(2, USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL, 2), {}, OK, {0x01, 0x07}},
    };
    RunScript(d, script);
}

// A UAC 2.0 function on three clocks: a continuous one, one of two sub-ranges, and a multiplier
// (x2, read-only) of the second that drives the render stream; its feature unit's volume answers
// two sub-ranges.
std::unique_ptr<Device> ClockDevice() {
    constexpr uint32_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceProtocol = USB_AUDIO_PROTOCOL_IP_VERSION_02_00})
        .Add(Uac2Header{})
        .Add(Uac2ClockSource{.clockId = 10})
        .Add(Uac2ClockSource{.clockId = 11, .controls = 0x03})  // validity not requestable
        .Add(Uac2ClockMultiplier{.clockId = 12, .sourceId = 11, .controls = 0x05})
        .Add(Uac2InputTerminal{.terminalId = 1, .clockSourceId = 12})
        .Add(Uac2FeatureUnit{.unitId = 2, .sourceId = 1,
                             .controls = {USB_AUDIO2_FU_CONTROL_BITS(USB_AUDIO_FU_VOLUME_CONTROL, USB_AUDIO2_CONTROL_PROGRAMMABLE)}})
        .Add(Uac2OutputTerminal{.terminalId = 3, .sourceId = 2, .clockSourceId = 10})
        .Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 6, .interval = 4})
        .Add(InterfaceFields{.number = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING, .interfaceProtocol = 0x20})
        .Add(InterfaceFields{.number = 1, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                             .interfaceProtocol = 0x20})
        .Add(Uac2AsGeneral{.terminalLink = 1, .nrChannels = 2, .channelConfig = kStereo})
        .Add(Uac2FormatTypeI{})
        .Add(EndpointFields{.address = 0x01, .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE,
                            .maxPacketSize = 400})
        .Add(Uac2CsEndpoint{});
    DeviceSetup setup{.name = "clocks", .speed = Speed::High,
                      .deviceDescriptor = BuildDeviceDescriptor({.idVendor = 0xA5E7, .idProduct = 1}),
                      .configurations = {c.Build()}};
    setup.audio.clockRanges = {{10, {{8000, 192000, 1}}}, {11, {{44100, 48000, 3900}, {88200, 96000, 7800}}}};
    setup.audio.controls = {
        {.entity = 12, .selector = USB_AUDIO2_CM_NUMERATOR_CONTROL, .current = 2},
        {.entity = 2, .selector = USB_AUDIO_FU_VOLUME_CONTROL, .current = 0,
         .ranges = {{-100 * 256, -40 * 256, 256}, {-40 * 256, 0, 128}}},
    };
    auto d = std::make_unique<Device>(std::move(setup));
    Configure(*d);
    return d;
}

TEST(Uac2Requests, ClockRangesMultiplierAndLevelSubRanges) {
    auto d = ClockDevice();
    const Step script[] = {
        {"continuous clock: one sub-range", Get(USB_AUDIO2_RANGE, 10, 0x0100, 14), {}, OK,
         {0x01, 0x00, 0x40, 0x1F, 0, 0, 0x00, 0xEE, 0x02, 0, 0x01, 0, 0, 0}},
        {"any rate inside it", Set(USB_AUDIO2_CUR, 10, 0x0100, 4), Le(12345, 4), OK, {}},
        {"reads back", Get(USB_AUDIO2_CUR, 10, 0x0100, 4), {}, OK, Le(12345, 4)},
        {"outside it", Set(USB_AUDIO2_CUR, 10, 0x0100, 4), Le(200000, 4), STALL, {}},
        {"two sub-ranges, count first", Get(USB_AUDIO2_RANGE, 11, 0x0100, 2), {}, OK, {0x02, 0x00}},
        {"second sub-range", Get(USB_AUDIO2_RANGE, 11, 0x0100, 26), {}, OK,
         {0x02, 0x00, 0x44, 0xAC, 0, 0, 0x80, 0xBB, 0, 0, 0x3C, 0x0F, 0, 0,
          0x88, 0x58, 0x01, 0, 0x00, 0x77, 0x01, 0, 0x78, 0x1E, 0, 0}},
        {"a rate on the second grid", Set(USB_AUDIO2_CUR, 11, 0x0100, 4), Le(96000, 4), OK, {}},
        {"off the grid", Set(USB_AUDIO2_CUR, 11, 0x0100, 4), Le(90000, 4), STALL, {}},
        {"between the sub-ranges", Set(USB_AUDIO2_CUR, 11, 0x0100, 4), Le(60000, 4), STALL, {}},
        {"validity not requestable", Get(USB_AUDIO2_CUR, 11, 0x0200, 1), {}, STALL, {}},
        {"numerator", Get(USB_AUDIO2_CUR, 12, 0x0100, 2), {}, OK, {0x02, 0x00}},
        {"denominator", Get(USB_AUDIO2_CUR, 12, 0x0200, 2), {}, OK, {0x01, 0x00}},
        {"read-only numerator", Set(USB_AUDIO2_CUR, 12, 0x0100, 2), {0x03, 0x00}, STALL, {}},
        {"multiplier has no range", Get(USB_AUDIO2_RANGE, 12, 0x0100, 8), {}, STALL, {}},
        {"level: two sub-ranges", Get(USB_AUDIO2_RANGE, 2, kVolume, 14), {}, OK,
         {0x02, 0x00, 0x00, 0x9C, 0x00, 0xD8, 0x00, 0x01, 0x00, 0xD8, 0x00, 0x00, 0x80, 0x00}},
        {"half a dB in the upper sub-range", Set(USB_AUDIO2_CUR, 2, kVolume, 2), {0x80, 0xFF}, OK, {}},
        {"kept", Get(USB_AUDIO2_CUR, 2, kVolume, 2), {}, OK, {0x80, 0xFF}},
        {"half a dB in the lower one", Set(USB_AUDIO2_CUR, 2, kVolume, 2), {0x80, 0xB0}, OK, {}},
        {"snapped to its 1 dB grid", Get(USB_AUDIO2_CUR, 2, kVolume, 2), {}, OK, {0x00, 0xB0}},
    };
    RunScript(*d, script);
    EXPECT_EQ(d->Audio()->StreamRate(1), 192000u) << "the multiplier doubles the 96 kHz source";
}

TEST(Uac2Requests, ClockTurnsInvalidWithItsMessage) {
    auto d = Configured("uac2");
    ASSERT_TRUE(d->Audio()->ChangeFromDevice(40, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0, 0));
    Bytes message(6);
    PacketResult r = d->InterruptIn(0x83, 0, message);
    EXPECT_EQ(Bytes(message.begin(), message.begin() + r.length), (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, 40}));
    EXPECT_EQ(Transfer(*d, Get(USB_AUDIO2_CUR, 40, 0x0200, 1)).bytes, Bytes{0x00});
    EXPECT_EQ(Transfer(*d, Set(USB_AUDIO2_CUR, 40, 0x0200, 1), {1}).status, STALL) << "validity is the device's";
}

TEST(Uac2Vendor, ExtendedControlBlockOverMem) {
    auto d = Configured("uac2-vendor");
    const Bytes block = Transfer(*d, Get(USB_AUDIO2_MEM, 2, 0, 64)).bytes;
    ASSERT_EQ(block.size(), 30u) << "18 bytes and 3 entries";
    const Step script[] = {
        {"size at offset 16", Get(USB_AUDIO2_MEM, 2, 16, 2), {}, OK, {30, 0}},
        {"master entry: the extended switch", Get(USB_AUDIO2_MEM, 2, 18, 4), {}, OK, {0, 0, 0, 0xC0}},
        {"channel entry: the extended volume", Get(USB_AUDIO2_MEM, 2, 22, 8), {}, OK, {0x0C, 0, 0, 0, 0x0C, 0, 0, 0}},
        {"past the block", Get(USB_AUDIO2_MEM, 2, 30, 2), {}, STALL, {}},
        {"the block is read-only", Set(USB_AUDIO2_MEM, 2, 16, 2), {0xFF, 0}, STALL, {}},
        {"no block on the capture unit", Get(USB_AUDIO2_MEM, 5, 16, 2), {}, STALL, {}},
        {"extended volume, channel 1", Get(USB_AUDIO2_CUR, 2, 0x8201, 2), {}, OK, {0, 0}},
        {"its range", Get(USB_AUDIO2_RANGE, 2, 0x8201, 8), {}, OK, {0x01, 0x00, 0x00, 0xC4, 0x00, 0x00, 0x80, 0x00}},
        {"set -3 dB", Set(USB_AUDIO2_CUR, 2, 0x8202, 2), {0x00, 0xFD}, OK, {}},
        {"reads back", Get(USB_AUDIO2_CUR, 2, 0x8202, 2), {}, OK, {0x00, 0xFD}},
        {"not on the master", Get(USB_AUDIO2_CUR, 2, 0x8200, 2), {}, STALL, {}},
        {"extended switch on the master", Set(USB_AUDIO2_CUR, 2, 0x9000, 1), {1}, OK, {}},
        {"switched", Get(USB_AUDIO2_CUR, 2, 0x9000, 1), {}, OK, {1}},
        {"not on channel 1", Get(USB_AUDIO2_CUR, 2, 0x9001, 1), {}, STALL, {}},
    };
    RunScript(*d, script);
    auto plain = Configured("uac2");
    EXPECT_EQ(Transfer(*plain, Get(USB_AUDIO2_MEM, 2, 16, 2)).status, STALL);
    EXPECT_EQ(Transfer(*plain, Get(USB_AUDIO2_CUR, 2, 0x8201, 2)).status, STALL);
}

TEST(Uac2Vendor, JackListsFollowTheTypeAndTheConnectedChannels) {
    auto d = Configured("uac2-vendor");
    const uint32_t green = detail::JackConfigurationWord({.colourIndex = 4, .connectionType = 1, .geoLocation = 1});
    auto jack = [](uint32_t mapping, uint32_t word, bool connected) {
        Bytes b = Le(mapping, 4);
        const Bytes w = Le(word | (connected ? 0x100u : 0u), 4);
        b.insert(b.end(), w.begin(), w.end());
        return b;
    };
    auto list = [](std::initializer_list<Bytes> jacks) {
        Bytes b{uint8_t(jacks.size())};
        for (const Bytes& j : jacks) b.insert(b.end(), j.begin(), j.end());
        return b;
    };
    const Bytes speakerJacks = list({jack(1, green, true), jack(2, green, true)});
    const Step before[] = {
        {"speaker jacks", Get(USB_AUDIO2_CUR, 3, 0x02FF, 17), {}, OK, speakerJacks},
        {"the count alone", Get(USB_AUDIO2_CUR, 3, 0x02FF, 9), {}, OK, Bytes(speakerJacks.begin(), speakerJacks.begin() + 9)},
        {"jack list cannot be set", Set(USB_AUDIO2_CUR, 3, 0x02FF, 1), {0}, STALL, {}},
        {"connected channels", Get(USB_AUDIO2_CUR, 3, 0x0200, 6), {}, OK, {2, 0x03, 0, 0, 0, 0}},
        {"type count", Get(USB_AUDIO2_RANGE, 3, 0x0800, 2), {}, OK, {3, 0}},
        {"types as 2-byte sub-ranges", Get(USB_AUDIO2_RANGE, 3, 0x0800, 20), {}, OK,
         {3, 0, 0x01, 0x03, 0x01, 0x03, 0, 0, 0x02, 0x03, 0x02, 0x03, 0, 0, 0x05, 0x06, 0x05, 0x06, 0, 0}},
        {"current type", Get(USB_AUDIO2_CUR, 3, 0x0800, 2), {}, OK, {0x01, 0x03}},
        {"a type the terminal lacks", Set(USB_AUDIO2_CUR, 3, 0x0800, 2), {0x04, 0x03}, STALL, {}},
        {"switch to headphones", Set(USB_AUDIO2_CUR, 3, 0x0800, 2), {0x02, 0x03}, OK, {}},
        {"headphone jack", Get(USB_AUDIO2_CUR, 3, 0x02FF, 9), {}, OK,
         list({jack(3, detail::JackConfigurationWord({.colourIndex = 1, .connectionType = 1, .geoLocation = 2}), true)})},
        {"input terminal jacks", Get(USB_AUDIO2_CUR, 4, 0x02FF, 9), {}, OK,
         list({jack(3, detail::JackConfigurationWord({.colourIndex = 3, .connectionType = 1, .geoLocation = 1}), true)})},
        {"no type selector on the input", Get(USB_AUDIO2_RANGE, 4, 0x0800, 2), {}, STALL, {}},
        {"streaming terminal has no jacks", Get(USB_AUDIO2_CUR, 1, 0x02FF, 9), {}, STALL, {}},
    };
    RunScript(*d, before);

    // The device unplugs the right channel, then switches itself to S/PDIF: one message each.
    ASSERT_TRUE(d->Audio()->ChangeFromDevice(3, USB_AUDIO2_TE_CONNECTOR_CONTROL, 0, USB_AUDIO_CHANNEL_LEFT_FRONT));
    ASSERT_TRUE(d->Audio()->ChangeFromDevice(3, detail::kTerminalTypeSelector, 0, USB_AUDIO_TERMINAL_SPDIF_INTERFACE));
    EXPECT_FALSE(d->Audio()->ChangeFromDevice(3, detail::kTerminalTypeSelector, 0, 0x0710)) << "not one of its types";
    Bytes message(6);
    for (uint8_t selector : {uint8_t(USB_AUDIO2_TE_CONNECTOR_CONTROL), detail::kTerminalTypeSelector}) {
        PacketResult r = d->InterruptIn(0x83, 0, message);
        EXPECT_EQ(Bytes(message.begin(), message.begin() + r.length), (Bytes{0x00, 0x01, 0x00, selector, 0x00, 3}));
    }
    const uint32_t optical = detail::JackConfigurationWord({.connectionType = 5, .geoLocation = 1});
    const Step after[] = {
        {"one channel connected", Get(USB_AUDIO2_CUR, 3, 0x0200, 6), {}, OK, {1, 0x01, 0, 0, 0, 0}},
        {"type S/PDIF", Get(USB_AUDIO2_CUR, 3, 0x0800, 2), {}, OK, {0x05, 0x06}},
        {"optical jack, still connected", Get(USB_AUDIO2_CUR, 3, 0x02FF, 9), {}, OK, list({jack(3, optical, true)})},
        {"back to the speaker", Set(USB_AUDIO2_CUR, 3, 0x0800, 2), {0x01, 0x03}, OK, {}},
        {"its right jack is out", Get(USB_AUDIO2_CUR, 3, 0x02FF, 17), {}, OK,
         list({jack(1, green, true), jack(2, green, false)})},
    };
    RunScript(*d, after);

    // A plain device STALLs both the jack list and the type selector.
    auto plain = Configured("uac2");
    EXPECT_EQ(Transfer(*plain, Get(USB_AUDIO2_CUR, 3, 0x02FF, 9)).status, STALL);
    EXPECT_EQ(Transfer(*plain, Get(USB_AUDIO2_RANGE, 3, 0x0800, 2)).status, STALL);
    EXPECT_EQ(Transfer(*plain, Get(USB_AUDIO2_CUR, 3, 0x0800, 2)).status, STALL);
}

TEST(Uac2Vendor, SettingsValidPerRateAndTheBulkPipe) {
    auto d = Configured("uac2-vendor");
    // Alternate settings 1, 2 PCM, 3 IEC 61937 (44.1 and 48 kHz), 4 raw data (88.2 and 176.4 kHz).
    struct Case {
        uint32_t rate;
        uint8_t valid;
    } cases[] = {{48000, 0x0F}, {44100, 0x0F}, {88200, 0x17}, {96000, 0x07}, {176400, 0x17}, {192000, 0x07}};
    for (const Case& k : cases) {
        ASSERT_EQ(Transfer(*d, Set(USB_AUDIO2_CUR, 40, 0x0100, 4), Le(k.rate, 4)).status, OK) << k.rate;
        EXPECT_EQ(Transfer(*d, Streaming(1, USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL, 2)).bytes, (Bytes{0x01, k.valid}))
            << k.rate;
    }
    ASSERT_EQ(SelectAlternate(*d, 1, 3), OK);
    EXPECT_EQ(d->Audio()->Render(1)->Format().subslotBytes, 2) << "IEC 61937 in 16-bit subslots";

    // The AudioControl interface carries the status interrupt and a bulk IN pipe.
    Bytes buffer(512);
    EXPECT_TRUE(d->BulkIn(0x84, 0, buffer).nak);
    const Bytes data(700, 0x5A);
    d->Audio()->PostBulkIn(data);
    EXPECT_EQ(d->BulkIn(0x84, 0, buffer).length, 512u);
    EXPECT_EQ(d->BulkIn(0x84, 1, buffer).length, 188u);
}

TEST(VendorLayouts, ExtendedBlockEntriesAreBoundedByItsSizeAndBytes) {
    const uint32_t entries[] = {0xC0000000, 0x0C};
    Bytes block = detail::BuildExtendedControlBlock(entries);
    ASSERT_EQ(block.size(), 26u);
    EXPECT_EQ(detail::ExtendedControlEntries(block), (std::vector<uint32_t>{0xC0000000, 0x0C}));
    struct Case {
        const char* what;
        uint16_t size;
        size_t bytes;
        size_t entries;
    } cases[] = {
        {"size below the entries", 17, 26, 0},
        {"size 18: no entry", 18, 26, 0},
        {"size cuts an entry", 25, 26, 1},
        {"size past the bytes", 0xFFFF, 26, 2},
        {"bytes cut an entry", 26, 24, 1},
        {"shorter than the size field", 26, 17, 0},
    };
    for (const Case& k : cases) {
        Bytes b = block;
        b[16] = uint8_t(k.size);
        b[17] = uint8_t(k.size >> 8);
        b.resize(k.bytes);
        EXPECT_EQ(detail::ExtendedControlEntries(b).size(), k.entries) << k.what;
    }
}

}  // namespace
