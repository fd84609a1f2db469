// What a remote instance and kestreld agree on for DIAGnostic:CALL?, the one
// line that runs an export on the daemon's instance: how a double travels so
// that it arrives bit for bit, in any locale. A finite value goes as its
// shortest round-trip decimal ("2000.5", "1e-300"), which SCPI reads as a
// number; NaN and the infinities, which SCPI has no exact number for, go as
// their IEEE 754 bits in SCPI's hexadecimal form ("#H7FF8000000000000"), so
// that even a NaN's sign and payload reach memory unchanged.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrel::protocol {

inline constexpr std::string_view kRemoteCallHeader = "DIAGnostic:CALL?";

inline std::string formatExactDouble(double value) {
  char text[32];
  if (std::isfinite(value)) {
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
  }
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const auto result = std::to_chars(text, text + sizeof text, bits, 16);
  return "#H" + std::string(text, result.ptr);
}

// Either form, as written above (the hexadecimal digits in either case);
// false for anything else or anything more.
inline bool parseExactDouble(std::string_view text, double* value) {
  const char* end = text.data() + text.size();
  if (text.size() > 2 && text[0] == '#' && (text[1] == 'H' || text[1] == 'h')) {
    uint64_t bits = 0;
    const auto [at, error] = std::from_chars(text.data() + 2, end, bits, 16);
    if (error != std::errc() || at != end) return false;
    std::memcpy(value, &bits, sizeof bits);
    return true;
  }
  double read = 0;
  const auto [at, error] = std::from_chars(text.data(), end, read);
  if (error != std::errc() || at != end || !std::isfinite(read)) return false;
  *value = read;
  return true;
}

}  // namespace kestrel::protocol
