// Double-to-integer conversions with a defined result for every input: the
// board takes 16-bit words, and a NaN or a huge value must never reach a
// register through undefined behaviour.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kestrel {

// Truncation toward zero; NaN gives 0, values beyond the range saturate.
template <typename Int>
Int truncateSaturating(double value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (value >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

inline int64_t truncateToInt64(double value) { return truncateSaturating<int64_t>(value); }
inline int32_t truncateToInt32(double value) { return truncateSaturating<int32_t>(value); }

inline uint16_t low16(int64_t value) { return static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFu); }
inline uint16_t high16(int64_t value) { return static_cast<uint16_t>((static_cast<uint64_t>(value) >> 16) & 0xFFFFu); }

// A double from the 8 bytes the board stores it in (host byte order).
inline double doubleFromBytes(const uint8_t* bytes) {
  double value = 0.0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace kestrel
