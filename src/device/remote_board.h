// A board that kestreld owns, reached through the SCPI port it serves the
// board on. Each export of a remote instance is one line to the daemon
// (DIAGnostic:CALL?), which runs the same export on its own instance and
// host-side state and answers its status and outputs; the argument checks
// stay in the exports, before either kind of board is asked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/scpi_link.h"
#include "protocol/status.h"

namespace kestrel {

// One argument of a remote call, as the daemon reads it back exactly.
class RemoteArgument {
 public:
  RemoteArgument(int32_t value) : text_(std::to_string(value)) {}
  RemoteArgument(uint32_t value) : text_(std::to_string(value)) {}
  RemoteArgument(double value);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class RemoteBoard {
 public:
  explicit RemoteBoard(const LinkSettings& settings);

  // Opens the connection and asks whether the daemon has its board:
  // NotConnected when the daemon cannot be reached, is not kestreld, or has
  // lost its board.
  Status connect(const RemoteAddress& address);
  Status disconnect();

  // Runs export `name` (without its vxclk_ prefix) on the daemon; *outputs
  // gets what it gave back, in order. Failed when the daemon could not be
  // asked or answered nothing usable (the connection is dropped then).
  Status call(std::string_view name, const std::vector<RemoteArgument>& arguments,
              std::vector<std::string>* outputs = nullptr);

  uint64_t failedCalls() const { return link_.failedExchanges(); }

 private:
  // What an error the daemon queued instead of answering means to a caller.
  static Status statusOfError(std::string_view errorLine);

  ScpiLink link_;
  int callTimeoutMs_;
};

}  // namespace kestrel
