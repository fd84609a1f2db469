#include "sweep_request.h"

#include "settings_request.h"

namespace kestreld {

namespace {

constexpr double kHzPerMHz = 1e6;

double number(const Json& body, const char* field, const Range& range, double scale = 1) {
  const Json& value = body.at(field);
  if (!value.is_number()) throw BadRequest(std::string(field) + " must be a number");
  const double v = value.get<double>() / scale;
  if (!range.contains(v)) {
    throw BadRequest(std::string(field) + " must be " + (scale == 1 ? range.text() : "a clock in the range of FREQ"));
  }
  return v;
}

// A list of at most sweep::kMaxPoints numbers, each in its range.
std::vector<double> numbers(const Json& body, const char* field, const Range& range, double scale = 1) {
  const Json& list = body.at(field);
  if (!list.is_array() || list.empty() || list.size() > sweep::kMaxPoints) {
    throw BadRequest(std::string(field) + " must be a list of 1 to " + std::to_string(sweep::kMaxPoints) + " numbers");
  }
  std::vector<double> values;
  for (const Json& item : list) {
    if (!item.is_number()) throw BadRequest(std::string(field) + " must hold numbers only");
    const double v = item.get<double>() / scale;
    if (!range.contains(v)) throw BadRequest(std::string(field) + " holds a value out of its range");
    values.push_back(v);
  }
  return values;
}

template <typename Enum>
Enum choice(const Json& body, const char* field, std::initializer_list<std::pair<const char*, Enum>> choices) {
  const Json& value = body.at(field);
  for (const auto& [name, which] : choices) {
    if (value.is_string() && value.get<std::string>() == name) return which;
  }
  std::string names;
  for (const auto& [name, which] : choices) names += (names.empty() ? "" : ", ") + std::string(name);
  throw BadRequest(std::string(field) + " must be one of " + names);
}

int64_t count(const Json& body) {
  if (body.at("count") == "infinite") return sweep::kInfinite;
  const double n = number(body, "count", sweep::kCount);
  if (n != static_cast<double>(static_cast<int64_t>(n))) throw BadRequest("count must be a whole number or \"infinite\"");
  return static_cast<int64_t>(n);
}

// Each field the body holds, over the current settings.
SweepSettings settingsFrom(const Json& body, SweepSettings s) {
  if (body.contains("mode")) {
    s.mode = choice<FrequencyMode>(body, "mode",
                                   {{"cw", FrequencyMode::Cw}, {"list", FrequencyMode::List}, {"sweep", FrequencyMode::Sweep}});
  }
  if (body.contains("listHz")) s.listMHz = numbers(body, "listHz", facts::kClockMHz, kHzPerMHz);
  if (body.contains("listDwellSeconds")) s.listDwellSeconds = numbers(body, "listDwellSeconds", sweep::kDwellSeconds);
  if (body.contains("startHz")) s.startMHz = number(body, "startHz", facts::kClockMHz, kHzPerMHz);
  if (body.contains("stopHz")) s.stopMHz = number(body, "stopHz", facts::kClockMHz, kHzPerMHz);
  if (body.contains("points")) s.points = static_cast<int64_t>(number(body, "points", sweep::kPoints));
  if (body.contains("dwellSeconds")) s.dwellSeconds = number(body, "dwellSeconds", sweep::kDwellSeconds);
  if (body.contains("spacing")) {
    s.spacing = choice<Spacing>(body, "spacing", {{"linear", Spacing::Linear}, {"logarithmic", Spacing::Logarithmic}});
  }
  if (body.contains("direction")) {
    s.direction = choice<Direction>(body, "direction", {{"up", Direction::Up}, {"down", Direction::Down}});
  }
  if (body.contains("count")) s.count = count(body);
  if (body.contains("trigger")) {
    s.trigger =
        choice<TriggerSource>(body, "trigger", {{"immediate", TriggerSource::Immediate}, {"bus", TriggerSource::Bus}});
  }
  return s;
}

constexpr const char* kFields[] = {"mode",   "listHz",       "listDwellSeconds", "startHz", "stopHz", "points",
                                   "dwellSeconds", "spacing", "direction",        "count",   "trigger", "action"};

bool isField(const std::string& key) {
  for (const char* field : kFields) {
    if (key == field) return true;
  }
  return false;
}

const char* stateName(SweepRunner::State state) {
  switch (state) {
    case SweepRunner::State::Armed:
      return "armed";
    case SweepRunner::State::Running:
      return "running";
    case SweepRunner::State::Idle:
      break;
  }
  return "idle";
}

Json hertz(const std::vector<double>& mhz) {
  Json list = Json::array();
  for (double v : mhz) list.push_back(v * kHzPerMHz);
  return list;
}

}  // namespace

SweepRequest parseSweepRequest(const Json& body) {
  if (!body.is_object()) throw BadRequest("the body must be a JSON object");
  SweepRequest request;
  for (const auto& [key, value] : body.items()) {
    if (!isField(key)) throw BadRequest("there is no field " + key);
    if (key != "action") request.fields[key] = value;
  }
  settingsFrom(request.fields, SweepSettings{});  // every field checked before the board's thread sees it
  if (body.contains("action")) {
    request.action = choice<SweepAction>(
        body, "action", {{"start", SweepAction::Start}, {"trigger", SweepAction::Trigger}, {"abort", SweepAction::Abort}});
  }
  return request;
}

void applySweepRequest(SweepRunner& runner, const SweepRequest& request) {
  if (request.action == SweepAction::Abort) runner.abort();
  if (!request.fields.empty()) {
    const SweepSettings wanted = settingsFrom(request.fields, runner.settings());
    runner.change([&](SweepSettings& s) {
      const FrequencyMode mode = s.mode;
      s = wanted;
      s.mode = mode;  // through setMode: CW brings the clock back
    });
    if (wanted.mode != runner.settings().mode) runner.setMode(wanted.mode);
  }
  if (request.action == SweepAction::Start) runner.initiate({});
  if (request.action == SweepAction::Trigger) runner.trigger();
}

Json sweepJson(const SweepRunner& runner) {
  const SweepSettings& s = runner.settings();
  const char* modes[] = {"cw", "list", "sweep"};
  return {{"state", stateName(runner.state())},
          {"index", runner.index()},
          {"mode", modes[static_cast<int>(s.mode)]},
          {"listHz", hertz(s.listMHz)},
          {"listDwellSeconds", s.listDwellSeconds},
          {"startHz", s.startMHz * kHzPerMHz},
          {"stopHz", s.stopMHz * kHzPerMHz},
          {"points", s.points},
          {"dwellSeconds", s.dwellSeconds},
          {"spacing", s.spacing == Spacing::Linear ? "linear" : "logarithmic"},
          {"direction", s.direction == Direction::Up ? "up" : "down"},
          {"count", s.count == sweep::kInfinite ? Json("infinite") : Json(s.count)},
          {"trigger", s.trigger == TriggerSource::Immediate ? "immediate" : "bus"},
          {"continuous", s.continuous}};
}

}  // namespace kestreld
