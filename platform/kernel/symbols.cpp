// Symbolisation through addr2line: the frames of one module are looked up in one run.
#include "symbols.h"

#include <map>

namespace sim::ke {
namespace {

struct Lookup {
    size_t index;            // position in the caller's list
    unsigned long offset;    // from the module's load base
};

std::string ModuleOffset(const char* module, unsigned long offset) {
    char text[600];
    std::snprintf(text, sizeof text, "%s+%#lx", module, offset);
    return text;
}

std::string ReadLine(FILE* pipe) {
    char buffer[2048];
    if (std::fgets(buffer, sizeof buffer, pipe) == nullptr) return {};
    std::string line = buffer;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

// Fills names[lookup.index] with "function at file:line" for each lookup that addr2line knows.
void RunAddr2line(const std::string& module, const std::vector<Lookup>& lookups, std::vector<std::string>& names) {
    std::string command = "addr2line -f -C -e '" + module + "'";
    for (const Lookup& lookup : lookups) {
        char text[32];
        std::snprintf(text, sizeof text, " %#lx", lookup.offset);
        command += text;
    }
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return;
    for (const Lookup& lookup : lookups) {
        std::string function = ReadLine(pipe);
        std::string line = ReadLine(pipe);
        if (function.empty() || function == "??") continue;
        names[lookup.index] = line.empty() || line.rfind("??", 0) == 0 ? function : function + " at " + line;
    }
    pclose(pipe);
}

// Code addresses to names; bias is subtracted from each address before the lookup (1 for
// return addresses, so the call instruction is found, not the one after it).
std::vector<std::string> Symbolize(const void* const* addresses, int count, unsigned long bias) {
    std::vector<std::string> names(static_cast<size_t>(count));
    std::vector<std::string> where(static_cast<size_t>(count));     // module+offset
    std::vector<std::string> fallback(static_cast<size_t>(count));  // without addr2line
    std::map<std::string, std::vector<Lookup>> byModule;
    for (int i = 0; i < count; ++i) {
        Dl_info info{};
        if (dladdr(addresses[i], &info) == 0 || info.dli_fname == nullptr) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", addresses[i]);
            fallback[i] = text;
            continue;
        }
        auto offset = static_cast<unsigned long>(static_cast<const char*>(addresses[i]) -
                                                 static_cast<const char*>(info.dli_fbase) - bias);
        where[i] = ModuleOffset(info.dli_fname, offset);
        fallback[i] = info.dli_sname != nullptr ? Demangle(info.dli_sname) + " (" + where[i] + ")" : where[i];
        byModule[info.dli_fname].push_back(Lookup{static_cast<size_t>(i), offset});
    }
    for (auto& [module, lookups] : byModule) RunAddr2line(module, lookups, names);
    for (size_t i = 0; i < names.size(); ++i) {
        names[i] = names[i].empty() ? fallback[i] : names[i] + " (" + where[i] + ")";
    }
    return names;
}

}  // namespace

std::vector<std::string> SymbolizeFrames(void* const* frames, int count) {
    return Symbolize(const_cast<const void* const*>(frames), count, 1);
}

std::string RoutineName(const void* routine) {
    if (routine == nullptr) return "(null routine)";
    std::vector<std::string> names = Symbolize(&routine, 1, 0);
    // The module and offset add nothing to a routine that has a name.
    std::string& name = names[0];
    size_t module = name.rfind(" (");
    if (module != std::string::npos && module != 0 && name.back() == ')') name.erase(module);
    return name;
}

}  // namespace sim::ke
