#include "driver/front/PropertyReply.h"

PropertyVerb VerbOf(const PCPROPERTY_REQUEST* Request) {
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) return PropertyVerb::BasicSupport;
    if ((Request->Verb & KSPROPERTY_TYPE_GET) != 0) return PropertyVerb::Get;
    if ((Request->Verb & KSPROPERTY_TYPE_SET) != 0) return PropertyVerb::Set;
    return PropertyVerb::Other;
}

bool ReadInstanceWord(const PCPROPERTY_REQUEST* Request, ULONG Index, PULONG Word) {
    const ULONGLONG end = (static_cast<ULONGLONG>(Index) + 1) * sizeof(ULONG);
    if (Request->Instance == nullptr || Request->InstanceSize < end) return false;
    RtlCopyMemory(Word, static_cast<const UCHAR*>(Request->Instance) + Index * sizeof(ULONG), sizeof(ULONG));
    return true;
}

ULONG ReadValueWord(const PCPROPERTY_REQUEST* Request) {
    ULONG word = 0;
    RtlCopyMemory(&word, Request->Value, sizeof(word));
    return word;
}

void AnswerValueWord(PPCPROPERTY_REQUEST Request, ULONG Word) {
    RtlCopyMemory(Request->Value, &Word, sizeof(Word));
    Request->ValueSize = sizeof(Word);
}

NTSTATUS CheckAnswerSize(PPCPROPERTY_REQUEST Request, ULONGLONG Needed) {
    if (Needed > MAXULONG) return STATUS_INTEGER_OVERFLOW;
    if (Request->ValueSize == 0) {
        Request->ValueSize = static_cast<ULONG>(Needed);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Request->ValueSize < Needed || Request->Value == nullptr) return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupportReply& Reply, ULONGLONG FullSize,
                            PUCHAR* Members) {
    *Members = nullptr;
    if (FullSize > MAXULONG || FullSize < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_INTEGER_OVERFLOW;
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) {
        Request->ValueSize = Reply.ShortSizeZero ? 0 : static_cast<ULONG>(FullSize);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        AnswerValueWord(Request, Reply.AccessFlags);
        return STATUS_SUCCESS;
    }
    const bool whole = Request->ValueSize >= FullSize;
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = Reply.AccessFlags;
    description.DescriptionSize = static_cast<ULONG>(FullSize);
    if (!Reply.NoTypeSet) {
        description.PropTypeSet.Set = KSPROPTYPESETID_General;
        description.PropTypeSet.Id = Reply.ValueType;
    }
    description.MembersListCount = whole || Reply.CountWithoutMembers ? Reply.MembersListCount : 0;
    RtlCopyMemory(Request->Value, &description, sizeof(description));
    if (whole) {
        *Members = static_cast<PUCHAR>(Request->Value) + sizeof(description);
        Request->ValueSize = static_cast<ULONG>(FullSize);
    } else {
        Request->ValueSize = sizeof(description);
    }
    return STATUS_SUCCESS;
}
