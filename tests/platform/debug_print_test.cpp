// DbgPrint lands in the machine's debug log line by line.
#include "support/bugcheck.h"

#include <gtest/gtest.h>
#include <sim/debug_log.h>
#include <win/kernel.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class DebugPrint : public testing::Test {
protected:
    void SetUp() override { sim::debuglog::Clear(); }
};

TEST_F(DebugPrint, CapturesCompleteFormattedLines) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Speakers");
    DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", 2);
    DbgPrint("partial ");
    EXPECT_EQ(sim::debuglog::LineCount(), 1u);  // a line without its end waits
    DbgPrint("%ws_%02d ch|", u"Out", 3);
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_TRACE_LEVEL, "%wZ\r\n", &name);
    KdPrint(("two\nlines\n"));
    const std::vector<std::string> expected = {
        "Error_ErrorOccur, m_StreamState = 2", "partial Out_03 ch|Speakers", "two", "lines"};
    EXPECT_EQ(sim::debuglog::Lines(), expected);
    EXPECT_TRUE(sim::debuglog::Contains("Out_03"));
    EXPECT_EQ(sim::debuglog::Count("l"), 2u);
}

TEST_F(DebugPrint, LinesOfConcurrentThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                DbgPrint("thread %d ", t);
                DbgPrint("line %d", i);
                DbgPrint(" end\n");
            }
            DbgPrint("last words of %d", t);  // completed when the thread ends
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<std::string> lines = sim::debuglog::Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * (kLines + 1)));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = -1;
        int i = -1;
        if (std::sscanf(line.c_str(), "last words of %d", &t) == 1) {
            EXPECT_EQ(next[t], kLines) << line;
            continue;
        }
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d end", &t, &i), 2) << line;
        EXPECT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(i) + " end");
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(DebugPrint, LongLinesAreKeptWhole) {
    std::string text(3000, 'x');
    DbgPrint("%s|%d\n", text.c_str(), 7);
    ASSERT_EQ(sim::debuglog::LineCount(), 1u);
    EXPECT_EQ(sim::debuglog::Lines()[0], text + "|7");
}

TEST(DebugPrintDeathTest, WideTextAtDispatchLevelStopsTheMachine) {
    EXPECT_BUGCHECK(
        {
            KeRaiseIrqlToDpcLevel();
            DbgPrint("%wZ\n", static_cast<PUNICODE_STRING>(nullptr));
        },
        "IRQL_NOT_LESS_OR_EQUAL", "'%Z'");
}

}  // namespace
