#include <win/kernel.h>

#include <cstdarg>
#include <cstdio>

KV_EXTERN_C ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}
