// Where the FM amplitude calibration comes from: nowhere, the board's stored
// rows, or a text file with one number per line.
#include <cctype>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/calibration_file.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

namespace {

bool isBlank(const std::string& line) {
  for (unsigned char c : line)
    if (!std::isspace(c)) return false;
  return true;
}

}  // namespace

bool parseCalibrationLines(std::istream& in, CalibrationTable* table) {
  std::vector<std::string> lines;
  for (std::string line; lines.size() < static_cast<size_t>(p::kCalibrationValues) && std::getline(in, line);)
    lines.push_back(line);
  // Blank lines at the very end are how many editors finish a file.
  while (!lines.empty() && isBlank(lines.back())) lines.pop_back();
  CalibrationTable parsed = *table;  // rows the file does not reach keep their values
  for (size_t k = 0; k < lines.size(); ++k) {
    try {
      parsed[k / p::kCalibrationColumns][k % p::kCalibrationColumns] = std::stod(lines[k]);
    } catch (const std::invalid_argument&) {
      return false;
    } catch (const std::out_of_range&) {
      return false;
    }
  }
  *table = parsed;
  return true;
}

bool readCalibrationFile(const char* path, CalibrationTable* table) {
  if (path == nullptr) return false;
  std::ifstream file(path);
  if (!file.is_open()) return false;
  return parseCalibrationLines(file, table);
}

int32_t ClockSource_API::initializeInstance(int32_t source, const char* path) {
  if (!state.connected) return 2;
  // Everything that can fail happens before anything changes.
  CalibrationTable fromFile = state.fileCalibration;
  if (source == 2 && !readCalibrationFile(path, &fromFile)) return 1;
  if (source == 1 && !boardCalibrationRead) return 1;

  state.calibrationSource = source;
  if (source == 0) {
    calibrationInUse = false;
  } else if (source == 1) {
    calibrationInUse = true;
    state.activeCalibration = state.boardCalibrationCopy;
  } else if (source == 2) {
    calibrationInUse = true;
    state.fileCalibration = fromFile;
    state.activeCalibration = state.fileCalibration;
  }
  applyCalibrationToFMTable();
  return 0;
}

int32_t ClockSource_API::applyCalibrationToFMTable() {
  if (!state.connected) return 2;
  for (int r = 0; r < kFMTableSize; ++r) {
    const CalibrationRow& row = state.activeCalibration[r];
    FMEntry& entry = state.fmTable[r];
    for (int c = 0; c < 5; ++c) entry.coefficients[c] = row[c];
    entry.calibrationMin = row[kCalMin];
    entry.calibrationMax = row[kCalMax];
  }
  return 0;
}

}  // namespace kestrel
