// The one door to the operating system's TCP sockets, clocks and sleeping.
// Each platform has its own implementation file (socket_posix.cpp,
// socket_win32.cpp); CMake picks one, so no other file needs to know which
// platform it runs on.
#pragma once

#include <cstdint>

namespace kestrel::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// Starts the platform's socket library where it has one. Safe to call often.
void startSockets();

// Strict dotted-quad IPv4 text ("127.0.0.2") to an address in network order.
bool parseIPv4(const char* text, uint32_t* addressNetworkOrder);

// A new TCP stream socket, or kInvalidSocket. It never raises SIGPIPE.
SocketHandle openTcpSocket();

// bind() to any local interface and port: 0 on success, -1 on failure.
int bindAnyLocal(SocketHandle socket);

// connect() that gives up after timeoutMs: 0 on success, -1 on failure.
// On success the socket has Nagle's algorithm off.
int connectWithin(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs);

// Sends all of data unless the connection fails or the deadline (a
// monotonicMs() value) passes: the number of bytes sent, or -1.
int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs);

// One receive of up to capacity bytes, waiting until the deadline at most:
// the number of bytes (0 when the peer closed the connection), or -1 on
// error or time-out.
int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs);

// Reads and drops whatever has arrived without waiting: the number of bytes
// dropped, or -1 when the peer has closed or reset the connection.
int discardPending(SocketHandle socket);

// Stops all traffic on the socket but keeps the handle, so that later use
// fails at once instead of reading stale answers.
void shutdownSocket(SocketHandle socket);

// Releases the handle: 0 on success, -1 on failure.
int closeSocket(SocketHandle socket);

// Closes with a reset instead of an orderly shutdown (the peer sees an error).
void resetAndClose(SocketHandle socket);

// ---- Listening side ----------------------------------------------------------
// A listening socket on the given address and port (0 picks a free port),
// reusable at once after a previous listener on the same address closed.
SocketHandle listenOn(uint32_t addressNetworkOrder, uint16_t port);

// The local port a socket is bound to, or 0.
uint16_t localPort(SocketHandle socket);

// The IPv4 address (network order) and port of a connected socket's peer:
// false when the socket has none.
bool peerAddress(SocketHandle socket, uint32_t* addressNetworkOrder, uint16_t* port);

// 1 when the socket has something to read (data, a connection or a close),
// 0 on time-out, -1 on error.
int waitReadable(SocketHandle socket, int timeoutMs);

// accept() on a listener that waitReadable() reported ready; the accepted
// socket is blocking, with Nagle's algorithm off.
SocketHandle acceptConnection(SocketHandle listener);

// Blocking send of everything: bytes sent or -1.
int sendAll(SocketHandle socket, const uint8_t* data, int length);

// Blocking receive of up to capacity bytes: count, 0 on close, -1 on error.
int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity);

// ---- Time ----------------------------------------------------------------------
int64_t monotonicMs();
void sleepMs(int milliseconds);

}  // namespace kestrel::platform
