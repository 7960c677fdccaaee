// Render sinks and capture sources behind the simulated isochronous endpoints.
#include "wav_file.h"

#include <sim/usb_audio.h>

#include <algorithm>
#include <cmath>

namespace sim::usb {

namespace {

// Locks the device's lock when the object belongs to a device.
class OptionalLock {
public:
    explicit OptionalLock(std::recursive_mutex* lock) : m_Lock(lock) {
        if (m_Lock) m_Lock->lock();
    }
    ~OptionalLock() {
        if (m_Lock) m_Lock->unlock();
    }
    OptionalLock(const OptionalLock&) = delete;
    OptionalLock& operator=(const OptionalLock&) = delete;

private:
    std::recursive_mutex* m_Lock;
};

// Device sample period that begins at bus time `microframe` (125 us units) on the device clock.
uint64_t DevicePeriod(uint32_t rateHz, int32_t clockPpm, uint64_t microframe) {
    using u128 = unsigned __int128;
    const u128 scale = u128(rateHz) * uint64_t(int64_t(1'000'000) + clockPpm);
    return uint64_t(scale * microframe / u128(8000ull * 1'000'000ull));
}

// The tap keeps a few seconds when no capture source trims it.
constexpr uint64_t kTapSeconds = 4;

int32_t SignExtend(uint32_t value, unsigned bits) {
    if (bits == 0 || bits >= 32) return int32_t(value);
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return int32_t((value ^ sign) - sign);
}

}  // namespace

// ---- RenderSink ----

StreamFormat RenderSink::Format() const {
    OptionalLock guard(m_Lock);
    return m_Format;
}
uint64_t RenderSink::Frames() const {
    OptionalLock guard(m_Lock);
    return m_Frames;
}
uint64_t RenderSink::Packets() const {
    OptionalLock guard(m_Lock);
    return m_Packets;
}
uint64_t RenderSink::EmptyPackets() const {
    OptionalLock guard(m_Lock);
    return m_EmptyPackets;
}
uint64_t RenderSink::PartialFramePackets() const {
    OptionalLock guard(m_Lock);
    return m_PartialFramePackets;
}
uint64_t RenderSink::OversizePackets() const {
    OptionalLock guard(m_Lock);
    return m_OversizePackets;
}
int64_t RenderSink::Backlog() const {
    OptionalLock guard(m_Lock);
    return m_Backlog;
}
int64_t RenderSink::MinBacklog() const {
    OptionalLock guard(m_Lock);
    return m_MinBacklog;
}
int64_t RenderSink::MaxBacklog() const {
    OptionalLock guard(m_Lock);
    return m_MaxBacklog;
}
void RenderSink::SetCapacityFrames(uint64_t frames) {
    OptionalLock guard(m_Lock);
    m_CapacityFrames = frames;
}

uint64_t RenderSink::StoredFrames() const {
    OptionalLock guard(m_Lock);
    return m_Format.channels == 0 ? 0 : m_Samples.size() / m_Format.channels;
}

int32_t RenderSink::Sample(uint64_t frame, unsigned channel) const {
    OptionalLock guard(m_Lock);
    if (channel >= m_Format.channels) return 0;
    const uint64_t at = frame * m_Format.channels + channel;
    return at < m_Samples.size() ? m_Samples[at] : 0;
}

std::vector<int32_t> RenderSink::Interleaved() const {
    OptionalLock guard(m_Lock);
    return m_Samples;
}

std::vector<int32_t> RenderSink::TakeInterleaved() {
    OptionalLock guard(m_Lock);
    std::vector<int32_t> taken;
    taken.swap(m_Samples);
    m_Marks.clear();
    return taken;
}

std::optional<uint64_t> RenderSink::MicroframeOf(uint64_t frame) const {
    OptionalLock guard(m_Lock);
    if (m_Format.channels == 0 || frame >= m_Samples.size() / m_Format.channels) return std::nullopt;
    auto it = std::upper_bound(m_Marks.begin(), m_Marks.end(), frame,
                               [](uint64_t f, const PacketMark& m) { return f < m.firstFrame; });
    if (it == m_Marks.begin()) return std::nullopt;
    return std::prev(it)->microframe;
}

std::vector<int32_t> RenderSink::Channel(unsigned channel) const {
    OptionalLock guard(m_Lock);
    std::vector<int32_t> out;
    if (channel >= m_Format.channels) return out;
    for (size_t at = channel; at < m_Samples.size(); at += m_Format.channels) out.push_back(m_Samples[at]);
    return out;
}

void RenderSink::Clear() {
    OptionalLock guard(m_Lock);
    m_Samples.clear();
    m_Marks.clear();
    m_Frames = m_Packets = m_EmptyPackets = m_PartialFramePackets = m_OversizePackets = 0;
    RestartStream();
}

void RenderSink::RestartStream() {
    OptionalLock guard(m_Lock);
    m_Playing = false;
    m_PlayStart = m_StreamFrames = 0;
    m_Backlog = m_MinBacklog = m_MaxBacklog = 0;
    m_Fifo = {};
    m_FifoStart = m_FifoLast = m_FifoDrained = 0;
}

void RenderSink::SetFifo(const FifoConfig& config) {
    OptionalLock guard(m_Lock);
    m_FifoConfig = config;
    m_Fifo = {};
    m_FifoStart = m_FifoLast = m_FifoDrained = 0;
}

FifoConfig RenderSink::FifoSetting() const {
    OptionalLock guard(m_Lock);
    return m_FifoConfig;
}
FifoStatistics RenderSink::Fifo() const {
    OptionalLock guard(m_Lock);
    return m_Fifo;
}

// The device clock's shares of every (micro)frame from the start of playback up to `microframe`
// leave the FIFO; a share that finds too few frames plays silence for the rest.
void RenderSink::DrainFifo(uint64_t microframe, int32_t clockPpm) {
    if (!m_Fifo.running || m_Format.rateHz == 0) return;
    using u128 = unsigned __int128;
    const u128 scale = u128(m_Format.rateHz) * uint64_t(int64_t(1'000'000) + clockPpm);
    // One step per microframe keeps the count of dry (micro)frames exact at either speed.
    for (uint64_t t = m_FifoLast + 1; t <= microframe; ++t) {
        const auto due = uint64_t(scale * (t - m_FifoStart) / u128(8000ull * 1'000'000ull));
        const int64_t share = int64_t(due - m_FifoDrained);
        m_FifoDrained = due;
        if (share == 0) continue;
        if (m_Fifo.level < share) {
            ++m_Fifo.underruns;
            m_Fifo.level = 0;
        } else {
            m_Fifo.level -= share;
        }
        m_Fifo.minLevel = std::min(m_Fifo.minLevel, m_Fifo.level);
    }
    m_FifoLast = std::max(m_FifoLast, microframe);
}

void RenderSink::FillFifo(uint64_t frames, uint64_t microframe) {
    if (m_FifoConfig.depthFrames == 0) return;
    m_Fifo.level += int64_t(frames);
    if (m_Fifo.level > int64_t(m_FifoConfig.depthFrames)) {
        ++m_Fifo.overruns;
        m_Fifo.level = m_FifoConfig.depthFrames;
    }
    if (!m_Fifo.running && m_Fifo.level >= int64_t(m_FifoConfig.startFrames)) {
        m_Fifo.running = true;
        m_FifoStart = m_FifoLast = microframe;
        m_FifoDrained = 0;
        m_Fifo.minLevel = m_Fifo.maxLevel = m_Fifo.level;
    }
    if (m_Fifo.running) m_Fifo.maxLevel = std::max(m_Fifo.maxLevel, m_Fifo.level);
}

void RenderSink::SetFormat(const StreamFormat& format) {
    OptionalLock guard(m_Lock);
    // Stored samples keep meaning only while the frame layout stays the same.
    if (format.channels != m_Format.channels || format.subslotBytes != m_Format.subslotBytes) Clear();
    m_Format = format;
}

void RenderSink::Accept(std::span<const uint8_t> packet, uint32_t maxPacketBytes, uint64_t microframe,
                        int32_t clockPpm) {
    OptionalLock guard(m_Lock);
    ++m_Packets;
    const uint32_t frameBytes = m_Format.FrameBytes();
    if (m_Playing && m_Format.rateHz != 0) {
        // Frames the device clock has played since the stream's first packet.
        using u128 = unsigned __int128;
        const u128 scale = u128(m_Format.rateHz) * uint64_t(int64_t(1'000'000) + clockPpm);
        const uint64_t elapsed = microframe > m_PlayStart ? microframe - m_PlayStart : 0;  // 125 us units
        const auto played = int64_t(scale * elapsed / u128(8000ull * 1'000'000ull));
        m_Backlog = int64_t(m_StreamFrames) - played;
        m_MinBacklog = std::min(m_MinBacklog, m_Backlog);
        m_MaxBacklog = std::max(m_MaxBacklog, m_Backlog);
    }
    DrainFifo(microframe, clockPpm);
    if (packet.empty()) {
        ++m_EmptyPackets;
        return;
    }
    if (packet.size() > maxPacketBytes) ++m_OversizePackets;
    if (frameBytes == 0) return;
    if (packet.size() % frameBytes != 0) ++m_PartialFramePackets;
    const size_t frames = packet.size() / frameBytes;
    if (!m_Playing) {
        m_Playing = true;
        m_PlayStart = microframe;
        m_TapNext = DevicePeriod(m_Format.rateHz, clockPpm, microframe);
    }
    if (m_TapOn) Tap(packet.data(), frames);
    m_StreamFrames += frames;
    FillFifo(frames, microframe);
    const unsigned bits = m_Format.subslotBytes * 8u;
    const uint64_t stored = m_Samples.size() / m_Format.channels;
    if (stored < m_CapacityFrames) m_Marks.push_back(PacketMark{.firstFrame = stored, .microframe = microframe});
    for (size_t f = 0; f < frames; ++f) {
        if (m_Samples.size() / m_Format.channels >= m_CapacityFrames) break;
        for (unsigned c = 0; c < m_Format.channels; ++c) {
            const uint8_t* s = packet.data() + f * frameBytes + c * m_Format.subslotBytes;
            uint32_t v = 0;
            for (unsigned i = 0; i < m_Format.subslotBytes; ++i) v |= uint32_t(s[i]) << (8 * i);
            m_Samples.push_back(SignExtend(v, bits));
        }
    }
    m_Frames += frames;
}

void RenderSink::SetTap(bool on) {
    OptionalLock guard(m_Lock);
    m_TapOn = on;
    m_Tap.clear();
    m_TapStart = m_TapNext;
}

// Appends a packet's frames at the sample periods the device plays them in. A new stream that starts
// after the tap's end leaves silence between (or starts the tap afresh after a long pause); one that
// starts earlier replaces what the old stream had queued from there on.
void RenderSink::Tap(const uint8_t* data, size_t frames) {
    const unsigned channels = m_Format.channels;
    const uint64_t limit = std::max<uint64_t>(m_Format.rateHz, 1) * kTapSeconds;
    const uint64_t end = m_TapStart + m_Tap.size() / channels;
    if (m_Tap.empty() || m_TapNext < m_TapStart || m_TapNext - end > limit) {
        m_Tap.clear();
        m_TapStart = m_TapNext;
    } else if (m_TapNext > end) {
        m_Tap.insert(m_Tap.end(), (m_TapNext - end) * channels, 0);
    } else {
        m_Tap.resize((m_TapNext - m_TapStart) * channels);
    }
    const uint32_t frameBytes = m_Format.FrameBytes();
    const unsigned bits = m_Format.subslotBytes * 8u;
    for (size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            const uint8_t* s = data + f * frameBytes + c * m_Format.subslotBytes;
            uint32_t v = 0;
            for (unsigned i = 0; i < m_Format.subslotBytes; ++i) v |= uint32_t(s[i]) << (8 * i);
            m_Tap.push_back(SignExtend(v, bits));
        }
    }
    m_TapNext += frames;
    const uint64_t stored = m_Tap.size() / channels;
    if (stored > limit) TrimTap(m_TapStart + stored - limit);
}

int32_t RenderSink::TapSample(uint64_t n, unsigned channel) const {
    OptionalLock guard(m_Lock);
    if (channel >= m_Format.channels || n < m_TapStart) return 0;
    const uint64_t at = (n - m_TapStart) * m_Format.channels + channel;
    return at < m_Tap.size() ? m_Tap[at] : 0;
}

void RenderSink::TrimTap(uint64_t n) {
    OptionalLock guard(m_Lock);
    if (n <= m_TapStart || m_Format.channels == 0) return;
    const uint64_t drop = std::min<uint64_t>((n - m_TapStart) * m_Format.channels, m_Tap.size());
    m_Tap.erase(m_Tap.begin(), m_Tap.begin() + std::ptrdiff_t(drop));
    m_TapStart = n;
}

bool RenderSink::WriteWav(const std::string& path) const {
    OptionalLock guard(m_Lock);
    if (m_Format.FrameBytes() == 0) return false;
    return detail::WriteWav(path, m_Format.channels, m_Format.subslotBytes, m_Format.rateHz, m_Samples);
}

// ---- CaptureSource ----

void CaptureSource::Configure(const CaptureSourceConfig& config) {
    OptionalLock guard(m_Lock);
    m_Config = config;
}

bool CaptureSource::LoadWav(const std::string& path, std::string* error) {
    detail::WavContents wav;
    if (!detail::ReadWav(path, &wav, error)) return false;
    OptionalLock guard(m_Lock);
    m_Wav = std::move(wav.samples);
    m_WavChannels = wav.channels;
    m_WavBits = wav.bits;
    m_Config.kind = SourceKind::Wav;
    return true;
}
CaptureSourceConfig CaptureSource::Config() const {
    OptionalLock guard(m_Lock);
    return m_Config;
}
StreamFormat CaptureSource::Format() const {
    OptionalLock guard(m_Lock);
    return m_Format;
}
uint64_t CaptureSource::FramesProduced() const {
    OptionalLock guard(m_Lock);
    return m_FramesProduced;
}
void CaptureSource::SetFormat(const StreamFormat& format) {
    OptionalLock guard(m_Lock);
    m_Format = format;
}

int32_t CaptureSource::Value(uint64_t n, unsigned channel) const {
    OptionalLock guard(m_Lock);
    const unsigned bits = m_Format.bitResolution != 0 ? m_Format.bitResolution : m_Format.subslotBytes * 8u;
    switch (m_Config.kind) {
    case SourceKind::Silence:
        return 0;
    case SourceKind::Ramp: {
        const uint64_t v = uint64_t(int64_t(m_Config.start)) + n * uint64_t(int64_t(m_Config.step)) +
                           uint64_t(channel) * uint64_t(int64_t(m_Config.channelOffset));
        return SignExtend(uint32_t(v), bits);
    }
    case SourceKind::Wav: {
        const uint64_t frames = m_WavChannels == 0 ? 0 : m_Wav.size() / m_WavChannels;
        if (frames == 0 || channel >= m_WavChannels || bits == 0) return 0;
        if (n >= frames && !m_Config.loop) return 0;
        const int32_t v = m_Wav[(n % frames) * m_WavChannels + channel];
        // From the file's sample size to the valid bits: the most significant bits carry over.
        return bits >= m_WavBits ? int32_t(uint32_t(v) << (bits - m_WavBits)) : v >> (m_WavBits - bits);
    }
    case SourceKind::Sine: {
        if (m_Format.rateHz == 0 || bits == 0) return 0;
        const double full = std::ldexp(1.0, int(bits) - 1) - 1.0;
        const double phase = 2.0 * M_PI * m_Config.sineHz * double(n) / double(m_Format.rateHz);
        return int32_t(std::lround(m_Config.amplitude * full * std::sin(phase)));
    }
    case SourceKind::Loopback: {
        if (m_LoopbackSink == nullptr || n < m_Config.loopbackDelay || bits == 0) return 0;
        const unsigned renderBits = m_LoopbackSink->Format().subslotBytes * 8u;
        const int32_t v = m_LoopbackSink->TapSample(n - m_Config.loopbackDelay, channel);
        // From the render container to the valid bits: the most significant bits carry over.
        return bits >= renderBits ? int32_t(uint32_t(v) << (bits - renderBits)) : v >> (renderBits - bits);
    }
    }
    return 0;
}

uint32_t CaptureSource::Produce(uint64_t n0, uint32_t count, std::span<uint8_t> packet) {
    OptionalLock guard(m_Lock);
    const uint32_t frameBytes = m_Format.FrameBytes();
    if (frameBytes == 0) return 0;
    count = std::min<uint32_t>(count, uint32_t(packet.size() / frameBytes));
    const unsigned bits = m_Format.bitResolution != 0 ? m_Format.bitResolution : m_Format.subslotBytes * 8u;
    const unsigned shift = m_Format.subslotBytes * 8u > bits ? m_Format.subslotBytes * 8u - bits : 0;
    for (uint32_t f = 0; f < count; ++f) {
        for (unsigned c = 0; c < m_Format.channels; ++c) {
            const uint32_t v = uint32_t(Value(n0 + f, c)) << shift;  // valid bits at the top of the container
            uint8_t* d = packet.data() + size_t(f) * frameBytes + c * m_Format.subslotBytes;
            for (unsigned i = 0; i < m_Format.subslotBytes; ++i) d[i] = uint8_t(v >> (8 * i));
        }
    }
    m_FramesProduced += count;
    if (m_Config.kind == SourceKind::Loopback && m_LoopbackSink != nullptr && n0 + count > m_Config.loopbackDelay) {
        m_LoopbackSink->TrimTap(n0 + count - m_Config.loopbackDelay);
    }
    return count * frameBytes;
}

}  // namespace sim::usb
