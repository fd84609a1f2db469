#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "synth/phase_detector_search.h"
#include "synth/synth_model.h"

namespace kestrel {

// Found by argument-dependent lookup when an assertion prints a path.
std::ostream& operator<<(std::ostream& os, const PhaseDetectorPath& p) {
  return os << "(x" << p.doublerFactor << ", /" << p.postDivider << ", /" << p.preDivider << ")";
}

namespace {

struct SearchPair {
  double reference;
  double target;
};

// References and targets over many magnitudes, the board's usual values,
// and pairs built to produce exact ties: inside a row, between rows and
// halfway between neighbouring candidates.
std::vector<SearchPair> searchPairs(uint64_t seed, int count) {
  std::mt19937_64 g(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> divider(1, kMaxSearchDivider);
  std::uniform_int_distribution<int> doubler(1, 2);
  const double usual[] = {156.25, 80.0, 100.0, 25.0, 10.0, 122.88, 125.0, 200.0, 50.0, 1.0};
  auto logUniform = [&](double lo, double hi) {
    return std::exp(std::log(lo) + unit(g) * (std::log(hi) - std::log(lo)));
  };
  auto anyReference = [&]() -> double {
    switch (g() % 4) {
      case 0:
        return usual[g() % std::size(usual)];
      case 1:
        return std::round(logUniform(1.0, 2000.0) * 1000.0) / 1000.0;
      default:
        return logUniform(1e-3, 1e5);
    }
  };
  auto candidateOf = [&](double reference) { return reference * doubler(g) / divider(g) / divider(g); };

  std::vector<SearchPair> pairs;
  pairs.reserve(static_cast<std::size_t>(count));
  while (static_cast<int>(pairs.size()) < count) {
    double reference = anyReference();
    double target = 0.0;
    switch (g() % 9) {
      case 0:  // the board's targets
        target = (g() % 2) ? 80.0 : ((g() % 2) ? 100.0 : 25.0);
        break;
      case 1:  // anything from far below to far above the reachable values
        target = logUniform(1e-4, 1e6);
        break;
      case 2:  // exactly one of the candidates: exact ties across rows
        target = candidateOf(reference);
        break;
      case 3: {  // reference a multiple of the target
        const double t = reference / std::uniform_int_distribution<int>(1, 300)(g);
        target = t;
        break;
      }
      case 4: {  // halfway between two candidates, possibly of different rows
        target = (candidateOf(reference) + candidateOf(reference)) / 2;
        break;
      }
      case 5: {  // halfway between neighbours of one row
        const double row = reference * doubler(g) / divider(g);
        const int k = std::uniform_int_distribution<int>(1, kMaxSearchDivider - 1)(g);
        target = (row / k + row / (k + 1)) / 2;
        break;
      }
      case 8: {
        // Exact tie inside the first row: reference 2^e * 2k(k+1)
        // makes reference/k and reference/(k+1) whole multiples of
        // 2^e, and the target lies exactly halfway between them.
        const int k = std::uniform_int_distribution<int>(1, kMaxSearchDivider - 1)(g);
        const double scale = std::ldexp(1.0, std::uniform_int_distribution<int>(-12, 4)(g));
        reference = scale * 2 * k * (k + 1);
        target = scale * (2 * k + 1);
        break;
      }
      case 6:  // just off a candidate
        target = std::nextafter(candidateOf(reference), (g() % 2) ? 0.0 : 1e300);
        break;
      default:
        target = unit(g) * reference * 2;
        break;
    }
    pairs.push_back({reference, target});
  }
  return pairs;
}

class SearchEquivalenceTest : public ::testing::TestWithParam<int> {};

// 8 shards of 12,500 pairs: 100,000 in all.
TEST_P(SearchEquivalenceTest, FastSearchChoosesTheExhaustiveWinner) {
  const int shard = GetParam();
  for (const SearchPair& p : searchPairs(0xC0FFEEull + static_cast<uint64_t>(shard), 12500)) {
    const PhaseDetectorPath fast = findPhaseDetectorPath(p.reference, p.target);
    const PhaseDetectorPath exhaustive = findPhaseDetectorPathExhaustive(p.reference, p.target);
    ASSERT_EQ(fast, exhaustive) << std::hexfloat << "reference " << p.reference << " target " << p.target;
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, SearchEquivalenceTest, ::testing::Range(0, 8));

TEST(SearchEquivalence, ExtremeInputs) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {nan,
                           inf,
                           -inf,
                           0.0,
                           -0.0,
                           -1.0,
                           -156.25,
                           1e-320,
                           1e-300,
                           1e-9,
                           0.5,
                           80.0,
                           100.0,
                           156.25,
                           1e9,
                           1e300,
                           std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max()};
  for (double reference : values) {
    for (double target : values) {
      EXPECT_EQ(findPhaseDetectorPath(reference, target), findPhaseDetectorPathExhaustive(reference, target))
          << "reference " << reference << " target " << target;
    }
  }
}

TEST(SearchEquivalence, FirstOfEqualCandidatesWins) {
  // 160 / 1 / 2 and 160 / 2 / 1 both hit 80 exactly: post-divider 1 first.
  EXPECT_EQ(findPhaseDetectorPath(160.0, 80.0), (PhaseDetectorPath{1, 1, 2}));
  // 40 MHz from 80: 80/1/2 comes before 80/2/1 and before x2 paths.
  EXPECT_EQ(findPhaseDetectorPath(80.0, 40.0), (PhaseDetectorPath{1, 1, 2}));
  // 96 and 192 are both 48 away from 144: the undoubled path comes first.
  EXPECT_EQ(findPhaseDetectorPath(96.0, 144.0), (PhaseDetectorPath{1, 1, 1}));
  // 8580/65 = 132 and 8580/66 = 130 are both exactly 1 away from 131, and
  // no other path gets closer (131 is prime and above 127): the smaller
  // pre-divider of the same row wins.
  EXPECT_EQ(findPhaseDetectorPath(8580.0, 131.0), (PhaseDetectorPath{1, 1, 65}));
  EXPECT_EQ(findPhaseDetectorPathExhaustive(8580.0, 131.0), (PhaseDetectorPath{1, 1, 65}));
}

// ---- Whole plans: every field and the image, bit for bit.

bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

#define EXPECT_SAME_INT(field) EXPECT_EQ(a.field, b.field) << #field
#define EXPECT_SAME_DOUBLE(field) \
  EXPECT_TRUE(sameBits(a.field, b.field)) << #field << ": " << a.field << " vs " << b.field

void expectSamePlan(const SynthModel& a, const SynthModel& b) {
  EXPECT_EQ(a.loopTargets, b.loopTargets);
  EXPECT_SAME_INT(reg0Bit13);
  EXPECT_SAME_INT(phaseDetectorHighRange);
  EXPECT_SAME_INT(phaseDetectorLowRange);
  EXPECT_SAME_INT(reg0Bit4);
  EXPECT_SAME_INT(reg0Bit3);
  EXPECT_SAME_INT(reg0Bit2);
  EXPECT_SAME_INT(reg0Bit1);
  EXPECT_SAME_INT(reg0Bit0);
  EXPECT_SAME_INT(referenceRange);
  EXPECT_SAME_INT(reg4Byte);
  EXPECT_SAME_INT(reg8Bit13);
  EXPECT_SAME_INT(reg8Bit10);
  EXPECT_SAME_INT(referenceDoubler);
  EXPECT_SAME_INT(reg9Bit9);
  EXPECT_SAME_INT(referenceMultiplier);
  EXPECT_SAME_INT(postDivider);
  EXPECT_SAME_INT(preDivider);
  EXPECT_SAME_INT(reg13Bit14);
  EXPECT_SAME_INT(reg13Bits9to8);
  EXPECT_SAME_INT(chargePumpCode);
  EXPECT_SAME_INT(chargePumpGain);
  EXPECT_SAME_INT(reg19Field);
  EXPECT_SAME_INT(reg20Field);
  EXPECT_SAME_INT(reg22Byte);
  EXPECT_SAME_INT(reg23Bit14);
  EXPECT_SAME_INT(reg23Bits13to11);
  EXPECT_SAME_INT(reg23Bit10);
  EXPECT_SAME_INT(reg30Bit10);
  EXPECT_SAME_INT(vcoDirectOffB);
  EXPECT_SAME_INT(vcoDirectOffA);
  EXPECT_SAME_INT(reg31Bit7);
  EXPECT_SAME_INT(reg34Bit5);
  EXPECT_SAME_INT(segment2Select);
  EXPECT_SAME_INT(segment3Enable);
  EXPECT_SAME_INT(segment2Enable);
  EXPECT_SAME_INT(segment1Select);
  EXPECT_SAME_INT(segment1Enable);
  EXPECT_SAME_INT(dividerToB);
  EXPECT_SAME_INT(dividerToA);
  EXPECT_SAME_INT(segmentsInUse);
  EXPECT_SAME_INT(segment3Select);
  EXPECT_SAME_INT(prescalerSelect);
  EXPECT_SAME_INT(nInteger);
  EXPECT_SAME_INT(nBandCode);
  EXPECT_SAME_INT(fractionDenominator);
  EXPECT_SAME_INT(fractionAuxWord);
  EXPECT_SAME_INT(fractionNumerator);
  EXPECT_SAME_INT(outputAPower);
  EXPECT_SAME_INT(outputBPowerDown);
  EXPECT_SAME_INT(outputAPowerDown);
  EXPECT_SAME_INT(modulatorOrder);
  EXPECT_SAME_INT(outputAMux);
  EXPECT_SAME_INT(outputBPower);
  EXPECT_SAME_INT(outputBMux);
  EXPECT_SAME_INT(reg59Bit5);
  EXPECT_SAME_INT(reg61Bit0);
  EXPECT_SAME_INT(reg64Bit9);
  EXPECT_SAME_INT(reg64Bit8);
  EXPECT_SAME_INT(reg64Bits7to5);
  EXPECT_SAME_INT(reg64Bits3to0);
  EXPECT_SAME_DOUBLE(chargePumpCurrent);
  EXPECT_SAME_DOUBLE(refFrequency);
  EXPECT_SAME_DOUBLE(pdFrequency);
  EXPECT_SAME_INT(vcoDoubler);
  EXPECT_SAME_DOUBLE(vcoFrequency);
  EXPECT_SAME_DOUBLE(feedbackFrequency);
  EXPECT_SAME_DOUBLE(vcoGain);
  EXPECT_SAME_DOUBLE(outputAFrequency);
  EXPECT_SAME_INT(channelDivider);
  EXPECT_SAME_DOUBLE(outputBFrequency);
  EXPECT_SAME_DOUBLE(outputAInactive);
  EXPECT_SAME_DOUBLE(outputBInactive);
  EXPECT_EQ(a.registerImage, b.registerImage);
}

#undef EXPECT_SAME_INT
#undef EXPECT_SAME_DOUBLE

struct PlanSweep {
  double reference;
  int32_t option;
};

void PrintTo(const PlanSweep& s, std::ostream* os) { *os << s.reference << " MHz, option " << s.option; }

class WholePlanEquivalenceTest : public ::testing::TestWithParam<PlanSweep> {};

TEST_P(WholePlanEquivalenceTest, FastAndExhaustivePlansAreIdentical) {
  const PlanSweep s = GetParam();
  std::vector<double> requests;
  for (int mhz = 21; mhz < 5500; mhz += 37) {
    requests.push_back(mhz);
  }
  std::mt19937_64 g(0xFACADEull);
  std::uniform_real_distribution<double> anywhere(20.0, 5500.0);
  for (int n = 0; n < 60; ++n) {
    requests.push_back(anywhere(g));
  }
  for (double request : {10.0, 1800.0, 4000.0, 6000.0, 3549.5}) {
    requests.push_back(request);
  }
  SynthModel fast;
  SynthModel exhaustive;
  for (double request : requests) {
    fast.configure(s.reference, request, s.option);
    exhaustive.configureExhaustive(s.reference, request, s.option);
    SCOPED_TRACE(::testing::Message() << "request " << request);
    expectSamePlan(fast, exhaustive);
    if (::testing::Test::HasFailure()) {
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(References, WholePlanEquivalenceTest,
                         ::testing::Values(PlanSweep{156.25, 19}, PlanSweep{156.25, 0}, PlanSweep{156.25, 7},
                                           PlanSweep{156.25, 20}, PlanSweep{100.0, 19}, PlanSweep{80.0, 19},
                                           PlanSweep{10.0, 19}, PlanSweep{122.88, 12}, PlanSweep{1000.0, 19},
                                           PlanSweep{0.5, 19}, PlanSweep{1e6, 19}));

TEST(WholePlanEquivalence, ReplanningAfterFmStyleRetune) {
  // The FM refresh re-tunes the detector on an existing plan.
  SynthModel fast;
  SynthModel exhaustive;
  fast.configure(156.25, 2345.678, 19);
  exhaustive.configureExhaustive(156.25, 2345.678, 19);
  for (SynthModel* m : {&fast, &exhaustive}) {
    m->chargePumpCode = 31;
    m->chargePumpGain = 3;
    m->applyChargePumpCode();
    m->pdFrequency = 80.0;
  }
  fast.tunePhaseDetector(80.0);
  exhaustive.tunePhaseDetectorExhaustive(80.0);
  for (SynthModel* m : {&fast, &exhaustive}) {
    m->roundPostDivider();
    m->validatePlan();
    m->buildRegisterImage();
  }
  expectSamePlan(fast, exhaustive);
}

}  // namespace
}  // namespace kestrel
