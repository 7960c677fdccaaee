#include "driver/engine/base/ListenerList.h"

#include <new>

PointerList* NewListenerList(ULONG Tag) {
    PVOID memory = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(PointerList), Tag);
    if (memory == nullptr) return nullptr;
    return new (memory) PointerList();
}

NTSTATUS AddListenerWithReference(PointerList* List, IUnknown* Listener) {
    if (List == nullptr || Listener == nullptr) return STATUS_INVALID_PARAMETER;
    Listener->AddRef();
    if (List->AddTail(Listener) == nullptr) {
        Listener->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void FreeListenerList(PointerList*& List, ULONG Tag) {
    if (List == nullptr) return;
    PVOID data = nullptr;
    while (List->RemoveHead(&data)) static_cast<IUnknown*>(data)->Release();
    List->~PointerList();
    ExFreePoolWithTag(List, Tag);
    List = nullptr;
}
