// The W4M3 feature unit on the simulated bus: its vendor selectors make the two effect controls,
// every control comes from its own pool tag, the switch reaches the device, and each effect
// tag's pool failure leaves a unit whose controls still exist.
#include "engine/uac1/uac1_unit_machine.h"

#include "driver/engine/models/W4M3EffectControls.h"
#include "driver/engine/models/W4M3FeatureUnit.h"

#include <sim/pool.h>

namespace {

using namespace uac1_unit_test;

class W4M3Unit : public Uac1Units {
protected:
    // The catalog device's feature unit 2 with an extension block declaring both effects.
    W4M3FeatureUnit* StartUnit(NTSTATUS expected = STATUS_SUCCESS) {
        StartCatalog();
        PushEffectBlock();
        auto d = DeviceDescriptor(6, 2);
        auto* unit = Make<W4M3FeatureUnit>();
        EXPECT_EQ(unit->Init(d.data(), g_UnitHal, g_UnitHal), expected);
        return unit;
    }
    void PushEffectBlock() {
        PushAnswers(2, {{{0x85, 0x0010}, {23, 0}}, {{0x85, 0x0000}, Block(23, {0x0C00, 0})}});
    }
    VendorControl* Vendor(ULONG index) {
        AudioNode* node = nullptr;
        EXPECT_EQ(g_UnitHal->GetNode(index, &node), STATUS_SUCCESS);
        if (node == nullptr || node->GetNodeKind() != NodeKindCode(NodeKind::Vendor)) return nullptr;
        VendorControl* control = nullptr;
        EXPECT_EQ(node->QueryInterface(IID_VendorControl, reinterpret_cast<PVOID*>(&control)), STATUS_SUCCESS);
        control->Release();  // the HAL's list keeps the node
        return control;
    }
};

TEST_F(W4M3Unit, VendorSelectorsMakeTheEffectControlsFromTheModelsPool) {
    StartUnit();
    ASSERT_EQ(g_UnitHal->GetNodeCount(), 4u);  // mute, volume, room, headphone
    EXPECT_EQ(sim::pool::TagUsage(W4M3Tag).blocks, 4u);
    struct Expected {
        ULONG node;
        GUID name;
        ULONG parameters;
        USHORT wValue;
    };
    for (const Expected& e : {Expected{2, W4M3DelayEffectName, 0, 0x8B00}, Expected{3, W4M3HeadphoneEffectName, 2, 0x8C00}}) {
        SCOPED_TRACE(e.node);
        VendorControl* control = Vendor(e.node);
        ASSERT_NE(control, nullptr);
        GUID name = {};
        ULONG count = 99;
        EXPECT_EQ(control->GetNameGuid(&name), STATUS_SUCCESS);
        EXPECT_TRUE(IsEqualGUID(name, e.name));
        EXPECT_EQ(control->GetParameterCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, e.parameters);
        Device().ClearLog();
        EXPECT_EQ(control->SetEnable(1), STATUS_SUCCESS);
        EXPECT_EQ(SeenBy(2), (std::vector<Seen>{{0x01, e.wValue}}));
        UCHAR enable = 0;
        EXPECT_EQ(control->GetEnable(&enable), STATUS_SUCCESS);
        EXPECT_EQ(enable, 1);
    }
}

struct PoolCase {
    const char* name;
    ULONG tag;
    NTSTATUS init;
    ULONG nodes;
};
void PrintTo(const PoolCase& c, std::ostream* os) { *os << c.name; }

class W4M3UnitPool : public W4M3Unit, public testing::WithParamInterface<PoolCase> {};

// The controls' own tag fails the unit (its mute cannot be made); the effects' tags leave the
// controls in place without their effect objects. The driver's unload checks that nothing leaks.
TEST_P(W4M3UnitPool, FailsOrGoesOnWithoutEffects) {
    const PoolCase& c = GetParam();
    StartCatalog();
    PushEffectBlock();
    auto d = DeviceDescriptor(6, 2);
    sim::pool::FailAllocationsWithTag(c.tag);
    EXPECT_EQ(Make<W4M3FeatureUnit>()->Init(d.data(), g_UnitHal, g_UnitHal), c.init);
    sim::pool::DisarmFaults();
    EXPECT_EQ(g_UnitHal->GetNodeCount(), c.nodes);
}

INSTANTIATE_TEST_SUITE_P(Tags, W4M3UnitPool,
                         testing::Values(PoolCase{"W4M3", W4M3Tag, STATUS_INSUFFICIENT_RESOURCES, 0},
                                         PoolCase{"DoHP", W4M3PlaneTag, STATUS_SUCCESS, 4},
                                         PoolCase{"ZYNE", W4M3EffectTag, STATUS_SUCCESS, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
