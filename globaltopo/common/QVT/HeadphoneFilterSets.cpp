// Generated filter sets of the headphone engine. A head response is a short damped resonance per
// ear, delayed and attenuated by the source's direction (interaural time and level difference),
// plus the room's early reflections; a tail is decorrelated, exponentially decaying noise per
// ear; a CTC table cancels the cross path of a symmetric loudspeaker pair at its angle. Everything
// is deterministic: the same arguments give the same samples on every call.
#include "globaltopo/common/QVT/HeadphoneFilterSets.h"

#include "driver/runtime/KernelMath.h"

namespace {

constexpr LONG kSetIds[HeadphoneSetCount] = {24, 25, 29, 30, 31, 34, 35, 39, 40};
constexpr LONG kTailLengths[3][3] = {{3072, 3072, 6144}, {3072, 5120, 6144}, {7168, 7168, 6144}};
constexpr LONG kCtcAngles[HeadphoneCtcAngleCount] = {5, 10, 15, 20, 30};

constexpr double kPi = 3.14159265358979323846;
constexpr double kRateHz = 44100.0;
constexpr LONG kOnset = 8;           // samples before the direct sound
constexpr LONG kFadeSamples = 128;   // raised-cosine fade at the end of every response
constexpr double kMaxItdSeconds = 0.00066;

// Uniform value in [-1, 1) from two integers (a 64-bit mix; no state).
double Noise(ULONGLONG seed, ULONGLONG n) {
    ULONGLONG z = seed * 0x9E3779B97F4A7C15ull + n * 0xBF58476D1CE4E5B9ull + 0x94D049BB133111EBull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

// 1 up to the last kFadeSamples samples of a response of `length`, then a raised-cosine fade to 0.
double Fade(LONG n, LONG length) {
    const LONG left = length - 1 - n;
    if (left >= kFadeSamples) return 1.0;
    return 0.5 - 0.5 * kmath::Cos(kPi * static_cast<double>(left) / kFadeSamples);
}

struct HeadVoice {
    LONG delay;    // samples from 0 to the direct sound
    double gain;
};

// Speaker angle of a set id in degrees, and its family (0 even ids, 1 odd ids, 2 id 31).
void SetGeometry(LONG setId, double* angleDeg, LONG* family) {
    if (setId == 31) {
        *angleDeg = 30.0;
        *family = 2;
        return;
    }
    // 24, 29, 34, 39 are the first family, 25, 30, 35, 40 the second; both step 25..40 degrees.
    *family = ((setId - 24) % 5 == 0) ? 0 : 1;
    *angleDeg = static_cast<double>(*family == 0 ? setId + 1 : setId);
}

// Direction of group g (L, R, C, LS, RS) in degrees, positive to the right.
double GroupAzimuth(LONG group, double angleDeg) {
    switch (group) {
    case 0: return -angleDeg;
    case 1: return angleDeg;
    case 2: return 0.0;
    case 3: return -110.0;
    default: return 110.0;
    }
}

HeadVoice Direct(double azimuthDeg, LONG ear) {
    const double lateral = kmath::Sin(azimuthDeg * kPi / 180.0);  // -1 left .. 1 right
    const double toward = (ear == 0) ? -lateral : lateral;      // 1 when the source faces this ear
    HeadVoice v;
    v.delay = kOnset + static_cast<LONG>(kmath::Lround(toward < 0.0 ? -toward * kMaxItdSeconds * kRateHz : 0.0));
    v.gain = 0.5 * (0.75 + 0.25 * toward);
    return v;
}

}  // namespace

LONG HeadphoneSetIndex(LONG setId) {
    for (LONG i = 0; i < HeadphoneSetCount; ++i) {
        if (kSetIds[i] == setId) return i;
    }
    return -1;
}

LONG HeadphoneTailSet(LONG room, LONG setId, LONG* tailLength) {
    const LONG r = (room < 1 || room > 3) ? 1 : room - 1;
    const LONG kind = (setId == 31) ? 2 : ((setId - 24) % 5 == 0 ? 0 : 1);
    if (tailLength != nullptr) *tailLength = kTailLengths[r][kind];
    return r * 3 + kind;
}

void HeadphoneHeadSamples(LONG room, LONG setId, LONG response, LONG first, LONG count, float* dst) {
    double angleDeg = 30.0;
    LONG family = 0;
    SetGeometry(setId, &angleDeg, &family);
    const LONG group = response / 2;
    const LONG ear = response % 2;
    const HeadVoice voice = Direct(GroupAzimuth(group, angleDeg), ear);
    // The family shapes the pinna resonance; the room sets the early reflections' level and spread.
    const double resonanceHz = (family == 0) ? 3500.0 : (family == 1 ? 5000.0 : 4200.0);
    const double dampingSamples = (family == 1) ? 6.0 : 9.0;
    const double reflectionLevel = 0.05 * static_cast<double>(room);
    const LONG reflectionSpacing = 70 + 40 * room;
    const ULONGLONG seed = static_cast<ULONGLONG>(room * 100 + setId) * 16 + static_cast<ULONGLONG>(response);
    for (LONG i = 0; i < count; ++i) {
        const LONG n = first + i;
        double h = 0.0;
        const LONG m = n - voice.delay;
        if (m >= 0) {
            const double envelope = kmath::Exp(-static_cast<double>(m) / dampingSamples);
            h = voice.gain * envelope * kmath::Cos(2.0 * kPi * resonanceHz * static_cast<double>(m) / kRateHz);
        }
        // Early reflections: sparse noise taps decaying over the response.
        if (n > voice.delay + reflectionSpacing / 2 && Noise(seed, static_cast<ULONGLONG>(n) / 8) > 0.9) {
            h += reflectionLevel * Noise(seed + 7, static_cast<ULONGLONG>(n)) *
                 kmath::Exp(-static_cast<double>(n) / 300.0);
        }
        dst[i] = static_cast<float>(h * Fade(n, HeadphoneHeadLength));
    }
}

void HeadphoneTailSamples(LONG tailSet, LONG ear, LONG first, LONG count, float* dst) {
    const LONG room = tailSet / 3;  // 0 smallest .. 2 largest
    const LONG kind = tailSet % 3;
    const LONG length = kTailLengths[room][kind];
    const double level = 0.02 + 0.005 * static_cast<double>(kind);
    const double decaySamples = static_cast<double>(length) / 6.0;
    const ULONGLONG seed = 0x7A11ull + static_cast<ULONGLONG>(tailSet * 2 + ear);
    for (LONG i = 0; i < count; ++i) {
        const LONG n = first + i;
        const double h = level * Noise(seed, static_cast<ULONGLONG>(n)) *
                         kmath::Exp(-static_cast<double>(n) / decaySamples);
        dst[i] = static_cast<float>(h * Fade(n, length));
    }
}

LONG HeadphoneCtcAngleIndex(LONG degrees) {
    for (LONG i = 0; i < HeadphoneCtcAngleCount; ++i) {
        if (kCtcAngles[i] == degrees) return i;
    }
    return -1;
}

float HeadphoneCtcTap(LONG angleIndex, LONG table, LONG tap) {
    // The cross path arrives `delay` samples late at `cross` of the level; the canceller answers
    // it with alternating, delayed copies (a: even powers, b: negative odd powers).
    const double degrees = static_cast<double>(kCtcAngles[angleIndex]);
    const LONG delay = 1 + static_cast<LONG>(kmath::Lround(kMaxItdSeconds * kRateHz * kmath::Sin(degrees * kPi / 180.0)));
    const double cross = 0.6;
    if (tap % delay != 0) return 0.0f;
    const LONG k = tap / delay;
    if ((k % 2) != table) return 0.0f;
    const double value = kmath::Pow(cross, static_cast<double>(k));
    return static_cast<float>(table == 0 ? value : -value);
}
