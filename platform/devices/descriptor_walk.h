// Walking raw descriptor bytes inside the simulated devices: the one cursor, little-endian field
// readers, the parsed shape of a configuration, and the length rules of class-specific descriptors.
#pragma once

#include <sim/usb_audio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::usb::detail {

using ByteSpan = std::span<const uint8_t>;

// The only code that advances through descriptor bytes. Next() answers the next whole descriptor;
// it stops for good at the end, at a bLength below 2, or at a descriptor running past the end.
class DescriptorCursor {
public:
    explicit DescriptorCursor(ByteSpan bytes) : m_Bytes(bytes) {}
    std::optional<ByteSpan> Next();
    bool Malformed() const { return m_Malformed; }  // stopped before the end
    size_t Offset() const { return m_Offset; }

private:
    ByteSpan m_Bytes;
    size_t m_Offset = 0;
    bool m_Malformed = false;
    bool m_Stopped = false;
};

// Field readers; callers have checked the descriptor's length against its rule first.
inline uint16_t Le16(ByteSpan d, size_t at) { return uint16_t(d[at] | d[at + 1] << 8); }
inline uint32_t Le24(ByteSpan d, size_t at) { return uint32_t(d[at] | d[at + 1] << 8 | d[at + 2] << 16); }
inline uint32_t Le32(ByteSpan d, size_t at) { return Le24(d, at) | uint32_t(d[at + 3]) << 24; }

struct EndpointModel {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;  // the whole field (bits 11-12: extra transactions)
    uint8_t interval = 0;
    uint8_t synchAddress = 0;                        // 9-byte audio form only
    std::vector<std::vector<uint8_t>> classDescriptors{};  // CS_ENDPOINT descriptors after it
    uint8_t TransferType() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
    bool IsIn() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    uint32_t MaxPacketBytes() const;  // size x (1 + extra transactions)
};

struct AltSettingModel {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<EndpointModel> endpoints{};
    std::vector<std::vector<uint8_t>> classDescriptors{};  // CS_INTERFACE descriptors after it
};

struct ConfigurationModel {
    uint8_t value = 0;
    uint8_t attributes = 0;
    std::vector<AltSettingModel> settings{};
    std::string problem{};  // empty when the walk reached wTotalLength cleanly

    const AltSettingModel* Find(uint8_t number, uint8_t alternate) const;
    bool HasInterface(uint8_t number) const;
    std::vector<uint8_t> InterfaceNumbers() const;
};

// Bounded by the given bytes and by wTotalLength, whichever is shorter.
ConfigurationModel ParseConfiguration(ByteSpan bytes);

// The first isochronous endpoint whose wMaxPacketSize the bus speed does not allow, described;
// empty when there is none. High speed: at most 1,024 bytes a transaction and at most three
// transactions (bits 12-11); full speed: at most 1,023 bytes, one transaction.
std::string IsochronousSizeProblem(const ConfigurationModel& model, bool highSpeed);

// Whether the endpoints say full speed: an explicit feedback endpoint of 3 bytes (10.14) exists
// only there.
bool EndpointsSayFullSpeed(const ConfigurationModel& model);

// ---- Class-specific descriptors of the audio class ----

enum class AudioArea : uint8_t { Control, Streaming, Endpoint };

// One row per class-specific descriptor the devices read: the bytes a reader needs, grown step by
// step (a count is read only after the bytes before it were found present). A descriptor is
// readable when it holds at least that many bytes; a subtype without a row is never readable.
struct ClassDescriptorRule {
    AudioVersion version;
    AudioArea area;
    uint8_t subtype;
    const char* name;
    size_t (*needed)(ByteSpan descriptor);
};

std::span<const ClassDescriptorRule> ClassDescriptorRules();
const ClassDescriptorRule* FindClassDescriptorRule(AudioVersion version, AudioArea area, uint8_t subtype);
bool ClassDescriptorReadable(AudioVersion version, AudioArea area, ByteSpan descriptor);

}  // namespace sim::usb::detail
