#include "driver_settings.h"

#include <sim/registry.h>

#include <cstdint>

namespace kvsim {

void WriteDriverSettings(const Options& options, sim::pnp::DeviceNode* node, std::ostream& out,
                         void (*Line)(std::ostream&, const std::string&, const std::string&)) {
    if (options.settings.empty()) return;
    const std::u16string key = sim::pnp::DriverKeyPath(node) + u"\\Settings";
    sim::registry::CreateKey(key);
    for (const DriverSetting& setting : options.settings) {
        const std::u16string wide(setting.name.begin(), setting.name.end());
        uint8_t bytes[4] = {};
        for (unsigned i = 0; i < setting.bytes; ++i) bytes[i] = static_cast<uint8_t>(setting.value >> (8 * i));
        sim::registry::SetValue(key, wide, 3 /* REG_BINARY */, bytes, setting.bytes);
        std::string text = setting.name + " = " + std::to_string(setting.value);
        if (setting.bytes != 4) text += " (" + std::to_string(setting.bytes) + (setting.bytes == 1 ? " byte)" : " bytes)");
        Line(out, "setting", text);
    }
}

}  // namespace kvsim
