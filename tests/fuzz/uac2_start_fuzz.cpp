// libFuzzer target: the UAC 2.0 start on arbitrary AudioControl and AudioStreaming descriptors
// served by the simulated audio function: the adapter's Init (the HAL's walks, the units' requests),
// the HAL's Start (the status thread on whatever interrupt and bulk endpoints the descriptors
// give), one interrupt message, Stop, and the adapter's release; then removal and unload with the
// verifier's checks (pool, IRPs, threads, timers, callbacks).
//
// Input: a header of nine bytes, then one configuration descriptor (its wTotalLength is set to the
// bytes that follow). The device descriptor is the catalog "uac2" device's.
//   byte 0: bit 0 full speed instead of high speed; bit 4 requests complete inside IofCallDriver
//   bytes 1-2: n, little-endian: the n-th pool allocation of Init fails; 0: none
//   bytes 3-8: the interrupt message the device sends once the status thread runs
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/AdapterExtension.h"

#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/portcls.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr uint8_t kFullSpeedBit = 0x01;
constexpr uint8_t kSynchronousBit = 0x10;
constexpr size_t kHeaderBytes = 9;
constexpr size_t kMessageBytes = 6;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "uac2 start: %s\n", what);
    std::abort();
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
    if (size < kHeaderBytes + sizeof(USB_CONFIGURATION_DESCRIPTOR) || size > 4096) return 0;
    const uint8_t flags = data[0];
    const uint16_t failingAllocation = uint16_t(data[1] | data[2] << 8);
    const std::vector<uint8_t> message(data + 3, data + 3 + kMessageBytes);
    std::vector<uint8_t> bytes = DeviceDescriptor();
    bytes.insert(bytes.end(), data + kHeaderBytes, data + size);
    const size_t total = size - kHeaderBytes;
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 2] = uint8_t(total);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 3] = uint8_t(total >> 8);
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(
        bytes, "uac2-fuzz",
        sim::usb::LoadOptions{.speed = (flags & kFullSpeedBit) != 0 ? sim::usb::Speed::Full : sim::usb::Speed::High,
                              .readSiblingStrings = false,
                              .allowMalformedDescriptors = true});
    if (!loaded.device) return 0;

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
