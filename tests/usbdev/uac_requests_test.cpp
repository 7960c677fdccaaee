// Class requests answered as UAC 1.0 and 2.0 define them, as scripts: each step is a request and
// the answer it must get, so SET steps are checked by the GET steps after them.
#include "usb_test_support.h"

#include <gtest/gtest.h>

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

}  // namespace
