#include <gtest/gtest.h>

#include <vector>

#include "image_decode.h"
#include "synth/register_image.h"
#include "synth/synth_model.h"

namespace kestrel {
namespace {

using testing::reg;

TEST(RegisterImage, ImageOrderSkipsUnwrittenRegisters) {
  std::vector<int> expected = {0, 1, 2, 4, 7, 8, 9, 10, 11, 12, 13, 14, 19, 20, 22};
  expected.insert(expected.end(), {23, 24, 25, 28, 29});
  for (int r = 30; r <= 48; ++r) {
    expected.push_back(r);
  }
  expected.insert(expected.end(), {59, 61, 62, 64});
  ASSERT_EQ(expected.size(), kSynthImageWords);
  for (std::size_t n = 0; n < kSynthImageWords; ++n) {
    EXPECT_EQ(kSynthImageRegisters[n], expected[n]) << n;
  }
}

TEST(RegisterImage, EveryWordCarriesItsRegisterNumber) {
  SynthModel m;
  m.configure(156.25, 1234.5, 7);
  for (std::size_t n = 0; n < kSynthImageWords; ++n) {
    EXPECT_EQ(m.registerImage[n] >> 16, kSynthImageRegisters[n]) << n;
  }
  EXPECT_EQ(m.registerImage[kSynthImageWords - 1], 0x400077u);
}

TEST(RegisterImage, NewModel) {
  SynthModel m;
  m.buildRegisterImage();
  const std::pair<uint8_t, uint32_t> expected[] = {
      {0, 0x221C},  {12, 0x7001}, {14, 0x018C}, {31, 0x0401}, {35, 0x021F}, {36, 0x0411},
      {38, 0x0036}, {41, 0x0001}, {46, 0x0F23}, {47, 0x00CF}, {64, 0x0077},
  };
  for (const auto& [number, value] : expected) {
    EXPECT_EQ(reg(m, number), value) << "register " << int(number);
  }
}

TEST(RegisterImage, AfterPlanning1800MHz) {
  SynthModel m;
  ASSERT_EQ(m.configure(156.25, 1800.0, 19), 1);
  const uint32_t expected[kSynthImageWords] = {
      0x221C, 0x0808, 0x0500, 0x1943, 0x28B2, 0x1084, 0x0302, 0x10D8, 0x0018, 0x7002, 0x4000,
      0x0420, 0x0965, 0x012C, 0x2300, 0x8842, 0x0509, 0x0000, 0x2924, 0x0084, 0x0034, 0x0601,
      0x210A, 0x2A0A, 0xC3EA, 0x021B, 0x0C11, 0x4000, 0x002E, 0x8204, 0x0000, 0x0019, 0x0000,
      0x0000, 0x0000, 0x0001, 0x0F23, 0x00CA, 0x03FC, 0x0000, 0x0001, 0x0000, 0x0077,
  };
  for (std::size_t n = 0; n < kSynthImageWords; ++n) {
    EXPECT_EQ(m.registerImage[n], (uint32_t{kSynthImageRegisters[n]} << 16) | expected[n])
        << "register " << int(kSynthImageRegisters[n]);
  }
}

struct MaskCase {
  const char* name;
  void (*set)(SynthModel&);
  uint8_t reg;
  unsigned hi;
  unsigned lo;
  uint32_t value;
};

void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class FieldMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(FieldMaskTest, WideValuesLoseTheirHighBits) {
  SynthModel m;
  GetParam().set(m);
  m.buildRegisterImage();
  EXPECT_EQ(testing::bits(reg(m, GetParam().reg), GetParam().hi, GetParam().lo), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldMaskTest,
    ::testing::Values(MaskCase{"outputAPower33", [](SynthModel& m) { m.outputAPower = 33; }, 46, 12, 8, 1},
                      MaskCase{"outputBPower64", [](SynthModel& m) { m.outputBPower = 64; }, 47, 5, 0, 0},
                      MaskCase{"chargePump31Gain3",
                               [](SynthModel& m) {
                                 m.chargePumpCode = 31;
                                 m.chargePumpGain = 3;
                               },
                               14, 15, 0, 0x0FFF},
                      MaskCase{"preDivider4097", [](SynthModel& m) { m.preDivider = 4097; }, 12, 15, 0, 0x7001},
                      MaskCase{"negativeMultiplier", [](SynthModel& m) { m.referenceMultiplier = -1; }, 10, 15, 0,
                               0x1058 | (0x1F << 7)}));

TEST(RegisterImage, ThirtyTwoBitFractionSplitsHighHalfFirst) {
  SynthModel m;
  m.fractionNumerator = 0x12345678;
  m.fractionDenominator = 0x7FFF0001;
  m.fractionAuxWord = 0;
  m.buildRegisterImage();
  EXPECT_EQ(reg(m, 40), 0x7FFFu);
  EXPECT_EQ(reg(m, 41), 0x0001u);
  EXPECT_EQ(reg(m, 42), 0u);
  EXPECT_EQ(reg(m, 43), 0u);
  EXPECT_EQ(reg(m, 44), 0x1234u);
  EXPECT_EQ(reg(m, 45), 0x5678u);
}

TEST(RegisterImage, DoesNotRecomputeThePlan) {
  SynthModel m;
  m.nInteger = 100;  // no update run: the image shows the setting as it is
  m.buildRegisterImage();
  EXPECT_EQ(reg(m, 38), 200u);
  EXPECT_EQ(m.vcoFrequency, 5400.0);
}

}  // namespace
}  // namespace kestrel
