// The connector controls: the ends of the control graph that become the topology filter's pins.
// An input connector stands for an input terminal (a jack or the host's stream), an output
// connector for one of the types an output terminal can be switched to. Both answer TerminalInfo
// from copies they take of their terminal's types and jack records. A refresh (the status thread,
// a type selection) publishes new jack records while the property and install paths read them:
// the records and their count change and are read only under the jack lock.
#pragma once

#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/interfaces/TerminalInfo.h"

#include <win/kernel.h>

// "Term": the connectors' type lists and jack records (paged).
constexpr ULONG ConnectorControlTag = 'mreT';

// The middle class of the connector controls and of the mixer control.
class ConnectorControlBase : public TerminalInfo, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    ConnectorControlBase(PUNKNOWN UnknownOuter, ULONG Id, NodeKind Kind);
    // Frees the type list and the jack records.
    ~ConnectorControlBase() override;

    // TerminalInfo. Every null out pointer answers STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetTerminalType(PULONG Type) override;
    STDMETHODIMP GetTypeCount(PULONG Count) override;
    STDMETHODIMP GetTypeList(PULONG Types) override;
    // Type must be in the (non-empty) list, else STATUS_INVALID_PARAMETER.
    STDMETHODIMP SelectType(ULONG Type) override;
    // Index ignored.
    STDMETHODIMP GetJackCount(PULONG Count, ULONG Index) override;
    // ByteSize and Buffer non-zero and records held, else STATUS_INVALID_PARAMETER; copies the
    // smaller of ByteSize and the records' size. Index ignored.
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) override;
    STDMETHODIMP GetPinRecord(EndpointInfo* Record) override;

protected:
    // Replaces the type list with TypeCount entries of Types (current type := the first) and the
    // jack records with JackCount copies of Jacks; the sources are the caller's. Both blocks are
    // paged pool with Tag. STATUS_INSUFFICIENT_RESOURCES keeps what was there.
    NTSTATUS InitConnector(ULONG TypeCount, const ULONG* Types, ULONG JackCount, const JackRecord* Jacks, ULONG Tag);
    // Reads the unit's jack count and records for Index into a new block and publishes it in place
    // of the old one (none for 0). Without pool: STATUS_INSUFFICIENT_RESOURCES, and a changed count
    // leaves no records and count 0 while an unchanged one keeps the records held.
    NTSTATUS LoadJacks(TerminalInfo* Unit, ULONG Index);
    // The unit's TerminalInfo, with a reference the caller releases.
    NTSTATUS QueryUnitInfo(TerminalInfo** Info);
    void FreeTypesAndJacks();

    ULONG m_TypeCount;         // 1 to TerminalMaxTypes once initialised
    PULONG m_TypeList;         // endpoint types, paged, m_ListTag
    ULONG m_CurrentType;       // endpoint type now in force; the status thread refreshes it while streams read it
    ULONG m_JackCount;         // under m_JackLock
    EndpointInfo m_PinRecord;  // the pin's endpoint record given at creation
    JackRecord* m_JackRecords; // m_JackCount entries, paged, m_ListTag; null for none; under m_JackLock
    ULONG m_ListTag;
    KernelMutex m_JackLock;    // a leaf: held only to copy or swap the jack records
    PUNKNOWN m_Unit;           // the terminal unit, not referenced (it owns this control)
};

class InputConnectorControl : public ConnectorControlBase {
public:
    InputConnectorControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Copies the terminal's types, jack records (type index 0) and current type and the pin record;
    // no sources. A type count of 0 or above TerminalMaxTypes: STATUS_INSUFFICIENT_RESOURCES.
    // TerminalUnit: not referenced (it owns this control).
    NTSTATUS InitInputConnector(PUNKNOWN TerminalUnit, const EndpointInfo* PinRecord);

    // AudioNode: reads the current type and the jack records again.
    NTSTATUS RefreshValues() override;
};

class OutputConnectorControl : public ConnectorControlBase {
public:
    OutputConnectorControl(PUNKNOWN UnknownOuter, ULONG Id);

    // Which entry of the terminal's type list this connector stands for; set before the
    // initialisation.
    void SetTypeIndex(ULONG TypeIndex) { m_TypeIndex = TypeIndex; }
    ULONG GetTypeIndex() const { return m_TypeIndex; }

    // One type (the terminal's type at the type index) with that type's jack records; source 0.
    // A type count of 0 or above TerminalMaxTypes: STATUS_INSUFFICIENT_RESOURCES; a type index not
    // below the count: STATUS_INVALID_PARAMETER.
    NTSTATUS InitOutputConnector(PUNKNOWN TerminalUnit, const EndpointInfo* PinRecord);

    // AudioNode: reads the jack records of the type index again (the type stays).
    NTSTATUS RefreshValues() override;

private:
    ULONG m_TypeIndex;
};
