// The interfaces through which the controls of a feature unit reach the device: one value of one
// control selector on one channel, or a control's range. Channel indexes count from 0 over the
// channels the unit gives the control; the unit maps them to USB channel numbers and encodes the
// class requests.
//   FeatureUnitChannels  one-byte values (mute, automatic gain, loudness, vendor switches);
//   FeatureUnitRanges    signed 32-bit values in 1/65536 dB (volume, tone, vendor levels).
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

class AdapterCommon;

// {AE45E80C-D8A3-4E59-B8DF-C0EC0B62F3CC}
DEFINE_GUID(IID_FeatureUnitChannels, 0xAE45E80C, 0xD8A3, 0x4E59, 0xB8, 0xDF, 0xC0, 0xEC, 0x0B, 0x62, 0xF3, 0xCC);
// {934E9EE1-3402-4AE4-B520-E1E4925FAC8E}
DEFINE_GUID(IID_FeatureUnitRanges, 0x934E9EE1, 0x3402, 0x4AE4, 0xB5, 0x20, 0xE1, 0xE4, 0x92, 0x5F, 0xAC, 0x8E);

class FeatureUnitChannels : public IUnknown {
public:
    // Operations in table order.
    STDMETHOD(GetCur)(ULONG ControlSelector, ULONG Channel, PUCHAR Value) PURE;
    STDMETHOD(SetCur)(ULONG ControlSelector, ULONG Channel, UCHAR Value) PURE;
    STDMETHOD(GetChannelCount)(ULONG ControlSelector, PULONG Count) PURE;
    // Creates the unit's controls and adds them to the HAL's node list and the unit.
    STDMETHOD(CreateControls)(AdapterCommon* Hal) PURE;

protected:
    ~FeatureUnitChannels() = default;
};
typedef FeatureUnitChannels* PFEATUREUNITCHANNELS;

class FeatureUnitRanges : public IUnknown {
public:
    // Operations in table order. Values in 1/65536 dB.
    STDMETHOD(GetCur)(ULONG ControlSelector, ULONG Channel, PLONG Value) PURE;
    STDMETHOD(SetCur)(ULONG ControlSelector, ULONG Channel, LONG Value) PURE;
    // Written only when the device answered all three.
    STDMETHOD(GetRange)(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) PURE;
    STDMETHOD(GetChannelCount)(ULONG ControlSelector, PULONG Count) PURE;

protected:
    ~FeatureUnitRanges() = default;
};
typedef FeatureUnitRanges* PFEATUREUNITRANGES;
