// Reads the synthesizer's register words the way the chip would: which field
// sits in which bits, and what frequencies those fields produce from the
// board's reference. Kept apart from the server so it can be tested alone.
#pragma once

#include <array>
#include <cstdint>

#include "board_emulator.h"
#include "protocol/board_protocol.h"

namespace kestrel::sim {

using SynthRegisterFile = std::array<uint16_t, protocol::kSynthRegisterSlots>;

// The raw fields, as the chip sees them.
struct SynthFields {
  int referenceDoubler = 0;
  int referenceMultiplier = 0;
  int postDivider = 0;
  int preDivider = 0;
  int prescaler = 2;  // 2 or 4
  int nInteger = 0;
  int32_t fractionNumerator = 0;
  int32_t fractionDenominator = 0;
  int segment1Select = 0;
  int segment1Enable = 0;
  int segment2Select = 0;
  int segment2Enable = 0;
  int segment3Select = 0;
  int segment3Enable = 0;
  int segmentsInUse = 0;
  int outputAMux = 0;
  int outputBMux = 0;
};

SynthFields readSynthFields(const SynthRegisterFile& words);

// Frequencies for the given reference (MHz). Leaves `uploads` at 0 and sets
// `programmed`; the caller keeps the upload count.
SynthState decodeSynth(const SynthRegisterFile& words,
                       double referenceMHz = protocol::kBoardReferenceMHz);

// The VCO locks only inside its tuning range.
bool vcoLocks(double vcoMHz);
// Tuning voltage the loop settles at (mV): rises with the VCO frequency across
// its range, pinned at the rails outside it.
uint16_t vcoTuningMillivolts(double vcoMHz);

}  // namespace kestrel::sim
