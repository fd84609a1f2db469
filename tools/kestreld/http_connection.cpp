#include "http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace kestreld {

namespace {

using Clock = std::chrono::steady_clock;

thread_local HttpConnection* currentConnection = nullptr;

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

bool waitFor(int fd, short events, int milliseconds) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, milliseconds) == 1 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  }
  return text;
}

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

const char* reasonOf(int status) {
  switch (status) {
    case 403:
      return "Forbidden";
    case 408:
      return "Request Timeout";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Service Unavailable";
  }
}

}  // namespace

// httplib reads and writes a request through this. Reads are buffered (the
// parser asks for a byte at a time) and counted: the head may take
// HttpLimits::kMaxHead bytes and the body kMaxBody, both within
// kRequestTime of the request's first byte; a write that the client does not
// take within kWrite fails.
class BoundedStream : public httplib::Stream {
 public:
  explicit BoundedStream(int fd) : fd_(fd) {}

  // Waits up to `idle` for the next request's first byte.
  bool awaitRequest(std::chrono::milliseconds idle) {
    return next_ < end_ || waitFor(fd_, POLLIN, static_cast<int>(idle.count()));
  }
  void beginRequest() {
    deadline_ = Clock::now() + HttpLimits::kRequestTime;
    budget_ = HttpLimits::kMaxHead;
    inHead_ = true;
    headOverrun_ = timedOut_ = wrote_ = false;
  }
  // The head is parsed: from now on the body's budget counts.
  void headDone() {
    inHead_ = false;
    budget_ = HttpLimits::kMaxBody;
  }
  bool headOverrun() const { return headOverrun_; }
  bool timedOut() const { return timedOut_; }
  bool wroteAnything() const { return wrote_; }
  bool hasBuffered() const { return next_ < end_; }

  bool is_readable() const override { return next_ < end_ || waitFor(fd_, POLLIN, millisecondsUntil(deadline_)); }
  bool is_writable() const override {
    return waitFor(fd_, POLLOUT, static_cast<int>(std::chrono::milliseconds(HttpLimits::kWrite).count()));
  }

  ssize_t read(char* ptr, size_t size) override {
    if (next_ == end_ && !fill()) return -1;
    const size_t n = std::min({size, end_ - next_, budget_});
    if (n == 0) {
      headOverrun_ = inHead_;
      return -1;
    }
    std::memcpy(ptr, buffer_.data() + next_, n);
    next_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    if (n > 0) wrote_ = true;
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { endpoint(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { endpoint(::getsockname, ip, port); }
  int socket() const override { return fd_; }

 private:
  bool fill() {
    if (!waitFor(fd_, POLLIN, millisecondsUntil(deadline_))) {
      timedOut_ = true;
      return false;
    }
    const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (n <= 0) return false;
    next_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }

  template <typename Name>
  void endpoint(Name name, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (name(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
    ip = addressText(address);
    port = portOf(address);
  }

  int fd_;
  std::array<char, 4096> buffer_{};
  size_t next_ = 0;
  size_t end_ = 0;
  size_t budget_ = 0;
  bool inHead_ = true;
  bool headOverrun_ = false;
  bool timedOut_ = false;
  bool wrote_ = false;
  Clock::time_point deadline_{};
};

// ---- one connection -------------------------------------------------------------

HttpConnection::HttpConnection(asio::ip::tcp::socket socket, Door::Ticket ticket)
    : fd_(socket.release()), ticket_(std::move(ticket)), stream_(std::make_unique<BoundedStream>(fd_)) {
  int port = 0;
  stream_->get_local_ip_and_port(localAddress_, port);
}

HttpConnection::~HttpConnection() { finish(); }

bool HttpConnection::clientGone() {
  std::lock_guard lock(mutex_);
  if (interrupted_ || fd_ < 0) return true;
  if (stream_->hasBuffered()) return false;  // a pipelined request: the client is there
  pollfd p{fd_, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) != 1) return false;
  if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
  char byte = 0;
  return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool HttpConnection::headTooLarge() const { return stream_->headOverrun(); }
bool HttpConnection::timedOut() const { return stream_->timedOut(); }

void HttpConnection::interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void HttpConnection::finish() {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
  ticket_ = Door::Ticket();
}

// ---- the server -------------------------------------------------------------------

HttpConnections::~HttpConnections() { stop(); }

HttpConnection* HttpConnections::current() { return currentConnection; }

void HttpConnections::serve(asio::ip::tcp::socket socket, Door::Ticket ticket) {
  std::lock_guard lock(mutex_);
  reapFinished();
  if (stopping_) return;
  auto connection = std::make_shared<HttpConnection>(std::move(socket), std::move(ticket));
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, connection, done] {
    run(*connection);
    *done = true;
  });
  served_.push_back({std::move(connection), std::move(thread), std::move(done)});
}

void HttpConnections::reapFinished() {
  for (auto it = served_.begin(); it != served_.end();) {
    if (!*it->done) {
      ++it;
      continue;
    }
    it->thread.join();
    it = served_.erase(it);
  }
}

void HttpConnections::stop() {
  std::list<Served> ending;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    svr_sock_ = INVALID_SOCKET;
    ending.swap(served_);
  }
  for (Served& s : ending) s.connection->interrupt();
  for (Served& s : ending) s.thread.join();
}

void HttpConnections::run(HttpConnection& connection) {
  currentConnection = &connection;
  BoundedStream& stream = connection.stream();
  for (size_t served = 1; served <= HttpLimits::kRequestsPerConnection; ++served) {
    if (!stream.awaitRequest(HttpLimits::kIdle)) break;
    if (!serveOne(connection, served == HttpLimits::kRequestsPerConnection)) break;
  }
  connection.finish();
  currentConnection = nullptr;
}

// One request; false when the connection ends after it.
bool HttpConnections::serveOne(HttpConnection& connection, bool last) {
  BoundedStream& stream = connection.stream();
  stream.beginRequest();
  bool clientClosed = false;
  bool ok = false;
  try {
    ok = process_request(stream, last, clientClosed, [&](httplib::Request&) { stream.headDone(); });
  } catch (const std::exception&) {
    return false;  // thrown while the answer was written: the connection cannot be trusted
  }
  if (!ok && !stream.wroteAnything()) {
    // The head never ended: too long, or too slow.
    if (stream.headOverrun()) {
      const std::string answer = cannedResponse(431, "the request head is larger than the daemon takes");
      stream.write(answer.data(), answer.size());
    } else if (stream.timedOut()) {
      const std::string answer = cannedResponse(408, "the request did not arrive in time");
      stream.write(answer.data(), answer.size());
    }
  }
  return ok && !clientClosed && !connection.closingAfterResponse() && !stream.headOverrun() && !stream.timedOut();
}

std::string cannedResponse(int status, const std::string& sentence) {
  const std::string body = "{\"status\":" + std::to_string(status) + ",\"error\":\"" + sentence + "\"}";
  return "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
         "\r\nContent-Type: application/json\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store"
         "\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace kestreld
