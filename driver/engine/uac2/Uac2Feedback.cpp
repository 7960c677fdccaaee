// Reading explicit feedback: a feedback value is the number of samples the device consumes per
// bus interval (125 us microframe at high speed, 1 ms frame at full speed) in 16.16 fixed point.
// Full speed sends 10.14 in three bytes; many full-speed devices send four bytes instead, most of
// them 16.16, some 10.14 with a zero top byte. The rate is kept in thousandths of a hertz, so no
// value needs correcting and a steady clock offset is read as what it is.
#include "driver/engine/uac2/Uac2Streams.h"

namespace {

bool WithinWindow(ULONG64 MilliHz, ULONG Nominal) {
    const LONG64 offset = static_cast<LONG64>(Nominal) - static_cast<LONG64>(MilliHz / Uac2MilliHz);
    return offset >= -static_cast<LONG64>(Uac2FeedbackWindowHz) && offset <= static_cast<LONG64>(Uac2FeedbackWindowHz);
}

}  // namespace

ULONG64 Uac2FeedbackRate(ULONG Value, ULONG IntervalsPerSecond) {
    // 64 bits: the value times the interval rate does not fit 32 (0x58334 x 8,000 is 2.9e9 x 1,000).
    return (static_cast<ULONG64>(Value) * IntervalsPerSecond * Uac2MilliHz) >> 16;
}

ULONG64 Uac2FeedbackEntryRate(const UCHAR* Bytes, ULONG Length, BOOLEAN HighSpeed, ULONG Nominal) {
    if (Bytes == nullptr) return 0;
    const ULONG perSecond = HighSpeed ? Uac2HighSpeedIntervals : Uac2FullSpeedIntervals;
    if (HighSpeed) {
        if (Length < 4) return 0;
        Length = 4;
    } else if (Length != 3 && Length != 4) {
        return 0;
    }
    ULONG value = 0;
    for (ULONG i = 0; i < Length; ++i) value |= static_cast<ULONG>(Bytes[i]) << (8 * i);
    if (HighSpeed) return Uac2FeedbackRate(value, perSecond);
    // Full speed: three bytes are 10.14. Four bytes are 16.16 unless only 10.14 lands near the
    // nominal rate.
    const ULONG64 as1014 = value <= 0x3FFFFFFF ? Uac2FeedbackRate(value << 2, perSecond) : 0;
    if (Length == 3) return as1014;
    const ULONG64 as1616 = Uac2FeedbackRate(value, perSecond);
    return !WithinWindow(as1616, Nominal) && as1014 != 0 && WithinWindow(as1014, Nominal) ? as1014 : as1616;
}

ULONG Uac2MeasuredRate(const ULONG64* Rates, ULONG Count, ULONG Nominal, ULONG Current) {
    ULONG64 sum = 0;
    ULONG kept = 0;
    for (ULONG i = 0; i < Count; ++i) {
        if (!WithinWindow(Rates[i], Nominal)) continue;
        sum += Rates[i];
        ++kept;
    }
    if (kept == 0) return Current;
    return static_cast<ULONG>(sum / kept);  // within the window of a nominal rate that fits: fits 32 bits
}
