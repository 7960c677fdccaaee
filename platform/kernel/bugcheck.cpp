#include "symbols.h"

#include <sim/verifier.h>
#include <win/kernel.h>

#include <execinfo.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {

void BugCheck(const char* rule, const char* format, ...) {
    std::fflush(stdout);
    std::fprintf(stderr, "*** BUGCHECK %s: ", rule);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    void* frames[48];
    int count = backtrace(frames, 48);
    // Frame 0 is this function.
    std::vector<std::string> names = sim::ke::SymbolizeFrames(frames + 1, count - 1);
    for (size_t i = 0; i < names.size(); ++i) std::fprintf(stderr, "  #%-2zu %s\n", i, names[i].c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim
