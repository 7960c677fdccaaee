// libFuzzer target: the driver's whole start path on a device built from arbitrary descriptors, as
// `kvsim info` runs it: load the driver, plug the device, add, start, unplug with surprise removal
// and removal (or removal alone after a failed start), remove the port and unload. The unload is the
// verifier's: pool, IRPs, threads, timers and callbacks left behind stop the run like a bug check.
//
// Input: a header of four bytes, then the Linux sysfs `descriptors` layout (the 18-byte device
// descriptor, then the configuration; `kvsim info --descriptors` reads the same bytes). The harness
// sets the device descriptor's bLength and type and the configuration's wTotalLength to the bytes
// that follow, so mutations reach the driver instead of the loader's refusals.
//   byte 0: the model row (start_path_models.h, modulo the rows): the catalog model whose strings,
//           vendor answers and HID register file the device gives, and the vendor and product ids
//           its device descriptor carries, so a model HAL takes its device rules and rewrites the
//           configuration before its walks as it would on the real device
//   byte 1: bit 0 makes the bus complete requests inside IofCallDriver instead of later on the DPC
//           thread; bit 1 stops a started device and starts it again (a resource rebalance) before
//           it leaves
//   bytes 2-3: n, little-endian: the n-th pool allocation of the (first) start fails; 0: none
#include "start_path_models.h"

#include <sim/debug_log.h>
#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/kernel.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

KV_EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using start_path::kHeaderBytes;
using start_path::kModelCount;
using start_path::kModels;
using start_path::ModelRow;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "start path: %s\n", what);
    std::abort();
}

// The catalog devices of the model rows, one each for the whole run (rows of the same device share
// it): only their strings, vendor answers and HID requests are used (they are never plugged), and
// their request logs keep one entry so a long run does not grow.
sim::usb::Device& IdentityModel(const ModelRow& row) {
    static std::vector<std::pair<std::string, std::unique_ptr<sim::usb::Device>>> devices;
    for (const auto& [name, device] : devices) {
        if (name == row.device) return *device;
    }
    std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(row.device);
    if (!device) Fail("a model row names no catalog device");
    device->SetLogLimit(1);
    // Configured, so the class requests it answers for the fuzzed device reach its handlers.
    device->Control(sim::usb::MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION,
                                        1, 0, 0),
                    {});
    devices.emplace_back(row.device, std::move(device));
    return *devices.back().second;
}

// String descriptors, vendor requests and a model's HID requests go to the row's catalog model,
// which answers them as it would when plugged; everything else stays with the device built from the
// input.
sim::usb::HandlerTable IdentityOf(const ModelRow& row) {
    sim::usb::Device& model = IdentityModel(row);
    return sim::usb::HandlerTable{
        .name = "identity of " + model.Name(),
        .control = [&model, hid = row.hidRegisters](sim::usb::Device&, const sim::usb::SetupPacket& s,
                                                    std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            const bool stringRequest = s.Type() == BMREQUEST_STANDARD && s.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                                       s.Recipient() == BMREQUEST_TO_DEVICE && (s.wValue >> 8) == USB_STRING_DESCRIPTOR_TYPE;
            // A model with a HID register interface (R7T5) answers its class requests to interface
            // 3 too, so a start gets past the register restore into the walks.
            const bool hidRequest = hid && s.Type() == BMREQUEST_CLASS && s.Recipient() == BMREQUEST_TO_INTERFACE &&
                                    s.wIndex == 3;
            if (!stringRequest && !hidRequest && s.Type() != BMREQUEST_VENDOR) return std::nullopt;
            return model.Control(s, data);
        },
    };
}

// The device descriptor's ids (idVendor at 8, idProduct at 10, little-endian) as the row serves
// them.
void ServeIds(const ModelRow& row, std::span<uint8_t> device) {
    if (row.inputIds) return;
    uint16_t vendor = row.idVendor;
    uint16_t product = row.idProduct;
    if (vendor == 0 && product == 0) {
        const std::span<const uint8_t> own = IdentityModel(row).DeviceDescriptorBytes();
        vendor = uint16_t(own[8] | own[9] << 8);
        product = uint16_t(own[10] | own[11] << 8);
    }
    device[8] = uint8_t(vendor);
    device[9] = uint8_t(vendor >> 8);
    device[10] = uint8_t(product);
    device[11] = uint8_t(product >> 8);
}

// The registry keys a run leaves (the device's Enum and driver keys) go, so each input starts from
// the same machine and its coverage does not depend on the inputs before it.
void ForgetDevice(sim::pnp::DeviceNode* node) {
    sim::registry::DeleteTree(sim::pnp::DriverKeyPath(node));
    sim::registry::DeleteTree(sim::pnp::EnumKeyPath(node));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderBytes + sizeof(USB_DEVICE_DESCRIPTOR) + sizeof(USB_CONFIGURATION_DESCRIPTOR) || size > 4096) {
        return 0;
    }
    const ModelRow& row = kModels[data[0] % kModelCount];
    const uint8_t flags = data[1];
    const uint16_t failingAllocation = uint16_t(data[2] | data[3] << 8);
    std::vector<uint8_t> bytes(data + kHeaderBytes, data + size);
    bytes[0] = sizeof(USB_DEVICE_DESCRIPTOR);
    bytes[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    ServeIds(row, std::span(bytes).first(sizeof(USB_DEVICE_DESCRIPTOR)));
    const size_t total = bytes.size() - sizeof(USB_DEVICE_DESCRIPTOR);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 2] = uint8_t(total);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 3] = uint8_t(total >> 8);
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(
        bytes, "fuzz",
        sim::usb::LoadOptions{.readSiblingStrings = false, .allowMalformedDescriptors = true});
    if (!loaded.device) return 0;  // the loader refuses what no device could send
    loaded.device->PushHandlers(IdentityOf(row));

    sim::debuglog::Clear();
    const size_t irps = sim::io::LiveIrpCount();
    sim::pnp::Driver* driver = nullptr;
    if (sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &driver) != STATUS_SUCCESS) Fail("DriverEntry failed");

    const sim::io::Completion completion =
        (flags & start_path::kSynchronousBit) != 0 ? sim::io::Completion::Synchronous : sim::io::Completion::Asynchronous;
    sim::usb::Port* port = sim::usb::PlugDevice(std::move(loaded.device), {.completion = completion});
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    if (NT_SUCCESS(sim::pnp::AddDevice(driver, node))) {
        if (failingAllocation != 0) sim::pool::FailNthAllocation(failingAllocation);
        bool started = NT_SUCCESS(sim::pnp::StartDevice(node));
        sim::pool::DisarmFaults();
        if (started && (flags & start_path::kRestartBit) != 0 && NT_SUCCESS(sim::pnp::StopDevice(node))) {
            started = NT_SUCCESS(sim::pnp::StartDevice(node));
        }
        if (started) {
            // A started device leaves as an unplugged one does: surprise removal, then removal.
            sim::usb::UnplugDevice(port);
            if (sim::pnp::SurpriseRemoveDevice(node) != STATUS_SUCCESS) Fail("surprise removal failed");
        }
        if (sim::pnp::RemoveDevice(node) != STATUS_SUCCESS) Fail("removal failed");
    }
    if (sim::usb::HeldRequests(port) != 0) Fail("requests left with the bus after removal");
    if (sim::usb::BusInterfaceReferences(port) != 0) Fail("bus interface still referenced after removal");
    ForgetDevice(node);
    sim::usb::RemovePort(port);
    sim::pnp::UnloadDriver(driver);  // bug checks on anything left behind
    if (sim::io::LiveIrpCount() != irps) Fail("IRPs left after unload");
    return 0;
}
