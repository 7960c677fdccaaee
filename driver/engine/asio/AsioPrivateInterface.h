// AsioPrivateInterface: the kernel side of the private ASIO protocol, offered by the adapter. The
// device-control dispatcher decodes each request on a "\KLASIOPrivateInterface" file and calls
// one operation with the request's file object, which names the caller's AsioClient. Every
// operation takes the adapter's ASIO mutex, so requests of all handles are serialised with each
// other and with power changes.
#pragma once

#include "driver/engine/asio/AsioProtocol.h"

#include <win/kernel.h>
#include <win/unknown.h>

#include <cstddef>

// {DB4D55AC-CB0E-4611-8CEB-16E32336876D}
DEFINE_GUID(IID_AsioPrivateInterface, 0xDB4D55AC, 0xCB0E, 0x4611, 0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D);

// One open handle of the private interface (non-paged, "USBd", zeroed); in the adapter's client
// list, new clients at the head.
struct AsioClient {
    LIST_ENTRY Links;
    PFILE_OBJECT FileObject;  // the key of every lookup
    PKEVENT NotifyEvent;      // referenced, or null
    PKEVENT BufferEvent;      // referenced, or null; the owner only
    ULONG SampleType;         // ASIO sample type
    ULONG LatencyIndex;       // into the latency choices
    ULONG SampleRate;         // Hz
    FormatKind Kind;
    ULONG Buffers;  // 1 while the client owns created buffers
};

class StreamClients;

// One entry of the adapter's ring table, one per stream engine (non-paged, "USBd", zeroed at
// start-up; filled when a client creates buffers). The driver keeps its own copy of every ring
// field it reads again: the header is the library's to write over, so nothing is read back.
struct AsioRingEntry {
    PVOID Ring;              // the driver's view of the shared ring (header and data area), or null
    PVOID UserAddress;       // the ring's view in the owner's process
    HANDLE Section;          // the ring's section (a kernel handle)
    PVOID Client;            // this service's client of the endpoint's stream, or null
    StreamClients* Stream;   // the endpoint's stream; no reference (the HAL holds the engine)
    ULONG RingBytes;         // of the allocation
    ULONG DataSize;          // bytes of the data area; 0: no channel of the owner's kind
    ULONG DriverPosition;    // bytes into the data area
    ULONG Periods;           // transfers since the last start
    ULONG Channels;
    ULONG FirstChannel;
    ULONG LeadFrames;        // how far the library writes ahead of the driver after a start
    UCHAR Active;
    UCHAR IsInput;
    UCHAR Signal;
    UCHAR Reserved;
};
static_assert(sizeof(AsioRingEntry) == 72 && offsetof(AsioRingEntry, Section) == 16 &&
              offsetof(AsioRingEntry, Stream) == 32 && offsetof(AsioRingEntry, Active) == 68);

class AsioPrivateInterface : public IUnknown {
public:
    // Operations in table order. Buffers are the request's system buffer; lengths in bytes.

    STDMETHOD(CreateClient)(PFILE_OBJECT FileObject) PURE;
    // No request reaches it: STATUS_UNSUCCESSFUL.
    STDMETHOD(Reserved)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD(CloseClient)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD(GetDeviceName)(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) PURE;
    STDMETHOD(GetChannels)(PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length) PURE;
    STDMETHOD(GetChannelInfo)(PFILE_OBJECT FileObject, PVOID ChannelInfo, ULONG Length) PURE;
    STDMETHOD(SetNotifyEvent)(PFILE_OBJECT FileObject, PULONGLONG EventHandle) PURE;
    STDMETHOD(ClearNotifyEvent)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD(GetState)(PFILE_OBJECT FileObject, PVOID Buffer) PURE;
    STDMETHOD(GetBitDepths)(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) PURE;
    STDMETHOD(GetLatencyChoices)(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) PURE;
    STDMETHOD(SetBitDepth)(PFILE_OBJECT FileObject, ULONG SampleType) PURE;
    STDMETHOD(SetLatency)(PFILE_OBJECT FileObject, ULONG LatencyIndex) PURE;
    STDMETHOD(GetLatencies)(PFILE_OBJECT FileObject, PVOID Buffer) PURE;
    STDMETHOD(GetSampleRate)(PFILE_OBJECT FileObject, PVOID Buffer) PURE;
    STDMETHOD(CanSampleRate)(PFILE_OBJECT FileObject, PULONG SampleRate) PURE;
    STDMETHOD(SetSampleRate)(PFILE_OBJECT FileObject, PULONG SampleRate) PURE;
    STDMETHOD(GetBufferSize)(PFILE_OBJECT FileObject, PVOID Buffer) PURE;
    STDMETHOD(CreateBuffers)(PFILE_OBJECT FileObject, PVOID Request, PVOID AddressTable, PULONG Length) PURE;
    STDMETHOD(DisposeBuffers)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD(Start)(PFILE_OBJECT FileObject, PULONGLONG EventHandle) PURE;
    // May leave Irp pending (STATUS_PENDING) while the device is out of D0.
    STDMETHOD(Stop)(PFILE_OBJECT FileObject, PIRP Irp) PURE;
    STDMETHOD(CanDoIoFormat)(PFILE_OBJECT FileObject, PULONG Kind) PURE;
    STDMETHOD(SetIoFormat)(PFILE_OBJECT FileObject, PULONG Kind) PURE;
    STDMETHOD(GetIoFormat)(PFILE_OBJECT FileObject, PVOID Buffer) PURE;

protected:
    ~AsioPrivateInterface() = default;
};
typedef AsioPrivateInterface* PASIOPRIVATEINTERFACE;
