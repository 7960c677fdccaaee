#include "text.h"

#include <sim/registry.h>
#include <win/kernel.h>

#include <cstdio>

namespace kvsim {
namespace {

struct StatusName {
    NTSTATUS status;
    const char* name;
};

#define KV_STATUS(name) \
    StatusName { name, #name }
constexpr StatusName kStatusNames[] = {
    KV_STATUS(STATUS_SUCCESS),
    KV_STATUS(STATUS_PENDING),
    KV_STATUS(STATUS_TIMEOUT),
    KV_STATUS(STATUS_OBJECT_NAME_EXISTS),
    KV_STATUS(STATUS_BUFFER_OVERFLOW),
    KV_STATUS(STATUS_UNSUCCESSFUL),
    KV_STATUS(STATUS_NOT_IMPLEMENTED),
    KV_STATUS(STATUS_INVALID_PARAMETER),
    KV_STATUS(STATUS_NO_SUCH_DEVICE),
    KV_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    KV_STATUS(STATUS_NO_MEMORY),
    KV_STATUS(STATUS_ACCESS_DENIED),
    KV_STATUS(STATUS_BUFFER_TOO_SMALL),
    KV_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    KV_STATUS(STATUS_OBJECT_NAME_COLLISION),
    KV_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    KV_STATUS(STATUS_DEVICE_DATA_ERROR),
    KV_STATUS(STATUS_DEVICE_NOT_CONNECTED),
    KV_STATUS(STATUS_DEVICE_POWER_FAILURE),
    KV_STATUS(STATUS_IO_TIMEOUT),
    KV_STATUS(STATUS_NOT_SUPPORTED),
    KV_STATUS(STATUS_INVALID_DEVICE_STATE),
    KV_STATUS(STATUS_CANCELLED),
    KV_STATUS(STATUS_DEVICE_BUSY),
    KV_STATUS(STATUS_NOT_FOUND),
    KV_STATUS(STATUS_NO_MATCH),
    KV_STATUS(STATUS_DEVICE_REMOVED),
    KV_STATUS(STATUS_INVALID_BUFFER_SIZE),
    StatusName{static_cast<NTSTATUS>(0xC0000182), "STATUS_DEVICE_CONFIGURATION_ERROR"},
};
#undef KV_STATUS

}  // namespace

std::string StatusText(NTSTATUS status) {
    char value[16];
    std::snprintf(value, sizeof(value), "0x%08X", static_cast<unsigned>(status));
    for (const StatusName& entry : kStatusNames) {
        if (entry.status == status) return std::string(entry.name) + " (" + value + ")";
    }
    return value;
}

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string RegistryText(std::u16string_view key, std::u16string_view name, bool* present) {
    std::optional<sim::registry::Value> value = sim::registry::GetValue(key, name);
    *present = value.has_value();
    if (!value) return {};
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(value->data[2 * i] | (value->data[2 * i + 1] << 8));
    }
    size_t end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    return text;
}

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace kvsim
