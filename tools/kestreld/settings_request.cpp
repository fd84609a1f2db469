#include "settings_request.h"

#include <cmath>
#include <cstdio>

namespace kestreld {

namespace {

enum class Kind { Integer, Real, Boolean };

// Besides the service's settings, switches and frequencies: the BUJ pattern
// (32 bits), the PRBS code (a register word) and its flag.
struct PatternTag {};
struct WordTag {};
struct FlagTag {};
using Target = std::variant<Setting, Switch, Frequency, PatternTag, WordTag, FlagTag>;

// One settable field: where it lives in the body, what it sets, and its
// range in its own unit (Hz where its name says so; the service takes MHz).
struct Field {
  const char* group;  // "" for the top level
  const char* name;
  Target target;
  double perMHz = 1;  // the field's unit per MHz, for frequencies
};

constexpr double kHzPerMHz = 1e6;

// In the order of application: calibration and modulation before the clock,
// as *RST does, so that the clock is planned with them; enables before the
// amplitudes they allow.
const Field kFields[] = {
    {"", "clockSource", Setting::ClockSource},
    {"fm", "enabled", Switch::FM},
    {"fm", "rateHz", Frequency::FMRate, kHzPerMHz},
    {"fm", "deviation", Setting::FMDeviation},
    {"fm", "skew", Setting::FMSkew},
    {"fm", "rj", Setting::FMRJ},
    {"pm", "enabled", Switch::PM},
    {"pm", "frequencyHz", Frequency::PM, kHzPerMHz},
    {"pm", "deviation", Setting::PMDeviation},
    {"pm", "phaseShift", Setting::PMPhaseShift},
    {"pm", "rjEnabled", Switch::PMRJ},
    {"pm", "rj", Setting::PMRJ},
    {"pm", "bujEnabled", Switch::PMBUJ},
    {"pm", "buj", Setting::PMBUJ},
    {"pm", "bujLineRate", Setting::PMBUJLineRate},
    {"am", "enabled", Switch::AM},
    {"am", "depth", Setting::AMDepth},
    {"am", "rj", Setting::AMRJ},
    {"buj", "amplitude", Setting::BUJAmplitude},
    {"buj", "pattern", PatternTag{}},
    {"", "clockMHz", Frequency::Clock},
    {"", "tx1Power", Setting::Tx1Power},
    {"", "tx2Power", Setting::Tx2Power},
    {"", "tx2Divider", Setting::Tx2Divider},
};

// The nested objects; "buj" also holds the PRBS pair and "calibration" the
// source with its file, which checkNames and the functions below know.
const char* const kGroups[] = {"fm", "pm", "am", "buj", "calibration"};

const Field kPRBSCode{"buj", "prbs", WordTag{}};
const Field kPRBSFlag{"buj", "prbsFlag", FlagTag{}};

Kind kindOf(const Field& f) {
  if (std::holds_alternative<Switch>(f.target) || std::holds_alternative<FlagTag>(f.target)) return Kind::Boolean;
  return std::holds_alternative<Frequency>(f.target) ? Kind::Real : Kind::Integer;
}

const Range& serviceRange(Frequency which) {
  switch (which) {
    case Frequency::FMRate:
      return facts::kFMRateMHz;
    case Frequency::PM:
      return facts::kPMFrequencyMHz;
    case Frequency::Clock:
      break;
  }
  return facts::kClockMHz;
}

// The field's range in its own unit.
Range rangeOf(const Field& f) {
  if (const auto* s = std::get_if<Setting>(&f.target)) return factsOf(*s).range;
  if (const auto* which = std::get_if<Frequency>(&f.target)) {
    const Range& r = serviceRange(*which);
    return {r.min * f.perMHz, r.max * f.perMHz, r.exclusive};
  }
  if (std::holds_alternative<PatternTag>(f.target)) return facts::kPattern;
  if (std::holds_alternative<WordTag>(f.target)) return facts::kRegisterWord;
  return {0, 1};
}

std::string pathOf(const std::string& group, const std::string& name) {
  return group.empty() ? name : group + "." + name;
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string rangeText(const Range& r) {
  if (r.exclusive) return "above " + number(r.min) + " and below " + number(r.max);
  return "from " + number(r.min) + " to " + number(r.max);
}

bool checkedBoolean(const Field& f, const Json& value) {
  if (!value.is_boolean()) throw BadRequest(pathOf(f.group, f.name) + " must be true or false");
  return value.get<bool>();
}

double checkedNumber(const Field& f, const Json& value) {
  const std::string path = pathOf(f.group, f.name);
  const Range range = rangeOf(f);
  const char* what = kindOf(f) == Kind::Integer ? "an integer " : "a number ";
  if (!value.is_number()) throw BadRequest(path + " must be " + what + rangeText(range));
  const double v = value.get<double>();
  if (!std::isfinite(v) || (kindOf(f) == Kind::Integer && v != std::floor(v)) || !range.contains(v)) {
    throw BadRequest(path + " must be " + what + rangeText(range) + ", not " + value.dump());
  }
  return v;
}

SettingChange changeOf(const Field& f, const Json& value) {
  SettingChange change{pathOf(f.group, f.name), SetPattern{}};
  if (const auto* which = std::get_if<Switch>(&f.target)) {
    change.what = SetSwitch{*which, checkedBoolean(f, value)};
  } else if (const auto* setting = std::get_if<Setting>(&f.target)) {
    change.what = SetInteger{*setting, static_cast<int64_t>(checkedNumber(f, value))};
  } else if (const auto* frequency = std::get_if<Frequency>(&f.target)) {
    change.what = SetFrequency{*frequency, checkedNumber(f, value) / f.perMHz};
  } else {
    change.what = SetPattern{static_cast<int64_t>(checkedNumber(f, value))};
  }
  return change;
}

const Field* findField(const std::string& group, const std::string& name) {
  for (const Field& f : kFields) {
    if (group == f.group && name == f.name) return &f;
  }
  return nullptr;
}

bool isGroup(const std::string& name) {
  for (const char* g : kGroups) {
    if (name == g) return true;
  }
  return false;
}

void checkNames(const Json& object, const std::string& group) {
  for (const auto& [name, value] : object.items()) {
    if (group.empty() && isGroup(name)) {
      if (!value.is_object()) throw BadRequest(name + " must be an object");
      checkNames(value, name);
      continue;
    }
    const bool special = (group == "buj" && (name == "prbs" || name == "prbsFlag")) ||
                         (group == "calibration" && (name == "source" || name == "path"));
    if (!special && findField(group, name) == nullptr) throw BadRequest("unknown field " + pathOf(group, name));
  }
}

const Json* member(const Json& body, const std::string& group, const char* name) {
  const Json* scope = &body;
  if (!group.empty()) {
    if (!body.contains(group)) return nullptr;
    scope = &body[group];
  }
  const auto it = scope->find(name);
  return it == scope->end() ? nullptr : &*it;
}

std::optional<SettingChange> calibrationChange(const Json& body) {
  const Json* source = member(body, "calibration", "source");
  const Json* path = member(body, "calibration", "path");
  if (source == nullptr && path == nullptr) return std::nullopt;
  const std::string choice = source != nullptr && source->is_string() ? source->get<std::string>() : "";
  if (choice != "none" && choice != "board" && choice != "file") {
    throw BadRequest("calibration.source must be \"none\", \"board\" or \"file\"");
  }
  if ((choice == "file") != (path != nullptr)) throw BadRequest("calibration.path goes with source \"file\", alone");
  if (path != nullptr && (!path->is_string() || path->get<std::string>().empty())) {
    throw BadRequest("calibration.path must be a file name");
  }
  if (choice == "none") return SettingChange{"calibration", SetCalibration{CalibrationSource::None, {}}};
  if (choice == "board") return SettingChange{"calibration", SetCalibration{CalibrationSource::Board, {}}};
  return SettingChange{"calibration", SetCalibration{CalibrationSource::File, path->get<std::string>()}};
}

std::optional<SettingChange> prbsChange(const Json& body) {
  const Json* code = member(body, "buj", "prbs");
  const Json* flag = member(body, "buj", "prbsFlag");
  if (code == nullptr && flag == nullptr) return std::nullopt;
  if (code == nullptr || flag == nullptr) throw BadRequest("buj.prbs and buj.prbsFlag go together");
  return SettingChange{"buj.prbs", SetPRBS{static_cast<int64_t>(checkedNumber(kPRBSCode, *code)),
                                           checkedBoolean(kPRBSFlag, *flag)}};
}

const char* kindName(const Field& f) {
  switch (kindOf(f)) {
    case Kind::Boolean:
      return "boolean";
    case Kind::Real:
      return "real";
    case Kind::Integer:
      break;
  }
  return "integer";
}

Json limitsOf(const Field& f) {
  Json limits = {{"kind", kindName(f)}};
  if (kindOf(f) == Kind::Boolean) return limits;
  const Range r = rangeOf(f);
  limits["min"] = r.min;
  limits["max"] = r.max;
  limits["exclusive"] = r.exclusive;
  return limits;
}

}  // namespace

std::vector<SettingChange> parseSettings(const Json& body) {
  if (!body.is_object()) throw BadRequest("the body must be a JSON object of settings");
  checkNames(body, "");
  std::vector<SettingChange> changes;
  if (auto change = calibrationChange(body)) changes.push_back(std::move(*change));
  for (const Field& f : kFields) {
    if (const Json* value = member(body, f.group, f.name)) changes.push_back(changeOf(f, *value));
    if (&f == findField("buj", "pattern")) {
      if (auto change = prbsChange(body)) changes.push_back(std::move(*change));
    }
  }
  if (changes.empty()) throw BadRequest("no setting given");
  return changes;
}

Json settingsLimits() {
  Json fields = Json::object();
  for (const Field& f : kFields) fields[pathOf(f.group, f.name)] = limitsOf(f);
  fields["buj.prbs"] = limitsOf(kPRBSCode);
  fields["buj.prbsFlag"] = limitsOf(kPRBSFlag);
  fields["calibration.source"] = {{"kind", "choice"}, {"choices", {"none", "board", "file"}}};
  fields["calibration.path"] = {{"kind", "text"}};
  return fields;
}

std::string switchField(Switch which) {
  for (const Field& f : kFields) {
    if (const auto* s = std::get_if<Switch>(&f.target); s != nullptr && *s == which) return pathOf(f.group, f.name);
  }
  return {};
}

}  // namespace kestreld
