#include "synth/register_image.h"

#include "synth/synth_model.h"

namespace kestrel {

namespace {

// A setting masked to its field width and moved to its bit position; wider
// values lose their high bits, as the chip would.
constexpr uint32_t field(int32_t value, unsigned width, unsigned shift) {
  const uint32_t mask = (width >= 32) ? 0xFFFFFFFFu : ((1u << width) - 1u);
  return (static_cast<uint32_t>(value) & mask) << shift;
}

constexpr uint32_t highHalf(int32_t value) { return static_cast<uint32_t>(value) >> 16; }

constexpr uint32_t lowHalf(int32_t value) { return static_cast<uint32_t>(value) & 0xFFFFu; }

constexpr uint32_t word(uint8_t reg, uint32_t value) { return (static_cast<uint32_t>(reg) << 16) | (value & 0xFFFFu); }

}  // namespace

void SynthModel::buildRegisterImage() {
  // Register values in image order; each is a constant OR-ed with fields.
  const uint32_t values[kSynthImageWords] = {
      /* 0 */ 0x0200u | field(reg0Bit13, 1, 13) | field(phaseDetectorHighRange, 2, 7) |
          field(phaseDetectorLowRange, 2, 5) | field(reg0Bit4, 1, 4) | field(reg0Bit3, 1, 3) | field(reg0Bit2, 1, 2) |
          field(reg0Bit1, 1, 1) | field(reg0Bit0, 1, 0),
      /* 1 */ 0x0808u | field(referenceRange, 3, 0),
      /* 2 */ 0x0500u,
      /* 4 */ 0x0043u | field(reg4Byte, 8, 8),
      /* 7 */ 0x28B2u,
      /* 8 */ 0x1084u | field(reg8Bit13, 1, 13) | field(reg8Bit10, 1, 10),
      /* 9 */ 0x0102u | field(referenceDoubler, 1, 11) | field(reg9Bit9, 1, 9),
      /* 10 */ 0x1058u | field(referenceMultiplier, 5, 7),
      /* 11 */ 0x0008u | field(postDivider, 8, 4),
      /* 12 */ 0x7000u | field(preDivider, 12, 0),
      /* 13 */ 0x0000u | field(reg13Bit14, 1, 14) | field(reg13Bits9to8, 2, 8),
      /* 14 */ 0x0000u | field(chargePumpCode, 5, 7) | field(chargePumpCode, 5, 2) | field(chargePumpGain, 2, 0),
      /* 19 */ 0x0005u | field(reg19Field, 9, 3),
      /* 20 */ 0x0000u | field(reg20Field, 9, 0),
      /* 22 */ 0x2300u | field(reg22Byte, 8, 0),
      /* 23 */ 0x8042u | field(reg23Bit14, 1, 14) | field(reg23Bits13to11, 3, 11) | field(reg23Bit10, 1, 10),
      /* 24 */ 0x0509u,
      /* 25 */ 0x0000u,
      /* 28 */ 0x2924u,
      /* 29 */ 0x0084u,
      /* 30 */ 0x0034u | field(reg30Bit10, 1, 10),
      /* 31 */ 0x0001u | field(vcoDirectOffB, 1, 10) | field(vcoDirectOffA, 1, 9) | field(reg31Bit7, 1, 7),
      /* 32 */ 0x210Au,
      /* 33 */ 0x2A0Au,
      /* 34 */ 0xC3CAu | field(reg34Bit5, 1, 5),
      /* 35 */ 0x0019u | field(segment2Select, 4, 9) | field(segment3Enable, 1, 8) | field(segment2Enable, 1, 7) |
          field(segment1Select, 1, 2) | field(segment1Enable, 1, 1),
      /* 36 */ 0x0000u | field(dividerToB, 1, 11) | field(dividerToA, 1, 10) | field(segmentsInUse, 3, 4) |
          field(segment3Select, 4, 0),
      /* 37 */ 0x4000u | field(prescalerSelect, 1, 12),
      /* 38 */ 0x0000u | field(nInteger, 12, 1),
      /* 39 */ 0x8004u | field(nBandCode, 5, 8),
      /* 40 */ highHalf(fractionDenominator),
      /* 41 */ lowHalf(fractionDenominator),
      /* 42 */ highHalf(fractionAuxWord),
      /* 43 */ lowHalf(fractionAuxWord),
      /* 44 */ highHalf(fractionNumerator),
      /* 45 */ lowHalf(fractionNumerator),
      /* 46 */ 0x0020u | field(outputAPower, 5, 8) | field(outputBPowerDown, 1, 7) | field(outputAPowerDown, 1, 6) |
          field(modulatorOrder, 3, 0),
      /* 47 */ 0x00C0u | field(outputAMux, 2, 11) | field(outputBPower, 6, 0),
      /* 48 */ 0x03FCu | field(outputBMux, 2, 0),
      /* 59 */ 0x0000u | field(reg59Bit5, 1, 5),
      /* 61 */ 0x0000u | field(reg61Bit0, 1, 0),
      /* 62 */ 0x0000u,
      /* 64 */ 0x0010u | field(reg64Bit9, 1, 9) | field(reg64Bit8, 1, 8) | field(reg64Bits7to5, 3, 5) |
          field(reg64Bits3to0, 4, 0),
  };
  for (std::size_t n = 0; n < kSynthImageWords; ++n) {
    registerImage[n] = word(kSynthImageRegisters[n], values[n]);
  }
}

}  // namespace kestrel
