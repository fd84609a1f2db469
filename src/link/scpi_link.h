// The link of a remote instance: one TCP connection to the SCPI port kestreld
// serves a board on, lines out and lines back. Like the board link it holds
// every wait to one deadline, drops a connection whose stream can no longer
// be trusted (later calls fail at once), and traces what it sends and reads.
#pragma once

#include <charconv>
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

// Inline, so that the tools which speak to the daemon themselves (kestrelctl's
// sweeps) read an address exactly as the library does without linking it.
inline bool isRemoteAddress(std::string_view text) { return text.substr(0, kRemoteScheme.size()) == kRemoteScheme; }

// True when `text` is the scheme and a well-formed rest; *address is then
// filled. False for another scheme or a malformed rest (no host, a bad port).
inline bool parseRemoteAddress(std::string_view text, RemoteAddress* address) {
  if (!isRemoteAddress(text)) return false;
  text.remove_prefix(kRemoteScheme.size());
  if (!text.empty() && text.back() == '/') text.remove_suffix(1);
  RemoteAddress parsed;
  parsed.port = kDefaultScpiPort;
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
      return false;
    parsed.port = static_cast<uint16_t>(value);
    text = text.substr(0, colon);
  }
  if (text.empty() || text.find_first_of("/@ ") != std::string_view::npos) return false;
  parsed.host = std::string(text);
  *address = parsed;
  return true;
}

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
