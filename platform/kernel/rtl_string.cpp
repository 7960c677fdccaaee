// Runtime library: memory comparison, counted strings and the safe string functions.
#include "kernel_format.h"

#include <win/kernel.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Pool tag of strings the runtime allocates for its callers ("Strg").
constexpr ULONG kStringTag = 'grtS';
// Largest byte length a counted string can describe.
constexpr size_t kMaxCountedBytes = MAXUSHORT;

char NarrowUnit(WCHAR c) { return c < 0x80 ? static_cast<char>(c) : '?'; }
WCHAR WideUnit(char c) { return static_cast<WCHAR>(static_cast<unsigned char>(c)); }

template <typename CharT>
size_t BoundedLength(const CharT* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Safe string helpers, shared by the narrow and wide forms.

template <typename CharT>
NTSTATUS ValidateDestination(CharT* dest, size_t cch) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || dest == nullptr) {
        if (dest != nullptr && cch > 0) dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Copies src behind dest[offset], cut to fit cch code units with a terminator.
template <typename CharT>
NTSTATUS CopyAt(CharT* dest, size_t cch, size_t offset, const CharT* src) {
    size_t i = offset;
    if (src != nullptr) {
        for (; i + 1 < cch && *src != 0; ++i, ++src) dest[i] = *src;
    }
    dest[i] = 0;
    return (src != nullptr && *src != 0) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename CharT>
NTSTATUS SafeCopy(CharT* dest, size_t cch, const CharT* src) {
    NTSTATUS status = ValidateDestination(dest, cch);
    if (!NT_SUCCESS(status)) return status;
    return CopyAt(dest, cch, 0, src);
}

template <typename CharT>
NTSTATUS SafeCat(CharT* dest, size_t cch, const CharT* src) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || dest == nullptr) return STATUS_INVALID_PARAMETER;
    size_t used = BoundedLength(dest, cch);
    if (used == cch) return STATUS_INVALID_PARAMETER;  // the destination holds no terminated string
    return CopyAt(dest, cch, used, src);
}

template <typename CharT>
NTSTATUS SafeLength(const CharT* text, size_t cchMax, size_t* length) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    size_t n = 0;
    if (text != nullptr && cchMax > 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
        n = BoundedLength(text, cchMax);
        status = n < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (length != nullptr) *length = NT_SUCCESS(status) ? n : 0;
    return status;
}

NTSTATUS PrintA(PSTR dest, size_t cch, PCSTR format, va_list args) {
    NTSTATUS status = ValidateDestination(dest, cch);
    if (!NT_SUCCESS(status)) return status;
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t needed = sim::kfmt::FormatNarrow(dest, cch, format, args);
    return needed < cch ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS PrintW(PWSTR dest, size_t cch, PCWSTR format, va_list args) {
    NTSTATUS status = ValidateDestination(dest, cch);
    if (!NT_SUCCESS(status)) return status;
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t needed = sim::kfmt::FormatWide(dest, cch, format, args);
    return needed < cch ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

bool ValidCountedString(PCUNICODE_STRING s) {
    return s != nullptr && (s->Length & 1) == 0 && (s->MaximumLength & 1) == 0 && s->Length <= s->MaximumLength &&
           (s->Buffer != nullptr || s->MaximumLength == 0);
}

int HexDigit(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex(const WCHAR* text, int digits, uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Memory and characters.

KV_EXTERN_C SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

// Simple case mapping for the scripts the simulation meets: Latin (Basic, Latin-1, Extended-A),
// Greek and Cyrillic. Other code units map to themselves.
KV_EXTERN_C WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c < 'a') return c;
    if (c <= 'z') return static_cast<WCHAR>(c - 0x20);
    if (c < 0xE0) return c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs: upper case even, lower case odd, except the shifted run 0x139..0x148 and 0x179..0x17E.
        bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131) return 'I';
        if (c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (shifted ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<WCHAR>(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    return c;
}

KV_EXTERN_C WCHAR* _wcsupr(WCHAR* String) {
    if (String == nullptr) return nullptr;
    for (WCHAR* p = String; *p != 0; ++p) *p = RtlUpcaseUnicodeChar(*p);
    return String;
}

// ---------------------------------------------------------------------------------------------
// Counted strings.

// Lengths are capped where a counted string ends: 0xFFFC bytes of text (wide), 0xFFFE (narrow).
KV_EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t bytes = 0;
    if (SourceString != nullptr) bytes = std::min<size_t>(BoundedLength(SourceString, 0x7FFE) * sizeof(WCHAR), 0xFFFC);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? bytes + sizeof(WCHAR) : 0);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

KV_EXTERN_C VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    size_t bytes = SourceString != nullptr ? BoundedLength(SourceString, 0xFFFE) : 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? bytes + 1 : 0);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

KV_EXTERN_C VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

KV_EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, static_cast<USHORT>(DestinationString->MaximumLength & ~1u));
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / 2] = 0;
}

static NTSTATUS AppendUnits(PUNICODE_STRING Destination, const WCHAR* units, size_t bytes) {
    if (Destination == nullptr) return STATUS_INVALID_PARAMETER;
    size_t total = Destination->Length + bytes;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    if (bytes > 0) std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, units, bytes);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / 2] = 0;
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    return AppendUnits(Destination, Source, BoundedLength(Source, kMaxCountedBytes) * sizeof(WCHAR));
}

KV_EXTERN_C NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    return AppendUnits(Destination, Source->Buffer, Source->Length & ~1u);
}

KV_EXTERN_C LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = std::min(n1, n2);
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

KV_EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                          BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// Narrows each code unit (see win/rtl.h). Without allocation a destination that is too small gets
// the terminated prefix that fits and STATUS_BUFFER_OVERFLOW.
KV_EXTERN_C NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                  BOOLEAN AllocateDestinationString) {
    size_t units = SourceString->Length / sizeof(WCHAR);
    if (units + 1 > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, units + 1, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(units + 1);
    } else if (units >= DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        units = DestinationString->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < units; ++i) DestinationString->Buffer[i] = NarrowUnit(SourceString->Buffer[i]);
    DestinationString->Buffer[units] = 0;
    DestinationString->Length = static_cast<USHORT>(units);
    return status;
}

// Widens each byte. Without allocation the destination must hold the text and a terminator;
// otherwise nothing is written and the result is STATUS_BUFFER_OVERFLOW.
KV_EXTERN_C NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                  BOOLEAN AllocateDestinationString) {
    size_t units = SourceString->Length;
    size_t bytes = (units + 1) * sizeof(WCHAR);
    if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes);
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < units; ++i) DestinationString->Buffer[i] = WideUnit(SourceString->Buffer[i]);
    DestinationString->Buffer[units] = 0;
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

KV_EXTERN_C VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    *UnicodeString = UNICODE_STRING{};
}

KV_EXTERN_C VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != nullptr) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    *AnsiString = ANSI_STRING{};
}

// Writes the digits without prefix, hex in upper case; a terminator is added when there is room.
KV_EXTERN_C NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

// Leading blanks, an optional sign and, with base 0, a 0x/0o/0b prefix; digits up to the first
// character that is not one. The value wraps modulo 2^32 as on Windows.
KV_EXTERN_C NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    if (String == nullptr || Value == nullptr) return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + String->Length / sizeof(WCHAR);
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == '0') {
            switch (p[1]) {
                case 'x': Base = 16; p += 2; break;
                case 'o': Base = 8; p += 2; break;
                case 'b': Base = 2; p += 2; break;
                default: break;
            }
        }
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        int d = HexDigit(*p);
        if (d < 0 || static_cast<ULONG>(d) >= Base) break;
        result = result * Base + static_cast<ULONG>(d);
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, allocated from paged pool.
KV_EXTERN_C NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    constexpr size_t kUnits = 38;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (kUnits + 1) * sizeof(WCHAR), kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    char text[kUnits + 1];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
                  Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                  Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    for (size_t i = 0; i <= kUnits; ++i) buffer[i] = WideUnit(text[i]);
    GuidString->Buffer = buffer;
    GuidString->Length = kUnits * sizeof(WCHAR);
    GuidString->MaximumLength = (kUnits + 1) * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    if (GuidString == nullptr || Guid == nullptr || GuidString->Length != 38 * sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    const WCHAR* s = GuidString->Buffer;
    if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}') {
        return STATUS_INVALID_PARAMETER;
    }
    uint64_t d1, d2, d3, b;
    GUID g{};
    if (!ParseHex(s + 1, 8, &d1) || !ParseHex(s + 10, 4, &d2) || !ParseHex(s + 15, 4, &d3)) {
        return STATUS_INVALID_PARAMETER;
    }
    static const int kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(s + kBytePositions[i], 2, &b)) return STATUS_INVALID_PARAMETER;
        g.Data4[i] = static_cast<uint8_t>(b);
    }
    g.Data1 = static_cast<uint32_t>(d1);
    g.Data2 = static_cast<uint16_t>(d2);
    g.Data3 = static_cast<uint16_t>(d3);
    *Guid = g;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The kernel's bounded printf.

namespace {

template <typename CharT>
int BoundedPrint(CharT* buffer, size_t count, const CharT* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    size_t needed;
    if constexpr (sizeof(CharT) == 1) {
        needed = sim::kfmt::FormatNarrow(nullptr, 0, format, copy);
    } else {
        needed = sim::kfmt::FormatWide(nullptr, 0, format, copy);
    }
    va_end(copy);
    std::basic_string<CharT> text(needed + 1, CharT{0});
    if constexpr (sizeof(CharT) == 1) {
        sim::kfmt::FormatNarrow(text.data(), text.size(), format, args);
    } else {
        sim::kfmt::FormatWide(text.data(), text.size(), format, args);
    }
    size_t units = std::min(needed, count);
    if (units > 0) std::memcpy(buffer, text.data(), units * sizeof(CharT));
    if (needed < count) {
        buffer[needed] = 0;
        return static_cast<int>(needed);
    }
    return needed == count ? static_cast<int>(count) : -1;
}

}  // namespace

KV_EXTERN_C int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList) {
    return BoundedPrint(Buffer, Count, Format, ArgList);
}

KV_EXTERN_C int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list ArgList) {
    return BoundedPrint(Buffer, Count, Format, ArgList);
}

// ---------------------------------------------------------------------------------------------
// Safe string functions.

KV_EXTERN_C NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList) {
    return PrintA(pszDest, cchDest, pszFormat, argList);
}

KV_EXTERN_C NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList) {
    return PrintW(pszDest, cchDest, pszFormat, argList);
}

KV_EXTERN_C NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList) {
    return PrintA(pszDest, cbDest, pszFormat, argList);
}

KV_EXTERN_C NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList) {
    return PrintW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

KV_EXTERN_C NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintW(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

KV_EXTERN_C NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return SafeCopy(pszDest, cchDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return SafeCopy(pszDest, cchDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return SafeCopy(pszDest, cbDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return SafeCopy(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return SafeCat(pszDest, cchDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return SafeCat(pszDest, cchDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return SafeCat(pszDest, cbDest, pszSrc);
}
KV_EXTERN_C NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return SafeCat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

KV_EXTERN_C NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return SafeLength(psz, cchMax, pcchLength);
}
KV_EXTERN_C NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return SafeLength(psz, cchMax, pcchLength);
}
KV_EXTERN_C NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return SafeLength(psz, cbMax, pcbLength);
}
KV_EXTERN_C NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t units = 0;
    NTSTATUS status = SafeLength(psz, cbMax / sizeof(WCHAR), &units);
    if (pcbLength != nullptr) *pcbLength = units * sizeof(WCHAR);
    return status;
}

KV_EXTERN_C NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, va_list argList) {
    if (!ValidCountedString(DestinationString) || pszFormat == nullptr) return STATUS_INVALID_PARAMETER;
    size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    if (capacity == 0) return STATUS_INVALID_PARAMETER;
    // The counted string needs no terminator, so format into a scratch copy one unit larger.
    std::u16string scratch(capacity + 1, u'\0');
    size_t needed = sim::kfmt::FormatWide(scratch.data(), scratch.size(), pszFormat, argList);
    size_t units = std::min(needed, capacity);
    std::memcpy(DestinationString->Buffer, scratch.data(), units * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    return needed <= capacity ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

KV_EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}
