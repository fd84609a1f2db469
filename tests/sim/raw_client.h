// A bare host for talking to the emulator in tests: builds the 256-byte frames
// by hand and reads answers byte-exact, so the tests see exactly what a host
// would receive, without the library in between.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "protocol/board_protocol.h"
#include "protocol/frame_codec.h"

namespace kestrel::sim::testing {

using Frame = protocol::Frame;

// Frames built by the same codec the library uses.
inline Frame registerFrame(uint16_t page, uint16_t reg, bool write, uint16_t value = 0) {
  Frame f{};
  if (write) {
    protocol::encodeRegisterWrite(f, page, reg, value);
  } else {
    protocol::encodeRegisterRead(f, page, reg);
  }
  return f;
}

inline Frame blockFrame(uint32_t address, bool read, const std::vector<uint8_t>& data = {}) {
  Frame f{};
  if (read) {
    protocol::encodeBlockRead(f, 0, address);
  } else {
    std::array<uint8_t, protocol::kBlockSize> block{};
    std::copy_n(data.begin(), std::min(data.size(), block.size()), block.begin());
    protocol::encodeBlockWrite(f, 0, address, block.data());
  }
  return f;
}

class RawClient {
 public:
  static constexpr int kWaitMs = 3000;

  explicit RawClient(const std::string& address, uint16_t port = protocol::kBoardPort) {
    platform::startSockets();
    uint32_t peer = 0;
    if (!platform::parseIPv4(address.c_str(), &peer)) return;
    socket_ = platform::openTcpSocket();
    if (socket_ == platform::kInvalidSocket) return;
    connected_ = platform::connectWithin(socket_, peer, port, protocol::kConnectTimeoutMs) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }

  void close() {
    if (socket_ != platform::kInvalidSocket) platform::closeSocket(socket_);
    socket_ = platform::kInvalidSocket;
    connected_ = false;
  }

  bool send(const Frame& f) { return sendBytes(f.data(), static_cast<int>(f.size())); }

  bool sendBytes(const uint8_t* data, int length) {
    return platform::sendAllBefore(socket_, data, length, platform::monotonicMs() + kWaitMs) == length;
  }

  // Collects exactly `count` bytes, or what arrived before a close, an error
  // or the time-out. `receives` counts the receives it took (a split answer
  // takes several).
  std::vector<uint8_t> receive(int count, int timeoutMs = kWaitMs, int* receives = nullptr) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    const int64_t deadline = platform::monotonicMs() + timeoutMs;
    int got = 0;
    while (got < count) {
      const int n = platform::receiveBefore(socket_, bytes.data() + got, count - got, deadline);
      if (n <= 0) break;
      got += n;
      if (receives != nullptr) ++*receives;
    }
    bytes.resize(static_cast<size_t>(got));
    return bytes;
  }

  // One receive of what is waiting, or arrives within timeoutMs; empty on
  // time-out, close or error.
  std::vector<uint8_t> receiveWaiting(int timeoutMs) {
    std::vector<uint8_t> bytes(protocol::kResponseCapacity);
    const int n = platform::receiveBefore(socket_, bytes.data(), static_cast<int>(bytes.size()),
                                          platform::monotonicMs() + timeoutMs);
    bytes.resize(static_cast<size_t>(n > 0 ? n : 0));
    return bytes;
  }

  // One receive, as the library makes it: bytes, 0 on close, -1 on error or time-out.
  int receiveOnce(int timeoutMs = kWaitMs) {
    uint8_t buffer[protocol::kResponseCapacity];
    return platform::receiveBefore(socket_, buffer, sizeof buffer, platform::monotonicMs() + timeoutMs);
  }

  std::vector<uint8_t> exchange(const Frame& f, int answerBytes) {
    if (!send(f)) return {};
    return receive(answerBytes);
  }

  bool writeRegister(uint16_t page, uint16_t reg, uint16_t value) {
    return exchange(registerFrame(page, reg, true, value), protocol::kRegisterAnswerSize).size() ==
           static_cast<size_t>(protocol::kRegisterAnswerSize);
  }

  // The register's value, or -1 when no whole answer came.
  int readRegister(uint16_t page, uint16_t reg) {
    const auto a = exchange(registerFrame(page, reg, false), protocol::kRegisterAnswerSize);
    if (a.size() != static_cast<size_t>(protocol::kRegisterAnswerSize)) return -1;
    return a[protocol::kRespValueLow] | (a[protocol::kRespValueHigh] << 8);
  }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  bool connected_ = false;
};

}  // namespace kestrel::sim::testing
