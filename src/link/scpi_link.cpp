#include "link/scpi_link.h"

namespace kestrel {

using platform::SocketError;

ScpiLink::ScpiLink(const LinkSettings& settings)
    : connectTimeoutMs_(settings.connectTimeoutMs), trace_(ExchangeTrace::open(settings.trace)) {}

ScpiLink::~ScpiLink() { release(); }

void ScpiLink::release() {
  if (sock_ != platform::kInvalidSocket) platform::closeSocket(sock_);
  sock_ = platform::kInvalidSocket;
  pending_.clear();
}

bool ScpiLink::fail(SocketError cause) {
  failure_ = cause;
  ++failed_;
  // A late answer would otherwise be read as the answer to the next line.
  if (sock_ != platform::kInvalidSocket && !broken_) platform::shutdownSocket(sock_);
  broken_ = true;
  pending_.clear();
  return false;
}

bool ScpiLink::open(const RemoteAddress& address) {
  platform::startSockets();
  release();
  broken_ = false;
  uint32_t peer = 0;
  SocketError outcome = SocketError::None;
  if (!platform::resolveIPv4(address.host.c_str(), &peer)) {
    outcome = SocketError::BadAddress;
  } else if ((sock_ = platform::openTcpSocket()) == platform::kInvalidSocket) {
    outcome = platform::systemError();
  } else {
    outcome = platform::connectTimed(sock_, peer, address.port, connectTimeoutMs_);
  }
  if (trace_) trace_->connected(("kestreld://" + address.host).c_str(), address.port, outcome);
  failure_ = outcome;
  if (outcome == SocketError::None) return true;
  release();
  return false;
}

bool ScpiLink::close() {
  if (sock_ == platform::kInvalidSocket) return false;
  release();
  broken_ = false;
  return true;
}

bool ScpiLink::readLine(int64_t deadlineMs, std::string* line) {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      pending_.erase(0, end + 1);
      return true;
    }
    if (pending_.size() > kLongestAnswer) return fail(SocketError::BadAnswer);
    char buffer[4096];
    const int n = platform::receiveBefore(sock_, reinterpret_cast<uint8_t*>(buffer), sizeof buffer, deadlineMs);
    if (n == 0) return fail(SocketError::Closed);
    if (n < 0) return fail(platform::monotonicMs() >= deadlineMs ? SocketError::TimedOut : platform::systemError());
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool ScpiLink::send(const std::string& lines, int64_t deadlineMs) {
  if (!usable()) {
    ++failed_;
    if (trace_) trace_->scpiLine("->", lines.substr(0, lines.find('\n')) + " NOT SENT, connection dropped");
    return false;
  }
  // Whatever the daemon sent after the last answer is nobody's answer.
  platform::discardPending(sock_);
  pending_.clear();
  if (trace_) {
    for (size_t at = 0, end = 0; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
      trace_->scpiLine("->", lines.substr(at, end - at));
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(lines.data());
  if (platform::sendAllBefore(sock_, bytes, static_cast<int>(lines.size()), deadlineMs) ==
      static_cast<int>(lines.size()))
    return true;
  fail(platform::monotonicMs() >= deadlineMs ? SocketError::TimedOut : SocketError::Reset);
  if (trace_) trace_->scpiLine("->", std::string("FAILED, ") + platform::describe(failure_));
  return false;
}

bool ScpiLink::readAnswer(int64_t deadlineMs, std::string* line) {
  if (!usable()) return fail(failure_ == SocketError::None ? SocketError::Closed : failure_);
  if (!readLine(deadlineMs, line)) {
    if (trace_) trace_->scpiLine("<-", std::string("FAILED, ") + platform::describe(failure_));
    return false;
  }
  if (trace_) trace_->scpiLine("<-", *line);
  failure_ = SocketError::None;
  return true;
}

}  // namespace kestrel
