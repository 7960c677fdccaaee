// The interfaces of the controls that hold per-channel values, as the topology miniport's property
// handlers and the terminal-type controls call them:
//   OnOffControl          switches (mute, automatic gain, loudness, device switches): one byte per
//                         channel, 0 off, 1 on;
//   LevelControl          ranged levels (volume, tone, device level): signed 32-bit values in
//                         1/65536 dB, LevelSilence for silence;
//   TerminalTypeListener  a control whose stored values depend on the terminal type of its jack.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

// {8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}
DEFINE_GUID(IID_OnOffControl, 0x8EDE1D42, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED);
// {B0446B44-06EB-403F-8B78-E1E963DEA3CD}
DEFINE_GUID(IID_LevelControl, 0xB0446B44, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD);
// {03449A8C-92DC-45CA-859F-AC21AD70C59F}
DEFINE_GUID(IID_TerminalTypeListener, 0x03449A8C, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F);

// -32768 dB in 1/65536 dB: silence (minus infinity).
constexpr LONG LevelSilence = static_cast<LONG>(0x80000000);
// LevelControl::SetValue and GetValue of a device level: every channel at once (read as channel 0).
constexpr ULONG LevelAllChannels = 0xFFFFFFFF;

class OnOffControl : public IUnknown {
public:
    // Operations in table order.

    // Channel's cached value; STATUS_INVALID_PARAMETER for a channel not below the count or a null
    // Value.
    STDMETHOD(GetValue)(ULONG Channel, PUCHAR Value) PURE;
    // Sends, caches and stores Value as the class does; STATUS_INVALID_PARAMETER for a channel not
    // below the count.
    STDMETHOD(SetValue)(ULONG Channel, UCHAR Value) PURE;
    // The channel count the host sees: the full count behind the terminal types Stream, SPK, HDMI
    // and Line, at most 2 behind any other.
    STDMETHOD(GetChannelCount)(PULONG Count) PURE;
    // Channel values for ChannelCount channels (all 0) and the one source SourceId.
    STDMETHOD(Init)(ULONG SourceId, ULONG ChannelCount) PURE;

protected:
    ~OnOffControl() = default;
};
typedef OnOffControl* PONOFFCONTROL;

class LevelControl : public IUnknown {
public:
    // Operations in table order.

    // Channel's cached value in 1/65536 dB; STATUS_INVALID_PARAMETER for a channel not below the
    // count or a null Value.
    STDMETHOD(GetValue)(ULONG Channel, PLONG Value) PURE;
    // Clamps to the range, quantises to the resolution, sends, caches and stores as the class does.
    STDMETHOD(SetValue)(ULONG Channel, LONG Value) PURE;
    // The device's range in 1/65536 dB; STATUS_INVALID_PARAMETER when any pointer is null.
    STDMETHOD(GetRange)(PLONG Maximum, PLONG Minimum, PLONG Resolution) PURE;
    // As OnOffControl::GetChannelCount.
    STDMETHOD(GetChannelCount)(PULONG Count) PURE;
    // Channel values for ChannelCount channels (all 0), the range and the one source SourceId.
    STDMETHOD(Init)(ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Resolution) PURE;

protected:
    ~LevelControl() = default;
};
typedef LevelControl* PLEVELCONTROL;

class TerminalTypeListener : public IUnknown {
public:
    // The jack's terminal type (an endpoint-type index) is now TerminalType: reload the values
    // stored for it, send them to the device and, when CallbackObject is given, send it a
    // ControlChangeRecord with this control's id.
    STDMETHOD(OnTerminalTypeChanged)(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) PURE;

protected:
    ~TerminalTypeListener() = default;
};
typedef TerminalTypeListener* PTERMINALTYPELISTENER;
