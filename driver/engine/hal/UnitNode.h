// UnitNode: the root of every unit and terminal object the descriptor parsers build. A unit is an
// AudioNode whose id is its descriptor's unit or terminal id and whose kind is the descriptor
// subtype. It keeps a copy of its class-specific descriptor, the HAL's AdapterCommon (not
// referenced; the HAL owns the unit) and the controls it created.
//
// The controls of one unit form a chain: AddControl puts each new control at the head of the
// list, and the signal runs in list order, entering at the head (the input control) and leaving at
// the tail (the output control). A unit that creates P, Q, R in that order passes the signal
// R -> Q -> P. The parsers then connect the units: each unit's upstream units are replaced by
// their output control ids and handed to SetInputSources, which gives them to the input control.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/base/PointerList.h"

#include <win/kernel.h>

// "AUAT": the descriptor copy (paged) and the control list (non-paged).
constexpr ULONG UnitNodeTag = 'TAUA';

class UnitNode : public AudioNode {
public:
    // Kind 0 until the unit class's initialisation sets id and kind from the descriptor.
    UnitNode(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the descriptor copy and releases every control.
    ~UnitNode() override;

    // Operations that extend the AudioNode table, in table order.

    // Copies the class-specific descriptor (bLength bytes, which the caller has bounded) and keeps
    // the HAL; creates the control list. STATUS_INVALID_PARAMETER for a null argument or a
    // bLength below 2; STATUS_INVALID_DEVICE_STATE when a descriptor is already kept;
    // STATUS_INSUFFICIENT_RESOURCES with nothing kept.
    virtual NTSTATUS KeepDescriptor(const UCHAR* Descriptor, AdapterCommon* Hal);
    // The root answers the id of the unit's only control; STATUS_UNSUCCESSFUL for a unit with
    // another number of controls or a null ControlId. Terminal classes override it.
    virtual NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId);

    // Puts Control at the head of the list with a reference of the list's own.
    // STATUS_INVALID_PARAMETER for null; STATUS_UNSUCCESSFUL without a list or without pool.
    NTSTATUS AddControl(AudioNode* Control);
    // A control this unit made, whose initialisation gave InitStatus: when that succeeded it goes
    // on Hal's node list (Hal an AudioHal) and this unit's list. The creation reference is dropped
    // in every case; the result is the first failure.
    NTSTATUS AdoptControl(AdapterCommon* Hal, AudioNode* Control, NTSTATUS InitStatus);
    // STATUS_UNSUCCESSFUL without a list or for a null Count.
    NTSTATUS GetControlCount(PULONG Count);
    // The control at Index counted from the head, without a reference of its own. *Control is
    // null on failure: STATUS_UNSUCCESSFUL without a list or for a null Control,
    // STATUS_INVALID_PARAMETER for an Index not below the count.
    NTSTATUS GetControl(ULONG Index, AudioNode** Control);
    // The id of the output control (the tail); STATUS_UNSUCCESSFUL for a null Id or no control.
    NTSTATUS GetOutputControlId(PULONG Id);
    // Links the chain: each control after the head whose kind takes a chained source gets the
    // previous control as its first source. An output connector never feeds a later control.
    // Called by the unit's initialisation once its controls exist.
    NTSTATUS ChainControls();
    // Gives the input control (the head) the unit's upstream control ids: a selector or mixer
    // takes the whole list when Count equals its source count (and keeps its own otherwise), a
    // chained kind takes Ids[0] as its first source, any other kind nothing.
    // STATUS_UNSUCCESSFUL for null Ids, a Count of 0 or no control list; STATUS_SUCCESS for a
    // unit without controls.
    NTSTATUS SetInputSources(ULONG Count, const ULONG* Ids);

    // TRUE for the kinds that take the previous control of their chain as their first source.
    static bool IsChainedKind(ULONG Kind);

protected:
    AdapterCommon* GetHal() const { return m_Hal; }
    // The descriptor copy (GetDescriptorLength bytes), or null before KeepDescriptor.
    const UCHAR* GetDescriptor() const { return m_Descriptor; }
    ULONG GetDescriptorLength() const { return m_DescriptorLength; }

private:
    AdapterCommon* m_Hal;        // not referenced: the HAL owns this unit
    PUCHAR m_Descriptor;         // paged "AUAT", m_DescriptorLength bytes
    ULONG m_DescriptorLength;
    PointerList* m_ControlList;  // AudioNode, one reference each; non-paged "AUAT"
};
