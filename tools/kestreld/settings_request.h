// The settings resource: a JSON object of the settings to change, checked as a
// whole before anything reaches the board, then applied through the same
// command tree as SCPI, so both faces apply a setting the same way.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "board_json.h"

namespace kestreld {

// A request that is refused before the board is touched (HTTP 400).
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One setting, ready for the board: its JSON path and the SCPI program
// message that applies it ("tx1Power", "OUTP1:POW 10").
struct SettingChange {
  std::string field;
  std::string message;
};

// Checks every field (known name, type, range) and returns the changes in
// the order they are applied; throws BadRequest on the first problem.
std::vector<SettingChange> parseSettings(const Json& body);

// What applying gave: the fields that took effect, and the first failure.
struct ApplyResult {
  std::vector<std::string> applied;
  int scpiError = 0;  // 0 when everything was applied
  std::string message;
};

// On the worker thread: applies the changes in order, stopping at the first
// one the board refuses.
ApplyResult applySettings(BoardWorker& board, const std::vector<SettingChange>& changes);

// The HTTP status for an SCPI error number: 400 for a bad request, 409 for a
// conflict with the board's state, 502/503 for a board that failed or is gone.
int httpStatusFor(int scpiError);

}  // namespace kestreld
