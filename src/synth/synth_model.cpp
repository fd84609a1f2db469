#include "synth/synth_model.h"

#include "synth/numeric.h"

namespace kestrel {

namespace {

// VCO gain is piecewise linear over the VCO's seven bands (kVcoBands) and
// steps at every band edge.
constexpr double kVcoGainBelowRange = 24.25;
constexpr double kVcoGainAboveRange = 57.06;

}  // namespace

int32_t firstSegmentDivision(int32_t select) {
  if (select == 0) {
    return 2;
  }
  if (select == 1) {
    return 3;
  }
  return 1;
}

int32_t laterSegmentDivision(int32_t oneHotSelect) {
  switch (oneHotSelect) {
    case 8:
      return 8;
    case 4:
      return 6;
    case 2:
      return 4;
    case 1:
      return 2;
    default:
      return 1;
  }
}

double chargePumpGainFactor(int32_t gainCode) {
  switch (gainCode) {
    case 1:
      return 2.0;
    case 2:
      return 1.5;
    case 3:
      return 2.5;
    default:
      return 1.0;
  }
}

SynthModel::SynthModel() {
  assignDefaults();
  // Both start defined even though the first plan overwrites them before
  // anything reads them.
  outputBFrequency = 0.0;
  registerImage.fill(0);

  loopTargets[19] = 1010;
  loopTargets[20] = 1011;
  loopTargets[1] = 1012;
  loopTargets[2] = 1020;
  loopTargets[3] = 1040;
  loopTargets[4] = 3.27;
  loopTargets[5] = 4.149;
  loopTargets[6] = 6.334;
  loopTargets[7] = 8.54;
  loopTargets[8] = 10.8;
  loopTargets[9] = 13;
  loopTargets[10] = 15.4;
  loopTargets[0] = 1005;
  loopTargets[11] = 0.62;
  loopTargets[12] = 1.7;
  loopTargets[13] = 2.9;
  loopTargets[14] = 0.5;
  loopTargets[15] = 0.66;
  loopTargets[16] = 1.2;
}

// Power-on plan: 100 MHz reference straight to the phase detector,
// prescaler 2, N = 27, VCO 5400 MHz, output A at 1800 MHz through the
// divide-by-3 segment. loopTargets, outputBFrequency and registerImage are
// not touched: a re-plan keeps them.
void SynthModel::assignDefaults() {
  reg0Bit13 = 1;
  phaseDetectorHighRange = 0;
  phaseDetectorLowRange = 0;
  reg0Bit4 = 1;
  reg0Bit3 = 1;
  reg0Bit2 = 1;
  reg0Bit1 = 0;
  reg0Bit0 = 0;
  referenceRange = 0;
  reg4Byte = 25;
  reg8Bit13 = 0;
  reg8Bit10 = 0;
  referenceDoubler = 0;
  reg9Bit9 = 1;
  referenceMultiplier = 1;
  postDivider = 1;
  preDivider = 1;
  reg13Bit14 = 1;
  reg13Bits9to8 = 0;
  chargePumpCode = 3;
  chargePumpGain = 0;
  reg19Field = 300;
  reg20Field = 300;
  reg22Byte = 0;
  reg23Bit14 = 0;
  reg23Bits13to11 = 1;
  reg23Bit10 = 0;
  reg30Bit10 = 0;
  vcoDirectOffB = 1;
  vcoDirectOffA = 0;
  reg31Bit7 = 0;
  reg34Bit5 = 1;
  segment2Select = 1;
  segment3Enable = 0;
  segment2Enable = 0;
  segment1Select = 1;
  segment1Enable = 1;
  dividerToB = 0;
  dividerToA = 1;
  segmentsInUse = 1;
  segment3Select = 1;
  prescalerSelect = 0;
  nInteger = 27;
  nBandCode = 2;
  fractionDenominator = 1;
  fractionAuxWord = 0;
  fractionNumerator = 0;
  outputAPower = 15;
  outputBPowerDown = 0;
  outputAPowerDown = 0;
  modulatorOrder = 3;
  outputAMux = 0;
  outputBPower = 15;
  outputBMux = 0;
  reg59Bit5 = 0;
  reg61Bit0 = 1;
  reg64Bit9 = 0;
  reg64Bit8 = 0;
  reg64Bits7to5 = 3;
  reg64Bits3to0 = 7;
  chargePumpCurrent = 0.0;
  refFrequency = 100.0;
  pdFrequency = 100.0;
  vcoDoubler = 0;
  vcoFrequency = 5400.0;
  feedbackFrequency = 5400.0;
  vcoGain = 53.0;
  outputAFrequency = 1800.0;
  channelDivider = 3;
  outputAInactive = 0.0;
  outputBInactive = 0.0;
}

void SynthModel::updatePhaseDetector() {
  // Products of in-range dividers are small; widening keeps a caller's
  // out-of-range values from overflowing.
  int64_t divider = static_cast<int64_t>(preDivider) * postDivider;
  if (divider < 1) {
    divider = 1;
  }
  pdFrequency = referenceMultiplier * refFrequency / static_cast<double>(divider) * detail::plusOne(referenceDoubler);
}

void SynthModel::updateVco() {
  double numerator = fractionNumerator;
  double denominator = fractionDenominator;
  // A fraction that did not fit the registers arrives as a negative or zero
  // term; it stands for fraction 0.
  if (denominator < 1.0) {
    denominator = 1.0;
  }
  if (numerator < 1.0) {
    numerator = 0.0;
  }
  const double prescaler = detail::prescalerRatio(prescalerSelect);
  vcoFrequency = (nInteger + numerator / denominator) * prescaler * pdFrequency / detail::plusOne(vcoDoubler);
  feedbackFrequency = vcoFrequency * detail::plusOne(vcoDoubler);
  updateVcoGain();
}

void SynthModel::updateVcoGain() {
  const double f = vcoFrequency;
  if (f < kVcoBands[0].lo) {
    vcoGain = kVcoGainBelowRange;
    return;
  }
  for (const VcoBand& band : kVcoBands) {
    if (f < band.hi) {
      vcoGain = band.g0 + (band.g1 - band.g0) * (f - band.lo) / (band.hi - band.lo);
      return;
    }
  }
  // 7100 MHz and above; NaN lands here too.
  vcoGain = kVcoGainAboveRange;
}

void SynthModel::updateOutputs() {
  const int32_t s1 = firstSegmentDivision(segment1Select);
  const int32_t s2 = laterSegmentDivision(segment2Select);
  const int32_t s3 = laterSegmentDivision(segment3Select);
  if (segmentsInUse == 4) {
    channelDivider = s1 * s2 * s3;
  } else if (segmentsInUse == 2) {
    channelDivider = s1 * s2;
  } else {
    channelDivider = s1;
  }

  const double f = vcoFrequency * detail::plusOne(vcoDoubler);
  outputAFrequency = (outputAMux == 0) ? f / channelDivider : f;
  outputBFrequency = (outputBMux == 0) ? f / channelDivider : f;

  updateInactiveFlags();
}

void SynthModel::updateInactiveFlags() {
  outputAInactive = 0.0;
  outputBInactive = 0.0;
  if (outputAPowerDown == 1 || (outputAMux == 0 && dividerToA == 0) || (outputAMux == 1 && vcoDirectOffA == 1)) {
    outputAInactive = 1.0;
  }
  if (outputBPowerDown == 1 || (outputBMux == 0 && dividerToB == 0) || (outputBMux == 1 && vcoDirectOffB == 1)) {
    outputBInactive = 1.0;
  }
}

void SynthModel::updateChargePumpCurrent() {
  // The current is not monotonic in the code: the codes run in four groups
  // of eight with different offsets.
  const double k = chargePumpCode;
  const double m = chargePumpGainFactor(chargePumpGain);
  if (chargePumpCode < 8) {
    chargePumpCurrent = k * m * 0.156;
  } else if (chargePumpCode < 16) {
    chargePumpCurrent = (k * 0.156 + 1.252) * m;
  } else if (chargePumpCode < 24) {
    chargePumpCurrent = (k * 0.156 - 1.246) * m;
  } else {
    chargePumpCurrent = (k * 0.156 - 0.0084) * m;
  }
}

// ---- Change handlers

void SynthModel::recalculate() {
  updatePhaseDetector();
  updateVco();
  updateOutputs();
  updateChargePumpCurrent();
  validatePlan();
}

void SynthModel::onOutputSettingChanged() {
  updateOutputs();
  validatePlan();
}

void SynthModel::onChargePumpSettingChanged() { updateChargePumpCurrent(); }

void SynthModel::onCheckSettingChanged() { validatePlan(); }

void SynthModel::onVcoSettingChanged() {
  updateVco();
  updateOutputs();
}

void SynthModel::onOutputAMuxChanged() {
  if (outputAMux != 0) {
    vcoDirectOffA = 0;
    dividerToA = 0;
  } else {
    vcoDirectOffA = 1;
    dividerToA = 1;
    reg31Bit7 = 0;
  }
  updateOutputs();
}

void SynthModel::onOutputAPowerDownChanged() {
  if (outputAPowerDown == 1) {
    vcoDirectOffA = 1;
    dividerToA = 0;
  } else {
    const int32_t fromDivider = (outputAMux == 0) ? 1 : 0;
    vcoDirectOffA = fromDivider;
    dividerToA = fromDivider;
  }
  updateOutputs();
  validatePlan();
}

void SynthModel::onOutputBMuxChanged() {
  if (outputBMux != 0) {
    vcoDirectOffB = 0;
    dividerToB = 0;
  } else {
    vcoDirectOffB = 1;
    dividerToB = 1;
    reg31Bit7 = 0;
  }
  updateOutputs();
}

void SynthModel::onOutputBPowerDownChanged() {
  if (outputBPowerDown == 1) {
    vcoDirectOffB = 1;
    dividerToB = 0;
  } else {
    const int32_t fromDivider = (outputBMux == 0) ? 1 : 0;
    vcoDirectOffB = fromDivider;
    dividerToB = fromDivider;
  }
  updateOutputs();
  validatePlan();
}

}  // namespace kestrel
