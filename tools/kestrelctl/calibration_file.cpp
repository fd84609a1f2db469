#include "calibration_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "protocol/board_protocol.h"

namespace kestrelctl {

namespace {

// The library refuses longer lines rather than read them whole.
constexpr size_t kCalibrationLineLimit = 4096;
// What is shown of an offending line.
constexpr size_t kQuotedLength = 40;

bool blankLine(const std::string& line) {
  for (const unsigned char c : line) {
    if (!std::isspace(c)) return false;
  }
  return true;
}

std::string quotedLine(const std::string& line) {
  std::string shown;
  for (const unsigned char c : line.substr(0, kQuotedLength)) shown += std::isprint(c) ? static_cast<char>(c) : '?';
  return "'" + shown + (line.size() > kQuotedLength ? "...'" : "'");
}

// Empty when the line is a number as the library parses it (strtod: leading
// space and trailing text allowed; overflow and underflow to zero refused).
std::string numberProblem(const std::string& line, size_t number) {
  const std::string where = "line " + std::to_string(number);
  const char* begin = line.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end == begin) {
    if (blankLine(line)) return where + " is blank (only blank lines at the end are skipped)";
    return where + ": " + quotedLine(line) + " holds no number";
  }
  if (errno == ERANGE && std::isinf(value)) return where + ": " + quotedLine(line) + " is too large for a double";
  if (errno == ERANGE && value == 0.0) return where + ": " + quotedLine(line) + " is too small for a double (reads as 0)";
  return {};
}

}  // namespace

std::string calibrationFileProblem(const std::string& path) {
  std::error_code error;
  const std::filesystem::path file(path);
  if (!std::filesystem::exists(file, error)) return "'" + path + "' does not exist";
  if (!std::filesystem::is_regular_file(file, error)) return "'" + path + "' is not a regular file";
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) return "'" + path + "' cannot be opened";

  std::vector<std::string> lines;
  std::string line;
  bool tooLong = false;
  while (!tooLong && lines.size() < static_cast<size_t>(kestrel::protocol::kCalibrationValues)) {
    line.clear();
    int c = in.get();
    if (c == std::char_traits<char>::eof()) break;
    for (; c != std::char_traits<char>::eof() && c != '\n'; c = in.get()) {
      if (line.size() == kCalibrationLineLimit) {
        tooLong = true;
        break;
      }
      line.push_back(static_cast<char>(c));
    }
    lines.push_back(line);
  }
  const size_t read = lines.size();
  if (!tooLong) {
    while (!lines.empty() && blankLine(lines.back())) lines.pop_back();
    if (lines.empty()) return "'" + path + "' holds no number";
  }
  for (size_t k = 0; k < lines.size(); ++k) {
    if (tooLong && k + 1 == read) {
      return "line " + std::to_string(k + 1) + " is longer than " + std::to_string(kCalibrationLineLimit) + " bytes";
    }
    std::string problem = numberProblem(lines[k], k + 1);
    if (!problem.empty()) return problem;
  }
  return {};
}

}  // namespace kestrelctl
