// The adapter's UsbTransport operations: synchronous URBs with the 500 ms time-out, the lower
// driver's IRPs, the bus frame, and port status, reset and cycle with the device-gone latch.
#include "driver/engine/adapter/UsbAudioAdapter.h"

#include "driver/engine/stream/UsbAudioStream.h"

PUSB_CONFIGURATION_DESCRIPTOR UsbAudioAdapter::GetConfigurationDescriptor() { return m_ConfigurationDescriptor; }

USBD_CONFIGURATION_HANDLE UsbAudioAdapter::GetConfigurationHandle() { return m_ConfigurationHandle; }

UCHAR UsbAudioAdapter::GetControlInterfaceNumber() { return m_ControlInterfaceNumber; }

NTSTATUS UsbAudioAdapter::SetDevicePresent(UCHAR Present) {
    WriteNoFence(&m_DevicePresent, Present != 0 ? 1u : 0u);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT UsbAudioAdapter::GetLowerDeviceObject() { return m_LowerDeviceObject; }

UCHAR UsbAudioAdapter::IsHighSpeed() { return m_HighSpeed; }

LONG UsbAudioAdapter::AddBusy() { return InterlockedIncrement(&m_BusyCount); }

LONG UsbAudioAdapter::ReleaseBusy() { return InterlockedDecrement(&m_BusyCount); }

NTSTATUS UsbAudioAdapter::CallLowerDriver(PIRP Irp) {
    if (Irp == nullptr) return STATUS_INVALID_PARAMETER;
    return IofCallDriver(m_LowerDeviceObject, Irp);
}

PIRP UsbAudioAdapter::AllocateIrp() {
    PAGED_CODE();
    return IoAllocateIrp(m_IrpStackSize, FALSE);
}

NTSTATUS UsbAudioAdapter::FreeIrp(PIRP Irp) {
    if (Irp != nullptr) IoFreeIrp(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::QueryBusTime(PULONG CurrentFrame) {
    if (CurrentFrame == nullptr) return STATUS_INVALID_PARAMETER;
    *CurrentFrame = 0;
    // Without the bus interface there is no frame to tell.
    if (m_BusInterface.QueryBusTime == nullptr || m_BusInterface.BusContext == nullptr) return STATUS_UNSUCCESSFUL;
    ULONG frame = 0;
    const NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame);
    if (NT_SUCCESS(status)) *CurrentFrame = frame;
    return status;
}

NTSTATUS UsbAudioAdapter::SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The IRP stays the sender's: it frees it after reading the status.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UsbAudioAdapter::SubmitUrbSync(PURB Urb) {
    PAGED_CODE();
    if (Urb == nullptr) return STATUS_INVALID_PARAMETER;
    if (ReadNoFence(&m_DevicePresent) == 0) return STATUS_UNSUCCESSFUL;

    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoSetNextIrpStackLocation(irp);  // the driver's own location becomes current
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    InterlockedIncrement(&m_IoInProgress);
    NTSTATUS status = IofCallDriver(m_LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -UsbTransportUrbTimeout100ns;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            DbgPrint("UsbAudioAdapter::SubmitUrbSync: URB function 0x%04X unanswered after 500 ms, cancelled\n",
                     Urb->UrbHeader.Function);
            IoCancelIrp(irp);
            // The IRP is freed only after its completion routine ran.
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
    }
    status = irp->IoStatus.Status;
    if (status == STATUS_DEVICE_NOT_CONNECTED) WriteNoFence(&m_DevicePresent, 0u);
    IoFreeIrp(irp);
    InterlockedDecrement(&m_IoInProgress);
    return status;
}

NTSTATUS UsbAudioAdapter::SendPortRequest(ULONG IoControlCode, PVOID Argument1, BOOLEAN* Built) {
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, m_LowerDeviceObject, nullptr, 0, nullptr, 0, TRUE, &done,
                                             &ioStatus);
    *Built = irp != nullptr;
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
    NTSTATUS status = IofCallDriver(m_LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

BOOLEAN UsbAudioAdapter::CheckPortStatus() {
    PAGED_CODE();
    if (ReadNoFence(&m_DevicePresent) == 0) return TRUE;

    BOOLEAN present = TRUE;
    BOOLEAN resetPort = FALSE;
    m_PortStatusMutex.Lock();
    ULONG portStatus = 0;
    BOOLEAN built = FALSE;
    NTSTATUS status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &built);
    if (built && NT_SUCCESS(status)) {
        present = (portStatus & USBD_PORT_CONNECTED) != 0;
    } else if (built && status == STATUS_NO_SUCH_DEVICE) {
        // Ask once more after 100 ms; a port that still answers gets reset, one that does not
        // gets cycled.
        LARGE_INTEGER delay;
        delay.QuadPart = -100 * 10'000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        portStatus = 0;
        status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &built);
        if (!built) {
            present = FALSE;
        } else if (!NT_SUCCESS(status)) {
            present = !CyclePort();
        } else if ((portStatus & USBD_PORT_CONNECTED) == 0) {
            present = FALSE;
        } else {
            resetPort = TRUE;
        }
    } else {
        present = FALSE;
    }
    if (!present) WriteNoFence(&m_DevicePresent, 0u);
    m_PortStatusMutex.Unlock();

    // One reset at a time; a stream that finds one under way recovers on its own.
    if (resetPort && InterlockedCompareExchange(&m_PortResetting, 1, 0) == 0) {
        ResetPortQuiesced();
        InterlockedExchange(&m_PortResetting, 0);
    }
    return ReadNoFence(&m_DevicePresent) == 0;
}

void UsbAudioAdapter::ForEachUsbStream(BOOLEAN Drain) {
    PAGED_CODE();
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || engine == nullptr) continue;
        StreamClients* clients = nullptr;
        if (!NT_SUCCESS(engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&clients)))) continue;
        auto* stream = static_cast<UsbAudioStream*>(clients);
        if (Drain) {
            stream->DrainForPortReset();
        } else {
            stream->ResumeAfterPortReset();
        }
        clients->Release();
    }
}

void UsbAudioAdapter::ResetPortQuiesced() {
    PAGED_CODE();
    // The bus driver resets a port only once its client has no request outstanding: every stream
    // lets its transfers come back and the HAL stops (its status request ends) first. These run
    // without the port-status mutex, a leaf lock: the HAL's power handling takes its streams' locks.
    POWER_STATE state;
    ForEachUsbStream(TRUE);
    if (m_HalPowerManagement != nullptr) {
        state.DeviceState = PowerDeviceD3;
        m_HalPowerManagement->PowerChangeState(state);
    }
    m_PortStatusMutex.Lock();
    BOOLEAN built = FALSE;
    SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &built);
    if (!built) WriteNoFence(&m_DevicePresent, 0u);
    m_PortStatusMutex.Unlock();
    // After the reset the HAL restores its state as after a power cycle, and the streams go on.
    if (m_HalPowerManagement != nullptr) {
        state.DeviceState = PowerDeviceD0;
        m_HalPowerManagement->PowerChangeState(state);
    }
    ForEachUsbStream(FALSE);
}

BOOLEAN UsbAudioAdapter::CyclePort() {
    PAGED_CODE();
    if (InterlockedExchange(&m_PortCycled, 1) == 0) {
        BOOLEAN built = FALSE;
        SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, &built);
        // Whatever the answer, the bus driver enumerates the device anew.
        WriteNoFence(&m_DevicePresent, 0u);
    }
    return ReadNoFence(&m_DevicePresent) == 0;
}
