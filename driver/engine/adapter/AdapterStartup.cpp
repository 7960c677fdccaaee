// Adapter start-up: the INI settings, the USB device's descriptors and configuration, the bus
// interface, the choice and creation of the HAL, and the ASIO defaults. Runs once per adapter at
// PASSIVE_LEVEL in the start thread; nothing else reaches the adapter before it is stored.
#include "driver/engine/base/IniReader.h"
#include "driver/engine/base/Settings.h"
#include "driver/engine/adapter/UsbAudioAdapter.h"

namespace {

// Devices whose ASIO sample type defaults to something other than Int16LSB.
struct AsioSampleTypeDefault {
    USHORT VendorId;
    USHORT ProductId;
    ULONG SampleType;
};
constexpr AsioSampleTypeDefault AsioSampleTypeDefaults[] = {
    {0x0B05, 0x17F3, AsioSampleTypeInt24Lsb},   {0x0B05, 0x17A8, AsioSampleTypeInt32Lsb24},
    {0x0B05, 0x17CD, AsioSampleTypeInt32Lsb24}, {0x1043, 0x8593, AsioSampleTypeInt32Lsb24},
    {0x1043, 0x8592, AsioSampleTypeInt32Lsb24},
};

// The AudioControl interface: USB audio class, AudioControl subclass; 0x20 marks UAC 2.0.
constexpr LONG UsbClassAudio = 1;
constexpr LONG UsbSubclassAudioControl = 1;
constexpr UCHAR AudioControlProtocolUac2 = 0x20;
// Interface numbers are 8-bit: the search for bNumInterfaces interfaces ends here.
constexpr LONG UsbLastInterfaceNumber = 255;

constexpr ULONG UsbConfigurationHeaderBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);

}  // namespace

// ---------------------------------------------------------------------------------------------
// Init

NTSTATUS UsbAudioAdapter::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject,
                               PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    WriteNoFence(&m_DevicePresent, 1u);

    IniReader* reader = new (ExDefaultNonPagedPoolType, IniReaderTag) IniReader(DeviceObject);
    if (reader == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // A missing or unreadable INI file changes nothing and does not fail the start.
    if (NT_SUCCESS(reader->BuildPath())) reader->ApplyWhenNewer();

    // The selective-suspend lock, DPC, timer and events were prepared by the constructor, so that
    // an early failure leaves the destructor nothing uninitialised to wait on.
    const NTSTATUS status = AudioHal::Init(ResourceList, DeviceObject, LowerDeviceObject, PhysicalDeviceObject);

    ULONG enabled = 0;
    m_SelectiveSuspendEnabled = NT_SUCCESS(ReadSelectiveSuspendSetting(DeviceSettingName::SelectiveSuspendEnabled,
                                                                       sizeof(enabled), &enabled)) &&
                                enabled != 0;
    InterlockedExchange(&m_IoInProgress, 1);
    InterlockedExchange(&m_IdleRequestOwners, 0);
    if (NT_SUCCESS(status) && m_SelectiveSuspendEnabled) ArmIdleTimer();
    delete reader;
    return status;
}

NTSTATUS UsbAudioAdapter::Identify() {
    PAGED_CODE();
    if (m_DeviceObject == nullptr || m_LowerDeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    // Room for the lower stack and the driver's own location.
    m_IrpStackSize = static_cast<CCHAR>(m_DeviceObject->StackSize + 1);

    NTSTATUS status = ReadDescriptors();
    if (!NT_SUCCESS(status)) return status;
    status = SelectConfiguration();
    if (!NT_SUCCESS(status)) return status;
    status = QueryUsbBusInterface();
    if (!NT_SUCCESS(status)) return status;
    status = CreateAudioHal();
    if (!NT_SUCCESS(status)) return status;
    // The HAL parses the descriptors into its units, controls and engines.
    status = m_HalAdapterCommon->Init(nullptr, m_DeviceObject, m_LowerDeviceObject, m_PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) return status;
    status = UpdateDeviceStrings();

    const ULONG engines = m_HalAdapterCommon->GetStreamEngineCount();
    if (engines != 0) {
        // A 32-byte entry per engine; the count is a list's, far below any overflow.
        const SIZE_T bytes = static_cast<SIZE_T>(engines) * sizeof(AsioRingEntry);
        m_AsioRings = static_cast<AsioRingEntry*>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, bytes, UsbAudioAdapterUsbTag));
        if (m_AsioRings == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(m_AsioRings, bytes);
        m_AsioRingCount = engines;
    }
    LoadAsioSettings();
    return status;
}

// ---------------------------------------------------------------------------------------------
// Descriptors and configuration

NTSTATUS UsbAudioAdapter::ReadDescriptor(UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                                         ULONG Length, PULONG Received, ULONG UrbTag) {
    PAGED_CODE();
    *Received = 0;
    RtlZeroMemory(Buffer, Length);
    constexpr USHORT urbBytes = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, urbBytes, UrbTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, urbBytes);
    UsbBuildGetDescriptorRequest(urb, urbBytes, DescriptorType, Index, LanguageId, Buffer, nullptr, Length, nullptr);
    const NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status)) {
        const ULONG answered = urb->UrbControlDescriptorRequest.TransferBufferLength;
        *Received = answered < Length ? answered : Length;
    }
    ExFreePoolWithTag(urb, UrbTag);
    return status;
}

NTSTATUS UsbAudioAdapter::ReadStringDescriptor(UCHAR Index, PUCHAR Buffer, ULONG RequestBytes, PULONG Received,
                                               ULONG UrbTag) {
    return ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, UsbLanguageEnglishUs, Buffer, RequestBytes, Received,
                          UrbTag);
}

NTSTATUS UsbAudioAdapter::ReadDescriptors() {
    PAGED_CODE();
    auto* device = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(USB_DEVICE_DESCRIPTOR), UsbAudioAdapterUsbTag));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG received = 0;
    NTSTATUS status = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof(USB_DEVICE_DESCRIPTOR),
                                     &received, UsbAudioAdapterUsbTag);
    // The identity comes from the whole descriptor, or not at all.
    if (NT_SUCCESS(status) && received < sizeof(USB_DEVICE_DESCRIPTOR)) status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status)) {
        m_VendorId = device->idVendor;
        m_ProductId = device->idProduct;
        m_ManufacturerStringIndex = device->iManufacturer;
        m_ProductStringIndex = device->iProduct;
    }
    ExFreePoolWithTag(device, UsbAudioAdapterUsbTag);
    if (!NT_SUCCESS(status)) return status;

    // The first 9 bytes give wTotalLength; then the whole descriptor.
    auto* header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, UsbConfigurationHeaderBytes, UsbAudioAdapterUsbTag));
    if (header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, UsbConfigurationHeaderBytes, &received,
                            UsbAudioAdapterUsbTag);
    const ULONG total = header->wTotalLength;
    ExFreePoolWithTag(header, UsbAudioAdapterUsbTag);
    if (!NT_SUCCESS(status)) return status;
    if (received < UsbConfigurationHeaderBytes || total < UsbConfigurationHeaderBytes) return STATUS_DEVICE_DATA_ERROR;

    auto* whole = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, total, UsbAudioAdapterUsbTag));
    if (whole == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, whole, total, &received, UsbAudioAdapterUsbTag);
    // Everything that walks the descriptor trusts wTotalLength: it must be what arrived.
    if (NT_SUCCESS(status) && (received != total || whole->wTotalLength != total)) status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(status)) {
        DbgPrint("UsbAudioAdapter::ReadDescriptors: configuration of %lu bytes, %lu arrived, status 0x%08X\n", total,
                 received, static_cast<ULONG>(status));
        ExFreePoolWithTag(whole, UsbAudioAdapterUsbTag);
        return status;
    }
    m_ConfigurationDescriptor = whole;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::SelectConfiguration() {
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
    if (configuration == nullptr) return STATUS_UNSUCCESSFUL;

    // bNumInterfaces entries and the terminating empty one.
    const ULONG wanted = configuration->bNumInterfaces;
    const SIZE_T listBytes = (static_cast<SIZE_T>(wanted) + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, listBytes, UsbAudioAdapterUsbTag));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listBytes);
    // Alternate setting 0 of interfaces 0, 1, 2, ...; numbers without an interface are skipped. A
    // configuration that holds fewer interfaces than it claims selects those it has.
    ULONG found = 0;
    for (LONG number = 0; number <= UsbLastInterfaceNumber && found < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0, -1, -1, -1);
        if (descriptor != nullptr) list[found++].InterfaceDescriptor = descriptor;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == nullptr) {
        ExFreePoolWithTag(list, UsbAudioAdapterUsbTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (found != 0) {
        PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
        // Only the pipe entries the record has room for.
        const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
        const ULONG room = first->Length > header ? (first->Length - header) / sizeof(USBD_PIPE_INFORMATION) : 0;
        const ULONG pipes = first->NumberOfPipes < room ? first->NumberOfPipes : room;
        for (ULONG p = 0; p < pipes; ++p) {
            first->Pipes[p].MaximumTransferSize = 0xFFFFFFFF;
            first->Pipes[p].PipeFlags = 0;
            first->Pipes[p].PipeHandle = nullptr;
        }
    }

    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status) && found != 0) {
        m_InterfaceInformation = static_cast<PUSBD_INTERFACE_INFORMATION*>(ExAllocatePoolWithTag(
            ExDefaultNonPagedPoolType, static_cast<SIZE_T>(found) * sizeof(PUSBD_INTERFACE_INFORMATION), UsbAudioAdapterUsbTag));
        if (m_InterfaceInformation == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        for (ULONG i = 0; NT_SUCCESS(status) && i < found; ++i) {
            const PUSBD_INTERFACE_INFORMATION answer = list[i].Interface;
            auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, answer->Length, UsbAudioAdapterUsbTag));
            if (copy == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlCopyMemory(copy, answer, answer->Length);
            m_InterfaceInformation[m_InterfaceCount++] = copy;
        }
        if (!NT_SUCCESS(status)) FreeInterfaceInformation();
    }
    if (NT_SUCCESS(status)) m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    ExFreePoolWithTag(list, UsbAudioAdapterUsbTag);
    return status;
}

void UsbAudioAdapter::FreeInterfaceInformation() {
    if (m_InterfaceInformation == nullptr) return;
    for (ULONG i = 0; i < m_InterfaceCount; ++i) ExFreePoolWithTag(m_InterfaceInformation[i], UsbAudioAdapterUsbTag);
    ExFreePoolWithTag(m_InterfaceInformation, UsbAudioAdapterUsbTag);
    m_InterfaceInformation = nullptr;
    m_InterfaceCount = 0;
}

NTSTATUS UsbAudioAdapter::QueryUsbBusInterface() {
    PAGED_CODE();
    m_HighSpeed = 0;
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // as every PnP request starts
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    if (CallLowerDriver(irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);

    if (NT_SUCCESS(status) && m_BusInterface.BusContext != nullptr) {
        m_BusInterfaceReferenced = TRUE;  // dropped by the destructor
        if (m_BusInterface.IsDeviceHighSpeed != nullptr) {
            m_HighSpeed = m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext) ? 1 : 0;
        }
        return STATUS_SUCCESS;
    }
    // An interface without a bus context is of no use; give back what the bus driver referenced.
    if (NT_SUCCESS(status) && m_BusInterface.InterfaceDereference != nullptr) {
        m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    }
    RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
    return STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------------------------
// HAL choice

NTSTATUS UsbAudioAdapter::CreateAudioHal() {
    PAGED_CODE();
    if (m_HalUnknown != nullptr) return STATUS_INVALID_DEVICE_STATE;  // one HAL per adapter
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
    if (configuration == nullptr) return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, -1, UsbClassAudio, UsbSubclassAudioControl, -1);
    if (control == nullptr) return STATUS_UNSUCCESSFUL;
    m_ControlInterfaceNumber = control->bInterfaceNumber;

    AudioHalKind kind = AudioHalKind::Uac1;
    if (control->bInterfaceProtocol == AudioControlProtocolUac2) {
        kind = AudioHalKind::Uac2;
    } else if (control->bInterfaceProtocol != 0) {
        return STATUS_UNSUCCESSFUL;
    } else {
        auto* text = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, ModelIdentifierRequestBytes, UsbAudioAdapterModelTag));
        if (text == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        ULONG received = 0;
        NTSTATUS status = ReadStringDescriptor(ModelIdentifierStringIndex, text, ModelIdentifierRequestBytes, &received,
                                               UsbAudioAdapterModelTag);
        if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES) {
            status = ReadStringDescriptor(ModelIdentifierStringFallbackIndex, text, ModelIdentifierRequestBytes,
                                          &received, UsbAudioAdapterModelTag);
        }
        if (NT_SUCCESS(status)) kind = AudioHalKindFromModelIdentifier(text, received);
        ExFreePoolWithTag(text, UsbAudioAdapterModelTag);
        // Without model identifier strings the device is a plain UAC 1.0 device; without memory
        // nothing can be told.
        if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
    }

    const AudioHalCreator creator = CurrentAudioHalCreators()->Creators[static_cast<ULONG>(kind)];
    PUNKNOWN hal = nullptr;
    NTSTATUS status = creator != nullptr ? creator(&hal, GetOuterUnknown(), m_VendorId, m_ProductId)
                                         : STATUS_NOT_IMPLEMENTED;
    DbgPrint("UsbAudioAdapter::CreateAudioHal: VID %04X PID %04X protocol 0x%02X: %s, status 0x%08X\n", m_VendorId,
             m_ProductId, control->bInterfaceProtocol, AudioHalKindName(kind), static_cast<ULONG>(status));
    if (!NT_SUCCESS(status)) {
        if (hal != nullptr) hal->Release();
        return status;
    }
    if (hal == nullptr) return STATUS_UNSUCCESSFUL;
    m_HalUnknown = hal;

    // Each answer adds a reference to the adapter (the HAL's outer unknown); one release per
    // cached pointer gives them back.
    status = hal->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&m_HalAdapterCommon));
    if (!NT_SUCCESS(status)) m_HalAdapterCommon = nullptr;
    if (NT_SUCCESS(status)) {
        if (!NT_SUCCESS(hal->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&m_HalDeviceModel)))) {
            m_HalDeviceModel = nullptr;
        }
        status = hal->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&m_HalPowerManagement));
        if (!NT_SUCCESS(status)) m_HalPowerManagement = nullptr;
    }
    if (m_HalAdapterCommon != nullptr) GetOuterUnknown()->Release();
    if (m_HalDeviceModel != nullptr) GetOuterUnknown()->Release();
    if (m_HalPowerManagement != nullptr) GetOuterUnknown()->Release();
    return status;
}

// ---------------------------------------------------------------------------------------------
// ASIO defaults

NTSTATUS UsbAudioAdapter::LoadAsioSettings() {
    PAGED_CODE();
    m_AsioSelectedSampleType = AsioDefaultSampleType;
    m_AsioActiveSampleType = AsioDefaultSampleType;
    m_AsioLatencyIndex = AsioDefaultLatencyIndex;
    m_AsioSampleRate = AsioDefaultSampleRate;
    // An absent value keeps the default.
    AccessSettingBinary(m_DeviceObject, SettingMode::Read, &m_AsioSelectedSampleType, sizeof(ULONG),
                        SettingName::AsioDataBitDepth);
    AccessSettingBinary(m_DeviceObject, SettingMode::Read, &m_AsioActiveSampleType, sizeof(ULONG),
                        SettingName::AsioDataBitDepth);
    AccessSettingBinary(m_DeviceObject, SettingMode::Read, &m_AsioLatencyIndex, sizeof(ULONG),
                        SettingName::AsioDataLatency);
    AccessSettingBinary(m_DeviceObject, SettingMode::Read, &m_AsioSampleRate, sizeof(ULONG),
                        SettingName::AsioSampleRate);

    // Stored values are the registry's, not the driver's: a type the rings cannot size, an index
    // beyond the latency table or a rate without a whole frame per millisecond falls back.
    if (!AsioIsKnownSampleType(m_AsioSelectedSampleType)) m_AsioSelectedSampleType = AsioDefaultSampleType;
    if (!AsioIsKnownSampleType(m_AsioActiveSampleType)) m_AsioActiveSampleType = AsioDefaultSampleType;
    if (m_AsioLatencyIndex >= AsioLatencyCount) m_AsioLatencyIndex = AsioDefaultLatencyIndex;
    if (m_AsioSampleRate < AsioMinimumPcmRate) m_AsioSampleRate = AsioDefaultSampleRate;

    // A device with an ASIO endpoint and no stored sample type gets its own default once.
    const ULONG engines = m_HalAdapterCommon != nullptr ? m_HalAdapterCommon->GetStreamEngineCount() : 0;
    for (ULONG i = 0; i < engines; ++i) {
        EndpointInfo info = {};
        if (!NT_SUCCESS(m_HalAdapterCommon->GetEndpointInfo(i, &info)) || (info.Flags & EndpointFlagAsio) == 0) continue;
        ULONG stored = 0;
        if (AccessSettingBinary(m_DeviceObject, SettingMode::Read, &stored, sizeof(stored),
                                SettingName::AsioDataBitDepth) != STATUS_OBJECT_NAME_NOT_FOUND) {
            continue;
        }
        for (const AsioSampleTypeDefault& entry : AsioSampleTypeDefaults) {
            if (entry.VendorId != m_VendorId || entry.ProductId != m_ProductId) continue;
            m_AsioSelectedSampleType = entry.SampleType;
            m_AsioActiveSampleType = entry.SampleType;
            ULONG value = entry.SampleType;
            AccessSettingBinary(m_DeviceObject, SettingMode::Write, &value, sizeof(value),
                                SettingName::AsioDataBitDepth);
        }
        break;
    }
    SettleAsioSampleTypes();
    return STATUS_SUCCESS;
}
