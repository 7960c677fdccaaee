// Configuration and interface selection: pipe information from the endpoint descriptors of the
// selected settings, the device told with SET_CONFIGURATION and SET_INTERFACE, and requests whose
// interface information is too small refused without a write past them.
#include "bus_test_support.h"

#include <set>

namespace {

using namespace bustest;

class BusSelect : public BusFixture, public testing::WithParamInterface<const char*> {};

// Every pipe entry matches the endpoint descriptors that follow the interface descriptor.
void ExpectPipesMatchDescriptors(PUSB_CONFIGURATION_DESCRIPTOR cd, const USBD_INTERFACE_INFORMATION& info,
                                 std::set<PVOID>& handles) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(cd, cd, info.InterfaceNumber, info.AlternateSetting, -1, -1, -1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(info.Class, d->bInterfaceClass);
    EXPECT_EQ(info.SubClass, d->bInterfaceSubClass);
    EXPECT_EQ(info.Protocol, d->bInterfaceProtocol);
    EXPECT_NE(info.InterfaceHandle, nullptr);
    ASSERT_EQ(info.NumberOfPipes, d->bNumEndpoints);
    PVOID position = d;
    for (ULONG k = 0; k < info.NumberOfPipes; ++k) {
        auto* e = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(cd, cd->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE));
        ASSERT_NE(e, nullptr);
        position = reinterpret_cast<UCHAR*>(e) + e->bLength;
        const USBD_PIPE_INFORMATION& p = info.Pipes[k];
        EXPECT_EQ(p.EndpointAddress, e->bEndpointAddress);
        EXPECT_EQ(p.PipeType, USBD_PIPE_TYPE(e->bmAttributes & USB_ENDPOINT_TYPE_MASK));
        EXPECT_EQ(p.MaximumPacketSize, e->wMaxPacketSize & USB_MAXPACKETSIZE_SIZE_MASK);
        EXPECT_EQ(p.Interval, e->bInterval);
        EXPECT_TRUE(handles.insert(p.PipeHandle).second) << "pipe handles are distinct";
    }
}

TEST_P(BusSelect, ConfigurationAndSettingsGivePipesOfTheirEndpoints) {
    Plug(GetParam());
    Configuration c;
    ASSERT_EQ(SelectConfiguration(&c), STATUS_SUCCESS);
    EXPECT_NE(c.handle, nullptr);
    EXPECT_EQ(Device().ConfigurationValue(), 1);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_ConfigurationCopy.data());
    ASSERT_EQ(c.interfaces.size(), cd->bNumInterfaces);
    std::set<PVOID> handles;
    for (size_t i = 0; i < c.interfaces.size(); ++i) ExpectPipesMatchDescriptors(cd, c.Interface(i), handles);

    // Every alternate setting of every streaming interface, and back to zero bandwidth.
    for (UCHAR number = 1; number < cd->bNumInterfaces; ++number) {
        for (UCHAR alternate : {1, 2, 0}) {
            SCOPED_TRACE(testing::Message() << "interface " << int(number) << " alternate " << int(alternate));
            UrbBlock block(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
            UsbBuildSelectInterfaceRequest(block.Get(), GET_SELECT_INTERFACE_REQUEST_SIZE(2), c.handle, number,
                                           alternate);
            ASSERT_EQ(Submit(block.Get()), STATUS_SUCCESS);
            EXPECT_TRUE(block.GuardIntact());
            ExpectPipesMatchDescriptors(cd, block.Get()->UrbSelectInterface.Interface, handles);
            EXPECT_EQ(Device().AlternateSetting(number), alternate);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Catalog, BusSelect, testing::Values("uac1", "uac2"),
                         [](const auto& info) { return std::string(info.param); });

class BusSelectRefused : public BusFixture {
protected:
    void SetUp() override { Plug("uac1"); }
};

TEST_F(BusSelectRefused, SelectingASettingRunsTheDevicesInterfaceChange) {
    OpenPipe(1, 2, 0x01);
    const sim::usb::StreamFormat format = Device().Audio()->Render(1)->Format();
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.subslotBytes, 3) << "alternate setting 2 carries 24-bit samples";
    const std::vector<std::string> lines = Device().LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "SET_INTERFACE 1 alt 2 -> ok"), lines.end());
}

TEST_F(BusSelectRefused, InterfaceInformationTooSmallIsRefusedWithoutAWrite) {
    Configuration c;
    ASSERT_EQ(SelectConfiguration(&c), STATUS_SUCCESS);
    struct Case {
        const char* name;
        UCHAR number, alternate;
        ULONG pipesRoom;
        USBD_STATUS usbd;
    } cases[] = {
        {"NoRoomForTheDataPipe", 1, 1, 0, USBD_STATUS_BUFFER_TOO_SMALL},
        {"NoSuchSetting", 1, 7, 2, USBD_STATUS_INTERFACE_NOT_FOUND},
        {"NoSuchInterface", 9, 0, 2, USBD_STATUS_INTERFACE_NOT_FOUND},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        UrbBlock block(GET_SELECT_INTERFACE_REQUEST_SIZE(k.pipesRoom));
        UsbBuildSelectInterfaceRequest(block.Get(), GET_SELECT_INTERFACE_REQUEST_SIZE(k.pipesRoom), c.handle,
                                       k.number, k.alternate);
        EXPECT_EQ(Submit(block.Get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(block.Get()->UrbHeader.Status, k.usbd);
        EXPECT_TRUE(block.GuardIntact());
        EXPECT_EQ(block.Get()->UrbSelectInterface.Interface.InterfaceHandle, nullptr);
        EXPECT_EQ(Device().AlternateSetting(1), 0) << "the device was not told";
    }

    // A stale configuration handle, and a select-configuration request one pipe entry short.
    UrbBlock stale(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
    UsbBuildSelectInterfaceRequest(stale.Get(), GET_SELECT_INTERFACE_REQUEST_SIZE(2), PVOID(0x1234), 1, 1);
    EXPECT_EQ(Submit(stale.Get()), STATUS_INVALID_PARAMETER);

    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_ConfigurationCopy.data());
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    for (LONG number = 0; number < 3; ++number) {
        list[number].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, number, 0, -1, -1, -1);
    }
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    list[0].Interface->Length = GET_USBD_INTERFACE_SIZE(0);  // interface 0 has its interrupt endpoint
    EXPECT_EQ(Submit(urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(list[0].Interface->InterfaceHandle, nullptr);
    ExFreePool(urb);
    EXPECT_EQ(Device().ConfigurationValue(), 1) << "still the earlier selection";
}

}  // namespace
