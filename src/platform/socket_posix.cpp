// POSIX sockets (Linux, macOS).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrel::platform {
namespace {

// Linux suppresses SIGPIPE per call; macOS only per socket (SO_NOSIGPIPE).
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

int fd(SocketHandle socket) { return static_cast<int>(socket); }

void setNoDelay(SocketHandle socket) {
  int one = 1;
  setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setNonBlocking(SocketHandle socket, bool nonBlocking) {
  const int flags = fcntl(fd(socket), F_GETFL, 0);
  if (flags >= 0) fcntl(fd(socket), F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// poll() for one event, retrying after signals: 1 ready, 0 time-out, -1 error.
int pollFor(SocketHandle socket, short events, int timeoutMs) {
  pollfd entry{fd(socket), events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready;
    return 1;
  }
}

int remainingMs(int64_t deadlineMs) {
  const int64_t left = deadlineMs - monotonicMs();
  return left <= 0 ? 0 : static_cast<int>(left);
}

sockaddr_in ipv4Address(uint32_t addressNetworkOrder, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = addressNetworkOrder;
  return address;
}

}  // namespace

void startSockets() {}

bool parseIPv4(const char* text, uint32_t* addressNetworkOrder) {
  if (text == nullptr || addressNetworkOrder == nullptr) return false;
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  *addressNetworkOrder = parsed.s_addr;
  return true;
}

SocketHandle openTcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  return s;
}

int bindAnyLocal(SocketHandle socket) {
  const sockaddr_in local = ipv4Address(htonl(INADDR_ANY), 0);
  return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int connectWithin(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs) {
  const sockaddr_in peer = ipv4Address(addressNetworkOrder, port);
  setNonBlocking(socket, true);
  if (::connect(fd(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    const int64_t deadline = monotonicMs() + timeoutMs;
    if (pollFor(socket, POLLOUT, remainingMs(deadline)) != 1) return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return -1;
  }
  setNonBlocking(socket, false);  // exchanges block, each with its own time limit
  setNoDelay(socket);
  return 0;
}

namespace {
// A blocking call that gives up after the time left until the deadline: one
// wake-up per answer, as cheap as a plain blocking client.
bool limitBlockingTo(SocketHandle socket, int option, int64_t deadlineMs) {
  const int left = remainingMs(deadlineMs);
  if (left <= 0) return false;
  timeval limit{left / 1000, (left % 1000) * 1000};
  return setsockopt(fd(socket), SOL_SOCKET, option, &limit, sizeof limit) == 0;
}
}  // namespace

int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs) {
  if (!limitBlockingTo(socket, SO_SNDTIMEO, deadlineMs)) return -1;
  int sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(fd(socket), data + sent, static_cast<size_t>(length - sent), kSendFlags);
    if (n > 0) {
      sent += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR && remainingMs(deadlineMs) > 0) {
      continue;
    } else {
      return -1;  // error, or the time-out (EAGAIN) passed
    }
  }
  return sent;
}

int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs) {
  for (;;) {
    if (!limitBlockingTo(socket, SO_RCVTIMEO, deadlineMs)) return -1;
    const ssize_t n = ::recv(fd(socket), buffer, static_cast<size_t>(capacity), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;  // error, or the time-out (EAGAIN) passed
  }
}

int discardPending(SocketHandle socket) {
  uint8_t sink[256];
  int dropped = 0;
  for (;;) {
    const ssize_t n = ::recv(fd(socket), sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) {
      dropped += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return dropped;
    } else {
      return -1;  // closed (0) or reset
    }
  }
}

void shutdownSocket(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

int closeSocket(SocketHandle socket) { return ::close(fd(socket)) == 0 ? 0 : -1; }

void resetAndClose(SocketHandle socket) {
  linger hard{1, 0};
  setsockopt(fd(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd(socket));
}

SocketHandle listenOn(uint32_t addressNetworkOrder, uint16_t port) {
  const SocketHandle s = openTcpSocket();
  if (s == kInvalidSocket) return kInvalidSocket;
  int one = 1;
  setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in local = ipv4Address(addressNetworkOrder, port);
  if (::bind(fd(s), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || ::listen(fd(s), SOMAXCONN) != 0) {
    ::close(fd(s));
    return kInvalidSocket;
  }
  return s;
}

uint16_t localPort(SocketHandle socket) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool peerAddress(SocketHandle socket, uint32_t* addressNetworkOrder, uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) return false;
  *addressNetworkOrder = peer.sin_addr.s_addr;
  *port = ntohs(peer.sin_port);
  return true;
}

int waitReadable(SocketHandle socket, int timeoutMs) { return pollFor(socket, POLLIN, timeoutMs); }

SocketHandle acceptConnection(SocketHandle listener) {
  for (;;) {
    const int s = ::accept(fd(listener), nullptr, nullptr);
    if (s < 0 && errno == EINTR) continue;
    if (s < 0) return kInvalidSocket;
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    setNonBlocking(s, false);
    setNoDelay(s);
    return s;
  }
}

int sendAll(SocketHandle socket, const uint8_t* data, int length) {
  int sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(fd(socket), data + sent, static_cast<size_t>(length - sent), kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<int>(n);
  }
  return sent;
}

int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity) {
  for (;;) {
    const ssize_t n = ::recv(fd(socket), buffer, static_cast<size_t>(capacity), 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int64_t monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace kestrel::platform
