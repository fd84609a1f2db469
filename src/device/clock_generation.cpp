// Clock generation and the output controls: planning a clock on the host,
// uploading it, register 261, and the Tx1/Tx2 power and Tx2 divider.
#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;


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
  state.generateFrequency = frequencyMHz;
  if (!state.connected) return Status::NotConnected;
  if (!(frequencyMHz > p::kClockMinMHz && frequencyMHz < p::kClockMaxMHz)) return Status::OutOfRange;  // NaN included
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
