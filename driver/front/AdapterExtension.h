// The driver's part of the adapter device's extension, after the port-class library's reserved
// bytes, and how stream engines get their names from it. The HALs read the name counters again
// when a terminal-type change re-installs an engine, so the layout is shared and fixed.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/stream/StreamEngine.h"

#include <win/kernel.h>
#include <win/portcls.h>

#include <cstddef>

// Endpoint types an engine can report, by index; a counter per type and direction numbers the
// engine names.
constexpr ULONG EndpointTypeCount = EndpointTypeCode(EndpointType::Record) + 1;
constexpr ULONG EngineNameCounterCount = 22;
static_assert(EndpointTypeCount <= EngineNameCounterCount);
// Engine names: at most 50 characters and the terminator.
constexpr ULONG EngineNameChars = StreamEngineNameChars;

struct AdapterDeviceExtension {
    PADAPTERCOMMON Adapter;  // one reference; set only by a fully successful start
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;  // one object reference, dropped at removal
    PDEVICE_OBJECT PhysicalDeviceObject;
    UCHAR RenderNameCounters[EngineNameCounterCount];   // next number for "%sOut%02d", per type
    UCHAR CaptureNameCounters[EngineNameCounterCount];  // next number for "%sIn%02d", per type
    UCHAR AsioInterfaceRegistered;
    UNICODE_STRING AsioSymbolicLink;  // from IoRegisterDeviceInterface; freed at removal
    UCHAR AsioInterfaceEnabled;
    UCHAR EnumInterfaceRegistered;
    UNICODE_STRING EnumSymbolicLink;
    UCHAR EnumInterfaceEnabled;
    UCHAR SurpriseRemoved;  // set by the surprise removal: no new stream may start
};
static_assert(sizeof(AdapterDeviceExtension) == 128);
static_assert(offsetof(AdapterDeviceExtension, LowerDeviceObject) == 16 &&
              offsetof(AdapterDeviceExtension, RenderNameCounters) == 32 &&
              offsetof(AdapterDeviceExtension, CaptureNameCounters) == 54 &&
              offsetof(AdapterDeviceExtension, AsioInterfaceRegistered) == 76 &&
              offsetof(AdapterDeviceExtension, AsioSymbolicLink) == 80 &&
              offsetof(AdapterDeviceExtension, AsioInterfaceEnabled) == 96 &&
              offsetof(AdapterDeviceExtension, EnumInterfaceRegistered) == 97 &&
              offsetof(AdapterDeviceExtension, EnumSymbolicLink) == 104 &&
              offsetof(AdapterDeviceExtension, EnumInterfaceEnabled) == 120 &&
              offsetof(AdapterDeviceExtension, SurpriseRemoved) == 121);

// Bytes PcAddAdapterDevice reserves for the extension: the library's part, then ours.
constexpr ULONG AdapterDeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterDeviceExtension);

inline AdapterDeviceExtension* GetAdapterExtension(PDEVICE_OBJECT DeviceObject) {
    return reinterpret_cast<AdapterDeviceExtension*>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                                     PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// The name of an endpoint type ("SPK", "HP", ...); null for an index without one.
PCWSTR EndpointTypeName(ULONG EndpointType);

// Formats an engine's name: "%sIn%02d" for capture, "%sOut%02d" for render, from the endpoint
// type's name and Number, into Name (EngineNameChars characters). STATUS_INVALID_PARAMETER for an
// endpoint type without a name; the printing function's status when the name does not fit.
NTSTATUS FormatEngineName(ULONG Direction, ULONG EndpointType, ULONG Number, PWSTR Name);

// The counters an engine of Direction is numbered by.
inline PUCHAR EngineNameCounters(AdapterDeviceExtension* Extension, ULONG Direction) {
    return Direction == StreamDirectionCapture ? Extension->CaptureNameCounters : Extension->RenderNameCounters;
}
