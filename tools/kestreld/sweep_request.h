// The sweep resource of the HTTP face: the board's list and sweep settings
// and its run as JSON, and a change of them (settings, then an action: start,
// trigger, abort) checked as a whole against the same limits as SCPI's
// (sweep_plan.h, the clock's range from board_facts.h) before the board's
// thread sees it.
#pragma once

#include <optional>
#include <string>

#include "board_json.h"
#include "sweep_plan.h"
#include "sweep_runner.h"

namespace kestreld {

enum class SweepAction { Start, Trigger, Abort };

struct SweepRequest {
  Json fields = Json::object();  // checked; the settings it leaves out keep their values
  std::optional<SweepAction> action;
};

// Checks every field (known name, type, range); throws BadRequest
// (settings_request.h) on the first problem.
SweepRequest parseSweepRequest(const Json& body);

// On the board's thread: the settings, then the action. Throws BoardError
// (a run going refuses new settings, Conflict).
void applySweepRequest(SweepRunner& runner, const SweepRequest& request);

// On the board's thread: the run's state and point, and the settings.
Json sweepJson(const SweepRunner& runner);

}  // namespace kestreld
