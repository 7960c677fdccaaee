#include "driver_session.h"

#include "driver_settings.h"
#include "text.h"

#include <unistd.h>

namespace kvsim {
namespace {

constexpr char16_t kService[] = u"KV-380D";

}  // namespace

std::unique_ptr<sim::usb::Device> DriverSession::MakeDevice(std::string* label) {
    std::unique_ptr<sim::usb::Device> device = kvsim::MakeDevice(m_Options, m_Out, label);
    if (!device) m_Exit = 2;
    return device;
}

bool DriverSession::LoadDriver(const std::string& driverPath) {
    m_Pool = sim::pool::TakeSnapshot();
    m_Before = Balances::Now();
    if (access(driverPath.c_str(), R_OK) != 0) {
        m_Out << "kvsim: no driver module at " << driverPath << " (build the KV-380D target)\n";
        return false;
    }
    const NTSTATUS status = sim::pnp::LoadDriver(driverPath, kService, &m_Driver);
    m_Line(m_Out, "DriverEntry", StatusText(status));
    return NT_SUCCESS(status);
}

bool DriverSession::PlugAndStart(std::unique_ptr<sim::usb::Device> device, const std::string& label, bool reportAdd) {
    // A port cycle during the run re-enumerates the device as the hub does.
    sim::usb::PlugOptions options;
    options.reenumerate = true;
    m_Port = sim::usb::PlugDevice(std::move(device), options);
    m_Node = sim::usb::NodeOf(m_Port);
    m_Out << "device   " << label << '\n';
    NTSTATUS status = sim::pnp::AddDevice(m_Driver, m_Node);
    if (reportAdd) {
        m_Line(m_Out, "AddDevice", StatusText(status));
        if (!NT_SUCCESS(status)) return false;
    }
    if (NT_SUCCESS(status)) {
        m_Added = true;
        // Once: a device plugged again finds what the driver stored over them.
        if (!m_SettingsWritten) WriteDriverSettings(m_Options, m_Node, m_Out, m_Line);
        m_SettingsWritten = true;
        status = sim::pnp::StartDevice(m_Node);
    }
    m_Line(m_Out, "START", StatusText(status));
    return NT_SUCCESS(status);
}

void DriverSession::RemoveDevice() {
    // A re-enumeration still under way ends first; the port's node is then the new one.
    if (m_Port != nullptr) {
        if (!sim::pnp::WaitForIdle(10 * sim::machine::kSecond)) m_Out << "kvsim: the PnP manager is still busy\n";
        m_Node = sim::usb::NodeOf(m_Port);
    }
    if (m_Added) m_Line(m_Out, "REMOVE", StatusText(sim::pnp::RemoveDevice(m_Node)));
    m_Added = false;
    if (m_Port != nullptr) sim::usb::RemovePort(m_Port);
    m_Port = nullptr;
}

int DriverSession::Finish(bool ok) {
    if (m_Driver == nullptr) return m_Exit;
    if (!ReportVerifier(m_Out, m_Pool, m_Before)) {
        m_Out << "kvsim: the driver left something behind; it stays loaded\n";
        return 1;
    }
    sim::pnp::UnloadDriver(m_Driver);
    m_Line(m_Out, "unload", "clean");
    return ok ? 0 : 1;
}

}  // namespace kvsim
