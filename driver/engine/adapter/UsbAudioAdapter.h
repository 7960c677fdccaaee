// UsbAudioAdapter: the one object the driver creates per USB audio device. It is an AudioHal whose
// AdapterCommon operations mostly forward to a second AudioHal that it chooses, creates and
// aggregates (the HAL that fits the device), and it adds two interfaces of its own in front:
// UsbTransport, through which everything reaches the USB device, and AsioPrivateInterface. It owns
// the device's identity (descriptors, vendor and product identifiers, strings written to the
// device's registry key), the ASIO settings and the selective-suspend machinery.
//
// Aggregation: the HAL is created with the adapter as its outer unknown, so every interface taken
// from the HAL adds its reference to the adapter. The adapter caches the HAL's AdapterCommon,
// DeviceModel and IAdapterPowerManagement and releases itself once for each, so the cached
// pointers do not keep it alive; only m_HalUnknown holds a reference on the HAL.
#pragma once

#include "driver/engine/asio/AsioPrivateInterface.h"
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/adapter/AudioHalCreators.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/interfaces/UsbTransport.h"

#include <win/kernel.h>
#include <win/ks.h>
#include <win/portcls.h>
#include <win/usb.h>

// "PcCr": the adapter object (non-paged).
constexpr ULONG UsbAudioAdapterTag = 'rCcP';
// "USBd": descriptors, interface information copies, the ring table, ASIO clients (non-paged).
constexpr ULONG UsbAudioAdapterUsbTag = 'dBSU';
// "str ": the manufacturer string buffer (non-paged).
constexpr ULONG UsbAudioAdapterStringTag = ' rts';
// "pmet": the model identifier buffer and its URB (non-paged).
constexpr ULONG UsbAudioAdapterModelTag = 'temp';
// "Temp": registry names and property buffers (paged).
constexpr ULONG UsbAudioAdapterTempTag = 'pmeT';

// A string descriptor read: 256 bytes asked for, into a zeroed 260-byte buffer.
constexpr ULONG UsbStringRequestBytes = 256;
constexpr ULONG UsbStringBufferBytes = 260;
constexpr USHORT UsbLanguageEnglishUs = 0x0409;
// "FriendlyName" is written only for a product text shorter than this, in characters.
constexpr ULONG UsbFriendlyNameMaxChars = 50;

// Selective suspend: the idle check runs 5 s after start, then every 5000 ms.
constexpr LONGLONG UsbIdleCheckDueTime100ns = 50'000'000;
constexpr LONG UsbIdleCheckPeriodMs = 5000;
// The system timer resolution the adapter asks for while its device is in D0, in 100 ns units.
constexpr ULONG UsbAdapterTimerResolution100ns = 10000;

// Kinds of device text UpdateDeviceText writes.
constexpr ULONG DeviceTextManufacturer = 8;  // "Mfg"
constexpr ULONG DeviceTextFriendlyName = 9;  // "FriendlyName"

// Allocates and constructs an adapter and hands out its AdapterCommon with one reference.
// STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateAdapter(PADAPTERCOMMON* Adapter);

class UsbAudioAdapter : public UsbTransport, public AsioPrivateInterface, public AudioHal {
public:
    DECLARE_KERNEL_UNKNOWN();

    explicit UsbAudioAdapter(PUNKNOWN UnknownOuter);
    ~UsbAudioAdapter() override;

    // ---- UsbTransport ----
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override;
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override;
    STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override;
    STDMETHODIMP SetDevicePresent(UCHAR Present) override;
    STDMETHODIMP CallLowerDriver(PIRP Irp) override;
    STDMETHODIMP SubmitUrbSync(PURB Urb) override;
    STDMETHODIMP QueryBusTime(PULONG CurrentFrame) override;
    STDMETHODIMP_(PIRP) AllocateIrp() override;
    STDMETHODIMP FreeIrp(PIRP Irp) override;
    STDMETHODIMP_(UCHAR) IsHighSpeed() override;
    STDMETHODIMP_(BOOLEAN) CheckPortStatus() override;
    STDMETHODIMP_(BOOLEAN) CyclePort() override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override;
    STDMETHODIMP_(LONG) AddBusy() override;
    STDMETHODIMP_(LONG) ReleaseBusy() override;
    STDMETHODIMP CreateAudioHal() override;

    // ---- AsioPrivateInterface (AdapterAsio.cpp, AdapterAsioRings.cpp) ----
    STDMETHODIMP CreateClient(PFILE_OBJECT FileObject) override;
    STDMETHODIMP Reserved(PFILE_OBJECT FileObject) override;
    STDMETHODIMP CloseClient(PFILE_OBJECT FileObject) override;
    STDMETHODIMP GetDeviceName(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) override;
    STDMETHODIMP GetChannels(PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length) override;
    STDMETHODIMP GetChannelInfo(PFILE_OBJECT FileObject, PVOID ChannelInfo, ULONG Length) override;
    STDMETHODIMP SetNotifyEvent(PFILE_OBJECT FileObject, PULONGLONG EventHandle) override;
    STDMETHODIMP ClearNotifyEvent(PFILE_OBJECT FileObject) override;
    STDMETHODIMP GetState(PFILE_OBJECT FileObject, PVOID Buffer) override;
    STDMETHODIMP GetBitDepths(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) override;
    STDMETHODIMP GetLatencyChoices(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) override;
    STDMETHODIMP SetBitDepth(PFILE_OBJECT FileObject, ULONG SampleType) override;
    STDMETHODIMP SetLatency(PFILE_OBJECT FileObject, ULONG LatencyIndex) override;
    STDMETHODIMP GetLatencies(PFILE_OBJECT FileObject, PVOID Buffer) override;
    STDMETHODIMP GetSampleRate(PFILE_OBJECT FileObject, PVOID Buffer) override;
    STDMETHODIMP CanSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) override;
    STDMETHODIMP SetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) override;
    STDMETHODIMP GetBufferSize(PFILE_OBJECT FileObject, PVOID Buffer) override;
    STDMETHODIMP CreateBuffers(PFILE_OBJECT FileObject, PVOID Request, PVOID AddressTable, PULONG Length) override;
    STDMETHODIMP DisposeBuffers(PFILE_OBJECT FileObject) override;
    STDMETHODIMP Start(PFILE_OBJECT FileObject, PULONGLONG EventHandle) override;
    STDMETHODIMP Stop(PFILE_OBJECT FileObject, PIRP Irp) override;
    STDMETHODIMP CanDoIoFormat(PFILE_OBJECT FileObject, PULONG Kind) override;
    STDMETHODIMP SetIoFormat(PFILE_OBJECT FileObject, PULONG Kind) override;
    STDMETHODIMP GetIoFormat(PFILE_OBJECT FileObject, PVOID Buffer) override;

    // ---- AdapterCommon ----
    // Forwarded to the HAL (without a HAL: what the AudioHal base answers for an empty device).
    STDMETHODIMP GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override;
    STDMETHODIMP_(ULONG) GetStreamEngineCount() override;
    STDMETHODIMP GetStreamEngine(ULONG Index, StreamEngine** Engine) override;
    STDMETHODIMP_(ULONG) GetNodeCount() override;
    STDMETHODIMP GetNode(ULONG Index, AudioNode** Node) override;
    STDMETHODIMP Start() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP RegisterChangeCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
    STDMETHODIMP UnregisterChangeCallback(PVOID Registration) override;
    // The adapter's own.
    // The identifier record of a USB audio device built from idVendor and idProduct.
    STDMETHODIMP GetComponentId(PKSCOMPONENTID ComponentId) override;
    // Settings from the INI file, selective suspend prepared, then the base Init (which runs
    // Identify), the "SelectiveSuspendEnabled" value and the idle timer. Its result is the base
    // Init's.
    STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                      PDEVICE_OBJECT PhysicalDeviceObject) override;
    // Descriptors, configuration, bus interface, the HAL and its Init, device strings, ring table
    // and ASIO defaults; each failing step ends it with its status.
    STDMETHODIMP Identify() override;
    // Nothing to bind on the adapter itself.
    STDMETHODIMP BindStreams() override;
    // Wakes a selectively suspended device before a request touches it: cancels the idle request,
    // then waits at most 500 ms for it to finish and at most 500 ms for the driver's own D0
    // request. Always STATUS_SUCCESS.
    STDMETHODIMP WaitIdle() override;

    // ---- IAdapterPowerManagement (queries answered by the AudioHal base) ----
    // Tells the HAL (leaving D0 only while the device is present) and holds the 1 ms timer
    // resolution exactly while in D0. Runs under the ASIO mutex; D0 to D3 only, the kept state
    // again changes nothing.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;

    // ---- Selective suspend ----
    // Sends the bus driver's idle notification when the device is idle and in D0.
    // STATUS_POWER_STATE_INVALID out of D0, STATUS_DEVICE_BUSY while one exists,
    // STATUS_UNSUCCESSFUL when the device became busy; otherwise the lower driver's answer.
    NTSTATUS SubmitIdleRequest();
    // Cancels the idle request unless the device is idle.
    void CancelIdleRequest();

    // ---- Device identity in the registry ----
    // Product and manufacturer strings into "FriendlyName" and "Mfg"; failures are ignored.
    NTSTATUS UpdateDeviceStrings();
    // One REG_SZ value of Kind (DeviceTextFriendlyName or DeviceTextManufacturer) into the
    // device's Enum key; ByteLength includes the terminating zero. Answers the last attempt's
    // status; another kind: STATUS_INVALID_PARAMETER.
    NTSTATUS UpdateDeviceText(ULONG Kind, ULONG ByteLength, PCWSTR Text);
    // ValueName from the device's "Device Parameters" key into Buffer; a stored value longer than
    // ByteLength answers STATUS_UNSUCCESSFUL. The last hardware identifier whose key has the value
    // decides.
    NTSTATUS ReadSelectiveSuspendSetting(PCWSTR ValueName, ULONG ByteLength, PVOID Buffer);

    // ---- State, for the front and for inspection ----
    BOOLEAN IsDevicePresent() const { return ReadNoFence(&m_DevicePresent) != 0; }
    // The HAL's AdapterCommon (also of the HALs that hand out no DeviceModel); null without a HAL.
    AdapterCommon* HalAdapterCommon() const { return m_HalAdapterCommon; }
    USHORT VendorId() const { return m_VendorId; }
    USHORT ProductId() const { return m_ProductId; }
    ULONG InterfaceCount() const { return m_InterfaceCount; }
    // Copy i of the select-configuration answer; null past the count.
    PUSBD_INTERFACE_INFORMATION InterfaceInformation(ULONG Index) const;
    BOOLEAN SelectiveSuspendEnabled() const { return m_SelectiveSuspendEnabled; }
    BOOLEAN HoldsTimerResolution() const { return m_TimerResolutionHeld; }
    ULONG AsioSelectedSampleType() const { return m_AsioSelectedSampleType; }
    ULONG AsioActiveSampleType() const { return m_AsioActiveSampleType; }
    ULONG AsioLatencyIndex() const { return m_AsioLatencyIndex; }
    ULONG AsioSampleRate() const { return m_AsioSampleRate; }
    ULONG AsioRingCount() const { return m_AsioRingCount; }
    const AsioRingEntry* AsioRing(ULONG Index) const {
        return m_AsioRings != nullptr && Index < m_AsioRingCount ? &m_AsioRings[Index] : nullptr;
    }
    BOOLEAN AsioStreaming() const { return m_AsioStreaming != 0; }
    BOOLEAN AsioRestartPending() const { return m_AsioRestart != 0; }
    BOOLEAN AsioDetached() const { return m_AsioDetached != 0; }
    BOOLEAN AsioOwned() const { return m_AsioOwner != nullptr; }
    // The owner has started its streams (its buffer event is in place).
    BOOLEAN AsioOwnerStreaming() const { return m_AsioOwner != nullptr && m_AsioOwner->BufferEvent != nullptr; }
    BOOLEAN AsioStopHeld() const {
        return ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&m_HeldStopRequest)) != nullptr;
    }
    LONG IoInProgressCount() const { return ReadNoFence(&m_IoInProgress); }
    LONG BusyCount() const { return ReadNoFence(&m_BusyCount); }
    ULONG DevicePowerState() const { return m_PowerState; }
    BOOLEAN IdleRequestPending() const { return ReadNoFence(&m_IdleRequestPending) != 0; }

protected:
    // The 1 ms timer resolution: asked for at most once at a time and released only when held.
    void RequestTimerResolution();
    void ReleaseTimerResolution();

private:
    // The port reset of CheckPortStatus: every USB stream drained and the HAL powered down
    // before it, both brought back after it.
    void ResetPortQuiesced();
    // Drain (TRUE) or resume (FALSE) every USB stream of the HAL for a port reset.
    void ForEachUsbStream(BOOLEAN Drain);

    // Steps of Identify.
    NTSTATUS ReadDescriptors();
    NTSTATUS SelectConfiguration();
    NTSTATUS QueryUsbBusInterface();
    NTSTATUS LoadAsioSettings();

    // One string descriptor (Index, language 0x0409) into Buffer (zeroed first) through a
    // GET_DESCRIPTOR URB of RequestBytes; *Received := bytes that arrived.
    NTSTATUS ReadStringDescriptor(UCHAR Index, PUCHAR Buffer, ULONG RequestBytes, PULONG Received, ULONG UrbTag);
    // A descriptor of DescriptorType into Buffer (zeroed first); *Received := bytes that arrived.
    NTSTATUS ReadDescriptor(UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length,
                            PULONG Received, ULONG UrbTag);
    // Reads string descriptor Index into a 260-byte buffer of Tag and writes its text as Kind.
    void WriteStringAsDeviceText(UCHAR Index, ULONG Kind, ULONG Tag);

    // Sends a threaded internal device control request with Argument1 to the lower device object
    // and waits for it; *Built := whether the request could be built.
    NTSTATUS SendPortRequest(ULONG IoControlCode, PVOID Argument1, BOOLEAN* Built);

    void FreeInterfaceInformation();

    // ---- ASIO service: clients and settings (AdapterAsio.cpp); the caller holds the ASIO mutex ----
    void FreeAsioClients();
    AsioClient* FindAsioClient(PFILE_OBJECT FileObject);
    // Engine Index when it is an ASIO endpoint (its EndpointInfo has EndpointFlagAsio).
    BOOLEAN AsioEndpointAt(ULONG Index, StreamEngine** Engine);
    ULONG AsioEndpointCount();
    // The largest channel count among the engine's format records of Kind.
    static ULONG AsioEngineChannels(StreamEngine* Engine, FormatKind Kind);
    // A record of Kind (carrying *Rate when Rate is given).
    static BOOLEAN AsioEngineCarries(StreamEngine* Engine, FormatKind Kind, const ULONG* Rate);
    // Every ASIO endpoint carries it: STATUS_SUCCESS; one lacks it: STATUS_UNSUCCESSFUL; no ASIO
    // endpoint: STATUS_INVALID_PARAMETER.
    NTSTATUS AsioEveryEndpointCarries(FormatKind Kind, const ULONG* Rate);
    void NotifyAsioClients();
    // The listed sample types every ASIO endpoint offers, in list order, into Types (room for the
    // whole list); answers their count. *AnyEndpoint: whether the device has an ASIO endpoint.
    ULONG AsioOfferedSampleTypes(PULONG Types, bool* AnyEndpoint);
    bool AsioOffersSampleType(ULONG SampleType);
    // The selected and active types become types the device offers (after the stored settings).
    void SettleAsioSampleTypes();
    // The owner's latencies from its rings' buffer size and render lead.
    void AsioRingLatencies(AsioClient* Owner, AsioLatencies* Latencies);
    void WriteAsioSetting(PCWSTR Name, ULONG Value);
    // An event handle of the calling process (user mode, EVENT_MODIFY_STATE) with a reference.
    static NTSTATUS ReferenceUserEvent(ULONGLONG Handle, PKEVENT* Event);
    // The product string as ANSI, blanks cut; *Chars 0 when the device gives no usable text.
    NTSTATUS ReadAsioProductName(char* Name, PULONG Chars);

    // ---- ASIO service: rings and streaming (AdapterAsioRings.cpp) ----
    // Stops the owner's streaming, unregisters its stream clients and frees its rings; the client
    // keeps its record but owns no buffers. The caller holds the ASIO mutex.
    void ReleaseAsioBuffers(AsioClient* Client);
    // Stops the ASIO streams, forgets a remembered restart, drops the buffer event and unregisters
    // the ring clients from their streams; the rings themselves stay.
    void StopAndUnhookAsioStreams();
    // CREATE_BUFFERS' work for the client that owns the device meanwhile: the rings, their views
    // in the caller's process, the address table and the stream clients; a failure leaves none.
    NTSTATUS BuildAsioRings(AsioClient* Client, PVOID Request, PVOID AddressTable, PULONG Length);
    // The kind-5 clients of the active rings on their streams; a failure unregisters them all.
    NTSTATUS RegisterAsioClients();
    void UnregisterAsioClients();
    // The engine's format record for ring Index in the owner's kind, rate and the active type.
    NTSTATUS BuildAsioFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format);
    // Opens and starts every active ring's stream; any failure closes them all again.
    NTSTATUS StartAsioStreaming();
    NTSTATUS StopAsioStreaming();
    // The client takes the adapter's latency index; answers its milliseconds. Under the ASIO mutex.
    ULONG AdoptAsioLatency(AsioClient* Client);
    // Positions of every ring before its streams start: render rings get the library's lead.
    // SilenceRender: what a render ring holds is stale (a resume after a power-down) and is
    // cleared; at a START it is the library's preload and stays.
    void ResetAsioRings(bool SilenceRender);
    // The owner's buffer event, under the ring lock (null takes it out); answers the one before.
    PKEVENT ExchangeAsioBufferEvent(PKEVENT Event);
    // Unmaps (in the owner's process) and frees every ring; entries are cleared under the ring lock.
    // Lets the owner's process go.
    void FreeAsioRings();
    // STOP for the owner: the buffer event goes, the streams stop, the rings fall silent.
    NTSTATUS StopOwnerStreaming(PFILE_OBJECT FileObject);
    // The vendor start (1) or stop (0) request of the device models that want it.
    void SendAsioVendorRequest(USHORT Value);
    // A STOP held below D0 runs and completes (D0 or removal).
    void CompleteHeldAsioStop();
    // The device is going: the streams stop and lose their ASIO clients, the rings stay mapped
    // (the library may still read them) until DISPOSE or close, and every client hears of it.
    void DetachAsioStreams();
    static CALLBACK_FUNCTION AsioStreamCallback;
    static DRIVER_CANCEL CancelHeldAsioStop;

    static IO_COMPLETION_ROUTINE SignalEventCompletion;

    // Selective suspend.
    // Nothing in progress (the I/O count at 1) and no stream busy.
    BOOLEAN IsIdle() const;
    // The idle check: 5 s from now, then every 5000 ms.
    void ArmIdleTimer();
    // Cancels the idle check and lets a DPC that already fired finish.
    void StopIdleTimer();
    // Frees the idle notification IRP and its callback record once both owners let go.
    void ReleaseIdleRequestOwner(PIRP Irp);
    static KDEFERRED_ROUTINE IdleTimerDpc;
    static IO_WORKITEM_ROUTINE IdleWorkRoutine;
    static USB_IDLE_CALLBACK_ROUTINE IdleCallback;
    static IO_COMPLETION_ROUTINE IdleRequestCompletion;
    static REQUEST_POWER_COMPLETE SuspendRequestComplete;
    static REQUEST_POWER_COMPLETE WakeRequestComplete;

    // ---- USB identity and configuration ----
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor;  // wTotalLength bytes, non-paged "USBd"
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION* m_InterfaceInformation;  // m_InterfaceCount copies, non-paged "USBd"
    ULONG m_InterfaceCount;
    USHORT m_VendorId;
    USHORT m_ProductId;
    UCHAR m_ManufacturerStringIndex;
    UCHAR m_ProductStringIndex;
    ULONG volatile m_DevicePresent;  // 1 or 0; written without a lock, readers tolerate a stale 1
    UCHAR m_ControlInterfaceNumber;
    UCHAR m_HighSpeed;
    CCHAR m_IrpStackSize;  // the functional device object's StackSize + 1
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
    BOOLEAN m_BusInterfaceReferenced;  // the bus driver took a reference that the destructor drops

    // ---- The aggregated HAL ----
    PUNKNOWN m_HalUnknown;                         // the adapter's one reference on the HAL
    AdapterCommon* m_HalAdapterCommon;             // cached, no reference of its own
    IAdapterPowerManagement* m_HalPowerManagement;  // cached, no reference of its own
    DeviceModel* m_HalDeviceModel;                 // cached, no reference of its own; may be null

    // ---- ASIO state ----
    KernelMutex m_AsioMutex;  // every AsioPrivateInterface operation and power changes
    LIST_ENTRY m_AsioClients;  // AsioClient records
    KSPIN_LOCK m_AsioRingLock;  // the ring headers, kernel positions and the owner's buffer event while streaming
    AsioClient* m_AsioOwner;
    ULONG m_AsioOwnerFlag;
    ULONG m_AsioSelectedSampleType;
    ULONG m_AsioActiveSampleType;
    ULONG m_AsioLatencyIndex;
    ULONG m_AsioSampleRate;  // Hz
    AsioRingEntry* m_AsioRings;  // m_AsioRingCount entries, non-paged "USBd"; null without engines
    ULONG m_AsioRingCount;
    ULONG m_AsioFramesPerBuffer;
    ULONG m_AsioBytesPerSample;     // of the running format: 2, 3, 4, or 8 for DSD
    AsioTransferSplit m_AsioSplit;  // of the owner's rate and buffer
    PEPROCESS m_AsioOwnerProcess;   // referenced while the rings have views in it
    UCHAR m_AsioStreaming;
    UCHAR m_AsioRestart;
    UCHAR m_AsioDetached;  // the device is going: no stream client or START for the rings any more
    PIRP volatile m_HeldStopRequest;  // a cancellable STOP that arrived below D0

    // ---- Port ----
    KernelMutex m_PortStatusMutex;  // serialises CheckPortStatus; a leaf lock
    LONG volatile m_PortCycled;
    LONG volatile m_PortResetting;  // a reset of the port is under way

    // ---- Power and selective suspend ----
    BOOLEAN m_TimerResolutionHeld;
    BOOLEAN m_SelectiveSuspendEnabled;
    LONG volatile m_IoInProgress;  // 1 when nothing is in progress
    LONG volatile m_BusyCount;
    KSPIN_LOCK m_IdleLock;
    LONG volatile m_IdleRequestPending;
    PUSB_IDLE_CALLBACK_INFO m_IdleCallbackInfo;
    PIRP volatile m_IdleIrp;
    LONG volatile m_IdleRequestOwners;
    KEVENT m_IdleDoneEvent;   // signalled while no idle request exists
    KEVENT m_D0RequestEvent;  // signalled while no D0 request of the driver's own is under way
    KEVENT m_WorkDoneEvent;   // signalled while no idle work item is queued
    LONG volatile m_IdleWorkQueued;  // 1 from the DPC that queues the work item until it has run
    KTIMER m_IdleTimer;
    KDPC m_IdleDpc;
};
