// The calibration text file: bounded reading and strict numbers, so that a
// file that is not a calibration file changes nothing.
#include "config/calibration_file.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace kestrel {

namespace p = protocol;

namespace {

// A calibration line is one number; anything much longer is not a
// calibration file (and must not be read whole into memory).
constexpr size_t kMaxLineBytes = 4096;
// Enough for 98 lines of the longest length, their line ends and one more byte.
constexpr size_t kMaxFileBytes = (kMaxLineBytes + 2) * p::kCalibrationValues + 1;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool isBlank(std::string_view line) {
  for (char c : line)
    if (!isSpace(c)) return false;
  return true;
}

// Leading space, a sign, a decimal or 0x-hexadecimal number, and anything
// after it (a comment, a comma, a carriage return) as strtod would take it,
// but in no locale's decimal comma. Infinities, NaN, overflows and values
// that underflow to zero are refused; a subnormal is a number like any other.
std::optional<double> parseNumber(std::string_view line) {
  size_t at = 0;
  while (at < line.size() && isSpace(line[at])) ++at;
  bool negative = false;
  if (at < line.size() && (line[at] == '+' || line[at] == '-')) negative = line[at++] == '-';
  auto format = std::chars_format::general;
  if (line.size() - at > 2 && line[at] == '0' && (line[at + 1] == 'x' || line[at + 1] == 'X')) {
    format = std::chars_format::hex;
    at += 2;
  }
  if (at == line.size() || line[at] == '+' || line[at] == '-') return std::nullopt;  // no second sign
  double value = 0.0;
  const char* begin = line.data() + at;
  const auto [end, error] = std::from_chars(begin, line.data() + line.size(), value, format);
  if (end == begin || error != std::errc() || !std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

// The lines of the text, at most kCalibrationValues of them; false when a
// line is too long.
bool splitLines(std::string_view text, std::vector<std::string_view>* lines) {
  while (!text.empty() && lines->size() < static_cast<size_t>(p::kCalibrationValues)) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.size() > kMaxLineBytes) return false;
    lines->push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return true;
}

// Values in file order into the table; rows the file does not reach keep theirs.
void fillTable(const std::vector<double>& values, CalibrationTable* table) {
  for (size_t k = 0; k < values.size(); ++k) (*table)[k / p::kCalibrationColumns][k % p::kCalibrationColumns] = values[k];
}

}  // namespace

bool parseCalibrationValues(std::string_view text, std::vector<double>* values) {
  std::vector<std::string_view> lines;
  if (!splitLines(text, &lines)) return false;
  // Blank lines at the very end are how many editors finish a file.
  while (!lines.empty() && isBlank(lines.back())) lines.pop_back();
  if (lines.empty()) return false;  // not one number: nothing to calibrate with
  std::vector<double> parsed;
  for (std::string_view line : lines) {
    const std::optional<double> value = parseNumber(line);
    if (!value) return false;
    parsed.push_back(*value);
  }
  *values = std::move(parsed);
  return true;
}

bool parseCalibrationText(std::string_view text, CalibrationTable* table) {
  std::vector<double> values;
  if (!parseCalibrationValues(text, &values)) return false;
  fillTable(values, table);
  return true;
}

bool readCalibrationValues(const char* path, std::vector<double>* values) {
  if (path == nullptr) return false;
  std::string text;
  if (platform::readRegularFile(path, kMaxFileBytes, &text) != platform::FileRead::Ok) return false;
  return parseCalibrationValues(text, values);
}

bool readCalibrationFile(const char* path, CalibrationTable* table) {
  std::vector<double> values;
  if (!readCalibrationValues(path, &values)) return false;
  fillTable(values, table);
  return true;
}

}  // namespace kestrel
