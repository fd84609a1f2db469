#include "config/fm_math.h"

#include <algorithm>
#include <cmath>

#include "protocol/board_protocol.h"

namespace kestrel {

uint16_t fmIndexForFrequency(double frequencyMHz) {
  // The thresholds are the table's own rates; anything faster than the
  // next-to-last rate (and a NaN) runs on the last entry.
  const auto& rates = protocol::kFMRatesMHz;
  uint16_t index = 0;
  while (index + 1u < rates.size() && !(frequencyMHz <= rates[index])) ++index;
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
