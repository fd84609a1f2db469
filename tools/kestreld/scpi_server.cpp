#include "scpi_server.h"

#include <array>
#include <deque>
#include <optional>

#include "board_worker.h"
#include "scpi_session.h"

namespace kestreld {

// One connection. Lives on the io_context's thread; only its session is
// touched on the worker thread, and only by the jobs it posts there.
class ScpiClient : public std::enable_shared_from_this<ScpiClient> {
 public:
  ScpiClient(asio::ip::tcp::socket socket, ScpiServer& server, BoardWorker& board, const CommandTree& tree)
      : socket_(std::move(socket)), server_(server), board_(board), session_(std::make_shared<ClientSession>(tree)) {}

  void start() { pump(); }

  void close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  // Runs the next complete line, or reads more when there is none. A client
  // that has stopped sending still gets the answers to what it sent.
  void pump() {
    if (closed_ || busy_ || reading_ || heldOff_) return;
    if (unsent_ > ScpiServer::kMaxUnsent) return;  // resumed when the writes drain
    if (heldOffByLock()) return;                   // resumed when the lock is released
    if (std::optional<std::string> line = takeLine()) return dispatch(std::move(*line));
    if (endOfInput_) {
      if (outbox_.empty()) drop();
      return;
    }
    reading_ = true;
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](asio::error_code error, size_t n) {
      self->reading_ = false;
      if (error == asio::error::eof) {
        self->endOfInput_ = true;
      } else if (error) {
        return self->drop();
      } else {
        self->received(std::string_view(self->buffer_.data(), n));
      }
      self->pump();
    });
  }

  // A VXI-11 link has the board to itself: the next line waits until it lets go.
  bool heldOffByLock() {
    if (pending_.find('\n') == std::string::npos || !board_.lock().locked()) return false;
    heldOff_ = true;
    board_.lock().whenFree([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        asio::post(self->socket_.get_executor(), [self] {
          self->heldOff_ = false;
          self->pump();
        });
      }
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
        pending_.clear();
        discarding_ = true;
        reportOverrun();
      }
      return std::nullopt;
    }
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    if (line.size() > ScpiServer::kMaxLine) {
      reportOverrun();
      return std::nullopt;
    }
    return line;
  }

  void reportOverrun() {
    board_.post([session = session_](BoardWorker&) { session->pushError(scpi::kInputBufferOverrun); });
  }

  void dispatch(std::string line) {
    busy_ = true;
    board_.post([self = shared_from_this(), line = std::move(line)](BoardWorker& board) {
      const uint64_t errorsBefore = self->session_->errorsPushed();
      std::string response = self->session_->execute(line, board);
      board.stats().countRequest(Face::Scpi, self->session_->errorsPushed() != errorsBefore);
      asio::post(self->socket_.get_executor(), [self, response = std::move(response)]() mutable {
        self->busy_ = false;
        if (!response.empty()) self->send(std::move(response) + "\n");
        self->pump();
      });
    });
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
                        self->unsent_ -= self->outbox_.front().size();
                        self->outbox_.pop_front();
                        if (!self->outbox_.empty()) return self->writeNext();
                        self->pump();
                      });
  }

  void drop() {
    close();
    server_.forget(shared_from_this());
  }

  asio::ip::tcp::socket socket_;
  ScpiServer& server_;
  BoardWorker& board_;
  std::shared_ptr<ClientSession> session_;
  std::array<char, 4096> buffer_{};
  std::string pending_;
  std::deque<std::string> outbox_;
  size_t unsent_ = 0;
  bool reading_ = false;
  bool busy_ = false;
  bool heldOff_ = false;
  bool discarding_ = false;
  bool endOfInput_ = false;
  bool closed_ = false;
};

namespace {

bool allowed(const AccessList& access, const asio::ip::address& peer) {
  if (peer.is_v4()) return access.allows(peer.to_v4().to_uint());
  const asio::ip::address_v6 v6 = peer.to_v6();
  if (v6.is_v4_mapped()) return access.allows(asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_uint());
  return access.open();  // the networks are IPv4 ones
}

}  // namespace

ScpiServer::ScpiServer(asio::io_context& io, BoardWorker& board, const CommandTree& tree, const AccessList& access)
    : acceptor_(io), board_(board), tree_(tree), access_(access) {}

ScpiServer::~ScpiServer() { stop(); }

void ScpiServer::listen(const asio::ip::tcp::endpoint& endpoint) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  accept();
}

void ScpiServer::stop() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  for (const auto& client : clients_) client->close();
  clients_.clear();
}

void ScpiServer::forget(const std::shared_ptr<ScpiClient>& client) { clients_.erase(client); }

void ScpiServer::accept() {
  acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!error) {
      asio::error_code peerError;
      const auto peer = socket.remote_endpoint(peerError);
      if (!peerError && allowed(access_, peer.address())) {
        socket.set_option(asio::ip::tcp::no_delay(true), peerError);
        auto client = std::make_shared<ScpiClient>(std::move(socket), *this, board_, tree_);
        clients_.insert(client);
        client->start();
      }
    }
    accept();
  });
}

}  // namespace kestreld
