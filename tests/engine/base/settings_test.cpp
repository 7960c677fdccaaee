// The settings store: reads copy what is stored only when it fits and leave the caller's default
// otherwise, writes land under "Settings" (or its subkey) with the caller's type and bytes, and bad
// arguments are refused before the registry is touched.
#include "driver/engine/base/Settings.h"

#include "engine/settings_device.h"

#include <sim/pool.h>

namespace {

using namespace settings_test;

class SettingsStore : public SettingsDevice {};

TEST_F(SettingsStore, ReadCopiesTheStoredBytesOnlyWhenTheyFit) {
    struct Case {
        const char* what;
        std::optional<ULONG> type;  // none: the value is absent
        std::vector<uint8_t> stored;
        NTSTATUS status;
        std::vector<uint8_t> buffer;  // the caller's 4 bytes afterwards (default AA BB CC DD)
    };
    const std::vector<uint8_t> defaults = Bytes({0xAA, 0xBB, 0xCC, 0xDD});
    const Case cases[] = {
        {"dword", REG_DWORD, Bytes({1, 2, 3, 4}), STATUS_SUCCESS, Bytes({1, 2, 3, 4})},
        {"shorter value fills its own bytes", REG_BINARY, Bytes({7, 8}), STATUS_SUCCESS, Bytes({7, 8, 0xCC, 0xDD})},
        {"empty value", REG_BINARY, {}, STATUS_SUCCESS, defaults},
        {"text of 6 bytes", REG_SZ, Utf16Bytes(u"abc"), STATUS_UNSUCCESSFUL, defaults},
        {"4 bytes too long", REG_BINARY, std::vector<uint8_t>(8, 1), STATUS_UNSUCCESSFUL, defaults},
        {"far too long", REG_BINARY, std::vector<uint8_t>(9, 1), STATUS_BUFFER_OVERFLOW, defaults},
        {"absent", std::nullopt, {}, STATUS_OBJECT_NAME_NOT_FOUND, defaults},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.type) Store(u"Value", *c.type, c.stored);
        std::vector<uint8_t> buffer = defaults;
        EXPECT_EQ(AccessSettingBinary(m_fdo, SettingMode::Read, buffer.data(), 4, u"Value"), c.status);
        EXPECT_EQ(buffer, c.buffer);
    }
}

TEST_F(SettingsStore, WritesLandUnderSettingsAndItsSubkeyWithTheirType) {
    ULONG dword = 0x11223344;
    WCHAR text[] = u"ab";
    EXPECT_EQ(AccessSetting(m_fdo, SettingMode::Write, nullptr, u"Dword", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(AccessSetting(m_fdo, SettingMode::Write, u"Sub", u"Text", REG_SZ, text, 4), STATUS_SUCCESS);
    UCHAR binary[3] = {9, 8, 7};
    EXPECT_EQ(AccessSettingBinary(m_fdo, SettingMode::Write, binary, 3, u"Binary"), STATUS_SUCCESS);

    auto stored = Stored(u"Dword");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG{REG_DWORD});
    EXPECT_EQ(stored->data, Bytes({0x44, 0x33, 0x22, 0x11}));
    stored = Stored(u"Text", u"Sub");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG{REG_SZ});
    EXPECT_EQ(stored->data, Utf16Bytes(u"ab"));
    EXPECT_FALSE(Stored(u"Text"));
    stored = Stored(u"Binary");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG{REG_BINARY});
    EXPECT_EQ(stored->data, Bytes({9, 8, 7}));

    // Reads go to the same subkey; the read ignores the type it is given.
    WCHAR read[2] = {};
    EXPECT_EQ(AccessSetting(m_fdo, SettingMode::Read, u"Sub", u"Text", REG_BINARY, read, 4), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(read, 2), u"ab");
}

TEST_F(SettingsStore, RefusesBadArgumentsWithoutTouchingTheRegistry) {
    struct Case {
        const char* what;
        ULONG mode;
        ULONG type;
        PCWSTR name;
        bool nullBuffer;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"expandable text", 1, REG_EXPAND_SZ, u"V", false, STATUS_UNSUCCESSFUL},
        {"type none", 2, REG_NONE, u"V", false, STATUS_UNSUCCESSFUL},
        {"multi text", 2, REG_MULTI_SZ, u"V", false, STATUS_UNSUCCESSFUL},
        {"mode 0", 0, REG_BINARY, u"V", false, STATUS_INVALID_PARAMETER},
        {"mode 3", 3, REG_BINARY, u"V", false, STATUS_INVALID_PARAMETER},
        {"no name", 2, REG_BINARY, nullptr, false, STATUS_INVALID_PARAMETER},
        {"no buffer", 1, REG_BINARY, u"V", true, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ULONG buffer = 0;
        EXPECT_EQ(AccessSetting(m_fdo, static_cast<SettingMode>(c.mode), nullptr, c.name, c.type,
                                c.nullBuffer ? nullptr : &buffer, 4),
                  c.status);
        EXPECT_FALSE(sim::registry::KeyExists(KeyPath()));
    }
}

TEST_F(SettingsStore, IndexedNamesKeepTheirBlanksAndAreNeverCut) {
    ULONG value = 5;
    EXPECT_EQ(AccessIndexedSetting(m_fdo, SettingMode::Write, &value, 4, u"Unit09_ 1_", 0), STATUS_SUCCESS);
    EXPECT_TRUE(Stored(u"Unit09_ 1_0"));
    EXPECT_EQ(AccessIndexedSetting(m_fdo, SettingMode::Write, &value, 4, u"Unit09_", 12), STATUS_SUCCESS);
    EXPECT_TRUE(Stored(u"Unit09_12"));

    // 47 characters and a two-digit index fill the name; one more character would cut it.
    const std::u16string base(47, u'N');
    EXPECT_EQ(AccessIndexedSetting(m_fdo, SettingMode::Write, &value, 4, base.c_str(), 10), STATUS_SUCCESS);
    EXPECT_TRUE(Stored(base + u"10"));
    EXPECT_EQ(AccessIndexedSetting(m_fdo, SettingMode::Write, &value, 4, base.c_str(), 100), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Stored(base + u"10" + u"0"));
    EXPECT_EQ(sim::registry::ValueNames(KeyPath()).size(), 3u);
}

TEST_F(SettingsStore, FailuresOfThePoolAndOfTheSubkeyAreTheResult) {
    Store(u"Value", REG_BINARY, Bytes({1, 2, 3, 4}));
    ULONG buffer = 0xDDCCBBAA;
    sim::pool::FailAllocationsWithTag(SettingReadTag);
    EXPECT_EQ(AccessSettingBinary(m_fdo, SettingMode::Read, &buffer, 4, u"Value"), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_EQ(buffer, 0xDDCCBBAAu);

    // A subkey name the registry refuses (a component longer than 255 characters).
    const std::u16string longName(256, u'k');
    EXPECT_FALSE(NT_SUCCESS(
        AccessSetting(m_fdo, SettingMode::Write, longName.c_str(), u"Value", REG_BINARY, &buffer, 4)));
    EXPECT_EQ(sim::registry::SubkeyNames(KeyPath()).size(), 0u);
}

}  // namespace
