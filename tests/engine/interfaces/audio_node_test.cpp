// AudioNode: source lists copied in and out within their bounds, a failed replacement that keeps
// the old list, interface answers, and the node-kind vocabulary.
#include "driver/engine/interfaces/AudioNode.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <vector>

namespace {

constexpr ULONG kNodeTag = 'tseT';
DEFINE_GUID(IID_Other, 0x01234567, 0x89AB, 0xCDEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF);

class AudioNodeTest : public testing::Test {
protected:
    void SetUp() override {
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(NewKernelObject<AudioNode>(&unknown, nullptr, NonPagedPoolNx, kNodeTag, 42u,
                                             NodeKindCode(NodeKind::Volume)),
                  STATUS_SUCCESS);
        ASSERT_EQ(unknown->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&m_Node)), STATUS_SUCCESS);
        unknown->Release();
    }
    void TearDown() override {
        if (m_Node != nullptr) {
            EXPECT_EQ(m_Node->Release(), 0u);
        }
    }

    std::vector<ULONG> Sources() {
        std::vector<ULONG> ids(16, 0xEEEEEEEE);
        ULONG count = static_cast<ULONG>(ids.size());
        EXPECT_EQ(m_Node->GetSources(&count, ids.data()), STATUS_SUCCESS);
        EXPECT_EQ(count, m_Node->GetSourceCount());
        ids.resize(count);
        return ids;
    }

    AudioNode* m_Node = nullptr;
};

TEST_F(AudioNodeTest, GetSourcesLowersTheCountToWhatIsHeldAndCopiesNoMore) {
    const ULONG held[] = {7, 9};
    ASSERT_EQ(m_Node->SetSources(2, held), STATUS_SUCCESS);
    struct Case {
        ULONG requested;
        ULONG answered;
    };
    for (const Case c : {Case{5, 2}, Case{2, 2}, Case{1, 1}, Case{0, 0}}) {
        SCOPED_TRACE(c.requested);
        ULONG ids[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        ULONG count = c.requested;
        EXPECT_EQ(m_Node->GetSources(&count, ids), STATUS_SUCCESS);
        EXPECT_EQ(count, c.answered);
        for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(ids[i], i < c.answered ? held[i] : 0xEEu) << i;
    }
    ULONG count = 2;
    ULONG ids[2];
    EXPECT_EQ(m_Node->GetSources(nullptr, ids), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Node->GetSources(&count, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(AudioNodeTest, SetSourcesReplacesClearsOrRefusesAndKeepsOneTaggedPagedBlock) {
    const ULONG first[] = {1, 2, 3};
    const ULONG second[] = {8};
    struct Case {
        const char* what;
        ULONG count;
        const ULONG* ids;
        NTSTATUS status;
        std::vector<ULONG> after;
    };
    const Case cases[] = {
        {"three", 3, first, STATUS_SUCCESS, {1, 2, 3}},
        {"null ids with a count", 2, nullptr, STATUS_INVALID_PARAMETER, {1, 2, 3}},
        {"replaced", 1, second, STATUS_SUCCESS, {8}},
        {"cleared with ids", 0, first, STATUS_SUCCESS, {}},
        {"set again", 3, first, STATUS_SUCCESS, {1, 2, 3}},
        {"cleared with null", 0, nullptr, STATUS_SUCCESS, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(m_Node->SetSources(c.count, c.ids), c.status);
        EXPECT_EQ(Sources(), c.after);
        // One source block while the node has sources, none once cleared.
        EXPECT_EQ(sim::pool::TagUsage(AudioNodeSourceTag).blocks, c.after.empty() ? 0u : 1u);
    }
    // The copy is the node's own: paged, "Topo", count x 4 bytes.
    const uint64_t pagedBefore = sim::pool::TypeUsage(PagedPool).blocks;
    ASSERT_EQ(m_Node->SetSources(2, first), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::TypeUsage(PagedPool).blocks, pagedBefore + 1);
    EXPECT_EQ(sim::pool::TagUsage(AudioNodeSourceTag).bytes, 2 * sizeof(ULONG));
}

TEST_F(AudioNodeTest, SetSourcesWithoutPoolKeepsTheOldListAndCount) {
    const ULONG old[] = {4, 5};
    const ULONG wanted[] = {6, 7, 8};
    ASSERT_EQ(m_Node->SetSources(2, old), STATUS_SUCCESS);
    sim::pool::FailNthAllocation(1, AudioNodeSourceTag);
    EXPECT_EQ(m_Node->SetSources(3, wanted), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_EQ(Sources(), (std::vector<ULONG>{4, 5}));
}

TEST_F(AudioNodeTest, AnswersItsOwnInterfaceForIUnknownAndAudioNodeOnly) {
    for (const GUID* id : {&IID_IUnknown, &IID_AudioNode}) {
        PVOID answer = nullptr;
        ASSERT_EQ(m_Node->QueryInterface(*id, &answer), STATUS_SUCCESS);
        EXPECT_EQ(answer, m_Node);
        m_Node->Release();
    }
    PVOID answer = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(m_Node->QueryInterface(IID_Other, &answer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(m_Node->GetId(), 42u);
    EXPECT_EQ(m_Node->GetNodeKind(), 3u);
}

TEST_F(AudioNodeTest, LastReleaseFreesTheSourceArray) {
    const ULONG ids[] = {1, 2, 3, 4};
    ASSERT_EQ(m_Node->SetSources(4, ids), STATUS_SUCCESS);
    EXPECT_EQ(m_Node->Release(), 0u);
    m_Node = nullptr;
    EXPECT_EQ(sim::pool::TagUsage(AudioNodeSourceTag).blocks, 0u);
    EXPECT_EQ(sim::pool::TagUsage(kNodeTag).blocks, 0u);
}

TEST(NodeKindTest, OnlyTheControlCodesAreControlKinds) {
    for (ULONG code = 0; code < 64; ++code) {
        const bool control = code <= 13 || code == 18 || code == 22 || code == 23;
        EXPECT_EQ(IsControlNodeKind(code), control) << code;
    }
    EXPECT_FALSE(IsControlNodeKind(0xFFFFFFFF));
}

}  // namespace
