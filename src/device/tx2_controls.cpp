// Tx2 modulation (PM, AM), jitter injection (RJ, BUJ) and the clock-source
// select. Most of these are one procedure over a table: which registers a
// control writes, which enable it needs, whether it keeps an applied value,
// and which setting mirrors it.
#include <array>
#include <cmath>

#include "config/conversions.h"
#include "device/clock_source_api.h"

namespace kestrel {

namespace p = protocol;
using Field = double DeviceState::*;

namespace {

// What goes into a register, derived from the request.
enum class RegisterValue { Request, HzHigh, HzLow, One };
enum class SettingValue { Request, Hz };
enum class Precondition { None, Enabled, PMFrequencyRange };
enum class After { Nothing, ApplyFMEntry, ReapplyTx2Power };

struct RegisterWrite {
  uint16_t reg = 0;
  RegisterValue value = RegisterValue::Request;
};

}  // namespace

struct Tx2Control {
  Field requested = nullptr;
  Field applied = nullptr;        // set when the control skips unchanged requests
  Precondition precondition = Precondition::None;
  Field enable = nullptr;         // the enable that must be 1.0 first
  std::array<RegisterWrite, 2> writes{};
  int writeCount = 1;
  p::SettingIndex setting{};
  SettingValue settingValue = SettingValue::Request;
  After after = After::Nothing;
};

namespace {

constexpr double kMHz = 1000000.0;

Tx2Control control(Field requested, uint16_t reg, p::SettingIndex setting) {
  Tx2Control c;
  c.requested = requested;
  c.writes[0] = {reg, RegisterValue::Request};
  c.setting = setting;
  return c;
}

Tx2Control needsEnable(Tx2Control c, Field enable) {
  c.precondition = Precondition::Enabled;
  c.enable = enable;
  return c;
}

Tx2Control keepsApplied(Tx2Control c, Field applied) {
  c.applied = applied;
  return c;
}

const Tx2Control kEnableTx2PM = control(&DeviceState::tx2PMEnable, p::reg::kTx2PMEnable, p::SettingIndex::Tx2PMEnable);

const Tx2Control kSetTx2PMFrequency = [] {
  Tx2Control c = control(&DeviceState::tx2PMFrequency, p::reg::kTx2PMFrequencyHigh, p::SettingIndex::Tx2PMFrequency);
  c.precondition = Precondition::PMFrequencyRange;
  c.writes = {{{p::reg::kTx2PMFrequencyHigh, RegisterValue::HzHigh}, {p::reg::kTx2PMFrequencyLow, RegisterValue::HzLow}}};
  c.writeCount = 2;
  c.settingValue = SettingValue::Hz;
  c.after = After::ApplyFMEntry;
  return c;
}();

const Tx2Control kSetTx2PMAmplitude =
    needsEnable(control(&DeviceState::tx2PMAmplitude, p::reg::kTx2PMAmplitude, p::SettingIndex::Tx2PMAmplitude),
                &DeviceState::tx2PMEnable);

const Tx2Control kSetTx2PMPhaseShiftAmplitude =
    needsEnable(control(&DeviceState::tx2PMPhaseShiftAmplitude, p::reg::kTx2PMPhaseShiftAmplitude,
                        p::SettingIndex::Tx2PMPhaseShiftAmplitude),
                &DeviceState::tx2PMEnable);

const Tx2Control kEnableTx2PMRJ =
    control(&DeviceState::tx2PMRJEnable, p::reg::kTx2PMRJEnable, p::SettingIndex::Tx2PMRJEnable);

const Tx2Control kSetTx2PMRJAmplitude = keepsApplied(
    needsEnable(control(&DeviceState::tx2PMRJAmplitude, p::reg::kTx2PMRJAmplitude, p::SettingIndex::Tx2PMRJAmplitude),
                &DeviceState::tx2PMRJEnable),
    &DeviceState::tx2PMRJAmplitudeApplied);

const Tx2Control kEnableTx2PMBUJ =
    control(&DeviceState::tx2PMBUJEnable, p::reg::kTx2PMBUJEnable, p::SettingIndex::Tx2PMBUJEnable);

const Tx2Control kSetTx2PMBUJAmplitude =
    keepsApplied(needsEnable(control(&DeviceState::tx2PMBUJAmplitude, p::reg::kTx2PMBUJAmplitude,
                                     p::SettingIndex::Tx2PMBUJAmplitude),
                             &DeviceState::tx2PMBUJEnable),
                 &DeviceState::tx2PMBUJAmplitudeApplied);

const Tx2Control kSetTx2PMBUJLineRate = [] {
  Tx2Control c = control(&DeviceState::tx2PMBUJLineRate, p::reg::kTx2PMBUJLineRate, p::SettingIndex::Tx2PMBUJLineRate);
  // The board takes a new line rate only when 517 is written after it.
  c.writes[1] = {p::reg::kTx2PMBUJLineRateApply, RegisterValue::One};
  c.writeCount = 2;
  return c;
}();

const Tx2Control kSetTx2BUJAmplitude = keepsApplied(
    control(&DeviceState::tx2BUJAmplitude, p::reg::kTx2BUJAmplitude, p::SettingIndex::Tx2BUJAmplitude),
    &DeviceState::tx2BUJAmplitudeApplied);

const Tx2Control kEnableTx2AM = control(&DeviceState::tx2AMEnable, p::reg::kTx2AMEnable, p::SettingIndex::Tx2AMEnable);

const Tx2Control kSetTx2AMAmplitude = [] {
  Tx2Control c = keepsApplied(
      needsEnable(control(&DeviceState::tx2AMAmplitude, p::reg::kTx2AMAmplitude, p::SettingIndex::Tx2AMAmplitude),
                  &DeviceState::tx2AMEnable),
      &DeviceState::tx2AMAmplitudeApplied);
  c.after = After::ReapplyTx2Power;  // the AM amplitude only takes effect with the power written again
  return c;
}();

const Tx2Control kSetTx2AMRJAmplitude = keepsApplied(
    control(&DeviceState::tx2AMRJAmplitude, p::reg::kTx2AMRJAmplitude, p::SettingIndex::Tx2AMRJAmplitude),
    &DeviceState::tx2AMRJAmplitudeApplied);

uint16_t registerValue(RegisterValue source, double request) {
  switch (source) {
    case RegisterValue::Request: return low16(truncateToInt64(request));
    case RegisterValue::HzHigh: return high16(truncateToInt64(request * kMHz));
    case RegisterValue::HzLow: return low16(truncateToInt64(request * kMHz));
    case RegisterValue::One: return 1;
  }
  return 0;
}

// Ok when the request may go ahead, else the status to return.
Status checkPrecondition(const DeviceState& state, const Tx2Control& c, double request) {
  switch (c.precondition) {
    case Precondition::None: return Status::Ok;
    case Precondition::Enabled: return okOrFailed(state.*(c.enable) == 1.0);
    case Precondition::PMFrequencyRange:
      return request >= 0.0 && request <= p::kTx2PMFrequencyMaxMHz ? Status::Ok : Status::OutOfRange;
  }
  return Status::Ok;
}

}  // namespace

template <typename Control>
Status applyTx2Control(ClockSource_API& device, const Control& c, double request) {
  DeviceState& state = device.state;
  if (!state.connected) return Status::NotConnected;
  if (const Status refused = checkPrecondition(state, c, request); refused != Status::Ok) return refused;
  state.*(c.requested) = request;
  if (c.applied != nullptr && state.*(c.requested) == state.*(c.applied)) return Status::Ok;
  const uint64_t failuresBefore = device.failedExchangeCount();
  bool ok = true;
  for (int i = 0; i < c.writeCount && ok; ++i)
    ok = device.writeRegister(c.writes[i].reg, registerValue(c.writes[i].value, request));
  const double setting = c.settingValue == SettingValue::Hz ? request * kMHz : request;
  device.writeSetting(static_cast<int32_t>(c.setting), setting);
  if (c.after == After::ApplyFMEntry) device.applyFMEntry();
  if (c.after == After::ReapplyTx2Power) device.setTx2Power(state.tx2Power);
  // Only a request that reached the board whole counts as applied, so a
  // repeat after any failure redoes all of it (registers and mirror).
  if (c.applied != nullptr && device.failedExchangeCount() == failuresBefore) state.*(c.applied) = request;
  return okOrFailed(ok);
}

Status ClockSource_API::enableTx2PM(int32_t on) { return applyTx2Control(*this, kEnableTx2PM, on); }
Status ClockSource_API::setTx2PMFrequency(double frequencyMHz) {
  return applyTx2Control(*this, kSetTx2PMFrequency, frequencyMHz);}
Status ClockSource_API::setTx2PMAmplitude(double amplitude) {
  return applyTx2Control(*this, kSetTx2PMAmplitude, amplitude);
}
Status ClockSource_API::setTx2PMPhaseShiftAmplitude(int32_t amplitude) {
  return applyTx2Control(*this, kSetTx2PMPhaseShiftAmplitude, amplitude);
}
Status ClockSource_API::enableTx2PMRJ(int32_t on) { return applyTx2Control(*this, kEnableTx2PMRJ, on); }
Status ClockSource_API::setTx2PMRJAmplitude(double amplitude) {
  return applyTx2Control(*this, kSetTx2PMRJAmplitude, amplitude);}
Status ClockSource_API::enableTx2PMBUJ(int32_t on) { return applyTx2Control(*this, kEnableTx2PMBUJ, on); }
Status ClockSource_API::setTx2PMBUJAmplitude(int32_t amplitude) {
  return applyTx2Control(*this, kSetTx2PMBUJAmplitude, amplitude);}
Status ClockSource_API::setTx2PMBUJLineRate(int32_t rate) {
  return applyTx2Control(*this, kSetTx2PMBUJLineRate, rate);
}
Status ClockSource_API::setTx2BUJAmplitude(int32_t amplitude) {
  return applyTx2Control(*this, kSetTx2BUJAmplitude, amplitude);
}
Status ClockSource_API::enableTx2AM(int32_t on) { return applyTx2Control(*this, kEnableTx2AM, on); }
Status ClockSource_API::setTx2AMAmplitude(int32_t amplitude) {
  return applyTx2Control(*this, kSetTx2AMAmplitude, amplitude);}
Status ClockSource_API::setTx2AMRJAmplitude(int32_t amplitude) {
  return applyTx2Control(*this, kSetTx2AMRJAmplitude, amplitude);
}

Status ClockSource_API::setTx2BUJPRBS(int32_t prbs, int32_t flag) {
  if (!state.connected) return Status::NotConnected;
  state.tx2BUJPRBS = prbs;
  state.tx2BUJPRBSFlag = flag;
  bool ok = writeRegister(p::reg::kTx2BUJPRBS, low16(prbs));
  writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2BUJPRBS), prbs);
  if (ok) ok = writeRegister(p::reg::kTx2BUJPRBSFlag, low16(flag));
  writeSetting(static_cast<int32_t>(p::SettingIndex::Tx2BUJPRBSFlag), flag);
  return okOrFailed(ok);
}

Status ClockSource_API::setTx2BUJUserDefinedPattern(uint32_t pattern) {
  bool ok = writeRegister(p::reg::kTx2BUJPatternHigh, high16(pattern));
  if (ok) ok = writeRegister(p::reg::kTx2BUJPatternLow, low16(pattern));
  return okOrFailed(ok);
}

Status ClockSource_API::setClockSource(int32_t source) {
  const bool ok = writeRegister(p::reg::kClockSource, low16(source));
  writeSetting(static_cast<int32_t>(p::SettingIndex::ClockSource), source);
  return okOrFailed(ok);
}

}  // namespace kestrel
