// How control values survive restarts and how control changes reach the topology miniport.
//
// Values live under the driver key's "Settings" subkey (REG_BINARY, little-endian) under names
// built from the control's id, which is its position in the HAL's node list at creation:
//   channel values   "Unit%02u_%2u_" (control id, terminal type) followed by the channel number,
//                    e.g. control 9, terminal type 1, channel 0: "Unit09_ 1_0";
//   control values   "Unit%02u_" (control id), e.g. "Unit09_".
// The names are a contract with every installation's stored settings: changing how controls are
// numbered or how the names are built loses the users' values.
//
// A control change goes to the HAL's callback object "\Callback\AudioHalAddr%p" as a
// ControlChangeRecord passed by address in the first argument.
#pragma once

#include <win/kernel.h>

#include <cstddef>

// Characters of a channel value prefix, terminator included.
constexpr ULONG ChannelValuePrefixChars = 19;
// Characters of a control value name, terminator included.
constexpr ULONG ControlValueNameChars = 19;

// Control ids and terminal types too large for the buffer answer STATUS_BUFFER_OVERFLOW: a name
// cut short would address another control's value.
NTSTATUS FormatChannelValuePrefix(ULONG ControlId, ULONG TerminalType, PWSTR Buffer, size_t BufferChars);
NTSTATUS FormatControlValueName(ULONG ControlId, PWSTR Buffer, size_t BufferChars);

// A read copies the stored bytes only when the value exists and is not longer than ByteLength;
// otherwise the buffer keeps the caller's default. The controls treat every failure as "nothing
// stored" and ignore failed writes.
NTSTATUS ReadChannelValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, ULONG TerminalType, ULONG Channel,
                          PVOID Buffer, ULONG ByteLength);
NTSTATUS WriteChannelValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, ULONG TerminalType, ULONG Channel,
                           const void* Buffer, ULONG ByteLength);
NTSTATUS ReadControlValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, PVOID Buffer, ULONG ByteLength);
NTSTATUS WriteControlValue(PDEVICE_OBJECT SettingsDevice, ULONG ControlId, const void* Buffer, ULONG ByteLength);

// ControlChangeRecord::Kind: a control's value changed.
constexpr ULONG ControlChangeValue = 1;

struct ControlChangeRecord {
    ULONG Kind;        // ControlChangeValue
    ULONG Count;       // 1
    ULONG ControlId;   // AudioNode::GetId of the control
    ULONG Reserved1;   // 0
    ULONGLONG Reserved2;  // 0
};
static_assert(sizeof(ControlChangeRecord) == 24);
static_assert(offsetof(ControlChangeRecord, Kind) == 0 && offsetof(ControlChangeRecord, Count) == 4 &&
              offsetof(ControlChangeRecord, ControlId) == 8 && offsetof(ControlChangeRecord, Reserved2) == 16);

// Notifies CallbackObject (synchronously, in the caller's thread) that ControlId's value changed.
// A null CallbackObject sends nothing.
void SendControlChange(PCALLBACK_OBJECT CallbackObject, ULONG ControlId);
