// Applying a checked settings request on the board's thread, through the
// board service's typed operations, and the HTTP status of what it said.
#include "settings_request.h"

namespace kestreld {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

void apply(Board& board, const SettingChange& change) {
  std::visit(Overloaded{
                 [&](const SetInteger& c) { board.set(c.setting, c.value); },
                 [&](const SetSwitch& c) { board.set(c.which, c.on); },
                 [&](const SetFrequency& c) {
                   if (c.which == Frequency::Clock) board.setClock(c.mhz);
                   if (c.which == Frequency::FMRate) board.setFMRate(c.mhz);
                   if (c.which == Frequency::PM) board.setPMFrequency(c.mhz);
                 },
                 [&](const SetPattern& c) { board.setPattern(c.pattern); },
                 [&](const SetPRBS& c) { board.setPRBS(c.code, c.flag); },
                 [&](const SetCalibration& c) { board.setCalibrationSource(c.source, c.file); },
             },
             change.what);
}

std::string describe(const BoardError& e) {
  if (e.fault == BoardFault::Conflict && e.needs) return std::string(e.what()) + ": set " + switchField(*e.needs) + " first";
  return e.what();
}

}  // namespace

ApplyResult applySettings(Board& board, const std::vector<SettingChange>& changes) {
  ApplyResult result;
  for (const SettingChange& change : changes) {
    try {
      apply(board, change);
    } catch (const BoardError& e) {
      result.fault = e.fault;
      result.message = change.field + ": " + describe(e);
      break;
    }
    result.applied.push_back(change.field);
  }
  return result;
}

int httpStatusFor(BoardFault fault) {
  switch (fault) {
    case BoardFault::OutOfRange:
      return 400;
    case BoardFault::Conflict:
      return 409;
    case BoardFault::Unusable:
      return 422;
    case BoardFault::Failed:
      return 502;
    case BoardFault::Missing:
      break;
  }
  return 503;
}

}  // namespace kestreld
