// Death-test helper: the statement must stop the machine with the bug check `rule` and a message
// matching the regular expression `pattern`.
#pragma once

#include <gtest/gtest.h>

#define EXPECT_BUGCHECK(statement, rule, pattern) EXPECT_DEATH(statement, "BUGCHECK " rule ": .*" pattern)
