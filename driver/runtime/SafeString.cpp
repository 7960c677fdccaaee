#include "driver/runtime/SafeString.h"

namespace safestr {
namespace {

template <typename CharT>
int BoundedPrint(CharT* dest, size_t count, const CharT* format, va_list args) {
    if constexpr (sizeof(CharT) == 1) {
        return _vsnprintf(dest, count, format, args);
    } else {
        return _vsnwprintf(dest, count, format, args);
    }
}

template <typename CharT>
NTSTATUS VPrintf(CharT* dest, size_t cchDest, const CharT* format, va_list args) {
    if (dest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // One character stays for the terminator, which the bounded printf omits when the output
    // fills or overflows its count.
    const size_t cchMax = cchDest - 1;
    const int written = BoundedPrint(dest, cchMax, format, args);
    if (written < 0 || static_cast<size_t>(written) > cchMax) {
        dest[cchMax] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    dest[written] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CchVPrintfA(PSTR dest, size_t cchDest, PCSTR format, va_list args) {
    return VPrintf(dest, cchDest, format, args);
}

NTSTATUS CchVPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, va_list args) {
    return VPrintf(dest, cchDest, format, args);
}

NTSTATUS CchLengthW(PCWSTR text, size_t cchMax, size_t* length) {
    size_t n = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (text != nullptr && cchMax > 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
        while (n < cchMax && text[n] != 0) ++n;
        status = n < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (length != nullptr) *length = NT_SUCCESS(status) ? n : 0;
    return status;
}

}  // namespace safestr
