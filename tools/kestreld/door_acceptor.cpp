#include "door_acceptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

namespace kestreld {

namespace {

int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

const char* reasonOf(Refused why) {
  switch (why) {
    case Refused::Address:
      return "its address is outside --allow";
    case Refused::ClientFull:
      return "it has --max-connections-per-client open";
    case Refused::DaemonFull:
      return "the daemon has --max-connections open";
    case Refused::None:
      break;
  }
  return "";
}

bool outOfDescriptors(const asio::error_code& error) {
  return error == asio::error::no_descriptors || error.value() == ENFILE || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory;
}

}  // namespace

void logRefusal(const std::string& peer, Refused why) {
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static std::map<std::pair<std::string, Refused>, Clock::time_point> lastLogged;
  constexpr auto kQuiet = std::chrono::minutes(1);
  constexpr size_t kRemembered = 1024;
  const auto now = Clock::now();
  std::lock_guard lock(mutex);
  if (lastLogged.size() > kRemembered) lastLogged.clear();
  auto [entry, fresh] = lastLogged.try_emplace({peer, why}, now);
  if (!fresh && now - entry->second < kQuiet) return;
  entry->second = now;
  std::fprintf(stderr, "kestreld: refused a connection from %s: %s\n", peer.c_str(), reasonOf(why));
}

DoorAcceptor::DoorAcceptor(asio::io_context& io, Door& door, Admitted admitted, Turned turned)
    : acceptor_(io), backoff_(io), door_(door), admitted_(std::move(admitted)), turned_(std::move(turned)) {}

DoorAcceptor::~DoorAcceptor() { close(); }

void DoorAcceptor::listen(const asio::ip::tcp::endpoint& endpoint) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  reserve_ = openReserve();
  acceptNext();
}

void DoorAcceptor::close() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  backoff_.cancel();
  if (reserve_ >= 0) ::close(reserve_);
  reserve_ = -1;
}

void DoorAcceptor::acceptNext() {
  acceptor_.async_accept(
      [this](const asio::error_code& error, asio::ip::tcp::socket socket) { accepted(error, std::move(socket)); });
}

void DoorAcceptor::accepted(const asio::error_code& error, asio::ip::tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (outOfDescriptors(error)) {
    shedOneConnection();
    backoff_.expires_after(kBackoff);
    backoff_.async_wait([this](const asio::error_code& e) {
      if (!e && acceptor_.is_open()) acceptNext();
    });
    return;
  }
  if (!error) {
    asio::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    Door::Ticket ticket;
    const Refused refused = peerError ? Refused::Address : door_.admit(peer.address().to_string(), ticket);
    if (refused == Refused::None) {
      admitted_(std::move(socket), std::move(ticket));
    } else if (!peerError) {
      logRefusal(plainAddress(peer.address().to_string()), refused);
      if (turned_) turned_(socket, refused);
    }
  }
  acceptNext();
}

// The waiting client is closed at once rather than left to time out, with the
// one descriptor kept for that.
void DoorAcceptor::shedOneConnection() {
  if (reserve_ < 0) return;
  ::close(reserve_);
  pollfd listener{acceptor_.native_handle(), POLLIN, 0};
  if (::poll(&listener, 1, 0) == 1) {
    const int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  reserve_ = openReserve();
}

void fitToDescriptorLimit(DoorLimits& limits, size_t boards) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 65536 : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // Listeners, their spare descriptors, board links, emulators, files and stdio.
  const size_t own = 32 + 8 * boards;
  const size_t room = limit.rlim_cur > own ? limit.rlim_cur - own : 1;
  if (limits.maxConnections > room) {
    std::fprintf(stderr, "kestreld: at most %zu connections: the descriptor limit is %llu\n", room,
                 static_cast<unsigned long long>(limit.rlim_cur));
    limits.maxConnections = room;
  }
}

}  // namespace kestreld
