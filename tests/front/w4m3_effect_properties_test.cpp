// The W4M3 effect controls as the host reaches them: the vendor node's enable property and the
// parameter property set, through the topology filter's handlers, down to the device request and
// the stored settings a restart reads back.
#include "driver/engine/models/W4M3EffectControls.h"
#include "driver/front/TopologyProperties.h"
#include "engine/control_fakes.h"
#include "engine/settings_device.h"
#include "front/topology_bench.h"
#include "globaltopo/common/QVT/HeadphoneEffect.h"

#include <optional>

namespace {

using namespace topology_test;
using control_test::FakeFeatureUnit;
using control_test::KernelHolder;
using control_test::MakeKernelObject;

constexpr ULONG kControlId = 4;
constexpr ULONG kVendorNode = 1;
constexpr ULONG kSelector = 0x8C;

class W4M3EffectProperties : public TopologyGraphOn<settings_test::SettingsDevice> {
protected:
    W4M3EffectProperties() : m_Unit(MakeKernelObject<FakeFeatureUnit>(7u)) { m_Unit->Selector(kSelector).current = {0}; }

    // Output connector 5 <- headphone control 4 <- one-input selector 3 <- Stream input connector 2.
    void SetUp() override {
        TopologyGraphOn::SetUp();
        auto* control = new (NonPagedPoolNx, TestTag) CHeadphoneEffectControl(nullptr, kControlId);
        control->NonDelegatingAddRef();
        ASSERT_EQ(control->InitEffect(m_Unit->AsUnit(), kSelector, m_fdo), STATUS_SUCCESS);
        ASSERT_EQ(control->SetSources(1, std::array<ULONG, 1>{3}.data()), STATUS_SUCCESS);
        m_Control = control;
        Graph({Connector(5, NodeKind::OutputConnector, 1, {4}), control, Node(3, NodeKind::Selector, {2}),
               Connector(2, NodeKind::InputConnector, 0)});
        ASSERT_EQ(Build(), STATUS_SUCCESS);
        ASSERT_EQ(m_Filter->NodeCount, 2u);
    }
    std::optional<std::vector<uint8_t>> StoredBytes(std::u16string_view name) {
        auto value = Stored(name);
        if (!value) return std::nullopt;
        return value->data;
    }
    std::vector<ULONG> GetValues(ULONG first, ULONG count) {
        std::vector<ULONG> value(2 + count, 0xEEEEEEEE);
        const Reply reply = Send(kVendorNode, VendorParameterPropSet, VendorParameterPropValues, KSPROPERTY_TYPE_GET,
                                 {first, count}, value.data(), static_cast<ULONG>(value.size() * 4));
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return value;
    }
    NTSTATUS SetValues(std::vector<ULONG> instance) {
        ULONG value = 0;
        return Send(kVendorNode, VendorParameterPropSet, VendorParameterPropValues, KSPROPERTY_TYPE_SET, instance,
                    &value, 4).status;
    }

    KernelHolder<FakeFeatureUnit> m_Unit;
    CHeadphoneEffectControl* m_Control = nullptr;  // the adapter's node list holds it
};

TEST_F(W4M3EffectProperties, EnableAndParametersGoThroughTheNodeAndAreStored) {
    GUID name = {};
    EXPECT_EQ(Send(kVendorNode, VendorParameterPropSet, VendorParameterPropName, KSPROPERTY_TYPE_GET, {}, &name, 16).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(name, W4M3HeadphoneEffectName));
    ULONG count = 0;
    EXPECT_EQ(Send(kVendorNode, VendorParameterPropSet, VendorParameterPropCount, KSPROPERTY_TYPE_GET, {}, &count, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);

    ULONG enable = 1;
    m_Unit->Log().clear();
    EXPECT_EQ(Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_SET, {}, &enable, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(m_Unit->Log(), std::vector<std::string>{"set 140/0=1"});
    EXPECT_EQ(StoredBytes(u"Unit04_"), std::vector<uint8_t>{1});
    enable = 0;
    EXPECT_EQ(Send(kVendorNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_GET, {}, &enable, 4).status,
              STATUS_SUCCESS);
    EXPECT_EQ(enable, 1u);

    const LONG defaultRoom = m_Control->Effect()->GetHeadphoneRoom();
    // Room 3 does not exist: only the family flag is kept and stored.
    EXPECT_EQ(SetValues({0, 2, 3, 1}), STATUS_SUCCESS);
    EXPECT_EQ(GetValues(0, 2), (std::vector<ULONG>{16, 2, static_cast<ULONG>(defaultRoom), 1}));
    EXPECT_EQ(StoredBytes(u"Unit04_0"), std::nullopt);
    EXPECT_EQ(StoredBytes(u"Unit04_1"), settings_test::Bytes({1, 0, 0, 0}));
    EXPECT_EQ(SetValues({0, 1, 2}), STATUS_SUCCESS);
    EXPECT_EQ(SetValues({0, 1, 5}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetValues({0xFFFFFFFF, 1, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetValues(0, 2), (std::vector<ULONG>{16, 2, 2, 1}));
    EXPECT_EQ(StoredBytes(u"Unit04_0"), settings_test::Bytes({2, 0, 0, 0}));

    // A restart (a new control of the same id) starts on what was stored.
    auto again = MakeKernelObject<CHeadphoneEffectControl>(kControlId);
    ASSERT_EQ(again->InitEffect(m_Unit->AsUnit(), kSelector, m_fdo), STATUS_SUCCESS);
    LONG values[2] = {};
    EXPECT_EQ(again->GetParameters(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], 2);
    EXPECT_EQ(values[1], 1);
    UCHAR on = 0;
    EXPECT_EQ(again->GetEnable(&on), STATUS_SUCCESS);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(again->Effect()->GetHeadphoneRoom(), 2);
}

}  // namespace
