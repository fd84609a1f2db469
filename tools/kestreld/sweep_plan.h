// What a frequency sweep or list is made of, as plain data: the settings a
// client gives (FREQ:MODE, LIST:..., SWEep:..., the trigger), their limits,
// and the points they plan, each with its frequency and dwell. The clock's
// range is the board's own (board_facts.h); the rest bounds what one client
// may ask the board's thread to hold and run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board_facts.h"

namespace kestreld {

enum class FrequencyMode { Cw, List, Sweep };
enum class Spacing { Linear, Logarithmic };
enum class Direction { Up, Down };
enum class TriggerSource { Immediate, Bus };

namespace sweep {

// Points of a list or a sweep: a 64 KiB line holds about 5,000 list values,
// and a plan of this size is a few hundred KiB.
inline constexpr size_t kMaxPoints = 10000;
inline constexpr Range kPoints{2, kMaxPoints};
// A point's dwell, in seconds. A clock upload takes a few ms: a shorter
// dwell is allowed and each late point is reported.
inline constexpr Range kDwellSeconds{0.001, 3600};
// Runs of a list (LIST:COUNt); kInfinite runs until ABORt.
inline constexpr Range kCount{1, 1000000};
inline constexpr int64_t kInfinite = 0;

}  // namespace sweep

struct SweepSettings {
  FrequencyMode mode = FrequencyMode::Cw;
  std::vector<double> listMHz;
  std::vector<double> listDwellSeconds{0.01};  // one for every point, or one per point
  double startMHz = 500;
  double stopMHz = 1500;
  int64_t points = 11;
  double dwellSeconds = 0.01;
  Spacing spacing = Spacing::Linear;
  Direction direction = Direction::Up;
  int64_t count = 1;  // passes of the whole plan; sweep::kInfinite: until stopped
  TriggerSource trigger = TriggerSource::Immediate;
  bool continuous = false;

  bool finite() const { return count != sweep::kInfinite && !continuous; }
};

struct SweepPoint {
  double mhz;
  double dwellSeconds;
};

// The points of the mode in force, in the order they run. Throws
// BoardError{Conflict} when the settings plan nothing (CW, an empty list,
// dwells that match neither one nor every point).
std::vector<SweepPoint> planPoints(const SweepSettings& settings);

const char* nameOf(FrequencyMode mode);
const char* nameOf(Spacing spacing);
const char* nameOf(Direction direction);
const char* nameOf(TriggerSource source);

}  // namespace kestreld
