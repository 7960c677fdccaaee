// UnitNode: the chain of a unit's controls (newest first, signal from head to tail), the hand-over
// of upstream ids to the input control, list access within its bounds, and the descriptor copy.
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/hal/UnitNode.h"

#include "engine/control_fakes.h"
#include "support/pool_faults.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <vector>

namespace {

using namespace control_test;

constexpr ULONG kMute = NodeKindCode(NodeKind::Mute);
constexpr ULONG kVolume = NodeKindCode(NodeKind::Volume);
constexpr ULONG kOutput = NodeKindCode(NodeKind::OutputConnector);
constexpr ULONG kInput = NodeKindCode(NodeKind::InputConnector);
constexpr ULONG kSelector = NodeKindCode(NodeKind::Selector);
constexpr ULONG kMixer = NodeKindCode(NodeKind::Mixer);
constexpr ULONG kSampleRate = NodeKindCode(NodeKind::SampleRate);

// A feature unit descriptor (UAC 1.0, unit 5, source 2, one-byte controls, master and 2 channels).
const UCHAR kDescriptor[] = {10, 0x24, 0x06, 5, 2, 1, 0x03, 0x02, 0x02, 0};

std::vector<ULONG> SourcesOf(AudioNode* node) {
    std::vector<ULONG> ids(16);
    ULONG count = static_cast<ULONG>(ids.size());
    EXPECT_EQ(node->GetSources(&count, ids.data()), STATUS_SUCCESS);
    ids.resize(count);
    return ids;
}

class UnitNodeTest : public testing::Test {
protected:
    void SetUp() override {
        m_Hal = MakeKernelObject<AudioHal>();
        m_Unit = MakeKernelObject<UnitNode>(5u);
        ASSERT_EQ(m_Unit->KeepDescriptor(kDescriptor, m_Hal.get()), STATUS_SUCCESS);
    }

    // Creates controls in the order given (ids 100, 101, ...), each with the one source 0 that the
    // controls' initialisations give, and adds them to the unit.
    void AddControls(const std::vector<ULONG>& kinds) {
        for (ULONG kind : kinds) {
            auto control = MakeKernelObject<AudioNode>(100u + static_cast<ULONG>(m_Controls.size()), kind);
            const ULONG zero = 0;
            ASSERT_EQ(control->SetSources(1, &zero), STATUS_SUCCESS);
            ASSERT_EQ(m_Unit->AddControl(control.get()), STATUS_SUCCESS);
            m_Controls.push_back(std::move(control));
        }
    }
    AudioNode* Created(size_t order) { return m_Controls[order].get(); }

    KernelHolder<AudioHal> m_Hal;
    KernelHolder<UnitNode> m_Unit;
    std::vector<KernelHolder<AudioNode>> m_Controls;  // in creation order
};

TEST_F(UnitNodeTest, ChainControlsFeedsEachControlFromTheOneCreatedAfterIt) {
    struct Case {
        const char* what;
        std::vector<ULONG> kinds;                 // creation order
        std::vector<std::vector<ULONG>> sources;  // per control in creation order, after chaining
        ULONG outputId;
    };
    const Case cases[] = {
        {"P Q R: R feeds Q feeds P", {kMute, kVolume, kMute}, {{101}, {102}, {0}}, 100},
        {"an output connector feeds nothing", {kMute, kOutput, kVolume}, {{102}, {102}, {0}}, 100},
        {"a selector keeps its sources but feeds the next", {kMute, kSelector, kVolume}, {{101}, {0}, {0}}, 100},
        {"input connectors and sample rates keep theirs",
         {kInput, kSampleRate, kVolume},
         {{0}, {0}, {0}},
         100},
        {"one control", {kVolume}, {{0}}, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        m_Controls.clear();
        AddControls(c.kinds);
        ASSERT_EQ(m_Unit->ChainControls(), STATUS_SUCCESS);
        for (size_t i = 0; i < c.kinds.size(); ++i) EXPECT_EQ(SourcesOf(Created(i)), c.sources[i]) << "control " << i;
        ULONG output = 0;
        EXPECT_EQ(m_Unit->GetOutputControlId(&output), STATUS_SUCCESS);
        EXPECT_EQ(output, c.outputId);
        // The input control is the newest.
        AudioNode* input = nullptr;
        EXPECT_EQ(m_Unit->GetControl(0, &input), STATUS_SUCCESS);
        EXPECT_EQ(input, Created(c.kinds.size() - 1));
        m_Controls.clear();
        m_Unit.reset();
    }
}

TEST_F(UnitNodeTest, ChainControlsReplacesOnlyTheFirstOfSeveralSources) {
    AddControls({kMute, kVolume});
    const ULONG three[] = {7, 8, 9};
    ASSERT_EQ(Created(0)->SetSources(3, three), STATUS_SUCCESS);
    ASSERT_EQ(m_Unit->ChainControls(), STATUS_SUCCESS);
    EXPECT_EQ(SourcesOf(Created(0)), (std::vector<ULONG>{101, 8, 9}));
}

TEST_F(UnitNodeTest, SetInputSourcesGivesTheUpstreamIdsToTheInputControlByItsKind) {
    struct Case {
        const char* what;
        ULONG inputKind;
        std::vector<ULONG> inputSources;  // before
        std::vector<ULONG> ids;           // handed over
        std::vector<ULONG> after;
    };
    const Case cases[] = {
        {"chained kind takes the first id", kVolume, {0}, {40, 41}, {40}},
        {"selector with as many sources takes all", kSelector, {0, 0}, {40, 41}, {40, 41}},
        {"selector with another count keeps its own", kSelector, {0, 0}, {40, 41, 42}, {0, 0}},
        {"mixer with as many sources takes all", kMixer, {0, 0, 0}, {40, 41, 42}, {40, 41, 42}},
        {"mixer with another count keeps its own", kMixer, {0, 0, 0}, {40}, {0, 0, 0}},
        {"sample rate takes nothing", kSampleRate, {}, {40}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        m_Controls.clear();
        AddControls({kMute, c.inputKind});
        AudioNode* input = Created(1);
        ASSERT_EQ(input->SetSources(static_cast<ULONG>(c.inputSources.size()), c.inputSources.data()),
                  STATUS_SUCCESS);
        EXPECT_EQ(m_Unit->SetInputSources(static_cast<ULONG>(c.ids.size()), c.ids.data()), STATUS_SUCCESS);
        EXPECT_EQ(SourcesOf(input), c.after);
        EXPECT_EQ(SourcesOf(Created(0)), (std::vector<ULONG>{0}));  // the output control is untouched
        m_Controls.clear();
        m_Unit.reset();
    }
}

TEST_F(UnitNodeTest, SetInputSourcesRefusesAnEmptyListAndAnswersAUnitWithoutControls) {
    const ULONG ids[] = {40};
    EXPECT_EQ(m_Unit->SetInputSources(1, ids), STATUS_SUCCESS);  // nothing to connect yet
    AddControls({kVolume});
    EXPECT_EQ(m_Unit->SetInputSources(0, ids), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Unit->SetInputSources(1, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SourcesOf(Created(0)), (std::vector<ULONG>{0}));
}

TEST_F(UnitNodeTest, ConnectedUnitsFormOneGraphFromInputToOutputControls) {
    // Upstream unit A (this fixture's unit) and downstream unit B, connected as the parsers do.
    AddControls({kMute, kVolume});  // A: 101 -> 100
    ASSERT_EQ(m_Unit->ChainControls(), STATUS_SUCCESS);
    auto downstream = MakeKernelObject<UnitNode>(6u);
    ASSERT_EQ(downstream->KeepDescriptor(kDescriptor, m_Hal.get()), STATUS_SUCCESS);
    auto bMute = MakeKernelObject<AudioNode>(200u, kMute);
    auto bOutput = MakeKernelObject<AudioNode>(201u, kOutput);
    for (AudioNode* control : {bOutput.get(), bMute.get()}) {
        const ULONG zero = 0;
        ASSERT_EQ(control->SetSources(1, &zero), STATUS_SUCCESS);
    }
    ASSERT_EQ(downstream->AddControl(bOutput.get()), STATUS_SUCCESS);
    ASSERT_EQ(downstream->AddControl(bMute.get()), STATUS_SUCCESS);
    ASSERT_EQ(downstream->ChainControls(), STATUS_SUCCESS);

    ULONG upstreamOutput = 0;
    ASSERT_EQ(m_Unit->GetOutputControlId(&upstreamOutput), STATUS_SUCCESS);
    ASSERT_EQ(downstream->SetInputSources(1, &upstreamOutput), STATUS_SUCCESS);
    // 101 -> 100 -> 200 -> 201
    EXPECT_EQ(SourcesOf(bMute.get()), (std::vector<ULONG>{100}));
    EXPECT_EQ(SourcesOf(bOutput.get()), (std::vector<ULONG>{200}));
    EXPECT_EQ(SourcesOf(Created(0)), (std::vector<ULONG>{101}));
}

TEST_F(UnitNodeTest, ControlAccessStaysWithinTheListAndNullsTheAnswerOnFailure) {
    AddControls({kMute, kVolume});
    ULONG count = 0;
    EXPECT_EQ(m_Unit->GetControlCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(m_Unit->GetControlCount(nullptr), STATUS_UNSUCCESSFUL);

    struct Case {
        ULONG index;
        NTSTATUS status;
        AudioNode* answer;
    };
    for (const Case& c : {Case{0, STATUS_SUCCESS, Created(1)}, Case{1, STATUS_SUCCESS, Created(0)},
                          Case{2, STATUS_INVALID_PARAMETER, nullptr}, Case{MAXULONG, STATUS_INVALID_PARAMETER, nullptr}}) {
        SCOPED_TRACE(c.index);
        AudioNode* control = reinterpret_cast<AudioNode*>(0x1);
        EXPECT_EQ(m_Unit->GetControl(c.index, &control), c.status);
        EXPECT_EQ(control, c.answer);
    }
    EXPECT_EQ(m_Unit->GetControl(0, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Unit->GetOutputControlId(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Unit->AddControl(nullptr), STATUS_INVALID_PARAMETER);

    // Without KeepDescriptor there is no list.
    auto bare = MakeKernelObject<UnitNode>(9u);
    AudioNode* control = reinterpret_cast<AudioNode*>(0x1);
    ULONG id = 0;
    EXPECT_EQ(bare->GetControl(0, &control), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(control, nullptr);
    EXPECT_EQ(bare->GetControlCount(&count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->GetOutputControlId(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->AddControl(Created(0)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->ChainControls(), STATUS_SUCCESS);
}

TEST_F(UnitNodeTest, EmptyUnitHasNoOutputControl) {
    ULONG id = 77;
    EXPECT_EQ(m_Unit->GetOutputControlId(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(m_Unit->ChainControls(), STATUS_SUCCESS);
}

TEST_F(UnitNodeTest, RootStatusInterruptAnswersOnlyForAUnitWithOneControl) {
    ULONG id = 0;
    EXPECT_EQ(m_Unit->HandleStatusInterrupt(0, 0, &id), STATUS_UNSUCCESSFUL);  // no control
    AddControls({kMute});
    EXPECT_EQ(m_Unit->HandleStatusInterrupt(0x11, 0x22, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Unit->HandleStatusInterrupt(0x11, 0x22, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 100u);
    AddControls({kVolume});
    EXPECT_EQ(m_Unit->HandleStatusInterrupt(0, 0, &id), STATUS_UNSUCCESSFUL);
}

TEST_F(UnitNodeTest, UnitHoldsAReferenceOnEveryControlUntilItGoes) {
    AddControls({kMute, kVolume});
    AudioNode* survivor = Created(0);
    survivor->AddRef();  // the test's own
    m_Controls.clear();  // the creation references go; the unit's keeps the controls alive
    EXPECT_EQ(survivor->AddRef(), 3u);
    survivor->Release();
    m_Unit.reset();
    EXPECT_EQ(survivor->Release(), 0u);
}

TEST_F(UnitNodeTest, AddControlWithoutPoolDropsItsReference) {
    auto control = MakeKernelObject<AudioNode>(1u, kMute);
    sim::pool::FailNthAllocation(1);
    EXPECT_EQ(m_Unit->AddControl(control.get()), STATUS_UNSUCCESSFUL);
    sim::pool::DisarmFaults();
    ULONG count = 9;
    EXPECT_EQ(m_Unit->GetControlCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(control->AddRef(), 2u);  // only the test's reference and this one
    control->Release();
}

TEST_F(UnitNodeTest, KeepDescriptorCopiesBLengthBytesOnceIntoPagedPool) {
    auto unit = MakeKernelObject<UnitNode>(5u);
    const UCHAR tooShort[] = {1, 0x24};
    EXPECT_EQ(unit->KeepDescriptor(nullptr, m_Hal.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->KeepDescriptor(kDescriptor, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->KeepDescriptor(tooShort, m_Hal.get()), STATUS_INVALID_PARAMETER);

    const sim::pool::Usage before = sim::pool::TagUsage(UnitNodeTag);
    ASSERT_EQ(unit->KeepDescriptor(kDescriptor, m_Hal.get()), STATUS_SUCCESS);
    const sim::pool::Usage after = sim::pool::TagUsage(UnitNodeTag);
    EXPECT_EQ(after.blocks, before.blocks + 2);  // the copy and the control list
    EXPECT_EQ(unit->KeepDescriptor(kDescriptor, m_Hal.get()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(sim::pool::TagUsage(UnitNodeTag).blocks, after.blocks);
    ULONG count = 9;
    EXPECT_EQ(unit->GetControlCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    unit.reset();
    EXPECT_EQ(sim::pool::TagUsage(UnitNodeTag).blocks, before.blocks);
}

TEST_F(UnitNodeTest, KeepDescriptorWithoutPoolKeepsNothing) {
    AudioHal* hal = m_Hal.get();
    kvtest::ExpectCleanAllocationFailures(
        [hal] {
            auto unit = MakeKernelObject<UnitNode>(5u);
            const bool kept = NT_SUCCESS(unit->KeepDescriptor(kDescriptor, hal));
            // A unit that kept nothing has no list to add to.
            ULONG count = 0;
            EXPECT_EQ(NT_SUCCESS(unit->GetControlCount(&count)), kept);
            return kept;
        },
        UnitNodeTag);
}

}  // namespace
