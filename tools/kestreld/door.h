// The door before the room: who may come in, and how much each may use. Both
// faces ask it on accept, before a byte of the client is read (its address,
// and its share of the connections), and the HTTP face asks it again about a
// request's head (Host, Origin, token, body size) before the body is read.
// Pure decisions over plain data, so the tests and the fuzzers need no network.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access_list.h"

namespace kestreld {

struct DoorLimits {
  size_t maxConnections = 256;          // over every face together
  size_t maxConnectionsPerClient = 32;  // from one address
};

// What the HTTP face allows one request; the SCPI face has its own in ScpiServer.
struct HttpLimits {
  static constexpr size_t kMaxHead = 16 * 1024;  // request line and headers together
  static constexpr size_t kMaxHeaders = 64;
  static constexpr size_t kMaxBody = 64 * 1024;
  static constexpr std::chrono::seconds kRequestTime{10};  // from the first byte to the end of the body
  static constexpr std::chrono::seconds kIdle{5};          // between requests of one connection
  static constexpr std::chrono::seconds kWrite{5};         // a client that reads nothing of its answer
  static constexpr size_t kRequestsPerConnection = 100;
};

// Why a connection was turned away at the door.
enum class Refused { None, Address, ClientFull, DaemonFull };

class Door {
 public:
  // A place inside, given back when the ticket goes (the connection closed).
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&& other) noexcept;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket();

   private:
    friend class Door;
    Ticket(Door* door, std::string client) : door_(door), client_(std::move(client)) {}
    void release();
    Door* door_ = nullptr;
    std::string client_;
  };

  Door(AccessList access, DoorLimits limits) : access_(std::move(access)), limits_(limits) {}
  Door(const Door&) = delete;
  Door& operator=(const Door&) = delete;

  // On accept: a ticket when `peer` (its address as text, IPv4 or IPv6) may
  // come in, else why not. Any thread.
  Refused admit(const std::string& peer, Ticket& ticket);
  size_t inside() const;
  const DoorLimits& limits() const { return limits_; }

 private:
  void leave(const std::string& client);

  AccessList access_;
  DoorLimits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, size_t> perClient_;
  size_t inside_ = 0;
};

// "192.168.1.7" from "::ffff:192.168.1.7"; other addresses unchanged.
std::string plainAddress(const std::string& address);
// Whether the networks admit the address (IPv6 only when no --allow was given).
bool addressAllowed(const AccessList& access, const std::string& address);

// ---- one HTTP request's head --------------------------------------------------

struct HttpHead {
  std::string method;
  std::string host;  // the Host header, "" when absent
  std::optional<std::string> origin;
  std::string contentType;
  std::string authorization;
  std::optional<std::string> contentLength;
  bool transferEncoding = false;
  size_t headerCount = 0;
  std::string localAddress;  // the address the client reached us on
};

struct Refusal {
  int status;
  std::string sentence;
};

class HttpRules {
 public:
  // `names`: the host names the daemon answers to besides its addresses
  // (localhost, this machine's name, --server-name); `port`: the HTTP port.
  HttpRules(std::vector<std::string> names, uint16_t port, std::string token);

  // Who asks: a Host that names this daemon, an Origin (when given) that is
  // its own, a head of bounded size. Refused first, before anything else is said.
  std::optional<Refusal> checkCaller(const HttpHead& head) const;
  // What is asked: a body of bounded, declared size; for a change, the token
  // and a JSON body. Both before the body is read.
  std::optional<Refusal> checkRequest(const HttpHead& head) const;
  // Whether the request changes the board (and so needs the token).
  static bool changesState(const std::string& method);
  const std::string& token() const { return token_; }

 private:
  bool hostAllowed(const std::string& host, const std::string& localAddress) const;
  std::optional<Refusal> checkBody(const HttpHead& head) const;
  std::optional<Refusal> checkChange(const HttpHead& head) const;

  std::vector<std::string> names_;
  uint16_t port_;
  std::string token_;
};

// Equal strings in a time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

// Whether a line is the start of an HTTP request (or one of its header
// lines): such a line on the SCPI port comes from a browser or a proxy, and
// the connection is closed before any of it runs.
bool looksLikeHttp(std::string_view line);

}  // namespace kestreld
