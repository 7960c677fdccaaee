// Device interfaces: registration gives a symbolic link per (device, class, reference string),
// enabling makes it visible to user-mode enumeration and openable by path.
#include "pnp_internal.h"

#include <sim/verifier.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace sim::pnp {
namespace {

struct InterfaceTable {
    std::mutex lock;
    std::vector<InterfaceInfo> interfaces;  // in registration order
};

InterfaceTable& Table() {
    static InterfaceTable* table = new InterfaceTable();  // lives as long as the process
    return *table;
}

char16_t UpperChar(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    }
    return true;
}

// The link without its reference string: what a path names before the file name.
std::u16string_view LinkBase(const InterfaceInfo& info) {
    std::u16string_view link = info.symbolicLink;
    if (!info.referenceString.empty()) link.remove_suffix(info.referenceString.size() + 1);
    return link;
}

}  // namespace

std::u16string GuidText(const GUID& guid, bool upperCase) {
    char text[40];
    std::snprintf(text, sizeof(text),
                  upperCase ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                            : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return sim::io::Wide(text);
}

std::u16string InstancePathForLink(const DeviceNode& node) {
    std::u16string path = node.description.deviceId + u"\\" + node.description.instanceId;
    for (auto& c : path) {
        if (c == u'\\') c = u'#';
    }
    return path;
}

std::u16string EnabledInterfacesOf(PDEVICE_OBJECT pdo, size_t* count) {
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    std::u16string links;
    *count = 0;
    for (auto& info : t.interfaces) {
        if (info.physicalDeviceObject == pdo && info.enabled) {
            links += u" " + info.symbolicLink;
            ++*count;
        }
    }
    return links;
}

void ForgetInterfacesOf(PDEVICE_OBJECT pdo) {
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto& info : t.interfaces) {
        if (info.physicalDeviceObject == pdo) {
            info.physicalDeviceObject = nullptr;
            info.enabled = false;
        }
    }
}

std::vector<InterfaceInfo> Interfaces(const GUID* classGuid, bool enabledOnly) {
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    std::vector<InterfaceInfo> out;
    for (auto& info : t.interfaces) {
        if (classGuid != nullptr && !IsEqualGUID(info.classGuid, *classGuid)) continue;
        if (enabledOnly && !info.enabled) continue;
        out.push_back(info);
    }
    return out;
}

}  // namespace sim::pnp

namespace sim::io {

NTSTATUS ResolveInterfacePath(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* rest) {
    using namespace sim::pnp;
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto& info : t.interfaces) {
        std::u16string_view base = LinkBase(info);
        if (!info.enabled || path.size() < base.size() || !EqualNoCase(path.substr(0, base.size()), base)) continue;
        std::u16string_view after = path.substr(base.size());
        if (!after.empty() && after[0] != u'\\') continue;
        *device = info.physicalDeviceObject;
        *rest = std::u16string(after);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace sim::io

using namespace sim::pnp;

KV_EXTERN_C NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                               PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    PAGED_CODE();
    DeviceNode* node = NodeOf(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string reference = sim::io::FromUnicodeString(ReferenceString);
    if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string link = u"\\??\\" + InstancePathForLink(*node) + u"#" + GuidText(*InterfaceClassGuid, false);
    if (!reference.empty()) link += u"\\" + reference;

    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    if (bytes > MAXUSHORT) return STATUS_NAME_TOO_LONG;
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, sim::io::kLinkTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);

    // Registering again answers the same link; the registration itself is kept once.
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto& info : t.interfaces) {
        if (EqualNoCase(info.symbolicLink, link)) {
            info.physicalDeviceObject = PhysicalDeviceObject;
            return STATUS_SUCCESS;
        }
    }
    InterfaceInfo info;
    info.symbolicLink = link;
    info.classGuid = *InterfaceClassGuid;
    info.referenceString = reference;
    info.physicalDeviceObject = PhysicalDeviceObject;
    t.interfaces.push_back(info);
    return STATUS_SUCCESS;
}

KV_EXTERN_C NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    PAGED_CODE();
    std::u16string link = sim::io::FromUnicodeString(SymbolicLinkName);
    InterfaceTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto& info : t.interfaces) {
        if (!EqualNoCase(info.symbolicLink, link)) continue;
        if (info.physicalDeviceObject == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (Enable) {
            if (info.enabled) return STATUS_OBJECT_NAME_EXISTS;
            info.enabled = true;
            ++info.enables;
        } else {
            if (!info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
            info.enabled = false;
            ++info.disables;
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
