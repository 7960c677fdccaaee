// The port-class library's helper objects: service groups (immediate and delayed service) and
// resource lists.
#include <gtest/gtest.h>
#include <sim/machine.h>
#include <win/portcls.h>

#include <atomic>

namespace {

class CountingSink final : public IServiceSink {
public:
    STDMETHODIMP QueryInterface(REFIID, PVOID* out) override {
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP_(void) RequestService() override {
        ++services;
        at = sim::machine::Now();
    }
    std::atomic<ULONG> refs{1};
    std::atomic<int> services{0};
    std::atomic<sim::machine::Time> at{0};
};

TEST(PortClassServiceGroup, ServesMembersNowOrAtTheDelayedTime) {
    CountingSink first;
    CountingSink second;
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&first), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&second), STATUS_SUCCESS);
    EXPECT_EQ(first.refs, 2u);
    group->RequestService();
    EXPECT_EQ(first.services, 1);
    EXPECT_EQ(second.services, 1);

    group->RemoveMember(&second);
    EXPECT_EQ(second.refs, 1u);
    sim::machine::Time start = sim::machine::Now();
    group->RequestDelayedService(static_cast<ULONGLONG>(-10 * sim::machine::kMillisecond));
    ASSERT_TRUE(sim::machine::RunUntil([&] { return first.services == 2; }, sim::machine::kSecond));
    EXPECT_GE(first.at - start, 10 * sim::machine::kMillisecond);
    EXPECT_EQ(second.services, 1);

    // A cancelled delayed request never fires.
    group->RequestDelayedService(static_cast<ULONGLONG>(-10 * sim::machine::kMillisecond));
    group->CancelDelayedService();
    sim::machine::RunFor(50 * sim::machine::kMillisecond);
    EXPECT_EQ(first.services, 2);
    EXPECT_EQ(group->Release(), 0u);
    EXPECT_EQ(first.refs, 1u);
}

TEST(PortClassResourceList, FindsEntriesByTypeAndPosition) {
    struct {
        CM_RESOURCE_LIST list;
        CM_PARTIAL_RESOURCE_DESCRIPTOR more[2];
    } raw{}, translated{};
    for (auto* l : {&raw, &translated}) {
        l->list.Count = 1;
        l->list.List[0].PartialResourceList.Count = 3;
        CM_PARTIAL_RESOURCE_DESCRIPTOR* d = l->list.List[0].PartialResourceList.PartialDescriptors;
        d[0].Type = CmResourceTypePort;
        d[1].Type = CmResourceTypeInterrupt;
        d[2].Type = CmResourceTypePort;
        d[2].u.Port.Length = l == &raw ? 8 : 16;
    }
    PRESOURCELIST list = nullptr;
    ASSERT_EQ(PcNewResourceList(&list, nullptr, PagedPool, &translated.list, &raw.list), STATUS_SUCCESS);
    EXPECT_EQ(list->NumberOfEntries(), 3u);
    EXPECT_EQ(list->NumberOfEntriesOfType(CmResourceTypePort), 2u);
    EXPECT_EQ(list->NumberOfEntriesOfType(CmResourceTypeDma), 0u);
    ASSERT_NE(list->FindTranslatedEntry(CmResourceTypePort, 1), nullptr);
    EXPECT_EQ(list->FindTranslatedEntry(CmResourceTypePort, 1)->u.Port.Length, 16u);
    EXPECT_EQ(list->FindUntranslatedEntry(CmResourceTypePort, 1)->u.Port.Length, 8u);
    EXPECT_EQ(list->FindTranslatedEntry(CmResourceTypePort, 2), nullptr);
    EXPECT_EQ(list->TranslatedList()->List[0].PartialResourceList.Count, 3u);
    list->Release();

    ASSERT_EQ(PcNewResourceList(&list, nullptr, PagedPool, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(list->NumberOfEntries(), 0u);
    EXPECT_EQ(list->TranslatedList(), nullptr);
    list->Release();
}

}  // namespace
