// AudioHal: the base of the device-level objects (the adapter and the HAL classes). It implements
// AdapterCommon and the port-class power interface, owns the node list (units and controls) and
// the engine list, and the named callback object "\Callback\AudioHalAddr%p" that carries control
// change notices. After Identify it wires selectors to the controls behind their inputs and writes
// the stored control values to the device.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/base/PointerList.h"
#include "driver/engine/interfaces/Selector.h"
#include "driver/engine/stream/StreamEngine.h"

#include <win/kernel.h>
#include <win/portcls.h>

// "HALB": the node and engine lists and the selector-walk buffer.
constexpr ULONG AudioHalListTag = 'BLAH';
// "Temp": the callback name buffer (paged).
constexpr ULONG AudioHalNameTag = 'pmeT';
// Characters of the callback name buffer, terminator included.
constexpr ULONG AudioHalCallbackNameChars = 51;
// A selector with more sources than this is not bound to the controls behind its inputs.
constexpr ULONG AudioHalMaxSelectorSources = 10;

class AudioHal : public AdapterCommon, public IAdapterPowerManagement, public CKernelUnknown {
public:
    DECLARE_KERNEL_UNKNOWN();

    // UnknownOuter: the aggregating adapter, or null.
    explicit AudioHal(PUNKNOWN UnknownOuter);
    // Releases every node and engine, frees both lists and dereferences the callback object.
    ~AudioHal() override;

    // AdapterCommon.
    STDMETHODIMP GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override;
    STDMETHODIMP GetComponentId(PKSCOMPONENTID ComponentId) override;
    STDMETHODIMP_(ULONG) GetStreamEngineCount() override;
    STDMETHODIMP GetStreamEngine(ULONG Index, StreamEngine** Engine) override;
    STDMETHODIMP_(ULONG) GetNodeCount() override;
    STDMETHODIMP GetNode(ULONG Index, AudioNode** Node) override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override;
    // Creates the lists and the callback object, keeps the device objects, then runs this object's
    // Identify and BindStreams. On failure both lists are released and gone; the callback object
    // stays until the destructor. A second call answers STATUS_INVALID_DEVICE_STATE.
    STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                      PDEVICE_OBJECT PhysicalDeviceObject) override;
    // OnHalStart / OnHalStop on every node in list order; never fail.
    STDMETHODIMP Start() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP RegisterChangeCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
    STDMETHODIMP UnregisterChangeCallback(PVOID Registration) override;
    STDMETHODIMP WaitIdle() override;
    // The base parses nothing: STATUS_NOT_IMPLEMENTED.
    STDMETHODIMP Identify() override;
    // Binds every selector with at most AudioHalMaxSelectorSources sources to the listeners behind
    // its inputs, then ApplyAllValues (whose status is the result).
    STDMETHODIMP BindStreams() override;
    STDMETHODIMP GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) override;

    // IAdapterPowerManagement.
    // A change into D0 first writes every stored control value; D0 to D3 are kept, other values
    // ignored.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    // Sets SurpriseRemovalOK.
    STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

    // Used by the HAL classes while they build their lists (during Identify).
    // Appends Node with a reference of the list's own.
    NTSTATUS AddNode(AudioNode* Node);
    NTSTATUS AddStreamEngine(StreamEngine* Engine);
    // The last node in list order whose id is Id, without a reference; STATUS_UNSUCCESSFUL and a
    // null *Node when there is none.
    NTSTATUS FindNode(ULONG Id, AudioNode** Node);
    // ApplyValues on every node in list order, stopping at the first failure.
    NTSTATUS ApplyAllValues();
    // Nodes the last BindStreams looked at to find one by id: its work, which stays linear in the
    // nodes it walks.
    ULONG64 BindingLookups() const { return m_BindingLookups; }

protected:
    PDEVICE_OBJECT m_DeviceObject;          // functional device object
    PDEVICE_OBJECT m_LowerDeviceObject;
    PDEVICE_OBJECT m_PhysicalDeviceObject;
    ULONG m_PowerState;                     // DEVICE_POWER_STATE, 1 (D0) to 4 (D3)
    PCALLBACK_OBJECT m_CallbackObject;      // one reference; "\Callback\AudioHalAddr%p"
    PointerList* m_NodeList;                // AudioNode, one reference each; non-paged "HALB"
    PointerList* m_EngineList;              // StreamEngine, one reference each; non-paged "HALB"
    EndpointInfo m_EndpointInfo;            // what the base GetEndpointInfo and GetEndpointCaps answer

private:
    NTSTATUS CreateCallbackObject();
    // Binds selector input Input (1-based) to the chain of single-source nodes upstream of
    // SourceId. Walk: scratch room for GetNodeCount() nodes; ById: the nodes by id (see LookUpNode).
    void BindSelectorInput(Selector* InputSelector, ULONG Input, ULONG SourceId, AudioNode** Walk,
                           AudioNode* const* ById);
    // The node FindNode would answer for Id: from ById (GetNodeCount() entries, the last node in
    // list order for each id below the count, as the HAL hands ids out) or, for a larger id, from
    // the list. Null when there is none.
    AudioNode* LookUpNode(AudioNode* const* ById, ULONG Id);

    ULONG64 m_BindingLookups;  // see BindingLookups
};
