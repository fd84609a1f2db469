#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "synth/synth_model.h"

namespace kestrel {
namespace {

// ---- Whole plans

TEST(Configure, Plan1800MHzThroughTheDivider) {
  SynthModel m;
  EXPECT_EQ(m.configure(156.25, 1800.0, 19), 1);
  EXPECT_EQ(m.referenceDoubler, 0);
  EXPECT_EQ(m.referenceMultiplier, 1);
  EXPECT_EQ(m.preDivider, 2);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_EQ(m.pdFrequency, 78.125);
  EXPECT_EQ(m.prescalerSelect, 0);
  EXPECT_EQ(m.nInteger, 23);
  EXPECT_EQ(m.fractionNumerator, 1);
  EXPECT_EQ(m.fractionDenominator, 25);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, 3600.0);
  EXPECT_EQ(m.channelDivider, 2);
  EXPECT_EQ(m.segmentsInUse, 1);
  EXPECT_EQ(m.segment1Select, 0);
  EXPECT_EQ(m.segment1Enable, 1);
  EXPECT_EQ(m.segment2Enable, 0);
  EXPECT_EQ(m.segment3Enable, 0);
  EXPECT_EQ(m.outputAMux, 0);
  EXPECT_EQ(m.outputBMux, 0);
  EXPECT_DOUBLE_EQ(m.outputAFrequency, 1800.0);
  EXPECT_DOUBLE_EQ(m.outputBFrequency, 1800.0);
  EXPECT_EQ(m.modulatorOrder, 3);
  EXPECT_EQ(m.nBandCode, 2);
  EXPECT_EQ(m.chargePumpCode, 8);
  EXPECT_EQ(m.chargePumpGain, 0);
  EXPECT_EQ(m.chargePumpCurrent, 2.5);
  EXPECT_DOUBLE_EQ(m.vcoGain, 25.5);
  EXPECT_EQ(m.outputBPower, 10);
  EXPECT_EQ(m.outputAInactive, 0.0);
  EXPECT_EQ(m.outputBInactive, 0.0);
}

TEST(Configure, Plan4000MHzStraightFromTheVco) {
  SynthModel m;
  m.configure(156.25, 4000.0, 19);
  EXPECT_EQ(m.outputAMux, 1);
  EXPECT_EQ(m.outputBMux, 1);
  EXPECT_EQ(m.dividerToA, 0);
  EXPECT_EQ(m.vcoDirectOffA, 0);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, 4000.0);
  EXPECT_DOUBLE_EQ(m.outputAFrequency, 4000.0);
  EXPECT_EQ(m.nInteger, 25);
  EXPECT_EQ(m.fractionNumerator, 3);
  EXPECT_EQ(m.fractionDenominator, 5);
}

struct EdgePlan {
  double request;
  double vco;
  int32_t mux;
  int32_t division;  // only checked through the divider
  double output;
};

void PrintTo(const EdgePlan& p, std::ostream* os) { *os << p.request << " MHz"; }

class ConfigureRangeTest : public ::testing::TestWithParam<EdgePlan> {};

TEST_P(ConfigureRangeTest, ClampsAndPathChoice) {
  const EdgePlan p = GetParam();
  SynthModel m;
  m.configure(156.25, p.request, 19);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, p.vco);
  EXPECT_EQ(m.outputAMux, p.mux);
  EXPECT_EQ(m.outputBMux, p.mux);
  if (p.mux == 0) {
    EXPECT_EQ(m.channelDivider, p.division);
  }
  EXPECT_DOUBLE_EQ(m.outputAFrequency, p.output);
  EXPECT_DOUBLE_EQ(m.outputBFrequency, p.output);
}

INSTANTIATE_TEST_SUITE_P(Edges, ConfigureRangeTest,
                         ::testing::Values(EdgePlan{6000.0, 5500.0, 1, 0, 5500.0},  // above the direct range: capped
                                           EdgePlan{5500.4, 5500.0, 1, 0, 5500.0},
                                           EdgePlan{10.0, 3550.0, 0, 192, 3550.0 / 192},  // below the divider's reach
                                           EdgePlan{18.4, 3550.0, 0, 192, 3550.0 / 192},
                                           EdgePlan{18.5, 18.5 * 192, 0, 192, 18.5},    // rounds to 19: divided
                                           EdgePlan{3549.4, 2 * 3549.4, 0, 2, 3549.4},  // rounds to 3549: divided
                                           EdgePlan{3549.5, 3550.0, 1, 0, 3550.0},  // rounds to 3550: direct, whole MHz
                                           EdgePlan{4000.3, 4000.0, 1, 0, 4000.0}, EdgePlan{900.0, 3600.0, 0, 4, 900.0},
                                           EdgePlan{600.0, 3600.0, 0, 6, 600.0}, EdgePlan{100.0, 3600.0, 0, 36, 100.0},
                                           EdgePlan{25.0, 4800.0, 0, 192, 25.0}));

TEST(Configure, IntegerRatioSwitchesTheModulatorOff) {
  SynthModel m;
  m.configure(156.25, 3125.0, 19);  // VCO 6250 = 40 * 2 * 78.125
  EXPECT_EQ(m.nInteger, 40);
  EXPECT_EQ(m.fractionNumerator, 0);
  EXPECT_EQ(m.modulatorOrder, 0);
  EXPECT_EQ(m.nBandCode, 8);
}

TEST(Configure, StartsFromTheDefaultsButKeepsLoopTargets) {
  SynthModel m;
  m.outputAPower = 3;
  m.reg4Byte = 99;
  m.loopTargets[42] = 7.0;
  m.configure(156.25, 1800.0, 19);
  EXPECT_EQ(m.outputAPower, 15);
  EXPECT_EQ(m.reg4Byte, 25);
  EXPECT_EQ(m.loopTargets.at(42), 7.0);
}

TEST(Configure, RepeatedPlansAreIdentical) {
  SynthModel a;
  SynthModel b;
  a.configure(156.25, 4321.0, 19);
  a.configure(156.25, 777.7, 19);
  b.configure(156.25, 777.7, 19);
  EXPECT_EQ(a.registerImage, b.registerImage);
  EXPECT_EQ(a.vcoFrequency, b.vcoFrequency);
}

// ---- Loop profiles

struct FixedProfile {
  int32_t option;
  int32_t code;
  int32_t gain;
};

class FixedProfileTest : public ::testing::TestWithParam<FixedProfile> {};

TEST_P(FixedProfileTest, FixedChargePumpSetting) {
  SynthModel m;
  m.configure(156.25, 1800.0, GetParam().option);
  EXPECT_EQ(m.chargePumpCode, GetParam().code);
  EXPECT_EQ(m.chargePumpGain, GetParam().gain);
  if (GetParam().option != 0) {
    EXPECT_EQ(m.pdFrequency, 78.125);
  }
}

INSTANTIATE_TEST_SUITE_P(Options, FixedProfileTest,
                         ::testing::Values(FixedProfile{0, 1, 0}, FixedProfile{1, 1, 0}, FixedProfile{2, 2, 2},
                                           FixedProfile{3, 16, 0}, FixedProfile{4, 12, 0}, FixedProfile{17, 8, 0},
                                           FixedProfile{18, 24, 0}, FixedProfile{19, 8, 0}, FixedProfile{20, 31, 3}));

TEST(LoopProfile, Option0AimsTheDetectorAt25MHz) {
  SynthModel m;
  m.configure(156.25, 1800.0, 0);
  // 156.25 * 2 / 13 = 24.04 is the closest path to 25 MHz.
  EXPECT_EQ(m.referenceDoubler, 1);
  EXPECT_EQ(m.preDivider, 13);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_DOUBLE_EQ(m.pdFrequency, 312.5 / 13);
}

double gainFactor(int32_t code) { return code == 1 ? 2.0 : code == 2 ? 1.5 : code == 3 ? 2.5 : 1.0; }

TEST(LoopProfile, SearchedOptionsPickTheClosestLoopFigure) {
  for (int32_t option = 5; option <= 16; ++option) {
    for (double request : {1800.0, 4000.0, 123.456}) {
      SynthModel m;
      m.configure(156.25, request, option);
      const double target = m.loopTargets.at(option);
      auto figureOf = [&](int32_t code, int32_t gain) {
        SynthModel probe = m;
        probe.chargePumpCode = code;
        probe.chargePumpGain = gain;
        probe.updateChargePumpCurrent();
        return m.vcoGain * 2 * probe.chargePumpCurrent * m.pdFrequency / m.vcoFrequency;
      };
      const double chosen = std::fabs(figureOf(m.chargePumpCode, m.chargePumpGain) - target);
      for (int32_t code = 1; code <= 31; ++code) {
        for (int32_t gain = 0; gain <= 3; ++gain) {
          EXPECT_LE(chosen, std::fabs(figureOf(code, gain) - target))
              << "option " << option << " code " << code << " gain x" << gainFactor(gain);
        }
      }
    }
  }
}

TEST(LoopProfile, UnknownOptionGainsAZeroTarget) {
  SynthModel m;
  ASSERT_EQ(m.loopTargets.count(42), 0u);
  m.configure(156.25, 1800.0, 42);
  ASSERT_EQ(m.loopTargets.count(42), 1u);
  EXPECT_EQ(m.loopTargets.at(42), 0.0);
  // Every figure is positive: the smallest current wins.
  EXPECT_EQ(m.chargePumpCode, 1);
  EXPECT_EQ(m.chargePumpGain, 0);
  EXPECT_EQ(m.pdFrequency, 78.125);
}

TEST(LoopProfile, NegativeOptionIsSearched) {
  SynthModel m;
  m.configure(156.25, 1800.0, -3);
  EXPECT_EQ(m.loopTargets.at(-3), 0.0);
  EXPECT_EQ(m.chargePumpCode, 1);
}

// ---- Phase-detector search

struct TuneCase {
  double reference;
  double target;
  int32_t doubler;
  int32_t post;
  int32_t pre;
};

class TunePhaseDetectorTest : public ::testing::TestWithParam<TuneCase> {};

TEST_P(TunePhaseDetectorTest, ClosestPathFirstInSearchOrder) {
  const TuneCase c = GetParam();
  SynthModel m;
  m.refFrequency = c.reference;
  m.tunePhaseDetector(c.target);
  EXPECT_EQ(m.referenceDoubler, c.doubler);
  EXPECT_EQ(m.referenceMultiplier, 1);
  EXPECT_EQ(m.postDivider, c.post);
  EXPECT_EQ(m.preDivider, c.pre);
  EXPECT_DOUBLE_EQ(m.pdFrequency, c.reference * (c.doubler + 1) / c.post / c.pre);
}

INSTANTIATE_TEST_SUITE_P(Cases, TunePhaseDetectorTest,
                         ::testing::Values(TuneCase{156.25, 80.0, 0, 1, 2},   // 78.125
                                           TuneCase{156.25, 100.0, 1, 1, 3},  // 104.17
                                           TuneCase{160.0, 80.0, 0, 1, 2},    // 160/1/2 before 160/2/1
                                           TuneCase{50.0, 100.0, 1, 1, 1},    // needs the doubler
                                           TuneCase{100.0, 0.001, 0, 127, 127}, TuneCase{100.0, 1e6, 1, 1, 1}));

TEST(TunePhaseDetector, NoCandidateComparesForNaN) {
  SynthModel m;
  m.refFrequency = std::numeric_limits<double>::quiet_NaN();
  m.tunePhaseDetector(80.0);
  EXPECT_EQ(m.referenceDoubler, 0);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_EQ(m.preDivider, 1);

  m.refFrequency = 156.25;
  m.tunePhaseDetector(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(m.referenceDoubler, 0);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_EQ(m.preDivider, 1);
}

TEST(TunePhaseDetector, MultiplierSearchCanReachAboveTheReference) {
  SynthModel m;
  m.refFrequency = 25.0;
  m.tunePhaseDetectorWithMultiplier(75.0);
  EXPECT_EQ(m.referenceMultiplier, 3);
  EXPECT_EQ(m.referenceDoubler, 0);
  EXPECT_EQ(m.preDivider, 1);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_EQ(m.pdFrequency, 75.0);

  // x2 is not among the multipliers: 50 MHz comes from x4 and a
  // pre-divider of 2.
  m.tunePhaseDetectorWithMultiplier(50.0);
  EXPECT_EQ(m.referenceMultiplier, 4);
  EXPECT_EQ(m.postDivider, 1);
  EXPECT_EQ(m.preDivider, 2);
}

// ---- Clamps and the plan check

TEST(ReferenceClamps, SettersPinTheirRanges) {
  SynthModel m;
  m.referenceDoubler = 5;
  m.applyReferenceDoubler();
  EXPECT_EQ(m.referenceDoubler, 1);
  m.referenceDoubler = -2;
  m.applyReferenceDoubler();
  EXPECT_EQ(m.referenceDoubler, 0);

  m.referenceMultiplier = 9;
  m.applyReferenceMultiplier();
  EXPECT_EQ(m.referenceMultiplier, 6);
  m.referenceMultiplier = 0;
  m.applyReferenceMultiplier();
  EXPECT_EQ(m.referenceMultiplier, 1);

  m.preDivider = 0;
  m.applyPreDivider();
  EXPECT_EQ(m.preDivider, 1);
  m.preDivider = 500;
  m.applyPreDivider();
  EXPECT_EQ(m.preDivider, 128);

  m.postDivider = -1;
  m.applyPostDivider();
  EXPECT_EQ(m.postDivider, 1);
  m.postDivider = 129;
  m.applyPostDivider();
  EXPECT_EQ(m.postDivider, 128);
  EXPECT_DOUBLE_EQ(m.pdFrequency, 100.0 / 128 / 128);
}

struct NClampCase {
  int32_t in;
  int32_t out;
};

class NIntegerClampTest : public ::testing::TestWithParam<NClampCase> {};

TEST_P(NIntegerClampTest, PinnedToTheDividerRange) {
  SynthModel m;
  m.nInteger = GetParam().in;
  m.applyNInteger();
  EXPECT_EQ(m.nInteger, GetParam().out);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, GetParam().out * 2 * 100.0);
}

INSTANTIATE_TEST_SUITE_P(Values, NIntegerClampTest,
                         ::testing::Values(NClampCase{8, 9}, NClampCase{-5, 9}, NClampCase{9, 9},
                                           NClampCase{4059, 4059}, NClampCase{4060, 4095}, NClampCase{100000, 4095}));

TEST(ValidatePlan, MultiplierTwoBecomesOne) {
  SynthModel m;
  m.referenceMultiplier = 2;
  m.applyReferenceMultiplier();  // 2 is in range for the setter
  EXPECT_EQ(m.pdFrequency, 200.0);
  m.validatePlan();
  EXPECT_EQ(m.referenceMultiplier, 1);
  EXPECT_EQ(m.pdFrequency, 100.0);  // and the reference path is re-planned
}

TEST(ValidatePlan, MultiplierAboveSixBecomesOneWithoutReplan) {
  SynthModel m;
  m.referenceMultiplier = 7;
  m.validatePlan();
  EXPECT_EQ(m.referenceMultiplier, 1);
  EXPECT_EQ(m.pdFrequency, 100.0);
}

struct RangeCase {
  double reference;
  int32_t referenceRange;
  int32_t low;
  int32_t high;
};

class RangeCodeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeCodeTest, FromReferenceAndDetectorFrequency) {
  // A direct reference path puts the detector at the reference frequency.
  SynthModel m;
  m.refFrequency = GetParam().reference;
  m.applyReference();
  m.validatePlan();
  EXPECT_EQ(m.referenceRange, GetParam().referenceRange);
  EXPECT_EQ(m.phaseDetectorLowRange, GetParam().low);
  EXPECT_EQ(m.phaseDetectorHighRange, GetParam().high);
}

INSTANTIATE_TEST_SUITE_P(Bands, RangeCodeTest,
                         ::testing::Values(RangeCase{2.0, 0, 3, 0}, RangeCase{2.5, 0, 2, 0}, RangeCase{5.0, 0, 1, 0},
                                           RangeCase{10.0, 0, 0, 0}, RangeCase{100.09, 0, 0, 0},
                                           RangeCase{100.1, 0, 0, 1}, RangeCase{150.1, 0, 0, 2},
                                           RangeCase{200.0, 0, 0, 2},
                                           // Faster references are divided down first.
                                           RangeCase{200.01, 1, 0, 2}, RangeCase{300.0, 1, 0, 1},
                                           RangeCase{500.0, 2, 0, 2}, RangeCase{800.01, 3, 0, 2},
                                           RangeCase{1e6, 3, 0, 3}));

TEST(ValidatePlan, FastReferenceIsDividedDownToTheDetectorLimit) {
  SynthModel m;
  m.refFrequency = 1000.0;
  m.applyReference();
  m.validatePlan();
  EXPECT_EQ(m.referenceRange, 3);
  EXPECT_EQ(m.preDivider, 5);
  EXPECT_EQ(m.pdFrequency, 200.0);
  EXPECT_EQ(m.phaseDetectorHighRange, 2);
}

TEST(ValidatePlan, PreDividerWalkPastItsRangeStopsAt128) {
  SynthModel m;
  m.refFrequency = 1e6;
  m.applyReference();
  m.validatePlan();
  EXPECT_EQ(m.preDivider, 128);
  EXPECT_EQ(m.pdFrequency, 1e6 / 128);
}

TEST(ValidatePlan, SlowDetectorSwitchesToPrescalerFour) {
  SynthModel m;
  m.refFrequency = 5.0;
  m.applyReference();
  m.validatePlan();
  EXPECT_EQ(m.prescalerSelect, 1);
  // The VCO stays: N is re-derived for the larger prescaler.
  EXPECT_EQ(m.nInteger, 270);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, 5400.0);

  // ... and rounding the post-divider above 5 MHz switches it back.
  m.refFrequency = 10.0;
  m.applyReference();
  m.roundPostDivider();
  EXPECT_EQ(m.prescalerSelect, 0);
  EXPECT_EQ(m.nInteger, 270);
}

TEST(ValidatePlan, SmallNSlowsThePhaseDetector) {
  SynthModel m;
  m.vcoFrequency = 1700.0;  // N 8.5 at 100 MHz
  m.replanFromVco();
  EXPECT_EQ(m.nInteger, 8);
  m.validatePlan();
  EXPECT_EQ(m.preDivider, 2);
  EXPECT_EQ(m.pdFrequency, 50.0);
  EXPECT_EQ(m.nInteger, 17);
  EXPECT_EQ(m.fractionNumerator, 0);
  EXPECT_EQ(m.modulatorOrder, 0);
  EXPECT_EQ(m.nBandCode, 2);
  EXPECT_DOUBLE_EQ(m.vcoFrequency, 1700.0);
}

TEST(ValidatePlan, ModulatorOrderAndBandFromN) {
  const struct {
    int32_t n;
    int32_t order;
    int32_t band;
  } cases[] = {{9, 0, 1},  {10, 0, 1}, {11, 1, 1}, {15, 1, 1}, {16, 2, 2},
               {17, 2, 2}, {18, 3, 2}, {29, 3, 2}, {30, 4, 8}, {4095, 4, 8}};
  for (const auto& c : cases) {
    SynthModel m;
    m.refFrequency = 1.0;  // slow detector: N never needs to grow
    m.prescalerSelect = 1;
    m.applyReference();
    m.nInteger = c.n;
    m.fractionNumerator = 1;
    m.fractionDenominator = 3;
    m.validatePlan();
    EXPECT_EQ(m.nInteger, c.n);
    EXPECT_EQ(m.modulatorOrder, c.order) << c.n;
    EXPECT_EQ(m.nBandCode, c.band) << c.n;
  }
}

TEST(RoundPostDivider, NearestDividerClampedTo128) {
  SynthModel m;
  m.refFrequency = 156.25;
  m.applyReference();
  m.pdFrequency = 1.0;  // asks for 156.25 -> clamped
  m.roundPostDivider();
  EXPECT_EQ(m.postDivider, 128);
  EXPECT_EQ(m.pdFrequency, 156.25 / 128);

  m.pdFrequency = 30.0;  // 156.25 / 30 = 5.2 -> 5
  m.roundPostDivider();
  EXPECT_EQ(m.postDivider, 5);
  EXPECT_EQ(m.pdFrequency, 31.25);

  m.pdFrequency = 0.0;  // no wish: keep the current post-divider
  m.roundPostDivider();
  EXPECT_EQ(m.postDivider, 5);
}

// ---- Output plans and the divider table

struct DividerPick {
  double lo;
  double hi;
  int32_t division;
  int32_t s1;
  int32_t s2;
  int32_t s3;
  int32_t inUse;
};

class ChooseChannelDividerTest : public ::testing::TestWithParam<DividerPick> {};

TEST_P(ChooseChannelDividerTest, SmallestDivisionInRange) {
  const DividerPick p = GetParam();
  SynthModel m;
  m.segment1Select = 7;
  m.segment2Select = 7;
  m.segment3Select = 7;
  m.chooseChannelDivider(p.lo, p.hi);
  EXPECT_EQ(m.channelDivider, p.division);
  EXPECT_EQ(m.segment1Select, p.s1);
  EXPECT_EQ(m.segment2Select, p.s2);
  EXPECT_EQ(m.segment3Select, p.s3);
  EXPECT_EQ(m.segmentsInUse, p.inUse);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChooseChannelDividerTest,
    ::testing::Values(DividerPick{1.5, 3.0, 2, 0, 1, 1, 1}, DividerPick{2.5, 5.0, 4, 0, 1, 1, 2},
                      DividerPick{5.0, 10.0, 6, 1, 1, 1, 2}, DividerPick{8.0, 8.0, 8, 0, 2, 1, 2},
                      DividerPick{9.0, 18.0, 12, 0, 4, 1, 2}, DividerPick{13.0, 26.0, 16, 0, 8, 1, 2},
                      DividerPick{17.0, 34.0, 18, 1, 4, 1, 2}, DividerPick{20.0, 40.0, 24, 1, 8, 1, 2},
                      DividerPick{25.0, 50.0, 32, 0, 8, 1, 4}, DividerPick{33.0, 66.0, 36, 1, 4, 1, 4},
                      DividerPick{40.0, 80.0, 48, 1, 8, 1, 4}, DividerPick{50.0, 100.0, 64, 0, 8, 2, 4},
                      DividerPick{70.0, 140.0, 96, 0, 8, 4, 4}, DividerPick{100.0, 200.0, 128, 0, 8, 8, 4},
                      DividerPick{150.0, 300.0, 192, 1, 8, 8, 4},
                      // Nothing fits: division 0, segment codes untouched.
                      DividerPick{193.0, 400.0, 0, 7, 7, 7, 1}, DividerPick{0.5, 1.5, 0, 7, 7, 7, 1}));

TEST(PlanOutput, BFollowsTheSameRulesAsA) {
  for (double request : {10.0, 700.0, 3549.4, 3549.6, 5000.0, 7000.0}) {
    SynthModel a;
    a.refFrequency = 156.25;
    a.applyReference();
    SynthModel b = a;
    a.outputAFrequency = request;
    a.planOutputA();
    b.outputBFrequency = request;
    b.planOutputB();
    EXPECT_EQ(a.vcoFrequency, b.vcoFrequency) << request;
    EXPECT_EQ(a.channelDivider, b.channelDivider) << request;
    EXPECT_EQ(a.outputAMux, b.outputBMux) << request;
    EXPECT_EQ(a.dividerToA, b.dividerToB) << request;
    EXPECT_EQ(a.vcoDirectOffA, b.vcoDirectOffB) << request;
    EXPECT_EQ(a.outputAFrequency, b.outputBFrequency) << request;
  }
}

TEST(ApplyDividerSegments, EnablesFollowTheSegmentCount) {
  const struct {
    int32_t inUse;
    int32_t e1, e2, e3;
  } cases[] = {{1, 1, 0, 0}, {2, 1, 1, 0}, {4, 1, 1, 1}, {3, 5, 5, 5}};
  for (const auto& c : cases) {
    SynthModel m;
    m.segment1Enable = m.segment2Enable = m.segment3Enable = 5;
    m.segmentsInUse = c.inUse;
    m.applyDividerSegments();
    EXPECT_EQ(m.segment1Enable, c.e1) << c.inUse;
    EXPECT_EQ(m.segment2Enable, c.e2) << c.inUse;
    EXPECT_EQ(m.segment3Enable, c.e3) << c.inUse;
  }
}

}  // namespace
}  // namespace kestrel
