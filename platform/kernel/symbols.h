// Names of code addresses for verifier reports and thread names: the demangled symbol that the
// dynamic linker finds for an address.
#pragma once

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace sim::ke
