// Render sinks and capture sources behind the simulated isochronous endpoints.
#include <sim/usb_audio.h>

#include <cmath>
#include <cstdio>
#include <memory>

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

int32_t SignExtend(uint32_t value, unsigned bits) {
    if (bits == 0 || bits >= 32) return int32_t(value);
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return int32_t((value ^ sign) - sign);
}

void Put(FILE* f, uint32_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) std::fputc(int((value >> (8 * i)) & 0xFF), f);
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
    m_Frames = m_Packets = m_EmptyPackets = m_PartialFramePackets = m_OversizePackets = 0;
}

void RenderSink::SetFormat(const StreamFormat& format) {
    OptionalLock guard(m_Lock);
    // Stored samples keep meaning only while the frame layout stays the same.
    if (format.channels != m_Format.channels || format.subslotBytes != m_Format.subslotBytes) Clear();
    m_Format = format;
}

void RenderSink::Accept(std::span<const uint8_t> packet, uint32_t maxPacketBytes) {
    OptionalLock guard(m_Lock);
    ++m_Packets;
    if (packet.empty()) {
        ++m_EmptyPackets;
        return;
    }
    if (packet.size() > maxPacketBytes) ++m_OversizePackets;
    const uint32_t frameBytes = m_Format.FrameBytes();
    if (frameBytes == 0) return;
    if (packet.size() % frameBytes != 0) ++m_PartialFramePackets;
    const size_t frames = packet.size() / frameBytes;
    const unsigned bits = m_Format.subslotBytes * 8u;
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

bool RenderSink::WriteWav(const std::string& path) const {
    OptionalLock guard(m_Lock);
    if (m_Format.FrameBytes() == 0) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) return false;
    FILE* f = file.get();
    const uint32_t dataBytes = uint32_t(std::min<uint64_t>(m_Samples.size() * m_Format.subslotBytes, 0xFFFFFF00u));
    std::fputs("RIFF", f);
    Put(f, 36 + dataBytes, 4);
    std::fputs("WAVEfmt ", f);
    Put(f, 16, 4);
    Put(f, 1, 2);  // PCM
    Put(f, m_Format.channels, 2);
    Put(f, m_Format.rateHz, 4);
    Put(f, m_Format.rateHz * m_Format.FrameBytes(), 4);
    Put(f, m_Format.FrameBytes(), 2);
    Put(f, m_Format.subslotBytes * 8u, 2);
    std::fputs("data", f);
    Put(f, dataBytes, 4);
    for (size_t i = 0; i < dataBytes / m_Format.subslotBytes; ++i) Put(f, uint32_t(m_Samples[i]), m_Format.subslotBytes);
    return std::ferror(f) == 0;
}

// ---- CaptureSource ----

void CaptureSource::Configure(const CaptureSourceConfig& config) {
    OptionalLock guard(m_Lock);
    m_Config = config;
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
    case SourceKind::Sine: {
        if (m_Format.rateHz == 0 || bits == 0) return 0;
        const double full = std::ldexp(1.0, int(bits) - 1) - 1.0;
        const double phase = 2.0 * M_PI * m_Config.sineHz * double(n) / double(m_Format.rateHz);
        return int32_t(std::lround(m_Config.amplitude * full * std::sin(phase)));
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
    return count * frameBytes;
}

}  // namespace sim::usb
