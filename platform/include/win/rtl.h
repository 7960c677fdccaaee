// Runtime library: memory helpers, counted strings, safe string functions, debug output and the
// operating-system version.
//
// Narrow text is 8-bit. Where it meets 16-bit text the kernel converts: a narrow byte widens to the
// code unit of the same value (Latin-1), and a wide code unit narrows to itself below 0x80 and to
// '?' otherwise, so narrow output is always plain ASCII.
#pragma once

#include <win/ntdef.h>

#include <cstdarg>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Memory helpers.

#define RtlEqualMemory(Destination, Source, Length) (std::memcmp((Destination), (Source), (Length)) == 0)
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))

// Number of leading bytes that are equal in both blocks.
KV_EXTERN_C SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// Counted strings. Allocated destination strings come from paged pool and are released with
// RtlFreeUnicodeString / RtlFreeAnsiString.

KV_EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
KV_EXTERN_C VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
KV_EXTERN_C VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);
KV_EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
KV_EXTERN_C NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
KV_EXTERN_C NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
KV_EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                          BOOLEAN CaseInSensitive);
KV_EXTERN_C LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive);
KV_EXTERN_C NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                  BOOLEAN AllocateDestinationString);
KV_EXTERN_C NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                  BOOLEAN AllocateDestinationString);
KV_EXTERN_C VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
KV_EXTERN_C VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
KV_EXTERN_C WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
KV_EXTERN_C NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
KV_EXTERN_C NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
KV_EXTERN_C NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
KV_EXTERN_C NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// Upper-cases a zero-terminated wide string in place (the C runtime's wide form, which the
// Windows target's own C headers declare).
#ifdef _WIN32
#include <wchar.h>
#else
KV_EXTERN_C WCHAR* _wcsupr(WCHAR* String);
#endif

// ---------------------------------------------------------------------------------------------
// Safe string functions. Every result is zero-terminated when the destination has room for one
// character; a result that does not fit is cut to a terminated prefix and answers
// STATUS_BUFFER_OVERFLOW; a destination of zero characters answers STATUS_INVALID_PARAMETER.
//
// Format directives follow the kernel's printf: in narrow functions %s and %c are narrow and %S
// and %C wide, in wide functions the other way round; %hs/%hc are always narrow, %ls/%lc/%ws/%wc
// always wide; %Z prints an ANSI_STRING*, %wZ a UNICODE_STRING*; %p prints 16 upper-case hex digits;
// size prefixes h, hh, l (32-bit), ll, I64, I32 and I (pointer-sized); a null string prints "(null)".

#define NTSTRSAFE_MAX_CCH 2147483647

// The kernel's printf into Buffer of Count characters: the length written when it is below Count
// (then terminated), Count when the output fills the buffer exactly (not terminated), -1 when it
// does not fit (Count characters written, not terminated). The safe string functions stand on these.
KV_EXTERN_C int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList);
#ifndef _WIN32  // the Windows target's <wchar.h> declares it
KV_EXTERN_C int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list ArgList);
#endif
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH (0xFFFF / sizeof(WCHAR))

KV_EXTERN_C NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
KV_EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
KV_EXTERN_C NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
KV_EXTERN_C NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
KV_EXTERN_C NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
KV_EXTERN_C NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
KV_EXTERN_C NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
KV_EXTERN_C NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);

KV_EXTERN_C NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
KV_EXTERN_C NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
KV_EXTERN_C NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
KV_EXTERN_C NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);
KV_EXTERN_C NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);

// Prints into the string's buffer (MaximumLength bytes, no terminator) and sets Length.
KV_EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
KV_EXTERN_C NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat,
                                             va_list argList);

// ---------------------------------------------------------------------------------------------
// Debug output. Every complete line lands in the machine's debug log (sim/debug_log.h). The
// simulation keeps every line: KdPrint prints in every build and DbgPrintEx filters nothing.

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_DEFAULT_ID 101

KV_EXTERN_C ULONG DbgPrint(PCSTR Format, ...);
KV_EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
KV_EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

// ---------------------------------------------------------------------------------------------
// Operating-system version (settable by the simulation, sim/os.h).

#define NTDDI_WINXP 0x05010000
#define NTDDI_WINXPSP2 0x05010200
#define NTDDI_WS03 0x05020000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000

#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276 && offsetof(RTL_OSVERSIONINFOW, szCSDVersion) == 20);

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284 && offsetof(RTL_OSVERSIONINFOEXW, wServicePackMajor) == 276 &&
              offsetof(RTL_OSVERSIONINFOEXW, wProductType) == 282);

#define VER_NT_WORKSTATION 0x0000001

KV_EXTERN_C BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
KV_EXTERN_C NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
KV_EXTERN_C BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                 PUNICODE_STRING CSDVersion);
