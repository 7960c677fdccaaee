// The start routine the port-class library calls once the lower stack has started: it creates and
// starts the adapter, installs the topology subdevice and every stream engine's wave subdevice,
// and enables the private interfaces.
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/InterfaceRef.h"
#include "driver/front/SubdeviceInfo.h"
#include "driver/front/WaveCyclicMiniport.h"

namespace {

// A paged pool block freed when the holder goes.
class PagedBuffer {
public:
    PagedBuffer(SIZE_T Bytes, ULONG Tag) : m_Tag(Tag), m_Block(ExAllocatePoolWithTag(PagedPool, Bytes, Tag)) {
        if (m_Block != nullptr) RtlZeroMemory(m_Block, Bytes);
    }
    ~PagedBuffer() {
        if (m_Block != nullptr) ExFreePoolWithTag(m_Block, m_Tag);
    }
    PagedBuffer(const PagedBuffer&) = delete;
    PagedBuffer& operator=(const PagedBuffer&) = delete;

    PVOID Get() const { return m_Block; }

private:
    ULONG m_Tag;
    PVOID m_Block;
};

// The port-class library must be recent enough: a wave-cyclic port tells its version.
NTSTATUS CheckPortClsVersion() {
    InterfaceRef<IPort> port;
    NTSTATUS status = PcNewPort(port.Receive(), CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    InterfaceRef<IPortClsVersion> version;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPortClsVersion, version.ReceiveVoid())) || !version) {
        return STATUS_UNSUCCESSFUL;
    }
    // Compared signed: kVersionInvalid (-1) is older than every version.
    LONG answer = static_cast<LONG>(version->GetVersion());
    return answer >= static_cast<LONG>(MinimumPortClsVersion) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

struct EngineSetup {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    AdapterCommon* Adapter;
    PUNKNOWN AdapterUnknown;
    PUNKNOWN TopologyPort;
    PUNKNOWN TopologyMiniport;
    PWSTR Name;  // EngineNameChars characters
};

// Names engine Index, gives it the wave-cyclic creator and the topology filter, and installs its
// wave subdevice; *ServesAsio tells whether its endpoint serves the ASIO interface.
NTSTATUS SetUpEngine(const FrontCallees* Callees, AdapterDeviceExtension* Extension, const EngineSetup& Setup,
                     ULONG Index, bool* ServesAsio) {
    StreamEngine* engine = nullptr;  // the HAL's list holds it; no reference of our own
    NTSTATUS status = Setup.Adapter->GetStreamEngine(Index, &engine);
    if (!NT_SUCCESS(status)) return status;
    if (engine == nullptr) return STATUS_UNSUCCESSFUL;

    // Render and capture engines are numbered apart, per endpoint type, across starts.
    ULONG direction = engine->GetDirection();
    ULONG type = engine->GetEndpointType();
    if (EndpointTypeName(type) == nullptr) return STATUS_INVALID_PARAMETER;
    PUCHAR counters = EngineNameCounters(Extension, direction);
    ULONG number = counters[type]++;
    status = FormatEngineName(direction, type, number, Setup.Name);
    if (!NT_SUCCESS(status)) return status;

    status = engine->SetName(Setup.Name);
    if (!NT_SUCCESS(status)) return status;
    status = engine->SetMiniportCreator(Callees->CreateWaveCyclicMiniport, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    status = engine->SetTopologyPort(Setup.TopologyPort, Setup.TopologyMiniport);
    if (!NT_SUCCESS(status)) return status;
    // Installs the wave subdevice and its connection to the topology filter when the jack is present.
    status = engine->InstallMiniport(Setup.DeviceObject, Setup.Irp, Setup.AdapterUnknown);
    // An engine without PCM formats has no wave filter; the device starts without it.
    if (!NT_SUCCESS(status) && status != WaveCyclicNoPcmStatus) return status;

    EndpointInfo info = {};
    Setup.Adapter->GetEndpointInfo(Index, &info);  // a missing record serves no ASIO
    *ServesAsio = (info.Flags & EndpointFlagAsio) != 0;
    return STATUS_SUCCESS;
}

// Enables a registered interface once; an interface enabled by an earlier start stays as it is.
NTSTATUS EnableInterface(UCHAR Registered, PUNICODE_STRING Link, PUCHAR Enabled) {
    if (*Enabled) return STATUS_SUCCESS;
    if (!Registered) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status = IoSetDeviceInterfaceState(Link, TRUE);
    if (NT_SUCCESS(status)) *Enabled = TRUE;
    return status;
}

}  // namespace

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          MiniportCreator Creator, PUNKNOWN AdapterUnknown, PUNKNOWN* Port, PUNKNOWN* Miniport) {
    PAGED_CODE();
    if (Port != nullptr) *Port = nullptr;
    if (Miniport != nullptr) *Miniport = nullptr;
    if (AdapterUnknown == nullptr) return STATUS_INVALID_PARAMETER;

    // Only an adapter can back a subdevice; the interface itself is not used.
    InterfaceRef<AdapterCommon> adapter;
    NTSTATUS status = AdapterUnknown->QueryInterface(IID_AdapterCommon, adapter.ReceiveVoid());
    if (!NT_SUCCESS(status)) return status;

    InterfaceRef<IPort> port;
    status = PcNewPort(port.Receive(), PortClassId);
    if (!NT_SUCCESS(status)) return status;
    if (Creator == nullptr) return STATUS_INVALID_PARAMETER;

    InterfaceRef<IUnknown> miniport;
    status = Creator(miniport.Receive(), MiniportClassId, nullptr, NonPagedPool);
    if (!NT_SUCCESS(status)) return status;
    if (!miniport) return STATUS_UNSUCCESSFUL;
    status = port->Init(DeviceObject, Irp, miniport.Get(), AdapterUnknown, nullptr);
    if (!NT_SUCCESS(status)) return status;

    InterfaceRef<SubdeviceInfo> info;
    status = miniport->QueryInterface(IID_SubdeviceInfo, info.ReceiveVoid());
    if (!NT_SUCCESS(status)) return status;
    PWSTR name = nullptr;
    status = info->GetName(&name);
    if (!NT_SUCCESS(status)) return status;
    status = PcRegisterSubdevice(DeviceObject, name, port.Get());
    if (!NT_SUCCESS(status)) return status;

    if (Port != nullptr) {
        status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(Port));
        if (!NT_SUCCESS(status)) return status;
    }
    // The port holds the miniport; the caller's pointer carries no reference of its own.
    if (Miniport != nullptr) *Miniport = miniport.Get();
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
    PAGED_CODE();
    const FrontCallees* callees = CurrentFrontCallees();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);

    NTSTATUS status = CheckPortClsVersion();
    if (!NT_SUCCESS(status)) return status;

    InterfaceRef<AdapterCommon> adapterUnknown;
    status = callees->CreateAdapter(adapterUnknown.Receive());
    if (!NT_SUCCESS(status)) return status;
    if (!adapterUnknown) return STATUS_UNSUCCESSFUL;
    InterfaceRef<AdapterCommon> adapter;
    status = adapterUnknown->QueryInterface(IID_AdapterCommon, adapter.ReceiveVoid());
    if (!NT_SUCCESS(status)) return status;

    // Settings, USB configuration, the HAL and its engines.
    status = adapter->Init(ResourceList, DeviceObject, extension->LowerDeviceObject, extension->PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) return status;
    status = PcRegisterAdapterPowerManagement(adapter.Get(), DeviceObject);
    if (!NT_SUCCESS(status)) return status;

    PagedBuffer name(EngineNameChars * sizeof(WCHAR), StartDeviceNameTag);
    if (name.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    InterfaceRef<IUnknown> topologyPort;
    PUNKNOWN topologyMiniport = nullptr;  // held by the topology port
    status =
        InstallSubdevice(DeviceObject, Irp, CLSID_PortTopology, CLSID_PortTopology, callees->CreateTopologyMiniport,
                         adapterUnknown.Get(), topologyPort.Receive(), &topologyMiniport);
    if (!NT_SUCCESS(status)) return status;

    const EngineSetup setup = {
        .DeviceObject = DeviceObject,
        .Irp = Irp,
        .Adapter = adapter.Get(),
        .AdapterUnknown = adapterUnknown.Get(),
        .TopologyPort = topologyPort.Get(),
        .TopologyMiniport = topologyMiniport,
        .Name = static_cast<PWSTR>(name.Get()),
    };
    bool anyAsio = false;
    ULONG engines = adapter->GetStreamEngineCount();
    for (ULONG index = 0; index < engines; ++index) {
        bool servesAsio = false;
        status = SetUpEngine(callees, extension, setup, index, &servesAsio);
        if (!NT_SUCCESS(status)) return status;
        anyAsio = anyAsio || servesAsio;
    }

    status = adapter->Start();
    if (!NT_SUCCESS(status)) return status;

    // The ASIO interface only when an endpoint serves it; failing to enable it does not fail the start.
    if (anyAsio) {
        EnableInterface(extension->AsioInterfaceRegistered, &extension->AsioSymbolicLink,
                        &extension->AsioInterfaceEnabled);
    }
    status = EnableInterface(extension->EnumInterfaceRegistered, &extension->EnumSymbolicLink,
                             &extension->EnumInterfaceEnabled);
    if (!NT_SUCCESS(status)) {
        // Not stored, the adapter lives on only through the subdevices: its status thread ends
        // now, so the last reference is never released on that thread.
        adapter->Stop();
        return status;
    }

    // Only a complete start stores the adapter. An adapter of an earlier start is stopped and let go.
    PADAPTERCOMMON previous = extension->Adapter;
    extension->Adapter = adapter.Detach();
    if (previous != nullptr) {
        previous->Stop();
        previous->Release();
    }
    return status;
}
