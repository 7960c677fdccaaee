// Control requests of the UAC 1.0 unit and terminal objects: one class or vendor request to an
// entity of the AudioControl interface, sent synchronously through the adapter's UsbTransport.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/AudioNode.h"

#include <win/kernel.h>
#include <win/usb.h>

// "UA10": the units' controls, extension blocks, jack and type tables.
constexpr ULONG Uac1UnitTag = '01AU';

// UAC 1.0 class-specific AudioControl descriptor subtypes the unit classes take.
constexpr UCHAR Uac1ClassInterfaceType = 0x24;
constexpr UCHAR Uac1InputTerminalSubtype = 2;
constexpr UCHAR Uac1OutputTerminalSubtype = 3;
constexpr UCHAR Uac1MixerUnitSubtype = 4;
constexpr UCHAR Uac1SelectorUnitSubtype = 5;
constexpr UCHAR Uac1FeatureUnitSubtype = 6;

// Request codes.
constexpr UCHAR Uac1SetCur = 0x01;
constexpr UCHAR Uac1GetCur = 0x81;
constexpr UCHAR Uac1GetMin = 0x82;
constexpr UCHAR Uac1GetMax = 0x83;
constexpr UCHAR Uac1GetRes = 0x84;
constexpr UCHAR Uac1GetMem = 0x85;

struct Uac1UnitRequest {
    USHORT Function;  // URB_FUNCTION_CLASS_INTERFACE or URB_FUNCTION_VENDOR_INTERFACE
    BOOLEAN In;
    UCHAR Request;
    USHORT Value;
    UCHAR EntityId;   // wIndex high byte; the low byte is the AudioControl interface number
};

// Sends Request with Length bytes of Buffer (OUT) or into Buffer (IN). UsbTransport is queried
// from Hal for this one request; its failure is the result. An IN request must be answered with
// all Length bytes: a shorter answer is STATUS_UNSUCCESSFUL unless Received is given, which then
// takes the number of bytes that arrived. PASSIVE_LEVEL.
NTSTATUS SendUac1UnitRequest(AdapterCommon* Hal, const Uac1UnitRequest& Request, PVOID Buffer, ULONG Length,
                             PULONG Received = nullptr);

// A descriptor the unit classes accept: bLength covers MinimumLength, type 0x24, the subtype.
bool IsUac1UnitDescriptor(const UCHAR* Descriptor, UCHAR Subtype, ULONG MinimumLength);

// A MIXER_UNIT or SELECTOR_UNIT (Subtype) whose bLength holds its bNrInPins source ids.
bool IsUac1UnitWithSources(const UCHAR* Descriptor, UCHAR Subtype);
// The bNrInPins source ids of a mixer or selector unit as Unit's sources.
// STATUS_INSUFFICIENT_RESOURCES without pool.
NTSTATUS SetUac1UnitSources(AudioNode* Unit, const UCHAR* Descriptor);

inline USHORT ReadLe16(const UCHAR* Bytes) { return static_cast<USHORT>(Bytes[0] | Bytes[1] << 8); }
inline ULONG ReadLe32(const UCHAR* Bytes) {
    return static_cast<ULONG>(Bytes[0]) | static_cast<ULONG>(Bytes[1]) << 8 | static_cast<ULONG>(Bytes[2]) << 16 |
           static_cast<ULONG>(Bytes[3]) << 24;
}
