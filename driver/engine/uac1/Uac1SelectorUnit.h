// SelectorUnit: the unit object of a UAC 1.0 SELECTOR_UNIT descriptor. Its inputs become its
// sources; it creates one unit selector control and carries the selection (1-based input
// number) to the device with class requests.
#pragma once

#include "driver/engine/interfaces/Selector.h"
#include "driver/engine/hal/UnitNode.h"

#include <win/kernel.h>

class SelectorUnit : public Selector, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // Descriptor: a SELECTOR_UNIT whose bLength bytes the caller has bounded and which holds its
    // bNrInPins source ids, else STATUS_INVALID_PARAMETER.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    virtual NTSTATUS CreateControls(AdapterCommon* Hal);

    // Selector. Without a SELECTOR_UNIT descriptor: STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetSelected(PULONG Selection) override;
    // Input 1 to bNrInPins, else STATUS_INVALID_PARAMETER.
    STDMETHODIMP SetSelected(ULONG Input) override;
    STDMETHODIMP GetSourceCount(PULONG Count) override;
    using AudioNode::GetSourceCount;
    // The unit tells no listeners: STATUS_NOT_IMPLEMENTED.
    STDMETHODIMP AddListener(SelectorListener* Listener) override;

protected:
    bool IsSelectorDescriptor() const;
};
