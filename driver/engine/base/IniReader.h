// IniReader: applies preset settings from a plain text file below \SystemRoot\ to the device's
// "Settings" key, once per version of the file.
//
// The file, as the reader understands it:
//   [VERSION]
//   Version=3                      first item: the file's version
//   [KLORIX]
//   USB\VID_1E7D&PID_3750 = DEV1   hardware ID (any case), separator, the device's section name
//   [DEV1]                         items for "Settings"
//   StreamBlock=4                  numbers: 32-bit, least significant byte first (REG_BINARY)
//   Bytes=0x10,0x20                four-character 0x tokens: one byte each (REG_BINARY)
//   Name=abc                       text: 16-bit characters, no terminating zero (REG_SZ)
//   [DEV1:Sub]                     items for the subkey "Sub" of "Settings"
// Lines end at CR (an LF right after it is skipped). A blank, comment or rejected line ends a
// section's items; only sections below the device's [KLORIX] line are found. Lines that do not
// fit the reader's bounds are rejected, never cut into another meaning.
//
// Used by the adapter during its Init: allocate (non-paged, IniReaderTag, zeroed by operator
// new), BuildPath, then ApplyWhenNewer (or ReadVersion, OpenDeviceKey and ApplyDeviceSections
// with the "IniVersion" rule in between), then delete. Passive level; private to one caller.
#pragma once

#include <win/kernel.h>

#include <cstddef>

// "PINI": the reader object (non-paged).
constexpr ULONG IniReaderTag = 'INIP';
// " INI": the line buffer and the hardware-ID buffer (paged).
constexpr ULONG IniBufferTag = 0x494E4920;

// Bytes of the line buffer: the longest line (4,097 characters) and one spare.
constexpr ULONG IniLineBufferBytes = 4098;
// A line longer than this is cut here and its rest read as the next line.
constexpr ULONG IniMaxLineChars = 4097;
// Bytes of an item's value (numbers packed, or 16-bit text).
constexpr ULONG IniMaxValueBytes = 1024;
// Characters of the fields and work buffers, terminator included.
constexpr ULONG IniSectionNameChars = 50;
constexpr ULONG IniHardwareIdChars = 100;
constexpr ULONG IniPathChars = 50;
constexpr ULONG IniModuleNameChars = 50;
constexpr ULONG IniSubkeyChars = 80;
constexpr ULONG IniKeyChars = 128;
constexpr ULONG IniVersionKeyChars = 20;
constexpr ULONG IniTokenChars = 80;
constexpr ULONG IniVersionTokenChars = 20;
// Bytes of the hardware-ID property buffer.
constexpr ULONG IniPropertyBytes = 1000;

class IniReader {
public:
    // No file, no line buffer yet.
    explicit IniReader(PDEVICE_OBJECT DeviceObject);
    ~IniReader();

    IniReader(const IniReader&) = delete;
    IniReader& operator=(const IniReader&) = delete;

    // Zeroed pool memory; null when the pool is exhausted, and then no constructor runs.
    static PVOID operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static void operator delete(PVOID Object) noexcept;

    // Allocates the line buffer, takes the device's first hardware ID (upper case) and builds the
    // file's path from "ModuleName" (default "KV-380D.INI"). Must succeed before anything else.
    // No hardware ID: STATUS_UNSUCCESSFUL (or the property's status).
    NTSTATUS BuildPath();
    // The file's version from the first item of [VERSION]; 0 when the file, the section or an
    // accepted item is missing. Opens and closes the file itself.
    ULONG ReadVersion();
    // Opens the file and finds the device's line in [KLORIX]; the file stays open on success, is
    // closed on failure (STATUS_UNSUCCESSFUL when the device has no line).
    NTSTATUS OpenDeviceKey();
    // Writes every item of every device section below the device's line. Failed writes are
    // ignored; always STATUS_SUCCESS.
    NTSTATUS ApplyDeviceSections();

    // The adapter's whole INI step: when the file's version is above the stored "IniVersion"
    // (absent counts as 0, compared unsigned), applies the device's sections and then records the
    // version. STATUS_SUCCESS when applied; otherwise why not (nothing recorded then).
    NTSTATUS ApplyWhenNewer();

    // A number token: "0x"/"0X" and hexadecimal digits, or decimal digits, modulo 2^32. Digits are
    // not validated (see the body); "0x" alone and a token not starting with a digit give 0.
    static ULONG ParseNumber(const CHAR* Token, ULONG Length);

    PCWSTR Path() const { return m_Path; }
    PCSTR HardwareId() const { return m_HardwareId; }
    PCSTR SectionName() const { return m_SectionName; }

private:
    NTSTATUS Open(PCWSTR Path);
    NTSTATUS Close();
    // One byte at m_ReadPosition into *Byte; STATUS_END_OF_FILE at the end.
    NTSTATUS ReadByte(UCHAR* Byte);
    // Moves past the next byte when it is Expected (an LF after a CR); TRUE when it did.
    bool SkipNextIf(CHAR Expected);
    // The next line into the line buffer; its length without CR, or -1 when nothing was read.
    LONG ReadLine();
    NTSTATUS FindSection(PCSTR Name);
    NTSTATUS FindKey(PCSTR HardwareId);
    // Finds the next header [Name] or [Name:Subkey], starting with the current line when
    // *LineLength is at least 1. Subkey receives the subkey (empty for [Name]).
    NTSTATUS FindDeviceSection(PCSTR Name, PCHAR Subkey, ULONG SubkeyChars, LONG* LineLength);
    NTSTATUS ApplyDeviceSection(LONG* LineLength);
    NTSTATUS ParseVersionItem(LONG LineLength, PWCHAR Key, PUCHAR Value, PULONG ByteLength);
    NTSTATUS ParseDeviceItem(LONG LineLength, PWCHAR Key, PUCHAR Value, PULONG ByteLength, PULONG ValueType);

    HANDLE m_FileHandle;
    IO_STATUS_BLOCK m_IoStatus;
    PCHAR m_LineBuffer;  // IniLineBufferBytes, owned
    CHAR m_SectionName[IniSectionNameChars];
    CHAR m_HardwareId[IniHardwareIdChars];
    ULONG m_ReadPosition;  // byte offset of the next read
    LONG m_ReadLimit;      // bytes
    PDEVICE_OBJECT m_DeviceObject;
    WCHAR m_Path[IniPathChars];
};
