// Selective suspend: the 5-second idle check, the bus driver's idle notification request, and the
// device power requests the adapter makes for itself around it (D2 when the bus calls back, D0
// when the request ends while the device sleeps).
//
// Ownership of the idle request: the IRP pointer is exchanged out atomically; the completion
// routine and CancelIdleRequest each own one of the two owner counts, and whoever drops the last
// frees the IRP. The pending flag and the idle-done event change together under the idle spin
// lock: the flag is set exactly while the event is clear.
#include "driver/engine/adapter/UsbAudioAdapter.h"

#include <cstddef>

namespace {

// Handed from the idle check to its work item (non-paged, "USBd").
struct IdleWorkContext {
    UsbAudioAdapter* Adapter;
    PIO_WORKITEM WorkItem;
};
static_assert(sizeof(IdleWorkContext) == 16 && offsetof(IdleWorkContext, WorkItem) == 8);

// Handed from the idle callback to its D2 request (non-paged, "USBd").
struct SuspendRequestContext {
    UsbAudioAdapter* Adapter;
    PKEVENT Done;  // the callback's own event, on its stack
};
static_assert(sizeof(SuspendRequestContext) == 16 && offsetof(SuspendRequestContext, Done) == 8);

}  // namespace

BOOLEAN UsbAudioAdapter::IsIdle() const {
    return ReadNoFence(&m_IoInProgress) == 1 && ReadNoFence(&m_BusyCount) == 0;
}

void UsbAudioAdapter::ArmIdleTimer() {
    LARGE_INTEGER due;
    due.QuadPart = -UsbIdleCheckDueTime100ns;
    KeSetTimerEx(&m_IdleTimer, due, UsbIdleCheckPeriodMs, &m_IdleDpc);
}

void UsbAudioAdapter::StopIdleTimer() {
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();  // a check that already fired has queued its work item by now
}

// ---------------------------------------------------------------------------------------------
// The idle check

void UsbAudioAdapter::IdleTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* adapter = static_cast<UsbAudioAdapter*>(DeferredContext);
    auto* work = static_cast<IdleWorkContext*>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(IdleWorkContext), UsbAudioAdapterUsbTag));
    if (work == nullptr) return;  // the next check tries again

    // One work item at a time: a check that finds the last one still queued skips its turn, so
    // the work-done event never reports done while a work item is out.
    KeAcquireSpinLockAtDpcLevel(&adapter->m_IdleLock);
    const BOOLEAN queued = adapter->m_IdleWorkQueued != 0;
    if (!queued) {
        adapter->m_IdleWorkQueued = 1;
        KeClearEvent(&adapter->m_WorkDoneEvent);
    }
    KeReleaseSpinLockFromDpcLevel(&adapter->m_IdleLock);
    if (queued) {
        ExFreePoolWithTag(work, UsbAudioAdapterUsbTag);
        return;
    }

    if (adapter->IsIdle()) {
        work->Adapter = adapter;
        work->WorkItem = IoAllocateWorkItem(adapter->m_DeviceObject);
        if (work->WorkItem != nullptr) {
            // The idle request is sent at PASSIVE_LEVEL.
            IoQueueWorkItem(work->WorkItem, IdleWorkRoutine, DelayedWorkQueue, work);
            return;
        }
    }
    ExFreePoolWithTag(work, UsbAudioAdapterUsbTag);
    KeAcquireSpinLockAtDpcLevel(&adapter->m_IdleLock);
    adapter->m_IdleWorkQueued = 0;
    KeSetEvent(&adapter->m_WorkDoneEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLockFromDpcLevel(&adapter->m_IdleLock);
}

void UsbAudioAdapter::IdleWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* work = static_cast<IdleWorkContext*>(Context);
    UsbAudioAdapter* adapter = work->Adapter;
    if (adapter->IsIdle()) adapter->SubmitIdleRequest();
    IoFreeWorkItem(work->WorkItem);
    ExFreePoolWithTag(work, UsbAudioAdapterUsbTag);
    // Last: once the event is set the adapter may go.
    KIRQL irql;
    KeAcquireSpinLock(&adapter->m_IdleLock, &irql);
    adapter->m_IdleWorkQueued = 0;
    KeSetEvent(&adapter->m_WorkDoneEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&adapter->m_IdleLock, irql);
}

// ---------------------------------------------------------------------------------------------
// The idle request

NTSTATUS UsbAudioAdapter::SubmitIdleRequest() {
    PAGED_CODE();
    if (ReadNoFence(&m_PowerState) != PowerDeviceD0) return STATUS_POWER_STATE_INVALID;
    if (m_LowerDeviceObject == nullptr) return STATUS_INVALID_DEVICE_STATE;

    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    const LONG wasPending = InterlockedExchange(&m_IdleRequestPending, 1);
    if (wasPending == 0) KeClearEvent(&m_IdleDoneEvent);
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (wasPending != 0) return STATUS_DEVICE_BUSY;

    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(USB_IDLE_CALLBACK_INFO), UsbAudioAdapterUsbTag));
    PIRP irp = info != nullptr ? IoAllocateIrp(static_cast<CCHAR>(m_LowerDeviceObject->StackSize + 1), FALSE) : nullptr;
    BOOLEAN send = FALSE;
    if (irp != nullptr) {
        info->IdleCallback = IdleCallback;
        info->IdleContext = this;
        IoSetNextIrpStackLocation(irp);  // the driver's own location becomes current
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
        next->Parameters.DeviceIoControl.Type3InputBuffer = info;
        next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);

        // Published only when it is sent, so a cancel never meets an IRP that stays unsent.
        KeAcquireSpinLock(&m_IdleLock, &irql);
        send = IsIdle() && ReadNoFence(&m_PowerState) == PowerDeviceD0;
        if (send) {
            m_IdleCallbackInfo = info;
            InterlockedExchange(&m_IdleRequestOwners, 2);
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleIrp), irp);
        }
        KeReleaseSpinLock(&m_IdleLock, irql);
    }
    if (!send) {
        const NTSTATUS status = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_UNSUCCESSFUL;
        if (irp != nullptr) IoFreeIrp(irp);
        if (info != nullptr) ExFreePoolWithTag(info, UsbAudioAdapterUsbTag);
        KeAcquireSpinLock(&m_IdleLock, &irql);
        InterlockedExchange(&m_IdleRequestPending, 0);
        KeSetEvent(&m_IdleDoneEvent, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&m_IdleLock, irql);
        return status;
    }

    // No idle check while the request is out; its completion re-arms the timer.
    if (m_SelectiveSuspendEnabled) KeCancelTimer(&m_IdleTimer);
    IoSetCompletionRoutine(irp, IdleRequestCompletion, this, TRUE, TRUE, TRUE);
    return IofCallDriver(m_LowerDeviceObject, irp);
}

void UsbAudioAdapter::ReleaseIdleRequestOwner(PIRP Irp) {
    if (InterlockedDecrement(&m_IdleRequestOwners) != 0) return;
    IoFreeIrp(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    InterlockedExchange(&m_IdleRequestPending, 0);
    KeSetEvent(&m_IdleDoneEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_IdleLock, irql);
}

void UsbAudioAdapter::CancelIdleRequest() {
    PIRP irp = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    if (!IsIdle()) irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleIrp), nullptr));
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (irp == nullptr) return;
    // Outside the lock: the completion may run inside IoCancelIrp and takes the lock itself.
    IoCancelIrp(irp);
    ReleaseIdleRequestOwner(irp);
}

NTSTATUS UsbAudioAdapter::IdleRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* adapter = static_cast<UsbAudioAdapter*>(Context);
    const NTSTATUS status = Irp->IoStatus.Status;
    // Ended (cancelled, or the bus woke the device) while the device sleeps: back to D0. A bus
    // driver without selective suspend leaves the device where it is.
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && ReadNoFence(&adapter->m_PowerState) != PowerDeviceD0) {
        KeClearEvent(&adapter->m_D0RequestEvent);
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        if (!NT_SUCCESS(PoRequestPowerIrp(adapter->m_PhysicalDeviceObject, IRP_MN_SET_POWER, d0, WakeRequestComplete,
                                          adapter, nullptr))) {
            // No request, no completion: nothing is under way.
            KeSetEvent(&adapter->m_D0RequestEvent, IO_NO_INCREMENT, FALSE);
        }
    }

    KIRQL irql;
    KeAcquireSpinLock(&adapter->m_IdleLock, &irql);
    PUSB_IDLE_CALLBACK_INFO info = adapter->m_IdleCallbackInfo;
    adapter->m_IdleCallbackInfo = nullptr;
    const BOOLEAN mine =
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&adapter->m_IdleIrp), nullptr) != nullptr;
    KeReleaseSpinLock(&adapter->m_IdleLock, irql);
    if (info != nullptr) ExFreePoolWithTag(info, UsbAudioAdapterUsbTag);

    // Re-armed before the request counts as done: afterwards the adapter may go.
    if (adapter->m_SelectiveSuspendEnabled) adapter->ArmIdleTimer();
    if (mine) {
        // The cancel path never had it: this routine is its only owner.
        InterlockedExchange(&adapter->m_IdleRequestOwners, 1);
    }
    adapter->ReleaseIdleRequestOwner(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void UsbAudioAdapter::WakeRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                          PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    KeSetEvent(&static_cast<UsbAudioAdapter*>(Context)->m_D0RequestEvent, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------------------------
// The bus driver's idle callback: the device may suspend

void UsbAudioAdapter::IdleCallback(PVOID Context) {
    PAGED_CODE();
    auto* adapter = static_cast<UsbAudioAdapter*>(Context);
    auto* request = static_cast<SuspendRequestContext*>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(SuspendRequestContext), UsbAudioAdapterUsbTag));
    if (request == nullptr) return;  // the device stays in D0
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    request->Adapter = adapter;
    request->Done = &done;
    // The D2 request reaches PowerChangeState through the port-class library.
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    if (NT_SUCCESS(PoRequestPowerIrp(adapter->m_PhysicalDeviceObject, IRP_MN_SET_POWER, d2, SuspendRequestComplete,
                                     request, nullptr))) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else {
        ExFreePoolWithTag(request, UsbAudioAdapterUsbTag);
    }
}

void UsbAudioAdapter::SuspendRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                             PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    auto* request = static_cast<SuspendRequestContext*>(Context);
    PKEVENT done = request->Done;
    ExFreePoolWithTag(request, UsbAudioAdapterUsbTag);
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
}
