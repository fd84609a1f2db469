// Clock generation and the output controls: planning a clock on the host,
// uploading it, and the Tx1/Tx2 power and Tx2 divider registers.
#include <algorithm>
#include <cmath>

#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

namespace {
// The loop profile every generated clock uses, whatever the caller asked for.
constexpr double kLowestClockMHz = 20.0;
constexpr double kHighestClockMHz = 5500.0;
constexpr double kFMLoopTargetMHz = 80.0;
// The slowest FM rates need the fastest charge pump while FM is silent.
constexpr int32_t kSilentFMChargePumpCode = 31;
constexpr int32_t kSilentFMChargePumpGain = 3;
constexpr uint16_t kTx2SliderFullScale = 4096;
}  // namespace

int32_t ClockSource_API::planClock(const double* reference, const double* frequency, int32_t option) {
  return synth.configure(*reference, *frequency, option);
}

int32_t ClockSource_API::planAndWriteClock(const double* reference, const double* frequency, int32_t option) {
  planClock(reference, frequency, option);
  synth.buildRegisterImage();
  return writeSynthRegisters();
}

bool ClockSource_API::recordTx1Power(double value) {
  return writeSetting(static_cast<int32_t>(p::SettingIndex::Tx1Power), value);
}

int32_t ClockSource_API::generateClock(double frequencyMHz, int32_t /*option: the stored profile applies*/) {
  state.generateFrequency = frequencyMHz;
  if (!state.connected) return 2;
  if (!(frequencyMHz > kLowestClockMHz && frequencyMHz < kHighestClockMHz)) return 3;  // NaN included
  state.register261Value = 1;
  writeSetting(static_cast<int32_t>(p::SettingIndex::GenerateOption), state.generateOption);
  writeSetting(static_cast<int32_t>(p::SettingIndex::GenerateFrequency), state.generateFrequency);
  state.referenceFrequency = p::kBoardReferenceMHz;
  planClock(&state.referenceFrequency, &state.generateFrequency, state.generateOption);
  bool ok = writeSynthRegisters() == 0;
  ok = setRegister261(state.register261Value) == 0 && ok;
  // Re-applying the Tx1 power keeps it across every new clock.
  ok = setTx1Power(truncateToInt32(state.tx1Power)) == 0 && ok;
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setRegister261(int32_t value) {
  registerValue = low16(value);
  const bool ok = regAccess(1, 0, p::reg::kRegister261, &registerValue) != 0;
  writeSetting(static_cast<int32_t>(p::SettingIndex::Register261), value);
  return ok ? 0 : 1;
}

int32_t ClockSource_API::refreshFMSynth() {
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

int32_t ClockSource_API::applyFMEntry() {
  if (!state.connected) return 2;
  refreshFMSynth();
  const FMEntry& entry = state.fmTable[std::min<int>(state.fmIndex, kFMTableSize - 1)];
  for (int k = 0; k < p::kFMSwitchCount; ++k) setFMSwitch(k, entry.switches[k] == 1 ? 1 : 0);
  return 0;
}

int32_t ClockSource_API::setFMAmplitudeScaled(double amplitude, bool flagA, bool flagB, double scale, double* readout) {
  if (!state.connected) return 2;
  if (state.fmEnable != 1) return 1;
  state.fmAmplitude = std::trunc(amplitude);
  refreshFMSynth();
  if (!flagA && !flagB) return 0;
  if (scale == 0.0) return 1;
  *readout = amplitude * scale / 1000;
  return 0;
}

int32_t ClockSource_API::setTx1Power(int32_t power) {
  state.tx1Power = power;
  synth.outputAPower = power;
  synth.buildRegisterImage();
  const bool ok = writeSynthRegisters() == 0;
  writeSetting(static_cast<int32_t>(p::SettingIndex::Tx1Power), power);
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setTx2Power(double power) {
  state.tx2Power = power;
  const uint16_t slider = low16(truncateToInt64(kTx2SliderFullScale - power));
  const bool ok = writeRegister(p::reg::kTx2Slider, slider);
  if (ok) writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2Power), power);
  return ok ? 0 : 1;
}

int32_t ClockSource_API::setTx2Divider(int32_t divider) {
  const uint16_t selection = static_cast<uint16_t>((1u << (static_cast<uint32_t>(divider) & 31u)) & 0xFFFFu);
  const bool ok = writeRegister(p::reg::kTx2Divider, selection);
  if (ok) writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2Divider), divider);
  return ok ? 0 : 1;
}

}  // namespace kestrel
