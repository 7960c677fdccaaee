// The base of every unit and control of the device model: a reference-counted object with an
// identifier, a kind and the identifiers of the nodes that feed it (its sources). The sources
// turn the HAL's nodes into a directed graph that the topology filter renders.
//
// AudioNode is both the interface that the HAL, the engines and the topology miniport call and the
// base class that carries its state. Derived classes answer their own interfaces first and fall
// back to AudioNode::NonDelegatingQueryInterface.
#pragma once

#include "driver/engine/base/KernelUnknown.h"

#include <win/kernel.h>

// {200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}
DEFINE_GUID(IID_AudioNode, 0x200AFF7F, 0x71A4, 0x4FFC, 0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5);

// "Topo": source identifier arrays (paged).
constexpr ULONG AudioNodeSourceTag = 'opoT';

// Kind codes of controls: the vocabulary between the device engine and the topology miniport.
// Units carry the subtype of their class-specific descriptor as their kind instead.
enum class NodeKind : ULONG {
    InputConnector = 0,   // bridge pin, data flowing in
    OutputConnector = 1,  // bridge pin, data flowing out
    Mute = 2,
    Volume = 3,
    Selector = 4,
    Mixer = 5,
    AutomaticGain = 6,
    Loudness = 7,
    DeviceLevel = 8,
    Bass = 9,
    Mid = 10,
    Treble = 11,
    SampleRate = 12,  // neither pin nor node
    TerminalType = 13,
    DeviceSwitch = 18,
    StoredSwitch = 22,
    Vendor = 23,
};

constexpr ULONG NodeKindCode(NodeKind Kind) { return static_cast<ULONG>(Kind); }

// The source id of an input whose upstream unit the device does not describe: it names no node
// (node ids are positions in the HAL's node list, far below it), so every walk upstream ends there.
constexpr ULONG AudioNodeNoSource = MAXULONG;

// TRUE for the codes a control may carry; any other code is not a control kind.
constexpr bool IsControlNodeKind(ULONG Code) {
    return Code <= NodeKindCode(NodeKind::TerminalType) || Code == NodeKindCode(NodeKind::DeviceSwitch) ||
           Code == NodeKindCode(NodeKind::StoredSwitch) || Code == NodeKindCode(NodeKind::Vendor);
}

class AudioNode : public IUnknown, public CKernelUnknown {
public:
    DECLARE_KERNEL_UNKNOWN();

    // UnknownOuter: null for a node of its own. No sources yet.
    AudioNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind);
    // Frees the source array.
    ~AudioNode() override;

    // Operations in table order.
    virtual ULONG GetId();
    virtual ULONG GetNodeKind();
    virtual ULONG GetSourceCount();
    // Count in: entries wanted (lowered to the entries held); out: entries copied into Ids.
    // STATUS_INVALID_PARAMETER for a null Count or Ids.
    virtual NTSTATUS GetSources(PULONG Count, PULONG Ids);
    // Writes the cached control values to the device; the base has none.
    virtual NTSTATUS ApplyValues();
    // Reads the control values from the device into the cache; the base has none.
    virtual NTSTATUS RefreshValues();
    virtual NTSTATUS OnHalStart();
    virtual NTSTATUS OnHalStop();
    // Replaces the source list with a copy of Count identifiers; Count 0 clears it. A null Ids
    // with a non-zero Count (STATUS_INVALID_PARAMETER) or no pool for the copy
    // (STATUS_INSUFFICIENT_RESOURCES) leaves the old list and count in place.
    virtual NTSTATUS SetSources(ULONG Count, const ULONG* Ids);

protected:
    ULONG m_Id;
    ULONG m_Kind;            // NodeKind code for controls, descriptor subtype for units
    ULONG m_SourceCount;     // entries of m_SourceIds
    PULONG m_SourceIds;      // owned, paged pool "Topo"; null when the count is 0
};
