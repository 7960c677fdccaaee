// Uac1AudioHal: the HAL of a USB Audio Class 1.0 device (AudioControl protocol 0). It fills the
// endpoint capability record from the device's chip identifier, keeps the unit objects of the
// AudioControl interface, and runs a status thread on the AudioControl interrupt endpoint: every
// status word that names a unit or terminal re-reads that unit and announces its controls' values
// (a terminal re-installs every engine's wave subdevice instead). The device-model HALs derive
// from it.
//
// Aggregated by the adapter: every interface forwards to the adapter's unknown, and UsbTransport
// is found there.
#pragma once

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/base/PointerList.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"
#include "driver/engine/hal/UnitNode.h"
#include "driver/engine/interfaces/UsbTransport.h"
#include "driver/engine/stream/UsbAudioStream.h"

#include <win/kernel.h>
#include <win/usb.h>

// "UAC1": the HAL object, its unit list, the status thread's event and requests (non-paged); the
// topology walk's unit table (paged).
constexpr ULONG Uac1AudioHalTag = '1CAU';
// "URB ": the select-interface request and the status interface copy (non-paged).
constexpr ULONG Uac1AudioHalUrbTag = ' BRU';
// "pmet": the chip identifier buffer and its request (non-paged).
constexpr ULONG Uac1AudioHalChipTag = 'temp';
// "Temp": the engine name buffer of UpdateMiniports (paged).
constexpr ULONG Uac1AudioHalNameTag = 'pmeT';

// The status thread's scheduling priority.
constexpr KPRIORITY Uac1StatusThreadPriority = 24;
// A UAC 1.0 status word: bStatusType, bOriginator.
constexpr ULONG Uac1StatusWordBytes = 2;
// m_StatusPipe while no status thread exists.
constexpr UCHAR Uac1NoStatusPipe = 255;
// Bytes of the chip identifier read (a string descriptor).
constexpr ULONG Uac1ChipStringBytes = 104;
// Bytes of the request that reads it.
constexpr ULONG Uac1ChipRequestBytes = 136;
// Bytes of the status thread's interrupt and abort requests.
constexpr ULONG Uac1InterruptRequestBytes = 128;
constexpr ULONG Uac1AbortRequestBytes = 40;
// Unit and terminal ids are bytes.
constexpr ULONG Uac1UnitIdCount = 256;

// The unit of every id as FindUnit answers it (the last match in list order), built once per
// topology walk so that the graph check and the connection pass find a unit in one step.
struct Uac1UnitTable {
    UnitNode* Units[Uac1UnitIdCount];
};

static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) <= Uac1InterruptRequestBytes &&
              sizeof(_URB_PIPE_REQUEST) <= Uac1AbortRequestBytes &&
              sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) <= Uac1ChipRequestBytes);

class Uac1AudioHal;

// What a device model changes in the UAC 1.0 walks (one walker serves every model). A null hook
// keeps the UAC 1.0 behaviour.
struct Uac1WalkPolicy {
    ULONG PoolTag;              // of the units and streams the walks create
    bool UseUac1Quirks;         // the UAC 1.0 device rules by vendor and product
    bool DanglingSourceFails;   // a source id that names no unit fails the walk (else: no source)
    // Creates, initialises and adds the unit of one AudioControl descriptor (subtypes 2 to 6).
    NTSTATUS (*AddUnit)(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor);
    // The render stream of an AudioStreaming interface, with one reference; null without memory.
    UsbAudioStream* (*NewRenderStream)(Uac1AudioHal& Hal, ULONG Interface, ULONG TerminalControlId);
    // Starts the render stream's worker.
    NTSTATUS (*StartRenderWorker)(Uac1AudioHal& Hal, UsbAudioStream* Stream);
    // After a successful walk of the streams: passes over the engines; answers the walk's result.
    NTSTATUS (*AfterStreams)(Uac1AudioHal& Hal);
    // Changes an AudioControl descriptor (subtypes 2 to 6, bLength checked) in the configuration
    // copy before its unit is created.
    void (*RewriteBeforeCreation)(Uac1AudioHal& Hal, UCHAR Subtype, PUCHAR Descriptor);
    // Reshapes the template of a render engine's format records (channels, mask, block align)
    // before the records of its rates are made; nBlockAlign decides the byte rates.
    void (*ShapeRenderFormat)(WAVEFORMATEXTENSIBLE* Format);
};

// Builds an IN transfer of Length bytes into Buffer on Pipe (Urb: Uac1InterruptRequestBytes),
// sets up Irp's next stack location with Routine and Done as its context, clears Done and passes
// the IRP down through Outer's UsbTransport. Done is set again when the request completes (also
// when the lower driver refused it); a failure to find the transport leaves Done as it was.
NTSTATUS SendStatusRequest(PUNKNOWN Outer, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Buffer, ULONG Length,
                           PKEVENT Done, PIO_COMPLETION_ROUTINE Routine);

// Creates the HAL with UnknownOuter (the adapter) and hands out its inner unknown with one
// reference. STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateUac1AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

class Uac1AudioHal : public DeviceModel, public AudioHal {
public:
    DECLARE_KERNEL_UNKNOWN();

    Uac1AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
    // Stops the status thread, frees its interface copy and releases every unit.
    ~Uac1AudioHal() override;

    // ---- DeviceModel ----
    // Re-installs, under its new name, the wave subdevice of every engine whose terminal-type
    // control has a change pending. STATUS_UNSUCCESSFUL without engines.
    STDMETHODIMP UpdateMiniports(ULONG UnitId) override;
    STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override;
    // Turns the AudioControl interface (Length bytes from it to the end of the configuration)
    // into the unit list and the units' controls, then connects the units. Every class-specific
    // descriptor is checked against the descriptor rules before a field is read.
    // STATUS_INVALID_PARAMETER: not an AudioControl interface of protocol 0, a descriptor shorter
    // than its fields, or units that feed themselves; STATUS_UNSUCCESSFUL: a bLength that cannot
    // be walked or a unit kind without a model (processing, extension); a unit's Init failure as
    // it came. Units made before a failure stay on the list until the HAL goes.
    STDMETHODIMP BuildTopology(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) override;
    // Turns every AudioStreaming interface from FirstStreaming on (Length bytes to the end of the
    // configuration) into a USB stream with its formats and path, then registers the listeners of
    // every terminal-type control. A descriptor shorter than its fields, a format without channels
    // or sample bytes, or a range without a standard rate: STATUS_INVALID_PARAMETER; a bLength
    // that cannot be walked: STATUS_UNSUCCESSFUL. Streams made before a failure stay on the list.
    STDMETHODIMP BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstStreaming,
                              ULONG Length) override;
    STDMETHODIMP RestoreDeviceState() override;

    // ---- AdapterCommon ----
    // Engine EngineIndex's record through GetEndpointCaps (the last engine for an index past the
    // count; render type 0 without engines).
    STDMETHODIMP GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override;
    // Creates the unit list, then the base Init (Identify, BindStreams).
    STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                      PDEVICE_OBJECT PhysicalDeviceObject) override;
    // Starts the status thread when the AudioControl interface has a 2-byte interrupt IN
    // endpoint (and no thread exists yet), then the base Start.
    STDMETHODIMP Start() override;
    // The base Stop, then ends the status thread and waits until it has gone. STATUS_SUCCESS.
    STDMETHODIMP Stop() override;
    STDMETHODIMP WaitIdle() override;
    // The capability record from the chip identifier, then the descriptor walks.
    STDMETHODIMP Identify() override;
    STDMETHODIMP GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) override;

    // ---- IAdapterPowerManagement ----
    // D0: stored values written back, engines re-installed, Start; D1 to D3: Stop.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;

    // ---- Unit list (filled by the walkers during Identify) ----
    // Creates a unit of class Unit with the unit count as provisional id (pool: m_PoolTag), runs its
    // Init and puts it on the unit list. The walk's own reference is dropped in every case.
    template <class Unit>
    NTSTATUS AddNewUnit(const UCHAR* Descriptor) {
        auto* unit = new (ExDefaultNonPagedPoolType, m_PoolTag) Unit(nullptr, UnitCount());
        if (unit == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        unit->NonDelegatingAddRef();
        AdapterCommon* common = static_cast<AdapterCommon*>(this);
        NTSTATUS status = unit->Init(Descriptor, common, common);
        if (NT_SUCCESS(status)) status = AddUnit(static_cast<UnitNode*>(unit));
        unit->NonDelegatingRelease();
        return status;
    }

    // Links Unit at the head of the unit list with a reference of the list's own.
    NTSTATUS AddUnit(UnitNode* Unit);
    // The last unit in list order whose id is UnitId, without a reference; STATUS_UNSUCCESSFUL and a
    // null *Unit when there is none.
    NTSTATUS FindUnit(ULONG UnitId, UnitNode** Unit);
    // Re-reads unit UnitId after a status interrupt: a terminal re-runs every engine's
    // InstallMiniport, any other unit refreshes its controls and sends one change notice each.
    NTSTATUS NotifyUnitChange(ULONG UnitId);

    // ---- Stream building (during Identify; the model walkers use them too) ----
    // One record per rate of a FORMAT_TYPE descriptor (whose length the caller checked) on the
    // alternate setting; Format is the template.
    NTSTATUS AddAltSettingFormats(UsbAudioStream* Stream, const UCHAR* FormatType, USHORT FormatTag,
                                  UCHAR AlternateSetting, WAVEFORMATEXTENSIBLE Format);
    // A path of two connectors gets a software mute; a capture path without a selector gets one
    // on systems that do not set the capture source themselves.
    NTSTATUS AdjustStreamPath(StreamEngine* Stream);
    NTSTATUS InsertSoftwareMute(StreamEngine* Stream);
    NTSTATUS AddMuteStage(ULONG Id, ULONG SourceId, ULONG ChannelCount, StreamEngine* Stream);
    NTSTATUS AddSelectorControl(ULONG Id, ULONG SourceCount, const ULONG* SourceIds, StreamEngine* Stream);
    // Every control upstream of a terminal-type control through single-source controls follows its
    // type; the walk ends on a cycle.
    NTSTATUS RegisterTerminalTypeListeners();

    // The walks' model policy; the UAC 1.0 HAL's own by default.
    virtual const Uac1WalkPolicy& WalkPolicy() const;

    // ---- State, for inspection ----
    UCHAR ControlInterface() const { return m_ControlInterface; }
    BOOLEAN HasStatusThread() const { return m_StatusPipe != Uac1NoStatusPipe; }
    PKTHREAD StatusThread() const { return m_pStatusThread; }
    USHORT VendorId() const { return m_VendorId; }
    USHORT ProductId() const { return m_ProductId; }
    ULONG UnitCount() const { return m_pUnitList != nullptr ? m_pUnitList->GetCount() : 0; }
    // Units looked at to find one by id (list entries FindUnit compares, table lookups) since the
    // last topology walk began: the walk's work, which stays linear in its units.
    ULONG64 UnitLookups() const { return m_UnitLookups; }

protected:
    // Installs the wave subdevice of Engine again after UpdateMiniports removed and renamed it
    // (UnitId: the terminal whose type changed; PreviousName: the engine's name before, null when
    // it could not be read). A failure must leave the engine installed.
    virtual NTSTATUS InstallRenamedEngine(StreamEngine* Engine, ULONG UnitId, PCWSTR PreviousName);

    // For the HAL classes that reuse this one's unit list, walks and status thread: PoolTag tags the
    // unit list, the walk's unit table and the path controls the stream walk adds; the status
    // thread runs at StatusPriority on the IN interrupt endpoint whose packets are StatusBytes long.
    Uac1AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG PoolTag, ULONG StatusBytes,
                 KPRIORITY StatusPriority);

    // The status thread's work, on the thread, until the stop event or a failed request; the
    // caller sets the thread-ended event after it. Every request it sent has come back when it
    // returns.
    virtual void RunStatusThread();
    // UpdateMiniports: after an engine got its new name, before its subdevice is installed again.
    virtual void PauseBeforeReinstall() {}
    // Start, when the request that selects the AudioControl interface cannot be allocated: this
    // HAL goes on without a status thread (the base Start).
    virtual NTSTATUS StartWithoutStatusRequest();
    // TRUE when the engine's path holds a terminal-type control whose change is pending; the mark
    // is cleared.
    static bool TakeTypeChange(StreamEngine* Engine);
    // Ends the status thread and frees what it used; nothing when none exists.
    void StopStatusThread();
    // The HAL's one thread (the status thread, or a model's poll): Routine with this HAL as its
    // context and its own adapter reference, which the routine gives back as its last act; kept
    // referenced in m_pStatusThread at Priority. The stop and done events are cleared first. On
    // failure no thread is left running.
    NTSTATUS StartHalThread(PKSTART_ROUTINE Routine, KPRIORITY Priority);
    // Sets the stop event, waits for the done event and for the thread to end, drops the thread
    // and clears both events.
    void EndHalThread();

    // Finds the AudioControl interface, keeps its number and runs BuildTopology over it.
    NTSTATUS FindControlInterface();
    // Runs BuildStreams from the first AudioStreaming interface.
    NTSTATUS FindStreamingInterfaces();
    // After the AudioControl walk: refuses unit graphs with cycles, connects the units and applies
    // the device rules of the walk (Quirks: flags from the vendor and product).
    NTSTATUS FinishTopology(ULONG Quirks);
    // Fills Table from the unit list; ids above 255 name no unit.
    void BuildUnitTable(Uac1UnitTable* Table);
    // The unit with UnitId in Table, or null.
    UnitNode* LookUpUnit(const Uac1UnitTable& Table, ULONG UnitId);
    // STATUS_INVALID_PARAMETER when a unit is its own upstream unit or the graph is deeper than any
    // device builds; walks with a visited set, so it ends on every graph.
    NTSTATUS CheckUnitGraph(const Uac1UnitTable& Table);
    // Hands each unit with controls and 1 to 9 upstream units their output control ids; an id that
    // names no unit becomes AudioNodeNoSource.
    NTSTATUS ConnectUnits(const Uac1UnitTable& Table);

    UCHAR m_ControlInterface;                       // bInterfaceNumber of the AudioControl interface
    PUSBD_INTERFACE_INFORMATION m_pStatusInterface;  // non-paged "URB "; null without a status thread
    UCHAR m_StatusPipe;                             // index into m_pStatusInterface; 255: no thread
    BOOLEAN m_HalStarted;                           // between Start and Stop
    BOOLEAN m_RestartAtD0;                          // started when powered down: starts again at D0
    UCHAR m_BulkPipe;                               // the first bulk IN pipe there; 255: none
    PKTHREAD m_pStatusThread;                       // referenced while the thread exists
    KEVENT m_StopEvent;                             // set by Stop to end the thread
    KEVENT m_ThreadDoneEvent;                       // set by the thread as its last act on the HAL
    USHORT m_VendorId;
    USHORT m_ProductId;
    PointerList* m_pUnitList;  // UnitNode, one reference each; non-paged "UAC1"
    ULONG64 m_UnitLookups;     // see UnitLookups
    const ULONG m_PoolTag;                 // see the protected constructor
    const ULONG m_StatusBytes;
    const KPRIORITY m_StatusPriority;

private:
    // The stream of an interface at its first AS_GENERAL; *Stream holds the caller's reference
    // from creation on, also when a later step fails.
    NTSTATUS CreateStream(ULONG Interface, ULONG TerminalLink, UsbAudioStream** Stream);
    // The records of one FORMAT_TYPE descriptor (two channel masks for narrow capture formats).
    NTSTATUS AddFormatType(UsbAudioStream* Stream, const UCHAR* Descriptor, USHORT FormatTag, UCHAR AlternateSetting);
    // Hands SourceId to the output terminal whose output control is the stream path's first control.
    NTSTATUS ConnectOutputTerminalTo(StreamEngine* Stream, ULONG SourceId);

    // The capability record by the chip identifier string (Chip: the descriptor, Received bytes).
    NTSTATUS IdentifyCapabilities(UsbTransport* Transport, const UCHAR* Chip, ULONG Received, NTSTATUS ReadStatus);
    // One byte from a vendor request to "other" (IN, length 1).
    NTSTATUS ReadVendorByte(UsbTransport* Transport, UCHAR Request, USHORT Value, PUCHAR Byte);

    static KSTART_ROUTINE Uac1StatusThread;

protected:
    // Sets the event given as context; the thread owns the IRP again.
    static IO_COMPLETION_ROUTINE StatusRequestDone;
};

// Creates a unit of class Unit with the unit count as provisional id and the walk policy's tag,
// runs its Init and puts it on the unit list. The walk's own reference is dropped in every case.
// Added (when given) names the unit on success, without a reference: the list holds it.
template <class Unit>
NTSTATUS AddNewUnit(Uac1AudioHal& Hal, const UCHAR* Descriptor, Unit** Added = nullptr) {
    auto* unit = new (ExDefaultNonPagedPoolType, Hal.WalkPolicy().PoolTag) Unit(nullptr, Hal.UnitCount());
    if (unit == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    unit->NonDelegatingAddRef();
    AdapterCommon* common = static_cast<AdapterCommon*>(&Hal);
    NTSTATUS status = unit->Init(Descriptor, common, common);
    if (NT_SUCCESS(status)) status = Hal.AddUnit(static_cast<UnitNode*>(unit));
    if (NT_SUCCESS(status) && Added != nullptr) *Added = unit;
    unit->NonDelegatingRelease();
    return status;
}
