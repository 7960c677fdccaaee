// Direct access to the machine's registry for tests and tools: the same store the kernel's Zw
// services and user mode's Reg* functions see. Paths are absolute ("\Registry\Machine\..."), names
// compare without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
};

// Creates the key and every missing key above it; false when the path is malformed.
bool CreateKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);
// Deletes the key with everything below it; false when it does not exist or is a hive root.
bool DeleteTree(std::u16string_view path);

// Set* create the key when it is missing.
bool SetValue(std::u16string_view path, std::u16string_view name, uint32_t type, const void* data, size_t size);
bool SetDword(std::u16string_view path, std::u16string_view name, uint32_t value);
// REG_SZ with its terminating zero.
bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
bool DeleteValue(std::u16string_view path, std::u16string_view name);

std::vector<std::u16string> SubkeyNames(std::u16string_view path);
std::vector<std::u16string> ValueNames(std::u16string_view path);

// Back to a fresh machine's registry (hive roots and the system's base keys). Keys open at the
// time answer STATUS_KEY_DELETED from then on.
void Reset();

// Saves the whole registry to a text file (written to a temporary file and renamed, so a crash
// never leaves half a file), and loads it back, replacing the registry. Load changes nothing when
// the file cannot be read or parsed; error then says why.
bool Save(const std::string& hostPath, std::string* error = nullptr);
bool Load(const std::string& hostPath, std::string* error = nullptr);
std::string SaveToString();
bool LoadFromString(std::string_view text, std::string* error = nullptr);

}  // namespace sim::registry
