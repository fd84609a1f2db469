#include "synth/fraction.h"

#include <cmath>

#include "synth/numeric.h"

namespace kestrel {

namespace {

// Both terms of a convergent must fit a signed 32-bit register value. A
// bound of 2^32 - 1 would admit terms in [2^31, 2^32 - 1) that then fail to
// convert and collapse the fraction to 0; stopping one short of 2^31 makes
// the expansion fall back to the last convergent that fits.
constexpr double kTermBound = 2147483647.0;

// Denominators grow at least like the Fibonacci numbers (every partial
// quotient is >= 1), and F(47) already exceeds kTermBound, so the expansion
// stops long before this capacity; the capacity check only guards the
// arrays.
constexpr int kCapacity = 64;

}  // namespace

std::pair<int32_t, int32_t> approximateFraction(double v) {
  if (v <= 0.0) {
    return {0, 1};
  }
  const double errorLimit = std::pow(10.0, -20.0);

  // x: remainders, k: denominators, h: numerators, e: absolute errors.
  double x[kCapacity];
  double k[kCapacity];
  double h[kCapacity];
  double e[kCapacity];
  x[0] = v;
  x[1] = v;
  k[0] = 0.0;
  k[1] = 1.0;
  h[0] = 1.0;
  h[1] = 1.0;
  e[0] = 1.0;
  e[1] = 1.0;

  // A remainder of exactly 0 makes the next x infinite and the terms after
  // it infinite or NaN; the comparisons then fail and end the expansion.
  int i = 1;
  while (h[i] < kTermBound && k[i] < kTermBound && e[i] > errorLimit && i + 1 < kCapacity) {
    x[i + 1] = 1.0 / (x[i] - std::floor(x[i]));
    k[i + 1] = k[i] * std::floor(x[i + 1]) + k[i - 1];
    // The numerator is re-derived from the denominator by rounding rather
    // than by the numerator recurrence.
    h[i + 1] = std::round(v * k[i + 1]);
    e[i + 1] = std::fabs(v - h[i + 1] / k[i + 1]);
    ++i;
  }

  int chosen = 0;
  for (int c = 2; c <= i; ++c) {
    if (h[c] < kTermBound && k[c] < kTermBound && e[c] < errorLimit) {
      chosen = c;
      break;
    }
  }
  if (chosen == 0) {
    chosen = (i - 1 < 2) ? 2 : i - 1;
  }

  int32_t denominator = detail::truncateToInt32(k[chosen]);
  int32_t numerator = detail::truncateToInt32(h[chosen]);
  if (denominator < 0 || numerator < 0) {
    denominator = detail::truncateToInt32(k[chosen] - 1.0);
    numerator = detail::truncateToInt32(h[chosen] - 1.0);
  }
  return {numerator, denominator};
}

}  // namespace kestrel
