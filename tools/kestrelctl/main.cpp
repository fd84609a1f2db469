// kestrelctl: drives a Kestrel clock-source board from the shell and from lab
// scripts through KestrelLib's public C interface. This file wires the command
// line; the commands live in commands_*.cpp.
#include <cstdlib>
#include <exception>

#include "commands.h"

#ifndef KESTRELCTL_VERSION
#define KESTRELCTL_VERSION "unknown"
#endif

namespace {

using namespace kestrelctl;

// Exit status when kestrelctl itself went wrong (BSD EX_SOFTWARE).
constexpr int kExitInternal = 70;

constexpr const char* kFooter = R"(The board:
  --board ADDRESS, else the KESTREL_BOARD environment variable, else --sim.
  The library always dials TCP port 6653 on that address.

Exit status:
  0   success
  1-5 the status code of the library call that failed (1 failed, 2 not
      connected, 3 out of range, 4 invalid instance, 5 refused: a calibration
      source is selected); 2 also when no board is given or none answers
  64  a malformed command line or argument (nothing was sent to the board)

Numbers: integers in decimal or hexadecimal with 0x; reals in decimal
(1800, 0.04, 1.5e3). Each command has its own --help.)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kestrelctl: drive a Kestrel clock-source board from the shell and from lab scripts", "kestrelctl"};
  // Global options may also follow the command ("kestrelctl info --json").
  app.fallthrough();
  app.set_version_flag("--version", "kestrelctl " KESTRELCTL_VERSION);
  app.require_subcommand(1);

  std::string board;
  bool simulate = false;
  bool json = false;
  CLI::Option* boardOption =
      app.add_option("--board", board, "IPv4 address of the board (default: $KESTREL_BOARD)")
          ->type_name("ADDRESS");
  app.add_flag("--sim", simulate, "use a board emulator started inside kestrelctl instead of a board")
      ->excludes(boardOption);
  app.add_flag("--json", json, "print each result as one JSON document per line");

  Invocation inv;
  addCommands(app, inv, false);
  // Set after the commands are added, so that only the top-level help shows it.
  app.footer(kFooter);

  Output out(false);
  // With --sim (or the tour) even a usage error says the board is simulated.
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--sim" || std::string(argv[i]) == "demo") out.setSimulated(true);
  }
  // Name an unknown command plainly, rather than as a missing one.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--board") {
      ++i;
    } else if (!word.empty() && word[0] != '-') {
      if (!isCommand(app, word)) {
        out.error("'" + word + "' is not a command; see 'kestrelctl --help'");
        return kExitUsage;
      }
      break;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    out.error(describeParseError(app, e).first);
    return kExitUsage;
  } catch (const UsageError& e) {
    out.error(e.what());
    return kExitUsage;
  }
  if (!inv.action) {
    out.error("no command given; see 'kestrelctl --help'");
    return kExitUsage;
  }
  const Action& action = *inv.action;

  BoardChoice choice;
  // The tour always runs against its own emulator, whatever the flags say.
  if (action.command == "demo") {
    choice.simulated = true;
  } else if (simulate) {
    choice.simulated = true;
  } else if (!board.empty()) {
    if (!isDottedIPv4(board)) {
      out.error("--board: '" + board + "' is not a dotted IPv4 address; see 'kestrelctl --help'");
      return kExitUsage;
    }
    choice.address = board;
  } else if (const char* fromEnvironment = std::getenv("KESTREL_BOARD");
             fromEnvironment != nullptr && *fromEnvironment != '\0' && (action.needsBoard || action.command == "run")) {
    if (!isDottedIPv4(fromEnvironment)) {
      out.error(std::string("KESTREL_BOARD: '") + fromEnvironment + "' is not a dotted IPv4 address");
      return kExitUsage;
    }
    choice.address = fromEnvironment;
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
