// One 8-channel 24-bit 48 kHz render stream on a high-speed UAC 1.0 device for 60 simulated
// seconds: the wall time of the whole simulation, and the CPU time the driver's data path takes
// (submissions with their packet sizing, the client's fill notice and the engine's data path, and
// the completions), measured per thread around the stream's own operations.
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/uac1/Uac1Streams.h"

#include <benchmark/benchmark.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/usb_bus.h>
#include <sim/usb_descriptor_builder.h>
#include <win/portcls.h>

#include <atomic>
#include <chrono>
#include <ctime>

namespace {

using namespace sim::usb;

constexpr uint8_t kChannels = 8;
constexpr uint8_t kSubframe = 3;
constexpr uint32_t kRate = 48000;
constexpr int kSeconds = 60;

std::atomic<int64_t> g_DataPathNs{0};
thread_local int t_Depth = 0;

int64_t ThreadCpuNs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Counts the thread CPU time of the outermost stream operation on each thread.
class CpuScope {
public:
    CpuScope() : m_Start(t_Depth++ == 0 ? ThreadCpuNs() : -1) {}
    ~CpuScope() {
        --t_Depth;
        if (m_Start >= 0) g_DataPathNs += ThreadCpuNs() - m_Start;
    }

private:
    int64_t m_Start;
};

class TimedStream : public Uac1PlaybackStream {
public:
    using Uac1PlaybackStream::Uac1PlaybackStream;
    NTSTATUS SubmitTransfer() override {
        CpuScope scope;
        return Uac1PlaybackStream::SubmitTransfer();
    }
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override {
        CpuScope scope;
        return Uac1PlaybackStream::CompleteTransfer(DeviceObject, Irp, Context);
    }
};

std::unique_ptr<Device> EightChannelDevice() {
    ConfigurationBuilder c;
    c.Add(InterfaceFields{.number = 0, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOCONTROL})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = 1, .nrChannels = kChannels, .channelConfig = 0x063F})
        .Add(Uac1OutputTerminal{.terminalId = 3, .terminalType = USB_AUDIO_TERMINAL_SPEAKER, .sourceId = 1})
        .Add(InterfaceFields{.number = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(InterfaceFields{.number = 1, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac1AsGeneral{.terminalLink = 1})
        .Add(Uac1FormatType{.nrChannels = kChannels, .subframeSize = kSubframe, .bitResolution = 24, .rates = {kRate}})
        .Add(EndpointFields{.address = 0x01,
                            .attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE,
                            .maxPacketSize = uint16_t((kRate / 8000 + 1) * kChannels * kSubframe),
                            .interval = 1,
                            .audio1Form = true})
        .Add(Uac1CsEndpoint{.attributes = USB_AUDIO1_EP_ATTR_SAMPLING_FREQ});
    DeviceSetup setup{.name = "uac1-8ch",
                      .speed = Speed::High,
                      .deviceDescriptor = BuildDeviceDescriptor(DeviceDescriptorFields{
                          .bcdUSB = 0x0200, .deviceClass = 0, .deviceSubClass = 0, .deviceProtocol = 0,
                          .idVendor = 0xA5E7, .idProduct = 0x0067}),
                      .configurations = {c.Build()},
                      .strings = {{.index = 0x50, .text = u"R7U2"}}};
    return std::make_unique<Device>(std::move(setup));
}

NTSTATUS StartNothing(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddBenchDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) { return PcAddAdapterDevice(Driver, Pdo, StartNothing, 1, 0); }
NTSTATUS BenchDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    return PcInitializeAdapterDriver(Driver, RegistryPath, AddBenchDevice);
}

// The owner writes a ramp into every buffer; the fill is the client's, not the driver's, but it is
// small beside the data path and belongs to any real client too.
void Fill(PVOID, PVOID Argument1, PVOID) {
    auto* notice = static_cast<StreamNotifyRecord*>(Argument1);
    if (notice->Kind != static_cast<ULONG>(StreamNotifyKind::FillRenderBuffer)) return;
    auto* data = static_cast<UCHAR*>(notice->FirstValue.Data);
    for (ULONG i = 0; i < notice->SecondValue; ++i) data[i] = static_cast<UCHAR>(i);
}

void BM_Render8ch24bit48kFor60s(benchmark::State& state) {
    sim::pnp::Driver* driver = nullptr;
    if (!NT_SUCCESS(sim::pnp::LoadLinkedDriver(BenchDriverEntry, u"KvBenchStream", &driver))) {
        state.SkipWithError("driver");
        return;
    }
    Port* port = PlugDevice(EightChannelDevice());
    PDEVICE_OBJECT pdo = PhysicalDeviceObject(port);
    sim::pnp::AddDevice(driver, NodeOf(port));
    PADAPTERCOMMON common = nullptr;
    CreateAdapter(&common);
    if (!NT_SUCCESS(common->Init(nullptr, IoGetAttachedDevice(pdo), pdo, pdo))) {
        state.SkipWithError("adapter");
        return;
    }

    auto* stream = new (NonPagedPoolNx, 'hcnB') TimedStream(nullptr, 1, 0);
    stream->NonDelegatingAddRef();
    stream->StartWorker(StreamDirectionRender, common);
    WAVEFORMATEXTENSIBLE format{};
    format.Format = {WAVE_FORMAT_EXTENSIBLE, kChannels, kRate, kRate * kChannels * kSubframe, kChannels * kSubframe,
                     8 * kSubframe, 22};
    format.Samples.wValidBitsPerSample = 24;
    format.dwChannelMask = 0x63F;
    format.SubFormat = GUID{1, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
    stream->AddAltSettingFormat(&format, 1);
    stream->AllocateWorkBuffers();

    int64_t wallNs = 0;
    int64_t dataNs = 0;
    for (auto _ : state) {
        PVOID client = nullptr;
        ULONG ms = 0;
        ULONG frame = 0;
        stream->RegisterClient(static_cast<ULONG>(ClientKind::WaveStream), &format.Format, 10, 4, Fill, nullptr, &client);
        stream->SetClientFormat(client, &ms, &frame);
        g_DataPathNs = 0;
        const auto begin = std::chrono::steady_clock::now();
        stream->StartClient(client, frame + 2, &ms, nullptr);
        sim::machine::RunFor(kSeconds * sim::machine::kSecond);
        stream->StopClient(client, nullptr);
        wallNs += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count();
        dataNs += g_DataPathNs.load();
        stream->CloseClient(client);
        stream->UnregisterClient(client);
    }
    state.counters["sim_wall_ms_per_60s"] = benchmark::Counter(double(wallNs) / 1e6 / double(state.iterations()));
    state.counters["data_path_cpu_ms_per_60s"] = benchmark::Counter(double(dataNs) / 1e6 / double(state.iterations()));

    stream->NonDelegatingRelease();
    common->Release();
    sim::pnp::RemoveDevice(NodeOf(port));
    RemovePort(port);
    sim::pnp::UnloadDriver(driver);
}
BENCHMARK(BM_Render8ch24bit48kFor60s)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
