#include "hal_choice.h"

#include "text.h"

#include "driver/engine/adapter/AudioHalCreators.h"

#include <cstdio>

namespace kvsim {
namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kInterfaceDescriptor = 4;
constexpr uint8_t kAudioClass = 1;
constexpr uint8_t kAudioControlSubclass = 1;
constexpr uint8_t kUac2Protocol = 0x20;

const char* HalClassName(AudioHalKind kind) {
    switch (kind) {
        case AudioHalKind::Uac1: return "Uac1AudioHal";
        case AudioHalKind::Uac2: return "Uac2AudioHal";
        case AudioHalKind::R7T5: return "R7T5AudioHal";
        case AudioHalKind::R7T3: return "R7T3AudioHal";
        case AudioHalKind::R7U5: return "R7U5AudioHal";
        case AudioHalKind::W4M3: return "W4M3AudioHal";
        default: return "?";
    }
}

// The AudioControl interface's bInterfaceProtocol, or -1 without one. The walk stops at a
// descriptor that does not fit.
int AudioControlProtocol(std::span<const uint8_t> configuration) {
    size_t offset = 0;
    while (offset + 2 <= configuration.size()) {
        uint8_t length = configuration[offset];
        if (length < 2 || offset + length > configuration.size()) break;
        if (configuration[offset + 1] == kInterfaceDescriptor && length >= 9 &&
            configuration[offset + 5] == kAudioClass && configuration[offset + 6] == kAudioControlSubclass) {
            return configuration[offset + 7];
        }
        offset += length;
    }
    return -1;
}

const sim::usb::LogEntry* LastRequest(const std::vector<sim::usb::LogEntry>& log, uint8_t request, uint16_t value) {
    const sim::usb::LogEntry* found = nullptr;
    for (const sim::usb::LogEntry& entry : log) {
        if (entry.isRequest && entry.setup.bRequest == request && entry.setup.wValue == value &&
            entry.setup.Type() == 0) {
            found = &entry;
        }
    }
    return found;
}

std::string Hex(int value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

}  // namespace

HalChoice FindHalChoice(sim::usb::Device& device, const std::vector<sim::usb::LogEntry>& log) {
    HalChoice choice;
    if (device.ConfigurationCount() == 0) {
        choice.reason = "the device has no configuration";
        return choice;
    }
    int protocol = AudioControlProtocol(device.ConfigurationBytes(0));
    if (protocol < 0) {
        choice.reason = "the configuration has no AudioControl interface";
        return choice;
    }
    if (protocol == kUac2Protocol) {
        // The choice follows the configuration's selection.
        const sim::usb::LogEntry* configured = nullptr;
        for (const sim::usb::LogEntry& entry : log) {
            if (entry.isRequest && entry.setup.bRequest == kSetConfiguration && entry.setup.Type() == 0 &&
                entry.status == sim::usb::ControlStatus::Ok) {
                configured = &entry;
            }
        }
        choice.made = configured != nullptr;
        choice.hal = HalClassName(AudioHalKind::Uac2);
        choice.reason = "AudioControl protocol 0x20 (UAC 2.0)";
        if (!choice.made) choice.reason += "; the driver did not configure the device";
        return choice;
    }
    if (protocol != 0) {
        choice.reason = "AudioControl protocol " + Hex(protocol) + " is served by no HAL";
        return choice;
    }

    // Protocol 0: the model identifier string decides, read at 0x50 and else at 0x32.
    for (uint8_t index : {ModelIdentifierStringIndex, ModelIdentifierStringFallbackIndex}) {
        const sim::usb::LogEntry* read = LastRequest(log, kGetDescriptor, uint16_t(kStringDescriptor << 8 | index));
        if (read == nullptr) break;
        choice.made = true;
        if (read->status != sim::usb::ControlStatus::Ok) continue;
        std::vector<uint8_t> answer(read->setup.wLength);
        sim::usb::ControlResult result = device.Control(read->setup, answer);
        ULONG received = result.status == sim::usb::ControlStatus::Ok ? result.length : 0;
        AudioHalKind kind = AudioHalKindFromModelIdentifier(answer.data(), received);
        // Identifiers may hold any code units: the unprintable ones are shown as \uXXXX.
        std::string text;
        for (size_t i = 2; i + 1 < received && i + 1 < answer.size() && i + 1 < answer[0]; i += 2) {
            unsigned unit = answer[i] | answer[i + 1] << 8;
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", unit);
            text += unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\' ? std::string(1, char(unit)) : escaped;
        }
        choice.hal = HalClassName(kind);
        choice.reason = "AudioControl protocol 0x00; model identifier string " + Hex(index) + " \"" + text + "\"";
        return choice;
    }
    if (choice.made) {
        choice.hal = HalClassName(AudioHalKind::Uac1);
        choice.reason = "AudioControl protocol 0x00; no model identifier string";
    } else {
        choice.reason = "the driver did not read the model identifier";
    }
    return choice;
}

}  // namespace kvsim
