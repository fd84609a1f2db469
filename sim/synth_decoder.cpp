#include "synth_decoder.h"

#include <algorithm>
#include <cmath>

namespace kestrel::sim {
namespace {

// Where the chip keeps each field. Written down here from the chip's register
// layout rather than shared with the library's image builder: an independent
// reading is what lets the emulator catch a misplaced field in the library.
struct Field {
  int reg;
  int lowBit;
  int width;
};

constexpr Field kReferenceDoubler{9, 11, 1};
constexpr Field kReferenceMultiplier{10, 7, 5};
constexpr Field kPostDivider{11, 4, 8};
constexpr Field kPreDivider{12, 0, 12};
constexpr Field kSegment1Enable{35, 1, 1};
constexpr Field kSegment1Select{35, 2, 1};
constexpr Field kSegment2Enable{35, 7, 1};
constexpr Field kSegment3Enable{35, 8, 1};
constexpr Field kSegment2Select{35, 9, 4};
constexpr Field kSegment3Select{36, 0, 4};
constexpr Field kSegmentsInUse{36, 4, 3};
constexpr Field kPrescalerSelect{37, 12, 1};
constexpr Field kNInteger{38, 1, 12};
constexpr int kDenominatorHigh = 40;
constexpr int kDenominatorLow = 41;
constexpr int kNumeratorHigh = 44;
constexpr int kNumeratorLow = 45;
constexpr Field kOutputAMux{47, 11, 2};
constexpr Field kOutputBMux{48, 0, 2};

// Tuning voltage at the two ends of the VCO range.
constexpr double kTuningLowMillivolts = 500.0;
constexpr double kTuningHighMillivolts = 2500.0;

int field(const SynthRegisterFile& words, Field f) {
  return (words[static_cast<size_t>(f.reg)] >> f.lowBit) & ((1 << f.width) - 1);
}

int32_t word32(const SynthRegisterFile& words, int high, int low) {
  const uint32_t bits = (static_cast<uint32_t>(words[static_cast<size_t>(high)]) << 16) |
                        words[static_cast<size_t>(low)];
  return static_cast<int32_t>(bits);
}

// Segment 2 and 3 take a one-hot code.
int oneHotDivision(int code) {
  switch (code) {
    case 8: return 8;
    case 4: return 6;
    case 2: return 4;
    case 1: return 2;
    default: return 1;
  }
}

int segment1Division(int select) {
  if (select == 0) return 2;
  if (select == 1) return 3;
  return 1;
}

}  // namespace

SynthFields readSynthFields(const SynthRegisterFile& words) {
  SynthFields f;
  f.referenceDoubler = field(words, kReferenceDoubler);
  f.referenceMultiplier = field(words, kReferenceMultiplier);
  f.postDivider = field(words, kPostDivider);
  f.preDivider = field(words, kPreDivider);
  f.prescaler = field(words, kPrescalerSelect) != 0 ? 4 : 2;
  f.nInteger = field(words, kNInteger);
  f.fractionDenominator = word32(words, kDenominatorHigh, kDenominatorLow);
  f.fractionNumerator = word32(words, kNumeratorHigh, kNumeratorLow);
  f.segment1Select = field(words, kSegment1Select);
  f.segment1Enable = field(words, kSegment1Enable);
  f.segment2Select = field(words, kSegment2Select);
  f.segment2Enable = field(words, kSegment2Enable);
  f.segment3Select = field(words, kSegment3Select);
  f.segment3Enable = field(words, kSegment3Enable);
  f.segmentsInUse = field(words, kSegmentsInUse);
  f.outputAMux = field(words, kOutputAMux);
  f.outputBMux = field(words, kOutputBMux);
  return f;
}

SynthState decodeSynth(const SynthRegisterFile& words, double referenceMHz) {
  const SynthFields f = readSynthFields(words);
  SynthState s;
  s.programmed = true;

  // A divider of 0 passes the reference straight through.
  const double preDivider = f.preDivider < 1 ? 1.0 : f.preDivider;
  const double postDivider = f.postDivider < 1 ? 1.0 : f.postDivider;
  s.pdFrequency = referenceMHz * (f.referenceDoubler + 1) * f.referenceMultiplier / (preDivider * postDivider);

  const double denominator = f.fractionDenominator < 1 ? 1.0 : f.fractionDenominator;
  const double numerator = f.fractionNumerator < 1 ? 0.0 : f.fractionNumerator;
  s.vcoFrequency = (f.nInteger + numerator / denominator) * f.prescaler * s.pdFrequency;

  const int s1 = segment1Division(f.segment1Select);
  const int s2 = oneHotDivision(f.segment2Select);
  const int s3 = oneHotDivision(f.segment3Select);
  if (f.segmentsInUse == 4) {
    s.channelDivision = s1 * s2 * s3;
  } else if (f.segmentsInUse == 2) {
    s.channelDivision = s1 * s2;
  } else {
    s.channelDivision = s1;
  }

  s.outputAFromVco = f.outputAMux != 0;
  s.outputBFromVco = f.outputBMux != 0;
  s.outputA = s.outputAFromVco ? s.vcoFrequency : s.vcoFrequency / s.channelDivision;
  s.outputB = s.outputBFromVco ? s.vcoFrequency : s.vcoFrequency / s.channelDivision;
  return s;
}

bool vcoLocks(double vcoMHz) { return vcoMHz >= protocol::kVcoMinMHz && vcoMHz <= protocol::kVcoMaxMHz; }

uint16_t vcoTuningMillivolts(double vcoMHz) {
  const double span = protocol::kVcoMaxMHz - protocol::kVcoMinMHz;
  double position = (vcoMHz - protocol::kVcoMinMHz) / span;
  if (!(position >= 0.0)) position = 0.0;  // also catches NaN
  position = std::min(position, 1.0);
  const double millivolts = kTuningLowMillivolts + position * (kTuningHighMillivolts - kTuningLowMillivolts);
  return static_cast<uint16_t>(std::lround(millivolts));
}

}  // namespace kestrel::sim
