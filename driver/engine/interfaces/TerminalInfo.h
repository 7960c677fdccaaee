// TerminalInfo: what a connector (a jack or a streaming end of the control graph) tells the
// topology filter and the engines: its endpoint type now in force, the endpoint types it can be
// switched to, its jack descriptions and its pin's endpoint record. Answered by the connector
// controls, by a mixer control standing for a mixed input, and by the terminal units.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"

#include <win/kernel.h>
#include <win/unknown.h>

#include <cstddef>

// {540C5664-4620-4FDB-9B81-7E2145D95BE3}
DEFINE_GUID(IID_TerminalInfo, 0x540C5664, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3);

// Most endpoint types one connector or terminal can be switched between.
constexpr ULONG TerminalMaxTypes = 5;

// One jack. The first six words carry the meanings and codes of the kernel-streaming jack
// description; the layout reaches the jack properties unchanged.
struct JackRecord {
    ULONG ChannelMapping;
    ULONG Color;           // 0x00RRGGBB
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG JackFlags;       // JackFlagNoPresenceDetection
    ULONG IsConnected;
    ULONG Reserved;        // the terminal units' own marker; the jack properties ignore it
};
static_assert(sizeof(JackRecord) == 36);
static_assert(offsetof(JackRecord, JackFlags) == 24 && offsetof(JackRecord, IsConnected) == 28);

// The jack cannot tell whether something is plugged in.
constexpr ULONG JackFlagNoPresenceDetection = 0x1;

class TerminalInfo : public IUnknown {
public:
    // Operations in table order. Every null out pointer answers STATUS_INVALID_PARAMETER.

    // The endpoint type now in force.
    STDMETHOD(GetTerminalType)(PULONG Type) PURE;
    STDMETHOD(GetTypeCount)(PULONG Count) PURE;
    // Copies GetTypeCount entries; the caller provides room for them (at most TerminalMaxTypes).
    STDMETHOD(GetTypeList)(PULONG Types) PURE;
    // Type must be one of the list.
    STDMETHOD(SelectType)(ULONG Type) PURE;
    // Index: which of its types a terminal unit describes; controls ignore it.
    STDMETHOD(GetJackCount)(PULONG Count, ULONG Index) PURE;
    // Copies at most ByteSize bytes of JackRecord entries into Buffer.
    STDMETHOD(GetJackDescriptions)(ULONG ByteSize, PVOID Buffer, ULONG Index) PURE;
    STDMETHOD(GetPinRecord)(EndpointInfo* Record) PURE;

protected:
    ~TerminalInfo() = default;
};
