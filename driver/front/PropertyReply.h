// How the topology filter's property handlers read a request and size their answers. Every size
// is checked here before a handler touches the buffers, and a value buffer is written only up to
// the ValueSize the caller gave.
#pragma once

#include <win/kernel.h>
#include <win/ks.h>
#include <win/portcls.h>

enum class PropertyVerb { Get, Set, BasicSupport, Other };

PropertyVerb VerbOf(const PCPROPERTY_REQUEST* Request);

// Word Index (4 bytes each) of the instance data: false when the instance is shorter.
bool ReadInstanceWord(const PCPROPERTY_REQUEST* Request, ULONG Index, PULONG Word);

// The first 32 bits of the value; the caller checked ValueSize >= 4.
ULONG ReadValueWord(const PCPROPERTY_REQUEST* Request);
// Writes one 32-bit value and sets ValueSize to 4; the caller checked ValueSize >= 4.
void AnswerValueWord(PPCPROPERTY_REQUEST Request, ULONG Word);

// A GET whose answer has Needed bytes: ValueSize 0 asks for the size (ValueSize := Needed,
// STATUS_BUFFER_OVERFLOW); a smaller buffer is STATUS_BUFFER_TOO_SMALL; an answer that cannot be
// counted in 32 bits is STATUS_INTEGER_OVERFLOW. STATUS_SUCCESS when Needed bytes fit.
NTSTATUS CheckAnswerSize(PPCPROPERTY_REQUEST Request, ULONGLONG Needed);

// A basic-support description: AccessFlags, the value's type and how many members lists follow.
struct BasicSupportReply {
    ULONG AccessFlags;
    ULONG ValueType;             // VT_* in the General type set; ignored when NoTypeSet
    bool NoTypeSet;              // PropTypeSet all zero
    ULONG MembersListCount;
    bool CountWithoutMembers;    // MembersListCount also when only the description fits
    bool ShortSizeZero;          // below 4 bytes, ValueSize 0 instead of the full size
};

// Answers BASICSUPPORT for a description of FullSize bytes (the KSPROPERTY_DESCRIPTION and the
// members after it): below 4 bytes STATUS_BUFFER_TOO_SMALL; from 4 to 39 only AccessFlags
// (ValueSize 4); from 40 the description (ValueSize 40), and when FullSize fits the caller writes
// the members at *Members (ValueSize FullSize). *Members is null unless the members fit.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupportReply& Reply, ULONGLONG FullSize,
                            PUCHAR* Members);

// Appends one record at *Cursor and advances it.
template <class Record>
void PutRecord(PUCHAR* Cursor, const Record& Value) {
    RtlCopyMemory(*Cursor, &Value, sizeof(Record));
    *Cursor += sizeof(Record);
}
