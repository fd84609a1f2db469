// FM modulation: on/off, rate (table or custom), amplitude, phase skew,
// random-jitter amplitude, the loop settings each rate needs and the six
// FM switches.
#include <algorithm>
#include <cmath>
#include <limits>

#include "config/conversions.h"
#include "config/fm_math.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

namespace {
// The loop bandwidth target while FM runs.
constexpr double kFMLoopTargetMHz = 80.0;
// The slowest FM rates need the fastest charge pump while FM is silent.
constexpr int32_t kSilentFMChargePumpCode = 31;
constexpr int32_t kSilentFMChargePumpGain = 3;
}  // namespace

Status ClockSource_API::enableFM(int32_t on) {
  if (!state.connected) {
    state.fmEnable = 0;
    return Status::NotConnected;
  }
  state.fmEnable = on;
  const bool ok = writeRegister(p::reg::kFMEnable, low16(on));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMEnable), on);
  return okOrFailed(ok);
}

Status ClockSource_API::setFMFrequency(int32_t index) {
  if (!state.connected) return Status::NotConnected;
  if (index < 0 || index >= kFMTableSize) return Status::OutOfRange;
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.fmIndex = static_cast<uint16_t>(index);
  state.fmFrequencyHz = state.fmTable[state.fmIndex].frequencyMHz * 1000000.0;
  return writeFMFrequencyAndFinish();
}

Status ClockSource_API::setCustomFMFrequency(double frequencyMHz) {
  if (!state.connected) return Status::NotConnected;
  if (state.calibrationSource != kCalibrationNone) return Status::CalibrationSourceSelected;
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.fmIndex = fmIndexForFrequency(frequencyMHz);
  state.fmFrequencyHz = frequencyMHz * 1000000.0;
  return writeFMFrequencyAndFinish();
}

Status ClockSource_API::writeFMFrequencyAndFinish() {
  applyFMEntry();
  const int64_t hz = truncateToInt64(state.fmFrequencyHz);
  bool ok = writeRegister(p::reg::kFMFrequencyHigh, high16(hz));
  if (ok) ok = writeRegister(p::reg::kFMFrequencyLow, low16(hz));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMFrequency), state.fmFrequencyHz);
  refreshFMSynth();
  return okOrFailed(ok);
}

Status ClockSource_API::writeFMAmplitudeRegister() {
  uint16_t value = low16(static_cast<int64_t>(state.fmAmplitude));
  if (state.calibrationSource == kCalibrationBoard || state.calibrationSource == kCalibrationFile) {
    const FMEntry& entry = state.fmTable[state.fmIndex % kFMTableSize];
    value = calibratedRegisterValue(evaluatePolynomial(entry.coefficients, state.fmAmplitude));
  }
  return okOrFailed(writeRegister(p::reg::kFMAmplitude, value));
}

Status ClockSource_API::setFMAmplitude(int32_t amplitude) {
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.fmAmplitude = amplitude;
  const Status result = writeFMAmplitudeRegister();
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMAmplitude), state.fmAmplitude);
  refreshFMSynth();  // the amplitude decides the loop settings of the slowest rates
  return result;
}

Status ClockSource_API::setFMPhaseSkew(int32_t skew) {
  if (!state.connected) return Status::NotConnected;
  state.fmPhaseSkew = skew;
  if (state.fmPhaseSkew == state.fmPhaseSkewApplied) return Status::Ok;
  const uint64_t failuresBefore = failedExchangeCount();
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  const bool ok = writeRegister(p::reg::kFMPhaseSkew, low16(skew));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMPhaseSkew), skew);
  refreshFMSynth();
  // Only a request that reached the board whole counts as applied, so a
  // repeat after any failure redoes all of it.
  if (failedExchangeCount() == failuresBefore) state.fmPhaseSkewApplied = state.fmPhaseSkew;
  return okOrFailed(ok);
}

Status ClockSource_API::setFMRJAmplitude(int32_t amplitude) {
  if (!state.connected) return Status::NotConnected;
  state.fmRJAmplitude = amplitude;
  if (state.fmRJAmplitude == state.fmRJAmplitudeApplied) return Status::Ok;
  const uint64_t failuresBefore = failedExchangeCount();
  const bool ok = writeRegister(p::reg::kFMRJAmplitude, low16(amplitude));
  writeSetting(static_cast<int32_t>(p::SettingIndex::FMRJAmplitude), amplitude);
  if (failedExchangeCount() == failuresBefore) state.fmRJAmplitudeApplied = state.fmRJAmplitude;
  return okOrFailed(ok);
}

Status ClockSource_API::refreshFMSynth() {
  const FMEntry& entry = state.fmTable[std::min<int>(state.fmIndex, kFMTableSize - 1)];
  synth.chargePumpCode = entry.synthSettingA;
  synth.chargePumpGain = entry.synthSettingB;
  if (state.fmIndex <= 1 && state.fmAmplitude == 0.0) {
    synth.chargePumpCode = kSilentFMChargePumpCode;
    synth.chargePumpGain = kSilentFMChargePumpGain;
  }
  synth.applyChargePumpCode();
  synth.pdFrequency = kFMLoopTargetMHz;
  synth.tunePhaseDetector(kFMLoopTargetMHz);
  synth.roundPostDivider();
  synth.validatePlan();
  synth.buildRegisterImage();
  return writeSynthRegisters();
}

Status ClockSource_API::applyFMEntry() {
  if (!state.connected) return Status::NotConnected;
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  refreshFMSynth();
  const FMEntry& entry = state.fmTable[std::min<int>(state.fmIndex, kFMTableSize - 1)];
  for (int k = 0; k < p::kFMSwitchCount; ++k) setFMSwitch(k, entry.switches[k] == 1 ? 1 : 0);
  return Status::Ok;
}

Status ClockSource_API::setFMAmplitudeScaled(double amplitude, bool flagA, bool flagB, double scale, double* readout) {
  if (!state.connected) return Status::NotConnected;
  if (state.fmEnable != 1) return Status::Failed;
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.fmAmplitude = std::trunc(amplitude);
  refreshFMSynth();
  if (!flagA && !flagB) return Status::Ok;
  if (scale == 0.0) return Status::Failed;
  *readout = amplitude * scale / 1000;
  return Status::Ok;
}

Status ClockSource_API::setFMSwitch(int32_t page, int32_t value) {
  registerValue = low16(value);
  const bool ok = regAccess(1, low16(page), p::reg::kFMSwitch, &registerValue) != 0;
  if (static_cast<uint32_t>(page) < p::kFMSwitchCount)
    writeSetting(static_cast<int32_t>(p::SettingIndex::FMSwitch0) + page, value);
  return okOrFailed(ok);
}

Status ClockSource_API::getFMSwitch(int32_t page, int32_t* destination) {
  const bool ok = regAccess(0, low16(page), p::reg::kFMSwitch, &registerValue) != 0;
  *destination = registerValue;
  return okOrFailed(ok);
}

}  // namespace kestrel
