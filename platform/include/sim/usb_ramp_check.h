// Checks audio that crossed the simulated bus against the ramp it started as: a render sink's
// received samples against the ramp a client played, or the samples a client captured against a
// device's ramp source. Reports the first loss, repetition, reordering, silence or corrupted value,
// with its position in samples and, for a sink, the bus time of the packet that carried it.
#pragma once

#include <sim/usb_audio.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::usb {

// The ramp: value n of channel c is (start + n x step + c x channelOffset) wrapped to `bits` bits
// (two's complement), then shifted left by `shift` bits (a 16-bit ramp played into 24-bit
// containers has bits 16 and shift 8). CaptureSourceConfig's ramp is RampSpec{start, step,
// channelOffset, valid bits}.
struct RampSpec {
    int64_t start = 0;
    int64_t step = 1;  // not 0
    int64_t channelOffset = 0x100;
    unsigned bits = 16;  // 2 .. 32
    unsigned shift = 0;
    // Silent frames (every channel 0) before the ramp and after its last frame are allowed, as a
    // stream starts and ends; silence inside the ramp is a fault.
    bool allowLeadingSilence = true;
    bool allowTrailingSilence = true;
    // The ramp must begin with value 0 (n = 0); false: it may begin anywhere (a capture that starts
    // while the device's source already runs), and the first ramp frame sets n.
    bool fromStart = true;
};

enum class RampFault : uint8_t {
    None,
    NoRamp,      // nothing but silence (or nothing at all)
    Loss,        // frames missing: the ramp jumps ahead and the missing frames never come
    Repetition,  // frames that were already delivered come again
    Reordering,  // the ramp jumps ahead and the skipped frames come later
    Silence,     // silent frames inside the ramp
    Corruption,  // a value that is no frame of the ramp (wrong channel, wrong bits)
};
const char* RampFaultName(RampFault fault);

struct RampReport {
    RampFault fault = RampFault::None;
    uint64_t frame = 0;    // sample frame (index among the checked frames) where the fault shows
    unsigned channel = 0;  // Corruption: the channel with the wrong value
    int64_t expected = 0;  // ramp index n expected at `frame`
    int64_t found = 0;     // ramp index the frame holds (Loss: expected + frames lost)
    int32_t sample = 0;    // the sample as received (Corruption: of `channel`)
    std::optional<uint64_t> microframe{};  // sinks: bus time (frame x 8 + microframe) of that packet
    uint64_t leadingSilence = 0;           // silent frames before the ramp
    uint64_t rampFrames = 0;               // ramp frames in order before the fault (all of them when none)
    uint64_t trailingSilence = 0;          // silent frames after the ramp
    std::string text{};                    // one line: what and where
    bool Ok() const { return fault == RampFault::None; }
};

// The ramp a capture source plays, as the format's containers carry it (valid bits at the top of
// the container), checked from wherever a capture joins it.
RampSpec RampOfSource(const CaptureSourceConfig& source, const StreamFormat& format);

// interleaved holds frames of `channels` samples; a partial last frame is ignored.
RampReport CheckRamp(std::span<const int32_t> interleaved, unsigned channels, const RampSpec& spec);
// Every stored frame of the sink, with the bus time of the faulty frame's packet.
RampReport CheckRamp(const RenderSink& sink, const RampSpec& spec);

// Checks a ramp that arrives block by block (a long stream), keeping none of it: the first ramp
// frame may follow silence (and, unless spec.fromStart, be any frame of the ramp); every later
// block must go on from the frame after the last one checked, across block boundaries that may
// fall inside a frame. Silence inside the ramp is a fault even when it spans blocks; silence after
// the ramp is allowed only when it lasts to Finish. spec.allowLeadingSilence and
// allowTrailingSilence are taken as given.
class RampFollower {
public:
    RampFollower(const RampSpec& spec, unsigned channels);

    // The next block of interleaved samples. Answers false once a fault was found (the first fault
    // stays; later blocks are ignored).
    bool Feed(std::span<const int32_t> interleaved);
    // The end of the stream: silence still pending is trailing silence; a stream without a ramp
    // frame is NoRamp. The report covers the whole stream: frame indexes count from its first
    // frame, ramp indexes as CheckRamp numbers them.
    const RampReport& Finish();

    uint64_t Frames() const { return m_Frames; }  // whole frames fed
    uint64_t RampFrames() const { return m_RampFrames; }
    bool Ok() const { return m_Report.Ok(); }
    const RampReport& Report() const { return m_Report; }

private:
    void Fail(RampReport r);

    RampSpec m_Spec;  // start moves on to the next expected frame
    unsigned m_Channels;
    std::vector<int32_t> m_Partial{};  // samples of a frame cut by the block's end
    bool m_Started = false;            // a ramp frame was seen
    uint64_t m_Frames = 0;
    uint64_t m_LeadingSilence = 0;
    uint64_t m_RampFrames = 0;
    uint64_t m_PendingSilence = 0;  // silent frames after the last ramp frame so far
    int64_t m_NextIndex = 0;        // ramp index of the next expected frame
    RampReport m_Report{};
};

}  // namespace sim::usb
