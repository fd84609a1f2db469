// Connection, identity, raw register access and the health readings
// (temperature, VCO lock and voltage).
#include <utility>

#include "config/conversions.h"
#include "device/clock_source_api.h"
#include "platform/clock.h"

namespace kestrel {

namespace p = protocol;

ClockSource_API::ClockSource_API() {
  state.generateOption = 19;
  state.referenceMode = 0.0;
  state.forgetAppliedValues();
}

double ClockSource_API::getRevision() { return 2.6; }

Status ClockSource_API::connect(std::string address) {
  ipAddress.clear();
  ipAddress = std::move(address);
  // Whatever this instance believed of a board it reached before may no
  // longer hold: another host, or a restart, may have changed it.
  state.forgetAppliedValues();
  modelHoldsBoardClock = false;
  if (!openAndLearn()) return Status::Failed;
  // A board that does not answer frames sent back to back gets them one at
  // a time, on a connection of its own.
  if (!link.tryPipelining() && !openAndLearn()) return Status::Failed;
  CalibrationTable rows{};
  boardCalibrationRead = readCalibrationRows(&rows);
  // A failed read has dropped the connection it was made on: reporting
  // success would leave every later call failing. Rows from a failed read
  // are stale bytes, so the last good copy stays.
  if (!boardCalibrationRead) return Status::Failed;
  state.boardCalibrationCopy = rows;
  state.connected = 1;
  return Status::Ok;
}

bool ClockSource_API::openAndLearn() {
  return link.openLink(ipAddress.c_str(), link.boardPort) && link.learnAnswerShape();
}

Status ClockSource_API::disconnect() {
  if (!link.closeLink()) return Status::Failed;
  state.connected = 0;
  return Status::Ok;
}

bool ClockSource_API::readRegister(uint16_t page, uint16_t reg, uint16_t* value) {
  return link.regAccess(0, page, reg, value);
}

bool ClockSource_API::writeRegister(uint16_t reg, uint16_t value) { return regAccess(1, 0, reg, &value) != 0; }

Status ClockSource_API::readBoardID(int32_t* boardIdOut) {
  const bool ok = readRegister(0, p::reg::kBoardId, &idValue);
  boardID = idValue;
  if (ok && boardIdOut != nullptr) *boardIdOut = boardID;
  return okOrFailed(ok);
}

int32_t ClockSource_API::getBoardID() {
  readBoardID(nullptr);
  return boardID;
}

bool ClockSource_API::readShortSerialNumber() {
  const bool lowOk = readRegister(0, p::reg::kSerial0, &serialLowValue);
  const bool highOk = readRegister(0, p::reg::kSerial1, &serialHighValue);
  shortSerialNumber = static_cast<int32_t>(static_cast<uint32_t>(serialHighValue) * 65536u + serialLowValue);
  return lowOk && highOk;
}

int32_t ClockSource_API::getShortSerialNumber() {
  readShortSerialNumber();
  return shortSerialNumber;
}

bool ClockSource_API::readSerialWords(std::array<uint16_t, 5>* words) {
  constexpr std::array<uint16_t, 5> kRegisters{p::reg::kSerial0, p::reg::kSerial1, p::reg::kSerial2,
                                               p::reg::kSerial3, p::reg::kSerial4};
  bool ok = true;
  for (size_t i = 0; i < kRegisters.size(); ++i) ok = readRegister(0, kRegisters[i], &(*words)[i]) && ok;
  return ok;
}

Status ClockSource_API::readSerialNumber(uint64_t* serialOut) {
  std::array<uint16_t, 5> data{};
  bool ok = readSerialWords(&data);
  uint64_t serial = 0;
  // The long form is valid when word 4 is word 5 divided by 5.
  if (data[4] / 5 == data[3]) {
    serial = (static_cast<uint64_t>(data[3]) << 48) + (static_cast<uint64_t>(data[2]) << 32) +
             (static_cast<uint64_t>(data[1]) << 16) + data[0];
  } else {
    ok = readShortSerialNumber() && ok;
    serial = static_cast<uint64_t>(static_cast<int64_t>(shortSerialNumber));
  }
  *serialOut = serial;
  return okOrFailed(ok);
}

Status ClockSource_API::getSerialNumber(uint64_t* destination) {
  *destination = 0;
  readSerialNumber(destination);
  return Status::Ok;
}

Status ClockSource_API::setShortSerialNumber(int32_t serial) {
  serialLowValue = low16(serial);
  serialHighValue = high16(serial);
  link.regAccess(1, 0, p::reg::kSerial0, &serialLowValue);
  link.regAccess(1, 0, p::reg::kSerial1, &serialHighValue);
  return Status::Ok;
}

double ClockSource_API::getRegister9Tenths() {
  readRegister(0, p::reg::kRegister9, &idValue);
  return idValue / 10.0;
}

int32_t ClockSource_API::regAccess(uint8_t write, uint16_t page, uint16_t address, uint16_t* value) {
  return link.regAccess(write, page, address, value) ? 1 : 0;
}

double ClockSource_API::getTemperature(uint16_t sensor) {
  double reading = 0.0;
  readTemperature(sensor, &reading);
  return reading;
}

Status ClockSource_API::readTemperature(uint16_t sensor, double* readingOut) {
  const bool ok = link.regAccess(0, sensor, p::reg::kTemperature, &temperatureValue);
  *readingOut = temperatureValue;
  return okOrFailed(ok);
}

Status ClockSource_API::checkVCOLock(int32_t* destination) {
  const bool ok = regAccess(0, 0, p::reg::kVcoLock, &registerValue) != 0;
  *destination = registerValue;
  return okOrFailed(ok);
}

Status ClockSource_API::checkVCOVoltage(double* destination) {
  const bool ok = regAccess(0, 0, p::reg::kVcoVoltage, &registerValue) != 0;
  *destination = registerValue / 1000.0;
  return okOrFailed(ok);
}

std::string ClockSource_API::makeTimestampName() {
  timestampSystemTime.milliseconds = platform::utcMilliseconds();
  timestampSeconds = platform::calendarSeconds();
  platform::localTime(timestampSeconds, &timestampLocal);
  const std::string name = formatTimestampName(timestampLocal, timestampSystemTime.milliseconds);
  timestampText.fill('\0');
  name.copy(timestampText.data(), timestampText.size() - 1);
  return name;
}

}  // namespace kestrel
