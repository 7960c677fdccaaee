// The R7T5 HAL on the simulated R7T5 device: identification and quirk rows by vendor, product and
// variant bytes, the register restore, the configuration rewrite before the walks, the poll of
// the status report driving the playback guard, and failures at start.
#include "engine/adapter_machine.h"

#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/R7T5ConfigRewrite.h"
#include "driver/engine/models/R7T5Units.h"
#include "driver/engine/interfaces/Selector.h"

#include <sim/machine.h>
#include <sim/pool.h>
#include <sim/usb_audio.h>
#include <sim/usb_models.h>

#include <functional>
#include <utility>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;
using sim::machine::kMillisecond;
using Writes = std::vector<std::pair<uint8_t, uint16_t>>;

R7T5AudioHal*& g_Hal = adapter_test::CapturedHal<R7T5AudioHal>();
constexpr const AudioHalCreatorTable& kCreators = adapter_test::CapturingCreators<R7T5AudioHal, R7T5Tag>;

class R7T5Hal : public AdapterMachine {
protected:
    void TearDown() override {
        if (g_Hal != nullptr && m_common != nullptr) m_common->Stop();
        g_Hal = nullptr;
        AdapterMachine::TearDown();
    }
    NTSTATUS StartModel(const sim::usb::r7t5::Options& options) {
        auto device = sim::usb::r7t5::Create(options);
        m_state = sim::usb::r7t5::StateOf(*device);
        PlugDevice(std::move(device));
        return Start();
    }
    ScopedCreators m_creators{&kCreators};
    std::shared_ptr<sim::usb::r7t5::State> m_state;
};

TEST_F(R7T5Hal, PollDeviceRestoresRegistersAndBuildsItsRewrittenTopology) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    ASSERT_NE(g_Hal, nullptr);
    // Output terminal 3 sets registers 2, 1 and 0 for its speaker type during the walk; then
    // register 5 is pulsed and 0 to 4 are written back from the shadow (register 1 as the quirk row
    // sets it).
    EXPECT_EQ(m_state->writes, (Writes{{2, 0xE000}, {1, 0x3032}, {0, 0x2004}, {5, 0x0000}, {5, 0x3000}, {0, 0x2004},
                                       {1, 0x3032}, {2, 0xE000}, {3, 0x143F}, {4, 0x0000}}));
    EXPECT_TRUE(g_Hal->PollEnabled());
    const R7T5Switches& s = g_Hal->Switches();
    EXPECT_EQ(s.DisableSpdifInTerminal, 1);
    EXPECT_EQ(s.Disable8ChOutSupported, 1);
    EXPECT_EQ(s.SupportHPOut, 0);
    EXPECT_EQ(s.SupportSpdifOut, 0);
    EXPECT_EQ(s.DisableStereoMixRecUnit, 1);
    // Units of the rewritten descriptor: S/PDIF input, line record and stereo mix are gone.
    UnitNode* unit = nullptr;
    EXPECT_EQ(g_Hal->FindUnit(16, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Hal->FindUnit(15, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Hal->FindUnit(2, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Hal->FindUnit(11, &unit), STATUS_SUCCESS);
    EXPECT_EQ(g_Hal->FindUnit(13, &unit), STATUS_SUCCESS);
    ASSERT_NE(g_Hal->Guard(), nullptr);
    EXPECT_EQ(g_Hal->GetStreamEngineCount(), 2u);
}

TEST_F(R7T5Hal, RegisterWritesMergeUnderTheMaskAndKeepEachOthersBits) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    m_state->writes.clear();
    EXPECT_EQ(g_Hal->WriteDeviceRegister(1, 0x0010, 0x0030), STATUS_SUCCESS);
    EXPECT_EQ(m_state->writes, (Writes{{1, 0x3012}}));
    EXPECT_EQ(g_Hal->Register(1).Value, 0x3012);
    EXPECT_EQ(g_Hal->WriteDeviceRegister(6, 0, 0xFFFF), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Hal->WriteDeviceRegister(2, 0x1234, 0), STATUS_SUCCESS);
    EXPECT_EQ(m_state->writes.size(), 1u);
    // A refused write leaves the shadow as it was.
    const int fault = Device().AddControlFault({.match = {.bmRequestType = 0x21, .bRequest = 0x09}});
    EXPECT_FALSE(NT_SUCCESS(g_Hal->WriteDeviceRegister(1, 0x0000, 0x0002)));
    EXPECT_EQ(g_Hal->Register(1).Value, 0x3012);
    Device().RemoveControlFault(fault);

    // Two writers of different bits of register 0 (stream open, terminal type) at once: neither
    // loses the other's bits.
    R7T5AudioHal* hal = g_Hal;
    auto writer = [hal](USHORT Mask) {
        return [hal, Mask] {
            for (int i = 0; i < 20; ++i) hal->WriteDeviceRegister(0, (i % 2) != 0 ? Mask : 0, Mask);
            hal->WriteDeviceRegister(0, Mask, Mask);
        };
    };
    PKTHREAD a = sim::machine::StartThread("rate writer", writer(0x7000));
    PKTHREAD b = sim::machine::StartThread("type writer", writer(0x8000));
    for (PKTHREAD t : {a, b}) {
        KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(t);
    }
    EXPECT_EQ(g_Hal->Register(0).Value & 0xF000, 0xF000);
    EXPECT_EQ(m_state->registers[0], g_Hal->Register(0).Value);
}

TEST_F(R7T5Hal, QuirkRowsFollowVendorProductAndVariantBytes) {
    struct Row {
        const char* name;
        sim::usb::r7t5::Options options;
        bool poll;
        UCHAR disable8, disableLineTerminal, supportHp;
    };
    const Row rows[] = {
        {"poll device", {}, true, 1, 0, 0},
        {"poll device, other variant", {.variantB = 0x04}, false, 0, 0, 1},
        {"other device, variant", {.vendorId = 0x1111, .productId = 0x2222}, false, 1, 0, 1},
        {"other device, B masked to 3", {.vendorId = 0x1111, .productId = 0x2222, .variantB = 0x83}, false, 1, 0, 1},
        {"0x28DA 0x268E without variant", {.vendorId = 0x28DA, .productId = 0x268E, .variantA = 0}, false, 0, 1, 0},
        {"0xA5E7 0x0053, A not 0x9F: nothing", {.vendorId = 0xA5E7, .productId = 0x0053, .variantA = 0x10}, false, 0, 0, 1},
        {"0xA5E7 0x0053 with the variant", {.vendorId = 0xA5E7, .productId = 0x0053}, false, 1, 1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(StartModel(row.options), STATUS_SUCCESS);
        ASSERT_NE(g_Hal, nullptr);
        EXPECT_EQ(g_Hal->PollEnabled(), row.poll);
        EXPECT_EQ(g_Hal->Switches().Disable8ChOutSupported, row.disable8);
        EXPECT_EQ(g_Hal->Switches().DisableLineInTerminal, row.disableLineTerminal);
        EXPECT_EQ(g_Hal->Switches().SupportHPOut, row.supportHp);
        ReleaseAdapter();
        Unplug();
        g_Hal = nullptr;
    }
}

TEST_F(R7T5Hal, PollMovesTheGuardAtTheReadingsThatDecide) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    FormatPolicy* guard = g_Hal->Guard();
    ASSERT_NE(guard, nullptr);
    const sim::machine::Time edge = sim::machine::Now() + 1000 * kMillisecond;
    m_state->reportBit4 = {{0, true}, {edge, false}, {edge + 3000 * kMillisecond, true}};
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(g_Hal->PollRunning());
    // A second Start with the poll running starts nothing.
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);

    ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == 1; }, 2000 * kMillisecond));
    const sim::machine::Time quarter = sim::machine::Now();
    EXPECT_GE(quarter, edge);
    EXPECT_LT(quarter, edge + 52 * kMillisecond);
    ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == 2; }, 3000 * kMillisecond));
    const sim::machine::Time silent = sim::machine::Now();
    // The 30th clear reading: 29 periods after the first.
    EXPECT_NEAR(double(silent - quarter), double(29 * 50 * kMillisecond), double(kMillisecond));
    // The set edge lies 1.5 s after the silent mode and the pass mode 30 readings later:
    // wait well beyond that rather than at its very edge.
    ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == 0; }, 5000 * kMillisecond));
    const sim::machine::Time pass = sim::machine::Now();
    const sim::machine::Time setAgain = edge + 3000 * kMillisecond;
    // 30 consecutive set readings: the first at the period after the edge, the last 29 later.
    EXPECT_GE(pass, setAgain + 29 * 50 * kMillisecond);
    EXPECT_LT(pass, setAgain + 30 * 50 * kMillisecond + 2 * kMillisecond);
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(g_Hal->PollRunning());
}

// A poll restart (return to D0, PnP stop and start) goes on from the guard's mode: a guard the
// last poll silenced comes back to pass at the first set reading of the new poll, and the line
// monitor stays free while playback is guarded.
TEST_F(R7T5Hal, RestartedPollReleasesTheGuardItFindsSilenced) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    FormatPolicy* guard = g_Hal->Guard();
    R7T5LineMonitorUnit* monitor = g_Hal->LineMonitor();
    ASSERT_NE(guard, nullptr);
    ASSERT_NE(monitor, nullptr);
    m_state->reportBit4 = {{0, false}};
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == 2; }, 3000 * kMillisecond));
    EXPECT_EQ(monitor->ForcedMute(), 0);
    ASSERT_EQ(m_common->Stop(), STATUS_SUCCESS);

    // Still clear at the restart: the guard stays silent and the monitor free.
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(120 * kMillisecond);
    EXPECT_EQ(guard->Mode(), 2u);
    EXPECT_EQ(monitor->ForcedMute(), 0);
    ASSERT_EQ(m_common->Stop(), STATUS_SUCCESS);

    // Set from the restart on: pass at the first reading, the monitor muted again.
    m_state->reportBit4 = {{0, true}};
    const sim::machine::Time start = sim::machine::Now();
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::machine::RunUntil([&] { return guard->Mode() == 0; }, 3000 * kMillisecond));
    EXPECT_LT(sim::machine::Now() - start, 52 * kMillisecond);
    EXPECT_EQ(monitor->ForcedMute(), 1);
}

// The restore writes registers back from the shadow while a writer changes bits of one of them:
// the writer's bits survive in the shadow and in the device. Every register write is answered
// 20 ms late, so the writer arrives while the restore writes register 0, just before it reads
// register 1's shadow.
TEST_F(R7T5Hal, RestoreRacingAWriterKeepsTheWritersBits) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    ASSERT_EQ(g_Hal->Register(1).Value & 0x0030, 0x0030);
    Device().AddControlFault({.match = {.bmRequestType = 0x21, .bRequest = 0x09},
                              .action = sim::usb::FaultAction::AnswerLate,
                              .delayMs = 20});
    R7T5AudioHal* hal = g_Hal;
    PKTHREAD restore = sim::machine::StartThread("restore", [hal] { hal->RestoreDeviceState(); });
    sim::machine::RunFor(50 * kMillisecond);
    PKTHREAD writer = sim::machine::StartThread("led writer", [hal] { hal->WriteDeviceRegister(1, 0x0010, 0x0030); });
    for (PKTHREAD t : {restore, writer}) {
        KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(t);
    }
    EXPECT_EQ(g_Hal->Register(1).Value & 0x0030, 0x0010);
    EXPECT_EQ(m_state->registers[1], g_Hal->Register(1).Value);
}

TEST_F(R7T5Hal, FailedReportReadEndsThePollAndStopReturns) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(200 * kMillisecond);
    Device().AddControlFault({.match = {.bmRequestType = 0xA1, .bRequest = 0x01}});
    const uint64_t reads = m_state->reportReads;
    sim::machine::RunFor(200 * kMillisecond);
    EXPECT_EQ(m_state->reportReads, reads);  // the thread has ended
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(g_Hal->PollRunning());
}

TEST_F(R7T5Hal, UnplugWithThePollRunningLeavesNothingBehind) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    ASSERT_EQ(m_common->Start(), STATUS_SUCCESS);
    const size_t threads = sim::machine::SystemThreadsRunning();
    sim::machine::RunFor(120 * kMillisecond);
    Device().Unplug();
    ASSERT_TRUE(sim::machine::RunUntil([&] { return sim::machine::SystemThreadsRunning() < threads; },
                                       200 * kMillisecond));
    EXPECT_EQ(m_common->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(g_Hal->PollRunning());
    // The test main's listener and the driver's unload check the pool and threads.
}

// The record selector sends its sources' fixed device codes (mic record 1, line record 2, S/PDIF
// record 3), not pin numbers, from the start on: its control's init already finds them.
TEST_F(R7T5Hal, RecordSelectorSendsItsSourcesCodes) {
    // Not the poll device: its quirk row leaves the line and S/PDIF record sources in.
    sim::usb::r7t5::Options options{.variantB = 0x04};
    auto device = sim::usb::r7t5::Create(options);
    m_state = sim::usb::r7t5::StateOf(*device);
    PlugDevice(std::move(device));
    sim::registry::SetDword(SettingsKey(), u"DisableMicInRecUnit", 1);
    const NTSTATUS started = Start();
    sim::registry::DeleteValue(SettingsKey(), u"DisableMicInRecUnit");
    ASSERT_EQ(started, STATUS_SUCCESS);
    ASSERT_NE(g_Hal, nullptr);
    const auto sentToSelector = [this] {
        std::vector<uint8_t> codes;
        for (const sim::usb::LogEntry& e : Device().Log()) {
            if (e.isRequest && e.setup.bRequest == 0x01 && (e.setup.wIndex >> 8) == sim::usb::r7t5::kRecordSelector) {
                codes.push_back(e.data.empty() ? 0xFF : e.data[0]);
            }
        }
        return codes;
    };
    // Pins: line record (code 2), S/PDIF record (code 3). Pin 1 is never sent as code 0 or 1.
    std::vector<uint8_t> atStart = sentToSelector();
    ASSERT_FALSE(atStart.empty());
    for (uint8_t code : atStart) EXPECT_EQ(code, 2) << "start";

    UnitNode* unit = nullptr;
    ASSERT_EQ(g_Hal->FindUnit(sim::usb::r7t5::kRecordSelector, &unit), STATUS_SUCCESS);
    Selector* selector = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_Selector, reinterpret_cast<PVOID*>(&selector)), STATUS_SUCCESS);
    EXPECT_EQ(selector->SetSelected(2), STATUS_SUCCESS);
    EXPECT_EQ(sentToSelector().back(), 3);
    ULONG selected = 0;
    EXPECT_EQ(selector->GetSelected(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    EXPECT_EQ(selector->SetSelected(3), STATUS_INVALID_PARAMETER);
    // The device at a code no pin has (mic record): pin 1, whose code is sent again.
    ASSERT_TRUE(Device().Audio()->SetControlValue(sim::usb::r7t5::kRecordSelector, 0, 0, 1));
    EXPECT_EQ(selector->GetSelected(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 1u);
    EXPECT_EQ(sentToSelector().back(), 2);
    selector->Release();
}

TEST_F(R7T5Hal, StartFailures) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"variant byte B stalled",
         [this] { Device().AddControlFault({.match = {.bmRequestType = 0xC3, .bRequest = 0x81, .wIndex = 8}}); },
         STATUS_PENDING},
        {"6 and 8 channels off",
         [this] {
             sim::registry::SetDword(SettingsKey(), u"Disable6ChOutSupported", 1);
         },
         STATUS_UNSUCCESSFUL},
        {"every record source off: the capture terminal's source dangles",
         [this] {
             sim::registry::SetDword(SettingsKey(), u"DisableMicInRecUnit", 1);
         },
         STATUS_UNSUCCESSFUL},
        {"HAL memory", [] { sim::pool::FailAllocationsWithTag(R7T5Tag); }, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The poll device: S/PDIF and line record already off by its quirk row.
        PlugDevice(sim::usb::r7t5::Create({}));
        c.arrange();
        const NTSTATUS status = Start();
        sim::pool::DisarmFaults();
        if (c.expected == STATUS_PENDING) {
            EXPECT_FALSE(NT_SUCCESS(status));
        } else {
            EXPECT_EQ(status, c.expected);
        }
        sim::registry::DeleteValue(SettingsKey(), u"Disable6ChOutSupported");
        sim::registry::DeleteValue(SettingsKey(), u"DisableMicInRecUnit");
        ReleaseAdapter();
        Unplug();
        g_Hal = nullptr;
    }
}

}  // namespace

namespace {

// The poll device's line monitor (unit 11): the device gets the user's mute OR the poll's force, a
// device byte read while forced is not taken as the user's choice, and the force and the user's
// sets never interleave into a byte that is neither's.
TEST_F(R7T5Hal, LineMonitorKeepsTheUsersMuteApartFromTheForcedOne) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    R7T5LineMonitorUnit* unit = g_Hal->LineMonitor();
    ASSERT_NE(unit, nullptr);
    sim::usb::AudioFunction& audio = *Device().Audio();
    const auto deviceMute = [&] { return audio.ControlValue(sim::usb::r7t5::kLineMonitor, 1, 0).value_or(-1); };
    struct Step {
        const char* name;
        std::function<NTSTATUS()> act;
        int device;
        UCHAR user;
    };
    UCHAR read = 0xFF;
    const Step steps[] = {
        {"user unmutes", [&] { return unit->SetCur(1, 0, UCHAR{0}); }, 0, 0},
        {"forced", [&] { return unit->SetForcedMute(1); }, 1, 0},
        {"a forced byte read is not the user's", [&] { return unit->GetCur(1, 0, &read); }, 1, 0},
        {"force ends: the user's unmute again", [&] { return unit->SetForcedMute(0); }, 0, 0},
        {"the device mutes itself: adopted", [&] {
             audio.SetControlValue(sim::usb::r7t5::kLineMonitor, 1, 0, 1);
             return unit->GetCur(1, 0, &read);
         }, 1, 1},
        {"forced and released: the adopted mute stays", [&] {
             unit->SetForcedMute(1);
             return unit->SetForcedMute(0);
         }, 1, 1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.act(), STATUS_SUCCESS);
        EXPECT_EQ(deviceMute(), s.device);
        EXPECT_EQ(unit->UserMute(), s.user);
    }
    EXPECT_EQ(read, 1);
    EXPECT_EQ(unit->GetCur(1, 1, &read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->GetCur(1, 0, static_cast<PUCHAR>(nullptr)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetCur(1, 1, UCHAR{1}), STATUS_INVALID_PARAMETER);

    // The poll forces while the user sets: the device ends at user OR force.
    PKTHREAD poll = sim::machine::StartThread("force", [unit] {
        for (int i = 0; i < 20; ++i) unit->SetForcedMute(static_cast<UCHAR>(i % 2));
    });
    PKTHREAD user = sim::machine::StartThread("user", [unit] {
        for (int i = 0; i < 21; ++i) unit->SetCur(1, 0, static_cast<UCHAR>(i % 2));
    });
    for (PKTHREAD t : {poll, user}) {
        KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(t);
    }
    EXPECT_EQ(unit->ForcedMute(), 1);
    EXPECT_EQ(unit->UserMute(), 0);
    EXPECT_EQ(deviceMute(), 1);
}

// Unit 11 of another device is the plain monitor unit: the poll has no line monitor to force.
TEST_F(R7T5Hal, OnlyThePollDeviceHasALineMonitor) {
    ASSERT_EQ(StartModel({.productId = 0x3751}), STATUS_SUCCESS);
    UnitNode* unit = nullptr;
    EXPECT_EQ(g_Hal->FindUnit(sim::usb::r7t5::kLineMonitor, &unit), STATUS_SUCCESS);
    EXPECT_EQ(g_Hal->LineMonitor(), nullptr);
}

}  // namespace

namespace {

// The guard pass run over again (as it runs once per render engine): the HAL keeps the newest
// guard and lets the one it held go (the unload's pool check finds any guard left behind).
TEST_F(R7T5Hal, ANewGuardReplacesTheOneTheHalHeld) {
    ASSERT_EQ(StartModel({}), STATUS_SUCCESS);
    FormatPolicy* first = g_Hal->Guard();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(g_Hal->AddRenderStages(), STATUS_SUCCESS);
    EXPECT_NE(g_Hal->Guard(), nullptr);
    EXPECT_NE(g_Hal->Guard(), first);
}

}  // namespace
