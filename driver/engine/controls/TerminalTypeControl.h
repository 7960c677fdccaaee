// The terminal-type control: the current use of a jack that can serve several endpoint types (for
// example speakers, headphones or line behind one output). A change of type goes to the terminal
// unit, re-installs the wave subdevices through the HAL's DeviceModel and makes every listener (the
// switches and levels on the path) reload the values stored for the new type. A step that fails
// after the unit accepted the type puts the old type back on the unit.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/base/PointerList.h"
#include "driver/engine/interfaces/TerminalInfo.h"

#include <win/kernel.h>
#include <win/unknown.h>

// {DC7604D8-C1F4-4EA1-818C-F744191B5B18}
DEFINE_GUID(IID_TerminalTypeControl, 0xDC7604D8, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18);

// "TerT": the type list (paged) and the listener list (non-paged).
constexpr ULONG TerminalTypeControlTag = 'TreT';

class TerminalTypeControl : public IUnknown {
public:
    // Operations in table order. Every null out pointer answers STATUS_INVALID_PARAMETER.

    // Asks the terminal unit and keeps its answer as the current type.
    STDMETHOD(GetType)(PULONG Type) PURE;
    STDMETHOD(GetTypeCount)(PULONG Count) PURE;
    // Copies the type-count entries; the caller provides room for them (at most TerminalMaxTypes).
    STDMETHOD(GetTypeList)(PULONG Types) PURE;
    STDMETHOD(SelectType)(ULONG Type) PURE;
    // Set by SelectType; the HAL reads and clears it when it re-installs the wave subdevices.
    STDMETHOD_(ULONG, IsChangePending)() PURE;
    STDMETHOD(ClearChangePending)() PURE;
    // Takes a reference on Listener and tells it every change of type.
    STDMETHOD(AddListener)(TerminalTypeListener* Listener) PURE;
    // TypeCount 1 to TerminalMaxTypes entries of Types (else STATUS_INVALID_PARAMETER); current
    // type := the first; one source SourceId.
    STDMETHOD(Init)(ULONG SourceId, ULONG TypeCount, const ULONG* Types) PURE;

protected:
    ~TerminalTypeControl() = default;
};

class TerminalTypeControlNode : public TerminalTypeControl, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    TerminalTypeControlNode(PUNKNOWN UnknownOuter, ULONG Id);
    // Releases every listener and frees both lists.
    ~TerminalTypeControlNode() override;

    // TerminalTypeControl.
    STDMETHODIMP GetType(PULONG Type) override;
    STDMETHODIMP GetTypeCount(PULONG Count) override;
    STDMETHODIMP GetTypeList(PULONG Types) override;
    // A type outside the list: STATUS_INVALID_PARAMETER. The current type: success, nothing done.
    // Otherwise the unit selects it (its refusal is the result), the HAL re-installs the wave
    // subdevices, the listeners follow and the type is stored; a failure after the unit accepted
    // puts the old type back on the unit and is the result.
    STDMETHODIMP SelectType(ULONG Type) override;
    STDMETHODIMP_(ULONG) IsChangePending() override;
    STDMETHODIMP ClearChangePending() override;
    STDMETHODIMP AddListener(TerminalTypeListener* Listener) override;
    STDMETHODIMP Init(ULONG SourceId, ULONG TypeCount, const ULONG* Types) override;

    // The terminal's types; the current type: the stored one when it is in the list, else the
    // unit's when it is, else the first listed. TerminalUnit: not referenced (it owns this
    // control); Hal: the HAL, reached for DeviceModel, not referenced (it owns this control).
    // A type count of 0 or above TerminalMaxTypes: STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS InitTerminalType(PUNKNOWN TerminalUnit, PDEVICE_OBJECT SettingsDevice, PUNKNOWN Hal);

    // AudioNode: the unit selects the cached type; a refresh follows a type the device switched to
    // by itself through SelectType (the read's status is the result).
    NTSTATUS ApplyValues() override;
    NTSTATUS RefreshValues() override;

private:
    NTSTATUS QueryUnitInfo(TerminalInfo** Info);
    bool IsListed(ULONG Type) const;
    // Steps of a change that follow the unit's acceptance: re-install, notify, store.
    NTSTATUS FollowTypeChange(ULONG Type);
    BOOLEAN EnsureListenerList();

    ULONG m_TypeCount;
    PULONG m_TypeList;                // paged "TerT"
    ULONG m_CurrentType;
    ULONG volatile m_ChangePending;
    PointerList* m_Listeners;         // TerminalTypeListener, one reference each; non-paged "TerT"
    PDEVICE_OBJECT m_SettingsDevice;  // the device object AccessSetting takes
    PUNKNOWN m_Hal;                   // not referenced
    PUNKNOWN m_Unit;                  // the terminal unit, not referenced
};
