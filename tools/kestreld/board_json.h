// A board as JSON for the HTTP face: its status, the daemon's view of its
// settings, its stored configuration and the planner's choice for a clock.
#pragma once

#include <nlohmann/json.hpp>

#include "KestrelLib.h"

namespace kestreld {

class Board;
struct BoardSettings;

using Json = nlohmann::ordered_json;

// On the board's thread: availability, identity, temperatures, VCO lock and
// voltage, the clock asked for and the clock produced, and the settings
// view. A board that does not answer gives "available": false and nulls
// for what only the board knows.
Json boardStatus(Board& board);

// The view of the settings, keyed as the settings resource takes them.
Json settingsJson(const BoardSettings& settings);

// Every stored field by its name, as SYSTem:CONFiguration:CATalog? names them.
Json configJson(const ActiveConfig& config);

// The planner's choice for a clock of `mhz` from the board's reference,
// worked out offline, as the library would before uploading it.
Json planJson(double mhz);

}  // namespace kestreld
