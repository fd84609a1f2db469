// Board memory: the settings mirror and free doubles, moved a byte at a time
// through registers 10 and 11.
#include <cstring>

#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

namespace {
// The board needs time after each byte read before it takes the next address.
constexpr int kByteReadPauseMs = 10;
}  // namespace

Status ClockSource_API::readSetting(uint8_t index, double* out) {
  return getEEPROMAddress(static_cast<int32_t>(p::settingAddress(index)), out);
}

Status ClockSource_API::writeSetting(int32_t index, double value) {
  return writeEEPROMAddress(static_cast<int32_t>(p::settingAddress(index)), value);
}

Status ClockSource_API::writeEEPROMAddress(int32_t address, double value) {
  bool ok = true;
  regAddress = static_cast<uint16_t>(address);
  std::memcpy(stagingBuffer.data(), &value, sizeof value);
  for (int i = 0; i < 8; ++i) {
    if (ok) ok = link.regAccess(1, 0, p::reg::kMemoryAddress, &regAddress);
    memoryDataValue = stagingBuffer[i];
    if (ok) ok = link.regAccess(1, 0, p::reg::kMemoryData, &memoryDataValue);
    ++regAddress;
  }
  // Sent ahead of their answers, the bytes count as stored once every answer is in.
  return okOrFailed(link.settle() && ok);
}

Status ClockSource_API::getEEPROMAddress(int32_t address, double* out) {
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
  return okOrFailed(ok);
}

}  // namespace kestrel
