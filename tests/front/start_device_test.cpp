// Driver entry, add-device and start through the PnP manager with stand-ins for the adapter, its
// engines and the topology miniport: engine naming, interface states, the order of the start's
// steps, what each failing step leaves, and a second start of the same device.
#include "front_fakes.h"

#include <sim/os.h>
#include <sim/pool.h>
#include <sim/portcls.h>

namespace front_test {
namespace {

constexpr ULONG kLinkTag = 'grtS';      // symbolic link buffers of IoRegisterDeviceInterface
constexpr ULONG kPcDeviceTag = 'vDcP';  // the port-class library's device context

EngineScript Render(ULONG type, bool asio = false) {
    return {.direction = StreamDirectionRender, .type = type, .asio = asio};
}
EngineScript Capture(ULONG type, bool asio = false) {
    return {.direction = StreamDirectionCapture, .type = type, .asio = asio};
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// The events of a start that sets up engines with these names, and then starts the adapter.
Log StartEvents(const std::vector<std::string>& names, bool started = true) {
    Log events = {"adapter init", "topology init"};
    for (const std::string& name : names) {
        for (const char* step : {"name", "creator", "topology", "install"})
            events.push_back("engine " + name + " " + step);
    }
    if (started) events.push_back("adapter start");
    return events;
}

class PortClsVersionScope {
public:
    explicit PortClsVersionScope(DWORD version) : m_Saved(sim::portcls::Version()) {
        sim::portcls::SetVersion(version);
    }
    ~PortClsVersionScope() { sim::portcls::SetVersion(m_Saved); }

private:
    DWORD m_Saved;
};

struct NamingCase {
    const char* name;
    std::vector<EngineScript> engines;
    std::vector<std::string> names;
    bool asioEnabled;
};

class StartDeviceNaming : public testing::TestWithParam<NamingCase> {};

// Engines are named per direction and endpoint type, get the wave-cyclic creator and the topology
// port, and are installed in order; the ASIO interface follows the endpoints, the enumeration
// interface is always enabled; removal stops the adapter, removes every engine's subdevice and
// lets everything go.
TEST_P(StartDeviceNaming, NamesInstallsAndRemoves) {
    const NamingCase& c = GetParam();
    Rig rig;
    CurrentScript().engines = c.engines;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    EXPECT_FALSE(rig.Interface(GUID_KLEnumPrivateInterface).enabled);
    EXPECT_FALSE(rig.Interface(GUID_KLASIOPrivateInterface).enabled);
    EXPECT_EQ(Narrow(rig.Interface(GUID_KLASIOPrivateInterface).referenceString), "KLASIOPrivateInterface");
    EXPECT_EQ(Narrow(rig.Interface(GUID_KLEnumPrivateInterface).referenceString), "KLEnumPrivateInterface");

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), StartEvents(c.names));
    std::vector<sim::portcls::Subdevice> subdevices = sim::portcls::Subdevices(rig.Functional());
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_EQ(Narrow(subdevices[0].name), "GlobalTopo");
    std::vector<EngineView> views = EngineViews();
    ASSERT_EQ(views.size(), c.names.size());
    for (size_t i = 0; i < views.size(); ++i) {
        EXPECT_EQ(Narrow(views[i].name), c.names[i]);
        EXPECT_EQ(views[i].creator, FakeCallees().CreateWaveCyclicMiniport);
        EXPECT_TRUE(IsEqualGUID(views[i].portClass, CLSID_PortWaveCyclic));
        EXPECT_EQ(views[i].topologyPort, subdevices[0].port);
    }
    EXPECT_NE(rig.Extension()->Adapter, nullptr);
    EXPECT_NE(sim::portcls::AdapterPowerManagement(rig.Functional()), nullptr);
    EXPECT_TRUE(rig.Interface(GUID_KLEnumPrivateInterface).enabled);
    EXPECT_EQ(rig.Interface(GUID_KLASIOPrivateInterface).enabled, c.asioEnabled);

    Events().clear();
    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    Log expected = {"adapter wait", "adapter stop"};
    for (const std::string& name : c.names) expected.push_back("engine " + name + " remove");
    expected.push_back("adapter gone");
    EXPECT_EQ(Events(), expected);
    for (const GUID* guid : {&GUID_KLEnumPrivateInterface, &GUID_KLASIOPrivateInterface}) {
        sim::pnp::InterfaceInfo info = rig.Interface(*guid);
        EXPECT_FALSE(info.enabled);
        EXPECT_EQ(info.disables, info.enables);
    }
    EXPECT_EQ(LiveAdapters(), 0);
    EXPECT_EQ(LiveEngines(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, StartDeviceNaming,
                         testing::Values(NamingCase{"NoEngines", {}, {}, false},
                                         NamingCase{"PerDirectionAndType",
                                                    {Render(2), Render(2), Capture(2), Capture(7, true), Render(1)},
                                                    {"HPOut00", "HPOut01", "HPIn00", "MicIn00", "SPKOut00"},
                                                    true},
                                         NamingCase{"FirstAndLastTypes",
                                                    {Render(0), Capture(18), Render(15, true)},
                                                    {"StreamOut00", "RecIn00", "SpeakerphoneOut00"},
                                                    true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailingStepCase {
    const char* name;
    std::function<void()> arrange;
    NTSTATUS status;
    Log events;  // what the start did
};

class StartDeviceFailure : public testing::TestWithParam<FailingStepCase> {};

// A failing step ends the start with its status; the adapter is not stored, the enumeration
// interface stays disabled, and removal still takes everything away.
TEST_P(StartDeviceFailure, EndsTheStartWithItsStatus) {
    const FailingStepCase& c = GetParam();
    PortClsVersionScope version(sim::portcls::Version());
    Rig rig;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    c.arrange();
    EXPECT_EQ(rig.Start(), c.status);
    sim::pool::DisarmFaults();
    EXPECT_EQ(Events(), c.events);
    EXPECT_EQ(rig.Extension()->Adapter, nullptr);
    EXPECT_EQ(rig.Interface(GUID_KLEnumPrivateInterface).enables, 0);

    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(EventsWith("adapter stop"), Log{});
    EXPECT_EQ(LiveAdapters(), 0);
    EXPECT_EQ(LiveEngines(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartDeviceFailure,
    testing::Values(FailingStepCase{"PortClassTooOld", [] { sim::portcls::SetVersion(10); }, STATUS_UNSUCCESSFUL, {}},
                    FailingStepCase{"PortClassVersionInvalid",
                                    [] { sim::portcls::SetVersion(static_cast<DWORD>(kVersionInvalid)); },
                                    STATUS_UNSUCCESSFUL,
                                    {}},
                    FailingStepCase{"NoAdapter",
                                    [] { CurrentScript().create = STATUS_INSUFFICIENT_RESOURCES; },
                                    STATUS_INSUFFICIENT_RESOURCES,
                                    {}},
                    FailingStepCase{"AdapterInitFails",
                                    [] { CurrentScript().init = STATUS_NOT_IMPLEMENTED; },
                                    STATUS_NOT_IMPLEMENTED,
                                    {"adapter init", "adapter gone"}},
                    FailingStepCase{"NoNameBuffer",
                                    [] { sim::pool::FailNthAllocation(1, 'pmeT'); },
                                    STATUS_INSUFFICIENT_RESOURCES,
                                    {"adapter init"}},
                    FailingStepCase{"TopologyNotCreated",
                                    [] { CurrentScript().topologyCreate = STATUS_NOT_IMPLEMENTED; },
                                    STATUS_NOT_IMPLEMENTED,
                                    {"adapter init"}},
                    FailingStepCase{"TopologyWithoutName",
                                    [] { CurrentScript().topologyAnswersSubdeviceInfo = false; },
                                    STATUS_INVALID_PARAMETER,
                                    {"adapter init", "topology init"}},
                    FailingStepCase{"EngineTypeWithoutName",
                                    [] {
                                        CurrentScript().engines = {Render(1), Render(EndpointTypeCount)};
                                    },
                                    STATUS_INVALID_PARAMETER, StartEvents({"SPKOut00"}, false)},
                    FailingStepCase{"EngineRefusesName",
                                    [] {
                                        EngineScript refusing = Render(2);
                                        refusing.setName = STATUS_INVALID_PARAMETER;
                                        CurrentScript().engines = {Render(1), refusing};
                                    },
                                    STATUS_INVALID_PARAMETER, StartEvents({"SPKOut00"}, false)},
                    FailingStepCase{"EngineInstallFails",
                                    [] {
                                        EngineScript failing = Capture(7);
                                        failing.install = STATUS_INSUFFICIENT_RESOURCES;
                                        CurrentScript().engines = {failing, Render(1)};
                                    },
                                    STATUS_INSUFFICIENT_RESOURCES, StartEvents({"MicIn00"}, false)},
                    FailingStepCase{"HalStartFails", [] { CurrentScript().start = STATUS_DEVICE_NOT_CONNECTED; },
                                    STATUS_DEVICE_NOT_CONNECTED, StartEvents({})}),
    [](const auto& info) { return std::string(info.param.name); });

// Without its enumeration interface the device is added, and its start fails at the very end: the
// adapter is started, stopped again (its status thread must not hold it) and not stored.
TEST(StartDevice, FailsWithoutEnumerationInterface) {
    Rig rig;
    sim::pool::FailNthAllocation(1, kLinkTag);
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    EXPECT_FALSE(rig.Extension()->EnumInterfaceRegistered);
    EXPECT_TRUE(rig.Extension()->AsioInterfaceRegistered);
    CurrentScript().engines = {Render(1, true)};
    EXPECT_EQ(rig.Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    Log expected = StartEvents({"SPKOut00"});
    expected.push_back("adapter stop");
    EXPECT_EQ(Events(), expected);
    EXPECT_EQ(rig.Extension()->Adapter, nullptr);
    EXPECT_TRUE(rig.Interface(GUID_KLASIOPrivateInterface).enabled);  // enabled before the failing step
    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(rig.Interface(GUID_KLASIOPrivateInterface).enabled);
    EXPECT_EQ(LiveAdapters(), 0);
}

struct AddFailureCase {
    const char* name;
    ULONG tag;
    uint64_t nth;
};

class AddDeviceFailure : public testing::TestWithParam<AddFailureCase> {};

// A failing add leaves nothing behind: no device attached, no reference on the lower device (the
// PnP manager checks both) and no symbolic link (the unload's leak check).
TEST_P(AddDeviceFailure, LeavesNothingBehind) {
    const AddFailureCase& c = GetParam();
    Rig rig;
    sim::pool::FailNthAllocation(c.nth, c.tag);
    EXPECT_EQ(rig.Add(), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_EQ(sim::pnp::PhysicalDeviceObject(rig.Node())->AttachedDevice, nullptr);
    EXPECT_FALSE(rig.Interface(GUID_KLASIOPrivateInterface).enabled);
    rig.Finish();
}

INSTANTIATE_TEST_SUITE_P(Steps, AddDeviceFailure,
                         testing::Values(AddFailureCase{"AsioInterfaceNotRegistered", kLinkTag, 2},
                                         AddFailureCase{"NoPortClassDevice", kPcDeviceTag, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A second start after a stop stores the new adapter and lets the old one go, stopped; engine names
// continue where the first start left them; the interfaces are enabled once.
TEST(StartDevice, SecondStartReplacesTheAdapter) {
    Rig rig;
    CurrentScript().engines = {Render(1, true)};
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    PADAPTERCOMMON first = rig.Extension()->Adapter;
    ASSERT_EQ(sim::pnp::StopDevice(rig.Node()), STATUS_SUCCESS);
    EXPECT_EQ(EventsWith("adapter wait").size(), 2u);  // query-stop and stop wake the device first

    Events().clear();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    Log expected = StartEvents({"SPKOut01"});
    expected.insert(expected.end(), {"adapter stop", "adapter gone"});
    EXPECT_EQ(Events(), expected);
    EXPECT_NE(rig.Extension()->Adapter, first);
    EXPECT_EQ(LiveAdapters(), 1);
    EXPECT_EQ(rig.Interface(GUID_KLEnumPrivateInterface).enables, 1);
    EXPECT_EQ(rig.Interface(GUID_KLASIOPrivateInterface).enables, 1);
    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(LiveAdapters(), 0);
}

TEST(DriverEntry, TakesOverFourRequestsAndNeedsWindowsXp) {
    {
        Rig rig;
        PDRIVER_OBJECT driver = sim::pnp::DriverObjectOf(rig.Driver());
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreate);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchClose);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], PcDispatchIrp);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], PcDispatchIrp);
        EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    }
    sim::os::ScopedVersion windows2000(0x05000000);
    sim::pnp::Driver* driver = nullptr;
    EXPECT_EQ(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
}

}  // namespace
}  // namespace front_test
