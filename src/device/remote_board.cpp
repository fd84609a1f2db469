#include "device/remote_board.h"

#include <charconv>
#include <cstdio>

#include "platform/socket.h"
#include "protocol/board_protocol.h"

namespace kestrel {

namespace {

// SCPI errors that mean the arguments, not the board, were the problem.
constexpr int kDataErrors[] = {-104, -108, -109, -222, -224};

std::vector<std::string> splitFields(std::string_view line) {
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    const size_t comma = line.find(',', at);
    fields.emplace_back(line.substr(at, comma - at));
    if (comma == std::string_view::npos) return fields;
    at = comma + 1;
  }
}

bool parseStatus(std::string_view text, Status* status) {
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < code(Status::Ok) ||
      value > code(Status::CalibrationSourceSelected))
    return false;
  *status = static_cast<Status>(value);
  return true;
}

}  // namespace

RemoteArgument::RemoteArgument(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);  // read back to the same double
  text_ = text;
}

RemoteBoard::RemoteBoard(const LinkSettings& settings)
    : link_(settings), callTimeoutMs_(settings.exchangeTimeoutMs + protocol::kDaemonLineBudgetMs) {}

Status RemoteBoard::connect(const RemoteAddress& address) {
  if (!link_.open(address)) return Status::NotConnected;
  const int64_t deadline = platform::monotonicMs() + callTimeoutMs_;
  std::string identity, connected;
  if (!link_.send("*IDN?\nDIAGnostic:CONNected?\n", deadline) || !link_.readAnswer(deadline, &identity) ||
      !link_.readAnswer(deadline, &connected))
    return Status::NotConnected;
  if (identity.rfind("Kestrel,", 0) != 0 || connected != "1") {
    link_.close();
    return Status::NotConnected;
  }
  return Status::Ok;
}

Status RemoteBoard::disconnect() { return link_.close() ? Status::Ok : Status::NotConnected; }

Status RemoteBoard::statusOfError(std::string_view errorLine) {
  int number = 0;
  std::from_chars(errorLine.data(), errorLine.data() + errorLine.size(), number);
  for (int data : kDataErrors)
    if (number == data) return Status::OutOfRange;
  // A lost board, a full queue, an unknown call: the call did not happen.
  return Status::Failed;
}

Status RemoteBoard::call(std::string_view name, const std::vector<RemoteArgument>& arguments,
                         std::vector<std::string>* outputs) {
  std::string line = "DIAGnostic:CALL? " + std::string(name);
  for (const RemoteArgument& argument : arguments) line += "," + argument.text();
  // The error queue after it: when the call cannot run, its error is the
  // only answer, and no wait for an answer that never comes.
  line += "\nSYSTem:ERRor?\n";
  const int64_t deadline = platform::monotonicMs() + callTimeoutMs_;
  std::string answer;
  if (!link_.send(line, deadline) || !link_.readAnswer(deadline, &answer)) return Status::Failed;
  if (answer.find('"') != std::string::npos) return statusOfError(answer);
  std::vector<std::string> fields = splitFields(answer);
  Status status = Status::Failed;
  std::string errors;
  if (!parseStatus(fields.front(), &status) || !link_.readAnswer(deadline, &errors)) {
    link_.failAnswer();
    return Status::Failed;
  }
  if (outputs != nullptr) outputs->assign(fields.begin() + 1, fields.end());
  return status;
}

}  // namespace kestrel
