// Device properties and device registry keys of physical device objects.
#include "pnp_internal.h"
#include "registry_store.h"

#include <sim/verifier.h>

#include <cstring>
#include <vector>

namespace sim::pnp {
namespace {

// {9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}
constexpr GUID kBusTypeUsb = {0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};

std::vector<UCHAR> TextBytes(std::u16string_view text) {
    std::vector<UCHAR> bytes((text.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(WCHAR));
    return bytes;
}

template <class T>
std::vector<UCHAR> ValueBytes(const T& value) {
    std::vector<UCHAR> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// A value of the device's Enum key; false when it is absent.
bool DeviceKeyValue(const DeviceNode& node, std::u16string_view name, std::vector<UCHAR>* bytes) {
    auto& store = sim::registry::Store::Instance();
    sim::registry::KeyRef key;
    sim::registry::ValueEntry value;
    if (!NT_SUCCESS(store.Open(nullptr, node.enumPath, &key)) || !NT_SUCCESS(store.GetValue(key, name, &value))) {
        return false;
    }
    *bytes = value.data;
    return true;
}

NTSTATUS PropertyBytes(const DeviceNode& node, DEVICE_REGISTRY_PROPERTY property, std::vector<UCHAR>* bytes) {
    const DeviceDescription& d = node.description;
    const char16_t* valueName = nullptr;
    switch (property) {
        case DevicePropertyDeviceDescription: valueName = u"DeviceDesc"; break;
        case DevicePropertyHardwareID: valueName = u"HardwareID"; break;
        case DevicePropertyCompatibleIDs: valueName = u"CompatibleIDs"; break;
        case DevicePropertyClassName: valueName = u"Class"; break;
        case DevicePropertyClassGuid: valueName = u"ClassGUID"; break;
        case DevicePropertyDriverKeyName: valueName = u"Driver"; break;
        case DevicePropertyManufacturer: valueName = u"Mfg"; break;
        case DevicePropertyFriendlyName: valueName = u"FriendlyName"; break;
        case DevicePropertyLocationInformation: {
            char location[40];
            std::snprintf(location, sizeof(location), "Port_#%04u.Hub_#0001", static_cast<unsigned>(d.address));
            *bytes = TextBytes(sim::io::Wide(location));
            return STATUS_SUCCESS;
        }
        case DevicePropertyPhysicalDeviceObjectName: *bytes = TextBytes(node.pdoName); return STATUS_SUCCESS;
        case DevicePropertyEnumeratorName:
            *bytes = TextBytes(std::u16string_view(d.deviceId).substr(0, d.deviceId.find(u'\\')));
            return STATUS_SUCCESS;
        case DevicePropertyBusTypeGuid: *bytes = ValueBytes(kBusTypeUsb); return STATUS_SUCCESS;
        case DevicePropertyLegacyBusType: *bytes = ValueBytes(static_cast<ULONG>(PNPBus)); return STATUS_SUCCESS;
        case DevicePropertyBusNumber: *bytes = ValueBytes(ULONG{0}); return STATUS_SUCCESS;
        case DevicePropertyAddress:
        case DevicePropertyUINumber: *bytes = ValueBytes(d.address); return STATUS_SUCCESS;
        case DevicePropertyInstallState: *bytes = ValueBytes(ULONG{0}); return STATUS_SUCCESS;  // installed
        case DevicePropertyRemovalPolicy: *bytes = ValueBytes(ULONG{3}); return STATUS_SUCCESS;  // surprise removal
        default: return STATUS_INVALID_PARAMETER_2;
    }
    return DeviceKeyValue(node, valueName, bytes) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace
}  // namespace sim::pnp

using namespace sim::pnp;

KV_EXTERN_C NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    PAGED_CODE();
    DeviceNode* node = NodeOf(DeviceObject, "IoGetDeviceProperty");
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    std::vector<UCHAR> bytes;
    NTSTATUS status = PropertyBytes(*node, DeviceProperty, &bytes);
    if (!NT_SUCCESS(status)) return status;
    *ResultLength = static_cast<ULONG>(bytes.size());
    if (BufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
    if (PropertyBuffer == nullptr) return STATUS_INVALID_PARAMETER;
    std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                             ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
    PAGED_CODE();
    DeviceNode* node = NodeOf(DeviceObject, "IoOpenDeviceRegistryKey");
    if (DeviceRegKey == nullptr) return STATUS_INVALID_PARAMETER;
    *DeviceRegKey = nullptr;
    bool hardwareProfile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    std::u16string path;
    switch (DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
        case PLUGPLAY_REGKEY_DEVICE:
            // The profile's key is the instance key itself; the machine's is its "Device Parameters".
            path = hardwareProfile ? node->hwProfilePath : node->enumPath + u"\\Device Parameters";
            break;
        case PLUGPLAY_REGKEY_DRIVER:
            path = hardwareProfile ? std::u16string(kHwProfileRoot) + u"Control\\Class\\" + node->driverKeyName
                                   : std::u16string(kClassRoot) + node->driverKeyName;
            break;
        default: return STATUS_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    NTSTATUS status = sim::registry::Store::Instance().CreatePath(path, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)), static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                        path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(DeviceRegKey, DesiredAccess, &attributes);
}
