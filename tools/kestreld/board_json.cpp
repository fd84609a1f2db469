#include "board_json.h"

#include <array>
#include <cstdio>

#include "board.h"
#include "config_fields.h"
#include "scpi_session.h"
#include "synth/register_image.h"
#include "synth/synth_model.h"

namespace kestreld {

namespace {

Json vcoBand(double vcoMHz) {
  const auto band = facts::vcoBand(vcoMHz);
  if (!band) return nullptr;
  const kestrel::VcoBand& b = kestrel::kVcoBands.at(static_cast<size_t>(*band - 1));
  return {{"number", *band}, {"fromMHz", b.lo}, {"toMHz", b.hi}};
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

Json registerWords(const kestrel::SynthModel& m) {
  Json words = Json::array();
  for (const uint32_t word : m.registerImage) {
    const uint16_t value = kestrel::imageWordValue(word);
    words.push_back({{"register", kestrel::imageWordRegister(word)}, {"value", value}, {"hex", hex4(value)}});
  }
  return words;
}

std::vector<int> segmentDivisions(const kestrel::SynthModel& m) {
  std::vector<int> divisions = {kestrel::firstSegmentDivision(m.segment1Select)};
  if (m.segmentsInUse == 2 || m.segmentsInUse == 4)
    divisions.push_back(kestrel::laterSegmentDivision(m.segment2Select));
  if (m.segmentsInUse == 4) divisions.push_back(kestrel::laterSegmentDivision(m.segment3Select));
  return divisions;
}

Json output(double mhz, int32_t mux, int32_t power) {
  return {{"frequencyMHz", mhz}, {"source", mux == 1 ? "vco" : "divider"}, {"power", power}};
}

// A reading the board may refuse: null then (the service has marked a
// board that stopped answering).
template <typename Read>
Json reading(Read read) {
  try {
    return read();
  } catch (const BoardError&) {
    return nullptr;
  }
}

Json identity(Board& board) {
  const BoardIdentity id = board.identity();
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(id.boardId));
  return {{"boardId", hex}, {"serial", std::to_string(id.serial)}, {"idn", idnResponse(id)}};
}

// The clock asked for, and what the plan makes of it.
Json clockJson(double requestedMHz) {
  if (!facts::kClockMHz.contains(requestedMHz)) return {{"requestedMHz", nullptr}, {"producedMHz", nullptr}};
  const double produced = facts::producedMHz(requestedMHz);
  return {{"requestedMHz", requestedMHz}, {"producedMHz", produced}, {"errorHz", (produced - requestedMHz) * 1e6}};
}

}  // namespace

Json boardStatus(Board& board) {
  const bool connected = board.connected();
  Json status = {{"name", board.name()},
                 {"address", board.address()},
                 {"emulator", board.emulator() != nullptr},
                 {"available", connected}};
  status["identity"] = connected ? reading([&] { return identity(board); }) : Json(nullptr);
  Json temperatures = Json::array();
  for (int sensor : {0, 1}) {
    temperatures.push_back(connected ? reading([&] { return Json(board.temperature(sensor)); }) : Json(nullptr));
  }
  const Json lock = connected ? reading([&] { return Json(board.vcoLock() != 0); }) : Json(nullptr);
  const Json volts = connected ? reading([&] { return Json(board.vcoVoltage()); }) : Json(nullptr);
  status["available"] = board.connected();
  status["temperatures"] = temperatures;
  status["vco"] = {{"locked", lock}, {"volts", volts}};
  status["clock"] = clockJson(board.view().stored.generateFrequency);
  status["settings"] = settingsJson(board.view());
  return status;
}

Json settingsJson(const BoardSettings& s) {
  const ActiveConfig& c = s.stored;
  return {
      {"clockMHz", c.generateFrequency},
      {"tx1Power", c.tx1Power},
      {"tx2Power", c.tx2Power},
      {"tx2Divider", c.tx2Divider},
      {"clockSource", c.clockSource},
      {"fm",
       {{"enabled", c.fmEnable},
        {"rateHz", c.fmFrequency},
        {"deviation", c.fmAmplitude},
        {"skew", c.fmPhaseSkew},
        {"rj", c.fmRJAmplitude}}},
      {"pm",
       {{"enabled", c.tx2PMEnable},
        {"frequencyHz", c.tx2PMFrequency},
        {"deviation", c.tx2PMAmplitude},
        {"phaseShift", c.tx2PMPhaseShiftAmplitude},
        {"rjEnabled", c.tx2PMRJEnable},
        {"rj", c.tx2PMRJAmplitude},
        {"bujEnabled", c.tx2PMBUJEnable},
        {"buj", c.tx2PMBUJAmplitude},
        {"bujLineRate", c.tx2PMBUJLineRate}}},
      {"am", {{"enabled", c.tx2AMEnable}, {"depth", c.tx2AMAmplitude}, {"rj", c.tx2AMRJAmplitude}}},
      {"buj",
       {{"amplitude", c.tx2BUJAmplitude},
        {"prbs", c.tx2BUJPRBS},
        {"prbsFlag", c.tx2BUJPRBSFlag},
        {"pattern", s.bujPattern}}},
      {"calibration", {{"source", nameOf(s.calibrationSource)}, {"path", s.calibrationFile}}},
  };
}

Json configJson(const ActiveConfig& config) {
  Json out = Json::object();
  forEachConfigField(
      config, [&](const char* name, const ConfigValue& value) { std::visit([&](auto v) { out[name] = v; }, value); });
  return out;
}

Json planJson(double mhz) {
  const double referenceMHz = facts::kReferenceMHz;
  kestrel::SynthModel m;
  m.configure(referenceMHz, mhz, facts::kLoopProfile);
  const double fraction = m.fractionDenominator > 0 && m.fractionNumerator > 0
                              ? static_cast<double>(m.fractionNumerator) / m.fractionDenominator
                              : 0.0;
  return {
      {"requestedMHz", mhz},
      {"referenceMHz", referenceMHz},
      {"referencePath",
       {{"doubler", m.referenceDoubler != 0},
        {"multiplier", m.referenceMultiplier},
        {"preDivider", m.preDivider},
        {"postDivider", m.postDivider}}},
      {"phaseDetectorMHz", m.pdFrequency},
      {"n",
       {{"prescaler", 2 * m.prescalerSelect + 2},
        {"integer", m.nInteger},
        {"numerator", m.fractionNumerator},
        {"denominator", m.fractionDenominator},
        {"value", m.nInteger + fraction}}},
      {"vco", {{"frequencyMHz", m.vcoFrequency}, {"band", vcoBand(m.vcoFrequency)}}},
      {"channelDivider", {{"division", m.channelDivider}, {"segments", segmentDivisions(m)}}},
      {"outputs",
       {{"a", output(m.outputAFrequency, m.outputAMux, m.outputAPower)},
        {"b", output(m.outputBFrequency, m.outputBMux, m.outputBPower)}}},
      {"producedMHz", m.outputAFrequency},
      {"errorHz", (m.outputAFrequency - mhz) * 1e6},
      {"modulatorOrder", m.modulatorOrder},
      {"registers", registerWords(m)},
  };
}

}  // namespace kestreld
