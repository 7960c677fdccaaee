// Files under \SystemRoot\: opening, reading at offsets, the end of the file, and paths that try
// to leave the directory.
#include <gtest/gtest.h>
#include <sim/files.h>
#include <win/kernel.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class ZwFile : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kv-zwfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        root_ = base_ + "/Windows";
        std::filesystem::create_directory(root_);
        saved_ = sim::files::SystemRoot();
        sim::files::SetSystemRoot(root_);
        ASSERT_TRUE(sim::files::WriteSystemFile("KV-380D.INI", "0123456789"));
        ASSERT_TRUE(sim::files::WriteSystemFile("sub\\inner.txt", "inner"));
        std::ofstream(base_ + "/secret.txt") << "outside";
    }
    void TearDown() override {
        sim::files::SetSystemRoot(saved_);
        std::filesystem::remove_all(base_);
    }

    static NTSTATUS Open(const char16_t* path, HANDLE* file, ACCESS_MASK access = GENERIC_READ,
                         ULONG disposition = FILE_OPEN,
                         ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        *file = nullptr;
        NTSTATUS status = ZwCreateFile(file, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                                       disposition, options, nullptr, 0);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(io.Information, static_cast<ULONG_PTR>(FILE_OPENED));
        }
        return status;
    }

    std::string base_;
    std::string root_;
    std::string saved_;
};

TEST_F(ZwFile, ReadsAtExplicitOffsetsUntilTheEnd) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\KV-380D.INI", &file), STATUS_SUCCESS);
    struct Case {
        LONGLONG offset;
        ULONG length;
        NTSTATUS status;
        const char* data;
    };
    const Case cases[] = {
        {0, 4, STATUS_SUCCESS, "0123"},      {8, 4, STATUS_SUCCESS, "89"},     {9, 1, STATUS_SUCCESS, "9"},
        {10, 1, STATUS_END_OF_FILE, ""},     {11, 1, STATUS_END_OF_FILE, ""},  {3, 0, STATUS_SUCCESS, ""},
        {-5, 1, STATUS_INVALID_PARAMETER, ""},
    };
    for (const Case& c : cases) {
        char buffer[8] = {};
        IO_STATUS_BLOCK io{};
        io.Information = 99;
        LARGE_INTEGER offset;
        offset.QuadPart = c.offset;
        EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, c.length, &offset, nullptr), c.status)
            << c.offset;
        EXPECT_EQ(io.Status, c.status) << c.offset;
        EXPECT_EQ(io.Information, std::strlen(c.data)) << c.offset;
        EXPECT_STREQ(buffer, c.data) << c.offset;
    }

    FILE_STANDARD_INFORMATION standard{};
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(ZwQueryInformationFile(file, &io, &standard, sizeof(standard), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
    EXPECT_EQ(standard.Directory, FALSE);
    EXPECT_EQ(io.Information, sizeof(standard));
    EXPECT_EQ(ZwQueryInformationFile(file, &io, &standard, sizeof(standard) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(ZwFile, ByteByByteReadingEndsWithEndOfFile) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\kv-380d.ini", &file), STATUS_SUCCESS);  // names ignore case
    std::string text;
    for (LONGLONG position = 0;; ++position) {
        char byte = 0;
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset;
        offset.QuadPart = position;
        NTSTATUS status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, &byte, 1, &offset, nullptr);
        if (status == STATUS_END_OF_FILE) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(io.Information, 1u);
        text += byte;
    }
    EXPECT_EQ(text, "0123456789");

    // Without an offset a synchronous handle reads on from its position.
    char buffer[4] = {};
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER start;
    start.QuadPart = 2;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 3, &start, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 3, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "567");
    ZwClose(file);
}

TEST_F(ZwFile, NamesThatDoNotResolveOrLeaveTheDirectoryFail) {
    std::filesystem::create_symlink(base_ + "/secret.txt", root_ + "/link.txt");
    struct Case {
        const char16_t* path;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\SystemRoot\\SUB\\Inner.TXT", STATUS_SUCCESS},
        {u"\\SystemRoot\\absent.ini", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\SystemRoot\\nodir\\absent.ini", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\KV-380D.INI\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\..\\secret.txt", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\sub\\..\\..\\secret.txt", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\.\\KV-380D.INI", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\sub/../../secret.txt", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\\\KV-380D.INI", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\KV-380D.INI:stream", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\link.txt", STATUS_ACCESS_DENIED},
        {u"\\SystemRootX\\KV-380D.INI", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Windows\\KV-380D.INI", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"KV-380D.INI", STATUS_OBJECT_PATH_SYNTAX_BAD},
    };
    for (const Case& c : cases) {
        HANDLE file = nullptr;
        EXPECT_EQ(Open(c.path, &file), c.status) << std::u16string(c.path).size();
        if (file != nullptr) ZwClose(file);
    }
}

TEST_F(ZwFile, TheFileSystemIsReadOnlyAndKeepsDirectoriesApart) {
    HANDLE file = nullptr;
    EXPECT_EQ(Open(u"\\SystemRoot\\KV-380D.INI", &file, GENERIC_READ | GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\SystemRoot\\KV-380D.INI", &file, GENERIC_READ, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\SystemRoot\\new.ini", &file, GENERIC_READ, FILE_OPEN_IF), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\SystemRoot\\sub", &file), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\SystemRoot\\KV-380D.INI", &file, GENERIC_READ, FILE_OPEN, FILE_DIRECTORY_FILE),
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(file, nullptr);
    EXPECT_TRUE(std::filesystem::exists(root_ + "/KV-380D.INI"));
    EXPECT_FALSE(std::filesystem::exists(root_ + "/new.ini"));

    ASSERT_EQ(Open(u"\\SystemRoot\\sub", &file, GENERIC_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    char byte;
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset{};
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, &byte, 1, &offset, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    ZwClose(file);

    // A handle opened without read access cannot read.
    ASSERT_EQ(Open(u"\\SystemRoot\\KV-380D.INI", &file, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, &byte, 1, &offset, nullptr), STATUS_ACCESS_DENIED);
    ZwClose(file);
}

}  // namespace
