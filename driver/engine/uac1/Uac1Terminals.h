// The UAC 1.0 terminal units. Both answer TerminalInfo for their connector controls and the
// topology filter, and speak the device family's vendor protocol: jack tables and jack presence,
// and, for an output terminal, the output types (speaker, headphones, line, ...) the device can be
// switched between.
//
// InputTerminal  (INPUT_TERMINAL):  one input connector; one endpoint type from wTerminalType.
// OutputTerminal (OUTPUT_TERMINAL): one output connector per output type, and a terminal-type
//                                   control when there are two or more; the current type is stored
//                                   under "UACUnit%02d" and follows the device's status interrupts.
//
// Vendor requests a device does not answer shrink the model: no jack table means no jacks, no
// type count means one type, no presence mask means every detecting jack is unplugged.
#pragma once

#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/hal/UnitNode.h"

#include <win/kernel.h>

// Size of one jack record as the device sends it: u32 channel mapping, u32 configuration word.
constexpr ULONG Uac1DeviceJackBytes = 8;
// Size of one entry of the device's output-type table.
constexpr ULONG Uac1OutputTypeEntryBytes = 6;

// Jack record of one device record: colour, connection and locations from the configuration word;
// a jack whose bits 8-11 are 0 detects presence (Reserved 1, unplugged until the mask says so).
JackRecord Uac1JackRecordOfDevice(ULONG ChannelMapping, ULONG Configuration);

// Endpoint type of a USB terminal type of an output. StreamingIsStream: 0x0101 maps to the stream
// type (the terminal's own wTerminalType) or counts as a speaker (every type the device names: its
// type table and its current type).
ULONG Uac1OutputTypeOfCode(USHORT Code, bool StreamingIsStream);

// What the terminals share: the vendor requests and the jack descriptions.
class Uac1TerminalBase : public TerminalInfo, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    Uac1TerminalBase(PUNKNOWN UnknownOuter, ULONG Id);

    // Not implemented by the UAC 1.0 terminals.
    STDMETHODIMP GetPinRecord(EndpointInfo* Record) override;

    // The terminal as its controls reach it.
    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }
    USHORT GetUsbTerminalType() const;

    // Checks the descriptor (subtype, bLength covering MinimumLength), keeps it, creates the
    // controls on ControlHal's node list and chains them.
    NTSTATUS InitTerminal(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal, UCHAR Subtype,
                          ULONG MinimumLength);
    virtual NTSTATUS CreateControls(AdapterCommon* Hal) = 0;

protected:
    // How the device answers the terminal requests: the current value of a control (jack table
    // 0x02FF, jack presence 0x0200, output type 0x0800) or the list of values it takes (output
    // types). The UAC 1.0 terminals use the family's vendor requests.
    enum class TerminalRequestKind { Current, Range };
    virtual NTSTATUS TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer, ULONG Length,
                                     PULONG Received = nullptr);
    // Whether the terminal has a jack table to read (not a USB streaming terminal).
    virtual bool HasJacks() const;
    // A device jack entry as a record.
    virtual JackRecord JackRecordOf(ULONG ChannelMapping, ULONG Configuration) const;
    // A jack table the device refuses ends the terminal's initialisation (otherwise: no jacks).
    virtual bool JackTableRequired() const { return false; }

    UCHAR GetTerminalId() const { return GetDescriptor()[3]; }
    // The jack table of the terminal (or, for an output terminal, its current output type): a
    // failed read or no jacks answers success with Count 0; STATUS_INSUFFICIENT_RESOURCES without
    // pool. Records: non-paged "UA10", freed with ExFreePoolWithTag.
    NTSTATUS ReadJackTable(PULONG Count, JackRecord** Records);
    // Copies Count records to Buffer with IsConnected from the device's presence mask.
    virtual NTSTATUS DescribeJacks(JackRecord* Records, ULONG Count, PVOID Buffer);
    NTSTATUS VendorRequest(BOOLEAN In, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length,
                           PULONG Received = nullptr);
    // The first control of Kind, without a reference; null when none.
    AudioNode* FindControlOfKind(ULONG Kind, ULONG* Position = nullptr);
};

class InputTerminal : public Uac1TerminalBase {
public:
    InputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
    ~InputTerminal() override;

    // Descriptor: an INPUT_TERMINAL whose bLength bytes the caller has bounded.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    NTSTATUS CreateControls(AdapterCommon* Hal) override;

    // TerminalInfo.
    STDMETHODIMP GetTerminalType(PULONG Type) override;
    STDMETHODIMP GetTypeCount(PULONG Count) override;
    STDMETHODIMP GetTypeList(PULONG Types) override;
    // Only the terminal's own type: STATUS_INVALID_PARAMETER for any other.
    STDMETHODIMP SelectType(ULONG Type) override;
    STDMETHODIMP GetJackCount(PULONG Count, ULONG Index) override;
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) override;

    // The input connector reports its id and reads its values again.
    NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) override;

protected:
    // The endpoint type of the terminal's USB type (GetTerminalType), and the one its pin record
    // is asked for.
    virtual ULONG InputTypeOf(USHORT Code) const;
    virtual ULONG PinEndpointTypeOf(USHORT Code) const;

private:
    bool HasJackTypes() const;

    ULONG m_JackCount;
    JackRecord* m_JackRecords;  // non-paged "UA10"; null for none
};

class OutputTerminal : public Uac1TerminalBase {
public:
    OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
    ~OutputTerminal() override;

    // Descriptor: an OUTPUT_TERMINAL whose bLength bytes the caller has bounded.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    NTSTATUS CreateControls(AdapterCommon* Hal) override;

    // TerminalInfo. Jack counts and descriptions are per type index.
    STDMETHODIMP GetTerminalType(PULONG Type) override;
    STDMETHODIMP GetTypeCount(PULONG Count) override;
    STDMETHODIMP GetTypeList(PULONG Types) override;
    // A listed type becomes current on the device and in the settings, and the output connectors
    // read their jacks again; an unlisted one: STATUS_UNSUCCESSFUL.
    STDMETHODIMP SelectType(ULONG Type) override;
    STDMETHODIMP GetJackCount(PULONG Count, ULONG Index) override;
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) override;

    // Follows the output type the device reports (a type outside the list is not taken), then
    // refreshes the terminal-type control and the output connectors.
    NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) override;

protected:
    // Of the types the device announces, how many the terminal offers (0: only its own type).
    virtual ULONG TypesOffered(ULONG Announced) const;
    // Endpoint type of an entry of the type list (a USB streaming entry is a speaker).
    virtual ULONG ListedTypeOf(USHORT Code) const;
    // Makes Types (Count of them, 1 to TerminalMaxTypes, with the USB terminal types Codes) the
    // terminal's list without jacks, the first of them current: for terminals whose device has no
    // type or jack tables.
    void SetTypes(const ULONG* Types, const USHORT* Codes, ULONG Count);
    ULONG CurrentType() const { return m_CurrentType; }
    // Type must be one of the list (IsListedType).
    void SetCurrentType(ULONG Type) { m_CurrentType = Type; }
    bool IsListedType(ULONG Type) const { return IndexOfType(Type) != m_TypeCount; }
    // The type at Index of the list; false past its end.
    bool TypeAt(ULONG Index, PULONG Type) const;
    // Writes the current type under TypeSettingName.
    void StoreCurrentType();
    void RefreshKind(ULONG Kind, bool FirstOnly, PULONG Refreshed);
    // "UACUnit" and the terminal id in at least two digits: where the current type is stored.
    void TypeSettingName(PWSTR Name, ULONG Chars) const;
    // One output connector per entry of Types with the HAL's pin record of that type, then, with
    // two types or more, a terminal-type control; objects from pool tagged PoolTag. No memory for
    // the terminal-type control: success when TypeControlOptional (the terminal keeps its type),
    // else STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS CreateTypeControls(AdapterCommon* Hal, const ULONG* Types, ULONG Count, ULONG PoolTag,
                                bool TypeControlOptional);

private:
    // Index of Type in the list, or m_TypeCount.
    ULONG IndexOfType(ULONG Type) const;
    NTSTATUS ReadCurrentCode(PUSHORT Code);
    NTSTATUS SelectCode(USHORT Code);
    // Reads the output types; one type from wTerminalType when the device names fewer than two.
    NTSTATUS ReadTypes();

    ULONG m_CurrentType;
    ULONG m_TypeCount;
    ULONG m_Types[TerminalMaxTypes];            // endpoint types
    USHORT m_Codes[TerminalMaxTypes];           // USB terminal types as the device names them
    ULONG m_JackCounts[TerminalMaxTypes];
    JackRecord* m_JackRecords[TerminalMaxTypes];  // non-paged "UA10"; null for none
};
