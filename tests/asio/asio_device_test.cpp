// The device client against a stand-in of the driver's private interface on a bus device: a
// failed open at any step leaves nothing behind, and a started stream reaches the host's
// callbacks from the worker on the driver's buffer events.
#include "fake_asio_interface.h"

#include <asio/AsioDevice.h>

#include <sim/io.h>
#include <sim/machine.h>
#include <sim/user.h>
#include <win/io.h>
#include <win/ke.h>
#include <win/ob.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace kv380dasio {
namespace {

using testing::FakeInterface;
using testing::g_fake;
using testing::kFakeRingFrames;

class AsioDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = &m_fake;
        m_bus = sim::io::CreateBusDevice(testing::FakeDispatch, sim::io::Completion::Synchronous, u"\\Device\\FakeAsio");
        m_process = sim::user::CreateProcess("asio host");
    }
    void TearDown() override {
        EXPECT_EQ(sim::user::DestroyProcess(m_process), 0u);
        sim::io::DeleteBusDevice(m_bus);
        sim::user::ClearFailures();
        FakeInterface::Drop(&m_fake.notify);
        FakeInterface::Drop(&m_fake.buffer);
        g_fake = nullptr;
    }
    void ExpectNothingLeft() {
        EXPECT_EQ(sim::user::OpenHandleCount(m_process), 0u);
        EXPECT_EQ(sim::user::RunningThreadCount(m_process), 0u);
        EXPECT_EQ(sim::user::HeapBlockCount(m_process), 0u);
        EXPECT_EQ(m_fake.notify, nullptr);
    }
    static constexpr const char* kPath = "\\\\.\\GLOBALROOT\\Device\\FakeAsio";
    FakeInterface m_fake;
    PDEVICE_OBJECT m_bus = nullptr;
    sim::user::Process* m_process = nullptr;
};

TEST_F(AsioDeviceTest, FailedOpenAtEveryStepLeavesNothing) {
    sim::user::ProcessScope scope(m_process);
    struct Step {
        sim::user::Failure kind;
        ULONG code;
        int nth;
    };
    const Step steps[] = {
        {sim::user::Failure::CreateFile, 0, 1},
        {sim::user::Failure::DeviceIoControl, IOCTL_ASIO_GET_CHANNELS, 1},
        {sim::user::Failure::DeviceIoControl, IOCTL_ASIO_GET_SAMPLE_RATE, 1},
        {sim::user::Failure::DeviceIoControl, IOCTL_ASIO_GET_BIT_DEPTHS, 1},
        {sim::user::Failure::DeviceIoControl, IOCTL_ASIO_GET_BIT_DEPTHS, 2},
        {sim::user::Failure::DeviceIoControl, IOCTL_ASIO_SET_NOTIFY_EVENT, 1},
        {sim::user::Failure::HeapAlloc, 0, 1},
        {sim::user::Failure::HeapAlloc, 0, 2},
        {sim::user::Failure::HeapAlloc, 0, 3},
        {sim::user::Failure::CreateEvent, 0, 1},
        {sim::user::Failure::CreateEvent, 0, 4},
        {sim::user::Failure::CreateThread, 0, 1},
    };
    for (const Step& step : steps) {
        if (step.code != 0) {
            sim::user::FailDeviceIoControlCode(step.code, step.nth);
        } else {
            sim::user::FailNth(step.kind, step.nth);
        }
        {
            CAsioDevice device;
            EXPECT_FALSE(device.OpenDevice(kPath)) << static_cast<int>(step.kind) << " " << step.code << " " << step.nth;
            sim::user::ClearFailures();
        }
        ExpectNothingLeft();
    }
}

std::atomic<int> g_switches{0};
std::vector<LONG> g_indices;
void OnSwitch(LONG index, ASIOBool) {
    g_indices.push_back(index);
    ++g_switches;
}
LONG OnMessage(LONG selector, LONG, void*, double*) { return selector == kAsioEngineVersion ? 2 : 0; }

TEST_F(AsioDeviceTest, StreamRunsOnTheWorkerAndStopsClean) {
    sim::user::ProcessScope scope(m_process);
    g_indices.clear();
    g_switches = 0;
    {
        CAsioDevice device;
        ASSERT_TRUE(device.OpenDevice(kPath));
        EXPECT_NE(m_fake.notify, nullptr);
        ASIOBufferInfo infos[2] = {{.isInput = 1, .channelNum = 1, .buffers = {}}, {.isInput = 0, .channelNum = 0, .buffers = {}}};
        ASIOCallbacks callbacks{};
        callbacks.bufferSwitch = OnSwitch;
        callbacks.asioMessage = OnMessage;
        // Refused shapes never reach the worker.
        EXPECT_EQ(device.CreateDeviceBuffers(infos, 2, 0, &callbacks), ASE_InvalidMode);
        EXPECT_EQ(device.CreateDeviceBuffers(infos, 0, 256, &callbacks), ASE_InvalidParameter);
        EXPECT_EQ(device.CreateDeviceBuffers(infos, 2, 256, nullptr), ASE_InvalidParameter);
        EXPECT_FALSE(device.StartStreaming());
        ASSERT_EQ(device.CreateDeviceBuffers(infos, 2, 256, &callbacks), ASE_OK);
        EXPECT_EQ(device.CreateDeviceBuffers(infos, 2, 256, &callbacks), ASE_InvalidMode);
        ASSERT_TRUE(device.StartStreaming());
        EXPECT_EQ(g_indices, (std::vector<LONG>{0, 1}));
        // The driver moves 256 frames, one wake-up per 64.
        for (int wake = 0; wake < 4; ++wake) {
            m_fake.Transfer(64);
            sim::machine::RunUntil([&] { return m_fake.Drained(); },
                                   sim::machine::kSecond);
        }
        EXPECT_EQ(g_switches.load(), 3);
        ASIOSamples position{};
        device.ReadSamplePosition(&position, nullptr);
        EXPECT_EQ(position.lo, 768u);
        EXPECT_TRUE(device.StopStreaming());
        EXPECT_TRUE(device.DisposeDeviceBuffers());
        EXPECT_FALSE(device.HasBuffers());
    }
    ExpectNothingLeft();
}

// A host's habits: a second start, a thread preempted between START and the alignment, a stop
// from a thread holding a lock the host's callback takes, and a callback so late that the
// driver went round the ring.
CRITICAL_SECTION g_engine;  // the host's engine lock
std::atomic<bool> g_lockInCallback{false};
std::atomic<bool> g_inCallback{false};
std::atomic<int> g_resyncs{0};
int16_t* g_output[2] = {};

void RampSwitch(LONG index, ASIOBool) {
    // The render half carries host units index x 256 + 1 onwards.
    for (int i = 0; i < 256; ++i) g_output[index][i] = static_cast<int16_t>(index * 256 + i + 1);
    if (g_lockInCallback.load()) {
        g_inCallback = true;
        EnterCriticalSection(&g_engine);
        g_inCallback = false;
        LeaveCriticalSection(&g_engine);
    }
}
LONG CountResyncs(LONG selector, LONG, void*, double*) {
    if (selector == kAsioResyncRequest) ++g_resyncs;
    return selector == kAsioEngineVersion ? 2 : 0;
}
// The host's thread is preempted after START: meanwhile the driver completes a transfer.
void PreemptedAfterStart() {
    g_fake->Transfer(64);
    Sleep(20);
}

TEST_F(AsioDeviceTest, HostHabitsNeitherGlitchNorDeadlock) {
    sim::user::ProcessScope scope(m_process);
    g_resyncs = 0;
    {
        CAsioDevice device;
        ASSERT_TRUE(device.OpenDevice(kPath));
        ASIOBufferInfo infos[2] = {{.isInput = 1, .channelNum = 0, .buffers = {}}, {.isInput = 0, .channelNum = 0, .buffers = {}}};
        ASIOCallbacks callbacks{};
        callbacks.bufferSwitch = RampSwitch;
        callbacks.asioMessage = CountResyncs;
        ASSERT_EQ(device.CreateDeviceBuffers(infos, 2, 256, &callbacks), ASE_OK);
        g_output[0] = static_cast<int16_t*>(infos[1].buffers[0]);
        g_output[1] = static_cast<int16_t*>(infos[1].buffers[1]);

        // The first transfer completes before the starting thread aligns: the render data still
        // lands where the driver expects it (ring frame 144 carries host unit 144).
        device.SetStartHook(PreemptedAfterStart);
        ASSERT_TRUE(device.StartStreaming());
        ASSERT_TRUE(sim::machine::RunUntil([&] { return m_fake.Drained(); }, sim::machine::kSecond));
        int16_t sample = 0;
        std::memcpy(&sample, RingData(m_fake.Render()) + 144 * 4, 2);
        EXPECT_EQ(sample, 145);

        // A second start while running touches nothing and succeeds.
        const ULONG dataPosition = m_fake.Render()->clientDataPosition;
        EXPECT_TRUE(device.StartStreaming());
        EXPECT_EQ(m_fake.requests[IOCTL_ASIO_START], 1);
        EXPECT_EQ(m_fake.Render()->clientDataPosition, dataPosition);

        // A callback that outlasts a whole ring lap asks the host to resynchronise, once.
        m_fake.Transfer(64);
        ASSERT_TRUE(sim::machine::RunUntil([&] { return m_fake.Drained(); }, sim::machine::kSecond));
        EXPECT_EQ(g_resyncs.load(), 0);
        m_fake.Transfer(kFakeRingFrames + 64, (kFakeRingFrames + 64) / 64);
        ASSERT_TRUE(sim::machine::RunUntil([&] { return m_fake.Drained(); }, sim::machine::kSecond));
        EXPECT_EQ(g_resyncs.load(), 1);

        // The host's GUI thread holds its engine lock and stops while the callback waits for it.
        InitializeCriticalSection(&g_engine);
        EnterCriticalSection(&g_engine);
        g_lockInCallback = true;
        m_fake.Transfer(256);
        ASSERT_TRUE(sim::machine::RunUntil([&] { return g_inCallback.load(); }, sim::machine::kSecond));
        EXPECT_TRUE(device.StopStreaming());
        g_lockInCallback = false;
        LeaveCriticalSection(&g_engine);
        EXPECT_TRUE(device.DisposeDeviceBuffers());
        DeleteCriticalSection(&g_engine);
    }
    ExpectNothingLeft();
}

}  // namespace
}  // namespace kv380dasio
