// The COM server's exports, class factory and object base.
#include "ComServer.h"

#include "AsioDriver.h"

#include <win/interlocked.h>

#include <cstdio>
#include <new>

namespace kv380dasio {

namespace {

HMODULE g_module = nullptr;
volatile LONG g_objects = 0;
LONG g_locks = 0;  // the apartment model serialises LockServer

CUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* result);

const FactoryEntry kFactoryEntries[] = {
    {.name = KV_WIDE("KV-380DASIO"), .clsid = &kDriverClsid, .create = CreateAsioDriver, .init = nullptr},
};
constexpr int kFactoryEntryCount = 1;

CUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* result) {
    UNREFERENCED_PARAMETER(result);
    auto* driver = new (std::nothrow) CAsioDriver(outer);
    return driver;  // its CUnknown part
}

void InitFactoryEntries(BOOL attach) {
    for (int i = 0; i < kFactoryEntryCount; ++i) {
        if (kFactoryEntries[i].init != nullptr) kFactoryEntries[i].init(attach, kFactoryEntries[i].clsid);
    }
}

void ReportFailure(const char* format, int code) {
    char text[128] = {};
    std::snprintf(text, sizeof(text), format, code);
    MessageBoxA(nullptr, text, kMessageTitle, MB_OK);
}

}  // namespace

HMODULE SavedModule() { return g_module; }
LONG ObjectCount() { return g_objects; }
LONG LockCount() { return g_locks; }

HRESULT GetInterface(IUnknown* object, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = object;
    object->AddRef();
    return S_OK;
}

CUnknown::CUnknown(const WCHAR* name, IUnknown* outer)
    : m_owner(outer != nullptr ? outer : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))) {
    UNREFERENCED_PARAMETER(name);
    InterlockedIncrement(&g_objects);
}

CUnknown::~CUnknown() { InterlockedDecrement(&g_objects); }

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *ppv = static_cast<INonDelegatingUnknown*>(this);
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    LONG count = InterlockedIncrement(&m_references);
    return static_cast<ULONG>(count < 1 ? 1 : count);
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&m_references);
    if (count == 0) {
        m_references = 1;  // a reference taken and dropped while the destructor runs must not delete again
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count < 1 ? 1 : count);
}

NTSTATUS STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, PVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return ++m_references; }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    ULONG count = --m_references;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;
    HRESULT result = S_OK;
    CUnknown* object = m_entry->create(outer, &result);
    if (object == nullptr) return E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete object;
        return result;
    }
    object->NonDelegatingAddRef();
    result = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return result;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    g_locks += lock ? 1 : -1;
    return S_OK;
}

}  // namespace kv380dasio

using namespace kv380dasio;

KV_DLL_EXPORT BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    UNREFERENCED_PARAMETER(reserved);
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = module;
        InitFactoryEntries(TRUE);
    } else if (reason == DLL_PROCESS_DETACH) {
        InitFactoryEntries(FALSE);
    }
    return TRUE;
}

KV_DLL_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    for (int i = 0; i < kFactoryEntryCount; ++i) {
        if (!IsEqualGUID(rclsid, *kFactoryEntries[i].clsid)) continue;
        auto* factory = new (std::nothrow) CClassFactory(&kFactoryEntries[i]);
        if (factory == nullptr) return E_OUTOFMEMORY;
        factory->AddRef();
        *ppv = static_cast<IClassFactory*>(factory);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

KV_DLL_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return g_locks > 0 || g_objects != 0 ? S_FALSE : S_OK;
}

KV_DLL_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    int code = RegisterDriverKeys(kDriverClsid, kModuleName, kDriverName, kDriverName, kThreadingModel);
    if (code == 0) return S_OK;
    ReportFailure("Register Server failed ! (%d)", code);
    return -1;
}

KV_DLL_EXPORT HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    int code = UnregisterDriverKeys(kDriverClsid, kModuleName, kDriverName);
    if (code == 0) return S_OK;
    ReportFailure("Unregister Server failed ! (%d)", code);
    return -1;
}
