// Modules: LoadLibraryA by path with the module's DllMain, GetModuleHandleA, GetModuleFileNameA,
// GetProcAddress and FreeLibrary; strings; message boxes, which are recorded rather than shown.
#include "user_internal.h"

#include <dlfcn.h>

#include <cctype>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

using namespace sim::user;

namespace {

typedef BOOL(WINAPI* DllEntry)(HINSTANCE, DWORD, LPVOID);

struct Module {
    std::string path;
    void* library = nullptr;
    int references = 0;
};

struct Modules {
    std::mutex lock;
    std::vector<Module*> loaded;
    std::vector<MessageBoxRecord> boxes;
};

Modules& TheModules() {
    static auto* modules = new Modules();
    return *modules;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

std::string_view FileName(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Windows file names ignore case: each component of the path is matched without regard to case
// against the host directory's entries.
std::string HostPath(const std::string& path) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) return path;
    std::filesystem::path resolved = path.starts_with("/") ? "/" : ".";
    for (const auto& part : std::filesystem::path(path).relative_path()) {
        std::filesystem::path next = resolved / part;
        if (!std::filesystem::exists(next, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(resolved, error)) {
                if (SameText(entry.path().filename().string(), part.string())) {
                    next = entry.path();
                    break;
                }
            }
        }
        resolved = next;
    }
    return resolved.string();
}

Module* Find(HMODULE module) {
    Modules& m = TheModules();
    for (Module* candidate : m.loaded) {
        if (reinterpret_cast<HMODULE>(candidate) == module) return candidate;
    }
    return nullptr;
}

}  // namespace

namespace sim::user {

size_t LoadedModuleCount() {
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    return m.loaded.size();
}

bool IsModuleLoaded(std::string_view fileName) {
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    for (Module* module : m.loaded) {
        if (SameText(FileName(module->path), fileName)) return true;
    }
    return false;
}

std::vector<MessageBoxRecord> MessageBoxes() {
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    return m.boxes;
}

void ClearMessageBoxes() {
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    m.boxes.clear();
}

}  // namespace sim::user

KV_EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr) return FailWith<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
    Modules& m = TheModules();
    {
        std::lock_guard<std::mutex> guard(m.lock);
        for (Module* module : m.loaded) {
            if (SameText(module->path, lpLibFileName)) {
                ++module->references;
                return reinterpret_cast<HMODULE>(module);
            }
        }
    }
    void* library = dlopen(HostPath(lpLibFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return FailWith<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    auto* module = new Module{.path = lpLibFileName, .library = library, .references = 1};
    {
        std::lock_guard<std::mutex> guard(m.lock);
        m.loaded.push_back(module);
    }
    auto entry = reinterpret_cast<DllEntry>(dlsym(library, "DllMain"));
    if (entry != nullptr && !entry(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_ATTACH, nullptr)) {
        {
            std::lock_guard<std::mutex> guard(m.lock);
            std::erase(m.loaded, module);
        }
        dlclose(library);
        delete module;
        return FailWith<HMODULE>(ERROR_DLL_INIT_FAILED, nullptr);
    }
    return reinterpret_cast<HMODULE>(module);
}

KV_EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Modules& m = TheModules();
    Module* module = nullptr;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        module = Find(hLibModule);
        if (module == nullptr) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (--module->references > 0) return TRUE;
        std::erase(m.loaded, module);
    }
    auto entry = reinterpret_cast<DllEntry>(dlsym(module->library, "DllMain"));
    if (entry != nullptr) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    dlclose(module->library);
    delete module;
    return TRUE;
}

KV_EXTERN_C HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (ShouldFail(Failure::GetModuleHandle)) return FailWith<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    if (lpModuleName == nullptr) return FailWith<HMODULE>(ERROR_NOT_SUPPORTED, nullptr);
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    for (Module* module : m.loaded) {
        if (SameText(FileName(module->path), FileName(lpModuleName))) return reinterpret_cast<HMODULE>(module);
    }
    return FailWith<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
}

KV_EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (ShouldFail(Failure::GetModuleFileName)) {
        if (lpFilename != nullptr && nSize != 0) lpFilename[0] = '\0';
        return FailWith<DWORD>(ERROR_MOD_NOT_FOUND, 0);
    }
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    Module* module = Find(hModule);
    if (module == nullptr || lpFilename == nullptr || nSize == 0) return FailWith<DWORD>(ERROR_MOD_NOT_FOUND, 0);
    size_t length = module->path.size();
    if (length + 1 > nSize) {
        std::memcpy(lpFilename, module->path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        return FailWith<DWORD>(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    std::memcpy(lpFilename, module->path.c_str(), length + 1);
    return static_cast<DWORD>(length);
}

KV_EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    void* library = nullptr;
    {
        Modules& m = TheModules();
        std::lock_guard<std::mutex> guard(m.lock);
        Module* module = Find(hModule);
        if (module == nullptr) return FailWith<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
        library = module->library;
    }
    void* symbol = lpProcName != nullptr ? dlsym(library, lpProcName) : nullptr;
    if (symbol == nullptr) return FailWith<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
    return reinterpret_cast<FARPROC>(symbol);
}

KV_EXTERN_C LPSTR WINAPI CharLowerA(LPSTR lpsz) {
    for (char* c = lpsz; c != nullptr && *c != '\0'; ++c) *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return lpsz;
}

KV_EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                           LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                           LPBOOL lpUsedDefaultChar) {
    UNREFERENCED_PARAMETER(CodePage);
    UNREFERENCED_PARAMETER(dwFlags);
    UNREFERENCED_PARAMETER(lpDefaultChar);
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    if (ShouldFail(Failure::WideCharToMultiByte)) return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (lpWideCharStr == nullptr) return FailWith(ERROR_INVALID_PARAMETER, 0);
    int count = cchWideChar;
    if (count < 0) {
        count = 0;
        while (lpWideCharStr[count] != 0) ++count;
        ++count;  // with the terminating zero
    }
    if (cbMultiByte == 0) return count;
    if (lpMultiByteStr == nullptr || cbMultiByte < count) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    for (int i = 0; i < count; ++i) {
        char16_t c = lpWideCharStr[i];
        lpMultiByteStr[i] = c < 0x100 ? static_cast<char>(c) : '?';
    }
    return count;
}

KV_EXTERN_C int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    UNREFERENCED_PARAMETER(hWnd);
    Modules& m = TheModules();
    std::lock_guard<std::mutex> guard(m.lock);
    m.boxes.push_back(MessageBoxRecord{.text = lpText != nullptr ? lpText : "",
                                       .caption = lpCaption != nullptr ? lpCaption : "", .type = uType});
    return IDOK;
}
