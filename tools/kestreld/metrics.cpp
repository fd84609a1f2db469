#include "metrics.h"

#include <charconv>
#include <functional>

#include "board_worker.h"
#include "status_hub.h"

namespace kestreld {

namespace {

// The shortest text that reads back as the same double: 0.528, not 0.52800000000000002.
std::string number(double value) {
  char text[40];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Label values are board names: escape what the format requires.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

class Writer {
 public:
  void family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const std::string& name, const std::string& labels, double value) {
    text_ += name + "{" + labels + "} " + number(value) + "\n";
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

using Reading = std::function<const Json*(const Json&)>;

// A gauge from the status JSON; boards without the reading have no sample.
void gauge(Writer& w, const std::vector<BoardWorker*>& boards, const StatusHub& hub, const char* name, const char* help,
           const std::vector<std::pair<std::string, Reading>>& series) {
  w.family(name, "gauge", help);
  for (BoardWorker* board : boards) {
    const Json status = hub.latest(board->name()).status;
    for (const auto& [extra, read] : series) {
      const Json* value = status.is_null() ? nullptr : read(status);
      if (value == nullptr || value->is_null()) continue;
      const double v = value->is_boolean() ? (value->get<bool>() ? 1.0 : 0.0) : value->get<double>();
      w.sample(name, "board=\"" + label(board->name()) + "\"" + extra, v);
    }
  }
}

Reading at(const Json::json_pointer& pointer) {
  return [pointer](const Json& status) { return status.contains(pointer) ? &status.at(pointer) : nullptr; };
}

void counters(Writer& w, const std::vector<BoardWorker*>& boards, const char* name, const char* help,
              uint64_t (BoardStats::*read)(Face) const) {
  w.family(name, "counter", help);
  for (BoardWorker* board : boards) {
    for (Face face : {Face::Scpi, Face::Http}) {
      w.sample(name, "board=\"" + label(board->name()) + "\",face=\"" + kFaceNames[static_cast<size_t>(face)] + "\"",
               static_cast<double>((board->stats().*read)(face)));
    }
  }
}

void sweepCounter(Writer& w, const std::vector<BoardWorker*>& boards, const char* name, const char* help,
                  uint64_t (BoardStats::*read)() const) {
  w.family(name, "counter", help);
  for (BoardWorker* board : boards) {
    w.sample(name, "board=\"" + label(board->name()) + "\"", static_cast<double>((board->stats().*read)()));
  }
}

void histogram(Writer& w, const std::vector<BoardWorker*>& boards) {
  const std::string name = "kestreld_board_job_duration_seconds";
  w.family(name.c_str(), "histogram", "Time the board's thread spent on one job (an SCPI line, an HTTP request or a status reading).");
  for (BoardWorker* board : boards) {
    const BoardStats& s = board->stats();
    const std::string who = "board=\"" + label(board->name()) + "\"";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < BoardStats::kBounds.size(); ++i) {
      cumulative += s.bucket(i);
      w.sample(name + "_bucket", who + ",le=\"" + number(BoardStats::kBounds[i]) + "\"",
               static_cast<double>(cumulative));
    }
    const auto count = static_cast<double>(s.count());
    w.sample(name + "_bucket", who + ",le=\"+Inf\"", count);
    w.sample(name + "_sum", who, s.sumSeconds());
    w.sample(name + "_count", who, count);
  }
}

}  // namespace

std::string prometheusText(const std::vector<BoardWorker*>& boards, const StatusHub& hub) {
  Writer w;
  w.family("kestreld_board_available", "gauge", "1 while the board answers, 0 while it is being reconnected.");
  for (BoardWorker* board : boards) {
    w.sample("kestreld_board_available", "board=\"" + label(board->name()) + "\"", board->connected() ? 1 : 0);
  }
  gauge(w, boards, hub, "kestreld_board_temperature_raw", "Raw reading of the board's temperature sensors.",
        {{",sensor=\"1\"", at("/temperatures/0"_json_pointer)}, {",sensor=\"2\"", at("/temperatures/1"_json_pointer)}});
  gauge(w, boards, hub, "kestreld_vco_locked", "1 when the synthesizer's VCO is locked.",
        {{"", at("/vco/locked"_json_pointer)}});
  gauge(w, boards, hub, "kestreld_vco_tuning_volts", "The VCO's tuning voltage.",
        {{"", at("/vco/volts"_json_pointer)}});
  counters(w, boards, "kestreld_requests_total", "Requests served, by face (scpi: program messages; http: requests).",
           &BoardStats::requests);
  counters(w, boards, "kestreld_request_errors_total", "Requests that failed, by face.", &BoardStats::errors);
  sweepCounter(w, boards, "kestreld_sweep_points_total", "Points of frequency lists and sweeps uploaded.",
               &BoardStats::sweepPoints);
  sweepCounter(w, boards, "kestreld_sweep_late_points_total",
               "Points of lists and sweeps whose upload took longer than their dwell.", &BoardStats::lateSweepPoints);
  histogram(w, boards);
  return w.take();
}

}  // namespace kestreld
