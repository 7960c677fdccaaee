// Port requests (status, reset, cycle, idle notification), the USBDI bus interface through
// IRP_MN_QUERY_INTERFACE, and the checks the bus makes when a port is removed.
#include "bus_test_support.h"

#include "support/bugcheck.h"

#include <sim/pnp.h>

namespace {

using namespace bustest;

class BusPort : public BusFixture {
protected:
    void SetUp() override { Plug("uac1"); }

    NTSTATUS PortStatus(ULONG* status) {
        *status = 0xFFFFFFFF;
        return Send(m_Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, status)->Wait();
    }
    NTSTATUS PortRequest(ULONG code) { return Send(m_Pdo, code, nullptr)->Wait(); }

    NTSTATUS QueryBusInterface(USB_BUS_INTERFACE_USBDI_V1* bus, USHORT size = sizeof(USB_BUS_INTERFACE_USBDI_V1),
                               USHORT version = USB_BUSIF_USBDI_VERSION_1, const GUID& type = USB_BUS_INTERFACE_USBDI_GUID) {
        return sim::pnp::QueryInterface(sim::usb::NodeOf(m_Port), type, size, version, reinterpret_cast<PINTERFACE>(bus));
    }
};

TEST_F(BusPort, StatusResetAndCycleFollowTheDevice) {
    USBD_PIPE_HANDLE stale = OpenPipe(1, 2, 0x01);
    ULONG status;
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    // A reset leaves the device as the client configured it.
    ASSERT_EQ(PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::PortResets(m_Port), 1u);
    EXPECT_EQ(Device().ConfigurationValue(), 1);
    EXPECT_EQ(Device().AlternateSetting(1), 2);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, stale);
    EXPECT_EQ(Submit(&abort), STATUS_SUCCESS) << "pipe handles survive a reset";

    // A cycle enumerates it anew: unconfigured, the old handles gone.
    ASSERT_EQ(PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::PortCycles(m_Port), 1u);
    EXPECT_EQ(Device().ConfigurationValue(), 0);
    EXPECT_EQ(Device().Address(), sim::usb::PortNumber(m_Port));
    const std::vector<std::string> lines = Device().LogLines();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("unplugged", 0) == 0; }),
              lines.end());
    EXPECT_EQ(Submit(&abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    sim::usb::UnplugDevice(m_Port);
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sim::usb::PortCycles(m_Port), 1u) << "an absent device is not plugged back by a cycle";

    sim::usb::ReplugDevice(m_Port);
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

// A port plugged as the hub enumerates devices: a cycle ends what the old node held as gone, the PnP
// manager takes that node away, and the device comes back unconfigured under a new node.
TEST_F(BusFixture, ACycleReenumeratesUnderANewNode) {
    m_Port = sim::usb::PlugCatalogDevice("uac1", {.reenumerate = true});
    ASSERT_NE(m_Port, nullptr);
    m_Ports.push_back(m_Port);
    m_Pdo = sim::usb::PhysicalDeviceObject(m_Port);
    URB interruptUrb{};
    UCHAR message[2];
    auto held = HoldStatusRead(&interruptUrb, message, sizeof message);
    Device().ClearLog();

    ASSERT_EQ(Send(m_Pdo, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(held->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(interruptUrb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    held.reset();
    ASSERT_TRUE(sim::pnp::WaitForIdle(sim::machine::kSecond));

    m_Pdo = sim::usb::PhysicalDeviceObject(m_Port);
    EXPECT_FALSE(sim::pnp::IsStarted(sim::usb::NodeOf(m_Port))) << "no driver is loaded for the service";
    EXPECT_EQ(Device().ConfigurationValue(), 0);
    EXPECT_EQ(Device().Address(), sim::usb::PortNumber(m_Port));
    const std::vector<std::string> lines = Device().LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("unplugged", 0), 0u);
    EXPECT_EQ(lines[1], "plugged in");
    ULONG status = 0;
    ASSERT_EQ(Send(m_Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_EQ(sim::usb::PortCycles(m_Port), 1u);
}

// After a removal the bus may answer STATUS_NO_SUCH_DEVICE instead of STATUS_DEVICE_NOT_CONNECTED,
// port status requests included; a reset with the client's transfers still pending is a verifier stop.
TEST_F(BusPort, RemovalAnswersNoSuchDeviceAndAResetNeedsTheClientsRequestsDrained) {
    USBD_PIPE_HANDLE pipe = OpenPipe(1, 1, 0x01);
    sim::usb::AnswerRemovalWith(m_Port, STATUS_NO_SUCH_DEVICE);
    sim::usb::UnplugDevice(m_Port);
    ULONG status;
    EXPECT_EQ(PortStatus(&status), STATUS_NO_SUCH_DEVICE);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, pipe);
    EXPECT_EQ(Submit(&abort), STATUS_SUCCESS) << "an abort needs no device";
    UCHAR rate[3] = {0x80, 0xBB, 0x00};
    URB setRate = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0100, 0x01, rate,
                                 sizeof rate);
    EXPECT_EQ(Submit(&setRate), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(setRate.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    sim::usb::ReplugDevice(m_Port);

    // A transfer still held when the client resets the port.
    URB interruptUrb{};
    UCHAR message[2];
    auto held = HoldStatusRead(&interruptUrb, message, sizeof message);
    EXPECT_BUGCHECK(PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), "DRIVER_VERIFIER_DETECTED_VIOLATION",
                    "RESET_PORT on port .* with 1 requests of its client still pending");
    URB stop = PipeUrb(URB_FUNCTION_ABORT_PIPE, interruptUrb.UrbBulkOrInterruptTransfer.PipeHandle);
    EXPECT_EQ(Submit(&stop), STATUS_SUCCESS);
    EXPECT_EQ(held->Wait(), STATUS_CANCELLED);
}

TEST_F(BusPort, APortReportedGoneAnswersNeitherConnectedNorEnabledWhileTheDeviceStillAnswers) {
    sim::usb::ReportPortGone(m_Port, true);
    ULONG status;
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, OpenPipe(1, 2, 0x01));
    EXPECT_EQ(Submit(&abort), STATUS_SUCCESS);
    sim::usb::ReportPortGone(m_Port, false);
    ASSERT_EQ(PortStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(BusPort, PortFaultAnswersTheGivenStatusTheGivenNumberOfTimes) {
    sim::usb::FailPortRequests(m_Port, IOCTL_INTERNAL_USB_GET_PORT_STATUS, STATUS_NO_SUCH_DEVICE, 2);
    ULONG status;
    EXPECT_EQ(PortStatus(&status), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(PortStatus(&status), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(PortStatus(&status), STATUS_SUCCESS);
}

VOID CountIdleCallback(PVOID context) { ++*static_cast<int*>(context); }

TEST_F(BusPort, IdleNotificationWaitsForCancelAndCallsBackOnRequest) {
    int calls = 0;
    USB_IDLE_CALLBACK_INFO info{.IdleCallback = CountIdleCallback, .IdleContext = &calls};
    auto idle = Send(m_Pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
    EXPECT_EQ(idle->returned, STATUS_PENDING);
    EXPECT_TRUE(sim::usb::IdleRequestPending(m_Port));
    EXPECT_EQ(Send(m_Pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info)->Wait(),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(Send(m_Pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, 8)->Wait(),
              STATUS_INVALID_PARAMETER);

    EXPECT_TRUE(sim::usb::CallIdleCallback(m_Port));
    EXPECT_EQ(calls, 1);
    sim::machine::RunFor(sim::machine::kSecond);
    EXPECT_FALSE(idle->Completed()) << "the request stays pending after the callback";

    EXPECT_TRUE(IoCancelIrp(idle->irp));
    EXPECT_EQ(idle->Wait(), STATUS_CANCELLED);
    EXPECT_FALSE(sim::usb::CallIdleCallback(m_Port));
}

TEST_F(BusPort, BusInterfaceAnswersTheFrameClockAndCountsReferences) {
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    ASSERT_EQ(QueryBusInterface(&bus), STATUS_SUCCESS);
    EXPECT_EQ(bus.Size, sizeof bus);
    EXPECT_EQ(bus.Version, USB_BUSIF_USBDI_VERSION_1);
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_Port), 1);
    EXPECT_FALSE(bus.IsDeviceHighSpeed(bus.BusContext));

    ULONG first = 0, later = 0;
    ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &first), STATUS_SUCCESS);
    EXPECT_EQ(first, ULONG(sim::machine::Now() / kMillisecond));
    sim::machine::RunFor(25 * kMillisecond);
    ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &later), STATUS_SUCCESS);
    EXPECT_EQ(later - first, 25u);

    bus.InterfaceReference(bus.BusContext);
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_Port), 2);
    bus.InterfaceDereference(bus.BusContext);
    bus.InterfaceDereference(bus.BusContext);
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_Port), 0);

    // Only this interface and versions 0 and 1 are answered; nothing is handed out otherwise.
    struct Case {
        const char* name;
        USHORT size, version;
        GUID type;
        NTSTATUS status;
    } cases[] = {
        {"OtherInterface", sizeof bus, 1, GUID{0x12345678, 0, 0, {0}}, STATUS_NOT_SUPPORTED},
        {"Version2", sizeof bus, USB_BUSIF_USBDI_VERSION_2, USB_BUS_INTERFACE_USBDI_GUID, STATUS_NOT_SUPPORTED},
        {"RecordTooSmall", sizeof(USB_BUS_INTERFACE_USBDI_V0), USB_BUSIF_USBDI_VERSION_1, USB_BUS_INTERFACE_USBDI_GUID,
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        USB_BUS_INTERFACE_USBDI_V1 other{};
        EXPECT_EQ(QueryBusInterface(&other, c.size, c.version, c.type), c.status);
        EXPECT_EQ(other.BusContext, nullptr);
    }
    EXPECT_EQ(sim::usb::BusInterfaceReferences(m_Port), 0);

    USB_BUS_INTERFACE_USBDI_V1 version0{};
    ASSERT_EQ(QueryBusInterface(&version0, sizeof(USB_BUS_INTERFACE_USBDI_V0), USB_BUSIF_USBDI_VERSION_0),
              STATUS_SUCCESS);
    EXPECT_EQ(version0.IsDeviceHighSpeed, nullptr) << "a version 0 record ends before IsDeviceHighSpeed";
    version0.InterfaceDereference(version0.BusContext);
}

TEST_F(BusPort, HighSpeedDeviceSaysSo) {
    Plug("uac2");
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    ASSERT_EQ(QueryBusInterface(&bus), STATUS_SUCCESS);
    EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
    EXPECT_TRUE(sim::usb::IsHighSpeed(m_Port));
    bus.InterfaceDereference(bus.BusContext);
}

using BusPortDeathTest = BusPort;

void RemoveWithReferenceHeld(sim::usb::Port* port) {
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    sim::pnp::QueryInterface(sim::usb::NodeOf(port), USB_BUS_INTERFACE_USBDI_GUID, sizeof bus, USB_BUSIF_USBDI_VERSION_1,
                             reinterpret_cast<PINTERFACE>(&bus));
    sim::usb::RemovePort(port);
}

void RemoveWithIdleRequestHeld(sim::usb::Port* port) {
    static USB_IDLE_CALLBACK_INFO info{.IdleCallback = CountIdleCallback, .IdleContext = nullptr};
    Send(sim::usb::PhysicalDeviceObject(port), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info,
         sizeof info)
        .release();
    sim::usb::RemovePort(port);
}

TEST_F(BusPortDeathTest, RemovalChecksReferencesAndHeldRequests) {
    EXPECT_BUGCHECK(RemoveWithReferenceHeld(m_Port), "DRIVER_VERIFIER_DETECTED_VIOLATION",
                    "1 references on its bus interface not released");
    EXPECT_BUGCHECK(RemoveWithIdleRequestHeld(m_Port), "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "1 requests still held");
}

}  // namespace
