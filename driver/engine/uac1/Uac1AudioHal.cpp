#include "driver/engine/uac1/Uac1AudioHal.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/front/AdapterExtension.h"

namespace {

constexpr LONG AudioInterfaceClass = 1;
constexpr LONG AudioControlSubclass = 1;
constexpr LONG AudioStreamingSubclass = 2;

// Chip identifier string descriptors, read in this order, and their language.
constexpr UCHAR ChipStringIndex = 0x50;
constexpr UCHAR ChipStringFallbackIndex = 0x32;
constexpr USHORT ChipStringLanguage = 0x0409;

// Status word: bStatusType's low four bits 0 name a unit or terminal of the AudioControl interface.
constexpr UCHAR StatusOriginatorMask = 0x0F;
constexpr UCHAR StatusOriginatorAudioControl = 0;

// Capability values by chip.
constexpr ULONG R7U7Variant = 0x1F;
constexpr ULONG R7U7Capabilities = 0x3E10A0;
constexpr ULONG R7U7Flags = 0x41;
constexpr ULONG KLQ864Capabilities = 0x3E087;
constexpr ULONG CapabilityBit12 = 0x1000;
constexpr ULONG CapabilityBit2 = 0x4;
constexpr ULONG MicCapability = 0x800000;  // the "Mic" capture endpoint of one device

constexpr ULONG EndpointTypeSpdifCode = EndpointTypeCode(EndpointType::Spdif);
constexpr ULONG EndpointTypeMicCode = EndpointTypeCode(EndpointType::Mic);

struct ListWalk {
    explicit ListWalk(PointerList* List) : m_List(List), m_Position(List != nullptr ? List->GetHeadPosition() : nullptr) {}
    template <class Entry>
    bool Next(Entry** Out) {
        PVOID data = nullptr;
        if (m_List == nullptr || !m_List->GetNext(&m_Position, &data)) return false;
        *Out = static_cast<Entry*>(data);
        return true;
    }
    PointerList* m_List;
    PointerListNode* m_Position;
};

// TRUE when the string descriptor's text starts with Units (Count units); the text is what both
// bLength and the bytes that arrived cover.
bool ChipTextStartsWith(const UCHAR* Descriptor, ULONG Received, const WCHAR* Units, ULONG Count) {
    if (Received < 2) return false;
    const ULONG bytes = Descriptor[0] < Received ? Descriptor[0] : Received;
    if (bytes < 2 || (bytes - 2) / sizeof(WCHAR) < Count) return false;
    for (ULONG i = 0; i < Count; ++i) {
        const WCHAR unit = static_cast<WCHAR>(Descriptor[2 + 2 * i] | (Descriptor[3 + 2 * i] << 8));
        if (unit != Units[i]) return false;
    }
    return true;
}

// UsbTransport from the adapter, with one reference; null and the query's status on failure.
NTSTATUS QueryTransport(PUNKNOWN Outer, UsbTransport** Transport) {
    *Transport = nullptr;
    if (Outer == nullptr) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = Outer->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(Transport));
    if (!NT_SUCCESS(status)) *Transport = nullptr;
    return NT_SUCCESS(status) && *Transport == nullptr ? STATUS_UNSUCCESSFUL : status;
}

}  // namespace

NTSTATUS CreateUac1AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<Uac1AudioHal>(Unknown, UnknownOuter, ExDefaultNonPagedPoolType, Uac1AudioHalTag, VendorId, ProductId);
}

Uac1AudioHal::Uac1AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : Uac1AudioHal(UnknownOuter, VendorId, ProductId, Uac1AudioHalTag, Uac1StatusWordBytes, Uac1StatusThreadPriority) {}

Uac1AudioHal::Uac1AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG PoolTag, ULONG StatusBytes,
                           KPRIORITY StatusPriority)
    : AudioHal(UnknownOuter),
      m_ControlInterface(0),
      m_pStatusInterface(nullptr),
      m_StatusPipe(Uac1NoStatusPipe),
      m_HalStarted(FALSE),
      m_RestartAtD0(FALSE),
      m_BulkPipe(Uac1NoStatusPipe),
      m_pStatusThread(nullptr),
      m_VendorId(VendorId),
      m_ProductId(ProductId),
      m_pUnitList(nullptr),
      m_UnitLookups(0),
      m_PoolTag(PoolTag),
      m_StatusBytes(StatusBytes),
      m_StatusPriority(StatusPriority) {
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_ThreadDoneEvent, NotificationEvent, FALSE);
}

Uac1AudioHal::~Uac1AudioHal() {
    PAGED_CODE();
    StopStatusThread();
    if (m_pStatusInterface != nullptr) {
        ExFreePoolWithTag(m_pStatusInterface, Uac1AudioHalUrbTag);
        m_pStatusInterface = nullptr;
    }
    if (m_pUnitList != nullptr) {
        PVOID data = nullptr;
        while (m_pUnitList->RemoveHead(&data)) static_cast<UnitNode*>(data)->Release();
        m_pUnitList->~PointerList();
        ExFreePoolWithTag(m_pUnitList, m_PoolTag);
        m_pUnitList = nullptr;
    }
}

NTSTATUS Uac1AudioHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    // IID_IUnknown answers the inner unknown (AnswerQuery's rule), so a reference taken through it
    // stays with this object and not with the adapter.
    const KernelInterface answers[] = {
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
        {IID_DeviceModel, static_cast<DeviceModel*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// ---------------------------------------------------------------------------------------------
// Set-up

NTSTATUS Uac1AudioHal::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                            PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    if (m_pUnitList != nullptr) return STATUS_INVALID_DEVICE_STATE;
    PVOID memory = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(PointerList), m_PoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    m_pUnitList = new (memory) PointerList();
    return AudioHal::Init(ResourceList, DeviceObject, LowerDeviceObject, PhysicalDeviceObject);
}

NTSTATUS Uac1AudioHal::AddUnit(UnitNode* Unit) {
    if (Unit == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_pUnitList == nullptr) return STATUS_UNSUCCESSFUL;
    Unit->AddRef();
    if (m_pUnitList->AddHead(Unit) == nullptr) {
        Unit->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::FindUnit(ULONG UnitId, UnitNode** Unit) {
    if (Unit == nullptr) return STATUS_INVALID_PARAMETER;
    *Unit = nullptr;
    ListWalk walk(m_pUnitList);
    UnitNode* unit = nullptr;
    while (walk.Next(&unit)) {
        ++m_UnitLookups;
        if (unit->GetId() == UnitId) *Unit = unit;  // the last match wins
    }
    return *Unit != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac1AudioHal::Identify() {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    const NTSTATUS queried = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(queried)) return queried;

    auto* chip = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Uac1ChipStringBytes, Uac1AudioHalChipTag));
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Uac1ChipRequestBytes, Uac1AudioHalChipTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (chip != nullptr && urb != nullptr) {
        RtlZeroMemory(chip, Uac1ChipStringBytes);
        ULONG received = 0;
        for (UCHAR index : {ChipStringIndex, ChipStringFallbackIndex}) {
            RtlZeroMemory(urb, Uac1ChipRequestBytes);
            UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, index,
                                         ChipStringLanguage, chip, nullptr, Uac1ChipStringBytes, nullptr);
            status = transport->SubmitUrbSync(urb);
            if (NT_SUCCESS(status)) {
                const ULONG answered = urb->UrbControlDescriptorRequest.TransferBufferLength;
                received = answered < Uac1ChipStringBytes ? answered : Uac1ChipStringBytes;
                break;
            }
        }
        status = IdentifyCapabilities(transport, chip, received, status);
        if (NT_SUCCESS(status)) {
            status = FindControlInterface();
            if (NT_SUCCESS(status)) status = FindStreamingInterfaces();
        }
    }
    if (urb != nullptr) ExFreePoolWithTag(urb, Uac1AudioHalChipTag);
    if (chip != nullptr) ExFreePoolWithTag(chip, Uac1AudioHalChipTag);
    transport->Release();
    return status;
}

NTSTATUS Uac1AudioHal::IdentifyCapabilities(UsbTransport* Transport, const UCHAR* Chip, ULONG Received,
                                            NTSTATUS ReadStatus) {
    PAGED_CODE();
    m_EndpointInfo = {};
    if (!NT_SUCCESS(ReadStatus)) {
        // No chip identifier: only two devices are known without one.
        if (m_VendorId == 0x1B1C && m_ProductId == 0x0A04) {
            m_EndpointInfo.Capabilities = 0x24;
        } else if (m_VendorId == 0x047F && m_ProductId == 0xD957) {
            m_EndpointInfo.Capabilities = 0x3C0264;
            m_EndpointInfo.Value = 12;
        } else {
            return ReadStatus;
        }
        return STATUS_SUCCESS;
    }

    if (ChipTextStartsWith(Chip, Received, KV_WIDE("R7U7"), 4)) {
        UCHAR variant = 0;
        const NTSTATUS status = ReadVendorByte(Transport, 2, 0x0051, &variant);
        if (!NT_SUCCESS(status)) return status;
        if (variant != R7U7Variant) return STATUS_SUCCESS;
        m_EndpointInfo.Capabilities = R7U7Capabilities;
        m_EndpointInfo.Flags = R7U7Flags;
        if (m_VendorId == 0x09DA && m_ProductId >= 0x2701 && m_ProductId <= 0x2703) {
            m_EndpointInfo.Capabilities = 0x3E00A5;
        }
        if (m_VendorId == 0xA5E7 && m_ProductId == 0x0065) {
            m_EndpointInfo.Capabilities &= ~CapabilityBit12;
        } else if (m_VendorId == 0x251F && m_ProductId == 0x3001) {
            m_EndpointInfo.Capabilities = (m_EndpointInfo.Capabilities & ~CapabilityBit12) | CapabilityBit2;
            m_EndpointInfo.Flags = 0x40;
        }
    } else if (ChipTextStartsWith(Chip, Received, KV_WIDE("KLQ864"), 6)) {
        UCHAR routing = 0;
        UCHAR mode = 0;
        NTSTATUS status = ReadVendorByte(Transport, 0, 0x001A, &routing);
        if (NT_SUCCESS(status)) status = ReadVendorByte(Transport, 0, 0x0020, &mode);
        if (!NT_SUCCESS(status)) return status;
        const UCHAR r = routing & 0x0E;
        if ((mode & 0x02) != 0 || (r != 0x08 && r != 0x0E)) return STATUS_UNSUCCESSFUL;
        m_EndpointInfo.Capabilities = KLQ864Capabilities;
        if (r == 0x0E) m_EndpointInfo.Flags = EndpointFlagAsio;
    }
    // "R7U2", "KLQ866" and any other text: the record stays zero.
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::ReadVendorByte(UsbTransport* Transport, UCHAR Request, USHORT Value, PUCHAR Byte) {
    PAGED_CODE();
    *Byte = 0;
    constexpr USHORT urbBytes = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, urbBytes, Uac1AudioHalChipTag));
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, 1, Uac1AudioHalChipTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr && buffer != nullptr) {
        RtlZeroMemory(urb, urbBytes);
        *buffer = 0;
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_OTHER, urbBytes,
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, Request, Value, 0, buffer, nullptr,
                              1, nullptr);
        status = Transport->SubmitUrbSync(urb);
        // A request that answered no byte told nothing.
        if (NT_SUCCESS(status) && urb->UrbControlVendorClassRequest.TransferBufferLength < 1) {
            status = STATUS_DEVICE_DATA_ERROR;
        }
        if (NT_SUCCESS(status)) *Byte = *buffer;
    }
    if (buffer != nullptr) ExFreePoolWithTag(buffer, Uac1AudioHalChipTag);
    if (urb != nullptr) ExFreePoolWithTag(urb, Uac1AudioHalChipTag);
    return status;
}

NTSTATUS Uac1AudioHal::FindControlInterface() {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    const NTSTATUS queried = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(queried)) return queried;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
    transport->Release();
    if (configuration == nullptr) return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, -1, AudioInterfaceClass, AudioControlSubclass, -1);
    if (control == nullptr) return STATUS_SUCCESS;  // nothing to build
    m_ControlInterface = control->bInterfaceNumber;
    const ULONG offset = static_cast<ULONG>(reinterpret_cast<PUCHAR>(control) - reinterpret_cast<PUCHAR>(configuration));
    return BuildTopology(control, configuration->wTotalLength - offset);
}

NTSTATUS Uac1AudioHal::FindStreamingInterfaces() {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    const NTSTATUS queried = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(queried)) return queried;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
    transport->Release();
    if (configuration == nullptr) return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, -1, AudioInterfaceClass, AudioStreamingSubclass, -1);
    const ULONG offset =
        streaming != nullptr
            ? static_cast<ULONG>(reinterpret_cast<PUCHAR>(streaming) - reinterpret_cast<PUCHAR>(configuration))
            : configuration->wTotalLength;
    return BuildStreams(configuration, streaming, configuration->wTotalLength - offset);
}

NTSTATUS Uac1AudioHal::RestoreDeviceState() { return STATUS_SUCCESS; }

NTSTATUS Uac1AudioHal::GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) {
    if (CallbackObject == nullptr) return STATUS_UNSUCCESSFUL;
    *CallbackObject = m_CallbackObject;
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::WaitIdle() { return STATUS_SUCCESS; }

// ---------------------------------------------------------------------------------------------
// Endpoint capabilities

NTSTATUS Uac1AudioHal::GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) {
    ULONG direction = StreamDirectionRender;
    ULONG type = 0;
    const ULONG count = GetStreamEngineCount();
    if (count != 0) {
        StreamEngine* engine = nullptr;
        const NTSTATUS status = GetStreamEngine(EngineIndex < count ? EngineIndex : count - 1, &engine);
        if (!NT_SUCCESS(status)) return status;
        direction = engine->GetDirection();
        type = engine->GetEndpointType();
    }
    return GetEndpointCaps(direction, type, Info);
}

NTSTATUS Uac1AudioHal::GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) {
    if (Info == nullptr) return STATUS_UNSUCCESSFUL;
    *Info = {};
    if (m_VendorId == 0xA5E7 && m_ProductId == 0x0058) {
        Info->Capabilities = m_EndpointInfo.Capabilities;
        if (Direction == StreamDirectionCapture && EndpointType == EndpointTypeMicCode) Info->Capabilities |= MicCapability;
        Info->Flags = m_EndpointInfo.Flags;
    } else if (EndpointType != EndpointTypeSpdifCode) {
        Info->Capabilities = m_EndpointInfo.Capabilities;
        Info->Value = m_EndpointInfo.Value;
        Info->Flags = m_EndpointInfo.Flags;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Change handling

NTSTATUS Uac1AudioHal::NotifyUnitChange(ULONG UnitId) {
    PAGED_CODE();
    UnitNode* unit = nullptr;
    NTSTATUS status = FindUnit(UnitId, &unit);
    if (!NT_SUCCESS(status)) return status;
    const ULONG kind = unit->GetNodeKind();
    ULONG controlId = 0;
    status = unit->HandleStatusInterrupt(0, 0, &controlId);
    if (!NT_SUCCESS(status)) return status;

    if (kind == Uac1InputTerminalSubtype || kind == Uac1OutputTerminalSubtype) {
        // The jack state may have changed: every wave subdevice follows it.
        const ULONG engines = GetStreamEngineCount();
        for (ULONG i = 0; i < engines; ++i) {
            StreamEngine* engine = nullptr;
            NTSTATUS installed = GetStreamEngine(i, &engine);
            if (NT_SUCCESS(installed)) {
                installed = engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<AdapterCommon*>(this));
            }
            if (!NT_SUCCESS(installed)) return installed;
        }
        return status;
    }

    ULONG controls = 0;
    if (!NT_SUCCESS(unit->GetControlCount(&controls))) return status;
    for (ULONG i = 0; i < controls; ++i) {
        AudioNode* control = nullptr;
        if (!NT_SUCCESS(unit->GetControl(i, &control))) break;
        control->RefreshValues();
        SendControlChange(m_CallbackObject, control->GetId());
    }
    return status;
}

bool Uac1AudioHal::TakeTypeChange(StreamEngine* Engine) {
    PAGED_CODE();
    if (Engine == nullptr) return false;
    // The engine's terminal-type control: the first path control of that kind.
    TerminalTypeControl* typeControl = nullptr;
    const ULONG pathCount = Engine->GetNodeCount();
    for (ULONG n = 0; n < pathCount; ++n) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(Engine->GetNode(n, &node)) || node->GetNodeKind() != NodeKindCode(NodeKind::TerminalType)) {
            continue;
        }
        if (!NT_SUCCESS(node->QueryInterface(IID_TerminalTypeControl, reinterpret_cast<PVOID*>(&typeControl)))) {
            typeControl = nullptr;
        }
        break;
    }
    if (typeControl == nullptr) return false;
    const bool pending = typeControl->IsChangePending() != 0;
    if (pending) typeControl->ClearChangePending();
    typeControl->Release();
    return pending;
}

NTSTATUS Uac1AudioHal::UpdateMiniports(ULONG UnitId) {
    PAGED_CODE();
    const ULONG engines = GetStreamEngineCount();
    if (engines == 0) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        status = GetStreamEngine(i, &engine);
        if (!NT_SUCCESS(status)) return status;

        if (!TakeTypeChange(engine)) continue;

        // The new name, then the one the engine had (for an install that cannot take the new one).
        auto* name = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, 2 * EngineNameChars * sizeof(WCHAR), Uac1AudioHalNameTag));
        if (name == nullptr) return STATUS_UNSUCCESSFUL;
        PWSTR previousName = name + EngineNameChars;
        if (!NT_SUCCESS(engine->GetName(previousName))) previousName = nullptr;
        status = engine->RemoveMiniport(m_DeviceObject);
        const bool removed = NT_SUCCESS(status);
        if (removed) {
            const ULONG direction = engine->GetDirection();
            const ULONG type = engine->GetEndpointType();
            ULONG number = 0;
            if (type < EngineNameCounterCount && m_DeviceObject != nullptr) {
                const AdapterDeviceExtension* extension = GetAdapterExtension(m_DeviceObject);
                const UCHAR counter = direction == StreamDirectionCapture ? extension->CaptureNameCounters[type]
                                                                          : extension->RenderNameCounters[type];
                number = counter != 0 ? counter - 1u : 0u;
            }
            status = FormatEngineName(direction, type, number, name);
            if (NT_SUCCESS(status)) status = engine->SetName(name);
        }
        if (NT_SUCCESS(status)) PauseBeforeReinstall();
        // A removed engine is installed again whatever the naming did (under its old name when
        // that failed), so no engine stays without its wave subdevice.
        if (removed) {
            const NTSTATUS installed = InstallRenamedEngine(engine, UnitId, previousName);
            if (NT_SUCCESS(status)) status = installed;
        }
        ExFreePoolWithTag(name, Uac1AudioHalNameTag);
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}

NTSTATUS Uac1AudioHal::InstallRenamedEngine(StreamEngine* Engine, ULONG UnitId, PCWSTR PreviousName) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(UnitId);
    UNREFERENCED_PARAMETER(PreviousName);
    return Engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<AdapterCommon*>(this));
}

// ---------------------------------------------------------------------------------------------
// Start, stop and power

NTSTATUS Uac1AudioHal::Start() {
    PAGED_CODE();
    m_HalStarted = TRUE;
    // A thread from an earlier Start (running or ended by a failed request) stays until Stop.
    if (m_StatusPipe != Uac1NoStatusPipe) return AudioHal::Start();

    UsbTransport* transport = nullptr;
    const NTSTATUS queried = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(queried)) return queried;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR control =
        configuration != nullptr
            ? USBD_ParseConfigurationDescriptorEx(configuration, configuration, m_ControlInterface, 0,
                                                  AudioInterfaceClass, AudioControlSubclass, -1)
            : nullptr;
    if (control == nullptr || control->bNumEndpoints == 0) {
        transport->Release();
        return AudioHal::Start();
    }

    const SIZE_T requestBytes = GET_SELECT_INTERFACE_REQUEST_SIZE(control->bNumEndpoints);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, requestBytes, Uac1AudioHalUrbTag));
    if (urb == nullptr) {
        transport->Release();
        return StartWithoutStatusRequest();
    }
    RtlZeroMemory(urb, requestBytes);
    UsbBuildSelectInterfaceRequest(urb, requestBytes, transport->GetConfigurationHandle(), control->bInterfaceNumber, 0);
    urb->UrbSelectInterface.Interface.NumberOfPipes = control->bNumEndpoints;
    NTSTATUS status = transport->SubmitUrbSync(urb);
    transport->Release();
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(urb, Uac1AudioHalUrbTag);
        return status;
    }

    // Keep the answer with its pipes; its Length is bounded by the request it came in.
    const PUSBD_INTERFACE_INFORMATION answer = &urb->UrbSelectInterface.Interface;
    const SIZE_T room = requestBytes - offsetof(_URB_SELECT_INTERFACE, Interface);
    SIZE_T length = answer->Length;
    if (length < GET_USBD_INTERFACE_SIZE(0) || length > room) length = room;
    m_pStatusInterface =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, length, Uac1AudioHalUrbTag));
    if (m_pStatusInterface == nullptr) {
        ExFreePoolWithTag(urb, Uac1AudioHalUrbTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(m_pStatusInterface, answer, length);
    ExFreePoolWithTag(urb, Uac1AudioHalUrbTag);

    const ULONG pipesHeld = static_cast<ULONG>((length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION));
    const ULONG pipes = m_pStatusInterface->NumberOfPipes < pipesHeld ? m_pStatusInterface->NumberOfPipes : pipesHeld;
    // The first IN interrupt pipe of the status packet's size and the first IN bulk pipe; a second
    // pipe of a kind already found ends the walk.
    for (ULONG i = 0; i < pipes && i < Uac1NoStatusPipe; ++i) {
        const USBD_PIPE_INFORMATION& pipe = m_pStatusInterface->Pipes[i];
        if (!USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress)) continue;
        UCHAR* found = nullptr;
        if (pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == m_StatusBytes) {
            found = &m_StatusPipe;
        } else if (pipe.PipeType == UsbdPipeTypeBulk) {
            found = &m_BulkPipe;
        } else {
            continue;
        }
        if (*found != Uac1NoStatusPipe) break;
        *found = static_cast<UCHAR>(i);
    }
    if (m_StatusPipe == Uac1NoStatusPipe) {
        ExFreePoolWithTag(m_pStatusInterface, Uac1AudioHalUrbTag);
        m_pStatusInterface = nullptr;
        m_BulkPipe = Uac1NoStatusPipe;
        return AudioHal::Start();
    }

    status = StartHalThread(Uac1StatusThread, m_StatusPriority);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(m_pStatusInterface, Uac1AudioHalUrbTag);
        m_pStatusInterface = nullptr;
        m_StatusPipe = Uac1NoStatusPipe;
        m_BulkPipe = Uac1NoStatusPipe;
        return status;
    }
    return AudioHal::Start();
}

NTSTATUS Uac1AudioHal::StartWithoutStatusRequest() { return AudioHal::Start(); }

NTSTATUS Uac1AudioHal::Stop() {
    PAGED_CODE();
    m_HalStarted = FALSE;
    if (NT_SUCCESS(AudioHal::Stop())) StopStatusThread();
    return STATUS_SUCCESS;
}

void Uac1AudioHal::StopStatusThread() {
    PAGED_CODE();
    if (m_StatusPipe == Uac1NoStatusPipe) return;
    EndHalThread();
    if (m_pStatusInterface != nullptr) {
        ExFreePoolWithTag(m_pStatusInterface, Uac1AudioHalUrbTag);
        m_pStatusInterface = nullptr;
    }
    m_StatusPipe = Uac1NoStatusPipe;
    m_BulkPipe = Uac1NoStatusPipe;
}

NTSTATUS Uac1AudioHal::StartHalThread(PKSTART_ROUTINE Routine, KPRIORITY Priority) {
    PAGED_CODE();
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ThreadDoneEvent);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    // The thread's own reference on the adapter, given back as its last act: the adapter (and this
    // HAL) cannot go while the thread runs, whoever drops the other references.
    GetOuterUnknown()->AddRef();
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Routine, this);
    if (!NT_SUCCESS(status)) {
        GetOuterUnknown()->Release();  // not the last: the caller holds one
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
        m_pStatusThread = static_cast<PKTHREAD>(thread);
        KeSetPriorityThread(m_pStatusThread, Priority);
    } else {
        // The thread runs but cannot be waited for: end it before its state goes.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ThreadDoneEvent, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&m_StopEvent);
        KeClearEvent(&m_ThreadDoneEvent);
    }
    ZwClose(handle);
    return status;
}

void Uac1AudioHal::EndHalThread() {
    PAGED_CODE();
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_ThreadDoneEvent, Executive, KernelMode, FALSE, nullptr);
    if (m_pStatusThread != nullptr) {
        // The done event comes just before the thread ends; the HAL and its code may go only
        // once the thread has left them. On the thread itself (its last release reached the
        // destructor) the thread has already left them and would wait for itself.
        if (m_pStatusThread != KeGetCurrentThread()) {
            KeWaitForSingleObject(m_pStatusThread, Executive, KernelMode, FALSE, nullptr);
        }
        ObDereferenceObject(m_pStatusThread);
        m_pStatusThread = nullptr;
    }
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ThreadDoneEvent);
}

void Uac1AudioHal::PowerChangeState(POWER_STATE NewState) {
    PAGED_CODE();
    const ULONG state = static_cast<ULONG>(NewState.DeviceState);
    if (state == m_PowerState) return;
    if (state == PowerDeviceD0) {
        RestoreDeviceState();
        ApplyAllValues();
    } else if (state < PowerDeviceD1 || state > PowerDeviceD3) {
        return;
    }
    m_PowerState = state;

    const ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        StreamEngine* engine = nullptr;
        NTSTATUS status = GetStreamEngine(i, &engine);
        if (NT_SUCCESS(status)) status = engine->SetPowerState(static_cast<DEVICE_POWER_STATE>(state));
        if (NT_SUCCESS(status) && state == PowerDeviceD0) {
            status = engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<AdapterCommon*>(this));
        }
        if (!NT_SUCCESS(status)) break;
    }
    if (state == PowerDeviceD0) {
        // Only a HAL that ran before the power-down starts again.
        if (m_RestartAtD0) Start();
        m_RestartAtD0 = FALSE;
    } else {
        if (m_HalStarted) m_RestartAtD0 = TRUE;
        Stop();
    }
}

// ---------------------------------------------------------------------------------------------
// Status thread

void Uac1AudioHal::Uac1StatusThread(PVOID StartContext) {
    auto* hal = static_cast<Uac1AudioHal*>(StartContext);
    const PUNKNOWN adapter = hal->GetOuterUnknown();
    hal->RunStatusThread();
    // Set on every way out of the thread's work, so Stop never waits for a thread that has ended.
    KeSetEvent(&hal->m_ThreadDoneEvent, IO_NO_INCREMENT, FALSE);
    // The reference Start took for the thread. When it is the last one the HAL goes here, on this
    // thread, which touches neither again.
    adapter->Release();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS Uac1AudioHal::StatusRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the thread owns the IRP again
}

NTSTATUS SendStatusRequest(PUNKNOWN Outer, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Buffer, ULONG Length,
                           PKEVENT Done, PIO_COMPLETION_ROUTINE Routine) {
    UsbTransport* transport = nullptr;
    const NTSTATUS queried = QueryTransport(Outer, &transport);
    if (!NT_SUCCESS(queried)) return queried;
    RtlZeroMemory(Urb, Uac1InterruptRequestBytes);
    UsbBuildInterruptOrBulkTransferRequest(Urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), Pipe, Buffer, nullptr, Length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Routine, Done, TRUE, TRUE, TRUE);
    KeClearEvent(Done);
    const NTSTATUS status = transport->CallLowerDriver(Irp);
    transport->Release();
    return status;
}

void Uac1AudioHal::RunStatusThread() {
    PAGED_CODE();
    auto* done = static_cast<PKEVENT>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(KEVENT), Uac1AudioHalTag));
    if (done == nullptr) return;
    KeInitializeEvent(done, NotificationEvent, TRUE);

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Uac1InterruptRequestBytes, Uac1AudioHalTag));
    auto* abort = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, Uac1AbortRequestBytes, Uac1AudioHalTag));
    PIRP irp = nullptr;
    UsbTransport* transport = nullptr;
    if (NT_SUCCESS(QueryTransport(GetOuterUnknown(), &transport))) {
        irp = transport->AllocateIrp();
        transport->Release();
    }
    const USBD_PIPE_HANDLE pipe = m_pStatusInterface->Pipes[m_StatusPipe].PipeHandle;
    UCHAR word[Uac1StatusWordBytes] = {};

    if (urb != nullptr && abort != nullptr && irp != nullptr &&
        NT_SUCCESS(
            SendStatusRequest(GetOuterUnknown(), irp, urb, pipe, word, Uac1StatusWordBytes, done, StatusRequestDone))) {
        // Announce every unit's state once.
        ListWalk walk(m_pUnitList);
        UnitNode* unit = nullptr;
        while (walk.Next(&unit)) NotifyUnitChange(unit->GetId());

        PVOID waits[] = {done, &m_StopEvent};
        for (;;) {
            const NTSTATUS woke =
                KeWaitForMultipleObjects(2, waits, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
            if (woke != STATUS_WAIT_0) {
                // Stop: abort the pending request and wait for it to come back.
                RtlZeroMemory(abort, Uac1AbortRequestBytes);
                abort->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
                abort->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
                abort->UrbPipeRequest.PipeHandle = pipe;
                NTSTATUS aborted = QueryTransport(GetOuterUnknown(), &transport);
                if (NT_SUCCESS(aborted)) {
                    aborted = transport->SubmitUrbSync(abort);
                    transport->Release();
                }
                // Without the abort the request is cancelled, so the wait below cannot hang.
                if (!NT_SUCCESS(aborted)) IoCancelIrp(irp);
                KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
                break;
            }
            if (!NT_SUCCESS(irp->IoStatus.Status)) break;
            const ULONG received = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (received >= Uac1StatusWordBytes && (word[0] & StatusOriginatorMask) == StatusOriginatorAudioControl) {
                NotifyUnitChange(word[1]);
            }
            IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
            word[0] = word[1] = 0;
            if (!NT_SUCCESS(SendStatusRequest(GetOuterUnknown(), irp, urb, pipe, word, Uac1StatusWordBytes, done,
                                              StatusRequestDone))) {
                break;
            }
        }
    }

    // No request is outstanding once the event is set.
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
    ExFreePoolWithTag(done, Uac1AudioHalTag);
    if (abort != nullptr) ExFreePoolWithTag(abort, Uac1AudioHalTag);
    if (urb != nullptr) ExFreePoolWithTag(urb, Uac1AudioHalTag);
    if (irp != nullptr) {
        if (NT_SUCCESS(QueryTransport(GetOuterUnknown(), &transport))) {
            transport->FreeIrp(irp);
            transport->Release();
        } else {
            IoFreeIrp(irp);
        }
    }
}
