// PointerList: links stay consistent through every operation, nodes are pool blocks freed when
// unlinked, and an exhausted pool leaves the list as it was.
#include "driver/engine/base/PointerList.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <optional>
#include <vector>

namespace {

PVOID P(uintptr_t value) { return reinterpret_cast<PVOID>(value); }
using Items = std::vector<uintptr_t>;

// The data from head to tail, read with GetNext; checks every back link, the tail and the count.
Items Contents(const PointerList& list) {
    Items items;
    PointerListNode* position = list.GetHeadPosition();
    PVOID data;
    while (list.GetNext(&position, &data)) items.push_back(reinterpret_cast<uintptr_t>(data));

    PointerListNode* previous = nullptr;
    for (PointerListNode* node = list.GetHeadPosition(); node != nullptr; node = node->Next) {
        EXPECT_EQ(node->Previous, previous);
        previous = node;
    }
    PVOID tail = P(0xBAD);
    EXPECT_EQ(list.GetTailData(&tail) != FALSE, !items.empty());
    EXPECT_EQ(tail, previous != nullptr ? previous->Data : nullptr);
    EXPECT_EQ(list.GetCount(), items.size());
    EXPECT_EQ(list.IsEmpty() != FALSE, items.empty());
    return items;
}

uint64_t NodesInPool() { return sim::pool::TagUsage(PointerListTag).blocks; }

class PointerListTest : public testing::Test {
protected:
    // The list [1, 2, 3].
    void SetUp() override {
        m_Nodes.push_back(m_List.AddTail(P(2)));
        m_Nodes.insert(m_Nodes.begin(), m_List.AddHead(P(1)));
        m_Nodes.push_back(m_List.AddTail(P(3)));
        ASSERT_EQ(Contents(m_List), (Items{1, 2, 3}));
    }

    PointerList m_List;
    std::vector<PointerListNode*> m_Nodes;
};

TEST_F(PointerListTest, NodesAreZeroedNonPagedBlocksTaggedLis) {
    sim::pool::BlockInfo info;
    ASSERT_TRUE(sim::pool::QueryBlock(m_Nodes[0], &info));
    EXPECT_EQ(info.tag, 0x0073694Cu);
    EXPECT_EQ(info.type & 1, 0);  // non-paged
    EXPECT_EQ(info.bytes, sizeof(PointerListNode));
    EXPECT_EQ(NodesInPool(), 3u);
}

TEST_F(PointerListTest, InsertBeforeLinksBetweenTheNodeAndItsPredecessor) {
    struct Case {
        std::optional<size_t> before;  // index of the node, or none for a null node
        Items expected;
    };
    for (const Case& c : {Case{std::nullopt, {9, 1, 2, 3}}, Case{0, {9, 1, 2, 3}}, Case{1, {1, 9, 2, 3}},
                          Case{2, {1, 2, 9, 3}}}) {
        SCOPED_TRACE(c.before ? static_cast<int>(*c.before) : -1);
        PointerListNode* node = m_List.InsertBefore(c.before ? m_Nodes[*c.before] : nullptr, P(9));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(Contents(m_List), c.expected);
        if (c.expected[0] == 9) {
            EXPECT_EQ(m_List.GetHeadPosition(), node);
        }
        EXPECT_TRUE(m_List.RemoveNode(node));
        EXPECT_EQ(Contents(m_List), (Items{1, 2, 3}));
    }
}

TEST_F(PointerListTest, RemoveNodeUnlinksAndFreesHeadMiddleOrTail) {
    const Items expected[] = {{2, 3}, {1, 3}, {1, 2}};
    for (size_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        PointerList list;
        PointerListNode* nodes[3] = {list.AddTail(P(1)), list.AddTail(P(2)), list.AddTail(P(3))};
        EXPECT_TRUE(list.RemoveNode(nodes[index]));
        EXPECT_EQ(Contents(list), expected[index]);
        EXPECT_EQ(NodesInPool(), 5u);  // the fixture's three and these two
    }
}

TEST(PointerList, RemovingTheOnlyNodeEmptiesTheList) {
    PointerList list;
    EXPECT_TRUE(list.RemoveNode(list.AddTail(P(7))));
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(Contents(list), Items{});
    PVOID data = P(0xBAD);
    EXPECT_FALSE(list.GetHeadData(&data));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(NodesInPool(), 0u);
    // The list still works after being emptied.
    list.AddTail(P(8));
    EXPECT_EQ(Contents(list), Items{8});
}

TEST_F(PointerListTest, NullArgumentsAnswerFalseAndChangeNothing) {
    PVOID data = P(0xBAD);
    PointerListNode* position = nullptr;
    EXPECT_FALSE(m_List.RemoveNode(nullptr));
    EXPECT_FALSE(m_List.GetAt(0, nullptr));
    EXPECT_FALSE(m_List.RemoveHead(nullptr));
    EXPECT_FALSE(m_List.GetHeadData(nullptr));
    EXPECT_FALSE(m_List.GetTailData(nullptr));
    EXPECT_FALSE(m_List.GetNext(&position, &data));
    EXPECT_FALSE(m_List.GetNext(nullptr, &data));
    position = m_List.GetHeadPosition();
    EXPECT_FALSE(m_List.GetNext(&position, nullptr));
    EXPECT_EQ(data, P(0xBAD));
    EXPECT_EQ(Contents(m_List), (Items{1, 2, 3}));
}

TEST_F(PointerListTest, GetAtAnswersOnlyIndexesBelowTheCount) {
    struct Case {
        ULONG index;
        bool found;
        uintptr_t data;
    };
    for (const Case& c : {Case{0, true, 1}, Case{2, true, 3}, Case{3, false, 0xBAD}, Case{MAXULONG, false, 0xBAD}}) {
        SCOPED_TRACE(c.index);
        PVOID data = P(0xBAD);
        EXPECT_EQ(m_List.GetAt(c.index, &data) != FALSE, c.found);
        EXPECT_EQ(data, P(c.data));
    }
    PointerList empty;
    PVOID data = P(0xBAD);
    EXPECT_FALSE(empty.GetAt(0, &data));
    EXPECT_EQ(data, P(0xBAD));
}

TEST_F(PointerListTest, RemoveHeadHandsOutDataInOrderAndFreesNodes) {
    PVOID data;
    for (uintptr_t expected : {1, 2, 3}) {
        ASSERT_TRUE(m_List.RemoveHead(&data));
        EXPECT_EQ(data, P(expected));
    }
    EXPECT_FALSE(m_List.RemoveHead(&data));
    EXPECT_EQ(Contents(m_List), Items{});
    EXPECT_EQ(NodesInPool(), 0u);
}

TEST_F(PointerListTest, ExhaustedPoolLeavesTheListUnchanged) {
    sim::pool::FailAllocationsWithTag(PointerListTag);
    EXPECT_EQ(m_List.AddTail(P(9)), nullptr);
    EXPECT_EQ(m_List.AddHead(P(9)), nullptr);
    EXPECT_EQ(m_List.InsertBefore(m_Nodes[1], P(9)), nullptr);
    EXPECT_EQ(m_List.InsertBefore(nullptr, P(9)), nullptr);
    sim::pool::DisarmFaults();
    EXPECT_EQ(Contents(m_List), (Items{1, 2, 3}));
    EXPECT_EQ(NodesInPool(), 3u);
}

TEST(PointerList, DestructionFreesTheNodesLeft) {
    {
        PointerList list;
        list.AddTail(P(1));
        list.AddTail(P(2));
        EXPECT_EQ(NodesInPool(), 2u);
    }
    EXPECT_EQ(NodesInPool(), 0u);
}

}  // namespace
