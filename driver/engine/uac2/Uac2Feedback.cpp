// Reading explicit feedback: a feedback value is the number of samples the device consumes per
// bus interval (125 us microframe at high speed, 1 ms frame at full speed) in 16.16 fixed point
// (full speed sends 10.14 in three bytes, scaled here by 4). Devices truncate the fraction, so the
// values for the 44.1 kHz family come a little short; they are corrected to the exact rate.
#include "driver/engine/uac2/Uac2Streams.h"

namespace {

struct FeedbackCorrection {
    ULONG Sent;
    ULONG Meant;
};

// 44,100, 88,200 and 176,400 Hz and each of them +-500 Hz: per frame (three-byte values after x 4)
// and per microframe (four-byte values).
constexpr FeedbackCorrection ThreeByteCorrections[] = {
    {0x2B9900, 0x2B99A0}, {0x2C1900, 0x2C199A}, {0x2C9900, 0x2C99A0},
    {0x57B300, 0x57B338}, {0x583300, 0x583338}, {0x58B300, 0x58B338},
    {0xAFE600, 0xAFE668}, {0xB06600, 0xB06668}, {0xB0E600, 0xB0E668},
};
constexpr FeedbackCorrection FourByteCorrections[] = {
    {0x57380, 0x57334},   {0x58380, 0x58334},   {0x59380, 0x59334},
    {0xAF640, 0xAF667},   {0xB0640, 0xB0667},   {0xB1640, 0xB1667},
    {0x15FC60, 0x15FCCD}, {0x160C60, 0x160CCD}, {0x161C60, 0x161CCD},
};

// The +-500 Hz step the corrections include.
constexpr LONG StepHz = 500;

}  // namespace

ULONG64 Uac2FeedbackRate(ULONG Value, ULONG IntervalsPerSecond, BOOLEAN ThreeByte) {
    for (const FeedbackCorrection& c : ThreeByte ? ThreeByteCorrections : FourByteCorrections) {
        if (c.Sent == Value) {
            Value = c.Meant;
            break;
        }
    }
    // 64 bits: the value times the interval rate does not fit 32 (0x58334 x 8,000 is 2.9e9 x 1,000).
    return (static_cast<ULONG64>(Value) * IntervalsPerSecond * Uac2MilliHz) >> 16;
}

ULONG Uac2MeasuredRate(const ULONG64* Rates, ULONG Count, ULONG Nominal, ULONG Current) {
    ULONG64 sum = 0;
    LONG kept = 0;
    for (ULONG i = 0; i < Count; ++i) {
        // Whole hertz decide what is believed, as the corrections are exact in whole hertz.
        const LONG64 offset = static_cast<LONG64>(Nominal) - static_cast<LONG64>(Rates[i] / Uac2MilliHz);
        if (offset < -static_cast<LONG64>(Uac2FeedbackWindowHz) || offset > static_cast<LONG64>(Uac2FeedbackWindowHz)) {
            continue;
        }
        sum += Rates[i];
        ++kept;
    }
    if (kept == 0) return Current;
    const ULONG64 average = sum / kept;  // within the window of a nominal rate that fits: fits 32 bits
    const LONG64 step = StepHz / kept;
    const LONG64 offset = static_cast<LONG64>(average / Uac2MilliHz) - static_cast<LONG64>(Nominal);
    if (step != 0 && (offset == step || offset == -step)) {
        return static_cast<ULONG>(2 * average - static_cast<ULONG64>(Nominal) * Uac2MilliHz);
    }
    return static_cast<ULONG>(average);
}
