// The R7T5's output terminal switched to S/PDIF the way the audio stack does it, through the
// device-specific property of the topology filter's terminal-type node, on the real module: the
// device's registers 2, 1 and 0 in that order, the render wave subdevice taken away and
// registered again under the S/PDIF name, the type stored, and an unload that leaves nothing.
#include <gtest/gtest.h>
#include <sim/audio_stack.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/portcls.h>
#include <sim/registry.h>
#include <sim/usb_bus.h>
#include <sim/usb_models.h>
#include <win/ksmedia.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// The driver's node identity set and the identity of a terminal-type node.
constexpr GUID kNodeIdentitySet = {0x00A34C4A, 0x26E6, 0x4095, {0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6}};
constexpr GUID kTerminalTypeIdentity = {0x0D18F5A4, 0x5721, 0x4A07, {0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB}};
constexpr ULONG kSpdif = 3;

std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT functional) {
    std::vector<std::u16string> names;
    for (const sim::portcls::Subdevice& subdevice : sim::portcls::Subdevices(functional)) names.push_back(subdevice.name);
    std::sort(names.begin(), names.end());
    return names;
}

class R7T5OutputType : public testing::Test {
protected:
    void TearDown() override {
        if (node != nullptr) {
            EXPECT_EQ(sim::pnp::RemoveDevice(node), STATUS_SUCCESS);
        }
        if (port != nullptr) sim::usb::RemovePort(port);
        if (driver != nullptr) sim::pnp::UnloadDriver(driver);  // the verifier: pool, handles, threads
    }
    sim::pnp::Driver* driver = nullptr;
    sim::usb::Port* port = nullptr;
    sim::pnp::DeviceNode* node = nullptr;
};

TEST_F(R7T5OutputType, SpdifThroughTheTopologyFilterRenamesTheRenderSubdevice) {
    ASSERT_EQ(sim::pnp::LoadDriver(KV_DRIVER_PATH, u"KV-380D", &driver), STATUS_SUCCESS);
    // Not the poll device, whose quirk row offers only the speaker type.
    auto device = sim::usb::r7t5::Create({.variantB = 0x04});
    std::shared_ptr<sim::usb::r7t5::State> state = sim::usb::r7t5::StateOf(*device);
    port = sim::usb::PlugDevice(std::move(device));
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(sim::pnp::AddDevice(driver, sim::usb::NodeOf(port)), STATUS_SUCCESS);
    node = sim::usb::NodeOf(port);
    ASSERT_EQ(sim::pnp::StartDevice(node), STATUS_SUCCESS);
    sim::machine::RunFor(200 * sim::machine::kMillisecond);
    PDEVICE_OBJECT functional = sim::usb::PhysicalDeviceObject(port)->AttachedDevice;
    const std::vector<std::u16string> before = SubdeviceNames(functional);
    ASSERT_NE(std::find(before.begin(), before.end(), u"SPKOut00Wave"), before.end());

    {
        std::vector<sim::hosts::FilterInterface> filters = sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY);
        ASSERT_FALSE(filters.empty());
        std::unique_ptr<sim::hosts::KsFilterClient> topology;
        ASSERT_EQ(sim::hosts::KsFilterClient::Open(filters.front().symbolicLink, &topology), STATUS_SUCCESS);
        std::vector<GUID> types;
        ASSERT_EQ(topology->Nodes(&types), STATUS_SUCCESS);
        ULONG typeNode = ULONG(-1);
        for (ULONG n = 0; n < types.size(); ++n) {
            GUID identity{};
            if (NT_SUCCESS(topology->NodeProperty(kNodeIdentitySet, 1, KSPROPERTY_TYPE_GET, n, &identity,
                                                  sizeof(identity))) &&
                IsEqualGUID(identity, kTerminalTypeIdentity)) {
                typeNode = n;
            }
        }
        ASSERT_NE(typeNode, ULONG(-1));

        const auto registers = state->registers;
        state->writes.clear();
        EXPECT_EQ(topology->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, typeNode, 0, kSpdif),
                  STATUS_SUCCESS);
        using Writes = std::vector<std::pair<uint8_t, uint16_t>>;
        EXPECT_EQ(state->writes, (Writes{{2, 0xE7F8},
                                         {1, static_cast<uint16_t>(registers[1] & ~0x0002)},
                                         {0, static_cast<uint16_t>(registers[0] | 0x8000)}}));
    }

    // The speaker subdevice is gone and the same engine is registered again as S/PDIF output.
    std::vector<std::u16string> expected = before;
    std::replace(expected.begin(), expected.end(), std::u16string(u"SPKOut00Wave"), std::u16string(u"SPDIFOut00Wave"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(SubdeviceNames(functional), expected);
    auto stored = sim::registry::GetValue(sim::pnp::DriverKeyPath(node) + u"\\Settings", u"UACUnit03");
    ASSERT_TRUE(stored.has_value());
    ASSERT_EQ(stored->data.size(), 4u);
    EXPECT_EQ(stored->data[0], kSpdif);
}

}  // namespace
