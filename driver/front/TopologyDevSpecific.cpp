// KSPROPERTY_AUDIO_DEV_SPECIFIC and the driver's private node sets, by the node's kind: device
// levels, device and stored switches, terminal types (with TerminalTypePropSet), vendor controls
// (with VendorParameterPropSet), and a selector of one input, which takes any value and keeps
// nothing.
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/engine/controls/VendorControl.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/front/TopologyHandlerSupport.h"

#include <win/ksmedia.h>

namespace {

constexpr ULONG AccessGetSetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG AccessSetBasic = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// A KSPROPERTY_MEMBER_VALUES entry that names a GUID: its size, the GUID, then a tail of TailSize
// bytes (the device level's range; nothing for the set-only properties).
struct GuidMemberHead {
    ULONG Size;
    GUID Guid;
    ULONG TailSize;
};
static_assert(sizeof(GuidMemberHead) == 24 && offsetof(GuidMemberHead, TailSize) == 20);

struct LevelRangeMember {
    GuidMemberHead Head;
    LONG Maximum;
    LONG Minimum;
    LONG Resolution;
};
static_assert(sizeof(LevelRangeMember) == 36 && offsetof(LevelRangeMember, Maximum) == 24);

BasicSupportReply Description(ULONG AccessFlags, ULONG ValueType, ULONG MembersListCount) {
    return BasicSupportReply{
        .AccessFlags = AccessFlags,
        .ValueType = ValueType,
        .NoTypeSet = false,
        .MembersListCount = MembersListCount,
        .CountWithoutMembers = false,
        .ShortSizeZero = false,
    };
}

constexpr KSPROPERTY_MEMBERSHEADER OneMember(ULONG Flags, ULONG Size) {
    return KSPROPERTY_MEMBERSHEADER{.MembersFlags = Flags, .MembersSize = Size, .MembersCount = 1, .Flags = 0};
}

// Basic support of a set-only device-specific property whose values are described by a GUID.
NTSTATUS GuidDescription(PPCPROPERTY_REQUEST Request, ULONG ValueType, const GUID& Guid) {
    if (VerbOf(Request) != PropertyVerb::BasicSupport) return STATUS_UNSUCCESSFUL;
    PUCHAR members = nullptr;
    const ULONGLONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(GuidMemberHead);
    NTSTATUS status = AnswerBasicSupport(Request, Description(AccessSetBasic, ValueType, 1), full, &members);
    if (!NT_SUCCESS(status) || members == nullptr) return status;
    PutRecord(&members, OneMember(KSPROPERTY_MEMBER_VALUES, sizeof(GuidMemberHead)));
    PutRecord(&members, GuidMemberHead{.Size = sizeof(GuidMemberHead), .Guid = Guid, .TailSize = 0});
    return STATUS_SUCCESS;
}

NTSTATUS LevelDevSpecific(PPCPROPERTY_REQUEST Request, const TopologyEntry* Node) {
    InterfaceRef<LevelControl> control;
    NTSTATUS status = QueryControl(Node->Control, IID_LevelControl, &control);
    if (!NT_SUCCESS(status)) return status;
    ULONG channels = 0;
    status = control->GetChannelCount(&channels);
    if (!NT_SUCCESS(status)) return status;
    const PropertyVerb verb = VerbOf(Request);
    if (verb == PropertyVerb::BasicSupport) {
        LONG maximum = 0, minimum = 0, resolution = 0;
        status = control->GetRange(&maximum, &minimum, &resolution);
        if (!NT_SUCCESS(status)) return status;
        PUCHAR members = nullptr;
        const ULONGLONG full =
            sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LevelRangeMember);
        status = AnswerBasicSupport(Request, Description(AccessGetSetBasic, VT_I4, 1), full, &members);
        if (!NT_SUCCESS(status) || members == nullptr) return status;
        PutRecord(&members, OneMember(KSPROPERTY_MEMBER_VALUES, sizeof(LevelRangeMember)));
        PutRecord(&members, LevelRangeMember{
                                .Head = {.Size = sizeof(LevelRangeMember),
                                         .Guid = NodeIdentityDeviceLevel,
                                         .TailSize = sizeof(LevelRangeMember) - sizeof(GuidMemberHead)},
                                .Maximum = maximum,
                                .Minimum = minimum,
                                .Resolution = resolution,
                            });
        return STATUS_SUCCESS;
    }
    if (verb != PropertyVerb::Get && verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    // A device level also takes every channel at once.
    ULONG channel = 0;
    status = ChannelValueRequest(Request, channels, &channel, LevelAllChannels);
    if (!NT_SUCCESS(status)) return status;
    return LevelValue(Request, control.Get(), verb, channel);
}

NTSTATUS SwitchDevSpecific(PPCPROPERTY_REQUEST Request, const TopologyEntry* Node) {
    InterfaceRef<OnOffControl> control;
    NTSTATUS status = QueryControl(Node->Control, IID_OnOffControl, &control);
    if (!NT_SUCCESS(status)) return status;
    const PropertyVerb verb = VerbOf(Request);
    if (verb == PropertyVerb::BasicSupport) {
        PUCHAR members = nullptr;
        return AnswerBasicSupport(Request, Description(AccessGetSetBasic, VT_BOOL, 0), sizeof(KSPROPERTY_DESCRIPTION),
                                  &members);
    }
    if (verb != PropertyVerb::Get && verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
    if (verb == PropertyVerb::Get) {
        AnswerValueWord(Request, 0);
        UCHAR value = 0;
        status = control->GetValue(0, &value);
        if (NT_SUCCESS(status)) AnswerValueWord(Request, value);
        return status;
    }
    status = control->SetValue(0, ReadValueWord(Request) != 0 ? 1 : 0);
    if (NT_SUCCESS(status)) Request->ValueSize = sizeof(ULONG);
    return status;
}

NTSTATUS TerminalTypeList(PPCPROPERTY_REQUEST Request, TerminalTypeControl* Control) {
    ULONG count = 0;
    NTSTATUS status = Control->GetTypeCount(&count);
    if (!NT_SUCCESS(status)) return status;
    const ULONGLONG needed = 2 * sizeof(ULONG) + static_cast<ULONGLONG>(count) * sizeof(ULONG);
    status = CheckAnswerSize(Request, needed);
    if (status != STATUS_SUCCESS) return status;
    PULONG types = nullptr;
    if (count != 0) {
        types = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), TopologyTag));
        if (types == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = Control->GetTypeList(types);
    }
    if (NT_SUCCESS(status)) {
        PUCHAR cursor = static_cast<PUCHAR>(Request->Value);
        PutRecord(&cursor, static_cast<ULONG>(needed));
        PutRecord(&cursor, count);
        if (count != 0) RtlCopyMemory(cursor, types, count * sizeof(ULONG));
        Request->ValueSize = static_cast<ULONG>(needed);
    }
    if (types != nullptr) ExFreePoolWithTag(types, TopologyTag);
    return status;
}

NTSTATUS TerminalTypeDevSpecific(PPCPROPERTY_REQUEST Request, const TopologyEntry* Node) {
    const PCPROPERTY_ITEM* item = Request->PropertyItem;
    const bool audio = IsEqualGUID(*item->Set, KSPROPSETID_Audio);
    if (!audio && !IsEqualGUID(*item->Set, TerminalTypePropSet)) return STATUS_INVALID_PARAMETER;
    InterfaceRef<TerminalTypeControl> control;
    NTSTATUS status = QueryControl(Node->Control, IID_TerminalTypeControl, &control);
    if (!NT_SUCCESS(status)) return status;
    const PropertyVerb verb = VerbOf(Request);
    if (audio) {
        if (item->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC) return STATUS_INVALID_PARAMETER;
        if (verb == PropertyVerb::BasicSupport) return GuidDescription(Request, VT_I4, NodeIdentityTerminalType);
        if (verb != PropertyVerb::Set || Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        status = control->SelectType(ReadValueWord(Request));
        if (NT_SUCCESS(status)) Request->ValueSize = sizeof(ULONG);
        return status;
    }
    if (verb != PropertyVerb::Get) return STATUS_INVALID_PARAMETER;
    if (item->Id == TerminalTypePropList) return TerminalTypeList(Request, control.Get());
    if (item->Id != TerminalTypePropCurrent) return STATUS_INVALID_PARAMETER;
    ULONG type = 0;
    status = control->GetType(&type);
    if (NT_SUCCESS(status)) status = CheckAnswerSize(Request, sizeof(ULONG));
    if (status == STATUS_SUCCESS) AnswerValueWord(Request, type);
    return status;
}

// First and Count name parameters below Total; counted in 64 bits so that no sum wraps.
bool ParameterRangeFits(ULONG First, ULONG Count, ULONG Total) {
    return static_cast<ULONGLONG>(First) + Count <= Total;
}

NTSTATUS VendorParameterGet(PPCPROPERTY_REQUEST Request, VendorControl* Control, ULONG Total) {
    switch (Request->PropertyItem->Id) {
    case VendorParameterPropName: {
        if (Request->ValueSize < sizeof(GUID) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
        GUID name = {};
        NTSTATUS status = Control->GetNameGuid(&name);
        if (!NT_SUCCESS(status)) return status;
        RtlCopyMemory(Request->Value, &name, sizeof(name));
        Request->ValueSize = sizeof(GUID);
        return STATUS_SUCCESS;
    }
    case VendorParameterPropCount:
        if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
        AnswerValueWord(Request, Total);
        return STATUS_SUCCESS;
    case VendorParameterPropInfo: {
        ULONG index = 0;
        if (!ReadInstanceWord(Request, 0, &index)) {
            Request->ValueSize = 0;
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (index >= Total) return STATUS_INVALID_PARAMETER;
        if (Request->ValueSize < VendorParameterInfoWords * sizeof(ULONG) || Request->Value == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG info[VendorParameterInfoWords] = {};
        NTSTATUS status = Control->GetParameterInfo(index, info);
        if (!NT_SUCCESS(status)) return status;
        RtlCopyMemory(Request->Value, info, sizeof(info));
        Request->ValueSize = sizeof(info);
        return STATUS_SUCCESS;
    }
    case VendorParameterPropValues: {
        ULONG first = 0, count = 0;
        if (!ReadInstanceWord(Request, 0, &first) || !ReadInstanceWord(Request, 1, &count)) {
            Request->ValueSize = 0;
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!ParameterRangeFits(first, count, Total)) return STATUS_INVALID_PARAMETER;
        const ULONGLONG needed = 2 * sizeof(ULONG) + static_cast<ULONGLONG>(count) * sizeof(LONG);
        if (Request->ValueSize < needed || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
        PUCHAR cursor = static_cast<PUCHAR>(Request->Value);
        PutRecord(&cursor, static_cast<ULONG>(needed));
        PutRecord(&cursor, count);
        NTSTATUS status = Control->GetParameters(first, count, reinterpret_cast<PLONG>(cursor));
        if (NT_SUCCESS(status)) Request->ValueSize = static_cast<ULONG>(needed);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// The values come in the instance: {first index, count, count values}.
NTSTATUS VendorParameterSet(PPCPROPERTY_REQUEST Request, VendorControl* Control, ULONG Total) {
    if (Request->PropertyItem->Id != VendorParameterPropValues) return STATUS_INVALID_PARAMETER;
    ULONG first = 0, count = 0;
    if (Request->InstanceSize < 3 * sizeof(ULONG) || !ReadInstanceWord(Request, 0, &first) ||
        !ReadInstanceWord(Request, 1, &count)) {
        Request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if ((Request->InstanceSize - 2 * sizeof(ULONG)) / sizeof(LONG) != count) return STATUS_INVALID_PARAMETER;
    if (!ParameterRangeFits(first, count, Total)) return STATUS_INVALID_PARAMETER;
    const auto* values = reinterpret_cast<const LONG*>(static_cast<const UCHAR*>(Request->Instance) + 2 * sizeof(ULONG));
    return Control->SetParameters(first, count, values);
}

NTSTATUS VendorDevSpecific(PPCPROPERTY_REQUEST Request, const TopologyEntry* Node) {
    const PCPROPERTY_ITEM* item = Request->PropertyItem;
    const bool audio = IsEqualGUID(*item->Set, KSPROPSETID_Audio);
    if (!audio && !IsEqualGUID(*item->Set, VendorParameterPropSet)) return STATUS_UNSUCCESSFUL;
    InterfaceRef<VendorControl> control;
    NTSTATUS status = QueryControl(Node->Control, IID_VendorControl, &control);
    ULONG total = 0;
    if (NT_SUCCESS(status)) status = control->GetParameterCount(&total);
    if (!NT_SUCCESS(status)) return status;
    const PropertyVerb verb = VerbOf(Request);
    if (!audio) {
        if (verb == PropertyVerb::Get) return VendorParameterGet(Request, control.Get(), total);
        if (verb == PropertyVerb::Set) return VendorParameterSet(Request, control.Get(), total);
        return STATUS_INVALID_PARAMETER;
    }
    if (item->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC) return STATUS_INVALID_PARAMETER;
    if (verb == PropertyVerb::BasicSupport) return GuidDescription(Request, VT_BOOL, VendorParameterPropSet);
    if (verb != PropertyVerb::Get && verb != PropertyVerb::Set) return STATUS_INVALID_PARAMETER;
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
    if (verb == PropertyVerb::Set) {
        status = control->SetEnable(static_cast<UCHAR>(ReadValueWord(Request)));
    } else {
        // One byte answers; the whole 32-bit value is zeroed first.
        AnswerValueWord(Request, 0);
        UCHAR enable = 0;
        status = control->GetEnable(&enable);
        if (NT_SUCCESS(status)) AnswerValueWord(Request, enable);
    }
    if (NT_SUCCESS(status)) Request->ValueSize = sizeof(ULONG);
    return status;
}

NTSTATUS DefaultDevSpecific(PPCPROPERTY_REQUEST Request) {
    switch (VerbOf(Request)) {
    case PropertyVerb::Set:
        if (Request->ValueSize < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
        Request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    case PropertyVerb::BasicSupport: {
        PUCHAR members = nullptr;
        const ULONGLONG full =
            sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(KSPROPERTY_BOUNDS_LONG);
        NTSTATUS status = AnswerBasicSupport(Request, Description(AccessSetBasic, VT_UI4, 1), full, &members);
        if (!NT_SUCCESS(status) || members == nullptr) return status;
        PutRecord(&members, OneMember(KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG)));
        KSPROPERTY_BOUNDS_LONG bounds = {};
        bounds.UnsignedMinimum = 0;
        bounds.UnsignedMaximum = MAXULONG;
        PutRecord(&members, bounds);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace

NTSTATUS DevSpecificHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* node = nullptr;
    NTSTATUS status = FindRequestNode(Request, &node);
    if (!NT_SUCCESS(status)) return status;
    switch (static_cast<NodeKind>(node->Kind)) {
    case NodeKind::DeviceLevel: return LevelDevSpecific(Request, node);
    case NodeKind::TerminalType: return TerminalTypeDevSpecific(Request, node);
    case NodeKind::DeviceSwitch:
    case NodeKind::StoredSwitch: return SwitchDevSpecific(Request, node);
    case NodeKind::Vendor: return VendorDevSpecific(Request, node);
    default: return DefaultDevSpecific(Request);
    }
}
