// Elementary math for kernel code: SSE2 double arithmetic only, no x87, no errno, no library.
// The simulated build runs the same code, so results are bit-identical in both builds.
// Accuracy (checked against the host's math library in the tests): Sin, Cos and Exp within one
// unit in the last place, Sqrt correctly rounded, Lround exact, Pow with an integer exponent within
// one unit, with any other exponent within a few units.
#pragma once

#include <win/ntdef.h>

namespace kmath {

double Sqrt(double x);
// Sin and Cos reduce arguments below 2^29 * pi/2 (about 8.4e8) exactly enough for the accuracy
// above; larger arguments keep about 24 fewer bits.
double Sin(double x);
double Cos(double x);
double Exp(double x);
double Pow(double x, double y);
// Rounds half away from zero. NaN and values outside the 64-bit range give LONG64's minimum.
LONG64 Lround(double x);

}  // namespace kmath
