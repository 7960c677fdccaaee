// The driver's "Settings" values that --setting asks for, written to the device's driver key
// between AddDevice and the start, in every command that starts a device.
#pragma once

#include "options.h"

#include <sim/pnp.h>

#include <ostream>
#include <string>

namespace kvsim {

// Writes every setting of Options as REG_BINARY of its own size and prints one "setting" line each
// through Line.
void WriteDriverSettings(const Options& options, sim::pnp::DeviceNode* node, std::ostream& out,
                         void (*Line)(std::ostream&, const std::string&, const std::string&));

}  // namespace kvsim
