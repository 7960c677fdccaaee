// The device's identity in the registry: the product and manufacturer strings written as
// "FriendlyName" and "Mfg" into the device's Enum key, and values read from its
// "Device Parameters" key. The Enum key is found through the device's hardware identifiers and
// its instance name, under the current control set first and the legacy Enum root second.
#include "driver/engine/base/Settings.h"
#include "driver/engine/adapter/UsbAudioAdapter.h"

namespace {

constexpr PCWSTR EnumRoots[] = {
    KV_WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"),
    KV_WIDE("\\Registry\\Machine\\Enum"),
};
constexpr PCWSTR DeviceParametersKey = KV_WIDE("Device Parameters");
// Largest hardware-identifier list accepted, in bytes.
constexpr ULONG MaxHardwareIdBytes = 16 * 1024;
// Room for one Enum key path, in characters.
constexpr ULONG EnumPathChars = 600;

// The device's hardware identifiers and instance name, and the Enum keys they lead to. Paged
// buffers, freed by the destructor.
class DeviceInstanceKeys {
public:
    DeviceInstanceKeys() = default;
    ~DeviceInstanceKeys() {
        if (m_Ids != nullptr) ExFreePoolWithTag(m_Ids, UsbAudioAdapterTempTag);
        if (m_Instance != nullptr) ExFreePoolWithTag(m_Instance, UsbAudioAdapterTempTag);
        if (m_Path != nullptr) ExFreePoolWithTag(m_Path, UsbAudioAdapterTempTag);
    }
    DeviceInstanceKeys(const DeviceInstanceKeys&) = delete;
    DeviceInstanceKeys& operator=(const DeviceInstanceKeys&) = delete;

    NTSTATUS Load(PDEVICE_OBJECT PhysicalDeviceObject) {
        PAGED_CODE();
        NTSTATUS status = LoadHardwareIds(PhysicalDeviceObject);
        if (NT_SUCCESS(status)) status = LoadInstanceName(PhysicalDeviceObject);
        if (NT_SUCCESS(status)) {
            m_Path = Allocate(EnumPathChars * sizeof(WCHAR));
            if (m_Path == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        }
        return status;
    }

    // The identifier at *Cursor, advancing the cursor; null after the last.
    PCWSTR Next(PULONG Cursor) const {
        const ULONG at = *Cursor;
        if (at >= m_IdChars || m_Ids[at] == 0) return nullptr;
        size_t length = 0;
        RtlStringCchLengthW(m_Ids + at, m_IdChars - at, &length);
        // The first identifier was cut at its comma; its original end is kept.
        *Cursor = (at == 0 ? m_FirstEnd : at + static_cast<ULONG>(length)) + 1;
        return m_Ids + at;
    }

    // Opens root\Id\instance[\Subkey] under each root in turn; the last attempt's status.
    NTSTATUS Open(PCWSTR Id, PCWSTR Subkey, PHANDLE Key) {
        PAGED_CODE();
        NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
        for (PCWSTR root : EnumRoots) {
            status = Subkey != nullptr
                         ? RtlStringCchPrintfW(m_Path, EnumPathChars, KV_WIDE("%s\\%s\\%s\\%s"), root, Id, m_Instance,
                                               Subkey)
                         : RtlStringCchPrintfW(m_Path, EnumPathChars, KV_WIDE("%s\\%s\\%s"), root, Id, m_Instance);
            if (!NT_SUCCESS(status)) continue;  // a path that does not fit names no key
            UNICODE_STRING path;
            RtlInitUnicodeString(&path, m_Path);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
            status = ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
            if (NT_SUCCESS(status)) break;
        }
        return status;
    }

private:
    static PWCHAR Allocate(SIZE_T Bytes) {
        auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, Bytes, UsbAudioAdapterTempTag));
        if (buffer != nullptr) RtlZeroMemory(buffer, Bytes);
        return buffer;
    }

    NTSTATUS LoadHardwareIds(PDEVICE_OBJECT PhysicalDeviceObject) {
        ULONG needed = 0;
        NTSTATUS status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyHardwareID, 0, nullptr, &needed);
        if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        if (needed < sizeof(WCHAR) || needed > MaxHardwareIdBytes) return STATUS_UNSUCCESSFUL;
        // Two spare zero characters end the list whatever the property holds.
        m_Ids = Allocate(needed + 2 * sizeof(WCHAR));
        if (m_Ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        ULONG length = 0;
        status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyHardwareID, needed, m_Ids, &length);
        if (!NT_SUCCESS(status)) return status;
        m_IdChars = needed / sizeof(WCHAR) + 2;
        if (m_Ids[0] == 0) return STATUS_UNSUCCESSFUL;
        size_t first = 0;
        RtlStringCchLengthW(m_Ids, m_IdChars, &first);
        m_FirstEnd = static_cast<ULONG>(first);
        for (ULONG i = 0; i < m_FirstEnd; ++i) {
            if (m_Ids[i] == KV_WIDE(',')) {
                m_Ids[i] = 0;
                break;
            }
        }
        return STATUS_SUCCESS;
    }

    // The name of the device's own key: the instance name under its device identifier.
    NTSTATUS LoadInstanceName(PDEVICE_OBJECT PhysicalDeviceObject) {
        HANDLE key = nullptr;
        NTSTATUS status = IoOpenDeviceRegistryKey(
            PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_ALL_ACCESS, &key);
        if (!NT_SUCCESS(status)) return status;
        ULONG needed = 0;
        status = ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &needed);
        PKEY_BASIC_INFORMATION info = nullptr;
        if ((status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) &&
            needed >= sizeof(KEY_BASIC_INFORMATION) && needed <= EnumPathChars * sizeof(WCHAR)) {
            info = reinterpret_cast<PKEY_BASIC_INFORMATION>(Allocate(needed));
            status = info != nullptr ? ZwQueryKey(key, KeyBasicInformation, info, needed, &needed)
                                     : STATUS_INSUFFICIENT_RESOURCES;
        } else if (NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
        }
        ZwClose(key);
        if (NT_SUCCESS(status)) {
            const ULONG room = needed - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
            const ULONG bytes = info->NameLength < room ? info->NameLength : room;
            m_Instance = Allocate(bytes + sizeof(WCHAR));
            if (m_Instance == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(m_Instance, info->Name, bytes);
            }
        }
        if (info != nullptr) ExFreePoolWithTag(info, UsbAudioAdapterTempTag);
        return status;
    }

    PWCHAR m_Ids = nullptr;  // the hardware identifiers, a list of zero-terminated texts
    ULONG m_IdChars = 0;     // characters of m_Ids, the spare terminators included
    ULONG m_FirstEnd = 0;    // where the first identifier ended before its cut
    PWCHAR m_Instance = nullptr;
    PWCHAR m_Path = nullptr;  // EnumPathChars
};

}  // namespace

NTSTATUS UsbAudioAdapter::UpdateDeviceStrings() {
    PAGED_CODE();
    if (m_ProductStringIndex != 0) {
        WriteStringAsDeviceText(m_ProductStringIndex, DeviceTextFriendlyName, UsbAudioAdapterUsbTag);
    }
    // The vendor 0xA5E7 names its manufacturer only for two products, whatever iManufacturer says.
    const bool manufacturer = m_VendorId == 0xA5E7 ? (m_ProductId == 0x0067 || m_ProductId == 0x0068)
                                                   : m_ManufacturerStringIndex != 0;
    if (manufacturer) WriteStringAsDeviceText(m_ManufacturerStringIndex, DeviceTextManufacturer, UsbAudioAdapterStringTag);
    return STATUS_SUCCESS;
}

void UsbAudioAdapter::WriteStringAsDeviceText(UCHAR Index, ULONG Kind, ULONG Tag) {
    PAGED_CODE();
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, UsbStringBufferBytes, Tag));
    if (buffer == nullptr) return;
    RtlZeroMemory(buffer, UsbStringBufferBytes);
    ULONG received = 0;
    if (NT_SUCCESS(ReadStringDescriptor(Index, buffer, UsbStringRequestBytes, &received, Tag))) {
        // The text is what both bLength and the bytes that arrived cover; a bLength below 2 leaves
        // none.
        const ULONG bytes = buffer[0] < received ? buffer[0] : received;
        ULONG chars = bytes >= 2 ? (bytes - 2) / sizeof(WCHAR) : 0;
        auto* text = reinterpret_cast<PWCHAR>(buffer + 2);
        // Longer texts keep their first characters (then lose trailing blanks again).
        if (chars >= UsbFriendlyNameMaxChars) chars = UsbFriendlyNameMaxChars - 1;
        text[chars] = 0;
        while (chars != 0 && text[chars - 1] == KV_WIDE(' ')) text[--chars] = 0;
        size_t length = 0;
        if (NT_SUCCESS(RtlStringCchLengthW(text, UsbFriendlyNameMaxChars, &length))) {
            UpdateDeviceText(Kind, static_cast<ULONG>(length + 1) * sizeof(WCHAR), text);
        }
    }
    ExFreePoolWithTag(buffer, Tag);
}

NTSTATUS UsbAudioAdapter::UpdateDeviceText(ULONG Kind, ULONG ByteLength, PCWSTR Text) {
    PAGED_CODE();
    PCWSTR valueName = Kind == DeviceTextFriendlyName   ? DeviceSettingName::FriendlyName
                       : Kind == DeviceTextManufacturer ? DeviceSettingName::Mfg
                                                        : nullptr;
    if (valueName == nullptr || Text == nullptr || ByteLength == 0) return STATUS_INVALID_PARAMETER;
    if (m_PhysicalDeviceObject == nullptr) return STATUS_UNSUCCESSFUL;
    DeviceInstanceKeys keys;
    NTSTATUS status = keys.Load(m_PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) return status;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG cursor = 0;
    for (PCWSTR id = keys.Next(&cursor); id != nullptr; id = keys.Next(&cursor)) {
        HANDLE key = nullptr;
        status = keys.Open(id, nullptr, &key);
        if (!NT_SUCCESS(status)) continue;  // no key for this identifier
        status = ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<PWCHAR>(Text), ByteLength);
        ZwClose(key);
    }
    return status;
}

NTSTATUS UsbAudioAdapter::ReadSelectiveSuspendSetting(PCWSTR ValueName, ULONG ByteLength, PVOID Buffer) {
    PAGED_CODE();
    if (ValueName == nullptr || Buffer == nullptr || ByteLength == 0) return STATUS_INVALID_PARAMETER;
    if (m_PhysicalDeviceObject == nullptr) return STATUS_UNSUCCESSFUL;
    DeviceInstanceKeys keys;
    NTSTATUS status = keys.Load(m_PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) return status;

    const ULONG infoBytes = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + ByteLength;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, infoBytes, UsbAudioAdapterTempTag));
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG cursor = 0;
    for (PCWSTR id = keys.Next(&cursor); id != nullptr; id = keys.Next(&cursor)) {
        HANDLE key = nullptr;
        if (!NT_SUCCESS(keys.Open(id, DeviceParametersKey, &key))) continue;
        ULONG length = 0;
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, infoBytes, &length);
        ZwClose(key);
        if (NT_SUCCESS(status) && info->DataLength <= ByteLength) {
            RtlCopyMemory(Buffer, info->Data, info->DataLength);
            result = STATUS_SUCCESS;
        } else if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
            result = STATUS_UNSUCCESSFUL;  // stored longer than the caller's buffer
        }
    }
    ExFreePoolWithTag(info, UsbAudioAdapterTempTag);
    return result;
}
