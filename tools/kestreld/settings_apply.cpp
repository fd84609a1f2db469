// Applying a checked settings request on the board's worker, through the
// same command tree as SCPI, and the HTTP status of what the board said.
#include "board_worker.h"
#include "scpi_errors.h"
#include "scpi_session.h"
#include "settings_request.h"

namespace kestreld {

ApplyResult applySettings(BoardWorker& board, const std::vector<SettingChange>& changes) {
  ApplyResult result;
  ClientSession session(commandTree());
  for (const SettingChange& change : changes) {
    session.execute(change.message, board);
    const auto [code, detail] = session.takeError();
    if (code != scpi::kNoError) {
      result.scpiError = code;
      result.message = change.field + ": " + scpi::errorText(code) + (detail.empty() ? "" : " (" + detail + ")");
      break;
    }
    result.applied.push_back(change.field);
  }
  return result;
}

int httpStatusFor(int scpiError) {
  switch (scpiError) {
    case scpi::kNoError:
      return 200;
    case scpi::kSettingsConflict:
      return 409;
    case scpi::kHardwareError:
      return 502;
    case scpi::kHardwareMissing:
      return 503;
    case scpi::kExecutionError:
      return 422;
    default:
      return 400;
  }
}

}  // namespace kestreld
