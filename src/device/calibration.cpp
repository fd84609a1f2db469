// Where the FM amplitude calibration comes from (nowhere, the board's stored
// rows, or a text file) and the board's calibration table in memory.
#include <cmath>
#include <cstring>

#include "config/calibration_file.h"
#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

Status ClockSource_API::initializeInstance(int32_t source, const char* path) {
  if (!state.connected) return Status::NotConnected;
  // Everything that can fail happens before anything changes.
  CalibrationTable fromFile = state.fileCalibration;
  if (source == kCalibrationFile && !readCalibrationFile(path, &fromFile)) return Status::Failed;
  if (source == kCalibrationBoard && !boardCalibrationRead) return Status::Failed;

  state.calibrationSource = source;
  if (source == kCalibrationNone) {
    calibrationInUse = false;
  } else if (source == kCalibrationBoard) {
    calibrationInUse = true;
    state.activeCalibration = state.boardCalibrationCopy;
  } else if (source == kCalibrationFile) {
    calibrationInUse = true;
    state.fileCalibration = fromFile;
    state.activeCalibration = state.fileCalibration;
  }
  applyCalibrationToFMTable();
  return Status::Ok;
}

Status ClockSource_API::applyCalibrationToFMTable() {
  if (!state.connected) return Status::NotConnected;
  for (int r = 0; r < kFMTableSize; ++r) {
    const CalibrationRow& row = state.activeCalibration[r];
    FMEntry& entry = state.fmTable[r];
    for (int c = 0; c < 5; ++c) entry.coefficients[c] = row[c];
    entry.calibrationMin = row[kCalMin];
    entry.calibrationMax = row[kCalMax];
  }
  return Status::Ok;
}

Status ClockSource_API::getMinMaxCalibration(int32_t row, double* minimum, double* maximum) {
  if (row < 0 || row >= p::kCalibrationRows) return Status::OutOfRange;
  *minimum = state.activeCalibration[row][kCalMin];
  *maximum = state.activeCalibration[row][kCalMax];
  return Status::Ok;
}

Status ClockSource_API::resetCalibrationTable() {
  for (CalibrationRow& row : boardCalibration) {
    row.fill(0.0);
    row[kC1] = 1.0;
    row[kCalMin] = 0.0;
    row[kCalMax] = 4095.0;
  }
  return Status::Ok;
}

Status ClockSource_API::saveFMCalibrationValues(double tag, uint16_t row, const double* values) {
  bool ok = writeEEPROMAddress(static_cast<int32_t>(p::kCalibrationTagAddress), tag) == Status::Ok;
  for (int j = 0; j < p::kCalibrationColumns; ++j)
    ok = writeEEPROMAddress(static_cast<int32_t>(p::calibrationAddress(row, j)), values[j]) == Status::Ok && ok;
  return okOrFailed(ok);
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

Status ClockSource_API::readCalibrationTable(double* destination) {
  CalibrationTable rows{};
  readCalibrationRows(&rows);
  for (int r = 0; r < p::kCalibrationRows; ++r)
    for (int j = 0; j < p::kCalibrationColumns; ++j) destination[r * p::kCalibrationColumns + j] = rows[r][j];
  return Status::Ok;
}

int32_t ClockSource_API::readCalibrationTag() {
  link.readMemBlock(0, p::kCalibrationTagAddress, blockReceiveArea.data());
  const double tag = doubleFromBytes(blockReceiveArea.data());
  const int32_t result = (tag > 0.0 && tag < 10.0) ? static_cast<int32_t>(tag) : -1;
  calibrationTag = result;
  calibrationInUse = true;
  return result;
}

Status ClockSource_API::clearCalibrationFlag() {
  calibrationInUse = false;
  return Status::Ok;
}

int32_t ClockSource_API::evaluateCalibration(int32_t row, double x) {
  if (row < 0 || row >= p::kCalibrationRows) return 0;
  const CalibrationRow& c = boardCalibration[row];
  const double y = (((c[kC4] * std::pow(x, 4) + c[kC3] * std::pow(x, 3)) + c[kC2] * (x * x)) + c[kC1] * x) + c[kC0];
  return truncateToInt32(y);
}

}  // namespace kestrel
