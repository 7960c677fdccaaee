// The adapter object: construction and destruction, its interfaces, the AdapterCommon operations it
// forwards to the aggregated HAL, and the component identifier.
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/adapter/AdapterAsio.h"

namespace {

// KSCOMPONENTID_USBAUDIO {8F1275F0-26E9-4264-BA4D-39FFF01D94AA}
constexpr GUID UsbAudioComponentId = {0x8F1275F0, 0x26E9, 0x4264, {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};
// The last eight bytes of the manufacturer and product identifiers of a USB audio device.
constexpr UCHAR UsbAudioIdTail[8] = {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA};
constexpr ULONG UsbAudioManufacturerBase = 0x4E1CECD2;  // + idVendor
constexpr ULONG UsbAudioProductBase = 0xABCC5A5E;       // + idProduct

GUID UsbAudioIdentifier(ULONG Data1, USHORT Data2) {
    GUID id = {Data1, Data2, 0x463B, {}};
    RtlCopyMemory(id.Data4, UsbAudioIdTail, sizeof(UsbAudioIdTail));
    return id;
}

}  // namespace

NTSTATUS CreateAdapter(PADAPTERCOMMON* Adapter) {
    PAGED_CODE();
    if (Adapter == nullptr) return STATUS_INVALID_PARAMETER;
    *Adapter = nullptr;
    auto* adapter = new (NonPagedPoolNx, UsbAudioAdapterTag) UsbAudioAdapter(nullptr);
    if (adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    adapter->NonDelegatingAddRef();
    *Adapter = static_cast<AdapterCommon*>(adapter);
    return STATUS_SUCCESS;
}

UsbAudioAdapter::UsbAudioAdapter(PUNKNOWN UnknownOuter)
    : AudioHal(UnknownOuter),
      m_ConfigurationDescriptor(nullptr),
      m_ConfigurationHandle(nullptr),
      m_InterfaceInformation(nullptr),
      m_InterfaceCount(0),
      m_VendorId(0),
      m_ProductId(0),
      m_ManufacturerStringIndex(0),
      m_ProductStringIndex(0),
      m_DevicePresent(0),
      m_ControlInterfaceNumber(0),
      m_HighSpeed(0),
      m_IrpStackSize(1),
      m_BusInterface{},
      m_BusInterfaceReferenced(FALSE),
      m_HalUnknown(nullptr),
      m_HalAdapterCommon(nullptr),
      m_HalPowerManagement(nullptr),
      m_HalDeviceModel(nullptr),
      m_AsioClients{&m_AsioClients, &m_AsioClients},
      m_AsioRingLock(0),
      m_AsioOwner(nullptr),
      m_AsioOwnerFlag(0),
      m_AsioSelectedSampleType(AsioDefaultSampleType),
      m_AsioActiveSampleType(AsioDefaultSampleType),
      m_AsioLatencyIndex(AsioDefaultLatencyIndex),
      m_AsioSampleRate(AsioDefaultSampleRate),
      m_AsioRings(nullptr),
      m_AsioRingCount(0),
      m_AsioFramesPerBuffer(0),
      m_AsioBytesPerSample(0),
      m_AsioSplit{},
      m_AsioOwnerProcess(nullptr),
      m_AsioStreaming(0),
      m_AsioRestart(0),
      m_HeldStopRequest(nullptr),
      m_PortCycled(0),
      m_PortResetting(0),
      m_TimerResolutionHeld(FALSE),
      m_SelectiveSuspendEnabled(FALSE),
      m_IoInProgress(1),
      m_BusyCount(0),
      m_IdleLock(0),
      m_IdleRequestPending(0),
      m_IdleCallbackInfo(nullptr),
      m_IdleIrp(nullptr),
      m_IdleRequestOwners(0),
      m_IdleWorkQueued(0) {
    KeInitializeSpinLock(&m_AsioRingLock);
    // The destructor waits on these events and cancels the timer whatever Init got to, so they
    // are ready from the start: signalled means no work item, idle request or D0 request is out.
    KeInitializeSpinLock(&m_IdleLock);
    KeInitializeEvent(&m_IdleDoneEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_D0RequestEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_WorkDoneEvent, NotificationEvent, TRUE);
    KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
    KeInitializeDpc(&m_IdleDpc, IdleTimerDpc, this);
    // 1 ms timer resolution while the adapter exists and its device is in D0.
    RequestTimerResolution();
}

UsbAudioAdapter::~UsbAudioAdapter() {
    PAGED_CODE();
    // No idle work item, idle request or D0 request of the driver's own may outlive the adapter.
    // Counting one more I/O keeps the device from counting as idle again, so no new idle request
    // starts and the outstanding one can be cancelled.
    InterlockedIncrement(&m_IoInProgress);
    if (m_SelectiveSuspendEnabled) StopIdleTimer();
    KeWaitForSingleObject(&m_WorkDoneEvent, Executive, KernelMode, FALSE, nullptr);
    CancelIdleRequest();
    KeWaitForSingleObject(&m_IdleDoneEvent, Executive, KernelMode, FALSE, nullptr);
    // The idle request's completion re-arms the check; its D0 request reports to this object.
    if (m_SelectiveSuspendEnabled) StopIdleTimer();
    KeWaitForSingleObject(&m_D0RequestEvent, Executive, KernelMode, FALSE, nullptr);
    // Whoever signalled last did so under the idle lock: let it leave the lock.
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    KeReleaseSpinLock(&m_IdleLock, irql);

    FreeAsioClients();
    if (m_HalUnknown != nullptr) {
        // The cached HAL pointers hold no references; only this one does.
        m_HalAdapterCommon = nullptr;
        m_HalPowerManagement = nullptr;
        m_HalDeviceModel = nullptr;
        PUNKNOWN hal = m_HalUnknown;
        m_HalUnknown = nullptr;
        hal->Release();
    }
    FreeInterfaceInformation();
    if (m_ConfigurationDescriptor != nullptr) {
        ExFreePoolWithTag(m_ConfigurationDescriptor, UsbAudioAdapterUsbTag);
        m_ConfigurationDescriptor = nullptr;
    }
    if (m_AsioRings != nullptr) {
        ExFreePoolWithTag(m_AsioRings, UsbAudioAdapterUsbTag);
        m_AsioRings = nullptr;
        m_AsioRingCount = 0;
    }
    if (m_BusInterfaceReferenced && m_BusInterface.InterfaceDereference != nullptr) {
        m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    }
    m_BusInterfaceReferenced = FALSE;
    m_ConfigurationHandle = nullptr;
    ReleaseTimerResolution();
}

NTSTATUS UsbAudioAdapter::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (Interface == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(InterfaceId, IID_DeviceModel)) {
        // The HAL's, with a reference (which lands on the adapter, the HAL's outer unknown).
        *Interface = m_HalDeviceModel;
        if (m_HalDeviceModel == nullptr) return STATUS_INVALID_PARAMETER;
        m_HalDeviceModel->AddRef();
        return STATUS_SUCCESS;
    }
    const KernelInterface answers[] = {
        {IID_IUnknown, static_cast<AdapterCommon*>(this)},
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
        {IID_UsbTransport, static_cast<UsbTransport*>(this)},
        {IID_AsioPrivateInterface, static_cast<AsioPrivateInterface*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// ---------------------------------------------------------------------------------------------
// AdapterCommon: forwarded to the HAL

NTSTATUS UsbAudioAdapter::GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) {
    if (m_HalAdapterCommon == nullptr) return AudioHal::GetEndpointInfo(EngineIndex, Info);
    return m_HalAdapterCommon->GetEndpointInfo(EngineIndex, Info);
}

ULONG UsbAudioAdapter::GetStreamEngineCount() {
    if (m_HalAdapterCommon == nullptr) return AudioHal::GetStreamEngineCount();
    return m_HalAdapterCommon->GetStreamEngineCount();
}

NTSTATUS UsbAudioAdapter::GetStreamEngine(ULONG Index, StreamEngine** Engine) {
    if (m_HalAdapterCommon == nullptr) return AudioHal::GetStreamEngine(Index, Engine);
    return m_HalAdapterCommon->GetStreamEngine(Index, Engine);
}

ULONG UsbAudioAdapter::GetNodeCount() {
    if (m_HalAdapterCommon == nullptr) return AudioHal::GetNodeCount();
    return m_HalAdapterCommon->GetNodeCount();
}

NTSTATUS UsbAudioAdapter::GetNode(ULONG Index, AudioNode** Node) {
    if (m_HalAdapterCommon == nullptr) return AudioHal::GetNode(Index, Node);
    return m_HalAdapterCommon->GetNode(Index, Node);
}

NTSTATUS UsbAudioAdapter::Start() {
    PAGED_CODE();
    if (m_HalAdapterCommon == nullptr) return AudioHal::Start();
    return m_HalAdapterCommon->Start();
}

NTSTATUS UsbAudioAdapter::Stop() {
    PAGED_CODE();
    // The device is being removed: a STOP held for its return to D0 would wait forever, and the
    // owner's stream clients would keep the streams (which go with the HAL) waiting for them.
    CompleteHeldAsioStop();
    {
        AsioLock lock(m_AsioMutex);
        if (m_AsioOwner != nullptr && m_AsioOwner->Buffers != 0) ReleaseAsioBuffers(m_AsioOwner);
    }
    if (m_HalAdapterCommon == nullptr) return AudioHal::Stop();
    return m_HalAdapterCommon->Stop();
}

NTSTATUS UsbAudioAdapter::RegisterChangeCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
    PAGED_CODE();
    if (m_HalAdapterCommon == nullptr) return AudioHal::RegisterChangeCallback(Callback, Context, Registration);
    return m_HalAdapterCommon->RegisterChangeCallback(Callback, Context, Registration);
}

NTSTATUS UsbAudioAdapter::UnregisterChangeCallback(PVOID Registration) {
    PAGED_CODE();
    if (m_HalAdapterCommon == nullptr) return AudioHal::UnregisterChangeCallback(Registration);
    return m_HalAdapterCommon->UnregisterChangeCallback(Registration);
}

// ---------------------------------------------------------------------------------------------
// AdapterCommon: the adapter's own

NTSTATUS UsbAudioAdapter::GetComponentId(PKSCOMPONENTID ComponentId) {
    if (ComponentId == nullptr) return STATUS_INVALID_PARAMETER;
    ComponentId->Manufacturer = UsbAudioIdentifier(UsbAudioManufacturerBase + m_VendorId, 0x1679);
    ComponentId->Product = UsbAudioIdentifier(UsbAudioProductBase + m_ProductId, 0xC263);
    ComponentId->Component = UsbAudioComponentId;
    ComponentId->Name = GUID_NULL;
    ComponentId->Version = 0;
    ComponentId->Revision = 0;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::BindStreams() { return STATUS_SUCCESS; }

PUSBD_INTERFACE_INFORMATION UsbAudioAdapter::InterfaceInformation(ULONG Index) const {
    if (m_InterfaceInformation == nullptr || Index >= m_InterfaceCount) return nullptr;
    return m_InterfaceInformation[Index];
}

// ---------------------------------------------------------------------------------------------
// Timer resolution and selective suspend

void UsbAudioAdapter::RequestTimerResolution() {
    if (m_TimerResolutionHeld) return;
    ExSetTimerResolution(UsbAdapterTimerResolution100ns, TRUE);
    m_TimerResolutionHeld = TRUE;
}

void UsbAudioAdapter::ReleaseTimerResolution() {
    // A device that left D0 before the adapter goes has released its request already.
    if (!m_TimerResolutionHeld) return;
    ExSetTimerResolution(0, FALSE);
    m_TimerResolutionHeld = FALSE;
}
