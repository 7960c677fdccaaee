// Port-class library: the adapter driver functions, the port and miniport interfaces and the
// filter descriptor records a miniport hands to its port. Interfaces keep their published method
// order; results are NTSTATUS.
#pragma once

#include <win/kernel.h>
#include <win/ks.h>
#include <win/ntdef.h>
#include <win/unknown.h>
#include <win/zw.h>

// ---------------------------------------------------------------------------------------------
// Identifiers

DEFINE_GUID(CLSID_PortTopology, 0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

DEFINE_GUID(IID_IMiniport, 0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPort, 0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);
DEFINE_GUID(IID_IPortTopology, 0xB4C90A30, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportTopology, 0xB4C90A31, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IResourceList, 0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(IID_IPortEvents, 0xA80F29C4, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);
DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E);
DEFINE_GUID(IID_IPortClsVersion, 0x7D89A7BB, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE);
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
DEFINE_GUID(IID_IUnregisterPhysicalConnection, 0x6C38E231, 0x2A0D, 0x428D, 0x81, 0xF8, 0x07, 0xCC, 0x42, 0x8B, 0xB9,
            0xA4);

// ---------------------------------------------------------------------------------------------
// Constants

// Bytes at the start of a port-class device extension that belong to the library.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// IPortClsVersion::GetVersion answers.
enum {
    kVersionInvalid = -1,
    kVersionWin98 = 0,
    kVersionWin98SE,
    kVersionWin2K,
    kVersionWin98SE_QFE2,
    kVersionWin2K_SP2,
    kVersionWinME,
    kVersionWin98SE_QFE3,
    kVersionWinME_QFE1,
    kVersionWinXP,
    kVersionWinXPSP1,
    kVersionWinServer2003,
    kVersionWin2K_UAAQFE,
    kVersionWinXP_UAAQFE,
    kVersionWinServer2003_UAAQFE,
};

// PcNewRegistryKey / IPort::NewRegistryKey key types.
typedef enum {
    GeneralRegistryKey = 0,
    DeviceRegistryKey = 1,
    DriverRegistryKey = 2,
    HwProfileRegistryKey = 3,
    DeviceInterfaceRegistryKey = 4,
} PORT_CLASS_REGISTRY_KEY_TYPE;

typedef enum _DMA_WIDTH {
    Width8Bits = 0,
    Width16Bits = 1,
    Width32Bits = 2,
    Width64Bits = 3,
    WidthNoWrap = 4,
    MaximumDmaWidth = 5,
} DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible = 0, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;
typedef struct _RTL_QUERY_REGISTRY_TABLE* PRTL_QUERY_REGISTRY_TABLE;

// ---------------------------------------------------------------------------------------------
// Filter descriptors

class IUnknown;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef struct _PCMETHOD_REQUEST PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;
typedef struct _PCEVENT_REQUEST PCEVENT_REQUEST, *PPCEVENT_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);
typedef NTSTATUS (*PCPFNMETHOD_HANDLER)(PPCMETHOD_REQUEST MethodRequest);
typedef NTSTATUS (*PCPFNEVENT_HANDLER)(PPCEVENT_REQUEST EventRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;
static_assert(sizeof(PCPROPERTY_ITEM) == 24 && offsetof(PCPROPERTY_ITEM, Handler) == 16);

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

struct _PCPROPERTY_REQUEST {
    IUnknown* MajorTarget;
    IUnknown* MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};
static_assert(sizeof(PCPROPERTY_REQUEST) == 72 && offsetof(PCPROPERTY_REQUEST, Verb) == 32 &&
              offsetof(PCPROPERTY_REQUEST, ValueSize) == 48 && offsetof(PCPROPERTY_REQUEST, Irp) == 64);

struct _PCMETHOD_REQUEST {
    IUnknown* MajorTarget;
    IUnknown* MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
};

struct _PCEVENT_REQUEST {
    IUnknown* MajorTarget;
    IUnknown* MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
};
static_assert(sizeof(PCEVENT_REQUEST) == 56 && offsetof(PCEVENT_REQUEST, Verb) == 40);

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;
static_assert(sizeof(PCAUTOMATION_TABLE) == 56 && offsetof(PCAUTOMATION_TABLE, Events) == 40);

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112 && offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24);

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);

typedef KSTOPOLOGY_CONNECTION PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;
#define PCFILTER_NODE KSFILTER_NODE

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80 && offsetof(PCFILTER_DESCRIPTOR, Pins) == 24 &&
              offsetof(PCFILTER_DESCRIPTOR, Connections) == 56 && offsetof(PCFILTER_DESCRIPTOR, Categories) == 72);

// Content protection: where a stream forwards its content identifiers.
typedef struct tagDRMFORWARD {
    DWORD Flags;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID Context;
} DRMFORWARD, *PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;
static_assert(sizeof(DRMFORWARD) == 32 && offsetof(DRMFORWARD, DeviceObject) == 8);

// The rights that come with a content identifier.
typedef struct tagDRMRIGHTS {
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;
static_assert(sizeof(DRMRIGHTS) == 12 && offsetof(DRMRIGHTS, DigitalOutputDisable) == 8);

// ---------------------------------------------------------------------------------------------
// Interfaces

class IResourceList : public IUnknown {
public:
    STDMETHOD_(ULONG, NumberOfEntries)() PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD(AddEntry)(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD(AddEntryFromParent)(IResourceList* Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)() PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)() PURE;
};
typedef IResourceList* PRESOURCELIST;

class IRegistryKey : public IUnknown {
public:
    STDMETHOD(QueryKey)(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                        PULONG ResultLength) PURE;
    STDMETHOD(EnumerateKey)(ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                            PULONG ResultLength) PURE;
    STDMETHOD(QueryValueKey)(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD(EnumerateValueKey)(ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                 PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD(SetValueKey)(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) PURE;
    STDMETHOD(QueryRegistryValues)(PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) PURE;
    STDMETHOD(NewSubKey)(IRegistryKey** RegistrySubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                         PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) PURE;
    STDMETHOD(DeleteKey)() PURE;
};
typedef IRegistryKey* PREGISTRYKEY;

class IServiceSink : public IUnknown {
public:
    STDMETHOD_(void, RequestService)() PURE;
};
typedef IServiceSink* PSERVICESINK;

class IServiceGroup : public IServiceSink {
public:
    STDMETHOD(AddMember)(PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)() PURE;
    STDMETHOD_(void, RequestDelayedService)(ULONGLONG ullDelay) PURE;
    STDMETHOD_(void, CancelDelayedService)() PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

class IDmaChannel : public IUnknown {
public:
    STDMETHOD(AllocateBuffer)(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};
typedef IDmaChannel* PDMACHANNEL;

class IDmaChannelSlave : public IDmaChannel {
public:
    STDMETHOD(Start)(ULONG MapSize, BOOLEAN WriteToDevice) PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD_(ULONG, ReadCounter)() PURE;
    STDMETHOD(WaitForTC)(ULONG Timeout) PURE;
};
typedef IDmaChannelSlave* PDMACHANNELSLAVE;

class IPort : public IUnknown {
public:
    STDMETHOD(Init)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                    PRESOURCELIST ResourceList) PURE;
    STDMETHOD(GetDeviceProperty)(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
                                 PULONG ResultLength) PURE;
    STDMETHOD(NewRegistryKey)(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                              ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                              PULONG Disposition) PURE;
};
typedef IPort* PPORT;

class IPortTopology : public IPort {};
typedef IPortTopology* PPORTTOPOLOGY;

class IPortWaveCyclic : public IPort {
public:
    STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD(NewSlaveDmaChannel)(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                  ULONG DmaIndex, ULONG MaximumLength, BOOLEAN DemandMode, DMA_SPEED DmaSpeed) PURE;
    STDMETHOD(NewMasterDmaChannel)(PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                   ULONG MaximumLength, BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses,
                                   DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed) PURE;
};
typedef IPortWaveCyclic* PPORTWAVECYCLIC;

class IPortEvents : public IUnknown {
public:
    STDMETHOD_(void, AddEventToEventList)(PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
                                        ULONG NodeId) PURE;
};
typedef IPortEvents* PPORTEVENTS;

class IPortClsVersion : public IUnknown {
public:
    STDMETHOD_(DWORD, GetVersion)() PURE;
};
typedef IPortClsVersion* PPORTCLSVERSION;

class IMiniport : public IUnknown {
public:
    STDMETHOD(GetDescription)(PPCFILTER_DESCRIPTOR* Description) PURE;
    STDMETHOD(DataRangeIntersection)(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                     ULONG OutputBufferLength, PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

class IMiniportTopology : public IMiniport {
public:
    STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

class IMiniportWaveCyclicStream : public IUnknown {
public:
    STDMETHOD(SetFormat)(PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(ULONG, SetNotificationFreq)(ULONG Interval, PULONG FramingSize) PURE;
    STDMETHOD(SetState)(KSSTATE State) PURE;
    STDMETHOD(GetPosition)(PULONG Position) PURE;
    STDMETHOD(NormalizePhysicalPosition)(PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(void, Silence)(PVOID Buffer, ULONG ByteCount) PURE;
};
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;

class IMiniportWaveCyclic : public IMiniport {
public:
    STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) PURE;
    STDMETHOD(NewStream)(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                         BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                         PSERVICEGROUP* ServiceGroup) PURE;
};
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;

class IAdapterPowerManagement : public IUnknown {
public:
    STDMETHOD_(void, PowerChangeState)(POWER_STATE NewState) PURE;
    STDMETHOD(QueryPowerChangeState)(POWER_STATE NewStateQuery) PURE;
    STDMETHOD(QueryDeviceCapabilities)(PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

// Optional on a miniport: told of every device power state change (before the adapter when the
// device powers down, after it when the device powers up).
class IPowerNotify : public IUnknown {
public:
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE PowerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

// Optional on a stream: the content identifier (and its rights) of what the stream carries.
class IDrmAudioStream : public IUnknown {
public:
    STDMETHOD(SetContentId)(ULONG ContentId, PCDRMRIGHTS DrmRights) PURE;
};
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

class IUnregisterSubdevice : public IUnknown {
public:
    STDMETHOD(UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

class IUnregisterPhysicalConnection : public IUnknown {
public:
    STDMETHOD(UnregisterPhysicalConnection)(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                            PUNKNOWN ToUnknown, ULONG ToPin) PURE;
    STDMETHOD(UnregisterPhysicalConnectionToExternal)(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                      PUNICODE_STRING ToString, ULONG ToPin) PURE;
    STDMETHOD(UnregisterPhysicalConnectionFromExternal)(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                        ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) PURE;
};
typedef IUnregisterPhysicalConnection* PUNREGISTERPHYSICALCONNECTION;

// ---------------------------------------------------------------------------------------------
// Adapter driver functions

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// Takes over the driver object's dispatch table and records AddDevice as the driver's add-device
// routine.
KV_EXTERN_C NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                               PDRIVER_ADD_DEVICE AddDevice);
// Creates the adapter's functional device object on top of PhysicalDeviceObject's stack, with room
// for MaxObjects subdevices. DeviceExtensionSize 0 means PORT_CLASS_DEVICE_EXTENSION_SIZE; any
// other value includes the library's reserved bytes.
KV_EXTERN_C NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                        PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
KV_EXTERN_C NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completes Irp with Status (a pending status only marks it pending); answers Status.
KV_EXTERN_C NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
KV_EXTERN_C NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);
KV_EXTERN_C NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown);
KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                  PUNKNOWN ToUnknown, ULONG ToPin);
KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                            ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin);
KV_EXTERN_C NTSTATUS PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                              ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);
// Unknown answers IID_IAdapterPowerManagement; pvContext is the adapter's device object.
KV_EXTERN_C NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext);
KV_EXTERN_C NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                      ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition);
KV_EXTERN_C NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                       PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources);
KV_EXTERN_C NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);
// DeviceObject is the adapter's functional device object; the property is read from its
// physical device object.
KV_EXTERN_C NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
KV_EXTERN_C NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);
