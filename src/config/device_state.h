// The host-side state of one board: connection flag, last clock request, FM
// table, powers, calibration tables, requested/applied modulation values.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/board_protocol.h"

namespace kestrel {

// c4, c3, c2, c1, c0, minimum, maximum.
using CalibrationRow = std::array<double, protocol::kCalibrationColumns>;
using CalibrationTable = std::array<CalibrationRow, protocol::kCalibrationRows>;

enum CalibrationColumn { kC4 = 0, kC3 = 1, kC2 = 2, kC1 = 3, kC0 = 4, kCalMin = 5, kCalMax = 6 };

// Where the FM amplitude calibration comes from (the C interface's
// VXCLK_CALIBRATION_ values).
inline constexpr int32_t kCalibrationNone = 0;
inline constexpr int32_t kCalibrationBoard = 1;
inline constexpr int32_t kCalibrationFile = 2;

struct FMEntry {
  double frequencyMHz = 0.0;
  double calibrationMin = 0.0;
  double calibrationMax = 0.0;
  std::array<double, 5> coefficients{};  // c4..c0
  int32_t synthSettingA = 0;             // charge-pump code while this rate is selected
  int32_t synthSettingB = 0;             // charge-pump gain code
  std::array<uint8_t, protocol::kFMSwitchCount> switches{};
};

inline constexpr int kFMTableSize = static_cast<int>(protocol::kFMRatesMHz.size());
inline constexpr int kStatusMessageCount = 65;

struct DeviceState {
  DeviceState();

  // Composes statusText from a fixed message and a suffix; an index outside
  // the table leaves statusText as it is.
  void setStatus(int index, std::string suffix);
  // What the board holds of the values that skip unchanged requests is not
  // known to a new instance, nor after a reconnect (another host, or a board
  // restart, may have changed it): unknown compares unequal to every
  // request, so the next setter writes what it is asked.
  void forgetAppliedValues();

  uint8_t connected = 0;
  int32_t generateOption = 1;
  int32_t register261Value = 0;
  double generateFrequency = 0.0;
  double referenceFrequency = protocol::kBoardReferenceMHz;
  std::string spareText;
  uint8_t spareFlag = 0;
  double minOutputFrequency = protocol::kClockMinMHz;
  double maxOutputFrequency = protocol::kClockMaxMHz;
  double referenceMode = 0.0;
  std::array<FMEntry, kFMTableSize> fmTable;
  uint16_t fmIndex = 0;
  double tx1Power = 1.0;
  double spareLevel = 1.0;
  double tx2Power = 1.0;
  double settingReadBuffer = 0.0;
  int32_t calibrationSource = 0;
  CalibrationTable activeCalibration{};
  CalibrationTable fileCalibration{};
  CalibrationTable boardCalibrationCopy{};
  int32_t fmEnable = 0;
  uint8_t spareFlag2 = 1;
  double fmFrequencyHz = 0.0;
  double fmAmplitude = 0.0;
  double spareValue1 = 0.0;
  double fmPhaseSkew = 0.0, fmPhaseSkewApplied = 0.0;
  double fmRJAmplitude = 0.0, fmRJAmplitudeApplied = 0.0;
  double tx2AMEnable = 0.0;
  double tx2AMAmplitude = 0.0, tx2AMAmplitudeApplied = 0.0;
  double tx2AMRJAmplitude = 0.0, tx2AMRJAmplitudeApplied = 0.0;
  double tx2PMEnable = 0.0;
  double tx2PMFrequency = 0.0;
  double tx2PMAmplitude = 0.0;
  double spareValue2 = 0.0;
  double tx2PMPhaseShiftAmplitude = 0.0;
  double spareValue3 = 0.0;
  double tx2PMBUJEnable = 0.0;
  double tx2PMBUJLineRate = 0.0;
  double spareValue4 = 0.0;
  double tx2BUJPRBS = 0.0, tx2BUJPRBSFlag = 0.0;
  double tx2PMBUJAmplitude = 0.0, tx2PMBUJAmplitudeApplied = 0.0;
  double tx2BUJAmplitude = 0.0, tx2BUJAmplitudeApplied = 0.0;
  int32_t spareCount = 0;
  double tx2PMRJEnable = 0.0;
  double tx2PMRJAmplitude = 0.0, tx2PMRJAmplitudeApplied = 0.0;
  std::string statusText;
  std::array<std::string, kStatusMessageCount> statusMessages;
};

// The FM table a new device starts with.
std::array<FMEntry, kFMTableSize> defaultFMTable();

}  // namespace kestrel
