// The unit objects of a UAC 2.0 AudioControl interface other than the terminals:
//
//   ClockSource      CLOCK_SOURCE   one sample-rate control; answers SampleRateControl itself with
//                                   the clock's class requests (rates from RANGE, CUR, validity).
//   Uac2FeatureUnit  FEATURE_UNIT   one control per control selector the bmaControls (4 bytes per
//                                   channel, 2 bits per selector) or the unit's extended control
//                                   block (read over MEM) declare; mute is required.
//   Uac2SelectorUnit SELECTOR_UNIT  the UAC 1.0 selector unit with the release-2 requests.
//   PlainUnit        MIXER_UNIT, EXTENSION_UNIT: one mixer control over the unit's inputs.
//
// Every request is a class request to the entity through the adapter's transport. A status
// message re-reads the control it names before that control is reported.
#pragma once

#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/hal/UnitNode.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"

#include <win/kernel.h>

// "UA20": the units' controls, the extended control block, request scratch (non-paged) and the
// source-id scratch (paged).
constexpr ULONG Uac2UnitTag = '02AU';

// Release-2 AudioControl descriptor subtypes.
constexpr UCHAR Uac2HeaderSubtype = 1;
constexpr UCHAR Uac2InputTerminalSubtype = 2;
constexpr UCHAR Uac2OutputTerminalSubtype = 3;
constexpr UCHAR Uac2MixerUnitSubtype = 4;
constexpr UCHAR Uac2SelectorUnitSubtype = 5;
constexpr UCHAR Uac2FeatureUnitSubtype = 6;
constexpr UCHAR Uac2ExtensionUnitSubtype = 9;
constexpr UCHAR Uac2ClockSourceSubtype = 10;

// Class request codes (bRequest; the direction bit says GET or SET).
constexpr UCHAR Uac2RequestCur = 1;
constexpr UCHAR Uac2RequestRange = 2;
constexpr UCHAR Uac2RequestMem = 3;

// Clock source control selectors.
constexpr ULONG Uac2ClockFrequencySelector = 1;
constexpr ULONG Uac2ClockValidSelector = 2;

// Feature unit control selectors with bit 7 set live in the extended control block.
constexpr ULONG Uac2ExtendedSelectorFlag = 0x80;
// The extended control block: u16 size at MEM offset 16, u32 entries (master first) from 18.
constexpr ULONG Uac2ExtendedSizeOffset = 16;
constexpr ULONG Uac2ExtendedEntriesOffset = 18;

// A class request to entity EntityId of the AudioControl interface; In: GET. Received: see
// SendUac1UnitRequest (null: the whole Length must arrive).
NTSTATUS SendUac2UnitRequest(AdapterCommon* Hal, BOOLEAN In, UCHAR Request, USHORT Value, UCHAR EntityId,
                             PVOID Buffer, ULONG Length, PULONG Received = nullptr);

// The unit's one control re-reads its values and names itself (Word0, Word1: the message's
// control selector and channel, not looked at). STATUS_UNSUCCESSFUL for a unit with another number
// of controls.
NTSTATUS RefreshOnlyControl(UnitNode* Unit, PULONG ControlId);

class ClockSource : public SampleRateControl, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    ClockSource(PUNKNOWN UnknownOuter, ULONG Id);

    // Descriptor: a CLOCK_SOURCE whose bLength the caller has bounded (8 bytes at least). Unit id
    // bClockID, kind 10, no sources, one sample-rate control on ControlHal's node list.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);

    // SampleRateControl, through the clock's requests. GetRates: Count in is the room of Rates;
    // out the sub-ranges that arrived (at most the room). A sub-range that is not a single rate
    // gives 0 and the result STATUS_INVALID_PARAMETER (the others are still written).
    STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override;
    STDMETHODIMP GetRateCount(PULONG Count) override;
    STDMETHODIMP SetRate(ULONG Rate) override;
    STDMETHODIMP GetRate(PULONG Rate) override;
    STDMETHODIMP IsClockValid(PUCHAR Valid) override;
    // The unit keeps no rates of its own: STATUS_NOT_IMPLEMENTED.
    STDMETHODIMP Init(ULONG RateCount, const ULONG* Rates) override;

    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;

private:
    NTSTATUS Request(BOOLEAN In, UCHAR Code, ULONG ControlSelector, PVOID Buffer, ULONG Length, PULONG Received);

    ULONG m_OfferedRates;  // sub-ranges of the frequency RANGE; 0 until read
};

// Most controls one feature unit creates (one per selector it knows).
constexpr ULONG Uac2FeatureMaxControls = 10;

class Uac2FeatureUnit : public FeatureUnitChannels, public FeatureUnitRanges, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    Uac2FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the extended control block.
    ~Uac2FeatureUnit() override;

    // Descriptor: a FEATURE_UNIT whose bLength the caller has bounded (master entry and iFeature).
    // Reads the extended control block (never fails on it), creates the controls and chains them.
    // Without a mute control: STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);

    // Does any entry (master included) declare the selector (either bit of its pair).
    bool HasControl(ULONG ControlSelector) const;
    bool HasExtendedBlock() const { return m_pExtended != nullptr; }

    // FeatureUnitChannels: one-byte values.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override;
    // Both interfaces: the channels 1..n that declare the selector; 1 when only the master does;
    // 0 with STATUS_UNSUCCESSFUL when none does.
    STDMETHODIMP GetChannelCount(ULONG ControlSelector, PULONG Count) override;
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;

    // FeatureUnitRanges: 1/65536 dB. Bass, mid and treble travel as one byte in 1/4 dB, every
    // other level as two bytes in 1/256 dB; values sent are saturated to the field.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override;
    // One sub-range only (else STATUS_UNSUCCESSFUL): its MAX, MIN and RES.
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

    // The control of the message's selector re-reads its values and is reported.
    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;

    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }

private:
    enum class Access { Any, Read, Write };
    bool IsFeatureDescriptor() const;
    // Entries of the descriptor (master included), and of the extended block.
    ULONG DescriptorEntries() const;
    ULONG ExtendedEntries() const;
    // Does entry Channel (0 the master) have the selector's bit for Need.
    bool Declares(ULONG ControlSelector, ULONG Channel, Access Need) const;
    NTSTATUS ChannelNumber(ULONG ControlSelector, ULONG Index, Access Need, PUCHAR Number);
    void ReadExtendedBlock(AdapterCommon* Hal);
    NTSTATUS Request(BOOLEAN In, UCHAR Code, ULONG ControlSelector, UCHAR Channel, PVOID Buffer, ULONG Length);
    // Creates the control of one selector; an allocation failure leaves it out (Optional).
    template <class Control, class Initialise>
    NTSTATUS AddControlFor(ULONG ControlSelector, AdapterCommon* Hal, ULONG* NextId, Control* Created,
                           Initialise Init);

    PUCHAR m_pExtended;  // non-paged "UA20", m_ExtendedSize bytes; null without a block
    ULONG m_ExtendedSize;
    // The controls this unit made, by selector (not referenced: the control list holds them).
    ULONG m_ControlCount;
    ULONG m_Selectors[Uac2FeatureMaxControls];
    AudioNode* m_Controls[Uac2FeatureMaxControls];
};

class Uac2SelectorUnit : public SelectorUnit {
public:
    Uac2SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // Selector: GET and SET CUR of the selector control (one byte).
    STDMETHODIMP GetSelected(PULONG Selection) override;
    STDMETHODIMP SetSelected(ULONG Input) override;

    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;
};

class PlainUnit : public UnitNode {
public:
    PlainUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // Descriptor: a MIXER_UNIT or EXTENSION_UNIT whose bLength the caller has bounded. Unit id,
    // kind (4 or 9), the inputs as sources and one mixer control.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);

    NTSTATUS HandleStatusInterrupt(ULONG ControlSelector, ULONG Channel, PULONG ControlId) override;
};
