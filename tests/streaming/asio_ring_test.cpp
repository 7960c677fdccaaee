// The ASIO road end to end: the driver's front, adapter, HAL and USB streams on a catalog device
// that serves ASIO, and a host in a user process that opens the private interface, creates the
// shared rings and runs the ring protocol on a worker thread woken by the buffer event. Ramps go
// through the rings to the device sink and from the device source into the host, sample-exact
// from the first sample after every START and after a return to D0.
#include <gtest/gtest.h>

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/asio/AsioProtocol.h"
#include "driver/engine/stream/UsbAudioStream.h"
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

#include <algorithm>
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
                if (m_Notify != nullptr) sim::io::CloseUserHandle(m_Notify);
                if (m_File != nullptr) sim::io::CloseUserHandle(m_File);
            }
            sim::io::DestroyProcess(m_Process);
        }
    }
    PEPROCESS Process() const { return m_Process; }
    // The process ends with its handles, as DestroyProcess does; the host is left without one.
    void EndProcess() {
        StopWorker();
        sim::io::DestroyProcess(m_Process);
        m_Process = nullptr;
    }
    // The host's file handle duplicated into another process.
    HANDLE DuplicateFile(PEPROCESS target) {
        sim::io::ProcessScope scope(m_Process);
        return sim::io::DuplicateUserHandle(m_File, target);
    }

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

    // The buffer event exists before the worker that waits on it.
    void CreateEvent() {
        if (m_Event != nullptr) return;
        sim::io::ProcessScope scope(m_Process);
        m_Event = sim::io::CreateUserEvent(false, false);
    }
    NTSTATUS Start() {
        CreateEvent();
        const ULONGLONG handle = reinterpret_cast<ULONG_PTR>(m_Event);
        std::vector<UCHAR> in(sim::io::Is32bitProcess(m_Process) ? 4 : 8);
        std::memcpy(in.data(), &handle, in.size());
        return Control(IOCTL_ASIO_START, in);
    }
    NTSTATUS Stop() { return Control(IOCTL_ASIO_STOP, {}); }
    // The notify event, handed to the driver; Notified takes a signal if there is one.
    NTSTATUS SetNotify() {
        sim::io::ProcessScope scope(m_Process);
        m_Notify = sim::io::CreateUserEvent(false, false);
        const ULONGLONG handle = reinterpret_cast<ULONG_PTR>(m_Notify);
        std::vector<UCHAR> in(sim::io::Is32bitProcess(m_Process) ? 4 : 8);
        std::memcpy(in.data(), &handle, in.size());
        return Control(IOCTL_ASIO_SET_NOTIFY_EVENT, in);
    }
    bool Notified() {
        sim::io::ProcessScope scope(m_Process);
        LARGE_INTEGER now;
        now.QuadPart = 0;
        return sim::io::WaitForUserObject(m_Notify, &now) == STATUS_SUCCESS;
    }
    // A query answering words.
    std::vector<UCHAR> Query(ULONG code, size_t bytes) {
        std::vector<UCHAR> out(bytes);
        EXPECT_EQ(Control(code, {}, &out), STATUS_SUCCESS);
        return out;
    }

    // The library's worker: woken by the buffer event, it moves every frame the signal ring has
    // between the rings and the host's buffers. Render rings get a ramp (frame n, channel c: n +
    // c x 0x100 in the ring's sample size); capture rings' frames are kept.
    void StartWorker(ULONG bytesPerSample) {
        m_BytesPerSample = bytesPerSample;
        m_Quit = false;
        CreateEvent();
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
    HANDLE m_Notify = nullptr;
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

namespace {

// The frames of a sink from `first` on (interleaved, two channels).
std::vector<int32_t> SinkFrom(const sim::usb::RenderSink& sink, uint64_t first) {
    std::vector<int32_t> all = sink.Interleaved();
    const size_t at = std::min<size_t>(all.size(), first * 2);
    return std::vector<int32_t>(all.begin() + at, all.end());
}

// Leaving D0 stops the streams; D0 resumes them from reset rings, and the ramp is exact from its
// first sample after the resume. A STOP sent below D0 waits for D0 and then completes.
TEST_F(AsioRing, ResumeAfterD3IsSampleExactAndHeldStopCompletes) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {0, 1}}), STATUS_SUCCESS);
    m_Host->StartWorker(2);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(150 * kMs);

    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter()->AsioStreaming());
    EXPECT_TRUE(Adapter()->AsioRestartPending());
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    const uint64_t before = sink.Frames();
    sim::machine::RunFor(50 * kMs);
    EXPECT_EQ(sink.Frames(), before);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(Adapter()->AsioStreaming());
    sim::machine::RunFor(150 * kMs);

    // Each stretch is one clean ramp: before the power-down from frame 0, after it from wherever
    // the host's counter stood.
    sim::usb::RampSpec spec;
    std::vector<int32_t> first = sink.Interleaved();
    first.resize(before * 2);
    const sim::usb::RampReport early = sim::usb::CheckRamp(first, 2, spec);
    EXPECT_TRUE(early.Ok()) << early.text;
    spec.fromStart = false;
    const sim::usb::RampReport late = sim::usb::CheckRamp(SinkFrom(sink, before), 2, spec);
    EXPECT_TRUE(late.Ok()) << late.text;
    EXPECT_GT(late.rampFrames, 48000u / 10);

    // A STOP below D0 is held until the device is back.
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
    std::atomic<NTSTATUS> stopped{STATUS_PENDING};
    PKTHREAD stopper = sim::machine::StartThread("asio stop", [&] { stopped = m_Host->Stop(); });
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Adapter()->AsioStopHeld(); }, 100 * kMs));
    EXPECT_EQ(stopped.load(), STATUS_PENDING);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD0), STATUS_SUCCESS);
    KeWaitForSingleObject(stopper, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(stopper);
    EXPECT_EQ(stopped.load(), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter()->AsioStreaming());
    EXPECT_FALSE(Adapter()->AsioStopHeld());
}

struct LeadCase {
    ULONG rate;
    ULONG frames;
    ULONG clientData;   // bytes, 16-bit stereo
    ULONG driverBehind;  // bytes before the end of the ring where the driver's first read starts
};

// START keeps what the library preloaded from ring offset 0 and places its next write one lead
// ahead of the driver's reads: as far as one host buffer allows, the rest of the lead before the
// preload (the ring's end, silent). A resume after a power-down clears the stale render data.
TEST_F(AsioRing, StartKeepsThePreloadAndSplitsTheLead) {
    const LeadCase cases[] = {
        {48000, 256, 240 * 4, 0},        // 1 ms transfers, 4 in flight: 5 transfers of lead
        {48000, 1024, 960 * 4, 0},       // 5 ms, 3 in flight: 20 ms of lead fit into 21.3 ms
        {48000, 96, 96 * 4, 48 * 4},     // 1 ms, 2 in flight: 3 ms of lead, one buffer of 2 ms
        {44100, 440, 440 * 4, 1 * 4},    // 2 ms, 4 in flight: 441 frames of lead (44 or 45 per ms)
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const LeadCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " frames");
        m_Host = OpenHost(c.rate, AsioSampleTypeInt16Lsb);
        ASSERT_EQ(m_Host->CreateBuffers(c.frames, {{0, 0}, {0, 1}}), STATUS_SUCCESS);
        SharedRingHeader* render = m_Host->Ring(0);
        auto* data = reinterpret_cast<UCHAR*>(render) + sizeof(SharedRingHeader);
        for (ULONG i = 0; i < render->dataSize; ++i) data[i] = static_cast<UCHAR>(i % 251 + 1);
        ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
        EXPECT_EQ(render->clientDataPosition, c.clientData);
        EXPECT_EQ(render->clientDonePosition, (render->dataSize - c.driverBehind) % render->dataSize);
        bool kept = true;
        for (ULONG i = 0; i < render->dataSize; ++i) kept = kept && data[i] == static_cast<UCHAR>(i % 251 + 1);
        EXPECT_TRUE(kept) << "the preload was overwritten at START";

        ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(render->clientDataPosition, c.clientData);
        bool silent = true;
        for (ULONG i = 0; i < render->dataSize; ++i) silent = silent && data[i] == 0;
        EXPECT_TRUE(silent) << "stale data stays in the ring after a resume";
        ASSERT_EQ(m_Host->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(m_Host->Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
        m_Host.reset();
    }
}

// A STOP held below D0 completes when the device is removed instead of waiting forever.
TEST_F(AsioRing, HeldStopCompletesAtRemoval) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
    std::atomic<NTSTATUS> stopped{STATUS_PENDING};
    PKTHREAD stopper = sim::machine::StartThread("asio stop", [&] { stopped = m_Host->Stop(); });
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Adapter()->AsioStopHeld(); }, 100 * kMs));
    sim::usb::UnplugDevice(m_Port);
    Unplug();
    KeWaitForSingleObject(stopper, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(stopper);
    EXPECT_NE(stopped.load(), STATUS_PENDING);
    m_Host.reset();
}

// The queries on the ASIO device, the refusals of bad values, and the settings lifecycle.
TEST_F(AsioRing, QueriesAndSettings) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    AsioHost& host = *m_Host;

    std::vector<UCHAR> none;
    ULONG_PTR info = 0;
    EXPECT_EQ(host.Control(IOCTL_ASIO_GET_DEVICE_NAME, {}, &none, &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, sizeof("V-260D USB Audio"));
    std::vector<UCHAR> name(info);
    EXPECT_EQ(host.Control(IOCTL_ASIO_GET_DEVICE_NAME, {}, &name, &info), STATUS_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "V-260D USB Audio");

    std::vector<UCHAR> counts(16);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_CHANNELS, {}, &counts), STATUS_SUCCESS);
    EXPECT_EQ(counts, Words({2, 2, 2, 0}));

    std::vector<UCHAR> channel(52);
    std::memcpy(channel.data(), Words({1, 1}).data(), 8);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_CHANNEL_INFO, std::vector<UCHAR>(channel), &channel, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 52u);
    ULONG type = 0;
    std::memcpy(&type, channel.data() + 16, 4);
    EXPECT_EQ(type, AsioSampleTypeInt16Lsb);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(channel.data() + 20)).find("_01 ch"), std::string::npos);
    // A channel beyond its direction is refused.
    std::vector<UCHAR> beyond(52);
    std::memcpy(beyond.data(), Words({2, 0}).data(), 8);
    EXPECT_EQ(host.Control(IOCTL_ASIO_GET_CHANNEL_INFO, std::vector<UCHAR>(beyond), &beyond), STATUS_INVALID_PARAMETER);

    std::vector<UCHAR> depths(64);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_BIT_DEPTHS, {}, &depths, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 16u);
    depths.resize(info);
    EXPECT_EQ(depths, Words({AsioSampleTypeInt16Lsb, 2, AsioSampleTypeInt16Lsb, AsioSampleTypeInt24Lsb}));

    std::vector<UCHAR> latencies(8);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_LATENCIES, {}, &latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies, Words({480, 960}));
    std::vector<UCHAR> sizes(16);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_BUFFER_SIZE, {}, &sizes), STATUS_SUCCESS);
    EXPECT_EQ(sizes, Words({96, 2400, 480, 1}));

    // Values outside the tables are refused and change nothing.
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_LATENCY, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_BIT_DEPTH, 99), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 2822400), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.Set(IOCTL_ASIO_CAN_DO_IO_FORMAT, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Adapter()->AsioLatencyIndex(), AsioDefaultLatencyIndex);

    // The selected type takes effect only when a close leaves nobody owning buffers. Once the
    // rings exist, the latencies are theirs: one buffer each way (the lead of 240 frames fits
    // into one buffer of 256).
    ASSERT_EQ(host.CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_LATENCIES, {}, &latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies, Words({256, 256}));
    EXPECT_EQ(host.CreateBuffers(256, {{0, 0}}), STATUS_INVALID_PARAMETER);  // a second set would orphan the first
    AsioHost other;
    ASSERT_EQ(other.Open(), STATUS_SUCCESS);
    EXPECT_EQ(other.CreateBuffers(256, {{0, 0}}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other.Set(IOCTL_ASIO_SET_BIT_DEPTH, AsioSampleTypeInt24Lsb), STATUS_SUCCESS);
    EXPECT_EQ(Adapter()->AsioSelectedSampleType(), AsioSampleTypeInt24Lsb);
    EXPECT_EQ(Adapter()->AsioActiveSampleType(), AsioSampleTypeInt16Lsb);
    EXPECT_EQ(host.Close(), STATUS_SUCCESS);  // the owner goes: its rings with it
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    EXPECT_EQ(Adapter()->AsioActiveSampleType(), AsioSampleTypeInt24Lsb);
    EXPECT_EQ(other.CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
    EXPECT_EQ(other.Ring(0)->dataSize, 48u * 40 * 2 * 3);
    EXPECT_EQ(other.Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
    EXPECT_EQ(other.Close(), STATUS_SUCCESS);
}

// A second handle cannot disturb the owner: its failed CREATE_BUFFERS leaves no owner behind, its
// rate change is refused while rings exist and otherwise reaches every client, and its STOP below
// D0 is refused at once instead of taking the owner's place.
TEST_F(AsioRing, SecondClientLeavesTheOwnerAlone) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    ASSERT_EQ(m_Host->SetNotify(), STATUS_SUCCESS);
    AsioHost other;
    ASSERT_EQ(other.Open(), STATUS_SUCCESS);
    EXPECT_EQ(other.CreateBuffers(256, {{2, 0}}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Host->Query(IOCTL_ASIO_GET_STATE, 4), Words({0}));
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);

    EXPECT_EQ(other.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 44100), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Adapter()->AsioSampleRate(), 48000u);
    EXPECT_EQ(other.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);  // no change
    EXPECT_FALSE(m_Host->Notified());

    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(other.Stop(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Adapter()->AsioStopHeld());
    std::atomic<NTSTATUS> stopped{STATUS_PENDING};
    PKTHREAD stopper = sim::machine::StartThread("asio stop", [&] { stopped = m_Host->Stop(); });
    EXPECT_TRUE(sim::machine::RunUntil([&] { return Adapter()->AsioStopHeld(); }, 100 * kMs));
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD0), STATUS_SUCCESS);
    KeWaitForSingleObject(stopper, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(stopper);
    EXPECT_EQ(stopped.load(), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter()->AsioStreaming());

    // Without rings the rate changes, every client hears of it, and every client's sizes and
    // latencies follow the one rate.
    ASSERT_EQ(m_Host->Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
    EXPECT_EQ(other.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 44100), STATUS_SUCCESS);
    EXPECT_TRUE(m_Host->Notified());
    EXPECT_EQ(m_Host->Query(IOCTL_ASIO_GET_BUFFER_SIZE, 16), Words({88, 2200, 440, 1}));
    EXPECT_EQ(m_Host->Query(IOCTL_ASIO_GET_LATENCIES, 8), Words({440, 880}));
}

// The bit depth is one the device offers: a known type it does not offer is refused, and a
// default type it does not offer gives way to the first it does.
TEST_F(AsioRing, SampleTypesStayWithinWhatTheDeviceOffers) {
    ASSERT_EQ(Plug("uac1-asio-vr7"), STATUS_SUCCESS);  // its identifiers default to 32-bit samples
    AsioHost host;
    ASSERT_EQ(host.Open(), STATUS_SUCCESS);
    EXPECT_EQ(host.Query(IOCTL_ASIO_GET_BIT_DEPTHS, 16),
              Words({AsioSampleTypeInt16Lsb, 2, AsioSampleTypeInt16Lsb, AsioSampleTypeInt24Lsb}));
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_BIT_DEPTH, AsioSampleTypeInt32Lsb24), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_BIT_DEPTH, AsioSampleTypeInt32Lsb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Adapter()->AsioSelectedSampleType(), AsioSampleTypeInt16Lsb);
    EXPECT_EQ(host.CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
    EXPECT_EQ(host.Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
    EXPECT_EQ(host.Set(IOCTL_ASIO_SET_BIT_DEPTH, AsioSampleTypeInt24Lsb), STATUS_SUCCESS);
    EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

// The device name comes from the product string, cut at its trailing blanks and bounded by the
// bytes that arrived; a string too short to hold a character, or none, gives the fixed name.
struct NameCase {
    const char* device;
    const char* name;
};

class AsioDeviceName : public AsioRing, public testing::WithParamInterface<NameCase> {};

TEST_P(AsioDeviceName, FollowsTheProductString) {
    ASSERT_EQ(Plug(GetParam().device), STATUS_SUCCESS);
    AsioHost host;
    ASSERT_EQ(host.Open(), STATUS_SUCCESS);
    const std::string expected = GetParam().name;
    std::vector<UCHAR> none;
    ULONG_PTR info = 0;
    EXPECT_EQ(host.Control(IOCTL_ASIO_GET_DEVICE_NAME, {}, &none, &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, expected.size() + 1);
    std::vector<UCHAR> name(64, 0xCC);
    ASSERT_EQ(host.Control(IOCTL_ASIO_GET_DEVICE_NAME, {}, &name, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, expected.size() + 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data())), expected);
    EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Catalog, AsioDeviceName,
                         testing::Values(NameCase{"uac1-asio-blanks", "V-260D ASIO"},
                                         NameCase{"uac1-asio-lying", "V-260D ASIO"},
                                         NameCase{"uac1-asio-odd", "V-260D ASI"},
                                         NameCase{"uac1-asio-short", "K-Lorix USB ASIO Device"},
                                         NameCase{"uac1-asio-noproduct", "K-Lorix USB ASIO Device"}),
                         [](const testing::TestParamInfo<NameCase>& info) {
                             return std::string(info.param.device).substr(sizeof("uac1-asio-") - 1);
                         });

// DISPOSE while streaming stops the streams first (started clients could not be unregistered),
// and the endpoint goes back to zero bandwidth; the owner's process dying does the same.
TEST_F(AsioRing, DisposeAndDeathWhileStreamingLeaveNothing) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {1, 0}}), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(30 * kMs);
    EXPECT_EQ(m_Host->Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter()->AsioStreaming());
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    for (ULONG i = 0; i < Adapter()->AsioRingCount(); ++i) EXPECT_EQ(Adapter()->AsioRing(i)->Ring, nullptr);

    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(30 * kMs);
    m_Host.reset();  // the process dies with its handles open
    EXPECT_FALSE(Adapter()->AsioStreaming());
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
}

// The owner's process ends while its file object lives on (a handle duplicated into another
// process): the rings' views go with the process, nothing locked is left in it, and the close
// that comes later frees the rings.
TEST_F(AsioRing, OwnerProcessEndsWhileItsFileLivesOn) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {1, 0}}), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(20 * kMs);
    PEPROCESS keeper = sim::io::CreateProcess("keeper", false);
    HANDLE file = m_Host->DuplicateFile(keeper);
    ASSERT_NE(file, nullptr);
    m_Host->EndProcess();
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    sim::machine::RunFor(20 * kMs);
    EXPECT_NE(Adapter()->AsioRing(0)->Ring, nullptr);
    {
        sim::io::ProcessScope scope(keeper);
        EXPECT_EQ(sim::io::CloseUserHandle(file), STATUS_SUCCESS);
    }
    sim::io::DestroyProcess(keeper);
    EXPECT_FALSE(Adapter()->AsioStreaming());
    for (ULONG i = 0; i < Adapter()->AsioRingCount(); ++i) EXPECT_EQ(Adapter()->AsioRing(i)->Ring, nullptr);
}

// Every allocation CREATE_BUFFERS makes, and the user mapping, can fail: the request fails and
// leaves no ring, mapping, MDL or stream client; the next try succeeds.
TEST_F(AsioRing, EveryFailedAllocationOfCreateBuffersIsUndone) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
    // Rings and the streams' client records; the port check's own requests are the transport's.
    for (ULONG tag : {UsbAudioAdapterUsbTag, UsbStreamTag}) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(n);
            sim::pool::FailNthAllocation(n, tag);
            const NTSTATUS status = m_Host->CreateBuffers(256, {{0, 0}, {1, 1}});
            const bool failed = !sim::pool::FaultArmed();  // the fault fired
            sim::pool::DisarmFaults();
            if (NT_SUCCESS(status)) {
                ASSERT_EQ(m_Host->Control(IOCTL_ASIO_DISPOSE_BUFFERS, {}), STATUS_SUCCESS);
                if (!failed) break;
                continue;
            }
            EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
            for (ULONG i = 0; i < Adapter()->AsioRingCount(); ++i) EXPECT_EQ(Adapter()->AsioRing(i)->Ring, nullptr);
            ASSERT_LT(n, 50u);
        }
    }
    // The second ring's view fails: a status, not an exception, and the first ring goes again.
    sim::mm::FailNthUserMapping(2);
    EXPECT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {1, 1}}), STATUS_NO_MEMORY);
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {1, 1}}), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(20 * kMs);
    EXPECT_EQ(m_Host->Stop(), STATUS_SUCCESS);
}

// A 32-bit host gets addresses below 4 GB in 4-byte entries and streams the same way.
TEST_F(AsioRing, ThirtyTwoBitHostStreams) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    {
        AsioHost setter;
        ASSERT_EQ(setter.Open(), STATUS_SUCCESS);
        ASSERT_EQ(setter.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    }
    m_Host = std::make_unique<AsioHost>(true);
    ASSERT_EQ(m_Host->Open(), STATUS_SUCCESS);
    ASSERT_EQ(m_Host->CreateBuffers(96, {{0, 0}, {0, 1}}), STATUS_SUCCESS);
    m_Host->StartWorker(2);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(100 * kMs);
    ASSERT_EQ(m_Host->Stop(), STATUS_SUCCESS);
    m_Host->StopWorker();
    const sim::usb::RampReport report = sim::usb::CheckRamp(*Audio().Render(kRenderInterface), sim::usb::RampSpec{});
    EXPECT_TRUE(report.Ok()) << report.text;
}

}  // namespace

namespace {

// Unplugged while streaming: the removal takes the rings and stream clients down with the device;
// the host's handle closes afterwards with nothing left to free.
TEST_F(AsioRing, UnplugWhileStreamingLeavesNothing) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_Host = OpenHost(44100, AsioSampleTypeInt24Lsb);
    ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}, {1, 0}}), STATUS_SUCCESS);
    m_Host->StartWorker(3);
    ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
    sim::machine::RunFor(40 * kMs);
    sim::usb::UnplugDevice(m_Port);
    sim::machine::RunFor(10 * kMs);
    Unplug();
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    m_Host.reset();
}

}  // namespace

namespace {

// The device models that want it hear vendor request 7 with 1 at the start and 0 at the stop; a
// model that STALLs it streams all the same.
TEST_F(AsioRing, VendorRequestAtStartAndStop) {
    for (const char* model : {"uac1-asio-vr7", "uac1-asio-vr7-stall"}) {
        SCOPED_TRACE(model);
        ASSERT_EQ(Plug(model), STATUS_SUCCESS);
        m_Host = OpenHost(48000, AsioSampleTypeInt16Lsb);
        ASSERT_EQ(m_Host->CreateBuffers(256, {{0, 0}}), STATUS_SUCCESS);
        sim::usb::DeviceOf(m_Port).ClearLog();
        ASSERT_EQ(m_Host->Start(), STATUS_SUCCESS);
        sim::machine::RunFor(20 * kMs);
        EXPECT_TRUE(Adapter()->AsioStreaming());
        ASSERT_EQ(m_Host->Stop(), STATUS_SUCCESS);
        std::vector<uint16_t> values;
        for (const sim::usb::LogEntry& entry : sim::usb::DeviceOf(m_Port).Log()) {
            if (entry.isRequest && entry.setup.bmRequestType == 0x40 && entry.setup.bRequest == 7) {
                values.push_back(entry.setup.wValue);
            }
        }
        EXPECT_EQ(values, (std::vector<uint16_t>{1, 0}));
        m_Host.reset();
        Unplug();
    }
}

}  // namespace
