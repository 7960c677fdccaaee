// Topology and wave-cyclic port objects (PcNewPort): Init binds the miniport, which is then held
// until the subdevice goes; every port answers IPortClsVersion, IUnregisterSubdevice,
// IUnregisterPhysicalConnection and IPortEvents. Filters, pins, properties and events opened on a
// registered port are served by the kernel-streaming side (ks_filter.cpp, ks_pin.cpp).
#include "portcls_internal.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace sim::portcls {
namespace {

// {9B2B6F21-6C31-4D0A-8C2E-5E3B5F1E9A40}: the library's private view of its own ports.
constexpr GUID kIidPortSelf = {0x9B2B6F21, 0x6C31, 0x4D0A, {0x8C, 0x2E, 0x5E, 0x3B, 0x5F, 0x1E, 0x9A, 0x40}};

std::atomic<DWORD> g_version{kVersionWinServer2003_UAAQFE};

template <class PortInterface, class MiniportInterface>
class Port : public PortInterface,
             public IPortClsVersion,
             public IUnregisterSubdevice,
             public IUnregisterPhysicalConnection,
             public IPortEvents,
             public PortSelf,
             public PoolObject {
public:
    Port(const CLSID& portClass, const IID& portIid, const IID& miniportIid)
        : m_class(portClass), m_portIid(portIid), m_miniportIid(miniportIid) {}
    ~Port() override { ReleaseChildren(); }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (out == nullptr) return STATUS_INVALID_PARAMETER;
        PUNKNOWN primary = static_cast<PortInterface*>(this);
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, m_portIid)) {
            *out = primary;
        } else if (IsEqualGUID(iid, IID_IPortClsVersion)) {
            *out = static_cast<IPortClsVersion*>(this);
        } else if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) {
            *out = static_cast<IUnregisterSubdevice*>(this);
        } else if (IsEqualGUID(iid, IID_IUnregisterPhysicalConnection)) {
            *out = static_cast<IUnregisterPhysicalConnection*>(this);
        } else if (IsEqualGUID(iid, IID_IPortEvents)) {
            *out = static_cast<IPortEvents*>(this);
        } else if (IsEqualGUID(iid, kIidPortSelf)) {
            *out = static_cast<PortSelf*>(this);
        } else {
            *out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    PC_IMPLEMENT_REFCOUNT;

    // IPort
    STDMETHODIMP Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                      PRESOURCELIST ResourceList) override {
        UNREFERENCED_PARAMETER(Irp);
        PAGED_CODE();
        if (m_miniport != nullptr || m_initialising.exchange(true)) return STATUS_INVALID_DEVICE_REQUEST;
        if (DeviceObject == nullptr || UnknownMiniport == nullptr) {
            m_initialising = false;
            return STATUS_INVALID_PARAMETER;
        }
        PcDeviceOf(DeviceObject, "IPort::Init");
        MiniportInterface* miniport = nullptr;
        NTSTATUS status = UnknownMiniport->QueryInterface(m_miniportIid, reinterpret_cast<PVOID*>(&miniport));
        if (NT_SUCCESS(status)) {
            m_device = DeviceObject;
            status = miniport->Init(UnknownAdapter, ResourceList, static_cast<PortInterface*>(this));
        }
        PPCFILTER_DESCRIPTOR description = nullptr;
        if (NT_SUCCESS(status)) status = miniport->GetDescription(&description);
        if (!NT_SUCCESS(status)) {
            if (miniport != nullptr) miniport->Release();
            m_device = nullptr;
            m_initialising = false;
            return status;
        }
        m_description = description;
        m_miniport = miniport;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
                                   PULONG ResultLength) override {
        if (m_device == nullptr) return STATUS_INVALID_DEVICE_STATE;
        return PcGetDeviceProperty(m_device, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
    }
    STDMETHODIMP NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                PULONG Disposition) override {
        if (m_device == nullptr) return STATUS_INVALID_DEVICE_STATE;
        return PcNewRegistryKey(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess, m_device,
                                static_cast<PortInterface*>(this), ObjectAttributes, CreateOptions, Disposition);
    }

    // IPortClsVersion
    STDMETHODIMP_(DWORD) GetVersion() override { return g_version.load(); }

    // IUnregisterSubdevice
    STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override {
        return sim::portcls::UnregisterSubdevice(DeviceObject, Unknown);
    }

    // IUnregisterPhysicalConnection
    STDMETHODIMP UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                              PUNKNOWN ToUnknown, ULONG ToPin) override {
        if (FromUnknown == nullptr || ToUnknown == nullptr) return STATUS_INVALID_PARAMETER;
        return UnregisterConnection(DeviceObject, FromUnknown, FromPin, nullptr, ToUnknown, ToPin, nullptr);
    }
    STDMETHODIMP UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                        ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin) override {
        if (FromUnknown == nullptr || ToString == nullptr) return STATUS_INVALID_PARAMETER;
        return UnregisterConnection(DeviceObject, FromUnknown, FromPin, nullptr, nullptr, ToPin, ToString);
    }
    STDMETHODIMP UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                          ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) override {
        if (FromString == nullptr || ToUnknown == nullptr) return STATUS_INVALID_PARAMETER;
        return UnregisterConnection(DeviceObject, nullptr, FromPin, FromString, ToUnknown, ToPin, nullptr);
    }

    // IPortEvents. A miniport adds the entries the library handed it while enabling an event;
    // GenerateEventList signals every listed entry that matches (a null set matches any set).
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override {
        if (EventEntry == nullptr) return;
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (!EventEntry->listed) {
            EventEntry->listed = true;
            m_eventList.push_back(EventEntry);
        }
    }
    STDMETHODIMP_(void) GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
                                          ULONG NodeId) override {
        UNREFERENCED_PARAMETER(PinEvent);
        UNREFERENCED_PARAMETER(PinId);
        ++m_events;
        std::lock_guard<std::mutex> guard(m_eventLock);
        for (PKSEVENT_ENTRY entry : m_eventList) {
            if (Set != nullptr && !IsEqualGUID(*Set, entry->set)) continue;
            if (entry->id != EventId) continue;
            if (NodeEvent && (!entry->nodeEvent || entry->nodeId != NodeId)) continue;
            ++entry->signals;
            if (entry->event != nullptr) KeSetEvent(entry->event, IO_NO_INCREMENT, FALSE);
        }
    }

    // PortSelf
    const CLSID& PortClass() const override { return m_class; }
    void ReleaseChildren() override {
        MiniportInterface* miniport = m_miniport.exchange(nullptr);
        if (miniport != nullptr) miniport->Release();
    }
    PUNKNOWN Miniport() const override { return m_miniport.load(); }
    ULONG NotifyCount() const override { return m_notifies.load(); }
    ULONG GeneratedEventCount() const override { return m_events.load(); }
    const PCFILTER_DESCRIPTOR* Description() const override { return m_description; }
    void RemoveEvent(PKSEVENT_ENTRY entry) override {
        std::lock_guard<std::mutex> guard(m_eventLock);
        for (auto it = m_eventList.begin(); it != m_eventList.end(); ++it) {
            if (*it == entry) {
                m_eventList.erase(it);
                entry->listed = false;
                return;
            }
        }
    }

protected:
    std::atomic<ULONG> m_notifies{0};

private:
    const CLSID m_class;
    const IID m_portIid;
    const IID m_miniportIid;
    std::atomic<bool> m_initialising{false};
    std::atomic<MiniportInterface*> m_miniport{nullptr};  // one reference while bound
    PDEVICE_OBJECT m_device = nullptr;
    PPCFILTER_DESCRIPTOR m_description = nullptr;  // the miniport's
    std::atomic<ULONG> m_events{0};
    std::mutex m_eventLock;
    std::vector<PKSEVENT_ENTRY> m_eventList;  // owned by the kernel-streaming side
};

class PortTopology final : public Port<IPortTopology, IMiniportTopology> {
public:
    PortTopology() : Port(CLSID_PortTopology, IID_IPortTopology, IID_IMiniportTopology) {}
};

class PortWaveCyclic final : public Port<IPortWaveCyclic, IMiniportWaveCyclic> {
public:
    PortWaveCyclic() : Port(CLSID_PortWaveCyclic, IID_IPortWaveCyclic, IID_IMiniportWaveCyclic) {}

    STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override {
        ++m_notifies;
        if (ServiceGroup != nullptr) ServiceGroup->RequestService();
    }
    // DMA channels belong to the streaming side of the library, which is not built yet.
    STDMETHODIMP NewSlaveDmaChannel(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, ULONG, BOOLEAN,
                                    DMA_SPEED) override {
        if (DmaChannel != nullptr) *DmaChannel = nullptr;
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, BOOLEAN, BOOLEAN,
                                     DMA_WIDTH, DMA_SPEED) override {
        if (DmaChannel != nullptr) *DmaChannel = nullptr;
        return STATUS_NOT_IMPLEMENTED;
    }
};

}  // namespace

DWORD Version() { return g_version.load(); }
void SetVersion(DWORD version) { g_version = version; }

PortSelf* PortSelfOf(PUNKNOWN unknown) {
    PVOID self = nullptr;
    if (unknown == nullptr || !NT_SUCCESS(unknown->QueryInterface(kIidPortSelf, &self))) return nullptr;
    auto* port = static_cast<PortSelf*>(self);
    unknown->Release();  // the caller holds the object
    return port;
}

ULONG NotifyCount(PUNKNOWN port) {
    PortSelf* self = PortSelfOf(port);
    return self != nullptr ? self->NotifyCount() : 0;
}

ULONG GeneratedEventCount(PUNKNOWN port) {
    PortSelf* self = PortSelfOf(port);
    return self != nullptr ? self->GeneratedEventCount() : 0;
}

}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
    if (OutPort == nullptr) return STATUS_INVALID_PARAMETER;
    *OutPort = nullptr;
    if (IsEqualGUID(ClassId, CLSID_PortTopology)) {
        auto* port = new (kPortTag) PortTopology();
        if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *OutPort = port;
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) {
        auto* port = new (kPortTag) PortWaveCyclic();
        if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *OutPort = port;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}
