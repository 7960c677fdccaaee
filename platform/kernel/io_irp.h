// IRP allocation and tracking shared by the I/O manager's request builders.
#pragma once

#include <win/kernel.h>

namespace sim::io {

// Where an IRP is in its life, as the tracker sees it.
enum class IrpState {
    Owned,       // with its sender: not sent, or back after completion
    InFlight,    // passed to a driver with IoCallDriver
    Completing,  // IoCompleteRequest is running its completion routines
    Held,        // a completion routine runs or answered STATUS_MORE_PROCESSING_REQUIRED
};

// What the I/O manager does when a threaded IRP is completed to the top.
struct ThreadedIrp {
    ULONG outputLength = 0;  // METHOD_BUFFERED copy-back limit, bytes
    ULONG controlCode = 0;   // of a device-control request, for messages
};

// module: the loaded module whose code allocates the IRP, or null.
PIRP AllocateIrp(CCHAR stackSize, const void* module);
// Makes irp a request of the calling thread that the I/O manager finishes and frees.
void MarkThreaded(PIRP irp, const ThreadedIrp& threaded);
void FreeIrp(PIRP irp, const char* how);
bool IrpFromIs32bitProcess(PIRP irp);
// The process of the thread that allocated the IRP.
PEPROCESS RequestorProcess(PIRP irp);

}  // namespace sim::io
