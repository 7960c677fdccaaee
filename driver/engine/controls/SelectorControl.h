// The selector controls: which input (1-based) feeds a path. SelectorControl is a selector of the
// host's stream path with no device unit behind it; UnitSelectorControl carries the selection to a
// selector unit and stores it under the control value name.
//
// Listeners (the controls behind the selector's inputs) are told before and after every change of
// selection; the list holds one reference on each.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/base/PointerList.h"
#include "driver/engine/interfaces/Selector.h"

#include <win/kernel.h>

// "SelT": the listener list (non-paged) and the initial source array (paged).
constexpr ULONG SelectorControlTag = 'TleS';

class SelectorControl : public Selector, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    // Selection 1, no sources and no listener list yet.
    SelectorControl(PUNKNOWN UnknownOuter, ULONG Id);
    // Releases every listener and frees the list.
    ~SelectorControl() override;

    // Selector.
    STDMETHODIMP GetSelected(PULONG Selection) override;
    // Input above the source count: STATUS_INVALID_PARAMETER. Otherwise the listeners are told
    // (each pass stops at the first listener that fails) and the selection changes; success.
    STDMETHODIMP SetSelected(ULONG Input) override;
    STDMETHODIMP GetSourceCount(PULONG Count) override;
    using AudioNode::GetSourceCount;
    // STATUS_INVALID_PARAMETER for null; STATUS_INSUFFICIENT_RESOURCES without pool (no reference
    // kept).
    STDMETHODIMP AddListener(SelectorListener* Listener) override;

    // AudioNode: creates the listener list first (STATUS_UNSUCCESSFUL without pool), then sets the
    // sources.
    NTSTATUS SetSources(ULONG Count, const ULONG* Ids) override;

protected:
    // The listener passes of a change from the current selection to Input; then selection := Input.
    void ChangeSelection(ULONG Input);
    // The list, created on first use; FALSE without pool.
    BOOLEAN EnsureListenerList();

    ULONG m_Selection;          // 1-based input number
    PointerList* m_Listeners;   // SelectorListener, one reference each; non-paged "SelT"
};

// A selector control in front of a device selector unit.
class UnitSelectorControl : public SelectorControl {
public:
    UnitSelectorControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Input must be 1 to the source count (else STATUS_INVALID_PARAMETER). The unit's answer is
    // the result; only when it accepted are the listeners told and the selection stored.
    STDMETHODIMP SetSelected(ULONG Input) override;

    // Sources: as many ids 0 as the unit has inputs (the unit writes the real ids later). The
    // selection: the unit's current one, the stored one over it, then bounded to 1..inputs.
    // SelectorUnit: the selector unit, not referenced (it owns this control).
    NTSTATUS InitUnitSelector(PUNKNOWN SelectorUnit, PDEVICE_OBJECT SettingsDevice);

    // AudioNode: sends the cached selection; reads the unit's selection back (nothing stored, no
    // listener told; an answer outside 1..inputs is bounded as at initialisation).
    NTSTATUS ApplyValues() override;
    NTSTATUS RefreshValues() override;

private:
    // The selector unit's Selector interface, with a reference the caller releases.
    NTSTATUS QueryUnitSelector(Selector** UnitSelector);
    ULONG BoundSelection(ULONG Selection) const;

    PDEVICE_OBJECT m_SettingsDevice;  // the device object AccessSetting takes
    PUNKNOWN m_Unit;                  // the selector unit, not referenced
};
