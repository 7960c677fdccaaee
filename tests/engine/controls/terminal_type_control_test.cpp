// Terminal-type control: the start-up type (unit, stored value, list), the order of a change
// (unit, wave subdevices, listeners, store), the rollback of the unit when a later step fails, and
// a refresh that follows a type the device switched to by itself.
#include "driver/engine/controls/TerminalTypeControl.h"
#include "support/pool_faults.h"
#include "engine/settings_device.h"
#include "engine/structure_control_fakes.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace structure_test;

constexpr ULONG kUnitId = 4;
constexpr ULONG kControlId = 12;
constexpr char16_t kValueName[] = u"Unit12_";

class TerminalTypeControlTest : public settings_test::SettingsDevice {
protected:
    TerminalTypeControlTest()
        : unit(MakeKernelObject<FakeTerminalUnit>(kUnitId, &log)),
          hal(MakeKernelObject<FakeModelHal>(&log)),
          first(MakeKernelObject<FakeTypeListener>(&log, "a")),
          second(MakeKernelObject<FakeTypeListener>(&log, "b")) {
        unit->types = {1, 2, 6};
        unit->current = 2;
        hal->callbackObject = changes.Object();
    }

    KernelHolder<TerminalTypeControlNode> NewControl(NTSTATUS expected = STATUS_SUCCESS) {
        auto control = MakeKernelObject<TerminalTypeControlNode>(kControlId);
        EXPECT_EQ(control->InitTerminalType(unit->AsUnit(), m_fdo, hal->AsHal()), expected);
        if (NT_SUCCESS(expected)) {
            EXPECT_EQ(control->AddListener(first.get()), STATUS_SUCCESS);
            EXPECT_EQ(control->AddListener(second.get()), STATUS_SUCCESS);
        }
        log.clear();
        return control;
    }
    // The cached type, as ApplyValues hands it to the unit.
    ULONG CachedType(TerminalTypeControlNode* control) {
        CallLog saved = log;
        log.clear();
        EXPECT_EQ(control->ApplyValues(), STATUS_SUCCESS);
        ULONG type = MAXULONG;
        if (log.size() == 1 && log[0].rfind("unit select ", 0) == 0) type = std::stoul(log[0].substr(12));
        log = saved;
        return type;
    }
    std::optional<std::vector<uint8_t>> StoredType() {
        auto value = Stored(kValueName);
        if (!value) return std::nullopt;
        return value->data;
    }

    CallLog log;
    control_test::ChangeRecorder changes;
    KernelHolder<FakeTerminalUnit> unit;
    KernelHolder<FakeModelHal> hal;
    KernelHolder<FakeTypeListener> first;
    KernelHolder<FakeTypeListener> second;
};

TEST_F(TerminalTypeControlTest, StartsOnTheStoredTypeOrTheUnitsWhenListedElseOnTheFirstListed) {
    struct Case {
        const char* what;
        ULONG unitType;
        NTSTATUS unitStatus;
        std::optional<ULONG> stored;
        ULONG expected;
    };
    const Case cases[] = {
        {"the unit's type", 2, STATUS_SUCCESS, std::nullopt, 2},
        {"the stored type over it", 2, STATUS_SUCCESS, 6, 6},
        {"a stored type the terminal cannot take", 2, STATUS_SUCCESS, 9, 2},
        {"a unit type outside its own list", 9, STATUS_SUCCESS, std::nullopt, 1},
        {"an unreadable unit", 2, STATUS_DEVICE_DATA_ERROR, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.stored) Store(kValueName, REG_BINARY, LittleEndian(*c.stored));
        unit->current = c.unitType;
        unit->typeStatus = c.unitStatus;
        auto control = NewControl();
        EXPECT_EQ(CachedType(control.get()), c.expected);
        EXPECT_EQ(control->IsChangePending(), 0u);
    }

    unit->typeStatus = STATUS_SUCCESS;
    auto control = NewControl();
    EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::TerminalType));
    ULONG count = 0;
    ULONG types[TerminalMaxTypes] = {};
    EXPECT_EQ(control->GetTypeCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(control->GetTypeList(types), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(types, types + count), (std::vector<ULONG>{1, 2, 6}));
    ULONG ids[2] = {0xEE, 0xEE};
    ULONG idCount = 2;
    EXPECT_EQ(control->GetSources(&idCount, ids), STATUS_SUCCESS);
    EXPECT_EQ(idCount, 1u);
    EXPECT_EQ(ids[0], 0u);

    for (const std::vector<ULONG>& list : {std::vector<ULONG>{}, std::vector<ULONG>{1, 2, 3, 6, 8, 9}}) {
        SCOPED_TRACE(list.size());
        unit->types = list;
        NewControl(STATUS_INSUFFICIENT_RESOURCES);
    }
}

TEST_F(TerminalTypeControlTest, InitTakesOneToFiveTypes) {
    auto control = MakeKernelObject<TerminalTypeControlNode>(kControlId);
    const ULONG types[] = {6, 1, 2, 3, 7, 8};
    EXPECT_EQ(control->Init(0, 0, types), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->Init(0, 6, types), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->Init(0, 1, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->Init(3, 5, types), STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(control->GetTypeCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(control->GetSourceCount(), 1u);
}

TEST_F(TerminalTypeControlTest, ChangeGoesToTheUnitThenTheSubdevicesThenTheListenersAndIsStored) {
    auto control = NewControl();
    ULONG pendingDuringUpdate = 0;
    hal->onUpdate = [&] { pendingDuringUpdate = control->IsChangePending(); };

    EXPECT_EQ(control->SelectType(6), STATUS_SUCCESS);
    EXPECT_EQ(log, (CallLog{"unit select 6", "hal update 4", "hal callback", "a type 6 cb", "b type 6 cb"}));
    EXPECT_EQ(pendingDuringUpdate, 1u);
    EXPECT_EQ(StoredType(), LittleEndian(6));
    EXPECT_EQ(CachedType(control.get()), 6u);

    // The HAL reads and clears the flag when it re-installs.
    EXPECT_EQ(control->IsChangePending(), 1u);
    EXPECT_EQ(control->ClearChangePending(), STATUS_SUCCESS);
    EXPECT_EQ(control->IsChangePending(), 0u);
}

TEST_F(TerminalTypeControlTest, CurrentUnlistedAndRefusedTypesChangeNothing) {
    auto control = NewControl();
    struct Case {
        const char* what;
        ULONG type;
        NTSTATUS expected;
        CallLog calls;
    };
    unit->refuse[6] = STATUS_DEVICE_DATA_ERROR;
    const Case cases[] = {
        {"the current type", 2, STATUS_SUCCESS, {}},
        {"a type outside the list", 9, STATUS_INVALID_PARAMETER, {}},
        {"refused by the unit", 6, STATUS_DEVICE_DATA_ERROR, {"unit select 6"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        EXPECT_EQ(control->SelectType(c.type), c.expected);
        EXPECT_EQ(log, c.calls);
        EXPECT_EQ(CachedType(control.get()), 2u);
        EXPECT_FALSE(StoredType().has_value());
        EXPECT_EQ(control->IsChangePending(), 0u);
    }
}

TEST_F(TerminalTypeControlTest, AFailureAfterTheUnitAcceptedPutsTheOldTypeBack) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        NTSTATUS expected;
        CallLog calls;
    };
    const Case cases[] = {
        {"a HAL without a device model", [&] { hal->answerModel = false; }, STATUS_INVALID_PARAMETER,
         {"unit select 6", "unit select 2"}},
        {"re-installing fails", [&] { hal->updateStatus = STATUS_DEVICE_BUSY; }, STATUS_DEVICE_BUSY,
         {"unit select 6", "hal update 4", "unit select 2"}},
        {"no callback object", [&] { hal->callbackStatus = STATUS_UNSUCCESSFUL; }, STATUS_UNSUCCESSFUL,
         {"unit select 6", "hal update 4", "hal callback", "unit select 2"}},
        {"a listener fails", [&] { first->status = STATUS_DEVICE_DATA_ERROR; }, STATUS_DEVICE_DATA_ERROR,
         {"unit select 6", "hal update 4", "hal callback", "a type 6 cb", "unit select 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hal->answerModel = true;
        hal->updateStatus = STATUS_SUCCESS;
        hal->callbackStatus = STATUS_SUCCESS;
        first->status = STATUS_SUCCESS;
        auto control = NewControl();
        c.arrange();
        EXPECT_EQ(control->SelectType(6), c.expected);
        EXPECT_EQ(log, c.calls);
        EXPECT_EQ(unit->current, 2u);
        EXPECT_EQ(CachedType(control.get()), 2u);
        EXPECT_FALSE(StoredType().has_value());
    }
}

TEST_F(TerminalTypeControlTest, RefreshFollowsATypeTheDeviceSwitchedToAndGetTypeCachesTheUnitsAnswer) {
    auto control = NewControl();
    unit->current = 6;
    EXPECT_EQ(control->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(log, (CallLog{"unit type", "unit select 6", "hal update 4", "hal callback", "a type 6 cb",
                            "b type 6 cb"}));
    EXPECT_EQ(StoredType(), LittleEndian(6));

    log.clear();
    EXPECT_EQ(control->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(log, CallLog{"unit type"});

    log.clear();
    unit->typeStatus = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(control->RefreshValues(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(log, CallLog{"unit type"});

    unit->typeStatus = STATUS_SUCCESS;
    unit->current = 1;
    ULONG type = 0;
    EXPECT_EQ(control->GetType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(CachedType(control.get()), 1u);
    EXPECT_EQ(control->GetType(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(TerminalTypeControlTest, ListenersAreReleasedWithTheControl) {
    const ULONG before = References(first.get());
    {
        auto control = NewControl();
        EXPECT_EQ(References(first.get()), before + 1);
        EXPECT_EQ(control->AddListener(nullptr), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(References(first.get()), before);
}

TEST_F(TerminalTypeControlTest, EveryAllocationFailureOfTheInitialisationIsClean) {
    for (ULONG tag : {TerminalTypeControlTag, AudioNodeSourceTag}) {
        kvtest::ExpectCleanAllocationFailures(
            [&] {
                auto control = TryMakeKernelObject<TerminalTypeControlNode>(kControlId);
                return control != nullptr && NT_SUCCESS(control->InitTerminalType(unit->AsUnit(), m_fdo, hal->AsHal()));
            },
            tag);
    }
}

}  // namespace
