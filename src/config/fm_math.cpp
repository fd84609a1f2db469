#include "config/fm_math.h"

#include <algorithm>
#include <cmath>

namespace kestrel {

uint16_t fmIndexForFrequency(double frequencyMHz) {
  // The thresholds are the table's own rates; anything faster than 10 MHz
  // (and a NaN) runs on the 50 MHz entry.
  constexpr double kUpperBounds[] = {0.04, 0.1, 0.5, 1.0, 1.3, 2.0, 2.5, 3.0, 3.5, 4.0, 10.0};
  uint16_t index = 0;
  for (double bound : kUpperBounds) {
    if (frequencyMHz <= bound) return index;
    ++index;
  }
  return index;
}

double evaluatePolynomial(const std::array<double, 5>& c, double x) {
  return (((c[0] * std::pow(x, 4) + c[1] * std::pow(x, 3)) + c[2] * (x * x)) + c[3] * x) + c[4];
}

uint16_t calibratedRegisterValue(double y) {
  // Truncated toward zero and held to the register's range: a polynomial
  // slightly below 0 or past full scale must not wrap to the other end.
  if (std::isnan(y)) return 0;
  return static_cast<uint16_t>(std::clamp(std::trunc(y), 0.0, 65535.0));
}

}  // namespace kestrel
