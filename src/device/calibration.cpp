// Where the FM amplitude calibration comes from (nowhere, the board's stored
// rows, or a text file) and the board's calibration table in memory.
#include <cmath>
#include <cstring>

#include "config/calibration_file.h"
#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

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

int32_t ClockSource_API::getMinMaxCalibration(int32_t row, double* minimum, double* maximum) {
  if (row < 0 || row >= p::kCalibrationRows) return 3;
  *minimum = state.activeCalibration[row][kCalMin];
  *maximum = state.activeCalibration[row][kCalMax];
  return 0;
}

int32_t ClockSource_API::resetCalibrationTable() {
  for (CalibrationRow& row : boardCalibration) {
    row.fill(0.0);
    row[kC1] = 1.0;
    row[kCalMin] = 0.0;
    row[kCalMax] = 4095.0;
  }
  return 0;
}

bool ClockSource_API::saveFMCalibrationValues(double tag, uint16_t row, const double* values) {
  bool ok = writeEEPROMAddress(static_cast<int32_t>(p::kCalibrationTagAddress), tag);
  for (int j = 0; j < p::kCalibrationColumns; ++j)
    ok = writeEEPROMAddress(static_cast<int32_t>(p::calibrationAddress(row, j)), values[j]) && ok;
  return ok;
}

bool ClockSource_API::readCalibrationRows(CalibrationTable* rows) {
  bool ok = true;
  for (int r = 0; r < p::kCalibrationRows; ++r) {
    ok = link.readMemBlock(0, p::calibrationAddress(r, 0), blockReceiveArea.data()) && ok;
    for (int j = 0; j < p::kCalibrationColumns; ++j) {
      const double value = doubleFromBytes(blockReceiveArea.data() + 8 * j);
      boardCalibration[r][j] = value;
      (*rows)[r][j] = value;
    }
  }
  return ok;
}

int32_t ClockSource_API::readCalibrationTable(double* destination) {
  CalibrationTable rows{};
  readCalibrationRows(&rows);
  for (int r = 0; r < p::kCalibrationRows; ++r)
    for (int j = 0; j < p::kCalibrationColumns; ++j) destination[r * p::kCalibrationColumns + j] = rows[r][j];
  return 0;
}

int32_t ClockSource_API::readCalibrationTag() {
  link.readMemBlock(0, p::kCalibrationTagAddress, blockReceiveArea.data());
  const double tag = doubleFromBytes(blockReceiveArea.data());
  const int32_t result = (tag > 0.0 && tag < 10.0) ? static_cast<int32_t>(tag) : -1;
  calibrationTag = result;
  calibrationInUse = true;
  return result;
}

int32_t ClockSource_API::clearCalibrationFlag() {
  calibrationInUse = false;
  return 0;
}

int32_t ClockSource_API::evaluateCalibration(int32_t row, double x) {
  if (row < 0 || row >= p::kCalibrationRows) return 0;
  const CalibrationRow& c = boardCalibration[row];
  const double y = (((c[kC4] * std::pow(x, 4) + c[kC3] * std::pow(x, 3)) + c[kC2] * (x * x)) + c[kC1] * x) + c[kC0];
  return truncateToInt32(y);
}

}  // namespace kestrel
