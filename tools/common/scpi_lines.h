// Lines to and from kestreld's SCPI port, for a tool that speaks to the daemon
// itself rather than through the library (kestrelctl's sweeps, which run in
// the daemon and have no library call). A plain blocking TCP connection over
// src/platform's primitives; every exchange waits no longer than its deadline.
// Header-only, so that a tool links nothing of the library's inside.
#pragma once

#include <stdexcept>
#include <string>

#include "link/scpi_link.h"
#include "platform/socket.h"

namespace kestrel::tools {

// The daemon could not be reached, or its connection failed or went quiet.
struct DaemonUnreachable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ScpiLines {
 public:
  ScpiLines(const RemoteAddress& address, int timeoutMs) : where_(address.host + ":" + std::to_string(address.port)) {
    platform::startSockets();
    uint32_t ip = 0;
    if (!platform::resolveIPv4(address.host.c_str(), &ip)) fail("the host has no IPv4 address");
    socket_ = platform::openTcpSocket();
    if (socket_ == platform::kInvalidSocket) fail("no socket could be opened");
    const platform::SocketError error = platform::connectTimed(socket_, ip, address.port, timeoutMs);
    if (error != platform::SocketError::None) fail(platform::describe(error));
  }
  ~ScpiLines() {
    if (socket_ != platform::kInvalidSocket) platform::closeSocket(socket_);
  }
  ScpiLines(const ScpiLines&) = delete;
  ScpiLines& operator=(const ScpiLines&) = delete;

  void send(const std::string& line, int timeoutMs) {
    const std::string text = line + "\n";
    const int64_t deadline = platform::monotonicMs() + timeoutMs;
    const int sent = platform::sendAllBefore(socket_, reinterpret_cast<const uint8_t*>(text.data()),
                                             static_cast<int>(text.size()), deadline);
    if (sent != static_cast<int>(text.size())) fail(platform::describe(platform::systemError()));
  }

  // The answer to a line that ends in a query, without its newline.
  std::string query(const std::string& line, int timeoutMs) {
    send(line, timeoutMs);
    return readLine(platform::monotonicMs() + timeoutMs);
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw DaemonUnreachable("kestreld at " + where_ + ": " + why);
  }

  std::string readLine(int64_t deadlineMs) {
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
      uint8_t buffer[4096];
      const int n = platform::receiveBefore(socket_, buffer, sizeof buffer, deadlineMs);
      if (n == 0) fail("the daemon closed the connection");
      if (n < 0)
        fail(platform::monotonicMs() >= deadlineMs ? "no answer in time" : platform::describe(platform::systemError()));
      pending_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
  }

  std::string where_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  std::string pending_;
};

}  // namespace kestrel::tools
