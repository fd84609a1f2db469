// The host-side trace: one line per frame sent and per answer (or failure),
// decoded with the frame codec, so that what a real board was asked and what
// it said can be read without a capture. Off unless KESTREL_TRACE is set.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "protocol/frame_codec.h"

namespace kestrel {

class ExchangeTrace {
 public:
  // "1" traces to standard error, anything else names a file to append to.
  // Null for an empty target, or when the file cannot be opened (said once
  // on standard error).
  static std::unique_ptr<ExchangeTrace> open(const std::string& target);
  ~ExchangeTrace();
  ExchangeTrace(const ExchangeTrace&) = delete;
  ExchangeTrace& operator=(const ExchangeTrace&) = delete;

  void connected(const char* address, uint16_t port, platform::SocketError result);
  void staleBytesDropped(int bytes);
  // A remark on the connection (the answer shape learned, ...).
  void note(const std::string& text);
  // A line a remote instance sent to kestreld ("->") or read back ("<-").
  void scpiLine(const char* direction, const std::string& text);
  using Clock = std::chrono::steady_clock;
  // A frame that went out, and when (for the answer's timing).
  Clock::time_point sent(const protocol::Frame& frame);
  // A frame that never left: the connection was already dropped.
  void notSent(const protocol::Frame& frame, platform::SocketError cause);
  // The answer to a frame sent at sentAt, or why there is none (error not None).
  void received(const protocol::Command& sent, Clock::time_point sentAt, const uint8_t* answer, int bytes,
                platform::SocketError error);

 private:
  ExchangeTrace(std::FILE* out, bool ownsFile) : out_(out), ownsFile_(ownsFile) {}
  void line(const char* direction, const std::string& text);

  std::FILE* out_;
  bool ownsFile_;
  std::string peer_ = "-";
};

}  // namespace kestrel
