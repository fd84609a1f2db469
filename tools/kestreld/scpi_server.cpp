#include "scpi_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <array>
#include <deque>
#include <optional>

#include "board_worker.h"
#include "scpi_session.h"

namespace kestreld {

namespace {

// An ACK for what was just read goes out now, not after the delayed-ACK
// timer: the client's next small write may be waiting for it (Nagle). Linux
// leaves quick-ACK mode by itself, so this is asked again after every read.
void acknowledgeNow(asio::ip::tcp::socket& socket) {
#ifdef TCP_QUICKACK
  const int on = 1;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)socket;
#endif
}

}  // namespace

// One connection, on the board's thread like everything of it: its lines
// run there as jobs of the board's queue, in turn with everyone else's.
class ScpiClient : public std::enable_shared_from_this<ScpiClient> {
 public:
  ScpiClient(asio::ip::tcp::socket socket, Door::Ticket ticket, ScpiServer& server, BoardWorker& board,
             const CommandTree& tree, std::chrono::seconds idleTimeout)
      : socket_(std::move(socket)),
        ticket_(std::move(ticket)),
        idle_(socket_.get_executor()),
        idleTimeout_(idleTimeout),
        server_(server),
        board_(board),
        session_(std::make_shared<ClientSession>(tree, ScpiServer::kMaxUnsent)) {
    session_->mayWaitForOperations(true);
  }

  void start() {
    stillActive();
    pump();
  }

  // The client is gone (or the daemon stops): its queued line is withdrawn,
  // its running line stops at its next command, its place at the door is freed.
  void close() {
    if (closed_) return;
    closed_ = true;
    session_->abandon();
    if (line_) line_->withdraw();
    asio::error_code ignored;
    idle_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    ticket_ = Door::Ticket();
  }

 private:
  // Runs the next complete line, or reads more when there is none. While a
  // line runs, or waits for a VXI-11 lock, the client is still read (up to a
  // line ahead), so that one that resets its connection stops its line; a
  // client that has only stopped sending still gets the answers to what it sent.
  void pump() {
    if (closed_) return;
    if (unsent_ > ScpiServer::kMaxUnsent) return drop();
    if (!busy_ && !heldOffByLock()) {
      std::optional<std::string> line = takeLine();
      if (closed_) return;
      if (line) return dispatch(std::move(*line));
      if (endOfInput_) {
        if (outbox_.empty()) drop();
        return;
      }
    } else if (endOfInput_ || pending_.size() > ScpiServer::kMaxLine) {
      return;
    }
    if (!reading_) readMore();
  }

  void readMore() {
    reading_ = true;
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](asio::error_code error, size_t n) {
      self->reading_ = false;
      if (error == asio::error::eof) {
        self->endOfInput_ = true;
      } else if (error) {
        return self->drop();
      } else {
        acknowledgeNow(self->socket_);
        self->received(std::string_view(self->buffer_.data(), n));
      }
      self->pump();
    });
  }

  // A VXI-11 link has the board to itself: the next line waits until it lets
  // go. The lock is released on the VXI-11 thread; the line resumes on ours.
  bool heldOffByLock() {
    if (heldOff_) return true;
    if (pending_.find('\n') == std::string::npos || !board_.lock().locked()) return false;
    heldOff_ = true;
    board_.lock().whenFree([weak = weak_from_this()] {
      const auto self = weak.lock();
      if (!self) return;
      asio::post(self->socket_.get_executor(), [self] {
        self->heldOff_ = false;
        self->pump();
      });
    });
    return true;
  }

  void received(std::string_view data) {
    if (discarding_) {
      const size_t newline = data.find('\n');
      if (newline == std::string_view::npos) return;
      discarding_ = false;
      data.remove_prefix(newline + 1);
    }
    pending_.append(data);
  }

  std::optional<std::string> takeLine() {
    const size_t newline = pending_.find('\n');
    if (newline == std::string::npos) {
      if (pending_.size() > ScpiServer::kMaxLine) {
        if (!firstLineAccepted(pending_)) return std::nullopt;
        pending_.clear();
        discarding_ = true;
        reportOverrun();
      }
      return std::nullopt;
    }
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    if (!firstLineAccepted(line)) return std::nullopt;
    if (line.size() > ScpiServer::kMaxLine) {
      reportOverrun();
      return std::nullopt;
    }
    return line;
  }

  // A browser's request (a page's fetch to this port) starts with an HTTP
  // request line: nothing of such a connection runs.
  bool firstLineAccepted(std::string_view line) {
    if (firstLineSeen_) return true;
    firstLineSeen_ = true;
    if (!looksLikeHttp(line.substr(0, std::min<size_t>(line.find('\n'), 256)))) return true;
    drop();
    return false;
  }

  // Only while no line of this client is queued or running.
  void reportOverrun() { session_->pushError(scpi::kInputBufferOverrun); }

  void dispatch(std::string line) {
    stillActive();
    busy_ = true;
    line_ = std::make_shared<JobControl>();
    const auto askedAt = board_.arrivedAfter();
    // The job runs on this same thread, when its turn comes.
    const bool queued = board_.post(
        [self = shared_from_this(), line = std::move(line), askedAt](BoardWorker& board) {
          self->ran(board, [&] { return self->session_->execute(line, board, askedAt); });
        },
        line_);
    if (!queued) {
      session_->pushError(scpi::kQueueOverflow, "the board's job queue is full: the line was not run");
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finished({}, false); });
    }
    pump();  // reads on while the line waits and runs
  }

  // A line (or the rest of one) runs; a line that waits for this client's
  // sweep (*OPC?, *WAI) goes on as a new job when the sweep has ended, and
  // holds nobody else meanwhile.
  template <typename Run>
  void ran(BoardWorker& board, Run&& run) {
    const uint64_t errorsBefore = session_->errorsPushed();
    std::string response = run();
    board.stats().countRequest(Face::Scpi, session_->errorsPushed() != errorsBefore);
    if (!session_->paused()) return finished(std::move(response), session_->answerOverflowed());
    board.sweep().whenIdle([self = shared_from_this(), &board] { self->resume(board); });
  }

  void resume(BoardWorker& board) {
    if (closed_) return;
    line_ = std::make_shared<JobControl>();
    const bool queued =
        board.post([self = shared_from_this()](BoardWorker& b) { self->ran(b, [&] { return self->session_->resume(b); }); },
                   line_);
    if (queued) return;
    session_->pushError(scpi::kQueueOverflow, "the board's job queue is full: the rest of the line was not run");
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finished({}, false); });
  }

  void finished(std::string response, bool overflowed) {
    busy_ = false;
    line_.reset();
    if (overflowed) return drop();  // an answer that size is no measurement
    if (!response.empty()) send(std::move(response) + "\n");
    pump();
  }

  void send(std::string text) {
    if (closed_) return;
    unsent_ += text.size();
    outbox_.push_back(std::move(text));
    if (outbox_.size() == 1) writeNext();
  }

  void writeNext() {
    asio::async_write(socket_, asio::buffer(outbox_.front()),
                      [self = shared_from_this()](asio::error_code error, size_t) {
                        if (error) return self->drop();
                        self->stillActive();
                        self->unsent_ -= self->outbox_.front().size();
                        self->outbox_.pop_front();
                        if (!self->outbox_.empty()) return self->writeNext();
                        self->pump();
                      });
  }

  // A complete line came in or an answer went out: the idle clock starts
  // again. The timer is not moved for that (a system call per line): when
  // it runs out, it looks at when the client was last active.
  void stillActive() {
    lastActive_ = std::chrono::steady_clock::now();
    if (idleTimeout_.count() == 0 || closed_ || idleArmed_) return;
    armIdle(idleTimeout_);
  }

  void armIdle(std::chrono::steady_clock::duration after) {
    idleArmed_ = true;
    idle_.expires_after(after);
    idle_.async_wait([self = shared_from_this()](const asio::error_code& error) {
      self->idleArmed_ = false;
      if (error || self->closed_) return;
      const auto idleFor = std::chrono::steady_clock::now() - self->lastActive_;
      // Its line is still running, or waits for a lock: it is not idle.
      if (self->busy_ || self->heldOff_) return self->armIdle(self->idleTimeout_);
      if (idleFor < self->idleTimeout_) return self->armIdle(self->idleTimeout_ - idleFor);
      self->drop();
    });
  }

  void drop() {
    close();
    server_.forget(shared_from_this());
  }

  asio::ip::tcp::socket socket_;
  Door::Ticket ticket_;
  asio::steady_timer idle_;
  bool idleArmed_ = false;
  std::chrono::steady_clock::time_point lastActive_{};
  std::chrono::seconds idleTimeout_;
  ScpiServer& server_;
  BoardWorker& board_;
  std::shared_ptr<ClientSession> session_;
  std::shared_ptr<JobControl> line_;  // the line queued or running on the worker
  std::array<char, 4096> buffer_{};
  std::string pending_;
  std::deque<std::string> outbox_;
  size_t unsent_ = 0;
  bool reading_ = false;
  bool busy_ = false;
  bool heldOff_ = false;  // a complete line waits for a VXI-11 lock to be released
  bool discarding_ = false;
  bool endOfInput_ = false;
  bool firstLineSeen_ = false;
  bool closed_ = false;
};

ScpiServer::ScpiServer(BoardWorker& board, const CommandTree& tree, Door& door, std::chrono::seconds idleTimeout)
    : acceptor_(
          board.io(), door,
          [this](asio::ip::tcp::socket socket, Door::Ticket ticket) { admit(std::move(socket), std::move(ticket)); }),
      board_(board),
      tree_(tree),
      idleTimeout_(idleTimeout) {}

ScpiServer::~ScpiServer() { stop(); }

void ScpiServer::listen(const asio::ip::tcp::endpoint& endpoint) { acceptor_.listen(endpoint); }

void ScpiServer::stop() {
  acceptor_.close();
  for (const auto& client : clients_) client->close();
  clients_.clear();
}

void ScpiServer::forget(const std::shared_ptr<ScpiClient>& client) { clients_.erase(client); }

void ScpiServer::admit(asio::ip::tcp::socket socket, Door::Ticket ticket) {
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  auto client = std::make_shared<ScpiClient>(std::move(socket), std::move(ticket), *this, board_, tree_, idleTimeout_);
  clients_.insert(client);
  client->start();
}

}  // namespace kestreld
