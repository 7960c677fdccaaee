// The vendor extensions of the simulated UAC 2.0 devices, with their byte layouts in one place: the
// feature units' extended control block, the terminals' jack lists and jack configuration words,
// and the `uac2-vendor` model that carries them all.
#pragma once

#include <sim/usb_device.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::usb::detail {

// Extended control block of a feature unit, read with MEM requests (wValue = byte offset): 16 header
// bytes (a tag, a layout version, the rest reserved), the block's total size in bytes as a u16 at
// offset 16, then one u32 entry per channel (master first) from offset 18. An entry is laid out like
// bmaControls: extended control selector s (0x82, 0x90: bit 7 removed) owns bits 2s - 2 (readable)
// and 2s - 1 (writable).
inline constexpr size_t kExtendedBlockSizeAt = 16;
inline constexpr size_t kExtendedBlockEntriesAt = 18;
inline constexpr uint8_t kExtendedVolume = 0x82;  // 2-byte signed level, 1/256 dB, with RANGE
inline constexpr uint8_t kExtendedSwitch = 0x90;  // 1-byte switch
inline constexpr uint32_t ExtendedControlBits(uint8_t selector, uint32_t access) {
    return access << (2 * ((selector & 0x7Fu) - 1));
}
std::vector<uint8_t> BuildExtendedControlBlock(std::span<const uint32_t> entries);
// The entries a block declares: as many whole entries as both its size field and its bytes cover;
// none when the block is shorter than 18 bytes or its size field is below 18.
std::vector<uint32_t> ExtendedControlEntries(std::span<const uint8_t> block);

// Jack configuration word: bits 8-11 connected (non-zero: connected), 12-15 colour index, 16-23
// connection type, 24-27 geometric location, 28-31 general location.
struct JackConfiguration {
    uint8_t colourIndex = 0;     // 0-15
    uint8_t connectionType = 0;  // 1: 3.5 mm, 5: optical, 7: other analog ...
    uint8_t geoLocation = 0;     // 0-15: 1 rear, 2 front ...
    uint8_t genLocation = 0;     // 0-15: 0 primary box, 1 internal ...
};
uint32_t JackConfigurationWord(const JackConfiguration& jack);
inline constexpr uint32_t kJackConnectedShift = 8;
inline constexpr uint32_t kJackConnectedMask = 0xFu << kJackConnectedShift;

// The jack list (GET CUR of the connector selector with channel 0xFF): the jack count, then per jack
// a u32 channel mapping and a u32 configuration word whose connected field says whether any of its
// channels is among the connected ones. At most 255 jacks are listed.
inline constexpr uint8_t kJackListChannel = 0xFF;
inline constexpr uint8_t kTerminalTypeSelector = 8;
std::vector<uint8_t> BuildJackList(std::span<const VendorJack> jacks, uint32_t connectedChannels);

}  // namespace sim::usb::detail

namespace sim::usb {

// UAC 2.0, high speed, with every vendor extension: jack lists and selectable output types, an
// extended control block, Type III and raw-data alternate settings valid at some rates only, and a
// bulk IN pipe beside the status interrupt on the AudioControl interface.
DeviceSetup Uac2VendorSetup(uint16_t vendorId);

}  // namespace sim::usb
