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

}  // namespace
}  // namespace kv380dasio
