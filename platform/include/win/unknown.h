// The root of every kernel COM-style interface: interface lookup by identifier and reference
// counting. Port-class interfaces, the adapter's interfaces and the driver's own all derive from
// IUnknown; lookups answer NTSTATUS as kernel interfaces do.
#pragma once

#include <win/ntdef.h>

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

// {00000000-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

class IUnknown {
public:
    // Answers the interface with one reference, or STATUS_INVALID_PARAMETER and null.
    STDMETHOD(QueryInterface)(REFIID InterfaceId, PVOID* Interface) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;

protected:
    ~IUnknown() = default;  // objects are released, never deleted through an interface
};
typedef IUnknown* PUNKNOWN;
