// Everything kestrelctl prints goes through here: a command's result as
// human-readable lines or as one JSON document, failures as one line on
// stderr. When the board is the built-in emulator every human line says so,
// and every JSON document carries "simulated": true instead, so that no one
// mistakes emulator output for a measurement.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrelctl {

using Json = nlohmann::ordered_json;

// Exit status of a malformed command line or argument (BSD EX_USAGE).
inline constexpr int kExitUsage = 64;

// What one command produced: lines for people, fields for the JSON document.
struct Result {
  std::vector<std::string> lines;
  Json data = Json::object();
  // Commands that report their own failures (run) set the exit status here.
  int exitStatus = 0;

  void line(std::string text) { lines.push_back(std::move(text)); }
  // "label   value" rows, the labels padded to a common width.
  void table(const std::vector<std::pair<std::string, std::string>>& rows);
};

class Output {
 public:
  explicit Output(bool json) : json_(json) {}

  bool json() const { return json_; }
  bool simulated() const { return simulated_; }
  void setSimulated(bool on) { simulated_ = on; }

  // A finished command: its lines on stdout, or one JSON document (one line).
  // lineNumber > 0 tells which line of a run file it came from. `ok` is false
  // only for commands that reported their own failures already.
  void success(const std::string& command, const Result& result, int lineNumber = 0, bool ok = true) const;

  // A failed command: one line on stderr ("kestrelctl: [line N: ]message") and,
  // in JSON mode, one document with "ok": false on stdout.
  void failure(const std::string& command, int status, const std::string& message, const Json& details,
               int lineNumber = 0) const;

  // A line on stderr that belongs to no command (usage errors and the like).
  void error(const std::string& message) const;

  // A malformed command line: the line on stderr and, in JSON mode, a
  // document with "ok": false and "status": 64 on stdout, so that a script
  // reading stdout learns of it too. `command` may be empty when the line
  // named none.
  void usageError(const std::string& command, const std::string& message) const;

  // A line of progress or commentary on stdout (human mode only).
  void note(const std::string& text) const;

  // The text with the simulated-board marker appended when it applies.
  std::string marked(const std::string& text) const;

 private:
  bool json_;
  bool simulated_ = false;
};

// Upper-case hexadecimal with a 0x prefix, zero-padded to `digits`.
std::string hex(uint64_t value, int digits);

}  // namespace kestrelctl
