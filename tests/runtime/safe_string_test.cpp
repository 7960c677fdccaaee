// The driver's own safe string functions, over the simulated kernel's bounded printf.
#include "driver/runtime/SafeString.h"

#include <gtest/gtest.h>

#include <string>

namespace {

NTSTATUS PrintA(char* dest, size_t cch, const char* format, ...) {
    va_list args;
    va_start(args, format);
    NTSTATUS status = safestr::CchVPrintfA(dest, cch, format, args);
    va_end(args);
    return status;
}

NTSTATUS PrintW(WCHAR* dest, size_t cch, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    NTSTATUS status = safestr::CchVPrintfW(dest, cch, format, args);
    va_end(args);
    return status;
}

TEST(SafeString, PrintfFitsCutsOrRefuses) {
    struct Case {
        size_t cch;
        NTSTATUS status;
        const char* text;
    };
    // "%sOut%02d" with "Spk", 7 is "SpkOut07", eight characters.
    const Case cases[] = {
        {32, STATUS_SUCCESS, "SpkOut07"}, {9, STATUS_SUCCESS, "SpkOut07"}, {8, STATUS_BUFFER_OVERFLOW, "SpkOut0"},
        {4, STATUS_BUFFER_OVERFLOW, "Spk"},  {1, STATUS_BUFFER_OVERFLOW, ""},
    };
    for (const Case& c : cases) {
        char narrow[32];
        std::memset(narrow, 'x', sizeof narrow);
        EXPECT_EQ(PrintA(narrow, c.cch, "%sOut%02d", "Spk", 7), c.status) << c.cch;
        EXPECT_STREQ(narrow, c.text) << c.cch;

        WCHAR wide[32];
        std::memset(wide, 0x55, sizeof wide);
        EXPECT_EQ(PrintW(wide, c.cch, u"%sOut%02d", u"Spk", 7), c.status) << c.cch;
        std::u16string expected(c.text, c.text + std::strlen(c.text));
        EXPECT_EQ(std::u16string(wide), expected) << c.cch;
    }
    char narrow[4] = "abc";
    EXPECT_EQ(PrintA(narrow, 0, "%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(narrow, "abc");
    EXPECT_EQ(PrintA(nullptr, 4, "%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PrintA(narrow, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(narrow, "");
    EXPECT_EQ(PrintA(narrow, size_t{NTSTRSAFE_MAX_CCH} + 1, "%d", 1), STATUS_INVALID_PARAMETER);
}

TEST(SafeString, LengthIsBoundedByTheCount) {
    const WCHAR text[] = u"Speakers";
    size_t length = 99;
    EXPECT_EQ(safestr::CchLengthW(text, 9, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(safestr::CchLengthW(text, 8, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(safestr::CchLengthW(nullptr, 8, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(safestr::CchLengthW(text, 0, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
