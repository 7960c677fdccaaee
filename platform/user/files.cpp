// CreateFileA on device paths and synchronous DeviceIoControl: requests become IRPs on the
// device's stack with the calling process as requestor; statuses become Win32 errors.
#include "user_internal.h"

#include <sim/io.h>
#include <win/io.h>

#include <string>

using namespace sim::user;

namespace {

// "\\?\X" and "\\.\X" name the object manager's "\??\X"; "\\.\GLOBALROOT\X" names "\X".
bool KernelPath(LPCSTR path, std::u16string* out) {
    std::string text(path);
    std::string kernel;
    if (text.rfind("\\\\.\\GLOBALROOT\\", 0) == 0) {
        kernel = text.substr(14);
    } else if (text.rfind("\\\\?\\", 0) == 0 || text.rfind("\\\\.\\", 0) == 0) {
        kernel = "\\??\\" + text.substr(4);
    } else {
        return false;
    }
    out->clear();
    for (char c : kernel) out->push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return true;
}

}  // namespace

KV_EXTERN_C HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                      DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(dwShareMode);  // devices here enforce no sharing
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(dwFlagsAndAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    std::u16string path;
    if (lpFileName == nullptr || !KernelPath(lpFileName, &path)) {
        return FailWith(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (dwCreationDisposition != OPEN_EXISTING) return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (ShouldFail(Failure::CreateFile)) return FailWith(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    Process* process = CurrentProcess();
    ProcessScope scope(process);
    HANDLE handle = nullptr;
    NTSTATUS status = sim::io::OpenFileHandle(path, &handle);
    if (!NT_SUCCESS(status)) return FailWith(ErrorFromStatus(status), INVALID_HANDLE_VALUE);
    RememberHandle(process, handle, HandleKind::File, nullptr);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

KV_EXTERN_C BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                        LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                        LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER, FALSE);  // handles are synchronous
    Process* process = CurrentProcess();
    ProcessScope scope(process);
    HandleEntry entry{};
    if (!LookUpHandle(process, hDevice, &entry) || entry.kind != HandleKind::File) {
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if (ShouldFail(Failure::DeviceIoControl, dwIoControlCode)) return FailWith(ERROR_GEN_FAILURE, FALSE);
    void* file = nullptr;
    NTSTATUS status = sim::ob::ReferenceByHandle(process->table, hDevice, *IoFileObjectType, &file);
    if (!NT_SUCCESS(status)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    ULONG_PTR information = 0;
    status = sim::io::DeviceIoControl(static_cast<PFILE_OBJECT>(file), dwIoControlCode, lpInBuffer, nInBufferSize,
                                      lpOutBuffer, nOutBufferSize, &information);
    ObDereferenceObject(file);
    // Warnings (buffer overflow) still report the bytes the driver returned.
    if (lpBytesReturned != nullptr && !NT_ERROR(status)) *lpBytesReturned = static_cast<DWORD>(information);
    SetLastError(ErrorFromStatus(status));
    return NT_SUCCESS(status) ? TRUE : FALSE;
}
