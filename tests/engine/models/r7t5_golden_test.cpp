// Golden parse of the simulated R7T5 under three switch sets: the units the rewritten descriptor
// leaves (ids, kinds, sources, and the model's feature-unit classes by the volume range each one
// reports in its own scale), the controls with their ids (which name persisted values), every
// engine's type, processing stages, path and formats once the engine is named, and the values the
// start stored.
#include "engine/adapter_machine.h"
#include "engine/hal_describe.h"

#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/R7T5Units.h"

#include <sim/registry.h>
#include <sim/usb_models.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;

R7T5AudioHal*& g_Hal = adapter_test::CapturedHal<R7T5AudioHal>();
constexpr const AudioHalCreatorTable& kCreators = adapter_test::CapturingCreators<R7T5AudioHal, R7T5Tag>;

// Each feature unit's volume range as its class reports it: the master's table (0.25 dB steps),
// the monitor and record scales (1.5 dB steps, their own masks), or the device's own values; and
// which unit is the poll's line monitor.
std::string DescribeFeatureRanges(R7T5AudioHal* hal) {
    std::ostringstream out;
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit)) || unit->GetNodeKind() != 6) continue;
        FeatureUnitRanges* ranges = nullptr;
        if (!NT_SUCCESS(unit->QueryInterface(IID_FeatureUnitRanges, reinterpret_cast<PVOID*>(&ranges)))) continue;
        LONG max = 0, min = 0, res = 0;
        const NTSTATUS status = ranges->GetRange(2, &max, &min, &res);
        ranges->Release();
        out << "fu " << id << std::hex << " max 0x" << max << " min 0x" << min << " res 0x" << res << std::dec
            << (NT_SUCCESS(status) ? "" : " failed")
            << (static_cast<UnitNode*>(hal->LineMonitor()) == unit ? " line monitor" : "") << "\n";
    }
    return out.str();
}

// The processing list: path controls by id, then the HAL's stages (its guard, and the swap stage,
// the only other one it adds).
std::string DescribeStages(R7T5AudioHal* hal, StreamEngine* engine) {
    std::string text = " stages";
    for (ULONG i = 0; i < engine->GetStageCount(); ++i) {
        ProcessingStage* stage = nullptr;
        if (!NT_SUCCESS(engine->GetStage(i, &stage))) continue;
        AudioNode* node = nullptr;
        if (NT_SUCCESS(stage->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node)))) {
            text += std::string(" ") + std::to_string(node->GetId());
            node->Release();
        } else {
            text += stage == static_cast<ProcessingStage*>(hal->Guard()) ? " guard" : " swap";
        }
    }
    return text;
}

struct SwitchSet {
    const char* name;
    sim::usb::r7t5::Options device;
    std::vector<std::pair<const char16_t*, ULONG>> settings;
    const char* units;
    const char* ranges;
    const char* engines;
    std::vector<std::string> stored;
};
void PrintTo(const SwitchSet& s, std::ostream* os) { *os << s.name; }

class R7T5Golden : public AdapterMachine, public testing::WithParamInterface<SwitchSet> {
protected:
    void TearDown() override {
        g_Hal = nullptr;
        AdapterMachine::TearDown();
    }
    ScopedCreators m_creators{&kCreators};
};

TEST_P(R7T5Golden, ParsesToItsModel) {
    const SwitchSet& set = GetParam();
    PlugDevice(sim::usb::r7t5::Create(set.device));
    for (const auto& [name, value] : set.settings) sim::registry::SetDword(SettingsKey(), name, value);
    const std::vector<std::string> before = hal_describe::ValueNames(SettingsKey());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_NE(g_Hal, nullptr);
    // Every engine named as the front names it, so the formats are those its clients see.
    for (ULONG e = 0; e < m_common->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        ASSERT_EQ(m_common->GetStreamEngine(e, &engine), STATUS_SUCCESS);
        ASSERT_EQ(engine->SetName(engine->GetDirection() == StreamDirectionRender ? KV_WIDE("SPK0") : KV_WIDE("Rec0")),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(hal_describe::DescribeUnits(g_Hal), set.units);
    EXPECT_EQ(DescribeFeatureRanges(g_Hal), set.ranges);
    EXPECT_EQ(hal_describe::DescribeEngines(m_common, [](StreamEngine* engine) { return DescribeStages(g_Hal, engine); }),
              set.engines);
    std::vector<std::string> stored;
    for (const std::string& name : hal_describe::ValueNames(SettingsKey())) {
        if (std::find(before.begin(), before.end(), name) == before.end()) stored.push_back(name);
    }
    EXPECT_EQ(stored, set.stored);
}

INSTANTIATE_TEST_SUITE_P(
    SwitchSets, R7T5Golden,
    testing::Values(
        // Defaults on a device of no quirk row: all but the stereo mix; 8-channel playback with the
        // swap stage; no guard, and unit 11 is a plain monitor.
        SwitchSet{"Defaults", {.vendorId = 0x1111, .productId = 0x2222, .variantA = 0}, {},
                  "unit 1 kind 2: [0 kind 0]\n"
                  "unit 3 kind 3 <- 13: [12 kind 13 <- 7] [11 kind 1 <- 12] [10 kind 1 <- 12] [9 kind 1 <- 12]\n"
                  "unit 4 kind 2: [20 kind 0]\n"
                  "unit 5 kind 2: [1 kind 0]\n"
                  "unit 6 kind 2: [15 kind 0]\n"
                  "unit 7 kind 3 <- 10: [13 kind 1 <- 14]\n"
                  "unit 8 kind 6 <- 5: [3 kind 3 <- 1] [2 kind 2 <- 3]\n"
                  "unit 9 kind 6 <- 5: [5 kind 3 <- 1] [4 kind 2 <- 5]\n"
                  "unit 10 kind 5 <- 8,15,16: [14 kind 4 <- 2,16,21]\n"
                  "unit 11 kind 6 <- 6: [19 kind 3 <- 15] [18 kind 2 <- 19]\n"
                  "unit 12 kind 4 <- 1,9,11: [6 kind 5 <- 0,4,18]\n"
                  "unit 13 kind 6 <- 12: [8 kind 3 <- 6] [7 kind 2 <- 8]\n"
                  "unit 15 kind 6 <- 6: [17 kind 3 <- 15] [16 kind 2 <- 17]\n"
                  "unit 16 kind 6 <- 4: [21 kind 2 <- 20]\n",
                  "fu 8 max 0x1e0000 min 0xffe80000 res 0x18000\n"
                  "fu 9 max 0xc0000 min 0xffd00000 res 0x18000\n"
                  "fu 11 max 0xc0000 min 0xffd00000 res 0x18000\n"
                  "fu 13 max 0x0 min 0xffda0000 res 0x4000\n"
                  "fu 15 max 0x1e0000 min 0xffe80000 res 0x18000\n"
                  "fu 16 max 0xa4000 min 0xffc00000 res 0x10000\n",
                  "engine 0 render type 1 stages 7 8 swap path 9 12 7 8 6 0 10 11\n"
                  "  alt 1 44100 16/16 align 16 mask 0x63f sub 0x1\n"
                  "  alt 1 48000 16/16 align 16 mask 0x63f sub 0x1\n"
                  "  alt 2 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 2 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 3 44100 16/16 align 8 mask 0x33 sub 0x1\n"
                  "  alt 3 48000 16/16 align 8 mask 0x33 sub 0x1\n"
                  "  alt 4 44100 16/16 align 12 mask 0x3f sub 0x1\n"
                  "  alt 4 48000 16/16 align 12 mask 0x3f sub 0x1\n"
                  "engine 1 capture type 18 stages 21 path 13 14 2 16 21 3 17 20 1 15\n"
                  "  alt 1 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 44100 16/16 align 4 mask 0x0 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x0 sub 0x1\n",
                  {"UACUnit03", "Unit02_ 0_0", "Unit03_ 0_0", "Unit03_ 0_1", "Unit04_ 0_0",
                   "Unit05_ 0_0", "Unit05_ 0_1", "Unit07_ 1_0", "Unit08_ 1_0", "Unit08_ 1_1",
                   "Unit08_ 1_2", "Unit08_ 1_3", "Unit08_ 1_4", "Unit08_ 1_5", "Unit08_ 1_6",
                   "Unit08_ 1_7", "Unit14_", "Unit16_ 0_0", "Unit17_ 0_0", "Unit17_ 0_1",
                   "Unit18_ 0_0", "Unit19_ 0_0", "Unit19_ 0_1", "Unit21_ 0_0"}},
        // The poll device's quirk row: no line record, no S/PDIF input, no 4 and 8 channels; the
        // guard stage and the line monitor.
        SwitchSet{"PollDevice", {}, {},
                  "unit 1 kind 2: [0 kind 0]\n"
                  "unit 3 kind 3 <- 13: [9 kind 1 <- 7]\n"
                  "unit 5 kind 2: [1 kind 0]\n"
                  "unit 6 kind 2: [11 kind 0]\n"
                  "unit 7 kind 3 <- 8: [10 kind 1 <- 2]\n"
                  "unit 8 kind 6 <- 5: [3 kind 3 <- 1] [2 kind 2 <- 3]\n"
                  "unit 9 kind 6 <- 5: [5 kind 3 <- 1] [4 kind 2 <- 5]\n"
                  "unit 11 kind 6 <- 6: [13 kind 3 <- 11] [12 kind 2 <- 13]\n"
                  "unit 12 kind 4 <- 1,9,11: [6 kind 5 <- 0,4,12]\n"
                  "unit 13 kind 6 <- 12: [8 kind 3 <- 6] [7 kind 2 <- 8]\n",
                  "fu 8 max 0x1e0000 min 0xffe80000 res 0x18000\n"
                  "fu 9 max 0xc0000 min 0xffd00000 res 0x18000\n"
                  "fu 11 max 0xc0000 min 0xffd00000 res 0x18000 line monitor\n"
                  "fu 13 max 0x0 min 0xffda0000 res 0x4000\n",
                  "engine 0 render type 1 stages 7 8 guard path 9 7 8 6 0\n"
                  "  alt 2 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 2 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 4 44100 16/16 align 12 mask 0x3f sub 0x1\n"
                  "  alt 4 48000 16/16 align 12 mask 0x3f sub 0x1\n"
                  "engine 1 capture type 7 stages path 10 2 3 1\n"
                  "  alt 1 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 44100 16/16 align 4 mask 0x0 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x0 sub 0x1\n",
                  {"Unit02_ 0_0", "Unit03_ 0_0", "Unit03_ 0_1", "Unit04_ 0_0", "Unit05_ 0_0", "Unit05_ 0_1",
                   "Unit07_ 0_0", "Unit08_ 0_0", "Unit08_ 0_1", "Unit08_ 0_2", "Unit08_ 0_3", "Unit08_ 0_4",
                   "Unit08_ 0_5", "Unit12_ 0_0", "Unit13_ 0_0", "Unit13_ 0_1"}},
        // Both monitors and the mic terminal off, 8 channels off: no playback mixer (the master
        // takes the stream directly), 6-channel playback, no swap stage.
        SwitchSet{"NoMonitorsSixChannels",
                  {.variantB = 0x04},
                  {{u"DisableMicInTerminal", 1}, {u"DisableLineInAAUnit", 1}, {u"Disable8ChOutSupported", 1}},
                  "unit 1 kind 2: [0 kind 0]\n"
                  "unit 3 kind 3 <- 13: [6 kind 13 <- 1] [5 kind 1 <- 6] [4 kind 1 <- 6] [3 kind 1 <- 6]\n"
                  "unit 4 kind 2: [12 kind 0]\n"
                  "unit 6 kind 2: [9 kind 0]\n"
                  "unit 7 kind 3 <- 10: [7 kind 1 <- 8]\n"
                  "unit 10 kind 5 <- 15,16: [8 kind 4 <- 10,13]\n"
                  "unit 13 kind 6 <- 1: [2 kind 3 <- 0] [1 kind 2 <- 2]\n"
                  "unit 15 kind 6 <- 6: [11 kind 3 <- 9] [10 kind 2 <- 11]\n"
                  "unit 16 kind 6 <- 4: [13 kind 2 <- 12]\n",
                  "fu 13 max 0x0 min 0xffda0000 res 0x4000\n"
                  "fu 15 max 0x1e0000 min 0xffe80000 res 0x18000\n"
                  "fu 16 max 0xa4000 min 0xffc00000 res 0x10000\n",
                  "engine 0 render type 1 stages 1 2 guard path 3 6 1 2 0 4 5\n"
                  "  alt 2 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 2 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 3 44100 16/16 align 8 mask 0x33 sub 0x1\n"
                  "  alt 3 48000 16/16 align 8 mask 0x33 sub 0x1\n"
                  "  alt 4 44100 16/16 align 12 mask 0x3f sub 0x1\n"
                  "  alt 4 48000 16/16 align 12 mask 0x3f sub 0x1\n"
                  "engine 1 capture type 18 stages 13 path 7 8 10 13 11 12 9\n"
                  "  alt 1 44100 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x3 sub 0x1\n"
                  "  alt 1 44100 16/16 align 4 mask 0x0 sub 0x1\n"
                  "  alt 1 48000 16/16 align 4 mask 0x0 sub 0x1\n",
                  {"UACUnit03", "Unit01_ 1_0", "Unit02_ 1_0", "Unit02_ 1_1", "Unit02_ 1_2",
                   "Unit02_ 1_3", "Unit02_ 1_4", "Unit02_ 1_5", "Unit08_", "Unit10_ 0_0",
                   "Unit11_ 0_0", "Unit11_ 0_1", "Unit13_ 0_0"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
