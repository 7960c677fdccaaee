// WaveCyclicMiniport: one StreamEngine presented to the audio stack as a wave-cyclic filter: a
// streaming pin in the engine's PCM (and other non-DSD) formats, a bridge pin towards the topology
// filter and a DAC or ADC node between them. It allows one stream at a time (WaveCyclicStream).
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/stream/StreamEngine.h"
#include "driver/front/SubdeviceInfo.h"

#include <win/kernel.h>
#include <win/ksmedia.h>
#include <win/portcls.h>

// "WAVC": the miniport, its descriptors, ranges, name, and the stream object.
constexpr ULONG WaveCyclicTag = 'CVAW';
// Characters of the subdevice name, terminator not counted.
constexpr ULONG WaveCyclicNameChars = 50;
// A KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE: what intersections produce.
constexpr ULONG WaveCyclicResultBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
static_assert(WaveCyclicResultBytes == 104 && sizeof(KSDATARANGE_AUDIO) == 88);

// {0000A5E7-0000-0010-8000-00AA00389B71}: DSD records; they never get a range.
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_DSD_RECORD, 0x0000A5E7, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
            0x71);
// {518590A2-A184-11D0-8522-00C04FD9BAF3}: the DirectSound specifier, which the filter refuses.
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3);

// Checks a stream's data format and copies its wave format (18 + cbSize bytes, at most the
// 40-byte extensible record) into *Wave, zeroed first. The size must be one a wave format
// arrives in, cbSize must fit both the data format and the record (an extensible one carries
// 22), and the engine must carry the format.
NTSTATUS ValidateWaveDataFormat(const KSDATAFORMAT* DataFormat, StreamEngine* Engine, WAVEFORMATEXTENSIBLE* Wave);

// What Init answers for an engine without PCM records: it gets no wave filter, and the start
// that installs it goes on without one.
constexpr NTSTATUS WaveCyclicNoPcmStatus = STATUS_NOT_SUPPORTED;

// The creator the front hands to every engine: a miniport for the engine at EngineIndex.
NTSTATUS CreateWaveCyclicMiniport(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType,
                                  ULONG EngineIndex);

class WaveCyclicMiniport : public CKernelUnknown, public IMiniportWaveCyclic, public SubdeviceInfo, public IPowerNotify {
public:
    DECLARE_KERNEL_UNKNOWN();

    WaveCyclicMiniport(PUNKNOWN UnknownOuter, ULONG EngineIndex);
    // Waits until no stream is left, then releases what Init took.
    ~WaveCyclicMiniport() override;

    // ---- IMiniport / IMiniportWaveCyclic ----
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                       ULONG OutputBufferLength, PVOID ResultantFormat,
                                       PULONG ResultantFormatLength) override;
    STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                           BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                           PSERVICEGROUP* ServiceGroup) override;

    // ---- SubdeviceInfo ----
    // The control id of the engine's streaming terminal ("Stream" terminal type); left as it is
    // when the path has none.
    STDMETHODIMP MapNodeToPin(PULONG Value) override;
    STDMETHODIMP GetName(PWSTR* Name) override;

    // ---- IPowerNotify ----
    // The device state is kept when it differs and lies in D0..D3.
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE NewState) override;
    ULONG DevicePowerState() const { return m_PowerState; }

    // ---- For the stream ----
    PPORTWAVECYCLIC Port() const { return m_Port; }
    AdapterCommon* Adapter() const { return m_Adapter; }
    // A stream counts itself from its Init to its destructor; the no-stream event follows.
    void StreamCreated();
    void StreamDestroyed();
    bool HasStream() const { return ReadAcquire(&m_StreamPresent) != 0; }

    // The handler of the private property (PrivateDriverPropSet id 1).
    static NTSTATUS EndpointInfoHandler(PPCPROPERTY_REQUEST Request);

private:
    NTSTATUS BuildDataRanges();
    NTSTATUS BuildDescriptor();
    NTSTATUS BuildName();
    // Frees what Init built and releases what it took; safe on a half-built miniport.
    void ReleaseAll();
    // Replaces the wave format of Result (after its KSDATAFORMAT head) with the engine's record of
    // the same channels, rate, valid bits and sub-format.
    // What an intersection may propose: channels, rates and bits both sides allow.
    struct FormatBounds {
        ULONG MaximumChannels;
        ULONG MinimumRate;
        ULONG MaximumRate;
        ULONG MinimumBits;
        ULONG MaximumBits;
    };
    NTSTATUS CompleteFromEngine(PWAVEFORMATEXTENSIBLE Wave, const FormatBounds& Bounds);

    ULONG m_EngineIndex;
    PPORTWAVECYCLIC m_Port;      // referenced
    AdapterCommon* m_Adapter;    // referenced
    StreamEngine* m_Engine;      // referenced
    PKSDATARANGE_AUDIO m_Ranges;     // paged "WAVC"
    PKSDATARANGE* m_RangePointers;   // paged "WAVC"
    ULONG m_RangeCount;
    PCPIN_DESCRIPTOR* m_Pins;        // two, paged "WAVC"
    PCFILTER_DESCRIPTOR* m_Filter;   // paged "WAVC"
    PWSTR m_Name;                    // WaveCyclicNameChars + 1, paged "WAVC"
    ULONG m_PowerState;
    LONG volatile m_StreamPresent;
    LONG volatile m_StreamCount;
    KEVENT m_NoStream;               // signalled while no stream exists
};
