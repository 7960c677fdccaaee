// The real KV-380D module, loaded by path through the PnP manager, on catalog devices plugged into
// the simulated host controller: add, start, surprise removal and removal, then an unload that the
// verifier finds clean. The start goes as far as the driver's parts exist; whatever it answers, the
// interfaces follow it and nothing is left behind.
#include <gtest/gtest.h>
#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/portcls.h>
#include <sim/usb_bus.h>

#include <string>

namespace {

// The driver's private interfaces, as user mode finds them.
constexpr GUID kAsioInterface = {0xB2AA96F0, 0x3543, 0x4B0D, {0x80, 0x65, 0xF3, 0x21, 0xD9, 0x2A, 0xD4, 0xF8}};
constexpr GUID kEnumInterface = {0xDE7DA2E3, 0x9551, 0x4729, {0x89, 0xDF, 0xA0, 0x49, 0xF9, 0xD1, 0x7F, 0x1C}};

using sim::io::Completion;

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

sim::pnp::InterfaceInfo InterfaceOf(PDEVICE_OBJECT pdo, const GUID& classGuid) {
    for (const sim::pnp::InterfaceInfo& info : sim::pnp::Interfaces(&classGuid, false)) {
        if (info.physicalDeviceObject == pdo) return info;
    }
    return {};
}

bool Logged(sim::usb::Device& device, const std::string& text) {
    for (const std::string& line : device.LogLines()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

struct LifeCase {
    const char* name;
    const char* device;
    Completion completion;
    bool readsModelIdentifier;  // protocol 0: the HAL choice reads string 0x50
    bool unplugBeforeStart;
};

class DriverModule : public testing::TestWithParam<LifeCase> {};

TEST_P(DriverModule, GoesThroughItsLifeAndLeavesNothing) {
    const LifeCase& c = GetParam();
    size_t irps = sim::io::LiveIrpCount();
    sim::pnp::Driver* driver = nullptr;
    ASSERT_EQ(sim::pnp::LoadDriver(KV_DRIVER_PATH, u"KV-380D", &driver), STATUS_SUCCESS);
    sim::usb::Port* port = sim::usb::PlugCatalogDevice(c.device, {.completion = c.completion});
    ASSERT_NE(port, nullptr);
    sim::usb::Device& device = sim::usb::DeviceOf(port);
    PDEVICE_OBJECT pdo = sim::usb::PhysicalDeviceObject(port);

    ASSERT_EQ(sim::pnp::AddDevice(driver, sim::usb::NodeOf(port)), STATUS_SUCCESS);
    for (auto [guid, reference] :
         {std::pair{&kAsioInterface, "KLASIOPrivateInterface"}, std::pair{&kEnumInterface, "KLEnumPrivateInterface"}}) {
        sim::pnp::InterfaceInfo info = InterfaceOf(pdo, *guid);
        EXPECT_EQ(Narrow(info.referenceString), reference);
        EXPECT_FALSE(info.enabled);
    }

    if (c.unplugBeforeStart) sim::usb::UnplugDevice(port);
    NTSTATUS started = sim::pnp::StartDevice(sim::usb::NodeOf(port));
    PDEVICE_OBJECT functional = pdo->AttachedDevice;
    ASSERT_NE(functional, nullptr);
    if (c.unplugBeforeStart) {
        EXPECT_FALSE(NT_SUCCESS(started));
    } else {
        // The driver read the whole configuration and selected it before choosing its HAL.
        EXPECT_TRUE(Logged(device, "GET_DESCRIPTOR CONFIGURATION"));
        EXPECT_TRUE(Logged(device, "SET_CONFIGURATION 1"));
        EXPECT_EQ(Logged(device, "GET_DESCRIPTOR STRING 0x50"), c.readsModelIdentifier);
    }
    // Only a complete start publishes the device; an incomplete one publishes nothing.
    EXPECT_EQ(InterfaceOf(pdo, kEnumInterface).enabled, NT_SUCCESS(started)) << std::hex << started;
    if (!NT_SUCCESS(started)) {
        EXPECT_FALSE(InterfaceOf(pdo, kAsioInterface).enabled);
        EXPECT_TRUE(sim::portcls::Subdevices(functional).empty());
    }

    EXPECT_EQ(sim::pnp::SurpriseRemoveDevice(sim::usb::NodeOf(port)), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::RemoveDevice(sim::usb::NodeOf(port)), STATUS_SUCCESS);
    for (const GUID* guid : {&kAsioInterface, &kEnumInterface}) {
        sim::pnp::InterfaceInfo info = InterfaceOf(pdo, *guid);
        EXPECT_FALSE(info.enabled);
        EXPECT_EQ(info.enables, info.disables);
    }
    EXPECT_EQ(sim::usb::HeldRequests(port), 0u);
    EXPECT_EQ(sim::usb::BusInterfaceReferences(port), 0);
    sim::usb::RemovePort(port);
    sim::pnp::UnloadDriver(driver);  // the verifier: pool by tag, handles, threads, callbacks
    EXPECT_EQ(sim::io::LiveIrpCount(), irps);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DriverModule,
    testing::Values(LifeCase{"Uac1", "uac1", Completion::Asynchronous, true, false},
                    LifeCase{"Uac1Synchronous", "uac1", Completion::Synchronous, true, false},
                    LifeCase{"Uac2", "uac2", Completion::Asynchronous, false, false},
                    LifeCase{"Uac2Synchronous", "uac2", Completion::Synchronous, false, false},
                    LifeCase{"Uac1WithModelString", "uac1-r7t3", Completion::Asynchronous, true, false},
                    LifeCase{"Uac1UnpluggedBeforeStart", "uac1", Completion::Asynchronous, true, true},
                    LifeCase{"Uac2UnpluggedBeforeStart", "uac2", Completion::Asynchronous, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
