// Delay network: per sample, four delay lines joined by a feedback matrix, a high-pass feed, the
// direct/reverberant mix per channel pair, shaping filters on mid and side signals, three-tap
// output filters and a 16-bit quantiser. Every history value sits in one ring at a fixed distance
// (samples) behind the write position; a value written at distance m is read at m + delta exactly
// delta samples later. Ring regions in order of distance: the four lines (D1..D4 slots), the four
// high-pass filters (6 slots each), the seven shaping filters (2n + 1 slots each), then the output
// filter histories (21 slots). A line's oldest tap shares its slot with the next region's write,
// which comes later in the sample.
#include "driver/signal/DspDelayLines.h"

#include "driver/signal/DspCommon.h"
#include "driver/signal/DspDelayParameters.h"

#include <cmath>

namespace {

constexpr LONG kLines = 4;
constexpr LONG kShapers = 7;
constexpr LONG kFilteredInputs = 9;  // FL, FR, centre, u1..u6
constexpr LONG kHighPassSlots = 6;   // input at +0 (+1, +2 read back), output at +3 (+4, +5 read back)
constexpr LONG kInitialRateIndex = 0;  // 48 kHz
constexpr float kClipThreshold = 65535.0f / 65536.0f;
constexpr float kTopSample = 32767.0f / 32768.0f;
// Feedback values smaller than this are set to 0. Without it a network whose input has fallen
// silent circulates subnormal values in every slot for good (each costing a slow path on every
// operation); the threshold keeps every product downstream normal and is far below the 16-bit grid.
constexpr float kFlushBelow = 1e-20f;

LONG Truncated(float value) { return static_cast<LONG>(value); }

// Where the fields of one parameter set lie, and the ring distance (samples behind the write
// position) at which each quantity is written.
struct Network {
    LONG taps;  // per line
    const float* lineTaps[kLines];
    LONG firstTap[kLines];  // distance of the first tap: line write distance + D - k + 1
    const float* mix;       // m1..m8
    const float* highPass;  // b0 b1 b2 a1 a2, halves
    float centreGain;
    const float* direct;   // d1..d10
    const float* midSide;  // e1..e12
    LONG shaperTaps[kShapers];
    const float* shaper[kShapers];
    const float* weightsLeft;
    const float* weightsRight;
    const float* filterLeft;  // 5 groups of h0 h1 h2
    const float* filterRight;
    const float* feedback[kLines];  // weights of line outputs plus feeds into line j
    LONG lineWrite[kLines];
    LONG highPassWrite[kLines];
    LONG shaperWrite[kShapers];
    LONG outputWrite;  // input r of the output filters at +2r, read back at +2r+1 and +2r+2
};

Network Describe(const DspDelayRate& rate) {
    Network net{};
    const float* p = rate.parameters;
    net.taps = rate.tapsPerLine;
    LONG tapOffset[kLines];
    for (LONG j = 0; j < kLines; ++j) {
        tapOffset[j] = Truncated(*p++);
        net.lineTaps[j] = p;
        p += net.taps;
    }
    net.mix = p;
    p += 8;
    net.highPass = p;
    p += 5;
    net.centreGain = *p++;
    net.direct = p;
    p += 10;
    net.midSide = p;
    p += 12;
    for (LONG i = 0; i < kShapers; ++i) {
        net.shaperTaps[i] = Truncated(*p++);
        net.shaper[i] = p;
        p += net.shaperTaps[i];
    }
    net.weightsLeft = p;
    p += kShapers;
    net.weightsRight = p;
    p += kShapers;
    net.filterLeft = p;
    p += 15;
    net.filterRight = p;
    p += 15;
    LONG distance = 0;
    for (LONG j = 0; j < kLines; ++j) {
        net.feedback[j] = p;
        p += kLines;
        const LONG length = Truncated(*p++);
        net.lineWrite[j] = distance;
        net.firstTap[j] = distance + tapOffset[j] + 1;
        distance += length;
    }
    for (LONG j = 0; j < kLines; ++j) {
        net.highPassWrite[j] = distance;
        distance += kHighPassSlots;
    }
    for (LONG i = 0; i < kShapers; ++i) {
        net.shaperWrite[i] = distance;
        distance += 2 * net.shaperTaps[i] + 1;
    }
    net.outputWrite = distance;
    return net;
}

// The ring as seen from one write position.
class Ring {
public:
    Ring(float* memory, LONG length, LONG position) : m_Memory(memory), m_Length(length), m_Position(position) {}
    float& At(LONG distance) const {
        LONG index = m_Position - distance;
        if (index < 0) index += m_Length;
        return m_Memory[index];
    }

private:
    float* m_Memory;
    LONG m_Length;
    LONG m_Position;
};

// Onto the 16-bit grid in [-1, 32767/32768], rounding half up in single precision.
float Quantise(float y) {
    if (std::isnan(y)) return 0.0f;  // only non-finite input gets here; it plays as silence
    if (y >= kClipThreshold) y = kTopSample;
    if (y < -kClipThreshold) y = -1.0f;
    LONG q = static_cast<LONG>(65536.5f + 32768.0f * y) - 65536;
    // The single-precision sum rounds values just below the threshold up to 32768.
    if (q > 32767) q = 32767;
    return static_cast<float>(q) / 32768.0f;
}

float Flushed(float value) { return (std::fabs(value) < kFlushBelow) ? 0.0f : value; }

// h0 z(t) + h1 z(t-1) + h2 z(t-2).
float ThreeTap(const float* h, float now, float past1, float past2) { return h[0] * now + h[1] * past1 + h[2] * past2; }

}  // namespace

CDspDelayLines* CDspDelayLines::Create() {
    PVOID memory = DspAllocate(sizeof(CDspDelayLines), DspDelayTag);
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(CDspDelayLines));
    CDspDelayLines* lines = new (memory) CDspDelayLines();
    lines->Init();
    return lines;
}

void CDspDelayLines::Destroy(CDspDelayLines*& lines) {
    if (lines == nullptr) return;
    lines->~CDspDelayLines();
    ExFreePoolWithTag(lines, DspDelayTag);
    lines = nullptr;
}

void CDspDelayLines::Init() {
    m_CurrentRateIndex = kInitialRateIndex;
    m_CurrentChannelCode = 0;
    m_RequestedRateIndex = kInitialRateIndex;
    m_RequestedChannelCode = 0;
    m_MemoryLength = DspDelayRateSet(kInitialRateIndex)->memoryLength;
    m_MemoryStart = m_Memory;
    m_WritePosition = m_MemoryStart;
    RtlZeroMemory(m_MemoryStart, static_cast<SIZE_T>(m_MemoryLength) * sizeof(float));
}

void CDspDelayLines::SetFormat(LONG rateHz, ULONG channelCode) {
    m_RequestedRateIndex = DspDelayRateIndex(rateHz);
    m_RequestedChannelCode = static_cast<LONG>(channelCode);
}

void CDspDelayLines::Reset() { RtlZeroMemory(m_MemoryStart, static_cast<SIZE_T>(m_MemoryLength) * sizeof(float)); }

void CDspDelayLines::ApplyPendingFormat() {
    if (m_RequestedRateIndex == m_CurrentRateIndex && m_RequestedChannelCode == m_CurrentChannelCode) return;
    const DspDelayRate* rate = DspDelayRateSet(m_RequestedRateIndex);
    // The code is unsigned: a channel count of 0 (code 0xFFFFFFFF) is refused like any code above 7.
    if (rate == nullptr || static_cast<ULONG>(m_RequestedChannelCode) > 7) {
        m_RequestedRateIndex = m_CurrentRateIndex;
        m_RequestedChannelCode = m_CurrentChannelCode;
        return;
    }
    m_CurrentRateIndex = m_RequestedRateIndex;
    m_CurrentChannelCode = m_RequestedChannelCode;
    m_MemoryLength = rate->memoryLength;
    m_WritePosition = m_MemoryStart;
    RtlZeroMemory(m_MemoryStart, static_cast<SIZE_T>(m_MemoryLength) * sizeof(float));
}

void CDspDelayLines::Process(const float* const* inputs, float* const* outputs, LONG frames) {
    ApplyPendingFormat();
    if (frames < 1 || outputs == nullptr || outputs[0] == nullptr || outputs[1] == nullptr) return;
    const LONG used = (m_CurrentChannelCode == 7) ? 8 : (m_CurrentChannelCode == 5) ? 6 : 0;
    if (used > 0 && inputs == nullptr) return;
    for (LONG c = 0; c < used; ++c) {
        if (inputs[c] == nullptr) return;
    }
    const DspDelayRate* rate = DspDelayRateSet(m_CurrentRateIndex);
    if (rate == nullptr) return;  // only an index with a set becomes current
    const Network net = Describe(*rate);
    const LONG length = m_MemoryLength;
    LONG position = static_cast<LONG>(m_WritePosition - m_MemoryStart);

    for (LONG t = 0; t < frames; ++t) {
        // All inputs are read before an output is written: outputs may share planes 0 and 1.
        float x[kInputs];
        for (LONG c = 0; c < kInputs; ++c) x[c] = (c < used) ? inputs[c][t] : 0.0f;
        position = (position + 1 < length) ? position + 1 : 0;
        const Ring ring(m_MemoryStart, length, position);

        float lineOut[kLines];
        for (LONG j = 0; j < kLines; ++j) {
            const float* c = net.lineTaps[j];
            float sum = c[0] * ring.At(net.firstTap[j]);
            for (LONG i = 1; i < net.taps; ++i) sum += c[i] * ring.At(net.firstTap[j] + i);
            lineOut[j] = sum;
        }

        const float a = x[0] + x[3];  // the LFE goes to both sides
        const float b = x[1] + x[3];
        const float* m = net.mix;
        const float feed[kLines] = {m[0] * b + m[1] * x[5], m[2] * a + m[3] * x[4], m[4] * x[6] + m[5] * x[2],
                                    m[6] * x[7] + m[7] * x[2]};
        const float* h = net.highPass;
        float filteredFeed[kLines];
        for (LONG j = 0; j < kLines; ++j) {
            const LONG at = net.highPassWrite[j];
            const float y = Flushed(2.0f * (h[0] * feed[j] + h[1] * ring.At(at + 1) + h[2] * ring.At(at + 2) +
                                            h[3] * ring.At(at + 4) + h[4] * ring.At(at + 5)));
            ring.At(at) = feed[j];
            ring.At(at + 3) = y;
            filteredFeed[j] = y;
        }

        const float centre = net.centreGain * x[2];
        const float* d = net.direct;
        const float u[6] = {d[0] * a + d[1] * lineOut[3],    d[2] * b + d[3] * lineOut[0],
                            d[4] * x[6],                     d[5] * x[7],
                            d[6] * x[4] + d[7] * lineOut[1], d[8] * x[5] + d[9] * lineOut[2]};
        const float* e = net.midSide;
        const float shaperIn[kShapers] = {centre,
                                          e[0] * u[0] + e[1] * u[1],
                                          e[2] * u[0] + e[3] * u[1],
                                          e[4] * u[2] + e[5] * u[3],
                                          e[6] * u[2] + e[7] * u[3],
                                          e[8] * u[4] + e[9] * u[5],
                                          e[10] * u[4] + e[11] * u[5]};
        float shaped[kShapers];
        for (LONG i = 0; i < kShapers; ++i) {
            // Taps at even delays 2, 4, ..., 2n; none at delay 0.
            const LONG at = net.shaperWrite[i];
            const float* f = net.shaper[i];
            ring.At(at) = shaperIn[i];
            float sum = f[0] * ring.At(at + 2);
            for (LONG r = 1; r < net.shaperTaps[i]; ++r) sum += f[r] * ring.At(at + 2 * (r + 1));
            shaped[i] = sum;
        }
        float frontLeft = net.weightsLeft[0] * shaped[0];
        float frontRight = net.weightsRight[0] * shaped[0];
        for (LONG i = 1; i < kShapers; ++i) {
            frontLeft += net.weightsLeft[i] * shaped[i];
            frontRight += net.weightsRight[i] * shaped[i];
        }

        // Output filter inputs: FL, FR, centre, u1..u6. Input r is read back before input r + 1
        // overwrites its oldest slot.
        const float now[kFilteredInputs] = {frontLeft, frontRight, centre, u[0], u[1], u[2], u[3], u[4], u[5]};
        float past1[kFilteredInputs];
        float past2[kFilteredInputs];
        for (LONG r = 0; r < kFilteredInputs; ++r) {
            const LONG at = net.outputWrite + 2 * r;
            past1[r] = ring.At(at + 1);
            past2[r] = ring.At(at + 2);
            ring.At(at) = now[r];
        }
        const float* hl = net.filterLeft;
        const float* hr = net.filterRight;
        float yL = ThreeTap(hl, now[0], past1[0], past2[0]);
        yL += ThreeTap(hl + 3, now[2], past1[2], past2[2]);
        yL += ThreeTap(hl + 6, now[3], past1[3], past2[3]);
        yL += ThreeTap(hl + 9, now[5], past1[5], past2[5]);
        yL += ThreeTap(hl + 12, now[7], past1[7], past2[7]);
        float yR = ThreeTap(hr, now[1], past1[1], past2[1]);
        yR += ThreeTap(hr + 3, now[2], past1[2], past2[2]);
        yR += ThreeTap(hr + 6, now[4], past1[4], past2[4]);
        yR += ThreeTap(hr + 9, now[6], past1[6], past2[6]);
        yR += ThreeTap(hr + 12, now[8], past1[8], past2[8]);

        // Line inputs: the matrix over line outputs plus filtered feeds.
        for (LONG j = 0; j < kLines; ++j) {
            const float* w = net.feedback[j];
            float v = w[0] * (lineOut[0] + filteredFeed[0]);
            for (LONG i = 1; i < kLines; ++i) v += w[i] * (lineOut[i] + filteredFeed[i]);
            ring.At(net.lineWrite[j]) = Flushed(v);
        }

        outputs[0][t] = Quantise(yL);
        outputs[1][t] = Quantise(yR);
    }
    m_WritePosition = m_MemoryStart + position;
}
