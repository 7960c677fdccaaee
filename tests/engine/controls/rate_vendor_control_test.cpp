// Sample-rate and vendor controls: the rates copied from a clock source and the bounds of handing
// them out, the clock source as the judge of a rate, and the vendor switch's start-up value, its
// pending flags and what it stores.
#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/controls/VendorControl.h"
#include "engine/settings_device.h"
#include "engine/structure_control_fakes.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace structure_test;
using control_test::FakeFeatureUnit;

constexpr ULONG kControlId = 15;
constexpr char16_t kValueName[] = u"Unit15_";
constexpr ULONG kSelector = 3;

std::vector<ULONG> Rates(SampleRateControl* control) {
    ULONG count = 0;
    EXPECT_EQ(control->GetRateCount(&count), STATUS_SUCCESS);
    std::vector<ULONG> rates(count + 2, 0xEE);
    ULONG room = static_cast<ULONG>(rates.size());
    EXPECT_EQ(control->GetRates(&room, rates.data()), STATUS_SUCCESS);
    EXPECT_EQ(room, count);
    rates.resize(room);
    return rates;
}

TEST(SampleRateControlTest, CopiesTheClockSourcesRatesAndLeavesOutWhatItCouldNotRead) {
    CallLog log;
    struct Case {
        const char* what;
        std::vector<ULONG> unitRates;
        ULONG reportedCount;
        NTSTATUS status;
        std::vector<ULONG> held;
    };
    const Case cases[] = {
        {"two rates", {44100, 48000}, MAXULONG, STATUS_SUCCESS, {44100, 48000}},
        {"an unreadable range in between", {44100, 0, 96000}, MAXULONG, STATUS_SUCCESS, {44100, 96000}},
        {"fewer rates than counted", {48000}, 3, STATUS_SUCCESS, {48000}},
        {"no rate", {}, MAXULONG, STATUS_UNSUCCESSFUL, {}},
        {"only unreadable ranges", {0, 0}, MAXULONG, STATUS_UNSUCCESSFUL, {}},
        {"more than thirty", std::vector<ULONG>(31, 48000), MAXULONG, STATUS_INSUFFICIENT_RESOURCES, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto clock = MakeKernelObject<FakeClockSource>(9u, &log);
        clock->rates = c.unitRates;
        clock->reportedCount = c.reportedCount;
        auto control = MakeKernelObject<SampleRateControlNode>(kControlId);
        EXPECT_EQ(control->InitSampleRate(clock->AsUnit()), c.status);
        EXPECT_EQ(Rates(control.get()), c.held);
        EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::SampleRate));
        EXPECT_EQ(control->GetSourceCount(), 0u);
    }
}

TEST(SampleRateControlTest, HandsOutRatesOnlyIntoEnoughRoomAndInitTakesAtMostThirty) {
    auto control = MakeKernelObject<SampleRateControlNode>(kControlId);
    const std::vector<ULONG> many(31, 44100);
    EXPECT_EQ(control->Init(31, many.data()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(control->Init(2, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(control->Init(30, many.data()), STATUS_SUCCESS);
    const ULONG three[] = {44100, 48000, 96000};
    ASSERT_EQ(control->Init(3, three), STATUS_SUCCESS);

    struct Case {
        ULONG room;
        NTSTATUS status;
        ULONG count;
    };
    for (const Case c : {Case{2, STATUS_INVALID_PARAMETER, 2}, Case{3, STATUS_SUCCESS, 3},
                         Case{8, STATUS_SUCCESS, 3}}) {
        SCOPED_TRACE(c.room);
        std::vector<ULONG> rates(8, 0xEE);
        ULONG count = c.room;
        EXPECT_EQ(control->GetRates(&count, rates.data()), c.status);
        EXPECT_EQ(count, c.count);
        for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(rates[i], NT_SUCCESS(c.status) && i < 3 ? three[i] : 0xEEu) << i;
    }
    ULONG count = 3;
    ULONG rates[3];
    EXPECT_EQ(control->GetRates(nullptr, rates), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->GetRates(&count, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->GetRateCount(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->GetRate(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(SampleRateControlTest, TheRateChangesOnlyWhenTheClockSourceAcceptsIt) {
    CallLog log;
    auto clock = MakeKernelObject<FakeClockSource>(9u, &log);
    auto control = MakeKernelObject<SampleRateControlNode>(kControlId);
    ASSERT_EQ(control->InitSampleRate(clock->AsUnit()), STATUS_SUCCESS);
    ULONG rate = 0xEE;
    EXPECT_EQ(control->GetRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 0u);

    EXPECT_EQ(control->SetRate(48000), STATUS_SUCCESS);
    clock->setStatus = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(control->SetRate(44100), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(control->GetRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);

    UCHAR valid = 0;
    EXPECT_EQ(control->IsClockValid(&valid), STATUS_SUCCESS);
    EXPECT_EQ(valid, 1);
    EXPECT_EQ(log, (CallLog{"clock set 48000", "clock set 44100", "clock valid"}));
}

class VendorControlTest : public settings_test::SettingsDevice {
protected:
    VendorControlTest() : unit(MakeKernelObject<FakeFeatureUnit>(2u)) {
        unit->Selector(kSelector).current = {0};
    }
    KernelHolder<VendorControlNode> NewControl() {
        auto control = MakeKernelObject<VendorControlNode>(kControlId);
        EXPECT_EQ(control->InitVendor(unit->AsUnit(), kSelector, m_fdo), STATUS_SUCCESS);
        unit->Log().clear();
        return control;
    }
    static UCHAR Enable(VendorControl* control) {
        UCHAR value = 0xEE;
        EXPECT_EQ(control->GetEnable(&value), STATUS_SUCCESS);
        return value;
    }
    std::optional<std::vector<uint8_t>> StoredEnable() {
        auto value = Stored(kValueName);
        if (!value) return std::nullopt;
        return value->data;
    }

    KernelHolder<FakeFeatureUnit> unit;
};

TEST_F(VendorControlTest, StartsOnTheDeviceValueWithTheStoredOneOverItAndSendsNothing) {
    struct Case {
        const char* what;
        LONG device;
        NTSTATUS deviceStatus;
        std::optional<UCHAR> stored;
        UCHAR expected;
    };
    const Case cases[] = {
        {"the device's value", 1, STATUS_SUCCESS, std::nullopt, 1},
        {"stored on over device off", 0, STATUS_SUCCESS, 1, 1},
        {"stored off over device on", 1, STATUS_SUCCESS, 0, 0},
        {"device unreadable", 1, STATUS_DEVICE_DATA_ERROR, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.stored) Store(kValueName, REG_BINARY, {*c.stored});
        unit->Selector(kSelector).current = {c.device};
        unit->Selector(kSelector).getStatus = c.deviceStatus;
        auto control = MakeKernelObject<VendorControlNode>(kControlId);
        EXPECT_EQ(control->InitVendor(unit->AsUnit(), kSelector, m_fdo), STATUS_SUCCESS);
        EXPECT_EQ(Enable(control.get()), c.expected);
        EXPECT_EQ(control->GetPendingFlag(0), 0);
        EXPECT_EQ(control->GetPendingFlag(1), 0);
        EXPECT_EQ(control->GetSourceCount(), 1u);
        for (const std::string& line : unit->Log()) EXPECT_EQ(line.rfind("set", 0), std::string::npos) << line;
        unit->Log().clear();
    }

    // A unit without FeatureUnitChannels cannot carry the switch.
    CallLog log;
    auto terminal = MakeKernelObject<FakeTerminalUnit>(2u, &log);
    auto control = MakeKernelObject<VendorControlNode>(kControlId);
    EXPECT_EQ(control->InitVendor(terminal->AsUnit(), kSelector, m_fdo), STATUS_INVALID_PARAMETER);
}

TEST_F(VendorControlTest, SetEnableRaisesBothFlagsAlwaysAndKeepsTheValueOnlyWhenTheDeviceTookIt) {
    struct Case {
        const char* what;
        NTSTATUS device;
        UCHAR enable;
        std::optional<std::vector<uint8_t>> stored;
    };
    const Case cases[] = {
        {"refused", STATUS_DEVICE_DATA_ERROR, 0, std::nullopt},
        {"accepted", STATUS_SUCCESS, 1, std::vector<uint8_t>{1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        unit->Selector(kSelector).setStatus = c.device;
        auto control = NewControl();
        EXPECT_EQ(control->SetEnable(1), c.device);
        EXPECT_EQ(unit->Log(), std::vector<std::string>{"set 3/0=1"});
        EXPECT_EQ(control->GetPendingFlag(0), 1);
        EXPECT_EQ(control->GetPendingFlag(1), 1);
        EXPECT_EQ(Enable(control.get()), c.enable);
        EXPECT_EQ(StoredEnable(), c.stored);
    }
}

TEST_F(VendorControlTest, RefreshRaisesTheChangedFlagOnlyForAChangedValue) {
    struct Case {
        const char* what;
        LONG device;
        NTSTATUS status;
        LONG changedFlag;
        UCHAR enable;
        std::optional<std::vector<uint8_t>> stored;
    };
    const Case cases[] = {
        {"switched on at the device", 1, STATUS_SUCCESS, 1, 1, std::vector<uint8_t>{1}},
        {"unchanged", 0, STATUS_SUCCESS, 0, 0, std::vector<uint8_t>{0}},
        {"unreadable", 1, STATUS_DEVICE_DATA_ERROR, 0, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        unit->Selector(kSelector).current = {0};
        unit->Selector(kSelector).getStatus = STATUS_SUCCESS;
        auto control = NewControl();
        unit->Selector(kSelector).current = {c.device};
        unit->Selector(kSelector).getStatus = c.status;
        EXPECT_EQ(control->RefreshValues(), c.status);
        EXPECT_EQ(control->GetPendingFlag(0), c.changedFlag);
        EXPECT_EQ(control->GetPendingFlag(1), 0);
        EXPECT_EQ(Enable(control.get()), c.enable);
        EXPECT_EQ(StoredEnable(), c.stored);
    }
}

TEST_F(VendorControlTest, ApplySendsTheCacheAndTheBaseClassHasNoParameters) {
    Store(kValueName, REG_BINARY, {1});
    auto control = NewControl();
    EXPECT_EQ(control->ApplyValues(), STATUS_SUCCESS);
    EXPECT_EQ(unit->Log(), std::vector<std::string>{"set 3/0=1"});

    GUID name = IID_VendorControl;
    EXPECT_EQ(control->GetNameGuid(&name), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(name, GUID{}));
    ULONG count = 0xEE;
    EXPECT_EQ(control->GetParameterCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    LONG values[2] = {};
    ULONG info[VendorParameterInfoWords] = {};
    EXPECT_EQ(control->GetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->SetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->GetParameterInfo(0, info), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->GetEnable(nullptr), STATUS_INVALID_PARAMETER);

    // The stage the effect controls replace: it keeps the format and leaves the data alone.
    ProcessingStage* stage = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_ProcessingStage, reinterpret_cast<PVOID*>(&stage)), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = 1;
    format.Format.nChannels = 2;
    float plane[4] = {0.5f, -0.5f, 0.25f, 1.0f};
    PVOID planes[ProcessingStageMaxPlanes] = {plane, plane};
    EXPECT_EQ(stage->SetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(stage->Process(&format, planes, 4), STATUS_SUCCESS);
    EXPECT_EQ(plane[0], 0.5f);
    EXPECT_EQ(plane[3], 1.0f);
    EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::Vendor));
    stage->Release();
}

}  // namespace
