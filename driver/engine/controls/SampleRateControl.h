// The sample-rate control of a clock source: the rates the clock can run at (a copy taken at
// creation) and the rate last set through it. The clock-source unit answers the same interface and
// carries the requests to the device.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"

#include <win/kernel.h>
#include <win/unknown.h>

// {E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}
DEFINE_GUID(IID_SampleRateControl, 0xE1A6E8A0, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC);

// "cloc": the rate arrays.
constexpr ULONG SampleRateControlTag = 'colc';
// Most rates one control holds.
constexpr ULONG SampleRateMaxRates = 30;

class SampleRateControl : public IUnknown {
public:
    // Operations in table order. Rates in Hz.

    // Count in: room in Rates; out: the rates copied. Null pointers or too little room:
    // STATUS_INVALID_PARAMETER.
    STDMETHOD(GetRates)(PULONG Count, PULONG Rates) PURE;
    STDMETHOD(GetRateCount)(PULONG Count) PURE;
    STDMETHOD(SetRate)(ULONG Rate) PURE;
    STDMETHOD(GetRate)(PULONG Rate) PURE;
    // Whether the clock is valid (0 or 1).
    STDMETHOD(IsClockValid)(PUCHAR Valid) PURE;
    // Keeps a copy of RateCount rates; no rates or more than SampleRateMaxRates:
    // STATUS_INSUFFICIENT_RESOURCES. Clears the source list.
    STDMETHOD(Init)(ULONG RateCount, const ULONG* Rates) PURE;

protected:
    ~SampleRateControl() = default;
};

class SampleRateControlNode : public SampleRateControl, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    SampleRateControlNode(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the rates.
    ~SampleRateControlNode() override;

    // SampleRateControl. Every null out pointer answers STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override;
    STDMETHODIMP GetRateCount(PULONG Count) override;
    // The clock-source unit sets the rate; only when it accepted is it the current rate.
    STDMETHODIMP SetRate(ULONG Rate) override;
    // The rate last set through this control (0 before the first).
    STDMETHODIMP GetRate(PULONG Rate) override;
    // Asks the clock-source unit.
    STDMETHODIMP IsClockValid(PUCHAR Valid) override;
    STDMETHODIMP Init(ULONG RateCount, const ULONG* Rates) override;

    // Copies the unit's rates (entries of 0 Hz left out). No rate: STATUS_UNSUCCESSFUL; more than
    // SampleRateMaxRates: STATUS_INSUFFICIENT_RESOURCES. ClockSource: not referenced (it owns this
    // control).
    NTSTATUS InitSampleRate(PUNKNOWN ClockSource);

private:
    NTSTATUS QueryUnitControl(SampleRateControl** Unit);

    ULONG m_RateCount;   // at most SampleRateMaxRates
    PULONG m_Rates;      // Hz, non-paged "cloc"
    ULONG m_CurrentRate; // Hz
    PUNKNOWN m_Unit;     // the clock-source unit, not referenced
};
