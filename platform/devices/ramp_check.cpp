// The ramp checker: walks received frames against the ramp they should hold and classifies the
// first departure from it.
#include <sim/usb_ramp_check.h>

#include <cstdio>
#include <vector>

namespace sim::usb {

namespace {

class Ramp {
public:
    explicit Ramp(const RampSpec& spec)
        : m_Spec(spec), m_Mask(spec.bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << spec.bits) - 1) {}

    // v as a two's complement number of the ramp's bits.
    int64_t Wrap(int64_t v) const {
        uint64_t u = uint64_t(v) & m_Mask;
        if (m_Spec.bits < 64 && ((u >> (m_Spec.bits - 1)) & 1) != 0) u |= ~m_Mask;
        return int64_t(u);
    }
    int64_t Value(int64_t n, unsigned channel) const {
        return Wrap(int64_t(uint64_t(m_Spec.start) + uint64_t(n) * uint64_t(m_Spec.step) +
                            uint64_t(channel) * uint64_t(m_Spec.channelOffset)));
    }
    // The ramp value a sample carries; nullopt when bits below the shift are set.
    std::optional<int64_t> Decode(int32_t sample) const {
        const uint32_t low = m_Spec.shift == 0 ? 0 : uint32_t(sample) & ((1u << m_Spec.shift) - 1);
        if (low != 0) return std::nullopt;
        return int64_t(sample >> m_Spec.shift);
    }
    bool Holds(const int32_t* frame, unsigned channels, int64_t n, unsigned* wrongChannel = nullptr) const {
        for (unsigned c = 0; c < channels; ++c) {
            const std::optional<int64_t> v = Decode(frame[c]);
            if (!v || *v != Value(n, c)) {
                if (wrongChannel != nullptr) *wrongChannel = c;
                return false;
            }
        }
        return true;
    }

private:
    const RampSpec& m_Spec;
    uint64_t m_Mask;
};

bool Silent(const int32_t* frame, unsigned channels) {
    for (unsigned c = 0; c < channels; ++c) {
        if (frame[c] != 0) return false;
    }
    return true;
}

void Describe(RampReport& r) {
    char text[256];
    switch (r.fault) {
        case RampFault::None:
            std::snprintf(text, sizeof text, "ramp intact: %llu frames (%llu silent before, %llu after)",
                          static_cast<unsigned long long>(r.rampFrames),
                          static_cast<unsigned long long>(r.leadingSilence),
                          static_cast<unsigned long long>(r.trailingSilence));
            break;
        case RampFault::NoRamp:
            std::snprintf(text, sizeof text, "no ramp: %llu silent frames", static_cast<unsigned long long>(r.leadingSilence));
            break;
        case RampFault::Corruption:
            std::snprintf(text, sizeof text, "corruption at frame %llu channel %u: sample %d is no value of ramp frame %lld",
                          static_cast<unsigned long long>(r.frame), r.channel, r.sample, static_cast<long long>(r.found));
            break;
        default:
            std::snprintf(text, sizeof text, "%s at frame %llu: ramp frame %lld expected, %lld found (%llu frames in order before)",
                          RampFaultName(r.fault), static_cast<unsigned long long>(r.frame),
                          static_cast<long long>(r.expected), static_cast<long long>(r.found),
                          static_cast<unsigned long long>(r.rampFrames));
            break;
    }
    r.text = text;
    if (r.microframe) {
        char where[64];
        std::snprintf(where, sizeof where, ", in the packet of bus frame %llu.%u",
                      static_cast<unsigned long long>(*r.microframe / 8), unsigned(*r.microframe % 8));
        r.text += where;
    }
}

// The ramp index a capture that joins the ramp anywhere gives its first ramp frame.
int64_t JoinIndex(const RampSpec& spec, int32_t sample) {
    const Ramp ramp(spec);
    const std::optional<int64_t> v = ramp.Decode(sample);
    const int64_t d = v ? ramp.Wrap(*v - ramp.Value(0, 0)) : 1;
    return v && d % spec.step == 0 ? d / spec.step : 0;
}

}  // namespace

const char* RampFaultName(RampFault fault) {
    switch (fault) {
        case RampFault::None: return "none";
        case RampFault::NoRamp: return "no ramp";
        case RampFault::Loss: return "loss";
        case RampFault::Repetition: return "repetition";
        case RampFault::Reordering: return "reordering";
        case RampFault::Silence: return "silence";
        case RampFault::Corruption: return "corruption";
    }
    return "fault";
}

RampSpec RampOfSource(const CaptureSourceConfig& source, const StreamFormat& format) {
    const unsigned bits = format.bitResolution != 0 ? format.bitResolution : format.subslotBytes * 8u;
    return RampSpec{.start = source.start,
                    .step = source.step,
                    .channelOffset = source.channelOffset,
                    .bits = bits,
                    .shift = format.subslotBytes * 8u > bits ? format.subslotBytes * 8u - bits : 0,
                    .fromStart = false};
}

RampReport CheckRamp(std::span<const int32_t> interleaved, unsigned channels, const RampSpec& spec) {
    RampReport r;
    if (spec.step == 0 || spec.bits < 2 || spec.bits > 32 || spec.shift >= 32) {
        r.fault = RampFault::Corruption;
        r.text = "the ramp specification is invalid (step 0, or bits outside 2..32)";
        return r;
    }
    const Ramp ramp(spec);
    const uint64_t frames = channels == 0 ? 0 : interleaved.size() / channels;
    auto at = [&](uint64_t f) { return interleaved.data() + f * channels; };

    uint64_t i = 0;
    while (spec.allowLeadingSilence && i < frames && Silent(at(i), channels)) ++i;
    if (i == frames) {
        r.fault = RampFault::NoRamp;
        r.leadingSilence = frames;
        Describe(r);
        return r;
    }
    int64_t e = 0;  // the ramp index the next frame must hold
    if (spec.fromStart) {
        // A ramp whose first frame is itself silent began on the last silent frame.
        if (i > 0 && ramp.Holds(std::vector<int32_t>(channels, 0).data(), channels, 0)) --i;
    } else {
        e = JoinIndex(spec, at(i)[0]);
    }
    r.leadingSilence = i;
    const int64_t e0 = e;

    for (uint64_t f = i; f < frames; ++f, ++e) {
        if (ramp.Holds(at(f), channels, e)) continue;
        r.frame = f;
        r.expected = e;
        r.found = e;
        r.sample = at(f)[0];
        r.rampFrames = uint64_t(e - e0);
        if (Silent(at(f), channels)) {
            uint64_t g = f;
            while (g < frames && Silent(at(g), channels)) ++g;
            if (g == frames && spec.allowTrailingSilence) {
                r = RampReport{.leadingSilence = r.leadingSilence, .trailingSilence = frames - f};
                break;
            }
            r.fault = RampFault::Silence;
            break;
        }
        const std::optional<int64_t> v0 = ramp.Decode(at(f)[0]);
        const int64_t d = v0 ? ramp.Wrap(*v0 - ramp.Value(e, 0)) : 0;
        if (!v0 || d % spec.step != 0) {
            r.fault = RampFault::Corruption;
            break;
        }
        const int64_t n = e + d / spec.step;
        r.found = n;
        unsigned wrong = 0;
        const bool holdsAnother = ramp.Holds(at(f), channels, n, &wrong);
        if (n == e || !holdsAnother) {
            r.fault = RampFault::Corruption;
            r.channel = wrong;
            r.sample = at(f)[wrong];
            break;
        }
        if (n < e) {
            r.fault = RampFault::Repetition;
            break;
        }
        // Ahead: the skipped frames either come later (reordered) or never (lost).
        r.fault = RampFault::Loss;
        for (uint64_t g = f + 1; g < frames; ++g) {
            if (ramp.Holds(at(g), channels, e)) {
                r.fault = RampFault::Reordering;
                break;
            }
        }
        break;
    }
    if (r.fault == RampFault::None) r.rampFrames = uint64_t(e - e0);
    Describe(r);
    return r;
}

RampReport CheckRamp(const RenderSink& sink, const RampSpec& spec) {
    const std::vector<int32_t> samples = sink.Interleaved();
    RampReport r = CheckRamp(samples, sink.Format().channels, spec);
    if (!r.Ok() && r.fault != RampFault::NoRamp) {
        r.microframe = sink.MicroframeOf(r.frame);
        Describe(r);
    }
    return r;
}

// ---- RampFollower ----

RampFollower::RampFollower(const RampSpec& spec, unsigned channels) : m_Spec(spec), m_Channels(channels) {}

void RampFollower::Fail(RampReport r) {
    r.leadingSilence += m_LeadingSilence;
    r.rampFrames += m_RampFrames;
    r.trailingSilence = 0;
    Describe(r);
    m_Report = std::move(r);
}

bool RampFollower::Feed(std::span<const int32_t> interleaved) {
    if (!m_Report.Ok()) return false;
    if (m_Channels == 0) {
        Fail(RampReport{.fault = RampFault::Corruption});
        m_Report.text = "a ramp of no channels";
        return false;
    }
    std::vector<int32_t> joined;
    if (!m_Partial.empty()) {
        joined.reserve(m_Partial.size() + interleaved.size());
        joined.assign(m_Partial.begin(), m_Partial.end());
        joined.insert(joined.end(), interleaved.begin(), interleaved.end());
        interleaved = joined;
    }
    const uint64_t frames = interleaved.size() / m_Channels;
    std::span<const int32_t> whole = interleaved.first(frames * m_Channels);
    m_Partial.assign(interleaved.begin() + std::ptrdiff_t(whole.size()), interleaved.end());
    if (frames == 0) return true;

    // Once the ramp runs, a block starts on the expected frame; silence at a block's end waits
    // for the next block to say whether the ramp goes on after it.
    RampSpec spec = m_Spec;
    spec.allowTrailingSilence = true;
    if (m_Started) spec.allowLeadingSilence = false;
    RampReport r = CheckRamp(whole, m_Channels, spec);
    if (r.fault == RampFault::NoRamp) {
        m_LeadingSilence += frames;
        m_Frames += frames;
        return true;
    }
    if (m_PendingSilence > 0 && !(r.Ok() && r.trailingSilence == frames)) {
        Fail(RampReport{.fault = RampFault::Silence,
                        .frame = m_Frames - m_PendingSilence,
                        .expected = m_NextIndex,
                        .found = m_NextIndex});
        return false;
    }
    if (!r.Ok()) {
        r.frame += m_Frames;
        if (m_Started) {
            r.expected += m_NextIndex;
            r.found += m_NextIndex;
        }
        Fail(std::move(r));
        return false;
    }
    if (r.rampFrames > 0) {
        if (!m_Started) {
            m_LeadingSilence += r.leadingSilence;
            m_NextIndex = m_Spec.fromStart ? 0 : JoinIndex(m_Spec, whole[r.leadingSilence * m_Channels]);
        }
        // The next block goes on from the frame after the last one checked.
        const int32_t last = whole[(r.leadingSilence + r.rampFrames - 1) * m_Channels];
        m_Spec.start = int64_t(last >> m_Spec.shift) + m_Spec.step;
        m_Spec.fromStart = true;
        m_NextIndex += int64_t(r.rampFrames);
        m_Started = true;
        m_RampFrames += r.rampFrames;
    }
    m_PendingSilence += r.trailingSilence;
    m_Frames += frames;
    return true;
}

const RampReport& RampFollower::Finish() {
    if (!m_Report.Ok()) return m_Report;
    RampReport r{.leadingSilence = m_LeadingSilence, .rampFrames = m_RampFrames};
    if (!m_Started) {
        r = RampReport{.fault = RampFault::NoRamp, .leadingSilence = m_LeadingSilence + m_PendingSilence};
    } else if (m_PendingSilence > 0 && !m_Spec.allowTrailingSilence) {
        r.fault = RampFault::Silence;
        r.frame = m_Frames - m_PendingSilence;
        r.expected = r.found = m_NextIndex;
    } else {
        r.trailingSilence = m_PendingSilence;
    }
    Describe(r);
    m_Report = std::move(r);
    return m_Report;
}

}  // namespace sim::usb
