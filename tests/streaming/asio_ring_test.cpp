// The ASIO road end to end: the driver's front, adapter, HAL and USB streams on a catalog device
// that serves ASIO, and a host in a user process that opens the private interface, creates the
// shared rings and runs the ring protocol on a worker thread woken by the buffer event. Ramps go
// through the rings to the device sink and from the device source into the host, sample-exact
// from the first sample after every START and after a return to D0.
#include <gtest/gtest.h>

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/asio/AsioProtocol.h"
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/FrontCallees.h"

#include <sim/io.h>
#include <sim/machine.h>
#include <sim/mm.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <sim/usb_ramp_check.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using sim::machine::Time;
constexpr Time kMs = sim::machine::kMillisecond;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

std::vector<UCHAR> Words(std::initializer_list<ULONG> words) {
    std::vector<UCHAR> bytes(words.size() * 4);
    size_t at = 0;
    for (ULONG w : words) {
        std::memcpy(bytes.data() + at, &w, 4);
        at += 4;
    }
    return bytes;
}

// ---- The host: what the ASIO library does with the private interface, in a process of its own ----

class AsioHost {
public:
    explicit AsioHost(bool is32bit = false) : m_Process(sim::io::CreateProcess("asiohost", is32bit)) {}
    ~AsioHost() {
        StopWorker();
        if (m_Process != nullptr) {
            {
                sim::io::ProcessScope scope(m_Process);
                if (m_Event != nullptr) sim::io::CloseUserHandle(m_Event);
                if (m_File != nullptr) sim::io::CloseUserHandle(m_File);
            }
            sim::io::DestroyProcess(m_Process);
        }
    }
    PEPROCESS Process() const { return m_Process; }

    NTSTATUS Open() {
        std::vector<sim::pnp::InterfaceInfo> links = sim::pnp::Interfaces(&GUID_KLASIOPrivateInterface);
        if (links.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        sim::io::ProcessScope scope(m_Process);
        return sim::io::OpenFileHandle(links.front().symbolicLink, &m_File);
    }
    NTSTATUS Close() {
        StopWorker();
        sim::io::ProcessScope scope(m_Process);
        const NTSTATUS status = sim::io::CloseUserHandle(m_File);
        m_File = nullptr;
        return status;
    }
    NTSTATUS Control(ULONG code, const std::vector<UCHAR>& in, std::vector<UCHAR>* out = nullptr,
                     ULONG_PTR* information = nullptr) {
        sim::io::ProcessScope scope(m_Process);
        ULONG_PTR info = 0;
        const NTSTATUS status =
            sim::io::DeviceIoControl(m_File, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                     out != nullptr && !out->empty() ? out->data() : nullptr,
                                     out != nullptr ? static_cast<ULONG>(out->size()) : 0, &info);
        if (information != nullptr) *information = info;
        return status;
    }
    NTSTATUS Set(ULONG code, ULONG value) { return Control(code, Words({value})); }

    // CREATE_BUFFERS for the channels (isInput, channel) with two ring addresses expected.
    NTSTATUS CreateBuffers(ULONG frames, const std::vector<std::pair<ULONG, ULONG>>& channels, ULONG rings = 2) {
        std::vector<ULONG> words = {static_cast<ULONG>(12 + 8 * channels.size()), static_cast<ULONG>(channels.size()),
                                    frames};
        for (const auto& [input, channel] : channels) {
            words.push_back(input);
            words.push_back(channel);
        }
        std::vector<UCHAR> in(words.size() * 4);
        std::memcpy(in.data(), words.data(), in.size());
        const bool narrow = sim::io::Is32bitProcess(m_Process);
        std::vector<UCHAR> out(rings * (narrow ? 4 : 8));
        const NTSTATUS status = Control(IOCTL_ASIO_CREATE_BUFFERS, in, &out);
        m_Rings.clear();
        if (NT_SUCCESS(status)) {
            for (ULONG i = 0; i < rings; ++i) {
                ULONGLONG address = 0;
                std::memcpy(&address, out.data() + i * (narrow ? 4 : 8), narrow ? 4 : 8);
                m_Rings.push_back(reinterpret_cast<SharedRingHeader*>(static_cast<uintptr_t>(address)));
            }
        }
        return status;
    }
    SharedRingHeader* Ring(size_t index) const { return m_Rings.at(index); }

    NTSTATUS Start() {
        if (m_Event == nullptr) {
            sim::io::ProcessScope scope(m_Process);
            m_Event = sim::io::CreateUserEvent(false, false);
        }
        const ULONGLONG handle = reinterpret_cast<ULONG_PTR>(m_Event);
        std::vector<UCHAR> in(sim::io::Is32bitProcess(m_Process) ? 4 : 8);
        std::memcpy(in.data(), &handle, in.size());
        return Control(IOCTL_ASIO_START, in);
    }
    NTSTATUS Stop() { return Control(IOCTL_ASIO_STOP, {}); }

    // The library's worker: woken by the buffer event, it moves every frame the signal ring has
    // between the rings and the host's buffers. Render rings get a ramp (frame n, channel c: n +
    // c x 0x100 in the ring's sample size); capture rings' frames are kept.
    void StartWorker(ULONG bytesPerSample) {
        m_BytesPerSample = bytesPerSample;
        m_Quit = false;
        m_Worker = sim::machine::StartThread("asio host worker", [this] {
            sim::io::ProcessScope scope(m_Process);
            while (!m_Quit.load()) {
                LARGE_INTEGER timeout;
                timeout.QuadPart = -20 * kMs;
                if (sim::io::WaitForUserObject(m_Event, &timeout) != STATUS_SUCCESS) continue;
                ++m_Wakes;
                Service();
            }
        });
    }
    void StopWorker() {
        if (m_Worker == nullptr) return;
        m_Quit = true;
        KeWaitForSingleObject(m_Worker, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_Worker);
        m_Worker = nullptr;
    }

    uint64_t Wakes() const { return m_Wakes.load(); }
    std::vector<int32_t> Captured() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Captured;
    }
    uint64_t RampFramesWritten() const { return m_RampFrame; }

private:
    void Service() {
        SharedRingHeader* signal = nullptr;
        for (SharedRingHeader* ring : m_Rings) {
            if (ring->signal != 0) signal = ring;
        }
        if (signal == nullptr || signal->dataSize == 0) return;
        const ULONG size = signal->dataSize;
        const ULONG driver = __atomic_load_n(&signal->driverPosition, __ATOMIC_ACQUIRE);
        const ULONG available = (driver - signal->clientDonePosition + size) % size;
        const ULONG frames = available / (signal->channels * m_BytesPerSample);
        for (SharedRingHeader* ring : m_Rings) {
            if (ring->active == 0) continue;
            const ULONG frameBytes = ring->channels * m_BytesPerSample;
            auto* data = reinterpret_cast<UCHAR*>(ring) + sizeof(SharedRingHeader);
            ULONG at = ring->clientDataPosition;
            for (ULONG f = 0; f < frames; ++f) {
                for (ULONG c = 0; c < ring->channels; ++c) {
                    UCHAR* sample = data + at + c * m_BytesPerSample;
                    if (ring->isInput == 0) {
                        const int32_t value = static_cast<int32_t>(m_RampFrame + c * 0x100);
                        std::memcpy(sample, &value, m_BytesPerSample);
                    } else {
                        int32_t value = 0;
                        std::memcpy(&value, sample, m_BytesPerSample);
                        const unsigned shift = 32 - 8 * m_BytesPerSample;
                        std::lock_guard<std::mutex> lock(m_Lock);
                        m_Captured.push_back(static_cast<int32_t>(static_cast<uint32_t>(value) << shift) >> shift);
                    }
                }
                if (ring->isInput == 0) ++m_RampFrame;
                at = (at + frameBytes) % ring->dataSize;
            }
            ring->clientDataPosition = at;
            ring->clientDonePosition = (ring->clientDonePosition + frames * frameBytes) % ring->dataSize;
        }
    }

    PEPROCESS m_Process;
    HANDLE m_File = nullptr;
    HANDLE m_Event = nullptr;
    std::vector<SharedRingHeader*> m_Rings;
    PKTHREAD m_Worker = nullptr;
    std::atomic<bool> m_Quit{false};
    std::atomic<uint64_t> m_Wakes{0};
    ULONG m_BytesPerSample = 2;
    uint64_t m_RampFrame = 0;
    std::mutex m_Lock;
    std::vector<int32_t> m_Captured;
};

// ---- The machine: driver and an ASIO device ----

class AsioRing : public testing::Test {
protected:
    void SetUp() override {
        m_Previous = ExchangeFrontCallees(nullptr);
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &m_Driver), STATUS_SUCCESS);
    }
    void TearDown() override {
        m_Host.reset();
        Unplug();
        if (m_Driver != nullptr) sim::pnp::UnloadDriver(m_Driver);
        ExchangeFrontCallees(m_Previous);
        EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    }

    NTSTATUS Plug(const std::string& name = "uac1-klq864") {
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(name);
        if (!device) return STATUS_UNSUCCESSFUL;
        m_Port = sim::usb::PlugDevice(std::move(device));
        m_Node = sim::usb::NodeOf(m_Port);
        NTSTATUS status = sim::pnp::AddDevice(m_Driver, m_Node);
        if (!NT_SUCCESS(status)) return status;
        m_Added = true;
        return sim::pnp::StartDevice(m_Node);
    }
    void Unplug() {
        if (m_Added) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_Node), STATUS_SUCCESS);
        }
        m_Added = false;
        if (m_Port != nullptr) sim::usb::RemovePort(m_Port);
        m_Port = nullptr;
    }
    sim::usb::AudioFunction& Audio() { return *sim::usb::DeviceOf(m_Port).Audio(); }
    UsbAudioAdapter* Adapter() {
        PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice;
        return static_cast<UsbAudioAdapter*>(GetAdapterExtension(functional)->Adapter);
    }

    // A host that opened the interface with the rate and sample type in force (the type becomes
    // the rings' when a handle closes while nobody owns buffers).
    std::unique_ptr<AsioHost> OpenHost(ULONG rate, ULONG sampleType) {
        {
            AsioHost setter;
            EXPECT_EQ(setter.Open(), STATUS_SUCCESS);
            EXPECT_EQ(setter.Set(IOCTL_ASIO_SET_SAMPLE_RATE, rate), STATUS_SUCCESS);
            EXPECT_EQ(setter.Set(IOCTL_ASIO_SET_BIT_DEPTH, sampleType), STATUS_SUCCESS);
            EXPECT_EQ(setter.Close(), STATUS_SUCCESS);
        }
        auto host = std::make_unique<AsioHost>();
        EXPECT_EQ(host->Open(), STATUS_SUCCESS);
        return host;
    }

    const FrontCallees* m_Previous = nullptr;
    sim::pnp::Driver* m_Driver = nullptr;
    sim::usb::Port* m_Port = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    bool m_Added = false;
    std::unique_ptr<AsioHost> m_Host;
};

struct RingCase {
    ULONG rate;
    ULONG sampleType;
    ULONG bytesPerSample;
    ULONG frames;
};

std::string CaseName(const testing::TestParamInfo<RingCase>& info) {
    return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.bytesPerSample * 8) + "bit_" +
           std::to_string(info.param.frames) + "frames";
}

class AsioRingRamp : public AsioRing, public testing::WithParamInterface<RingCase> {};

sim::usb::RampSpec RenderRamp(ULONG bytesPerSample) {
    sim::usb::RampSpec spec;
    spec.bits = bytesPerSample * 8;
    return spec;
}

// A render ramp reaches the device sink without loss, repetition or reordering, and the buffer
// event comes once per transfer of the signal ring.
TEST_P(AsioRingRamp, RenderRampReachesTheDevice) {
    const RingCase& c = GetParam();
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(c.rate, c.sampleType);
    ASSERT_EQ(m_Host->CreateBuffers(c.frames, {{0, 0}, {0, 1}}), STATUS_SUCCESS);
    SharedRingHeader* render = m_Host->Ring(0);
    ASSERT_EQ(render->isInput, 0u);
    EXPECT_EQ(render->active, 1u);
    EXPECT_EQ(render->signal, 1u);
    EXPECT_EQ(m_Host->Ring(1)->active, 0u);
    EXPECT_EQ(render->dataSize, c.rate * 40 / 1000 * 2 * c.bytesPerSample);

    m_Host->StartWorker(c.bytesPerSample);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(300 * kMs);
    // Transfers still in flight at the STOP complete without an event.
    const uint64_t periods = render->periods;
    const uint64_t wakes = m_Host->Wakes();
    ASSERT_EQ(m_Host->Stop(), STATUS_SUCCESS);
    m_Host->StopWorker();
    EXPECT_NEAR(double(wakes), double(periods), 1.0);
    EXPECT_GT(render->periods, 50u);

    const sim::usb::RampReport report = sim::usb::CheckRamp(*Audio().Render(kRenderInterface), RenderRamp(c.bytesPerSample));
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_GT(report.rampFrames, c.rate / 4);
    EXPECT_EQ(m_Host->Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
}

// A capture ramp from the device reaches the host through the capture ring, which is the signal
// ring even when render channels are active too.
TEST_P(AsioRingRamp, CaptureRampReachesTheHost) {
    const RingCase& c = GetParam();
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(c.rate, c.sampleType);
    ASSERT_EQ(m_Host->CreateBuffers(c.frames, {{1, 0}, {1, 1}, {0, 0}}), STATUS_SUCCESS);
    SharedRingHeader* capture = m_Host->Ring(1);
    ASSERT_EQ(capture->isInput, 1u);
    EXPECT_EQ(capture->signal, 1u);
    EXPECT_EQ(m_Host->Ring(0)->signal, 0u);

    m_Host->StartWorker(c.bytesPerSample);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(300 * kMs);
    const uint64_t periods = capture->periods;
    const uint64_t wakes = m_Host->Wakes();
    ASSERT_EQ(m_Host->Stop(), STATUS_SUCCESS);
    m_Host->StopWorker();
    EXPECT_NEAR(double(wakes), double(periods), 1.0);

    sim::usb::CaptureSource& source = *Audio().Capture(kCaptureInterface);
    sim::usb::RampSpec spec = sim::usb::RampOfSource(source.Config(), source.Format());
    spec.fromStart = false;
    const std::vector<int32_t> captured = m_Host->Captured();
    const sim::usb::RampReport report = sim::usb::CheckRamp(captured, 2, spec);
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_GT(report.rampFrames, c.rate / 4);
    // The render side played its ramp at the same time.
    const sim::usb::RampReport played =
        sim::usb::CheckRamp(*Audio().Render(kRenderInterface), RenderRamp(c.bytesPerSample));
    EXPECT_TRUE(played.Ok()) << played.text;
}

INSTANTIATE_TEST_SUITE_P(Formats, AsioRingRamp,
                         testing::Values(RingCase{48000, AsioSampleTypeInt16Lsb, 2, 256},
                                         RingCase{48000, AsioSampleTypeInt16Lsb, 2, 96},
                                         RingCase{48000, AsioSampleTypeInt24Lsb, 3, 1024},
                                         RingCase{44100, AsioSampleTypeInt16Lsb, 2, 1024},
                                         RingCase{44100, AsioSampleTypeInt24Lsb, 3, 96},
                                         RingCase{44100, AsioSampleTypeInt24Lsb, 3, 256}),
                         CaseName);

}  // namespace
