// Internals of the port-class library: the per-device context kept at the start of an adapter's
// device extension, the object base of the library's COM-style objects, and the ports' view of
// themselves.
#pragma once

#include <sim/portcls.h>
#include <sim/pool.h>
#include <win/kernel.h>
#include <win/portcls.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace sim::portcls {

// Pool tags of the library's objects.
constexpr ULONG kDeviceTag = 'vDcP';        // "PcDv"
constexpr ULONG kPortTag = 'tPcP';          // "PcPt"
constexpr ULONG kResourceListTag = 'lRcP';  // "PcRl"
constexpr ULONG kRegistryKeyTag = 'kRcP';   // "PcRk"
constexpr ULONG kServiceGroupTag = 'gScP';  // "PcSg"

// Objects of the library live in non-paged pool under their tag, so a reference a driver never
// releases shows up in the pool's leak report at unload.
class PoolObject {
public:
    static void* operator new(size_t size, ULONG tag) noexcept { return ExAllocatePoolWithTag(sim::pool::SystemNonPagedType(), size, tag); }
    static void operator delete(void* p) noexcept { ExFreePool(p); }
    static void operator delete(void* p, ULONG) noexcept { ExFreePool(p); }
};

// Reference counting shared by the library's objects; the last Release deletes.
class RefCount {
public:
    ULONG Add() { return ++m_count; }
    ULONG Drop() { return --m_count; }

private:
    std::atomic<ULONG> m_count{1};
};

#define PC_IMPLEMENT_REFCOUNT                                                  \
    STDMETHODIMP_(ULONG) AddRef() override { return m_refs.Add(); }            \
    STDMETHODIMP_(ULONG) Release() override {                                  \
        ULONG left = m_refs.Drop();                                            \
        if (left == 0) delete this;                                            \
        return left;                                                           \
    }                                                                          \
    ::sim::portcls::RefCount m_refs

// What the library needs from its own port objects beyond the published interfaces.
class PortSelf {
public:
    virtual ~PortSelf() = default;
    virtual const CLSID& PortClass() const = 0;
    // Releases the miniport, which breaks the cycle of a miniport that holds its port.
    virtual void ReleaseChildren() = 0;
    virtual PUNKNOWN Miniport() const = 0;
    virtual ULONG NotifyCount() const = 0;
    virtual ULONG GeneratedEventCount() const = 0;
    // The miniport's filter descriptor from Init, or null before it.
    virtual const PCFILTER_DESCRIPTOR* Description() const = 0;
    // The port's enabled events (kernel-streaming side): entries go when their file closes or the
    // client disables them.
    virtual void RemoveEvent(PKSEVENT_ENTRY entry) = 0;
};
// The library's own view of a port object, or null for foreign objects.
PortSelf* PortSelfOf(PUNKNOWN unknown);

struct RegisteredSubdevice {
    std::u16string name;
    std::vector<std::u16string> interfaceLinks;  // one enabled device interface per filter category
    PPORT port = nullptr;        // one reference, held while registered
    PUNKNOWN identity = nullptr;  // the port's IUnknown, for comparisons
};

struct PhysicalConnection {
    PUNKNOWN from = nullptr;  // identity; null for an external source
    ULONG fromPin = 0;
    std::u16string fromName;  // external source name
    PUNKNOWN to = nullptr;
    ULONG toPin = 0;
    std::u16string toName;
};

// The library's context of an adapter device.
struct PcDevice {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what the device is attached to
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    std::mutex lock;  // guards the lists and the power interface
    std::vector<RegisteredSubdevice> subdevices;
    std::vector<PhysicalConnection> connections;
    PADAPTERPOWERMANAGEMENT power = nullptr;  // one reference
    DEVICE_POWER_STATE powerState = PowerDeviceD3;
    bool started = false;
    bool surpriseRemoved = false;
};

// The context of a port-class functional device object; anything else is a bug check.
PcDevice* PcDeviceOf(PDEVICE_OBJECT device, const char* caller);
PcDevice* FindPcDevice(PDEVICE_OBJECT device);
// The object's identity (its IUnknown), without a reference; null when it has none.
PUNKNOWN IdentityOf(PUNKNOWN unknown);

NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT device, PUNKNOWN unknown);
// The registered port of the subdevice called name (case-insensitive), with one reference; null
// when there is none.
PPORT FindSubdevicePort(PcDevice* device, std::u16string_view name);
// Kernel-streaming requests on filter and pin files: create, close and device control.
NTSTATUS DispatchKsCreate(PcDevice* device, PIRP irp);
NTSTATUS DispatchKsClose(PcDevice* device, PIRP irp);
NTSTATUS DispatchKsDeviceControl(PcDevice* device, PIRP irp);
NTSTATUS UnregisterConnection(PDEVICE_OBJECT device, PUNKNOWN from, ULONG fromPin, PCUNICODE_STRING fromName,
                              PUNKNOWN to, ULONG toPin, PCUNICODE_STRING toName);
// Everything registered on the device goes at removal.
void ReleaseRegistrations(PcDevice* device);

}  // namespace sim::portcls

// An enabled event as the library keeps it; drivers see only the pointer.
struct _KSEVENT_ENTRY {
    GUID set{};
    ULONG id = 0;
    bool nodeEvent = false;
    ULONG nodeId = 0;
    PFILE_OBJECT file = nullptr;        // the filter or pin file it was enabled on
    const KSEVENTDATA* clientData = nullptr;  // identifies the entry when the client disables it
    KSEVENTDATA data{};
    PKEVENT event = nullptr;
    bool referenced = false;            // event came from a handle and holds a reference
    std::atomic<ULONG> signals{0};
    bool listed = false;                // added to the port's list by the miniport
};
