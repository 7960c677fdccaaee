// Pins of wave-cyclic filters: the create checks the connection against the pin's descriptor and
// data ranges, asks the miniport for a stream, and joins the stream's service group; KSSTATE
// changes reach the stream one step at a time; the position answers running byte counts. The
// client (the audio engine) moves data through the stream's DMA channel by position.
#include "ks_objects.h"

#include <sim/portcls.h>
#include <sim/verifier.h>

#include <cstring>

namespace sim::portcls {
namespace {

bool SameOrWildcard(const GUID& range, const GUID& format) {
    return IsEqualGUID(range, GUID_NULL) || IsEqualGUID(range, format);
}

// Whether the data format lies inside one of the pin's ranges (audio ranges check channels, bits
// and rate of the wave format that follows the header).
bool FormatMatches(const KSPIN_DESCRIPTOR& pin, const UCHAR* format, ULONG formatSize) {
    KSDATAFORMAT head;
    std::memcpy(&head, format, sizeof(head));
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        const KSDATARANGE* range = pin.DataRanges[i];
        if (!IsEqualGUID(range->MajorFormat, head.MajorFormat) || !SameOrWildcard(range->SubFormat, head.SubFormat) ||
            !SameOrWildcard(range->Specifier, head.Specifier)) {
            continue;
        }
        if (!IsEqualGUID(head.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
            range->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
            return true;
        }
        if (formatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return false;
        const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
        WAVEFORMATEX wave;
        std::memcpy(&wave, format + sizeof(KSDATAFORMAT), sizeof(wave));
        ULONG bits = wave.wBitsPerSample;
        if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize >= 22 &&
            formatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)) {
            WAVEFORMATEXTENSIBLE extensible;
            std::memcpy(&extensible, format + sizeof(KSDATAFORMAT), sizeof(extensible));
            bits = extensible.Samples.wValidBitsPerSample;
        }
        if (wave.nChannels != 0 && wave.nChannels <= audio->MaximumChannels && bits >= audio->MinimumBitsPerSample &&
            bits <= audio->MaximumBitsPerSample && wave.nSamplesPerSec >= audio->MinimumSampleFrequency &&
            wave.nSamplesPerSec <= audio->MaximumSampleFrequency) {
            return true;
        }
    }
    return false;
}

bool InterfaceOffered(const KSPIN_DESCRIPTOR& pin, const KSPIN_INTERFACE& wanted) {
    if (pin.InterfacesCount == 0) {
        return IsEqualGUID(wanted.Set, KSINTERFACESETID_Standard) && wanted.Id == KSINTERFACE_STANDARD_STREAMING;
    }
    for (ULONG i = 0; i < pin.InterfacesCount; ++i) {
        if (IsEqualGUID(pin.Interfaces[i].Set, wanted.Set) && pin.Interfaces[i].Id == wanted.Id) return true;
    }
    return false;
}

// Steps the stream from its state to target one state at a time; stops at the first failure.
NTSTATUS StepState(KsPin* pin, KSSTATE target) {
    while (pin->state != target) {
        auto next = static_cast<KSSTATE>(pin->state + (target > pin->state ? 1 : -1));
        NTSTATUS status = pin->stream->SetState(next);
        if (!NT_SUCCESS(status)) return status;
        pin->state = next;
        if (next == KSSTATE_STOP) {
            pin->lastPosition = 0;
            pin->positionTotal = 0;
            pin->writtenTotal = 0;
        }
    }
    return STATUS_SUCCESS;
}

// Moves the running position by the stream's advance since the last query.
ULONGLONG UpdatePosition(KsPin* pin) {
    ULONG position = 0;
    if (!NT_SUCCESS(pin->stream->GetPosition(&position))) return pin->positionTotal;
    ULONG size = pin->dma->BufferSize();
    if (size != 0 && position < size) {
        pin->positionTotal += (position + size - pin->lastPosition % size) % size;
        pin->lastPosition = position;
    }
    return pin->positionTotal;
}

// Sizes the stream's buffer as the port does after a new stream or format: the notification
// frame size the stream answers, and a buffer of whole notification frames; a render buffer then
// starts out silent.
void PrepareBuffer(KsPin* pin) {
    pin->stream->SetNotificationFreq(10, &pin->framingSize);
    const ULONG allocated = pin->dma->AllocatedBufferSize();
    if (pin->framingSize != 0 && allocated > pin->framingSize) {
        const ULONG whole = allocated / pin->framingSize * pin->framingSize;
        if (whole < allocated) pin->dma->SetBufferSize(whole);
    }
    if (!pin->capture && pin->dma->SystemAddress() != nullptr) {
        pin->stream->Silence(pin->dma->SystemAddress(), pin->dma->BufferSize());
    }
}

}  // namespace

STDMETHODIMP PinServiceSink::QueryInterface(REFIID iid, PVOID* out) {
    if (out == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink)) {
        *out = static_cast<IServiceSink*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(void) PinServiceSink::RequestService() { ++m_services; }

NTSTATUS CreatePin(KsFilter* filter, PFILE_OBJECT filterFile, PFILE_OBJECT pinFile, const UCHAR* request,
                   ULONG length) {
    PAGED_CODE();
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    KSPIN_CONNECT connect;
    std::memcpy(&connect, request, sizeof(connect));
    KSDATAFORMAT head;
    std::memcpy(&head, request + sizeof(connect), sizeof(head));
    if (head.FormatSize < sizeof(KSDATAFORMAT) || head.FormatSize > length - sizeof(connect)) {
        return STATUS_INVALID_PARAMETER;
    }
    const PCFILTER_DESCRIPTOR* d = filter->self->Description();
    if (connect.PinId >= d->PinCount) return STATUS_INVALID_PARAMETER;
    const auto* descriptor =
        reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) + size_t(d->PinSize) * connect.PinId);
    const KSPIN_DESCRIPTOR& ks = descriptor->KsPinDescriptor;
    if (!IsEqualGUID(filter->self->PortClass(), CLSID_PortWaveCyclic) ||
        (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!InterfaceOffered(ks, connect.Interface)) return STATUS_NO_MATCH;
    if (!FormatMatches(ks, request + sizeof(connect), head.FormatSize)) return STATUS_NO_MATCH;
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (filter->pinInstances[connect.PinId] >= descriptor->MaxFilterInstanceCount ||
            GlobalPinInstances(filter->port, connect.PinId) >= descriptor->MaxGlobalInstanceCount) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ++filter->pinInstances[connect.PinId];
        CountGlobalPinInstance(filter->port, connect.PinId, +1);
    }
    auto* pin = new KsPin();
    pin->filter = filter;
    pin->filterFile = filterFile;
    pin->pinId = connect.PinId;
    pin->capture = ks.DataFlow == KSPIN_DATAFLOW_OUT;
    pin->format.assign(request + sizeof(connect), request + sizeof(connect) + head.FormatSize);

    PMINIPORTWAVECYCLIC miniport = nullptr;
    NTSTATUS status = filter->miniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport));
    if (NT_SUCCESS(status)) {
        status = miniport->NewStream(&pin->stream, nullptr, NonPagedPoolNx, pin->pinId, pin->capture,
                                     reinterpret_cast<PKSDATAFORMAT>(pin->format.data()), &pin->dma,
                                     &pin->serviceGroup);
        miniport->Release();
    }
    if (NT_SUCCESS(status) && (pin->stream == nullptr || pin->dma == nullptr)) {
        sim::BugCheck("PORTCLS_BAD_STREAM", "NewStream succeeded without a stream or a DMA channel");
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(filter->lock);
            --filter->pinInstances[pin->pinId];
            CountGlobalPinInstance(filter->port, pin->pinId, -1);
        }
        delete pin;
        return status;
    }
    PrepareBuffer(pin);
    if (pin->serviceGroup != nullptr) pin->serviceGroup->AddMember(&pin->sink);
    ObReferenceObject(filterFile);
    pinFile->FsContext = pin;
    return STATUS_SUCCESS;
}

void ClosePin(KsPin* pin) {
    PAGED_CODE();
    pin->magic = 0;
    {
        std::lock_guard<std::mutex> guard(pin->lock);
        StepState(pin, KSSTATE_STOP);  // a failing step still ends with the stream released
    }
    if (pin->serviceGroup != nullptr) {
        pin->serviceGroup->RemoveMember(&pin->sink);
        pin->serviceGroup->Release();
    }
    pin->dma->Release();
    pin->stream->Release();
    {
        std::lock_guard<std::mutex> guard(pin->filter->lock);
        --pin->filter->pinInstances[pin->pinId];
        CountGlobalPinInstance(pin->filter->port, pin->pinId, -1);
    }
    ObDereferenceObject(pin->filterFile);
    delete pin;
}

NTSTATUS PinProperty(KsPin* pin, const KSPROPERTY& property, PVOID value, ULONG valueLength, ULONG_PTR* information) {
    const bool get = (property.Flags & KSPROPERTY_TYPE_GET) != 0;
    const bool set = (property.Flags & KSPROPERTY_TYPE_SET) != 0;
    std::lock_guard<std::mutex> guard(pin->lock);
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_STATE) {
        if (valueLength == 0 && get) {
            *information = sizeof(KSSTATE);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (valueLength < sizeof(KSSTATE)) return STATUS_BUFFER_TOO_SMALL;
        if (get) {
            std::memcpy(value, &pin->state, sizeof(KSSTATE));
            *information = sizeof(KSSTATE);
            return STATUS_SUCCESS;
        }
        if (!set) return STATUS_INVALID_DEVICE_REQUEST;
        KSSTATE target;
        std::memcpy(&target, value, sizeof(target));
        if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
        return StepState(pin, target);
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_DATAFORMAT && set) {
        // A new format for the open pin: it must lie in the pin's ranges; the stream decides.
        if (valueLength < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
        KSDATAFORMAT head;
        std::memcpy(&head, value, sizeof(head));
        if (head.FormatSize < sizeof(KSDATAFORMAT) || head.FormatSize > valueLength) return STATUS_INVALID_PARAMETER;
        const auto* d = pin->filter->self->Description();
        const auto* descriptor = reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                                          size_t(d->PinSize) * pin->pinId);
        const auto* bytes = static_cast<const UCHAR*>(value);
        if (!FormatMatches(descriptor->KsPinDescriptor, bytes, head.FormatSize)) return STATUS_NO_MATCH;
        std::vector<UCHAR> format(bytes, bytes + head.FormatSize);
        const NTSTATUS status = pin->stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
        if (!NT_SUCCESS(status)) return status;
        pin->format = std::move(format);
        PrepareBuffer(pin);
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_DATAFORMAT) {
        if (!get) return STATUS_INVALID_DEVICE_REQUEST;
        const auto size = static_cast<ULONG>(pin->format.size());
        if (valueLength == 0) {
            *information = size;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (valueLength < size) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(value, pin->format.data(), size);
        *information = size;
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Audio) && property.Id == KSPROPERTY_AUDIO_POSITION) {
        if (!get) return STATUS_INVALID_DEVICE_REQUEST;
        if (valueLength < sizeof(KSAUDIO_POSITION)) return STATUS_BUFFER_TOO_SMALL;
        KSAUDIO_POSITION position{UpdatePosition(pin), pin->writtenTotal};
        std::memcpy(value, &position, sizeof(position));
        *information = sizeof(position);
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

// ---- simulation control ----

namespace {
KsPin* CheckedPin(PFILE_OBJECT file, const char* caller) {
    KsPin* pin = PinOf(file);
    if (pin == nullptr) sim::BugCheck("SIM_MISUSE", "%s: file %p is not an open pin", caller, static_cast<void*>(file));
    return pin;
}

bool CopyThroughDma(KsPin* pin, ULONG offset, void* client, ULONG length, bool toBuffer) {
    ULONG size = pin->dma->BufferSize();
    if (offset > size || length > size - offset) return false;
    auto* buffer = static_cast<PUCHAR>(pin->dma->SystemAddress()) + offset;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (toBuffer) {
        pin->dma->CopyTo(buffer, client, length);
    } else {
        pin->dma->CopyFrom(client, buffer, length);
    }
    KeLowerIrql(old);
    std::lock_guard<std::mutex> guard(pin->lock);
    pin->writtenTotal += length;
    return true;
}
}  // namespace

ULONG PinBufferSize(PFILE_OBJECT file) { return CheckedPin(file, "PinBufferSize")->dma->BufferSize(); }

bool PinWrite(PFILE_OBJECT file, ULONG offset, const void* data, ULONG length) {
    return CopyThroughDma(CheckedPin(file, "PinWrite"), offset, const_cast<void*>(data), length, true);
}

bool PinRead(PFILE_OBJECT file, ULONG offset, void* data, ULONG length) {
    return CopyThroughDma(CheckedPin(file, "PinRead"), offset, data, length, false);
}

ULONG PinServiceCount(PFILE_OBJECT file) { return CheckedPin(file, "PinServiceCount")->sink.Services(); }

NTSTATUS PinSetContentId(PFILE_OBJECT file, ULONG contentId, const DRMRIGHTS& rights) {
    KsPin* pin = CheckedPin(file, "PinSetContentId");
    PDRMAUDIOSTREAM drm = nullptr;
    if (!NT_SUCCESS(pin->stream->QueryInterface(IID_IDrmAudioStream, reinterpret_cast<PVOID*>(&drm))) || drm == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    const NTSTATUS status = drm->SetContentId(contentId, &rights);
    drm->Release();
    return status;
}

}  // namespace sim::portcls
