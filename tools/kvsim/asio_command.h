// `kvsim asio`: the device started through the driver, the ASIO driver library registered and
// driven by an ASIO host, reported.
#pragma once

#include "options.h"

#include <ostream>
#include <string>

namespace kvsim {

// driverPath: the KV-380D module; asioPath: the ASIO library. Answers the process exit status.
int RunAsio(const Options& options, const std::string& driverPath, const std::string& asioPath, std::ostream& out);

}  // namespace kvsim
