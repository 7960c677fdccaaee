// The topology filter's own properties (the driver interface version, the jack descriptions of a
// pin in both versions, a pin's endpoint record) and the control-change event of its nodes.
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/front/TopologyHandlerSupport.h"

#include <win/ksmedia.h>

namespace {

constexpr ULONG JackBufferTag = 'pmeT';  // "Temp"

enum class JackVersion { One, Two };

// The pin of a pin request (the instance's first word); STATUS_INVALID_DEVICE_REQUEST when the
// instance is short or there is no such pin.
NTSTATUS FindRequestPin(const PCPROPERTY_REQUEST* Request, const TopologyEntry** Pin) {
    *Pin = nullptr;
    ULONG pin = 0;
    if (Request->MajorTarget == nullptr || !ReadInstanceWord(Request, 0, &pin)) return STATUS_INVALID_DEVICE_REQUEST;
    const TopologyMiniport* miniport = TopologyMiniport::FromTarget(Request->MajorTarget);
    if (pin >= miniport->PinCount()) return STATUS_INVALID_DEVICE_REQUEST;
    *Pin = miniport->PinEntry(pin);
    return STATUS_SUCCESS;
}

// Basic support of the pin properties: GET only, no value type, no members.
NTSTATUS PinBasicSupport(PPCPROPERTY_REQUEST Request) {
    const BasicSupportReply reply = {
        .AccessFlags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
        .ValueType = 0,
        .NoTypeSet = true,
        .MembersListCount = 0,
        .CountWithoutMembers = false,
        .ShortSizeZero = true,
    };
    PUCHAR members = nullptr;
    return AnswerBasicSupport(Request, reply, sizeof(KSPROPERTY_DESCRIPTION), &members);
}

// The pin's TerminalInfo for a GET; on failure ValueSize is 0.
NTSTATUS PinTerminal(PPCPROPERTY_REQUEST Request, const TopologyEntry* Pin, InterfaceRef<TerminalInfo>* Terminal) {
    if (VerbOf(Request) != PropertyVerb::Get || Pin == nullptr || Pin->Control == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = QueryControl(Pin->Control, IID_TerminalInfo, Terminal);
    if (!NT_SUCCESS(status)) Request->ValueSize = 0;
    return status;
}

NTSTATUS WriteJacks(PPCPROPERTY_REQUEST Request, TerminalInfo* Terminal, ULONG Count, ULONG Needed,
                    JackVersion Version) {
    const ULONGLONG recordBytes = static_cast<ULONGLONG>(Count) * sizeof(JackRecord);
    if (recordBytes > MAXULONG) return STATUS_INTEGER_OVERFLOW;
    auto* records = static_cast<JackRecord*>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(recordBytes), JackBufferTag));
    if (records == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(records, static_cast<SIZE_T>(recordBytes));
    NTSTATUS status = Terminal->GetJackDescriptions(static_cast<ULONG>(recordBytes), records, 0);
    if (NT_SUCCESS(status)) {
        PUCHAR cursor = static_cast<PUCHAR>(Request->Value);
        PutRecord(&cursor, KSMULTIPLE_ITEM{Needed, Count});
        for (ULONG index = 0; index < Count; ++index) {
            const JackRecord& record = records[index];
            if (Version == JackVersion::One) {
                KSJACK_DESCRIPTION jack = {};
                jack.ChannelMapping = record.ChannelMapping;
                jack.Color = record.Color;
                jack.ConnectionType = static_cast<EPcxConnectionType>(record.ConnectionType);
                jack.GeoLocation = static_cast<EPcxGeoLocation>(record.GeoLocation);
                jack.GenLocation = static_cast<EPcxGenLocation>(record.GenLocation);
                jack.PortConnection = static_cast<EPxcPortConnection>(record.PortConnection);
                jack.IsConnected = static_cast<BOOL>(record.IsConnected);
                PutRecord(&cursor, jack);
            } else {
                KSJACK_DESCRIPTION2 jack = {};
                jack.DeviceStateInfo = 0;
                jack.JackCapabilities =
                    (record.JackFlags & JackFlagNoPresenceDetection) == 0 ? JACKDESC2_PRESENCE_DETECT_CAPABILITY : 0;
                PutRecord(&cursor, jack);
            }
        }
        Request->ValueSize = Needed;
    }
    ExFreePoolWithTag(records, JackBufferTag);
    return status;
}

NTSTATUS JackDescriptions(PPCPROPERTY_REQUEST Request, JackVersion Version) {
    PAGED_CODE();
    const TopologyEntry* pin = nullptr;
    NTSTATUS status = FindRequestPin(Request, &pin);
    if (!NT_SUCCESS(status)) return status;
    if (VerbOf(Request) == PropertyVerb::BasicSupport) return PinBasicSupport(Request);
    InterfaceRef<TerminalInfo> terminal;
    status = PinTerminal(Request, pin, &terminal);
    if (!NT_SUCCESS(status)) return status;
    ULONG count = 0;
    status = terminal->GetJackCount(&count, 0);
    if (!NT_SUCCESS(status)) return status;
    if (count == 0) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG itemSize = Version == JackVersion::One ? sizeof(KSJACK_DESCRIPTION) : sizeof(KSJACK_DESCRIPTION2);
    const ULONGLONG needed = sizeof(KSMULTIPLE_ITEM) + static_cast<ULONGLONG>(count) * itemSize;
    status = CheckAnswerSize(Request, needed);
    if (status != STATUS_SUCCESS) return status;
    return WriteJacks(Request, terminal.Get(), count, static_cast<ULONG>(needed), Version);
}

}  // namespace

NTSTATUS VersionHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const PCPROPERTY_ITEM* item = Request->PropertyItem;
    if (!IsEqualGUID(*item->Set, PrivateDriverPropSet) || item->Id != PrivateDriverPropVersion) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) return STATUS_INVALID_PARAMETER;
    AnswerValueWord(Request, PrivateDriverInterfaceVersion);
    return STATUS_SUCCESS;
}

NTSTATUS JackDescriptionHandler(PPCPROPERTY_REQUEST Request) {
    const PCPROPERTY_ITEM* item = Request->PropertyItem;
    const bool jackSet = IsEqualGUID(*item->Set, KSPROPSETID_Jack) && item->Id == KSPROPERTY_JACK_DESCRIPTION;
    const bool privateSet = IsEqualGUID(*item->Set, PrivateDriverPropSet) && item->Id == PrivateDriverPropJackDescription;
    if (!jackSet && !privateSet) return STATUS_INVALID_DEVICE_REQUEST;
    return JackDescriptions(Request, JackVersion::One);
}

NTSTATUS JackDescription2Handler(PPCPROPERTY_REQUEST Request) {
    const PCPROPERTY_ITEM* item = Request->PropertyItem;
    if (!IsEqualGUID(*item->Set, KSPROPSETID_Jack) || item->Id != KSPROPERTY_JACK_DESCRIPTION2) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return JackDescriptions(Request, JackVersion::Two);
}

NTSTATUS EndpointRecordHandler(PPCPROPERTY_REQUEST Request) {
    PAGED_CODE();
    const TopologyEntry* pin = nullptr;
    NTSTATUS status = FindRequestPin(Request, &pin);
    if (!NT_SUCCESS(status)) return status;
    if (VerbOf(Request) == PropertyVerb::BasicSupport) return PinBasicSupport(Request);
    InterfaceRef<TerminalInfo> terminal;
    status = PinTerminal(Request, pin, &terminal);
    if (!NT_SUCCESS(status)) return status;
    status = CheckAnswerSize(Request, sizeof(EndpointInfo));
    if (status != STATUS_SUCCESS) return status;
    EndpointInfo record = {};
    status = terminal->GetPinRecord(&record);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(Request->Value, &record, sizeof(record));
    Request->ValueSize = sizeof(record);
    return STATUS_SUCCESS;
}

NTSTATUS OnControlChangeEvent(PPCEVENT_REQUEST Request) {
    if (Request == nullptr || Request->MajorTarget == nullptr) return STATUS_INVALID_PARAMETER;
    const TopologyMiniport* miniport = TopologyMiniport::FromTarget(Request->MajorTarget);
    if (Request->Node >= miniport->NodeCount()) return STATUS_INVALID_PARAMETER;
    switch (Request->Verb) {
    case PCEVENT_VERB_ADD:
        if (Request->EventEntry == nullptr || miniport->PortEvents() == nullptr) return STATUS_UNSUCCESSFUL;
        miniport->PortEvents()->AddEventToEventList(Request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
