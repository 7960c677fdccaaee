#include <sim/verifier.h>

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
    void* frames[48];
    int count = backtrace(frames, 48);
    backtrace_symbols_fd(frames, count, 2);
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim
