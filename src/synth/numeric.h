// Conversions between the planner's doubles and the synthesizer's 32-bit
// settings. The planner accepts any double (NaN, infinities, huge values), so
// every conversion here is total: in-range values convert as C++ would, and
// everything else gets a fixed, defined answer instead of undefined behaviour.
#pragma once

#include <cstdint>
#include <limits>

namespace kestrel::detail {

// Truncation toward zero. NaN and values outside the int32 range give
// INT32_MIN, which is what the x86 conversion instruction produces and what
// the fraction code relies on to spot a denominator that does not fit.
inline int32_t truncateToInt32(double v) {
  if (v > -2147483649.0 && v < 2147483648.0) {
    return static_cast<int32_t>(v);
  }
  return std::numeric_limits<int32_t>::min();
}

// An integral double as int32, limited to lo..hi (so huge values and the
// infinities land on a limit); NaN takes lo.
inline int32_t clampToInt32(double v, int32_t lo, int32_t hi) {
  if (v >= static_cast<double>(hi)) {
    return hi;
  }
  if (v >= static_cast<double>(lo)) {
    return static_cast<int32_t>(v);
  }
  return lo;
}

// "setting + 1" as a factor. Widened first so that a caller who stores
// INT32_MAX in a setting does not overflow; exact for every int32.
inline double plusOne(int32_t setting) { return static_cast<double>(static_cast<int64_t>(setting) + 1); }

// N-path prescaler ratio 2 * select + 2, widened for the same reason.
inline double prescalerRatio(int32_t prescalerSelect) {
  return static_cast<double>(2 * static_cast<int64_t>(prescalerSelect) + 2);
}

}  // namespace kestrel::detail
