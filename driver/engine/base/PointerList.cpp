#include "driver/engine/base/PointerList.h"

PointerList::~PointerList() {
    PVOID data;
    while (RemoveHead(&data)) {
    }
}

void PointerList::Init() {
    m_Head = nullptr;
    m_Tail = nullptr;
    WriteNoFence(&m_Count, 0u);
}

PointerListNode* PointerList::NewNode(PVOID Data) {
    auto* node = static_cast<PointerListNode*>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(PointerListNode),
                                                                     PointerListTag));
    if (node == nullptr) return nullptr;
    RtlZeroMemory(node, sizeof(*node));
    node->Data = Data;
    return node;
}

PointerListNode* PointerList::AddTail(PVOID Data) {
    PointerListNode* node = NewNode(Data);
    if (node == nullptr) return nullptr;
    node->Previous = m_Tail;
    if (m_Tail != nullptr) {
        m_Tail->Next = node;
    } else {
        m_Head = node;
    }
    m_Tail = node;
    InterlockedIncrement(&m_Count);
    return node;
}

PointerListNode* PointerList::AddHead(PVOID Data) {
    PointerListNode* node = NewNode(Data);
    if (node == nullptr) return nullptr;
    node->Next = m_Head;
    if (m_Head != nullptr) {
        m_Head->Previous = node;
    } else {
        m_Tail = node;
    }
    m_Head = node;
    InterlockedIncrement(&m_Count);
    return node;
}

PointerListNode* PointerList::InsertBefore(PointerListNode* Node, PVOID Data) {
    if (Node == nullptr || Node->Previous == nullptr) return AddHead(Data);
    PointerListNode* node = NewNode(Data);
    if (node == nullptr) return nullptr;
    node->Previous = Node->Previous;
    node->Next = Node;
    Node->Previous->Next = node;
    Node->Previous = node;
    InterlockedIncrement(&m_Count);
    return node;
}

BOOLEAN PointerList::GetAt(ULONG Index, PVOID* Data) const {
    if (Data == nullptr || Index >= GetCount()) return FALSE;
    PointerListNode* node = m_Head;
    for (ULONG i = 0; i < Index && node != nullptr; ++i) node = node->Next;
    if (node == nullptr) return FALSE;
    *Data = node->Data;
    return TRUE;
}

void PointerList::Unlink(PointerListNode* Node) {
    if (Node->Previous != nullptr) {
        Node->Previous->Next = Node->Next;
    } else {
        m_Head = Node->Next;
    }
    if (Node->Next != nullptr) {
        Node->Next->Previous = Node->Previous;
    } else {
        m_Tail = Node->Previous;
    }
    InterlockedDecrement(&m_Count);
    ExFreePoolWithTag(Node, PointerListTag);
}

BOOLEAN PointerList::RemoveNode(PointerListNode* Node) {
    if (Node == nullptr) return FALSE;
    Unlink(Node);
    return TRUE;
}

BOOLEAN PointerList::RemoveHead(PVOID* Data) {
    if (Data == nullptr || m_Head == nullptr) return FALSE;
    *Data = m_Head->Data;
    Unlink(m_Head);
    return TRUE;
}

BOOLEAN PointerList::GetHeadData(PVOID* Data) const {
    if (Data == nullptr) return FALSE;
    *Data = m_Head != nullptr ? m_Head->Data : nullptr;
    return m_Head != nullptr;
}

BOOLEAN PointerList::GetTailData(PVOID* Data) const {
    if (Data == nullptr) return FALSE;
    *Data = m_Tail != nullptr ? m_Tail->Data : nullptr;
    return m_Tail != nullptr;
}

BOOLEAN PointerList::GetNext(PointerListNode** Position, PVOID* Data) const {
    if (Position == nullptr || *Position == nullptr || Data == nullptr) return FALSE;
    *Data = (*Position)->Data;
    *Position = (*Position)->Next;
    return TRUE;
}
