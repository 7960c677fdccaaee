// The device client against a stand-in of the driver's private interface on a bus device: a
// failed open at any step leaves nothing behind, and a started stream reaches the host's
// callbacks from the worker on the driver's buffer events.
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

constexpr ULONG kRingFrames = 1920;

struct FakeInterface {
    std::vector<ULONGLONG> capture, render;  // header + 16-bit stereo data
    PRKEVENT notify = nullptr;
    PRKEVENT buffer = nullptr;
    bool started = false;

    FakeInterface() {
        for (auto* ring : {&capture, &render}) {
            ring->assign((sizeof(SharedRingHeader) + kRingFrames * 4) / 8 + 1, 0);
            auto* h = reinterpret_cast<SharedRingHeader*>(ring->data());
            h->active = 1;
            h->isInput = ring == &capture ? 1 : 0;
            h->channels = 2;
            h->dataSize = kRingFrames * 4;
            h->signal = ring == &capture ? 1 : 0;
        }
    }
    SharedRingHeader* Capture() { return reinterpret_cast<SharedRingHeader*>(capture.data()); }
    SharedRingHeader* Render() { return reinterpret_cast<SharedRingHeader*>(render.data()); }
};
FakeInterface* g_fake = nullptr;

PRKEVENT ReferenceUserEvent(const void* buffer) {
    HANDLE handle = reinterpret_cast<HANDLE>(*static_cast<const ULONGLONG*>(buffer));
    PVOID event = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr))) {
        return nullptr;
    }
    return static_cast<PRKEVENT>(event);
}

void Drop(PRKEVENT* event) {
    if (*event != nullptr) ObDereferenceObject(*event);
    *event = nullptr;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return sim::io::Finish(device, irp, STATUS_SUCCESS);
    FakeInterface& fake = *g_fake;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_ASIO_GET_CHANNELS: {
            ChannelCounts counts{.endpoints = 2, .outputs = 2, .inputs = 2, .reserved = 0};
            std::memcpy(buffer, &counts, sizeof(counts));
            return sim::io::Finish(device, irp, STATUS_SUCCESS, sizeof(counts));
        }
        case IOCTL_ASIO_GET_SAMPLE_RATE:
            *static_cast<ULONG*>(buffer) = 48'000;
            return sim::io::Finish(device, irp, STATUS_SUCCESS, 4);
        case IOCTL_ASIO_GET_BIT_DEPTHS: {
            const ULONG list[7] = {16, 5, 16, 17, 24, 27, 18};
            if (out < sizeof(list)) return sim::io::Finish(device, irp, STATUS_BUFFER_OVERFLOW, sizeof(list));
            std::memcpy(buffer, list, sizeof(list));
            return sim::io::Finish(device, irp, STATUS_SUCCESS, sizeof(list));
        }
        case IOCTL_ASIO_GET_IO_FORMAT:
            *static_cast<ULONG*>(buffer) = kFormatPcm;
            return sim::io::Finish(device, irp, STATUS_SUCCESS, 4);
        case IOCTL_ASIO_GET_CHANNEL_INFO: {
            auto* info = static_cast<ASIOChannelInfo*>(buffer);
            info->type = ASIOSTInt16LSB;
            return sim::io::Finish(device, irp, STATUS_SUCCESS, sizeof(ASIOChannelInfo));
        }
        case IOCTL_ASIO_SET_NOTIFY_EVENT:
            Drop(&fake.notify);
            fake.notify = ReferenceUserEvent(buffer);
            return sim::io::Finish(device, irp, fake.notify != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        case IOCTL_ASIO_CLEAR_NOTIFY_EVENT:
            Drop(&fake.notify);
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        case IOCTL_ASIO_CREATE_BUFFERS: {
            auto** rings = static_cast<SharedRingHeader**>(buffer);
            rings[0] = fake.Capture();
            rings[1] = fake.Render();
            return sim::io::Finish(device, irp, STATUS_SUCCESS, 16);
        }
        case IOCTL_ASIO_START:
            fake.buffer = ReferenceUserEvent(buffer);
            fake.started = true;
            fake.Render()->clientDataPosition = 48 * 4 * 3;  // three 1 ms transfers ahead
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        case IOCTL_ASIO_STOP:
            fake.started = false;
            Drop(&fake.buffer);
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        case IOCTL_ASIO_DISPOSE_BUFFERS:
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        default:
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
    }
}

class AsioDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = &m_fake;
        m_bus = sim::io::CreateBusDevice(Dispatch, sim::io::Completion::Synchronous, u"\\Device\\FakeAsio");
        m_process = sim::user::CreateProcess("asio host");
    }
    void TearDown() override {
        EXPECT_EQ(sim::user::DestroyProcess(m_process), 0u);
        sim::io::DeleteBusDevice(m_bus);
        sim::user::ClearFailures();
        Drop(&m_fake.notify);
        Drop(&m_fake.buffer);
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
            for (SharedRingHeader* ring : {m_fake.Capture(), m_fake.Render()}) {
                ring->driverPosition = (ring->driverPosition + 64 * 4) % ring->dataSize;
            }
            KeSetEvent(m_fake.buffer, 0, FALSE);
            sim::machine::RunUntil([&] { return m_fake.Capture()->clientDonePosition == m_fake.Capture()->driverPosition; },
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
