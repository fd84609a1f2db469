// Windows Sockets 2 (Windows, and MinGW builds run under Wine).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
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

enum class Wait { Read, Write, Connect };

// select() for one socket: 1 ready, 0 time-out, -1 error. select() rather than
// WSAPoll(), which on older Windows versions never reports a refused connect.
// A connect that fails shows up in the exception set, not the write set.
int selectFor(SocketHandle socket, Wait what, int timeoutMs) {
  fd_set primary;
  fd_set failed;
  FD_ZERO(&primary);
  FD_ZERO(&failed);
  FD_SET(native(socket), &primary);
  FD_SET(native(socket), &failed);
  const int ms = timeoutMs < 0 ? 0 : timeoutMs;
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  fd_set* readSet = what == Wait::Read ? &primary : nullptr;
  fd_set* writeSet = what == Wait::Read ? nullptr : &primary;
  fd_set* exceptSet = what == Wait::Connect ? &failed : nullptr;
  const int ready = ::select(0, readSet, writeSet, exceptSet, &wait);
  if (ready == SOCKET_ERROR) return -1;
  if (ready == 0) return 0;
  if (what == Wait::Connect && FD_ISSET(native(socket), &failed)) return -1;
  return 1;
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
    if (selectFor(socket, Wait::Connect, remainingMs(deadline)) != 1) return -1;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
      return -1;
    }
  }
  setNoDelay(socket);
  return 0;
}

int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs) {
  int sent = 0;
  while (sent < length) {
    const int n = ::send(native(socket), reinterpret_cast<const char*>(data) + sent, length - sent, 0);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n == SOCKET_ERROR && wouldBlock() && selectFor(socket, Wait::Write, remainingMs(deadlineMs)) == 1) continue;
    return -1;
  }
  return sent;
}

int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs) {
  for (;;) {
    const int n = ::recv(native(socket), reinterpret_cast<char*>(buffer), capacity, 0);
    if (n >= 0) return n;
    if (!wouldBlock()) return -1;
    if (selectFor(socket, Wait::Read, remainingMs(deadlineMs)) != 1) return -1;
  }
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

int waitReadable(SocketHandle socket, int timeoutMs) { return selectFor(socket, Wait::Read, timeoutMs); }

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
  const int n = ::recv(native(socket), reinterpret_cast<char*>(buffer), capacity, 0);
  return n < 0 ? -1 : n;
}

int64_t monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int milliseconds) { ::Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds)); }

}  // namespace kestrel::platform
