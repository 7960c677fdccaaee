#include "driver/engine/controls/ControlPersistence.h"

#include "driver/engine/base/Settings.h"

NTSTATUS FormatChannelValuePrefix(ULONG ControlId, ULONG TerminalType, PWSTR Buffer, size_t BufferChars) {
    if (Buffer == nullptr || BufferChars == 0) return STATUS_INVALID_PARAMETER;
    return RtlStringCchPrintfW(Buffer, BufferChars, KV_WIDE("%s%02u_%2u_"), SettingName::Unit, ControlId, TerminalType);
}

NTSTATUS FormatControlValueName(ULONG ControlId, PWSTR Buffer, size_t BufferChars) {
    if (Buffer == nullptr || BufferChars == 0) return STATUS_INVALID_PARAMETER;
    return RtlStringCchPrintfW(Buffer, BufferChars, KV_WIDE("%s%02u_"), SettingName::Unit, ControlId);
}

namespace {

NTSTATUS AccessChannelValue(PDEVICE_OBJECT SettingsDevice, SettingMode Mode, ULONG ControlId, ULONG TerminalType,
                            ULONG Channel, PVOID Buffer, ULONG ByteLength) {
    PAGED_CODE();
    WCHAR prefix[ChannelValuePrefixChars];
    NTSTATUS status = FormatChannelValuePrefix(ControlId, TerminalType, prefix, ARRAYSIZE(prefix));
    if (!NT_SUCCESS(status)) return status;
    return AccessIndexedSetting(SettingsDevice, Mode, Buffer, ByteLength, prefix, Channel);
}

NTSTATUS AccessControlValue(PDEVICE_OBJECT SettingsDevice, SettingMode Mode, ULONG ControlId, PVOID Buffer,
                            ULONG ByteLength) {
    PAGED_CODE();
    WCHAR name[ControlValueNameChars];
    NTSTATUS status = FormatControlValueName(ControlId, name, ARRAYSIZE(name));
    if (!NT_SUCCESS(status)) return status;
    return AccessSettingBinary(SettingsDevice, Mode, Buffer, ByteLength, name);
}

}  // namespace

NTSTATUS ReadChannelValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, ULONG TerminalType, ULONG Channel,
                          PVOID Buffer, ULONG ByteLength) {
    return AccessChannelValue(SettingsDevice, SettingMode::Read, ControlId, TerminalType, Channel, Buffer, ByteLength);
}

NTSTATUS WriteChannelValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, ULONG TerminalType, ULONG Channel,
                           const void* Buffer, ULONG ByteLength) {
    // The write only reads the buffer.
    return AccessChannelValue(SettingsDevice, SettingMode::Write, ControlId, TerminalType, Channel,
                              const_cast<PVOID>(Buffer), ByteLength);
}

NTSTATUS ReadControlValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, PVOID Buffer, ULONG ByteLength) {
    return AccessControlValue(SettingsDevice, SettingMode::Read, ControlId, Buffer, ByteLength);
}

NTSTATUS WriteControlValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, const void* Buffer, ULONG ByteLength) {
    return AccessControlValue(SettingsDevice, SettingMode::Write, ControlId, const_cast<PVOID>(Buffer), ByteLength);
}

void SendControlChange(PCALLBACK_OBJECT CallbackObject, ULONG ControlId) {
    if (CallbackObject == nullptr) return;
    ControlChangeRecord record = {
        .Kind = ControlChangeValue,
        .Count = 1,
        .ControlId = ControlId,
        .Reserved1 = 0,
        .Reserved2 = 0,
    };
    ExNotifyCallback(CallbackObject, &record, nullptr);
}
