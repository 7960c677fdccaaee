// I/O manager: driver, device and file objects, IRPs and their stack locations, completion and
// cancellation, work items, device interfaces and properties, device registry keys, and the
// power IRP records. Records that drivers read or embed keep their x64 Windows layouts.
#pragma once

#include <win/devioctl.h>
#include <win/ke.h>
#include <win/ntdef.h>
#include <win/ob.h>

typedef SHORT CSHORT;
typedef CHAR CCHAR;
typedef ULONG LCID;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

// Members that the x64 headers align to pointer size inside packed parameter unions.
#define POINTER_ALIGNMENT __attribute__((aligned(8)))

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IO_STACK_LOCATION IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _MDL MDL, *PMDL;
typedef struct _VPB* PVPB;
typedef struct _IO_TIMER* PIO_TIMER;
typedef struct _DEVOBJ_EXTENSION* PDEVOBJ_EXTENSION;
typedef struct _SECTION_OBJECT_POINTERS* PSECTION_OBJECT_POINTERS;
typedef struct _IO_COMPLETION_CONTEXT* PIO_COMPLETION_CONTEXT;
typedef struct _IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;
typedef struct _FAST_IO_DISPATCH* PFAST_IO_DISPATCH;
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef struct _EPROCESS EPROCESS, *PEPROCESS;
typedef PVOID PSECURITY_DESCRIPTOR;

// The module's entry point; the declaration exports it from the loadable driver module.
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
KV_EXTERN_C __attribute__((visibility("default"))) DRIVER_INITIALIZE DriverEntry;

typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID DRIVER_STARTIO(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef VOID IO_APC_ROUTINE(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);
typedef IO_APC_ROUTINE* PIO_APC_ROUTINE;

// ---------------------------------------------------------------------------------------------
// Function codes and flags

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_DEVICE_ENUMERATED 0x19

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IRP.Flags
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_ASSOCIATED_IRP 0x00000008
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400
#define IRP_DEFER_IO_COMPLETION 0x00000800

// DEVICE_OBJECT.Flags
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

// DEVICE_OBJECT.Characteristics
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100

// Object type codes in the records' Type field.
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6

// Priority boosts for IoCompleteRequest; the simulation records them and otherwise ignores them.
#define IO_NO_INCREMENT 0
#define IO_CD_ROM_INCREMENT 1
#define IO_DISK_INCREMENT 1
#define IO_KEYBOARD_INCREMENT 6
#define IO_MOUSE_INCREMENT 6
#define IO_SERIAL_INCREMENT 2
#define IO_SOUND_INCREMENT 8
#define IO_VIDEO_INCREMENT 1

// ---------------------------------------------------------------------------------------------
// Power records

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7,
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;
#define POWER_SYSTEM_MAXIMUM 7

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5,
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;
static_assert(sizeof(POWER_STATE) == 4);

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved = 1,
    PowerActionSleep = 2,
    PowerActionHibernate = 3,
    PowerActionShutdown = 4,
    PowerActionShutdownReset = 5,
    PowerActionShutdownOff = 6,
    PowerActionWarmEject = 7,
    PowerActionDisplayOff = 8,
} POWER_ACTION, *PPOWER_ACTION;

typedef struct _SYSTEM_POWER_STATE_CONTEXT {
    ULONG ContextAsUlong;
} SYSTEM_POWER_STATE_CONTEXT, *PSYSTEM_POWER_STATE_CONTEXT;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved1 : 1;
    ULONG WakeFromInterrupt : 1;
    ULONG SecureDevice : 1;
    ULONG ChildOfVgaEnabledBridge : 1;
    ULONG DecodeIoOnBoot : 1;
    ULONG Reserved : 9;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[POWER_SYSTEM_MAXIMUM];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64 && offsetof(DEVICE_CAPABILITIES, Address) == 8 &&
              offsetof(DEVICE_CAPABILITIES, DeviceState) == 16 && offsetof(DEVICE_CAPABILITIES, D1Latency) == 52);

// ---------------------------------------------------------------------------------------------
// Resource lists handed to IRP_MN_START_DEVICE (packed to 4 as published)

typedef UCHAR CM_RESOURCE_TYPE;
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

typedef enum _CM_SHARE_DISPOSITION {
    CmResourceShareUndetermined = 0,
    CmResourceShareDeviceExclusive = 1,
    CmResourceShareDriverExclusive = 2,
    CmResourceShareShared = 3,
} CM_SHARE_DISPOSITION;

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    PCIBus = 5,
    PNPBus = 15,
} INTERFACE_TYPE, *PINTERFACE_TYPE;

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic, Port, Memory;
        struct {
            USHORT Level;
            USHORT Group;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            ULONG Channel;
            ULONG Port;
            ULONG Reserved1;
        } Dma;
        struct {
            ULONG Data[3];
        } DevicePrivate;
        struct {
            ULONG Start;
            ULONG Length;
            ULONG Reserved;
        } BusNumber;
        struct {
            ULONG DataSize;
            ULONG Reserved1;
            ULONG Reserved2;
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20 && offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u) == 4);
static_assert(sizeof(CM_PARTIAL_RESOURCE_LIST) == 28 && sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 36 &&
              sizeof(CM_RESOURCE_LIST) == 40);

// ---------------------------------------------------------------------------------------------
// PnP records

// A driver-to-driver interface returned by IRP_MN_QUERY_INTERFACE; specific interfaces extend it.
// win/usb.h declares the same record under the same guard for users that do not include this header.
typedef VOID INTERFACE_REFERENCE(PVOID Context);
typedef VOID INTERFACE_DEREFERENCE(PVOID Context);
#ifndef KV_INTERFACE_RECORD_DEFINED
#define KV_INTERFACE_RECORD_DEFINED
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;
typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
#endif
static_assert(sizeof(INTERFACE) == 32 && offsetof(INTERFACE, Context) == 8 &&
              offsetof(INTERFACE, InterfaceDereference) == 24);

typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
    SingleBusRelations = 5,
    TransportRelations = 6,
} DEVICE_RELATION_TYPE, *PDEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _BUS_QUERY_ID_TYPE {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3,
    BusQueryDeviceSerialNumber = 4,
    BusQueryContainerID = 5,
} BUS_QUERY_ID_TYPE, *PBUS_QUERY_ID_TYPE;

typedef enum _DEVICE_TEXT_TYPE { DeviceTextDescription = 0, DeviceTextLocationInformation = 1 } DEVICE_TEXT_TYPE;

typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
    DeviceUsageTypeUndefined = 0,
    DeviceUsageTypePaging = 1,
    DeviceUsageTypeHibernation = 2,
    DeviceUsageTypeDumpFile = 3,
} DEVICE_USAGE_NOTIFICATION_TYPE;

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyBootConfiguration = 3,
    DevicePropertyBootConfigurationTranslated = 4,
    DevicePropertyClassName = 5,
    DevicePropertyClassGuid = 6,
    DevicePropertyDriverKeyName = 7,
    DevicePropertyManufacturer = 8,
    DevicePropertyFriendlyName = 9,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
    DevicePropertyBusTypeGuid = 12,
    DevicePropertyLegacyBusType = 13,
    DevicePropertyBusNumber = 14,
    DevicePropertyEnumeratorName = 15,
    DevicePropertyAddress = 16,
    DevicePropertyUINumber = 17,
    DevicePropertyInstallState = 18,
    DevicePropertyRemovalPolicy = 19,
    DevicePropertyResourceRequirements = 20,
    DevicePropertyAllocatedResources = 21,
    DevicePropertyContainerID = 22,
} DEVICE_REGISTRY_PROPERTY;

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// ---------------------------------------------------------------------------------------------
// Driver, device and file objects

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;
static_assert(sizeof(DRIVER_EXTENSION) == 40 && offsetof(DRIVER_EXTENSION, AddDevice) == 8 &&
              offsetof(DRIVER_EXTENSION, ServiceKeyName) == 24);

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // first of the driver's device objects, linked by NextDevice
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PFAST_IO_DISPATCH FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(sizeof(DRIVER_OBJECT) == 0x150 && offsetof(DRIVER_OBJECT, DriverExtension) == 0x30 &&
              offsetof(DRIVER_OBJECT, DriverName) == 0x38 && offsetof(DRIVER_OBJECT, DriverUnload) == 0x68 &&
              offsetof(DRIVER_OBJECT, MajorFunction) == 0x70);

typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;
static_assert(sizeof(KDEVICE_QUEUE_ENTRY) == 24);

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;
static_assert(sizeof(KDEVICE_QUEUE) == 40);

typedef struct _WAIT_CONTEXT_BLOCK {
    KDEVICE_QUEUE_ENTRY WaitQueueEntry;
    PVOID DeviceRoutine;
    PVOID DeviceContext;
    ULONG NumberOfMapRegisters;
    PVOID DeviceObject;
    PVOID CurrentIrp;
    PKDPC BufferChainingDpc;
} WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;
static_assert(sizeof(WAIT_CONTEXT_BLOCK) == 0x48);

struct alignas(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;      // next device object of the same driver
    PDEVICE_OBJECT AttachedDevice;  // the device object attached on top of this one
    PIRP CurrentIrp;
    PIO_TIMER Timer;
    ULONG Flags;  // DO_*
    ULONG Characteristics;
    PVPB Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;  // stack locations an IRP sent to this device needs
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PDEVOBJ_EXTENSION DeviceObjectExtension;
    PVOID Reserved;
};
static_assert(sizeof(DEVICE_OBJECT) == 0x150 && offsetof(DEVICE_OBJECT, AttachedDevice) == 0x18 &&
              offsetof(DEVICE_OBJECT, Flags) == 0x30 && offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40 &&
              offsetof(DEVICE_OBJECT, StackSize) == 0x4C && offsetof(DEVICE_OBJECT, Dpc) == 0xC8 &&
              offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0x138);

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVPB Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PSECTION_OBJECT_POINTERS SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    PFILE_OBJECT RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;  // the path below the device's name, e.g. "\KLASIOPrivateInterface"
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PIO_COMPLETION_CONTEXT CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
};
static_assert(sizeof(FILE_OBJECT) == 0xD8 && offsetof(FILE_OBJECT, FsContext) == 0x18 &&
              offsetof(FILE_OBJECT, FsContext2) == 0x20 && offsetof(FILE_OBJECT, FileName) == 0x58 &&
              offsetof(FILE_OBJECT, Lock) == 0x80);

// ---------------------------------------------------------------------------------------------
// IRPs and stack locations

struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;  // SL_*
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            DEVICE_TEXT_TYPE DeviceTextType;
            LCID POINTER_ALIGNMENT LocaleId;
        } QueryDeviceText;
        struct {
            BOOLEAN InPath;
            BOOLEAN Reserved[3];
            DEVICE_USAGE_NOTIFICATION_TYPE POINTER_ALIGNMENT Type;
        } UsageNotification;
        struct {
            SYSTEM_POWER_STATE PowerState;
        } WaitWake;
        struct {
            union {
                ULONG SystemContext;
                SYSTEM_POWER_STATE_CONTEXT SystemPowerStateContext;
            };
            POWER_STATE_TYPE POINTER_ALIGNMENT Type;
            POWER_STATE POINTER_ALIGNMENT State;
            POWER_ACTION POINTER_ALIGNMENT ShutdownType;
        } Power;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;  // the device this location was sent to
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;  // of the driver one location up
    PVOID Context;
};
static_assert(sizeof(IO_STACK_LOCATION) == 0x48 && offsetof(IO_STACK_LOCATION, Parameters) == 8 &&
              offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28 && offsetof(IO_STACK_LOCATION, FileObject) == 0x30 &&
              offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x38 && offsetof(IO_STACK_LOCATION, Context) == 0x40);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 0x10 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x18 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 0x20 &&
              offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 0x18 &&
              offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Interface) == 0x18 &&
              offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 0x18);

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;  // IRP_*
    union {
        PIRP MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;  // METHOD_BUFFERED input and output
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // 1-based; StackCount + 1 when no driver holds a location
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PIO_APC_ROUTINE UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL volatile CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                struct {
                    PVOID DriverContext[4];
                };
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    PIO_STACK_LOCATION CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        struct {
            ULONG_PTR Reserved[11];
        } Apc;
        PVOID CompletionKey;
    } Tail;
};
static_assert(sizeof(IRP) == 0xD0 && offsetof(IRP, AssociatedIrp) == 0x18 && offsetof(IRP, IoStatus) == 0x30 &&
              offsetof(IRP, PendingReturned) == 0x41 && offsetof(IRP, CurrentLocation) == 0x43 &&
              offsetof(IRP, Cancel) == 0x44 && offsetof(IRP, UserIosb) == 0x48 && offsetof(IRP, CancelRoutine) == 0x68 &&
              offsetof(IRP, UserBuffer) == 0x70 && offsetof(IRP, Tail.Overlay.DriverContext) == 0x78 &&
              offsetof(IRP, Tail.Overlay.Thread) == 0x98 && offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8 &&
              offsetof(IRP, Tail.Overlay.OriginalFileObject) == 0xC0);

#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

// ---------------------------------------------------------------------------------------------
// Device objects and stacks

// Object types of device and driver objects, for ObReferenceObjectByHandle.
KV_KERNEL_DATA POBJECT_TYPE* IoDeviceObjectType;
KV_KERNEL_DATA POBJECT_TYPE* IoDriverObjectType;

KV_EXTERN_C NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                    DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT* DeviceObject);
// The device object must no longer be attached to a lower device, nor have one attached on top.
KV_EXTERN_C VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// Attaches SourceDevice on top of TargetDevice's stack; answers the device it was attached to
// (the previous top), or null when the stack is being removed.
KV_EXTERN_C PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
// TargetDevice is the device answered by IoAttachDeviceToDeviceStack.
KV_EXTERN_C VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
KV_EXTERN_C PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
// The top of the stack with one reference for the caller (ObDereferenceObject).
KV_EXTERN_C PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
// The device this one is attached to, with one reference, or null.
KV_EXTERN_C PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
KV_EXTERN_C PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);

// ---------------------------------------------------------------------------------------------
// IRPs

KV_EXTERN_C PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
KV_EXTERN_C VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
KV_EXTERN_C VOID IoFreeIrp(PIRP Irp);
// Re-initialises an IRP that is not in flight for another request; IoStatus.Status := Iostatus.
KV_EXTERN_C VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
KV_EXTERN_C NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Runs the completion routines from the current location upwards; a routine that answers
// STATUS_MORE_PROCESSING_REQUIRED stops completion and owns the IRP again.
KV_EXTERN_C VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(DeviceObject, Irp) IofCallDriver(DeviceObject, Irp)
#define IoCompleteRequest(Irp, PriorityBoost) IofCompleteRequest(Irp, PriorityBoost)

// Sets the cancel flag and calls the IRP's cancel routine, if any, with the cancel spin lock
// held; answers whether a cancel routine was called.
KV_EXTERN_C BOOLEAN IoCancelIrp(PIRP Irp);
KV_EXTERN_C VOID IoAcquireCancelSpinLock(PKIRQL Irql);
KV_EXTERN_C VOID IoReleaseCancelSpinLock(KIRQL Irql);

// A request sent on behalf of the calling thread: on completion the I/O manager copies the
// status into IoStatusBlock (and METHOD_BUFFERED output back to OutputBuffer), sets Event and
// frees the IRP.
KV_EXTERN_C PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock);
// IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS or IRP_MJ_SHUTDOWN, threaded the same way.
KV_EXTERN_C PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                              ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
// Copies everything up to the completion routine; the lower location gets no routine of its own.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
// As IoSetCompletionRoutine, and keeps DeviceObject's driver loaded until the routine has run.
KV_EXTERN_C NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                              PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                              BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
inline VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
// Answers the previous cancel routine.
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------------------------
// Work items: the routine runs at PASSIVE_LEVEL on a system worker thread. The work item keeps
// its device object referenced while it is queued.

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

KV_EXTERN_C PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
KV_EXTERN_C VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                 WORK_QUEUE_TYPE QueueType, PVOID Context);
KV_EXTERN_C VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// ---------------------------------------------------------------------------------------------
// Processes of requests

KV_EXTERN_C PEPROCESS IoGetCurrentProcess(void);
#define PsGetCurrentProcess IoGetCurrentProcess
// Whether the process that sent Irp (the current process when Irp is null) is a 32-bit process.
KV_EXTERN_C BOOLEAN IoIs32bitProcess(PIRP Irp);
// The process the request came from (the thread that sent it, or the process it was attached to).
KV_EXTERN_C PEPROCESS IoGetRequestorProcess(PIRP Irp);

// ---------------------------------------------------------------------------------------------
// Plug and Play: device interfaces, properties, registry keys

// SymbolicLinkName receives a buffer from paged pool; the caller frees it (RtlFreeUnicodeString).
KV_EXTERN_C NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                               PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
// Enabling an enabled interface answers STATUS_OBJECT_NAME_EXISTS, disabling a disabled one
// STATUS_OBJECT_NAME_NOT_FOUND.
KV_EXTERN_C NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
// A buffer too small answers STATUS_BUFFER_TOO_SMALL with the size needed in ResultLength.
KV_EXTERN_C NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
KV_EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                             ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey);

// ---------------------------------------------------------------------------------------------
// Power IRPs

typedef VOID REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

// Sends a power IRP to the top of DeviceObject's stack (a physical device object); the completion
// function runs when it completes, then the IRP is freed.
KV_EXTERN_C NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
KV_EXTERN_C VOID PoStartNextPowerIrp(PIRP Irp);
KV_EXTERN_C NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
KV_EXTERN_C POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
