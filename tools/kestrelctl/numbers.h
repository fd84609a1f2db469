// Strict parsing of the numbers typed on the command line or in a run file.
// A value is taken only when the whole text is a number of the expected kind
// and inside the range the command allows, so a typo never reaches the board
// as a truncated or wrapped value.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrelctl {

// A malformed or out-of-range argument; the command is not run.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A usage error on a line of a run file: the message already names the line
// and the command, so it is passed on as it is.
struct ScriptUsageError : UsageError {
  using UsageError::UsageError;
};

// An inclusive or exclusive bound pair for real numbers.
struct RealRange {
  double min;
  double max;
  bool minOpen = false;  // true: min itself is refused
  bool maxOpen = false;
  std::string unit;      // shown in messages, e.g. "MHz"
};

// Integers: an optional sign, then decimal digits or 0x and hex digits.
// `what` names the argument in messages (e.g. "MHZ", "PAGE").
int64_t parseInteger(const std::string& text, const std::string& what, int64_t min, int64_t max);
int32_t parseInt32(const std::string& text, const std::string& what, int32_t min = INT32_MIN,
                   int32_t max = INT32_MAX);
uint16_t parseUint16(const std::string& text, const std::string& what, uint16_t max = UINT16_MAX);
uint32_t parseUint32(const std::string& text, const std::string& what);

// Finite decimal real numbers (no NaN, no infinity, no hex floats) inside `range`.
double parseReal(const std::string& text, const std::string& what, const RealRange& range);
// Any finite real number.
double parseFinite(const std::string& text, const std::string& what);
// Any double, NaN and infinity included: for storing raw values in board memory.
double parseAnyDouble(const std::string& text, const std::string& what);

// Shortest text that reads back as the same double ("1800", "0.1", "nan").
std::string formatNumber(double value);

// Fixed-point text with at most `decimals` decimals, trailing zeros dropped
// ("1800", "78.125"): for showing frequencies to people.
std::string formatFixed(double value, int decimals);

}  // namespace kestrelctl
