// Catalog devices: their descriptors parse with the USBD functions into the interfaces and
// endpoints the driver looks for, and they answer the identification reads of the HAL choice.
#include "usb_test_support.h"

#include <gtest/gtest.h>
#include <win/usb.h>

#include <optional>

namespace {

using namespace sim::usb;
using namespace usbtest;

struct Shape {
    const char* name;
    Speed speed;
    uint8_t protocol;               // AudioControl bInterfaceProtocol
    uint16_t statusPacketBytes;     // interrupt IN endpoint of the AudioControl interface
    std::vector<int> streaming;     // interface x 10 + alternate setting, in descriptor order
    std::vector<uint8_t> dataEndpoints;
    std::optional<uint8_t> feedbackEndpoint;
    std::optional<uint8_t> controlBulkEndpoint{};  // bulk IN beside the status endpoint
};

const Shape kShapes[] = {
    {"uac1", Speed::Full, 0x00, 2, {10, 11, 12, 20, 21, 22}, {0x01, 0x82}, std::nullopt},
    {"uac2", Speed::High, 0x20, 6, {10, 11, 12, 20, 21, 22}, {0x01, 0x82}, 0x81},
    {"uac2-vendor", Speed::High, 0x20, 6, {10, 11, 12, 13, 14, 20, 21}, {0x01, 0x82}, 0x81, 0x84},
};

TEST(Catalog, DevicesHaveTheInterfacesAndEndpointsTheDriverLooksFor) {
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(s.name);
        auto device = CreateCatalogDevice(s.name);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->GetSpeed(), s.speed);
        const USB_DEVICE_DESCRIPTOR dd = device->Descriptor();
        EXPECT_EQ(uint16_t(dd.idVendor), 0xA5E7);
        EXPECT_NE(dd.iProduct, 0);

        std::vector<uint8_t> bytes(device->ConfigurationBytes(0).begin(), device->ConfigurationBytes(0).end());
        auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
        ASSERT_EQ(size_t(c->wTotalLength), bytes.size());
        auto* ac = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 1, 1, -1);
        ASSERT_NE(ac, nullptr);
        EXPECT_EQ(ac->bInterfaceProtocol, s.protocol);
        ASSERT_EQ(ac->bNumEndpoints, s.controlBulkEndpoint ? 2 : 1);
        auto* status = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(c, c->wTotalLength, ac, USB_ENDPOINT_DESCRIPTOR_TYPE));
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(status->bEndpointAddress & 0x80, 0x80);
        EXPECT_EQ(status->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_INTERRUPT);
        EXPECT_EQ(uint16_t(status->wMaxPacketSize), s.statusPacketBytes);
        if (s.controlBulkEndpoint) {
            auto* bulk = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                c, c->wTotalLength, reinterpret_cast<PUCHAR>(status) + status->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE));
            ASSERT_NE(bulk, nullptr);
            EXPECT_EQ(bulk->bEndpointAddress, *s.controlBulkEndpoint);
            EXPECT_EQ(bulk->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_BULK);
        }

        std::vector<int> streaming;
        std::vector<uint8_t> data;
        std::optional<uint8_t> feedback;
        for (PVOID at = c; auto* i = USBD_ParseConfigurationDescriptorEx(c, at, -1, -1, 1, 2, -1);
             at = reinterpret_cast<PUCHAR>(i) + i->bLength) {
            streaming.push_back(i->bInterfaceNumber * 10 + i->bAlternateSetting);
            EXPECT_EQ(i->bInterfaceProtocol, s.protocol);
            auto* e = reinterpret_cast<PUCHAR>(i) + i->bLength;
            for (int n = 0; n < i->bNumEndpoints;) {  // the endpoints follow their interface
                auto* d = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
                    USBD_ParseDescriptors(c, c->wTotalLength, e, USB_ENDPOINT_DESCRIPTOR_TYPE));
                ASSERT_NE(d, nullptr);
                EXPECT_EQ(d->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_ISOCHRONOUS);
                if ((d->bmAttributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK) {
                    feedback = d->bEndpointAddress;
                } else if (std::find(data.begin(), data.end(), d->bEndpointAddress) == data.end()) {
                    data.push_back(d->bEndpointAddress);
                }
                e = reinterpret_cast<PUCHAR>(d) + d->bLength;
                ++n;
            }
        }
        EXPECT_EQ(streaming, s.streaming);
        EXPECT_EQ(data, s.dataEndpoints);
        EXPECT_EQ(feedback, s.feedbackEndpoint);
    }
}

// What the HAL choice and the UAC 1.0 identification read: string 0x50, else 0x32, then vendor
// requests to "other".
struct Identity {
    const char* name;
    std::optional<std::u16string> chip50, chip32;
    std::vector<std::pair<SetupPacket, uint8_t>> vendorBytes;
};

SetupPacket VendorOther(uint8_t request, uint16_t value, uint16_t index) {
    return MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, request, value, index, 1);
}

std::optional<std::u16string> ReadString(Device& d, uint8_t index) {
    Reply r = GetDescriptor(d, USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, 104);
    if (r.status != ControlStatus::Ok) return std::nullopt;
    EXPECT_EQ(r.bytes[0], r.bytes.size());
    std::u16string text;
    for (size_t i = 2; i + 1 < r.bytes.size(); i += 2) text.push_back(char16_t(r.bytes[i] | r.bytes[i + 1] << 8));
    return text;
}

TEST(Catalog, AnswersTheIdentificationReads) {
    const Identity identities[] = {
        {"uac1", u"R7U7", std::nullopt, {{VendorOther(0x02, 0x0051, 0), 0x1F}}},
        {"uac1-klq864", u"KLQ864", std::nullopt, {{VendorOther(0x00, 0x001A, 0), 0x0E}, {VendorOther(0x00, 0x0020, 0), 0x00}}},
        {"uac1-r7t5", std::u16string{0x000B, 0x0005, 0x0050, 0x0001}, std::nullopt,
         {{VendorOther(0x81, 0, 9), 0x9F}, {VendorOther(0x81, 0, 8), 0x03}}},
        {"uac1-r7t3", u"R7T3-01", std::nullopt, {}},
        {"uac1-r7u5", std::nullopt, u"R7U5", {}},
        {"uac1-w4m3", u"KLQ866", std::nullopt, {}},
        {"uac1-nochip", std::nullopt, std::nullopt, {}},
    };
    for (const Identity& id : identities) {
        SCOPED_TRACE(id.name);
        auto d = Configured(id.name);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(ReadString(*d, 0x50), id.chip50);
        EXPECT_EQ(ReadString(*d, 0x32), id.chip32);
        for (const auto& [setup, byte] : id.vendorBytes) {
            Reply r = Transfer(*d, setup);
            ASSERT_EQ(r.status, ControlStatus::Ok);
            EXPECT_EQ(r.bytes, std::vector<uint8_t>{byte});
        }
        // A vendor request the model does not know is STALLed, not answered with stale bytes.
        EXPECT_EQ(Transfer(*d, VendorOther(0x7E, 0x1234, 0)).status, ControlStatus::Stall);
    }
    EXPECT_EQ(CreateCatalogDevice("no-such-device"), nullptr);
}

TEST(Catalog, EveryNameBuildsAndDescribesItself) {
    for (const std::string& name : CatalogNames()) {
        auto d = CreateCatalogDevice(name);
        ASSERT_NE(d, nullptr) << name;
        EXPECT_NE(d->Audio(), nullptr) << name;
        EXPECT_FALSE(CatalogDescription(name).empty()) << name;
    }
}

}  // namespace
