#pragma once

#include <cstdint>
#include <utility>

namespace kestrel {

// Continued-fraction approximation of the fractional part of the N ratio,
// v in [0, 1). Returns (numerator, denominator): the first convergent that
// reproduces v to within 1e-20, else the last convergent whose terms still
// fit a signed 32-bit register value. v <= 0 gives (0, 1).
//
// A value the registers cannot hold (NaN, infinity, or a first convergent
// already past the bound, e.g. 1e-11) yields a negative denominator
// (INT32_MIN); the model reads a denominator below 1 as 1 and a numerator
// below 1 as 0, i.e. as fraction 0.
std::pair<int32_t, int32_t> approximateFraction(double v);

}  // namespace kestrel
