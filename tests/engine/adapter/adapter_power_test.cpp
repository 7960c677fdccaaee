// The adapter as power sink and its selective suspend on the simulated machine: device power
// changes with the HAL and the 1 ms timer resolution, the 5-second idle check, the bus driver's
// idle notification with its D2 and D0 requests, the wake before a request, and teardown with
// requests still out.
#include "engine/adapter_machine.h"

#include <sim/machine.h>
#include <sim/portcls.h>

#include <ostream>
#include <vector>

namespace {

using namespace adapter_test;
using sim::machine::kMillisecond;
using sim::machine::kSecond;

POWER_STATE PowerOf(ULONG state) {
    POWER_STATE power;
    power.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    return power;
}

class AdapterPower : public AdapterMachine {
protected:
    void SetUp() override {
        AdapterMachine::SetUp();
        m_baseline = sim::machine::TimerResolutionRequests();
    }
    // Removal through the PnP manager drops the port-class library's reference, then the last
    // reference goes, then the port: nothing the adapter sent may still be held by the bus.
    void TearDown() override {
        if (m_port != nullptr) {
            EXPECT_EQ(sim::pnp::RemoveDevice(sim::usb::NodeOf(m_port)), STATUS_SUCCESS);
        }
        ReleaseAdapter();
        EXPECT_EQ(sim::machine::TimerResolutionRequests(), m_baseline);
        if (m_port != nullptr) {
            EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
            sim::usb::RemovePort(m_port);
            m_port = nullptr;
        }
        if (m_driver != nullptr) sim::pnp::UnloadDriver(m_driver);  // checks leaks and balances
        m_driver = nullptr;
    }

    // A started port-class device with the adapter registered as its power sink.
    void StartPowered(bool selectiveSuspend) {
        Plug("uac1");
        if (selectiveSuspend) {
            const uint8_t one[4] = {1, 0, 0, 0};
            ASSERT_TRUE(sim::registry::SetValue(EnumKey() + u"\\Device Parameters", u"SelectiveSuspendEnabled",
                                                REG_DWORD, one, sizeof(one)));
        }
        ASSERT_EQ(sim::pnp::StartDevice(sim::usb::NodeOf(m_port)), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterAdapterPowerManagement(m_common, m_fdo), STATUS_SUCCESS);
        m_started = sim::machine::Now();
    }
    void RunUntilSinceStart(sim::machine::Time t) { sim::machine::RunFor(m_started + t - sim::machine::Now()); }
    bool IdlePending() { return sim::usb::IdleRequestPending(m_port); }
    int64_t ResolutionHeld() { return sim::machine::TimerResolutionRequests() - m_baseline; }
    // The device suspended as the bus does it: the idle check sends the request, the hub calls back.
    void Suspend() {
        ASSERT_TRUE(sim::machine::RunUntil([&] { return IdlePending(); }, 6 * kSecond));
        ASSERT_TRUE(sim::usb::CallIdleCallback(m_port));
        ASSERT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD2));
    }

    ScopedCreators m_creators{&kRecordingCreators};
    int64_t m_baseline = 0;
    sim::machine::Time m_started = 0;
};

// ---- Power changes: the HAL and the timer resolution ----

struct PowerCase {
    const char* name;
    std::vector<ULONG> states;        // PowerChangeState calls in order, then the adapter goes
    std::vector<ULONG> halTold;       // what the HAL hears
    ULONG finalState;
};
void PrintTo(const PowerCase& c, std::ostream* os) { *os << c.name; }

class PowerChanges : public AdapterPower, public testing::WithParamInterface<PowerCase> {};

TEST_P(PowerChanges, ReachTheHalAndHoldTheResolutionOnlyInD0) {
    const PowerCase& c = GetParam();
    StartPowered(false);
    EXPECT_EQ(ResolutionHeld(), 1);
    for (ULONG state : c.states) {
        m_adapter->PowerChangeState(PowerOf(state));
        EXPECT_EQ(ResolutionHeld(), m_adapter->DevicePowerState() == PowerDeviceD0 ? 1 : 0) << "after " << state;
    }
    EXPECT_EQ(m_adapter->DevicePowerState(), c.finalState);
    EXPECT_EQ(g_Hal.powerStates, c.halTold);
    // TearDown: the resolution is back at its baseline whichever state the adapter dies in.
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PowerChanges,
    testing::Values(PowerCase{"DestroyedInD0", {}, {}, PowerDeviceD0},
                    PowerCase{"D3", {PowerDeviceD3}, {PowerDeviceD3}, PowerDeviceD3},
                    PowerCase{"D2ThenD3", {PowerDeviceD2, PowerDeviceD3}, {PowerDeviceD2, PowerDeviceD3}, PowerDeviceD3},
                    PowerCase{"D3ThenD0", {PowerDeviceD3, PowerDeviceD0}, {PowerDeviceD3, PowerDeviceD0}, PowerDeviceD0},
                    PowerCase{"D1D0D1", {PowerDeviceD1, PowerDeviceD0, PowerDeviceD1},
                              {PowerDeviceD1, PowerDeviceD0, PowerDeviceD1}, PowerDeviceD1},
                    PowerCase{"SameStateTwice", {PowerDeviceD2, PowerDeviceD2, PowerDeviceD0, PowerDeviceD0},
                              {PowerDeviceD2, PowerDeviceD0}, PowerDeviceD0},
                    PowerCase{"NotADeviceState", {PowerDeviceUnspecified, PowerDeviceMaximum}, {}, PowerDeviceD0}));

TEST_F(AdapterPower, GoneDeviceIsNotToldWhenLeavingD0) {
    StartPowered(false);
    sim::usb::UnplugDevice(m_port);
    m_adapter->PowerChangeState(PowerOf(PowerDeviceD3));
    EXPECT_TRUE(g_Hal.powerStates.empty());
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD3));
    EXPECT_EQ(ResolutionHeld(), 0);
}

TEST_F(AdapterPower, PowerIrpsReachTheAdapterThroughPortClass) {
    StartPowered(false);
    ASSERT_EQ(sim::pnp::SetDevicePower(sim::usb::NodeOf(m_port), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD3));
    ASSERT_EQ(sim::pnp::SetDevicePower(sim::usb::NodeOf(m_port), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD0));
    EXPECT_EQ(g_Hal.powerStates, (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_EQ(ResolutionHeld(), 1);
}

// ---- The idle check ----

TEST_F(AdapterPower, DisabledSuspendSendsNothingAndWaitIdleReturnsAtOnce) {
    StartPowered(false);
    sim::machine::RunFor(12 * kSecond);
    EXPECT_FALSE(IdlePending());
    const sim::machine::Time before = sim::machine::Now();
    EXPECT_EQ(m_common->WaitIdle(), STATUS_SUCCESS);
    EXPECT_EQ(sim::machine::Now(), before);
    EXPECT_EQ(m_adapter->IoInProgressCount(), 1);
}

TEST_F(AdapterPower, IdleCheckSendsTheRequestAfterFiveSecondsOnlyWhileIdle) {
    StartPowered(true);
    RunUntilSinceStart(5 * kSecond - 10 * kMillisecond);
    EXPECT_FALSE(IdlePending());
    m_adapter->AddBusy();  // a running stream
    RunUntilSinceStart(16 * kSecond);
    EXPECT_FALSE(IdlePending());
    m_adapter->ReleaseBusy();
    RunUntilSinceStart(20 * kSecond + 10 * kMillisecond);  // the next check, on the 5000 ms period
    EXPECT_TRUE(IdlePending());
    EXPECT_TRUE(m_adapter->IdleRequestPending());
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD0));  // nothing more until the bus calls back
}

TEST_F(AdapterPower, IdleCallbackSuspendsAndWaitIdleWakes) {
    StartPowered(true);
    Suspend();
    EXPECT_EQ(sim::portcls::PowerState(m_fdo), PowerDeviceD2);
    EXPECT_EQ(ResolutionHeld(), 0);

    // A request arrives: the idle request is cancelled and the driver's own D0 request finishes
    // before the request goes on.
    const sim::machine::Time before = sim::machine::Now();
    EXPECT_EQ(m_common->WaitIdle(), STATUS_SUCCESS);
    EXPECT_LE(sim::machine::Now() - before, 1000 * kMillisecond);
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD0));
    EXPECT_EQ(sim::portcls::PowerState(m_fdo), PowerDeviceD0);
    EXPECT_FALSE(IdlePending());
    EXPECT_FALSE(m_adapter->IdleRequestPending());
    EXPECT_EQ(ResolutionHeld(), 1);
    EXPECT_EQ(g_Hal.powerStates, (std::vector<ULONG>{PowerDeviceD2, PowerDeviceD0}));

    // The completion re-armed the check: the device suspends again when left alone.
    const sim::machine::Time woke = sim::machine::Now();
    ASSERT_TRUE(sim::machine::RunUntil([&] { return IdlePending(); }, 6 * kSecond));
    EXPECT_GE(sim::machine::Now() - woke, 5 * kSecond - 10 * kMillisecond);
}

TEST_F(AdapterPower, WaitIdleInD0CancelsWithoutAPowerRequest) {
    StartPowered(true);
    ASSERT_TRUE(sim::machine::RunUntil([&] { return IdlePending(); }, 6 * kSecond));
    EXPECT_EQ(m_common->WaitIdle(), STATUS_SUCCESS);
    EXPECT_FALSE(IdlePending());
    EXPECT_TRUE(g_Hal.powerStates.empty());
    EXPECT_EQ(m_adapter->DevicePowerState(), ULONG(PowerDeviceD0));
}

// ---- SubmitIdleRequest's answers (the idle check itself is off) ----

struct SubmitCase {
    const char* name;
    void (*prepare)(UsbAudioAdapter* adapter, sim::usb::Port* port);
    NTSTATUS expected;
    bool pendingAfter;
};
void PrintTo(const SubmitCase& c, std::ostream* os) { *os << c.name; }

class SubmitIdle : public AdapterPower, public testing::WithParamInterface<SubmitCase> {};

TEST_P(SubmitIdle, AnswersAndSendsAtMostOne) {
    const SubmitCase& c = GetParam();
    StartPowered(false);
    if (c.prepare != nullptr) c.prepare(m_adapter, m_port);
    EXPECT_EQ(m_adapter->SubmitIdleRequest(), c.expected);
    sim::machine::RunFor(kMillisecond);  // the bus answers asynchronously
    EXPECT_EQ(IdlePending(), c.pendingAfter);
    EXPECT_EQ(m_adapter->IdleRequestPending(), c.pendingAfter);
    // Whatever happened, the next request finds no idle request left.
    EXPECT_EQ(m_common->WaitIdle(), STATUS_SUCCESS);
    EXPECT_FALSE(m_adapter->IdleRequestPending());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SubmitIdle,
    testing::Values(
        SubmitCase{"Idle", nullptr, STATUS_PENDING, true},
        SubmitCase{"SecondWhilePending", [](UsbAudioAdapter* a, sim::usb::Port*) { a->SubmitIdleRequest(); },
                   STATUS_DEVICE_BUSY, true},
        SubmitCase{"OutOfD0", [](UsbAudioAdapter* a, sim::usb::Port*) { a->PowerChangeState(PowerOf(PowerDeviceD3)); },
                   STATUS_POWER_STATE_INVALID, false},
        SubmitCase{"StreamBusy", [](UsbAudioAdapter* a, sim::usb::Port*) { a->AddBusy(); }, STATUS_UNSUCCESSFUL,
                   false},
        SubmitCase{"BusWithoutSuspend",
                   [](UsbAudioAdapter*, sim::usb::Port* p) {
                       sim::usb::FailPortRequests(p, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, STATUS_NOT_SUPPORTED);
                   },
                   STATUS_PENDING, false}));

TEST_F(AdapterPower, RefusedRequestIsTriedAgainOnTheNextCheck) {
    StartPowered(true);
    sim::usb::FailPortRequests(m_port, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, STATUS_NOT_SUPPORTED);
    RunUntilSinceStart(5 * kSecond + 10 * kMillisecond);
    EXPECT_FALSE(IdlePending());
    EXPECT_TRUE(g_Hal.powerStates.empty());  // no D0 request for a refusal
    ASSERT_TRUE(sim::machine::RunUntil([&] { return IdlePending(); }, 6 * kSecond));
}

TEST_F(AdapterPower, UnplugWhileSuspendedRequestsD0) {
    StartPowered(true);
    Suspend();
    sim::usb::UnplugDevice(m_port);  // the bus ends the idle request with STATUS_DEVICE_NOT_CONNECTED
    ASSERT_TRUE(sim::machine::RunUntil([&] { return m_adapter->DevicePowerState() == PowerDeviceD0; }, kSecond));
    EXPECT_FALSE(m_adapter->IdleRequestPending());
    EXPECT_EQ(m_common->WaitIdle(), STATUS_SUCCESS);
}

// ---- Teardown with requests out ----

enum class Outstanding { IdleRequestInD0, IdleRequestInD2, SuspendedThenD3, WokenAgain };
struct TeardownCase {
    const char* name;
    Outstanding outstanding;
};
void PrintTo(const TeardownCase& c, std::ostream* os) { *os << c.name; }

class Teardown : public AdapterPower, public testing::WithParamInterface<TeardownCase> {};

TEST_P(Teardown, LeavesNothingBehind) {
    StartPowered(true);
    switch (GetParam().outstanding) {
        case Outstanding::IdleRequestInD0:
            ASSERT_TRUE(sim::machine::RunUntil([&] { return IdlePending(); }, 6 * kSecond));
            break;
        case Outstanding::IdleRequestInD2: Suspend(); break;
        case Outstanding::SuspendedThenD3:
            Suspend();
            ASSERT_EQ(sim::pnp::SetDevicePower(sim::usb::NodeOf(m_port), PowerDeviceD3), STATUS_SUCCESS);
            break;
        case Outstanding::WokenAgain:
            Suspend();
            m_common->WaitIdle();
            sim::machine::RunFor(2 * kSecond);
            break;
    }
    // TearDown removes the device and drops the last reference: the destructor cancels what is
    // out, waits for it, and the verifier finds no IRP, pool block, work item or resolution left.
}

INSTANTIATE_TEST_SUITE_P(Rows, Teardown,
                         testing::Values(TeardownCase{"IdleRequestInD0", Outstanding::IdleRequestInD0},
                                         TeardownCase{"IdleRequestInD2", Outstanding::IdleRequestInD2},
                                         TeardownCase{"SuspendedThenD3", Outstanding::SuspendedThenD3},
                                         TeardownCase{"WokenAgain", Outstanding::WokenAgain}));

}  // namespace
