// Text helpers of kvsim: NTSTATUS names, UTF-16 to UTF-8, registry texts.
#pragma once

#include <win/ntdef.h>

#include <string>
#include <string_view>

namespace kvsim {

// "STATUS_NOT_IMPLEMENTED (0xC0000002)"; the value alone for a status without a known name.
std::string StatusText(NTSTATUS status);
std::string Utf8(std::u16string_view text);
// A REG_SZ value's text without its terminator; empty when absent.
std::u16string RegistryText(std::u16string_view key, std::u16string_view name, bool* present);
std::string GuidText(const GUID& guid);

}  // namespace kvsim
