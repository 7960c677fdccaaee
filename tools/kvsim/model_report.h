#pragma once

#include <sim/usb_device.h>

#include <memory>
#include <ostream>

namespace kvsim {

// Builds the device's model with the driver's engine linked into kvsim (adapter, HAL, units,
// controls, engines, without the port-class front) and prints, for every engine, its direction,
// endpoint type, formats and signal path, and for every unit its controls with their current
// values. False when something was left behind.
bool ReportModel(std::ostream& out, std::unique_ptr<sim::usb::Device> device);

}  // namespace kvsim
