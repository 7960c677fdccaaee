// COM activation of in-process servers: the class's InprocServer32 in HKEY_CLASSES_ROOT names the
// library, which is loaded by path and asked for its class factory; libraries loaded this way
// are let go when their DllCanUnloadNow agrees (CoFreeUnusedLibraries) or at CoUninitialize.
#include "user_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace sim::user;

namespace {

struct ComState {
    std::mutex lock;
    std::vector<HMODULE> servers;  // one library reference each
    int initialised = 0;
};

ComState& TheCom() {
    static auto* state = new ComState();
    return *state;
}

void FormatClsid(const GUID& g, char* text) {
    std::snprintf(text, 39, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1), g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

}  // namespace

KV_EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }
KV_EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

KV_EXTERN_C HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = nullptr;
    if (ShouldFail(Failure::StringFromCLSID)) return E_OUTOFMEMORY;
    char text[39];
    FormatClsid(rclsid, text);
    auto* wide = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof(OLECHAR) * 39));
    if (wide == nullptr) return E_OUTOFMEMORY;
    for (int i = 0; i < 39; ++i) wide[i] = static_cast<OLECHAR>(text[i]);
    *lplpsz = wide;
    return S_OK;
}

KV_EXTERN_C HRESULT WINAPI CLSIDFromString(const OLECHAR* lpsz, CLSID* pclsid) {
    if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
    char text[39] = {};
    for (int i = 0; i < 38; ++i) {
        if (lpsz[i] == 0 || lpsz[i] > 0x7F) return E_INVALIDARG;
        text[i] = static_cast<char>(lpsz[i]);
    }
    if (lpsz[38] != 0) return E_INVALIDARG;
    unsigned d1, d2, d3, b[8];
    if (std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &b[6], &b[7]) != 11) {
        return E_INVALIDARG;
    }
    pclsid->Data1 = d1;
    pclsid->Data2 = static_cast<USHORT>(d2);
    pclsid->Data3 = static_cast<USHORT>(d3);
    for (int i = 0; i < 8; ++i) pclsid->Data4[i] = static_cast<UCHAR>(b[i]);
    return S_OK;
}

KV_EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
    UNREFERENCED_PARAMETER(pvReserved);
    ComState& com = TheCom();
    std::lock_guard<std::mutex> guard(com.lock);
    return com.initialised++ == 0 ? S_OK : S_FALSE;
}

KV_EXTERN_C void WINAPI CoUninitialize(void) {
    ComState& com = TheCom();
    std::vector<HMODULE> servers;
    {
        std::lock_guard<std::mutex> guard(com.lock);
        if (com.initialised == 0 || --com.initialised > 0) return;
        servers.swap(com.servers);
    }
    for (HMODULE module : servers) FreeLibrary(module);
}

KV_EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                            LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    char text[39];
    FormatClsid(rclsid, text);
    char key[64];
    std::snprintf(key, sizeof(key), "CLSID\\%s\\InprocServer32", text);
    HKEY server = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &server) != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
    char path[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    LSTATUS read = RegQueryValueExA(server, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(server);
    if (read != ERROR_SUCCESS || path[0] == '\0') return REGDB_E_CLASSNOTREG;
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) return CO_E_DLLNOTFOUND;
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    {
        // COM keeps one reference per server library until it is let go.
        ComState& com = TheCom();
        std::lock_guard<std::mutex> guard(com.lock);
        bool known = false;
        for (HMODULE loaded : com.servers) known = known || loaded == module;
        if (!known) com.servers.push_back(module);
        if (known) FreeLibrary(module);
    }
    IClassFactory* factory = nullptr;
    HRESULT result = getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(result) || factory == nullptr) return FAILED(result) ? result : E_FAIL;
    result = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return result;
}

KV_EXTERN_C void WINAPI CoFreeUnusedLibraries(void) {
    ComState& com = TheCom();
    std::vector<HMODULE> unload;
    {
        std::lock_guard<std::mutex> guard(com.lock);
        for (HMODULE module : com.servers) {
            auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
            if (canUnload == nullptr || canUnload() == S_OK) unload.push_back(module);
        }
        for (HMODULE module : unload) std::erase(com.servers, module);
    }
    for (HMODULE module : unload) FreeLibrary(module);
}
