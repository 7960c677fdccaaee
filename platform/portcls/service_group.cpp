// Service groups (PcNewServiceGroup): a request for service reaches every member; a delayed
// request fires at a simulated time on the DPC thread.
#include "portcls_internal.h"

#include "../kernel/scheduler.h"

#include <sim/machine.h>

#include <algorithm>

namespace sim::portcls {
namespace {

class ServiceGroup final : public IServiceGroup, public PoolObject {
public:
    ~ServiceGroup() {
        for (PSERVICESINK member : m_members) member->Release();
    }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (out == nullptr) return STATUS_INVALID_PARAMETER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
            IsEqualGUID(iid, IID_IServiceGroup)) {
            *out = static_cast<IServiceGroup*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PC_IMPLEMENT_REFCOUNT;

    STDMETHODIMP_(void) RequestService() override {
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            members = m_members;
            for (PSERVICESINK member : members) member->AddRef();
        }
        for (PSERVICESINK member : members) {
            member->RequestService();
            member->Release();
        }
    }
    STDMETHODIMP AddMember(PSERVICESINK pServiceSink) override {
        if (pServiceSink == nullptr) return STATUS_INVALID_PARAMETER;
        pServiceSink->AddRef();
        std::lock_guard<std::mutex> guard(m_lock);
        m_members.push_back(pServiceSink);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK pServiceSink) override {
        PSERVICESINK removed = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = std::find(m_members.begin(), m_members.end(), pServiceSink);
            if (it != m_members.end()) {
                removed = *it;
                m_members.erase(it);
            }
        }
        if (removed != nullptr) removed->Release();
    }
    STDMETHODIMP_(void) SupportDelayedService() override {}
    // ullDelay: negative is relative, positive an absolute interrupt time, 100 ns units.
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG ullDelay) override {
        CancelDelayedService();
        auto delay = static_cast<LONGLONG>(ullDelay);
        sim::machine::Time due = delay < 0 ? sim::machine::Now() - delay : delay;
        AddRef();  // held by the scheduled work
        std::lock_guard<std::mutex> guard(m_lock);
        m_delayed = sim::ke::ScheduleDispatchWork(due, [this] {
            {
                std::lock_guard<std::mutex> inner(m_lock);
                m_delayed = 0;
            }
            RequestService();
            Release();
        });
    }
    STDMETHODIMP_(void) CancelDelayedService() override {
        sim::ke::ScheduledWorkId id;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            id = m_delayed;
            m_delayed = 0;
        }
        if (id != 0 && sim::ke::CancelScheduledWork(id)) Release();
    }

private:
    std::mutex m_lock;
    std::vector<PSERVICESINK> m_members;  // one reference each
    sim::ke::ScheduledWorkId m_delayed = 0;
};

}  // namespace
}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
    UNREFERENCED_PARAMETER(OuterUnknown);
    if (OutServiceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    auto* group = new (kServiceGroupTag) ServiceGroup();
    *OutServiceGroup = group;
    return group != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
