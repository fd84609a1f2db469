// Reads settings back out of a synthesizer register image, independently of
// how the model built it: only the documented register layout is used.
#pragma once

#include <cstdint>
#include <optional>

#include "synth/register_image.h"
#include "synth/synth_model.h"

namespace kestrel::testing {

inline std::optional<uint16_t> registerValue(const SynthModel& m, uint8_t reg) {
  for (std::size_t n = 0; n < kSynthImageWords; ++n) {
    if (kSynthImageRegisters[n] == reg) {
      return imageWordValue(m.registerImage[n]);
    }
  }
  return std::nullopt;
}

inline uint32_t reg(const SynthModel& m, uint8_t number) { return registerValue(m, number).value(); }

inline uint32_t bits(uint32_t value, unsigned hi, unsigned lo) { return (value >> lo) & ((1u << (hi - lo + 1)) - 1u); }

inline int32_t segmentOneDivision(uint32_t code) { return code == 0 ? 2 : (code == 1 ? 3 : 1); }

inline int32_t oneHotDivision(uint32_t code) {
  switch (code) {
    case 1:
      return 2;
    case 2:
      return 4;
    case 4:
      return 6;
    case 8:
      return 8;
    default:
      return 1;
  }
}

struct DecodedPlan {
  double pdFrequency;
  int32_t prescaler;
  int32_t nInteger;
  double fraction;
  double vcoFrequency;
  int32_t channelDivision;
  int32_t outputAMux;
  double outputAFrequency;
};

inline DecodedPlan decodeImage(const SynthModel& m, double reference) {
  DecodedPlan d{};
  const uint32_t doubler = bits(reg(m, 9), 11, 11);
  const uint32_t multiplier = bits(reg(m, 10), 11, 7);
  const uint32_t post = bits(reg(m, 11), 11, 4);
  const uint32_t pre = bits(reg(m, 12), 11, 0);
  d.pdFrequency = reference * (doubler + 1) * multiplier / (static_cast<double>(pre) * post);

  d.prescaler = bits(reg(m, 37), 12, 12) ? 4 : 2;
  d.nInteger = static_cast<int32_t>(bits(reg(m, 38), 12, 1));

  const int32_t denominator = static_cast<int32_t>((reg(m, 40) << 16) | reg(m, 41));
  const int32_t numerator = static_cast<int32_t>((reg(m, 44) << 16) | reg(m, 45));
  // Terms that did not fit the registers stand for fraction 0.
  d.fraction = (denominator >= 1 && numerator >= 1) ? static_cast<double>(numerator) / denominator : 0.0;

  d.vcoFrequency = (d.nInteger + d.fraction) * d.prescaler * d.pdFrequency;

  const uint32_t r35 = reg(m, 35);
  const uint32_t r36 = reg(m, 36);
  const int32_t s1 = segmentOneDivision(bits(r35, 2, 2));
  const int32_t s2 = oneHotDivision(bits(r35, 12, 9));
  const int32_t s3 = oneHotDivision(bits(r36, 3, 0));
  const uint32_t inUse = bits(r36, 6, 4);
  d.channelDivision = inUse == 4 ? s1 * s2 * s3 : (inUse == 2 ? s1 * s2 : s1);

  d.outputAMux = static_cast<int32_t>(bits(reg(m, 47), 12, 11));
  d.outputAFrequency = d.outputAMux == 0 ? d.vcoFrequency / d.channelDivision : d.vcoFrequency;
  return d;
}

}  // namespace kestrel::testing
