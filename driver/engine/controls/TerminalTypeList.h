// The endpoint-type list a connector or terminal-type control copies from its terminal unit.
#pragma once

#include "driver/engine/interfaces/TerminalInfo.h"

#include <win/kernel.h>

// The unit's type count; a failed read, 0 or more than TerminalMaxTypes answers
// STATUS_INSUFFICIENT_RESOURCES (a list the controls cannot hold).
inline NTSTATUS ReadTerminalTypeCount(TerminalInfo* Unit, PULONG Count) {
    if (!NT_SUCCESS(Unit->GetTypeCount(Count)) || *Count == 0 || *Count > TerminalMaxTypes) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

inline bool IsTypeListed(const ULONG* Types, ULONG Count, ULONG Type) {
    for (ULONG i = 0; i < Count; ++i) {
        if (Types[i] == Type) return true;
    }
    return false;
}

// TerminalInfo::GetTypeList and its like: copies Count entries of List to the caller's Types.
inline NTSTATUS CopyTypeList(PULONG Types, const ULONG* List, ULONG Count) {
    if (Types == nullptr) return STATUS_INVALID_PARAMETER;
    if (Count != 0) RtlCopyMemory(Types, List, Count * sizeof(ULONG));
    return STATUS_SUCCESS;
}
