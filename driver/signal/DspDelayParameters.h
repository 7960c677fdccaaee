// Rate table and parameter sets of the delay network (CDspDelayLines). A parameter set is a flat
// array of floats; counts and lengths in it are stored as floats and truncated when read. Field
// order: line taps (per line: first tap offset, then k coefficients), input mix m1..m8, high-pass
// b0 b1 b2 a1 a2 (halves), centre gain, direct/reverberant mix d1..d10, mid/side gains e1..e12,
// seven shaping filters (tap count, then taps), left and right output weights (7 each), left and
// right output filters (5 groups of h0 h1 h2 each), feedback (per line: 4 matrix weights, then the
// line length in samples).
#pragma once

#include <win/ntdef.h>

struct DspDelayRate {
    LONG memoryLength;  // ring length in floats
    LONG tapsPerLine;   // k
    const float* parameters;
    LONG parameterCount;  // floats in the set
};

// Rate indexes 0..17; only 0, 1, 2, 16 and 17 hold a parameter set.
constexpr LONG DspDelayRateIndexCount = 18;

// The rate index of a sample rate in Hz; a rate without its own set gets the 44.1 kHz index (1).
LONG DspDelayRateIndex(LONG rateHz);

// The set of a rate index, or null for an index without one (3..15, or outside 0..17).
const DspDelayRate* DspDelayRateSet(LONG index);
