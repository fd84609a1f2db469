// The command tree of kestrelctl. Parsing a command line (or a line of a run
// file) checks every argument and yields an Action; running the Action makes
// the library calls. Keeping the two apart lets a run file be checked in full
// before the first line touches the board.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "KestrelLib.h"
#include "board_session.h"
#include "numbers.h"
#include "output.h"
#include "protocol/board_protocol.h"

namespace kestrelctl {

struct Context {
  Session& session;
  const Output& out;
  bool script = false;  // running a line of a run file

  void* board() { return session.instance(); }
};

using ActionFn = std::function<void(Context&, Result&)>;

struct Action {
  std::string command;      // e.g. "tx2 pm rj amplitude"
  bool needsBoard = true;
  ActionFn run;
};

// A usage error in the arguments of one command, which it names.
struct CommandUsageError : UsageError {
  CommandUsageError(std::string commandPath, const std::string& message)
      : UsageError(message), command(std::move(commandPath)) {}
  std::string command;
};

// What parsing chose. Set by the callback of the leaf command that was used.
struct Invocation {
  std::optional<Action> action;
  // How the user can run kestrelctl again, for the hints printed at the end.
  std::string program = "kestrelctl";
};

// How to run the program started as `argv0` from the same shell: the bare
// name when PATH finds this very program, else the path it was started by.
std::string commandForHints(const char* argv0);

// Adds all commands to `app`. In a run file (`script`), run and demo are left out.
void addCommands(CLI::App& app, Invocation& inv, bool script);

// The groups, one file each.
void addBoardCommands(CLI::App& app, Invocation& inv);        // info, clock, power, divider, source
void addRawCommands(CLI::App& app, Invocation& inv);          // reg, memory
void addModulationCommands(CLI::App& app, Invocation& inv);   // fm, tx2
void addCalibrationCommands(CLI::App& app, Invocation& inv);  // calibration, config
void addPlanCommand(CLI::App& app, Invocation& inv);          // plan
void addRunCommand(CLI::App& app, Invocation& inv);           // run
void addDemoCommand(CLI::App& app, Invocation& inv);          // demo
void addSweepCommands(CLI::App& app, Invocation& inv);        // sweep (through kestreld)

// The configuration readback with its progress indicator (config and demo);
// `command` names the command in the report of an interruption.
void readActiveConfig(Context& ctx, const std::string& command, ActiveConfig& config);

// ---- helpers for the command files ------------------------------------------

// "tx2 pm rj amplitude" for that subcommand.
std::string commandPath(const CLI::App* command);

// A required positional argument kept as text; the callback parses it strictly.
std::shared_ptr<std::string> positional(CLI::App* command, const std::string& name, const std::string& help);

// Makes `command` a leaf: when it is used, `makeAction` is called after the
// whole line has been parsed (it parses the numbers and may throw UsageError)
// and the ActionFn it returns becomes the invocation's action.
void leaf(Invocation& inv, CLI::App* command, bool needsBoard, std::function<ActionFn()> makeAction);

// A group of subcommands, one of which is required.
CLI::App* group(CLI::App& parent, const std::string& name, const std::string& help);

// A leaf `name ARG` that sends one integer to one library call and reports
// "<what> set to N" ({"value": N} in JSON). By default the range of the
// register the value goes into.
using IntCall = int32_t (*)(void*, int32_t);
void intSetter(Invocation& inv, CLI::App* parent, const std::string& name, const std::string& help,
               const std::string& argName, const char* call, IntCall fn, const std::string& what, int32_t min = 0,
               int32_t max = kestrel::protocol::kRegisterWordMax);

// Leaves `enable` and `disable` that send 1 or 0 to one library call.
void switchPair(Invocation& inv, CLI::App* parent, const std::string& what, const char* call, IntCall fn);

// Runs one action and reports it. Returns 0 or the exit status of its failure.
int execute(const Action& action, Context& ctx, int lineNumber = 0);

// vxclk_generateClock ignores its option and always applies the board's loop
// profile; the tool passes that number so that logs agree.
inline constexpr int32_t kBoardLoopProfile = kestrel::protocol::kBoardLoopProfile;
// vxclk_generateClock takes frequencies strictly between these (MHz).
inline const RealRange kClockRange{kestrel::protocol::kClockMinMHz, kestrel::protocol::kClockMaxMHz, true, true, "MHz"};
inline std::string clockHelp() {
  return "output frequency in MHz, above " + formatNumber(kClockRange.min) + " and below " + formatNumber(kClockRange.max);
}
// A frequency to 1 Hz: "1800.000000 MHz".
std::string mhz(double value);

// The clock the board makes for a request, as the planner plans it, and how
// far it is from the request: lines and JSON fields (producedMHz, errorHz).
void reportProducedClock(double requestedMHz, double producedMHz, Result& r);

// Whether `word` names a command of `app`.
bool isCommand(const CLI::App& app, const std::string& word);

// The message for a CLI11 parse error of `app`, and the command it concerns.
std::pair<std::string, std::string> describeParseError(const CLI::App& app, const CLI::ParseError& error);

}  // namespace kestrelctl
