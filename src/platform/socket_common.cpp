// The deadline loops, once for every platform, over the primitives of
// socket_posix.cpp or socket_win32.cpp.
#include <chrono>

#include "platform/socket.h"

namespace kestrel::platform {
namespace {

int remainingMs(int64_t deadlineMs) {
  const int64_t left = deadlineMs - monotonicMs();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// After a partial transfer or a signal, the next wait may last only what is
// left until the deadline: false when nothing is left or it cannot be armed.
bool rearmForRest(SocketHandle socket, Direction direction, int64_t deadlineMs, bool* rearmed) {
  const int left = remainingMs(deadlineMs);
  if (left == 0 || armTimeout(socket, direction, left) != 0) return false;
  *rearmed = true;
  return true;
}

}  // namespace

const char* describe(SocketError error) {
  switch (error) {
    case SocketError::None: return "no error";
    case SocketError::TimedOut: return "timed out";
    case SocketError::Reset: return "connection reset";
    case SocketError::Closed: return "connection closed";
    case SocketError::Refused: return "connection refused";
    case SocketError::Unreachable: return "address unreachable";
    case SocketError::BadAddress: return "not an IPv4 address";
    case SocketError::BadAnswer: return "answer out of the board's shape";
    case SocketError::Other: return "socket error";
  }
  return "socket error";
}

int64_t monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SocketError connectTimed(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs) {
  const int started = startConnect(socket, addressNetworkOrder, port);
  if (started < 0) return systemError();
  if (started > 0) {
    const int settled = waitConnected(socket, timeoutMs);
    if (settled == 0) return SocketError::TimedOut;
    if (settled < 0) return systemError();
    if (const SocketError outcome = connectOutcome(socket); outcome != SocketError::None) return outcome;
  }
  finishConnect(socket);
  return SocketError::None;
}

int connectWithin(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs) {
  return connectTimed(socket, addressNetworkOrder, port, timeoutMs) == SocketError::None ? 0 : -1;
}

Transfer sendAllArmed(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs, bool* rearmed) {
  Transfer done;
  while (done.bytes < length) {
    const int n = sendSome(socket, data + done.bytes, length - done.bytes);
    if (n == kInterrupted) {
      if (!rearmForRest(socket, Direction::Send, deadlineMs, rearmed)) return {done.bytes, SocketError::TimedOut};
      continue;
    }
    if (n < 0) return {done.bytes, systemError()};
    done.bytes += n;
    if (done.bytes == length) break;
    if (!rearmForRest(socket, Direction::Send, deadlineMs, rearmed)) return {done.bytes, SocketError::TimedOut};
  }
  return done;
}

Transfer receiveAtLeast(SocketHandle socket, uint8_t* buffer, int capacity, int required, int64_t deadlineMs,
                        bool* rearmed) {
  Transfer done;
  for (;;) {
    const int n = receiveSome(socket, buffer + done.bytes, capacity - done.bytes);
    if (n == kInterrupted) {
      if (!rearmForRest(socket, Direction::Receive, deadlineMs, rearmed)) return {done.bytes, SocketError::TimedOut};
      continue;
    }
    if (n < 0) return {done.bytes, systemError()};
    // A close ends the stream before the answer is whole.
    if (n == 0) return {done.bytes, SocketError::Closed};
    done.bytes += n;
    if (done.bytes >= required) return done;
    if (!rearmForRest(socket, Direction::Receive, deadlineMs, rearmed)) return {done.bytes, SocketError::TimedOut};
  }
}

int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs) {
  const int left = remainingMs(deadlineMs);
  if (left == 0 || armTimeout(socket, Direction::Send, left) != 0) return -1;
  bool rearmed = false;
  const Transfer sent = sendAllArmed(socket, data, length, deadlineMs, &rearmed);
  return sent.ok() ? sent.bytes : -1;
}

int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs) {
  for (;;) {
    const int left = remainingMs(deadlineMs);
    if (left == 0 || armTimeout(socket, Direction::Receive, left) != 0) return -1;
    const int n = receiveSome(socket, buffer, capacity);
    if (n != kInterrupted) return n;
  }
}

}  // namespace kestrel::platform
