// Reg* over the machine's registry store: HKEY_LOCAL_MACHINE is \Registry\Machine and
// HKEY_CLASSES_ROOT its SOFTWARE\Classes. ANSI names and strings are widened byte for byte;
// REG_SZ data is stored as UTF-16 with the length the caller gave.
#include "user_internal.h"

#include <cstring>
#include <string>

using namespace sim::user;
using sim::registry::KeyRef;
using sim::registry::Store;

namespace {

std::u16string Widen(LPCSTR text) {
    std::u16string out;
    for (; text != nullptr && *text != '\0'; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

LSTATUS ErrorOf(NTSTATUS status) {
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
    if (status == STATUS_KEY_DELETED) return ERROR_KEY_DELETED;
    if (status == STATUS_CANNOT_DELETE) return ERROR_ACCESS_DENIED;
    return static_cast<LSTATUS>(ErrorFromStatus(status));
}

// The store key an HKEY names: a predefined root or one of the process's open keys.
bool Resolve(HKEY key, KeyRef* out) {
    const char16_t* root = nullptr;
    if (key == HKEY_LOCAL_MACHINE) root = u"\\Registry\\Machine";
    if (key == HKEY_CLASSES_ROOT) root = u"\\Registry\\Machine\\SOFTWARE\\Classes";
    if (root != nullptr) {
        // Keys every installed system has: SOFTWARE, its Classes and their CLSID.
        KeyRef base;
        Store::Instance().CreatePath(u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID", &base);
        return NT_SUCCESS(Store::Instance().Open(nullptr, root, out));
    }
    Process* process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process->lock);
    auto found = process->keys.find(key);
    if (found == process->keys.end()) return false;
    *out = found->second;
    return true;
}

HKEY Remember(const KeyRef& key) {
    Process* process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process->lock);
    HKEY handle = reinterpret_cast<HKEY>(process->nextKey += 4);
    process->keys[handle] = key;
    return handle;
}

}  // namespace

KV_EXTERN_C LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                         PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    UNREFERENCED_PARAMETER(samDesired);
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyRef base, key;
    if (!Resolve(hKey, &base)) return ERROR_INVALID_HANDLE;
    NTSTATUS status = Store::Instance().Open(base, Widen(lpSubKey), &key);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    *phkResult = Remember(key);
    return ERROR_SUCCESS;
}

KV_EXTERN_C LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

KV_EXTERN_C LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyRef base, key;
    if (!Resolve(hKey, &base)) return ERROR_INVALID_HANDLE;
    // Every missing key on the path is created, one component at a time.
    std::u16string path = Widen(lpSubKey);
    KeyRef current = base;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end == start) {
            if (end == path.size()) break;
            return ERROR_INVALID_PARAMETER;
        }
        bool created = false;
        NTSTATUS status = Store::Instance().Create(current, path.substr(start, end - start), false, u"", &key, &created);
        if (!NT_SUCCESS(status)) return ErrorOf(status);
        current = key;
        start = end + 1;
    }
    *phkResult = Remember(current);
    return ERROR_SUCCESS;
}

KV_EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    Process* process = CurrentProcess();
    std::lock_guard<std::mutex> guard(process->lock);
    return process->keys.erase(hKey) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

KV_EXTERN_C LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    KeyRef base, key;
    if (!Resolve(hKey, &base)) return ERROR_INVALID_HANDLE;
    if (lpSubKey == nullptr || *lpSubKey == '\0') return ERROR_INVALID_PARAMETER;
    NTSTATUS status = Store::Instance().Open(base, Widen(lpSubKey), &key);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    sim::registry::KeySummary summary;
    if (NT_SUCCESS(Store::Instance().Summarize(key, &summary)) && summary.subkeys != 0) return ERROR_ACCESS_DENIED;
    return ErrorOf(Store::Instance().DeleteKey(key));
}

KV_EXTERN_C LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    KeyRef key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    sim::registry::KeySummary summary;
    NTSTATUS status = Store::Instance().SubkeyAt(key, dwIndex, &summary);
    if (status == STATUS_NO_MORE_ENTRIES) return ERROR_NO_MORE_ITEMS;
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    if (lpName == nullptr || summary.name.size() + 1 > cchName) return ERROR_MORE_DATA;
    for (size_t i = 0; i < summary.name.size(); ++i) lpName[i] = static_cast<char>(summary.name[i]);
    lpName[summary.name.size()] = '\0';
    return ERROR_SUCCESS;
}

KV_EXTERN_C LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                          const BYTE* lpData, DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    KeyRef key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::u16string name = Widen(lpValueName);
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ) {
        // ANSI text is widened unit for unit: the stored length is twice the given one.
        std::u16string wide;
        for (DWORD i = 0; i < cbData; ++i) wide.push_back(static_cast<char16_t>(lpData[i]));
        return ErrorOf(Store::Instance().SetValue(key, name, dwType, wide.data(), wide.size() * 2));
    }
    return ErrorOf(Store::Instance().SetValue(key, name, dwType, lpData, cbData));
}

KV_EXTERN_C LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                            LPBYTE lpData, LPDWORD lpcbData) {
    UNREFERENCED_PARAMETER(lpReserved);
    KeyRef key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    sim::registry::ValueEntry value;
    NTSTATUS status = Store::Instance().GetValue(key, Widen(lpValueName), &value);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    std::string bytes;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        for (size_t i = 0; i + 1 < value.data.size(); i += 2) bytes.push_back(static_cast<char>(value.data[i]));
        // A string stored without its zero is handed out with one when the buffer has room.
        if (bytes.empty() || bytes.back() != '\0') bytes.push_back('\0');
    } else {
        bytes.assign(value.data.begin(), value.data.end());
    }
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(bytes.size());
    if (lpData == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}
