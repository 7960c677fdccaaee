// The R7T5 feature units whose volume is not in the class's 1/256 dB scale: the master unit (13)
// maps its steps through a 39-row table, the monitor units (9, 11) and the record units (2, 8, 15)
// scale theirs. Values at the interface are 1/65536 dB; LevelSilence passes as the device's 0x8000
// (master) or unchanged (the scaled units). Every mapping is computed in 32 bits or wider, so no
// value wraps.
#pragma once

#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/models/R7T3Units.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"

class Uac1AudioHal;

// The master table: device step to interface value and back (1/65536 dB; device 1/256 dB raw).
LONG R7T5MasterLevelOfDevice(SHORT Raw);
SHORT R7T5MasterDeviceOfLevel(LONG Level);

enum class R7T5Scale { Monitor, Record };
// Device value (1/65536 dB) to interface value and back.
LONG R7T5ScaledLevelOfDevice(R7T5Scale Scale, LONG Device);
LONG R7T5ScaledDeviceOfLevel(R7T5Scale Scale, LONG Level);

class R7T5AudioHal;

// Its controls (R7T5MasterControls.h) also act on the render stream while the output is S/PDIF;
// a mute it sends can light the device's mute LED in register 1.
class R7T5MasterUnit : public FeatureUnit {
public:
    using FeatureUnit::FeatureUnit;
    using FeatureUnit::GetCur;
    // Keeps the HAL, reads "NeedMuteLED" and "ReverseMuteLED", then the feature unit's steps
    // without the vendor extension.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    // The mute, then the volume, when the descriptor declares them.
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;
    // The feature unit's request; once the device took it and the LED is wanted, the LED is lit
    // for a non-zero value (reversed on request).
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override;
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

private:
    R7T5AudioHal* m_pHal = nullptr;  // not referenced: the HAL owns the unit
    UCHAR m_NeedMuteLED = 0;
    UCHAR m_ReverseMuteLED = 0;
};

class R7T5ScaledUnit : public FeatureUnit {
public:
    R7T5ScaledUnit(PUNKNOWN UnknownOuter, ULONG Id, R7T5Scale Scale) : FeatureUnit(UnknownOuter, Id), m_Scale(Scale) {}
    using FeatureUnit::GetCur;
    using FeatureUnit::SetCur;
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override;
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

private:
    R7T5Scale m_Scale;
};

class R7T5MonitorUnit : public R7T5ScaledUnit {
public:
    R7T5MonitorUnit(PUNKNOWN UnknownOuter, ULONG Id) : R7T5ScaledUnit(UnknownOuter, Id, R7T5Scale::Monitor) {}
};

// The line monitor of the poll device (unit 11): the poll can force its mute on whatever the user
// chose. The device gets the user's mute OR the forced flag; the user's choice is kept apart so it
// comes back when the force ends. Only the mute (channel index 0) behaves so; the other selectors
// are the monitor unit's.
class R7T5LineMonitorUnit : public R7T5MonitorUnit {
public:
    using R7T5MonitorUnit::R7T5MonitorUnit;
    using R7T5MonitorUnit::GetCur;
    using R7T5MonitorUnit::SetCur;
    // The device's mute byte. While no force is on, it is what the user's mute now is (the device
    // may have changed it); a forced byte says nothing about the user's choice and is not adopted.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) override;
    // Keeps Value as the user's mute and sends it OR the forced flag.
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override;
    // The poll's force: kept, then the user's mute is sent again under it. Serialised with the
    // user's SetCur, so neither sends a byte computed from the other's stale half.
    NTSTATUS SetForcedMute(UCHAR Flag);

    // Read under the flags' lock: the poll thread changes the force while others look.
    UCHAR ForcedMute() { return ReadMuteFlag(&m_ForcedMute); }
    UCHAR UserMute() { return ReadMuteFlag(&m_UserMute); }

private:
    NTSTATUS SendMute(ULONG ControlSelector);
    UCHAR ReadMuteFlag(const UCHAR* Flag);

    KernelMutex m_MuteLock;  // a leaf: the two flags and the request that sends them
    UCHAR m_ForcedMute = 0;
    UCHAR m_UserMute = 0;
};

class R7T5RecordUnit : public R7T5ScaledUnit {
public:
    R7T5RecordUnit(PUNKNOWN UnknownOuter, ULONG Id) : R7T5ScaledUnit(UnknownOuter, Id, R7T5Scale::Record) {}
};

// The record selector. The device selects its record sources by fixed codes (mic record 1, line
// record 2, S/PDIF record 3, stereo mix record 4) whatever pins the rewritten descriptor leaves,
// so a pin is always sent as its source's code. The codes are known before the selector control
// is made: its init reads the selection, and a reading no pin has sets pin 1's code.
class R7T5SelectorUnit : public SelectorUnit {
public:
    using SelectorUnit::SelectorUnit;
    NTSTATUS CreateControls(AdapterCommon* Hal) override;
    // The first pin whose code the device answers; none: pin 1, whose code is then sent.
    STDMETHODIMP GetSelected(PULONG Selection) override;
    // Pin 1 to bNrInPins, else STATUS_INVALID_PARAMETER; sends the pin's code (0 for a source the
    // device has no code for).
    STDMETHODIMP SetSelected(ULONG Input) override;

private:
    static constexpr ULONG MaxPins = 255;
    UCHAR m_Codes[MaxPins] = {};  // per pin, pin 1 first
};

// Every input terminal of the R7T5: its one input connector from the descriptor's terminal type
// (controls tagged "R7T5"); the device has no jack table to read.
class R7T5InputTerminal : public ModelInputTerminal {
public:
    R7T5InputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
};

// The R7T5 walk's unit factory: the model's feature units by unit id (the line monitor only on the
// poll device, whose HAL keeps it for the poll; the record units of the 0xA5E7/0x0053 and
// 0x28DA/0x268E variants by both ids), the model's input terminals, selector and output terminal 3,
// the UAC 1.0 classes for the rest; tag "R7T5".
NTSTATUS AddR7T5Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor);
