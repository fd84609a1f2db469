// One SCPI client of one board: its error queue, its IEEE 488.2 status
// registers and its header path, and the execution of its program messages
// against the command tree, which holds every command, the common (*)
// commands included. Runs on the board's own thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/board_protocol.h"
#include "scpi_parser.h"

namespace kestreld {

class Board;
class BoardWorker;
class ClientSession;
struct BoardError;
struct BoardIdentity;

// What a command's handler gets.
struct Call {
  Board& board;
  BoardWorker& worker;
  ClientSession& client;
  const std::vector<scpi::Param>& params;
};

using SetHandler = std::function<void(Call&)>;
using QueryHandler = std::function<std::string(Call&)>;

// One command of the tree: its header pattern ("[SOURce]:FREQuency[:CW]", or
// "*IDN" for a common command), the parameters it takes, and what it does as
// a command and as a query (either may be empty).
struct CommandEntry {
  std::string pattern;
  int setParams = 1;  // exact count
  SetHandler set;
  int queryParams = 0;  // at most
  QueryHandler query;
  int setMin = -1;                       // at least this many when not -1 (then setParams is the most)
  std::vector<scpi::PatternNode> nodes;  // compiled from the pattern
};

class CommandTree {
 public:
  explicit CommandTree(std::vector<CommandEntry> entries);
  // The entry the typed header spells; throws -113 or -114 when none does.
  const CommandEntry& find(const std::vector<scpi::Mnemonic>& typed) const;
  // The common command of that name ("*IDN"); throws -113 when there is none.
  const CommandEntry& findCommon(const std::string& name) const;
  const std::vector<CommandEntry>& entries() const { return entries_; }

 private:
  const CommandEntry& search(const std::vector<scpi::Mnemonic>& typed, const std::string& spelled) const;

  std::vector<CommandEntry> entries_;
  // Headers found before, by their spelling ("DIAG:REG"): a line need not
  // match its header against the whole table again. Any board's thread.
  mutable std::mutex foundMutex_;
  mutable std::unordered_map<std::string, const CommandEntry*> found_;
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr size_t kErrorQueueDepth = 16;
  static constexpr size_t kNoAnswerLimit = SIZE_MAX;
  // The board time one line may take before the rest of it is dropped (-223):
  // a line runs as a whole while the other clients wait.
  // A remote instance waits for its line as long (and an exchange's limit more).
  static constexpr std::chrono::milliseconds kLineBoardTime{kestrel::protocol::kDaemonLineBudgetMs};

  explicit ClientSession(const CommandTree& tree, size_t maxAnswer = kNoAnswerLimit)
      : tree_(tree), maxAnswer_(maxAnswer) {}

  // Runs one program message (one line) and returns the response line without
  // its newline, or "" when the message held no query. `askedAt`: when the
  // line arrived, so that a query may share a board read that ran since.
  std::string execute(std::string_view message, BoardWorker& board, Clock::time_point askedAt = Clock::now());
  // A session whose face can wait (SCPI over TCP) lets *OPC? and *WAI wait
  // for a sweep this client started: execute() then stops before that
  // command, paused() turns true, and resume() runs the rest of the line
  // once the sweep has ended. Other faces get the answer at once.
  void mayWaitForOperations(bool may) { mayWait_ = may; }
  bool paused() const { return !pausedRest_.empty(); }
  std::string resume(BoardWorker& board);
  // The last line's answer outgrew its limit and was dropped: the client
  // should be disconnected.
  bool answerOverflowed() const { return overflowed_; }
  // Any thread: the client is gone; its line in progress stops before its next command.
  void abandon() { abandoned_ = true; }
  Clock::time_point askedAt() const { return askedAt_; }

  void pushError(int code, const std::string& detail = {});
  void pushError(const BoardError& error);
  // The oldest error as `<number>,"<text>"`, removed; 0,"No error" when none.
  std::string popError();
  size_t errorCount() const { return errors_.size(); }
  // The oldest error as its number and detail, removed; kNoError when none.
  std::pair<int, std::string> takeError();
  // Errors ever pushed, for the request counters.
  uint64_t errorsPushed() const { return pushed_; }
  void clearStatus();

  // The IEEE 488.2 registers, for the common commands.
  uint8_t eventEnable = 0;
  uint8_t serviceEnable = 0;
  uint8_t takeEventStatus();  // *ESR?: read and cleared
  void operationComplete();   // *OPC
  uint8_t statusByte() const;

 private:
  std::string runUnits(std::string_view message, BoardWorker& board);
  bool waitsForSweep(const scpi::ProgramUnit& unit, BoardWorker& board) const;
  std::string runUnit(const scpi::ProgramUnit& unit, BoardWorker& board);
  static std::string call(const CommandEntry& entry, const scpi::ProgramUnit& unit, Call& call);
  bool mayContinue(BoardWorker& board, Clock::time_point lineStart);

  const CommandTree& tree_;
  size_t maxAnswer_;
  std::atomic<bool> abandoned_{false};
  bool overflowed_ = false;
  Clock::time_point askedAt_{};
  std::deque<std::pair<int, std::string>> errors_;
  uint64_t pushed_ = 0;
  uint8_t eventStatus_ = 0;
  std::vector<scpi::Mnemonic> path_;  // the header path a following command starts from
  bool mayWait_ = false;
  std::string pausedRest_;  // the rest of a line waiting for a sweep, from its *OPC? or *WAI
  std::string response_;    // the answers of the line so far
  bool answered_ = false;
};

// Every command of a board, as one table.
const CommandTree& commandTree();
// The IEEE 488.2 common commands (*IDN?, *RST, *CLS, ...) among them.
std::vector<CommandEntry> commonCommands();

// The *IDN? answer: Kestrel,Clock source board <ID in hex>,<serial>,KestrelLib <version>.
std::string idnResponse(const BoardIdentity& id);

// The SCPI error number of a fault of the board service, and its detail
// (with the command that resolves a conflict).
std::pair<int, std::string> scpiErrorFor(const BoardError& error);

}  // namespace kestreld
