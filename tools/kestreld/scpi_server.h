// SCPI over raw TCP for one board: newline-terminated program messages in,
// newline-terminated responses out. Each client's lines run on the board's
// worker one at a time and in order; responses go out asynchronously, so a
// client that never reads stalls only itself, and is dropped once its unread
// answers pass a cap. Connections come in through the door.
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

  ScpiServer(asio::io_context& io, BoardWorker& board, const CommandTree& tree, Door& door,
             std::chrono::seconds idleTimeout = kDefaultIdle);
  ~ScpiServer();

  // Binds and listens; throws std::system_error when the address cannot be had.
  void listen(const asio::ip::tcp::endpoint& endpoint);
  void stop();  // closes the listener and every client
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
