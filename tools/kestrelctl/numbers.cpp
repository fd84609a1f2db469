#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace kestrelctl {

namespace {

std::string quoted(const std::string& text) { return "'" + text + "'"; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string describeRange(const RealRange& r) {
  const std::string unit = r.unit.empty() ? "" : " " + r.unit;
  if (r.minOpen && r.maxOpen) return "above " + formatNumber(r.min) + " and below " + formatNumber(r.max) + unit;
  if (r.minOpen) return "above " + formatNumber(r.min) + unit + ", at most " + formatNumber(r.max) + unit;
  if (r.maxOpen) return "at least " + formatNumber(r.min) + unit + ", below " + formatNumber(r.max) + unit;
  return "from " + formatNumber(r.min) + " to " + formatNumber(r.max) + unit;
}

// The double in `text`, or an error message. Leading '+' is accepted; the
// rest must be one decimal number with nothing before or after it.
double readDouble(const std::string& text, const std::string& what) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last || *first == '+' || *first == ' ' || *first == '\t') {
    throw UsageError(what + ": " + quoted(text) + " is not a number");
  }
  double value = 0;
  const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    throw UsageError(what + ": " + quoted(text) + " is out of range for a double");
  }
  if (error != std::errc{} || end != last) throw UsageError(what + ": " + quoted(text) + " is not a number");
  return value;
}

}  // namespace

int64_t parseInteger(const std::string& text, const std::string& what, int64_t min, int64_t max) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) throw UsageError(what + ": " + quoted(text) + " is not an integer");
  // Accumulate the magnitude; anything beyond 2^63 is out of every range we use.
  constexpr uint64_t kLimit = static_cast<uint64_t>(1) << 63;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0 || digit >= base) throw UsageError(what + ": " + quoted(text) + " is not an integer");
    if (magnitude > (kLimit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) overflow = true;
    if (!overflow) magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
  if (overflow || (!negative && magnitude == kLimit)) {
    throw UsageError(what + ": " + quoted(text) + " is out of range (" + range + ")");
  }
  const int64_t value = negative ? (magnitude == kLimit ? std::numeric_limits<int64_t>::min()
                                                        : -static_cast<int64_t>(magnitude))
                                 : static_cast<int64_t>(magnitude);
  if (value < min || value > max) throw UsageError(what + ": " + text + " is out of range (" + range + ")");
  return value;
}

int32_t parseInt32(const std::string& text, const std::string& what, int32_t min, int32_t max) {
  return static_cast<int32_t>(parseInteger(text, what, min, max));
}

uint16_t parseUint16(const std::string& text, const std::string& what, uint16_t max) {
  return static_cast<uint16_t>(parseInteger(text, what, 0, max));
}

uint32_t parseUint32(const std::string& text, const std::string& what) {
  return static_cast<uint32_t>(parseInteger(text, what, 0, UINT32_MAX));
}

double parseFinite(const std::string& text, const std::string& what) {
  const double value = readDouble(text, what);
  if (!std::isfinite(value)) throw UsageError(what + ": " + quoted(text) + " is not a finite number");
  return value;
}

double parseReal(const std::string& text, const std::string& what, const RealRange& range) {
  const double value = parseFinite(text, what);
  const bool belowMin = range.minOpen ? !(value > range.min) : !(value >= range.min);
  const bool aboveMax = range.maxOpen ? !(value < range.max) : !(value <= range.max);
  if (belowMin || aboveMax) {
    throw UsageError(what + ": " + text + " is out of range (" + describeRange(range) + ")");
  }
  return value;
}

double parseAnyDouble(const std::string& text, const std::string& what) { return readDouble(text, what); }

std::string formatNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc{}) return std::to_string(value);
  return std::string(buffer, end);
}

std::string formatFixed(double value, int decimals) {
  if (!std::isfinite(value)) return formatNumber(value);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

}  // namespace kestrelctl
