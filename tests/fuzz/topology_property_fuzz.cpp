// libFuzzer target: arbitrary property requests to the topology filter of a started catalog device,
// sent by the audio stack client with guarded buffers: a handler that reads or writes past the
// request or the value stops the run (the guard page, or the pattern check after the request), and
// every input must leave the pool as it found it.
//
// Input: one byte choosing the catalog device (index into the catalog, modulo its size; 0 is
// uac1), so the device-specific, vendor and terminal-type handlers of every model are reached; then
// a sequence of 8-byte request headers, each followed by its instance words and, for sets, its
// value bytes (missing bytes read as zero):
//   byte 0: the property set (index into kSets, modulo its size)
//   byte 1: the property id
//   byte 2: the verb: bit 0 GET, bit 1 SET, bit 2 BASICSUPPORT; bit 3 sends the request without
//           KSPROPERTY_TYPE_TOPOLOGY (a filter or pin request, whose instance follows the KSPROPERTY)
//   byte 3: the node (or the first instance word of a filter request): values up to the node count + 2
//   byte 4: the instance words after the node (0 to 7)
//   byte 5: the value size in bytes (0 to 64)
//   bytes 6-7: unused
// Each device is started the first time an input names it and stays for the whole run; the values
// it stores carry over between inputs. A device the driver does not start takes no requests.
#include "driver/front/TopologyProperties.h"

#include <sim/audio_stack.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/ksmedia.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

KV_EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr size_t kHeaderBytes = 8;
constexpr size_t kMaxValueBytes = 64;
constexpr size_t kMaxRequests = 64;

const GUID* const kSets[] = {
    &KSPROPSETID_Audio,     &PrivateDriverPropSet, &EndpointRecordPropSet,  &KSPROPSETID_Jack,
    &NodeIdentityPropSet,   &TerminalTypePropSet,  &VendorParameterPropSet, &KSPROPSETID_Topology,
    &KSPROPSETID_Pin,       &KSEVENTSETID_AudioControlChange,
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "topology property: %s\n", what);
    std::abort();
}

sim::pnp::Driver* TheDriver() {
    static sim::pnp::Driver* driver = [] {
        sim::pnp::Driver* loaded = nullptr;
        if (sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &loaded) != STATUS_SUCCESS) Fail("DriverEntry failed");
        return loaded;
    }();
    return driver;
}

// One started device and its open topology filter, for the whole run.
struct Machine {
    std::unique_ptr<sim::hosts::KsFilterClient> filter;
    ULONG nodes = 0;

    explicit Machine(const std::string& name) {
        std::vector<std::u16string> before;
        for (const sim::hosts::FilterInterface& f : sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY)) {
            before.push_back(f.symbolicLink);
        }
        sim::usb::Port* port = sim::usb::PlugDevice(sim::usb::CreateCatalogDevice(name));
        sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
        if (!NT_SUCCESS(sim::pnp::AddDevice(TheDriver(), node)) || !NT_SUCCESS(sim::pnp::StartDevice(node))) return;
        sim::machine::RunFor(200 * sim::machine::kMillisecond);
        // This device's filter: the one that was not there before it.
        for (const sim::hosts::FilterInterface& f : sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY)) {
            bool known = false;
            for (const std::u16string& link : before) known = known || link == f.symbolicLink;
            if (known) continue;
            if (!NT_SUCCESS(sim::hosts::KsFilterClient::Open(f.symbolicLink, &filter))) Fail("the topology filter does not open");
            break;
        }
        if (!filter) return;
        std::vector<GUID> types;
        if (!NT_SUCCESS(filter->Nodes(&types))) Fail("no node list");
        nodes = static_cast<ULONG>(types.size());
    }
};

// The device an input names, started on first use; null when it does not start.
Machine* MachineFor(uint8_t choice) {
    static const std::vector<std::string> names = sim::usb::CatalogNames();
    static std::map<size_t, std::unique_ptr<Machine>> machines;
    const size_t index = choice % names.size();
    std::unique_ptr<Machine>& machine = machines[index];
    if (!machine) machine = std::make_unique<Machine>(names[index]);
    return machine->filter ? machine.get() : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Machine* started = MachineFor(data[0]);
    if (started == nullptr) return 0;
    Machine& machine = *started;
    const sim::pool::Snapshot pool = sim::pool::TakeSnapshot();
    size_t at = 1;
    for (size_t requests = 0; at + kHeaderBytes <= size && requests < kMaxRequests; ++requests) {
        const uint8_t* header = data + at;
        at += kHeaderBytes;
        const GUID& set = *kSets[header[0] % (sizeof(kSets) / sizeof(kSets[0]))];
        const ULONG id = header[1];
        ULONG flags = 0;
        if ((header[2] & 0x1) != 0) flags |= KSPROPERTY_TYPE_GET;
        if ((header[2] & 0x2) != 0) flags |= KSPROPERTY_TYPE_SET;
        if ((header[2] & 0x4) != 0) flags |= KSPROPERTY_TYPE_BASICSUPPORT;
        const bool topology = (header[2] & 0x8) == 0;
        if (topology) flags |= KSPROPERTY_TYPE_TOPOLOGY;
        const ULONG node = header[3] % (machine.nodes + 3);
        const size_t words = header[4] % 8;
        const ULONG valueSize = header[5] % (kMaxValueBytes + 1);

        // The request: KSPROPERTY, the node word (node requests and filter requests alike: a
        // filter's first instance word is a pin id), a reserved word for node requests, then the
        // instance words of the input.
        std::vector<UCHAR> request(sizeof(KSPROPERTY));
        KSPROPERTY property{};
        property.Set = set;
        property.Id = id;
        property.Flags = flags;
        std::memcpy(request.data(), &property, sizeof(property));
        std::vector<ULONG> instance = {node};
        if (topology) instance.push_back(0);
        for (size_t w = 0; w < words; ++w) {
            ULONG word = 0;
            for (size_t b = 0; b < sizeof(word) && at < size; ++b) word |= static_cast<ULONG>(data[at++]) << (8 * b);
            instance.push_back(word);
        }
        const size_t head = request.size();
        request.resize(head + instance.size() * sizeof(ULONG));
        std::memcpy(request.data() + head, instance.data(), instance.size() * sizeof(ULONG));

        std::vector<UCHAR> value(valueSize, 0);
        if ((flags & KSPROPERTY_TYPE_SET) != 0) {
            for (ULONG b = 0; b < valueSize && at < size; ++b) value[b] = data[at++];
        }
        ULONG_PTR returned = 0;
        const NTSTATUS status = machine.filter->Property(request.data(), static_cast<ULONG>(request.size()),
                                                         value.empty() ? nullptr : value.data(), valueSize, &returned);
        // Success never claims more than the caller gave.
        if (NT_SUCCESS(status) && valueSize != 0 && returned > valueSize) Fail("an answer longer than its buffer");
    }
    const sim::pool::LeakReport leaks = sim::pool::LeaksSince(pool);
    if (!leaks.Empty()) {
        std::fprintf(stderr, "%s\n", leaks.ToString().c_str());
        Fail("pool blocks left by the requests");
    }
    return 0;
}
