// The settings resource: a JSON object of the settings to change, checked as a
// whole against the board's ranges before anything reaches the board, then
// applied through the board service's typed operations, in a fixed order.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "board.h"
#include "board_json.h"

namespace kestreld {

// A request that is refused before the board is touched (HTTP 400).
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The frequencies the resource sets; the service takes them in MHz.
enum class Frequency { Clock, FMRate, PM };

struct SetInteger {
  Setting setting;
  int64_t value;
  bool operator==(const SetInteger&) const = default;
};
struct SetSwitch {
  Switch which;
  bool on;
  bool operator==(const SetSwitch&) const = default;
};
struct SetFrequency {
  Frequency which;
  double mhz;
  bool operator==(const SetFrequency&) const = default;
};
struct SetPattern {
  int64_t pattern;
  bool operator==(const SetPattern&) const = default;
};
struct SetPRBS {
  int64_t code;
  bool flag;
  bool operator==(const SetPRBS&) const = default;
};
struct SetCalibration {
  CalibrationSource source;
  std::string file;
  bool operator==(const SetCalibration&) const = default;
};

// One field's change, typed for the board service.
struct SettingChange {
  std::string field;  // its path in the resource: "fm.deviation"
  std::variant<SetInteger, SetSwitch, SetFrequency, SetPattern, SetPRBS, SetCalibration> what;
  bool operator==(const SettingChange&) const = default;
};

// Checks every field (known name, type, range) and returns the changes in
// the order they are applied; throws BadRequest on the first problem.
std::vector<SettingChange> parseSettings(const Json& body);

// What applying gave: the fields that took effect, and the first failure.
struct ApplyResult {
  std::vector<std::string> applied;
  std::optional<BoardFault> fault;  // none when everything was applied
  std::string message;
};

// On the board's thread: applies the changes in order, stopping at the
// first one the board refuses.
ApplyResult applySettings(Board& board, const std::vector<SettingChange>& changes);

// The field that turns a switch on ("am.enabled"), for conflict messages.
std::string switchField(Switch which);

// The HTTP status of a fault of the board service: 400 for a bad value, 409
// for a conflict with the board's state, 422 for a file that cannot be had,
// 502/503 for a board that failed or is gone.
int httpStatusFor(BoardFault fault);

// Every field of the resource with its kind and range, in its own unit (for
// GET /api/limits, from which the front panel takes its limits).
Json settingsLimits();

}  // namespace kestreld
