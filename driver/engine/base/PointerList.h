// A doubly linked list of untyped pointers. Nodes come from non-paged pool and are freed when
// unlinked; the list never owns the data (it takes no references). It has no lock: its owner
// serialises changes, while GetCount and IsEmpty may be read without the owner's lock.
#pragma once

#include <win/kernel.h>

// "Lis" and a zero byte.
constexpr ULONG PointerListTag = 0x0073694C;

struct PointerListNode {
    PointerListNode* Next;
    PointerListNode* Previous;
    PVOID Data;
};

class PointerList {
public:
    PointerList() { Init(); }
    // Frees the nodes still linked (not the data they point to).
    ~PointerList();

    PointerList(const PointerList&) = delete;
    PointerList& operator=(const PointerList&) = delete;

    // Empties the list without freeing nodes: for a list in memory that was never constructed.
    void Init();

    // Each answers the new node, or null with the list unchanged when the pool is exhausted.
    PointerListNode* AddTail(PVOID Data);
    PointerListNode* AddHead(PVOID Data);
    // Links before Node; a null Node, or one without predecessor, makes the new node the head.
    PointerListNode* InsertBefore(PointerListNode* Node, PVOID Data);

    // The data of the node at Index counted from the head; FALSE (Data untouched) when Index is
    // not below the count or Data is null.
    BOOLEAN GetAt(ULONG Index, PVOID* Data) const;
    // Unlinks and frees Node; FALSE for a null node.
    BOOLEAN RemoveNode(PointerListNode* Node);
    // Hands out the head's data, then unlinks and frees the head; FALSE for a null Data or an
    // empty list.
    BOOLEAN RemoveHead(PVOID* Data);

    ULONG GetCount() const { return ReadNoFence(&m_Count); }
    BOOLEAN IsEmpty() const { return GetCount() == 0; }

    // FALSE for a null Data; on an empty list Data is set to null and the answer is FALSE.
    BOOLEAN GetHeadData(PVOID* Data) const;
    BOOLEAN GetTailData(PVOID* Data) const;

    // Iteration: Position starts at GetHeadPosition(); GetNext hands out the data at Position
    // and advances it, and answers FALSE once Position is null.
    PointerListNode* GetHeadPosition() const { return m_Head; }
    BOOLEAN GetNext(PointerListNode** Position, PVOID* Data) const;

private:
    PointerListNode* NewNode(PVOID Data);
    void Unlink(PointerListNode* Node);

    PointerListNode* m_Head;
    PointerListNode* m_Tail;
    ULONG volatile m_Count;  // changed only by interlocked operations
};
