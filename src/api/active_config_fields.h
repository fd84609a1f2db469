// The fields of ActiveConfig, named and in the order SYSTem:CONFiguration?
// answers them: kestreld's faces and the remote call of getActiveConfig
// both list the record from here.
#pragma once

#include "KestrelLib.h"

namespace kestrel {

// visit(name, field) for every field of c, in order; c may be const.
template <typename Config, typename Visit>
void forEachActiveConfigField(Config& c, Visit&& visit) {
  visit("clockSource", c.clockSource);
  visit("register261", c.register261);
  visit("generateOption", c.generateOption);
  visit("generateFrequency", c.generateFrequency);
  visit("fmEnable", c.fmEnable);
  visit("fmFrequency", c.fmFrequency);
  visit("fmAmplitude", c.fmAmplitude);
  visit("fmPhaseSkew", c.fmPhaseSkew);
  visit("fmRJAmplitude", c.fmRJAmplitude);
  visit("tx2PMEnable", c.tx2PMEnable);
  visit("tx2PMFrequency", c.tx2PMFrequency);
  visit("tx2PMAmplitude", c.tx2PMAmplitude);
  visit("tx2PMPhaseShiftAmplitude", c.tx2PMPhaseShiftAmplitude);
  visit("tx2PMRJEnable", c.tx2PMRJEnable);
  visit("tx2PMRJAmplitude", c.tx2PMRJAmplitude);
  visit("tx2PMBUJEnable", c.tx2PMBUJEnable);
  visit("tx2PMBUJAmplitude", c.tx2PMBUJAmplitude);
  visit("tx2PMBUJLineRate", c.tx2PMBUJLineRate);
  visit("tx2AMEnable", c.tx2AMEnable);
  visit("tx2AMAmplitude", c.tx2AMAmplitude);
  visit("tx2AMRJAmplitude", c.tx2AMRJAmplitude);
  visit("tx2BUJAmplitude", c.tx2BUJAmplitude);
  visit("tx2BUJPRBS", c.tx2BUJPRBS);
  visit("tx2BUJPRBSFlag", c.tx2BUJPRBSFlag);
  visit("referenceFrequency", c.referenceFrequency);
  visit("tx2Divider", c.tx2Divider);
  visit("tx1Power", c.tx1Power);
  visit("tx2Power", c.tx2Power);
}

}  // namespace kestrel
