#include "driver/engine/controls/SampleRateControl.h"

#include "driver/engine/interfaces/UnitInterface.h"

SampleRateControlNode::SampleRateControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::SampleRate)),
      m_RateCount(0),
      m_Rates(nullptr),
      m_CurrentRate(0),
      m_Unit(nullptr) {}

SampleRateControlNode::~SampleRateControlNode() {
    if (m_Rates != nullptr) ExFreePoolWithTag(m_Rates, SampleRateControlTag);
}

NTSTATUS SampleRateControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_SampleRateControl, static_cast<SampleRateControl*>(this)},
    };
    if (Interface != nullptr && IsEqualGUID(InterfaceId, IID_SampleRateControl)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS SampleRateControlNode::QueryUnitControl(SampleRateControl** Unit) {
    return QueryUnitInterface(m_Unit, IID_SampleRateControl, Unit);
}

STDMETHODIMP SampleRateControlNode::GetRates(PULONG Count, PULONG Rates) {
    if (Count == nullptr || Rates == nullptr || *Count < m_RateCount) return STATUS_INVALID_PARAMETER;
    *Count = m_RateCount;
    if (m_RateCount != 0) RtlCopyMemory(Rates, m_Rates, m_RateCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

STDMETHODIMP SampleRateControlNode::GetRateCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = m_RateCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP SampleRateControlNode::SetRate(ULONG Rate) {
    PAGED_CODE();
    SampleRateControl* unit = nullptr;
    NTSTATUS status = QueryUnitControl(&unit);
    if (!NT_SUCCESS(status)) return status;
    status = unit->SetRate(Rate);
    unit->Release();
    if (NT_SUCCESS(status)) m_CurrentRate = Rate;
    return status;
}

STDMETHODIMP SampleRateControlNode::GetRate(PULONG Rate) {
    if (Rate == nullptr) return STATUS_INVALID_PARAMETER;
    *Rate = m_CurrentRate;
    return STATUS_SUCCESS;
}

STDMETHODIMP SampleRateControlNode::IsClockValid(PUCHAR Valid) {
    PAGED_CODE();
    if (Valid == nullptr) return STATUS_INVALID_PARAMETER;
    SampleRateControl* unit = nullptr;
    NTSTATUS status = QueryUnitControl(&unit);
    if (!NT_SUCCESS(status)) return status;
    status = unit->IsClockValid(Valid);
    unit->Release();
    return status;
}

STDMETHODIMP SampleRateControlNode::Init(ULONG RateCount, const ULONG* Rates) {
    PAGED_CODE();
    if (Rates == nullptr || RateCount > SampleRateMaxRates) return STATUS_INSUFFICIENT_RESOURCES;
    PULONG rates = nullptr;
    if (RateCount != 0) {
        rates = static_cast<PULONG>(
            ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, RateCount * sizeof(ULONG), SampleRateControlTag));
        if (rates == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(rates, Rates, RateCount * sizeof(ULONG));
    }
    if (m_Rates != nullptr) ExFreePoolWithTag(m_Rates, SampleRateControlTag);
    m_Rates = rates;
    m_RateCount = RateCount;
    // A clock source is fed by nothing in the control graph.
    return AudioNode::SetSources(0, nullptr);
}

NTSTATUS SampleRateControlNode::InitSampleRate(PUNKNOWN ClockSource) {
    PAGED_CODE();
    if (ClockSource == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = ClockSource;
    SampleRateControl* unit = nullptr;
    NTSTATUS status = QueryUnitControl(&unit);
    if (!NT_SUCCESS(status)) return status;

    ULONG count = 0;
    if (!NT_SUCCESS(unit->GetRateCount(&count)) || count < 1) {
        status = STATUS_UNSUCCESSFUL;
    } else if (count > SampleRateMaxRates) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG rates[SampleRateMaxRates] = {};
    if (NT_SUCCESS(status)) {
        // The clock source stores what it can read even when one range is not a single rate; the
        // entries it could not fill stay 0 and are left out.
        unit->GetRates(&count, rates);
        if (count > SampleRateMaxRates) count = SampleRateMaxRates;
        ULONG kept = 0;
        for (ULONG i = 0; i < count; ++i) {
            if (rates[i] != 0) rates[kept++] = rates[i];
        }
        status = kept != 0 ? Init(kept, rates) : STATUS_UNSUCCESSFUL;
    }
    unit->Release();
    return status;
}
