#include "driver/engine/uac1/Uac1UnitRequest.h"

#include "driver/engine/interfaces/UnitInterface.h"
#include "driver/engine/interfaces/UsbTransport.h"

NTSTATUS SendUac1UnitRequest(AdapterCommon* Hal, const Uac1UnitRequest& Request, PVOID Buffer, ULONG Length,
                             PULONG Received) {
    PAGED_CODE();
    if (Received != nullptr) *Received = 0;
    if (Hal == nullptr || (Length != 0 && Buffer == nullptr) || Length > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    UnitInterface<UsbTransport> transport(Hal, IID_UsbTransport);
    NTSTATUS status = transport.Status();
    if (!NT_SUCCESS(status)) return status;

    const USHORT index = static_cast<USHORT>(Request.EntityId << 8 | transport->GetControlInterfaceNumber());
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, Request.Function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          Request.In ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, 0, Request.Request,
                          Request.Value, index, Buffer, nullptr, Length, nullptr);
    status = transport->SubmitUrbSync(&urb);
    if (!NT_SUCCESS(status)) return status;
    if (!Request.In) return STATUS_SUCCESS;
    // Never trust an answer to be longer than the room it was given.
    const ULONG arrived = urb.UrbControlVendorClassRequest.TransferBufferLength <= Length
                              ? urb.UrbControlVendorClassRequest.TransferBufferLength
                              : Length;
    if (Received != nullptr) {
        *Received = arrived;
        return STATUS_SUCCESS;
    }
    // A fixed-size value cut short would be read as a different value.
    return arrived == Length ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

bool IsUac1UnitDescriptor(const UCHAR* Descriptor, UCHAR Subtype, ULONG MinimumLength) {
    return Descriptor != nullptr && Descriptor[0] >= MinimumLength && MinimumLength >= 3 &&
           Descriptor[1] == Uac1ClassInterfaceType && Descriptor[2] == Subtype;
}

namespace {

constexpr ULONG InputPinsOffset = 4;
constexpr ULONG SourceIdsOffset = 5;

// A MIXER_UNIT or SELECTOR_UNIT that holds bNrInPins source ids inside bLength.
bool HoldsSources(const UCHAR* Descriptor) {
    return Descriptor[0] > InputPinsOffset && Descriptor[0] >= SourceIdsOffset + Descriptor[InputPinsOffset];
}

}  // namespace

// The source ids of a mixer or selector unit (bNrInPins entries from byte 5) as the unit's
// sources. STATUS_INSUFFICIENT_RESOURCES without pool.
NTSTATUS SetUac1UnitSources(AudioNode* Unit, const UCHAR* Descriptor) {
    const ULONG count = Descriptor[InputPinsOffset];
    if (count == 0) return Unit->SetSources(0, nullptr);
    auto* ids = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), Uac1UnitTag));
    if (ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < count; ++i) ids[i] = Descriptor[SourceIdsOffset + i];
    const NTSTATUS status = Unit->SetSources(count, ids);
    ExFreePoolWithTag(ids, Uac1UnitTag);
    return status;
}

bool IsUac1UnitWithSources(const UCHAR* Descriptor, UCHAR Subtype) {
    return IsUac1UnitDescriptor(Descriptor, Subtype, SourceIdsOffset) && HoldsSources(Descriptor);
}

