// What a user may change about the link without recompiling: the board's TCP
// port, the two time limits, pipelining and the trace, read from the
// environment when an instance is created.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/board_protocol.h"

namespace kestrel {

struct LinkSettings {
  uint16_t port = protocol::kBoardPort;
  int connectTimeoutMs = protocol::kConnectTimeoutMs;
  int exchangeTimeoutMs = protocol::kExchangeTimeoutMs;
  // Whether frames may go out ahead of earlier answers, with a board that
  // takes them so.
  bool pipeline = true;
  // Empty: no trace; "1": standard error; anything else: a file to append to.
  std::string trace;
};

// The variables, for messages and documentation.
inline constexpr const char* kPortVariable = "KESTREL_PORT";
inline constexpr const char* kConnectTimeoutVariable = "KESTREL_CONNECT_TIMEOUT_MS";
inline constexpr const char* kExchangeTimeoutVariable = "KESTREL_EXCHANGE_TIMEOUT_MS";
inline constexpr const char* kTraceVariable = "KESTREL_TRACE";
inline constexpr const char* kPipelineVariable = "KESTREL_PIPELINE";

// A getter for one variable: null when it is not set.
using EnvironmentLookup = const char* (*)(const char* name);

// The settings from the environment. A value that is not a whole number in
// range is ignored, with one line on standard error saying so.
LinkSettings linkSettingsFromEnvironment(EnvironmentLookup lookup);
LinkSettings linkSettingsFromEnvironment();

}  // namespace kestrel
