// IRPs: allocation and reuse, passing down the stack, completion with completion routines run
// bottom-up, cancellation, and the IRP tracker of the verifier (leaks, double completion, free
// while in flight, completion routines that never ran, what dispatch routines answer).
#include "io_irp.h"
#include <sim/pool.h>

#include "io_manager.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace sim::io {
namespace {

struct IrpRecord {
    IrpState state = IrpState::Owned;
    const void* module = nullptr;  // module of the code that allocated it; null for the platform
    ThreadedIrp threaded;
    bool isThreaded = false;
    bool is32bit = false;
    PEPROCESS process = nullptr;  // of the thread that allocated it
    PDEVICE_OBJECT lastDevice = nullptr;  // where it was sent last
};

// A dispatch routine called for an IRP, from IoCallDriver until its stack location has been
// both returned from and passed by completion: what it answered must agree with what it did.
struct DispatchFrame {
    uint64_t id = 0;
    CHAR location = 0;                   // its stack location (IRP::CurrentLocation while it runs)
    PDRIVER_DISPATCH routine = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    UCHAR major = 0;
    bool returnedPending = false;        // returned STATUS_PENDING before completion passed it
    bool completed = false;              // completion passed the location while the routine ran
    bool markedPending = false;          // ... and found it marked with IoMarkIrpPending
    NTSTATUS completedStatus = 0;        // ... with this IoStatus.Status
};

struct Tracker {
    std::mutex lock;
    std::unordered_map<PIRP, IrpRecord> live;
    // Dispatch frames by IRP; an IRP has several while drivers pass it down.
    std::unordered_map<PIRP, std::vector<DispatchFrame>> frames;
    uint64_t nextFrameId = 1;
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

std::string DispatchName(PDRIVER_DISPATCH routine, PDRIVER_OBJECT driver) {
    return "the dispatch routine " + sim::ke::RoutineName(reinterpret_cast<const void*>(routine)) + " of " +
           DriverNameOf(driver);
}

std::string DispatchName(const DispatchFrame& frame) { return DispatchName(frame.routine, frame.driver); }

PIO_STACK_LOCATION StackLocation(PIRP irp, CHAR location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

[[noreturn]] void PendingNotMarked(const DispatchFrame& frame, PIRP irp) {
    sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "%s returned STATUS_PENDING for IRP %p (major 0x%02X) without IoMarkIrpPending on its stack "
                  "location (a completion routine of it must mark the IRP when Irp->PendingReturned)",
                  DispatchName(frame).c_str(), static_cast<void*>(irp), frame.major);
}

// Completion passes stack location `location` of irp, which was marked pending or not: the
// dispatch routines that hold it learn what they did; one that returned STATUS_PENDING already
// must have marked it.
void LocationCompletedLocked(Tracker& t, PIRP irp, CHAR location, bool marked) {
    auto it = t.frames.find(irp);
    if (it == t.frames.end()) return;
    std::vector<DispatchFrame>& frames = it->second;
    for (size_t i = 0; i < frames.size();) {
        DispatchFrame& frame = frames[i];
        if (frame.location != location || frame.completed) {
            ++i;
            continue;
        }
        if (frame.returnedPending) {
            if (!marked) PendingNotMarked(frame, irp);
            frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        frame.completed = true;
        frame.markedPending = marked;
        frame.completedStatus = irp->IoStatus.Status;
        ++i;
    }
    if (frames.empty()) t.frames.erase(it);
}

// The IRP is freed. A dispatch routine that saw it completed and has not returned yet is still
// checked on its return; other frames have nothing left to learn.
void ForgetFramesLocked(Tracker& t, PIRP irp) {
    auto it = t.frames.find(irp);
    if (it == t.frames.end()) return;
    std::erase_if(it->second, [](const DispatchFrame& frame) { return !frame.completed; });
    if (it->second.empty()) t.frames.erase(it);
}

// The dispatch routine of a frame returned status.
void DispatchReturned(PIRP irp, uint64_t frameId, NTSTATUS status) {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.frames.find(irp);
    if (it == t.frames.end()) return;  // freed before completion passed the routine's location
    std::vector<DispatchFrame>& frames = it->second;
    auto frameIt =
        std::find_if(frames.begin(), frames.end(), [frameId](const DispatchFrame& f) { return f.id == frameId; });
    if (frameIt == frames.end()) return;
    DispatchFrame frame = *frameIt;
    bool completed = frame.completed;
    if (status == STATUS_PENDING) {
        if (!completed) {
            // Whether the location ends up marked shows when completion passes it: a completion
            // routine of this driver may still mark it (on another thread, right now).
            frameIt->returnedPending = true;
            return;
        }
        if (!frame.markedPending) PendingNotMarked(frame, irp);
    } else {
        // Not completed past the location yet, so the IRP is alive and the location untouched.
        bool marked = completed ? frame.markedPending
                                : (StackLocation(irp, frame.location)->Control & SL_PENDING_RETURNED) != 0;
        if (marked) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "%s marked IRP %p (major 0x%02X) pending with IoMarkIrpPending but returned 0x%08X instead "
                          "of STATUS_PENDING", DispatchName(frame).c_str(), static_cast<void*>(irp), frame.major,
                          static_cast<unsigned>(status));
        }
        if (!completed) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "%s returned 0x%08X for IRP %p (major 0x%02X) without completing it: a request it does not "
                          "complete must be marked pending and answered with STATUS_PENDING",
                          DispatchName(frame).c_str(), static_cast<unsigned>(status), static_cast<void*>(irp),
                          frame.major);
        }
        if (status != frame.completedStatus) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                          "%s returned 0x%08X for IRP %p (major 0x%02X) but completed it with IoStatus.Status 0x%08X",
                          DispatchName(frame).c_str(), static_cast<unsigned>(status), static_cast<void*>(irp),
                          frame.major, static_cast<unsigned>(frame.completedStatus));
        }
    }
    frames.erase(frameIt);
    if (frames.empty()) t.frames.erase(it);
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
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(sim::pool::SystemNonPagedType(), size, kIrpTag));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    t.freed.erase(irp);
    IrpRecord record;
    record.module = module;
    record.process = CurrentProcess();
    record.is32bit = Is32bitProcess(record.process);
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

PEPROCESS RequestorProcess(PIRP irp) {
    Tracker& t = TheTracker();
    std::lock_guard<std::mutex> guard(t.lock);
    return LiveRecordLocked(t, irp, "IoGetRequestorProcess").process;
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
    // IoCallDriver checks that the answer agrees with the completion.
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// The I/O manager's end of a threaded IRP: copy-back, status block, event, free.
static void FinishThreaded(PIRP irp, const ThreadedIrp& threaded) {
    SetState(irp, IrpState::Owned);
    NTSTATUS status = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
        // A write answers the bytes it took, so only device-control requests are held to their output.
        if (!NT_ERROR(status) && threaded.controlCode != 0) CheckBufferedInformation(irp, threaded.controlCode, threaded.outputLength);
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(status) && irp->UserBuffer != nullptr) {
            ULONG_PTR bytes = irp->IoStatus.Information;
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
        ForgetFramesLocked(t, irp);
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
    PDRIVER_DISPATCH dispatch = nullptr;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;  // the device may be deleted by the call
    UCHAR major = 0;
    uint64_t frameId = 0;
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
        Irp->CurrentLocation--;
        PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = DeviceObject;
        major = stack->MajorFunction;
        dispatch = driver->MajorFunction[major];
        if (dispatch == nullptr) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "%s has no dispatch routine for major function 0x%02X",
                          DriverNameOf(DeviceObject).c_str(), stack->MajorFunction);
        }
        frameId = t.nextFrameId++;
        t.frames[Irp].push_back(DispatchFrame{.id = frameId,
                                              .location = Irp->CurrentLocation,
                                              .routine = dispatch,
                                              .driver = driver,
                                              .major = major});
    }
    KIRQL calledAt = KeGetCurrentIrql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != calledAt) {
        sim::BugCheck("IRQL_UNEXPECTED_VALUE", "%s returned at IRQL %u for IRP %p (major 0x%02X), but was called at "
                      "IRQL %u", DispatchName(dispatch, driver).c_str(), KeGetCurrentIrql(), static_cast<void*>(Irp),
                      major, calledAt);
    }
    DispatchReturned(Irp, frameId, status);
    return status;
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

    Tracker& t = TheTracker();
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        UCHAR control;
        bool invoke;
        PDEVICE_OBJECT device = nullptr;
        {
            // Under the tracker lock, so the dispatch routine of this location, returning on
            // another thread, sees the location either untouched or passed.
            std::lock_guard<std::mutex> guard(t.lock);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
            LocationCompletedLocked(t, Irp, Irp->CurrentLocation, Irp->PendingReturned != 0);
            routine = stack->CompletionRoutine;
            context = stack->Context;
            control = stack->Control;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
            stack->Control = 0;
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            NTSTATUS status = Irp->IoStatus.Status;
            invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                            (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
            if (!invoke) {
                if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
                continue;
            }
            if (Irp->CurrentLocation <= Irp->StackCount) device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The routine's driver owns the IRP while it runs: it may free or re-send it.
            LiveRecordLocked(t, Irp, "completion").state = IrpState::Held;
        }
        KIRQL calledAt = KeGetCurrentIrql();
        NTSTATUS answer = routine(device, Irp, context);
        if (KeGetCurrentIrql() != calledAt) {
            sim::BugCheck("IRQL_UNEXPECTED_VALUE",
                          "the completion routine %s returned at IRQL %u, but was called at IRQL %u",
                          sim::ke::RoutineName(reinterpret_cast<const void*>(routine)).c_str(), KeGetCurrentIrql(),
                          calledAt);
        }
        if (answer == STATUS_MORE_PROCESSING_REQUIRED) return;
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
