// Kernel streaming: the identifier, data-format and pin records that port-class filter
// descriptors are built from, and the component identifier. x64 layouts.
#pragma once

#include <win/devioctl.h>
#include <win/io.h>
#include <win/ntdef.h>

// A property, method or event request: set identifier, item id and flags.
typedef union {
    struct {
        GUID Set;
        ULONG Id;
        ULONG Flags;
    };
    LONGLONG Alignment;
} KSIDENTIFIER, *PKSIDENTIFIER;
static_assert(sizeof(KSIDENTIFIER) == 24 && offsetof(KSIDENTIFIER, Id) == 16);

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

// The head of a data format and of a data range.
typedef union {
    struct {
        ULONG FormatSize;  // bytes, including what follows the head
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64 && offsetof(KSDATAFORMAT, MajorFormat) == 16 &&
              offsetof(KSDATAFORMAT, Specifier) == 48);

typedef enum { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 } KSSTATE, *PKSSTATE;

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

typedef struct {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40 &&
              offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48 && offsetof(KSPIN_DESCRIPTOR, Category) == 56 &&
              offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRanges) == 80);

// One edge of a filter's internal topology; KSFILTER_NODE stands for the filter's own pins.
typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);
#define KSFILTER_NODE ((ULONG)-1)

typedef struct {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;
static_assert(sizeof(KSCOMPONENTID) == 72 && offsetof(KSCOMPONENTID, Version) == 64);

// What a property's basic-support answer starts with: access flags and the size of the whole
// description, the value type, then MembersListCount lists of values or ranges.
typedef struct {
    ULONG AccessFlags;      // KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET ...
    ULONG DescriptionSize;  // bytes of this record and every members list after it
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8 &&
              offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32);

// The type set of a basic-support description; its Id is the value's variant type.
DEFINE_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

// Variant types a property description names.
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI4 19

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003

#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

// The head of one members list: MembersCount entries of MembersSize bytes follow.
typedef struct {
    ULONG MembersFlags;  // KSPROPERTY_MEMBER_RANGES, _STEPPEDRANGES or _VALUES
    ULONG MembersSize;   // bytes of one entry
    ULONG MembersCount;
    ULONG Flags;         // KSPROPERTY_MEMBER_FLAG_*
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16 && offsetof(KSPROPERTY_MEMBERSHEADER, Flags) == 12);

typedef union {
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8 && offsetof(KSPROPERTY_BOUNDS_LONG, SignedMaximum) == 4);

// A stepped range of 32-bit values (a volume range in 1/65536 dB, for example).
typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16 && offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8);

// How a client asks to be told of an event: a handle or object to signal, a DPC or a work item.
typedef struct _WORK_QUEUE_ITEM* PWORK_QUEUE_ITEM;

#define KSEVENTF_EVENT_HANDLE 0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT 0x00000004
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008
#define KSEVENTF_DPC 0x00000010
#define KSEVENTF_WORKITEM 0x00000020
#define KSEVENTF_KSWORKITEM 0x00000080

typedef struct {
    ULONG NotificationType;  // KSEVENTF_*
    union {
        struct {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct {
            HANDLE Semaphore;
            ULONG Reserved;
            LONG Adjustment;
        } SemaphoreHandle;
        struct {
            PVOID Event;
            KPRIORITY Increment;
            ULONG_PTR Reserved;
        } EventObject;
        struct {
            PVOID Semaphore;
            KPRIORITY Increment;
            LONG Adjustment;
        } SemaphoreObject;
        struct {
            PKDPC Dpc;
            ULONG ReferenceCount;
            ULONG_PTR Reserved;
        } Dpc;
        struct {
            PWORK_QUEUE_ITEM WorkQueueItem;
            WORK_QUEUE_TYPE WorkQueueType;
            ULONG_PTR Reserved;
        } WorkItem;
        struct {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;
static_assert(sizeof(KSEVENTDATA) == 32 && offsetof(KSEVENTDATA, EventHandle) == 8 &&
              offsetof(KSEVENTDATA, Dpc.ReferenceCount) == 16 && offsetof(KSEVENTDATA, WorkItem.Reserved) == 24);

// An enabled event as the kernel-streaming layer keeps it; opaque to drivers.
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

// {00000000-0000-0000-0000-000000000000}
DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

// ---------------------------------------------------------------------------------------------
// Requests on filters and pins: properties and events travel as METHOD_NEITHER device-control
// requests on the filter's or pin's file; the identifier (and its instance data) is the input, the
// value the output buffer.
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)

// A property of one pin or one node: the pin or node id follows the identifier.
typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;
typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;
typedef struct {
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;
static_assert(sizeof(KSP_PIN) == 32 && offsetof(KSP_PIN, PinId) == 24 && sizeof(KSP_NODE) == 32 &&
              offsetof(KSP_NODE, NodeId) == 24 && sizeof(KSE_NODE) == 32 && offsetof(KSE_NODE, NodeId) == 24);

// The head of a variable-length answer: Size counts the head and the items.
typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);

typedef struct {
    ULONG PossibleCount;
    ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;
static_assert(sizeof(KSPIN_CINSTANCES) == 8);

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;
#define KSPRIORITY_NORMAL 0x40000000

// What a pin create carries after the pin name: the connection, then the data format.
typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;
static_assert(sizeof(KSPIN_CONNECT) == 72 && offsetof(KSPIN_CONNECT, Medium) == 24 &&
              offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, PinToHandle) == 56 &&
              offsetof(KSPIN_CONNECT, Priority) == 64);

// The create item name of pins: the pin create's file name is this string, a backslash, then the
// KSPIN_CONNECT and data format bytes.
#define KSSTRING_Pin KV_WIDE("{146F1A80-4791-11D0-A5D6-28DB04C10000}")

// {1A8766A0-62CE-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
#define KSINTERFACE_STANDARD_STREAMING 0
// {4747B320-62CE-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
#define KSMEDIUM_TYPE_ANYINSTANCE 0

// {8C134960-51AD-11CF-878A-94F801C10000}
DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
DEFINE_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
typedef enum {
    KSPROPERTY_TOPOLOGY_CATEGORIES,
    KSPROPERTY_TOPOLOGY_NODES,
    KSPROPERTY_TOPOLOGY_CONNECTIONS,
    KSPROPERTY_TOPOLOGY_NAME
} KSPROPERTY_TOPOLOGY;

// {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;
