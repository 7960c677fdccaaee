// `kvsim controls`: the topology filter of one device as a mixer shows it (every node with its
// kind, ranges and values per channel), values set through its properties, the control-change
// events it raised, and, after a re-plug, the values the driver stored.
#pragma once

#include "options.h"

#include <ostream>
#include <string>

namespace kvsim {

// driverPath: the KV-380D module. Answers the process exit status.
int RunControls(const Options& options, const std::string& driverPath, std::ostream& out);

}  // namespace kvsim
