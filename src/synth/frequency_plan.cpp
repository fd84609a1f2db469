#include <cmath>
#include <limits>

#include "protocol/board_protocol.h"
#include "synth/fraction.h"
#include "synth/numeric.h"
#include "synth/synth_model.h"

namespace kestrel {

namespace {

// Limits of the phase-detector input. adjustPreDivider walks to a slightly
// wider ceiling than validatePlan checks for, so a frequency a hair above
// 200 MHz is left alone once it has been walked.
constexpr double kPdMin = 0.25;
constexpr double kPdCheckMax = 200.0;
constexpr double kPdWalkMax = 200.01;

constexpr int32_t kMaxRefDivider = 128;
constexpr int32_t kMaxRefMultiplier = 6;
constexpr int32_t kMinNInteger = 9;
constexpr int32_t kNIntegerLimit = 4060;  // from here on N is pinned to kMaxNInteger
constexpr int32_t kMaxNInteger = 4095;

constexpr double kVcoMin = protocol::kVcoMinMHz;
constexpr double kVcoMax = protocol::kVcoMaxMHz;
constexpr double kDirectVcoMax = 5500.0;
constexpr double kDirectThreshold = 3549.9;
constexpr double kLowestDividedRequest = 18.5;

// Divisions the three cascaded segments can make, smallest first, with the
// segment codes that make them.
struct DividerChoice {
  int32_t division;
  int32_t segment1Select;
  int32_t segment2Select;
  int32_t segment3Select;
};

constexpr DividerChoice kDividerChoices[] = {
    {2, 0, 1, 1},  {4, 0, 1, 1},  {6, 1, 1, 1},  {8, 0, 2, 1},   {12, 0, 4, 1},
    {16, 0, 8, 1}, {18, 1, 4, 1}, {24, 1, 8, 1}, {32, 0, 8, 1},  {36, 1, 4, 1},
    {48, 1, 8, 1}, {64, 0, 8, 2}, {96, 0, 8, 4}, {128, 0, 8, 8}, {192, 1, 8, 8},
};

// Options whose loop settings are fixed rather than searched.
struct FixedLoopProfile {
  int32_t option;
  double pdTarget;
  int32_t chargePumpCode;
  int32_t chargePumpGain;
};

constexpr FixedLoopProfile kFixedLoopProfiles[] = {
    {0, 25.0, 1, 0},  {1, 80.0, 1, 0},   {2, 80.0, 2, 2},  {3, 80.0, 16, 0},  {4, 80.0, 12, 0},
    {17, 80.0, 8, 0}, {18, 80.0, 24, 0}, {19, 80.0, 8, 0}, {20, 80.0, 31, 3},
};

constexpr double kDefaultPdTarget = 80.0;
constexpr double kInitialPdTarget = 100.0;

// Charge-pump gain factors in search order, with their register codes.
struct GainStep {
  double factor;
  int32_t code;
};
constexpr GainStep kGainSteps[] = {{1.0, 0}, {1.5, 2}, {2.0, 1}, {2.5, 3}};
constexpr int32_t kMaxChargePumpCode = 31;

}  // namespace

double producedFrequencyMHz(double reference, double frequency, int32_t option) {
  SynthModel model;
  model.configure(reference, frequency, option);
  return model.outputAFrequency;
}

int SynthModel::configure(double reference, double frequency, int32_t option) {
  return configureUsing(reference, frequency, option, &findPhaseDetectorPath);
}

int SynthModel::configureExhaustive(double reference, double frequency, int32_t option) {
  return configureUsing(reference, frequency, option, &findPhaseDetectorPathExhaustive);
}

int SynthModel::configureUsing(double reference, double frequency, int32_t option, PhaseDetectorSearch search) {
  assignDefaults();
  chargePumpCode = 8;
  outputBPower = 10;

  refFrequency = reference;
  applyReference();
  validatePlan();

  outputAFrequency = frequency;
  planOutputA();
  validatePlan();

  // Both outputs carry the same frequency; B's plan decides the VCO and
  // the division that the rest of the plan keeps.
  outputBFrequency = frequency;
  planOutputB();
  validatePlan();

  pdFrequency = kInitialPdTarget;
  tunePhaseDetectorUsing(kInitialPdTarget, search);
  roundPostDivider();
  validatePlan();

  applyLoopProfileUsing(option, search);
  validatePlan();

  buildRegisterImage();
  return 1;
}

void SynthModel::validatePlan() {
  if (refFrequency < 200.01) {
    referenceRange = 0;
  } else if (refFrequency < 400.01) {
    referenceRange = 1;
  } else if (refFrequency < 800.01) {
    referenceRange = 2;
  } else {
    referenceRange = 3;
  }

  // The chip's multiplier has no x2 setting.
  if (referenceMultiplier == 2) {
    referenceMultiplier = 1;
    applyReferenceMultiplier();
  } else if (referenceMultiplier > kMaxRefMultiplier) {
    referenceMultiplier = 1;
  }

  if (pdFrequency < kPdMin || pdFrequency > kPdCheckMax) {
    adjustPreDivider();
  }

  if (pdFrequency < 2.5) {
    phaseDetectorLowRange = 3;
    phaseDetectorHighRange = 0;
  } else if (pdFrequency < 5.0) {
    phaseDetectorLowRange = 2;
    phaseDetectorHighRange = 0;
  } else if (pdFrequency < 10.0) {
    phaseDetectorLowRange = 1;
    phaseDetectorHighRange = 0;
  } else if (pdFrequency < 100.1) {
    phaseDetectorLowRange = 0;
    phaseDetectorHighRange = 0;
  } else if (pdFrequency < 150.1) {
    phaseDetectorLowRange = 0;
    phaseDetectorHighRange = 1;
  } else if (pdFrequency < 200.1) {
    phaseDetectorLowRange = 0;
    phaseDetectorHighRange = 2;
  } else {
    phaseDetectorLowRange = 0;
    phaseDetectorHighRange = 3;
  }

  // A slow phase detector needs the larger prescaler to keep N in range.
  if (prescalerSelect == 0 && pdFrequency < 5.0001) {
    prescalerSelect = 1;
    replanFromVco();
  }

  if (nInteger < kMinNInteger) {
    adjustPreDivider();
  }
  applyNInteger();

  if (nInteger <= 10) {
    modulatorOrder = 0;
    nBandCode = 1;
  } else if (nInteger <= 15) {
    modulatorOrder = 1;
    nBandCode = 1;
  } else if (nInteger <= 17) {
    modulatorOrder = 2;
    nBandCode = 2;
  } else if (nInteger <= 29) {
    modulatorOrder = 3;
    nBandCode = 2;
  } else {
    modulatorOrder = 4;
    nBandCode = 8;
  }
  // Integer-N: the modulator is switched off.
  if (fractionNumerator == 0) {
    modulatorOrder = 0;
  }

  updateInactiveFlags();
}

void SynthModel::updateFraction() {
  const double f = vcoFrequency * detail::plusOne(vcoDoubler);
  const double prescaler = detail::prescalerRatio(prescalerSelect);
  if (pdFrequency < 1e-7) {
    pdFrequency = 1.0;
  }
  const double ratio = f / pdFrequency / prescaler;
  const int32_t n = detail::truncateToInt32(std::floor(ratio));
  const double fractional = ratio - n;
  const auto [numerator, denominator] = approximateFraction(fractional);
  fractionNumerator = numerator;
  fractionDenominator = denominator;
  // Left unclamped on purpose: validatePlan pins N and re-derives the VCO.
  nInteger = n;
}

void SynthModel::applyReference() {
  updatePhaseDetector();
  updateFraction();
  updateVco();
  updateOutputs();
}

void SynthModel::applyReferenceDoubler() {
  if (referenceDoubler > 1) {
    referenceDoubler = 1;
  } else if (referenceDoubler < 0) {
    referenceDoubler = 0;
  }
  applyReference();
}

void SynthModel::applyReferenceMultiplier() {
  if (referenceMultiplier > kMaxRefMultiplier) {
    referenceMultiplier = kMaxRefMultiplier;
  } else if (referenceMultiplier <= 0) {
    referenceMultiplier = 1;
  }
  applyReference();
}

void SynthModel::applyPreDivider() {
  if (preDivider <= 0) {
    preDivider = 1;
  } else if (preDivider > kMaxRefDivider) {
    preDivider = kMaxRefDivider;
  }
  applyReference();
}

void SynthModel::applyPostDivider() {
  if (postDivider > kMaxRefDivider) {
    postDivider = kMaxRefDivider;
  } else if (postDivider <= 0) {
    postDivider = 1;
  }
  applyReference();
}

void SynthModel::applyNInteger() {
  if (nInteger < kMinNInteger) {
    nInteger = kMinNInteger;
  } else if (nInteger >= kNIntegerLimit) {
    nInteger = kMaxNInteger;
  }
  updateVco();
  updateOutputs();
}

void SynthModel::replanFromVco() {
  updateFraction();
  updateVco();
  updateOutputs();
}

void SynthModel::adjustPreDivider() {
  const auto pdFor = [this](int32_t d) {
    return refFrequency * detail::plusOne(referenceDoubler) / d * referenceMultiplier / postDivider;
  };

  // Any walk that ends above the divider's range is clamped to 128 below,
  // so the walk never needs to go past 129. Starting a downward walk at 129
  // instead of from a larger value stops at the same place whenever the
  // frequency falls with the divider, which holds for any positive
  // reference path; a non-positive start counts as 0. Within the planner
  // the divider is always 1..128 here and these limits never bind.
  int32_t d = preDivider;
  if (d > kMaxRefDivider + 1) {
    d = kMaxRefDivider + 1;
  } else if (d < 0) {
    d = 0;
  }
  // Comparisons with NaN are false, so a NaN frequency ends either walk.
  if (pdFor(d) < kPdMin) {
    while (d > 0 && pdFor(d) < kPdMin) {
      --d;
    }
  } else if (pdFor(d) > kPdWalkMax) {
    while (d <= kMaxRefDivider && pdFor(d) > kPdWalkMax) {
      ++d;
    }
  }
  preDivider = d;
  applyPreDivider();

  // Small N leaves the modulator too little room: slow the phase detector.
  while (nInteger <= 10 && preDivider < kMaxRefDivider) {
    ++preDivider;
    applyPreDivider();
  }
}

void SynthModel::tunePhaseDetector(double target) { tunePhaseDetectorUsing(target, &findPhaseDetectorPath); }

void SynthModel::tunePhaseDetectorExhaustive(double target) {
  tunePhaseDetectorUsing(target, &findPhaseDetectorPathExhaustive);
}

void SynthModel::tunePhaseDetectorUsing(double target, PhaseDetectorSearch search) {
  const PhaseDetectorPath path = search(refFrequency, target);
  referenceDoubler = path.doublerFactor - 1;
  applyReferenceDoubler();
  referenceMultiplier = 1;
  applyReferenceMultiplier();
  preDivider = path.preDivider;
  applyPreDivider();
  postDivider = path.postDivider;
  applyPostDivider();
  replanFromVco();
}

void SynthModel::tunePhaseDetectorWithMultiplier(double target) {
  static constexpr int32_t kMultipliers[] = {1, 3, 4, 5};
  double bestError = std::numeric_limits<double>::max();
  int32_t bestMultiplier = 1;
  int32_t bestPost = 1;
  int32_t bestPre = 1;
  const int32_t doubler = 1;  // the doubler stays off in this search
  for (const int32_t m : kMultipliers) {
    for (int32_t j = 1; j <= kMaxSearchDivider; ++j) {
      for (int32_t k = 1; k <= kMaxSearchDivider; ++k) {
        const double error = std::fabs(refFrequency * doubler * m / j / k - target);
        if (error < bestError) {
          bestError = error;
          bestMultiplier = m;
          bestPost = j;
          bestPre = k;
        }
      }
    }
  }
  referenceDoubler = doubler - 1;
  applyReferenceDoubler();
  referenceMultiplier = bestMultiplier;
  applyReferenceMultiplier();
  preDivider = bestPre;
  applyPreDivider();
  postDivider = bestPost;
  applyPostDivider();
  replanFromVco();
}

void SynthModel::roundPostDivider() {
  if (pdFrequency > 5.0) {
    prescalerSelect = 0;
  }
  const int64_t referenceGain = (static_cast<int64_t>(referenceDoubler) + 1) * referenceMultiplier;
  const double beforePost = static_cast<double>(referenceGain) * refFrequency / preDivider;
  double wanted = pdFrequency;
  if (wanted < 0.0001) {
    wanted = beforePost / postDivider;
  }
  const int32_t post = detail::clampToInt32(std::floor(beforePost / wanted + 0.5), 1, kMaxRefDivider);
  postDivider = post;
  pdFrequency = beforePost / post;
  replanFromVco();
}

// The fields that route one output: A and B are planned the same way.
struct SynthModel::OutputRoute {
  double SynthModel::*frequency;
  int32_t SynthModel::*mux;
  int32_t SynthModel::*dividerTo;
  int32_t SynthModel::*vcoDirectOff;
  bool clearsVcoDoubler;  // output B's plan also takes the VCO undoubled
};

void SynthModel::planOutputA() {
  planOutput({&SynthModel::outputAFrequency, &SynthModel::outputAMux, &SynthModel::dividerToA,
              &SynthModel::vcoDirectOffA, false});
}

void SynthModel::planOutputB() {
  planOutput({&SynthModel::outputBFrequency, &SynthModel::outputBMux, &SynthModel::dividerToB,
              &SynthModel::vcoDirectOffB, true});
}

void SynthModel::routeOutput(const OutputRoute& route, bool fromVco) {
  this->*route.mux = fromVco ? 1 : 0;
  this->*route.dividerTo = fromVco ? 0 : 1;
  this->*route.vcoDirectOff = fromVco ? 0 : 1;
}

void SynthModel::planOutput(const OutputRoute& route) {
  const double requested = this->*route.frequency;
  const double whole = std::round(requested);
  if (whole > kDirectVcoMax) {
    // Direct from the VCO at its highest planned frequency.
    vcoFrequency = kDirectVcoMax;
    updateFraction();
    updateVco();
    routeOutput(route, true);
    updateOutputs();
    return;
  }
  if (route.clearsVcoDoubler) vcoDoubler = 0;
  if (whole > kDirectThreshold) {
    // Direct from the VCO, whole MHz only.
    vcoFrequency = whole;
    updateFraction();
    updateVco();
    routeOutput(route, true);
    updateOutputs();
  } else if (whole < kLowestDividedRequest) {
    // Below the reach of the divider: the lowest VCO through the largest
    // division (192).
    vcoFrequency = kVcoMin;
    updateFraction();
    updateVco();
    routeOutput(route, false);
    segment1Select = 1;
    segment2Select = 8;
    segment3Select = 8;
    segmentsInUse = 4;
    applyDividerSegments();
    updateOutputs();
  } else {
    routeOutput(route, false);
    chooseChannelDivider(kVcoMin / requested, kVcoMax / requested);
    vcoFrequency = channelDivider * requested;
    updateFraction();
    updateVco();
    applyDividerSegments();
  }
}

void SynthModel::chooseChannelDivider(double lo, double hi) {
  int32_t division = 0;
  for (const DividerChoice& choice : kDividerChoices) {
    if (lo <= choice.division && choice.division <= hi) {
      division = choice.division;
      segment1Select = choice.segment1Select;
      segment2Select = choice.segment2Select;
      segment3Select = choice.segment3Select;
      break;
    }
  }
  if (division <= 3) {
    segmentsInUse = 1;
  } else if (division > 24) {
    segmentsInUse = 4;
  } else {
    segmentsInUse = 2;
  }
  channelDivider = division;
}

void SynthModel::applyDividerSegments() {
  if (segmentsInUse == 1) {
    segment1Enable = 1;
    segment2Enable = 0;
    segment3Enable = 0;
  } else if (segmentsInUse == 2) {
    segment1Enable = 1;
    segment2Enable = 1;
    segment3Enable = 0;
  } else if (segmentsInUse == 4) {
    segment1Enable = 1;
    segment2Enable = 1;
    segment3Enable = 1;
  }
  updateOutputs();
  validatePlan();
}

void SynthModel::applyLoopProfile(int32_t option) { applyLoopProfileUsing(option, &findPhaseDetectorPath); }

void SynthModel::applyLoopProfileUsing(int32_t option, PhaseDetectorSearch search) {
  for (const FixedLoopProfile& profile : kFixedLoopProfiles) {
    if (profile.option == option) {
      tunePhaseDetectorUsing(profile.pdTarget, search);
      roundPostDivider();
      validatePlan();
      chargePumpCode = profile.chargePumpCode;
      chargePumpGain = profile.chargePumpGain;
      applyChargePumpCode();
      return;
    }
  }

  tunePhaseDetectorUsing(kDefaultPdTarget, search);
  roundPostDivider();
  validatePlan();

  // Pick the charge-pump setting whose loop figure comes closest to the
  // option's target; the first of equally close settings wins.
  const double fv = vcoFrequency;
  const double fp = pdFrequency;
  const double kv = vcoGain;
  const double target = loopTargets[option];
  double bestError = std::numeric_limits<double>::max();
  int32_t bestCode = 1;
  int32_t bestGain = kGainSteps[0].code;
  for (int32_t code = 1; code <= kMaxChargePumpCode; ++code) {
    for (const GainStep& step : kGainSteps) {
      chargePumpCode = code;
      chargePumpGain = step.code;
      applyChargePumpCode();
      const double figure = kv * 2 * chargePumpCurrent * fp / fv;
      const double error = std::fabs(figure - target);
      if (error < bestError) {
        bestError = error;
        bestCode = code;
        bestGain = step.code;
      }
    }
  }
  chargePumpCode = bestCode;
  chargePumpGain = bestGain;
  applyChargePumpCode();
}

void SynthModel::applyChargePumpCode() { updateChargePumpCurrent(); }

}  // namespace kestrel
