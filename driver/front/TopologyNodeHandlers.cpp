// The standard audio properties of the topology nodes: switches (mute, automatic gain, loudness),
// levels (volume and tone, and the private level that also raises the control-change event), the
// mux source and the node identity.
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/Selector.h"
#include "driver/front/TopologyHandlerSupport.h"

#include <win/ksmedia.h>

namespace {

// Basic support of a per-channel property: one stepped range per channel.
NTSTATUS AnswerSteppedRanges(PPCPROPERTY_REQUEST Request, ULONG ValueType, ULONG Channels,
                             const KSPROPERTY_STEPPING_LONG& Stepping) {
    const BasicSupportReply reply = {
        .AccessFlags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
        .ValueType = ValueType,
        .NoTypeSet = false,
        .MembersListCount = 1,
        .CountWithoutMembers = true,
        .ShortSizeZero = false,
    };
    const ULONGLONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                           static_cast<ULONGLONG>(Channels) * sizeof(KSPROPERTY_STEPPING_LONG);
    PUCHAR members = nullptr;
    NTSTATUS status = AnswerBasicSupport(Request, reply, full, &members);
    if (!NT_SUCCESS(status) || members == nullptr) return status;
    PutRecord(&members, KSPROPERTY_MEMBERSHEADER{
                            .MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES,
                            .MembersSize = sizeof(KSPROPERTY_STEPPING_LONG),
                            .MembersCount = Channels,
                            .Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL,
                        });
    for (ULONG channel = 0; channel < Channels; ++channel) PutRecord(&members, Stepping);
    return STATUS_SUCCESS;
}

bool IsPrivateLevel(const PCPROPERTY_ITEM* Item) {
    return IsEqualGUID(*Item->Set, PrivateDriverPropSet) && Item->Id == PrivateDriverPropLevelWithEvent;
}

// The property of KSPROPSETID_Audio that carries the level of a node kind, or the private level.
bool LevelPropertyFits(const PCPROPERTY_ITEM* Item, ULONG Kind) {
    const bool levelKind = Kind == NodeKindCode(NodeKind::Volume) || Kind == NodeKindCode(NodeKind::Bass) ||
                           Kind == NodeKindCode(NodeKind::Mid) || Kind == NodeKindCode(NodeKind::Treble);
    if (IsPrivateLevel(Item)) return levelKind;
    if (!IsEqualGUID(*Item->Set, KSPROPSETID_Audio)) return false;
    switch (Item->Id) {
    case KSPROPERTY_AUDIO_VOLUMELEVEL: return Kind == NodeKindCode(NodeKind::Volume);
    case KSPROPERTY_AUDIO_BASS: return Kind == NodeKindCode(NodeKind::Bass);
    case KSPROPERTY_AUDIO_MID: return Kind == NodeKindCode(NodeKind::Mid);
    case KSPROPERTY_AUDIO_TREBLE: return Kind == NodeKindCode(NodeKind::Treble);
    default: return false;
    }
}

}  // namespace

NTSTATUS LevelValue(PPCPROPERTY_REQUEST Request, LevelControl* Control, PropertyVerb Verb, ULONG Channel) {
    if (Verb == PropertyVerb::Get) {
        LONG value = 0;
        NTSTATUS status = Control->GetValue(Channel, &value);
        if (NT_SUCCESS(status)) AnswerValueWord(Request, static_cast<ULONG>(value));
        return status;
    }
    NTSTATUS status = Control->SetValue(Channel, static_cast<LONG>(ReadValueWord(Request)));
    if (NT_SUCCESS(status)) Request->ValueSize = sizeof(LONG);
    return status;
}

NTSTATUS SwitchHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* node = nullptr;
    NTSTATUS status = FindRequestNode(Request, &node);
    if (!NT_SUCCESS(status)) return status;
    const ULONG id = Request->PropertyItem->Id;
    if (id != KSPROPERTY_AUDIO_MUTE && id != KSPROPERTY_AUDIO_AGC && id != KSPROPERTY_AUDIO_LOUDNESS) {
        return STATUS_INVALID_PARAMETER;
    }
    InterfaceRef<OnOffControl> control;
    status = QueryControl(node->Control, IID_OnOffControl, &control);
    if (!NT_SUCCESS(status)) return status;
    ULONG channels = 0;
    const PropertyVerb verb = VerbOf(Request);
    if (verb == PropertyVerb::BasicSupport) {
        status = control->GetChannelCount(&channels);
        if (!NT_SUCCESS(status)) return status;
        const KSPROPERTY_STEPPING_LONG stepping = {.SteppingDelta = 1, .Reserved = 0, .Bounds = {{0, 1}}};
        return AnswerSteppedRanges(Request, VT_BOOL, channels, stepping);
    }
    if (verb != PropertyVerb::Get && verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    ULONG channel = 0;
    status = control->GetChannelCount(&channels);
    if (NT_SUCCESS(status)) status = ChannelValueRequest(Request, channels, &channel);
    if (!NT_SUCCESS(status)) return status;
    if (verb == PropertyVerb::Get) {
        // The control answers one byte; the rest of the 32-bit value is zero.
        AnswerValueWord(Request, 0);
        UCHAR value = 0;
        status = control->GetValue(channel, &value);
        if (NT_SUCCESS(status)) AnswerValueWord(Request, value);
        return status;
    }
    status = control->SetValue(channel, ReadValueWord(Request) != 0 ? 1 : 0);
    if (NT_SUCCESS(status)) Request->ValueSize = sizeof(ULONG);
    return status;
}

NTSTATUS LevelHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* node = nullptr;
    NTSTATUS status = FindRequestNode(Request, &node);
    if (!NT_SUCCESS(status)) return status;
    if (!LevelPropertyFits(Request->PropertyItem, node->Kind)) return STATUS_INVALID_PARAMETER;
    InterfaceRef<LevelControl> control;
    status = QueryControl(node->Control, IID_LevelControl, &control);
    if (!NT_SUCCESS(status)) return status;
    ULONG channels = 0;
    const PropertyVerb verb = VerbOf(Request);
    if (verb == PropertyVerb::BasicSupport) {
        status = control->GetChannelCount(&channels);
        LONG maximum = 0, minimum = 0, resolution = 0;
        if (NT_SUCCESS(status)) status = control->GetRange(&maximum, &minimum, &resolution);
        if (!NT_SUCCESS(status)) return status;
        KSPROPERTY_STEPPING_LONG stepping = {.SteppingDelta = static_cast<ULONG>(resolution), .Reserved = 0, .Bounds = {}};
        stepping.Bounds.SignedMinimum = minimum;
        stepping.Bounds.SignedMaximum = maximum;
        return AnswerSteppedRanges(Request, VT_I4, channels, stepping);
    }
    if (verb != PropertyVerb::Get && verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    ULONG channel = 0;
    status = control->GetChannelCount(&channels);
    if (NT_SUCCESS(status)) status = ChannelValueRequest(Request, channels, &channel);
    if (NT_SUCCESS(status)) status = LevelValue(Request, control.Get(), verb, channel);
    if (!NT_SUCCESS(status)) return status;
    if (verb == PropertyVerb::Set && IsPrivateLevel(Request->PropertyItem)) {
        TopologyMiniport::FromTarget(Request->MajorTarget)->RaiseControlChange(Request->Node);
    }
    return STATUS_SUCCESS;
}

NTSTATUS MuxHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* node = nullptr;
    NTSTATUS status = FindRequestNode(Request, &node);
    if (!NT_SUCCESS(status)) return status;
    if (Request->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE) return STATUS_INVALID_PARAMETER;
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
    InterfaceRef<Selector> selector;
    status = QueryControl(node->Control, IID_Selector, &selector);
    if (!NT_SUCCESS(status)) return status;
    const PropertyVerb verb = VerbOf(Request);
    if (verb == PropertyVerb::Get) {
        ULONG selected = 0;
        status = selector->GetSelected(&selected);
        if (NT_SUCCESS(status)) AnswerValueWord(Request, selected);
        return status;
    }
    if (verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    status = selector->SetSelected(ReadValueWord(Request));
    if (NT_SUCCESS(status)) Request->ValueSize = sizeof(ULONG);
    return status;
}

NTSTATUS NodeIdentityHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* node = nullptr;
    NTSTATUS status = FindRequestNode(Request, &node);
    if (!NT_SUCCESS(status)) return status;
    if (Request->PropertyItem->Id != 1) return STATUS_INVALID_PARAMETER;
    if (VerbOf(Request) != PropertyVerb::Get || Request->ValueSize < sizeof(GUID) || Request->Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID* identity = nullptr;
    switch (static_cast<NodeKind>(node->Kind)) {
    case NodeKind::DeviceLevel: identity = &NodeIdentityDeviceLevel; break;
    case NodeKind::TerminalType: identity = &NodeIdentityTerminalType; break;
    case NodeKind::DeviceSwitch: identity = &NodeIdentityDeviceSwitch; break;
    case NodeKind::StoredSwitch: identity = &NodeIdentityStoredSwitch; break;
    case NodeKind::Vendor: identity = &VendorParameterPropSet; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Request->Value, identity, sizeof(GUID));
    Request->ValueSize = sizeof(GUID);
    return STATUS_SUCCESS;
}
