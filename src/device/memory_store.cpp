// Board memory: the settings mirror, the calibration table and free doubles,
// moved a byte at a time through registers 10 and 11 and read in blocks.
#include <cmath>
#include <cstring>

#include "device/clock_source_api.h"
#include "device/conversions.h"

namespace kestrel {

namespace p = protocol;

namespace {
// The board needs time after each byte read before it takes the next address.
constexpr int kByteReadPauseMs = 10;

double doubleFromBytes(const uint8_t* bytes) {
  double value = 0.0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}
}  // namespace

double ClockSource_API::getTemperature(uint16_t sensor) {
  double reading = 0.0;
  readTemperature(sensor, &reading);
  return reading;
}

bool ClockSource_API::readTemperature(uint16_t sensor, double* readingOut) {
  const bool ok = link.regAccess(0, sensor, p::reg::kTemperature, &temperatureValue);
  *readingOut = temperatureValue;
  return ok;
}

bool ClockSource_API::readSetting(uint8_t index, double* out) {
  return getEEPROMAddress(static_cast<int32_t>(p::settingAddress(index)), out);
}

bool ClockSource_API::writeSetting(int32_t index, double value) {
  return writeEEPROMAddress(static_cast<int32_t>(p::settingAddress(index)), value);
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

bool ClockSource_API::writeEEPROMAddress(int32_t address, double value) {
  bool ok = true;
  regAddress = static_cast<uint16_t>(address);
  std::memcpy(stagingBuffer.data(), &value, sizeof value);
  for (int i = 0; i < 8; ++i) {
    if (ok) ok = link.regAccess(1, 0, p::reg::kMemoryAddress, &regAddress);
    memoryDataValue = stagingBuffer[i];
    if (ok) ok = link.regAccess(1, 0, p::reg::kMemoryData, &memoryDataValue);
    ++regAddress;
  }
  return ok;
}

bool ClockSource_API::getEEPROMAddress(int32_t address, double* out) {
  uint16_t counter = static_cast<uint16_t>(address);
  bool ok = true;
  std::array<uint8_t, 8> bytes{};
  for (int i = 0; i < 8; ++i) {
    if (ok) ok = link.regAccess(1, 0, p::reg::kMemoryAddress, &counter);
    if (ok) ok = link.regAccess(0, 0, p::reg::kMemoryData, &memoryDataValue);
    bytes[i] = static_cast<uint8_t>(memoryDataValue & 0xFF);
    platform::sleepMs(kByteReadPauseMs);
    ++counter;
  }
  *out = doubleFromBytes(bytes.data());
  return ok;
}

}  // namespace kestrel
