// Selector controls: the range of selections each accepts, the order in which listeners hear of a
// change, the selector unit as the judge of a change, the start-up selection from the unit and the
// stored value, and the listener references.
#include "driver/engine/controls/SelectorControl.h"
#include "support/pool_faults.h"
#include "engine/settings_device.h"
#include "engine/structure_control_fakes.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <optional>

namespace {

using namespace structure_test;

constexpr ULONG kControlId = 7;
constexpr char16_t kValueName[] = u"Unit07_";

class SelectorControlTest : public settings_test::SettingsDevice {
protected:
    ULONG Selected(Selector* selector) {
        ULONG selection = 0xEE;
        EXPECT_EQ(selector->GetSelected(&selection), STATUS_SUCCESS);
        return selection;
    }
    std::vector<ULONG> Sources(AudioNode* node) {
        std::vector<ULONG> ids(8, 0xEE);
        ULONG count = static_cast<ULONG>(ids.size());
        EXPECT_EQ(node->GetSources(&count, ids.data()), STATUS_SUCCESS);
        ids.resize(count);
        return ids;
    }
    KernelHolder<UnitSelectorControl> NewUnitSelector(FakeSelectorUnit* unit, NTSTATUS expected = STATUS_SUCCESS) {
        auto control = MakeKernelObject<UnitSelectorControl>(kControlId);
        EXPECT_EQ(control->InitUnitSelector(unit->AsUnit(), m_fdo), expected);
        return control;
    }

    CallLog log;
};

TEST_F(SelectorControlTest, HostSelectorAcceptsInputsUpToItsSourceCountAndTellsListenersBeforeAndAfter) {
    auto control = MakeKernelObject<SelectorControl>(kControlId);
    const ULONG ids[] = {10, 11, 12};
    ASSERT_EQ(control->SetSources(3, ids), STATUS_SUCCESS);
    auto first = MakeKernelObject<FakeSelectorListener>(&log, "a");
    auto second = MakeKernelObject<FakeSelectorListener>(&log, "b");
    ASSERT_EQ(control->AddListener(first.get()), STATUS_SUCCESS);
    ASSERT_EQ(control->AddListener(second.get()), STATUS_SUCCESS);
    EXPECT_EQ(control->AddListener(nullptr), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(control->SetSelected(4), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(Selected(control.get()), 1u);

    EXPECT_EQ(control->SetSelected(3), STATUS_SUCCESS);
    EXPECT_EQ(log, (CallLog{"a changing 3<-1", "b changing 3<-1", "a changed 3", "b changed 3"}));
    EXPECT_EQ(Selected(control.get()), 3u);

    // A listener that fails ends its pass; the selection still changes.
    log.clear();
    first->changingStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(control->SetSelected(2), STATUS_SUCCESS);
    EXPECT_EQ(log, (CallLog{"a changing 2<-3", "a changed 2", "b changed 2"}));
    EXPECT_EQ(Selected(control.get()), 2u);

    ULONG count = 0;
    EXPECT_EQ(control->GetSourceCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(control->GetSelected(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(SelectorControlTest, ListenersAreHeldWhileTheSelectorLivesAndReleasedWithIt) {
    auto listener = MakeKernelObject<FakeSelectorListener>(&log, "a");
    const ULONG before = References(listener.get());
    {
        auto control = MakeKernelObject<SelectorControl>(kControlId);
        ASSERT_EQ(control->AddListener(listener.get()), STATUS_SUCCESS);
        EXPECT_EQ(References(listener.get()), before + 1);

        // Without pool for the list node the listener is not kept.
        sim::pool::FailNthAllocation(1);
        EXPECT_EQ(control->AddListener(listener.get()), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(References(listener.get()), before + 1);
    }
    EXPECT_EQ(References(listener.get()), before);
}

TEST_F(SelectorControlTest, SetSourcesWithoutPoolForTheListenerListKeepsTheOldSources) {
    auto control = MakeKernelObject<SelectorControl>(kControlId);
    sim::pool::FailAllocationsWithTag(SelectorControlTag);
    const ULONG ids[] = {4, 5};
    EXPECT_EQ(control->SetSources(2, ids), STATUS_UNSUCCESSFUL);
    sim::pool::DisarmFaults();
    EXPECT_EQ(control->GetSourceCount(), 0u);
    EXPECT_EQ(control->SetSources(2, ids), STATUS_SUCCESS);
    EXPECT_EQ(Sources(control.get()), (std::vector<ULONG>{4, 5}));
}

TEST_F(SelectorControlTest, UnitSelectorStartsOnTheDeviceSelectionOrTheStoredOneWithinItsInputs) {
    struct Case {
        const char* what;
        ULONG inputs;
        ULONG deviceSelection;
        NTSTATUS deviceStatus;
        std::optional<std::vector<uint8_t>> stored;
        ULONG expected;
    };
    const Case cases[] = {
        {"the device's selection", 3, 2, STATUS_SUCCESS, std::nullopt, 2},
        {"the stored one over it", 3, 1, STATUS_SUCCESS, LittleEndian(3), 3},
        {"stored above the inputs", 2, 1, STATUS_SUCCESS, LittleEndian(7), 2},
        {"stored 0", 2, 2, STATUS_SUCCESS, LittleEndian(0), 1},
        {"stored value too long to take", 3, 2, STATUS_SUCCESS, LittleEndian(3, 8), 2},
        {"device unreadable", 3, 2, STATUS_DEVICE_DATA_ERROR, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.stored) Store(kValueName, REG_BINARY, *c.stored);
        auto unit = MakeKernelObject<FakeSelectorUnit>(5u, &log);
        unit->inputs = c.inputs;
        unit->selected = c.deviceSelection;
        unit->getStatus = c.deviceStatus;
        auto control = NewUnitSelector(unit.get());
        EXPECT_EQ(Selected(control.get()), c.expected);
        // One placeholder source per input; the unit writes the real ids later.
        EXPECT_EQ(Sources(control.get()), std::vector<ULONG>(c.inputs, 0));
        EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::Selector));
        // Nothing reaches the device before ApplyValues.
        EXPECT_EQ(unit->selected, c.deviceSelection);
    }
}

TEST_F(SelectorControlTest, UnitSelectorChangesOnlyWhatTheUnitAcceptsAndStoresIt) {
    auto unit = MakeKernelObject<FakeSelectorUnit>(5u, &log);
    auto control = NewUnitSelector(unit.get());
    auto listener = MakeKernelObject<FakeSelectorListener>(&log, "a");
    ASSERT_EQ(control->AddListener(listener.get()), STATUS_SUCCESS);
    struct Case {
        const char* what;
        ULONG input;
        NTSTATUS unitStatus;
        NTSTATUS expected;
        CallLog calls;
        ULONG selection;
        std::optional<std::vector<uint8_t>> stored;
    };
    const Case cases[] = {
        {"input 0", 0, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, {}, 1, std::nullopt},
        {"past the inputs", 3, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, {}, 1, std::nullopt},
        {"refused by the unit", 2, STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR, {"unit set 2"}, 1, std::nullopt},
        {"accepted", 2, STATUS_SUCCESS, STATUS_SUCCESS, {"unit set 2", "a changing 2<-1", "a changed 2"}, 2,
         LittleEndian(2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        unit->setStatus = c.unitStatus;
        EXPECT_EQ(control->SetSelected(c.input), c.expected);
        EXPECT_EQ(log, c.calls);
        EXPECT_EQ(Selected(control.get()), c.selection);
        auto stored = Stored(kValueName);
        EXPECT_EQ(stored.has_value(), c.stored.has_value());
        if (stored && c.stored) {
            EXPECT_EQ(stored->data, *c.stored);
        }
    }
}

TEST_F(SelectorControlTest, UnitSelectorRefreshFollowsTheDeviceQuietlyAndApplySendsTheCache) {
    auto unit = MakeKernelObject<FakeSelectorUnit>(5u, &log);
    auto control = NewUnitSelector(unit.get());
    auto listener = MakeKernelObject<FakeSelectorListener>(&log, "a");
    ASSERT_EQ(control->AddListener(listener.get()), STATUS_SUCCESS);
    struct Case {
        ULONG device;
        NTSTATUS status;
        ULONG cached;
    };
    // A device answer outside 1..inputs is bounded as at start-up; a failed read keeps the cache.
    for (const Case c : {Case{2, STATUS_SUCCESS, 2}, Case{9, STATUS_SUCCESS, 2}, Case{0, STATUS_SUCCESS, 1},
                         Case{2, STATUS_DEVICE_DATA_ERROR, 1}}) {
        SCOPED_TRACE(c.device);
        log.clear();
        unit->selected = c.device;
        unit->getStatus = c.status;
        EXPECT_EQ(control->RefreshValues(), c.status);
        EXPECT_EQ(log, CallLog{"unit get"});
        EXPECT_EQ(Selected(control.get()), c.cached);
        EXPECT_FALSE(Stored(kValueName).has_value());
    }
    unit->getStatus = STATUS_SUCCESS;
    unit->selected = 2;
    ASSERT_EQ(control->RefreshValues(), STATUS_SUCCESS);
    log.clear();
    unit->selected = 1;
    EXPECT_EQ(control->ApplyValues(), STATUS_SUCCESS);
    EXPECT_EQ(log, (CallLog{"unit set 2", "a changing 2<-2", "a changed 2"}));
    EXPECT_EQ(unit->selected, 2u);
}

TEST_F(SelectorControlTest, EveryAllocationFailureOfAUnitSelectorsInitialisationIsClean) {
    auto unit = MakeKernelObject<FakeSelectorUnit>(5u, &log);
    unit->inputs = 3;
    for (ULONG tag : {SelectorControlTag, AudioNodeSourceTag}) {
        kvtest::ExpectCleanAllocationFailures(
            [&] {
                auto control = TryMakeKernelObject<UnitSelectorControl>(kControlId);
                return control != nullptr && NT_SUCCESS(control->InitUnitSelector(unit->AsUnit(), m_fdo));
            },
            tag);
    }
}

}  // namespace
