// Which HAL the driver chose for a device, told from the outside: the AudioControl interface's
// protocol in the device's configuration and the model identifier string the driver read (found
// in the device's request log), decided by the driver's own identifier rule.
#pragma once

#include <sim/usb_device.h>

#include <string>
#include <vector>

namespace kvsim {

struct HalChoice {
    bool made = false;   // the driver got as far as the choice
    std::string hal;     // class name, when made
    std::string reason;  // what decided it, or why no choice was made
};

// log: the device's request log of the run (taken before this reads anything from the device).
HalChoice FindHalChoice(sim::usb::Device& device, const std::vector<sim::usb::LogEntry>& log);

}  // namespace kvsim
