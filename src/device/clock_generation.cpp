// Clock generation and the output controls: planning a clock on the host,
// uploading it, register 261, and the Tx1/Tx2 power and Tx2 divider.
#include <array>
#include <cmath>

#include "config/conversions.h"
#include "config/fm_math.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;

namespace {

// The loop options the planner knows by number.
constexpr double kFirstOption = 0;
constexpr double kLastOption = 20;
constexpr int kSettingsPerBlock = p::kBlockSize / 8;
constexpr int kSettingBlocks = (p::kSettingCount + kSettingsPerBlock - 1) / kSettingsPerBlock;
constexpr double kHzPerMHz = 1e6;

bool wholeWithin(double value, double lowest, double highest) {
  return value >= lowest && value <= highest && value == std::trunc(value);  // NaN (blank memory) fails
}

}  // namespace

Status ClockSource_API::adoptBoardClock() {
  if (modelHoldsBoardClock) return Status::Ok;
  // Three block reads rather than the byte-wise setting reads: this runs
  // inside a setter, which must not cost a quarter of a second.
  std::array<double, kSettingsPerBlock * kSettingBlocks> stored{};
  for (int block = 0; block < kSettingBlocks; ++block) {
    if (!link.readMemBlock(0, p::settingAddress(block * kSettingsPerBlock), blockReceiveArea.data()))
      return Status::Failed;
    for (int i = 0; i < kSettingsPerBlock; ++i)
      stored[static_cast<size_t>(block * kSettingsPerBlock + i)] = doubleFromBytes(blockReceiveArea.data() + 8 * i);
  }
  auto setting = [&stored](p::SettingIndex index) { return stored[static_cast<size_t>(index)]; };
  modelHoldsBoardClock = true;

  if (const double option = setting(p::SettingIndex::GenerateOption); wholeWithin(option, kFirstOption, kLastOption))
    state.generateOption = static_cast<int32_t>(option);
  if (const double hz = setting(p::SettingIndex::FMFrequency);
      hz >= p::kCustomFMMinMHz * kHzPerMHz && hz <= p::kCustomFMMaxMHz * kHzPerMHz) {
    state.fmFrequencyHz = hz;
    state.fmIndex = fmIndexForFrequency(hz / kHzPerMHz);
  }
  if (const double amplitude = setting(p::SettingIndex::FMAmplitude); wholeWithin(amplitude, 0, 65535))
    state.fmAmplitude = amplitude;
  const double frequency = setting(p::SettingIndex::GenerateFrequency);
  if (frequency > p::kClockMinMHz && frequency < p::kClockMaxMHz) {
    state.generateFrequency = frequency;
    state.referenceFrequency = p::kBoardReferenceMHz;
    planClock(&state.referenceFrequency, &state.generateFrequency, state.generateOption);
  }
  if (const double power = setting(p::SettingIndex::Tx1Power); wholeWithin(power, p::kTx1PowerMin, p::kTx1PowerMax)) {
    state.tx1Power = power;
    synth.outputAPower = static_cast<int32_t>(power);
  }
  synth.buildRegisterImage();
  return Status::Ok;
}


int32_t ClockSource_API::planClock(const double* reference, const double* frequency, int32_t option) {
  return synth.configure(*reference, *frequency, option);
}

Status ClockSource_API::planAndWriteClock(const double* reference, const double* frequency, int32_t option) {
  planClock(reference, frequency, option);
  synth.buildRegisterImage();
  return writeSynthRegisters();
}

Status ClockSource_API::recordTx1Power(double value) {
  return writeSetting(static_cast<int32_t>(p::SettingIndex::Tx1Power), value);
}

Status ClockSource_API::generateClock(double frequencyMHz, int32_t /*option: the stored profile applies*/) {
  if (!state.connected) {
    state.generateFrequency = frequencyMHz;
    return Status::NotConnected;
  }
  if (!(frequencyMHz > p::kClockMinMHz && frequencyMHz < p::kClockMaxMHz)) {  // NaN included
    state.generateFrequency = frequencyMHz;
    return Status::OutOfRange;
  }
  // The new clock carries the board's Tx1 power and loop option across.
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.generateFrequency = frequencyMHz;
  state.register261Value = 1;
  writeSetting(static_cast<int32_t>(p::SettingIndex::GenerateOption), state.generateOption);
  writeSetting(static_cast<int32_t>(p::SettingIndex::GenerateFrequency), state.generateFrequency);
  state.referenceFrequency = p::kBoardReferenceMHz;
  planClock(&state.referenceFrequency, &state.generateFrequency, state.generateOption);
  bool ok = writeSynthRegisters() == Status::Ok;
  ok = setRegister261(state.register261Value) == Status::Ok && ok;
  // Re-applying the Tx1 power keeps it across every new clock.
  ok = setTx1Power(truncateToInt32(state.tx1Power)) == Status::Ok && ok;
  return okOrFailed(ok);
}

Status ClockSource_API::setRegister261(int32_t value) {
  registerValue = low16(value);
  const bool ok = regAccess(1, 0, p::reg::kRegister261, &registerValue) != 0;
  writeSetting(static_cast<int32_t>(p::SettingIndex::Register261), value);
  return okOrFailed(ok);
}

Status ClockSource_API::setTx1Power(int32_t power) {
  if (adoptBoardClock() != Status::Ok) return Status::Failed;
  state.tx1Power = power;
  synth.outputAPower = power;
  synth.buildRegisterImage();
  const bool ok = writeSynthRegisters() == Status::Ok;
  writeSetting(static_cast<int32_t>(p::SettingIndex::Tx1Power), power);
  return okOrFailed(ok);
}

Status ClockSource_API::setTx2Power(double power) {
  state.tx2Power = power;
  const uint16_t slider = low16(truncateToInt64(p::kTx2SliderFullScale - power));
  const bool ok = writeRegister(p::reg::kTx2Slider, slider);
  if (ok) writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2Power), power);
  return okOrFailed(ok);
}

Status ClockSource_API::setTx2Divider(int32_t divider) {
  const uint16_t selection = static_cast<uint16_t>((1u << (static_cast<uint32_t>(divider) & 31u)) & 0xFFFFu);
  const bool ok = writeRegister(p::reg::kTx2Divider, selection);
  if (ok) writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2Divider), divider);
  return okOrFailed(ok);
}

}  // namespace kestrel
