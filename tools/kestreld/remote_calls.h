// DIAGnostic:CALL? <export>,<arguments>: one export of the library, run on
// this board's own instance for a remote instance (vxclk_connect with
// "kestreld://HOST:PORT"), so that its caller gets the status and outputs a
// direct instance would, while the daemon stays the board's one owner and
// its view follows every change.
#pragma once

#include <string>
#include <vector>

#include "scpi_parser.h"

namespace kestreld {

class Board;

// The answer "<status>[,<output>...]": the outputs only when the status is
// 0, integers in decimal and doubles as protocol/remote_call.h writes them.
// Throws ScpiError for an export it does not know (-200) or arguments that
// are not what the export takes (-104, -108, -109).
std::string runRemoteCall(Board& board, const std::vector<scpi::Param>& params);

// The exports a remote instance may call (all but those of the instance itself).
std::vector<std::string> remoteCallNames();

}  // namespace kestreld
