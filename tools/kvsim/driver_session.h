// The life `kvsim controls`, `play` and `record` share: the driver loaded on the simulated machine,
// one device plugged, added and started, and at the end removed, checked by the verifier and the
// driver unloaded. The commands add what they open on top and print in their own layout.
#pragma once

#include "info_command.h"
#include "options.h"

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_bus.h>

#include <memory>
#include <ostream>
#include <string>

namespace kvsim {

class DriverSession {
public:
    // Prints one "label   text" line in the command's layout.
    using LineWriter = void (*)(std::ostream& out, const std::string& label, const std::string& text);

    DriverSession(const Options& options, std::ostream& out, LineWriter line)
        : m_Options(options), m_Out(out), m_Line(line) {}

    // The device the options name, with its label; null after printing why not (the exit status
    // becomes 2).
    std::unique_ptr<sim::usb::Device> MakeDevice(std::string* label);
    // Takes the verifier's starting point and loads the driver; false after printing why not.
    bool LoadDriver(const std::string& driverPath);
    // Plugs Device, adds and starts it; false after printing why not. reportAdd: AddDevice's status
    // gets a line of its own (else a failed AddDevice is the START line's status).
    bool PlugAndStart(std::unique_ptr<sim::usb::Device> device, const std::string& label, bool reportAdd);
    // Removes the device when it was added (printing the REMOVE status) and its port.
    void RemoveDevice();
    // After RemoveDevice: the verifier's report and the unload. The exit status: ok's, 1 when the
    // driver left something behind, that of a failed set-up when the driver never loaded.
    int Finish(bool ok);

    bool Added() const { return m_Added; }
    sim::usb::Port* Port() const { return m_Port; }

protected:
    const Options& m_Options;
    std::ostream& m_Out;

private:
    LineWriter m_Line;
    bool m_SettingsWritten = false;
    int m_Exit = 1;
    sim::pool::Snapshot m_Pool;
    Balances m_Before;
    sim::pnp::Driver* m_Driver = nullptr;
    sim::usb::Port* m_Port = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    bool m_Added = false;
};

}  // namespace kvsim
