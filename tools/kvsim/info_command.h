// `kvsim info`: one device through the driver's life on a fresh simulated machine, reported.
#pragma once

#include "options.h"

#include <ostream>
#include <string>

namespace kvsim {

// driverPath: the KV-380D module. Answers the process exit status.
int RunInfo(const Options& options, const std::string& driverPath, std::ostream& out);

}  // namespace kvsim
