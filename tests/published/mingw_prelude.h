// The mingw-w64 side of the published-values check: its kernel, kernel-streaming, port-class,
// USB and wave-format headers, compiled as C++ with x86_64-w64-mingw32-g++ -fsyntax-only.
#pragma once

// GUIDs become constexpr definitions, so static_assert can read them.
#define INITGUID
#define DECLSPEC_SELECTANY constexpr
// The kernel headers' inline bit-test helpers repeat the compiler intrinsics of the same name.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// The kernel COM header uses these without the user-mode header that defines them.
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOTHROW

#include <ntifs.h>  // ntddk.h and the file-system kernel records (KAPC_STATE)
#include <windef.h>
typedef WCHAR TCHAR;  // ksmedia.h names TCHAR, which only the user-mode headers define
#include <ks.h>
#include <ksmedia.h>
// portcls.h names two real-time audio records ksmedia.h does not declare; pointers suffice.
typedef struct KSRTAUDIO_HWLATENCY KSRTAUDIO_HWLATENCY;
typedef struct KSRTAUDIO_HWREGISTER KSRTAUDIO_HWREGISTER;
#include <portcls.h>
#include <usb.h>
#include <usb100.h>
#include <usb200.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbspec.h>
#include <usbbusif.h>
#include <mmreg.h>
#include <wdmguid.h>

#include <cstddef>

namespace kv {

// The value's bits at the project's width (see emit_checks.cpp).
template <int Bytes, class T>
constexpr unsigned long long Bits(T value) {
    unsigned long long bits = static_cast<unsigned long long>((long long)value);
    return Bytes < 8 ? bits & ((1ull << (8 * Bytes)) - 1) : bits;
}

// A GUID spelled as the STATIC_ lists of the kernel-streaming headers.
struct Guid {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
};

template <class G>
constexpr unsigned long long Data4High(const G& guid) {
    return (unsigned long long)guid.Data4[0] << 24 | guid.Data4[1] << 16 | guid.Data4[2] << 8 | guid.Data4[3];
}
template <class G>
constexpr unsigned long long Data4Low(const G& guid) {
    return (unsigned long long)guid.Data4[4] << 24 | guid.Data4[5] << 16 | guid.Data4[6] << 8 | guid.Data4[7];
}

}  // namespace kv
