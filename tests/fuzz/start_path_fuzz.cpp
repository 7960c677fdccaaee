// libFuzzer target: the driver's whole start path on a device built from arbitrary descriptors, as
// `kvsim info` runs it: load the driver, plug the device, add, start, unplug with surprise removal
// and removal (or removal alone after a failed start), remove the port and unload. The unload is the
// verifier's: pool, IRPs, threads, timers and callbacks left behind stop the run like a bug check.
//
// Input: a header of three bytes, then the Linux sysfs `descriptors` layout (the 18-byte device
// descriptor, then the configuration; `kvsim info --descriptors` reads the same bytes). The harness
// sets the device descriptor's bLength and type and the configuration's wTotalLength to the bytes
// that follow, so mutations reach the driver instead of the loader's refusals.
//   byte 0: the low four bits choose the catalog model whose strings and vendor answers the device
//           gives (the driver identifies models by them); bit 4 makes the bus complete requests
//           inside IofCallDriver instead of later on the DPC thread; bit 5 stops a started device
//           and starts it again (a resource rebalance) before it leaves
//   bytes 1-2: n, little-endian: the n-th pool allocation of the (first) start fails; 0: none
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
#include <vector>

KV_EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr uint8_t kSynchronousBit = 0x10;
constexpr uint8_t kRestartBit = 0x20;
constexpr size_t kHeaderBytes = 3;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "start path: %s\n", what);
    std::abort();
}

// The catalog models, one device each for the whole run: only their strings and vendor answers are
// used (they are never plugged), and their request logs keep one entry so a long run does not grow.
std::vector<std::unique_ptr<sim::usb::Device>>& IdentityModels() {
    static std::vector<std::unique_ptr<sim::usb::Device>> models = [] {
        std::vector<std::unique_ptr<sim::usb::Device>> all;
        for (const std::string& name : sim::usb::CatalogNames()) {
            all.push_back(sim::usb::CreateCatalogDevice(name));
            all.back()->SetLogLimit(1);
            // Configured, so the class requests it answers for the fuzzed device reach its handlers.
            all.back()->Control(sim::usb::MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
                                                    USB_REQUEST_SET_CONFIGURATION, 1, 0, 0),
                                {});
        }
        return all;
    }();
    return models;
}

// String descriptors, vendor requests and a model's HID requests go to the chosen catalog model, which answers them as it
// would when plugged; everything else stays with the device built from the input.
sim::usb::HandlerTable IdentityOf(sim::usb::Device& model) {
    return sim::usb::HandlerTable{
        .name = "identity of " + model.Name(),
        .control = [&model](sim::usb::Device&, const sim::usb::SetupPacket& s,
                            std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            const bool stringRequest = s.Type() == BMREQUEST_STANDARD && s.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                                       s.Recipient() == BMREQUEST_TO_DEVICE && (s.wValue >> 8) == USB_STRING_DESCRIPTOR_TYPE;
            // A model with a HID register interface (R7T5) answers its class requests to interface
            // 3 too, so a start gets past the register restore into the walks.
            const bool hidRequest = model.Name() == "uac1-r7t5" && s.Type() == BMREQUEST_CLASS &&
                                    s.Recipient() == BMREQUEST_TO_INTERFACE && s.wIndex == 3;
            if (!stringRequest && !hidRequest && s.Type() != BMREQUEST_VENDOR) return std::nullopt;
            return model.Control(s, data);
        },
    };
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
    const uint8_t selector = data[0];
    const uint16_t failingAllocation = uint16_t(data[1] | data[2] << 8);
    std::vector<uint8_t> bytes(data + kHeaderBytes, data + size);
    bytes[0] = sizeof(USB_DEVICE_DESCRIPTOR);
    bytes[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    const size_t total = bytes.size() - sizeof(USB_DEVICE_DESCRIPTOR);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 2] = uint8_t(total);
    bytes[sizeof(USB_DEVICE_DESCRIPTOR) + 3] = uint8_t(total >> 8);
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorBytes(
        bytes, "fuzz",
        sim::usb::LoadOptions{.readSiblingStrings = false, .allowMalformedDescriptors = true});
    if (!loaded.device) return 0;  // the loader refuses what no device could send
    std::vector<std::unique_ptr<sim::usb::Device>>& models = IdentityModels();
    loaded.device->PushHandlers(IdentityOf(*models[(selector & 0x0F) % models.size()]));

    sim::debuglog::Clear();
    const size_t irps = sim::io::LiveIrpCount();
    sim::pnp::Driver* driver = nullptr;
    if (sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &driver) != STATUS_SUCCESS) Fail("DriverEntry failed");

    const sim::io::Completion completion =
        (selector & kSynchronousBit) != 0 ? sim::io::Completion::Synchronous : sim::io::Completion::Asynchronous;
    sim::usb::Port* port = sim::usb::PlugDevice(std::move(loaded.device), {.completion = completion});
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    if (NT_SUCCESS(sim::pnp::AddDevice(driver, node))) {
        if (failingAllocation != 0) sim::pool::FailNthAllocation(failingAllocation);
        bool started = NT_SUCCESS(sim::pnp::StartDevice(node));
        sim::pool::DisarmFaults();
        if (started && (selector & kRestartBit) != 0 && NT_SUCCESS(sim::pnp::StopDevice(node))) {
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
