// Moves samples between the driver's shared rings and the host's double buffers, and hands the
// host each completed half: the streaming half of the device client, apart from its requests so
// it runs on plain memory as well as on mapped rings.
//
// A unit is one sample of one channel: bytesPerSample bytes of PCM, or for DSD 8 bytes holding 64
// one-bit samples, whose two 32-bit words have their bytes reversed between ring and host.
#pragma once

#include "AsioProtocol.h"

#include <win/asio.h>
#include <win/win32.h>

#include <atomic>

namespace kv380dasio {

// One channel the host asked for: its place in the rings and its double buffers.
struct ChannelBuffer {
    ULONG isInput;        // 1 capture, 0 render
    ULONG ringIndex;      // ring-table entry of the ring carrying the channel
    ULONG channelOffset;  // the channel's place within the ring's frame
    ULONG position;       // unit of the double buffers where the next unit goes, 0 to 2N - 1
    ULONG unitsLeft;      // units until the current half is complete, 1 to N
    BYTE* host[2];        // the host's halves: one block of 2N units, host[1] = host[0] + N units
    BYTE* staging;        // render: the host's finished halves, written to the ring from here
};

class BufferSwitcher {
public:
    // The ring table (ringCount user addresses) and the channel table, both owned by the caller.
    void SetRings(SharedRingHeader* const* rings, ULONG ringCount);
    void SetChannels(ChannelBuffer* channels, ULONG count, ULONG unitsPerHalf, ULONG bytesPerSample, bool dsd);
    // Host callbacks and whether the host takes bufferSwitchTimeInfo; null callbacks stop calls.
    void SetCallbacks(const ASIOCallbacks* callbacks, bool timeInfoMode);
    // The lock its caller holds around PrepareStart and Switch: it is left while the host is
    // called, so that nobody waiting for it waits for the host (null: none).
    void SetCallGuard(CRITICAL_SECTION* guard) { m_guard = guard; }
    // Calls in progress into the host from this switcher (or through CallHost).
    LONG HostCalls() const { return m_hostCalls.load(); }
    // A stop: a switch in progress goes no further than the host call it may be in.
    void Halt() { m_halted = true; }
    // The host's asioMessage with selector, outside the call guard; answers 0 without callbacks.
    LONG CallHost(LONG selector);
    // How often a wake-up found that a whole ring lap had passed since the one before.
    ULONG Overruns() const { return m_overruns; }
    void SetSampleRate(double rate) { m_time.timeInfo.sampleRate = rate; }
    void SetTimeInfoFlags(ULONG flags) { m_time.timeInfo.flags = flags; }
    void MarkSampleRateChanged() { m_time.timeInfo.flags |= kSampleRateChanged; }
    // Clears the rate-change flags; true when a rate change was pending.
    bool TakeSampleRateChanged();
    void ResetTimeInfo();

    // Start: silence in every buffer, positions 0, the two initial switches on the calling thread,
    // then each render ring preloaded from ring offset 0 with at most maxPreloadUnits units (and
    // never more than the ring or the double buffer holds).
    void PrepareStart(ULONG maxPreloadUnits);
    // After the driver placed its positions: render channels continue where the ring expects data.
    void AlignRenderPositions();

    // One wake-up: moves every available unit, handing the host each half that completes.
    void Switch();

    ULONGLONG SamplePosition() const { return m_samplePosition; }
    ULONGLONG TimeStamp() const { return m_timeStamp; }  // ns
    ULONG HalfIndex() const { return m_halfIndex; }
    ULONG UnitsPerHalf() const { return m_unitsPerHalf; }
    ULONG BytesPerSample() const { return m_bytesPerSample; }
    ULONG ChannelCount() const { return m_channelCount; }
    bool TimeInfoMode() const { return m_timeInfoMode; }
    const ASIOTime& TimeInfo() const { return m_time; }

private:
    void HandHalfToHost(ULONG index);
    // Capture (toHost): ring to the host's double buffer; render: staging buffer to the ring.
    void CopyUnits(SharedRingHeader* ring, ChannelBuffer& channel, ULONG units, bool toHost);
    void Advance(ChannelBuffer& channel, ULONG units) const;
    void CopyUnit(BYTE* to, const BYTE* from) const;
    SharedRingHeader* Ring(const ChannelBuffer& channel) const;
    // True when the driver went round the signal ring since the last wake-up: the periods that
    // passed carry more frames than the ring holds beyond what is available now.
    bool LappedSince(const SharedRingHeader* signal, ULONG availableFrames);
    void LeaveGuard();
    void EnterGuard();

    SharedRingHeader* const* m_rings = nullptr;
    ULONG m_ringCount = 0;
    ChannelBuffer* m_channels = nullptr;
    ULONG m_channelCount = 0;
    ULONG m_unitsPerHalf = 0;    // N
    ULONG m_bytesPerSample = 2;  // w
    bool m_dsd = false;
    const ASIOCallbacks* m_callbacks = nullptr;
    bool m_timeInfoMode = false;
    ASIOTime m_time{};
    ULONG m_halfIndex = 0;
    ULONGLONG m_samplePosition = 0;  // samples handed to the host (one-bit samples for DSD)
    ULONGLONG m_timeStamp = 0;       // ns of the last switch
    CRITICAL_SECTION* m_guard = nullptr;
    std::atomic<LONG> m_hostCalls{0};
    bool m_halted = false;
    ULONG m_lastPeriods = 0;      // the signal ring's periods at the last wake-up
    ULONG m_framesPerPeriod = 0;  // the fewest frames one period brought so far (0: not known yet)
    ULONG m_overruns = 0;
};

}  // namespace kv380dasio
