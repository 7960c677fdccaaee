#include "driver/engine/models/W4M3AudioHal.h"

#include "driver/engine/models/W4M3FeatureUnit.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"
#include "driver/engine/uac1/Uac1MixerUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"
#include "driver/engine/uac1/Uac1Terminals.h"
#include "driver/engine/uac1/W4M3PlaybackStream.h"

namespace {

// The clients play eight channels (front pair, centre, LFE, back pair, side pair); the stream
// keeps the first two for the device.
constexpr WORD RenderChannels = 8;
constexpr ULONG RenderChannelMask = 0x63F;

NTSTATUS AddW4M3Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    PAGED_CODE();
    switch (Subtype) {
    case Uac1InputTerminalSubtype: return AddNewUnit<InputTerminal>(Hal, Descriptor);
    case Uac1OutputTerminalSubtype: return AddNewUnit<OutputTerminal>(Hal, Descriptor);
    case Uac1MixerUnitSubtype: return AddNewUnit<MixerUnit>(Hal, Descriptor);
    case Uac1SelectorUnitSubtype: return AddNewUnit<SelectorUnit>(Hal, Descriptor);
    // Whatever its id: the effect controls live on every feature unit that declares them.
    case Uac1FeatureUnitSubtype: return AddNewUnit<W4M3FeatureUnit>(Hal, Descriptor);
    default: return STATUS_UNSUCCESSFUL;
    }
}

UsbAudioStream* NewW4M3RenderStream(Uac1AudioHal& Hal, ULONG Interface, ULONG TerminalControlId) {
    PAGED_CODE();
    auto* stream = new (ExDefaultNonPagedPoolType, Hal.WalkPolicy().PoolTag) W4M3PlaybackStream(nullptr, Interface, TerminalControlId);
    if (stream != nullptr) stream->NonDelegatingAddRef();
    return stream;
}

// Whatever the device's channel count: eight channels to the host, frames of eight samples of
// the descriptor's subframe size.
void OfferEightChannels(WAVEFORMATEXTENSIBLE* Format) {
    const WORD sampleBytes = static_cast<WORD>(Format->Format.wBitsPerSample / 8);
    Format->Format.nChannels = RenderChannels;
    Format->Format.nBlockAlign = static_cast<WORD>(RenderChannels * sampleBytes);
    Format->dwChannelMask = RenderChannelMask;
}

// Units from the UAC 1.0 classes with the W4M3 feature unit, the UAC 1.0 pool tag, no device
// rules by vendor and product, a source that names no unit is left unconnected, and the W4M3
// render stream (started as any USB stream) with its eight-channel formats.
constexpr Uac1WalkPolicy W4M3Policy = {
    .PoolTag = Uac1AudioHalTag,
    .UseUac1Quirks = false,
    .DanglingSourceFails = false,
    .AddUnit = AddW4M3Unit,
    .NewRenderStream = NewW4M3RenderStream,
    .StartRenderWorker = nullptr,
    .AfterStreams = nullptr,
    .RewriteBeforeCreation = nullptr,
    .ShapeRenderFormat = OfferEightChannels,
};

}  // namespace

NTSTATUS CreateW4M3AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<W4M3AudioHal>(Unknown, UnknownOuter, ExDefaultNonPagedPoolType, W4M3HalTag, VendorId, ProductId);
}

W4M3AudioHal::W4M3AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : Uac1AudioHal(UnknownOuter, VendorId, ProductId) {}

NTSTATUS W4M3AudioHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
    };
    const NTSTATUS status = AnswerQuery(InterfaceId, Interface, answers);
    if (NT_SUCCESS(status)) return status;
    if (Interface != nullptr) *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

const Uac1WalkPolicy& W4M3AudioHal::WalkPolicy() const { return W4M3Policy; }

NTSTATUS W4M3AudioHal::Identify() {
    PAGED_CODE();
    PUNKNOWN outer = GetOuterUnknown();
    UsbTransport* transport = nullptr;
    NTSTATUS status = outer != nullptr ? outer->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport))
                                       : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) return status;
    if (transport == nullptr) return STATUS_UNSUCCESSFUL;

    // The model comes in two variants, told apart by the bus they run on: the full-speed device
    // takes the first capability set, the high-speed one the second.
    m_EndpointInfo = {};
    if (transport->IsHighSpeed() != 0) {
        m_EndpointInfo.Capabilities = W4M3HighSpeedCapabilities;
        m_EndpointInfo.Value = W4M3HighSpeedValue;
    } else if (m_VendorId == W4M3OtherFirstSetVendor && m_ProductId == W4M3OtherFirstSetProduct) {
        m_EndpointInfo.Capabilities = W4M3OtherFirstSetCapabilities;
        m_EndpointInfo.Flags = W4M3OtherFirstSetFlags;
    } else {
        m_EndpointInfo.Capabilities = W4M3FullSpeedCapabilities;
        m_EndpointInfo.Flags = W4M3FullSpeedFlags;
    }

    status = FindControlInterface();
    if (NT_SUCCESS(status)) status = FindStreamingInterfaces();
    if (NT_SUCCESS(status)) status = RestoreDeviceState();
    transport->Release();
    return status;
}
