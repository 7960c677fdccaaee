// URBs on the default pipe: descriptor reads, class and vendor requests turned into setup packets,
// stalls and short answers, a request the device never answers, and a device that goes away.
#include "bus_test_support.h"

#include <sim/usb_descriptor_builder.h>

#include <algorithm>

namespace {

using namespace bustest;
using sim::usb::ControlFault;
using sim::usb::FaultAction;
using sim::usb::RequestMatch;

class BusControl : public BusFixture, public testing::WithParamInterface<Completion> {
protected:
    void SetUp() override { Plug("uac1", GetParam()); }
};

struct DescriptorCase {
    const char* name;
    UCHAR type;
    UCHAR index;
    USHORT language;
    ULONG length;  // what the request asks
    std::vector<uint8_t> (*expected)(sim::usb::Device&);
};

std::vector<uint8_t> DeviceBytes(sim::usb::Device& d) {
    auto b = d.DeviceDescriptorBytes();
    return {b.begin(), b.end()};
}
std::vector<uint8_t> ConfigurationBytes(sim::usb::Device& d) {
    auto b = d.ConfigurationBytes(0);
    return {b.begin(), b.end()};
}

const DescriptorCase kDescriptorCases[] = {
    {"Device", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, DeviceBytes},
    {"DeviceTruncated", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8,
     [](sim::usb::Device& d) { auto b = DeviceBytes(d); return std::vector<uint8_t>(b.begin(), b.begin() + 8); }},
    {"ConfigurationHeader", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9,
     [](sim::usb::Device& d) { auto c = ConfigurationBytes(d); return std::vector<uint8_t>(c.begin(), c.begin() + 9); }},
    {"ConfigurationWhole", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1024, ConfigurationBytes},
    {"Languages", USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255,
     [](sim::usb::Device&) { return std::vector<uint8_t>{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}; }},
    {"ProductString", USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 256,
     [](sim::usb::Device&) { return sim::usb::BuildStringDescriptor(u"V-260D USB Audio"); }},
    {"ModelStringTruncated", USB_STRING_DESCRIPTOR_TYPE, 0x50, 0x0409, 6,
     [](sim::usb::Device&) { auto s = sim::usb::BuildStringDescriptor(u"R7U7"); s.resize(6); return s; }},
};

TEST_P(BusControl, DescriptorReadsAnswerAtMostTheRequestedLength) {
    for (const DescriptorCase& c : kDescriptorCases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(c.length + 8, 0xEE);
        URB urb = DescriptorUrb(c.type, c.index, c.language, buffer.data(), c.length);
        ASSERT_EQ(Submit(&urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        const std::vector<uint8_t> expected = c.expected(Device());
        ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
        EXPECT_EQ(buffer[expected.size()], 0xEE) << "written past the answer";
    }
}

TEST_P(BusControl, StallsAndShortAnswersReachTheClient) {
    struct Case {
        const char* name;
        std::optional<ControlFault> fault;
        UCHAR type, index;
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG transferred;
    } cases[] = {
        {"StringThatDoesNotExist", std::nullopt, USB_STRING_DESCRIPTOR_TYPE, 0x32, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID, 0},
        {"StalledByFault", ControlFault{.match = {.bRequest = USB_REQUEST_GET_DESCRIPTOR}, .times = 1},
         USB_DEVICE_DESCRIPTOR_TYPE, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
        {"ShortByFault",
         ControlFault{.match = {.bRequest = USB_REQUEST_GET_DESCRIPTOR}, .action = FaultAction::ShortAnswer,
                      .shortLength = 5, .times = 1},
         USB_DEVICE_DESCRIPTOR_TYPE, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault) Device().AddControlFault(*c.fault);
        UCHAR buffer[64] = {};
        URB urb = DescriptorUrb(c.type, c.index, 0x0409, buffer, 18);
        EXPECT_EQ(Submit(&urb), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.transferred);
    }
}

struct SetupCase {
    const char* name;
    USHORT function;
    ULONG flags;
    UCHAR request;
    USHORT value, index;
    ULONG length;
    UCHAR bmRequestType;  // what the device must see
    NTSTATUS status;
};

// The uac1 device answers the vendor "other" request and the feature unit's class requests; the
// rest reach it and are stalled, which still shows the setup packet it was sent.
const SetupCase kSetupCases[] = {
    {"VendorOtherIn", URB_FUNCTION_VENDOR_OTHER, USBD_TRANSFER_DIRECTION_IN, 0x02, 0x0051, 0, 1, 0xC3, STATUS_SUCCESS},
    {"VendorDeviceOut", URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x07, 1, 0, 0, 0x40,
     STATUS_UNSUCCESSFUL},
    {"VendorInterfaceIn", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x11, 2, 1, 4, 0xC1,
     STATUS_UNSUCCESSFUL},
    {"VendorEndpointOut", URB_FUNCTION_VENDOR_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x12, 3, 0x01, 2, 0x42,
     STATUS_UNSUCCESSFUL},
    {"ClassInterfaceGetCurMute", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
     0x81, 0x0100, 0x0200, 1, 0xA1, STATUS_SUCCESS},
    {"ClassInterfaceSetCurVolume", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0201, 0x0200, 2,
     0x21, STATUS_SUCCESS},
    {"ClassEndpointSetCurRate", URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0100, 0x0001, 3,
     0x22, STATUS_SUCCESS},
    {"ClassDeviceIn", URB_FUNCTION_CLASS_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x81, 0, 0, 2, 0xA0, STATUS_UNSUCCESSFUL},
    {"ClassOtherIn", URB_FUNCTION_CLASS_OTHER, USBD_TRANSFER_DIRECTION_IN, 0x81, 0, 0, 2, 0xA3, STATUS_UNSUCCESSFUL},
};

TEST_P(BusControl, ClassAndVendorRequestsBecomeTheirSetupPackets) {
    OpenPipe(1, 1, 0x01);  // class requests to the units and the endpoint need the configured device
    for (const SetupCase& c : kSetupCases) {
        SCOPED_TRACE(c.name);
        UCHAR buffer[8] = {0x80, 0xBB, 0x00};  // OUT data: 48000 Hz for the rate request
        URB urb = VendorClassUrb(c.function, c.flags, c.request, c.value, c.index, buffer, c.length);
        EXPECT_EQ(Submit(&urb), c.status);
        const std::vector<sim::usb::LogEntry> log = Device().Log();
        ASSERT_FALSE(log.empty());
        const sim::usb::SetupPacket& s = log.back().setup;
        EXPECT_EQ(s.bmRequestType, c.bmRequestType);
        EXPECT_EQ(s.bRequest, c.request);
        EXPECT_EQ(s.wValue, c.value);
        EXPECT_EQ(s.wIndex, c.index);
        EXPECT_EQ(s.wLength, c.length);
    }
    EXPECT_EQ(Device().Audio()->StreamRate(1), 48000u);
}

TEST_P(BusControl, UnansweredRequestWaitsUntilCancelled) {
    Device().AddControlFault(ControlFault{.match = {.bRequest = USB_REQUEST_GET_DESCRIPTOR},
                                          .action = FaultAction::NeverAnswer, .times = 1});
    UCHAR buffer[18];
    URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
    auto request = Start(&urb);
    EXPECT_EQ(request->returned, STATUS_PENDING);
    sim::machine::RunFor(2 * sim::machine::kSecond);
    EXPECT_FALSE(request->Completed());
    EXPECT_EQ(sim::usb::HeldRequests(m_Port), 1u);
    ASSERT_EQ(Device().PendingRequests().size(), 1u);

    EXPECT_TRUE(IoCancelIrp(request->irp));
    EXPECT_EQ(request->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(Device().PendingRequests().empty());
    EXPECT_EQ(sim::usb::HeldRequests(m_Port), 0u);
    EXPECT_EQ(Submit(&urb), STATUS_SUCCESS) << "the fault was for one request";
}

// The sampling-frequency request a stream start sends, against a device that stalls it or answers
// it late; a late answer holds the URB for the delay and takes effect only when the device answers,
// so a request cancelled before that changes nothing.
TEST_P(BusControl, SamplingFrequencyRequestStalledOrAnsweredLate) {
    OpenPipe(1, 1, 0x01);
    struct Case {
        const char* name;
        FaultAction action;
        uint32_t delayMs;
        bool cancel;
        NTSTATUS status;
        USBD_STATUS usbd;
        uint32_t rate;  // Hz the device runs at afterwards
    } cases[] = {
        {"Stall", FaultAction::Stall, 0, false, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 44100},
        {"Late", FaultAction::AnswerLate, 40, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 48000},
        {"LateCancelled", FaultAction::AnswerLate, 500, true, STATUS_CANCELLED, USBD_STATUS_CANCELED, 44100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UCHAR rate[3] = {0x44, 0xAC, 0x00};  // 44100 Hz: the device's state before each case
        URB reset = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, USB_AUDIO1_SET_CUR, 0x0100,
                                   0x01, rate, sizeof rate);
        ASSERT_EQ(Submit(&reset), STATUS_SUCCESS);
        Device().AddControlFault(ControlFault{.match = sim::usb::Uac1SamplingFrequencyRequest(0x01),
                                              .action = c.action, .times = 1, .delayMs = c.delayMs});
        UCHAR rate48[3] = {0x80, 0xBB, 0x00};
        URB urb = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, USB_AUDIO1_SET_CUR, 0x0100,
                                 0x01, rate48, sizeof rate48);
        const sim::machine::Time sent = sim::machine::Now();
        auto request = Start(&urb);
        if (c.delayMs != 0) {
            EXPECT_EQ(request->returned, STATUS_PENDING) << "a late answer pends whatever the completion mode";
            sim::machine::RunFor((c.delayMs - 1) * kMillisecond);
            EXPECT_FALSE(request->Completed());
            EXPECT_EQ(sim::usb::HeldRequests(m_Port), 1u);
            EXPECT_EQ(Device().Audio()->StreamRate(1), 44100u) << "not applied before the answer";
        }
        if (c.cancel) {
            EXPECT_TRUE(IoCancelIrp(request->irp));
        }
        EXPECT_EQ(request->Wait(), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        if (c.delayMs != 0 && !c.cancel) {
            EXPECT_EQ(request->completedAt - sent, c.delayMs * kMillisecond);
        }
        EXPECT_EQ(Device().Audio()->StreamRate(1), c.rate);
        EXPECT_EQ(sim::usb::HeldRequests(m_Port), 0u);
    }
}

TEST_P(BusControl, UnplugFailsWhatIsHeldAndWhatComesLater) {
    USBD_PIPE_HANDLE status = OpenPipe(0, 0, 0x83);
    Device().AddControlFault(ControlFault{.match = {.bRequest = USB_REQUEST_GET_DESCRIPTOR},
                                          .action = FaultAction::NeverAnswer, .times = 1});
    UCHAR descriptor[18];
    URB control = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof descriptor);
    UCHAR message[2];
    URB interrupt{};
    UsbBuildInterruptOrBulkTransferRequest(&interrupt, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), status, message,
                                           nullptr, sizeof message, USBD_TRANSFER_DIRECTION_IN, nullptr);
    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectInterface(m_ConfigurationHandle, 1, 1, 1, &pipes), STATUS_SUCCESS);
    UrbBlock iso(GET_ISO_URB_SIZE(1));
    std::vector<UCHAR> samples(192);
    auto& t = iso.Get()->UrbIsochronousTransfer;
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = pipes.at(0).PipeHandle;
    t.TransferBuffer = samples.data();
    t.TransferBufferLength = t.IsoPacket[0].Length = ULONG(samples.size());
    t.NumberOfPackets = 1;
    t.StartFrame = sim::usb::CurrentFrame() + 100;
    std::unique_ptr<InFlight> held[] = {Start(&control), Start(&interrupt), Start(iso.Get())};
    sim::machine::RunFor(20 * kMillisecond);
    EXPECT_EQ(sim::usb::HeldRequests(m_Port), 3u);

    sim::usb::UnplugDevice(m_Port);
    for (auto& r : held) EXPECT_EQ(r->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(control.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(interrupt.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(t.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    t.StartFrame = sim::usb::CurrentFrame() + 2;
    EXPECT_EQ(Submit(iso.Get()), STATUS_DEVICE_NOT_CONNECTED);

    EXPECT_EQ(Submit(&control), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(control.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Submit(&interrupt), STATUS_DEVICE_NOT_CONNECTED);
    Configuration c;
    EXPECT_EQ(SelectConfiguration(&c), STATUS_DEVICE_NOT_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Modes, BusControl, testing::Values(Completion::Asynchronous, Completion::Synchronous),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

}  // namespace
