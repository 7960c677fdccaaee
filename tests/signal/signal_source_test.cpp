// The signal library and the headphone sources build with the target's x64 kernel compiler, which
// has no inline assembly: processor state (MXCSR) goes through intrinsics. This walks the sources
// and names every file that still carries an inline-assembly statement.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The source tree's root comes from the build, not from __FILE__, which a compiler cache may rewrite
// as a path relative to the build directory.
fs::path SourceRoot() { return fs::path(KV_SOURCE_DIR); }

bool IdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// The identifier that starts at `at`, or "" when `at` is inside one.
std::string IdentifierAt(const std::string& text, size_t at) {
    if (at > 0 && IdentifierChar(text[at - 1])) return {};
    size_t end = at;
    while (end < text.size() && IdentifierChar(text[end])) ++end;
    return text.substr(at, end - at);
}

size_t SkipSpace(const std::string& text, size_t at) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) ++at;
    return at;
}

// asm, __asm or __asm__, optionally volatile, followed by ( or {.
bool HasInlineAssembly(const std::string& text) {
    for (size_t at = text.find("asm"); at != std::string::npos; at = text.find("asm", at + 1)) {
        const size_t start = (at >= 2 && text.compare(at - 2, 2, "__") == 0) ? at - 2 : at;
        const std::string word = IdentifierAt(text, start);
        if (word != "asm" && word != "__asm" && word != "__asm__") continue;
        size_t next = SkipSpace(text, start + word.size());
        const std::string qualifier = IdentifierAt(text, next);
        if (qualifier == "volatile" || qualifier == "__volatile__") next = SkipSpace(text, next + qualifier.size());
        if (next < text.size() && (text[next] == '(' || text[next] == '{')) return true;
    }
    return false;
}

TEST(SignalSources, CarryNoInlineAssembly) {
    EXPECT_TRUE(HasInlineAssembly("x; __asm__ volatile(\"stmxcsr %0\" : \"=m\"(v));"));
    EXPECT_TRUE(HasInlineAssembly("__asm { nop }"));
    EXPECT_FALSE(HasInlineAssembly("// no inline asm here; plasma(1); asmFlag = 1;"));

    std::vector<std::string> offenders;
    size_t files = 0;
    for (const char* folder : {"driver/signal", "globaltopo"}) {
        const fs::path dir = SourceRoot() / folder;
        ASSERT_TRUE(fs::is_directory(dir)) << dir;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            std::ifstream file(entry.path());
            std::stringstream text;
            text << file.rdbuf();
            ++files;
            if (HasInlineAssembly(text.str())) offenders.push_back(entry.path().lexically_relative(SourceRoot()));
        }
    }
    EXPECT_GT(files, 50u);
    EXPECT_TRUE(offenders.empty()) << ::testing::PrintToString(offenders);
}

}  // namespace
