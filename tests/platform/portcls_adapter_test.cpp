// The port-class adapter core under a driver linked into the test: the start reaches StartDevice
// after the lower stack, subdevices and connections are recorded and unregistered, power changes
// reach the adapter in order, registry keys land in the device's keys, and removal lets every
// object go.
#include "io_helpers.h"

#include <sim/pnp.h>
#include <sim/portcls.h>
#include <sim/registry.h>
#include <win/portcls.h>

#include "test_objects.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using namespace io_test;

namespace {

using portcls_test::LiveObjects;
using portcls_test::TestObject;


std::vector<std::string>* g_events = nullptr;
void Record(std::string event) {
    if (g_events != nullptr) g_events->push_back(std::move(event));
}

// The adapter: its power management records what port-class tells it.
class FakeAdapter final : public TestObject<IAdapterPowerManagement> {
public:
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
            *out = static_cast<IAdapterPowerManagement*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override {
        Record("adapter D" + std::to_string(state.DeviceState - 1));
    }
    STDMETHODIMP QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
        caps->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }
};

PCFILTER_DESCRIPTOR g_description{};

// Miniports hold their port and the adapter, as real ones do.
template <class Miniport, class PortInterface>
class FakeMiniport : public TestObject<Miniport> {
public:
    ~FakeMiniport() override {
        if (m_port != nullptr) m_port->Release();
        if (m_adapter != nullptr) m_adapter->Release();
    }
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, Iid())) {
            *out = static_cast<Miniport*>(this);
            this->AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &g_description;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Bind(PUNKNOWN adapter, PortInterface* port) {
        m_adapter = adapter;
        m_adapter->AddRef();
        m_port = port;
        m_port->AddRef();
        return STATUS_SUCCESS;
    }

private:
    static const IID& Iid();
    PUNKNOWN m_adapter = nullptr;
    PortInterface* m_port = nullptr;
};

class FakeTopology final : public FakeMiniport<IMiniportTopology, IPortTopology> {
public:
    STDMETHODIMP Init(PUNKNOWN adapter, PRESOURCELIST, PPORTTOPOLOGY port) override { return Bind(adapter, port); }
};
template <>
const IID& FakeMiniport<IMiniportTopology, IPortTopology>::Iid() { return IID_IMiniportTopology; }

class FakeWave final : public FakeMiniport<IMiniportWaveCyclic, IPortWaveCyclic> {
public:
    STDMETHODIMP Init(PUNKNOWN adapter, PRESOURCELIST, PPORTWAVECYCLIC port) override { return Bind(adapter, port); }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT, PDMACHANNEL*,
                           PSERVICEGROUP*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
};
template <>
const IID& FakeMiniport<IMiniportWaveCyclic, IPortWaveCyclic>::Iid() { return IID_IMiniportWaveCyclic; }

// What StartDevice saw and built.
struct StartRecord {
    KIRQL irql = 0xFF;
    bool lowerStarted = false;
    ULONG resources = 0xFFFF;
    NTSTATUS duplicateName = 0;
    NTSTATUS unregisteredConnection = 0;
    NTSTATUS beyondMaximum = 0;
    PPORT wavePort = nullptr;  // one reference for the test
};
StartRecord g_start;
bool g_lowerStarted = false;
FakeAdapter* g_adapter = nullptr;

NTSTATUS InstallPort(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources, REFCLSID portClass, PUNKNOWN miniport,
                     PCWSTR name, PPORT* out) {
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, g_adapter, resources);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, const_cast<PWSTR>(name), port);
    *out = port;
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    g_start.irql = KeGetCurrentIrql();
    g_start.lowerStarted = g_lowerStarted;
    g_start.resources = resources->NumberOfEntries();
    PcRegisterAdapterPowerManagement(g_adapter, fdo);

    auto* topology = new FakeTopology();
    PPORT topologyPort = nullptr;
    NTSTATUS status = InstallPort(fdo, irp, resources, CLSID_PortTopology, topology, u"Topology", &topologyPort);
    topology->Release();
    if (!NT_SUCCESS(status)) return status;

    auto* wave = new FakeWave();
    PPORT wavePort = nullptr;
    g_start.duplicateName = InstallPort(fdo, irp, resources, CLSID_PortWaveCyclic, wave, u"TOPOLOGY", &wavePort);
    g_start.unregisteredConnection = PcRegisterPhysicalConnection(fdo, wavePort, 1, topologyPort, 0);
    status = PcRegisterSubdevice(fdo, const_cast<PWSTR>(u"Wave"), wavePort);
    wave->Release();
    if (NT_SUCCESS(status)) status = PcRegisterPhysicalConnection(fdo, wavePort, 1, topologyPort, 0);

    PPORT extra = nullptr;
    PcNewPort(&extra, CLSID_PortWaveCyclic);
    g_start.beyondMaximum = PcRegisterSubdevice(fdo, const_cast<PWSTR>(u"Extra"), extra);
    extra->Release();
    topologyPort->Release();
    g_start.wavePort = wavePort;
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return PcAddAdapterDevice(driver, pdo, StartDevice, 2, 0); }

NTSTATUS LinkedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

NTSTATUS LowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    std::string event = static_cast<const char*>(context);
    if (event == "lower started") g_lowerStarted = true;
    Record(event);
    return STATUS_SUCCESS;
}

// A filter between the adapter and the bus: records when START and power requests have
// completed below it, and leaves the stack at removal as filters do.
class PortClassAdapter : public testing::TestWithParam<Completion> {
protected:
    void SetUp() override {
        g_events = &m_events;
        g_start = {};
        g_lowerStarted = false;
        g_adapter = new FakeAdapter();
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(LinkedDriverEntry, u"KvPortClassTest", &m_driver), STATUS_SUCCESS);
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_0A0B&PID_0001";
        description.completion = GetParam();
        m_node = sim::pnp::CreateDevice(description);
        m_pdo = sim::pnp::PhysicalDeviceObject(m_node);
        m_filter = sim::io::CreateBusDevice([this](PDEVICE_OBJECT, PIRP irp) { return Filter(irp); });
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_filter, m_pdo), m_pdo);
        ASSERT_EQ(sim::pnp::AddDevice(m_driver, m_node), STATUS_SUCCESS);
        m_fdo = IoGetAttachedDevice(m_pdo);
    }
    void TearDown() override {
        if (m_node != nullptr) sim::pnp::DeleteDevice(m_node);
        sim::pnp::UnloadDriver(m_driver);
        g_adapter->Release();
        EXPECT_EQ(LiveObjects().load(), 0);
        g_events = nullptr;
    }
    NTSTATUS Filter(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        const char* record = nullptr;
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) record = "lower started";
        if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER) {
            record = stack->Parameters.Power.State.DeviceState == PowerDeviceD0 ? "lower D0" : "lower D3";
        }
        if (record == nullptr) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LowerRequestDone, const_cast<char*>(record), TRUE, TRUE, TRUE);
        }
        NTSTATUS status = IoCallDriver(m_pdo, irp);
        if (remove) {
            IoDetachDevice(m_pdo);
            sim::io::DeleteBusDevice(m_filter);
        }
        return status;
    }
    void Remove() {
        ASSERT_EQ(sim::pnp::RemoveDevice(m_node), STATUS_SUCCESS);
        EXPECT_EQ(m_pdo->AttachedDevice, nullptr);
    }

    std::vector<std::string> m_events;
    sim::pnp::Driver* m_driver = nullptr;
    sim::pnp::DeviceNode* m_node = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_filter = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
};

TEST_P(PortClassAdapter, StartsAfterTheLowerStackAndRecordsSubdevices) {
    ASSERT_TRUE(sim::portcls::IsPortClassDevice(m_fdo));
    ASSERT_EQ(sim::pnp::StartDevice(m_node), STATUS_SUCCESS);
    EXPECT_EQ(m_events, (std::vector<std::string>{"lower started"}));
    EXPECT_EQ(g_start.irql, PASSIVE_LEVEL);
    EXPECT_EQ(g_start.resources, 0u);
    EXPECT_EQ(g_start.duplicateName, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(g_start.unregisteredConnection, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_start.beyondMaximum, STATUS_INSUFFICIENT_RESOURCES);

    auto subdevices = sim::portcls::Subdevices(m_fdo);
    ASSERT_EQ(subdevices.size(), 2u);
    EXPECT_EQ(subdevices[0].name, u"Topology");
    EXPECT_TRUE(IsEqualGUID(subdevices[0].portClass, CLSID_PortTopology));
    EXPECT_EQ(subdevices[1].name, u"Wave");
    EXPECT_TRUE(IsEqualGUID(subdevices[1].portClass, CLSID_PortWaveCyclic));
    EXPECT_NE(subdevices[1].miniport, nullptr);
    auto connections = sim::portcls::Connections(m_fdo);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].from, u"Wave");
    EXPECT_EQ(connections[0].fromPin, 1u);
    EXPECT_EQ(connections[0].to, u"Topology");
    EXPECT_EQ(sim::portcls::AdapterPowerManagement(m_fdo), static_cast<PUNKNOWN>(g_adapter));

    // The wave subdevice goes through the port's unregister interfaces; its miniport is released.
    PPORT wave = g_start.wavePort;
    PUNREGISTERPHYSICALCONNECTION connection = nullptr;
    PUNREGISTERSUBDEVICE subdevice = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterPhysicalConnection, reinterpret_cast<PVOID*>(&connection)), STATUS_SUCCESS);
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&subdevice)), STATUS_SUCCESS);
    PPORT topology = static_cast<PPORT>(subdevices[0].port);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(m_fdo, wave, 1, topology, 0), STATUS_SUCCESS);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(m_fdo, wave, 1, topology, 0), STATUS_NOT_FOUND);
    int before = LiveObjects();
    EXPECT_EQ(subdevice->UnregisterSubdevice(m_fdo, wave), STATUS_SUCCESS);
    EXPECT_EQ(LiveObjects(), before - 1);  // the wave miniport
    EXPECT_EQ(subdevice->UnregisterSubdevice(m_fdo, wave), STATUS_NOT_FOUND);
    connection->Release();
    subdevice->Release();
    wave->Release();
    EXPECT_EQ(sim::portcls::Subdevices(m_fdo).size(), 1u);

    Remove();
    EXPECT_EQ(LiveObjects(), 1);  // only the test's own adapter reference is left
}

TEST_P(PortClassAdapter, PowerReachesTheAdapterAroundTheLowerStack) {
    ASSERT_EQ(sim::pnp::StartDevice(m_node), STATUS_SUCCESS);
    g_start.wavePort->Release();
    m_events.clear();
    EXPECT_EQ(sim::pnp::SetDevicePower(m_node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::PowerState(m_fdo), PowerDeviceD3);
    EXPECT_EQ(sim::pnp::SetDevicePower(m_node, PowerDeviceD0), STATUS_SUCCESS);
    // Going down the adapter hears first; coming up it hears after the lower stack is in D0.
    EXPECT_EQ(m_events, (std::vector<std::string>{"adapter D3", "lower D3", "lower D0", "adapter D0"}));

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    auto setCaps = [](PIO_STACK_LOCATION stack, void* context) {
        stack->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(context);
    };
    EXPECT_EQ(sim::pnp::SendPnpRequest(m_node, IRP_MN_QUERY_CAPABILITIES, setCaps, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable, 1u);          // from the bus
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);  // from the adapter
    Remove();
}

TEST_P(PortClassAdapter, RegistryKeysReachTheDeviceKeys) {
    ASSERT_EQ(sim::pnp::StartDevice(m_node), STATUS_SUCCESS);
    g_start.wavePort->Release();
    struct KeyCase {
        ULONG type;
        std::u16string path;
    };
    for (const KeyCase& c : {KeyCase{DriverRegistryKey, sim::pnp::DriverKeyPath(m_node)},
                             KeyCase{DeviceRegistryKey, sim::pnp::EnumKeyPath(m_node) + u"\\Device Parameters"}}) {
        PREGISTRYKEY key = nullptr;
        ASSERT_EQ(PcNewRegistryKey(&key, nullptr, c.type, KEY_ALL_ACCESS, m_fdo, nullptr, nullptr, 0, nullptr),
                  STATUS_SUCCESS);
        PREGISTRYKEY settings = nullptr;
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"Settings");
        ULONG disposition = 0;
        ASSERT_EQ(key->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &name, REG_OPTION_NON_VOLATILE, &disposition),
                  STATUS_SUCCESS);
        UNICODE_STRING valueName = RTL_CONSTANT_STRING(u"Level");
        ULONG level = 0x12345678;
        EXPECT_EQ(settings->SetValueKey(&valueName, REG_BINARY, &level, sizeof(level)), STATUS_SUCCESS);
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
        ULONG length = 0;
        EXPECT_EQ(settings->QueryValueKey(&valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->DataLength, 4u);
        settings->Release();
        key->Release();
        auto stored = sim::registry::GetValue(c.path + u"\\Settings", u"Level");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->type, ULONG{REG_BINARY});
        ULONG read = 0;
        std::memcpy(&read, stored->data.data(), 4);
        EXPECT_EQ(read, level);
    }
    WCHAR ids[100] = {};
    ULONG length = 0;
    EXPECT_EQ(PcGetDeviceProperty(m_fdo, DevicePropertyHardwareID, sizeof(ids), ids, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids), u"USB\\VID_0A0B&PID_0001&REV_0100");
    Remove();
}

INSTANTIATE_TEST_SUITE_P(Modes, PortClassAdapter, testing::Values(Completion::Synchronous, Completion::Asynchronous),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

TEST(PortClassVersion, AnswersTheVersionSet) {
    DWORD original = sim::portcls::Version();
    for (DWORD version : {DWORD(kVersionWinXP), DWORD(kVersionWin2K_UAAQFE), DWORD(kVersionWinServer2003_UAAQFE)}) {
        sim::portcls::SetVersion(version);
        for (const CLSID* portClass : {&CLSID_PortTopology, &CLSID_PortWaveCyclic}) {
            PPORT port = nullptr;
            ASSERT_EQ(PcNewPort(&port, *portClass), STATUS_SUCCESS);
            PPORTCLSVERSION query = nullptr;
            ASSERT_EQ(port->QueryInterface(IID_IPortClsVersion, reinterpret_cast<PVOID*>(&query)), STATUS_SUCCESS);
            EXPECT_EQ(query->GetVersion(), version);
            query->Release();
            port->Release();
        }
    }
    sim::portcls::SetVersion(original);
    PPORT port = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(PcNewPort(&port, IID_IUnknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port, nullptr);
}

}  // namespace
