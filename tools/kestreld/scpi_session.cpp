#include "scpi_session.h"

#include <algorithm>

#include "board_worker.h"

namespace kestreld {

using namespace scpi;

namespace {

// Standard event register bits (IEEE 488.2).
constexpr uint8_t kOperationComplete = 0x01;
constexpr uint8_t kQueryErrorBit = 0x04;
constexpr uint8_t kDeviceErrorBit = 0x08;
constexpr uint8_t kExecutionErrorBit = 0x10;
constexpr uint8_t kCommandErrorBit = 0x20;
// Status byte bits.
constexpr uint8_t kErrorQueueBit = 0x04;
constexpr uint8_t kEventSummaryBit = 0x20;
constexpr uint8_t kServiceRequestBit = 0x40;

uint8_t eventBitFor(int code) {
  if (code <= -100 && code > -200) return kCommandErrorBit;
  if (code <= -200 && code > -300) return kExecutionErrorBit;
  if (code <= -300 && code > -400) return kDeviceErrorBit;
  if (code <= -400 && code > -500) return kQueryErrorBit;
  return 0;
}

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

bool isCommon(const CommandEntry& entry) { return !entry.pattern.empty() && entry.pattern.front() == '*'; }

}  // namespace

CommandTree::CommandTree(std::vector<CommandEntry> entries) : entries_(std::move(entries)) {
  for (CommandEntry& entry : entries_) {
    if (!isCommon(entry)) entry.nodes = compilePattern(entry.pattern);
  }
}

const CommandEntry& CommandTree::find(const std::vector<Mnemonic>& typed) const {
  std::string spelled;
  for (const Mnemonic& m : typed) {
    spelled += (spelled.empty() ? "" : ":") + m.name + (m.suffix ? std::to_string(*m.suffix) : "");
  }
  {
    std::lock_guard lock(foundMutex_);
    if (const auto it = found_.find(spelled); it != found_.end()) return *it->second;
  }
  const CommandEntry& entry = search(typed, spelled);
  std::lock_guard lock(foundMutex_);
  found_.emplace(spelled, &entry);  // only headers that exist: as many as their spellings
  return entry;
}

const CommandEntry& CommandTree::search(const std::vector<Mnemonic>& typed, const std::string& spelled) const {
  bool badSuffix = false;
  for (const CommandEntry& entry : entries_) {
    if (isCommon(entry)) continue;
    const MatchResult result = matchPattern(entry.nodes, typed);
    if (result == MatchResult::Match) return entry;
    badSuffix = badSuffix || result == MatchResult::BadSuffix;
  }
  throw ScpiError(badSuffix ? kHeaderSuffixOutOfRange : kUndefinedHeader, spelled);
}

const CommandEntry& CommandTree::findCommon(const std::string& name) const {
  const auto it =
      std::find_if(entries_.begin(), entries_.end(), [&](const CommandEntry& e) { return e.pattern == name; });
  if (it == entries_.end()) throw ScpiError(kUndefinedHeader, name);
  return *it;
}

std::string ClientSession::execute(std::string_view message, BoardWorker& board, Clock::time_point askedAt) {
  askedAt_ = askedAt;
  path_.clear();  // every program message starts at the root
  response_.clear();
  answered_ = false;
  pausedRest_.clear();
  return runUnits(message, board);
}

// The rest of a paused line, on the path it had reached.
std::string ClientSession::resume(BoardWorker& board) {
  const std::string rest = std::move(pausedRest_);
  pausedRest_.clear();
  return runUnits(rest, board);
}

// The line's units in turn; "" while paused (the answers wait for the rest).
std::string ClientSession::runUnits(std::string_view message, BoardWorker& board) {
  const Clock::time_point lineStart = Clock::now();
  overflowed_ = false;
  try {
    bool first = true;
    for (std::string_view text : splitUnits(message)) {
      if (isBlank(text)) continue;
      // Between commands, the board's other clients come in, queue their
      // lines and take their answers; this one may turn out to be gone.
      if (!first) board.serveWaitingIO();
      first = false;
      if (!mayContinue(board, lineStart)) break;
      try {
        const ProgramUnit unit = parseUnit(text);
        if (waitsForSweep(unit, board)) {
          pausedRest_.assign(text.data(), message.data() + message.size());
          return {};
        }
        std::string answer = runUnit(unit, board);
        if (unit.header.query) {
          response_ += (answered_ ? ";" : "") + answer;
          answered_ = true;
        }
      } catch (const ScpiError& e) {
        pushError(e.code, e.what());
        // After a command error the rest of the message cannot be trusted.
        if (eventBitFor(e.code) == kCommandErrorBit) break;
      } catch (const BoardError& e) {
        pushError(e);
      }
      if (response_.size() > maxAnswer_) {
        overflowed_ = true;
        return {};
      }
    }
  } catch (const ScpiError& e) {
    pushError(e.code, e.what());
  }
  return std::move(response_);
}

// *OPC? and *WAI wait for a sweep this client started and that ends by
// itself; *OPC instead sets its bit when the sweep ends, and the line goes on.
bool ClientSession::waitsForSweep(const ProgramUnit& unit, BoardWorker& board) const {
  if (!unit.header.common || !board.sweep().pendingFor(this)) return false;
  const std::string& name = unit.header.commonName;
  if (name == "*WAI" || (name == "*OPC" && unit.header.query)) return mayWait_;
  return false;
}

// Between the commands of a line: not for a client that is gone or a daemon
// that stops, nor past the line's share of the board.
bool ClientSession::mayContinue(BoardWorker& board, Clock::time_point lineStart) {
  if (abandoned_ || board.stopping()) return false;
  if (Clock::now() - lineStart <= kLineBoardTime) return true;
  pushError(kTooMuchData,
            "the line held the board for " + std::to_string(kLineBoardTime.count() / 1000) + " s: the rest of it was not run");
  return false;
}

std::string ClientSession::runUnit(const ProgramUnit& unit, BoardWorker& board) {
  Call context{board.board(), board, *this, unit.params};
  // Common commands neither use nor change the header path.
  if (unit.header.common) return call(tree_.findCommon(unit.header.commonName), unit, context);
  std::vector<Mnemonic> nodes = unit.header.nodes;
  if (!unit.header.absolute) nodes.insert(nodes.begin(), path_.begin(), path_.end());
  const CommandEntry* entry = nullptr;
  try {
    entry = &tree_.find(nodes);
  } catch (const ScpiError&) {
    // Lenient like most instruments: a header that means nothing below the
    // current path is tried from the root.
    if (unit.header.absolute || path_.empty()) throw;
    nodes = unit.header.nodes;
    entry = &tree_.find(nodes);
  }
  path_.assign(nodes.begin(), nodes.end() - 1);
  return call(*entry, unit, context);
}

// The entry's query or command, once the parameters are counted.
std::string ClientSession::call(const CommandEntry& entry, const ProgramUnit& unit, Call& context) {
  if (unit.header.query) {
    if (!entry.query) throw ScpiError(kUndefinedHeader, "no query form");
    if (unit.params.size() > static_cast<size_t>(entry.queryParams)) throw ScpiError(kParameterNotAllowed);
    return entry.query(context);
  }
  if (!entry.set) throw ScpiError(kUndefinedHeader, "query only");
  if (unit.params.size() > static_cast<size_t>(entry.setParams)) throw ScpiError(kParameterNotAllowed);
  if (unit.params.size() < static_cast<size_t>(entry.setMin < 0 ? entry.setParams : entry.setMin)) {
    throw ScpiError(kMissingParameter);
  }
  entry.set(context);
  return {};
}

uint8_t ClientSession::takeEventStatus() {
  const uint8_t value = eventStatus_;
  eventStatus_ = 0;
  return value;
}

void ClientSession::operationComplete() { eventStatus_ |= kOperationComplete; }

uint8_t ClientSession::statusByte() const {
  uint8_t status = errors_.empty() ? 0 : kErrorQueueBit;
  if ((eventStatus_ & eventEnable) != 0) status |= kEventSummaryBit;
  if ((status & serviceEnable & ~kServiceRequestBit) != 0) status |= kServiceRequestBit;
  return status;
}

void ClientSession::pushError(int code, const std::string& detail) {
  ++pushed_;
  eventStatus_ |= eventBitFor(code);
  if (errors_.size() >= kErrorQueueDepth) {
    errors_.back() = {kQueueOverflow, ""};
    return;
  }
  errors_.emplace_back(code, detail);
}

void ClientSession::pushError(const BoardError& error) {
  const auto [code, detail] = scpiErrorFor(error);
  pushError(code, detail);
}

std::pair<int, std::string> ClientSession::takeError() {
  if (errors_.empty()) return {kNoError, ""};
  auto error = std::move(errors_.front());
  errors_.pop_front();
  return error;
}

std::string ClientSession::popError() {
  if (errors_.empty()) return "0,\"No error\"";
  const auto [code, detail] = takeError();
  std::string text = errorText(code);
  if (!detail.empty()) text += ";" + detail;
  return std::to_string(code) + "," + quoted(text);
}

void ClientSession::clearStatus() {
  errors_.clear();
  eventStatus_ = 0;
}

}  // namespace kestreld
