// The adapter's USB transport on the simulated bus: synchronous URBs and their time-out, the
// device-gone latch, port status with reset and cycle, the bus frame and speed, and the component
// identifier.
#include "engine/adapter_machine.h"

#include <sim/machine.h>

#include <ostream>
#include <vector>

namespace {

using namespace adapter_test;
using sim::machine::kMillisecond;

NTSTATUS ReadDeviceDescriptor(UsbTransport* transport) {
    USB_DEVICE_DESCRIPTOR descriptor = {};
    URB urb = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 &descriptor, nullptr, sizeof(descriptor), nullptr);
    return transport->SubmitUrbSync(&urb);
}

sim::usb::RequestMatch GetDescriptorMatch(uint8_t type, uint8_t index) {
    return {.bmRequestType = 0x80, .bRequest = USB_REQUEST_GET_DESCRIPTOR, .wValue = uint16_t(type << 8 | index)};
}

// ---- A device that never answers ----

struct SilenceCase {
    const char* name;
    sim::usb::RequestMatch match;
    NTSTATUS start;
    bool friendlyName;
};
void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class SilentDevice : public AdapterMachine, public testing::WithParamInterface<SilenceCase> {};

TEST_P(SilentDevice, UrbIsCancelledAfter500Milliseconds) {
    const SilenceCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    Device().AddControlFault({.match = c.match, .action = sim::usb::FaultAction::NeverAnswer, .times = 1});
    const sim::machine::Time begin = sim::machine::Now();
    EXPECT_EQ(Start(), c.start);
    const sim::machine::Time elapsed = sim::machine::Now() - begin;
    EXPECT_GE(elapsed, 500 * kMillisecond);
    EXPECT_LT(elapsed, 700 * kMillisecond);
    // The cancelled request is gone everywhere, and the transport is idle again.
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    EXPECT_TRUE(Device().PendingRequests().empty());
    EXPECT_EQ(m_adapter->IoInProgressCount(), 1);
    EXPECT_TRUE(m_adapter->IsDevicePresent());
    EXPECT_EQ(EnumText(u"FriendlyName").has_value(), c.friendlyName);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SilentDevice,
    testing::Values(SilenceCase{"DeviceDescriptor", GetDescriptorMatch(USB_DEVICE_DESCRIPTOR_TYPE, 0), STATUS_CANCELLED,
                                false},
                    SilenceCase{"ProductString", GetDescriptorMatch(USB_STRING_DESCRIPTOR_TYPE, 2), STATUS_SUCCESS,
                                false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The device-gone latch ----

TEST_F(AdapterMachine, UnpluggedDeviceLatchesGoneAndLaterUrbsNeverReachTheBus) {
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbTransport* transport = m_adapter;
    EXPECT_EQ(ReadDeviceDescriptor(transport), STATUS_SUCCESS);

    sim::usb::UnplugDevice(m_port);
    EXPECT_EQ(ReadDeviceDescriptor(transport), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(m_adapter->IsDevicePresent());
    const size_t logged = Device().Log().size();
    EXPECT_EQ(ReadDeviceDescriptor(transport), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transport->CheckPortStatus(), TRUE);
    EXPECT_EQ(Device().Log().size(), logged);
    EXPECT_EQ(m_adapter->IoInProgressCount(), 1);

    // Only SetDevicePresent opens the latch again.
    EXPECT_EQ(transport->SetDevicePresent(1), STATUS_SUCCESS);
    EXPECT_EQ(ReadDeviceDescriptor(transport), STATUS_DEVICE_NOT_CONNECTED);
}

// ---- Port status ----

struct PortFault {
    ULONG code;
    NTSTATUS status;
    uint32_t times;
};

struct PortCase {
    const char* name;
    std::vector<PortFault> faults;
    bool unplug;
    BOOLEAN gone;
    uint32_t resets;
    uint32_t cycles;
    std::vector<ULONG> halPower;  // what the HAL is told after a reset
};
void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }

class PortStatus : public AdapterMachine, public testing::WithParamInterface<PortCase> {};

TEST_P(PortStatus, AnswersGoneAfterResetOrCycleAsThePortSays) {
    const PortCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    for (const PortFault& f : c.faults) sim::usb::FailPortRequests(m_port, f.code, f.status, f.times);
    if (c.unplug) sim::usb::UnplugDevice(m_port);

    UsbTransport* transport = m_adapter;
    EXPECT_EQ(transport->CheckPortStatus(), c.gone);
    EXPECT_EQ(m_adapter->IsDevicePresent(), !c.gone);
    EXPECT_EQ(sim::usb::PortResets(m_port), c.resets);
    EXPECT_EQ(sim::usb::PortCycles(m_port), c.cycles);
    EXPECT_EQ(g_Hal.powerStates, c.halPower);
    // Once gone, the answer no longer asks the bus.
    if (c.gone) {
        sim::usb::FailPortRequests(m_port, IOCTL_INTERNAL_USB_GET_PORT_STATUS, STATUS_NO_SUCH_DEVICE, 2);
        EXPECT_EQ(transport->CheckPortStatus(), TRUE);
        EXPECT_EQ(sim::usb::PortCycles(m_port), c.cycles);
    }
}

constexpr ULONG kStatus = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
constexpr ULONG kReset = IOCTL_INTERNAL_USB_RESET_PORT;

INSTANTIATE_TEST_SUITE_P(
    Rows, PortStatus,
    testing::Values(
        PortCase{"Connected", {}, false, FALSE, 0, 0, {}},
        PortCase{"Disconnected", {}, true, TRUE, 0, 0, {}},
        PortCase{"OtherFailure", {{kStatus, STATUS_UNSUCCESSFUL, 1}}, false, TRUE, 0, 0, {}},
        PortCase{"NoSuchDeviceOnce", {{kStatus, STATUS_NO_SUCH_DEVICE, 1}}, false, FALSE, 1, 0, {PowerDeviceD3, PowerDeviceD0}},
        PortCase{"NoSuchDeviceResetRefused",
                 {{kStatus, STATUS_NO_SUCH_DEVICE, 1}, {kReset, STATUS_UNSUCCESSFUL, 1}},
                 false, FALSE, 0, 0, {PowerDeviceD3, PowerDeviceD0}},
        PortCase{"NoSuchDeviceThenOtherFailure",
                 {{kStatus, STATUS_NO_SUCH_DEVICE, 1}, {kStatus, STATUS_UNSUCCESSFUL, 1}}, false, TRUE, 0, 1, {}},
        PortCase{"NoSuchDeviceTwice", {{kStatus, STATUS_NO_SUCH_DEVICE, 2}}, false, TRUE, 0, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterMachine, PortIsCycledOnceHoweverOftenAsked) {
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbTransport* transport = m_adapter;
    EXPECT_EQ(transport->CyclePort(), TRUE);
    EXPECT_EQ(transport->CyclePort(), TRUE);
    EXPECT_EQ(sim::usb::PortCycles(m_port), 1u);
    EXPECT_EQ(ReadDeviceDescriptor(transport), STATUS_UNSUCCESSFUL);
}

// ---- Bus interface ----

struct BusCase {
    const char* device;
    UCHAR highSpeed;
};

class BusInterface : public AdapterMachine, public testing::WithParamInterface<BusCase> {};

TEST_P(BusInterface, FrameAndSpeedComeFromTheBusAndItsReferenceIsGivenBack) {
    ScopedCreators creators(&kRecordingCreators);
    Plug(GetParam().device);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbTransport* transport = m_adapter;
    EXPECT_EQ(transport->IsHighSpeed(), GetParam().highSpeed);
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_port), 1);
    sim::machine::RunFor(7 * kMillisecond);
    ULONG frame = 0xFFFFFFFF;
    transport->QueryBusTime(&frame);
    EXPECT_EQ(frame, sim::usb::CurrentFrame());
    ReleaseAdapter();
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_port), 0);
}

INSTANTIATE_TEST_SUITE_P(Catalog, BusInterface, testing::Values(BusCase{"uac1", 0}, BusCase{"uac2", 1}),
                         [](const auto& info) { return std::string(info.param.device); });

TEST(UsbTransportAlone, BeforeStartNothingReachesABus) {
    PADAPTERCOMMON common = nullptr;
    ASSERT_EQ(CreateAdapter(&common), STATUS_SUCCESS);
    auto* adapter = static_cast<UsbAudioAdapter*>(common);
    ULONG frame = 0xFFFFFFFF;
    EXPECT_FALSE(NT_SUCCESS(adapter->QueryBusTime(&frame)));
    EXPECT_EQ(frame, 0u);
    EXPECT_EQ(ReadDeviceDescriptor(adapter), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(adapter->GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(common->Release(), 0u);
}

// ---- Component identifier ----

struct IdentityCase {
    USHORT vendorId;
    USHORT productId;
};

class ComponentId : public AdapterMachine, public testing::WithParamInterface<IdentityCase> {};

TEST_P(ComponentId, IsBuiltFromVendorAndProduct) {
    const IdentityCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    PlugDevice(Uac1WithIdentity(c.vendorId, c.productId, 0, 0, {}));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    KSCOMPONENTID id;
    std::memset(&id, 0xCC, sizeof(id));
    ASSERT_EQ(m_common->GetComponentId(&id), STATUS_SUCCESS);
    const UCHAR tail[8] = {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA};
    const GUID manufacturer = {0x4E1CECD2u + c.vendorId, 0x1679, 0x463B, {}};
    const GUID product = {0xABCC5A5Eu + c.productId, 0xC263, 0x463B, {}};
    EXPECT_EQ(id.Manufacturer.Data1, manufacturer.Data1);
    EXPECT_EQ(id.Manufacturer.Data2, manufacturer.Data2);
    EXPECT_EQ(id.Manufacturer.Data3, manufacturer.Data3);
    EXPECT_EQ(std::memcmp(id.Manufacturer.Data4, tail, 8), 0);
    EXPECT_EQ(id.Product.Data1, product.Data1);
    EXPECT_EQ(id.Product.Data2, product.Data2);
    EXPECT_EQ(std::memcmp(id.Product.Data4, tail, 8), 0);
    const GUID usbAudio = {0x8F1275F0, 0x26E9, 0x4264, {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};
    EXPECT_TRUE(IsEqualGUID(id.Component, usbAudio));
    EXPECT_TRUE(IsEqualGUID(id.Name, GUID_NULL));
    EXPECT_EQ(id.Version, 0u);
    EXPECT_EQ(id.Revision, 0u);
    EXPECT_EQ(m_common->GetComponentId(nullptr), STATUS_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Rows, ComponentId,
                         testing::Values(IdentityCase{0xA5E7, 0x0067}, IdentityCase{0xFFFF, 0xFFFF}),
                         [](const auto& info) { return "Vid" + std::to_string(info.param.vendorId); });

}  // namespace
