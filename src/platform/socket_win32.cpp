// Windows Sockets 2 socket primitives (Windows, and MinGW builds run under Wine).
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

}  // namespace

// select() rather than WSAPoll(), which on Windows before 10 (2004) never
// reports a refused connection and would wait for the whole time-out. A
// failed connect shows up in the exception set, not the write set; either
// set means it settled, and SO_ERROR then tells which way.
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
  if (ready == SOCKET_ERROR) return -1;
  return ready > 0 ? 1 : 0;
}

namespace {

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
  if (n == 0 && !resetPending(socket)) return 0;
  if (n == 0) WSASetLastError(WSAECONNRESET);
  return -1;
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
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT: return SocketError::TimedOut;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET: return SocketError::Reset;
    case WSAECONNREFUSED: return SocketError::Refused;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN: return SocketError::Unreachable;
    default: return SocketError::Other;
  }
}


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
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<SocketHandle>(s);
}

int bindAnyLocal(SocketHandle socket) {
  const sockaddr_in local = ipv4Address(htonl(INADDR_ANY), 0);
  return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int startConnect(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port) {
  const sockaddr_in peer = ipv4Address(addressNetworkOrder, port);
  setNonBlocking(socket, true);
  if (::connect(native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

SocketError connectOutcome(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
    return causeOf(WSAGetLastError());
  return error == 0 ? SocketError::None : causeOf(error);
}

void finishConnect(SocketHandle socket) {
  setNonBlocking(socket, false);
  setNoDelay(socket);
}

int armTimeout(SocketHandle socket, Direction direction, int timeoutMs) {
  const int option = direction == Direction::Send ? SO_SNDTIMEO : SO_RCVTIMEO;
  const DWORD limit = static_cast<DWORD>(timeoutMs);  // milliseconds, unlike POSIX's timeval
  return setsockopt(native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&limit), sizeof limit) == 0
             ? 0
             : -1;
}

int sendSome(SocketHandle socket, const uint8_t* data, int length) {
  const int n = ::send(native(socket), reinterpret_cast<const char*>(data), length, 0);
  return n < 0 ? -1 : n;
}

int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity) {
  return receiveResult(socket, ::recv(native(socket), reinterpret_cast<char*>(buffer), capacity, 0));
}

SocketError systemError() { return causeOf(WSAGetLastError()); }

Transfer discardPending(SocketHandle socket) {
  // Winsock has no per-call "don't wait": ask whether anything is readable
  // first, so the blocking recv() below returns at once.
  char sink[256];
  Transfer dropped;
  while (pollFor(socket, POLLIN, 0) == 1) {
    const int n = ::recv(native(socket), sink, sizeof sink, 0);
    if (n == 0) return {dropped.bytes, resetPending(socket) ? SocketError::Reset : SocketError::Closed};
    if (n < 0) return {dropped.bytes, systemError()};
    dropped.bytes += n;
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

int waitReadableMicros(SocketHandle socket, int64_t timeoutUs) {
  return pollFor(socket, POLLRDNORM, static_cast<int>((timeoutUs + 999) / 1000));  // WSAPoll counts milliseconds
}

SocketHandle acceptConnection(SocketHandle listener) {
  const SOCKET s = ::accept(native(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  const auto accepted = static_cast<SocketHandle>(s);
  // An accepted socket inherits the listener's mode; make sure it blocks.
  setNonBlocking(accepted, false);
  setNoDelay(accepted);
  return accepted;
}

void sleepMs(int milliseconds) { ::Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds)); }

}  // namespace kestrel::platform
