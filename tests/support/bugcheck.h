// Death-test helper: the statement must stop the machine with the bug check `rule` and a message
// matching the regular expression `pattern`.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#define EXPECT_BUGCHECK(statement, rule, pattern) EXPECT_DEATH(statement, "BUGCHECK " rule ": .*" pattern)

namespace kvtest {

// A row of a table of verifier rules: the mistake must stop the machine with the rule and a
// message matching pattern.
struct DeathCase {
    const char* name;
    std::function<void()> mistake;
    const char* rule;
    const char* pattern;
};

// EXPECT_BUGCHECK pastes literals; a table row spells the expectation out at run time.
inline void ExpectStop(const DeathCase& c) {
    EXPECT_DEATH(c.mistake(), std::string("BUGCHECK ") + c.rule + ": .*" + c.pattern);
}

inline std::string DeathCaseName(const testing::TestParamInfo<DeathCase>& info) { return info.param.name; }

}  // namespace kvtest
