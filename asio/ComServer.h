// The in-process COM server around the driver object: the non-delegating object base, the class
// factory, the table of creatable classes and the module-wide counters that decide unloading.
#pragma once

#include <win/win32.h>

namespace kv380dasio {

// {64EF5AEC-95AB-4843-A608-7CA3CDB07F3A}: the driver's class, also the interface id of IASIO.
inline constexpr GUID kDriverClsid = {0x64EF5AEC, 0x95AB, 0x4843, {0xA6, 0x08, 0x7C, 0xA3, 0xCD, 0xB0, 0x7F, 0x3A}};

inline constexpr char kModuleName[] = "KV-380DASIO64.DLL";
inline constexpr char kDriverName[] = "Talmet V-380D V-260D ASIO(64)";
inline constexpr char kMessageTitle[] = "Talmet V-380D V-260D ASIO";
inline constexpr char kThreadingModel[] = "Apartment";

class INonDelegatingUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

class CUnknown : public INonDelegatingUnknown {
public:
    CUnknown(const WCHAR* name, IUnknown* outer);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

protected:
    // The controlling unknown: the aggregating object, or this object's own non-delegating one.
    IUnknown* Owner() const { return m_owner; }

private:
    IUnknown* m_owner;
    volatile LONG m_references = 0;
};

// Answers a non-delegating unknown's interface pointer with one reference.
HRESULT GetInterface(IUnknown* object, void** ppv);

typedef CUnknown* (*CreateFunction)(IUnknown* outer, HRESULT* result);
typedef void (*InitFunction)(BOOL attach, const CLSID* clsid);

struct FactoryEntry {
    const WCHAR* name;
    const CLSID* clsid;
    CreateFunction create;
    InitFunction init;
};

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const FactoryEntry* entry) : m_entry(entry) {}

    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID riid, PVOID* ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CClassFactory() = default;
    ULONG m_references = 0;
    const FactoryEntry* m_entry;
};

// Module-wide state.
HMODULE SavedModule();
LONG ObjectCount();
LONG LockCount();

// Registration (0, or -101 to -104 for the steps that find the module and its class text).
int RegisterDriverKeys(const CLSID& clsid, const char* moduleName, const char* driverName, const char* description,
                       const char* threadingModel);
int UnregisterDriverKeys(const CLSID& clsid, const char* moduleName, const char* driverName);

}  // namespace kv380dasio
