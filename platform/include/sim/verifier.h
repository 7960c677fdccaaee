// The always-on verifier: a rule broken by the code under test stops the program the way a
// bug check stops a real machine, with the rule, the culprit and a stack.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Stops the program: prints "*** BUGCHECK <rule>: <message>" and a stack, then aborts.
[[noreturn]] void BugCheck(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// For a test harness at the end of a test: when the calling thread is above PASSIVE_LEVEL,
// describes what it left ("IRQL 2, holding spin lock 0x...") and returns it to PASSIVE_LEVEL
// holding no lock, so the next test starts clean; "" when it is at PASSIVE_LEVEL already.
std::string ReturnToPassiveLevel();

}  // namespace sim
