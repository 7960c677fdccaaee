// The driver object through COM as a host drives it, on a device node that offers the private
// interface (a stand-in that answers the control codes and keeps rings in plain memory): the
// IASIO table, the future selectors, rate-change notification on the worker, and the unusual call
// orders hosts produce.
#include "fake_asio_interface.h"

#include <asio/ComServer.h>

#include <sim/asio_host.h>
#include <sim/machine.h>
#include <sim/registry.h>
#include <sim/user.h>
#include <win/win32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kv380dasio {
namespace {

using sim::hosts::AsioHost;
using sim::hosts::AsioHostOptions;
using testing::FakeInterface;

typedef HRESULT(STDMETHODCALLTYPE* Export)();

class AsioDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::registry::Reset();
        testing::g_fake = &m_fake;
        m_device = new testing::FakeAsioDevice();
        m_process = sim::user::CreateProcess("asio host");
        m_scope = new sim::user::ProcessScope(m_process);
        HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")))(), S_OK);
        FreeLibrary(module);
    }
    void TearDown() override {
        m_host.reset();
        EXPECT_EQ(sim::user::LoadedModuleCount(), 0u);
        EXPECT_EQ(sim::user::OpenHandleCount(m_process), 0u);
        EXPECT_EQ(sim::user::RunningThreadCount(m_process), 0u);
        EXPECT_EQ(m_fake.notify, nullptr);
        delete m_scope;
        EXPECT_EQ(sim::user::DestroyProcess(m_process), 0u);
        delete m_device;
        testing::g_fake = nullptr;
        sim::user::ClearFailures();
        sim::registry::Reset();
    }
    AsioHost& Host() {
        if (!m_host) m_host = std::make_unique<AsioHost>();
        return *m_host;
    }
    IASIO* Loaded() {
        auto drivers = sim::hosts::RegisteredAsioDrivers();
        EXPECT_EQ(drivers.size(), 1u);
        if (drivers.empty()) return nullptr;
        EXPECT_EQ(drivers[0].name, "Talmet V-380D V-260D ASIO(64)");
        EXPECT_EQ(Host().Load(drivers[0].clsid), S_OK);
        return Host().Driver();
    }
    // Runs the fake's transfers until the host saw `switches` more switches.
    void Stream(int64_t switches, ULONG framesPerTransfer = 48) {
        int64_t target = Host().Switches() + switches;
        for (int i = 0; i < 100'000 && Host().Switches() < target; ++i) {
            m_fake.Transfer(framesPerTransfer);
            sim::machine::RunUntil([&] { return m_fake.Drained(); }, sim::machine::kSecond);
        }
    }

    FakeInterface m_fake;
    testing::FakeAsioDevice* m_device = nullptr;
    sim::user::Process* m_process = nullptr;
    sim::user::ProcessScope* m_scope = nullptr;
    std::unique_ptr<AsioHost> m_host;
};

TEST_F(AsioDriverTest, HostStreamsWithTimeInfoAndAlternatingHalves) {
    ASSERT_NE(Loaded(), nullptr);
    ASSERT_EQ(Host().Setup(AsioHostOptions{}), ASE_OK);
    EXPECT_EQ(Host().DriverName(), "Talmet V-380D");
    EXPECT_EQ(Host().Inputs().size(), 2u);
    EXPECT_EQ(Host().Outputs().size(), 2u);
    EXPECT_STREQ(Host().Outputs()[1].name, "Out_01 ch");
    EXPECT_EQ(Host().BufferFrames(), 256);
    EXPECT_EQ(Host().InputLatency(), 480);
    ASSERT_EQ(Host().Start(), ASE_OK);
    EXPECT_EQ(Host().Switches(), 2);  // the two switches before START
    Stream(10);
    EXPECT_TRUE(Host().UsedTimeInfo());
    EXPECT_TRUE(Host().IndicesAlternate());
    EXPECT_TRUE(Host().PositionsGrewByN());
    EXPECT_EQ(Host().TimeInfoFlagsSeen() & 7u, 7u);
    EXPECT_EQ(Host().LastSamplePosition(), static_cast<uint64_t>(Host().Switches()) * 256);
    EXPECT_EQ(Host().Stop(), ASE_OK);
    EXPECT_EQ(Host().Dispose(), ASE_OK);
}

TEST_F(AsioDriverTest, InterfaceTableAnswers) {
    IASIO* driver = Loaded();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);

    ASIOChannelInfo info{};
    info.channel = 2;  // equal to the output count
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
    info.channel = -1;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
    m_fake.channelType = ASIOSTInt32LSB24;
    info.channel = 1;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);

    // The rate: no request for the current rate, but the latencies are checked.
    int sets = m_fake.requests[IOCTL_ASIO_SET_SAMPLE_RATE];
    int latencies = m_fake.requests[IOCTL_ASIO_GET_LATENCIES];
    EXPECT_EQ(driver->setSampleRate(48'000.0), ASE_OK);
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_SAMPLE_RATE], sets);
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_GET_LATENCIES], latencies + 1);
    EXPECT_EQ(driver->canSampleRate(96'000.0), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(12'345.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(12'345.0), ASE_NoClock);
    sim::user::FailDeviceIoControlCode(IOCTL_ASIO_GET_SAMPLE_RATE, 1);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_NoClock);
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48'000.0);

    ASIOClockSource clocks{};
    LONG count = 0;
    EXPECT_EQ(driver->getClockSources(&clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(clocks.name, "Internal");
    EXPECT_EQ(clocks.associatedChannel, -1);
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);

    // Future selectors.
    EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_NotPresent);
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, nullptr), ASE_NotPresent);
    format = ASIOIoFormat{};
    format.FormatType = kASIOFormatInvalid;
    EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, kASIOPCMFormat);
    EXPECT_EQ(driver->future(kAsioSetInputMonitor, nullptr), ASE_NotPresent);

    // A long device name is cut to 31 characters.
    m_fake.name = std::string(40, 'x');
    char name[32];
    std::memset(name, 'z', sizeof(name));
    driver->getDriverName(name);
    EXPECT_EQ(std::string(name), std::string(31, 'x'));
}

TEST_F(AsioDriverTest, UnusualCallOrdersStayClean) {
    IASIO* driver = Loaded();
    ASSERT_NE(driver, nullptr);
    ASIOBufferInfo infos[2] = {{.isInput = 1, .channelNum = 0, .buffers = {}}, {.isInput = 0, .channelNum = 1, .buffers = {}}};
    ASIOCallbacks callbacks{};
    callbacks.bufferSwitch = [](LONG, ASIOBool) {};
    EXPECT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_NotPresent);  // before init
    EXPECT_EQ(driver->getSamplePosition(nullptr, nullptr), ASE_NotPresent);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // no buffers
    EXPECT_EQ(driver->createBuffers(infos, 2, 0, &callbacks), ASE_InvalidMode);
    EXPECT_EQ(driver->createBuffers(infos, 0, 256, &callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(infos, 2, 256, nullptr), ASE_InvalidParameter);
    // Buffers before getChannelInfo: the size of a sample comes from the driver's active type.
    m_fake.channelType = ASIOSTInt32LSB;
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_OK);
    EXPECT_EQ(static_cast<BYTE*>(infos[0].buffers[1]) - static_cast<BYTE*>(infos[0].buffers[0]), 256 * 4);
    EXPECT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_InvalidMode);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    ASSERT_EQ(driver->createBuffers(infos, 2, 128, &callbacks), ASE_OK);  // again after dispose
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_OK);  // a second start preloads afresh
    // Release while running: stop, dispose and close happen in the release.
}

TEST_F(AsioDriverTest, RateChangeWhileRunningNotifiesOnTheWorkerAndHostReloads) {
    ASSERT_NE(Loaded(), nullptr);
    ASSERT_EQ(Host().Setup(AsioHostOptions{}), ASE_OK);
    ASSERT_EQ(Host().Start(), ASE_OK);
    Stream(4);
    EXPECT_EQ(Host().Driver()->setSampleRate(96'000.0), ASE_OK);
    sim::machine::RunUntil([&] { return Host().ResetRequested(); }, sim::machine::kSecond);
    EXPECT_EQ(Host().RateChanges(), 1);
    EXPECT_EQ(Host().LastChangedRate(), 96'000.0);
    EXPECT_EQ(Host().ResetRequests(), 1);
    ASSERT_EQ(Host().Reload(), ASE_OK);
    EXPECT_FALSE(Host().ResetRequested());
    EXPECT_EQ(Host().SampleRate(), 96'000.0);
    Stream(4);
    EXPECT_TRUE(Host().IndicesAlternate());
    // A setting change from elsewhere: a reset request only.
    m_fake.Notify();
    sim::machine::RunUntil([&] { return Host().ResetRequested(); }, sim::machine::kSecond);
    EXPECT_EQ(Host().RateChanges(), 1);
}

TEST_F(AsioDriverTest, ReleaseFromAnotherThreadDuringASwitch) {
    ASSERT_NE(Loaded(), nullptr);
    ASSERT_EQ(Host().Setup(AsioHostOptions{}), ASE_OK);
    ASSERT_EQ(Host().Start(), ASE_OK);
    std::atomic<bool> inSwitch{false};
    std::atomic<bool> releaseStarted{false};
    Host().SetSwitchHook([&](LONG) {
        if (releaseStarted.load()) return;
        inSwitch = true;
        // Hold the switch until the other thread has begun the release.
        sim::machine::RunUntil([&] { return releaseStarted.load(); }, sim::machine::kSecond);
        Sleep(5);
    });
    sim::user::Process* process = m_process;
    PKTHREAD releaser = sim::machine::StartThread("releaser", [&, process] {
        sim::user::ProcessScope scope(process);
        sim::machine::RunUntil([&] { return inSwitch.load(); }, sim::machine::kSecond);
        releaseStarted = true;
        Host().Unload();
    });
    m_fake.Transfer(256);
    KeWaitForSingleObject(releaser, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(releaser);
    EXPECT_EQ(Host().Driver(), nullptr);
    Host().SetSwitchHook({});
}

using sim::user::DialogStep;

TEST_F(AsioDriverTest, ControlPanelShowsLabelsAndSendsOnlyWhatChanged) {
    IASIO* driver = Loaded();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    m_fake.selectedType = 27;
    sim::user::ComboState bits, latencies;
    auto capture = [&](HWND dialog) {
        bits = sim::user::DialogCombo(dialog, 1001);
        latencies = sim::user::DialogCombo(dialog, 1002);
    };
    // OK with nothing changed sends nothing.
    sim::user::ScriptDialogs({DialogStep::Run(capture), DialogStep::Ok()});
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(bits.items, (std::vector<std::string>{"16/16 Bits", "24/24 Bits", "32/16 Bits", "32/24 Bits", "32/32 Bits"}));
    EXPECT_EQ(bits.selection, 3);
    EXPECT_TRUE(bits.enabled);
    ASSERT_EQ(latencies.items.size(), 9u);
    EXPECT_EQ(latencies.items.front(), " 2 ms");
    EXPECT_EQ(latencies.items.back(), "50 ms");
    EXPECT_EQ(latencies.selection, 4);
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_BIT_DEPTH] + m_fake.requests[IOCTL_ASIO_SET_LATENCY], 0);

    // Only the latency changed: only SET_LATENCY.
    sim::user::ScriptDialogs({DialogStep::Pick(1002, 6), DialogStep::Ok()});
    driver->controlPanel();
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_BIT_DEPTH], 0);
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_LATENCY], 1);
    EXPECT_EQ(m_fake.latencyIndex, 6u);

    // The entry after an unlabelled-in-the-old-table type sends the type at its list position.
    sim::user::ScriptDialogs({DialogStep::Pick(1001, 2), DialogStep::Ok()});
    driver->controlPanel();
    EXPECT_EQ(m_fake.selectedType, 24u);

    // CANCEL sends nothing.
    sim::user::ScriptDialogs({DialogStep::Pick(1001, 0), DialogStep::Pick(1002, 0), DialogStep::Cancel()});
    driver->controlPanel();
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_BIT_DEPTH], 1);
    EXPECT_EQ(m_fake.requests[IOCTL_ASIO_SET_LATENCY], 1);
    EXPECT_EQ(sim::user::OpenWindowCount(), 0u);
}

TEST_F(AsioDriverTest, ControlPanelFollowsChangesMadeElsewhereAndOpensOnce) {
    IASIO* driver = Loaded();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    int shown = sim::user::DialogsShown();
    sim::user::ScriptDialogs({
        DialogStep::Run([&](HWND) {
            // A second panel while this one is open shows nothing and leaves this one working.
            EXPECT_EQ(driver->controlPanel(), ASE_OK);
            // Another client changes both settings; the driver signals every client.
            m_fake.selectedType = 18;
            m_fake.latencyIndex = 8;
            m_fake.Notify();
        }),
        DialogStep::WaitUntil([](HWND dialog) {
            return sim::user::DialogCombo(dialog, 1001).selection == 4 && sim::user::DialogCombo(dialog, 1002).selection == 8;
        }),
        DialogStep::Run([](HWND dialog) {
            EXPECT_EQ(sim::user::DialogCombo(dialog, 1001).selection, 4);
            EXPECT_EQ(sim::user::DialogCombo(dialog, 1002).selection, 8);
        }),
        DialogStep::Cancel(),
    });
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(sim::user::DialogsShown(), shown + 1);
    EXPECT_EQ(sim::user::OpenWindowCount(), 0u);
}

}  // namespace
}  // namespace kv380dasio
