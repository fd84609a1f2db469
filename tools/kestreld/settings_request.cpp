#include "settings_request.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>

namespace kestreld {

namespace {

enum class Kind { Integer, Real, Boolean };

// One settable field. The ranges are the SCPI ones (docs/scpi.md), checked
// here so that a request with any bad field changes nothing.
struct Field {
  const char* group;  // "" for the top level
  const char* name;
  Kind kind;
  double min;
  double max;
  const char* header;      // the SCPI header that applies it
  const char* unit = "";   // appended to the value
  bool exclusive = false;  // the limits themselves are out of range
};

constexpr double kI32Min = INT32_MIN;
constexpr double kI32Max = INT32_MAX;

// In the order of application: calibration and modulation before the clock,
// as *RST does, so that the clock is planned with them; enables before the
// amplitudes they allow.
const Field kFields[] = {
    {"", "clockSource", Kind::Integer, kI32Min, kI32Max, "CLOC:SOUR"},
    {"fm", "enabled", Kind::Boolean, 0, 1, "FM:STAT"},
    {"fm", "rateHz", Kind::Real, 0.04e6, 50e6, "FM:RATE"},
    {"fm", "deviation", Kind::Integer, kI32Min, kI32Max, "FM:DEV"},
    {"fm", "skew", Kind::Integer, kI32Min, kI32Max, "FM:SKEW"},
    {"fm", "rj", Kind::Integer, kI32Min, kI32Max, "FM:RJ"},
    {"pm", "enabled", Kind::Boolean, 0, 1, "PM:STAT"},
    {"pm", "frequencyHz", Kind::Real, 0, 80e6, "PM:FREQ"},
    {"pm", "deviation", Kind::Integer, kI32Min, kI32Max, "PM:DEV"},
    {"pm", "phaseShift", Kind::Integer, kI32Min, kI32Max, "PM:PSH"},
    {"pm", "rjEnabled", Kind::Boolean, 0, 1, "PM:RJ:STAT"},
    {"pm", "rj", Kind::Integer, kI32Min, kI32Max, "PM:RJ"},
    {"pm", "bujEnabled", Kind::Boolean, 0, 1, "PM:BUJ:STAT"},
    {"pm", "buj", Kind::Integer, kI32Min, kI32Max, "PM:BUJ"},
    {"pm", "bujLineRate", Kind::Integer, kI32Min, kI32Max, "PM:BUJ:LRAT"},
    {"am", "enabled", Kind::Boolean, 0, 1, "AM:STAT"},
    {"am", "depth", Kind::Integer, kI32Min, kI32Max, "AM:DEPT"},
    {"am", "rj", Kind::Integer, kI32Min, kI32Max, "AM:RJ"},
    {"buj", "amplitude", Kind::Integer, kI32Min, kI32Max, "BUJ"},
    {"buj", "pattern", Kind::Integer, 0, 4294967295.0, "BUJ:PATT"},
    {"", "clockMHz", Kind::Real, 20, 5500, "FREQ", " MHZ", true},
    {"", "tx1Power", Kind::Integer, 0, 31, "OUTP1:POW"},
    {"", "tx2Power", Kind::Integer, 0, 4096, "OUTP2:POW"},
    {"", "tx2Divider", Kind::Integer, 0, 15, "OUTP2:DIV"},
};

// The nested objects; "buj" also holds the PRBS pair and "calibration" the
// source with its path, which checkNames and the functions below know.
const char* const kGroups[] = {"fm", "pm", "am", "buj", "calibration"};

std::string pathOf(const std::string& group, const std::string& name) {
  return group.empty() ? name : group + "." + name;
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string rangeText(const Field& f) {
  if (f.kind == Kind::Real && f.exclusive) return "above " + number(f.min) + " and below " + number(f.max);
  return "from " + number(f.min) + " to " + number(f.max);
}

std::string checkedValue(const Field& f, const Json& value) {
  const std::string path = pathOf(f.group, f.name);
  if (f.kind == Kind::Boolean) {
    if (!value.is_boolean()) throw BadRequest(path + " must be true or false");
    return value.get<bool>() ? "ON" : "OFF";
  }
  const char* what = f.kind == Kind::Integer ? "an integer " : "a number ";
  if (!value.is_number()) throw BadRequest(path + " must be " + what + rangeText(f));
  const double v = value.get<double>();
  const bool inside = f.exclusive ? v > f.min && v < f.max : v >= f.min && v <= f.max;
  if (!std::isfinite(v) || (f.kind == Kind::Integer && v != std::floor(v)) || !inside) {
    throw BadRequest(path + " must be " + what + rangeText(f) + ", not " + value.dump());
  }
  return f.kind == Kind::Integer ? std::to_string(static_cast<int64_t>(v)) : number(v);
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

std::string quotedPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '\n' || c == '\r') throw BadRequest("calibration.path must be one line");
    out += c == '"' ? std::string("\"\"") : std::string(1, c);
  }
  return out + "\"";
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
  if (choice != "file") return SettingChange{"calibration", choice == "none" ? "CAL:SOUR NONE" : "CAL:SOUR BOARD"};
  return SettingChange{"calibration", "CAL:SOUR FILE," + quotedPath(path->get<std::string>())};
}

std::optional<SettingChange> prbsChange(const Json& body) {
  const Json* code = member(body, "buj", "prbs");
  const Json* flag = member(body, "buj", "prbsFlag");
  if (code == nullptr && flag == nullptr) return std::nullopt;
  if (code == nullptr || flag == nullptr) throw BadRequest("buj.prbs and buj.prbsFlag go together");
  const Field codeField{"buj", "prbs", Kind::Integer, kI32Min, kI32Max, ""};
  const Field flagField{"buj", "prbsFlag", Kind::Boolean, 0, 1, ""};
  return SettingChange{"buj.prbs", "BUJ:PRBS " + checkedValue(codeField, *code) + "," + checkedValue(flagField, *flag)};
}

}  // namespace

std::vector<SettingChange> parseSettings(const Json& body) {
  if (!body.is_object()) throw BadRequest("the body must be a JSON object of settings");
  checkNames(body, "");
  std::vector<SettingChange> changes;
  if (auto change = calibrationChange(body)) changes.push_back(std::move(*change));
  for (const Field& f : kFields) {
    if (const Json* value = member(body, f.group, f.name)) {
      changes.push_back({pathOf(f.group, f.name), std::string(f.header) + " " + checkedValue(f, *value) + f.unit});
    }
    if (std::string(f.group) == "buj" && std::string(f.name) == "pattern") {
      if (auto change = prbsChange(body)) changes.push_back(std::move(*change));
    }
  }
  if (changes.empty()) throw BadRequest("no setting given");
  return changes;
}

}  // namespace kestreld
