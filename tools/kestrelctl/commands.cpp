#include "commands.h"

#include <vector>

namespace kestrelctl {

void addCommands(CLI::App& app, Invocation& inv, bool script) {
  addBoardCommands(app, inv);
  addPlanCommand(app, inv);
  addModulationCommands(app, inv);
  addCalibrationCommands(app, inv);
  addRawCommands(app, inv);
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
  command->add_option(name, *value, help)->required();
  return value;
}

void leaf(Invocation& inv, CLI::App* command, bool needsBoard, std::function<ActionFn()> makeAction) {
  command->callback([&inv, command, needsBoard, makeAction = std::move(makeAction)] {
    const std::string path = commandPath(command);
    try {
      inv.action = Action{path, needsBoard, makeAction()};
    } catch (const UsageError& e) {
      throw UsageError(path + ": " + e.what());
    }
  });
}

CLI::App* group(CLI::App& parent, const std::string& name, const std::string& help) {
  CLI::App* g = parent.add_subcommand(name, help);
  g->require_subcommand(1);
  return g;
}

int execute(const Action& action, Context& ctx, int lineNumber) {
  Result result;
  try {
    action.run(ctx, result);
  } catch (const CallFailure& f) {
    Json details = {{"call", f.call}, {"meaning", statusMeaning(f.call, f.status)}};
    ctx.out.failure(action.command, f.status, f.what(), details, lineNumber);
    return f.status;
  } catch (const BoardUnavailable& e) {
    ctx.out.failure(action.command, kExitNoBoard, e.what(), Json::object(), lineNumber);
    return kExitNoBoard;
  } catch (const UsageError& e) {
    ctx.out.failure(action.command, kExitUsage, action.command + ": " + e.what(), Json::object(), lineNumber);
    return kExitUsage;
  }
  ctx.out.success(action.command, result, lineNumber);
  return 0;
}

std::pair<std::string, int> describeParseError(const CLI::App& app, const CLI::ParseError& error) {
  // Point at the help of the deepest command the line got to.
  const CLI::App* deepest = &app;
  for (;;) {
    const auto used = deepest->get_subcommands();
    if (used.empty()) break;
    deepest = used.front();
  }
  const std::string path = commandPath(deepest);
  std::string message = path.empty() ? error.what() : path + ": " + error.what();
  message += " (see 'kestrelctl " + (path.empty() ? std::string() : path + " ") + "--help')";
  return {message, kExitUsage};
}

}  // namespace kestrelctl
