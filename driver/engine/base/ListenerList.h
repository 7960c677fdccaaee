// The listener lists of the selector and terminal-type controls: a PointerList in non-paged pool
// holding one reference on every listener.
#pragma once

#include "driver/engine/base/PointerList.h"

#include <win/kernel.h>
#include <win/unknown.h>

// A new empty list with Tag; null without pool.
PointerList* NewListenerList(ULONG Tag);
// Appends Listener with a reference of the list's own. STATUS_INVALID_PARAMETER for a null
// Listener or List; STATUS_INSUFFICIENT_RESOURCES without pool (no reference kept).
NTSTATUS AddListenerWithReference(PointerList* List, IUnknown* Listener);
// Releases every listener and frees the list; List becomes null.
void FreeListenerList(PointerList*& List, ULONG Tag);
