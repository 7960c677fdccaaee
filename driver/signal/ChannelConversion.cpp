// Channel mixing rules. Every formula runs per sample, in place, in single precision, evaluated
// left to right as written (the library is built without contracted multiply-adds).
#include "driver/signal/ChannelConversion.h"

#include "driver/signal/DspCommon.h"
#include "driver/signal/SignalLibrary.h"

namespace {

constexpr float kCentre = 0.707f;          // weight of centre and LFE
constexpr float kUpMixFill = 1e-12f;       // ConvertChannelsInPlace's fill of new planes
constexpr float kMatrixA = 0.871f;         // mode 0 surround weights
constexpr float kMatrixB = 0.49f;

struct Weights {
    float a;
    float b;
};

Weights WeightsFor(UCHAR mode) { return (mode == 0) ? Weights{kMatrixA, kMatrixB} : Weights{1.0f, 0.0f}; }

void ZeroPlanes(float* const* p, LONG first, LONG end, LONG n) {
    for (LONG c = first; c < end; ++c) ZeroFloat(p[c], n);
}

void FillPlanes(float* const* p, LONG first, LONG end, LONG n) {
    for (LONG c = first; c < end; ++c) FillFloat(kUpMixFill, p[c], n);
}

// Up-mix of 2, 4 and 6 channels: a four-channel rear pair moves to the first surround pair, and
// NewPlanes sets every plane the input did not fill. Other counts are left as they are.
void UpMix(float* const* p, LONG in, LONG out, LONG n, void (*NewPlanes)(float* const*, LONG, LONG, LONG)) {
    switch (in) {
    case 2:
        NewPlanes(p, 2, out, n);
        break;
    case 4:
        MoveFloat(p[2], p[4], n);
        MoveFloat(p[3], p[5], n);
        NewPlanes(p, 2, 4, n);
        NewPlanes(p, 6, out, n);
        break;
    case 6:
        NewPlanes(p, 6, out, n);
        break;
    default:
        break;
    }
}

// 4 -> 2. Mode 0 is the matrix-encoded mix; any other mode the plain mix L + a RL + b RR,
// R + a RR + b RL (the rear pair sits in planes 2 and 3).
void Mix4To2(float* const* p, LONG n, UCHAR mode) {
    const Weights w = WeightsFor(mode);
    float *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3];
    for (LONG i = 0; i < n; ++i) {
        if (mode == 0) {
            p0[i] = p0[i] - (w.b * p3[i] + w.a * p2[i]);
            p1[i] = w.a * p3[i] + w.b * p2[i] + p1[i];
        } else {
            p0[i] = p0[i] + w.a * p2[i] + w.b * p3[i];
            p1[i] = p1[i] + w.a * p3[i] + w.b * p2[i];
        }
    }
}

// 6 -> 2 of the format stage; ConvertChannelsInPlace also uses it as the first half of 6 -> 1.
void Mix6To2(float* const* p, LONG n, UCHAR mode) {
    const Weights w = WeightsFor(mode);
    float *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3], *p4 = p[4], *p5 = p[5];
    for (LONG i = 0; i < n; ++i) {
        const float s = (p3[i] + p2[i]) * kCentre;
        if (mode == 0) {
            p0[i] = s - w.a * p4[i] - w.b * p5[i] + p0[i];
        } else {
            p0[i] = s + w.a * p4[i] + w.b * p5[i] + p0[i];
        }
        p1[i] = (p2[i] + p3[i]) * kCentre + w.b * p4[i] + w.a * p5[i] + p1[i];
    }
}

void Mix6To4(float* const* p, LONG n) {
    float *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3], *p4 = p[4], *p5 = p[5];
    for (LONG i = 0; i < n; ++i) {
        const float s = (p3[i] + p2[i]) * kCentre;
        p0[i] = p0[i] + s;
        p1[i] = p1[i] + s;
        p2[i] = p4[i];
        p3[i] = p5[i];
    }
}

// 8 -> 2 of the format stage; ConvertChannelsInPlace uses it as the first half of 8 -> 1.
void Mix8To2(float* const* p, LONG n, UCHAR mode) {
    const Weights w = WeightsFor(mode);
    const float a = w.a / 2.0f, b = w.b / 2.0f;
    float *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3], *p4 = p[4], *p5 = p[5], *p6 = p[6], *p7 = p[7];
    for (LONG i = 0; i < n; ++i) {
        if (mode != 0) {
            p0[i] = (p4[i] + p6[i]) * a + (p3[i] + p2[i]) * kCentre + (p5[i] + p7[i]) * b + p0[i];
        } else {
            p0[i] = (p3[i] + p2[i]) * kCentre - (p4[i] + p6[i]) * a - (p5[i] + p7[i]) * b + p0[i];
        }
        p1[i] = (p6[i] + p4[i]) * b + (p2[i] + p3[i]) * kCentre + (p5[i] + p7[i]) * a + p1[i];
    }
}

void Mix8To4(float* const* p, LONG n, UCHAR mode) {
    const Weights w = WeightsFor(mode);
    float *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3], *p4 = p[4], *p5 = p[5], *p6 = p[6], *p7 = p[7];
    for (LONG i = 0; i < n; ++i) {
        p0[i] = (p3[i] + p2[i]) * kCentre + p0[i];
        p1[i] = (p3[i] + p2[i]) * kCentre + p1[i];
        p2[i] = w.a * p4[i] + p6[i] + w.b * p5[i];
        p3[i] = w.b * p4[i] + p7[i] + w.a * p5[i];
    }
}

void Mix8To6(float* const* p, LONG n, UCHAR mode) {
    const Weights w = WeightsFor(mode);
    float *p4 = p[4], *p5 = p[5], *p6 = p[6], *p7 = p[7];
    for (LONG i = 0; i < n; ++i) {
        const float l = p4[i], r = p5[i];
        p4[i] = l * w.a + p6[i] + r * w.b;
        p5[i] = l * w.b + p7[i] + r * w.a;
    }
}

// P0 = (P1 + P0) x 0.5: the last step of every mix to mono that goes through stereo.
void Average2To1(float* const* p, LONG n) {
    float *p0 = p[0], *p1 = p[1];
    for (LONG i = 0; i < n; ++i) p0[i] = (p1[i] + p0[i]) * 0.5f;
}

bool ValidPlanes(float* const* planes, LONG inChannels, LONG outChannels) {
    if (planes == nullptr) return false;
    if (inChannels < 1 || inChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return false;
    if (outChannels < 1 || outChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return false;
    LONG used = (inChannels > outChannels) ? inChannels : outChannels;
    // A four-channel up-mix moves the rear pair to planes 4 and 5, even for five out channels.
    if (inChannels == 4 && outChannels > 4 && used < 6) used = 6;
    for (LONG c = 0; c < used; ++c) {
        if (planes[c] == nullptr) return false;
    }
    return true;
}

}  // namespace

CChannelConversion::CChannelConversion() : m_InFormat{}, m_OutFormat{}, m_Initialised(0) {}

bool CChannelConversion::Init() {
    if (m_Initialised != 0) return false;
    m_Initialised = 1;
    return true;
}

bool CChannelConversion::SetFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat) {
    static const char kMethod[] = "CChannelConversion::SetFormat";
    if (DspResolvedTag(inFormat) != WAVE_FORMAT_IEEE_FLOAT) {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kMethod);
        return false;
    }
    if (DspResolvedTag(outFormat) != WAVE_FORMAT_IEEE_FLOAT) {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kMethod);
        return false;
    }
    // No channels at all is refused with the same text as too many.
    const LONG inChannels = inFormat.Format.nChannels, outChannels = outFormat.Format.nChannels;
    if (inChannels < 1 || inChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS || outChannels < 1 ||
        outChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kMethod);
        return false;
    }
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    return true;
}

bool CChannelConversion::Process(float* const* p, LONG n, UCHAR mode) {
    const LONG in = m_InFormat.Format.nChannels, out = m_OutFormat.Format.nChannels;
    if (in == out || n <= 0) return true;
    if (!ValidPlanes(p, in, out)) return false;
    if (in < out) {
        if (in == 1) {
            MoveFloat(p[0], p[1], n);
            ZeroPlanes(p, 2, out, n);
        } else if (in == 2 || in == 4 || in == 6) {
            UpMix(p, in, out, n, ZeroPlanes);
        } else {
            // 3, 5 and 7 channels have no layout to spread: the new planes are silence, never
            // whatever the histories held before.
            ZeroPlanes(p, in, out, n);
        }
        return true;
    }
    float *p0 = p[0], *p1 = p[1];
    switch (in * 10 + out) {
    case 21:
        Average2To1(p, n);
        break;
    case 41:
        for (LONG i = 0; i < n; ++i) p0[i] = (p1[i] + p0[i] + p[2][i] + p[3][i]) * 0.25f;
        break;
    case 42:
        Mix4To2(p, n, mode);
        break;
    case 61:
        for (LONG i = 0; i < n; ++i) p0[i] = (p1[i] + p0[i] + p[2][i] + p[3][i] + p[4][i] + p[5][i]) / 6.0f;
        break;
    case 62:
        Mix6To2(p, n, mode);
        break;
    case 64:
        Mix6To4(p, n);
        break;
    case 81:
        for (LONG i = 0; i < n; ++i)
            p0[i] = (p1[i] + p0[i] + p[2][i] + p[3][i] + p[4][i] + p[5][i] + p[6][i] + p[7][i]) * 0.125f;
        break;
    case 82:
        Mix8To2(p, n, mode);
        break;
    case 84:
        Mix8To4(p, n, mode);
        break;
    case 86:
        Mix8To6(p, n, mode);
        break;
    default:
        break;
    }
    return true;
}

void ConvertChannelsInPlace(float* const* p, LONG in, LONG out, LONG n, UCHAR mode) {
    if (in == out || n <= 0 || !ValidPlanes(p, in, out)) return;
    if (in < out) {
        UpMix(p, in, out, n, FillPlanes);  // mono stays mono
        return;
    }
    const Weights w = WeightsFor(mode);
    float *p0 = p[0], *p1 = p[1];
    switch (in * 10 + out) {
    case 21:
        Average2To1(p, n);
        break;
    case 41:
        Mix4To2(p, n, mode);
        Average2To1(p, n);
        break;
    case 42:
        Mix4To2(p, n, mode);
        break;
    case 61:
        Mix6To2(p, n, mode);
        Average2To1(p, n);
        break;
    case 62:
        for (LONG i = 0; i < n; ++i) {
            const float c = p[2][i], lfe = p[3][i], ls = p[4][i], rs = p[5][i];
            if (mode != 0) {
                p0[i] = c * kCentre + lfe + ls + p0[i];
                p1[i] = c * kCentre + lfe + rs + p1[i];
            } else {
                p0[i] = (lfe + c) * kCentre - w.a * ls - w.b * rs + p0[i];
                p1[i] = (lfe + c) * kCentre + w.b * ls + w.a * rs + p1[i];
            }
        }
        break;
    case 64:
        Mix6To4(p, n);
        break;
    case 81:
        Mix8To2(p, n, mode);
        Average2To1(p, n);
        break;
    case 82: {
        const float a = w.a / 2.0f, b = w.b / 2.0f;
        for (LONG i = 0; i < n; ++i) {
            const float c = p[2][i], lfe = p[3][i], l1 = p[4][i], r1 = p[5][i], l2 = p[6][i], r2 = p[7][i];
            if (mode != 0) {
                p0[i] = c * kCentre + lfe + l1 + l2 + p0[i];
                p1[i] = c * kCentre + lfe + r1 + r2 + p1[i];
            } else {
                p0[i] = (c + lfe) * kCentre - (l2 + l1) * a - (r1 + r2) * b + p0[i];
                p1[i] = (c + lfe) * kCentre + (l1 + l2) * b + (r1 + r2) * a + p1[i];
            }
        }
        break;
    }
    case 84:
        Mix8To4(p, n, mode);
        break;
    case 86:
        Mix8To6(p, n, mode);
        break;
    default:
        break;
    }
}
