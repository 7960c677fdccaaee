// IRPs: allocation and reuse, passing down the stack, completion with completion routines run
// bottom-up, cancellation, and the IRP tracker of the verifier (leaks, double completion, free
// while in flight, completion routines that never ran).
#include "io_irp.h"

#include "io_manager.h"

#include <sim/verifier.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace sim::io {
namespace {

struct IrpRecord {
    IrpState state = IrpState::Owned;
    const void* module = nullptr;  // module of the code that allocated it; null for the platform
    ThreadedIrp threaded;
    bool isThreaded = false;
    bool is32bit = false;
    PDEVICE_OBJECT lastDevice = nullptr;  // where it was sent last
};

struct Tracker {
    std::mutex lock;
    std::unordered_map<PIRP, IrpRecord> live;
    // What is known about recently freed IRPs, for the message of a late use.
    std::unordered_map<PIRP, std::string> freed;
    std::deque<PIRP> freedOrder;
};

Tracker& TheTracker() {
    static Tracker* tracker = new Tracker();  // lives as long as the process
    return *tracker;
}

constexpr size_t kFreedRemembered = 4096;

const char* StateName(IrpState state) {
    switch (state) {
        case IrpState::Owned: return "owned by its sender";
        case IrpState::InFlight: return "in flight";
        case IrpState::Completing: return "being completed";
        case IrpState::Held: return "held by a completion routine";
    }
    return "?";
}

std::string Where(const IrpRecord& record) {
    if (record.lastDevice == nullptr) return "never sent";
    std::ostringstream out;
    out << "last sent to device " << static_cast<void*>(record.lastDevice) << " of "
        << DriverNameOf(record.lastDevice);
    return out.str();
}

// Looks an IRP up under the tracker lock; a pointer that is no live IRP is a bug check.
IrpRecord& LiveRecordLocked(Tracker& t, PIRP irp, const char* caller) {
    auto it = t.live.find(irp);
    if (it != t.live.end()) return it->second;
    auto gone = t.freed.find(irp);
    if (gone != t.freed.end()) {
        sim::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "%s of IRP %p, which was freed already (%s)", caller,
                      static_cast<void*>(irp), gone->second.c_str());
    }
    sim::BugCheck("INVALID_IRP", "%s of %p, which is not an IRP", caller, static_cast<void*>(irp));
}

void ForgetLocked(Tracker& t, PIRP irp, const IrpRecord& record, const char* how) {
    std::ostringstream out;
    out << how << ", allocated by " << ModuleName(record.module) << ", " << Where(record);
    t.live.erase(irp);
    t.freed[irp] = out.str();
    t.freedOrder.push_back(irp);
    if (t.freedOrder.size() > kFreedRemembered) {
        t.freed.erase(t.freedOrder.front());
        t.freedOrder.pop_front();
    }
}

void SetState(PIRP irp, IrpState state) {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    LiveRecordLocked(t, irp, "completion").state = state;
}

// Cancel spin lock ownership of this thread, to check that cancel routines release it.
thread_local bool t_holdsCancelLock = false;
KSPIN_LOCK g_cancelLock = 0;

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PIRP AllocateIrp(CCHAR stackSize, const void* module) {
    if (stackSize < 1) {
        sim::BugCheck("INVALID_IRP", "IoAllocateIrp with a stack size of %d", static_cast<int>(stackSize));
    }
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kIrpTag));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    t.freed.erase(irp);
    IrpRecord record;
    record.module = module;
    record.is32bit = Is32bitProcess(CurrentProcess());
    t.live[irp] = record;
    return irp;
}

void MarkThreaded(PIRP irp, const ThreadedIrp& threaded) {
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->RequestorMode = KernelMode;
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    IrpRecord& record = LiveRecordLocked(t, irp, "MarkThreaded");
    record.isThreaded = true;
    record.threaded = threaded;
}

bool IrpFromIs32bitProcess(PIRP irp) {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    return LiveRecordLocked(t, irp, "IoIs32bitProcess").is32bit;
}

size_t LiveIrpCount() {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.live.size();
}

std::string DescribeLiveIrps() {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    std::ostringstream out;
    for (auto& [irp, record] : t.live) {
        out << "  IRP " << static_cast<void*>(irp) << ": " << StateName(record.state) << ", allocated by "
            << ModuleName(record.module) << ", " << Where(record) << "\n";
    }
    return out.str();
}

size_t IrpsOfModule(const void* moduleBase, std::string* listing) {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    size_t count = 0;
    std::ostringstream out;
    for (auto& [irp, record] : t.live) {
        if (record.module != moduleBase) continue;
        ++count;
        out << " IRP " << static_cast<void*>(irp) << " (" << StateName(record.state) << ", " << Where(record) << ")";
    }
    if (listing != nullptr) *listing = out.str();
    return count;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else if (KeReadStateEvent(&done) == 0) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "the dispatch routine of %s answered 0x%08X for IRP %p without completing it",
                      DriverNameOf(device).c_str(), static_cast<unsigned>(status), static_cast<void*>(irp));
    } else if (status != irp->IoStatus.Status) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "the dispatch routine of %s answered 0x%08X for IRP %p but completed it with 0x%08X",
                      DriverNameOf(device).c_str(), static_cast<unsigned>(status), static_cast<void*>(irp),
                      static_cast<unsigned>(irp->IoStatus.Status));
    }
    return irp->IoStatus.Status;
}

// The I/O manager's end of a threaded IRP: copy-back, status block, event, free.
static void FinishThreaded(PIRP irp, const ThreadedIrp& threaded) {
    SetState(irp, IrpState::Owned);
    NTSTATUS status = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(status) && irp->UserBuffer != nullptr) {
            ULONG_PTR bytes = irp->IoStatus.Information;
            if (bytes > threaded.outputLength) bytes = threaded.outputLength;
            if (bytes != 0) std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    FreeIrp(irp, "completed to the I/O manager");
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void FreeIrp(PIRP irp, const char* how) {
    Tracker& t = TheTracker();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        IrpRecord& record = LiveRecordLocked(t, irp, "IoFreeIrp");
        if (record.state == IrpState::InFlight || record.state == IrpState::Completing) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoFreeIrp of IRP %p while it is %s (%s)",
                          static_cast<void*>(irp), StateName(record.state), Where(record).c_str());
        }
        PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        for (int i = 0; i < irp->StackCount; ++i) {
            if (first[i].CompletionRoutine != nullptr) {
                sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                              "IoFreeIrp of IRP %p: the completion routine %p set in stack location %d never ran "
                              "(the IRP was not sent down after IoSetCompletionRoutine)",
                              static_cast<void*>(irp), reinterpret_cast<void*>(first[i].CompletionRoutine), i + 1);
            }
        }
        ForgetLocked(t, irp, record, how);
    }
    irp->Type = 0;
    ExFreePoolWithTag(irp, kIrpTag);
}

}  // namespace sim::io

using namespace sim::io;

KV_EXTERN_C PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    return AllocateIrp(StackSize, ModuleOf(__builtin_return_address(0)));
}

KV_EXTERN_C VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->ApcEnvironment = 0;
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

KV_EXTERN_C VOID IoFreeIrp(PIRP Irp) { FreeIrp(Irp, "freed with IoFreeIrp"); }

KV_EXTERN_C VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    Tracker& t = TheTracker();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        IrpRecord& record = LiveRecordLocked(t, Irp, "IoReuseIrp");
        if (record.state == IrpState::InFlight || record.state == IrpState::Completing) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoReuseIrp of IRP %p while it is %s (%s)",
                          static_cast<void*>(Irp), StateName(record.state), Where(record).c_str());
        }
        record.state = IrpState::Owned;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

KV_EXTERN_C NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver at IRQL %u", KeGetCurrentIrql());
    }
    CheckedDevice(DeviceObject, "IoCallDriver");
    {
        Tracker& t = TheTracker();
        std::lock_guard<std::mutex> guard(t.lock);
        IrpRecord& record = LiveRecordLocked(t, Irp, "IoCallDriver");
        if (Irp->CurrentLocation <= 1) {
            sim::BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IRP %p has no stack location left for device %p of %s",
                          static_cast<void*>(Irp), static_cast<void*>(DeviceObject),
                          DriverNameOf(DeviceObject).c_str());
        }
        record.state = IrpState::InFlight;
        record.lastDevice = DeviceObject;
    }
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "%s has no dispatch routine for major function 0x%02X",
                      DriverNameOf(DeviceObject).c_str(), stack->MajorFunction);
    }
    return dispatch(DeviceObject, Irp);
}

KV_EXTERN_C VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest at IRQL %u", KeGetCurrentIrql());
    }
    ThreadedIrp threaded;
    bool isThreaded = false;
    const void* module = nullptr;
    {
        Tracker& t = TheTracker();
        std::lock_guard<std::mutex> guard(t.lock);
        IrpRecord& record = LiveRecordLocked(t, Irp, "IoCompleteRequest");
        if (Irp->CurrentLocation > Irp->StackCount || record.state == IrpState::Completing) {
            sim::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS",
                          "IRP %p is completed twice: no driver holds a stack location of it (%s)",
                          static_cast<void*>(Irp), Where(record).c_str());
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IRP %p completed with STATUS_PENDING (%s)",
                          static_cast<void*>(Irp), Where(record).c_str());
        }
        // IoCancelIrp may swap the routine out on another thread at the same moment.
        PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST);
        if (cancelRoutine != nullptr) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "IRP %p completed with its cancel routine %p still set (%s)", static_cast<void*>(Irp),
                          reinterpret_cast<void*>(cancelRoutine), Where(record).c_str());
        }
        if (Irp->CurrentLocation > 1) {
            PIO_STACK_LOCATION below = IoGetCurrentIrpStackLocation(Irp) - 1;
            if (below->CompletionRoutine != nullptr) {
                sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                              "IRP %p completed by %s although it set the completion routine %p for a lower driver "
                              "and never sent the IRP down: the routine never runs",
                              static_cast<void*>(Irp), DriverNameOf(IoGetCurrentIrpStackLocation(Irp)->DeviceObject).c_str(),
                              reinterpret_cast<void*>(below->CompletionRoutine));
            }
        }
        record.state = IrpState::Completing;
        threaded = record.threaded;
        isThreaded = record.isThreaded;
        module = record.module;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    while (Irp->CurrentLocation <= Irp->StackCount) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        stack++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        if (!invoke) {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            continue;
        }
        PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? stack->DeviceObject : nullptr;
        // The routine's driver owns the IRP while it runs: it may free or re-send it.
        SetState(Irp, IrpState::Held);
        if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        SetState(Irp, IrpState::Completing);
    }

    if (!isThreaded) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "IRP %p, allocated by %s, was completed up to the I/O manager: the allocator's completion "
                      "routine must answer STATUS_MORE_PROCESSING_REQUIRED and free or reuse it",
                      static_cast<void*>(Irp), ModuleName(module).c_str());
    }
    FinishThreaded(Irp, threaded);
}

KV_EXTERN_C NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                              PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                              BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    UNREFERENCED_PARAMETER(DeviceObject);  // drivers stay loaded while they have device objects
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

KV_EXTERN_C VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
    t_holdsCancelLock = true;
}

KV_EXTERN_C VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    t_holdsCancelLock = false;
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

KV_EXTERN_C BOOLEAN IoCancelIrp(PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCancelIrp at IRQL %u", KeGetCurrentIrql());
    }
    {
        Tracker& t = TheTracker();
        std::lock_guard<std::mutex> guard(t.lock);
        LiveRecordLocked(t, Irp, "IoCancelIrp");
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);
    if (t_holdsCancelLock) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "the cancel routine %p of %s returned without releasing the cancel spin lock",
                      reinterpret_cast<void*>(routine), DriverNameOf(device).c_str());
    }
    return TRUE;
}
