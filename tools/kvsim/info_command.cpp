#include "info_command.h"

#include "driver_settings.h"
#include "hal_choice.h"
#include "model_report.h"
#include "text.h"
#include "wave_pins.h"

#include "driver/front/DriverDispatch.h"

#include <sim/debug_log.h>
#include <sim/io.h>
#include <sim/machine.h>
#include <sim/os.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/portcls.h>
#include <sim/usb_bus.h>
#include <sim/usb_models.h>

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace kvsim {
namespace {

constexpr char16_t kService[] = u"KV-380D";

void Line(std::ostream& out, const std::string& label, const std::string& text) {
    std::string padded = "  " + label;
    if (padded.size() < 26) padded.resize(26, ' ');
    out << padded << ' ' << text << '\n';
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value);
    return text;
}

}  // namespace

std::unique_ptr<sim::usb::Device> MakeDevice(const Options& options, std::ostream& out, std::string* label) {
    if (!options.descriptorFile.empty()) {
        sim::usb::LoadOptions load;
        if (options.speed != Options::BusSpeed::Default) {
            load.speed = options.speed == Options::BusSpeed::High ? sim::usb::Speed::High : sim::usb::Speed::Full;
        }
        sim::usb::LoadResult loaded = sim::usb::LoadSysfsDescriptors(options.descriptorFile, load);
        if (!loaded.device) {
            out << "kvsim: cannot use " << options.descriptorFile << ": " << loaded.error << '\n';
            return nullptr;
        }
        *label = options.descriptorFile + " (descriptor file)";
        return std::move(loaded.device);
    }
    std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(options.device);
    if (!device) {
        out << "kvsim: no device '" << options.device << "' in the catalog (kvsim --help lists them)\n";
        return nullptr;
    }
    *label = options.device + ": " + sim::usb::CatalogDescription(options.device);
    return device;
}

namespace {

// Brief: one line per interface with how often it was enabled and disabled.
void ReportInterfaces(std::ostream& out, PDEVICE_OBJECT pdo, bool brief) {
    bool any = false;
    for (const sim::pnp::InterfaceInfo& info : sim::pnp::Interfaces(nullptr, false)) {
        if (info.physicalDeviceObject != pdo) continue;
        any = true;
        std::string state = info.enabled ? "enabled" : "registered, not enabled";
        if (brief) {
            Line(out, "interface",
                 Utf8(info.referenceString) + ": " + state + " (enabled " + std::to_string(info.enables) +
                     ", disabled " + std::to_string(info.disables) + " times)");
            continue;
        }
        Line(out, "interface", Utf8(info.referenceString) + " " + GuidText(info.classGuid) + ": " + state);
        Line(out, "", Utf8(info.symbolicLink));
    }
    if (!any) Line(out, "interfaces", "none registered");
}

void ReportDeviceTexts(std::ostream& out, sim::pnp::DeviceNode* node, const std::u16string& manufacturerBefore) {
    std::u16string key = sim::pnp::EnumKeyPath(node);
    bool present = false;
    std::u16string friendly = RegistryText(key, u"FriendlyName", &present);
    Line(out, "FriendlyName", present ? '"' + Utf8(friendly) + '"' : "not written");
    std::u16string manufacturer = RegistryText(key, u"Mfg", &present);
    if (!present) {
        Line(out, "Mfg", "none");
    } else if (manufacturer == manufacturerBefore) {
        Line(out, "Mfg", '"' + Utf8(manufacturer) + "\" (as installed, not written)");
    } else {
        Line(out, "Mfg", '"' + Utf8(manufacturer) + '"');
    }
}

void ReportSubdevices(std::ostream& out, PDEVICE_OBJECT functional) {
    if (functional == nullptr || !sim::portcls::IsPortClassDevice(functional)) return;
    std::vector<sim::portcls::Subdevice> subdevices = sim::portcls::Subdevices(functional);
    if (subdevices.empty()) Line(out, "subdevices", "none");
    for (const sim::portcls::Subdevice& subdevice : subdevices) {
        Line(out, "subdevice", Utf8(subdevice.name));
    }
    for (const sim::portcls::Connection& c : sim::portcls::Connections(functional)) {
        Line(out, "connection",
             Utf8(c.from) + " pin " + std::to_string(c.fromPin) + " -> " + Utf8(c.to) + " pin " +
                 std::to_string(c.toPin));
    }
    Line(out, "power management",
         sim::portcls::AdapterPowerManagement(functional) != nullptr ? "registered" : "not registered");
}

}  // namespace

// The verifier's view after the removal; true when nothing is left.
bool ReportVerifier(std::ostream& out, const sim::pool::Snapshot& pool, const Balances& before) {
    out << "verifier\n";
    bool clean = true;
    sim::pool::LeakReport leaks = sim::pool::LeaksSince(pool);
    if (leaks.Empty()) {
        Line(out, "pool", "nothing left");
    } else {
        clean = false;
        for (const sim::pool::LeakedTag& tag : leaks.tags) {
            Line(out, "pool leak",
                 "tag \"" + sim::pool::TagText(tag.tag) + "\": " + std::to_string(tag.blocks) + " blocks, " +
                     std::to_string(tag.bytes) + " bytes, allocated by " + tag.allocatedBy);
        }
        if (!leaks.lookasideLists.empty()) {
            Line(out, "lookaside lists", std::to_string(leaks.lookasideLists.size()) + " not deleted");
        }
    }
    Balances after = Balances::Now();
    auto balance = [&](const char* what, long long left) {
        if (left != 0) clean = false;
        Line(out, what, left == 0 ? "balanced" : std::to_string(left) + " left");
    };
    balance("IRPs", static_cast<long long>(after.irps) - static_cast<long long>(before.irps));
    balance("system threads", static_cast<long long>(after.threads) - static_cast<long long>(before.threads));
    balance("timer resolution", after.timerRequests - before.timerRequests);
    balance("callback registrations",
            static_cast<long long>(after.callbacks) - static_cast<long long>(before.callbacks));
    return clean;
}

int RunInfo(const Options& options, const std::string& driverPath, std::ostream& out) {
    std::string deviceLabel;
    std::unique_ptr<sim::usb::Device> device = MakeDevice(options, out, &deviceLabel);
    if (!device) return 2;

    sim::os::Version version = sim::os::Current();
    char machine[96];
    std::snprintf(machine, sizeof(machine), "Windows %u.%u build %u (NTDDI 0x%08X), virtual clock", version.major,
                  version.minor, version.build, version.ntddi);
    out << "machine  " << machine << '\n';
    sim::debuglog::Clear();
    const sim::pool::Snapshot pool = sim::pool::TakeSnapshot();
    const Balances before = Balances::Now();

    out << "driver   " << driverPath << '\n';
    if (access(driverPath.c_str(), R_OK) != 0) {
        out << "kvsim: no driver module there (build the KV-380D target)\n";
        return 1;
    }
    sim::pnp::Driver* driver = nullptr;
    NTSTATUS status = sim::pnp::LoadDriver(driverPath, kService, &driver);
    Line(out, "DriverEntry", StatusText(status));
    if (!NT_SUCCESS(status)) return 1;

    sim::usb::Port* port = sim::usb::PlugDevice(std::move(device));
    sim::usb::Device& plugged = sim::usb::DeviceOf(port);
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    PDEVICE_OBJECT pdo = sim::usb::PhysicalDeviceObject(port);
    USB_DEVICE_DESCRIPTOR descriptor = plugged.Descriptor();
    out << "device   " << deviceLabel << '\n';
    Line(out, "plugged",
         "VID " + Hex4(descriptor.idVendor) + " PID " + Hex4(descriptor.idProduct) + ", port " +
             std::to_string(sim::usb::PortNumber(port)) + ", " +
             (sim::usb::IsHighSpeed(port) ? "high speed" : "full speed"));
    bool present = false;
    const std::u16string manufacturerBefore = RegistryText(sim::pnp::EnumKeyPath(node), u"Mfg", &present);

    status = sim::pnp::AddDevice(driver, node);
    Line(out, "AddDevice", StatusText(status));
    bool added = NT_SUCCESS(status);
    if (added) {
        WriteDriverSettings(options, node, out, Line);
        status = sim::pnp::StartDevice(node);
        Line(out, "START", StatusText(status));
        const std::vector<sim::usb::LogEntry> log = plugged.Log();
        HalChoice choice = FindHalChoice(plugged, log);
        Line(out, "HAL chosen", choice.made ? choice.hal + " (" + choice.reason + ")" : "none: " + choice.reason);
        ReportDeviceTexts(out, node, manufacturerBefore);
        if (auto r7t5 = sim::usb::r7t5::StateOf(plugged)) {
            std::string file;
            for (size_t r = 0; r < r7t5->registers.size(); ++r) {
                // Appended piece by piece: a chain of temporaries trips a false -Wrestrict at -O3.
                if (r != 0) file += ' ';
                file += std::to_string(r);
                file += ':';
                file += Hex4(r7t5->registers[r]);
            }
            Line(out, "register file", file);
            Line(out, "register writes", std::to_string(r7t5->writes.size()));
        }
        if (auto w4m3 = sim::usb::w4m3::StateOf(plugged)) {
            Line(out, "effect switches",
                 "room " + std::to_string(w4m3->roomEffect) + ", headphone " + std::to_string(w4m3->headphoneEffect) +
                     " (" + std::to_string(w4m3->writes.size()) + " writes)");
        }
        ReportInterfaces(out, pdo, false);
        ReportSubdevices(out, pdo->AttachedDevice);
        // What an application can open: the wave pins' own ranges, after any model rewrite.
        for (const auto& [name, offers] : WavePinOffers()) {
            for (const std::string& offer : offers) Line(out, "wave pin " + name, offer);
        }

        std::vector<std::string> lines = sim::debuglog::Lines();
        out << "debug output (" << lines.size() << " lines)\n";
        for (const std::string& line : lines) out << "  " << line << '\n';
        if (options.usbLog) {
            out << "USB requests (" << log.size() << ")\n";
            for (const sim::usb::LogEntry& entry : log) out << "  " << entry.text << '\n';
        }

        out << "removal\n";
        Line(out, "REMOVE", StatusText(sim::pnp::RemoveDevice(node)));
        ReportInterfaces(out, pdo, true);
    }
    sim::usb::RemovePort(port);

    bool clean = ReportVerifier(out, pool, before);
    if (!clean) {
        out << "kvsim: the driver left something behind; it stays loaded\n";
        return 1;
    }
    sim::pnp::UnloadDriver(driver);
    Line(out, "unload", "clean");
    std::string modelLabel;
    std::unique_ptr<sim::usb::Device> again = MakeDevice(options, out, &modelLabel);
    if (again && !ReportModel(out, std::move(again))) return 1;
    return 0;
}

}  // namespace kvsim
