// Simulation control of the registry (sim/registry.h).
#include "registry_store.h"

#include <sim/registry.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim::registry {
namespace {

KeyRef Find(std::u16string_view path) {
    KeyRef key;
    return NT_SUCCESS(Store::Instance().Open(nullptr, path, &key)) ? key : nullptr;
}

}  // namespace

bool CreateKey(std::u16string_view path) {
    KeyRef key;
    return NT_SUCCESS(Store::Instance().CreatePath(path, &key));
}

bool KeyExists(std::u16string_view path) { return Find(path) != nullptr; }

bool DeleteTree(std::u16string_view path) {
    KeyRef key = Find(path);
    return key != nullptr && NT_SUCCESS(Store::Instance().DeleteTree(key));
}

bool SetValue(std::u16string_view path, std::u16string_view name, uint32_t type, const void* data, size_t size) {
    KeyRef key;
    if (!NT_SUCCESS(Store::Instance().CreatePath(path, &key))) return false;
    return NT_SUCCESS(Store::Instance().SetValue(key, name, type, data, size));
}

bool SetDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
    return SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
    std::u16string terminated(text);
    return SetValue(path, name, REG_SZ, terminated.c_str(), (terminated.size() + 1) * sizeof(char16_t));
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) {
    KeyRef key = Find(path);
    ValueEntry entry;
    if (key == nullptr || !NT_SUCCESS(Store::Instance().GetValue(key, name, &entry))) return std::nullopt;
    return Value{entry.type, std::vector<uint8_t>(entry.data.begin(), entry.data.end())};
}

bool DeleteValue(std::u16string_view path, std::u16string_view name) {
    KeyRef key = Find(path);
    return key != nullptr && NT_SUCCESS(Store::Instance().DeleteValue(key, name));
}

std::vector<std::u16string> SubkeyNames(std::u16string_view path) {
    std::vector<std::u16string> names;
    KeyRef key = Find(path);
    KeySummary summary;
    for (ULONG i = 0; key != nullptr && NT_SUCCESS(Store::Instance().SubkeyAt(key, i, &summary)); ++i) {
        names.push_back(summary.name);
    }
    return names;
}

std::vector<std::u16string> ValueNames(std::u16string_view path) {
    std::vector<std::u16string> names;
    KeyRef key = Find(path);
    ValueEntry entry;
    for (ULONG i = 0; key != nullptr && NT_SUCCESS(Store::Instance().ValueAt(key, i, &entry)); ++i) {
        names.push_back(entry.name);
    }
    return names;
}

void Reset() { Store::Instance().Reset(); }

std::string SaveToString() { return Store::Instance().SaveText(); }

bool LoadFromString(std::string_view text, std::string* error) { return Store::Instance().LoadText(text, error); }

bool Save(const std::string& hostPath, std::string* error) {
    std::string text = SaveToString();
    std::string temporary = hostPath + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            if (error != nullptr) *error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), hostPath.c_str()) != 0) {
        if (error != nullptr) *error = "cannot replace " + hostPath;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool Load(const std::string& hostPath, std::string* error) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) {
        if (error != nullptr) *error = "cannot open " + hostPath;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return LoadFromString(text.str(), error);
}

}  // namespace sim::registry
