// SetupAPI interface enumeration over the kernel's enabled device interfaces. Paths are the
// interfaces' symbolic links in their Win32 form ("\\?\USB#...#{class}\Reference").
#include "user_internal.h"

#include <sim/pnp.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

using namespace sim::user;

namespace {

struct DeviceInfoSet {
    GUID interfaceClass;
    std::vector<std::string> paths;
};

std::atomic<size_t> g_sets{0};

std::string Win32Path(const std::u16string& link) {
    std::string path = "\\\\?\\";
    for (size_t i = 4; i < link.size(); ++i) path.push_back(link[i] < 0x80 ? static_cast<char>(link[i]) : '?');
    return path;
}

}  // namespace

namespace sim::user {
size_t DeviceInfoSetCount() { return g_sets.load(); }
}  // namespace sim::user

KV_EXTERN_C HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    UNREFERENCED_PARAMETER(hwndParent);
    if (Enumerator != nullptr || ClassGuid == nullptr || (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        return FailWith<HDEVINFO>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    auto* set = new DeviceInfoSet{.interfaceClass = *ClassGuid, .paths = {}};
    for (const sim::pnp::InterfaceInfo& info : sim::pnp::Interfaces(ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
        set->paths.push_back(Win32Path(info.symbolicLink));
    }
    ++g_sets;
    return set;
}

KV_EXTERN_C BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                    PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    UNREFERENCED_PARAMETER(DeviceInfoData);
    auto* set = static_cast<struct DeviceInfoSet*>(DeviceInfoSet);
    if (set == nullptr || set == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return FailWith(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (InterfaceClassGuid == nullptr || !IsEqualGUID(*InterfaceClassGuid, set->interfaceClass) ||
        MemberIndex >= set->paths.size()) {
        return FailWith(ERROR_NO_MORE_ITEMS, FALSE);
    }
    DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
    DeviceInterfaceData->Flags = 1;  // active
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

KV_EXTERN_C BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                         DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                         PSP_DEVINFO_DATA DeviceInfoData) {
    UNREFERENCED_PARAMETER(DeviceInfoData);
    auto* set = static_cast<struct DeviceInfoSet*>(DeviceInfoSet);
    if (set == nullptr || set == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->paths.size()) {
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    }
    const std::string& path = set->paths[DeviceInterfaceData->Reserved - 1];
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (RequiredSize != nullptr) *RequiredSize = needed;
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < needed) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return FailWith(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

KV_EXTERN_C BOOL WINAPI SetupDiDeleteDeviceInterfaceData(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    UNREFERENCED_PARAMETER(DeviceInfoSet);
    if (DeviceInterfaceData != nullptr) DeviceInterfaceData->Reserved = 0;
    return TRUE;
}

KV_EXTERN_C BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    auto* set = static_cast<struct DeviceInfoSet*>(DeviceInfoSet);
    if (set == nullptr || set == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    delete set;
    --g_sets;
    return TRUE;
}

KV_EXTERN_C HWND WINAPI GetActiveWindow(void) { return nullptr; }
