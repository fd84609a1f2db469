#include "board_json.h"

#include <array>
#include <cstdio>

#include "board_worker.h"
#include "config_fields.h"
#include "scpi_errors.h"
#include "scpi_session.h"
#include "synth/register_image.h"
#include "synth/synth_model.h"

namespace kestreld {

namespace {

constexpr int32_t kLoopProfile = 19;  // the profile the board always runs

// The VCO's bands, from the tuning curves the planner uses for its gain figure:
// the page shows which one a plan lands in.
constexpr std::array<double, 8> kVcoBandEdgesMHz = {3550, 4068, 4530, 5008, 5566, 6062, 6594, 7100};

Json vcoBand(double vcoMHz) {
  for (size_t i = 0; i + 1 < kVcoBandEdgesMHz.size(); ++i) {
    if (vcoMHz >= kVcoBandEdgesMHz[i] && vcoMHz < kVcoBandEdgesMHz[i + 1]) {
      return {{"number", i + 1}, {"fromMHz", kVcoBandEdgesMHz[i]}, {"toMHz", kVcoBandEdgesMHz[i + 1]}};
    }
  }
  return nullptr;
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

// A reading the board may refuse: null then, and the refusal goes through
// check() so that a board that stopped answering is marked lost.
template <typename T, typename Call>
Json reading(BoardWorker& board, const char* name, Call call) {
  T value{};
  const int32_t status = call(&value);
  if (status == VXCLK_OK) return value;
  try {
    board.check(name, status);
  } catch (const scpi::ScpiError&) {
  }
  return nullptr;
}

// From the *IDN? answer, whose reads also mark a board that stopped answering.
Json identity(BoardWorker& board) {
  const std::string idn = identify(board);  // "Kestrel,Clock source board 4B31,<serial>,KestrelLib x.y.z"
  const size_t model = idn.find(',');
  const size_t serial = idn.find(',', model + 1);
  const size_t library = idn.find(',', serial + 1);
  const std::string modelText = idn.substr(model + 1, serial - model - 1);
  return {{"boardId", modelText.substr(modelText.rfind(' ') + 1)},
          {"serial", idn.substr(serial + 1, library - serial - 1)},
          {"idn", idn}};
}

Json health(BoardWorker& board) {
  void* instance = board.instance();
  Json t = Json::array();
  for (int32_t sensor : {0, 1}) {
    t.push_back(reading<int32_t>(board, "vxclk_getTemperature",
                                 [&](int32_t* v) { return vxclk_getTemperature(instance, sensor, v); }));
  }
  Json lock =
      reading<int32_t>(board, "vxclk_checkVCOLock", [&](int32_t* v) { return vxclk_checkVCOLock(instance, v); });
  Json volts =
      reading<double>(board, "vxclk_checkVCOVoltage", [&](double* v) { return vxclk_checkVCOVoltage(instance, v); });
  return {{"temperatures", t},
          {"vco", {{"locked", lock.is_null() ? Json(nullptr) : Json(lock.get<int32_t>() != 0)}, {"volts", volts}}}};
}

}  // namespace

Json boardStatus(BoardWorker& board) {
  Json status = {{"name", board.name()},
                 {"address", board.address()},
                 {"emulator", board.emulator() != nullptr},
                 {"available", board.connected()}};
  Json readings = {{"temperatures", {nullptr, nullptr}}, {"vco", {{"locked", nullptr}, {"volts", nullptr}}}};
  Json id = nullptr;
  try {
    if (board.connected()) {
      id = identity(board);
      readings = health(board);
    }
  } catch (const scpi::ScpiError&) {
  }
  status["available"] = board.connected();
  status["identity"] = id;
  status["temperatures"] = readings["temperatures"];
  status["vco"] = readings["vco"];
  status["settings"] = settingsJson(board.settings());
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
      {"calibration", {{"source", s.calibrationSource}, {"path", s.calibrationPath}}},
  };
}

Json configJson(const ActiveConfig& config) {
  Json out = Json::object();
  forEachConfigField(
      config, [&](const char* name, const ConfigValue& value) { std::visit([&](auto v) { out[name] = v; }, value); });
  return out;
}

Json planJson(double mhz, double referenceMHz) {
  kestrel::SynthModel m;
  m.configure(referenceMHz, mhz, kLoopProfile);
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
      {"errorHz", (m.outputAFrequency - mhz) * 1e6},
      {"modulatorOrder", m.modulatorOrder},
      {"registers", registerWords(m)},
  };
}

}  // namespace kestreld
