// Device-model behaviour of the simulated catalog devices beyond the generic audio function: the
// R7T5 model's configuration, its HID register file and status report, and its identification.
// Vendor and product ids and variant bytes are parameters, so a test builds each quirk row's
// device without a catalog row of its own.
#pragma once

#include <sim/machine.h>
#include <sim/usb_device.h>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace sim::usb::r7t5 {

// Unit and terminal ids of the device's AudioControl interface.
inline constexpr uint8_t kPlaybackInput = 1;
inline constexpr uint8_t kPlaybackOutput = 3;
inline constexpr uint8_t kSpdifInput = 4;
inline constexpr uint8_t kMicInput = 5;
inline constexpr uint8_t kLineInput = 6;
inline constexpr uint8_t kCaptureOutput = 7;
inline constexpr uint8_t kMicRecord = 8;
inline constexpr uint8_t kMicMonitor = 9;
inline constexpr uint8_t kRecordSelector = 10;
inline constexpr uint8_t kLineMonitor = 11;
inline constexpr uint8_t kPlaybackMixer = 12;
inline constexpr uint8_t kMaster = 13;
inline constexpr uint8_t kStereoMixMixer = 14;
inline constexpr uint8_t kLineRecord = 15;
inline constexpr uint8_t kSpdifRecord = 16;
inline constexpr uint8_t kStereoMixRecord = 2;
inline constexpr uint8_t kHidInterface = 3;
// Bytes of the audio function; the HID interface follows.
inline constexpr size_t kAudioFunctionBytes = 509;

struct Options {
    uint16_t vendorId = 0x1E7D;
    uint16_t productId = 0x3750;
    uint8_t variantA = 0x9F;  // vendor request 0x81 to "other", wIndex 9
    uint8_t variantB = 0x03;  // wIndex 8
};

// The device's state beyond the audio function.
struct State {
    std::array<uint16_t, 6> registers{};                     // the register file, as last written
    std::vector<std::pair<uint8_t, uint16_t>> writes{};       // every SET_REPORT, in order
    // Bit 4 of the status report from each time on (100 ns units of the machine's clock); before
    // the first entry it is set.
    std::vector<std::pair<machine::Time, bool>> reportBit4{};
    uint64_t reportReads = 0;
};

// The configuration descriptor (audio function, then HID interface 3).
std::vector<uint8_t> ConfigurationBytes();
std::unique_ptr<Device> Create(const Options& options = {});
// The state of a device Create made (also through the catalog); null for any other device.
std::shared_ptr<State> StateOf(const Device& device);

}  // namespace sim::usb::r7t5

// R7T3 and R7U5: UAC 1.0 devices whose feature units work in the device's own scales (two-byte
// CUR, MIN, MAX and RES in 1/256 dB of the device's steps) and whose terminals have no jack or
// output-type tables (the vendor requests for them are STALLed).
namespace sim::usb::r7t3 {

// Playback: streaming input 1 -> feature unit 13 (mute, bass and treble on the master, volume per
// channel) -> speaker 2. Capture: microphone 4 -> unit 9, line 6 -> unit 10, S/PDIF 7 -> unit 11,
// selector 15 -> unit 12 -> unit 14 (mute, volume, automatic gain) -> streaming output 8.
inline constexpr uint8_t kPlaybackInput = 1;
inline constexpr uint8_t kSpeaker = 2;
inline constexpr uint8_t kMicInput = 4;
inline constexpr uint8_t kLineInput = 6;
inline constexpr uint8_t kSpdifInput = 7;
inline constexpr uint8_t kCaptureOutput = 8;
inline constexpr uint8_t kMicUnit = 9;
inline constexpr uint8_t kLineUnit = 10;
inline constexpr uint8_t kSpdifUnit = 11;
inline constexpr uint8_t kRecordUnit = 12;
inline constexpr uint8_t kPlaybackUnit = 13;
inline constexpr uint8_t kCaptureUnit = 14;
inline constexpr uint8_t kRecordSelector = 15;

struct Options {
    uint16_t vendorId = 0xA5E7;
    uint16_t productId = 0x0067;
};
std::unique_ptr<Device> Create(const Options& options = {});

}  // namespace sim::usb::r7t3

namespace sim::usb::r7u5 {

// Playback: streaming input 1 -> feature unit 13 -> speaker 6. Capture: microphone 4 -> unit 10
// (gain) -> unit 9 (record level) -> streaming output 8. Identified by the fallback model string
// (0x32) only.
inline constexpr uint8_t kPlaybackInput = 1;
inline constexpr uint8_t kMicInput = 4;
inline constexpr uint8_t kSpeaker = 6;
inline constexpr uint8_t kCaptureOutput = 8;
inline constexpr uint8_t kRecordUnit = 9;
inline constexpr uint8_t kGainUnit = 10;
inline constexpr uint8_t kPlaybackUnit = 13;
// The vendor whose devices drive headphones at the speaker terminal 6.
inline constexpr uint16_t kHeadphoneVendor = 0x1B1C;

struct Options {
    uint16_t vendorId = 0xA5E7;
    uint16_t productId = 0x0067;
};
std::unique_ptr<Device> Create(const Options& options = {});

}  // namespace sim::usb::r7u5

namespace sim::usb::w4m3 {

// Unit and terminal ids of the device's AudioControl interface.
inline constexpr uint8_t kPlaybackInput = 1;
inline constexpr uint8_t kPlaybackFeature = 2;  // mute, volume, and the two effect switches
inline constexpr uint8_t kPlaybackOutput = 3;
inline constexpr uint8_t kMicInput = 4;
inline constexpr uint8_t kCaptureOutput = 6;
inline constexpr uint8_t kMicFeature = 9;       // mute and volume; no extension block
inline constexpr uint8_t kStatusEndpoint = 0x83;
// Vendor selectors of the playback feature unit (one-byte enable on the master channel).
inline constexpr uint8_t kRoomEffect = 0x8B;
inline constexpr uint8_t kHeadphoneEffect = 0x8C;

struct Options {
    uint16_t vendorId = 0xA5E7;
    uint16_t productId = 0x0067;
    bool highSpeed = false;  // the variant on a high-speed bus
    bool headphones = false;  // the playback output terminal is headphones (else a speaker)
};

// The device's state beyond the audio function.
struct State {
    uint8_t roomEffect = 0;
    uint8_t headphoneEffect = 0;
    std::vector<std::pair<uint8_t, uint8_t>> writes{};  // every vendor SET_CUR (selector, value), in order
};

std::vector<uint8_t> ConfigurationBytes(const Options& options = {});
// The extension block the playback feature unit answers to GET_MEM.
std::vector<uint8_t> ExtensionBlock();
std::unique_ptr<Device> Create(const Options& options = {});
// The state of a device Create made (also through the catalog); null for any other device.
std::shared_ptr<State> StateOf(const Device& device);
// The device changes an effect switch itself (a button) and announces the unit on its status
// endpoint. False for a selector it does not have.
bool ChangeEffectFromDevice(Device& device, uint8_t selector, uint8_t value);

}  // namespace sim::usb::w4m3
