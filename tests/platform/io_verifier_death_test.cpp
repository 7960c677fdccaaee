// The IRP tracker and the device-object checks of the verifier: each mistake stops the machine
// with its rule and names the IRP or the device.
#include "io_helpers.h"

#include "support/bugcheck.h"

#include <sim/pnp.h>

#include <functional>

using namespace io_test;

namespace {

using kvtest::DeathCase;

class IoVerifier : public testing::TestWithParam<DeathCase> {};

TEST_P(IoVerifier, StopsTheMachine) { kvtest::ExpectStop(GetParam()); }

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

PIRP SendThreaded(PDEVICE_OBJECT device, PKEVENT done, PIO_STATUS_BLOCK ioStatus) {
    KeInitializeEvent(done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, FALSE, done, ioStatus);
    IoCallDriver(device, irp);
    return irp;
}

void CompleteTwice() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    SendThreaded(stack.Top(), &done, &ioStatus);
}

void CompleteAgainAfterMoreProcessing() {
    DeviceStack stack;
    PIRP* held = new PIRP(nullptr);
    stack.Push([held](PDEVICE_OBJECT device, PIRP irp) {
        *held = irp;
        return sim::io::Finish(device, irp, STATUS_SUCCESS);
    });
    PIRP irp = IoAllocateIrp(1, FALSE);
    SendAndWait(stack.Top(), irp);
    IoCompleteRequest(*held, IO_NO_INCREMENT);
}

void FreeWhileInFlight() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) { return sim::io::Hold(irp); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);
    IoFreeIrp(irp);
}

void CompletionRoutineNeverRuns() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // instead of passing it down
        return STATUS_SUCCESS;
    });
    stack.Push([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });  // gives the IRP a second location
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, stack.Top(), nullptr, 0, nullptr, 0, FALSE, &done, &ioStatus);
    IoCallDriver(stack.At(0), irp);
}

void AllocatedIrpCompletedToTheTop() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoCallDriver(stack.Top(), irp);  // no routine of the sender answers STATUS_MORE_PROCESSING_REQUIRED
}

void NoStackLocationLeft() {
    DeviceStack stack;
    PDEVICE_OBJECT* lower = new PDEVICE_OBJECT(nullptr);
    *lower = stack.Push([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_SUCCESS); });
    stack.Push([lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(*lower, irp);
    });
    PIRP irp = IoAllocateIrp(1, FALSE);  // the stack needs two
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(stack.Top(), irp);
}

VOID CancelRoutineKeepingTheLock(PDEVICE_OBJECT, PIRP) {}

void CancelRoutineKeepsTheLock() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRoutineKeepingTheLock);
        return STATUS_PENDING;
    });
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = SendThreaded(stack.Top(), &done, &ioStatus);
    IoCancelIrp(irp);
}

void ReuseWhileInFlight() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) { return sim::io::Hold(irp); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);
    IoReuseIrp(irp, STATUS_SUCCESS);
}

void CompleteWithCancelRoutineSet() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, CancelRoutineKeepingTheLock);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    SendThreaded(stack.Top(), &done, &ioStatus);
}

void DeleteDeviceStillAttached() {
    PDEVICE_OBJECT lower = sim::io::CreateBusDevice([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
    PDEVICE_OBJECT upper = sim::io::CreateBusDevice([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
    IoAttachDeviceToDeviceStack(upper, lower);
    sim::io::DeleteBusDevice(upper);  // IoDetachDevice(lower) first
}

// A linked driver with one device whose device-control dispatch routine is the case's; the
// routines below each break one rule of what a dispatch routine answers.
PDRIVER_DISPATCH g_dispatch = nullptr;

NTSTATUS DispatchTestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = g_dispatch;
    PDEVICE_OBJECT device = nullptr;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

void SendToDispatch(PDRIVER_DISPATCH dispatch) {
    g_dispatch = dispatch;
    sim::pnp::Driver* driver = nullptr;
    ASSERT_EQ(sim::pnp::LoadLinkedDriver(DispatchTestEntry, u"KvDispatchTest", &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = sim::pnp::DriverObjectOf(driver)->DeviceObject;
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = SendThreaded(device, &done, &ioStatus);
    (void)irp;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PendingWithoutMarkAfterCompleting(PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
}

KDPC g_completeLater;

NTSTATUS PendingWithoutMarkCompletedLater(PDEVICE_OBJECT, PIRP irp) {
    KeInitializeDpc(
        &g_completeLater,
        [](PKDPC, PVOID context, PVOID, PVOID) { Complete(static_cast<PIRP>(context), STATUS_SUCCESS); }, irp);
    KeInsertQueueDpc(&g_completeLater, nullptr, nullptr);
    return STATUS_PENDING;
}

NTSTATUS MarkedButAnswersSuccess(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AnswersOtherThanCompleted(PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS AnswersWithoutCompleting(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }

NTSTATUS ReturnsRaised(PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    KeRaiseIrqlToDpcLevel();
    return STATUS_SUCCESS;
}

NTSTATUS RoutineReturningRaised(PDEVICE_OBJECT, PIRP, PVOID) {
    KeRaiseIrqlToDpcLevel();
    return STATUS_SUCCESS;
}

void CompletionRoutineReturnsRaised() {
    DeviceStack stack;
    PDEVICE_OBJECT* lower = new PDEVICE_OBJECT(nullptr);
    *lower = stack.Push([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_SUCCESS); });
    stack.Push([lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RoutineReturningRaised, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(*lower, irp);
    });
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    SendThreaded(stack.Top(), &done, &ioStatus);
}

VOID DpcLoweringIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

void DpcReturnsLowered() {
    static KDPC dpc;
    KeInitializeDpc(&dpc, DpcLoweringIrql, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
}

VOID WorkItemRaisingIrql(PDEVICE_OBJECT, PVOID) { KeRaiseIrqlToDpcLevel(); }

void WorkItemReturnsRaised() {
    DeviceStack stack;
    stack.Push([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_SUCCESS); });
    PIO_WORKITEM item = IoAllocateWorkItem(stack.Top());
    IoQueueWorkItem(item, WorkItemRaisingIrql, DelayedWorkQueue, nullptr);
    LARGE_INTEGER second;
    second.QuadPart = -10'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
}

void SpinLockReleasedToAnotherIrql() {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL raisedFrom;
    KeRaiseIrql(APC_LEVEL, &raisedFrom);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // old is APC_LEVEL
}

INSTANTIATE_TEST_SUITE_P(
    DispatchAnswers, IoVerifier,
    testing::Values(
        DeathCase{"PendingWithoutMarkAfterCompleting", [] { SendToDispatch(PendingWithoutMarkAfterCompleting); },
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "the dispatch routine .*PendingWithoutMarkAfterCompleting.* at .*io_verifier_death_test.cpp:[0-9]+ "
                  "of .Driver.KvDispatchTest returned STATUS_PENDING for IRP 0x[0-9a-f]+ \\(major 0x0E\\) without "
                  "IoMarkIrpPending"},
        DeathCase{"PendingWithoutMarkCompletedLater", [] { SendToDispatch(PendingWithoutMarkCompletedLater); },
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "PendingWithoutMarkCompletedLater.* of .Driver.KvDispatchTest returned STATUS_PENDING .* without "
                  "IoMarkIrpPending"},
        DeathCase{"MarkedButAnswersSuccess", [] { SendToDispatch(MarkedButAnswersSuccess); },
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "MarkedButAnswersSuccess.* of .Driver.KvDispatchTest marked IRP 0x[0-9a-f]+ \\(major 0x0E\\) "
                  "pending with IoMarkIrpPending but returned 0x00000000 instead of STATUS_PENDING"},
        DeathCase{"AnswersOtherThanCompleted", [] { SendToDispatch(AnswersOtherThanCompleted); },
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "AnswersOtherThanCompleted.* returned 0xC0000001 for IRP 0x[0-9a-f]+ \\(major 0x0E\\) but "
                  "completed it with IoStatus.Status 0x00000000"},
        DeathCase{"AnswersWithoutCompleting", [] { SendToDispatch(AnswersWithoutCompleting); },
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "AnswersWithoutCompleting.* returned 0x00000000 for IRP 0x[0-9a-f]+ \\(major 0x0E\\) without "
                  "completing it"},
        DeathCase{"DispatchReturnsRaised", [] { SendToDispatch(ReturnsRaised); }, "IRQL_UNEXPECTED_VALUE",
                  "the dispatch routine .*ReturnsRaised.* of .Driver.KvDispatchTest returned at IRQL 2 for IRP "
                  "0x[0-9a-f]+ \\(major 0x0E\\), but was called at IRQL 0"},
        DeathCase{"CompletionRoutineReturnsRaised", CompletionRoutineReturnsRaised, "IRQL_UNEXPECTED_VALUE",
                  "the completion routine .*RoutineReturningRaised.* at .*io_verifier_death_test.cpp:[0-9]+ returned "
                  "at IRQL 2, but was called at IRQL 0"},
        DeathCase{"DpcReturnsLowered", DpcReturnsLowered, "IRQL_UNEXPECTED_VALUE",
                  "the DPC routine .*DpcLoweringIrql.* returned at IRQL 0, but was called at DISPATCH_LEVEL"},
        DeathCase{"WorkItemReturnsRaised", WorkItemReturnsRaised, "IRQL_UNEXPECTED_VALUE",
                  "the work item routine .*WorkItemRaisingIrql.* of .Driver.SimBus returned at IRQL 2, but was called "
                  "at PASSIVE_LEVEL"},
        DeathCase{"SpinLockReleasedToAnotherIrql", SpinLockReleasedToAnotherIrql, "IRQL_UNEXPECTED_VALUE",
                  "KeReleaseSpinLock of spin lock 0x[0-9a-f]+ with old IRQL 0, but KeAcquireSpinLock returned 1"}),
    kvtest::DeathCaseName);

INSTANTIATE_TEST_SUITE_P(
    Mistakes, IoVerifier,
    testing::Values(
        DeathCase{"CompleteTwice", CompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP 0x[0-9a-f]+, which was freed already .*SimBus"},
        DeathCase{"CompleteAgainAfterMoreProcessing", CompleteAgainAfterMoreProcessing,
                  "MULTIPLE_IRP_COMPLETE_REQUESTS", "completed twice"},
        DeathCase{"FreeWhileInFlight", FreeWhileInFlight, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "IoFreeIrp of IRP .* while it is in flight .*SimBus"},
        DeathCase{"CompletionRoutineNeverRuns", CompletionRoutineNeverRuns, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "SimBus although it set the completion routine"},
        DeathCase{"AllocatedIrpCompletedToTheTop", AllocatedIrpCompletedToTheTop, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "completed up to the I/O manager"},
        DeathCase{"NoStackLocationLeft", NoStackLocationLeft, "NO_MORE_IRP_STACK_LOCATIONS", "no stack location left"},
        DeathCase{"CancelRoutineKeepsTheLock", CancelRoutineKeepsTheLock, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "without releasing the cancel spin lock"},
        DeathCase{"ReuseWhileInFlight", ReuseWhileInFlight, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "IoReuseIrp of IRP .* in flight"},
        DeathCase{"CompleteWithCancelRoutineSet", CompleteWithCancelRoutineSet, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "cancel routine .* still set"},
        DeathCase{"DeleteDeviceStillAttached", DeleteDeviceStillAttached, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "still attached to"}),
    kvtest::DeathCaseName);

}  // namespace
