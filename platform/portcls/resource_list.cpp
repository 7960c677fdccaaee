// Resource lists (PcNewResourceList): the translated and untranslated resources of a start
// request, searched by type. USB adapters receive none.
#include "portcls_internal.h"

#include <cstring>

namespace sim::portcls {
namespace {

// Lists from the PnP manager hold one full descriptor; more partial descriptors than this are
// not taken for a device's resources.
constexpr ULONG kMaxEntries = 256;

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> EntriesOf(PCM_RESOURCE_LIST list) {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> entries;
    if (list == nullptr || list->Count == 0) return entries;
    const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
    ULONG count = partial.Count < kMaxEntries ? partial.Count : kMaxEntries;
    entries.assign(partial.PartialDescriptors, partial.PartialDescriptors + count);
    return entries;
}

class ResourceList final : public IResourceList, public PoolObject {
public:
    ResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
        : m_translated(EntriesOf(translated)), m_untranslated(EntriesOf(untranslated)) {
        m_untranslated.resize(m_translated.size());
    }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (out == nullptr) return STATUS_INVALID_PARAMETER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList)) {
            *out = static_cast<IResourceList*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PC_IMPLEMENT_REFCOUNT;

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return static_cast<ULONG>(m_translated.size()); }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE Type) override {
        ULONG count = 0;
        for (auto& entry : m_translated) count += entry.Type == Type ? 1 : 0;
        return count;
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE Type, ULONG Index) override {
        return Find(m_translated, Type, Index);
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE Type, ULONG Index) override {
        // Entries pair up by position; the type is the translated entry's.
        for (size_t i = 0, seen = 0; i < m_translated.size(); ++i) {
            if (m_translated[i].Type == Type && seen++ == Index) return &m_untranslated[i];
        }
        return nullptr;
    }
    STDMETHODIMP AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) override {
        if (Translated == nullptr || Untranslated == nullptr) return STATUS_INVALID_PARAMETER;
        if (m_translated.size() >= kMaxEntries) return STATUS_INSUFFICIENT_RESOURCES;
        m_translated.push_back(*Translated);
        m_untranslated.push_back(*Untranslated);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP AddEntryFromParent(IResourceList* Parent, CM_RESOURCE_TYPE Type, ULONG Index) override {
        if (Parent == nullptr) return STATUS_INVALID_PARAMETER;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = Parent->FindTranslatedEntry(Type, Index);
        PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated = Parent->FindUntranslatedEntry(Type, Index);
        if (translated == nullptr || untranslated == nullptr) return STATUS_INVALID_PARAMETER;
        return AddEntry(translated, untranslated);
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return Build(m_translated, &m_translatedList); }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return Build(m_untranslated, &m_untranslatedList); }

private:
    static PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& entries,
                                                CM_RESOURCE_TYPE type, ULONG index) {
        for (auto& entry : entries) {
            if (entry.Type == type && index-- == 0) return &entry;
        }
        return nullptr;
    }
    // A CM_RESOURCE_LIST of one full descriptor holding the entries; null when there are none.
    static PCM_RESOURCE_LIST Build(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& entries,
                                   std::vector<UCHAR>* storage) {
        if (entries.empty()) return nullptr;
        size_t size = sizeof(CM_RESOURCE_LIST) + (entries.size() - 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
        storage->assign(size, 0);
        auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage->data());
        list->Count = 1;
        list->List[0].InterfaceType = PNPBus;
        list->List[0].PartialResourceList.Version = 1;
        list->List[0].PartialResourceList.Revision = 1;
        list->List[0].PartialResourceList.Count = static_cast<ULONG>(entries.size());
        std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, entries.data(),
                    entries.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        return list;
    }

    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> m_translated;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> m_untranslated;
    std::vector<UCHAR> m_translatedList;
    std::vector<UCHAR> m_untranslatedList;
};

}  // namespace
}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                       PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources) {
    UNREFERENCED_PARAMETER(OuterUnknown);
    UNREFERENCED_PARAMETER(PoolType);
    if (OutResourceList == nullptr) return STATUS_INVALID_PARAMETER;
    auto* list = new (kResourceListTag) ResourceList(TranslatedResources, UntranslatedResources);
    *OutResourceList = list;
    return list != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
