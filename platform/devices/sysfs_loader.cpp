// Loading a device from the Linux sysfs `descriptors` layout: the device descriptor, then every
// configuration descriptor with its wTotalLength bytes. The file is untrusted: its size is bounded
// before it is read, and every length is checked before the bytes it covers are used.
#include "descriptor_walk.h"

#include <sim/usb_device.h>

#include <filesystem>
#include <fstream>

namespace sim::usb {

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;  // far beyond 18 + 8 configurations x 64 KiB of real devices
constexpr size_t kMaxConfigurations = 32;
constexpr size_t kMaxStringFileBytes = 512;

LoadResult Refuse(std::string why) { return LoadResult{.device = nullptr, .error = std::move(why)}; }

// UTF-8 text of a sysfs string file to UTF-16 (at most 126 units, the trailing newline dropped).
// Malformed sequences become U+FFFD.
std::u16string Utf16FromUtf8(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    std::u16string out;
    for (size_t i = 0; i < s.size() && out.size() < 126;) {
        const auto b = uint8_t(s[i]);
        uint32_t cp = 0xFFFD;
        size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b >> 5) == 6 && i + 1 < s.size()) {
            cp = (b & 0x1F) << 6 | (uint8_t(s[i + 1]) & 0x3F);
            n = 2;
        } else if ((b >> 4) == 14 && i + 2 < s.size()) {
            cp = (b & 0x0F) << 12 | (uint8_t(s[i + 1]) & 0x3F) << 6 | (uint8_t(s[i + 2]) & 0x3F);
            n = 3;
        } else if ((b >> 3) == 30 && i + 3 < s.size()) {
            n = 4;  // outside the basic plane: one replacement unit
        }
        out.push_back(char16_t(cp > 0xFFFF ? 0xFFFD : cp));
        i += n;
    }
    return out;
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(limit, '\0');
    in.read(text.data(), std::streamsize(limit));
    text.resize(size_t(in.gcount()));
    return text;
}

}  // namespace

LoadResult LoadDescriptorBytes(std::span<const uint8_t> bytes, std::string name, const LoadOptions& options) {
    if (bytes.size() > kMaxFileBytes) return Refuse("more than " + std::to_string(kMaxFileBytes) + " bytes");
    if (bytes.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
        return Refuse(std::to_string(bytes.size()) + " bytes, fewer than the 18-byte device descriptor");
    }
    if (bytes[0] != sizeof(USB_DEVICE_DESCRIPTOR) || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return Refuse("the first descriptor is not an 18-byte device descriptor");
    }
    DeviceSetup setup{.name = std::move(name)};
    setup.deviceDescriptor.assign(bytes.begin(), bytes.begin() + sizeof(USB_DEVICE_DESCRIPTOR));

    size_t offset = sizeof(USB_DEVICE_DESCRIPTOR);
    std::vector<detail::ConfigurationModel> models;
    while (offset < bytes.size()) {
        const size_t remaining = bytes.size() - offset;
        const std::span<const uint8_t> c = bytes.subspan(offset);
        if (remaining < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            return Refuse("truncated configuration descriptor at offset " + std::to_string(offset));
        }
        if (c[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            return Refuse("no configuration descriptor at offset " + std::to_string(offset));
        }
        const size_t total = detail::Le16(c, 2);
        if (total < c[0] || total > remaining) {
            return Refuse("configuration at offset " + std::to_string(offset) + ": wTotalLength " +
                          std::to_string(total) + " with " + std::to_string(remaining) + " bytes left");
        }
        if (setup.configurations.size() == kMaxConfigurations) return Refuse("more than 32 configurations");
        const std::span<const uint8_t> configuration = c.first(total);
        const detail::ConfigurationModel model = detail::ParseConfiguration(configuration);
        if (!model.problem.empty() && !options.allowMalformedDescriptors) {
            return Refuse("configuration at offset " + std::to_string(offset) + ": " + model.problem);
        }
        setup.configurations.emplace_back(configuration.begin(), configuration.end());
        models.push_back(model);
        offset += total;
    }
    if (setup.configurations.empty()) return Refuse("no configuration descriptor after the device descriptor");
    // Without a speed given: a UAC 2.0 function runs at high speed unless its endpoints say full.
    setup.speed = Speed::Full;
    bool uac2 = false, fullSpeedEndpoints = false;
    for (const detail::ConfigurationModel& model : models) {
        for (const detail::AltSettingModel& s : model.settings) {
            uac2 |= s.interfaceClass == USB_DEVICE_CLASS_AUDIO && s.interfaceSubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
                    s.interfaceProtocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00;
        }
        fullSpeedEndpoints |= detail::EndpointsSayFullSpeed(model);
    }
    if (uac2 && !fullSpeedEndpoints) setup.speed = Speed::High;
    if (options.speed) setup.speed = *options.speed;
    for (const detail::ConfigurationModel& model : models) {
        const std::string problem = detail::IsochronousSizeProblem(model, setup.speed == Speed::High);
        if (!problem.empty() && !options.allowMalformedDescriptors) return Refuse("invalid " + problem);
    }
    setup.strings = options.strings;
    return LoadResult{.device = std::make_unique<Device>(std::move(setup))};
}

LoadResult LoadSysfsDescriptors(const std::string& path, const LoadOptions& options) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return Refuse(path + ": " + error.message());
    if (size > kMaxFileBytes) return Refuse(path + ": more than " + std::to_string(kMaxFileBytes) + " bytes");
    std::optional<std::string> text = ReadSmallFile(path, size_t(size));
    if (!text) return Refuse(path + ": cannot be read");

    LoadOptions withStrings = options;
    if (options.readSiblingStrings && text->size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        // The string indexes of the device descriptor, with the texts sysfs keeps beside the file.
        const std::filesystem::path directory = std::filesystem::path(path).parent_path();
        const std::pair<size_t, const char*> files[] = {{14, "manufacturer"}, {15, "product"}, {16, "serial"}};
        for (const auto& [at, file] : files) {
            const auto index = uint8_t((*text)[at]);
            if (index == 0) continue;
            if (std::optional<std::string> s = ReadSmallFile(directory / file, kMaxStringFileBytes)) {
                withStrings.strings.push_back(StringEntry{.index = index, .text = Utf16FromUtf8(*s)});
            }
        }
    }
    const auto* data = reinterpret_cast<const uint8_t*>(text->data());
    LoadResult r = LoadDescriptorBytes(std::span(data, text->size()), "file:" + path, withStrings);
    if (!r.device) r.error = path + ": " + r.error;
    return r;
}

}  // namespace sim::usb
