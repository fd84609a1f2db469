// POSIX socket primitives (Linux, macOS).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
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

void noSigPipe([[maybe_unused]] int s) {
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

// poll() for one event: 1 ready, 0 time-out, -1 error. After a signal it
// waits only for what is left of timeoutMs.
int pollFor(SocketHandle socket, short events, int timeoutMs) {
  pollfd entry{fd(socket), events, 0};
  const int64_t deadline = monotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  for (int wait = timeoutMs < 0 ? 0 : timeoutMs;;) {
    const int ready = ::poll(&entry, 1, wait);
    if (ready >= 0 || errno != EINTR) return ready <= 0 ? ready : 1;
    const int64_t left = deadline - monotonicMs();
    if (left <= 0) return 0;
    wait = static_cast<int>(left);
  }
}

sockaddr_in ipv4Address(uint32_t addressNetworkOrder, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = addressNetworkOrder;
  return address;
}

SocketError causeOf(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT: return SocketError::TimedOut;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE: return SocketError::Reset;
    case ECONNREFUSED: return SocketError::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN: return SocketError::Unreachable;
    default: return SocketError::Other;
  }
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

bool resolveIPv4(const char* host, uint32_t* addressNetworkOrder) {
  if (host == nullptr || *host == '\0' || addressNetworkOrder == nullptr) return false;
  if (parseIPv4(host, addressNetworkOrder)) return true;
  startSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *addressNetworkOrder = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

SocketHandle openTcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
  noSigPipe(s);
  return s;
}

int bindAnyLocal(SocketHandle socket) {
  const sockaddr_in local = ipv4Address(htonl(INADDR_ANY), 0);
  return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int startConnect(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port) {
  const sockaddr_in peer = ipv4Address(addressNetworkOrder, port);
  setNonBlocking(socket, true);
  if (::connect(fd(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int waitConnected(SocketHandle socket, int timeoutMs) { return pollFor(socket, POLLOUT, timeoutMs); }

SocketError connectOutcome(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return causeOf(errno);
  return error == 0 ? SocketError::None : causeOf(error);
}

void finishConnect(SocketHandle socket) {
  setNonBlocking(socket, false);
  setNoDelay(socket);
}

int armTimeout(SocketHandle socket, Direction direction, int timeoutMs) {
  const int option = direction == Direction::Send ? SO_SNDTIMEO : SO_RCVTIMEO;
  const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return setsockopt(fd(socket), SOL_SOCKET, option, &limit, sizeof limit) == 0 ? 0 : -1;
}

// With a time-out armed, a signal always ends a blocking send() or recv()
// with EINTR (SA_RESTART or not): the caller knows how much time is left.
int sendSome(SocketHandle socket, const uint8_t* data, int length) {
  const ssize_t n = ::send(fd(socket), data, static_cast<size_t>(length), kSendFlags);
  if (n < 0) return errno == EINTR ? kInterrupted : -1;
  return static_cast<int>(n);
}

int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity) {
  const ssize_t n = ::recv(fd(socket), buffer, static_cast<size_t>(capacity), 0);
  if (n < 0) return errno == EINTR ? kInterrupted : -1;
  return static_cast<int>(n);
}

SocketError systemError() { return causeOf(errno); }

Transfer discardPending(SocketHandle socket) {
  uint8_t sink[256];
  Transfer dropped;
  for (;;) {
    const ssize_t n = ::recv(fd(socket), sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) {
      dropped.bytes += static_cast<int>(n);
    } else if (n == 0) {
      return {dropped.bytes, SocketError::Closed};
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return dropped;
    } else if (errno != EINTR) {
      return {dropped.bytes, causeOf(errno)};
    }
  }
}

int waitReadable(SocketHandle socket, int timeoutMs) { return pollFor(socket, POLLIN, timeoutMs); }

int waitReadableMicros(SocketHandle socket, int64_t timeoutUs) {
#ifdef __linux__
  pollfd entry{fd(socket), POLLIN, 0};
  const timespec limit{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
  const int ready = ::ppoll(&entry, 1, &limit, nullptr);
  if (ready < 0 && errno == EINTR) return 0;
  return ready <= 0 ? ready : 1;
#else
  return pollFor(socket, POLLIN, static_cast<int>((timeoutUs + 999) / 1000));
#endif
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

SocketHandle acceptConnection(SocketHandle listener) {
  for (;;) {
    const int s = ::accept(fd(listener), nullptr, nullptr);
    if (s < 0 && errno == EINTR) continue;
    if (s < 0) return kInvalidSocket;
    noSigPipe(s);
    setNonBlocking(s, false);
    setNoDelay(s);
    return s;
  }
}

void sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace kestrel::platform
