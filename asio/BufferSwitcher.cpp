// Buffer switching between the shared rings and the host's double buffers.
#include "BufferSwitcher.h"

#include <win/interlocked.h>

#include <cstring>

namespace kv380dasio {

namespace {

constexpr BYTE kDsdSilence = 0x69;

ULONG FrameBytes(const SharedRingHeader* ring, ULONG bytesPerSample) { return ring->channels * bytesPerSample; }

}  // namespace

void BufferSwitcher::SetRings(SharedRingHeader* const* rings, ULONG ringCount) {
    m_rings = rings;
    m_ringCount = ringCount;
}

void BufferSwitcher::SetChannels(ChannelBuffer* channels, ULONG count, ULONG unitsPerHalf, ULONG bytesPerSample,
                                 bool dsd) {
    m_channels = channels;
    m_channelCount = channels != nullptr ? count : 0;
    m_unitsPerHalf = unitsPerHalf;
    m_bytesPerSample = bytesPerSample;
    m_dsd = dsd;
}

void BufferSwitcher::SetCallbacks(const ASIOCallbacks* callbacks, bool timeInfoMode) {
    m_callbacks = callbacks;
    m_timeInfoMode = timeInfoMode;
}

bool BufferSwitcher::TakeSampleRateChanged() {
    bool changed = (m_time.timeInfo.flags & kSampleRateChanged) != 0;
    m_time.timeInfo.flags &= ~static_cast<ULONG>(kSampleRateChanged | kClockSourceChanged);
    return changed;
}

void BufferSwitcher::ResetTimeInfo() {
    double rate = m_time.timeInfo.sampleRate;
    m_time = ASIOTime{};
    m_time.timeInfo.speed = 1.0;
    m_time.timeInfo.sampleRate = rate;
    m_time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
}

SharedRingHeader* BufferSwitcher::Ring(const ChannelBuffer& channel) const {
    return channel.ringIndex < m_ringCount ? m_rings[channel.ringIndex] : nullptr;
}

void BufferSwitcher::CopyUnit(BYTE* to, const BYTE* from) const {
    if (!m_dsd) {
        std::memcpy(to, from, m_bytesPerSample);
        return;
    }
    // DSD: each 32-bit word's bytes are reversed, in both directions.
    for (int word = 0; word < 2; ++word) {
        for (int b = 0; b < 4; ++b) to[word * 4 + b] = from[word * 4 + 3 - b];
    }
}

void BufferSwitcher::Advance(ChannelBuffer& channel, ULONG units) const {
    channel.position = (channel.position + units) % (2 * m_unitsPerHalf);
    channel.unitsLeft -= units;
    if (channel.unitsLeft == 0) channel.unitsLeft = m_unitsPerHalf;
}

void BufferSwitcher::CopyUnits(SharedRingHeader* ring, ChannelBuffer& channel, ULONG units, bool toHost) {
    const ULONG frame = FrameBytes(ring, m_bytesPerSample);
    const ULONG size = ring->dataSize;
    BYTE* buffer = toHost ? channel.host[0] : channel.staging;  // both are blocks of 2N units
    ULONG p = ReadNoFence(&ring->clientDataPosition);
    ULONG q = channel.position;
    for (ULONG i = 0; i < units; ++i) {
        BYTE* inRing = RingData(ring) + p + channel.channelOffset * m_bytesPerSample;
        BYTE* inBuffer = buffer + static_cast<size_t>(q) * m_bytesPerSample;
        if (toHost) {
            CopyUnit(inBuffer, inRing);
        } else {
            CopyUnit(inRing, inBuffer);
        }
        p = (p + frame) % size;
        q = (q + 1) % (2 * m_unitsPerHalf);
    }
    Advance(channel, units);
}

void BufferSwitcher::LeaveGuard() {
    ++m_hostCalls;
    if (m_guard != nullptr) LeaveCriticalSection(m_guard);
}

void BufferSwitcher::EnterGuard() {
    if (m_guard != nullptr) EnterCriticalSection(m_guard);
    --m_hostCalls;
}

void BufferSwitcher::HandHalfToHost(ULONG index) {
    m_timeStamp = static_cast<ULONGLONG>(timeGetTime()) * 1'000'000;
    m_samplePosition += m_dsd ? static_cast<ULONGLONG>(m_unitsPerHalf) * 64 : m_unitsPerHalf;
    const ASIOCallbacks* callbacks = m_callbacks;
    if (callbacks == nullptr) return;
    // The host is called without the guard: a stop on another thread, while the host holds a
    // lock of its own that this callback takes too, must not wait for it.
    if (m_timeInfoMode && callbacks->bufferSwitchTimeInfo != nullptr) {
        AsioTimeInfo& info = m_time.timeInfo;
        info.systemTime = ASIOTimeStamp{.hi = static_cast<ULONG>(m_timeStamp >> 32), .lo = static_cast<ULONG>(m_timeStamp)};
        info.samplePosition =
            ASIOSamples{.hi = static_cast<ULONG>(m_samplePosition >> 32), .lo = static_cast<ULONG>(m_samplePosition)};
        ASIOTime time = m_time;
        info.flags &= ~static_cast<ULONG>(kSampleRateChanged | kClockSourceChanged);
        LeaveGuard();
        callbacks->bufferSwitchTimeInfo(&time, static_cast<LONG>(index), ASIOTrue);
        EnterGuard();
    } else if (callbacks->bufferSwitch != nullptr) {
        LeaveGuard();
        callbacks->bufferSwitch(static_cast<LONG>(index), ASIOTrue);
        EnterGuard();
    }
}

LONG BufferSwitcher::CallHost(LONG selector) {
    const ASIOCallbacks* callbacks = m_callbacks;
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) return 0;
    LeaveGuard();
    const LONG answer = callbacks->asioMessage(selector, 0, nullptr, nullptr);
    EnterGuard();
    return answer;
}

bool BufferSwitcher::LappedSince(const SharedRingHeader* signal, ULONG availableFrames) {
    const ULONG periods = ReadNoFence(&signal->periods);
    const ULONG passed = periods - m_lastPeriods;
    m_lastPeriods = periods;
    if (passed == 0) return false;
    const ULONG ringFrames = signal->dataSize / FrameBytes(signal, m_bytesPerSample);
    // One period of slack: a position read just before its period was counted.
    if (m_framesPerPeriod != 0 &&
        static_cast<ULONGLONG>(passed + 1) * m_framesPerPeriod >= static_cast<ULONGLONG>(availableFrames) + ringFrames) {
        return true;
    }
    const ULONG perPeriod = availableFrames / passed;
    if (perPeriod != 0 && (m_framesPerPeriod == 0 || perPeriod < m_framesPerPeriod)) m_framesPerPeriod = perPeriod;
    return false;
}

void BufferSwitcher::PrepareStart(ULONG maxPreloadUnits) {
    m_halted = false;
    m_lastPeriods = 0;
    m_framesPerPeriod = 0;
    m_samplePosition = 0;
    m_timeStamp = 0;
    m_halfIndex = 0;
    const size_t doubleBytes = static_cast<size_t>(2) * m_unitsPerHalf * m_bytesPerSample;
    const BYTE silence = m_dsd ? kDsdSilence : 0;
    for (ULONG c = 0; c < m_channelCount; ++c) {
        ChannelBuffer& channel = m_channels[c];
        std::memset(channel.host[0], silence, doubleBytes);
        std::memset(channel.staging, silence, doubleBytes);
        channel.position = 0;
        channel.unitsLeft = m_unitsPerHalf;
    }
    HandHalfToHost(0);
    HandHalfToHost(1);
    for (ULONG c = 0; c < m_channelCount; ++c) {
        ChannelBuffer& channel = m_channels[c];
        SharedRingHeader* ring = Ring(channel);
        if (channel.isInput != 0 || ring == nullptr) continue;
        std::memcpy(channel.staging, channel.host[0], doubleBytes);
        const ULONG frame = FrameBytes(ring, m_bytesPerSample);
        if (frame == 0) continue;
        // The preload starts at the ring's beginning, where the driver's start expects it, and
        // never wraps over itself.
        ULONG units = maxPreloadUnits;
        if (units > 2 * m_unitsPerHalf) units = 2 * m_unitsPerHalf;
        if (units > ring->dataSize / frame) units = ring->dataSize / frame;
        for (ULONG i = 0; i < units; ++i) {
            CopyUnit(RingData(ring) + i * frame + channel.channelOffset * m_bytesPerSample,
                     channel.staging + static_cast<size_t>(i) * m_bytesPerSample);
        }
    }
}

void BufferSwitcher::AlignRenderPositions() {
    for (ULONG c = 0; c < m_channelCount; ++c) {
        ChannelBuffer& channel = m_channels[c];
        SharedRingHeader* ring = Ring(channel);
        if (channel.isInput != 0 || ring == nullptr) continue;
        const ULONG frame = FrameBytes(ring, m_bytesPerSample);
        if (frame == 0 || m_unitsPerHalf == 0) continue;
        channel.position = (ReadNoFence(&ring->clientDataPosition) / frame) % (2 * m_unitsPerHalf);
    }
}

void BufferSwitcher::Switch() {
    if (m_channelCount == 0 || m_unitsPerHalf == 0) return;
    SharedRingHeader* signal = nullptr;
    for (ULONG r = 0; r < m_ringCount && signal == nullptr; ++r) {
        if (m_rings[r] != nullptr && m_rings[r]->signal != 0) signal = m_rings[r];
    }
    if (signal == nullptr) return;
    const ULONG size = signal->dataSize;
    const ULONG frame = FrameBytes(signal, m_bytesPerSample);
    if (size == 0 || frame == 0) return;
    // The driver's position is read once, with acquire order: the data it wrote before it is seen.
    const ULONG driverPosition = ReadAcquire(&signal->driverPosition);
    ULONG avail = ((driverPosition - ReadNoFence(&signal->clientDonePosition) + size) % size) / frame;
    if (LappedSince(signal, avail)) {
        // A whole lap of data is lost: the host hears of it and resynchronises.
        ++m_overruns;
        CallHost(kAsioResyncRequest);
        if (m_halted) return;
    }

    while (avail > 0) {
        const ULONG left = m_channels[0].unitsLeft;
        const ULONG n = avail < left ? avail : left;
        const bool due = left <= avail;
        for (ULONG c = 0; c < m_channelCount; ++c) {
            ChannelBuffer& channel = m_channels[c];
            SharedRingHeader* ring = Ring(channel);
            if (channel.isInput == 0) continue;
            if (ring != nullptr && ring->dataSize != 0) {
                CopyUnits(ring, channel, n, true);
            } else {
                Advance(channel, n);
            }
        }
        ULONG filled = m_halfIndex;
        if (due) {
            HandHalfToHost(filled);
            m_halfIndex = 1 - m_halfIndex;
            // Stopped or disposed while the host had the half: nothing more moves.
            if (m_halted) return;
        }
        for (ULONG c = 0; c < m_channelCount; ++c) {
            ChannelBuffer& channel = m_channels[c];
            SharedRingHeader* ring = Ring(channel);
            if (channel.isInput != 0) continue;
            if (ring != nullptr && ring->dataSize != 0) {
                CopyUnits(ring, channel, n, false);
            } else {
                Advance(channel, n);
            }
            if (due) {
                std::memcpy(channel.staging + static_cast<size_t>(filled) * m_unitsPerHalf * m_bytesPerSample,
                            channel.host[filled], static_cast<size_t>(m_unitsPerHalf) * m_bytesPerSample);
            }
        }
        for (ULONG r = 0; r < m_ringCount; ++r) {
            SharedRingHeader* ring = m_rings[r];
            if (ring == nullptr || ring->active == 0 || ring->dataSize == 0) continue;
            const ULONG step = static_cast<ULONG>((static_cast<ULONGLONG>(FrameBytes(ring, m_bytesPerSample)) * n) % ring->dataSize);
            // Release order: the driver sees the data written before the positions that cover it.
            WriteRelease(&ring->clientDataPosition, (ReadNoFence(&ring->clientDataPosition) + step) % ring->dataSize);
            WriteRelease(&ring->clientDonePosition, (ReadNoFence(&ring->clientDonePosition) + step) % ring->dataSize);
        }
        avail -= n;
    }
}

}  // namespace kv380dasio
