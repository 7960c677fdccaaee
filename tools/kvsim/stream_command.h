// `kvsim play` and `kvsim record`: an application plays into a render wave filter, or records from
// a capture wave filter, of one device on a fresh simulated machine, and what arrived is compared
// with what was sent.
#pragma once

#include "options.h"

#include <ostream>
#include <string>

namespace kvsim {

// driverPath: the KV-380D module. Answers the process exit status.
int RunStream(const Options& options, const std::string& driverPath, std::ostream& out);

}  // namespace kvsim
