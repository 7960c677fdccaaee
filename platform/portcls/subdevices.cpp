// Subdevices and physical connections registered on an adapter device, and their removal through
// IUnregisterSubdevice and IUnregisterPhysicalConnection.
#include "portcls_internal.h"

#include "../kernel/io_manager.h"

#include <sim/verifier.h>

namespace sim::portcls {
namespace {

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    }
    return true;
}

bool IsRegisteredLocked(PcDevice* d, PUNKNOWN identity) {
    for (auto& subdevice : d->subdevices) {
        if (subdevice.identity == identity) return true;
    }
    return false;
}

std::u16string NameOfLocked(PcDevice* d, PUNKNOWN identity, const std::u16string& external) {
    for (auto& subdevice : d->subdevices) {
        if (subdevice.identity == identity) return subdevice.name;
    }
    return external;
}

NTSTATUS AddConnection(PDEVICE_OBJECT device, PUNKNOWN from, ULONG fromPin, PCUNICODE_STRING fromName, PUNKNOWN to,
                       ULONG toPin, PCUNICODE_STRING toName) {
    PAGED_CODE();
    PcDevice* d = PcDeviceOf(device, "PcRegisterPhysicalConnection");
    PhysicalConnection connection;
    connection.from = from != nullptr ? IdentityOf(from) : nullptr;
    connection.fromPin = fromPin;
    connection.fromName = sim::io::FromUnicodeString(fromName);
    connection.to = to != nullptr ? IdentityOf(to) : nullptr;
    connection.toPin = toPin;
    connection.toName = sim::io::FromUnicodeString(toName);
    std::lock_guard<std::mutex> guard(d->lock);
    // Each end is a registered subdevice of this device or a named external filter.
    bool fromOk = connection.from != nullptr ? IsRegisteredLocked(d, connection.from) : !connection.fromName.empty();
    bool toOk = connection.to != nullptr ? IsRegisteredLocked(d, connection.to) : !connection.toName.empty();
    if (!fromOk || !toOk) return STATUS_INVALID_PARAMETER;
    d->connections.push_back(connection);
    return STATUS_SUCCESS;
}

// Registers and enables one device interface per category of the port's filter, with the subdevice
// name as reference string, as the audio stack finds filters by category.
std::vector<std::u16string> EnableInterfaces(PcDevice* d, PPORT port, const std::u16string& name) {
    std::vector<std::u16string> links;
    PortSelf* self = PortSelfOf(port);
    const PCFILTER_DESCRIPTOR* description = self != nullptr ? self->Description() : nullptr;
    if (description == nullptr || description->Categories == nullptr) return links;
    UNICODE_STRING reference{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(name.size() * sizeof(WCHAR)), const_cast<PWSTR>(name.data())};
    for (ULONG i = 0; i < description->CategoryCount; ++i) {
        UNICODE_STRING link{};
        if (!NT_SUCCESS(IoRegisterDeviceInterface(d->pdo, &description->Categories[i], &reference, &link))) continue;
        if (NT_SUCCESS(IoSetDeviceInterfaceState(&link, TRUE))) links.push_back(sim::io::FromUnicodeString(&link));
        RtlFreeUnicodeString(&link);
    }
    return links;
}

void DisableInterfaces(const std::vector<std::u16string>& links) {
    for (const std::u16string& text : links) {
        UNICODE_STRING link{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(text.size() * sizeof(WCHAR)), const_cast<PWSTR>(text.data())};
        IoSetDeviceInterfaceState(&link, FALSE);
    }
}

}  // namespace

PPORT FindSubdevicePort(PcDevice* d, std::u16string_view name) {
    std::lock_guard<std::mutex> guard(d->lock);
    for (auto& subdevice : d->subdevices) {
        if (SameName(subdevice.name, name)) {
            subdevice.port->AddRef();
            return subdevice.port;
        }
    }
    return nullptr;
}

PUNKNOWN IdentityOf(PUNKNOWN unknown) {
    PUNKNOWN identity = nullptr;
    if (unknown == nullptr || !NT_SUCCESS(unknown->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&identity)))) {
        return nullptr;
    }
    identity->Release();  // the caller holds the object
    return identity;
}

NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT device, PUNKNOWN unknown) {
    PAGED_CODE();
    PcDevice* d = PcDeviceOf(device, "IUnregisterSubdevice::UnregisterSubdevice");
    PUNKNOWN identity = IdentityOf(unknown);
    PPORT port = nullptr;
    std::vector<std::u16string> links;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        for (auto it = d->subdevices.begin(); it != d->subdevices.end(); ++it) {
            if (identity != nullptr && it->identity == identity) {
                port = it->port;
                links.swap(it->interfaceLinks);
                d->subdevices.erase(it);
                break;
            }
        }
    }
    if (port == nullptr) return STATUS_NOT_FOUND;
    DisableInterfaces(links);
    if (PortSelf* self = PortSelfOf(port)) self->ReleaseChildren();
    port->Release();
    return STATUS_SUCCESS;
}

NTSTATUS UnregisterConnection(PDEVICE_OBJECT device, PUNKNOWN from, ULONG fromPin, PCUNICODE_STRING fromName,
                              PUNKNOWN to, ULONG toPin, PCUNICODE_STRING toName) {
    PAGED_CODE();
    PcDevice* d = PcDeviceOf(device, "IUnregisterPhysicalConnection");
    PUNKNOWN fromIdentity = from != nullptr ? IdentityOf(from) : nullptr;
    PUNKNOWN toIdentity = to != nullptr ? IdentityOf(to) : nullptr;
    std::u16string fromText = sim::io::FromUnicodeString(fromName);
    std::u16string toText = sim::io::FromUnicodeString(toName);
    std::lock_guard<std::mutex> guard(d->lock);
    for (auto it = d->connections.begin(); it != d->connections.end(); ++it) {
        if (it->from == fromIdentity && it->fromPin == fromPin && it->to == toIdentity && it->toPin == toPin &&
            SameName(it->fromName, fromText) && SameName(it->toName, toText)) {
            d->connections.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

void ReleaseRegistrations(PcDevice* d) {
    std::vector<RegisteredSubdevice> subdevices;
    PADAPTERPOWERMANAGEMENT power;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        subdevices.swap(d->subdevices);
        d->connections.clear();
        power = d->power;
        d->power = nullptr;
    }
    for (auto& subdevice : subdevices) {
        DisableInterfaces(subdevice.interfaceLinks);
        if (PortSelf* self = PortSelfOf(subdevice.port)) self->ReleaseChildren();
        subdevice.port->Release();
    }
    if (power != nullptr) power->Release();
}

std::vector<Subdevice> Subdevices(PDEVICE_OBJECT device) {
    PcDevice* d = PcDeviceOf(device, "Subdevices");
    std::vector<PPORT> ports;
    std::vector<Subdevice> out;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        for (auto& subdevice : d->subdevices) {
            out.push_back(Subdevice{subdevice.name, subdevice.identity, GUID{}, nullptr});
            ports.push_back(subdevice.port);
        }
    }
    for (size_t i = 0; i < out.size(); ++i) {
        if (PortSelf* self = PortSelfOf(ports[i])) {
            out[i].portClass = self->PortClass();
            out[i].miniport = self->Miniport();
        }
    }
    return out;
}

std::vector<Connection> Connections(PDEVICE_OBJECT device) {
    PcDevice* d = PcDeviceOf(device, "Connections");
    std::lock_guard<std::mutex> guard(d->lock);
    std::vector<Connection> out;
    for (auto& c : d->connections) {
        out.push_back(Connection{NameOfLocked(d, c.from, c.fromName), c.fromPin, NameOfLocked(d, c.to, c.toName),
                                 c.toPin});
    }
    return out;
}

}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown) {
    PAGED_CODE();
    PcDevice* d = PcDeviceOf(DeviceObject, "PcRegisterSubdevice");
    if (Name == nullptr || Name[0] == 0 || Unknown == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string name(Name);
    for (char16_t c : name) {
        if (c == u'\\') return STATUS_INVALID_PARAMETER;
    }
    PPORT port = nullptr;
    NTSTATUS status = Unknown->QueryInterface(IID_IPort, reinterpret_cast<PVOID*>(&port));
    if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
    PUNKNOWN identity = IdentityOf(port);
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->subdevices.size() >= d->maxObjects) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            for (auto& subdevice : d->subdevices) {
                if (SameName(subdevice.name, name)) status = STATUS_OBJECT_NAME_COLLISION;
                if (subdevice.identity == identity) status = STATUS_OBJECT_NAME_COLLISION;
            }
        }
        if (NT_SUCCESS(status)) d->subdevices.push_back(RegisteredSubdevice{name, {}, port, identity});
    }
    if (!NT_SUCCESS(status)) {
        port->Release();
        return status;
    }
    std::vector<std::u16string> links = EnableInterfaces(d, port, name);
    std::lock_guard<std::mutex> guard(d->lock);
    for (auto& subdevice : d->subdevices) {
        if (subdevice.identity == identity) subdevice.interfaceLinks = std::move(links);
    }
    return status;
}

KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                  PUNKNOWN ToUnknown, ULONG ToPin) {
    if (FromUnknown == nullptr || ToUnknown == nullptr) return STATUS_INVALID_PARAMETER;
    return AddConnection(DeviceObject, FromUnknown, FromPin, nullptr, ToUnknown, ToPin, nullptr);
}

KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                            ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin) {
    if (FromUnknown == nullptr || ToString == nullptr) return STATUS_INVALID_PARAMETER;
    return AddConnection(DeviceObject, FromUnknown, FromPin, nullptr, nullptr, ToPin, ToString);
}

KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                              ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
    if (FromString == nullptr || ToUnknown == nullptr) return STATUS_INVALID_PARAMETER;
    return AddConnection(DeviceObject, nullptr, FromPin, FromString, ToUnknown, ToPin, nullptr);
}
