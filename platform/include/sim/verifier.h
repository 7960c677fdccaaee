// The always-on verifier: a rule broken by the code under test stops the program the way a
// bug check stops a real machine, with the rule, the culprit and a stack.
#pragma once

#include <cstdint>

namespace sim {

// Stops the program: prints "*** BUGCHECK <rule>: <message>" and a stack, then aborts.
[[noreturn]] void BugCheck(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace sim
