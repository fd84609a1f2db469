// plan: the synthesizer plan of a frequency, worked out offline by the same
// planner the library runs before it uploads a clock. Needs no board.
#include <cstdio>

#include "commands.h"
#include "protocol/board_protocol.h"
#include "synth/register_image.h"
#include "synth/synth_model.h"

namespace kestrelctl {

namespace {

const RealRange kReferenceRange{1.0, 1000.0, false, false, "MHz"};
constexpr int32_t kMaxLoopProfile = 20;
constexpr size_t kWordsPerLine = 6;

std::string segments(const kestrel::SynthModel& m) {
  std::string text = "/" + std::to_string(kestrel::firstSegmentDivision(m.segment1Select));
  if (m.segmentsInUse == 2 || m.segmentsInUse == 4) {
    text += " /" + std::to_string(kestrel::laterSegmentDivision(m.segment2Select));
  }
  if (m.segmentsInUse == 4) text += " /" + std::to_string(kestrel::laterSegmentDivision(m.segment3Select));
  return text;
}

std::string outputSource(int32_t mux) { return mux == 1 ? "VCO" : "channel divider"; }

void describePlan(const kestrel::SynthModel& m, double reference, double frequency, int32_t option, Result& r) {
  const int prescaler = 2 * m.prescalerSelect + 2;
  const double n = m.nInteger + (m.fractionDenominator > 0 && m.fractionNumerator > 0
                                     ? static_cast<double>(m.fractionNumerator) / m.fractionDenominator
                                     : 0.0);
  r.line("plan for " + mhz(frequency) + " from a " + mhz(reference) + " reference, loop profile " +
         std::to_string(option));
  reportProducedClock(frequency, m.outputAFrequency, r);
  r.table({
      {"reference path", std::string("doubler ") + (m.referenceDoubler ? "on" : "off") + ", multiplier " +
                             std::to_string(m.referenceMultiplier) + ", pre-divider " + std::to_string(m.preDivider) +
                             ", post-divider " + std::to_string(m.postDivider)},
      {"phase detector", mhz(m.pdFrequency)},
      {"N divider", "prescaler " + std::to_string(prescaler) + ", N = " + std::to_string(m.nInteger) + " + " +
                        std::to_string(m.fractionNumerator) + "/" + std::to_string(m.fractionDenominator) + " (" +
                        formatFixed(n, 9) + ")"},
      {"VCO", mhz(m.vcoFrequency) + " (gain figure " + formatFixed(m.vcoGain, 3) + ")"},
      {"channel divider", std::to_string(m.channelDivider) + " (segments " + segments(m) + ")" +
                              (m.outputAMux == 1 && m.outputBMux == 1 ? ", unused: both outputs take the VCO" : "")},
      {"output A", mhz(m.outputAFrequency) + " from the " + outputSource(m.outputAMux) + ", power " +
                       std::to_string(m.outputAPower)},
      {"output B", mhz(m.outputBFrequency) + " from the " + outputSource(m.outputBMux) + ", power " +
                       std::to_string(m.outputBPower)},
      {"charge pump", "code " + std::to_string(m.chargePumpCode) + ", gain x" +
                          formatNumber(kestrel::chargePumpGainFactor(m.chargePumpGain)) + " (current figure " +
                          formatFixed(m.chargePumpCurrent, 4) + ")"},
      {"modulator", m.modulatorOrder == 0 ? std::string("integer mode")
                                          : "order " + std::to_string(m.modulatorOrder)},
  });
  r.line("register words (" + std::to_string(kestrel::kSynthImageWords) + ", as uploaded):");
  std::string row;
  Json words = Json::array();
  for (size_t i = 0; i < kestrel::kSynthImageWords; ++i) {
    const uint32_t word = m.registerImage[i];
    const unsigned number = kestrel::imageWordRegister(word);
    const uint16_t value = kestrel::imageWordValue(word);
    char cell[32];
    std::snprintf(cell, sizeof cell, "R%-2u %s", number, hex(value, 4).c_str());
    row += (row.empty() ? "  " : "   ") + std::string(cell);
    if ((i + 1) % kWordsPerLine == 0 || i + 1 == kestrel::kSynthImageWords) {
      r.line(row);
      row.clear();
    }
    words.push_back({{"register", number}, {"value", value}, {"hex", hex(value, 4)}});
  }

  r.data["frequencyMHz"] = frequency;
  r.data["referenceMHz"] = reference;
  r.data["option"] = option;
  r.data["referencePath"] = {{"doubler", m.referenceDoubler},
                             {"multiplier", m.referenceMultiplier},
                             {"preDivider", m.preDivider},
                             {"postDivider", m.postDivider}};
  r.data["phaseDetectorMHz"] = m.pdFrequency;
  r.data["prescaler"] = prescaler;
  r.data["n"] = {{"integer", m.nInteger},
                 {"numerator", m.fractionNumerator},
                 {"denominator", m.fractionDenominator},
                 {"value", n}};
  r.data["vcoMHz"] = m.vcoFrequency;
  r.data["vcoGain"] = m.vcoGain;
  r.data["channelDivider"] = m.channelDivider;
  r.data["outputs"] = {
      {"a", {{"frequencyMHz", m.outputAFrequency}, {"source", m.outputAMux == 1 ? "vco" : "divider"},
             {"power", m.outputAPower}}},
      {"b", {{"frequencyMHz", m.outputBFrequency}, {"source", m.outputBMux == 1 ? "vco" : "divider"},
             {"power", m.outputBPower}}},
  };
  r.data["chargePump"] = {{"code", m.chargePumpCode},
                          {"gainCode", m.chargePumpGain},
                          {"gain", kestrel::chargePumpGainFactor(m.chargePumpGain)},
                          {"current", m.chargePumpCurrent}};
  r.data["modulatorOrder"] = m.modulatorOrder;
  r.data["registers"] = words;
}

}  // namespace

void addPlanCommand(CLI::App& app, Invocation& inv) {
  CLI::App* command = app.add_subcommand(
      "plan", "Show the synthesizer plan and the register words of a frequency, offline (needs no board)");
  auto text = positional(command, "MHZ", clockHelp());
  auto reference = std::make_shared<std::string>(formatNumber(kestrel::protocol::kBoardReferenceMHz));
  auto option = std::make_shared<std::string>(std::to_string(kBoardLoopProfile));
  command->add_option("--reference", *reference, "reference frequency in MHz, 1 to 1000")
      ->type_name("MHZ")
      ->capture_default_str();
  command->add_option("--option", *option, "loop profile, 0 to 20 (the board always uses 19)")
      ->type_name("N")
      ->capture_default_str();
  leaf(inv, command, false, [=] {
    const double frequency = parseReal(*text, "MHZ", kClockRange);
    const double referenceMHz = parseReal(*reference, "--reference", kReferenceRange);
    const int32_t profile = parseInt32(*option, "--option", 0, kMaxLoopProfile);
    return [=](Context&, Result& r) {
      kestrel::SynthModel model;
      model.configure(referenceMHz, frequency, profile);
      describePlan(model, referenceMHz, frequency, profile, r);
    };
  });
}

}  // namespace kestrelctl
