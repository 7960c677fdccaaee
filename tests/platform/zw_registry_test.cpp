// The Zw registry services: key semantics, the query records at every buffer size, enumeration,
// deletion and access.
#include "support/bugcheck.h"

#include <gtest/gtest.h>
#include <sim/registry.h>
#include <win/kernel.h>

#include <string>
#include <vector>

namespace {

constexpr char16_t kSoftware[] = u"\\Registry\\Machine\\SOFTWARE";

class ZwRegistry : public testing::Test {
protected:
    void SetUp() override { sim::registry::Reset(); }
    void TearDown() override {
        for (HANDLE h : handles_) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    }

    NTSTATUS Create(const char16_t* path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr,
                    ACCESS_MASK access = KEY_ALL_ACCESS, ULONG options = REG_OPTION_NON_VOLATILE) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
        if (NT_SUCCESS(status)) handles_.push_back(*key);
        return status;
    }
    NTSTATUS Open(const char16_t* path, HANDLE* key, HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwOpenKey(key, access, &attributes);
        if (NT_SUCCESS(status)) handles_.push_back(*key);
        return status;
    }
    HANDLE MustCreate(const char16_t* path, HANDLE root = nullptr) {
        HANDLE key = nullptr;
        EXPECT_EQ(Create(path, &key, nullptr, root), STATUS_SUCCESS) << std::string(path, path + 1);
        return key;
    }
    static NTSTATUS Set(HANDLE key, const char16_t* name, ULONG type, const void* data, ULONG size) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, name);
        return ZwSetValueKey(key, &n, 0, type, const_cast<void*>(data), size);
    }
    static NTSTATUS Query(HANDLE key, const char16_t* name, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer,
                          ULONG length, ULONG* result) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, name);
        return ZwQueryValueKey(key, &n, infoClass, buffer, length, result);
    }

    std::vector<HANDLE> handles_;
};

TEST_F(ZwRegistry, CreateOpensExistingKeysAndNeverCreatesParents) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(u"\\Registry\\Machine\\SOFTWARE\\Vendor", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(u"\\REGISTRY\\machine\\software\\VENDOR", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));

    EXPECT_EQ(Create(u"\\Registry\\Machine\\SOFTWARE\\Missing\\Child", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Missing"));
    EXPECT_EQ(key, nullptr);
}

TEST_F(ZwRegistry, NamesResolveOrFailWithThePublishedStatus) {
    HANDLE software = MustCreate(kSoftware);
    MustCreate(u"Vendor", software);
    struct Case {
        const char16_t* path;
        bool relative;
        NTSTATUS open;
    };
    const Case cases[] = {
        {u"\\Registry\\Machine\\SOFTWARE\\vendor", false, STATUS_SUCCESS},
        {u"VENDOR", true, STATUS_SUCCESS},
        {u"", true, STATUS_SUCCESS},  // the root key itself
        {u"\\Registry\\Machine\\SOFTWARE\\Absent", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\SOFTWARE\\Absent\\Deeper", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Registry\\Machine", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Vendor", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Registry\\Machine\\\\SOFTWARE", false, STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\SOFTWARE\\", false, STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\Foo", false, STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(Open(c.path, &key, c.relative ? software : nullptr), c.open) << std::u16string(c.path).size();
    }
    std::u16string tooLong = u"\\Registry\\Machine\\SOFTWARE\\" + std::u16string(256, u'k');
    HANDLE key = nullptr;
    EXPECT_EQ(Create(tooLong.c_str(), &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(u"\\Registry\\Machine\\NewHive", &key), STATUS_ACCESS_DENIED);
}

TEST_F(ZwRegistry, VolatileKeysTakeOnlyVolatileChildren) {
    HANDLE key = nullptr;
    ASSERT_EQ(Create(u"\\Registry\\Machine\\SOFTWARE\\Temp", &key, nullptr, nullptr, KEY_ALL_ACCESS,
                     REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(u"Child", &child, nullptr, key), STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Create(u"Child", &child, nullptr, key, KEY_ALL_ACCESS, REG_OPTION_VOLATILE), STATUS_SUCCESS);
}

// A value named "Abc" (6 bytes) with 6 bytes of data: the full record's data starts at the
// 4-byte boundary after the name (28), not right behind it (26).
struct Fit {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS expected;
};
void PrintTo(const Fit& fit, std::ostream* os) { *os << fit.name; }

constexpr ULONG kBasicSize = 12 + 6;
constexpr ULONG kFullSize = 28 + 6;
constexpr ULONG kPartialSize = 12 + 6;

class QueryValueFit : public ZwRegistry, public testing::WithParamInterface<Fit> {};

TEST_P(QueryValueFit, FillsWhatFitsAndAlwaysReportsTheLength) {
    const Fit& fit = GetParam();
    HANDLE key = MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Values");
    const UCHAR data[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(Set(key, u"Abc", REG_BINARY, data, sizeof(data)), STATUS_SUCCESS);

    UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"aBC", fit.infoClass, buffer, fit.length, &result), fit.expected);
    ULONG whole = fit.infoClass == KeyValueBasicInformation ? kBasicSize
                  : fit.infoClass == KeyValueFullInformation ? kFullSize
                                                              : kPartialSize;
    EXPECT_EQ(result, whole);
    for (size_t i = fit.length; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], 0xEE) << "written past the buffer at " << i;
    if (fit.expected == STATUS_BUFFER_TOO_SMALL) {
        EXPECT_EQ(buffer[0], 0xEE);
        return;
    }
    bool whole_fits = fit.expected == STATUS_SUCCESS;
    switch (fit.infoClass) {
        case KeyValueBasicInformation: {
            auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
            EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(info->NameLength, 6u);
            EXPECT_EQ(std::memcmp(info->Name, u"Ab", 4), 0);  // what fits of the name is there
            break;
        }
        case KeyValueFullInformation: {
            auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
            EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(info->NameLength, 6u);
            EXPECT_EQ(info->DataLength, 6u);
            EXPECT_EQ(info->DataOffset, 28u);
            if (fit.length >= 26) {
                EXPECT_EQ(std::memcmp(info->Name, u"Abc", 6), 0);
            }
            EXPECT_EQ(std::memcmp(buffer + 28, data, 6) == 0, whole_fits);
            if (!whole_fits && fit.length > 28) {
                EXPECT_EQ(buffer[28], 0xEE) << "data copied in part";
            }
            break;
        }
        default: {
            auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
            EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(info->DataLength, 6u);
            EXPECT_EQ(std::memcmp(info->Data, data, 6) == 0, whole_fits);
            if (!whole_fits && fit.length > 12) {
                EXPECT_EQ(buffer[12], 0xEE) << "data copied in part";
            }
            break;
        }
    }
}

const Fit kFits[] = {
    {"BasicExact", KeyValueBasicInformation, kBasicSize, STATUS_SUCCESS},
    {"BasicShortByOne", KeyValueBasicInformation, kBasicSize - 1, STATUS_BUFFER_OVERFLOW},
    {"BasicFixedOnly", KeyValueBasicInformation, 16, STATUS_BUFFER_OVERFLOW},
    {"BasicBelowFixed", KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL},
    {"FullExact", KeyValueFullInformation, kFullSize, STATUS_SUCCESS},
    {"FullShortByOne", KeyValueFullInformation, kFullSize - 1, STATUS_BUFFER_OVERFLOW},
    {"FullNameOnly", KeyValueFullInformation, 26, STATUS_BUFFER_OVERFLOW},
    {"FullBelowFixed", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
    {"PartialExact", KeyValuePartialInformation, kPartialSize, STATUS_SUCCESS},
    {"PartialShortByOne", KeyValuePartialInformation, kPartialSize - 1, STATUS_BUFFER_OVERFLOW},
    {"PartialFixedOnly", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
    {"PartialBelowFixed", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
    {"PartialEmpty", KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL},
};
INSTANTIATE_TEST_SUITE_P(Sizes, QueryValueFit, testing::ValuesIn(kFits), [](const auto& info) { return info.param.name; });

TEST_F(ZwRegistry, AbsentAndDefaultValues) {
    HANDLE key = MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Values");
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Absent", KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(key, u"", KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG dword = 0x11223344;
    ASSERT_EQ(ZwSetValueKey(key, nullptr, 0, REG_DWORD, &dword, 4), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Set(key, u"", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->DataLength, 4u);

    // Replacing a value changes its type and size.
    ASSERT_EQ(Set(key, u"X", REG_SZ, u"ab", 6), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"x", REG_BINARY, "z", 1), STATUS_SUCCESS);
    auto stored = sim::registry::GetValue(u"\\Registry\\Machine\\SOFTWARE\\Values", u"X");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_EQ(stored->data, std::vector<uint8_t>{'z'});
}

TEST_F(ZwRegistry, QueryAndEnumerateKeys) {
    HANDLE key = MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Parent");
    for (const char16_t* name : {u"beta", u"Alpha", u"GAMMA"}) MustCreate(name, key);
    UNICODE_STRING className;
    RtlInitUnicodeString(&className, u"Cls");
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING childName;
    RtlInitUnicodeString(&childName, u"delta");
    InitializeObjectAttributes(&attributes, &childName, OBJ_KERNEL_HANDLE, key, nullptr);
    HANDLE delta = nullptr;
    ASSERT_EQ(ZwCreateKey(&delta, KEY_READ, &attributes, 0, &className, 0, nullptr), STATUS_SUCCESS);
    handles_.push_back(delta);
    const UCHAR eight[8] = {};
    ASSERT_EQ(Set(key, u"Second", REG_BINARY, eight, 8), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"First", REG_BINARY, eight, 2), STATUS_SUCCESS);

    alignas(8) UCHAR buffer[128];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"Parent");
    EXPECT_EQ(result, 16u + 12u);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 20, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);

    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 4u);
    EXPECT_EQ(full->MaxNameLen, 10u);  // "Alpha", "GAMMA", "delta"
    EXPECT_EQ(full->MaxClassLen, 6u);
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxValueNameLen, 12u);
    EXPECT_EQ(full->MaxValueDataLen, 8u);

    std::vector<std::u16string> names;
    ULONG index = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateKey(key, index++, KeyNodeInformation, buffer, sizeof(buffer), &result)) ==
           STATUS_SUCCESS) {
        auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer);
        names.emplace_back(node->Name, node->NameLength / 2);
        if (names.back() == u"delta") {
            ASSERT_EQ(node->ClassLength, 6u);
            EXPECT_EQ(node->ClassOffset % 4, 0u);
            EXPECT_EQ(std::memcmp(buffer + node->ClassOffset, u"Cls", 6), 0);
        } else {
            EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu);
        }
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"delta", u"GAMMA"}));

    names.clear();
    index = 0;
    while ((status = ZwEnumerateValueKey(key, index++, KeyValueBasicInformation, buffer, sizeof(buffer), &result)) ==
           STATUS_SUCCESS) {
        auto* value = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        names.emplace_back(value->Name, value->NameLength / 2);
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Second", u"First"}));  // creation order

    ASSERT_EQ(ZwQueryKey(delta, KeyNameInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* name = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(name->Name, name->NameLength / 2), u"\\Registry\\Machine\\SOFTWARE\\Parent\\delta");
    EXPECT_EQ(ZwQueryKey(key, KeyCachedInformation, buffer, sizeof(buffer), &result), STATUS_INVALID_INFO_CLASS);
}

TEST_F(ZwRegistry, DeletedKeysAnswerKeyDeletedThroughOpenHandles) {
    HANDLE parent = MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Parent");
    HANDLE child = MustCreate(u"Child", parent);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
    ULONG one = 1;
    ASSERT_EQ(Set(child, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(Set(child, u"V", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(Query(child, u"V", KeyValuePartialInformation, buffer, sizeof(buffer), &result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
    HANDLE again = nullptr;
    EXPECT_EQ(Open(u"Child", &again, parent), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);

    HANDLE hive = nullptr;
    ASSERT_EQ(Open(kSoftware, &hive), STATUS_SUCCESS);
    UNICODE_STRING absent;
    RtlInitUnicodeString(&absent, u"Absent");
    EXPECT_EQ(ZwDeleteValueKey(hive, &absent), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ZwRegistry, HandlesEnforceTheirAccess) {
    MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Locked");
    MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Locked\\Existing");
    HANDLE readOnly = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\SOFTWARE\\Locked", &readOnly, nullptr, KEY_READ), STATUS_SUCCESS);
    ULONG one = 1;
    EXPECT_EQ(Set(readOnly, u"V", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(readOnly), STATUS_ACCESS_DENIED);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(u"New", &child, nullptr, readOnly), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(u"Existing", &child, nullptr, readOnly), STATUS_SUCCESS);

    HANDLE writeOnly = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\SOFTWARE\\Locked", &writeOnly, nullptr, KEY_SET_VALUE), STATUS_SUCCESS);
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(Query(writeOnly, u"V", KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_ACCESS_DENIED);

    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(readOnly, KEY_READ, *CmKeyObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(Set(reinterpret_cast<HANDLE>(0xFFFFFFFF80FFFFF0ull), u"V", REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);
}

TEST_F(ZwRegistry, ResetDeletesKeysThatAreStillOpen) {
    HANDLE key = MustCreate(u"\\Registry\\Machine\\SOFTWARE\\Before");
    sim::registry::Reset();
    ULONG one = 1;
    EXPECT_EQ(Set(key, u"V", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_FALSE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Before"));
    EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
}

TEST(ZwRegistryDeathTest, RegistryServicesAboveApcLevelStopTheMachine) {
    EXPECT_BUGCHECK(
        {
            KeRaiseIrqlToDpcLevel();
            HANDLE key;
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, kSoftware);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            ZwOpenKey(&key, KEY_READ, &attributes);
        },
        "IRQL_NOT_LESS_OR_EQUAL", "ZwOpenKey at IRQL 2");
}

}  // namespace
