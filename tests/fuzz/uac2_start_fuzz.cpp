// libFuzzer target: the UAC 2.0 start on arbitrary AudioControl and AudioStreaming descriptors
// served by the simulated audio function, with class requests answered from the input: the
// adapter's Init (the HAL's walks, the units' requests: RANGE blocks, jack lists, the MEM block),
// the HAL's Start (the status thread on whatever interrupt and bulk endpoints the descriptors
// give), one interrupt message, then every stream opened and run for a few milliseconds (packet
// sizing, alternate-setting validity, feedback parsing of values from the input), Stop, and the
// adapter's release; then removal and unload with the verifier's checks (pool, IRPs, threads,
// timers, callbacks).
//
// Input: a header of twelve bytes, the answers, then one configuration descriptor (its
// wTotalLength is set to the bytes that follow). The device descriptor is the catalog "uac2"
// device's.
//   byte 0: bit 0 full speed instead of high speed; bit 1 run the streams; bit 4 requests complete
//           inside IofCallDriver
//   bytes 1-2: n, little-endian: the n-th pool allocation of Init fails; 0: none
//   bytes 3-8: the interrupt message the device sends once the status thread runs
//   byte 9: which format each stream opens in (modulo its format count)
//   bytes 10-11: A, little-endian: the bytes of answers that follow
//   answers: records {bRequest, control selector (wValue high byte), entity (wIndex high byte), n,
//            n bytes}: a class IN request that matches is answered with the bytes (n 0: STALL).
//            bRequest 0xFE: the device's feedback value, n bytes little-endian (at most four).
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/AdapterExtension.h"

#include "driver/engine/stream/UsbAudioStream.h"

#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/portcls.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr uint8_t kFullSpeedBit = 0x01;
constexpr uint8_t kRunStreamsBit = 0x02;
constexpr uint8_t kSynchronousBit = 0x10;
constexpr size_t kHeaderBytes = 12;
constexpr size_t kMessageBytes = 6;
constexpr uint8_t kFeedbackRecord = 0xFE;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "uac2 start: %s\n", what);
    std::abort();
}

struct AnswerRecord {
    uint8_t request, selector, entity;
    std::vector<uint8_t> bytes;
};

std::vector<AnswerRecord> ParseAnswers(const uint8_t* data, size_t size) {
    std::vector<AnswerRecord> records;
    for (size_t at = 0; at + 4 <= size;) {
        const size_t n = data[at + 3];
        if (at + 4 + n > size) break;
        records.push_back({data[at], data[at + 1], data[at + 2], std::vector<uint8_t>(data + at + 4, data + at + 4 + n)});
        at += 4 + n;
    }
    return records;
}

// Every registered client writes silence and takes what it is handed.
void IgnoreNotice(PVOID, PVOID, PVOID) {}

// Each stream of the adapter in one of its formats for a few milliseconds.
void RunStreams(PADAPTERCOMMON Common, uint8_t Choice) {
    const ULONG engines = Common->GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(Common->GetStreamEngine(i, &engine)) || engine == nullptr) continue;
        const ULONG formats = engine->GetFormatCount();
        WAVEFORMATEXTENSIBLE format{};
        if (formats == 0 || !NT_SUCCESS(engine->GetFormat(Choice % formats, &format))) continue;
        StreamClients* clients = nullptr;
        if (!NT_SUCCESS(engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&clients)))) continue;
        PVOID id = nullptr;
        if (NT_SUCCESS(clients->RegisterClient(static_cast<ULONG>(ClientKind::WaveStream), &format.Format, 10, 4,
                                               IgnoreNotice, nullptr, &id))) {
            ULONG ms = 0;
            ULONG frame = 0;
            if (NT_SUCCESS(clients->SetClientFormat(id, &ms, &frame)) &&
                NT_SUCCESS(clients->StartClient(id, frame + 2, &ms, nullptr))) {
                sim::machine::RunFor(30 * sim::machine::kMillisecond);
            }
            clients->StopClient(id, nullptr);
            clients->CloseClient(id);
            if (!NT_SUCCESS(clients->UnregisterClient(id))) Fail("a client could not leave its stream");
        }
        clients->Release();
    }
}


NTSTATUS StartNothing(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddAdapterDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    return PcAddAdapterDevice(Driver, Pdo, StartNothing, 1, AdapterDeviceExtensionSize);
}
NTSTATUS AdapterDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    return PcInitializeAdapterDriver(Driver, RegistryPath, AddAdapterDevice);
}

const std::vector<uint8_t>& DeviceDescriptor() {
    static const std::vector<uint8_t> bytes = [] {
        auto device = sim::usb::CreateCatalogDevice("uac2");
        return std::vector<uint8_t>(device->DeviceDescriptorBytes().begin(), device->DeviceDescriptorBytes().end());
    }();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderBytes || size > 4096) return 0;
    const uint8_t flags = data[0];
    const uint16_t failingAllocation = uint16_t(data[1] | data[2] << 8);
    const std::vector<uint8_t> message(data + 3, data + 3 + kMessageBytes);
    const uint8_t choice = data[9];
    const size_t answerBytes = size_t(data[10] | data[11] << 8);
    if (size - kHeaderBytes < answerBytes + sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
    const std::vector<AnswerRecord> answers = ParseAnswers(data + kHeaderBytes, answerBytes);
    const uint8_t* configuration = data + kHeaderBytes + answerBytes;
    const size_t total = size - kHeaderBytes - answerBytes;
    std::vector<uint8_t> bytes = DeviceDescriptor();
    bytes.insert(bytes.end(), configuration, configuration + total);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 2] = uint8_t(total);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 3] = uint8_t(total >> 8);
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(
        bytes, "uac2-fuzz",
        sim::usb::LoadOptions{.speed = (flags & kFullSpeedBit) != 0 ? sim::usb::Speed::Full : sim::usb::Speed::High,
                              .readSiblingStrings = false,
                              .allowMalformedDescriptors = true});
    if (!loaded.device) return 0;
    if (sim::usb::AudioFunction* audio = loaded.device->Audio()) {
        for (const AnswerRecord& r : answers) {
            if (r.request != kFeedbackRecord || r.bytes.empty()) continue;
            uint32_t value = 0;
            for (size_t i = 0; i < r.bytes.size() && i < 4; ++i) value |= uint32_t(r.bytes[i]) << (8 * i);
            audio->SetFeedbackOverride(value);
        }
    }
    loaded.device->PushHandlers(
        {.name = "fuzz answers",
         .control = [answers](sim::usb::Device&, const sim::usb::SetupPacket& p,
                              std::span<uint8_t> out) -> std::optional<sim::usb::ControlResult> {
             if (!p.IsIn() || p.Type() != BMREQUEST_CLASS) return std::nullopt;
             for (const AnswerRecord& r : answers) {
                 if (r.request != p.bRequest || r.selector != (p.wValue >> 8) || r.entity != (p.wIndex >> 8)) continue;
                 if (r.bytes.empty()) return sim::usb::ControlResult::Stall();
                 const size_t n = std::min<size_t>({r.bytes.size(), out.size(), p.wLength});
                 std::copy_n(r.bytes.begin(), n, out.begin());
                 return sim::usb::ControlResult::Ok(uint32_t(n));
             }
             return std::nullopt;
         }});

    const size_t irps = sim::io::LiveIrpCount();
    sim::pnp::Driver* driver = nullptr;
    if (sim::pnp::LoadLinkedDriver(AdapterDriverEntry, u"KvUac2Fuzz", &driver) != STATUS_SUCCESS) Fail("no driver");
    const sim::io::Completion completion =
        (flags & kSynchronousBit) != 0 ? sim::io::Completion::Synchronous : sim::io::Completion::Asynchronous;
    sim::usb::Port* port = sim::usb::PlugDevice(std::move(loaded.device), {.completion = completion});
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    PDEVICE_OBJECT pdo = sim::usb::PhysicalDeviceObject(port);
    if (NT_SUCCESS(sim::pnp::AddDevice(driver, node))) {
        PADAPTERCOMMON common = nullptr;
        if (NT_SUCCESS(CreateAdapter(&common))) {
            if (failingAllocation != 0) sim::pool::FailNthAllocation(failingAllocation);
            NTSTATUS status = common->Init(nullptr, IoGetAttachedDevice(pdo), pdo, pdo);
            sim::pool::DisarmFaults();
            if (NT_SUCCESS(status)) status = common->Start();
            if (NT_SUCCESS(status)) {
                if (sim::usb::AudioFunction* audio = sim::usb::DeviceOf(port).Audio()) audio->PostInterrupt(message);
                sim::machine::RunFor(5 * sim::machine::kMillisecond);
                if ((flags & kRunStreamsBit) != 0) RunStreams(common, choice);
            }
            common->Stop();
            if (common->Release() != 0) Fail("adapter still referenced after Stop and release");
        }
        if (sim::pnp::RemoveDevice(node) != STATUS_SUCCESS) Fail("removal failed");
    }
    if (sim::usb::HeldRequests(port) != 0) Fail("requests left with the bus after removal");
    sim::registry::DeleteTree(sim::pnp::DriverKeyPath(node));
    sim::registry::DeleteTree(sim::pnp::EnumKeyPath(node));
    sim::usb::RemovePort(port);
    sim::pnp::UnloadDriver(driver);  // bug checks on anything left behind
    if (sim::io::LiveIrpCount() != irps) Fail("IRPs left after unload");
    return 0;
}
