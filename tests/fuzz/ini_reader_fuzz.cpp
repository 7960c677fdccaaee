// libFuzzer target: arbitrary bytes as the INI file of a port-class device, read through every
// operation of the reader (version, device line, device sections), then as a number token. Each
// input starts from an empty "Settings" key and must leave no pool behind.
#include "driver/engine/base/IniReader.h"

#include <sim/files.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <win/portcls.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

NTSTATUS StartAdapter(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return PcAddAdapterDevice(driver, pdo, StartAdapter, 1, 0);
}
NTSTATUS AdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddAdapter);
}

struct Device {
    PDEVICE_OBJECT fdo = nullptr;
    std::u16string settings;
};

// One device for the whole run (hardware ID USB\VID_1E7D&PID_3750&REV_0100).
const Device& TheDevice() {
    static const Device device = [] {
        Device d;
        sim::pnp::Driver* driver = nullptr;
        if (sim::pnp::LoadLinkedDriver(AdapterDriverEntry, u"KvIniFuzz", &driver) != STATUS_SUCCESS) std::abort();
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_1E7D&PID_3750";
        sim::pnp::DeviceNode* node = sim::pnp::CreateDevice(description);
        if (sim::pnp::AddDevice(driver, node) != STATUS_SUCCESS) std::abort();
        d.fdo = IoGetAttachedDevice(sim::pnp::PhysicalDeviceObject(node));
        d.settings = sim::pnp::DriverKeyPath(node) + u"\\Settings";
        return d;
    }();
    return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    const Device& device = TheDevice();
    sim::registry::DeleteTree(device.settings);
    if (!sim::files::WriteSystemFile("KV-380D.INI", std::string_view(reinterpret_cast<const char*>(data), size))) {
        std::abort();
    }

    const uint64_t before = sim::pool::TotalUsage().bytes;
    IniReader* reader = new (NonPagedPoolNx, IniReaderTag) IniReader(device.fdo);
    if (reader == nullptr || reader->BuildPath() != STATUS_SUCCESS) std::abort();
    reader->ReadVersion();
    if (NT_SUCCESS(reader->OpenDeviceKey())) reader->ApplyDeviceSections();
    delete reader;
    if (sim::pool::TotalUsage().bytes != before) {
        std::fprintf(stderr, "pool left behind by the reader\n");
        std::abort();
    }

    // The same bytes as one token: the number parser reads exactly the length it is given.
    const ULONG length = static_cast<ULONG>(size < 64 ? size : 64);
    auto* token = static_cast<CHAR*>(std::malloc(length ? length : 1));
    if (length != 0) std::memcpy(token, data, length);
    IniReader::ParseNumber(token, length);
    std::free(token);
    return 0;
}
