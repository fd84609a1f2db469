// SCPI over raw TCP for one board: newline-terminated program messages in,
// newline-terminated responses out. The server and its clients live on the
// board's own I/O context, so a line is read, run and answered on the
// board's thread. Each client's lines run one at a time and in order, taking
// their turns in the board's queue with everyone else's; responses go out
// asynchronously, so a client that never reads stalls only itself, and is
// dropped once its unread answers pass a cap. While a VXI-11 link holds the
// board's lock, a client's next line waits for its release. Connections come
// in through the door.
//
// A client that sends a command and then a query as two small writes with
// Nagle's algorithm on (most do) waits for our ACK of the first before the
// second leaves: the server acknowledges every read at once (TCP_QUICKACK,
// re-armed after each read, on Linux) and sends each answer without delay
// (TCP_NODELAY).
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include <asio.hpp>

#include "door_acceptor.h"

namespace kestreld {

class BoardWorker;
class CommandTree;
class ScpiClient;

class ScpiServer {
 public:
  // A line longer than this is discarded up to its newline, with error -363.
  static constexpr size_t kMaxLine = 64 * 1024;
  // Answers a client has not read: past this it is disconnected, and one
  // line's answer may not be larger either.
  static constexpr size_t kMaxUnsent = 256 * 1024;
  // A client that completes no line and takes no answer for this long is
  // closed (0: never).
  static constexpr std::chrono::seconds kDefaultIdle{3600};

  // Serves `board` on its own I/O context (board.io()).
  ScpiServer(BoardWorker& board, const CommandTree& tree, Door& door,
             std::chrono::seconds idleTimeout = kDefaultIdle);
  ~ScpiServer();

  // Binds and listens; throws std::system_error when the address cannot be had.
  void listen(const asio::ip::tcp::endpoint& endpoint);
  // Closes the listener and every client: on the board's thread, or once it has ended.
  void stop();
  void forget(const std::shared_ptr<ScpiClient>& client);

 private:
  void admit(asio::ip::tcp::socket socket, Door::Ticket ticket);

  DoorAcceptor acceptor_;
  BoardWorker& board_;
  const CommandTree& tree_;
  std::chrono::seconds idleTimeout_;
  std::set<std::shared_ptr<ScpiClient>> clients_;
};

}  // namespace kestreld
