#include "synth_decoder.h"

#include <gtest/gtest.h>

#include "synth_words.h"

namespace kestrel::sim {
namespace {

using testing::kClock1800Registers;
using testing::kClock1800Words;

SynthRegisterFile clock1800() {
  SynthRegisterFile words{};
  for (size_t i = 0; i < kClock1800Registers.size(); ++i) words[kClock1800Registers[i]] = kClock1800Words[i];
  return words;
}

TEST(SynthDecoder, ReadsTheFieldsOfAn1800MHzPlan) {
  const SynthFields f = readSynthFields(clock1800());
  EXPECT_EQ(f.referenceDoubler, 0);
  EXPECT_EQ(f.referenceMultiplier, 1);
  EXPECT_EQ(f.postDivider, 1);
  EXPECT_EQ(f.preDivider, 2);
  EXPECT_EQ(f.prescaler, 2);
  EXPECT_EQ(f.nInteger, 23);
  EXPECT_EQ(f.fractionNumerator, 1);
  EXPECT_EQ(f.fractionDenominator, 25);
  EXPECT_EQ(f.segment1Select, 0);
  EXPECT_EQ(f.segmentsInUse, 1);
  EXPECT_EQ(f.outputAMux, 0);
  EXPECT_EQ(f.outputBMux, 0);
}

TEST(SynthDecoder, Decodes1800MHzFromTheBoardReference) {
  const SynthState s = decodeSynth(clock1800());
  EXPECT_TRUE(s.programmed);
  EXPECT_DOUBLE_EQ(s.pdFrequency, 78.125);
  EXPECT_DOUBLE_EQ(s.vcoFrequency, 3600.0);
  EXPECT_EQ(s.channelDivision, 2);
  EXPECT_DOUBLE_EQ(s.outputA, 1800.0);
  EXPECT_DOUBLE_EQ(s.outputB, 1800.0);
  EXPECT_FALSE(s.outputAFromVco);
  EXPECT_FALSE(s.outputBFromVco);
}

TEST(SynthDecoder, ReferencePathDoublerMultiplierAndPrescaler) {
  SynthRegisterFile w{};
  w[9] = 1 << 11;              // doubler on
  w[10] = 3 << 7;              // multiplier 3
  w[11] = 5 << 4;              // post-divider 5
  w[12] = 0;                   // pre-divider 0 counts as 1
  w[37] = 1 << 12;             // prescaler 4
  w[38] = 10 << 1;             // N = 10
  w[40] = 0xFFFF;              // denominator negative: counts as 1
  w[41] = 0xFFFF;
  w[44] = 0;
  w[45] = 7;                   // numerator 7 over 1
  w[47] = 1 << 11;             // output A from the VCO
  const SynthState s = decodeSynth(w);
  EXPECT_DOUBLE_EQ(s.pdFrequency, 156.25 * 2 * 3 / 5);
  EXPECT_DOUBLE_EQ(s.vcoFrequency, 17.0 * 4 * s.pdFrequency);
  EXPECT_TRUE(s.outputAFromVco);
  EXPECT_DOUBLE_EQ(s.outputA, s.vcoFrequency);
  EXPECT_DOUBLE_EQ(s.outputB, s.vcoFrequency / s.channelDivision);
}

TEST(SynthDecoder, NegativeNumeratorCountsAsZero) {
  SynthRegisterFile w{};
  w[10] = 1 << 7;
  w[38] = 30 << 1;
  w[40] = 0;
  w[41] = 4;
  w[44] = 0x8000;  // numerator negative
  w[45] = 0;
  EXPECT_DOUBLE_EQ(decodeSynth(w).vcoFrequency, 30.0 * 2 * 156.25);
}

TEST(SynthDecoder, ChannelDividerSegments) {
  auto division = [](int s1Select, int s2Select, int s3Select, int inUse) {
    SynthRegisterFile w{};
    w[35] = static_cast<uint16_t>((s2Select << 9) | (s1Select << 2));
    w[36] = static_cast<uint16_t>((inUse << 4) | s3Select);
    return decodeSynth(w).channelDivision;
  };
  EXPECT_EQ(division(0, 0, 0, 1), 2);
  EXPECT_EQ(division(1, 0, 0, 1), 3);
  EXPECT_EQ(division(1, 8, 8, 1), 3);   // segment 1 alone
  EXPECT_EQ(division(1, 8, 8, 2), 24);  // 3 x 8
  EXPECT_EQ(division(0, 4, 2, 4), 48);  // 2 x 6 x 4
  EXPECT_EQ(division(0, 1, 3, 4), 4);   // not one-hot: segment 3 passes through
  EXPECT_EQ(division(1, 2, 1, 3), 3);   // 3 is no valid count: segment 1 alone
}

TEST(SynthDecoder, LockAndTuningVoltageFollowTheVcoRange) {
  EXPECT_FALSE(vcoLocks(3549.9));
  EXPECT_TRUE(vcoLocks(3550.0));
  EXPECT_TRUE(vcoLocks(7100.0));
  EXPECT_FALSE(vcoLocks(7100.1));
  EXPECT_EQ(vcoTuningMillivolts(3550.0), 500);
  EXPECT_EQ(vcoTuningMillivolts(7100.0), 2500);
  EXPECT_EQ(vcoTuningMillivolts(5325.0), 1500);
  EXPECT_EQ(vcoTuningMillivolts(1000.0), 500);
  EXPECT_EQ(vcoTuningMillivolts(9000.0), 2500);
}

}  // namespace
}  // namespace kestrel::sim
