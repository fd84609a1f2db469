// The link of a remote instance: one TCP connection to the SCPI port kestreld
// serves a board on, lines out and lines back. Like the board link it holds
// every wait to one deadline, drops a connection whose stream can no longer
// be trusted (later calls fail at once), and traces what it sends and reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "link/exchange_trace.h"
#include "link/link_settings.h"
#include "platform/socket.h"

namespace kestrel {

// "kestreld://HOST[:PORT]": the daemon's host (a name or a dotted IPv4
// address) and the SCPI port of the board (5025 unless given).
struct RemoteAddress {
  std::string host;
  uint16_t port = 0;
};
inline constexpr std::string_view kRemoteScheme = "kestreld://";
inline constexpr uint16_t kDefaultScpiPort = 5025;

// True when `text` starts with the scheme; *address is then filled, and
// false is returned for a malformed rest (no host, a bad port).
bool isRemoteAddress(std::string_view text);
bool parseRemoteAddress(std::string_view text, RemoteAddress* address);

class ScpiLink {
 public:
  explicit ScpiLink(const LinkSettings& settings);
  ~ScpiLink();
  ScpiLink(const ScpiLink&) = delete;
  ScpiLink& operator=(const ScpiLink&) = delete;

  bool open(const RemoteAddress& address);
  bool close();
  bool usable() const { return sock_ != platform::kInvalidSocket && !broken_; }

  // Sends `lines` (each ending in a newline) in one write, after dropping
  // whatever the daemon sent since the last answer was read. False, with the
  // connection dropped, when they could not all go out before the deadline
  // (a monotonicMs() value).
  bool send(const std::string& lines, int64_t deadlineMs);
  // The next answer line, without its newline, before the deadline; false,
  // with the connection dropped, when none came whole.
  bool readAnswer(int64_t deadlineMs, std::string* line);
  // For the caller that found an answer it cannot use.
  bool failAnswer() { return fail(platform::SocketError::BadAnswer); }

  platform::SocketError lastFailure() const { return failure_; }
  // Failed exchanges over the link's life, as the board link counts them.
  uint64_t failedExchanges() const { return failed_; }

 private:
  bool fail(platform::SocketError cause);
  bool readLine(int64_t deadlineMs, std::string* line);
  void release();

  static constexpr size_t kLongestAnswer = 64 * 1024;

  int connectTimeoutMs_;
  std::unique_ptr<ExchangeTrace> trace_;
  platform::SocketHandle sock_ = platform::kInvalidSocket;
  bool broken_ = false;
  platform::SocketError failure_ = platform::SocketError::None;
  uint64_t failed_ = 0;
  std::string pending_;  // received bytes past the last line taken
};

}  // namespace kestrel
