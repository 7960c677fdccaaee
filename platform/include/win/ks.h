// Kernel streaming: the identifier, data-format and pin records that port-class filter
// descriptors are built from, and the component identifier. x64 layouts.
#pragma once

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

// An enabled event as the kernel-streaming layer keeps it; opaque to drivers.
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

// {00000000-0000-0000-0000-000000000000}
DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
