// FM modulation: on/off, rate (table or custom), amplitude, phase skew and
// random-jitter amplitude.
#include <algorithm>
#include <cmath>
#include <limits>

#include "config/conversions.h"
#include "config/fm_math.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

int32_t ClockSource_API::enableFM(int32_t on) {
  if (!state.connected) {
    state.fmEnable = 0;
    return 2;
  }
  state.fmEnable = on;
  const bool ok = writeRegister(p::reg::kFMEnable, low16(on));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMEnable), on);
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setFMFrequency(int32_t index) {
  if (!state.connected) return 2;
  if (index < 0 || index >= kFMTableSize) return 3;
  state.fmIndex = static_cast<uint16_t>(index);
  state.fmFrequencyHz = state.fmTable[state.fmIndex].frequencyMHz * 1000000.0;
  return writeFMFrequencyAndFinish();
}

int32_t ClockSource_API::setCustomFMFrequency(double frequencyMHz) {
  if (!state.connected) return 2;
  if (state.calibrationSource != 0) return 5;
  state.fmIndex = fmIndexForFrequency(frequencyMHz);
  state.fmFrequencyHz = frequencyMHz * 1000000.0;
  return writeFMFrequencyAndFinish();
}

int32_t ClockSource_API::writeFMFrequencyAndFinish() {
  applyFMEntry();
  const int64_t hz = truncateToInt64(state.fmFrequencyHz);
  bool ok = writeRegister(p::reg::kFMFrequencyHigh, high16(hz));
  if (ok) ok = writeRegister(p::reg::kFMFrequencyLow, low16(hz));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMFrequency), state.fmFrequencyHz);
  refreshFMSynth();
  return ok ? 0 : 1;
}

int32_t ClockSource_API::writeFMAmplitudeRegister() {
  const int32_t source = state.calibrationSource;
  uint16_t value = low16(static_cast<int64_t>(state.fmAmplitude));
  if (source == 1 || source == 2) {
    const FMEntry& entry = state.fmTable[state.fmIndex % kFMTableSize];
    value = calibratedRegisterValue(evaluatePolynomial(entry.coefficients, state.fmAmplitude));
  }
  return writeRegister(p::reg::kFMAmplitude, value) ? 0 : 1;
}

int32_t ClockSource_API::setFMAmplitude(int32_t amplitude) {
  state.fmAmplitude = amplitude;
  const int32_t result = writeFMAmplitudeRegister();
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMAmplitude), state.fmAmplitude);
  refreshFMSynth();  // the amplitude decides the loop settings of the slowest rates
  return result;
}

int32_t ClockSource_API::setFMPhaseSkew(int32_t skew) {
  if (!state.connected) return 2;
  state.fmPhaseSkew = skew;
  if (state.fmPhaseSkew == state.fmPhaseSkewApplied) return 0;
  const uint64_t failuresBefore = failedExchangeCount();
  const bool ok = writeRegister(p::reg::kFMPhaseSkew, low16(skew));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMPhaseSkew), skew);
  refreshFMSynth();
  // Only a request that reached the board whole counts as applied, so a
  // repeat after any failure redoes all of it.
  if (failedExchangeCount() == failuresBefore) state.fmPhaseSkewApplied = state.fmPhaseSkew;
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setFMRJAmplitude(int32_t amplitude) {
  if (!state.connected) return 2;
  state.fmRJAmplitude = amplitude;
  if (state.fmRJAmplitude == state.fmRJAmplitudeApplied) return 0;
  const uint64_t failuresBefore = failedExchangeCount();
  const bool ok = writeRegister(p::reg::kFMRJAmplitude, low16(amplitude));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMRJAmplitude), amplitude);
  if (failedExchangeCount() == failuresBefore) state.fmRJAmplitudeApplied = state.fmRJAmplitude;
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setFMSwitch(int32_t page, int32_t value) {
  registerValue = low16(value);
  const bool ok = regAccess(1, low16(page), p::reg::kFMSwitch, &registerValue) != 0;
  if (static_cast<uint32_t>(page) < p::kFMSwitchCount)
    writeSetting(static_cast<int32_t>(p::SettingIndex::FMSwitch0) + page, value);
  return ok ? 1 : 0;
}

int32_t ClockSource_API::getFMSwitch(int32_t page, int32_t* destination) {
  const bool ok = regAccess(0, low16(page), p::reg::kFMSwitch, &registerValue) != 0;
  *destination = registerValue;
  return ok ? 1 : 0;
}

}  // namespace kestrel
