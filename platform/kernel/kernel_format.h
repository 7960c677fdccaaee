// The printf engine of the kernel's runtime (DbgPrint, RtlStringCchPrintf*, RtlUnicodeStringPrintf),
// shared with the user-mode runtime. Directives have the Windows meanings:
//   - %s and %c take the format's own width, %S and %C the other one; %hs/%hc are narrow and
//     %ls/%lc/%ws/%wc wide in both; %Z prints an ANSI_STRING*, %wZ a UNICODE_STRING*;
//   - size prefixes: hh, h, l (32-bit), w (32-bit on integers), ll, I64, L (64-bit), I32, I, z, j, t
//     (pointer-sized); %p prints 16 upper-case hex digits without a prefix;
//   - flags - + space # 0, width and precision (also *), %d %i %u %o %x %X %e %E %f %F %g %G %a %A;
//   - a null string or counted string prints "(null)"; a '0' flag pads strings with zeros;
//   - %n writes nothing (its argument is skipped); an unknown directive is printed as written.
// Narrow output of wide text keeps code units below 0x80 and writes '?' for the others; wide
// output of narrow text widens each byte to the code unit of the same value. Converting wide text
// to narrow output is only allowed at PASSIVE_LEVEL (the conversion is pageable code on Windows):
// above it the machine bug checks.
#pragma once

#include <win/ntdef.h>

#include <cstdarg>
#include <cstddef>
#include <string>

namespace sim::kfmt {

// Formats into out (capacity code units, terminator included). The output is cut to capacity - 1
// code units and always terminated when capacity > 0. Returns the length of the whole output
// (terminator excluded), so a result >= capacity means the output was cut.
size_t FormatNarrow(char* out, size_t capacity, const char* format, va_list args);
size_t FormatWide(char16_t* out, size_t capacity, const char16_t* format, va_list args);

// Formats the whole output into a string.
std::string FormatNarrowToString(const char* format, va_list args);

}  // namespace sim::kfmt
