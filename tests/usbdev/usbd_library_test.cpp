// USBD_ library functions on good, short and lying descriptors. Descriptor buffers are exactly the
// configuration's size, so a read past wTotalLength shows under AddressSanitizer.
#include "usb_test_support.h"

#include <gtest/gtest.h>
#include <sim/usb_descriptor_builder.h>
#include <win/kernel.h>
#include <win/usb.h>

#include <cstring>
#include <memory>

namespace {

using namespace sim::usb;

// A configuration copied into a heap block of exactly its wTotalLength bytes.
struct ExactConfiguration {
    explicit ExactConfiguration(const std::vector<uint8_t>& bytes) : size(bytes.size()), block(new uint8_t[bytes.size()]) {
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    PUSB_CONFIGURATION_DESCRIPTOR Get() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get()); }
    size_t size;
    std::unique_ptr<uint8_t[]> block;
};

std::vector<uint8_t> CatalogConfiguration(std::string_view name) {
    auto device = CreateCatalogDevice(name);
    auto bytes = device->ConfigurationBytes(0);
    return {bytes.begin(), bytes.end()};
}

// Configuration: interface 0, then the raw tail, then interface 1 (whose finding shows the walk went on).
std::vector<uint8_t> WithTail(std::vector<uint8_t> tail) {
    ConfigurationBuilder b;
    b.Add(InterfaceFields{.number = 0}).AddRaw(tail).Add(InterfaceFields{.number = 1, .interfaceSubClass = 2});
    return b.Build();
}

TEST(UsbdParse, FindsInterfacesByEveryCriterion) {
    ExactConfiguration c(CatalogConfiguration("uac2"));
    struct Case {
        LONG number, alternate, cls, subClass, protocol;
        int expectNumber, expectAlternate;  // -1: not found
    } cases[] = {
        {-1, -1, 1, 1, -1, 0, 0},     // the AudioControl interface
        {-1, -1, 1, 1, 0x20, 0, 0},   // ... of protocol 0x20
        {-1, -1, 1, 1, 0x00, -1, -1}, // no UAC 1.0 AudioControl interface
        {2, 1, -1, -1, -1, 2, 1},
        {2, 2, 1, 2, -1, 2, 2},
        {2, 3, -1, -1, -1, -1, -1},   // no such alternate setting
        {7, -1, -1, -1, -1, -1, -1},
    };
    for (const Case& k : cases) {
        PUSB_INTERFACE_DESCRIPTOR i =
            USBD_ParseConfigurationDescriptorEx(c.Get(), c.Get(), k.number, k.alternate, k.cls, k.subClass, k.protocol);
        if (k.expectNumber < 0) {
            EXPECT_EQ(i, nullptr) << "interface " << k.number << " alt " << k.alternate;
            continue;
        }
        ASSERT_NE(i, nullptr) << "interface " << k.number << " alt " << k.alternate;
        EXPECT_EQ(i->bInterfaceNumber, k.expectNumber);
        EXPECT_EQ(i->bAlternateSetting, k.expectAlternate);
    }
}

TEST(UsbdParse, ContinuesFromAStartPositionAndRefusesOneOutside) {
    ExactConfiguration c(CatalogConfiguration("uac1"));
    std::vector<int> streaming;
    PVOID start = c.Get();
    while (auto* i = USBD_ParseConfigurationDescriptorEx(c.Get(), start, -1, -1, 1, 2, -1)) {
        streaming.push_back(i->bInterfaceNumber * 10 + i->bAlternateSetting);
        start = reinterpret_cast<PUCHAR>(i) + i->bLength;
    }
    EXPECT_EQ(streaming, (std::vector<int>{10, 11, 12, 20, 21, 22}));
    PUCHAR base = reinterpret_cast<PUCHAR>(c.Get());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c.Get(), base + c.size, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c.Get(), base - 1, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(c.Get(), ULONG(c.size), base + c.size + 100, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, base, -1, -1, -1, -1, -1), nullptr);
}

// A descriptor with bLength 0 or 1, or one that runs past wTotalLength, ends the walk: nothing
// behind it is found and nothing beyond the configuration is read.
TEST(UsbdParse, StopsAtLyingDescriptors) {
    struct Case {
        const char* what;
        std::vector<uint8_t> tail;
        bool secondFound;
    } cases[] = {
        {"well formed", {4, 0x24, 1, 0}, true},
        {"bLength 0", {0, 0x24, 1, 0}, false},
        {"bLength 1", {1, 0x24, 1, 0}, false},
        {"interface too short to read", {5, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0}, true},
    };
    for (const Case& k : cases) {
        ExactConfiguration c(WithTail(k.tail));
        auto* second = USBD_ParseConfigurationDescriptorEx(c.Get(), c.Get(), 1, -1, -1, -1, -1);
        EXPECT_EQ(second != nullptr, k.secondFound) << k.what;
    }

    // The last descriptor claims more bytes than wTotalLength leaves.
    std::vector<uint8_t> bytes = WithTail({});
    bytes.resize(bytes.size() - 9);  // drop interface 1
    bytes.insert(bytes.end(), {40, 0x24, 1});
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    ExactConfiguration c(bytes);
    EXPECT_EQ(USBD_ParseDescriptors(c.Get(), ULONG(c.size), c.Get(), 0x24), nullptr);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(c.Get(), c.Get(), 0, 0, -1, -1, -1), nullptr);

    // wTotalLength smaller than the bytes behind it: the walk ends at wTotalLength.
    std::vector<uint8_t> longer = WithTail({});
    const uint16_t cut = uint16_t(longer.size() - 9);
    longer[2] = uint8_t(cut);
    longer[3] = uint8_t(cut >> 8);
    ExactConfiguration d(longer);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(d.Get(), d.Get(), 1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, ParseDescriptorsFindsByType) {
    ExactConfiguration c(CatalogConfiguration("uac2"));
    auto* iad = USBD_ParseDescriptors(c.Get(), ULONG(c.size), c.Get(), USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    ASSERT_NE(iad, nullptr);
    EXPECT_EQ(iad->bLength, sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR));
    auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(c.Get(), ULONG(c.size), c.Get(), USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(endpoint->bEndpointAddress, 0x83);  // the interrupt endpoint comes first
    EXPECT_EQ(USBD_ParseDescriptors(c.Get(), ULONG(c.size), c.Get(), USB_OTG_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdCreateConfigurationRequest, LaysOutOneRecordPerInterfaceWithItsPipes) {
    ExactConfiguration c(CatalogConfiguration("uac2"));  // interface 0 has 1 endpoint, 1 and 2 none at alt 0
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    for (LONG n = 0; n < 3; ++n) list[n].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c.Get(), c.Get(), n, 0, -1, -1, -1);
    ASSERT_NE(list[2].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(c.Get(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c.Get());
    auto* expected = &urb->UrbSelectConfiguration.Interface;
    const ULONG pipes[] = {1, 0, 0};
    for (int n = 0; n < 3; ++n) {
        PUSBD_INTERFACE_INFORMATION info = list[n].Interface;
        ASSERT_EQ(info, expected) << "interface " << n;
        EXPECT_EQ(info->InterfaceNumber, n);
        EXPECT_EQ(info->AlternateSetting, 0);
        EXPECT_EQ(info->NumberOfPipes, pipes[n]);
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes[n]));
        for (ULONG p = 0; p < pipes[n]; ++p) {
            EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
            EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
        }
        expected = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    EXPECT_EQ(reinterpret_cast<PUCHAR>(expected), reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
    ExFreePool(urb);
}

TEST(UsbdCreateConfigurationRequest, RefusesForeignDescriptorsAndOversizeRequests) {
    ExactConfiguration c(CatalogConfiguration("uac1"));
    USB_INTERFACE_DESCRIPTOR outside = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 1, 1, 0, 0};
    USBD_INTERFACE_LIST_ENTRY foreign[2] = {{&outside, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Get(), foreign), nullptr);

    // Eleven interfaces of 255 endpoints need more than the URB's 16-bit length can say.
    ConfigurationBuilder b;
    b.Add(InterfaceFields{.number = 0}).AddRaw(std::vector<uint8_t>{9, 4, 1, 0, 255, 1, 2, 0, 0});
    ExactConfiguration big(b.Build());
    auto* wide = USBD_ParseConfigurationDescriptorEx(big.Get(), big.Get(), 1, 0, -1, -1, -1);
    ASSERT_NE(wide, nullptr);
    USBD_INTERFACE_LIST_ENTRY many[12] = {};
    for (int i = 0; i < 10; ++i) many[i].InterfaceDescriptor = wide;
    PURB fits = USBD_CreateConfigurationRequestEx(big.Get(), many);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(10, 2550));
    ExFreePool(fits);
    many[10].InterfaceDescriptor = wide;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(big.Get(), many), nullptr);
}

TEST(UsbBuildMacros, SelectInterfaceRecordLengthExcludesHeaderAndHandle) {
    URB block = {};
    PURB urb = &block;
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(2), reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234), 2, 1);
    EXPECT_EQ(urb->UrbHeader.Length, 104);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, 104 - 32);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 2);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 1);
}

}  // namespace
