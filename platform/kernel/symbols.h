// Names of code addresses for verifier reports and thread names: the demangled symbol that the
// dynamic linker finds for an address, and function with file:line from the modules' symbol
// tables and debug information (through addr2line) for culprits and bug-check stacks.
#pragma once

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sim::ke {

// The readable form of a mangled symbol; a C name comes back as it is.
inline std::string Demangle(const char* symbol) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : symbol;
    std::free(demangled);
    return name;
}

// The function at address, or the address in hex when no exported symbol covers it.
inline std::string SymbolName(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) return Demangle(info.dli_sname);
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

// One line per frame of a backtrace (return addresses, so the call before each is looked up):
// "function at file:line (module+0xoffset)", or "module+0xoffset" where nothing is known.
// One addr2line run per module, however many frames lie in it.
std::vector<std::string> SymbolizeFrames(void* const* frames, int count);

// The routine at a code address, as a report names a culprit: "function at file:line", or the
// exported symbol or the address when the module carries no symbols.
std::string RoutineName(const void* routine);

}  // namespace sim::ke
