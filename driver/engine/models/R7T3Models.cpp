#include "driver/engine/models/R7T3Models.h"

#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG TerminalIdOffset = 3;
constexpr ULONG TerminalTypeOffset = 4;
constexpr UCHAR HeadphoneTerminalId = 6;
constexpr USHORT SpeakerTerminalType = 0x0301;
constexpr USHORT HeadphonesTerminalType = 0x0302;

NTSTATUS QueryTransport(PUNKNOWN Outer, UsbTransport** Transport) {
    *Transport = nullptr;
    if (Outer == nullptr) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = Outer->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(Transport));
    if (!NT_SUCCESS(status)) *Transport = nullptr;
    return NT_SUCCESS(status) && *Transport == nullptr ? STATUS_UNSUCCESSFUL : status;
}

// Terminal 6 of the vendor's R7U5 devices drives headphones though the descriptor says speaker.
void RewriteR7U5Headphones(Uac1AudioHal& Hal, UCHAR Subtype, PUCHAR Descriptor) {
    if (Hal.VendorId() != R7U5HeadphoneVendor || Subtype != Uac1OutputTerminalSubtype ||
        Descriptor[TerminalIdOffset] != HeadphoneTerminalId ||
        ReadLe16(Descriptor + TerminalTypeOffset) != SpeakerTerminalType) {
        return;
    }
    Descriptor[TerminalTypeOffset] = static_cast<UCHAR>(HeadphonesTerminalType & 0xFF);
    Descriptor[TerminalTypeOffset + 1] = static_cast<UCHAR>(HeadphonesTerminalType >> 8);
}

// Both walks: the model's pool tag and unit classes, no UAC 1.0 device rules, a source that names
// no unit is left unconnected.
constexpr Uac1WalkPolicy R7T3Policy = {
    .PoolTag = R7T3Tag,
    .UseUac1Quirks = false,
    .DanglingSourceFails = false,
    .AddUnit = AddR7T3Unit,
    .NewRenderStream = nullptr,
    .StartRenderWorker = nullptr,
    .AfterStreams = nullptr,
    .RewriteBeforeCreation = nullptr,
    .ShapeRenderFormat = nullptr,
};

constexpr Uac1WalkPolicy R7U5Policy = {
    .PoolTag = R7U5Tag,
    .UseUac1Quirks = false,
    .DanglingSourceFails = false,
    .AddUnit = AddR7U5Unit,
    .NewRenderStream = nullptr,
    .StartRenderWorker = nullptr,
    .AfterStreams = nullptr,
    .RewriteBeforeCreation = RewriteR7U5Headphones,
    .ShapeRenderFormat = nullptr,
};

}  // namespace

NTSTATUS CreateR7T3AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<R7T3AudioHal>(Unknown, UnknownOuter, ExDefaultNonPagedPoolType, R7T3Tag, VendorId, ProductId);
}

NTSTATUS CreateR7U5AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<R7U5AudioHal>(Unknown, UnknownOuter, ExDefaultNonPagedPoolType, R7U5Tag, VendorId, ProductId);
}

NTSTATUS R7ModelAudioHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (Interface == nullptr) return STATUS_INVALID_PARAMETER;
    const KernelInterface answers[] = {
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
    };
    const NTSTATUS status = AnswerQuery(InterfaceId, Interface, answers);
    if (NT_SUCCESS(status)) return status;
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS R7ModelAudioHal::Identify() {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(status)) return status;
    m_EndpointInfo = {};
    SetCapabilities();
    status = FindControlInterface();
    if (NT_SUCCESS(status)) status = FindStreamingInterfaces();
    if (NT_SUCCESS(status)) status = RestoreDeviceState();
    transport->Release();
    return status;
}

const Uac1WalkPolicy& R7T3AudioHal::WalkPolicy() const { return R7T3Policy; }

void R7T3AudioHal::SetCapabilities() {
    m_EndpointInfo.Capabilities = R7T3Capabilities;
    m_EndpointInfo.Value = R7T3CapabilityValue;
}

const Uac1WalkPolicy& R7U5AudioHal::WalkPolicy() const { return R7U5Policy; }

void R7U5AudioHal::SetCapabilities() {
    m_EndpointInfo.Capabilities = m_VendorId == R7U5HeadphoneVendor && m_ProductId == R7U5HeadsetProduct
                                      ? R7U5HeadsetCapabilities
                                      : R7U5Capabilities;
}
