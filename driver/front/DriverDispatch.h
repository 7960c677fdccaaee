// The driver's face towards the operating system: the add-device and start routines it gives the
// port-class library, the plug-and-play, create, close and device-control handlers it takes over
// from it (everything else stays with the library), and the installation of one subdevice.
// DriverEntry itself is declared by the kernel headers.
#pragma once

#include "driver/front/FrontCallees.h"

#include <win/kernel.h>
#include <win/portcls.h>

// {B2AA96F0-3543-4B0D-8065-F321D92AD4F8}: the private ASIO interface the ASIO library opens.
DEFINE_GUID(GUID_KLASIOPrivateInterface, 0xB2AA96F0, 0x3543, 0x4B0D, 0x80, 0x65, 0xF3, 0x21, 0xD9, 0x2A, 0xD4, 0xF8);
// {DE7DA2E3-9551-4729-89DF-A049F9D17F1C}: the enumeration interface; also a category of the
// driver's filters.
DEFINE_GUID(GUID_KLEnumPrivateInterface, 0xDE7DA2E3, 0x9551, 0x4729, 0x89, 0xDF, 0xA0, 0x49, 0xF9, 0xD1, 0x7F, 0x1C);

// At most this many subdevices per adapter device.
constexpr ULONG MaxAdapterSubdevices = 20;
// The oldest operating system the driver loads on (NTDDI).
constexpr ULONG MinimumNtddiVersion = 0x05010000;
// The oldest port-class library the driver starts with.
constexpr DWORD MinimumPortClsVersion = kVersionWin2K_UAAQFE;
static_assert(MinimumPortClsVersion == 11);
// "Temp": the engine name buffer of the start (paged).
constexpr ULONG StartDeviceNameTag = 'pmeT';

// Driver-wide strings, set by DriverEntry: the interfaces' reference strings and the file name
// under which the ASIO interface is opened (compared case-insensitively).
extern UNICODE_STRING AsioReferenceString;
extern UNICODE_STRING EnumReferenceString;
extern UNICODE_STRING AsioFileName;

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Creates a port of PortClassId and a miniport of MiniportClassId with Creator, initialises the
// port with the miniport and the adapter, and registers the subdevice under the miniport's name.
// *Port (when asked for) receives the port's IUnknown with one reference; *Miniport the miniport
// without a reference of its own (the port holds it).
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          MiniportCreator Creator, PUNKNOWN AdapterUnknown, PUNKNOWN* Port, PUNKNOWN* Miniport);
