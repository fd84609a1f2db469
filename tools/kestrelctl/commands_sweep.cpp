// sweep: a frequency list or a linear sweep that kestreld runs on the board
// it owns. The daemon steps the clock on its own timer, so a run outlives
// this command; kestrelctl sends the daemon's SCPI lines (docs/scpi.md) over
// a plain connection, because no library call starts a run. With a board
// that is not kestreld's, there is nothing to run the sweep.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "commands.h"
#include "scpi_lines.h"

namespace kestrelctl {

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kAnswerTimeoutMs = 10000;
// A run's *OPC? may answer this much later than its planned length.
constexpr int kRunSlackMs = 30000;
// The daemon's -222 (Data out of range) is the library's status 3; any other refusal 1.
constexpr int kScpiDataOutOfRange = -222;
constexpr int kStatusOutOfRange = 3;
constexpr int kStatusFailed = 1;

const RealRange kSweepDwellRange{0, 1e9, true, false, "s"};  // positive; the daemon holds its own range

kestrel::RemoteAddress daemonOf(Context& ctx) {
  kestrel::RemoteAddress address;
  const std::string board = ctx.session.simulated() ? std::string() : ctx.session.address();
  if (!kestrel::parseRemoteAddress(board, &address)) {
    throw UsageError(
        "sweeps run in kestreld: give --board kestreld://HOST[:PORT] (or KESTREL_BOARD) for a board the "
        "daemon serves");
  }
  return address;
}

std::unique_ptr<kestrel::tools::ScpiLines> connectToDaemon(Context& ctx) {
  try {
    return std::make_unique<kestrel::tools::ScpiLines>(daemonOf(ctx), kConnectTimeoutMs);
  } catch (const kestrel::tools::DaemonUnreachable& e) {
    throw BoardUnavailable(e.what());
  }
}

// Empties this connection's error queue: the first refusal is thrown, the
// warnings of points later than their dwell are counted.
int daemonErrors(kestrel::tools::ScpiLines& daemon) {
  int late = 0;
  for (;;) {
    const std::string error = daemon.query("SYST:ERR?", kAnswerTimeoutMs);
    const int code = std::atoi(error.c_str());
    if (code == 0) return late;
    if (error.find("longer than its dwell") != std::string::npos) {
      ++late;
      continue;
    }
    throw CallFailure("kestreld", code == kScpiDataOutOfRange ? kStatusOutOfRange : kStatusFailed, error);
  }
}

// Any failure of the connection on the way is the board's absence (exit 2).
template <typename Talk>
void withDaemon(Context& ctx, Talk&& talk) {
  auto daemon = connectToDaemon(ctx);
  try {
    talk(*daemon);
  } catch (const kestrel::tools::DaemonUnreachable& e) {
    throw BoardUnavailable(e.what());
  }
}

std::string mhzList(const std::vector<double>& mhz) {
  std::string out;
  char value[48];
  for (double f : mhz) {
    std::snprintf(value, sizeof value, "%.6fMHZ", f);
    out += (out.empty() ? "" : ",") + std::string(value);
  }
  return out;
}

std::vector<double> parseFrequencies(const std::string& text) {
  std::vector<double> mhz;
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    mhz.push_back(parseReal(text.substr(from, comma - from), "FREQUENCIES", kClockRange));
    if (comma == std::string::npos) return mhz;
    from = comma + 1;
  }
}

struct SweepRun {
  std::string settings;  // the SCPI line that sets the run up
  size_t points;
  double dwellSeconds;
};

// Sets the run up, starts it and, with `wait`, waits for its end.
void startRun(Context& ctx, Result& r, const SweepRun& run, bool wait) {
  withDaemon(ctx, [&](kestrel::tools::ScpiLines& daemon) {
    daemon.send(run.settings + ";:LIST:COUN 1;:TRIG:SOUR IMM", kAnswerTimeoutMs);
    daemonErrors(daemon);
    daemon.send("INIT", kAnswerTimeoutMs);
    daemonErrors(daemon);
    const double seconds = static_cast<double>(run.points) * run.dwellSeconds;
    r.line("sweep of " + std::to_string(run.points) + " points started, " + formatNumber(run.dwellSeconds) +
           " s each (" + formatNumber(seconds) + " s in all)");
    r.data["points"] = run.points;
    r.data["dwellSeconds"] = run.dwellSeconds;
    if (!wait) return;
    daemon.query("*OPC?", static_cast<int>(std::ceil(seconds * 1000)) + kRunSlackMs);
    const int late = daemonErrors(daemon);
    r.line("sweep ended; " + std::to_string(late) + " points later than their dwell");
    r.data["latePoints"] = late;
  });
}

void addListCommand(Invocation& inv, CLI::App* sweep) {
  CLI::App* command = sweep->add_subcommand("list", "Run a list of frequencies, each for the dwell, in order");
  auto frequencies = positional(command, "FREQUENCIES", "MHz, comma-separated: " + clockHelp());
  auto dwell = std::make_shared<std::string>();
  command->add_option("--dwell", *dwell, "seconds at each frequency")->required()->type_name("S");
  auto wait = std::make_shared<bool>(false);
  command->add_flag("--wait", *wait, "return once the run has ended");
  leaf(inv, command, true, [=] {
    const std::vector<double> mhz = parseFrequencies(*frequencies);
    const double seconds = parseReal(*dwell, "--dwell", kSweepDwellRange);
    SweepRun run{"FREQ:MODE LIST;:LIST:FREQ " + mhzList(mhz) + ";DWEL " + formatNumber(seconds), mhz.size(), seconds};
    return [=](Context& ctx, Result& r) { startRun(ctx, r, run, *wait); };
  });
}

void addLinearCommand(Invocation& inv, CLI::App* sweep) {
  CLI::App* command = sweep->add_subcommand("linear", "Sweep from START to STOP in POINTS even steps");
  auto start = positional(command, "START", "first frequency, MHz");
  auto stop = positional(command, "STOP", "last frequency, MHz");
  auto points = positional(command, "POINTS", "points, ends included");
  auto dwell = std::make_shared<std::string>();
  command->add_option("--dwell", *dwell, "seconds at each point")->required()->type_name("S");
  auto wait = std::make_shared<bool>(false);
  command->add_flag("--wait", *wait, "return once the run has ended");
  leaf(inv, command, true, [=] {
    const double from = parseReal(*start, "START", kClockRange), to = parseReal(*stop, "STOP", kClockRange);
    const int64_t n = parseInteger(*points, "POINTS", 2, INT32_MAX);  // the daemon holds its own maximum
    const double seconds = parseReal(*dwell, "--dwell", kSweepDwellRange);
    SweepRun run{"FREQ:MODE SWE;:FREQ:STAR " + mhzList({from}) + ";STOP " + mhzList({to}) + ";:SWE:POIN " +
                     std::to_string(n) + ";DWEL " + formatNumber(seconds) + ";SPAC LIN;DIR UP",
                 static_cast<size_t>(n), seconds};
    return [=](Context& ctx, Result& r) { startRun(ctx, r, run, *wait); };
  });
}

// STATus:OPERation:CONDition? bits, by SCPI instruments' convention.
constexpr int kSweepingBit = 1 << 3;
constexpr int kWaitingForTriggerBit = 1 << 5;

const char* runStateOf(int condition) {
  if (condition & kSweepingBit) return "running";
  if (condition & kWaitingForTriggerBit) return "armed";
  return "idle";
}

void sweepStatus(Context& ctx, Result& r) {
  withDaemon(ctx, [&](kestrel::tools::ScpiLines& daemon) {
    const std::string mode = daemon.query("FREQ:MODE?", kAnswerTimeoutMs);
    const int condition = std::atoi(daemon.query("STAT:OPER:COND?", kAnswerTimeoutMs).c_str());
    const int index = std::atoi(daemon.query("LIST:IND?", kAnswerTimeoutMs).c_str());
    daemonErrors(daemon);
    r.table({{"state", runStateOf(condition)}, {"mode", mode}, {"point", std::to_string(index)}});
    r.data["state"] = runStateOf(condition);
    r.data["mode"] = mode;
    r.data["index"] = index;
  });
}

void abortSweep(Context& ctx, Result& r) {
  withDaemon(ctx, [&](kestrel::tools::ScpiLines& daemon) {
    daemon.send("ABOR", kAnswerTimeoutMs);
    daemonErrors(daemon);
    r.line("sweep stopped");
  });
}

}  // namespace

void addSweepCommands(CLI::App& app, Invocation& inv) {
  CLI::App* sweep = group(app, "sweep", "Frequency lists and sweeps that kestreld runs (--board kestreld://...)");
  addListCommand(inv, sweep);
  addLinearCommand(inv, sweep);
  leaf(inv, sweep->add_subcommand("abort", "Stop the run going, whoever started it"), true,
       [] { return ActionFn(abortSweep); });
  leaf(inv, sweep->add_subcommand("status", "Whether a run goes on, its mode and the point the board is at"), true,
       [] { return ActionFn(sweepStatus); });
}

}  // namespace kestrelctl
