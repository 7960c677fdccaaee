// Look-ahead peak limiter: gathers 128-frame blocks, finds each block's peak one block before the
// block is scaled, and ramps a gain shared by all channels toward the smallest channel target.
#include "driver/signal/DspPeakLimiter.h"

#include "driver/signal/DspCommon.h"
#include "driver/signal/SignalLibrary.h"

#include <bit>

namespace {

constexpr float kSlowRiseDivisor = 10240.0f;      // a slow rise covers 1/80 of the distance per block
constexpr float kSmallestStep = 1.1920929e-07f;   // 2^-23, relative to the current gain
constexpr LONG kBufferFloats = 2 * CDspPeakLimiter::kBlockFrames;

// The next float below a positive finite value.
float NextTowardZero(float value) { return std::bit_cast<float>(std::bit_cast<ULONG>(value) - 1); }

}  // namespace

CDspPeakLimiter::CDspPeakLimiter() {
    RtlZeroMemory(&m_Format, sizeof(m_Format));
    for (LONG c = 0; c < kChannels; ++c) {
        m_InputBuffers[c] = nullptr;
        m_OutputBuffers[c] = nullptr;
        m_Gains[c] = 0.0f;
        m_CurrentGains[c] = 1.0f;
        m_TargetGains[c] = 1.0f;
        m_HeldPeaks[c] = 0.0f;
        m_FastRamp[c] = 1;
        for (LONG b = 0; b < kHistoryBlocks; ++b) m_PeakHistory[c][b] = 0.0f;
    }
    m_Half = 0;
    m_InputPosition = 0;
    m_OutputPosition = 0;
    m_Ceiling = 1.0f;
    m_HistoryIndex = 0;
    m_Mode = 0;
    m_Initialised = 0;
}

bool CDspPeakLimiter::Init() {
    if (m_Initialised != 0) return true;
    // Only missing buffers are allocated; a failure leaves nothing allocated.
    for (LONG c = 0; c < kChannels; ++c) {
        if (m_InputBuffers[c] == nullptr)
            m_InputBuffers[c] = static_cast<float*>(DspAllocate(kBufferFloats * sizeof(float), DspLimiterTag));
        if (m_OutputBuffers[c] == nullptr)
            m_OutputBuffers[c] = static_cast<float*>(DspAllocate(kBufferFloats * sizeof(float), DspLimiterTag));
        if (m_InputBuffers[c] == nullptr || m_OutputBuffers[c] == nullptr) {
            FreeBuffers();
            return false;
        }
    }
    m_Initialised = 1;
    Reset();
    return true;
}

void CDspPeakLimiter::SetMode(LONG mode) {
    m_Mode = mode;
    for (LONG c = 0; c < kChannels; ++c) m_FastRamp[c] = 1;
}

void CDspPeakLimiter::SetGain(float gain) {
    for (LONG c = 0; c < kChannels; ++c) {
        m_Gains[c] = gain;
        if (m_Mode == 0) m_FastRamp[c] = 1;
    }
}

void CDspPeakLimiter::SetCeiling(float ceiling) {
    m_Ceiling = ceiling;
    for (LONG c = 0; c < kChannels; ++c) m_FastRamp[c] = 1;
}

void CDspPeakLimiter::SetFormat(const WAVEFORMATEXTENSIBLE& format) {
    Reset();
    m_Format = format;
}

void CDspPeakLimiter::Reset() {
    if (m_Initialised == 0) return;
    for (LONG c = 0; c < kChannels; ++c) {
        ZeroFloat(m_InputBuffers[c], kBufferFloats);
        ZeroFloat(m_OutputBuffers[c], kBufferFloats);
        m_FastRamp[c] = 1;
        m_HeldPeaks[c] = 0.0f;
        ZeroFloat(m_PeakHistory[c], kHistoryBlocks);
    }
    m_InputPosition = 0;
    m_OutputPosition = 0;
    m_Half = 0;
    m_HistoryIndex = 0;
}

void CDspPeakLimiter::FreeBuffers() {
    for (LONG c = 0; c < kChannels; ++c) {
        DspFree(m_InputBuffers[c], DspLimiterTag);
        DspFree(m_OutputBuffers[c], DspLimiterTag);
    }
    // Without buffers the limiter is no longer usable until Init runs again.
    m_Initialised = 0;
}

// 1..8 for a usable format, else 0 (unconfigured: Process leaves the planes alone).
LONG CDspPeakLimiter::ConfiguredChannels() const {
    const LONG channels = m_Format.Format.nChannels;
    return (channels >= 1 && channels <= kChannels) ? channels : 0;
}

void CDspPeakLimiter::Process(float* const* planes, ULONG frames) {
    const LONG channels = ConfiguredChannels();
    if (m_Initialised == 0 || channels == 0 || planes == nullptr) return;
    for (LONG c = 0; c < channels; ++c) {
        if (planes[c] == nullptr) return;
    }
    ULONG offset = 0;  // frames into the caller's planes
    while (offset < frames) {
        const ULONG room = static_cast<ULONG>(kBlockFrames - m_InputPosition);
        const LONG chunk = static_cast<LONG>((frames - offset < room) ? frames - offset : room);
        for (LONG c = 0; c < channels; ++c) {
            MoveFloat(planes[c] + offset, m_InputBuffers[c] + (1 - m_Half) * kBlockFrames + m_InputPosition, chunk);
        }
        m_InputPosition += chunk;
        if (m_InputPosition == kBlockFrames) {
            BlockStep(channels);
            m_InputPosition = 0;
        }
        for (LONG c = 0; c < channels; ++c) {
            MoveFloat(m_OutputBuffers[c] + m_Half * kBlockFrames + m_OutputPosition, planes[c] + offset, chunk);
        }
        m_OutputPosition += chunk;
        if (m_OutputPosition == kBlockFrames) {
            m_OutputPosition = 0;
            m_Half = 1 - m_Half;
        }
        offset += static_cast<ULONG>(chunk);
    }
}

// Target of one channel from the block just gathered, with the peaks of the hold window.
float CDspPeakLimiter::ChannelTarget(LONG c, const float* block) {
    float extremes[2];
    MaxFloat(block, kBlockFrames, &extremes[0]);
    MinFloat(block, kBlockFrames, &extremes[1]);
    AbsFloatInPlace(extremes, 2);
    const float peak = (extremes[0] > extremes[1]) ? extremes[0] : extremes[1];

    float held = peak;
    for (LONG back = 1; back < kHoldBlocks; ++back) {
        const float old = m_PeakHistory[c][(m_HistoryIndex - back + kHistoryBlocks) % kHistoryBlocks];
        if (old > held) held = old;
    }
    m_HeldPeaks[c] = held;
    m_PeakHistory[c][m_HistoryIndex] = peak;

    const float gain = m_Gains[c];
    float target = gain;
    if (held != 0.0f && !(gain * held <= m_Ceiling)) {
        target = m_Ceiling / held;
        // The quotient may round up; step down until the held peak cannot exceed the ceiling
        // (a step or two: both roundings together are worth about one unit in the last place).
        for (int step = 0; step < 8 && target > 0.0f && target * held > m_Ceiling; ++step) target = NextTowardZero(target);
    }
    // A negative target, or none at all (a NaN sample), silences the block.
    return (target >= 0.0f) ? target : 0.0f;
}

void CDspPeakLimiter::BlockStep(LONG channels) {
    const LONG gathered = (1 - m_Half) * kBlockFrames;  // the block just completed
    for (LONG c = 0; c < channels; ++c) m_TargetGains[c] = ChannelTarget(c, m_InputBuffers[c] + gathered);
    m_HistoryIndex = (m_HistoryIndex + 1) % kHistoryBlocks;

    float common = 0.0f;
    MinFloat(m_TargetGains, channels, &common);

    // The gain pass scales the previous block (half h) into the output half being filled (1 - h).
    for (LONG c = 0; c < channels; ++c) {
        const float* in = m_InputBuffers[c] + m_Half * kBlockFrames;
        float* out = m_OutputBuffers[c] + (1 - m_Half) * kBlockFrames;
        float g = m_CurrentGains[c];
        if (common > g) {
            const bool fast = m_FastRamp[c] != 0;
            float step = (common - g) / (fast ? float(kBlockFrames) : kSlowRiseDivisor);
            if (g * kSmallestStep > step) step = g * kSmallestStep;
            for (LONG i = 0; i < kBlockFrames; ++i) {
                out[i] = g * in[i];
                g = g + step;
                if (g > common) g = common;
            }
            // A fast rise completes within its block, whatever the rounding of the steps.
            if (fast) g = common;
        } else if (common < g) {
            float step = (g - common) / float(kBlockFrames);
            if (g * kSmallestStep > step) step = g * kSmallestStep;
            for (LONG i = 0; i < kBlockFrames; ++i) {
                out[i] = g * in[i];
                g = g - step;
                if (g < common) g = common;
            }
            // A fall completes within its block: rounding must not leave the gain above the
            // target when the peak block is scaled next.
            g = common;
        } else {
            MulConstFloat(in, g, out, kBlockFrames);
        }
        m_CurrentGains[c] = g;
        m_FastRamp[c] = 0;
    }
}
