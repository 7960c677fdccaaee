// The automation tables of the topology filter and of its nodes, by node kind.
//
//   filter     version, jack descriptions (private id 4, KSPROPSETID_Jack 1 and 2), endpoint records
//   2 6 7      mute, automatic gain, loudness: one switch property each            + event
//   3          volume level and the private level-with-event                       + event
//   9 10 11    bass, mid, treble (one table) and the private level-with-event      + event
//   4          selector: MUX_SOURCE with two or more inputs, else DEV_SPECIFIC
//   5          mixer: nothing
//   8 18 22    DEV_SPECIFIC and the node identity                                  + event
//   13         DEV_SPECIFIC (set only), node identity, the terminal-type set       + event
//   23         DEV_SPECIFIC, node identity, the vendor parameter set               + event
#include "driver/engine/interfaces/AudioNode.h"
#include "driver/front/TopologyProperties.h"

#include <win/ksmedia.h>

namespace {

constexpr ULONG Get = KSPROPERTY_TYPE_GET;
constexpr ULONG Set = KSPROPERTY_TYPE_SET;
constexpr ULONG GetSet = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
constexpr ULONG Basic = KSPROPERTY_TYPE_BASICSUPPORT;

const PCEVENT_ITEM ControlChangeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     OnControlChangeEvent},
};

template <size_t Count>
constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&Items)[Count], bool Events) {
    return PCAUTOMATION_TABLE{
        .PropertyItemSize = sizeof(PCPROPERTY_ITEM),
        .PropertyCount = Count,
        .Properties = Items,
        .MethodItemSize = sizeof(PCMETHOD_ITEM),
        .MethodCount = 0,
        .Methods = nullptr,
        .EventItemSize = sizeof(PCEVENT_ITEM),
        .EventCount = Events ? static_cast<ULONG>(sizeof(ControlChangeEvents) / sizeof(ControlChangeEvents[0])) : 0,
        .Events = Events ? ControlChangeEvents : nullptr,
        .Reserved = 0,
    };
}

const PCPROPERTY_ITEM FilterItems[] = {
    {&PrivateDriverPropSet, PrivateDriverPropVersion, Get, VersionHandler},
    {&PrivateDriverPropSet, PrivateDriverPropJackDescription, Get | Basic, JackDescriptionHandler},
    {&EndpointRecordPropSet, 1, Get | Basic, EndpointRecordHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get | Basic, JackDescriptionHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, Get | Basic, JackDescription2Handler},
};

const PCPROPERTY_ITEM MuteItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GetSet | Basic, SwitchHandler},
};
const PCPROPERTY_ITEM AutomaticGainItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, GetSet | Basic, SwitchHandler},
};
const PCPROPERTY_ITEM LoudnessItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, GetSet | Basic, SwitchHandler},
};
const PCPROPERTY_ITEM VolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GetSet | Basic, LevelHandler},
    {&PrivateDriverPropSet, PrivateDriverPropLevelWithEvent, Set, LevelHandler},
};
const PCPROPERTY_ITEM ToneItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, GetSet | Basic, LevelHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, GetSet | Basic, LevelHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, GetSet | Basic, LevelHandler},
    {&PrivateDriverPropSet, PrivateDriverPropLevelWithEvent, Set, LevelHandler},
};
const PCPROPERTY_ITEM MuxItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, GetSet, MuxHandler},
};
const PCPROPERTY_ITEM SelectorDevSpecificItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GetSet | Basic, DevSpecificHandler},
};
const PCPROPERTY_ITEM IdentifiedDevSpecificItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GetSet | Basic, DevSpecificHandler},
    {&NodeIdentityPropSet, 1, Get, NodeIdentityHandler},
};
const PCPROPERTY_ITEM TerminalTypeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Set | Basic, DevSpecificHandler},
    {&NodeIdentityPropSet, 1, Get, NodeIdentityHandler},
    {&TerminalTypePropSet, TerminalTypePropList, Get, DevSpecificHandler},
    {&TerminalTypePropSet, TerminalTypePropCurrent, Get, DevSpecificHandler},
};
const PCPROPERTY_ITEM VendorItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GetSet | Basic, DevSpecificHandler},
    {&NodeIdentityPropSet, 1, Get, NodeIdentityHandler},
    {&VendorParameterPropSet, VendorParameterPropName, Get, DevSpecificHandler},
    {&VendorParameterPropSet, VendorParameterPropCount, Get, DevSpecificHandler},
    {&VendorParameterPropSet, VendorParameterPropInfo, Get, DevSpecificHandler},
    {&VendorParameterPropSet, VendorParameterPropValues, GetSet, DevSpecificHandler},
};

const PCAUTOMATION_TABLE FilterTable = Table(FilterItems, false);
const PCAUTOMATION_TABLE MuteTable = Table(MuteItems, true);
const PCAUTOMATION_TABLE AutomaticGainTable = Table(AutomaticGainItems, true);
const PCAUTOMATION_TABLE LoudnessTable = Table(LoudnessItems, true);
const PCAUTOMATION_TABLE VolumeTable = Table(VolumeItems, true);
const PCAUTOMATION_TABLE ToneTable = Table(ToneItems, true);
const PCAUTOMATION_TABLE MuxTable = Table(MuxItems, false);
const PCAUTOMATION_TABLE SelectorDevSpecificTable = Table(SelectorDevSpecificItems, false);
const PCAUTOMATION_TABLE IdentifiedDevSpecificTable = Table(IdentifiedDevSpecificItems, true);
const PCAUTOMATION_TABLE TerminalTypeTable = Table(TerminalTypeItems, true);
const PCAUTOMATION_TABLE VendorTable = Table(VendorItems, true);

static_assert(sizeof(PCPROPERTY_ITEM) == 24 && sizeof(PCEVENT_ITEM) == 24);

}  // namespace

const PCAUTOMATION_TABLE* TopologyFilterAutomation() { return &FilterTable; }

const PCAUTOMATION_TABLE* TopologyNodeAutomation(ULONG Kind, ULONG SourceCount) {
    switch (static_cast<NodeKind>(Kind)) {
    case NodeKind::Mute: return &MuteTable;
    case NodeKind::AutomaticGain: return &AutomaticGainTable;
    case NodeKind::Loudness: return &LoudnessTable;
    case NodeKind::Volume: return &VolumeTable;
    case NodeKind::Bass:
    case NodeKind::Mid:
    case NodeKind::Treble: return &ToneTable;
    case NodeKind::Selector: return SourceCount >= 2 ? &MuxTable : &SelectorDevSpecificTable;
    case NodeKind::DeviceLevel:
    case NodeKind::DeviceSwitch:
    case NodeKind::StoredSwitch: return &IdentifiedDevSpecificTable;
    case NodeKind::TerminalType: return &TerminalTypeTable;
    case NodeKind::Vendor: return &VendorTable;
    default: return nullptr;
    }
}
