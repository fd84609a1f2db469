#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "synth/synth_model.h"

namespace kestrel {
namespace {

TEST(SynthModelDefaults, NewModelIsOneConsistentPlan) {
  SynthModel m;
  EXPECT_EQ(m.channelDivider, 3);
  EXPECT_EQ(m.outputAFrequency, 1800.0);
  EXPECT_EQ(m.vcoFrequency, 5400.0);
  EXPECT_EQ(m.feedbackFrequency, 5400.0);
  EXPECT_EQ(m.refFrequency, 100.0);
  EXPECT_EQ(m.pdFrequency, 100.0);

  // Re-deriving from the settings reproduces the stored figures.
  m.updatePhaseDetector();
  EXPECT_EQ(m.pdFrequency, 100.0);
  m.updateVco();
  EXPECT_EQ(m.vcoFrequency, 5400.0);
  m.updateOutputs();
  EXPECT_EQ(m.channelDivider, 3);
  EXPECT_EQ(m.outputAFrequency, 1800.0);
}

TEST(SynthModelDefaults, UnsetValuesStartDefined) {
  SynthModel m;
  EXPECT_EQ(m.outputBFrequency, 0.0);
  for (uint32_t word : m.registerImage) {
    EXPECT_EQ(word, 0u);
  }
}

TEST(SynthModelDefaults, LoopTargetsTable) {
  SynthModel m;
  const std::vector<std::pair<int32_t, double>> expected = {
      {0, 1005},  {1, 1012},  {2, 1020}, {3, 1040}, {4, 3.27}, {5, 4.149}, {6, 6.334}, {7, 8.54},  {8, 10.8},  {9, 13},
      {10, 15.4}, {11, 0.62}, {12, 1.7}, {13, 2.9}, {14, 0.5}, {15, 0.66}, {16, 1.2},  {19, 1010}, {20, 1011},
  };
  ASSERT_EQ(m.loopTargets.size(), expected.size());
  for (const auto& [key, value] : expected) {
    ASSERT_EQ(m.loopTargets.count(key), 1u) << key;
    EXPECT_EQ(m.loopTargets.at(key), value) << key;
  }
}

// ---- VCO gain

struct GainCase {
  double vco;
  double gain;
};

class VcoGainTest : public ::testing::TestWithParam<GainCase> {};

TEST_P(VcoGainTest, PiecewiseTable) {
  SynthModel m;
  m.vcoFrequency = GetParam().vco;
  m.updateVcoGain();
  EXPECT_EQ(m.vcoGain, GetParam().gain) << GetParam().vco;
}

INSTANTIATE_TEST_SUITE_P(Bands, VcoGainTest,
                         ::testing::Values(GainCase{0.0, 24.25}, GainCase{3549.999, 24.25}, GainCase{3550.0, 24.25},
                                           GainCase{4068.0, 26.44}, GainCase{4530.0, 28.27}, GainCase{5008.0, 32.29},
                                           GainCase{5566.0, 38.37}, GainCase{6062.0, 44.03}, GainCase{6594.0, 46.84},
                                           GainCase{7100.0, 57.06}, GainCase{1e9, 57.06},
                                           // The first band's slope is the double difference
                                           // 37.2 - 24.25, not 12.95.
                                           GainCase{3809.0, 24.25 + 12.950000000000003 * 259.0 / 518.0},
                                           GainCase{3600.0, 25.5}));

TEST(VcoGain, StepsDownAtEveryInnerBandEdge) {
  const double edges[] = {4068.0, 4530.0, 5008.0, 5566.0, 6062.0, 6594.0};
  const double topOfLowerBand[] = {37.2, 38.9, 41.57, 43.08, 48.1, 55.47};
  for (std::size_t n = 0; n < std::size(edges); ++n) {
    SynthModel m;
    m.vcoFrequency = std::nextafter(edges[n], 0.0);
    m.updateVcoGain();
    const double below = m.vcoGain;
    m.vcoFrequency = edges[n];
    m.updateVcoGain();
    EXPECT_NEAR(below, topOfLowerBand[n], 1e-9) << edges[n];
    EXPECT_LT(m.vcoGain, below) << edges[n];
  }
}

TEST(VcoGain, UpdateVcoRefreshesGain) {
  SynthModel m;
  m.nInteger = 18;  // 18 * 2 * 100 = 3600 MHz
  m.updateVco();
  EXPECT_EQ(m.vcoFrequency, 3600.0);
  EXPECT_EQ(m.vcoGain, 25.5);
}

// ---- Charge-pump current

struct PumpCase {
  int32_t code;
  int32_t gain;
  double current;
};

class ChargePumpTest : public ::testing::TestWithParam<PumpCase> {};

TEST_P(ChargePumpTest, CurrentFromCodeAndGain) {
  SynthModel m;
  m.chargePumpCode = GetParam().code;
  m.chargePumpGain = GetParam().gain;
  m.updateChargePumpCurrent();
  EXPECT_DOUBLE_EQ(m.chargePumpCurrent, GetParam().current);
}

INSTANTIATE_TEST_SUITE_P(Codes, ChargePumpTest,
                         ::testing::Values(PumpCase{0, 0, 0.0}, PumpCase{7, 0, 1.092}, PumpCase{8, 0, 2.5},
                                           PumpCase{16, 0, 1.25}, PumpCase{31, 3, (31 * 0.156 - 0.0084) * 2.5},
                                           PumpCase{8, 1, 5.0},   // x2
                                           PumpCase{8, 2, 3.75},  // x1.5
                                           PumpCase{8, 3, 6.25},  // x2.5
                                           PumpCase{8, 7, 2.5},   // unknown gain code counts as x1
                                           PumpCase{24, 0, 24 * 0.156 - 0.0084}));

TEST(ChargePump, CurrentRisesThroughTheFourCodeGroupsOutOfOrder) {
  // In increasing current the codes run 0-7, 16-23, 8-15, 24-31.
  std::vector<int32_t> order;
  for (int32_t first : {0, 16, 8, 24}) {
    for (int32_t c = first; c < first + 8; ++c) {
      order.push_back(c);
    }
  }
  SynthModel m;
  double previous = -1.0;
  for (int32_t code : order) {
    m.chargePumpCode = code;
    m.chargePumpGain = 0;
    m.updateChargePumpCurrent();
    EXPECT_GT(m.chargePumpCurrent, previous) << code;
    previous = m.chargePumpCurrent;
  }
}

// ---- VCO formula guards

struct FractionGuardCase {
  int32_t numerator;
  int32_t denominator;
  double vco;
};

class VcoFractionGuardTest : public ::testing::TestWithParam<FractionGuardCase> {};

TEST_P(VcoFractionGuardTest, BadTermsReadAsFractionZeroOrUnitDenominator) {
  SynthModel m;  // N 27, prescaler 2, 100 MHz at the phase detector
  m.fractionNumerator = GetParam().numerator;
  m.fractionDenominator = GetParam().denominator;
  m.updateVco();
  EXPECT_DOUBLE_EQ(m.vcoFrequency, GetParam().vco);
}

INSTANTIATE_TEST_SUITE_P(Terms, VcoFractionGuardTest,
                         ::testing::Values(FractionGuardCase{1, 2, 5500.0},   // ordinary fraction
                                           FractionGuardCase{1, 0, 5600.0},   // denominator 0 -> 1
                                           FractionGuardCase{1, -7, 5600.0},  // negative -> 1
                                           FractionGuardCase{-3, 4, 5400.0},  // numerator below 1 -> 0
                                           FractionGuardCase{0, -2147483647 - 1, 5400.0}));

TEST(VcoFormula, PrescalerFourDoublesTheVco) {
  SynthModel m;
  m.prescalerSelect = 1;
  m.updateVco();
  EXPECT_EQ(m.vcoFrequency, 10800.0);
  EXPECT_EQ(m.vcoGain, 57.06);
}

// ---- Channel divider and outputs

struct DividerCase {
  int32_t s1;
  int32_t s2;
  int32_t s3;
  int32_t inUse;
  int32_t division;
};

class ChannelDividerTest : public ::testing::TestWithParam<DividerCase> {};

TEST_P(ChannelDividerTest, SegmentsMultiply) {
  SynthModel m;
  m.segment1Select = GetParam().s1;
  m.segment2Select = GetParam().s2;
  m.segment3Select = GetParam().s3;
  m.segmentsInUse = GetParam().inUse;
  m.updateOutputs();
  EXPECT_EQ(m.channelDivider, GetParam().division);
  EXPECT_DOUBLE_EQ(m.outputAFrequency, 5400.0 / GetParam().division);
}

INSTANTIATE_TEST_SUITE_P(Codes, ChannelDividerTest,
                         ::testing::Values(DividerCase{0, 8, 8, 1, 2}, DividerCase{1, 8, 8, 1, 3},
                                           DividerCase{5, 8, 8, 1, 1},  // unknown segment-1 code divides by 1
                                           DividerCase{0, 1, 8, 2, 4}, DividerCase{0, 2, 8, 2, 8},
                                           DividerCase{0, 4, 8, 2, 12}, DividerCase{0, 8, 8, 2, 16},
                                           DividerCase{1, 3, 8, 2, 3},  // not one-hot: segment 2 divides by 1
                                           DividerCase{1, 8, 8, 4, 192}, DividerCase{0, 8, 2, 4, 64},
                                           DividerCase{0, 8, 8, 3, 2}));  // 3 is not a listed count: segment 1 alone

TEST(Outputs, MuxPicksVcoOrDivider) {
  SynthModel m;
  m.outputBMux = 1;
  m.updateOutputs();
  EXPECT_EQ(m.outputAFrequency, 1800.0);
  EXPECT_EQ(m.outputBFrequency, 5400.0);
}

struct InactiveCase {
  int32_t powerDown;
  int32_t mux;
  int32_t dividerTo;
  int32_t directOff;
  double inactive;
};

class InactiveFlagTest : public ::testing::TestWithParam<InactiveCase> {};

TEST_P(InactiveFlagTest, OutputWithoutSignalPathIsInactive) {
  const InactiveCase c = GetParam();
  SynthModel a;
  a.outputAPowerDown = c.powerDown;
  a.outputAMux = c.mux;
  a.dividerToA = c.dividerTo;
  a.vcoDirectOffA = c.directOff;
  a.updateOutputs();
  EXPECT_EQ(a.outputAInactive, c.inactive);

  SynthModel b;
  b.outputBPowerDown = c.powerDown;
  b.outputBMux = c.mux;
  b.dividerToB = c.dividerTo;
  b.vcoDirectOffB = c.directOff;
  b.updateOutputs();
  EXPECT_EQ(b.outputBInactive, c.inactive);
}

INSTANTIATE_TEST_SUITE_P(Paths, InactiveFlagTest,
                         ::testing::Values(InactiveCase{0, 0, 1, 1, 0.0},    // divider path on
                                           InactiveCase{0, 0, 0, 0, 1.0},    // divider path off
                                           InactiveCase{0, 1, 0, 0, 0.0},    // direct path on
                                           InactiveCase{0, 1, 1, 1, 1.0},    // direct path off
                                           InactiveCase{1, 0, 1, 0, 1.0},    // powered down
                                           InactiveCase{0, 2, 0, 1, 0.0}));  // unknown mux: no rule applies

// ---- Change handlers

TEST(ChangeHandlers, OutputMuxRoutesTheSignalPath) {
  SynthModel m;
  m.reg31Bit7 = 1;
  m.outputAMux = 1;
  m.onOutputAMuxChanged();
  EXPECT_EQ(m.vcoDirectOffA, 0);
  EXPECT_EQ(m.dividerToA, 0);
  EXPECT_EQ(m.reg31Bit7, 1);
  EXPECT_EQ(m.outputAFrequency, 5400.0);

  m.outputAMux = 0;
  m.onOutputAMuxChanged();
  EXPECT_EQ(m.vcoDirectOffA, 1);
  EXPECT_EQ(m.dividerToA, 1);
  EXPECT_EQ(m.reg31Bit7, 0);
  EXPECT_EQ(m.outputAFrequency, 1800.0);

  m.outputBMux = 1;
  m.onOutputBMuxChanged();
  EXPECT_EQ(m.vcoDirectOffB, 0);
  EXPECT_EQ(m.dividerToB, 0);
  EXPECT_EQ(m.outputBFrequency, 5400.0);
  EXPECT_EQ(m.outputBInactive, 0.0);
}

TEST(ChangeHandlers, PowerDownCutsBothPathsAndPowerUpRestoresTheMuxPath) {
  SynthModel m;
  m.outputAPowerDown = 1;
  m.onOutputAPowerDownChanged();
  EXPECT_EQ(m.vcoDirectOffA, 1);
  EXPECT_EQ(m.dividerToA, 0);
  EXPECT_EQ(m.outputAInactive, 1.0);

  m.outputAPowerDown = 0;
  m.onOutputAPowerDownChanged();
  EXPECT_EQ(m.vcoDirectOffA, 1);
  EXPECT_EQ(m.dividerToA, 1);
  EXPECT_EQ(m.outputAInactive, 0.0);

  m.outputBMux = 1;
  m.outputBPowerDown = 0;
  m.onOutputBPowerDownChanged();
  EXPECT_EQ(m.vcoDirectOffB, 0);
  EXPECT_EQ(m.dividerToB, 0);
  EXPECT_EQ(m.outputBInactive, 0.0);
}

TEST(ChangeHandlers, GroupHandlersRecomputeTheirDerivedValues) {
  SynthModel m;
  m.chargePumpCode = 8;
  m.onChargePumpSettingChanged();
  EXPECT_EQ(m.chargePumpCurrent, 2.5);

  m.nInteger = 18;
  m.onVcoSettingChanged();
  EXPECT_EQ(m.vcoFrequency, 3600.0);
  EXPECT_EQ(m.outputAFrequency, 1200.0);

  m.segment1Select = 0;
  m.onOutputSettingChanged();
  EXPECT_EQ(m.outputAFrequency, 1800.0);
  EXPECT_EQ(m.modulatorOrder, 0);  // the check ran: integer N

  m.refFrequency = 50.0;
  m.recalculate();
  EXPECT_EQ(m.pdFrequency, 50.0);
  EXPECT_EQ(m.vcoFrequency, 1800.0);

  m.nInteger = 5000;
  m.onCheckSettingChanged();
  EXPECT_EQ(m.nInteger, 4095);
}

}  // namespace
}  // namespace kestrel
