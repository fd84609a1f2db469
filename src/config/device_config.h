// The device-side staging record of the configuration readback: the board's
// stored settings converted to the types the host sees.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel {

struct DeviceConfig {
  int32_t clockSource = 0;
  int32_t register261 = 0;
  std::array<bool, 6> fmSwitches{};
  int32_t generateOption = 0;
  double generateFrequency = 0.0;
  bool fmEnable = false;
  int32_t fmFrequency = 0;
  int32_t fmAmplitude = 0;
  int32_t fmPhaseSkew = 0;
  int32_t fmRJAmplitude = 0;
  bool tx2PMEnable = false;
  int32_t tx2PMFrequency = 0;
  int32_t tx2PMAmplitude = 0;
  int32_t tx2PMPhaseShiftAmplitude = 0;
  bool tx2PMRJEnable = false;
  int32_t tx2PMRJAmplitude = 0;
  bool tx2PMBUJEnable = false;
  int32_t tx2PMBUJAmplitude = 0;
  int32_t tx2PMBUJLineRate = 0;
  bool tx2AMEnable = false;
  int32_t tx2AMAmplitude = 0;
  int32_t tx2AMRJAmplitude = 0;
  int32_t tx2BUJAmplitude = 0;
  int32_t tx2BUJPRBS = 0;
  bool tx2BUJPRBSFlag = false;
  double referenceFrequency = 0.0;
  int32_t tx2Divider = 0;
  int32_t tx1Power = 0;
  int32_t tx2Power = 0;
};

}  // namespace kestrel
