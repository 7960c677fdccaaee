// AdapterCommon: the interface of the adapter and of every HAL. The port-class front, the miniports
// and the adapter reach a device's engines, controls and change notices through it.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/base/Guids.h"

#include <win/kernel.h>
#include <win/ks.h>
#include <win/portcls.h>

#include <cstddef>

// The engines live above this interface; callers that use one include its header.
class StreamEngine;

// Per-endpoint record. It reaches user mode unchanged through private properties, so its layout
// is fixed. Callers zero it before asking.
struct EndpointInfo {
    ULONG Capabilities;
    ULONG Reserved1[3];  // zero
    ULONGLONG Value;     // little-endian
    ULONG Flags;         // EndpointFlagAsio and bits the HAL classes define
    ULONG Reserved2;     // zero
};
static_assert(sizeof(EndpointInfo) == 32);
static_assert(offsetof(EndpointInfo, Capabilities) == 0 && offsetof(EndpointInfo, Value) == 16 &&
              offsetof(EndpointInfo, Flags) == 24);

// The endpoint serves the private ASIO interface.
constexpr ULONG EndpointFlagAsio = 0x2;

class AdapterCommon : public IUnknown {
public:
    // Operations in table order.

    // Engine EngineIndex's record into Info; STATUS_INVALID_PARAMETER for a null Info.
    STDMETHOD(GetEndpointInfo)(ULONG EngineIndex, EndpointInfo* Info) PURE;
    STDMETHOD(GetComponentId)(PKSCOMPONENTID ComponentId) PURE;
    STDMETHOD_(ULONG, GetStreamEngineCount)() PURE;
    // The engine at Index without a reference of its own; *Engine is null on failure.
    STDMETHOD(GetStreamEngine)(ULONG Index, StreamEngine** Engine) PURE;
    STDMETHOD_(ULONG, GetNodeCount)() PURE;
    // The node at Index without a reference of its own; *Node is null on failure.
    STDMETHOD(GetNode)(ULONG Index, AudioNode** Node) PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetDeviceObject)() PURE;
    STDMETHOD(Init)(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                    PDEVICE_OBJECT PhysicalDeviceObject) PURE;
    STDMETHOD(Start)() PURE;
    STDMETHOD(Stop)() PURE;
    // Registers Callback on the change-notice callback object; *Registration goes to
    // UnregisterChangeCallback.
    STDMETHOD(RegisterChangeCallback)(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) PURE;
    STDMETHOD(UnregisterChangeCallback)(PVOID Registration) PURE;
    STDMETHOD(WaitIdle)() PURE;
    // Parses the device into nodes and engines.
    STDMETHOD(Identify)() PURE;
    // Wires selectors to the controls behind their inputs and writes the stored values.
    STDMETHOD(BindStreams)() PURE;
    // Direction: 0 render, 1 capture; EndpointType: the engine's endpoint-type index.
    STDMETHOD(GetEndpointCaps)(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) PURE;

protected:
    ~AdapterCommon() = default;
};
typedef AdapterCommon* PADAPTERCOMMON;
