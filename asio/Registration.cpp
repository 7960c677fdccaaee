// Self-registration: the class under HKEY_CLASSES_ROOT\CLSID and the driver's entry under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, and their removal (subkeys before their parents).
#include "ComServer.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace kv380dasio {

namespace {

constexpr DWORD kPathBytes = 360;
constexpr size_t kNameChars = 99;

// REG_SZ with its terminating zero counted in the length.
void SetString(HKEY key, const char* name, const char* text) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(std::strlen(text) + 1));
}

bool KeyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

int EnsureSubkey(HKEY root, const char* path, const char* name) {
    char full[256];
    std::snprintf(full, sizeof(full), "%s\\%s", path, name);
    if (KeyExists(root, full)) return 0;
    HKEY parent = nullptr;
    if (RegOpenKeyA(root, path, &parent) != ERROR_SUCCESS) return -1;
    HKEY created = nullptr;
    LSTATUS status = RegCreateKeyA(parent, name, &created);
    if (status == ERROR_SUCCESS) RegCloseKey(created);
    RegCloseKey(parent);
    return status == ERROR_SUCCESS ? 0 : -1;
}

struct KeyListEntry {
    HKEY parent;
    HKEY key;
    char name[kNameChars + 1];
    KeyListEntry* next;
};

// At most kNameChars characters and the zero.
void CopyName(char* to, const char* from) {
    size_t length = std::strlen(from);
    if (length > kNameChars) length = kNameChars;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Appends parent\name and everything below it to the list, every key after its subkeys.
void CollectSubkeys(HKEY parent, const char* name, KeyListEntry** tail) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    char subkey[kPathBytes];
    for (DWORD index = 0; RegEnumKeyA(key, index, subkey, sizeof(subkey)) == ERROR_SUCCESS; ++index) {
        char child[kNameChars + 1];
        CopyName(child, subkey);
        CollectSubkeys(key, child, tail);
    }
    auto* entry = new (std::nothrow) KeyListEntry{.parent = parent, .key = key, .name = {}, .next = nullptr};
    if (entry == nullptr) {
        RegCloseKey(key);
        return;
    }
    CopyName(entry->name, name);
    (*tail)->next = entry;
    *tail = entry;
}

int DeleteKeyTree(HKEY root, const char* path, const char* name) {
    HKEY parent = nullptr;
    if (RegOpenKeyA(root, path, &parent) != ERROR_SUCCESS) return -1;
    char copy[kNameChars + 1];
    CopyName(copy, name);
    KeyListEntry head{};
    KeyListEntry* tail = &head;
    CollectSubkeys(parent, copy, &tail);
    bool any = head.next != nullptr;
    for (KeyListEntry* entry = head.next; entry != nullptr;) {
        KeyListEntry* next = entry->next;
        RegCloseKey(entry->key);
        RegDeleteKeyA(entry->parent, entry->name);
        delete entry;
        entry = next;
    }
    // The parents the walk opened on the way are the keys of the list; only the root's stays.
    RegCloseKey(parent);
    return any ? 0 : -1;
}

// Steps shared by registration and removal: the module's lower-cased path and the class text.
int FindModuleAndClass(const CLSID& clsid, const char* moduleName, char* modulePath, char* clsidText) {
    HMODULE module = GetModuleHandleA(moduleName);
    if (module == nullptr) return -101;
    modulePath[0] = '\0';
    if (GetModuleFileNameA(module, modulePath, kPathBytes) == 0 || modulePath[0] == '\0') return -102;
    CharLowerA(modulePath);
    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(clsid, &wide))) return -103;
    int converted = WideCharToMultiByte(CP_ACP, 0, wide, -1, clsidText, 100, nullptr, nullptr);
    CoTaskMemFree(wide);
    return converted == 0 ? -104 : 0;
}

}  // namespace

int RegisterDriverKeys(const CLSID& clsid, const char* moduleName, const char* driverName, const char* description,
                       const char* threadingModel) {
    char modulePath[kPathBytes];
    char clsidText[100];
    int code = FindModuleAndClass(clsid, moduleName, modulePath, clsidText);
    if (code != 0) return code;
    char path[256];
    bool registered = false;
    std::snprintf(path, sizeof(path), "%s\\%s", "CLSID", clsidText);
    if (KeyExists(HKEY_CLASSES_ROOT, path)) {
        std::snprintf(path, sizeof(path), "%s\\%s\\%s", "CLSID", clsidText, "InprocServer32");
        HKEY server = nullptr;
        if (RegOpenKeyA(HKEY_CLASSES_ROOT, path, &server) == ERROR_SUCCESS) {
            char current[kPathBytes] = {};
            DWORD size = 0;
            if (RegQueryValueExA(server, nullptr, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size <= kPathBytes) {
                size = kPathBytes;
                if (RegQueryValueExA(server, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(current), &size) == ERROR_SUCCESS) {
                    current[kPathBytes - 1] = '\0';
                    CharLowerA(current);
                    registered = std::strcmp(current, modulePath) == 0;
                }
            }
            RegCloseKey(server);
        }
        if (!registered) DeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", clsidText);
    }
    if (!registered) {
        EnsureSubkey(HKEY_CLASSES_ROOT, "CLSID", clsidText);
        std::snprintf(path, sizeof(path), "%s\\%s", "CLSID", clsidText);
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS) {
            SetString(key, nullptr, description);
            RegCloseKey(key);
        }
        EnsureSubkey(HKEY_CLASSES_ROOT, path, "InprocServer32");
        std::snprintf(path, sizeof(path), "%s\\%s\\%s", "CLSID", clsidText, "InprocServer32");
        if (RegOpenKeyA(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS) {
            SetString(key, nullptr, modulePath);
            SetString(key, "ThreadingModel", threadingModel);
            RegCloseKey(key);
        }
    }
    std::snprintf(path, sizeof(path), "%s\\%s", "SOFTWARE", "ASIO");
    if (!KeyExists(HKEY_LOCAL_MACHINE, path)) {
        EnsureSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO");
    } else {
        char entry[256];
        std::snprintf(entry, sizeof(entry), "%s\\%s\\%s", "SOFTWARE", "ASIO", driverName);
        if (KeyExists(HKEY_LOCAL_MACHINE, entry)) DeleteKeyTree(HKEY_LOCAL_MACHINE, path, driverName);
    }
    EnsureSubkey(HKEY_LOCAL_MACHINE, path, driverName);
    std::snprintf(path, sizeof(path), "%s\\%s\\%s", "SOFTWARE", "ASIO", driverName);
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS) {
        SetString(key, "CLSID", clsidText);
        SetString(key, "Description", description);
        RegCloseKey(key);
    }
    return 0;
}

int UnregisterDriverKeys(const CLSID& clsid, const char* moduleName, const char* driverName) {
    char modulePath[kPathBytes];
    char clsidText[100];
    int code = FindModuleAndClass(clsid, moduleName, modulePath, clsidText);
    if (code != 0) return code;
    char path[256];
    std::snprintf(path, sizeof(path), "%s\\%s", "CLSID", clsidText);
    if (KeyExists(HKEY_CLASSES_ROOT, path)) DeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", clsidText);
    std::snprintf(path, sizeof(path), "%s\\%s", "SOFTWARE", "ASIO");
    if (!KeyExists(HKEY_LOCAL_MACHINE, path)) return 0;
    char entry[256];
    std::snprintf(entry, sizeof(entry), "%s\\%s\\%s", "SOFTWARE", "ASIO", driverName);
    if (KeyExists(HKEY_LOCAL_MACHINE, entry)) DeleteKeyTree(HKEY_LOCAL_MACHINE, path, driverName);
    return 0;
}

}  // namespace kv380dasio
