// The topology filter's automation: the property and event handlers of the filter and of its
// nodes, and the tables that bind them to property sets. Each handler finds the node or pin of the
// request in the TopologyMiniport that is the request's major target, queries the control behind
// it for its control interface and translates between the kernel-streaming layouts and that
// interface.
#pragma once

#include "driver/front/PrivateDriverPropSet.h"

#include <win/kernel.h>
#include <win/ks.h>
#include <win/portcls.h>

// Ids of PrivateDriverPropSet that the topology filter serves.
constexpr ULONG PrivateDriverPropVersion = 2;           // filter, get: PrivateDriverInterfaceVersion
constexpr ULONG PrivateDriverPropLevelWithEvent = 3;    // volume and tone nodes, set: a level, then an event
constexpr ULONG PrivateDriverPropJackDescription = 4;   // filter, get: as KSPROPERTY_JACK_DESCRIPTION
constexpr ULONG PrivateDriverInterfaceVersion = 0x00030000;

// {A210D309-0822-456B-BD3C-2196567CADA7}: id 1 (filter, get; instance: pin id), the pin's
// EndpointInfo record.
DEFINE_GUID(EndpointRecordPropSet, 0xA210D309, 0x0822, 0x456B, 0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7);
// {00A34C4A-26E6-4095-98E9-77FAE2F11FB6}: id 1 (node, get), the GUID of the node's control class.
DEFINE_GUID(NodeIdentityPropSet, 0x00A34C4A, 0x26E6, 0x4095, 0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6);
// {ED76304D-B322-4ECB-9B9E-8E13C1465F04}: terminal-type nodes; id 1 the selectable endpoint
// types, id 2 the current one.
DEFINE_GUID(TerminalTypePropSet, 0xED76304D, 0xB322, 0x4ECB, 0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04);
// {369C31B9-34E6-4640-99B6-ADD16CF11994}: vendor nodes; id 1 the name GUID, 2 the parameter
// count, 3 one parameter's information, 4 a block of parameter values.
DEFINE_GUID(VendorParameterPropSet, 0x369C31B9, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19, 0x94);

constexpr ULONG TerminalTypePropList = 1;
constexpr ULONG TerminalTypePropCurrent = 2;
constexpr ULONG VendorParameterPropName = 1;
constexpr ULONG VendorParameterPropCount = 2;
constexpr ULONG VendorParameterPropInfo = 3;
constexpr ULONG VendorParameterPropValues = 4;

// The identity GUIDs of NodeIdentityPropSet, by node kind.
// {BAE3AD68-0CB6-4A9A-94B5-0BB628C41D7A}: device level (kind 8)
DEFINE_GUID(NodeIdentityDeviceLevel, 0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A);
// {0D18F5A4-5721-4A07-92E5-843099FA8FDB}: terminal type (kind 13)
DEFINE_GUID(NodeIdentityTerminalType, 0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB);
// {FDA49636-C86D-4E91-A707-A1252E3F19E6}: device switch (kind 18)
DEFINE_GUID(NodeIdentityDeviceSwitch, 0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6);
// {DB357A6F-C4B1-4390-8C07-CBDFA9D5C047}: stored switch (kind 22)
DEFINE_GUID(NodeIdentityStoredSwitch, 0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47);
// The vendor kind (23) is identified by VendorParameterPropSet's own GUID.

// The filter's table: version, jack descriptions (both versions) and endpoint records.
const PCAUTOMATION_TABLE* TopologyFilterAutomation();
// The table of a node of the control kind; a selector with two or more sources is a mux. Null for
// a kind without properties (the mixer).
const PCAUTOMATION_TABLE* TopologyNodeAutomation(ULONG Kind, ULONG SourceCount);

// Node handlers.
NTSTATUS SwitchHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS LevelHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS MuxHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS NodeIdentityHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS DevSpecificHandler(PPCPROPERTY_REQUEST Request);
// Filter handlers.
NTSTATUS VersionHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS JackDescriptionHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS JackDescription2Handler(PPCPROPERTY_REQUEST Request);
NTSTATUS EndpointRecordHandler(PPCPROPERTY_REQUEST Request);
// The control-change event of the nodes that carry values.
NTSTATUS OnControlChangeEvent(PPCEVENT_REQUEST Request);
