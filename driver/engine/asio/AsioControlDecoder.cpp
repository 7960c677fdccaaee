// The device-control decoder of the private ASIO interface. Any process can open the interface, so
// every length is checked before a byte of the system buffer is read, the output area beyond the
// input is zeroed before an operation runs, and Information counts only bytes that an operation
// wrote (or, for a size query sent without an output buffer, the size needed).
#include "driver/engine/asio/AsioControlDecoder.h"

namespace {

// What one request brings: the system buffer holds the input on entry and the output on return;
// it is max(In, Out) bytes long.
struct Request {
    PIRP Irp;
    PFILE_OBJECT File;
    PUCHAR Buffer;
    ULONG In;
    ULONG Out;
    bool Is32bit;

    bool HasInput(ULONG Bytes) const { return Buffer != nullptr && In >= Bytes; }
    bool HasOutput(ULONG Bytes) const { return Buffer != nullptr && Out >= Bytes; }
    // A 32-bit caller sends a 4-byte handle, a 64-bit caller exactly 8 bytes.
    bool HasHandle() const { return Buffer != nullptr && In == (Is32bit ? 4u : 8u); }
    ULONG InputValue() const {
        ULONG value;
        RtlCopyMemory(&value, Buffer, sizeof(value));
        return value;
    }
    ULONGLONG InputHandle() const {
        if (Is32bit) return InputValue();
        ULONGLONG value;
        RtlCopyMemory(&value, Buffer, sizeof(value));
        return value;
    }
    // Information for codes that return Length bytes: on success and on a size query's overflow.
    void Answer(NTSTATUS Status, ULONG Length) const {
        if (NT_SUCCESS(Status) || Status == STATUS_BUFFER_OVERFLOW) Irp->IoStatus.Information = Length;
    }
};

// A variable-length answer: the operation writes at most Out bytes; Out 0 asks for the size.
template <typename Operation>
NTSTATUS SizedAnswer(const Request& R, Operation Call) {
    ULONG length = R.Out;
    const NTSTATUS status = Call(R.Out != 0 ? R.Buffer : nullptr, &length);
    // An operation never reports more than it had room for, except the size a size query asks.
    if (R.Out != 0 && length > R.Out) length = R.Out;
    R.Answer(status, length);
    return status;
}

NTSTATUS CreateBuffers(AsioPrivateInterface* Asio, const Request& R) {
    // The header, then every channel entry the header announces, counted in 64 bits.
    if (!R.HasInput(sizeof(AsioCreateBuffersHeader))) return STATUS_INVALID_PARAMETER;
    AsioCreateBuffersHeader header;
    RtlCopyMemory(&header, R.Buffer, sizeof(header));
    const ULONGLONG needed = sizeof(AsioCreateBuffersHeader) + ULONGLONG{sizeof(AsioBufferChannel)} * header.ChannelCount;
    if (R.In < needed) return STATUS_INVALID_PARAMETER;

    if (!R.Is32bit) {
        // The system buffer is both the request and the address table: the service reads the whole
        // request before it writes an address.
        ULONG length = R.Out;
        const NTSTATUS status = Asio->CreateBuffers(R.File, R.Buffer, R.Out != 0 ? R.Buffer : nullptr, &length);
        if (NT_SUCCESS(status) && length <= R.Out) R.Irp->IoStatus.Information = length;
        return status;
    }
    // A 32-bit caller gets the 8-byte addresses in 4 bytes, each below 4 GB.
    if (R.Out == 0) {
        ULONG length = 0;
        return Asio->CreateBuffers(R.File, R.Buffer, nullptr, &length);
    }
    const ULONGLONG wide = ULONGLONG{R.Out} * 2;
    if (wide > MAXULONG) return STATUS_INVALID_PARAMETER;
    auto* table = static_cast<PULONGLONG>(ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(wide), AsioDecoderTableTag));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(table, static_cast<SIZE_T>(wide));
    ULONG length = static_cast<ULONG>(wide);
    const NTSTATUS status = Asio->CreateBuffers(R.File, R.Buffer, table, &length);
    NTSTATUS answer = status;
    bool narrow = NT_SUCCESS(status) && length <= wide;
    for (ULONG i = 0; narrow && i < length / sizeof(ULONGLONG); ++i) narrow = (table[i] >> 32) == 0;
    if (NT_SUCCESS(status) && !narrow) {
        // An address a 32-bit process cannot reach: the rings are no use to it.
        Asio->DisposeBuffers(R.File);
        answer = STATUS_INVALID_ADDRESS;
    }
    if (narrow) {
        const ULONG entries = length / sizeof(ULONGLONG);
        for (ULONG i = 0; i < entries; ++i) {
            const ULONG low = static_cast<ULONG>(table[i]);
            RtlCopyMemory(R.Buffer + i * sizeof(ULONG), &low, sizeof(low));
        }
        R.Irp->IoStatus.Information = entries * sizeof(ULONG);
    }
    ExFreePoolWithTag(table, AsioDecoderTableTag);
    return answer;
}

}  // namespace

NTSTATUS DispatchAsioControl(AsioPrivateInterface* Asio, PIRP Irp) {
    PAGED_CODE();
    if (Asio == nullptr || Irp == nullptr) return STATUS_INVALID_PARAMETER;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Request r{
        .Irp = Irp,
        .File = stack->FileObject,
        .Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
        .In = stack->Parameters.DeviceIoControl.InputBufferLength,
        .Out = stack->Parameters.DeviceIoControl.OutputBufferLength,
        .Is32bit = IoIs32bitProcess(Irp) != FALSE,
    };
    Irp->IoStatus.Information = 0;
    // No kernel byte may travel back: what an operation leaves unwritten of the output is zero.
    if (r.Buffer != nullptr && r.Out > r.In) RtlZeroMemory(r.Buffer + r.In, r.Out - r.In);

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ASIO_GET_DEVICE_NAME:
        return SizedAnswer(r, [&](PVOID b, PULONG l) { return Asio->GetDeviceName(r.File, b, l); });
    case IOCTL_ASIO_GET_BIT_DEPTHS:
        return SizedAnswer(r, [&](PVOID b, PULONG l) { return Asio->GetBitDepths(r.File, b, l); });
    case IOCTL_ASIO_GET_LATENCY_CHOICES:
        return SizedAnswer(r, [&](PVOID b, PULONG l) { return Asio->GetLatencyChoices(r.File, b, l); });
    case IOCTL_ASIO_GET_CHANNELS: {
        if (!r.HasOutput(sizeof(AsioChannelCounts))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetChannels(r.File, r.Buffer, r.Out);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(AsioChannelCounts);
        return status;
    }
    case IOCTL_ASIO_GET_CHANNEL_INFO: {
        if (!r.HasInput(AsioChannelInfoInputBytes) || !r.HasOutput(sizeof(ASIOChannelInfo))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetChannelInfo(r.File, r.Buffer, r.Out);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(ASIOChannelInfo);
        return status;
    }
    case IOCTL_ASIO_SET_NOTIFY_EVENT: {
        if (!r.HasHandle()) return STATUS_INVALID_PARAMETER;
        ULONGLONG handle = r.InputHandle();
        return Asio->SetNotifyEvent(r.File, &handle);
    }
    case IOCTL_ASIO_GET_STATE: {
        // The answer is 4 bytes: an empty output asks for that size.
        if (r.Out == 0) {
            Irp->IoStatus.Information = sizeof(ULONG);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (!r.HasOutput(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        const NTSTATUS status = Asio->GetState(r.File, r.Buffer);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(ULONG);
        return status;
    }
    case IOCTL_ASIO_SET_BIT_DEPTH:
        if (!r.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        return Asio->SetBitDepth(r.File, r.InputValue());
    case IOCTL_ASIO_SET_LATENCY: {
        if (!r.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        NTSTATUS status = Asio->SetLatency(r.File, r.InputValue());
        if (NT_SUCCESS(status) && r.HasOutput(sizeof(AsioLatencies))) {
            status = Asio->GetLatencies(r.File, r.Buffer);
            if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(AsioLatencies);
        }
        return status;
    }
    case IOCTL_ASIO_GET_LATENCIES: {
        if (!r.HasOutput(sizeof(AsioLatencies))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetLatencies(r.File, r.Buffer);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(AsioLatencies);
        return status;
    }
    case IOCTL_ASIO_GET_SAMPLE_RATE: {
        if (!r.HasOutput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetSampleRate(r.File, r.Buffer);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(ULONG);
        return status;
    }
    case IOCTL_ASIO_CAN_SAMPLE_RATE:
    case IOCTL_ASIO_SET_SAMPLE_RATE: {
        if (!r.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        ULONG rate = r.InputValue();
        return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_ASIO_CAN_SAMPLE_RATE
                   ? Asio->CanSampleRate(r.File, &rate)
                   : Asio->SetSampleRate(r.File, &rate);
    }
    case IOCTL_ASIO_GET_BUFFER_SIZE: {
        if (!r.HasOutput(sizeof(AsioBufferSizes))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetBufferSize(r.File, r.Buffer);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(AsioBufferSizes);
        return status;
    }
    case IOCTL_ASIO_CREATE_BUFFERS:
        return CreateBuffers(Asio, r);
    case IOCTL_ASIO_DISPOSE_BUFFERS:
        return Asio->DisposeBuffers(r.File);
    case IOCTL_ASIO_START: {
        if (!r.HasHandle()) return STATUS_INVALID_PARAMETER;
        ULONGLONG handle = r.InputHandle();
        return Asio->Start(r.File, &handle);
    }
    case IOCTL_ASIO_STOP:
        if (r.In != 0) return STATUS_INVALID_PARAMETER;
        return Asio->Stop(r.File, Irp);
    case IOCTL_ASIO_CLEAR_NOTIFY_EVENT:
        if (r.In != 0) return STATUS_INVALID_PARAMETER;
        return Asio->ClearNotifyEvent(r.File);
    case IOCTL_ASIO_CAN_DO_IO_FORMAT:
    case IOCTL_ASIO_SET_IO_FORMAT: {
        if (!r.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        ULONG kind = r.InputValue();
        return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_ASIO_CAN_DO_IO_FORMAT
                   ? Asio->CanDoIoFormat(r.File, &kind)
                   : Asio->SetIoFormat(r.File, &kind);
    }
    case IOCTL_ASIO_GET_IO_FORMAT: {
        if (!r.HasOutput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = Asio->GetIoFormat(r.File, r.Buffer);
        if (NT_SUCCESS(status)) Irp->IoStatus.Information = sizeof(ULONG);
        return status;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}
