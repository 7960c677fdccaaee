// Bulk IN on the simulated host controller: the catalog's UAC 2.0 descriptors with a bulk IN
// endpoint added to the AudioControl interface. A read waits while the device has nothing (NAK),
// takes several packets in one frame, ends on a short packet, and is cancellable.
#include "bus_test_support.h"

#include <sim/usb_audio.h>

namespace {

using bustest::BusFixture;
using sim::machine::kMillisecond;

constexpr UCHAR kBulkEndpoint = 0x84;
constexpr uint16_t kBulkPacket = 512;

// "uac2" with a bulk IN endpoint after the AudioControl interface's interrupt endpoint.
std::unique_ptr<sim::usb::Device> Uac2WithBulkIn() {
    auto base = sim::usb::CreateCatalogDevice("uac2");
    std::vector<uint8_t> config(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    const uint8_t bulk[] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kBulkEndpoint, USB_ENDPOINT_TYPE_BULK,
                            uint8_t(kBulkPacket), uint8_t(kBulkPacket >> 8), 0};
    size_t at = 0;
    for (size_t p = 0; p + 2 < config.size(); p += config[p]) {
        if (config[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[p + 2] == 0) ++config[p + 4];  // bNumEndpoints
        if (config[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[p + 2] == 0x83) at = p + config[p];
    }
    config.insert(config.begin() + std::ptrdiff_t(at), std::begin(bulk), std::end(bulk));
    const uint16_t total = uint16_t(config.size());
    config[2] = uint8_t(total);
    config[3] = uint8_t(total >> 8);
    sim::usb::DeviceSetup setup;
    setup.name = "uac2-bulk";
    setup.speed = sim::usb::Speed::High;
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    setup.configurations.push_back(std::move(config));
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

class BusBulkIn : public BusFixture {
protected:
    void SetUp() override {
        m_Port = sim::usb::PlugDevice(Uac2WithBulkIn());
        ASSERT_NE(m_Port, nullptr);
        m_Ports.push_back(m_Port);
        m_Pdo = sim::usb::PhysicalDeviceObject(m_Port);
        m_Pipe = OpenPipe(0, 0, kBulkEndpoint);
        m_Buffer.assign(3000, 0);
        UsbBuildInterruptOrBulkTransferRequest(&m_Urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), m_Pipe, m_Buffer.data(),
                                               nullptr, ULONG(m_Buffer.size()),
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    }
    USBD_PIPE_HANDLE m_Pipe = nullptr;
    std::vector<UCHAR> m_Buffer;
    URB m_Urb{};
};

TEST_F(BusBulkIn, ReadWaitsForDataAndEndsOnAShortPacket) {
    auto read = Start(&m_Urb);
    sim::machine::RunFor(20 * kMillisecond);
    ASSERT_FALSE(read->Completed()) << "nothing queued: the device answers NAK";
    std::vector<uint8_t> data(1300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    Device().Audio()->PostBulkIn(data);
    const sim::machine::Time posted = sim::machine::Now();
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_LE(read->completedAt - posted, 2 * kMillisecond) << "three packets fit one frame";
    ASSERT_EQ(m_Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1300u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), m_Buffer.begin()));
    EXPECT_EQ(Device().Audio()->QueuedBulkIn(), 0u);
}

TEST_F(BusBulkIn, FullBufferEndsTheReadAndTheRestWaitsForTheNext) {
    Device().Audio()->PostBulkIn(std::vector<uint8_t>(3100, 0x5A));
    ASSERT_EQ(Submit(&m_Urb), STATUS_SUCCESS);
    EXPECT_EQ(m_Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3000u);
    EXPECT_EQ(Device().Audio()->QueuedBulkIn(), 100u);
}

TEST_F(BusBulkIn, PendingReadIsCancellable) {
    auto read = Start(&m_Urb);
    sim::machine::RunFor(5 * kMillisecond);
    EXPECT_TRUE(IoCancelIrp(read->irp));
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
}

}  // namespace
