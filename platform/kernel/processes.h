// Processes of the simulated machine: the system process and user processes, each with its own
// handle table; the calling thread's current process (its own, or the one it is attached to).
#pragma once

#include "object_manager.h"

#include <win/kernel.h>

#include <string>

// A process object (object manager body). KeStackAttachProcess receives it as a PRKPROCESS.
struct _EPROCESS {
    std::string name;
    bool is32bit = false;
    bool dead = false;  // DestroyProcess ran: its handles are closed
    sim::ob::HandleTableId handles = sim::ob::kKernelTable;
};

namespace sim::io {

// The calling thread's current process.
PEPROCESS CurrentProcess();
// Stops the machine unless process is a live process object.
PEPROCESS CheckedProcess(PEPROCESS process, const char* caller);

}  // namespace sim::io
