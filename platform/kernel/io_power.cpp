// Power IRPs: requests made with PoRequestPowerIrp travel through the device's whole stack and
// report back to the requester's completion function.
#include "io_irp.h"
#include "io_manager.h"

#include <sim/verifier.h>

#include <mutex>

namespace sim::io {
namespace {

struct PowerRequest {
    PDEVICE_OBJECT device;  // as passed to PoRequestPowerIrp
    PDEVICE_OBJECT top;     // referenced while the request is out
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    if (request->completion != nullptr) {
        request->completion(request->device, request->minor, request->state, request->context, &irp->IoStatus);
    }
    ObDereferenceObject(request->top);
    FreeIrp(irp, "power request done");
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::mutex g_powerLock;

}  // namespace
}  // namespace sim::io

using namespace sim::io;

KV_EXTERN_C NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "PoRequestPowerIrp at IRQL %u", KeGetCurrentIrql());
    }
    CheckedDevice(DeviceObject, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    auto* request = new PowerRequest{DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    // Power requests travel at PASSIVE_LEVEL: stacks of pageable drivers wait while they handle them.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        IoCallDriver(top, irp);
    } else {
        QueuePassiveWork([top, irp] { IoCallDriver(top, irp); });
    }
    return STATUS_PENDING;
}

KV_EXTERN_C VOID PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

KV_EXTERN_C NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

KV_EXTERN_C POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    _DEVOBJ_EXTENSION* ext = CheckedDevice(DeviceObject, "PoSetPowerState");
    if (Type != DevicePowerState) return State;
    std::lock_guard<std::mutex> guard(g_powerLock);
    POWER_STATE previous;
    previous.DeviceState = ext->powerState;
    ext->powerState = State.DeviceState;
    return previous;
}
