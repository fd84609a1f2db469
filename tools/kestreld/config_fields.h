// The board's stored configuration as a list of named fields, in the order
// SYSTem:CONFiguration? answers them, so that the SCPI and JSON faces name and
// order them alike.
#pragma once

#include <variant>

#include "KestrelLib.h"

namespace kestreld {

using ConfigValue = std::variant<int32_t, double, bool>;

// Calls fn(name, value) for every field of c, in the order of the answer.
template <typename F>
void forEachConfigField(const ActiveConfig& c, F&& fn) {
  fn("clockSource", ConfigValue(c.clockSource));
  fn("register261", ConfigValue(c.register261));
  fn("generateOption", ConfigValue(c.generateOption));
  fn("generateFrequency", ConfigValue(c.generateFrequency));
  fn("fmEnable", ConfigValue(c.fmEnable));
  fn("fmFrequency", ConfigValue(c.fmFrequency));
  fn("fmAmplitude", ConfigValue(c.fmAmplitude));
  fn("fmPhaseSkew", ConfigValue(c.fmPhaseSkew));
  fn("fmRJAmplitude", ConfigValue(c.fmRJAmplitude));
  fn("tx2PMEnable", ConfigValue(c.tx2PMEnable));
  fn("tx2PMFrequency", ConfigValue(c.tx2PMFrequency));
  fn("tx2PMAmplitude", ConfigValue(c.tx2PMAmplitude));
  fn("tx2PMPhaseShiftAmplitude", ConfigValue(c.tx2PMPhaseShiftAmplitude));
  fn("tx2PMRJEnable", ConfigValue(c.tx2PMRJEnable));
  fn("tx2PMRJAmplitude", ConfigValue(c.tx2PMRJAmplitude));
  fn("tx2PMBUJEnable", ConfigValue(c.tx2PMBUJEnable));
  fn("tx2PMBUJAmplitude", ConfigValue(c.tx2PMBUJAmplitude));
  fn("tx2PMBUJLineRate", ConfigValue(c.tx2PMBUJLineRate));
  fn("tx2AMEnable", ConfigValue(c.tx2AMEnable));
  fn("tx2AMAmplitude", ConfigValue(c.tx2AMAmplitude));
  fn("tx2AMRJAmplitude", ConfigValue(c.tx2AMRJAmplitude));
  fn("tx2BUJAmplitude", ConfigValue(c.tx2BUJAmplitude));
  fn("tx2BUJPRBS", ConfigValue(c.tx2BUJPRBS));
  fn("tx2BUJPRBSFlag", ConfigValue(c.tx2BUJPRBSFlag));
  fn("referenceFrequency", ConfigValue(c.referenceFrequency));
  fn("tx2Divider", ConfigValue(c.tx2Divider));
  fn("tx1Power", ConfigValue(c.tx1Power));
  fn("tx2Power", ConfigValue(c.tx2Power));
}

}  // namespace kestreld
