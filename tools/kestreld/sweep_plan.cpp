#include "sweep_plan.h"

#include <algorithm>
#include <cmath>

#include "board.h"

namespace kestreld {

namespace {

std::vector<SweepPoint> listPoints(const SweepSettings& s) {
  if (s.listMHz.empty()) throw BoardError(BoardFault::Conflict, "the list is empty: send LIST:FREQ first");
  const size_t dwells = s.listDwellSeconds.size();
  if (dwells != 1 && dwells != s.listMHz.size()) {
    throw BoardError(BoardFault::Conflict, "the list has " + std::to_string(s.listMHz.size()) + " frequencies and " +
                                               std::to_string(dwells) + " dwells: give one dwell or one per point");
  }
  std::vector<SweepPoint> points;
  points.reserve(s.listMHz.size());
  for (size_t i = 0; i < s.listMHz.size(); ++i) {
    points.push_back({s.listMHz[i], s.listDwellSeconds[dwells == 1 ? 0 : i]});
  }
  return points;
}

// Evenly spaced from start to stop, on a linear or a logarithmic scale; the
// ends are exactly start and stop.
std::vector<SweepPoint> sweepPoints(const SweepSettings& s) {
  const auto n = static_cast<size_t>(s.points);
  std::vector<SweepPoint> points;
  points.reserve(n);
  const bool logarithmic = s.spacing == Spacing::Logarithmic;
  const double from = logarithmic ? std::log(s.startMHz) : s.startMHz;
  const double to = logarithmic ? std::log(s.stopMHz) : s.stopMHz;
  for (size_t i = 0; i < n; ++i) {
    const double at = i + 1 == n ? to : from + (to - from) * static_cast<double>(i) / static_cast<double>(n - 1);
    const double mhz = i == 0 ? s.startMHz : i + 1 == n ? s.stopMHz : logarithmic ? std::exp(at) : at;
    points.push_back({mhz, s.dwellSeconds});
  }
  if (s.direction == Direction::Down) std::reverse(points.begin(), points.end());
  return points;
}

}  // namespace

std::vector<SweepPoint> planPoints(const SweepSettings& settings) {
  switch (settings.mode) {
    case FrequencyMode::List:
      return listPoints(settings);
    case FrequencyMode::Sweep:
      return sweepPoints(settings);
    case FrequencyMode::Cw:
      break;
  }
  throw BoardError(BoardFault::Conflict, "the frequency mode is CW: send FREQ:MODE LIST or SWE first");
}

const char* nameOf(FrequencyMode mode) {
  switch (mode) {
    case FrequencyMode::List:
      return "LIST";
    case FrequencyMode::Sweep:
      return "SWE";
    case FrequencyMode::Cw:
      break;
  }
  return "CW";
}

const char* nameOf(Spacing spacing) { return spacing == Spacing::Linear ? "LIN" : "LOG"; }
const char* nameOf(Direction direction) { return direction == Direction::Up ? "UP" : "DOWN"; }
const char* nameOf(TriggerSource source) { return source == TriggerSource::Immediate ? "IMM" : "BUS"; }

}  // namespace kestreld
