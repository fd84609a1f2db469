// Windows Sockets 2 (Windows, and MinGW builds run under Wine).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: WSAPoll and inet_pton
#endif
#include "platform/socket.h"

// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>

namespace kestrel::platform {
namespace {

SOCKET native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

void setNoDelay(SocketHandle socket) {
  BOOL one = TRUE;
  setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void setNonBlocking(SocketHandle socket, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  ioctlsocket(native(socket), FIONBIO, &mode);
}

// poll() for one socket: 1 ready, 0 time-out, -1 error; what was seen goes to
// *seen. A reset connection shows as POLLERR, a closed one as POLLHUP.
int pollFor(SocketHandle socket, short events, int timeoutMs, short* seen = nullptr) {
  WSAPOLLFD entry{};
  entry.fd = native(socket);
  entry.events = events;
  const int ready = ::WSAPoll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (seen != nullptr) *seen = entry.revents;
  if (ready == SOCKET_ERROR || (ready > 0 && (entry.revents & POLLNVAL) != 0)) return -1;
  return ready > 0 ? 1 : 0;
}

// Waits for a non-blocking connect(): 1 connected, 0 time-out, -1 failed.
// select() rather than WSAPoll(), which on Windows before 10 (2004) never
// reports a refused connection and would wait for the whole time-out. A
// failed connect shows up in the exception set, not the write set.
int waitConnected(SocketHandle socket, int timeoutMs) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(native(socket), &writable);
  FD_SET(native(socket), &failed);
  const int ms = timeoutMs < 0 ? 0 : timeoutMs;
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  const int ready = ::select(0, nullptr, &writable, &failed, &wait);
  if (ready == SOCKET_ERROR || (ready > 0 && FD_ISSET(native(socket), &failed))) return -1;
  return ready > 0 ? 1 : 0;
}

// recv() gave 0 bytes: an orderly close, unless the peer reset the
// connection. Windows itself reports a reset from recv(), but Wine does not
// once a wait has seen it; the reset is then still visible to poll().
bool resetPending(SocketHandle socket) {
  short seen = 0;
  return pollFor(socket, POLLRDNORM, 0, &seen) == 1 && (seen & POLLERR) != 0;
}

// A received count, with a reset reported as a failure rather than a close.
int receiveResult(SocketHandle socket, int n) {
  if (n > 0) return n;
  if (n == 0) return resetPending(socket) ? -1 : 0;
  return -1;
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

bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

// Four decimal numbers separated by dots, without signs, blanks or leading
// zeros: what inet_pton accepts on Linux. Windows parsers differ on leading
// zeros (some read them as octal), so the text is checked here first and an
// address means the same on every platform.
bool isPlainDottedQuad(const char* text) {
  int parts = 0;
  const char* p = text;
  for (;;) {
    const char* start = p;
    int value = 0;
    while (*p >= '0' && *p <= '9' && p - start < 3) value = value * 10 + (*p++ - '0');
    const auto digits = p - start;
    if (digits == 0 || value > 255 || (digits > 1 && *start == '0')) return false;
    ++parts;
    if (*p == '\0') return parts == 4;
    if (*p != '.' || parts == 4) return false;
    ++p;
  }
}

}  // namespace

void startSockets() {
  // Every call adds a reference that is never released: the library has always
  // started Winsock on each connect and never shut it down, so a host's own use
  // of Winsock cannot be ended by the library.
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

bool parseIPv4(const char* text, uint32_t* addressNetworkOrder) {
  if (text == nullptr || addressNetworkOrder == nullptr || !isPlainDottedQuad(text)) return false;
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  *addressNetworkOrder = parsed.s_addr;
  return true;
}

SocketHandle openTcpSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<SocketHandle>(s);
}

int bindAnyLocal(SocketHandle socket) {
  const sockaddr_in local = ipv4Address(htonl(INADDR_ANY), 0);
  return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int connectWithin(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs) {
  const sockaddr_in peer = ipv4Address(addressNetworkOrder, port);
  setNonBlocking(socket, true);
  if (::connect(native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (!wouldBlock()) return -1;
    const int64_t deadline = monotonicMs() + timeoutMs;
    if (waitConnected(socket, remainingMs(deadline)) != 1) return -1;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
      return -1;
    }
  }
  setNonBlocking(socket, false);  // exchanges block, each with its own time limit
  setNoDelay(socket);
  return 0;
}

namespace {
// A blocking call that gives up after the time left until the deadline: one
// wake-up per answer, as cheap as a plain blocking client. A call that timed
// out leaves the socket unfit for further use; the link drops it then anyway.
bool limitBlockingTo(SocketHandle socket, int option, int64_t deadlineMs) {
  const int left = remainingMs(deadlineMs);
  if (left <= 0) return false;
  const DWORD limit = static_cast<DWORD>(left);  // milliseconds, unlike POSIX's timeval
  return setsockopt(native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}
}  // namespace

int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs) {
  if (!limitBlockingTo(socket, SO_SNDTIMEO, deadlineMs)) return -1;
  int sent = 0;
  while (sent < length) {
    const int n = ::send(native(socket), reinterpret_cast<const char*>(data) + sent, length - sent, 0);
    if (n <= 0) return -1;  // error, or the time-out (WSAETIMEDOUT) passed
    sent += n;
  }
  return sent;
}

int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs) {
  if (!limitBlockingTo(socket, SO_RCVTIMEO, deadlineMs)) return -1;
  return receiveResult(socket, ::recv(native(socket), reinterpret_cast<char*>(buffer), capacity, 0));
}

int discardPending(SocketHandle socket) {
  // Winsock has no per-call "don't wait": ask whether anything is readable
  // first, so the blocking recv() below returns at once.
  char sink[256];
  int dropped = 0;
  while (pollFor(socket, POLLIN, 0) == 1) {
    const int n = ::recv(native(socket), sink, sizeof sink, 0);
    if (n <= 0) return -1;  // closed (0) or reset
    dropped += n;
  }
  return dropped;
}

void shutdownSocket(SocketHandle socket) { ::shutdown(native(socket), SD_BOTH); }

int closeSocket(SocketHandle socket) { return ::closesocket(native(socket)) == 0 ? 0 : -1; }

void resetAndClose(SocketHandle socket) {
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  ::closesocket(native(socket));
}

SocketHandle listenOn(uint32_t addressNetworkOrder, uint16_t port) {
  const SocketHandle s = openTcpSocket();
  if (s == kInvalidSocket) return kInvalidSocket;
  // No SO_REUSEADDR: on Windows it would let a second listener take over the
  // address and port of a running one instead of failing. Windows lets a new
  // listener bind over connections left in TIME_WAIT without it.
  const sockaddr_in local = ipv4Address(addressNetworkOrder, port);
  if (::bind(native(s), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(native(s), SOMAXCONN) != 0) {
    ::closesocket(native(s));
    return kInvalidSocket;
  }
  return s;
}

uint16_t localPort(SocketHandle socket) {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool peerAddress(SocketHandle socket, uint32_t* addressNetworkOrder, uint16_t* port) {
  sockaddr_in peer{};
  int length = sizeof peer;
  if (getpeername(native(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) return false;
  *addressNetworkOrder = peer.sin_addr.s_addr;
  *port = ntohs(peer.sin_port);
  return true;
}

int waitReadable(SocketHandle socket, int timeoutMs) { return pollFor(socket, POLLRDNORM, timeoutMs); }

SocketHandle acceptConnection(SocketHandle listener) {
  const SOCKET s = ::accept(native(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  const auto accepted = static_cast<SocketHandle>(s);
  // An accepted socket inherits the listener's mode; make sure it blocks.
  setNonBlocking(accepted, false);
  setNoDelay(accepted);
  return accepted;
}

int sendAll(SocketHandle socket, const uint8_t* data, int length) {
  int sent = 0;
  while (sent < length) {
    const int n = ::send(native(socket), reinterpret_cast<const char*>(data) + sent, length - sent, 0);
    if (n <= 0) return -1;
    sent += n;
  }
  return sent;
}

int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity) {
  return receiveResult(socket, ::recv(native(socket), reinterpret_cast<char*>(buffer), capacity, 0));
}

int64_t monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int milliseconds) { ::Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds)); }

}  // namespace kestrel::platform
