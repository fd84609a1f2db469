// kestrelctl: drives a Kestrel clock-source board from the shell and from lab
// scripts through KestrelLib's public C interface. This file wires the command
// line; the commands live in commands_*.cpp.
#include <cstdlib>
#include <exception>
#include <string_view>

#include "board_address.h"
#include "commands.h"

#ifndef KESTRELCTL_VERSION
#define KESTRELCTL_VERSION "unknown"
#endif

namespace {

using namespace kestrelctl;

// Exit status when kestrelctl itself went wrong (BSD EX_SOFTWARE).
constexpr int kExitInternal = 70;

constexpr const char* kFooter = R"(The board:
  --board ADDRESS, else the KESTREL_BOARD environment variable. With neither,
  a command that needs a board stops with exit status 2; nothing falls back
  to the emulator. --sim uses the built-in emulator instead, and demo always
  does. ADDRESS is a host name or a dotted IPv4 address; the library dials
  TCP port 6653 at its IPv4 address (KESTREL_PORT changes the port).

Exit status:
  0   success
  1-5 the status code of the library call that failed (1 failed, 2 not
      connected, 3 out of range, 4 invalid instance, 5 refused: a calibration
      source is selected); 2 also when no board is given or none answers
  64  a malformed command line or argument (nothing was sent to the board)
  130 interrupted (Ctrl-C)

Numbers: integers in decimal or hexadecimal with 0x; reals in decimal
(1800, 0.04, 1.5e3). Each command has its own --help.)";

// Subcommand help shows only the subcommand's own options; these are the
// global ones, which may come before or after any command.
constexpr const char* kGlobalOptionsFooter = R"(Global options (before or after the command):
  --board ADDRESS  the board's host name or IPv4 address (else $KESTREL_BOARD)
  --sim            the built-in board emulator instead of a board
  --json           print each result as one JSON document per line
  --trace[=FILE]   the library's exchange trace on stderr, or into FILE)";

void addGlobalOptionsFooter(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    command->footer(kGlobalOptionsFooter);
    addGlobalOptionsFooter(*command);
  }
}

// Hides the value CLI11 gives a bare flag ("--trace{1}") from the help.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, positional);
    const size_t open = name.find('{');
    if (open != std::string::npos) name.erase(open, name.find('}', open) + 1 - open);
    return name;
  }
};

bool hasWord(int argc, char** argv, std::string_view word) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == word) return true;
  }
  return false;
}

// The library reads KESTREL_TRACE when an instance is created, so it must be
// set before the session makes one.
void setTraceVariable(const std::string& value) {
#if defined(_WIN32)
  _putenv_s("KESTREL_TRACE", value.c_str());
#else
  setenv("KESTREL_TRACE", value.c_str(), 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kestrelctl: drive a Kestrel clock-source board from the shell and from lab scripts", "kestrelctl"};
  // Global options may also follow the command ("kestrelctl info --json").
  app.fallthrough();
  app.set_version_flag("--version", "kestrelctl " KESTRELCTL_VERSION);
  app.require_subcommand(1);
  app.formatter(std::make_shared<HelpFormatter>());

  std::string board;
  bool simulate = false;
  bool json = false;
  std::string trace;
  CLI::Option* boardOption =
      app.add_option("--board", board,
                     "host name or IPv4 address of the board (default: $KESTREL_BOARD; with neither, commands that need a "
                     "board stop with exit status 2)")
          ->type_name("ADDRESS");
  app.add_flag("--sim", simulate, "use a board emulator started inside kestrelctl instead of a board")
      ->excludes(boardOption);
  app.add_flag("--json", json, "print each result as one JSON document per line");
  CLI::Option* traceOption = app.add_flag(
      "--trace{1}", trace,
      "the library logs every exchange with the board on stderr, or into FILE with --trace=FILE (sets KESTREL_TRACE)");
  traceOption->type_name("[=FILE]");

  Invocation inv;
  inv.program = commandForHints(argc > 0 ? argv[0] : nullptr);
  addCommands(app, inv, false);
  addGlobalOptionsFooter(app);
  // Set after the commands are added, so that only the top-level help shows it.
  app.footer(kFooter);

  // Before parsing, so that a usage error already speaks JSON and says the
  // board is simulated when it is.
  Output out(hasWord(argc, argv, "--json"));
  out.setSimulated(hasWord(argc, argv, "--sim") || hasWord(argc, argv, "demo"));
  // Name an unknown command plainly, rather than as a missing one.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--board=") {
      // CLI11 would take the next word as the address.
      out.usageError("", "--board: the address is empty; see 'kestrelctl --help'");
      return kExitUsage;
    }
    if (word == "--board") {
      ++i;
    } else if (!word.empty() && word[0] != '-') {
      if (!isCommand(app, word)) {
        out.usageError("", "'" + word + "' is not a command; see 'kestrelctl --help'");
        return kExitUsage;
      }
      break;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    const auto [message, command] = describeParseError(app, e);
    out.usageError(command, message);
    return kExitUsage;
  } catch (const CommandUsageError& e) {
    out.usageError(e.command, e.what());
    return kExitUsage;
  } catch (const UsageError& e) {
    out.usageError(inv.action ? inv.action->command : "", e.what());
    return kExitUsage;
  }
  if (!inv.action) {
    out.usageError("", "no command given; see 'kestrelctl --help'");
    return kExitUsage;
  }
  const Action& action = *inv.action;
  // An empty address is a mistake (an unset shell variable), not a request
  // for KESTREL_BOARD.
  if (boardOption->count() > 0 && board.empty()) {
    out.usageError(action.command, "--board: the address is empty; see 'kestrelctl --help'");
    return kExitUsage;
  }
  if (traceOption->count() > 0) setTraceVariable(trace);

  BoardChoice choice;
  // The tour always runs against its own emulator, whatever the flags say.
  if (action.command == "demo") {
    choice.simulated = true;
  } else if (simulate) {
    choice.simulated = true;
  } else if (!board.empty()) {
    const auto address = kestrel::tools::boardIPv4(board);
    if (!address) {
      out.usageError(action.command, "--board: '" + board + "' has no IPv4 address (a host name or a dotted IPv4 "
                                     "address); see 'kestrelctl --help'");
      return kExitUsage;
    }
    choice.address = *address;
    choice.given = board;
  } else if (const char* fromEnvironment = std::getenv("KESTREL_BOARD");
             fromEnvironment != nullptr && *fromEnvironment != '\0' && (action.needsBoard || action.command == "run")) {
    const auto address = kestrel::tools::boardIPv4(fromEnvironment);
    if (!address) {
      out.usageError(action.command, std::string("KESTREL_BOARD: '") + fromEnvironment + "' has no IPv4 address");
      return kExitUsage;
    }
    choice.address = *address;
    choice.given = fromEnvironment;
  }

  Output result(json);
  result.setSimulated(choice.simulated);
  try {
    Session session(choice);
    Context ctx{session, result};
    return execute(action, ctx);
  } catch (const std::exception& e) {
    result.error(std::string("internal error: ") + e.what());
    return kExitInternal;
  }
}
