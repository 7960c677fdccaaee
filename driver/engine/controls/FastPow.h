// Powers of ten without a library power function, for turning levels in dB into linear gains:
// FastPow(10, Level / 65536 / 20) is the gain of a level in 1/65536 dB. The fraction of the
// exponent is looked up to 1/200 (0.1 dB of gain) in FastPowTable; the integer part is applied by
// repeated multiplication or division by 10 in double precision.
#pragma once

#include <win/kernel.h>

// Entries of FastPowTable: T[k] = 10^(k / 200) for k = 0 to 200.
constexpr ULONG FastPowTableEntries = 201;
extern const double FastPowTable[FastPowTableEntries];

// Base must be 10 (the table holds powers of ten; the argument is kept for the callers' sake).
// A NaN exponent gives 0; a level of silence (-32768 dB, exponent -1638.4) underflows to 0.
float FastPow(float Base, float Exponent);
