// The kernel's printf meanings, seen through the safe string functions that drivers call.
#include "support/bugcheck.h"

#include <gtest/gtest.h>
#include <win/kernel.h>

#include <string>

namespace {

std::string A(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtlStringCchVPrintfA(buffer, sizeof(buffer), format, args);
    va_end(args);
    EXPECT_EQ(status, STATUS_SUCCESS) << format;
    return buffer;
}

std::u16string W(const char16_t* format, ...) {
    char16_t buffer[256];
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtlStringCchVPrintfW(buffer, RTL_NUMBER_OF(buffer), format, args);
    va_end(args);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return buffer;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

WCHAR g_countedWide[] = u"counted-and-more";
CHAR g_countedNarrow[] = "ansi-and-more";
const UNICODE_STRING kWideCounted = {7 * sizeof(WCHAR), sizeof(g_countedWide), g_countedWide};
const ANSI_STRING kNarrowCounted = {4, sizeof(g_countedNarrow), g_countedNarrow};
const UNICODE_STRING kNullBuffer = {4, 4, nullptr};
const char kUnterminated[3] = {'x', 'y', 'z'};  // a precision must stop the read here

struct NarrowCase {
    const char* format;
    std::string got;
    const char* expected;
};

TEST(KernelFormat, NarrowFunctionsUseTheKernelMeanings) {
    const NarrowCase cases[] = {
        {"%s", A("%s", "abc"), "abc"},
        {"%S", A("%S", u"wide"), "wide"},
        {"%ws", A("%ws", u"wide"), "wide"},
        {"%ls", A("%ls", u"wide"), "wide"},
        {"%hs", A("%hs", "narrow"), "narrow"},
        {"%wZ", A("[%wZ]", &kWideCounted), "[counted]"},
        {"%Z", A("[%Z]", &kNarrowCounted), "[ansi]"},
        {"%wZ null", A("%wZ", static_cast<PUNICODE_STRING>(nullptr)), "(null)"},
        {"%wZ null buffer", A("%wZ", &kNullBuffer), "(null)"},
        {"%s null", A("%s", static_cast<const char*>(nullptr)), "(null)"},
        {"%ws null", A("%ws", static_cast<const char16_t*>(nullptr)), "(null)"},
        {"%c %C %wc %hc", A("%c %C %wc %hc", 'x', u'y', u'z', 'w'), "x y z w"},
        {"non-ASCII wide", A("%ws|%C", u"caf\u00e9 \u4e2d", u'\u00e9'), "caf? ?|?"},
        {"%p", A("%p", reinterpret_cast<void*>(0x1234abcdull)), "000000001234ABCD"},
        {"%p high", A("%p", reinterpret_cast<void*>(0xFFFFF80012345678ull)), "FFFFF80012345678"},
        {"%I64x", A("%I64x", 0x123456789abcdefull), "123456789abcdef"},
        {"%I64d", A("%I64d", -5ll), "-5"},
        {"%llu", A("%llu", 18446744073709551615ull), "18446744073709551615"},
        {"%Ix", A("%Ix", static_cast<size_t>(0x1122334455ull)), "1122334455"},
        {"%I32u", A("%I32u", 4000000000u), "4000000000"},
        {"%lx is 32-bit", A("%lx %ld", 0xFFFFFFFFu, -1), "ffffffff -1"},
        {"%hd %hhx", A("%hd %hhx", 70000, 0x1FF), "4464 ff"},
        {"%d %i %u", A("%d %i %u", -7, 42, 4294967295u), "-7 42 4294967295"},
        {"width", A("%5d|%-5d|", 42, 42), "   42|42   |"},
        {"flags", A("%05d %+d % d %#x %#o %X", 42, 5, 5, 255, 8, 0xab), "00042 +5  5 0xff 010 AB"},
        {"precision", A("%.3d %.3s %8.3s| %-6s|", 7, "abcdef", "abcdef", "ab"), "007 abc      abc| ab    |"},
        {"star", A("%*d|%-*d|%*d|%.*s", 4, 7, 3, 7, -3, 7, 2, "xyz"), "   7|7  |7  |xy"},
        {"unterminated with precision", A("%.3s", kUnterminated), "xyz"},
        {"%.3ws", A("%.3ws", u"wxyz"), "wxy"},
        {"zero-padded string", A("%05s", "ab"), "000ab"},
        {"floats", A("%.2f %e %g %5.1f", 3.14159, 1.5, 0.0001, 2.3), "3.14 1.500000e+00 0.0001   2.3"},
        {"%%", A("100%% %d%%", 5), "100% 5%"},
        {"unknown directive", A("%y|%", 1), "%y|%"},
    };
    for (const NarrowCase& c : cases) EXPECT_EQ(c.got, c.expected) << c.format;
}

struct WideCase {
    const char* format;
    std::u16string got;
    const char16_t* expected;
};

TEST(KernelFormat, WideFunctionsSwapTheNarrowAndWideDirectives) {
    const WideCase cases[] = {
        {"%s", W(u"%s", u"wide \u4e2d"), u"wide \u4e2d"},
        {"%S", W(u"%S", "narrow"), u"narrow"},
        {"%hs", W(u"%hs", "narrow"), u"narrow"},
        {"%ws %ls", W(u"%ws %ls", u"a", u"b"), u"a b"},
        {"%S widens bytes", W(u"%S", "caf\xe9"), u"caf\u00e9"},
        {"%c %C %hc %wc", W(u"%c %C %hc %wc", u'\u03a9', 'a', 'b', u'c'), u"\u03a9 a b c"},
        {"%wZ %Z", W(u"%wZ %Z", &kWideCounted, &kNarrowCounted), u"counted ansi"},
        {"%s null", W(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)"},
        {"%S null", W(u"%S", static_cast<const char*>(nullptr)), u"(null)"},
        {"%p", W(u"%p", reinterpret_cast<void*>(0xABCull)), u"0000000000000ABC"},
        {"%I64X", W(u"%I64X", 0xFEDCBA9876543210ull), u"FEDCBA9876543210"},
        {"width", W(u"%-4s|%4S|%03u", u"ab", "cd", 7u), u"ab  |  cd|007"},
        {"%02d (value names)", W(u"%s_%02d", u"LineInName", 1), u"LineInName_01"},
    };
    for (const WideCase& c : cases) EXPECT_EQ(c.got, std::u16string(c.expected)) << c.format;
}

// Each function writes a terminated prefix when cut, never past its size, and refuses a zero size.
struct Fit {
    const char* name;
    size_t size;  // characters (Cch) or bytes (Cb)
    NTSTATUS expected;
    const char* text;
};

void PrintTo(const Fit& fit, std::ostream* os) { *os << fit.name; }

class SafePrint : public testing::TestWithParam<Fit> {};

TEST_P(SafePrint, CutsToATerminatedPrefix) {
    const Fit& fit = GetParam();
    char narrow[16];
    char narrowBytes[16];  // the byte-counted narrow form: a byte is a character
    char16_t wide[16];
    std::memset(narrow, '#', sizeof(narrow));
    std::memset(narrowBytes, '#', sizeof(narrowBytes));
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(RtlStringCchPrintfA(narrow, fit.size, "%s%d", "abc", 12), fit.expected);
    EXPECT_EQ(RtlStringCbPrintfA(narrowBytes, fit.size, "%s%d", "abc", 12), fit.expected);
    EXPECT_EQ(RtlStringCchPrintfW(wide, fit.size, u"%S%d", "abc", 12), fit.expected);
    size_t written = fit.size == 0 ? 0 : std::strlen(fit.text) + 1;
    if (fit.expected != STATUS_INVALID_PARAMETER || fit.size != 0) {
        EXPECT_STREQ(narrow, fit.text);
        EXPECT_STREQ(narrowBytes, fit.text);
        EXPECT_EQ(Narrow(wide), fit.text);
    }
    for (size_t i = written; i < 16; ++i) {
        EXPECT_EQ(narrow[i], '#') << "narrow byte " << i;
        EXPECT_EQ(narrowBytes[i], '#') << "byte-counted narrow byte " << i;
        EXPECT_EQ(wide[i], u'#') << "wide unit " << i;
    }
}

const Fit kFits[] = {
    {"Roomy", 16, STATUS_SUCCESS, "abc12"},
    {"Exact", 6, STATUS_SUCCESS, "abc12"},
    {"OneShort", 5, STATUS_BUFFER_OVERFLOW, "abc1"},
    {"OnlyTheTerminator", 1, STATUS_BUFFER_OVERFLOW, ""},
    {"ZeroSize", 0, STATUS_INVALID_PARAMETER, ""},
};
INSTANTIATE_TEST_SUITE_P(Sizes, SafePrint, testing::ValuesIn(kFits), [](const auto& info) { return info.param.name; });

TEST(SafeStrings, ByteCountsOfWideFunctionsAreHalved) {
    char16_t wide[8];
    EXPECT_EQ(RtlStringCbPrintfW(wide, 8, u"%s", u"abc"), STATUS_SUCCESS);  // 4 characters
    EXPECT_EQ(RtlStringCbPrintfW(wide, 7, u"%s", u"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"ab");
    EXPECT_EQ(RtlStringCbPrintfW(wide, 1, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfA(reinterpret_cast<char*>(wide), static_cast<size_t>(NTSTRSAFE_MAX_CCH) + 1, "x"),
              STATUS_INVALID_PARAMETER);
}

TEST(SafeStrings, CopyCatAndLength) {
    char d[6];
    EXPECT_EQ(RtlStringCchCopyA(d, sizeof(d), "hello"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCopyA(d, sizeof(d), "hello!"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(d, "hello");
    EXPECT_EQ(RtlStringCchCopyA(d, sizeof(d), "ab"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatA(d, sizeof(d), "cd"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatA(d, sizeof(d), "ef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(d, "abcde");
    std::memcpy(d, "123456", 6);  // no terminator within the size
    EXPECT_EQ(RtlStringCchCatA(d, sizeof(d), "x"), STATUS_INVALID_PARAMETER);

    char16_t w[4];
    EXPECT_EQ(RtlStringCbCopyW(w, sizeof(w), u"xyz"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(w, sizeof(w), u"!"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(w), u"xyz");
    EXPECT_EQ(RtlStringCchCopyW(w, 0, u"a"), STATUS_INVALID_PARAMETER);

    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCchLengthA("abc", 3, &length), STATUS_INVALID_PARAMETER);  // no terminator in reach
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthA(nullptr, 8, &length), STATUS_INVALID_PARAMETER);
}

TEST(SafeStrings, UnicodeStringPrintfFillsTheCountedStringWithoutTerminator) {
    WCHAR buffer[6];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING s = {0, 4 * sizeof(WCHAR), buffer};
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%s%d", u"ab", 12), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(std::u16string(buffer, 4), u"ab12");
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%s", u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(std::u16string(buffer, 4), u"abcd");
    EXPECT_EQ(buffer[4], u'#');
}

TEST(KernelFormatDeathTest, WideTextInNarrowOutputAbovePassiveLevelStopsTheMachine) {
    EXPECT_BUGCHECK(
        {
            KeRaiseIrqlToDpcLevel();
            char buffer[16];
            RtlStringCchPrintfA(buffer, sizeof(buffer), "%ws", u"x");
        },
        "IRQL_NOT_LESS_OR_EQUAL", "'%s'");
}

}  // namespace
