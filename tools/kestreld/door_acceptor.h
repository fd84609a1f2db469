// A listening socket behind the door: each accepted connection is let in or
// turned away before a byte of it is read, and when the process runs out of
// descriptors the acceptor sheds the waiting connection and backs off
// instead of spinning on a listener that stays readable.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <asio.hpp>

#include "door.h"

namespace kestreld {

class DoorAcceptor {
 public:
  using Admitted = std::function<void(asio::ip::tcp::socket, Door::Ticket)>;
  // May write a short refusal on the socket before it is closed.
  using Turned = std::function<void(asio::ip::tcp::socket&, Refused)>;

  static constexpr std::chrono::milliseconds kBackoff{100};

  DoorAcceptor(asio::io_context& io, Door& door, Admitted admitted, Turned turned = nullptr);
  ~DoorAcceptor();
  DoorAcceptor(const DoorAcceptor&) = delete;
  DoorAcceptor& operator=(const DoorAcceptor&) = delete;

  // Binds and listens; throws std::system_error when the address cannot be had.
  void listen(const asio::ip::tcp::endpoint& endpoint);
  void close();
  int nativeHandle() { return acceptor_.native_handle(); }

 private:
  void acceptNext();
  void accepted(const asio::error_code& error, asio::ip::tcp::socket socket);
  void shedOneConnection();

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer backoff_;
  Door& door_;
  Admitted admitted_;
  Turned turned_;
  int reserve_ = -1;  // a descriptor kept free to close one connection with when none are left
};

// Who was turned away, on stderr: once a minute per address and reason at
// most, so that a client that keeps knocking does not flood the log. For the
// faces that accept on their own (VXI-11). Any thread.
void logRefusal(const std::string& peer, Refused why);

// Raises the descriptor limit to its ceiling and keeps the door's cap on
// connections below what the boards and the daemon itself leave of it.
void fitToDescriptorLimit(DoorLimits& limits, size_t boards);

}  // namespace kestreld
