// The units of the R7T3 and R7U5 models. Their feature units report volume in scales of their own
// and a fixed range: each converts between the device's signed 16-bit value and the 1/65536 dB of
// the control interfaces with a rule of its own. Their terminals have no jack or output-type
// tables: a terminal makes its one connector from its descriptor and asks the device nothing.
//
// A model feature unit has the interfaces of FeatureUnit, but no extension block and no vendor
// controls. Switches (mute, automatic gain, loudness) live on the master channel only; levels
// are addressed like the class's feature unit (logical channel i + 1 when several channels carry
// the selector, else the master entry, which must carry it), without the surround exchange.
#pragma once

#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/hal/UnitNode.h"
#include "driver/engine/uac1/Uac1Terminals.h"

class Uac1AudioHal;

// "R7T3" and "R7U5": the HAL objects, the units the walks create and the streams' path controls.
constexpr ULONG R7T3Tag = '3T7R';
constexpr ULONG R7U5Tag = '5U7R';
// "3T7R": the controls of the R7T3 units (the R7U5 units' controls carry "R7U5").
constexpr ULONG R7T3ControlTag = 'R7T3';

// A device value rule: Read turns the device's value into 1/65536 dB, Write the other way (both
// without the silence value, which the unit passes as 0x8000 itself); the range is fixed.
struct ModelLevelRule {
    LONG (*Read)(SHORT Device);
    SHORT (*Write)(LONG Level);
    LONG Maximum;
    LONG Minimum;
    LONG Resolution;
};

extern const ModelLevelRule R7T3Unit9Rule;   // the 38-row table
extern const ModelLevelRule R7T3Unit10Rule;  // units 10 to 12: 1.5 dB per device dB, -6 to +33 dB
extern const ModelLevelRule R7T3Unit13Rule;  // units 13, 14: 1.5 dB per device dB, +6 dB
extern const ModelLevelRule R7U5Unit9Rule;   // 192/256 dB per dB, 0 to -37 dB
extern const ModelLevelRule R7U5Unit10Rule;  // the class's own scale, 0 to +22.5 dB
extern const ModelLevelRule R7U5Unit13Rule;  // 1.5 dB steps of 384 from 3456 (0 dB)

// What a model's feature units share beyond their rule.
struct ModelUnitTraits {
    ULONG ControlTag;   // pool tag of the controls the unit creates
    bool OneByteTones;  // bass, mid and treble travel as one byte in 1/4 dB with the device's range
};

// Separate channel counts for the two interfaces: the switches see one channel, the levels the
// channels that carry them.
class ModelSwitchChannels : public FeatureUnitChannels {
public:
    STDMETHODIMP GetChannelCount(ULONG ControlSelector, PULONG Count) final {
        return SwitchChannelCount(ControlSelector, Count);
    }

protected:
    virtual NTSTATUS SwitchChannelCount(ULONG ControlSelector, PULONG Count) = 0;
};
class ModelLevelRanges : public FeatureUnitRanges {
public:
    STDMETHODIMP GetChannelCount(ULONG ControlSelector, PULONG Count) final {
        return LevelChannelCount(ControlSelector, Count);
    }

protected:
    virtual NTSTATUS LevelChannelCount(ULONG ControlSelector, PULONG Count) = 0;
};

class ModelFeatureUnit : public ModelSwitchChannels, public ModelLevelRanges, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    ModelFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, const ModelUnitTraits& Traits, const ModelLevelRule& Rule);

    // Descriptor: a FEATURE_UNIT whose bLength bytes the caller has bounded, holding the master
    // entry; else STATUS_INVALID_PARAMETER. Keeps it, creates the controls on ControlHal's node
    // list and chains them. No extension block is read.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);

    // FeatureUnitChannels: channel index 0 only (the master entry), one byte.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override;
    // Unit id, kind and source from the descriptor, then mute, volume, bass, mid, treble,
    // automatic gain and loudness, each when some entry declares it. The first failure (also a
    // control without memory) is the result.
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;

    // FeatureUnitRanges: levels through the unit's rule (one-byte tones of the R7T3 scaled by
    // 16384); the range is the rule's after the device answered GET_MAX, GET_MIN and GET_RES.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override;
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

    // A feature unit's status word names no control of its own: nothing to do.
    NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) override;

    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }

protected:
    NTSTATUS SwitchChannelCount(ULONG ControlSelector, PULONG Count) override;
    NTSTATUS LevelChannelCount(ULONG ControlSelector, PULONG Count) override;

private:
    bool IsFeatureDescriptor() const;
    ULONG DescriptorChannels() const;
    bool Declares(ULONG ControlSelector, ULONG Channel) const;
    bool HasControl(ULONG ControlSelector) const;
    bool IsOneByte(ULONG ControlSelector) const;
    // The channel number level index Index addresses; STATUS_INVALID_PARAMETER when none carries it.
    NTSTATUS LevelChannel(ULONG ControlSelector, ULONG Index, PUCHAR Number);
    NTSTATUS Request(ULONG ControlSelector, UCHAR Code, UCHAR Channel, PVOID Buffer, ULONG Length);

    const ModelUnitTraits& m_Traits;
    const ModelLevelRule& m_Rule;
};

// The model classes, chosen by the walks by unit id.
extern const ModelUnitTraits R7T3UnitTraits;
extern const ModelUnitTraits R7U5UnitTraits;
class R7T3FeatureUnit9 : public ModelFeatureUnit {
public:
    R7T3FeatureUnit9(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7T3UnitTraits, R7T3Unit9Rule) {}
};
class R7T3FeatureUnit10 : public ModelFeatureUnit {
public:
    R7T3FeatureUnit10(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7T3UnitTraits, R7T3Unit10Rule) {}
};
class R7T3FeatureUnit13 : public ModelFeatureUnit {
public:
    R7T3FeatureUnit13(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7T3UnitTraits, R7T3Unit13Rule) {}
};
class R7U5FeatureUnit9 : public ModelFeatureUnit {
public:
    R7U5FeatureUnit9(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7U5UnitTraits, R7U5Unit9Rule) {}
};
class R7U5FeatureUnit10 : public ModelFeatureUnit {
public:
    R7U5FeatureUnit10(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7U5UnitTraits, R7U5Unit10Rule) {}
};
class R7U5FeatureUnit13 : public ModelFeatureUnit {
public:
    R7U5FeatureUnit13(PUNKNOWN UnknownOuter, ULONG Id) : ModelFeatureUnit(UnknownOuter, Id, R7U5UnitTraits, R7U5Unit13Rule) {}
};

// Model terminals: one input connector from the descriptor, no jacks; nothing is asked of the
// device, not even after a status interrupt.
class ModelInputTerminal : public InputTerminal {
public:
    ModelInputTerminal(PUNKNOWN UnknownOuter, ULONG Id, ULONG ControlTag)
        : InputTerminal(UnknownOuter, Id), m_ControlTag(ControlTag) {}
    NTSTATUS CreateControls(AdapterCommon* Hal) override;

protected:
    bool HasJacks() const override { return false; }
    NTSTATUS TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer, ULONG Length,
                             PULONG Received) override;

private:
    ULONG m_ControlTag;
};

// One type, the terminal's own (also current), no jacks, no stored type: one output connector.
class ModelOutputTerminal : public OutputTerminal {
public:
    ModelOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id, ULONG ControlTag)
        : OutputTerminal(UnknownOuter, Id), m_ControlTag(ControlTag) {}
    NTSTATUS CreateControls(AdapterCommon* Hal) override;

protected:
    bool HasJacks() const override { return false; }
    NTSTATUS TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer, ULONG Length,
                             PULONG Received) override;

private:
    ULONG m_ControlTag;
};

class R7T3InputTerminal : public ModelInputTerminal {
public:
    R7T3InputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : ModelInputTerminal(UnknownOuter, Id, R7T3ControlTag) {}
};
class R7T3OutputTerminal : public ModelOutputTerminal {
public:
    R7T3OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : ModelOutputTerminal(UnknownOuter, Id, R7T3ControlTag) {}
};
class R7U5InputTerminal : public ModelInputTerminal {
public:
    R7U5InputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : ModelInputTerminal(UnknownOuter, Id, R7U5Tag) {}
};
class R7U5OutputTerminal : public ModelOutputTerminal {
public:
    R7U5OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : ModelOutputTerminal(UnknownOuter, Id, R7U5Tag) {}
};

// The walks' unit factories: the model classes by subtype and unit id, the UAC 1.0 mixer and
// selector units, FeatureUnit for any other feature unit.
NTSTATUS AddR7T3Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor);
NTSTATUS AddR7U5Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor);
