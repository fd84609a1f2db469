// What the daemon's faces know of the board, all of it taken from the
// library's own facts (src/protocol) and its planner (src/synth): the range of
// every value a client may send, the settings a client may change, the FM
// rate table, the VCO's bands and the clock a request produces. Plain data,
// so the parsers, their tests and the fuzzers use it without a board.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "KestrelLib.h"
#include "protocol/board_protocol.h"
#include "synth/synth_model.h"

namespace kestreld {

// The limits of a value, in the unit the board service takes it (MHz for
// frequencies, as the C interface does).
struct Range {
  double min = 0;
  double max = 0;
  bool exclusive = false;  // min and max themselves are outside

  bool contains(double value) const;  // NaN lies in no range
  std::string text() const;           // "0..31", "above 20 and below 5500"
};

namespace facts {

namespace p = kestrel::protocol;

inline constexpr Range kClockMHz{p::kClockMinMHz, p::kClockMaxMHz, true};
inline constexpr Range kTx1Power{p::kTx1PowerMin, p::kTx1PowerMax};
inline constexpr Range kTx2Power{p::kTx2PowerMin, p::kTx2PowerMax};
inline constexpr Range kTx2Divider{p::kTx2DividerMin, p::kTx2DividerMax};
// What one register takes: every setting the library writes as one word.
inline constexpr Range kRegisterWord{0, p::kRegisterWordMax};
inline constexpr Range kFMRateMHz{p::kCustomFMMinMHz, p::kCustomFMMaxMHz};
inline constexpr Range kFMRateIndex{0, p::kFMRatesMHz.size() - 1};
inline constexpr Range kPMFrequencyMHz{0, p::kTx2PMFrequencyMaxMHz};
inline constexpr Range kRegisterPage{0, p::kRegisterPages - 1};
inline constexpr Range kRegisterNumber{0, p::kRegistersPerPage - 1};
inline constexpr Range kMemoryAddress{0, p::kLastDoubleAddress};
inline constexpr Range kCalibrationRow{0, p::kCalibrationRows - 1};
inline constexpr Range kTemperatureSensor{0, p::kTemperatureSensors - 1};
inline constexpr Range kPattern{0, UINT32_MAX};

inline constexpr auto& kFMRatesMHz = p::kFMRatesMHz;
inline constexpr int kCalibrationColumns = p::kCalibrationColumns;
inline constexpr int32_t kLoopProfile = p::kBoardLoopProfile;
inline constexpr double kReferenceMHz = p::kBoardReferenceMHz;

// The table entry of an FM rate, when it is one.
std::optional<int32_t> fmRateIndex(double mhz);

// The clock the board makes for a request of `mhz` (the planner's output A).
inline double producedMHz(double mhz) { return kestrel::producedFrequencyMHz(kReferenceMHz, mhz, kLoopProfile); }

// The VCO band (1-based) a frequency lies in, when it lies in one.
std::optional<int> vcoBand(double vcoMHz);

}  // namespace facts

// The whole-number settings a client may change, each written by one library
// call that takes an int32. Every one is a register value (or a field of one),
// so none may leave its register's range.
enum class Setting : uint8_t {
  ClockSource,
  Tx1Power,
  Tx2Power,
  Tx2Divider,
  FMDeviation,
  FMSkew,
  FMRJ,
  PMDeviation,
  PMPhaseShift,
  PMRJ,
  PMBUJ,
  PMBUJLineRate,
  BUJAmplitude,
  AMDepth,
  AMRJ,
};
inline constexpr size_t kSettingCount = 15;

// The modulation and jitter switches.
enum class Switch : uint8_t { FM, PM, PMRJ, PMBUJ, AM };
inline constexpr size_t kSwitchCount = 5;

struct SettingFacts {
  Setting id;
  const char* name;  // for messages: "Tx1 power"
  Range range;
  int32_t ActiveConfig::*field;  // where the board stores it
  std::optional<Switch> needs;   // the switch that must be on first
};

struct SwitchFacts {
  Switch id;
  const char* name;
  bool ActiveConfig::*field;
};

const SettingFacts& factsOf(Setting setting);
const SwitchFacts& factsOf(Switch which);

// Whether every entry of a table indexed by an enum sits at its id's index.
template <typename Table>
constexpr bool indexedById(const Table& table) {
  for (size_t i = 0; i < std::size(table); ++i) {
    if (static_cast<size_t>(table[i].id) != i) return false;
  }
  return true;
}

}  // namespace kestreld
