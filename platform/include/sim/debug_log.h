// The machine's debug log: every complete line printed with DbgPrint, DbgPrintEx or KdPrint.
// Output without a line end waits per thread until its line is complete (or the thread ends).
// Capturing takes a short host lock and no simulated wait, so it works at any IRQL.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sim::debuglog {

// The lines captured so far, oldest first, without their line ends.
std::vector<std::string> Lines();
size_t LineCount();
// Lines that contain text.
size_t Count(std::string_view text);
bool Contains(std::string_view text);
// Forgets every captured line (partial lines of running threads stay pending).
void Clear();
// Copies every captured line to stderr as well (off by default; KV_DBGPRINT_ECHO=1 turns it on).
void SetEcho(bool on);
// The log keeps the newest lines up to this count and drops older ones.
constexpr size_t kMaxLines = 100000;
// Lines dropped because the log was full.
size_t DroppedCount();

}  // namespace sim::debuglog
