// Zw file services over the host directory that \SystemRoot\ maps to. The simulated file system
// is read-only for the kernel: opens for writing and dispositions that would create or replace a
// file answer STATUS_ACCESS_DENIED. Names compare without regard to case (ASCII letters), as on
// Windows, whatever the host file system does.
#include "object_manager.h"

#include <sim/files.h>
#include <sim/verifier.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace sim::files {
namespace {

struct RootState {
    std::mutex lock;
    std::string path;
    std::string temporary;  // made by this process, removed at exit
    ~RootState() {
        if (!temporary.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(temporary, ignored);
        }
    }
};

RootState& Root() {
    static RootState state;
    return state;
}

// Splits a relative path at '\' or '/'; false for empty, "." or ".." components.
bool SplitRelative(std::string_view path, std::vector<std::string>* parts) {
    parts->clear();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = path.size();
        std::string part(path.substr(start, end - start));
        if (part.empty() || part == "." || part == "..") return false;
        parts->push_back(part);
        start = end + 1;
    }
    return !parts->empty();
}

std::string HostPathOf(std::string_view relativePath) {
    std::vector<std::string> parts;
    if (!SplitRelative(relativePath, &parts)) return std::string();
    std::string path = SystemRoot();
    for (const std::string& part : parts) path += "/" + part;
    return path;
}

}  // namespace

std::string SystemRoot() {
    RootState& root = Root();
    std::lock_guard<std::mutex> guard(root.lock);
    if (root.path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") + "/kv-systemroot-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) sim::BugCheck("SIMULATION", "cannot create %s", pattern.c_str());
        root.path = root.temporary = pattern;
    }
    return root.path;
}

void SetSystemRoot(const std::string& hostDirectory) {
    RootState& root = Root();
    std::lock_guard<std::mutex> guard(root.lock);
    root.path = hostDirectory;
}

bool WriteSystemFile(std::string_view relativePath, std::string_view contents) {
    std::string path = HostPathOf(relativePath);
    if (path.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return static_cast<bool>(out.flush());
}

bool RemoveSystemFile(std::string_view relativePath) {
    std::string path = HostPathOf(relativePath);
    return !path.empty() && ::unlink(path.c_str()) == 0;
}

}  // namespace sim::files

namespace {

struct FileObject {
    int fd;
    bool directory;
    bool synchronous;
    ACCESS_MASK granted;
    std::mutex lock;  // synchronous handles move their position one request at a time
    LONGLONG position;
};

void DestroyFileObject(void* body) {
    auto* file = static_cast<FileObject*>(body);
    if (file->fd >= 0) ::close(file->fd);
    file->~FileObject();
}

_OBJECT_TYPE g_fileType{{"File", &DestroyFileObject}};
POBJECT_TYPE g_fileTypePointer = &g_fileType;

constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                     DELETE | GENERIC_WRITE | GENERIC_ALL;

void CheckIrql(const char* service) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u: file services run at PASSIVE_LEVEL", service, irql);
    }
}

sim::ob::HandleTableId TableOfHandle(HANDLE handle) {
    return (reinterpret_cast<uint64_t>(handle) & 0xFFFFFFFF80000000ull) != 0 ? sim::ob::kKernelTable
                                                                             : sim::ob::CurrentHandleTable();
}

class FileReference {
public:
    NTSTATUS Acquire(HANDLE handle) {
        void* body = nullptr;
        NTSTATUS status = sim::ob::ReferenceByHandle(TableOfHandle(handle), handle, g_fileTypePointer, &body);
        if (NT_SUCCESS(status)) file_ = static_cast<FileObject*>(body);
        return status;
    }
    ~FileReference() {
        if (file_ != nullptr) ObfDereferenceObject(file_);
    }
    FileObject* operator->() const { return file_; }

private:
    FileObject* file_ = nullptr;
};

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

// A path component as a host name (UTF-8); false for characters Windows file names cannot hold.
bool HostName(std::u16string_view name, std::string* out) {
    out->clear();
    if (name.empty() || name == u"." || name == u"..") return false;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t c = name[i];
        if (c < 0x20 || std::u16string_view(u"/:*?\"<>|").find(static_cast<char16_t>(c)) != std::u16string_view::npos) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// The entry of directory that matches name: the exact name first, else one that differs in case.
bool FindEntry(const std::string& directory, const std::string& name, std::string* path) {
    struct stat info;
    if (::lstat((directory + "/" + name).c_str(), &info) == 0) {
        *path = directory + "/" + name;
        return true;
    }
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        if (EqualIgnoringAsciiCase(entry->d_name, name)) {
            *path = directory + "/" + entry->d_name;
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Maps "\SystemRoot\a\b" to the host path of the file.
NTSTATUS ResolvePath(std::u16string_view name, std::string* hostPath) {
    constexpr std::u16string_view kRoot = u"\\SystemRoot";
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::u16string_view head = name.substr(0, std::min(name.size(), kRoot.size()));
    bool underRoot = head.size() == kRoot.size();
    for (size_t i = 0; underRoot && i < kRoot.size(); ++i) {
        underRoot = RtlUpcaseUnicodeChar(head[i]) == RtlUpcaseUnicodeChar(kRoot[i]);
    }
    if (!underRoot || (name.size() > kRoot.size() && name[kRoot.size()] != u'\\')) return STATUS_OBJECT_PATH_NOT_FOUND;

    std::vector<std::string> parts;
    std::u16string_view rest = name.substr(kRoot.size());
    if (!rest.empty()) rest.remove_prefix(1);
    while (!rest.empty()) {
        size_t end = rest.find(u'\\');
        std::string part;
        if (!HostName(rest.substr(0, end), &part)) return STATUS_OBJECT_NAME_INVALID;
        parts.push_back(part);
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
        if (end != std::u16string_view::npos && rest.empty()) return STATUS_OBJECT_NAME_INVALID;
    }

    std::string root = sim::files::SystemRoot();
    std::string path = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        if (!FindEntry(path, parts[i], &path)) return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        if (!last && !IsDirectory(path)) return STATUS_OBJECT_PATH_NOT_FOUND;
    }

    // A host symbolic link must not lead out of the mapped directory.
    char realRoot[PATH_MAX];
    char realPath[PATH_MAX];
    if (::realpath(root.c_str(), realRoot) == nullptr || ::realpath(path.c_str(), realPath) == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::string prefix = std::string(realRoot) + "/";
    if (std::string(realPath) != realRoot && std::string(realPath).compare(0, prefix.size(), prefix) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    *hostPath = realPath;
    return STATUS_SUCCESS;
}

NTSTATUS Finish(PIO_STATUS_BLOCK ioStatus, NTSTATUS status, ULONG_PTR information) {
    ioStatus->Status = status;
    ioStatus->Information = information;
    return status;
}

}  // namespace

KV_EXTERN_C NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                  PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                  ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                  ULONG EaLength) {
    CheckIrql("ZwCreateFile");
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    if ((CreateOptions & ~FILE_VALID_OPTION_FLAGS) != 0 ||
        (CreateOptions & (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)) == (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE) ||
        CreateDisposition > FILE_OVERWRITE_IF || (EaBuffer == nullptr && EaLength != 0)) {
        return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    }
    if (EaBuffer != nullptr || ObjectAttributes->RootDirectory != nullptr) {
        return Finish(IoStatusBlock, STATUS_NOT_SUPPORTED, 0);
    }
    const PUNICODE_STRING name = ObjectAttributes->ObjectName;
    if (name == nullptr || (name->Length & 1) != 0 || name->Length > name->MaximumLength ||
        (name->Buffer == nullptr && name->Length != 0)) {
        return Finish(IoStatusBlock, STATUS_OBJECT_NAME_INVALID, 0);
    }
    std::string hostPath;
    NTSTATUS status = ResolvePath(std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)), &hostPath);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && CreateDisposition != FILE_OPEN &&
        CreateDisposition != FILE_OVERWRITE) {
        status = STATUS_ACCESS_DENIED;  // it would create the file
    }
    if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
    if ((DesiredAccess & kWriteAccess) != 0 || (CreateOptions & FILE_DELETE_ON_CLOSE) != 0 ||
        (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF)) {
        return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
    }
    bool directory = IsDirectory(hostPath);
    if (directory && (CreateOptions & FILE_NON_DIRECTORY_FILE) != 0) {
        return Finish(IoStatusBlock, STATUS_FILE_IS_A_DIRECTORY, 0);
    }
    if (!directory && (CreateOptions & FILE_DIRECTORY_FILE) != 0) {
        return Finish(IoStatusBlock, STATUS_NOT_A_DIRECTORY, 0);
    }
    int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0) return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);

    void* body = sim::ob::CreateObject(g_fileTypePointer, sizeof(FileObject));
    if (body == nullptr) {
        ::close(fd);
        return Finish(IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    auto* file = new (body) FileObject{};
    file->fd = fd;
    file->directory = directory;
    file->synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    file->granted = DesiredAccess;
    if ((DesiredAccess & (GENERIC_READ | MAXIMUM_ALLOWED)) != 0) file->granted |= FILE_GENERIC_READ;
    file->position = 0;
    sim::ob::HandleTableId table =
        (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0 ? sim::ob::kKernelTable : sim::ob::CurrentHandleTable();
    *FileHandle = sim::ob::InsertHandle(table, body);
    ObfDereferenceObject(body);  // the handle holds the object now
    return Finish(IoStatusBlock, STATUS_SUCCESS, FILE_OPENED);
}

// Reads complete before the call returns. ByteOffset null (or FILE_USE_FILE_POINTER_POSITION)
// reads at the position of a synchronous handle; the position moves past what was read.
KV_EXTERN_C NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                PULONG Key) {
    CheckIrql("ZwReadFile");
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
    if (Event != nullptr || ApcRoutine != nullptr) return STATUS_NOT_SUPPORTED;
    FileReference file;
    NTSTATUS status = file.Acquire(FileHandle);
    if (!NT_SUCCESS(status)) return status;
    if ((file->granted & FILE_READ_DATA) == 0) return STATUS_ACCESS_DENIED;
    if (file->directory) return Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);

    std::lock_guard<std::mutex> guard(file->lock);
    bool usePosition = ByteOffset == nullptr ||
                       (ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
    if (usePosition && !file->synchronous) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    LONGLONG offset = usePosition ? file->position : ByteOffset->QuadPart;
    if (offset < 0) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);

    struct stat info;
    if (::fstat(file->fd, &info) != 0) return Finish(IoStatusBlock, STATUS_UNSUCCESSFUL, 0);
    if (offset >= info.st_size) return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
    ULONG done = 0;
    while (done < Length) {
        ssize_t n = ::pread(file->fd, static_cast<UCHAR*>(Buffer) + done, Length - done, offset + done);
        if (n < 0) return Finish(IoStatusBlock, STATUS_UNSUCCESSFUL, done);
        if (n == 0) break;
        done += static_cast<ULONG>(n);
    }
    if (file->synchronous) file->position = offset + done;
    return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

KV_EXTERN_C NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                            ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    CheckIrql("ZwQueryInformationFile");
    if (IoStatusBlock == nullptr || FileInformation == nullptr) return STATUS_INVALID_PARAMETER;
    FileReference file;
    NTSTATUS status = file.Acquire(FileHandle);
    if (!NT_SUCCESS(status)) return status;
    switch (FileInformationClass) {
        case FileStandardInformation: {
            if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            struct stat info;
            if (::fstat(file->fd, &info) != 0) return Finish(IoStatusBlock, STATUS_UNSUCCESSFUL, 0);
            FILE_STANDARD_INFORMATION standard{};
            standard.EndOfFile.QuadPart = file->directory ? 0 : info.st_size;
            standard.AllocationSize.QuadPart = static_cast<LONGLONG>(ALIGN_UP_BY(standard.EndOfFile.QuadPart, 4096));
            standard.NumberOfLinks = static_cast<ULONG>(info.st_nlink);
            standard.DeletePending = FALSE;
            standard.Directory = file->directory ? TRUE : FALSE;
            std::memcpy(FileInformation, &standard, sizeof(standard));
            return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(standard));
        }
        case FilePositionInformation: {
            if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            FILE_POSITION_INFORMATION position{};
            {
                std::lock_guard<std::mutex> guard(file->lock);
                position.CurrentByteOffset.QuadPart = file->position;
            }
            std::memcpy(FileInformation, &position, sizeof(position));
            return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(position));
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}
