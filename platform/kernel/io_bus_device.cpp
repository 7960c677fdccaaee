// Lower "bus" device objects built by platform code: each hands its IRPs to a BusDispatch and
// completes them synchronously or, by default, later on the DPC thread; held IRPs wait for a
// release or a cancel.
#include "io_manager.h"
#include "scheduler.h"

#include <sim/verifier.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace sim::io {

struct BusDevice {
    std::shared_ptr<BusDispatch> dispatch;
    std::atomic<Completion> mode;
};

namespace {

struct HeldIrps {
    std::mutex lock;
    std::map<PIRP, std::function<void(PIRP)>> irps;  // with their cancel callbacks
};

HeldIrps& Held() {
    static HeldIrps* held = new HeldIrps();  // lives as long as the process
    return *held;
}

BusDevice* BusOf(PDEVICE_OBJECT device, const char* caller) {
    _DEVOBJ_EXTENSION* ext = CheckedDevice(device, caller);
    if (ext->bus == nullptr) {
        sim::BugCheck("NOT_SIMULATED", "%s: device %p of %s is not a bus device", caller, static_cast<void*>(device),
                      DriverNameOf(device).c_str());
    }
    return ext->bus;
}

void CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CheckFinishStatus(NTSTATUS status) {
    if (status == STATUS_PENDING) sim::BugCheck("NOT_SIMULATED", "a bus device finished an IRP with STATUS_PENDING");
}

VOID HeldIrpCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::function<void(PIRP)> onCancel;
    {
        HeldIrps& h = Held();
        std::lock_guard<std::mutex> guard(h.lock);
        auto it = h.irps.find(irp);
        if (it != h.irps.end()) {
            onCancel = std::move(it->second);
            h.irps.erase(it);
        }
    }
    if (onCancel) onCancel(irp);
    CompleteNow(irp, STATUS_CANCELLED, 0);
}

}  // namespace

NTSTATUS BusDeviceDispatch(PDEVICE_OBJECT device, PIRP irp) {
    std::shared_ptr<BusDispatch> dispatch = BusOf(device, "bus dispatch")->dispatch;
    return (*dispatch)(device, irp);
}

PDEVICE_OBJECT CreateBusDevice(BusDispatch dispatch, Completion mode, std::u16string_view name) {
    std::u16string nameCopy(name);
    UNICODE_STRING deviceName{static_cast<USHORT>(nameCopy.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(nameCopy.size() * sizeof(WCHAR)), nameCopy.data()};
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(BusDriver(), 0, nameCopy.empty() ? nullptr : &deviceName,
                                     FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return nullptr;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->DeviceObjectExtension->bus = new BusDevice{std::make_shared<BusDispatch>(std::move(dispatch)), {mode}};
    return device;
}

void DeleteBusDevice(PDEVICE_OBJECT device) {
    BusDevice* bus = BusOf(device, "DeleteBusDevice");
    IoDeleteDevice(device);
    delete bus;
}

void SetCompletionMode(PDEVICE_OBJECT device, Completion mode) { BusOf(device, "SetCompletionMode")->mode = mode; }

Completion CompletionMode(PDEVICE_OBJECT device) { return BusOf(device, "CompletionMode")->mode; }

bool IsBusDevice(PDEVICE_OBJECT device) { return CheckedDevice(device, "IsBusDevice")->bus != nullptr; }

NTSTATUS Finish(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    CheckFinishStatus(status);
    if (CompletionMode(device) == Completion::Synchronous) {
        CompleteNow(irp, status, information);
        return status;
    }
    IoMarkIrpPending(irp);
    sim::ke::QueueDispatchWork([irp, status, information] { CompleteNow(irp, status, information); });
    return STATUS_PENDING;
}

NTSTATUS FinishAt(sim::machine::Time due, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    CheckFinishStatus(status);
    IoMarkIrpPending(irp);
    sim::ke::ScheduleDispatchWork(due, [irp, status, information] { CompleteNow(irp, status, information); });
    return STATUS_PENDING;
}

NTSTATUS Hold(PIRP irp, std::function<void(PIRP)> onCancel) {
    IoMarkIrpPending(irp);
    {
        HeldIrps& h = Held();
        std::lock_guard<std::mutex> guard(h.lock);
        h.irps[irp] = std::move(onCancel);
    }
    IoSetCancelRoutine(irp, HeldIrpCancel);
    // Cancelled before the routine was in place: nobody will call it, so cancel here.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->CancelIrql = irql;
        HeldIrpCancel(nullptr, irp);
    }
    return STATUS_PENDING;
}

bool Release(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    CheckFinishStatus(status);
    {
        HeldIrps& h = Held();
        std::lock_guard<std::mutex> guard(h.lock);
        auto it = h.irps.find(irp);
        if (it == h.irps.end()) return false;
        // A null routine means the cancel path owns the IRP now.
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
        h.irps.erase(it);
    }
    sim::ke::QueueDispatchWork([irp, status, information] { CompleteNow(irp, status, information); });
    return true;
}

size_t HeldIrpCount() {
    HeldIrps& h = Held();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.irps.size();
}

}  // namespace sim::io
