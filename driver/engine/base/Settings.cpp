#include "driver/engine/base/Settings.h"

#include <win/portcls.h>

namespace {

// One IRegistryKey reference, released when the holder goes.
class RegistryKeyHolder {
public:
    RegistryKeyHolder() = default;
    ~RegistryKeyHolder() {
        if (m_Key != nullptr) m_Key->Release();
    }
    RegistryKeyHolder(const RegistryKeyHolder&) = delete;
    RegistryKeyHolder& operator=(const RegistryKeyHolder&) = delete;

    PREGISTRYKEY* Receive() { return &m_Key; }
    PREGISTRYKEY Get() const { return m_Key; }

private:
    PREGISTRYKEY m_Key = nullptr;
};

// Opens Name below Parent, creating it when absent.
NTSTATUS OpenOrCreateSubkey(PREGISTRYKEY Parent, PCWSTR Name, RegistryKeyHolder* Subkey) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG disposition = 0;
    return Parent->NewSubKey(Subkey->Receive(), nullptr, KEY_ALL_ACCESS, &name, REG_OPTION_NON_VOLATILE,
                             &disposition);
}

// The stored bytes of Name into Buffer when they fit in ByteLength; the buffer is untouched on
// every failure.
NTSTATUS ReadValue(PREGISTRYKEY Key, PUNICODE_STRING Name, PVOID Buffer, ULONG ByteLength) {
    // Room for the record's header and a few bytes more, so a value slightly too long is told
    // apart from one far too long (whose query overflows).
    const ULONG queryBytes = ByteLength + 16;
    auto* information =
        static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, queryBytes, SettingReadTag));
    if (information == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG resultLength = 0;
    NTSTATUS status = Key->QueryValueKey(Name, KeyValuePartialInformation, information, queryBytes, &resultLength);
    if (NT_SUCCESS(status)) {
        if (information->DataLength > ByteLength ||
            information->DataLength > queryBytes - ULONG(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            RtlCopyMemory(Buffer, information->Data, information->DataLength);
            status = STATUS_SUCCESS;
        }
    }
    ExFreePoolWithTag(information, SettingReadTag);
    return status;
}

}  // namespace

NTSTATUS AccessSetting(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PCWSTR SubkeyName, PCWSTR ValueName,
                       ULONG ValueType, PVOID Buffer, ULONG ByteLength) {
    PAGED_CODE();
    if (ValueType != REG_SZ && ValueType != REG_BINARY && ValueType != REG_DWORD) return STATUS_UNSUCCESSFUL;
    if (Mode != SettingMode::Read && Mode != SettingMode::Write) return STATUS_INVALID_PARAMETER;
    if (ValueName == nullptr || (Buffer == nullptr && ByteLength != 0)) return STATUS_INVALID_PARAMETER;
    // The read buffer adds 16 bytes to the caller's length.
    if (ByteLength > MAXULONG - 16) return STATUS_INVALID_PARAMETER;

    RegistryKeyHolder driverKey;
    NTSTATUS status = PcNewRegistryKey(driverKey.Receive(), nullptr, DriverRegistryKey, KEY_ALL_ACCESS, DeviceObject,
                                       nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status)) return status;
    RegistryKeyHolder settingsKey;
    status = OpenOrCreateSubkey(driverKey.Get(), SettingName::Settings, &settingsKey);
    if (!NT_SUCCESS(status)) return status;
    RegistryKeyHolder subkey;
    PREGISTRYKEY key = settingsKey.Get();
    if (SubkeyName != nullptr) {
        status = OpenOrCreateSubkey(key, SubkeyName, &subkey);
        if (!NT_SUCCESS(status)) return status;
        key = subkey.Get();
    }

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    if (Mode == SettingMode::Read) return ReadValue(key, &name, Buffer, ByteLength);
    return key->SetValueKey(&name, ValueType, Buffer, ByteLength);
}

NTSTATUS AccessSettingBinary(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PVOID Buffer, ULONG ByteLength,
                             PCWSTR ValueName) {
    PAGED_CODE();
    return AccessSetting(DeviceObject, Mode, nullptr, ValueName, REG_BINARY, Buffer, ByteLength);
}

NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PVOID Buffer, ULONG ByteLength,
                              PCWSTR BaseName, ULONG Index) {
    PAGED_CODE();
    if (BaseName == nullptr) return STATUS_INVALID_PARAMETER;
    WCHAR name[SettingIndexedNameMaxChars + 1];
    if (!NT_SUCCESS(RtlStringCchPrintfW(name, ARRAYSIZE(name), KV_WIDE("%s%u"), BaseName, Index))) {
        return STATUS_INVALID_PARAMETER;
    }
    return AccessSettingBinary(DeviceObject, Mode, Buffer, ByteLength, name);
}
