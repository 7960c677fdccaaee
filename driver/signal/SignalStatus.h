// Result type of every signal primitive: 0 success, negative an error (nothing was written),
// positive a warning (the work is complete, but the input deserves notice).
#pragma once

#include <win/ntdef.h>

typedef LONG SignalStatus;

constexpr SignalStatus StatusOk = 0;
constexpr SignalStatus StatusBadLength = -6;         // element or iteration count below 1
constexpr SignalStatus StatusNullPointer = -8;       // a required pointer is null
constexpr SignalStatus StatusNoMemory = -9;          // an allocation through the hooks failed
constexpr SignalStatus StatusDivByZero = -10;        // divisor 0.0
constexpr SignalStatus StatusBadFftOrder = -15;      // FFT order outside 0..30
constexpr SignalStatus StatusBadFftFlag = -16;       // FFT scaling flag not 1, 2, 4 or 8
constexpr SignalStatus StatusBadTag = -17;           // record without the expected tag
constexpr SignalStatus StatusBadTapsLength = -26;    // FIR taps length below 1
constexpr SignalStatus StatusBadPhase = -28;         // phase outside 0..factor-1
constexpr SignalStatus StatusBadFactor = -29;        // up- or down-sampling factor below 1
constexpr SignalStatus StatusBadChannelCount = -53;  // channel count below 1

constexpr SignalStatus WarnMisaligned = 2;    // a data buffer is not on a 16-byte boundary
constexpr SignalStatus WarnSingularity = 19;  // a power had a singular operand pair
