// fm and tx2: frequency modulation, and the modulation and jitter controls of
// the Tx2 output. Grammar: a path of nouns, then a verb or a setting and its
// value ("tx2 pm rj amplitude 40", "fm enable").
#include <array>

#include "KestrelLib.h"
#include "commands.h"
#include "protocol/board_protocol.h"

namespace kestrelctl {

namespace {

// The board's FM rate table, in MHz, by index.
constexpr const auto& kFMRates = kestrel::protocol::kFMRatesMHz;
const RealRange kCustomFMRange{kestrel::protocol::kCustomFMMinMHz, kestrel::protocol::kCustomFMMaxMHz, false, false,
                               "MHz"};
const RealRange kPMFrequencyRange{0.0, kestrel::protocol::kTx2PMFrequencyMaxMHz, false, false, "MHz"};

// Setters that the library refuses (status 1) unless their enable was set to 1
// earlier on the same connection.
std::string needsEnable(const std::string& help, const std::string& enableCommand) {
  return help + "; needs '" + enableCommand + "' earlier on the same connection (use a run file)";
}

void addFM(CLI::App& app, Invocation& inv) {
  CLI::App* fm = group(app, "fm",
                       "Frequency modulation: fm enable|disable, fm rate INDEX, fm custom MHZ, fm amplitude N, "
                       "fm skew N, fm rj N");
  switchPair(inv, fm, "FM", "vxclk_enableFM", vxclk_enableFM);

  std::string table;
  for (size_t i = 0; i < kFMRates.size(); ++i) {
    table += (i == 0 ? "" : ", ") + std::to_string(i) + ": " + formatNumber(kFMRates[i]);
  }
  CLI::App* rate = fm->add_subcommand("rate", "FM rate from the board's table, by index (MHz): " + table);
  auto index = positional(rate, "INDEX", "table index, 0 to " + std::to_string(kFMRates.size() - 1));
  leaf(inv, rate, true, [=] {
    const int32_t i = parseInt32(*index, "INDEX", 0, static_cast<int32_t>(kFMRates.size()) - 1);
    return [=](Context& ctx, Result& r) {
      void* board = ctx.board();
      check("vxclk_setFMFrequency", vxclk_setFMFrequency(board, i));
      const double rateMHz = kFMRates[static_cast<size_t>(i)];
      r.line("FM rate set to table entry " + std::to_string(i) + " (" + formatNumber(rateMHz) + " MHz)");
      r.data["index"] = i;
      r.data["rateMHz"] = rateMHz;
    };
  });

  CLI::App* custom = fm->add_subcommand(
      "custom", "Custom FM rate; refused (status 5) while a calibration source is selected on the connection");
  auto rateText = positional(custom, "MHZ", "modulation rate in MHz, " + formatNumber(kCustomFMRange.min) + " to " +
                                                  formatNumber(kCustomFMRange.max));
  leaf(inv, custom, true, [=] {
    const double rateMHz = parseReal(*rateText, "MHZ", kCustomFMRange);
    return [=](Context& ctx, Result& r) {
      void* board = ctx.board();
      check("vxclk_setCustomFMFrequency", vxclk_setCustomFMFrequency(board, rateMHz));
      r.line("FM rate set to " + formatNumber(rateMHz) + " MHz (custom)");
      r.data["rateMHz"] = rateMHz;
    };
  });

  intSetter(inv, fm, "amplitude", "FM amplitude (mapped through the calibration when one is selected)", "N",
            "vxclk_setFMAmplitude", vxclk_setFMAmplitude, "FM amplitude");
  intSetter(inv, fm, "skew", "FM phase skew", "N", "vxclk_setFMPhaseSkew", vxclk_setFMPhaseSkew, "FM phase skew");
  intSetter(inv, fm, "rj", "FM random-jitter amplitude", "N", "vxclk_setFMRJAmplitude", vxclk_setFMRJAmplitude,
            "FM random-jitter amplitude");
}

void addPM(CLI::App* tx2, Invocation& inv) {
  CLI::App* pm = group(*tx2, "pm",
                       "Phase modulation: pm enable|disable, pm frequency MHZ, pm amplitude N, pm phase-shift N, "
                       "pm rj ..., pm buj ...");
  switchPair(inv, pm, "Tx2 PM", "vxclk_enableTx2PM", vxclk_enableTx2PM);

  CLI::App* frequency = pm->add_subcommand("frequency", "Tx2 PM frequency");
  auto text = positional(frequency, "MHZ", "modulation frequency in MHz, 0 to " + formatNumber(kPMFrequencyRange.max));
  leaf(inv, frequency, true, [=] {
    const double f = parseReal(*text, "MHZ", kPMFrequencyRange);
    return [=](Context& ctx, Result& r) {
      check("vxclk_setTx2PMFrequency", vxclk_setTx2PMFrequency(ctx.board(), f));
      r.line("Tx2 PM frequency set to " + formatNumber(f) + " MHz");
      r.data["frequencyMHz"] = f;
    };
  });

  intSetter(inv, pm, "amplitude", needsEnable("Tx2 PM amplitude", "tx2 pm enable"), "N", "vxclk_setTx2PMAmplitude",
            vxclk_setTx2PMAmplitude, "Tx2 PM amplitude");
  intSetter(inv, pm, "phase-shift", needsEnable("Tx2 PM phase-shift amplitude", "tx2 pm enable"), "N",
            "vxclk_setTx2PMPhaseShiftAmplitude", vxclk_setTx2PMPhaseShiftAmplitude, "Tx2 PM phase-shift amplitude");

  CLI::App* rj = group(*pm, "rj", "Random jitter on PM: pm rj enable|disable, pm rj amplitude N");
  switchPair(inv, rj, "Tx2 PM random jitter", "vxclk_enableTx2PMRJ", vxclk_enableTx2PMRJ);
  intSetter(inv, rj, "amplitude", needsEnable("Tx2 PM random-jitter amplitude", "tx2 pm rj enable"), "N",
            "vxclk_setTx2PMRJAmplitude", vxclk_setTx2PMRJAmplitude, "Tx2 PM random-jitter amplitude");

  CLI::App* buj = group(*pm, "buj",
                        "Bounded uncorrelated jitter on PM: pm buj enable|disable, pm buj amplitude N, "
                        "pm buj line-rate N");
  switchPair(inv, buj, "Tx2 PM BUJ", "vxclk_enableTx2PMBUJ", vxclk_enableTx2PMBUJ);
  intSetter(inv, buj, "amplitude", needsEnable("Tx2 PM BUJ amplitude", "tx2 pm buj enable"), "N",
            "vxclk_setTx2PMBUJAmplitude", vxclk_setTx2PMBUJAmplitude, "Tx2 PM BUJ amplitude");
  intSetter(inv, buj, "line-rate", "Tx2 PM BUJ line rate (passed to the board unchanged)", "N",
            "vxclk_setTx2PMBUJLineRate", vxclk_setTx2PMBUJLineRate, "Tx2 PM BUJ line rate");
}

void addBUJ(CLI::App* tx2, Invocation& inv) {
  CLI::App* buj = group(*tx2, "buj",
                        "Bounded uncorrelated jitter: buj amplitude N, buj prbs CODE FLAG, buj pattern VALUE");
  intSetter(inv, buj, "amplitude", "Tx2 BUJ amplitude", "N", "vxclk_setTx2BUJAmplitude", vxclk_setTx2BUJAmplitude,
            "Tx2 BUJ amplitude");

  CLI::App* prbs = buj->add_subcommand("prbs", "Run the BUJ generator from a PRBS (code and flag go to the board)");
  auto code = positional(prbs, "CODE", "PRBS code, integer 0 to " + std::to_string(kestrel::protocol::kRegisterWordMax));
  auto flag = positional(prbs, "FLAG", "PRBS flag, integer (0 or 1)");
  leaf(inv, prbs, true, [=] {
    const int32_t c = parseInt32(*code, "CODE", 0, kestrel::protocol::kRegisterWordMax);
    const int32_t f = parseInt32(*flag, "FLAG", 0, 1);
    return [=](Context& ctx, Result& r) {
      check("vxclk_setTx2BUJPRBS", vxclk_setTx2BUJPRBS(ctx.board(), c, f));
      r.line("Tx2 BUJ PRBS set to code " + std::to_string(c) + ", flag " + std::to_string(f));
      r.data["code"] = c;
      r.data["flag"] = f;
    };
  });

  CLI::App* pattern = buj->add_subcommand("pattern", "Run the BUJ generator from a 32-bit user pattern");
  auto value = positional(pattern, "VALUE", "32-bit pattern, hexadecimal with 0x (0xDEADBEEF) or decimal");
  leaf(inv, pattern, true, [=] {
    const uint32_t bits = parseUint32(*value, "VALUE");
    return [=](Context& ctx, Result& r) {
      check("vxclk_setTx2BUJUserDefinedPattern", vxclk_setTx2BUJUserDefinedPattern(ctx.board(), bits));
      r.line("Tx2 BUJ user pattern set to " + hex(bits, 8));
      r.data["pattern"] = bits;
    };
  });
}

void addAM(CLI::App* tx2, Invocation& inv) {
  CLI::App* am = group(*tx2, "am", "Amplitude modulation: am enable|disable, am amplitude N, am rj amplitude N");
  switchPair(inv, am, "Tx2 AM", "vxclk_enableTx2AM", vxclk_enableTx2AM);
  intSetter(inv, am, "amplitude", needsEnable("Tx2 AM amplitude", "tx2 am enable"), "N", "vxclk_setTx2AMAmplitude",
            vxclk_setTx2AMAmplitude, "Tx2 AM amplitude");
  CLI::App* rj = group(*am, "rj", "Random jitter on AM: am rj amplitude N");
  intSetter(inv, rj, "amplitude", "Tx2 AM random-jitter amplitude", "N", "vxclk_setTx2AMRJAmplitude",
            vxclk_setTx2AMRJAmplitude, "Tx2 AM random-jitter amplitude");
}

}  // namespace

void addModulationCommands(CLI::App& app, Invocation& inv) {
  addFM(app, inv);
  CLI::App* tx2 = group(app, "tx2", "Tx2 modulation and jitter: tx2 pm ..., tx2 buj ..., tx2 am ...");
  addPM(tx2, inv);
  addBUJ(tx2, inv);
  addAM(tx2, inv);
}

}  // namespace kestrelctl
