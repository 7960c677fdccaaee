// The safe string functions by their published names, for the Windows image: on Windows they are
// compiled into each driver rather than exported by the kernel.
#include "driver/runtime/SafeString.h"

KV_EXTERN_C NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = safestr::CchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = safestr::CchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = safestr::CchVPrintfA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return safestr::CchLengthW(psz, cchMax, pcchLength);
}
