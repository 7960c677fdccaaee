// The control panel. The dialog itself is not built yet: the call returns at once.
#include "ControlPanel.h"

namespace kv380dasio {

int RunControlPanel(HMODULE module, CAsioDevice* device) {
    UNREFERENCED_PARAMETER(module);
    UNREFERENCED_PARAMETER(device);
    return 1;
}

}  // namespace kv380dasio
