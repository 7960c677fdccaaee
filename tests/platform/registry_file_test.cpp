// The registry survives a save and a load exactly, and a bad file changes nothing.
#include <gtest/gtest.h>
#include <sim/registry.h>
#include <win/kernel.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr char16_t kKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KV-380D\\Settings";

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::vector<uint8_t> Units(std::u16string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(p, p + text.size() * 2);
}

struct Stored {
    const char16_t* key;
    const char16_t* name;
    uint32_t type;
    std::vector<uint8_t> data;
};

class RegistryFile : public testing::Test {
protected:
    void SetUp() override { sim::registry::Reset(); }
    void TearDown() override { sim::registry::Reset(); }

    // Values that a line format gets wrong easily: text without terminator (as the INI import
    // writes it), odd lengths, embedded zeros, escapes, non-ASCII, numbers of the wrong size,
    // unnamed types, empty data and names.
    const std::vector<Stored> values_ = {
        {kKey, u"ModuleName", REG_SZ, Units(std::u16string(u"KV-380D.INI") + u'\0')},
        {kKey, u"IniText", REG_SZ, Units(u"abcd")},
        {kKey, u"OddText", REG_SZ, Bytes({'a', 0, 'b'})},
        {kKey, u"Path", REG_EXPAND_SZ, Units(std::u16string(u"%SystemRoot%\\x\t\"q\"\r\n") + u'\0')},
        {kKey, u"List", REG_MULTI_SZ, Units(std::u16string(u"one\0two\0\0", 9))},
        {kKey, u"NonAscii \u00e9\u4e2d\"=\\", REG_SZ, Units(std::u16string{u'\u00e9', 0xD83C, 0xDFB5, 0xDC00})},
        {kKey, u"Unit09_ 1_0", REG_BINARY, Bytes({0x00, 0x00, 0xF0, 0xFF})},
        {kKey, u"Empty", REG_BINARY, {}},
        {kKey, u"IniVersion", REG_DWORD, Bytes({5, 0, 0, 0x80})},
        {kKey, u"ShortDword", REG_DWORD, Bytes({1, 2, 3})},
        {kKey, u"Quad", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 0xFF})},
        {kKey, u"Nothing", REG_NONE, Bytes({9})},
        {kKey, u"Custom", 0x12345, Bytes({0xAB})},
        {kKey, u"", REG_SZ, Units(std::u16string(u"default") + u'\0')},
        {u"\\Registry\\Machine\\SOFTWARE\\Odd %Name [x]\\\u00e9", u"v", REG_DWORD, Bytes({1, 0, 0, 0})},
    };

    void Fill() {
        for (const Stored& v : values_) {
            ASSERT_TRUE(sim::registry::SetValue(v.key, v.name, v.type, v.data.data(), v.data.size()));
        }
        ASSERT_TRUE(sim::registry::CreateKey(u"\\Registry\\Machine\\SOFTWARE\\EmptyKey"));
    }
    void ExpectFilled() {
        for (const Stored& v : values_) {
            auto stored = sim::registry::GetValue(v.key, v.name);
            ASSERT_TRUE(stored.has_value()) << std::u16string(v.name).size();
            EXPECT_EQ(stored->type, v.type);
            EXPECT_EQ(stored->data, v.data);
        }
        EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\EmptyKey"));
        // The order of values is kept.
        auto names = sim::registry::ValueNames(kKey);
        ASSERT_EQ(names.size(), values_.size() - 1);
        EXPECT_EQ(names.front(), u"ModuleName");
        EXPECT_EQ(names.back(), u"");
    }
};

TEST_F(RegistryFile, RoundTripsEveryTypeAndLength) {
    Fill();
    std::string text = sim::registry::SaveToString();
    sim::registry::Reset();
    EXPECT_FALSE(sim::registry::KeyExists(kKey));
    std::string error;
    ASSERT_TRUE(sim::registry::LoadFromString(text, &error)) << error << "\n" << text;
    ExpectFilled();
    EXPECT_EQ(sim::registry::SaveToString(), text);
    // Readable where the data allows it.
    EXPECT_NE(text.find("\"ModuleName\"=sz:\"KV-380D.INI\\0\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"IniVersion\"=dword:0x80000005"), std::string::npos) << text;
}

TEST_F(RegistryFile, SavesToAHostFileAndLoadsItBack) {
    Fill();
    char directory[] = "/tmp/kv-registry-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    std::string path = std::string(directory) + "/machine.reg";
    std::string error;
    ASSERT_TRUE(sim::registry::Save(path, &error)) << error;
    sim::registry::Reset();
    ASSERT_TRUE(sim::registry::Load(path, &error)) << error;
    ExpectFilled();
    EXPECT_FALSE(sim::registry::Load(path + ".absent", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
    std::remove(path.c_str());
    rmdir(directory);
}

TEST_F(RegistryFile, VolatileKeysAreNotSaved) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine\\SOFTWARE\\Session");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_VOLATILE, nullptr), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(sim::registry::SaveToString().find("Session"), std::string::npos);
}

TEST_F(RegistryFile, ABadFileChangesNothing) {
    ASSERT_TRUE(sim::registry::SetDword(kKey, u"Keep", 7));
    const struct {
        const char* text;
        const char* line;
    } cases[] = {
        {"\"v\"=dword:0x00000001\n", "line 1"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=dword:0x0000001\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=binary:01,02,\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=binary:1,2\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=sz:\"abc\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=sz:\"a\\qb\"\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\"=wide:01\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\X]\n\"v\" dword:0x00000001\n", "line 2"},
        {"; comment\n[\\Machine\\SOFTWARE]\n", "line 2"},
        {"[\\Registry\\Machine\\SOFTWARE\\%00]\n", "line 1"},
        {"[\\Registry\\Machine\\SOFTWARE\\\\X]\n", "line 1"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(sim::registry::LoadFromString(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.line, 0), 0u) << c.text << " -> " << error;
        auto kept = sim::registry::GetValue(kKey, u"Keep");
        ASSERT_TRUE(kept.has_value()) << c.text;
        EXPECT_EQ(kept->data, Bytes({7, 0, 0, 0}));
        EXPECT_FALSE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\X")) << c.text;
    }
}

TEST_F(RegistryFile, LoadingReplacesTheRegistryAndInvalidatesOpenKeys) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kKey);
    ASSERT_TRUE(sim::registry::CreateKey(kKey));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    ASSERT_TRUE(sim::registry::LoadFromString("[\\Registry\\Machine\\SOFTWARE\\Loaded]\n\"a\"=dword:0x00000002\n"));
    ULONG one = 1;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, u"v");
    EXPECT_EQ(ZwSetValueKey(key, &value, 0, REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_FALSE(sim::registry::KeyExists(kKey));
    EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"));
    auto loaded = sim::registry::GetValue(u"\\Registry\\Machine\\SOFTWARE\\Loaded", u"A");
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->data, Bytes({2, 0, 0, 0}));
}

}  // namespace
