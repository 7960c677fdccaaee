// The create, close and device-control handlers. Requests on a file named after the private ASIO
// interface go to the adapter's AsioPrivateInterface; every other file (kernel-streaming filters
// and pins) goes to the port-class library. Both wake a selectively suspended device first.
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/InterfaceRef.h"

namespace {

bool HasStackLocation(PIRP Irp) { return Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount; }

bool IsAsioFile(PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return file != nullptr && RtlEqualUnicodeString(&file->FileName, &AsioFileName, TRUE);
}

// The adapter of a started device after it is awake, or null when the request is not for it.
AdapterCommon* AwakeAdapter(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    AdapterCommon* adapter = GetAdapterExtension(DeviceObject)->Adapter;
    if (adapter == nullptr || !HasStackLocation(Irp)) return nullptr;
    adapter->WaitIdle();
    return adapter;
}

enum class ClientOperation { Create, Close };

NTSTATUS DispatchAsioClient(PDEVICE_OBJECT DeviceObject, PIRP Irp, ClientOperation Operation) {
    PAGED_CODE();
    AdapterCommon* adapter = AwakeAdapter(DeviceObject, Irp);
    if (adapter == nullptr || !IsAsioFile(Irp)) return PcDispatchIrp(DeviceObject, Irp);

    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    InterfaceRef<AsioPrivateInterface> asio;
    NTSTATUS status = adapter->QueryInterface(IID_AsioPrivateInterface, asio.ReceiveVoid());
    if (NT_SUCCESS(status) && asio) {
        status = Operation == ClientOperation::Create ? asio->CreateClient(file) : asio->CloseClient(file);
    } else if (NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
    } else {
        status = STATUS_UNSUCCESSFUL;
        Irp->IoStatus.Status = status;
    }
    asio.Reset();
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchAsioClient(DeviceObject, Irp, ClientOperation::Create);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchAsioClient(DeviceObject, Irp, ClientOperation::Close);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    AdapterCommon* adapter = AwakeAdapter(DeviceObject, Irp);
    if (adapter == nullptr || !IsAsioFile(Irp)) return PcDispatchIrp(DeviceObject, Irp);

    Irp->IoStatus.Information = 0;
    InterfaceRef<AsioPrivateInterface> asio;
    NTSTATUS status = adapter->QueryInterface(IID_AsioPrivateInterface, asio.ReceiveVoid());
    if (NT_SUCCESS(status) && asio) {
        status = CurrentFrontCallees()->DispatchAsioControl(asio.Get(), Irp);
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    asio.Reset();
    // A pending request belongs to the ASIO service, which completes it later.
    if (status == STATUS_PENDING) return status;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
