// The mixer control: a mixing point of the device (kind 5, a sum node in the topology filter) that
// can instead stand for the mixed signal as an input of its own: in input mode it is an input
// connector of type StereoMix with no sources and answers TerminalInfo.
#pragma once

#include "driver/engine/controls/ConnectorControl.h"

#include <win/kernel.h>
#include <win/unknown.h>

// {9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}
DEFINE_GUID(IID_MixerControl, 0x9E3FB612, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5);

// "TerT": the mixer's type list and jack record (paged).
constexpr ULONG MixerControlTypeTag = 'TreT';
// "TMix": the initial source array (paged).
constexpr ULONG MixerControlSourceTag = 'xiMT';

class MixerControl : public IUnknown {
public:
    // TRUE: input connector of type StereoMix without sources; FALSE: mixer with its sources back.
    STDMETHOD(SetInputMode)(BOOLEAN On) PURE;

protected:
    ~MixerControl() = default;
};

// The jack a mixed input reports: stereo, an internal connection, always connected.
constexpr JackRecord MixerJackRecord = {
    .ChannelMapping = 3,
    .Color = 0,
    .ConnectionType = 7,
    .GeoLocation = 14,
    .GenLocation = 1,
    .PortConnection = 1,
    .JackFlags = 0,
    .IsConnected = 1,
    .Reserved = 0,
};

class MixerControlNode : public MixerControl, public ConnectorControlBase {
public:
    DECLARE_KERNEL_UNKNOWN();

    MixerControlNode(PUNKNOWN UnknownOuter, ULONG Id);

    // MixerControl: always succeeds.
    STDMETHODIMP SetInputMode(BOOLEAN On) override;

    // Sources: as many ids 0 as the mixer unit has inputs (the unit writes the real ids later).
    // MixerUnit: not referenced (it owns this control).
    NTSTATUS InitMixer(PUNKNOWN MixerUnit);

    // AudioNode: makes the control a one-type StereoMix connector with one jack record, then sets
    // the sources and remembers their count for the way back from input mode.
    NTSTATUS SetSources(ULONG Count, const ULONG* Ids) override;

    BOOLEAN IsInputMode() const { return m_InputMode; }

private:
    BOOLEAN m_InputMode;
    ULONG m_SavedSourceCount;
};
