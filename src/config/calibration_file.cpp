// The calibration text file: bounded reading and strict numbers, so that a
// file that is not a calibration file changes nothing.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "config/calibration_file.h"

namespace kestrel {

namespace p = protocol;

namespace {

// A calibration line is one number; anything much longer is not a
// calibration file (and must not be read whole into memory).
constexpr size_t kMaxLineBytes = 4096;

bool isBlank(const std::string& line) {
  for (unsigned char c : line)
    if (!std::isspace(c)) return false;
  return true;
}

enum class LineRead { Line, End, TooLong };

LineRead readBoundedLine(std::istream& in, std::string* line) {
  line->clear();
  for (int c = in.get(); c != std::char_traits<char>::eof(); c = in.get()) {
    if (c == '\n') return LineRead::Line;
    if (line->size() == kMaxLineBytes) return LineRead::TooLong;
    line->push_back(static_cast<char>(c));
  }
  return line->empty() ? LineRead::End : LineRead::Line;
}

// Leading space and trailing text are allowed, as std::stod allows them. A
// value that overflows or underflows to zero is refused; a subnormal is a
// number like any other.
std::optional<double> parseNumber(const std::string& line) {
  const char* begin = line.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  if (errno == ERANGE && (std::isinf(value) || value == 0.0)) return std::nullopt;
  return value;
}

}  // namespace

bool parseCalibrationLines(std::istream& in, CalibrationTable* table) {
  std::vector<std::string> lines;
  std::string line;
  while (lines.size() < static_cast<size_t>(p::kCalibrationValues)) {
    const LineRead read = readBoundedLine(in, &line);
    if (read == LineRead::TooLong) return false;
    if (read == LineRead::End) break;
    lines.push_back(line);
  }
  // Blank lines at the very end are how many editors finish a file.
  while (!lines.empty() && isBlank(lines.back())) lines.pop_back();
  if (lines.empty()) return false;  // not one number: nothing to calibrate with
  CalibrationTable parsed = *table;  // rows the file does not reach keep their values
  for (size_t k = 0; k < lines.size(); ++k) {
    const std::optional<double> value = parseNumber(lines[k]);
    if (!value) return false;
    parsed[k / p::kCalibrationColumns][k % p::kCalibrationColumns] = *value;
  }
  *table = parsed;
  return true;
}

bool readCalibrationFile(const char* path, CalibrationTable* table) {
  if (path == nullptr) return false;
  // Only a regular file: a directory reads as empty, a device never ends and
  // a FIFO without a writer would block the open itself.
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path), error)) return false;
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file.is_open()) return false;
  return parseCalibrationLines(file, table);
}

}  // namespace kestrel
