// The safe string functions the driver uses, over the kernel's bounded printf (_vsnprintf,
// _vsnwprintf). The Windows image exports nothing: these bodies are what its RtlStringCch*/Cb*
// calls bind to (windows/SafeStringEntries.cpp); the simulated machine has its own.
// Results: STATUS_SUCCESS; STATUS_BUFFER_OVERFLOW with a terminated, cut result; for a destination
// of zero or more than NTSTRSAFE_MAX_CCH characters (or a null destination or format)
// STATUS_INVALID_PARAMETER, with an empty result where the destination has room for one.
#pragma once

#include <win/kernel.h>

#include <cstdarg>

namespace safestr {

NTSTATUS CchVPrintfA(PSTR dest, size_t cchDest, PCSTR format, va_list args);
NTSTATUS CchVPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, va_list args);
// The length of text below cchMax characters; STATUS_INVALID_PARAMETER (length 0) when text is
// null, not terminated within cchMax, or cchMax is 0 or above NTSTRSAFE_MAX_CCH.
NTSTATUS CchLengthW(PCWSTR text, size_t cchMax, size_t* length);

}  // namespace safestr
