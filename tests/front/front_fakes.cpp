#include "front_fakes.h"

#include "driver/engine/base/KernelUnknown.h"
#include "driver/front/SubdeviceInfo.h"

#include <sim/io.h>

#include <atomic>
#include <string>

namespace front_test {
namespace {

constexpr ULONG kFakeTag = 'ekaF';

Script g_Script;
Log g_Events;
std::atomic<int> g_LiveAdapters{0};
std::atomic<int> g_LiveEngines{0};
std::atomic<int> g_TopologyInstances{0};
std::atomic<int> g_NextInstance{1};

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// An engine whose set-up operations log what the front does with them.
class FakeEngine : public StreamEngine {
public:
    FakeEngine(const EngineScript& Script, ULONG Index) : StreamEngine(nullptr, Index), m_Script(Script) {
        ++g_LiveEngines;
    }
    ~FakeEngine() override {
        if (m_View.topologyPort != nullptr) m_View.topologyPort->Release();
        --g_LiveEngines;
    }

    ULONG GetDirection() override { return m_Script.direction; }
    ULONG GetEndpointType() override { return m_Script.type; }
    NTSTATUS SetName(PCWSTR Name) override {
        if (!NT_SUCCESS(m_Script.setName)) return m_Script.setName;
        m_View.name = Name;
        Note("name");
        return STATUS_SUCCESS;
    }
    NTSTATUS SetMiniportCreator(EngineMiniportCreator Creator, REFCLSID PortClassId) override {
        m_View.creator = Creator;
        m_View.portClass = PortClassId;
        Note("creator");
        return STATUS_SUCCESS;
    }
    NTSTATUS SetTopologyPort(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) override {
        if (TopologyPort == nullptr || TopologyMiniport == nullptr) return STATUS_NO_SUCH_DEVICE;
        TopologyPort->AddRef();
        if (m_View.topologyPort != nullptr) m_View.topologyPort->Release();
        m_View.topologyPort = TopologyPort;
        Note("topology");
        return STATUS_SUCCESS;
    }
    NTSTATUS InstallMiniport(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) override {
        EXPECT_NE(DeviceObject, nullptr);
        EXPECT_NE(Irp, nullptr);
        EXPECT_NE(Adapter, nullptr);
        Note("install");
        return m_Script.install;
    }
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT DeviceObject) override {
        EXPECT_NE(DeviceObject, nullptr);
        Note("remove");
        return m_Script.remove;
    }

    void Note(const char* what) { g_Events.push_back("engine " + Narrow(m_View.name) + " " + what); }

    EngineScript m_Script;
    EngineView m_View;
};

std::vector<FakeEngine*> g_Engines;  // of the newest adapter, for the views

#define FAKE_ASIO_OPERATION(Name, ...) \
    STDMETHODIMP Name(PFILE_OBJECT, ##__VA_ARGS__) override { return STATUS_NOT_IMPLEMENTED; }

class FakeAdapter : public CKernelUnknown,
                    public AdapterCommon,
                    public IAdapterPowerManagement,
                    public AsioPrivateInterface {
public:
    DECLARE_KERNEL_UNKNOWN();
    explicit FakeAdapter(PUNKNOWN UnknownOuter) : CKernelUnknown(UnknownOuter) { ++g_LiveAdapters; }
    ~FakeAdapter() override {
        for (FakeEngine* engine : m_Engines) engine->Release();
        g_Events.push_back("adapter gone");
        --g_LiveAdapters;
    }

    // AdapterCommon.
    STDMETHODIMP GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override {
        if (Info == nullptr || EngineIndex >= m_Engines.size()) return STATUS_INVALID_PARAMETER;
        Info->Flags = m_Engines[EngineIndex]->m_Script.asio ? EndpointFlagAsio : 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetComponentId(PKSCOMPONENTID) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) GetStreamEngineCount() override { return static_cast<ULONG>(m_Engines.size()); }
    STDMETHODIMP GetStreamEngine(ULONG Index, StreamEngine** Engine) override {
        *Engine = nullptr;
        if (Index >= m_Engines.size()) return STATUS_INVALID_PARAMETER;
        *Engine = m_Engines[Index];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) GetNodeCount() override { return 0; }
    STDMETHODIMP GetNode(ULONG, AudioNode** Node) override {
        *Node = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return m_DeviceObject; }
    STDMETHODIMP Init(PRESOURCELIST, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                      PDEVICE_OBJECT PhysicalDeviceObject) override {
        g_Events.push_back("adapter init");
        EXPECT_EQ(LowerDeviceObject, PhysicalDeviceObject) << "the lower device is the bus's";
        m_DeviceObject = DeviceObject;
        if (!NT_SUCCESS(g_Script.init)) return g_Script.init;
        for (const EngineScript& script : g_Script.engines) {
            auto* engine = new (NonPagedPoolNx, kFakeTag) FakeEngine(script, static_cast<ULONG>(m_Engines.size()));
            engine->NonDelegatingAddRef();
            m_Engines.push_back(engine);
        }
        g_Engines = m_Engines;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP Start() override {
        g_Events.push_back("adapter start");
        return g_Script.start;
    }
    STDMETHODIMP Stop() override {
        g_Events.push_back("adapter stop");
        return STATUS_SUCCESS;
    }
    STDMETHODIMP RegisterChangeCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP UnregisterChangeCallback(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP WaitIdle() override {
        g_Events.push_back("adapter wait");
        return STATUS_SUCCESS;
    }
    STDMETHODIMP Identify() override { return STATUS_SUCCESS; }
    STDMETHODIMP BindStreams() override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCaps(ULONG, ULONG, EndpointInfo*) override { return STATUS_NOT_IMPLEMENTED; }

    // IAdapterPowerManagement.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE) override {}
    STDMETHODIMP QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    // AsioPrivateInterface: clients come and go; the rest is not the front's business.
    STDMETHODIMP CreateClient(PFILE_OBJECT FileObject) override {
        g_Events.push_back(FileObject != nullptr ? "create client" : "create client without file");
        return g_Script.createClient;
    }
    FAKE_ASIO_OPERATION(Reserved)
    STDMETHODIMP CloseClient(PFILE_OBJECT FileObject) override {
        g_Events.push_back(FileObject != nullptr ? "close client" : "close client without file");
        return g_Script.closeClient;
    }
    FAKE_ASIO_OPERATION(GetDeviceName, PVOID, PULONG)
    FAKE_ASIO_OPERATION(GetChannels, PVOID, ULONG)
    FAKE_ASIO_OPERATION(GetChannelInfo, PVOID, ULONG)
    FAKE_ASIO_OPERATION(SetNotifyEvent, PULONGLONG)
    FAKE_ASIO_OPERATION(ClearNotifyEvent)
    FAKE_ASIO_OPERATION(GetState, PVOID)
    FAKE_ASIO_OPERATION(GetBitDepths, PVOID, PULONG)
    FAKE_ASIO_OPERATION(GetLatencyChoices, PVOID, PULONG)
    FAKE_ASIO_OPERATION(SetBitDepth, ULONG)
    FAKE_ASIO_OPERATION(SetLatency, ULONG)
    FAKE_ASIO_OPERATION(GetLatencies, PVOID)
    FAKE_ASIO_OPERATION(GetSampleRate, PVOID)
    FAKE_ASIO_OPERATION(CanSampleRate, PULONG)
    FAKE_ASIO_OPERATION(SetSampleRate, PULONG)
    FAKE_ASIO_OPERATION(GetBufferSize, PVOID)
    FAKE_ASIO_OPERATION(CreateBuffers, PVOID, PVOID, PULONG)
    FAKE_ASIO_OPERATION(DisposeBuffers)
    FAKE_ASIO_OPERATION(Start, PULONGLONG)
    FAKE_ASIO_OPERATION(Stop, PIRP)
    FAKE_ASIO_OPERATION(CanDoIoFormat, PULONG)
    FAKE_ASIO_OPERATION(SetIoFormat, PULONG)
    FAKE_ASIO_OPERATION(GetIoFormat, PVOID)

private:
    PDEVICE_OBJECT m_DeviceObject = nullptr;
    std::vector<FakeEngine*> m_Engines;  // one reference each
};

NTSTATUS FakeAdapter::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_AsioPrivateInterface) && !g_Script.answersAsio) {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<AdapterCommon*>(this)},
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
        {IID_AsioPrivateInterface, static_cast<AsioPrivateInterface*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// A topology miniport with an empty filter; named "GlobalTopo", then "GlobalTopo1", ... so that a
// second start of the same device can register its own.
class FakeTopologyMiniport : public CKernelUnknown, public IMiniportTopology, public SubdeviceInfo {
public:
    DECLARE_KERNEL_UNKNOWN();
    explicit FakeTopologyMiniport(PUNKNOWN UnknownOuter) : CKernelUnknown(UnknownOuter) {
        int instance = g_TopologyInstances++;
        std::u16string name = u"GlobalTopo";
        if (instance > 0) name += static_cast<char16_t>(u'0' + instance % 10);
        name.copy(m_Name, name.size());
    }

    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override {
        *Description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, PPORTTOPOLOGY Port) override {
        g_Events.push_back(UnknownAdapter != nullptr && Port != nullptr ? "topology init"
                                                                        : "topology init without adapter");
        return STATUS_SUCCESS;
    }
    STDMETHODIMP MapNodeToPin(PULONG) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP GetName(PWSTR* Name) override {
        *Name = m_Name;
        return STATUS_SUCCESS;
    }

private:
    PCFILTER_DESCRIPTOR m_Filter = {};
    WCHAR m_Name[16] = {};
};

NTSTATUS FakeTopologyMiniport::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_SubdeviceInfo) && !g_Script.topologyAnswersSubdeviceInfo) {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    const KernelInterface answers[] = {
        {IID_IMiniport, static_cast<IMiniportTopology*>(this)},
        {IID_IMiniportTopology, static_cast<IMiniportTopology*>(this)},
        {IID_SubdeviceInfo, static_cast<SubdeviceInfo*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS CreateFakeAdapter(PADAPTERCOMMON* Adapter) {
    *Adapter = nullptr;
    if (!NT_SUCCESS(g_Script.create)) return g_Script.create;
    auto* adapter = new (NonPagedPoolNx, kFakeTag) FakeAdapter(nullptr);
    if (adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    adapter->NonDelegatingAddRef();
    *Adapter = adapter;
    return STATUS_SUCCESS;
}

NTSTATUS CreateFakeTopology(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN UnknownOuter, POOL_TYPE PoolType) {
    *Unknown = nullptr;
    if (!NT_SUCCESS(g_Script.topologyCreate)) return g_Script.topologyCreate;
    return NewKernelObject<FakeTopologyMiniport>(Unknown, UnknownOuter, PoolType, kFakeTag);
}

NTSTATUS WaveCreatorMarker(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN, POOL_TYPE, ULONG) {
    *Unknown = nullptr;
    ADD_FAILURE() << "the fake engines create no wave miniport";
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS FakeAsioControl(AsioPrivateInterface* Asio, PIRP Irp) {
    g_Events.push_back(Asio != nullptr && Irp->IoStatus.Information == 0 ? "asio control" : "asio control unprepared");
    return g_Script.asioControl;
}

const FrontCallees kFakeCallees = {
    .CreateAdapter = CreateFakeAdapter,
    .CreateTopologyMiniport = CreateFakeTopology,
    .CreateWaveCyclicMiniport = WaveCreatorMarker,
    .DispatchAsioControl = FakeAsioControl,
};

}  // namespace

Script& CurrentScript() { return g_Script; }
Log& Events() { return g_Events; }
Log EventsWith(const std::string& prefix) {
    Log out;
    for (const std::string& event : g_Events) {
        if (event.rfind(prefix, 0) == 0) out.push_back(event);
    }
    return out;
}
int LiveAdapters() { return g_LiveAdapters; }
int LiveEngines() { return g_LiveEngines; }

std::vector<EngineView> EngineViews() {
    std::vector<EngineView> views;
    for (FakeEngine* engine : g_Engines) views.push_back(engine->m_View);
    return views;
}

const FrontCallees& FakeCallees() { return kFakeCallees; }

Rig::Rig() {
    g_Script = Script{};
    g_Events.clear();
    g_Engines.clear();
    g_TopologyInstances = 0;
    m_Previous = ExchangeFrontCallees(&kFakeCallees);
    EXPECT_EQ(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &m_Driver), STATUS_SUCCESS);
    sim::pnp::DeviceDescription description;
    description.deviceId = u"USB\\VID_1E7D&PID_3750";
    // A device of its own per rig, so its interface registrations count from zero.
    std::string instance = "9&F0&0&" + std::to_string(g_NextInstance++);
    description.instanceId = std::u16string(instance.begin(), instance.end());
    m_Node = sim::pnp::CreateDevice(description);
}

Rig::~Rig() {
    Finish();
    ExchangeFrontCallees(m_Previous);
    g_Engines.clear();
}

NTSTATUS Rig::Add() {
    NTSTATUS status = sim::pnp::AddDevice(m_Driver, m_Node);
    m_Added = NT_SUCCESS(status);
    return status;
}

NTSTATUS Rig::Start() { return sim::pnp::StartDevice(m_Node); }
NTSTATUS Rig::SurpriseRemove() { return sim::pnp::SurpriseRemoveDevice(m_Node); }

NTSTATUS Rig::Remove() {
    NTSTATUS status = sim::pnp::RemoveDevice(m_Node);
    if (NT_SUCCESS(status)) m_Added = false;
    return status;
}

void Rig::Finish() {
    if (m_Added) Remove();
    if (m_Node != nullptr) sim::pnp::DeleteDevice(m_Node);
    m_Node = nullptr;
    if (m_Driver != nullptr) sim::pnp::UnloadDriver(m_Driver);
    m_Driver = nullptr;
}

PDEVICE_OBJECT Rig::Functional() const { return sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice; }

std::u16string Rig::DevicePath(std::u16string_view file) const {
    WCHAR name[64] = {};
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(sim::pnp::PhysicalDeviceObject(m_Node), DevicePropertyPhysicalDeviceObjectName,
                                  sizeof(name) - sizeof(WCHAR), name, &length),
              STATUS_SUCCESS);
    return std::u16string(name) + std::u16string(file);
}

sim::pnp::InterfaceInfo Rig::Interface(const GUID& classGuid) const {
    PDEVICE_OBJECT pdo = sim::pnp::PhysicalDeviceObject(m_Node);
    for (const sim::pnp::InterfaceInfo& info : sim::pnp::Interfaces(&classGuid, false)) {
        if (info.physicalDeviceObject == pdo) return info;
    }
    return {};
}

}  // namespace front_test
