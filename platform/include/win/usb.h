// USB bus driver interface as a client driver sees it on x64: descriptors (usb200.h, usbaudio.h),
// URBs and their function codes, USBD status codes, transfer flags, the internal IOCTLs, the
// USBDI bus interface and the USBD_ library functions.
#pragma once

#include <win/devioctl.h>
#include <win/ntdef.h>
#include <win/usbaudio.h>
#include <win/usb200.h>

typedef struct _MDL* PMDL;
typedef struct _URB URB, *PURB;

// ---- Status codes carried in the URB header and in isochronous packets ----

typedef LONG USBD_STATUS;
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xC0000003L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xC0000006L)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xC0000007L)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xC000000DL)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xC0000010L)
#define USBD_STATUS_XACT_ERROR ((USBD_STATUS)0xC0000011L)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xC0000012L)
#define USBD_STATUS_DATA_BUFFER_ERROR ((USBD_STATUS)0xC0000013L)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400L)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700L)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xC0000A00L)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xC0000B00L)
#define USBD_STATUS_FRAME_CONTROL_OWNED ((USBD_STATUS)0xC0000C00L)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED ((USBD_STATUS)0xC0000D00L)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xC0000E00L)
#define USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#define USBD_STATUS_INSUFFICIENT_RESOURCES ((USBD_STATUS)0xC0001000L)
#define USBD_STATUS_SET_CONFIG_FAILED ((USBD_STATUS)0xC0002000L)
#define USBD_STATUS_BUFFER_TOO_SMALL ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_INTERFACE_NOT_FOUND ((USBD_STATUS)0xC0004000L)
#define USBD_STATUS_INAVLID_PIPE_FLAGS ((USBD_STATUS)0xC0005000L)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_STATUS_NOT_MAPPED ((USBD_STATUS)0xC0008000L)
#define USBD_STATUS_HUB_INTERNAL_ERROR ((USBD_STATUS)0xC0009000L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xC0020000L)
#define USBD_STATUS_ISO_TD_ERROR ((USBD_STATUS)0xC0030000L)
#define USBD_STATUS_ISO_NA_LATE_USBPORT ((USBD_STATUS)0xC0040000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE ((USBD_STATUS)0xC0050000L)
#define USBD_STATUS_BAD_DESCRIPTOR ((USBD_STATUS)0xC0100000L)

// ---- URB function codes ----

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL 0x0003
#define URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL 0x0004
#define URB_FUNCTION_GET_FRAME_LENGTH 0x0005
#define URB_FUNCTION_SET_FRAME_LENGTH 0x0006
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000D
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000E
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000F
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_RESERVED_0X0016 0x0016
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_RESERVE_0X001D 0x001D
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR 0x002A
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX 0x0032
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL

// ---- Transfer flags ----

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_TRANSFER_DIRECTION(x) ((x) & USBD_TRANSFER_DIRECTION_IN)
#define USBD_SHORT_TRANSFER_OK 2
#define USBD_START_ISO_TRANSFER_ASAP 4
#define USBD_DEFAULT_PIPE_TRANSFER 8

// Pipe flags and limits.
#define USBD_PF_CHANGE_MAX_PACKET 0x00000001
#define USBD_PF_SHORT_PACKET_OPT 0x00000002
#define USBD_PF_ENABLE_RT_THREAD_ACCESS 0x00000004
#define USBD_PF_MAP_ADD_TRANSFERS 0x00000008
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFFu  // no limit: the bus driver ignores the field
#define USBD_ISO_START_FRAME_RANGE 1024           // frames ahead an explicit start frame may lie

// Version of the USB driver interface reported by USBD_GetUSBDIVersion.
#define USBDI_VERSION 0x00000600

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;
static_assert(sizeof(USBD_PIPE_TYPE) == 4);

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;
static_assert(sizeof(USBD_VERSION_INFORMATION) == 8);

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;  // filled in by the bus driver
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;  // set by the client
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 && offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2 &&
              offsetof(USBD_PIPE_INFORMATION, PipeType) == 4 && offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8 &&
              offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16 &&
              offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20);

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // bytes of this record including every pipe entry
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;  // the rest is filled in by the bus driver
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48 && offsetof(USBD_INTERFACE_INFORMATION, Class) == 4 &&
              offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8 &&
              offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16 &&
              offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // null ends the list
    PUSBD_INTERFACE_INFORMATION Interface;           // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;  // bytes from the start of the transfer buffer
    ULONG Length;  // OUT: bytes to send; IN: bytes received (set by the bus driver)
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

// ---- URBs ----

struct _URB_HEADER {
    USHORT Length;  // bytes of the whole request
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};
static_assert(sizeof(_URB_HEADER) == 24 && offsetof(_URB_HEADER, Status) == 4 &&
              offsetof(_URB_HEADER, UsbdDeviceHandle) == 8 && offsetof(_URB_HEADER, UsbdFlags) == 16);

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};
static_assert(sizeof(_URB_HCD_AREA) == 64);

struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};
static_assert(sizeof(_URB_SELECT_INTERFACE) == 80 && offsetof(_URB_SELECT_INTERFACE, ConfigurationHandle) == 24 &&
              offsetof(_URB_SELECT_INTERFACE, Interface) == 32);

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null selects the unconfigured state
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // one per interface, packed by their Length
};
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88 &&
              offsetof(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24 &&
              offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32 &&
              offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40);

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};
static_assert(sizeof(_URB_PIPE_REQUEST) == 40 && offsetof(_URB_PIPE_REQUEST, PipeHandle) == 24);

struct _URB_GET_CURRENT_FRAME_NUMBER {
    _URB_HEADER Hdr;
    ULONG FrameNumber;
};
static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 32 && offsetof(_URB_GET_CURRENT_FRAME_NUMBER, FrameNumber) == 24);

struct _URB_CONTROL_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;  // null with USBD_DEFAULT_PIPE_TRANSFER
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};
static_assert(sizeof(_URB_CONTROL_TRANSFER) == 136 && offsetof(_URB_CONTROL_TRANSFER, TransferFlags) == 32 &&
              offsetof(_URB_CONTROL_TRANSFER, TransferBuffer) == 40 && offsetof(_URB_CONTROL_TRANSFER, hca) == 64 &&
              offsetof(_URB_CONTROL_TRANSFER, SetupPacket) == 128);

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
};
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48 &&
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56);

struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];  // NumberOfPackets entries
};
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152 && offsetof(_URB_ISOCH_TRANSFER, PipeHandle) == 24 &&
              offsetof(_URB_ISOCH_TRANSFER, TransferFlags) == 32 &&
              offsetof(_URB_ISOCH_TRANSFER, TransferBufferLength) == 36 &&
              offsetof(_URB_ISOCH_TRANSFER, TransferBuffer) == 40 && offsetof(_URB_ISOCH_TRANSFER, hca) == 64 &&
              offsetof(_URB_ISOCH_TRANSFER, StartFrame) == 128 &&
              offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets) == 132 &&
              offsetof(_URB_ISOCH_TRANSFER, ErrorCount) == 136 && offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 140);

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136 &&
              offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36 &&
              offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40 &&
              offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130 &&
              offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131 &&
              offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132);

struct _URB_CONTROL_GET_STATUS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};
static_assert(sizeof(_URB_CONTROL_GET_STATUS_REQUEST) == 136 && offsetof(_URB_CONTROL_GET_STATUS_REQUEST, Index) == 132);

struct _URB_CONTROL_FEATURE_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};
static_assert(sizeof(_URB_CONTROL_FEATURE_REQUEST) == 136 &&
              offsetof(_URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 130 &&
              offsetof(_URB_CONTROL_FEATURE_REQUEST, Index) == 132);

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 36 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 40 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL) == 48 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink) == 56 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130 &&
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132);

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};
static_assert(sizeof(_URB_CONTROL_GET_INTERFACE_REQUEST) == 136 &&
              offsetof(_URB_CONTROL_GET_INTERFACE_REQUEST, Interface) == 132);

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};
static_assert(sizeof(_URB_CONTROL_GET_CONFIGURATION_REQUEST) == 136);

struct _URB {
    union {
        _URB_HEADER UrbHeader;
        _URB_SELECT_INTERFACE UrbSelectInterface;
        _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        _URB_PIPE_REQUEST UrbPipeRequest;
        _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        _URB_CONTROL_TRANSFER UrbControlTransfer;
        _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
        _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
    };
};
static_assert(sizeof(URB) == 152);

// Request sizes: every record already holds one interface, pipe or packet entry.
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (SIZE_T)(numEndpoints) - sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + sizeof(USBD_PIPE_INFORMATION) * (SIZE_T)(totalPipes) - sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                         \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                   \
     sizeof(USBD_INTERFACE_INFORMATION) * (SIZE_T)(totalInterfaces) - sizeof(USBD_INTERFACE_INFORMATION) + \
     sizeof(USBD_PIPE_INFORMATION) * (SIZE_T)(totalPipes) - sizeof(USBD_PIPE_INFORMATION) * (SIZE_T)(totalInterfaces))
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (SIZE_T)(n))
static_assert(GET_USBD_INTERFACE_SIZE(0) == 24 && GET_USBD_INTERFACE_SIZE(2) == 72);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56 && GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 128);
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 4) == 40 + 3 * 24 + 4 * 24);
static_assert(GET_ISO_URB_SIZE(8) == 152 + 8 * 12);

// ---- Request builders ----

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                 \
    do {                                                                                                  \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                              \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                       \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                  \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                               \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
    do {                                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                  \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                           \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                 \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                         \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                         \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                  \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)  \
    do {                                                                                  \
        (urb)->UrbHeader.Function = (op);                                                 \
        (urb)->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST); \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);        \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);              \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                               \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                  \
    do {                                                                              \
        (urb)->UrbHeader.Function = (op);                                             \
        (urb)->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);          \
        (urb)->UrbControlFeatureRequest.Index = (index);                              \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                             \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)           \
    do {                                                                                  \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                    \
        (urb)->UrbHeader.Length = (USHORT)(length);                                       \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    } while (0)

// The interface record's Length is what follows the header and the configuration handle.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    do {                                                                                                   \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                         \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                        \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                         \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                           \
        (urb)->UrbSelectInterface.Interface.Length =                                                       \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));            \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                             \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index,     \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)            \
    do {                                                                                               \
        (urb)->UrbHeader.Function = (cmd);                                                             \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                    \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);             \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                   \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                         \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                  \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                       \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                           \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                           \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                           \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                          \
    } while (0)

// ---- Internal device control codes of the USB bus driver ----

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9
#define USB_GET_BUS_INFO 264
#define USB_GET_CONTROLLER_NAME 265

#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_ENABLE_PORT CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUS_INFO CTL_CODE(FILE_DEVICE_USB, USB_GET_BUS_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_CONTROLLER_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003 && IOCTL_INTERNAL_USB_RESET_PORT == 0x220007 &&
              IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013 && IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F &&
              IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION == 0x220027);

// Port status bits (IOCTL_INTERNAL_USB_GET_PORT_STATUS, Argument1 -> ULONG).
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// Idle notification (IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, Argument1 -> this record).
typedef VOID USB_IDLE_CALLBACK_ROUTINE(PVOID Context);
typedef USB_IDLE_CALLBACK_ROUTINE* USB_IDLE_CALLBACK;
typedef struct _USB_IDLE_CALLBACK_INFO {
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;
static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 16);

// ---- Bus interface (IRP_MN_QUERY_INTERFACE with USB_BUS_INTERFACE_USBDI_GUID) ----

#ifndef KV_INTERFACE_RECORD_DEFINED
#define KV_INTERFACE_RECORD_DEFINED
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);
typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
static_assert(sizeof(INTERFACE) == 32 && offsetof(INTERFACE, Context) == 8);
#endif

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xB1A96A13, 0x3DE0, 0x4574, 0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6);
#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

typedef VOID USB_BUSIFFN_GETUSBDI_VERSION(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                          PULONG HcdCapabilities);
typedef USB_BUSIFFN_GETUSBDI_VERSION* PUSB_BUSIFFN_GETUSBDI_VERSION;
typedef NTSTATUS USB_BUSIFFN_QUERY_BUS_TIME(PVOID BusContext, PULONG CurrentUsbFrame);
typedef USB_BUSIFFN_QUERY_BUS_TIME* PUSB_BUSIFFN_QUERY_BUS_TIME;
typedef NTSTATUS USB_BUSIFFN_SUBMIT_ISO_OUT_URB(PVOID BusContext, PURB Urb);
typedef USB_BUSIFFN_SUBMIT_ISO_OUT_URB* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB;
typedef NTSTATUS USB_BUSIFFN_QUERY_BUS_INFORMATION(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                                   PULONG BusInformationBufferLength,
                                                   PULONG BusInformationActualLength);
typedef USB_BUSIFFN_QUERY_BUS_INFORMATION* PUSB_BUSIFFN_QUERY_BUS_INFORMATION;
typedef BOOLEAN USB_BUSIFFN_IS_DEVICE_HIGH_SPEED(PVOID BusContext);
typedef USB_BUSIFFN_IS_DEVICE_HIGH_SPEED* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED;

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64);

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72 && offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == 8 &&
              offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceReference) == 16 &&
              offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusTime) == 40 &&
              offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 64);

// ---- USBD library ----

// Interface descriptor at or after StartPosition that matches every criterion not -1; null when none.
// The walk never leaves the configuration descriptor's wTotalLength bytes.
KV_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);
KV_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting);
// First descriptor of DescriptorType at or after StartPosition within TotalLength bytes; the walk
// stops at a descriptor whose bLength is below 2 or that runs past the end.
KV_EXTERN_C PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                         PVOID StartPosition, LONG DescriptorType);
// Select-configuration URB for the listed interfaces (ending with a null InterfaceDescriptor), from
// non-paged pool; the caller frees it with ExFreePool. Each entry's Interface points into the URB.
// Null without memory, when an entry names a descriptor outside the configuration, or when the
// request would not fit its 16-bit length.
KV_EXTERN_C PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
KV_EXTERN_C VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);
