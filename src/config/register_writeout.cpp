// Calibration limits, the synthesizer upload and timestamped names.
#include <string>

#include "device/clock_source_api.h"
#include "platform/clock.h"
#include "synth/register_image.h"

namespace kestrel {

namespace p = protocol;

int32_t ClockSource_API::getMinMaxCalibration(int32_t row, double* minimum, double* maximum) {
  if (row < 0 || row >= p::kCalibrationRows) return 3;
  *minimum = state.activeCalibration[row][kCalMin];
  *maximum = state.activeCalibration[row][kCalMax];
  return 0;
}

int32_t ClockSource_API::writeSynthRegisters() {
  // Highest register first: the synthesizer latches a new setting when
  // register 0 arrives, so register 0 goes last.
  bool allOk = true;
  for (size_t i = kSynthImageRegisters.size(); i-- > 0;) {
    const uint16_t value = static_cast<uint16_t>(synth.registerImage[i] & 0xFFFFu);
    allOk = writeSynthRegister(kSynthImageRegisters[i], value) == 0 && allOk;
  }
  return allOk ? 0 : 1;
}

std::string formatTimestampName(const std::tm& local, uint16_t milliseconds) {
  std::array<char, 64> text{};
  const size_t length = std::strftime(text.data(), text.size(), "Date-%Y-%m-%d-Time-%H-%M-%S", &local);
  return std::string(text.data(), length) + "-" + std::to_string(milliseconds);
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
