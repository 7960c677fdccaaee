// The C++ runtime pieces a kernel image needs without a C++ library: the deallocation functions
// that deleting destructors name (objects are freed by their classes' own operator delete, so
// these are reached only through a class that has none) and the handler of a pure virtual call.
#include <win/kernel.h>

// Bug check code of a pure virtual call reaching the driver.
constexpr ULONG kDriverPureVirtualCall = 0xC4;

void operator delete(void* p) noexcept {
    if (p != nullptr) ExFreePool(p);
}

void operator delete(void* p, size_t) noexcept {
    if (p != nullptr) ExFreePool(p);
}

KV_EXTERN_C void __cxa_pure_virtual() { KeBugCheckEx(kDriverPureVirtualCall, 0, 0, 0, 0); }
