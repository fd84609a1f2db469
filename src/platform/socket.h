// The one door to the operating system's TCP sockets, clocks and sleeping.
// Each platform gives only primitives, in its own file (socket_posix.cpp,
// socket_win32.cpp); the loops that hold a deadline over them are written
// once, in socket_common.cpp. CMake picks the platform file, so no other file
// needs to know which platform it runs on.
#pragma once

#include <cstdint>

namespace kestrel::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// Why a socket operation failed, so that a caller can say more than "failed".
enum class SocketError {
  None,
  TimedOut,     // the deadline passed first
  Reset,        // the peer reset the connection
  Closed,       // the peer closed the connection in order
  Refused,      // nothing listens at the address
  Unreachable,  // no route to the address
  BadAddress,   // not a dotted-quad IPv4 address
  BadAnswer,    // the link found an answer out of the board's shape
  Other,
};

// A short description ("timed out", "connection reset", ...).
const char* describe(SocketError error);

// The outcome of a transfer: bytes moved, and the cause when it failed.
struct Transfer {
  int bytes = 0;
  SocketError error = SocketError::None;
  bool ok() const { return error == SocketError::None; }
};

// ---- Primitives: one implementation per platform ----------------------------

// Starts the platform's socket library where it has one. Safe to call often.
void startSockets();

// Strict dotted-quad IPv4 text ("127.0.0.2") to an address in network order.
bool parseIPv4(const char* text, uint32_t* addressNetworkOrder);

// A host name or dotted quad to its first IPv4 address, through the
// system's resolver (which may wait on the network): false when it has none.
bool resolveIPv4(const char* host, uint32_t* addressNetworkOrder);

// A new TCP stream socket, or kInvalidSocket. It never raises SIGPIPE.
SocketHandle openTcpSocket();

// bind() to any local interface and port: 0 on success, -1 on failure.
int bindAnyLocal(SocketHandle socket);

// Starts a connect() without waiting: 0 connected already, 1 under way, -1
// failed (systemError() says why).
int startConnect(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port);

// Waits for a started connect() to settle: 1 settled, 0 time-out, -1 error.
// Signals do not restart the wait: it ends timeoutMs after the call at most.
int waitConnected(SocketHandle socket, int timeoutMs);

// How a settled connect() ended: None when it is connected.
SocketError connectOutcome(SocketHandle socket);

// After a connect: blocking from now on, with Nagle's algorithm off.
void finishConnect(SocketHandle socket);

enum class Direction { Send, Receive };

// How long each blocking send or receive may wait from now on (a call that
// waits longer fails with TimedOut): 0 on success, -1 on failure. On Windows
// a call that timed out leaves the socket unfit for further use; the link
// drops it then anyway.
int armTimeout(SocketHandle socket, Direction direction, int timeoutMs);

// What sendSome() and receiveSome() give when a signal cut the wait short
// before anything moved: the caller re-arms with what is left of its deadline,
// so that signals never stretch a time limit.
inline constexpr int kInterrupted = -2;

// One send() of up to length bytes: the count sent, -1, or kInterrupted.
int sendSome(SocketHandle socket, const uint8_t* data, int length);

// One blocking receive of up to capacity bytes: the count, 0 on an orderly
// close, -1 on error or an armed time-out, or kInterrupted.
int receiveSome(SocketHandle socket, uint8_t* buffer, int capacity);

// The cause of the last failed primitive on this thread.
SocketError systemError();

// Reads and drops whatever has arrived without waiting: the bytes dropped,
// or the cause when the peer has closed or reset the connection.
Transfer discardPending(SocketHandle socket);

// 1 when the socket has something to read (data, a connection or a close),
// 0 on time-out, -1 on error. Signals do not restart the wait.
int waitReadable(SocketHandle socket, int timeoutMs);
// The same to the microsecond where the platform can (a signal ends it early, with 0).
int waitReadableMicros(SocketHandle socket, int64_t timeoutUs);

// Stops all traffic on the socket but keeps the handle, so that later use
// fails at once instead of reading stale answers.
void shutdownSocket(SocketHandle socket);

// Releases the handle: 0 on success, -1 on failure.
int closeSocket(SocketHandle socket);

// Closes with a reset instead of an orderly shutdown (the peer sees an error).
void resetAndClose(SocketHandle socket);

// A listening socket on the given address and port (0 picks a free port),
// reusable at once after a previous listener on the same address closed.
SocketHandle listenOn(uint32_t addressNetworkOrder, uint16_t port);

// The local port a socket is bound to, or 0.
uint16_t localPort(SocketHandle socket);

// The IPv4 address (network order) and port of a connected socket's peer:
// false when the socket has none.
bool peerAddress(SocketHandle socket, uint32_t* addressNetworkOrder, uint16_t* port);

// accept() on a listener that waitReadable() reported ready; the accepted
// socket is blocking, with Nagle's algorithm off.
SocketHandle acceptConnection(SocketHandle listener);

void sleepMs(int milliseconds);

// ---- Written once over the primitives (socket_common.cpp) ----------------------

int64_t monotonicMs();

// connect() that gives up after timeoutMs: None on success, when the socket
// blocks and has Nagle's algorithm off; else the cause.
SocketError connectTimed(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs);
// The same as 0 on success, -1 on failure.
int connectWithin(SocketHandle socket, uint32_t addressNetworkOrder, uint16_t port, int timeoutMs);

// Sends all of data, each send waiting no longer than the armed send
// time-out. Only a partial or interrupted send re-arms it, to what is left
// until the deadline (a monotonicMs() value); *rearmed then says so.
Transfer sendAllArmed(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs, bool* rearmed);

// Receives until at least `required` bytes (at most capacity) are in, the
// first receive waiting no longer than the armed receive time-out. Only a
// partial answer or a signal re-arms it, to what is left until the deadline;
// *rearmed then says so. A close before `required` bytes is a failure (Closed).
Transfer receiveAtLeast(SocketHandle socket, uint8_t* buffer, int capacity, int required, int64_t deadlineMs,
                        bool* rearmed);

// For callers that arm nothing: all of data before the deadline (bytes sent
// or -1), and one receive before the deadline (count, 0 on close, -1).
int sendAllBefore(SocketHandle socket, const uint8_t* data, int length, int64_t deadlineMs);
int receiveBefore(SocketHandle socket, uint8_t* buffer, int capacity, int64_t deadlineMs);

}  // namespace kestrel::platform
