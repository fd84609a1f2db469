// Host-side model of the board's fractional-N synthesizer and its frequency
// planner. Plain record plus operations; no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "synth/phase_detector_search.h"
#include "synth/register_image.h"

namespace kestrel {

// Division of channel-divider segment 1 by its select code (0: 2, 1: 3, else 1),
// and of segments 2 and 3 by their one-hot code (1: 2, 2: 4, 4: 6, 8: 8, else 1).
int32_t firstSegmentDivision(int32_t select);
int32_t laterSegmentDivision(int32_t oneHotSelect);

// The charge-pump current multiplier of a gain code (0: x1, 1: x2, 2: x1.5, 3: x2.5).
double chargePumpGainFactor(int32_t gainCode);

// One band of the VCO (MHz), each with its own tuning curve: the gain figure
// runs from g0 at lo to g1 at hi.
struct VcoBand {
  double lo;
  double hi;
  double g0;
  double g1;
};

// The VCO's bands, lowest first.
inline constexpr std::array<VcoBand, 7> kVcoBands = {{
    {3550.0, 4068.0, 24.25, 37.2},
    {4068.0, 4530.0, 26.44, 38.9},
    {4530.0, 5008.0, 28.27, 41.57},
    {5008.0, 5566.0, 32.29, 43.08},
    {5566.0, 6062.0, 38.37, 48.1},
    {6062.0, 6594.0, 44.03, 55.47},
    {6594.0, 7100.0, 46.84, 57.06},
}};

// The clock output A makes for a request of `frequency` MHz: what configure()
// plans. Below the VCO's range it is the request (to a few µHz); from there
// on output A takes the VCO directly, in whole MHz.
double producedFrequencyMHz(double reference, double frequency, int32_t option);

class SynthModel {
 public:
  SynthModel();

  // ---- Settings (int32) and derived values (double). Fields named regNN...
  //      are constants that only carry fixed bits into the register image.
  std::map<int32_t, double> loopTargets;  // option number -> target loop figure
  int32_t reg0Bit13;
  int32_t phaseDetectorHighRange;
  int32_t phaseDetectorLowRange;
  int32_t reg0Bit4;
  int32_t reg0Bit3;
  int32_t reg0Bit2;
  int32_t reg0Bit1;
  int32_t reg0Bit0;
  int32_t referenceRange;
  int32_t reg4Byte;
  int32_t reg8Bit13;
  int32_t reg8Bit10;
  int32_t referenceDoubler;
  int32_t reg9Bit9;
  int32_t referenceMultiplier;
  int32_t postDivider;
  int32_t preDivider;
  int32_t reg13Bit14;
  int32_t reg13Bits9to8;
  int32_t chargePumpCode;
  int32_t chargePumpGain;  // 0: x1, 1: x2, 2: x1.5, 3: x2.5
  int32_t reg19Field;
  int32_t reg20Field;
  int32_t reg22Byte;
  int32_t reg23Bit14;
  int32_t reg23Bits13to11;
  int32_t reg23Bit10;
  int32_t reg30Bit10;
  int32_t vcoDirectOffB;
  int32_t vcoDirectOffA;
  int32_t reg31Bit7;
  int32_t reg34Bit5;
  int32_t segment2Select;  // one-hot: 1 -> /2, 2 -> /4, 4 -> /6, 8 -> /8, else /1
  int32_t segment3Enable;
  int32_t segment2Enable;
  int32_t segment1Select;  // 0 -> /2, 1 -> /3, else /1
  int32_t segment1Enable;
  int32_t dividerToB;
  int32_t dividerToA;
  int32_t segmentsInUse;    // 1, 2 or 4
  int32_t segment3Select;   // same code as segment2Select
  int32_t prescalerSelect;  // 0: /2, 1: /4
  int32_t nInteger;
  int32_t nBandCode;
  int32_t fractionDenominator;
  int32_t fractionAuxWord;
  int32_t fractionNumerator;
  int32_t outputAPower;
  int32_t outputBPowerDown;
  int32_t outputAPowerDown;
  int32_t modulatorOrder;  // 0: integer mode
  int32_t outputAMux;      // 0: channel divider, 1: VCO
  int32_t outputBPower;
  int32_t outputBMux;
  int32_t reg59Bit5;
  int32_t reg61Bit0;
  int32_t reg64Bit9;
  int32_t reg64Bit8;
  int32_t reg64Bits7to5;
  int32_t reg64Bits3to0;
  double chargePumpCurrent;
  double refFrequency;  // MHz, as are all frequencies below
  double pdFrequency;
  int32_t vcoDoubler;
  double vcoFrequency;
  double feedbackFrequency;
  double vcoGain;
  double outputAFrequency;
  int32_t channelDivider;
  double outputBFrequency;
  double outputAInactive;
  double outputBInactive;
  std::array<uint32_t, kSynthImageWords> registerImage;

  // ---- Derived-value updates
  void updatePhaseDetector();
  void updateVco();
  void updateVcoGain();
  void updateOutputs();
  void updateChargePumpCurrent();

  // ---- Planner. configure() always returns 1: out-of-range requests are
  //      clamped or replaced, never refused.
  int configure(double reference, double frequency, int32_t option);
  void validatePlan();
  void updateFraction();
  void applyReference();
  void applyReferenceDoubler();
  void applyReferenceMultiplier();
  void applyPreDivider();
  void applyPostDivider();
  void applyNInteger();
  void replanFromVco();
  void adjustPreDivider();
  void tunePhaseDetector(double target);
  void tunePhaseDetectorWithMultiplier(double target);
  void roundPostDivider();
  void planOutputA();
  void planOutputB();
  void chooseChannelDivider(double lo, double hi);
  void applyDividerSegments();
  void applyLoopProfile(int32_t option);
  void applyChargePumpCode();
  void buildRegisterImage();

  // Reference forms of configure() and tunePhaseDetector() that run the
  // plain candidate-by-candidate phase-detector search. They produce the
  // same results as the fast forms and exist to verify them.
  int configureExhaustive(double reference, double frequency, int32_t option);
  void tunePhaseDetectorExhaustive(double target);

  // ---- Change handlers: re-run the dependent updates after a caller has
  //      written fields directly.
  void recalculate();
  void onOutputSettingChanged();      // any output / divider setting
  void onChargePumpSettingChanged();  // chargePumpCode or chargePumpGain
  void onCheckSettingChanged();       // a setting that only needs the plan check
  void onVcoSettingChanged();         // N, fraction, prescaler or VCO doubler
  void onOutputAMuxChanged();
  void onOutputAPowerDownChanged();
  void onOutputBMuxChanged();
  void onOutputBPowerDownChanged();

 private:
  struct OutputRoute;
  void planOutput(const OutputRoute& route);
  void routeOutput(const OutputRoute& route, bool fromVco);
  void assignDefaults();
  int configureUsing(double reference, double frequency, int32_t option, PhaseDetectorSearch search);
  void tunePhaseDetectorUsing(double target, PhaseDetectorSearch search);
  void applyLoopProfileUsing(int32_t option, PhaseDetectorSearch search);
  void updateInactiveFlags();
};

}  // namespace kestrel
