// info, clock, power, divider, source: identity, health and the clock outputs.
#include <cstdlib>

#include "KestrelLib.h"
#include "commands.h"
#include "synth/synth_model.h"

namespace kestrelctl {

namespace {

// Where the library's exchange trace goes, as this process set it up
// (--trace or KESTREL_TRACE): shown so that a log can be found again.
std::string traceDestination(const char* variable) {
  if (variable == nullptr || *variable == '\0') return "off";
  if (std::string(variable) == "1") return "stderr";
  return variable;
}

void addInfo(CLI::App& app, Invocation& inv) {
  CLI::App* command = app.add_subcommand(
      "info", "Identity and health: API version, board ID, serial number, temperatures, VCO lock and voltage");
  leaf(inv, command, true, [] {
    return [](Context& ctx, Result& r) {
      int32_t version[3] = {0, 0, 0};
      vxclk_APIVersion(version);
      const std::string versionText =
          std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
      void* board = ctx.board();
      int32_t boardId = 0;
      check("vxclk_getBoardID", vxclk_getBoardID(board, &boardId));
      uint64_t serial = 0;
      check("vxclk_getSerialNumber", vxclk_getSerialNumber(board, &serial));
      int32_t temperature[2] = {0, 0};
      check("vxclk_getTemperature", vxclk_getTemperature(board, 0, &temperature[0]));
      check("vxclk_getTemperature", vxclk_getTemperature(board, 1, &temperature[1]));
      int32_t lock = 0;
      check("vxclk_checkVCOLock", vxclk_checkVCOLock(board, &lock));
      double volts = 0;
      check("vxclk_checkVCOVoltage", vxclk_checkVCOVoltage(board, &volts));

      const std::string where = ctx.session.where() + (ctx.session.simulated() ? " (built-in emulator)" : "");
      r.table({
          {"API version", versionText},
          {"board", where},
          {"board ID", std::to_string(boardId) + " (" + hex(static_cast<uint32_t>(boardId), 4) + ")"},
          {"serial number", std::to_string(serial) + " (" + hex(serial, 16) + ")"},
          {"temperature", "sensor 0: " + std::to_string(temperature[0]) + ", sensor 1: " +
                              std::to_string(temperature[1]) + " (raw readings)"},
          {"VCO lock", std::to_string(lock)},
          {"VCO voltage", formatFixed(volts, 3) + " V"},
          {"host trace", traceDestination(std::getenv("KESTREL_TRACE"))},
      });
      r.data["apiVersion"] = versionText;
      r.data["address"] = ctx.session.address();
      r.data["boardId"] = boardId;
      r.data["serialNumber"] = serial;
      r.data["temperatures"] = {temperature[0], temperature[1]};
      r.data["vcoLock"] = lock;
      r.data["vcoVoltage"] = volts;
      const char* trace = std::getenv("KESTREL_TRACE");
      r.data["trace"] = trace != nullptr ? Json(trace) : Json(nullptr);
    };
  });
}

void addClock(CLI::App& app, Invocation& inv) {
  CLI::App* command = app.add_subcommand(
      "clock", "Generate a clock on both outputs (the library plans it and uploads the synthesizer words)");
  auto text = positional(command, "MHZ", clockHelp());
  leaf(inv, command, true, [=] {
    const double frequency = parseReal(*text, "MHZ", kClockRange);
    return [=](Context& ctx, Result& r) {
      check("vxclk_generateClock", vxclk_generateClock(ctx.board(), frequency, kBoardLoopProfile));
      r.line("clock: " + mhz(frequency) + " requested on both outputs");
      r.data["requestedMHz"] = frequency;
      reportProducedClock(frequency,
                          kestrel::producedFrequencyMHz(kestrel::protocol::kBoardReferenceMHz, frequency,
                                                        kBoardLoopProfile),
                          r);
      // Only the in-process emulator can say what the board made of the words.
      if (const SimulatedBoard* sim = ctx.session.simulator()) {
        const kestrel::sim::SynthState s = sim->synthState();
        auto output = [](double f, bool fromVco) { return mhz(f) + (fromVco ? " (VCO direct)" : ""); };
        r.line("board decoded: VCO " + mhz(s.vcoFrequency) + ", phase detector " + mhz(s.pdFrequency) +
               ", channel division " + std::to_string(s.channelDivision) + ", output A " +
               output(s.outputA, s.outputAFromVco) + ", output B " + output(s.outputB, s.outputBFromVco));
        r.data["decoded"] = {
            {"programmed", s.programmed},      {"vcoMHz", s.vcoFrequency},
            {"pdMHz", s.pdFrequency},          {"channelDivision", s.channelDivision},
            {"outputAMHz", s.outputA},         {"outputBMHz", s.outputB},
            {"outputAFromVco", s.outputAFromVco}, {"outputBFromVco", s.outputBFromVco},
            {"uploads", s.uploads},
        };
      }
    };
  });
}

}  // namespace

void addBoardCommands(CLI::App& app, Invocation& inv) {
  addInfo(app, inv);
  addClock(app, inv);

  CLI::App* power = group(app, "power", "Output power: power tx1 N | power tx2 N");
  intSetter(inv, power, "tx1", "Tx1 power (the synthesizer's output A power, five bits)", "N", "vxclk_setTx1Power",
            vxclk_setTx1Power, "Tx1 power", kestrel::protocol::kTx1PowerMin, kestrel::protocol::kTx1PowerMax);
  intSetter(inv, power, "tx2", "Tx2 power (register 1035 = 4096 - N)", "N", "vxclk_setTx2Power", vxclk_setTx2Power,
            "Tx2 power", kestrel::protocol::kTx2PowerMin, kestrel::protocol::kTx2PowerMax);

  intSetter(inv, &app, "divider", "Tx2 divider selection n (register 257 = 1 << n)", "N", "vxclk_setTx2Divider",
            vxclk_setTx2Divider, "Tx2 divider selection", kestrel::protocol::kTx2DividerMin,
            kestrel::protocol::kTx2DividerMax);
  intSetter(inv, &app, "source", "Select the board's clock source (the code is passed to the board unchanged)", "N",
            "vxclk_setClockSource", vxclk_setClockSource, "clock source");
}

}  // namespace kestrelctl
