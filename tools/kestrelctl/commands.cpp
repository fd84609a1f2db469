#include "commands.h"

#include <cmath>
#include <vector>

namespace kestrelctl {

void addCommands(CLI::App& app, Invocation& inv, bool script) {
  addBoardCommands(app, inv);
  addPlanCommand(app, inv);
  addModulationCommands(app, inv);
  addCalibrationCommands(app, inv);
  addRawCommands(app, inv);
  addSweepCommands(app, inv);
  if (!script) {
    addRunCommand(app, inv);
    addDemoCommand(app, inv);
  }
}

std::string commandPath(const CLI::App* command) {
  std::vector<std::string> names;
  for (const CLI::App* c = command; c != nullptr && c->get_parent() != nullptr; c = c->get_parent()) {
    names.push_back(c->get_name());
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += (path.empty() ? "" : " ") + *it;
  return path;
}

std::shared_ptr<std::string> positional(CLI::App* command, const std::string& name, const std::string& help) {
  auto value = std::make_shared<std::string>();
  command->add_option(name, *value, help)->required()->type_name("");
  return value;
}

void leaf(Invocation& inv, CLI::App* command, bool needsBoard, std::function<ActionFn()> makeAction) {
  command->callback([&inv, command, needsBoard, makeAction = std::move(makeAction)] {
    const std::string path = commandPath(command);
    try {
      inv.action = Action{path, needsBoard, makeAction()};
    } catch (const ScriptUsageError&) {
      throw;
    } catch (const UsageError& e) {
      throw CommandUsageError(path, path + ": " + e.what() + "; see 'kestrelctl " + path + " --help'");
    }
  });
}

CLI::App* group(CLI::App& parent, const std::string& name, const std::string& help) {
  CLI::App* g = parent.add_subcommand(name, help);
  g->require_subcommand(1);
  return g;
}

void intSetter(Invocation& inv, CLI::App* parent, const std::string& name, const std::string& help,
               const std::string& argName, const char* call, IntCall fn, const std::string& what, int32_t min,
               int32_t max) {
  CLI::App* command = parent->add_subcommand(name, help);
  std::string argHelp = "integer (decimal, or hexadecimal with 0x)";
  argHelp += ", " + std::to_string(min) + " to " + std::to_string(max);
  auto text = positional(command, argName, argHelp);
  leaf(inv, command, true, [=] {
    const int32_t value = parseInt32(*text, argName, min, max);
    return [=](Context& ctx, Result& r) {
      void* board = ctx.board();
      check(call, fn(board, value));
      r.line(what + " set to " + std::to_string(value));
      r.data["value"] = value;
    };
  });
}

void switchPair(Invocation& inv, CLI::App* parent, const std::string& what, const char* call, IntCall fn) {
  for (const bool on : {true, false}) {
    CLI::App* command = parent->add_subcommand(on ? "enable" : "disable", (on ? "Turn on " : "Turn off ") + what);
    leaf(inv, command, true, [=] {
      return [=](Context& ctx, Result& r) {
        check(call, fn(ctx.board(), on ? 1 : 0));
        r.line(what + (on ? " enabled" : " disabled"));
        r.data["enabled"] = on;
      };
    });
  }
}

int execute(const Action& action, Context& ctx, int lineNumber) {
  Result result;
  try {
    action.run(ctx, result);
  } catch (const CallFailure& f) {
    Json details = {{"call", f.call}, {"meaning", statusMeaning(f.call, f.status)}};
    if (!f.detail.empty()) details["detail"] = f.detail;
    ctx.out.failure(action.command, f.status, f.what(), details, lineNumber);
    return f.status;
  } catch (const BoardUnavailable& e) {
    ctx.out.failure(action.command, kExitNoBoard, e.what(), Json::object(), lineNumber);
    return kExitNoBoard;
  } catch (const UsageError& e) {
    ctx.out.failure(action.command, kExitUsage, action.command + ": " + e.what(), Json::object(), lineNumber);
    return kExitUsage;
  }
  ctx.out.success(action.command, result, lineNumber, result.exitStatus == 0);
  return result.exitStatus;
}

std::string mhz(double value) { return formatFixed(value, 6) + " MHz"; }

void reportProducedClock(double requestedMHz, double producedMHz, Result& r) {
  const double errorHz = (producedMHz - requestedMHz) * 1e6;
  // The plan is exact to a few µHz, or in whole MHz from the VCO's range on.
  const bool exact = std::fabs(errorHz) < 0.001;
  r.line("produced: " + mhz(producedMHz) +
         (exact ? " (as requested)" : ", " + formatFixed(errorHz, 0) + " Hz from the request: the plan makes whole MHz here"));
  r.data["producedMHz"] = producedMHz;
  r.data["errorHz"] = exact ? 0.0 : std::round(errorHz * 1000) / 1000;
}

bool isCommand(const CLI::App& app, const std::string& word) {
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (command->check_name(word)) return true;
  }
  return false;
}

std::pair<std::string, std::string> describeParseError(const CLI::App& app, const CLI::ParseError& error) {
  // Point at the help of the deepest command the line got to.
  const CLI::App* deepest = &app;
  for (;;) {
    const auto used = deepest->get_subcommands();
    if (used.empty()) break;
    deepest = used.front();
  }
  const std::string path = commandPath(deepest);
  std::string what = error.what();
  // A misspelt subcommand shows up as a missing one with a word left over.
  const std::vector<std::string> leftover = app.remaining(true);
  if (error.get_name() == "RequiredError" && what.find("subcommand") != std::string::npos && !leftover.empty()) {
    what = "'" + leftover.front() + "' is not a command here";
  }
  std::string message = path.empty() ? what : path + ": " + what;
  message += "; see 'kestrelctl " + (path.empty() ? std::string() : path + " ") + "--help'";
  return {message, path};
}

}  // namespace kestrelctl
