#include "driver/engine/base/IniReader.h"

#include "driver/engine/base/Settings.h"

#include <win/portcls.h>

namespace {

constexpr PCWSTR IniDefaultModuleName = KV_WIDE("KV-380D.INI");
constexpr PCWSTR IniDirectory = KV_WIDE("\\SystemRoot\\");
// Characters of the header buffers, terminator included.
constexpr ULONG IniSectionHeaderChars = 80;
constexpr ULONG IniDeviceHeaderChars = 128;

bool IsBlankOrTab(CHAR c) { return c == ' ' || c == '\t'; }
// Characters between the tokens of a value.
bool IsTokenSeparator(CHAR c) { return c == ' ' || c == '\t' || c == ','; }
bool EndsToken(CHAR c) { return IsTokenSeparator(c) || c == '\r' || c == ';'; }
bool IsDigit(CHAR c) { return c >= '0' && c <= '9'; }
CHAR UpperAscii(CHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<CHAR>(c - 'a' + 'A') : c; }

bool ContainsZero(const CHAR* Text, ULONG Length) {
    for (ULONG i = 0; i < Length; ++i) {
        if (Text[i] == 0) return true;
    }
    return false;
}

// Length of a terminated text held in a field of FieldChars characters.
ULONG FieldLength(const CHAR* Text, ULONG FieldChars) {
    ULONG length = 0;
    while (length < FieldChars && Text[length] != 0) ++length;
    return length;
}

// "[" Name "]" into Header; false when it does not fit.
bool BuildHeader(PCSTR Name, PCHAR Header, ULONG HeaderChars, ULONG* Length) {
    if (!NT_SUCCESS(RtlStringCchPrintfA(Header, HeaderChars, "[%s]", Name))) return false;
    *Length = FieldLength(Header, HeaderChars);
    return true;
}

bool LineBegins(const CHAR* Line, LONG LineLength, const CHAR* Prefix, ULONG PrefixLength) {
    return LineLength >= static_cast<LONG>(PrefixLength) && RtlEqualMemory(Line, Prefix, PrefixLength);
}

bool IsOneByteToken(const CHAR* Token, ULONG Length) {
    return Length == 4 && Token[0] == '0' && (Token[1] == 'x' || Token[1] == 'X');
}

void StoreNumber(PUCHAR Value, ULONG Number) {
    for (ULONG i = 0; i < sizeof(ULONG); ++i) Value[i] = static_cast<UCHAR>(Number >> (8 * i));
}

// Walks the items of one line; every step stays within the line's length (the CR behind it is
// never looked at, nor anything past a line cut at its longest).
class ItemWalk {
public:
    ItemWalk(const CHAR* Line, LONG LineLength)
        : m_Line(Line), m_Length(LineLength > 0 ? static_cast<ULONG>(LineLength) : 0) {}

    // Skips leading blanks, copies the key (up to a tab, blank or '=') into Key as 16-bit
    // characters by sign extension, and moves behind the next '=' and the blanks and tabs after
    // it. Rejects blank and comment lines, empty keys, keys of KeyChars characters or more and
    // lines without '='.
    NTSTATUS TakeKey(PWCHAR Key, ULONG KeyChars) {
        while (m_Position < m_Length && m_Line[m_Position] == ' ') ++m_Position;
        if (m_Position >= m_Length || m_Line[m_Position] == ';') return STATUS_UNSUCCESSFUL;
        ULONG count = 0;
        for (; m_Position < m_Length; ++m_Position) {
            CHAR c = m_Line[m_Position];
            if (c == '\t' || c == ' ' || c == '=') break;
            // A zero would cut the value name short.
            if (c == 0 || count + 1 >= KeyChars) return STATUS_UNSUCCESSFUL;
            Key[count++] = static_cast<WCHAR>(static_cast<SHORT>(static_cast<signed char>(c)));
        }
        Key[count] = 0;
        if (count == 0) return STATUS_UNSUCCESSFUL;
        while (m_Position < m_Length && m_Line[m_Position] != '=') ++m_Position;
        if (m_Position >= m_Length) return STATUS_UNSUCCESSFUL;
        ++m_Position;
        while (m_Position < m_Length && IsBlankOrTab(m_Line[m_Position])) ++m_Position;
        return STATUS_SUCCESS;
    }

    // The next token of the value; false when the list has ended. A token may be empty (a
    // separator or comment right before the line's end); callers skip those.
    bool NextToken(const CHAR** Token, ULONG* Length) {
        if (m_Ended) return false;
        while (m_Position < m_Length && IsTokenSeparator(m_Line[m_Position])) ++m_Position;
        ULONG start = m_Position;
        while (m_Position < m_Length && !EndsToken(m_Line[m_Position])) ++m_Position;
        *Token = m_Line + start;
        *Length = m_Position - start;
        // The list ends with the token that ends at the line's end or at ';'.
        m_Ended = m_Position >= m_Length || m_Line[m_Position] == ';';
        return true;
    }

private:
    const CHAR* m_Line;
    ULONG m_Length;
    ULONG m_Position = 0;
    bool m_Ended = false;
};

}  // namespace

IniReader::IniReader(PDEVICE_OBJECT DeviceObject)
    : m_FileHandle(nullptr),
      m_IoStatus{},
      m_LineBuffer(nullptr),
      m_SectionName{},
      m_HardwareId{},
      m_ReadPosition(0),
      m_ReadLimit(0),
      m_DeviceObject(DeviceObject),
      m_Path{} {}

IniReader::~IniReader() {
    PAGED_CODE();
    Close();
    if (m_LineBuffer != nullptr) ExFreePoolWithTag(m_LineBuffer, IniBufferTag);
}

PVOID IniReader::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept {
    PVOID object = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (object != nullptr) RtlZeroMemory(object, Size);
    return object;
}

void IniReader::operator delete(PVOID Object) noexcept { ExFreePool(Object); }

NTSTATUS IniReader::BuildPath() {
    PAGED_CODE();
    auto* ids = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, IniPropertyBytes, IniBufferTag));
    if (ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (m_LineBuffer == nullptr) {
        m_LineBuffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, IniLineBufferBytes, IniBufferTag));
        if (m_LineBuffer == nullptr) {
            ExFreePoolWithTag(ids, IniBufferTag);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(m_LineBuffer, IniLineBufferBytes);
    }

    // The first string of the hardware-ID list, in upper case, as 8-bit text (cut to 99).
    RtlZeroMemory(ids, IniPropertyBytes);
    ULONG resultLength = 0;
    NTSTATUS status =
        PcGetDeviceProperty(m_DeviceObject, DevicePropertyHardwareID, IniPropertyBytes, ids, &resultLength);
    if (NT_SUCCESS(status)) {
        ids[IniPropertyBytes / sizeof(WCHAR) - 1] = 0;
        _wcsupr(ids);
        RtlStringCchPrintfA(m_HardwareId, IniHardwareIdChars, "%S", ids);
        if (m_HardwareId[0] == 0) status = STATUS_UNSUCCESSFUL;
    }
    ExFreePoolWithTag(ids, IniBufferTag);
    if (!NT_SUCCESS(status)) return status;

    // A stored "ModuleName" replaces the default only when it was read whole; the buffer keeps a
    // terminator behind the longest stored name.
    WCHAR storedName[IniModuleNameChars + 1] = {};
    PCWSTR moduleName = IniDefaultModuleName;
    if (NT_SUCCESS(AccessSettingBinary(m_DeviceObject, SettingMode::Read, storedName,
                                       IniModuleNameChars * sizeof(WCHAR), SettingName::ModuleName)) &&
        storedName[0] != 0) {
        moduleName = storedName;
    }
    // A name too long for the path is cut to the path's length.
    RtlStringCchPrintfW(m_Path, IniPathChars, KV_WIDE("%s%s"), IniDirectory, moduleName);
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::Open(PCWSTR Path) {
    PAGED_CODE();
    if (m_LineBuffer == nullptr) return STATUS_UNSUCCESSFUL;
    Close();
    if (m_FileHandle != nullptr) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ, &attributes, &m_IoStatus, nullptr, 0, FILE_SHARE_READ,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    m_FileHandle = handle;
    m_ReadPosition = 0;
    m_ReadLimit = 0x7FFFFFFF;
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::Close() {
    PAGED_CODE();
    if (m_FileHandle == nullptr) return STATUS_SUCCESS;
    NTSTATUS status = ZwClose(m_FileHandle);
    if (NT_SUCCESS(status)) m_FileHandle = nullptr;
    return status;
}

NTSTATUS IniReader::ReadByte(UCHAR* Byte) {
    LARGE_INTEGER offset;
    offset.QuadPart = m_ReadPosition;
    NTSTATUS status = ZwReadFile(m_FileHandle, nullptr, nullptr, nullptr, &m_IoStatus, Byte, 1, &offset, nullptr);
    if (NT_SUCCESS(status) && m_IoStatus.Information == 0) status = STATUS_END_OF_FILE;
    return status;
}

LONG IniReader::ReadLine() {
    PAGED_CODE();
    if (m_FileHandle == nullptr || m_LineBuffer == nullptr) return -1;
    ULONG count = 0;
    for (;;) {
        UCHAR byte = 0;
        NTSTATUS status = m_ReadPosition >= static_cast<ULONG>(m_ReadLimit) ? STATUS_END_OF_FILE : ReadByte(&byte);
        if (status == STATUS_END_OF_FILE) {
            // The end of the data ends the last line, CR or not.
            if (count == 0) return -1;
            m_LineBuffer[count] = '\r';
            m_LineBuffer[count + 1] = '\n';
            return static_cast<LONG>(count);
        }
        if (!NT_SUCCESS(status)) return -1;
        ++m_ReadPosition;
        if (byte == '\r') {
            m_LineBuffer[count] = '\r';
            m_LineBuffer[count + 1] = '\n';
            SkipNextIf('\n');
            return static_cast<LONG>(count);
        }
        m_LineBuffer[count++] = static_cast<CHAR>(byte);
        if (count >= IniMaxLineChars) {
            // A line of exactly the longest length still ends at its own CR; a longer one is cut
            // here and its rest is the next line.
            if (SkipNextIf('\r')) SkipNextIf('\n');
            return static_cast<LONG>(count);
        }
    }
}

bool IniReader::SkipNextIf(CHAR Expected) {
    UCHAR next = 0;
    if (m_ReadPosition >= static_cast<ULONG>(m_ReadLimit) || !NT_SUCCESS(ReadByte(&next)) ||
        next != static_cast<UCHAR>(Expected)) {
        return false;
    }
    ++m_ReadPosition;
    return true;
}

NTSTATUS IniReader::FindSection(PCSTR Name) {
    PAGED_CODE();
    if (m_FileHandle == nullptr) return STATUS_UNSUCCESSFUL;
    CHAR header[IniSectionHeaderChars];
    ULONG headerLength = 0;
    if (!BuildHeader(Name, header, IniSectionHeaderChars, &headerLength)) return STATUS_UNSUCCESSFUL;
    for (;;) {
        LONG length = ReadLine();
        if (length < 0) return STATUS_UNSUCCESSFUL;
        if (LineBegins(m_LineBuffer, length, header, headerLength)) return STATUS_SUCCESS;
    }
}

ULONG IniReader::ReadVersion() {
    PAGED_CODE();
    if (!NT_SUCCESS(Open(m_Path))) return 0;
    ULONG version = 0;
    if (NT_SUCCESS(FindSection("VERSION"))) {
        for (;;) {
            LONG length = ReadLine();
            if (length < 0 || (length >= 1 && m_LineBuffer[0] == '[')) break;
            WCHAR key[IniVersionKeyChars];
            UCHAR value[sizeof(ULONG)] = {};
            ULONG byteLength = 0;
            if (NT_SUCCESS(ParseVersionItem(length, key, value, &byteLength))) {
                version = ULONG(value[0]) | ULONG(value[1]) << 8 | ULONG(value[2]) << 16 | ULONG(value[3]) << 24;
                break;
            }
        }
    }
    Close();
    return version;
}

NTSTATUS IniReader::OpenDeviceKey() {
    PAGED_CODE();
    NTSTATUS status = Open(m_Path);
    if (!NT_SUCCESS(status)) return status;
    status = FindKey(m_HardwareId);
    if (!NT_SUCCESS(status)) Close();
    return status;
}

NTSTATUS IniReader::FindKey(PCSTR HardwareId) {
    PAGED_CODE();
    if (m_FileHandle == nullptr) return STATUS_UNSUCCESSFUL;
    ULONG idLength = FieldLength(HardwareId, IniHardwareIdChars);
    if (idLength == 0) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = FindSection("KLORIX");
    if (!NT_SUCCESS(status)) return status;
    for (;;) {
        LONG length = ReadLine();
        if (length < 0 || (length >= 1 && m_LineBuffer[0] == '[')) return STATUS_UNSUCCESSFUL;
        if (length < static_cast<LONG>(idLength)) continue;
        ULONG i = 0;
        while (i < idLength && UpperAscii(m_LineBuffer[i]) == UpperAscii(HardwareId[i])) ++i;
        if (i < idLength) continue;

        // Blanks, one separator, blanks, then the name up to a blank, tab or ';' (or the line's end).
        const ULONG end = static_cast<ULONG>(length);
        ULONG at = idLength;
        while (at < end && IsBlankOrTab(m_LineBuffer[at])) ++at;
        if (at < end) ++at;
        while (at < end && IsBlankOrTab(m_LineBuffer[at])) ++at;
        ULONG start = at;
        while (at < end && !IsBlankOrTab(m_LineBuffer[at]) && m_LineBuffer[at] != ';') ++at;
        ULONG nameLength = at - start;
        // A name that does not fit its field, or that a zero would cut, makes the line no match.
        if (nameLength >= IniSectionNameChars || ContainsZero(m_LineBuffer + start, nameLength)) continue;
        RtlCopyMemory(m_SectionName, m_LineBuffer + start, nameLength);
        m_SectionName[nameLength] = 0;
        return STATUS_SUCCESS;
    }
}

NTSTATUS IniReader::ApplyDeviceSections() {
    PAGED_CODE();
    LONG lineLength = 0;
    while (NT_SUCCESS(ApplyDeviceSection(&lineLength))) {
    }
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::ApplyDeviceSection(LONG* LineLength) {
    PAGED_CODE();
    CHAR subkey[IniSubkeyChars];
    if (!NT_SUCCESS(FindDeviceSection(m_SectionName, subkey, IniSubkeyChars, LineLength))) return STATUS_UNSUCCESSFUL;
    WCHAR subkeyWide[IniSubkeyChars];
    PCWSTR subkeyName = nullptr;
    if (subkey[0] != 0) {
        RtlStringCchPrintfW(subkeyWide, IniSubkeyChars, KV_WIDE("%S"), subkey);
        subkeyName = subkeyWide;
    }

    // A blank, comment or rejected line ends the section's items: the line after it stops the
    // walk and stays the current line for the next header search.
    bool previousWasItem = true;
    for (;;) {
        *LineLength = ReadLine();
        if (*LineLength < 0 || (*LineLength >= 1 && m_LineBuffer[0] == '[') || !previousWasItem) break;
        WCHAR key[IniKeyChars];
        UCHAR value[IniMaxValueBytes];
        ULONG byteLength = 0;
        ULONG valueType = REG_NONE;
        if (NT_SUCCESS(ParseDeviceItem(*LineLength, key, value, &byteLength, &valueType))) {
            // A failed write costs this item only.
            AccessSetting(m_DeviceObject, SettingMode::Write, subkeyName, key, valueType, value, byteLength);
        } else {
            previousWasItem = false;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::FindDeviceSection(PCSTR Name, PCHAR Subkey, ULONG SubkeyChars, LONG* LineLength) {
    PAGED_CODE();
    if (m_FileHandle == nullptr || Name == nullptr || Name[0] == 0 || SubkeyChars == 0) return STATUS_UNSUCCESSFUL;
    CHAR header[IniDeviceHeaderChars];
    ULONG headerLength = 0;
    if (!BuildHeader(Name, header, IniDeviceHeaderChars, &headerLength)) return STATUS_UNSUCCESSFUL;
    if (*LineLength < 1) {
        *LineLength = ReadLine();
        if (*LineLength < 0) return STATUS_UNSUCCESSFUL;
    }
    for (;;) {
        const LONG length = *LineLength;
        if (LineBegins(m_LineBuffer, length, header, headerLength)) {
            Subkey[0] = 0;
            return STATUS_SUCCESS;
        }
        // [NAME:SUBKEY]: the subkey runs to the first ']' or the line's end. One that does not
        // fit, or that a zero would cut, makes the header no match (its items are not applied
        // elsewhere).
        if (length >= static_cast<LONG>(headerLength) && RtlEqualMemory(m_LineBuffer, header, headerLength - 1) &&
            m_LineBuffer[headerLength - 1] == ':') {
            const ULONG end = static_cast<ULONG>(length);
            ULONG at = headerLength;
            while (at < end && m_LineBuffer[at] != ']') ++at;
            ULONG subkeyLength = at - headerLength;
            if (subkeyLength < SubkeyChars && !ContainsZero(m_LineBuffer + headerLength, subkeyLength)) {
                RtlCopyMemory(Subkey, m_LineBuffer + headerLength, subkeyLength);
                Subkey[subkeyLength] = 0;
                return STATUS_SUCCESS;
            }
        }
        *LineLength = ReadLine();
        if (*LineLength < 0) return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS IniReader::ParseDeviceItem(LONG LineLength, PWCHAR Key, PUCHAR Value, PULONG ByteLength, PULONG ValueType) {
    PAGED_CODE();
    ItemWalk walk(m_LineBuffer, LineLength);
    NTSTATUS status = walk.TakeKey(Key, IniKeyChars);
    if (!NT_SUCCESS(status)) return status;

    ULONG bytes = 0;
    bool numbers = false;
    bool text = false;
    const CHAR* token = nullptr;
    ULONG length = 0;
    while (walk.NextToken(&token, &length)) {
        if (length == 0) continue;
        if (length >= IniTokenChars) return STATUS_UNSUCCESSFUL;
        if (IsOneByteToken(token, length)) {
            if (bytes + 1 > IniMaxValueBytes) return STATUS_UNSUCCESSFUL;
            Value[bytes++] = static_cast<UCHAR>(ParseNumber(token, length));
            numbers = true;
        } else if (IsDigit(token[0])) {
            if (bytes + sizeof(ULONG) > IniMaxValueBytes) return STATUS_UNSUCCESSFUL;
            StoreNumber(Value + bytes, ParseNumber(token, length));
            bytes += sizeof(ULONG);
            numbers = true;
        } else {
            // Text tokens are joined without their separators, as 16-bit characters.
            if (ContainsZero(token, length)) return STATUS_UNSUCCESSFUL;
            CHAR narrow[IniTokenChars];
            RtlCopyMemory(narrow, token, length);
            narrow[length] = 0;
            WCHAR wide[IniTokenChars];
            RtlStringCchPrintfW(wide, IniTokenChars, KV_WIDE("%S"), narrow);
            if (bytes + length * sizeof(WCHAR) > IniMaxValueBytes) return STATUS_UNSUCCESSFUL;
            RtlCopyMemory(Value + bytes, wide, length * sizeof(WCHAR));
            bytes += length * sizeof(WCHAR);
            text = true;
        }
    }
    // A value needs tokens of one kind: mixing numbers and text gives no sensible value.
    if (numbers == text) return STATUS_UNSUCCESSFUL;
    *ByteLength = bytes;
    *ValueType = text ? REG_SZ : REG_BINARY;
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::ParseVersionItem(LONG LineLength, PWCHAR Key, PUCHAR Value, PULONG ByteLength) {
    PAGED_CODE();
    ItemWalk walk(m_LineBuffer, LineLength);
    NTSTATUS status = walk.TakeKey(Key, IniVersionKeyChars);
    if (!NT_SUCCESS(status)) return status;

    // Exactly one number: a four-character 0x token is one byte, any other token 32 bits.
    ULONG bytes = 0;
    ULONG tokens = 0;
    const CHAR* token = nullptr;
    ULONG length = 0;
    while (walk.NextToken(&token, &length)) {
        if (length == 0) continue;
        if (length >= IniVersionTokenChars || ++tokens > 1) return STATUS_UNSUCCESSFUL;
        if (IsOneByteToken(token, length)) {
            Value[0] = static_cast<UCHAR>(ParseNumber(token, length));
            bytes = 1;
        } else {
            StoreNumber(Value, ParseNumber(token, length));
            bytes = sizeof(ULONG);
        }
    }
    if (tokens == 0) return STATUS_UNSUCCESSFUL;
    *ByteLength = bytes;
    return STATUS_SUCCESS;
}

ULONG IniReader::ParseNumber(const CHAR* Token, ULONG Length) {
    if (Token == nullptr || Length == 0) return 0;
    // Character codes count as the system's signed 8-bit characters; arithmetic wraps modulo 2^32.
    auto code = [](CHAR c) { return static_cast<ULONG>(static_cast<LONG>(static_cast<signed char>(c))); };
    ULONG value = 0;
    if (Length >= 2 && Token[0] == '0' && (Token[1] == 'x' || Token[1] == 'X')) {
        for (ULONG i = 2; i < Length; ++i) {
            CHAR c = Token[i];
            ULONG digit = IsDigit(c) ? code(c) - '0' : (c >= 'a' && c <= 'f') ? code(c) - 'a' + 10 : code(c) - 55;
            value = value * 16 + digit;
        }
        return value;
    }
    if (!IsDigit(Token[0])) return 0;
    for (ULONG i = 0; i < Length; ++i) value = value * 10 + (code(Token[i]) - '0');
    return value;
}

NTSTATUS IniReader::ApplyWhenNewer() {
    PAGED_CODE();
    ULONG version = ReadVersion();
    if (version == 0) return STATUS_UNSUCCESSFUL;
    ULONG stored = 0;
    AccessSettingBinary(m_DeviceObject, SettingMode::Read, &stored, sizeof(stored), SettingName::IniVersion);
    if (stored >= version) return STATUS_SUCCESS;
    NTSTATUS status = OpenDeviceKey();
    if (!NT_SUCCESS(status)) return status;
    ApplyDeviceSections();
    Close();
    return AccessSettingBinary(m_DeviceObject, SettingMode::Write, &version, sizeof(version), SettingName::IniVersion);
}
