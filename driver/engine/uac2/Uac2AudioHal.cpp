#include "driver/engine/uac2/Uac2AudioHal.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/MixerControl.h"
#include "driver/engine/hal/ClassDescriptors.h"
#include "driver/engine/uac2/Uac2Terminals.h"
#include "driver/engine/uac2/Uac2Units.h"

namespace {

constexpr UCHAR InterfaceDescriptorType = 4;
constexpr ULONG InterfaceDescriptorBytes = 9;
constexpr UCHAR AudioInterfaceClassCode = 1;
constexpr UCHAR Release2Protocol = 0x20;

// Interrupt message fields.
constexpr ULONG MessageInfo = 0;
constexpr ULONG MessageAttribute = 1;
constexpr ULONG MessageChannel = 2;   // wValue low byte
constexpr ULONG MessageSelector = 3;  // wValue high byte
constexpr ULONG MessageInterface = 4; // wIndex low byte
constexpr ULONG MessageEntity = 5;    // wIndex high byte
// bInfo bits 0 and 1 clear: class-specific, from an interface.
constexpr UCHAR MessageOriginMask = 0x3;
constexpr UCHAR MessageAttributeCur = 1;

constexpr ULONG ConnectorSelector = 2;

// Capability rows of one device, by endpoint type.
constexpr USHORT CapsDeviceVendor = 0x0B05;
constexpr USHORT CapsDeviceProduct = 0x17B1;
constexpr ULONG CaptureCapsMask = 0x28000;
constexpr ULONG CaptureFlags = 0x12;
constexpr ULONG RenderCapsMask = 0x3FE0FF;

NTSTATUS AddUnitOfSubtype(Uac2AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    switch (Subtype) {
        case Uac2InputTerminalSubtype: return Hal.AddNewUnit<Uac2InputTerminal>(Descriptor);
        case Uac2OutputTerminalSubtype: return Hal.AddNewUnit<Uac2OutputTerminal>(Descriptor);
        case Uac2MixerUnitSubtype:
        case Uac2ExtensionUnitSubtype: return Hal.AddNewUnit<PlainUnit>(Descriptor);
        case Uac2SelectorUnitSubtype: return Hal.AddNewUnit<Uac2SelectorUnit>(Descriptor);
        case Uac2FeatureUnitSubtype: return Hal.AddNewUnit<Uac2FeatureUnit>(Descriptor);
        case Uac2ClockSourceSubtype: return Hal.AddNewUnit<ClockSource>(Descriptor);
        default: return STATUS_UNSUCCESSFUL;
    }
}

const char* RefusedUnitName(UCHAR Subtype) {
    switch (Subtype) {
        case 7: return "effect unit";
        case 8: return "processing unit";
        case 11: return "clock selector";
        case 12: return "clock multiplier";
        default: return "unit";
    }
}

}  // namespace

NTSTATUS CreateUac2AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<Uac2AudioHal>(Unknown, UnknownOuter, ExDefaultNonPagedPoolType, Uac2AudioHalTag, VendorId, ProductId);
}

Uac2AudioHal::Uac2AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : Uac1AudioHal(UnknownOuter, VendorId, ProductId, Uac2AudioHalTag, Uac2StatusMessageBytes,
                   Uac2StatusThreadPriority) {}

// ---------------------------------------------------------------------------------------------
// Walks

NTSTATUS Uac2AudioHal::Identify() {
    PAGED_CODE();
    NTSTATUS status = FindControlInterface();
    if (NT_SUCCESS(status)) status = FindStreamingInterfaces();
    return status;
}

NTSTATUS Uac2AudioHal::BuildTopology(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) {
    PAGED_CODE();
    m_UnitLookups = 0;
    if (Interface == nullptr || Length < InterfaceDescriptorBytes) return STATUS_INVALID_PARAMETER;
    DescriptorIterator walk(reinterpret_cast<PUCHAR>(Interface), Length);
    const PUCHAR first = walk.Next();
    if (first == nullptr || first[0] < InterfaceDescriptorBytes || Interface->bDescriptorType != InterfaceDescriptorType ||
        Interface->bInterfaceClass != AudioInterfaceClassCode || Interface->bInterfaceSubClass != AudioControlSubclassCode ||
        Interface->bInterfaceProtocol != Release2Protocol) {
        return STATUS_INVALID_PARAMETER;
    }
    for (PUCHAR descriptor = walk.Next(); descriptor != nullptr; descriptor = walk.Next()) {
        if (descriptor[1] != AudioClassInterfaceType) return FinishTopology(0);
        const UCHAR subtype = descriptor[0] >= 3 ? descriptor[2] : 0;
        const ClassDescriptorRule* rule = FindClassDescriptorRule(AudioClassRelease2, AudioControlSubclassCode, subtype);
        if (rule == nullptr) {
            DbgPrint("Uac2AudioHal::BuildTopology: %s (AudioControl subtype %u) is not supported\n",
                     RefusedUnitName(subtype), subtype);
            return STATUS_UNSUCCESSFUL;
        }
        if (!ClassDescriptorFits(*rule, descriptor)) {
            DbgPrint("Uac2AudioHal::BuildTopology: subtype %u with bLength %u is too short\n", subtype, descriptor[0]);
            return STATUS_INVALID_PARAMETER;
        }
        if (subtype == Uac2HeaderSubtype) continue;
        const NTSTATUS status = AddUnitOfSubtype(*this, subtype, descriptor);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Uac2AudioHal::BuildTopology: unit %u (subtype %u) refused: 0x%08X\n", descriptor[3], subtype,
                     static_cast<ULONG>(status));
            return status;
        }
    }
    if (walk.Malformed()) {
        DbgPrint("Uac2AudioHal::BuildTopology: descriptor length runs past the configuration\n");
        return STATUS_UNSUCCESSFUL;
    }
    return FinishTopology(0);
}

NTSTATUS Uac2AudioHal::BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                    PUSB_INTERFACE_DESCRIPTOR FirstStreaming, ULONG Length) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Length);  // the walk is bounded by the configuration's wTotalLength
    if (FirstStreaming == nullptr) return STATUS_SUCCESS;
    NTSTATUS status = Uac2BuildStreams(*this, Configuration, FirstStreaming);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Uac2AudioHal::BuildStreams: AudioStreaming interfaces refused: 0x%08X\n", static_cast<ULONG>(status));
        return status;
    }
    return RegisterTerminalTypeListeners();
}

NTSTATUS Uac2AudioHal::ResolveTerminal(ULONG TerminalLink, ULONG* Direction, ULONG* TerminalControlId,
                                       ULONG* ClockControlId) {
    PAGED_CODE();
    UnitNode* terminal = nullptr;
    NTSTATUS status = FindUnit(TerminalLink, &terminal);
    if (!NT_SUCCESS(status)) return status;
    if (terminal->GetNodeKind() == Uac2InputTerminalSubtype) {
        *Direction = StreamDirectionRender;
    } else if (terminal->GetNodeKind() == Uac2OutputTerminalSubtype) {
        *Direction = StreamDirectionCapture;
    } else {
        DbgPrint("Uac2AudioHal::ResolveTerminal: entity %u is no terminal\n", TerminalLink);
        return STATUS_INVALID_PARAMETER;
    }
    status = terminal->GetOutputControlId(TerminalControlId);
    if (!NT_SUCCESS(status)) return status;

    Uac2TerminalExtra* extra = nullptr;
    status = terminal->QueryInterface(IID_Uac2TerminalExtra, reinterpret_cast<PVOID*>(&extra));
    if (!NT_SUCCESS(status)) return status;
    ULONG clockId = 0;
    status = extra->GetClockSourceId(&clockId);
    extra->Release();
    if (!NT_SUCCESS(status)) return status;
    UnitNode* clock = nullptr;
    // A clock id that names no clock source gives the stream no rates to offer.
    if (!NT_SUCCESS(FindUnit(clockId, &clock)) || clock->GetNodeKind() != Uac2ClockSourceSubtype) {
        DbgPrint("Uac2AudioHal::ResolveTerminal: terminal %u names clock %u, which is no clock source\n", TerminalLink,
                 clockId);
        return STATUS_INVALID_PARAMETER;
    }
    return clock->GetOutputControlId(ClockControlId);
}

NTSTATUS Uac2AudioHal::AdjustStreamPath(StreamEngine* Stream) {
    PAGED_CODE();
    if (Stream == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG count = Stream->GetNodeCount();
    if (count != 2 && Stream->GetDirection() == StreamDirectionCapture) {
        // Capture hears the mixers' inputs one at a time.
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* node = nullptr;
            if (!NT_SUCCESS(Stream->GetNode(i, &node)) || node->GetNodeKind() != NodeKindCode(NodeKind::Mixer)) continue;
            MixerControl* mixer = nullptr;
            if (NT_SUCCESS(node->QueryInterface(IID_MixerControl, reinterpret_cast<PVOID*>(&mixer))) && mixer != nullptr) {
                mixer->SetInputMode(TRUE);
                mixer->Release();
            }
        }
    }
    return Uac1AudioHal::AdjustStreamPath(Stream);
}

// ---------------------------------------------------------------------------------------------
// Changes

NTSTATUS Uac2AudioHal::NotifyUnitChange(ULONG EntityId, ULONG ControlSelector, ULONG Channel) {
    PAGED_CODE();
    UnitNode* unit = nullptr;
    NTSTATUS status = FindUnit(EntityId, &unit);
    if (!NT_SUCCESS(status)) return status;
    ULONG controlId = 0;
    status = unit->HandleStatusInterrupt(ControlSelector, Channel, &controlId);
    if (!NT_SUCCESS(status)) return status;
    const ULONG kind = unit->GetNodeKind();
    if (kind != Uac2InputTerminalSubtype && kind != Uac2OutputTerminalSubtype) {
        SendControlChange(m_CallbackObject, controlId);
        return status;
    }
    if (ControlSelector != ConnectorSelector) return status;
    // The jack state may have changed: every wave subdevice follows it.
    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        status = GetStreamEngine(i, &engine);
        if (NT_SUCCESS(status)) status = engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<AdapterCommon*>(this));
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}

void Uac2AudioHal::PauseBeforeReinstall() {
    PAGED_CODE();
    ULONG milliseconds = 0;
    if (!NT_SUCCESS(AccessSettingBinary(m_DeviceObject, SettingMode::Read, &milliseconds, sizeof(milliseconds),
                                        SettingName::UpdateMiniportDelay))) {
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// ---------------------------------------------------------------------------------------------
// Endpoint capabilities

NTSTATUS Uac2AudioHal::GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) {
    if (Info == nullptr) return STATUS_UNSUCCESSFUL;
    *Info = {};
    const ULONG spdif = EndpointTypeCode(EndpointType::Spdif);
    if (m_VendorId == CapsDeviceVendor && m_ProductId == CapsDeviceProduct) {
        if (EndpointType == EndpointTypeCode(EndpointType::Headphones)) {
            Info->Capabilities = 0x603F;
            Info->Flags = 3;
        } else if (EndpointType == EndpointTypeCode(EndpointType::Mic)) {
            Info->Capabilities = 0x29000;
        }
    } else if (Direction == StreamDirectionCapture) {
        if (EndpointType == spdif) return STATUS_SUCCESS;
        if (EndpointType == EndpointTypeCode(EndpointType::Mic) ||
            EndpointType == EndpointTypeCode(EndpointType::FrontMic) ||
            EndpointType == EndpointTypeCode(EndpointType::Record)) {
            Info->Capabilities = m_EndpointInfo.Capabilities & CaptureCapsMask;
        }
        Info->Flags = CaptureFlags;
    } else if (EndpointType == spdif) {
        if (GetStreamEngineCount() != 1) Info->Flags = m_EndpointInfo.Flags;
    } else {
        Info->Capabilities = m_EndpointInfo.Capabilities & RenderCapsMask;
        Info->Flags = m_EndpointInfo.Flags;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Status thread

struct Uac2AudioHal::StatusRead {
    PIRP Irp;
    PURB Urb;
    PUCHAR Buffer;
    ULONG Length;
    USBD_PIPE_HANDLE Pipe;
    PKEVENT Done;       // set while no request is outstanding
    bool Sent;          // submitted at least once
};

NTSTATUS Uac2AudioHal::SubmitRead(StatusRead& Read) {
    RtlZeroMemory(Read.Buffer, Read.Length);
    if (Read.Sent) IoReuseIrp(Read.Irp, STATUS_NOT_SUPPORTED);
    Read.Sent = true;
    return SendStatusRequest(GetOuterUnknown(), Read.Irp, Read.Urb, Read.Pipe, Read.Buffer, Read.Length, Read.Done,
                             StatusRequestDone);
}

void Uac2AudioHal::HandleMessage(const UCHAR* Message, ULONG Received) {
    PAGED_CODE();
    if (Received < Uac2StatusMessageBytes || (Message[MessageInfo] & MessageOriginMask) != 0 ||
        Message[MessageAttribute] != MessageAttributeCur || Message[MessageInterface] != m_ControlInterface) {
        return;
    }
    NotifyUnitChange(Message[MessageEntity], Message[MessageSelector], Message[MessageChannel]);
}

void Uac2AudioHal::RunStatusThread() {
    PAGED_CODE();
    StatusRead reads[2] = {};
    StatusRead& interrupt = reads[0];
    StatusRead& bulk = reads[1];
    interrupt.Length = Uac2StatusMessageBytes;
    bulk.Length = Uac2BulkReadBytes;
    interrupt.Pipe = m_pStatusInterface->Pipes[m_StatusPipe].PipeHandle;
    const bool hasBulk = m_BulkPipe != Uac1NoStatusPipe;
    if (hasBulk) bulk.Pipe = m_pStatusInterface->Pipes[m_BulkPipe].PipeHandle;

    bool ready = true;
    for (StatusRead& read : reads) {
        read.Done = static_cast<PKEVENT>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(KEVENT), Uac2AudioHalTag));
        if (read.Done == nullptr) {
            ready = false;
            continue;
        }
        KeInitializeEvent(read.Done, NotificationEvent, TRUE);
    }
    for (ULONG i = 0; ready && i < 2; ++i) {
        StatusRead& read = reads[i];
        if (&read == &bulk && !hasBulk) break;
        read.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, read.Length, Uac2AudioHalTag));
        read.Urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Uac1InterruptRequestBytes, Uac2AudioHalTag));
        UsbTransport* transport = nullptr;
        if (NT_SUCCESS(GetOuterUnknown()->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport))) &&
            transport != nullptr) {
            read.Irp = transport->AllocateIrp();
            transport->Release();
        }
        ready = read.Buffer != nullptr && read.Urb != nullptr && read.Irp != nullptr;
    }
    // The bulk read first: a failed interrupt submission then leaves it to cancel below.
    if (ready && hasBulk) ready = NT_SUCCESS(SubmitRead(bulk));
    if (ready) ready = NT_SUCCESS(SubmitRead(interrupt));

    while (ready) {
        PVOID waits[] = {interrupt.Done, &m_StopEvent, bulk.Done};
        const NTSTATUS woke = KeWaitForMultipleObjects(hasBulk ? 3 : 2, waits, WaitAny, Executive, KernelMode, FALSE,
                                                       nullptr, nullptr);
        if (woke == STATUS_WAIT_0) {
            if (!NT_SUCCESS(interrupt.Irp->IoStatus.Status)) break;
            const ULONG arrived = interrupt.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            HandleMessage(interrupt.Buffer, arrived < interrupt.Length ? arrived : interrupt.Length);
            if (!NT_SUCCESS(SubmitRead(interrupt))) break;
        } else if (woke == STATUS_WAIT_0 + 1) {
            break;
        } else if (woke == STATUS_WAIT_0 + 2) {
            // What the bulk endpoint sends is not looked at; a read stays pending.
            if (!NT_SUCCESS(bulk.Irp->IoStatus.Status) || !NT_SUCCESS(SubmitRead(bulk))) break;
        } else if (!NT_SUCCESS(woke)) {
            break;
        }
    }

    // No request may be outstanding when the buffers go: cancel what is pending and wait for it.
    for (StatusRead& read : reads) {
        if (read.Done == nullptr) continue;
        if (read.Sent && KeReadStateEvent(read.Done) == 0) IoCancelIrp(read.Irp);
        KeWaitForSingleObject(read.Done, Executive, KernelMode, FALSE, nullptr);
    }
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(GetOuterUnknown()->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport)))) {
        transport = nullptr;
    }
    for (StatusRead& read : reads) {
        if (read.Irp != nullptr) {
            if (transport != nullptr) {
                transport->FreeIrp(read.Irp);
            } else {
                IoFreeIrp(read.Irp);
            }
        }
        if (read.Urb != nullptr) ExFreePoolWithTag(read.Urb, Uac2AudioHalTag);
        if (read.Buffer != nullptr) ExFreePoolWithTag(read.Buffer, Uac2AudioHalTag);
        if (read.Done != nullptr) ExFreePoolWithTag(read.Done, Uac2AudioHalTag);
    }
    if (transport != nullptr) transport->Release();
}
