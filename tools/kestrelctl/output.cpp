#include "output.h"

#include <algorithm>
#include <cstdio>

namespace kestrelctl {

namespace {
constexpr const char* kSimulatedMarker = "  [simulated board]";

void writeLine(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
}
}  // namespace

void Result::table(const std::vector<std::pair<std::string, std::string>>& rows) {
  size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  for (const auto& [label, value] : rows) line(label + std::string(width - label.size() + 2, ' ') + value);
}

std::string Output::marked(const std::string& text) const {
  return simulated_ ? text + kSimulatedMarker : text;
}

void Output::success(const std::string& command, const Result& result, int lineNumber, bool ok) const {
  if (json_) {
    Json doc = Json::object();
    doc["command"] = command;
    if (lineNumber > 0) doc["line"] = lineNumber;
    doc["ok"] = ok;
    doc["simulated"] = simulated_;
    if (!ok) doc["status"] = result.exitStatus;
    for (const auto& [key, value] : result.data.items()) doc[key] = value;
    writeLine(stdout, doc.dump(-1, ' ', false, Json::error_handler_t::replace));
  } else {
    for (const auto& text : result.lines) writeLine(stdout, marked(text));
  }
  std::fflush(stdout);
}

void Output::failure(const std::string& command, int status, const std::string& message, const Json& details,
                     int lineNumber) const {
  std::fflush(stdout);
  const std::string where = lineNumber > 0 ? "line " + std::to_string(lineNumber) + ": " : "";
  writeLine(stderr, marked("kestrelctl: " + where + message));
  std::fflush(stderr);
  if (json_) {
    Json doc = Json::object();
    doc["command"] = command;
    if (lineNumber > 0) doc["line"] = lineNumber;
    doc["ok"] = false;
    doc["simulated"] = simulated_;
    doc["status"] = status;
    for (const auto& [key, value] : details.items()) doc[key] = value;
    doc["error"] = message;
    writeLine(stdout, doc.dump(-1, ' ', false, Json::error_handler_t::replace));
    std::fflush(stdout);
  }
}

void Output::error(const std::string& message) const {
  std::fflush(stdout);
  writeLine(stderr, marked("kestrelctl: " + message));
  std::fflush(stderr);
}

void Output::usageError(const std::string& command, const std::string& message) const {
  if (json_) {
    failure(command, kExitUsage, message, Json::object());
  } else {
    error(message);
  }
}

void Output::note(const std::string& text) const {
  if (json_) return;
  writeLine(stdout, marked(text));
  std::fflush(stdout);
}

std::string hex(uint64_t value, int digits) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace kestrelctl
