// The settings store: every persistent choice of the driver is a value under the subkey "Settings"
// of the device's driver key (the software key port-class opens for the device), optionally in a
// further subkey below it. AccessSetting reads or writes one value; its two wrappers serve the
// common REG_BINARY case.
//
// A read accepts any stored type and copies the stored bytes to the start of the caller's buffer,
// which holds the caller's default beforehand: a failed read (absent value, stored value longer
// than the buffer) leaves the buffer untouched, and a shorter stored value fills only its own
// bytes. Callers treat a failed read as absence. Runs at PASSIVE_LEVEL and takes no lock.
#pragma once

#include <win/kernel.h>

enum class SettingMode : ULONG {
    Read = 1,
    Write = 2,
};

// "help": the read buffer (paged).
constexpr ULONG SettingReadTag = 'pleh';
// Longest name AccessIndexedSetting builds, in characters (terminator not counted).
constexpr ULONG SettingIndexedNameMaxChars = 49;

// Mode Read or Write; SubkeyName null for "Settings" itself; ValueType REG_SZ, REG_BINARY or
// REG_DWORD (any other type: STATUS_UNSUCCESSFUL, nothing opened); ByteLength in bytes.
// Another mode, a null name, or a null buffer with a non-zero length: STATUS_INVALID_PARAMETER.
// A read answers STATUS_OBJECT_NAME_NOT_FOUND for an absent value, STATUS_UNSUCCESSFUL (or the
// query's STATUS_BUFFER_OVERFLOW) for a stored value longer than ByteLength.
NTSTATUS AccessSetting(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PCWSTR SubkeyName, PCWSTR ValueName,
                       ULONG ValueType, PVOID Buffer, ULONG ByteLength);

// AccessSetting without subkey and with REG_BINARY.
NTSTATUS AccessSettingBinary(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PVOID Buffer, ULONG ByteLength,
                             PCWSTR ValueName);

// The value named BaseName followed by Index in decimal ("%s%d"), as AccessSettingBinary. A name
// longer than SettingIndexedNameMaxChars is refused with STATUS_INVALID_PARAMETER rather than cut
// (a cut name would address another value).
NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT DeviceObject, SettingMode Mode, PVOID Buffer, ULONG ByteLength,
                              PCWSTR BaseName, ULONG Index);

// Value names under "Settings" with their sizes in bytes. Names built from a pattern carry the
// pattern's fixed part; the users append the rest.
namespace SettingName {
inline constexpr PCWSTR Settings = KV_WIDE("Settings");                        // the subkey of the driver key
inline constexpr PCWSTR IniVersion = KV_WIDE("IniVersion");                    // 4, default 0
inline constexpr PCWSTR ModuleName = KV_WIDE("ModuleName");                    // up to 100 (50 wide characters)
inline constexpr PCWSTR AsioDataBitDepth = KV_WIDE("ASIOMLDataBitDepth");      // 4, ASIO sample type
inline constexpr PCWSTR AsioDataLatency = KV_WIDE("ASIOMLDataLatency");        // 4, index of the latency choice
inline constexpr PCWSTR AsioSampleRate = KV_WIDE("ASIOMLSampleRate");          // 4, Hz
inline constexpr PCWSTR StreamBlock = KV_WIDE("StreamBlock");                  // 4, transfers in flight
inline constexpr PCWSTR UpdateMiniportDelay = KV_WIDE("UpdateMiniportDelay");  // 4, ms
inline constexpr PCWSTR SpdifOutName = KV_WIDE("SpdifOutName");                // 16, name GUID
inline constexpr PCWSTR SpdifInName = KV_WIDE("SpdifInName");                  // "%s_%02d" pin number; 16
inline constexpr PCWSTR LineInName = KV_WIDE("LineInName");                    // "%s_%02d" pin number; 16
inline constexpr PCWSTR DisableMicInAAUnit = KV_WIDE("DisableMicInAAUnit");    // 4 each, up to SupportSpdifOut
inline constexpr PCWSTR DisableLineInAAUnit = KV_WIDE("DisableLineInAAUnit");
inline constexpr PCWSTR DisableMicInRecUnit = KV_WIDE("DisableMicInRecUnit");
inline constexpr PCWSTR DisableLineInRecUnit = KV_WIDE("DisableLineInRecUnit");
inline constexpr PCWSTR DisableStereoMixRecUnit = KV_WIDE("DisableStereoMixRecUnit");
inline constexpr PCWSTR DisableLineInTerminal = KV_WIDE("DisableLineInTerminal");
inline constexpr PCWSTR DisableMicInTerminal = KV_WIDE("DisableMicInTerminal");
inline constexpr PCWSTR DisableSpdifInTerminal = KV_WIDE("DisableSpdifInTerminal");
inline constexpr PCWSTR SupportHPOut = KV_WIDE("SupportHPOut");
inline constexpr PCWSTR SupportSpdifOut = KV_WIDE("SupportSpdifOut");
inline constexpr PCWSTR Disable2ChOutSupported = KV_WIDE("Disable2ChOutSupported");  // 4 each
inline constexpr PCWSTR Disable4ChOutSupported = KV_WIDE("Disable4ChOutSupported");
inline constexpr PCWSTR Disable6ChOutSupported = KV_WIDE("Disable6ChOutSupported");
inline constexpr PCWSTR Disable8ChOutSupported = KV_WIDE("Disable8ChOutSupported");
inline constexpr PCWSTR NeedMuteLED = KV_WIDE("NeedMuteLED");            // 1
inline constexpr PCWSTR ReverseMuteLED = KV_WIDE("ReverseMuteLED");      // 1
inline constexpr PCWSTR SetJackConnect = KV_WIDE("SetJackConnect");      // 4
inline constexpr PCWSTR UACUnit = KV_WIDE("UACUnit");                    // "%s%02d" unit ID; 4
inline constexpr PCWSTR InitOtTypeBySel = KV_WIDE("INITOTTYPEBYSEL");    // 4
inline constexpr PCWSTR Unit = KV_WIDE("Unit");                          // control values, see the controls
}  // namespace SettingName

// Values under the device's hardware key.
namespace DeviceSettingName {
inline constexpr PCWSTR SelectiveSuspendEnabled = KV_WIDE("SelectiveSuspendEnabled");  // "Device Parameters", 4
inline constexpr PCWSTR FriendlyName = KV_WIDE("FriendlyName");                        // instance key, REG_SZ
inline constexpr PCWSTR Mfg = KV_WIDE("Mfg");                                          // instance key, REG_SZ
}  // namespace DeviceSettingName
