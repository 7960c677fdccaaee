// DbgPrint and the machine's debug log.
#include "kernel_format.h"

#include <sim/debug_log.h>
#include <win/kernel.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace sim::debuglog {
namespace {

struct Log {
    std::mutex lock;
    std::deque<std::string> lines;
    size_t dropped = 0;
    std::atomic<bool> echo{false};
    Log() {
        const char* env = std::getenv("KV_DBGPRINT_ECHO");
        echo = env != nullptr && env[0] == '1';
    }
};

Log& TheLog() {
    static Log* log = new Log();  // lives as long as the process; threads may print after main returns
    return *log;
}

void Append(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Log& log = TheLog();
    if (log.echo) std::fprintf(stderr, "%s\n", line.c_str());
    std::lock_guard<std::mutex> guard(log.lock);
    if (log.lines.size() == kMaxLines) {
        log.lines.pop_front();
        ++log.dropped;
    }
    log.lines.push_back(std::move(line));
}

// Text of the calling thread that has no line end yet; completed when the thread ends.
struct PendingLine {
    std::string text;
    ~PendingLine() {
        if (!text.empty()) Append(std::move(text));
    }
};
thread_local PendingLine t_pending;

void Print(const std::string& text) {
    std::string& pending = t_pending.text;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        pending.append(text, start, end - start);
        Append(std::move(pending));
        pending.clear();
        start = end + 1;
    }
    pending.append(text, start, std::string::npos);
}

}  // namespace

std::vector<std::string> Lines() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    return std::vector<std::string>(log.lines.begin(), log.lines.end());
}

size_t LineCount() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    return log.lines.size();
}

size_t Count(std::string_view text) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    return static_cast<size_t>(std::count_if(log.lines.begin(), log.lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

bool Contains(std::string_view text) { return Count(text) > 0; }

void Clear() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.lines.clear();
    log.dropped = 0;
}

void SetEcho(bool on) { TheLog().echo = on; }

size_t DroppedCount() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    return log.dropped;
}

}  // namespace sim::debuglog

KV_EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    sim::debuglog::Print(sim::kfmt::FormatNarrowToString(Format, arglist));
    return STATUS_SUCCESS;
}

KV_EXTERN_C ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, args);
    va_end(args);
    return status;
}

KV_EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(ComponentId, Level, Format, args);
    va_end(args);
    return status;
}
