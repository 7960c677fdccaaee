// The INI import through the simulated machine: a file below \SystemRoot\, the device's hardware
// IDs and its "Settings" key. Item values, section and device-line rules, line endings, versions,
// the file name setting, and every malformed line being refused rather than misread.
#include "driver/engine/base/IniReader.h"

#include "driver/engine/base/Settings.h"
#include "engine/settings_device.h"

#include <sim/pool.h>

#include <string>

namespace {

using namespace settings_test;

constexpr const char* kFileName = "KV-380D.INI";
const std::string kDeviceLine = "USB\\VID_1E7D&PID_3750&REV_0100=DEV\r\n";

// A file of version 1 whose [KLORIX] names the device's section DEV, followed by body.
std::string DeviceFile(const std::string& body) {
    return "[VERSION]\r\nVersion=1\r\n[KLORIX]\r\n" + kDeviceLine + body;
}

struct Item {
    ULONG type;
    std::vector<uint8_t> data;
};

class IniImport : public SettingsDevice {
protected:
    void TearDown() override {
        sim::files::RemoveSystemFile(kFileName);
        SettingsDevice::TearDown();
    }

    // Runs a reader over contents: BuildPath, then body(reader); answers the body's result.
    template <class Body>
    auto WithReader(const std::string& contents, Body body) {
        EXPECT_TRUE(sim::files::WriteSystemFile(kFileName, contents));
        IniReader* reader = new (NonPagedPoolNx, IniReaderTag) IniReader(m_fdo);
        EXPECT_NE(reader, nullptr);
        EXPECT_EQ(reader->BuildPath(), STATUS_SUCCESS);
        auto result = body(*reader);
        delete reader;
        return result;
    }
    // What the adapter does at start.
    NTSTATUS Apply(const std::string& contents) {
        return WithReader(contents, [](IniReader& r) { return r.ApplyWhenNewer(); });
    }
    std::optional<Item> StoredItem(std::u16string_view name, std::u16string_view subkey = {}) const {
        auto value = Stored(name, subkey);
        if (!value) return std::nullopt;
        return Item{value->type, value->data};
    }
    ULONG StoredVersion() const {
        auto value = Stored(SettingName::IniVersion);
        if (!value || value->data.size() != 4) return 0;
        return ULONG(value->data[0]) | ULONG(value->data[1]) << 8 | ULONG(value->data[2]) << 16 |
               ULONG(value->data[3]) << 24;
    }
    // Settings values other than "IniVersion".
    size_t ItemCount(std::u16string_view subkey = {}) const {
        size_t count = 0;
        for (const auto& name : sim::registry::ValueNames(KeyPath(subkey))) count += name != SettingName::IniVersion;
        return count;
    }
};

bool operator==(const Item& a, const Item& b) { return a.type == b.type && a.data == b.data; }
void PrintTo(const Item& item, std::ostream* out) {
    *out << "type " << item.type << " bytes";
    for (uint8_t b : item.data) *out << ' ' << int(b);
}

std::vector<uint8_t> Repeated(std::vector<uint8_t> unit, size_t times) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < times; ++i) bytes.insert(bytes.end(), unit.begin(), unit.end());
    return bytes;
}
std::string Tokens(const std::string& token, size_t count, const char* separator = ",") {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += (i ? separator : "") + token;
    return text;
}

TEST_F(IniImport, ItemValuesAreWrittenWithTheirTypeAndBytes) {
    struct Case {
        std::string line;
        std::optional<Item> expected;  // none: the line is refused and nothing is written
        std::u16string name = u"A";
    };
    const std::string text79(79, 't');
    const Case cases[] = {
        {"A=0x10,0x20", Item{REG_BINARY, Bytes({0x10, 0x20})}},
        {"A=0x0010", Item{REG_BINARY, Bytes({0x10, 0, 0, 0})}},
        {"A=16", Item{REG_BINARY, Bytes({16, 0, 0, 0})}},
        {"A=abc", Item{REG_SZ, Utf16Bytes(u"abc")}},
        {"A=ab cd", Item{REG_SZ, Utf16Bytes(u"abcd")}},
        {"  A \t= 1\t2 ,3", Item{REG_BINARY, Bytes({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0})}},
        // A separator or comment after the last number adds no empty text token.
        {"A=5 ", Item{REG_BINARY, Bytes({5, 0, 0, 0})}},
        {"A=0x05,\t", Item{REG_BINARY, Bytes({5})}},
        {"A=1 2 ; two numbers", Item{REG_BINARY, Bytes({1, 0, 0, 0, 2, 0, 0, 0})}},
        {"A=x;comment", Item{REG_SZ, Utf16Bytes(u"x")}},
        // Numbers: unvalidated digits, wrap-around modulo 2^32, "0x" alone.
        {"A=0Xff", Item{REG_BINARY, Bytes({0xFF})}},
        {"A=0x1G", Item{REG_BINARY, Bytes({0x20})}},
        {"A=0x123456789", Item{REG_BINARY, Bytes({0x89, 0x67, 0x45, 0x23})}},
        {"A=4294967297", Item{REG_BINARY, Bytes({1, 0, 0, 0})}},
        {"A=0x", Item{REG_BINARY, Bytes({0, 0, 0, 0})}},
        // Key characters are sign-extended.
        {"\xC4=1", Item{REG_BINARY, Bytes({1, 0, 0, 0})}, u"\uFFC4"},
        // Bounds: 1,024 bytes of numbers or text, tokens below 80 and keys below 128 characters.
        {"A=" + Tokens("7", 256), Item{REG_BINARY, Repeated(Bytes({7, 0, 0, 0}), 256)}},
        {"A=" + Tokens("7", 257), std::nullopt},
        {"A=" + Tokens("7", 255) + ",0x01,0x02,0x03,0x04",
         Item{REG_BINARY, [] {
                  auto bytes = Repeated(Bytes({7, 0, 0, 0}), 255);
                  for (int b : {1, 2, 3, 4}) bytes.push_back(uint8_t(b));
                  return bytes;
              }()}},
        {"A=" + Tokens("7", 255) + ",0x01,0x02,0x03,0x04,0x05", std::nullopt},
        {"A=" + Tokens(std::string(64, 'q'), 8, " "), Item{REG_SZ, Repeated(Bytes({'q', 0}), 512)}},
        {"A=" + Tokens(std::string(64, 'q'), 8, " ") + "q", std::nullopt},
        {"A=" + text79, Item{REG_SZ, Utf16Bytes(std::u16string(79, u't'))}},
        {"A=" + text79 + "t", std::nullopt},
        {std::string(127, 'k') + "=1", Item{REG_BINARY, Bytes({1, 0, 0, 0})}, std::u16string(127, u'k')},
        {std::string(128, 'k') + "=1", std::nullopt, std::u16string(128, u'k')},
        // Malformed items.
        {"A=1 abc", std::nullopt},
        {"A=abc 1", std::nullopt},
        {"A=", std::nullopt},
        {"A= ;", std::nullopt},
        {"A 1", std::nullopt},
        {"=1", std::nullopt, u""},
        {std::string("A=a\0b", 5), std::nullopt},
        {std::string("A\0B=1", 5), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        ClearSettings();
        EXPECT_EQ(Apply(DeviceFile("[DEV]\r\n" + c.line + "\r\nZ=9\r\n")), STATUS_SUCCESS);
        EXPECT_EQ(StoredItem(c.name), c.expected);
        // A refused line ends the section's items, and nothing else is written.
        EXPECT_EQ(StoredItem(u"Z").has_value(), c.expected.has_value());
        EXPECT_EQ(ItemCount(), c.expected ? 2u : 0u);
        EXPECT_EQ(StoredVersion(), 1u);
    }
}

TEST_F(IniImport, DeviceSectionsBelowTheDeviceLineGoToSettingsOrTheirSubkey) {
    const std::string contents =
        "[DEV]\r\nAbove=1\r\n"  // above [KLORIX]: never found
        "[VERSION]\r\nVersion=1\r\n[KLORIX]\r\n"
        "USB\\VID_0000&PID_0001=OTHER\r\n"
        "usb\\vid_1e7d&pid_3750&rev_0100 \t:\t DEV ; the device, in any case\r\n"
        "[DEV]\r\nPlain=1\r\n"
        "[DEV:Sub]\r\nInSub=2\r\n"
        "[DEV:Sub2\r\nNoBracket=3\r\n"
        "[DEV:]\r\nEmptySubkey=4\r\n"
        "[dev]\r\nWrongCase=5\r\n"
        "[DEVX]\r\nLongerName=6\r\n"
        "[OTHER]\r\nOtherDevice=7\r\n"
        "[DEV]\r\nFirst=8\r\n\r\nAfterBlank=9\r\nAlsoSkipped=10\r\n"
        "[DEV] anything after the bracket\r\nSecond=11\r\n; comment\r\nAfterComment=12\r\n"
        "[DEV:" + std::string(79, 's') + "]\r\nSub79=13\r\n"
        "[DEV:" + std::string(80, 's') + "]\r\nSub80=14\r\n"
        "[DEV]\r\nLast=15";
    EXPECT_EQ(Apply(contents), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 1u);
    const std::u16string settings[] = {u"Plain", u"EmptySubkey", u"First", u"Second", u"Last"};
    for (const auto& name : settings) EXPECT_TRUE(Stored(name)) << std::string(name.begin(), name.end());
    EXPECT_EQ(ItemCount(), std::size(settings));
    EXPECT_TRUE(Stored(u"InSub", u"Sub"));
    EXPECT_TRUE(Stored(u"NoBracket", u"Sub2"));
    EXPECT_TRUE(Stored(u"Sub79", std::u16string(79, u's')));
    // Sub80 is neither in a cut subkey nor in "Settings".
    EXPECT_FALSE(Stored(u"Sub80", std::u16string(79, u's')));
    EXPECT_EQ(sim::registry::SubkeyNames(KeyPath()).size(), 3u);
}

TEST_F(IniImport, TheDeviceLineNamesTheSectionWithinItsLine) {
    struct Case {
        std::string line;  // in [KLORIX], below another device's line
        NTSTATUS status;
        std::string section;
    };
    const std::string id = "USB\\VID_1E7D&PID_3750&REV_0100";
    const Case cases[] = {
        {id + "=DEV", STATUS_SUCCESS, "DEV"},
        {id + "  =  DEV\tmore", STATUS_SUCCESS, "DEV"},
        {id + "=DEV;comment", STATUS_SUCCESS, "DEV"},
        {id + "0 DEV", STATUS_SUCCESS, "DEV"},  // the ID is compared over its own length
        {id + "=", STATUS_SUCCESS, ""},
        {id + "  ", STATUS_SUCCESS, ""},  // the walk stops at the line's end
        {id, STATUS_SUCCESS, ""},
        {id + "=" + std::string(49, 'n'), STATUS_SUCCESS, std::string(49, 'n')},
        {id + "=" + std::string(50, 'n'), STATUS_UNSUCCESSFUL, ""},
        {"USB\\VID_1E7D&PID_3750=DEV", STATUS_UNSUCCESSFUL, ""},  // shorter than the device's first ID
        {" " + id + "=DEV", STATUS_UNSUCCESSFUL, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string contents = "[VERSION]\r\nVersion=1\r\n[KLORIX]\r\nUSB\\VID_0000&PID_0001=X\r\n" + c.line +
                               "\r\nNEXT\r\n[DEV]\r\nA=1\r\n";
        WithReader(contents, [&](IniReader& r) {
            EXPECT_EQ(r.OpenDeviceKey(), c.status);
            if (NT_SUCCESS(c.status)) {
                EXPECT_STREQ(r.SectionName(), c.section.c_str());
            }
            return 0;
        });
    }
    // No [KLORIX], or a section ending before the device's line: nothing written, no version.
    const std::string noDeviceLine[] = {
        "[VERSION]\r\nVersion=1\r\n[DEV]\r\nA=1\r\n",
        "[VERSION]\r\nVersion=1\r\n[KLORIX]\r\n[X]\r\n" + kDeviceLine + "[DEV]\r\nA=1",
    };
    for (const std::string& contents : noDeviceLine) {
        ClearSettings();
        EXPECT_EQ(Apply(contents), STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(sim::registry::ValueNames(KeyPath()).empty());
    }
}

TEST_F(IniImport, LinesEndAtCrAndTheLastLineCountsWithoutOne) {
    struct Case {
        const char* what;
        std::string body;  // below the device line
        std::vector<std::u16string> written;
    };
    const std::string cut = "A=1" + std::string(4094, ' ');  // 4,097 characters: a whole line
    const Case cases[] = {
        {"last line without CR", "[DEV]\r\nA=1\r\nB=2", {u"A", u"B"}},
        {"lone CR keeps the next byte", "[DEV]\rA=1\rB=2\r", {u"A", u"B"}},
        {"only one LF is skipped", "[DEV]\r\n\nA=1\r\n", {u"\nA"}},
        {"lone LF is part of the line", "[DEV]\r\nA=1\nB=2\r\nC=3\r\n", {u"A", u"C"}},
        {"long line is cut, its rest is the next line", "[DEV]\r\n" + cut + "B=2" + std::string(900, ' ') + "\r\n",
         {u"A", u"B"}},
        {"a line of exactly the longest length ends at its CR", "[DEV]\r\n" + cut + "\r\nB=2\r\n", {u"A", u"B"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        EXPECT_EQ(Apply(DeviceFile(c.body)), STATUS_SUCCESS);
        for (const auto& name : c.written) EXPECT_TRUE(Stored(name)) << char(name[0]);
        EXPECT_EQ(ItemCount(), c.written.size());
    }
}

TEST_F(IniImport, VersionIsTheFirstAcceptedItemOfItsSection) {
    struct Case {
        std::string contents;
        ULONG version;
    };
    const Case cases[] = {
        {"[VERSION]\r\nVersion=0x05\r\n", 5},
        {"[VERSION]\r\nV = 7 ; comment\r\n", 7},
        {"[VERSION]\r\nVersion=abc\r\n", 0},
        {"[VERSION]\r\nVersion=0xFFFFFFFF", 0xFFFFFFFF},
        {"; comment\r\n[VERSION] x\r\n\r\n; note\r\nVersion=1 2\r\nV=3\r\n", 3},
        {"[VERSION]\r\n" + std::string(20, 'v') + "=4\r\nV=6\r\n", 6},
        {"[VERSION]\r\nV=" + std::string(20, '1') + "\r\n", 0},
        {"[VERSION]\r\nVersion\r\n", 0},
        {"[VERSION]\r\n[KLORIX]\r\nV=8\r\n", 0},
        {"[version]\r\nV=8\r\n", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contents);
        EXPECT_EQ(WithReader(c.contents, [](IniReader& r) { return r.ReadVersion(); }), c.version);
    }
    EXPECT_EQ(WithReader("", [](IniReader& r) {
                  sim::files::RemoveSystemFile(kFileName);
                  return r.ReadVersion();
              }),
              0u);
}

TEST_F(IniImport, EachVersionIsAppliedOnce) {
    const std::string body = "[DEV]\r\nA=1\r\n";
    auto file = [&](int version) {
        return "[VERSION]\r\nVersion=" + std::to_string(version) + "\r\n[KLORIX]\r\n" + kDeviceLine + body;
    };
    ULONG five = 5;
    ASSERT_EQ(AccessSettingBinary(m_fdo, SettingMode::Write, &five, 4, SettingName::IniVersion), STATUS_SUCCESS);
    EXPECT_EQ(Apply(file(5)), STATUS_SUCCESS);
    EXPECT_EQ(Apply(file(4)), STATUS_SUCCESS);
    EXPECT_EQ(ItemCount(), 0u);
    EXPECT_EQ(StoredVersion(), 5u);

    EXPECT_EQ(Apply(file(6)), STATUS_SUCCESS);
    EXPECT_TRUE(Stored(u"A"));
    auto version = Stored(SettingName::IniVersion);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->type, ULONG{REG_BINARY});
    EXPECT_EQ(StoredVersion(), 6u);

    // Version 0 never applies, even with nothing stored.
    ClearSettings();
    EXPECT_EQ(Apply(file(0)), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::registry::ValueNames(KeyPath()).empty());
}

TEST_F(IniImport, TheFileNameComesFromModuleNameWhenReadWhole) {
    struct Case {
        const char* what;
        std::optional<std::vector<uint8_t>> stored;
        std::u16string path;
    };
    const std::u16string fifty(50, u'M');
    const Case cases[] = {
        {"default", std::nullopt, u"\\SystemRoot\\KV-380D.INI"},
        {"stored text", Utf16Bytes(std::u16string(u"OTHER.INI") + u'\0'), u"\\SystemRoot\\OTHER.INI"},
        {"no terminator", Utf16Bytes(u"X.INI"), u"\\SystemRoot\\X.INI"},
        {"100 bytes: the path is cut", Utf16Bytes(fifty), u"\\SystemRoot\\" + std::u16string(37, u'M')},
        {"too long: default", Utf16Bytes(fifty + u"M"), u"\\SystemRoot\\KV-380D.INI"},
        {"empty: default", std::vector<uint8_t>{}, u"\\SystemRoot\\KV-380D.INI"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.stored) Store(SettingName::ModuleName, REG_SZ, *c.stored);
        IniReader reader(m_fdo);
        EXPECT_EQ(reader.BuildPath(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reader.Path()), c.path);
        EXPECT_STREQ(reader.HardwareId(), "USB\\VID_1E7D&PID_3750&REV_0100");
    }
    // The named file is the one read.
    Store(SettingName::ModuleName, REG_SZ, Utf16Bytes(u"OTHER.INI"));
    ASSERT_TRUE(sim::files::WriteSystemFile("OTHER.INI", DeviceFile("[DEV]\r\nFromOther=1\r\n")));
    EXPECT_EQ(Apply("[VERSION]\r\nVersion=1\r\n"), STATUS_SUCCESS);
    EXPECT_TRUE(Stored(u"FromOther"));
    sim::files::RemoveSystemFile("OTHER.INI");
}

TEST_F(IniImport, PoolFailuresAndAMissingHardwareIdStopBeforeTheFile) {
    for (ULONG nth : {1u, 2u}) {
        IniReader reader(m_fdo);
        sim::pool::FailNthAllocation(nth, IniBufferTag);
        EXPECT_EQ(reader.BuildPath(), STATUS_INSUFFICIENT_RESOURCES);
        sim::pool::DisarmFaults();
        EXPECT_EQ(reader.ReadVersion(), 0u);
        EXPECT_EQ(reader.OpenDeviceKey(), STATUS_UNSUCCESSFUL);
    }
    sim::pool::FailAllocationsWithTag(IniReaderTag);
    EXPECT_EQ(new (NonPagedPoolNx, IniReaderTag) IniReader(m_fdo), nullptr);
    sim::pool::DisarmFaults();

    Unplug();
    Plug({u""});
    ASSERT_TRUE(sim::files::WriteSystemFile(kFileName, DeviceFile("[DEV]\r\nA=1\r\n")));
    IniReader reader(m_fdo);
    EXPECT_FALSE(NT_SUCCESS(reader.BuildPath()));
}

}  // namespace
