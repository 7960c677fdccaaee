// Counted strings, conversions and the operating-system version.
#include <gtest/gtest.h>
#include <sim/os.h>
#include <sim/pool.h>
#include <win/kernel.h>

#include <string>

namespace {

constexpr ULONG kStringTag = 'grtS';

std::string Show(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

UNICODE_STRING U(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

struct Comparison {
    const char16_t* a;
    const char16_t* b;
    bool equalIgnoringCase;
    int orderIgnoringCase;  // sign of RtlCompareUnicodeString(a, b, TRUE)
};

TEST(CountedStrings, EqualityAndOrderIgnoreCaseOnlyWhenAsked) {
    const Comparison cases[] = {
        {u"Settings", u"SETTINGS", true, 0},
        {u"settings", u"Settings", true, 0},
        {u"\u00e4\u00f6\u00fe", u"\u00c4\u00d6\u00de", true, 0},  // Latin-1
        {u"\u0436\u0451", u"\u0416\u0401", true, 0},              // Cyrillic
        {u"abc", u"abd", false, -1},
        {u"abc", u"ABCD", false, -1},
        {u"b", u"A", false, 1},
        {u"", u"", true, 0},
    };
    for (const Comparison& c : cases) {
        UNICODE_STRING a = U(c.a);
        UNICODE_STRING b = U(c.b);
        bool same = std::u16string(c.a) == std::u16string(c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, TRUE), c.equalIgnoringCase ? TRUE : FALSE) << Show(c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, FALSE), same ? TRUE : FALSE) << Show(c.b);
        LONG order = RtlCompareUnicodeString(&a, &b, TRUE);
        EXPECT_EQ((order > 0) - (order < 0), c.orderIgnoringCase) << Show(c.b);
    }
}

TEST(CountedStrings, CopyAndAppendStayWithinMaximumLength) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING d = {0, 6 * sizeof(WCHAR), buffer};
    UNICODE_STRING src = U(u"abcdefgh");
    RtlCopyUnicodeString(&d, &src);
    EXPECT_EQ(d.Length, 6 * sizeof(WCHAR));
    EXPECT_EQ(buffer[6], u'#');  // no room for a terminator: none written

    UNICODE_STRING ab = U(u"ab");
    RtlCopyUnicodeString(&d, &ab);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"cd"), STATUS_SUCCESS);
    UNICODE_STRING ef = U(u"ef");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &ef), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer, d.Length / 2), u"abcdef");
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"g"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(d.Length, 6 * sizeof(WCHAR));
    EXPECT_EQ(buffer[6], u'#');
}

TEST(CountedStrings, UnicodeToAnsiInBothAllocationModes) {
    UNICODE_STRING src = U(u"Caf\u00e9!");

    ANSI_STRING allocated{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&allocated, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(allocated.Buffer), "Caf?!");
    EXPECT_EQ(allocated.Length, 5);
    EXPECT_EQ(allocated.MaximumLength, 6);
    sim::pool::BlockInfo info;
    ASSERT_TRUE(sim::pool::QueryBlock(allocated.Buffer, &info));
    EXPECT_EQ(info.type, PagedPool);
    EXPECT_EQ(info.tag, kStringTag);
    RtlFreeAnsiString(&allocated);
    EXPECT_EQ(allocated.Buffer, nullptr);

    struct Case {
        USHORT maximumLength;
        NTSTATUS expected;
        const char* text;
    };
    const Case cases[] = {
        {8, STATUS_SUCCESS, "Caf?!"},
        {6, STATUS_SUCCESS, "Caf?!"},
        {5, STATUS_BUFFER_OVERFLOW, "Caf?"},  // no room for the terminator: cut
        {1, STATUS_BUFFER_OVERFLOW, ""},
    };
    for (const Case& c : cases) {
        char buffer[9] = "########";
        ANSI_STRING d = {0, c.maximumLength, buffer};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&d, &src, FALSE), c.expected) << c.maximumLength;
        EXPECT_EQ(std::string(buffer), c.text) << c.maximumLength;
        EXPECT_EQ(d.Length, std::strlen(c.text));
        EXPECT_EQ(buffer[c.maximumLength], c.maximumLength < 8 ? '#' : '\0');
    }
}

TEST(CountedStrings, AnsiToUnicodeInBothAllocationModes) {
    ANSI_STRING src;
    RtlInitAnsiString(&src, "Hw\xe9");

    UNICODE_STRING allocated{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&allocated, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(allocated.Buffer), u"Hw\u00e9");
    EXPECT_EQ(allocated.Length, 6);
    RtlFreeUnicodeString(&allocated);

    WCHAR buffer[4] = {u'#', u'#', u'#', u'#'};
    UNICODE_STRING exact = {0, 4 * sizeof(WCHAR), buffer};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&exact, &src, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Hw\u00e9");

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING small = {0, 3 * sizeof(WCHAR), buffer};  // no room for the terminator
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&small, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(small.Length, 0);
}

TEST(CountedStrings, FailedAllocationLeavesTheDestinationAlone) {
    UNICODE_STRING src = U(u"abc");
    ANSI_STRING d = {7, 9, nullptr};
    sim::pool::FailNthAllocation(1, kStringTag);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&d, &src, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(d.Buffer, nullptr);
    EXPECT_EQ(d.Length, 7);
}

TEST(CountedStrings, InitCountsWithoutTheTerminator) {
    UNICODE_STRING u = U(u"abc");
    EXPECT_EQ(u.Length, 6);
    EXPECT_EQ(u.MaximumLength, 8);
    UNICODE_STRING none = U(nullptr);
    EXPECT_EQ(none.Length, 0);
    EXPECT_EQ(none.MaximumLength, 0);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "abcd");
    EXPECT_EQ(a.Length, 4);
    EXPECT_EQ(a.MaximumLength, 5);
}

TEST(CountedStrings, IntegersAndGuids) {
    struct Parse {
        const char16_t* text;
        ULONG base;
        ULONG value;
    };
    const Parse parses[] = {
        {u"  42", 10, 42}, {u"-1", 10, 0xFFFFFFFFu}, {u"0x1F", 0, 31},   {u"1F", 16, 31},
        {u"0b101", 0, 5},  {u"777", 8, 511},         {u"12ab", 10, 12},  {u"", 10, 0},
    };
    for (const Parse& p : parses) {
        UNICODE_STRING s = U(p.text);
        ULONG value = 12345;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, p.base, &value), STATUS_SUCCESS) << p.base;
        EXPECT_EQ(value, p.value) << p.base;
    }
    UNICODE_STRING s = U(u"1");
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &value), STATUS_INVALID_PARAMETER);

    WCHAR digits[4];
    UNICODE_STRING out = {0, sizeof(digits), digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(digits), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &out), STATUS_BUFFER_OVERFLOW);

    const GUID guid = {0x1B4400F0, 0x9627, 0x4EE7, {0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE}};
    UNICODE_STRING text{};
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"{1B4400F0-9627-4EE7-A593-B37C034EF0DE}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, guid));
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad = U(u"{1B4400F0-9627-4EE7-A593-B37C034EF0DX}");
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

TEST(CountedStrings, WcsuprUpcasesInPlace) {
    WCHAR id[] = u"usb\\vid_1e7d&pid_3750\u00e9";
    EXPECT_EQ(_wcsupr(id), id);
    EXPECT_EQ(std::u16string(id), u"USB\\VID_1E7D&PID_3750\u00c9");
}

TEST(CountedStrings, CompareMemoryCountsEqualLeadingBytes) {
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_FALSE(RtlEqualMemory(a, b, 4));
}

// The memory macros take (destination, source or length, ...) in the kernel's order, not the C
// library's: a swapped length and fill byte, or a copy where a move is needed, shows here.
TEST(CountedStrings, MemoryHelpersFollowTheKernelArgumentOrder) {
    struct Case {
        const char* name;
        void (*apply)(char* buffer);
        const char* expected;
    };
    const Case cases[] = {
        {"fill", [](char* b) { RtlFillMemory(b + 1, 3, 'x'); }, "0xxx456789"},
        {"zero", [](char* b) { RtlZeroMemory(b + 8, 2); }, "01234567\\0\\0"},
        {"copy", [](char* b) { RtlCopyMemory(b, b + 6, 4); }, "6789456789"},
        {"move up, overlapping", [](char* b) { RtlMoveMemory(b + 2, b, 6); }, "0101234589"},
        {"move down, overlapping", [](char* b) { RtlMoveMemory(b, b + 2, 6); }, "2345676789"},
    };
    for (const Case& c : cases) {
        char buffer[11] = "0123456789";
        c.apply(buffer);
        std::string shown;
        for (int i = 0; i < 10; ++i) shown += buffer[i] == 0 ? std::string("\\0") : std::string(1, buffer[i]);
        EXPECT_EQ(shown, c.expected) << c.name;
    }
}

TEST(OsVersion, NtddiAvailabilityFollowsTheSetVersion) {
    struct Case {
        ULONG machine;
        ULONG asked;
        BOOLEAN available;
    };
    const Case cases[] = {
        {NTDDI_WIN10, NTDDI_WINXP, TRUE},   {NTDDI_WIN10, NTDDI_VISTA, TRUE},  {NTDDI_WIN10, NTDDI_WIN10, TRUE},
        {NTDDI_WIN10, 0x0A000001, FALSE},   {NTDDI_WINXP, NTDDI_VISTA, FALSE}, {NTDDI_WINXP, NTDDI_WINXP, TRUE},
        {NTDDI_WINXPSP2, NTDDI_WINXP, TRUE},
    };
    for (const Case& c : cases) {
        sim::os::ScopedVersion version(c.machine);
        EXPECT_EQ(RtlIsNtDdiVersionAvailable(c.asked), c.available) << std::hex << c.machine << " " << c.asked;
    }
    EXPECT_EQ(sim::os::Current().ntddi, static_cast<uint32_t>(NTDDI_WIN10));  // restored
}

TEST(OsVersion, GetVersionReportsTheSetVersion) {
    sim::os::ScopedVersion version(NTDDI_WINXPSP2);
    RTL_OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwBuildNumber, 2600u);
    EXPECT_EQ(info.wServicePackMajor, 2);
    EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 2");

    RTL_OSVERSIONINFOW wrongSize{};
    wrongSize.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(&wrongSize), STATUS_INVALID_PARAMETER);

    ULONG major = 0;
    ULONG minor = 0;
    ULONG build = 0;
    EXPECT_EQ(PsGetVersion(&major, &minor, &build, nullptr), FALSE);
    EXPECT_EQ(major * 100 + minor, 501u);
    EXPECT_EQ(build, 2600u);
}

}  // namespace
