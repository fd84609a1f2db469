// SCPI over raw TCP for one board: newline-terminated program messages in,
// newline-terminated responses out. Each client's lines run on the board's
// worker one at a time and in order; responses go out asynchronously, so a
// client that never reads stalls only itself.
#pragma once

#include <memory>
#include <set>
#include <string>

#include <asio.hpp>

#include "access_list.h"

namespace kestreld {

class BoardWorker;
class CommandTree;
class ScpiClient;

class ScpiServer {
 public:
  // A line longer than this is discarded up to its newline, with error -363.
  static constexpr size_t kMaxLine = 64 * 1024;
  // A client whose unread responses exceed this is not read from until they drain.
  static constexpr size_t kMaxUnsent = 1024 * 1024;

  ScpiServer(asio::io_context& io, BoardWorker& board, const CommandTree& tree, const AccessList& access);
  ~ScpiServer();

  // Binds and listens; throws std::system_error when the address cannot be had.
  void listen(const asio::ip::tcp::endpoint& endpoint);
  void stop();  // closes the listener and every client
  void forget(const std::shared_ptr<ScpiClient>& client);

 private:
  void accept();

  asio::ip::tcp::acceptor acceptor_;
  BoardWorker& board_;
  const CommandTree& tree_;
  const AccessList& access_;
  std::set<std::shared_ptr<ScpiClient>> clients_;
};

}  // namespace kestreld
