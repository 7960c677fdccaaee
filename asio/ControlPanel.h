// The control panel: bit depth and latency chosen in a modal dialog.
#pragma once

#include "AsioDevice.h"

namespace kv380dasio {

// Shows the panel for device; 1 in every case.
int RunControlPanel(HMODULE module, CAsioDevice* device);

}  // namespace kv380dasio
