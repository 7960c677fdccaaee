// StreamEngine: the engine behind one wave filter, one per audio streaming interface. It knows its
// direction, endpoint type and name, the formats the endpoint carries, the controls on its signal
// path and the processing stages that touch its data; it installs and removes its own wave-cyclic
// subdevice with the physical connection to the topology filter, and keeps the client lists and
// the data path that the USB streams use. The HAL keeps its engines in its engine list (one
// reference each) and hands them out through AdapterCommon.
//
// StreamEngine is both the interface that the HAL, the front and the miniports call and the base
// class of the USB streams, which derive from it for the streaming itself.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/base/Guids.h"
#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/base/PointerList.h"
#include "driver/engine/interfaces/ProcessingStage.h"
#include "driver/engine/stream/StreamClient.h"

#include <win/kernel.h>
#include <win/mmreg.h>
#include <win/unknown.h>

class SubdeviceInfo;

// "Stre": lists, format records, work buffers, the name and the jack scratch buffer.
constexpr ULONG StreamEngineTag = 'ertS';
// Characters of the name buffer, terminator included.
constexpr ULONG StreamEngineNameChars = 51;
// Frames in one chunk of the data path, and the float planes (one per channel) it converts to.
constexpr ULONG StreamEngineChunkFrames = ProcessingStageMaxFrames;
constexpr ULONG StreamEnginePlaneCount = ProcessingStageMaxPlanes;
// 512 frames of up to 8 interleaved float channels: 16384 bytes.
constexpr ULONG StreamEngineWorkBufferBytes = StreamEngineChunkFrames * StreamEnginePlaneCount * sizeof(float);
// 512 floats of one channel: 2048 bytes.
constexpr ULONG StreamEnginePlaneBytes = StreamEngineChunkFrames * sizeof(float);
// One jack description record of a connector: nine 32-bit words, IsConnected the eighth.
constexpr ULONG StreamEngineJackRecordBytes = 36;
constexpr ULONG StreamEngineJackIsConnectedWord = 7;
// The wave filter's bridge pin, which connects to the topology filter.
constexpr ULONG StreamEngineWaveBridgePin = 1;
// The format record list holds complete extensible records.
constexpr ULONG StreamEngineFormatRecordBytes = sizeof(WAVEFORMATEXTENSIBLE);
static_assert(StreamEngineFormatRecordBytes == 40 && StreamEngineWorkBufferBytes == 16384 &&
              StreamEnginePlaneBytes == 2048);

// Direction of an engine.
constexpr ULONG StreamDirectionRender = 0;   // host to device
constexpr ULONG StreamDirectionCapture = 1;

// The audio sub-format GUID of a format tag: {tag-0000-0010-8000-00AA00389B71}.
inline GUID AudioSubFormat(USHORT Tag) {
    return GUID{Tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// Creates the wave-cyclic miniport of the engine at EngineIndex in the HAL's engine list and hands
// out its IUnknown with one reference.
typedef NTSTATUS (*EngineMiniportCreator)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                          POOL_TYPE PoolType, ULONG EngineIndex);

// The client lists of the engine: every registered client, and the clients that stated a format or
// started, ordered by descending kind.
enum class ClientList : ULONG { Registered, Format, Started };
// The lists of processing objects that clients attach.
enum class AttachedList : ULONG { First, Second };

class StreamEngine : public IUnknown, public CKernelUnknown {
public:
    DECLARE_KERNEL_UNKNOWN();

    // UnknownOuter: null for an engine of its own. Index: the AudioStreaming interface number.
    StreamEngine(PUNKNOWN UnknownOuter, ULONG Index);
    // Waits until every client has left, then frees the lists, buffers and name, releases the
    // stages, path controls and ports and dereferences the callback object.
    ~StreamEngine() override;

    // Operations in table order.

    virtual ULONG GetDirection();
    // From the path controls: capture engines from their input connectors (two or more with a
    // type make "Rec"), render engines from a terminal-type control or else the last output
    // connector.
    virtual ULONG GetEndpointType();
    // At most 50 characters; a longer name is refused with STATUS_INVALID_PARAMETER and the old
    // name stays.
    virtual NTSTATUS SetName(PCWSTR Name);
    // Name: room for StreamEngineNameChars characters.
    virtual NTSTATUS GetName(PWSTR Name);
    // Render engines of type HP, SPDIF, HeadSet and FHP offer only their two-channel records, when
    // they have any.
    virtual ULONG GetFormatCount();
    virtual NTSTATUS GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format);
    virtual ULONG GetNodeCount();
    // The path control at Index, without a reference of its own.
    virtual NTSTATUS GetNode(ULONG Index, AudioNode** Node);
    // The control id of the path's streaming terminal (a connector of the "Stream" type; the last
    // one when several); *Id is left as it is when the path has none.
    void FindStreamTerminal(PULONG Id);
    // Null Creator: STATUS_NO_SUCH_DEVICE.
    virtual NTSTATUS SetMiniportCreator(EngineMiniportCreator Creator, REFCLSID PortClassId);
    // Holds TopologyPort with a reference and the topology miniport's SubdeviceInfo without one;
    // either null: STATUS_NO_SUCH_DEVICE.
    virtual NTSTATUS SetTopologyPort(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport);
    // Makes the wave subdevice follow the jack: installs it with its physical connection when the
    // jack is present and none is installed, removes both when the jack is absent and one is.
    virtual NTSTATUS InstallMiniport(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter);
    // Removes the wave subdevice and its physical connection whatever the jack state.
    virtual NTSTATUS RemoveMiniport(PDEVICE_OBJECT DeviceObject);
    // Matches Format against the format records; STATUS_NO_MATCH leaves it unchanged. A plain
    // format (18 bytes) is completed from the matching record; an extensible one (40 bytes) must
    // equal a record.
    virtual NTSTATUS FindFormat(PWAVEFORMATEX Format);
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration);
    virtual NTSTATUS UnregisterCallback(PVOID Registration);
    virtual NTSTATUS SetPowerState(DEVICE_POWER_STATE NewState);

    // The data path, over m_CurrentWaveFormat. Byte lengths are whole frames.
    // The processing list, then the first and second attached lists, per chunk of at most
    // StreamEngineChunkFrames frames, under the engine spin lock.
    virtual NTSTATUS ProcessBuffer(PVOID Buffer, ULONG ByteLength);
    // The processing list only, without the spin lock.
    virtual NTSTATUS ProcessStages(PVOID Buffer, ULONG ByteLength);
    // One chunk through every processing stage: the float planes for PCM (Tag 1), else Buffer.
    virtual NTSTATUS ProcessStagesFloat(PVOID Buffer, ULONG Frames, ULONG Tag);
    // PCM only: every first attached object gets the raw buffer and the whole frame count.
    virtual NTSTATUS ProcessFirstAttached(PVOID Buffer, ULONG ByteLength);
    // One chunk of float planes through the first attached list.
    virtual NTSTATUS ProcessFirstAttachedFloat(ULONG Frames);
    // As ProcessFirstAttached, for the second attached list (driven through ProcessingStage::Reset).
    virtual NTSTATUS ProcessSecondAttached(PVOID Buffer, ULONG ByteLength);
    virtual NTSTATUS ProcessSecondAttachedFloat(ULONG Frames);

    // Keeps the direction, creates the lists, the name buffer and the callback object
    // "\Callback\StreamEngineAddr%p". On failure nothing created stays.
    virtual NTSTATUS Init(ULONG Direction);

    // Set-up by the HAL parsers (passive level, before any client).

    // Copies the 40-byte record into the format list, and a second copy into the two-channel list
    // when it has two channels.
    NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* Format);
    // Appends Control with a reference unless a control with its id is already on the path; one
    // that answers ProcessingStage joins the processing list too.
    NTSTATUS AddPathNode(AudioNode* Control);
    NTSTATUS AddProcessingStage(ProcessingStage* Stage);
    // For inspection: the processing list in order (path controls that process, then the stages the
    // HAL added); the stage at Index without a reference of its own.
    ULONG GetStageCount() const { return m_ProcessingList != nullptr ? m_ProcessingList->GetCount() : 0; }
    NTSTATUS GetStage(ULONG Index, ProcessingStage** Stage);
    // The float work buffer and the eight planes, each allocated once.
    NTSTATUS AllocateWorkBuffers();
    // Present when a path connector with a terminal type has no jack records or a connected one.
    // Fails only when the jack records cannot be read into pool; then Present is not written.
    NTSTATUS IsJackPresent(PBOOLEAN Present);

    // Client lists for the USB streams; each takes the engine spin lock.

    NTSTATUS AddRegisteredClient(StreamClient* Client);
    // Into the format or started list by descending kind, in front of the clients of the same kind.
    NTSTATUS InsertClientByKind(ClientList List, StreamClient* Client);
    // The record with that registration, or null.
    StreamClient* FindClient(ClientList List, PVOID Registration);
    // Unlinks and answers the record with that registration, or null.
    StreamClient* RemoveClient(ClientList List, PVOID Registration);
    // The head of the list (the format owner of the format list, the run owner of the started
    // list), or null.
    StreamClient* GetHeadClient(ClientList List);
    // Appends Stage with a reference of the list's own.
    NTSTATUS AttachStage(AttachedList List, ProcessingStage* Stage);
    // Unlinks Stage and drops the list's reference; STATUS_UNSUCCESSFUL when it is not listed.
    NTSTATUS DetachStage(AttachedList List, ProcessingStage* Stage);

    // Conversions of one chunk between interleaved PCM (16, 24 packed or 32 bits) and float planes
    // at full scale 1.0, through the work buffer. Other widths convert nothing.
    static NTSTATUS PcmToFloatPlanes(const VOID* Buffer, float* const* Planes, float* WorkBuffer, ULONG Frames,
                                     const WAVEFORMATEXTENSIBLE* Format);
    // Saturating, rounding toward zero (24 bits: to nearest even).
    static NTSTATUS FloatPlanesToPcm(PVOID Buffer, const float* const* Planes, float* WorkBuffer, ULONG Frames,
                                     const WAVEFORMATEXTENSIBLE* Format);

protected:
    // A callback object named by NameFormat with this engine's address (%p), created with multiple
    // callbacks allowed; *CallbackObject is null on failure.
    NTSTATUS CreateNamedCallback(PCWSTR NameFormat, PCALLBACK_OBJECT* CallbackObject);

    ULONG m_Index;                          // AudioStreaming interface number
    ULONG m_Direction;                      // StreamDirectionRender or StreamDirectionCapture
    PWSTR m_Name;                           // StreamEngineNameChars, paged "Stre"
    PUNKNOWN m_WavePort;                    // one reference; null while not installed
    GUID m_PortClassId;
    EngineMiniportCreator m_MiniportCreator;
    PUNKNOWN m_TopologyPort;                // one reference
    SubdeviceInfo* m_TopologyInfo;          // of the topology miniport, no reference
    ULONG m_TopologyPin;                    // the topology pin the wave bridge pin connects to
    PointerList* m_ProcessingList;          // ProcessingStage, one reference each
    PointerList* m_PathList;                // AudioNode, one reference each
    PointerList* m_FormatList;              // owned 40-byte records
    PointerList* m_RegisteredClients;       // StreamClient, owned by the stream
    PointerList* m_FormatClients;
    PointerList* m_StartedClients;
    PointerList* m_FirstAttached;           // ProcessingStage, one reference each
    PointerList* m_SecondAttached;
    PointerList* m_TwoChannelFormats;       // owned 40-byte records
    float* m_WorkBuffer;                    // StreamEngineWorkBufferBytes, non-paged "Stre"
    float* m_Planes[StreamEnginePlaneCount];  // StreamEnginePlaneBytes each, non-paged "Stre"
    KernelMutex m_Mutex;                    // serialises the streams' client operations
    KSPIN_LOCK m_SpinLock;                  // the client and attached lists and the data path; from construction
    PCALLBACK_OBJECT m_CallbackObject;      // one reference; "\Callback\StreamEngineAddr%p"
    WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;  // the format the stream runs in; set by the stream

private:
    // The records GetFormatCount and GetFormat answer from.
    PointerList* OfferedFormats();
    PointerList* ClientListOf(ClientList List) const;
    PointerList* AttachedListOf(AttachedList List) const;
    NTSTATUS CreateCallbackObject();
    void FreeLists();
    // The wave subdevice: create, initialise and register it; keeps the port on success.
    NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter);
    // Unregisters the physical connection and the subdevice; drops the port once the subdevice is
    // gone. Answers the first failure.
    NTSTATUS UnregisterWaveSubdevice(PDEVICE_OBJECT DeviceObject);
    // The checks and the chunk loop shared by ProcessBuffer and ProcessStages.
    NTSTATUS RunChunks(PVOID Buffer, ULONG ByteLength, bool AllLists);
    // Every object of List through Process (First) or Reset (Second) with the given data.
    NTSTATUS RunAttached(AttachedList List, PVOID Data, ULONG Frames);
    // ProcessFirstAttached and ProcessSecondAttached: PCM only, the whole buffer at once.
    NTSTATUS RunAttachedWhole(AttachedList List, PVOID Buffer, ULONG ByteLength);
    // Frames in ByteLength bytes of the current format; refuses a missing format and a partial
    // frame (with a debug line).
    NTSTATUS CountFrames(ULONG ByteLength, PULONG Frames);
};
